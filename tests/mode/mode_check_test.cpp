// One complete mode check: the firmware's answer through the real WMI client,
// the decision, the device writes and the branch line in the log.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/fake_slate.h"
#include "common/scoped_handle.h"
#include "common/fake_wmi.h"
#include "common/log_fixture.h"
#include "log/log_pointer.h"
#include "mode/mode_check.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using tvr_test::FakeFirmware;
using tvr_test::FakeSlate;
using tvr_test::ScopedLogging;
using tvr_test::WmiStep;
using Bytes = std::vector<BYTE>;

constexpr char kLaptopLine[] = "UsageModeEvent == kLaptop || UsageModeEvent == kFloating";
constexpr char kOtherLine[] = "UsageModeEvent == other mode";

struct CheckCase {
  unsigned code;
  unsigned status;
  HRESULT execMethod;  // what the firmware's GetFunction call returns
  int metric;
  bool toggles;
  const char* line;  // null: no line at all
};

void ExpectOnlyLine(const ScopedLogging& logging, const char* line) {
  if (line == nullptr) {
    EXPECT_THAT(logging.Lines(), IsEmpty());
    return;
  }
  EXPECT_THAT(logging.Messages(), ElementsAre(line));
  EXPECT_THAT(logging.Functions(), ElementsAre("CheckModeWithWMI"));
}

TEST(CheckModeWithWMI, DecidesByUsageCodeAndSystemStateAndLogsTheBranch) {
  const CheckCase cases[] = {
      // laptop class against slate, laptop and another laptop value
      {1, 0, S_OK, 0, true, kLaptopLine},
      {1, 0, S_OK, 1, false, kLaptopLine},
      {1, 0, S_OK, 5, false, kLaptopLine},
      {32, 0, S_OK, 0, true, kLaptopLine},
      {32, 0, S_OK, 1, false, kLaptopLine},
      {32, 0, S_OK, 5, false, kLaptopLine},
      // every other code wants slate
      {0, 0, S_OK, 1, true, kOtherLine},
      {2, 0, S_OK, 1, true, kOtherLine},
      {4, 0, S_OK, 5, true, kOtherLine},
      {255, 0, S_OK, 1, true, kOtherLine},
      {0, 0, S_OK, 0, false, kOtherLine},
      {2, 0, S_OK, 0, false, kOtherLine},
      {4, 0, S_OK, 0, false, kOtherLine},
      {255, 0, S_OK, 0, false, kOtherLine},
      // only bits 32..39 carry the code, only bits 0..7 the status
      {0x101, 0, S_OK, 0, true, kLaptopLine},
      {0x120, 0, S_OK, 0, true, kLaptopLine},
      {1, 0x100, S_OK, 0, true, kLaptopLine},
      // no valid answer: the state is not even read, nothing is logged
      {1, 1, S_OK, 0, false, nullptr},
      {2, 1, S_OK, 1, false, nullptr},
      {1, 0xFF, S_OK, 0, false, nullptr},
      // a status with only its high bits set is no answer either
      {1, 0x10, S_OK, 0, false, nullptr},
      {32, 0x80, S_OK, 0, false, nullptr},
      {2, 0xF0, S_OK, 1, false, nullptr},
      {1, 0, static_cast<HRESULT>(WBEM_E_FAILED), 0, false, nullptr},
      {2, 0, static_cast<HRESULT>(WBEM_E_ACCESS_DENIED), 1, false, nullptr},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "code=" << c.code << " status=" << c.status << " hr=0x" << std::hex
                                    << c.execMethod << std::dec << " metric=" << c.metric);
    ScopedLogging logging;
    FakeFirmware firmware;
    firmware.SetUsage(c.code, c.status);
    if (c.execMethod != S_OK) firmware.FailStep(WmiStep::ExecMethod, c.execMethod);
    FakeSlate slate(c.metric);

    CheckModeWithWMI();

    EXPECT_EQ(c.toggles ? Bytes{0x00} : Bytes{}, slate.BytesWritten(0));
    // Read before the decision, and after a toggle until it shows.
    EXPECT_EQ(c.line == nullptr ? 0 : c.toggles ? 2 : 1, slate.MetricReads());
    EXPECT_EQ(1, firmware.Calls(WmiStep::ExecMethod));
    EXPECT_EQ(0, firmware.LiveObjects());
    ExpectOnlyLine(logging, c.line);
  }
}

// The query result as the check receives it: a success code other than S_OK
// is no answer. Driven directly: which codes the client passes up from its
// WMI steps is the client's own affair and tested with it.
TEST(ApplyUsageModeAnswer, ActsOnlyOnExactlySOk) {
  constexpr ULONGLONG kLaptopAnswer = 1ull << 32;
  const struct {
    HRESULT result;
    bool acts;
  } cases[] = {
      {S_OK, true},
      {S_FALSE, false},
      {static_cast<HRESULT>(2), false},
      {static_cast<HRESULT>(WBEM_S_FALSE), false},
      {E_FAIL, false},
      {static_cast<HRESULT>(WBEM_E_NOT_FOUND), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "hr=0x" << std::hex << c.result);
    ScopedLogging logging;
    FakeSlate slate(0);
    ApplyUsageModeAnswer(c.result, kLaptopAnswer);
    EXPECT_EQ(c.acts ? Bytes{0x00} : Bytes{}, slate.BytesWritten(0));
    EXPECT_EQ(c.acts ? 2 : 0, slate.MetricReads()) << "the decision, then the toggle seen";
    ExpectOnlyLine(logging, c.acts ? kLaptopLine : nullptr);
  }
}

