// Start-up of the log: path, folder chain and the refusals.
#include <gtest/gtest.h>

#include <string>

#include "common/log_fixture.h"
#include "common/registry_fixture.h"
#include "log/log_file.h"

namespace {

using tvr_test::PathExists;

std::wstring LogFileName() { return tvr_test::CurrentUserName() + L"_TVRSvc.log"; }

TEST(CreateLog, SwitchOnComposesThePathAndMakesTheFolderButNotTheFile) {
  tvr_test::ScopedProgramData programData;
  tvr_test::ScopedLogSwitch on;
  ASSERT_TRUE(on.ok());
  ASSERT_FALSE(tvr_test::CurrentUserName().empty());

  wchar_t buffer[kLogPathCapacity] = {};
  CLogFile* log = CreateLog(buffer);
  ASSERT_NE(nullptr, log);
  const std::wstring folder = programData.folder() + L"\\OEM\\TVRSvc\\Log";
  EXPECT_EQ(folder + L"\\" + LogFileName(), std::wstring(buffer));
  EXPECT_EQ(buffer, log->path);
  EXPECT_STREQ(L"TVRSvc", log->moduleName);
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(PathExists(buffer));
  delete log;
}

TEST(CreateLog, SwitchOffMakesNothing) {
  tvr_test::ScopedProgramData programData;
  tvr_test::ScopedLogSwitch off(0);
  wchar_t buffer[kLogPathCapacity] = {};
  EXPECT_EQ(nullptr, CreateLog(buffer));
  EXPECT_FALSE(PathExists(programData.folder() + L"\\OEM"));
}

// Without PROGRAMDATA the path is rooted at the current drive.
TEST(CreateLog, UnsetProgramDataPutsTheLogAtTheRootOfTheCurrentDrive) {
  tvr_test::ScopedTempFolder cwd;
  const std::wstring root = cwd.path().substr(0, 2) + L"\\OEM";
  if (PathExists(root)) GTEST_SKIP() << "the drive already has an OEM folder";
  wchar_t oldCwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, oldCwd);
  ASSERT_TRUE(SetCurrentDirectoryW(cwd.path().c_str()));
  {
    tvr_test::ScopedEnvironmentVariable unset(L"PROGRAMDATA", nullptr);
    tvr_test::ScopedLogSwitch on;
    wchar_t buffer[kLogPathCapacity] = {};
    CLogFile* log = CreateLog(buffer);
    ASSERT_NE(nullptr, log);
    EXPECT_EQ(L"\\OEM\\TVRSvc\\Log\\" + LogFileName(), std::wstring(buffer));
    EXPECT_TRUE(log->Write(kLogInfo, L"F", L"at the root"));
    const std::string lines = tvr_test::ReadFileBytes(root + L"\\TVRSvc\\Log\\" + LogFileName());
    EXPECT_NE(std::string::npos, lines.find(" | TVRSvc | F | at the root\r\n")) << lines;
    delete log;
  }
  SetCurrentDirectoryW(oldCwd);
  tvr_test::RemoveTree(root);
}

// A path that does not fit the 260-character buffer is never cut short: the
// process runs without a log and makes no folder.
TEST(CreateLog, PathThatDoesNotFitMeansNoLogAndNoFolder) {
  tvr_test::ScopedTempFolder base;
  tvr_test::ScopedLogSwitch on;
  // "<base>\<filler>" + "\OEM\TVRSvc\Log\<user>_TVRSvc.log"
  const size_t suffix = 1 + 14 + 1 + LogFileName().size();
  const size_t prefix = base.path().size() + 1;
  ASSERT_LT(prefix + suffix, 200u);
  const struct {
    size_t programDataLength;
    bool made;
  } cases[] = {
      {259 - suffix, true},   // path of 259 characters: fits with its terminator
      {260 - suffix, false},  // 260 characters: one too many
      {259, false},           // the folder value alone fills the buffer
      {260, false},           // the folder value does not fit the buffer
      {400, false},
  };
  for (const auto& c : cases) {
    const std::wstring filler(c.programDataLength - prefix, L'a');
    const std::wstring programData = base.path() + L"\\" + filler;
    tvr_test::ScopedEnvironmentVariable variable(L"PROGRAMDATA", programData.c_str());
    wchar_t buffer[kLogPathCapacity] = {};
    CLogFile* log = CreateLog(buffer);
    EXPECT_EQ(c.made, log != nullptr) << c.programDataLength;
    if (log != nullptr) {
      EXPECT_EQ(259u, wcslen(buffer));
      EXPECT_EQ(programData + L"\\OEM\\TVRSvc\\Log\\" + LogFileName(), std::wstring(buffer));
    } else {
      EXPECT_EQ(0, buffer[0]);
      EXPECT_FALSE(PathExists(programData)) << c.programDataLength;
    }
    delete log;
    tvr_test::RemoveTree(programData);
  }
}

}  // namespace
