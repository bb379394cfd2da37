// The log switch read through the real registry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/log_fixture.h"
#include "common/registry_fixture.h"
#include "log/log_file.h"

namespace {

using tvr_test::ScopedLogSwitch;

TEST(LogSetting, MissingKeyReadsMinusOne) {
  ASSERT_FALSE(tvr_test::RegistryKeyExists(tvr_test::kLogSwitchKey)) << "a test left the switch key behind";
  EXPECT_EQ(-1, ReadLogSetting());
}

TEST(LogSetting, MissingValueReadsMinusOne) {
  tvr_test::ScopedRegistryValue absent(HKEY_LOCAL_MACHINE, tvr_test::kLogSwitchKey, tvr_test::kLogSwitchValue);
  ASSERT_TRUE(absent.ok());
  EXPECT_EQ(-1, ReadLogSetting());
}

TEST(LogSetting, RawFirstFourBytesWhateverTheType) {
  const std::wstring one = L"1";
  const std::wstring ten = L"10";
  const struct {
    const char* name;
    DWORD type;
    std::string bytes;
    int expected;
  } cases[] = {
      {"REG_DWORD 1", REG_DWORD, std::string("\x01\x00\x00\x00", 4), 1},
      {"REG_DWORD 0", REG_DWORD, std::string("\x00\x00\x00\x00", 4), 0},
      {"REG_DWORD 2", REG_DWORD, std::string("\x02\x00\x00\x00", 4), 2},
      {"REG_DWORD 0x101", REG_DWORD, std::string("\x01\x01\x00\x00", 4), 0x101},
      {"REG_BINARY 01 00 00 00", REG_BINARY, std::string("\x01\x00\x00\x00", 4), 1},
      {"REG_BINARY 01", REG_BINARY, std::string("\x01", 1), static_cast<int>(0xFFFFFF01u)},
      {"REG_BINARY 01 00", REG_BINARY, std::string("\x01\x00", 2), static_cast<int>(0xFFFF0001u)},
      {"REG_BINARY empty", REG_BINARY, std::string(), -1},
      {"REG_BINARY 01 00 00 00 07", REG_BINARY, std::string("\x01\x00\x00\x00\x07", 5), 1},
      {"REG_SZ \"1\"", REG_SZ, std::string(reinterpret_cast<const char*>(one.c_str()), 4), 49},
      {"REG_SZ \"10\" (with its terminator)", REG_SZ, std::string(reinterpret_cast<const char*>(ten.c_str()), 6),
       0x00300031},
      {"REG_QWORD 1", REG_QWORD, std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8), 1},
  };
  for (const auto& c : cases) {
    ScopedLogSwitch value(c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
    ASSERT_TRUE(value.ok()) << c.name;
    EXPECT_EQ(c.expected, ReadLogSetting()) << c.name;
  }
}

TEST(LogSetting, SwitchOnlyTurnsLoggingOnForExactlyOne) {
  const struct {
    const char* name;
    DWORD type;
    std::string bytes;
    bool on;
  } cases[] = {
      {"REG_DWORD 1", REG_DWORD, std::string("\x01\x00\x00\x00", 4), true},
      {"REG_BINARY 01 00 00 00", REG_BINARY, std::string("\x01\x00\x00\x00", 4), true},
      {"REG_DWORD 0", REG_DWORD, std::string("\x00\x00\x00\x00", 4), false},
      {"REG_DWORD 2", REG_DWORD, std::string("\x02\x00\x00\x00", 4), false},
      {"REG_BINARY 01", REG_BINARY, std::string("\x01", 1), false},
      {"REG_SZ \"1\"", REG_SZ, std::string("1\0\0\0", 4), false},
  };
  for (const auto& c : cases) {
    tvr_test::ScopedProgramData programData;
    ScopedLogSwitch value(c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
    ASSERT_TRUE(value.ok()) << c.name;
    wchar_t buffer[kLogPathCapacity] = {};
    CLogFile* log = CreateLog(buffer);
    EXPECT_EQ(c.on, log != nullptr) << c.name;
    // Off: not a single folder is made and the buffer stays untouched.
    EXPECT_EQ(c.on, tvr_test::PathExists(programData.folder() + L"\\OEM")) << c.name;
    if (!c.on) {
      EXPECT_EQ(0, buffer[0]) << c.name;
    }
    delete log;
  }
}

TEST(LogSetting, FixtureLeavesNoKeyBehind) {
  const bool hadOem = tvr_test::RegistryKeyExists(L"SOFTWARE\\OEM");
  const bool hadService = tvr_test::RegistryKeyExists(L"SOFTWARE\\OEM\\TVRSvc");
  ASSERT_FALSE(tvr_test::RegistryKeyExists(tvr_test::kLogSwitchKey));
  {
    ScopedLogSwitch on;
    ASSERT_TRUE(on.ok());
    EXPECT_EQ(1, ReadLogSetting());
  }
  EXPECT_FALSE(tvr_test::RegistryKeyExists(tvr_test::kLogSwitchKey));
  EXPECT_EQ(hadService, tvr_test::RegistryKeyExists(L"SOFTWARE\\OEM\\TVRSvc"));
  EXPECT_EQ(hadOem, tvr_test::RegistryKeyExists(L"SOFTWARE\\OEM"));
}

}  // namespace