// Every bit of the status byte counts: any non-zero status is no answer,
// whichever of its bits are set.
TEST(ApplyUsageModeAnswer, EveryNonZeroStatusByteIsNoAnswer) {
  constexpr ULONGLONG kLaptopAnswer = 1ull << 32;
  ScopedLogging logging;
  FakeSlate slate(0);
  for (unsigned status = 1; status <= 0xFF; ++status) {
    ApplyUsageModeAnswer(S_OK, kLaptopAnswer | status);
    ASSERT_EQ(0, slate.MetricReads()) << "status 0x" << std::hex << status << " was taken as an answer";
  }
  EXPECT_EQ(Bytes{}, slate.BytesWritten(0));
  EXPECT_THAT(logging.Lines(), IsEmpty());
}

TEST(CheckModeWithWMI, WithLoggingOffDecidesTheSameAndWritesNoLine) {
  ASSERT_EQ(nullptr, g_log);
  const struct {
    unsigned code;
    int metric;
    bool toggles;
  } cases[] = {{1, 0, true}, {32, 1, false}, {2, 1, true}, {2, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "code=" << c.code << " metric=" << c.metric);
    // The fixture with the log left unpublished: the switch and the file exist,
    // but the process has no log object, as when logging is off.
    ScopedLogging logging(ScopedLogging::Publish::kNo);
    FakeFirmware firmware;
    firmware.SetUsage(c.code);
    FakeSlate slate(c.metric);
    CheckModeWithWMI();
    EXPECT_EQ(c.toggles ? Bytes{0x00} : Bytes{}, slate.BytesWritten(0));
    EXPECT_THAT(logging.Lines(), IsEmpty());
  }
}

TEST(CheckModeWithWMI, WritesEveryDeviceAndLogsEvenWhenThereIsNone) {
  using F = tvr_test::SlateDeviceFault;
  const struct {
    const char* name;
    std::vector<F> devices;
    std::vector<Bytes> expected;
  } cases[] = {
      {"two devices", {F::kNone, F::kNone}, {Bytes{0x00}, Bytes{0x00}}},
      {"first cannot be opened", {F::kOpenFails, F::kNone}, {Bytes{}, Bytes{0x00}}},
      {"no device", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedLogging logging;
    FakeFirmware firmware;
    firmware.SetUsage(kLaptop);
    FakeSlate slate(0, c.devices);
    CheckModeWithWMI();
    for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(c.expected[i], slate.BytesWritten(i)) << i;
    EXPECT_EQ(1, slate.DeviceSetRequests());
    ExpectOnlyLine(logging, kLaptopLine);
  }
}

TEST(CheckModeWithWMI, AgainstTheRealRootWmiEndsQuietly) {
  // No fake firmware: Wine's root\wmi has no firmware method class, so the
  // query fails and the check must neither decide nor log.
  ScopedLogging logging;
  FakeSlate slate(0);
  CheckModeWithWMI();
  EXPECT_EQ(0, slate.MetricReads());
  EXPECT_EQ(0, slate.Toggles());
  EXPECT_THAT(logging.Lines(), IsEmpty());
}

TEST(CheckModeWithWMI, BalancesComOnTheCallingThread) {
  // After the check this thread is back outside any apartment: a fresh
  // single-threaded initialisation must succeed with S_OK, not S_FALSE or
  // RPC_E_CHANGED_MODE.
  FakeFirmware firmware;
  FakeSlate slate(1);
  std::thread worker([] {
    CheckModeWithWMI();
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(S_OK, hr);
    if (SUCCEEDED(hr)) ::CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(0, firmware.LiveObjects());
}

// Checks from every source at once (worker, control handler, ETW consumer),
// all told "laptop" while the system is in slate mode: one of them flips the
// state, every other must find it flipped. The slow write holds the window
// between a read and its flip open long enough for the others to fall in.
TEST(CheckModeWithWMI, OverlappingChecksToggleExactlyOnce) {
  constexpr int kThreads = 12;
  ScopedLogging logging;
  FakeFirmware firmware;
  firmware.SetUsage(kLaptop);
  FakeSlate slate(0);
  slate.SetWriteDelay(50);
  // Released at once for all, after every thread exists. (An event rather
  // than std::latch: a latch-started test of this shape hung under shuffling.)
  tvr::ScopedKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    // One thread per overlapping check.
    threads.emplace_back([&start] {
      ::WaitForSingleObject(start.get(), INFINITE);
      CheckModeWithWMI();
    });
  }
  ::SetEvent(start.get());
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(1, slate.Toggles());
  EXPECT_EQ(Bytes{0x00}, slate.BytesWritten(0));
  EXPECT_EQ(1, slate.Metric());
  EXPECT_EQ(kThreads + 1, slate.MetricReads()) << "one read per check, one to see the toggle take effect";
  EXPECT_EQ(std::vector<std::string>(kThreads, kLaptopLine), logging.Messages());
  EXPECT_EQ(0, firmware.LiveObjects());
}

}  // namespace
