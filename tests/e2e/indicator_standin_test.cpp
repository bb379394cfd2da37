// The indicator device stand-in itself, opened the way the service opens a
// device (CreateFileW on the path SetupAPI reports, GENERIC_WRITE, share 0,
// OPEN_EXISTING; one byte; close): it must take every open that follows a
// close, record every byte with its writer, and record and cut an open made
// while the device is open, or the end-to-end test would fail for the
// stand-in's sake or pass over a service that holds a device open.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "indicator_devices.h"

namespace {

using namespace tvr_standin;

constexpr DWORD kWait = 15000;
// How long a check that must not record is given to record anyway.
constexpr DWORD kSettleMs = 300;

HANDLE OpenDevice(unsigned index, DWORD access = GENERIC_WRITE) {
  return ::CreateFileW(IndicatorDevicePath(index).c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool WriteZero(HANDLE file) {
  const BYTE zero = 0;
  DWORD written = 0;
  return ::WriteFile(file, &zero, 1, &written, nullptr) && written == 1;
}

// "open(pid) byte 00 close second-open(pid) ..." for a readable comparison.
std::string Describe(const std::vector<IndicatorEvent>& events) {
  std::string text;
  for (const IndicatorEvent& e : events) {
    if (!text.empty()) text += ' ';
    switch (e.kind) {
      case IndicatorEvent::kOpen: text += "open(" + std::to_string(e.clientPid) + ")"; break;
      case IndicatorEvent::kByte: {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", e.value);
        text += std::string("byte ") + hex;
        break;
      }
      case IndicatorEvent::kClose: text += "close"; break;
      case IndicatorEvent::kSecondOpen: text += "second-open(" + std::to_string(e.clientPid) + ")"; break;
    }
  }
  return text;
}

std::string Repeat(const std::string& part, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += (text.empty() ? "" : " ") + part;
  return text;
}

class IndicatorStandin : public testing::Test {
 protected:
  void SetUp() override {
    devices_ = std::make_unique<IndicatorDevices>(2);
    ASSERT_TRUE(devices_->ok()) << devices_->error();
  }
  void TearDown() override { devices_.reset(); }

  // Waits until device `index` has recorded `count` events.
  bool WaitForEvents(unsigned index, size_t count) {
    const ULONGLONG end = ::GetTickCount64() + kWait;
    while (devices_->Events(index).size() < count) {
      if (::GetTickCount64() > end) return false;
      ::Sleep(10);
    }
    return true;
  }

  const std::string me_ = std::to_string(::GetCurrentProcessId());
  std::unique_ptr<IndicatorDevices> devices_;
};

TEST_F(IndicatorStandin, AnOpenRightAfterACloseAlwaysLands) {
  // As the service toggles a device twice in one event: open, write, close,
  // and at once the same again, as fast as one thread can go. Between the
  // rounds the recorder catches up, as it does between two events.
  constexpr size_t kRounds = 200;
  size_t refused = 0, lost = 0;
  DWORD firstError = 0;
  for (size_t round = 0; round < kRounds; ++round) {
    for (int reopen = 0; reopen < 2; ++reopen) {
      ::SetLastError(0xdeadbeef);
      HANDLE file = OpenDevice(0);
      if (file == INVALID_HANDLE_VALUE) {
        if (!refused++) firstError = ::GetLastError();
        continue;
      }
      if (!WriteZero(file)) ++lost;
      ::CloseHandle(file);
    }
    ASSERT_TRUE(devices_->WaitForBytes(0, 2 * (round + 1) - refused - lost, kWait)) << "round " << round;
  }
  EXPECT_EQ(refused, 0u) << "opens refused, the first with error " << firstError;
  EXPECT_EQ(lost, 0u) << "writes that failed";
  ::Sleep(kSettleMs);
  EXPECT_EQ(Describe(devices_->Events(0)), Repeat("open(" + me_ + ") byte 00 close", 2 * kRounds));
  EXPECT_THAT(devices_->Events(1), testing::IsEmpty()) << "the other device saw it";
}

TEST_F(IndicatorStandin, AnOpenWhileTheDeviceIsOpenIsRecordedAndCutUnread) {
  HANDLE first = OpenDevice(0);
  ASSERT_NE(first, INVALID_HANDLE_VALUE) << ::GetLastError();
  ASSERT_TRUE(WriteZero(first));
  ASSERT_TRUE(WaitForEvents(0, 2));

  // The system lets it through (a second instance listens); the recorder
  // must not.
  HANDLE second = OpenDevice(0);
  ASSERT_NE(second, INVALID_HANDLE_VALUE) << ::GetLastError();
  ASSERT_TRUE(WaitForEvents(0, 3));
  ::SetLastError(0xdeadbeef);
  EXPECT_FALSE(WriteZero(second)) << "the second open was not cut";
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED));

  // The first open carries on; while it lasts, every further open is cut
  // too, on whichever instance it lands.
  ASSERT_TRUE(WriteZero(first));
  HANDLE third = OpenDevice(0);
  ASSERT_NE(third, INVALID_HANDLE_VALUE) << ::GetLastError();
  ASSERT_TRUE(WaitForEvents(0, 5));
  EXPECT_FALSE(WriteZero(third));
  ::CloseHandle(third);
  ::CloseHandle(second);
  ::CloseHandle(first);
  ASSERT_TRUE(devices_->WaitForBytes(0, 2, kWait));

  // Once it is closed, the device opens as before.
  HANDLE again = OpenDevice(0);
  ASSERT_NE(again, INVALID_HANDLE_VALUE) << ::GetLastError();
  EXPECT_TRUE(WriteZero(again));
  ::CloseHandle(again);
  EXPECT_TRUE(devices_->WaitForBytes(0, 3, kWait));
  ::Sleep(kSettleMs);
  const std::string open = "open(" + me_ + ")", cut = "second-open(" + me_ + ")";
  EXPECT_EQ(Describe(devices_->Events(0)),
            open + " byte 00 " + cut + " byte 00 " + cut + " close " + open + " byte 00 close");
  EXPECT_EQ(devices_->Bytes(0), std::vector<BYTE>(3, 0x00));
}

TEST_F(IndicatorStandin, DevicesAreIndependent) {
  // A device held open takes nothing from another.
  HANDLE held = OpenDevice(1);
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << ::GetLastError();
  HANDLE other = OpenDevice(0);
  ASSERT_NE(other, INVALID_HANDLE_VALUE) << ::GetLastError();
  EXPECT_TRUE(WriteZero(other));
  ::CloseHandle(other);
  EXPECT_TRUE(devices_->WaitForBytes(0, 1, kWait));
  EXPECT_TRUE(WriteZero(held));
  ::CloseHandle(held);
  EXPECT_TRUE(devices_->WaitForBytes(1, 1, kWait));
  ::Sleep(kSettleMs);
  for (unsigned d = 0; d < 2; ++d) {
    EXPECT_EQ(Describe(devices_->Events(d)), "open(" + me_ + ") byte 00 close") << "device " << d;
  }
}

TEST_F(IndicatorStandin, AnOpenForReadingIsRefusedAndLeavesNoTrace) {
  for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
    ::SetLastError(0xdeadbeef);
    HANDLE file = OpenDevice(0, access);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE) << "access 0x" << std::hex << access;
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "access 0x" << std::hex << access;
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  }
  // Neither refusal holds an instance: two opens in a row still land.
  for (int i = 0; i < 2; ++i) {
    HANDLE file = OpenDevice(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << ::GetLastError();
    EXPECT_TRUE(WriteZero(file));
    ::CloseHandle(file);
  }
  EXPECT_TRUE(devices_->WaitForBytes(0, 2, kWait));
  ::Sleep(kSettleMs);
  EXPECT_EQ(Describe(devices_->Events(0)), Repeat("open(" + me_ + ") byte 00 close", 2));
}

}  // namespace
