// The entry's choice of role from its first argument, and the service role
// when the service object cannot be built.
#include "app/command_line.h"

#include <cstdio>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/process_runner.h"
#include "common/stdout_capture.h"

namespace {

TEST(EqualsIgnoringAsciiCaseTest, FoldsOnlyAsciiLetters) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    bool equal;
  };
  const Case cases[] = {
      {L"install", L"install", true},
      {L"INSTALL", L"install", true},
      {L"InStAlL", L"install", true},
      {L"", L"", true},
      {L"instal", L"install", false},
      {L"installx", L"install", false},
      {L"", L"install", false},
      // Neighbours of the letter ranges: a sloppy "| 0x20" fold joins them.
      {L"@", L"`", false},
      {L"[", L"{", false},
      {L"^", L"~", false},
      // Letters that wider folds map onto ASCII ones.
      {L"\u0130nstall", L"install", false},  // capital I with dot above
      {L"\u0131nstall", L"install", false},  // dotless i
      {L"in\u017Ftall", L"install", false},  // long s
      {L"\u212Aelvin", L"kelvin", false},    // Kelvin sign
      {L"\uFF29NSTALL", L"install", false},  // fullwidth I
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoringAsciiCase(c.a, c.b), c.equal) << "a=" << testing::PrintToString(std::wstring(c.a));
    EXPECT_EQ(EqualsIgnoringAsciiCase(c.b, c.a), c.equal) << "b=" << testing::PrintToString(std::wstring(c.a));
  }
}

TEST(ChooseRoleTest, FirstArgumentDecides) {
  struct Case {
    std::vector<const wchar_t*> args;  // after the program name
    CommandRole role;
  };
  const Case cases[] = {
      {{}, CommandRole::kRunService},
      {{L""}, CommandRole::kRunService},
      {{L"install"}, CommandRole::kRunService},
      {{L"\\install"}, CommandRole::kRunService},
      {{L"\u2010install"}, CommandRole::kRunService},  // a hyphen that is not U+002D
      {{L"-install"}, CommandRole::kInstall},
      {{L"/INSTALL"}, CommandRole::kInstall},
      {{L"-Install", L"-remove"}, CommandRole::kInstall},
      {{L"/remove"}, CommandRole::kRemove},
      {{L"-REMOVE", L"extra", L"words"}, CommandRole::kRemove},
      {{L"-"}, CommandRole::kNothing},
      {{L"/"}, CommandRole::kNothing},
      {{L"-help"}, CommandRole::kNothing},
      {{L"/x"}, CommandRole::kNothing},
      {{L"--install"}, CommandRole::kNothing},
      {{L"-install "}, CommandRole::kNothing},
      {{L"-\u0130NSTALL"}, CommandRole::kNothing},
  };
  for (const Case& c : cases) {
    std::vector<const wchar_t*> argv = {L"TVRSvc.exe"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back(nullptr);
    EXPECT_EQ(ChooseRole(static_cast<int>(argv.size() - 1), argv.data()), c.role)
        << (c.args.empty() ? std::string("(none)") : testing::PrintToString(std::wstring(c.args[0])));
  }
}

using tvr_test::StdoutCapture;

// A service whose events cannot be created: its constructor throws the
// error code, as the real one does.
class UnbuildableService : public CServiceBase {
 public:
  explicit UnbuildableService(CLogFile* log) : CServiceBase(kModuleName, log) {
    throw DWORD{ERROR_NO_SYSTEM_RESOURCES};
  }
};

// A buildable service that records that it existed.
class RecordingService : public CServiceBase {
 public:
  explicit RecordingService(CLogFile* log) : CServiceBase(kModuleName, log) { built = this; }
  ~RecordingService() override { destroyed = true; }
  static inline RecordingService* built = nullptr;
  static inline bool destroyed = false;
};

TEST(RunAsServiceTest, UnbuildableServiceIsReportedAndNotDispatched) {
  CServiceBase* const before = g_activeService;
  StdoutCapture capture;
  RunAsService<UnbuildableService>(nullptr);
  const std::string output = capture.Finish();
  // The constructor's own code, not the dispatcher's 1063: the dispatcher
  // never ran, and no object was published.
  EXPECT_THAT(output, testing::MatchesRegex("Service failed to run w/err 0x000005aa\r?\n"));
  EXPECT_EQ(g_activeService, before);
}

// The dispatcher can be started once per process: under Wine a second call,
// after a first that failed, reports ERROR_SERVICE_ALREADY_RUNNING (0x420)
// instead. So the attempt runs in a fresh child copy of this program each
// time, and the test stays the same on every repetition and in any order.
TEST(RunAsServiceTest, OutsideTheServiceManagerTheDispatcherFails) {
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
  const tvr_test::ProcessResult child = tvr_test::RunProcess(
      self, L"--gtest_also_run_disabled_tests --gtest_filter=RunAsServiceChild.DISABLED_DispatchOutsideTheServiceManager");
  ASSERT_TRUE(child.started) << "error " << child.startError;
  ASSERT_FALSE(child.timedOut);
  const std::string output = tvr_test::WithUnixLineEnds(child.output);
  EXPECT_EQ(child.exitCode, 0u) << output;
  EXPECT_THAT(output, testing::HasSubstr("[  PASSED  ] 1 test.")) << output;
}

// Run only by the test above, in a process of its own.
TEST(RunAsServiceChild, DISABLED_DispatchOutsideTheServiceManager) {
  CServiceBase* const before = g_activeService;
  RecordingService::built = nullptr;
  RecordingService::destroyed = false;
  StdoutCapture capture;
  RunAsService<RecordingService>(nullptr);
  const std::string output = capture.Finish();
  EXPECT_THAT(output, testing::MatchesRegex("Service failed to run w/err 0x00000427\r?\n"));
  ASSERT_NE(RecordingService::built, nullptr);
  EXPECT_EQ(g_activeService, RecordingService::built);  // published, not cleared afterwards
  EXPECT_TRUE(RecordingService::destroyed);
  g_activeService = before;  // the object is gone; leave no dangling pointer behind
}

}  // namespace
