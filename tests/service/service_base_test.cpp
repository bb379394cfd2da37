// The service framework against a recording service manager: the status
// reports around each control, the shared checkpoint, and the event-log
// entries of failing handlers.

#include "service/service_base.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "common/fake_scm.h"
#include "log/log_pointer.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

enum class Handler { kNone, kStart, kStop, kPause, kContinue, kShutdown, kPower, kSession };
enum class Failure { kNone, kErrorCode, kOther };

// A service whose handlers record their calls, and one of which can fail
// either with a bare error code or with some other exception.
class ScriptedService : public CServiceBase {
 public:
  ScriptedService() : CServiceBase(L"TVRSvc", nullptr) {}

  Handler failing = Handler::kNone;
  Failure failure = Failure::kNone;
  DWORD errorCode = 0;
  std::vector<std::string> calls;
  DWORD lastArgc = 0;
  LPWSTR* lastArgv = nullptr;
  DWORD lastEventType = 0;
  LPVOID lastEventData = nullptr;

 protected:
  void OnStart(DWORD argc, LPWSTR* argv) override {
    lastArgc = argc;
    lastArgv = argv;
    Run(Handler::kStart, "OnStart");
  }
  void OnStop() override { Run(Handler::kStop, "OnStop"); }
  void OnPause() override { Run(Handler::kPause, "OnPause"); }
  void OnContinue() override { Run(Handler::kContinue, "OnContinue"); }
  void OnShutdown() override { Run(Handler::kShutdown, "OnShutdown"); }
  void OnPowerEvent(DWORD type, LPVOID data) override {
    lastEventType = type;
    lastEventData = data;
    Run(Handler::kPower, "OnPowerEvent");
  }
  void OnSessionChange(DWORD type, LPVOID data) override {
    lastEventType = type;
    lastEventData = data;
    Run(Handler::kSession, "OnSessionChange");
  }

 private:
  void Run(Handler which, const char* name) {
    calls.push_back(name);
    if (which != failing) return;
    if (failure == Failure::kErrorCode) throw errorCode;
    if (failure == Failure::kOther) throw std::runtime_error("handler failed");
  }
};

// One step of a scenario: the dispatcher starting ServiceMain, or a control.
struct Step {
  bool serviceMain;
  DWORD control;
};
constexpr Step kMain{true, 0};
constexpr Step Control(DWORD control) { return Step{false, control}; }

struct Report {
  DWORD state;
  DWORD checkPoint;
  DWORD exitCode;
};

bool operator==(const Report& a, const RecordedStatus& b) {
  return a.state == b.state && a.checkPoint == b.checkPoint && a.exitCode == b.exitCode;
}

struct StateCase {
  const char* name;
  std::vector<Step> steps;
  Handler failing;
  Failure failure;
  DWORD errorCode;
  std::vector<Report> reports;
  std::vector<std::wstring> errorMessages;  // second insertion string of each entry
  std::vector<std::string> calls;
  DWORD finalState;
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class ServiceBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The counter is process-wide and never reset by the service; each case
    // starts from the value a fresh process has.
    g_checkPoint = 1;
    g_activeService = &service;
  }
  void TearDown() override { g_activeService = nullptr; }

  // Runs the steps as the dispatcher would: ServiceMain first, then each
  // control through the handler that ServiceMain registered.
  void Run(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      if (step.serviceMain) {
        CServiceBase::ServiceMain(0, nullptr);
        continue;
      }
      ASSERT_NE(scm.handler, nullptr) << "no control handler registered";
      SetLastError(0xdeadbeef);
      EXPECT_EQ(scm.handler(step.control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR))
          << "control " << step.control;
    }
  }

  FakeScm scm;
  ScriptedService service;
};

const std::vector<StateCase> kStateCases = {
    {"NormalStart", {kMain}, Handler::kNone, Failure::kNone, 0, {{2, 1, 0}, {4, 0, 0}}, {}, {"OnStart"}, 4},
    {"StartThenStop",
     {kMain, Control(SERVICE_CONTROL_STOP)},
     Handler::kNone, Failure::kNone, 0,
     {{2, 1, 0}, {4, 0, 0}, {3, 2, 0}, {1, 0, 0}}, {}, {"OnStart", "OnStop"}, 1},
    {"StartFailsWithErrorCode", {kMain}, Handler::kStart, Failure::kErrorCode, 5,
     {{2, 1, 0}, {1, 0, 5}}, {L"Service Start failed w/err 0x00000005"}, {"OnStart"}, 1},
    {"StartFailsOtherwise", {kMain}, Handler::kStart, Failure::kOther, 0,
     {{2, 1, 0}, {1, 0, 0}}, {L"Service failed to start."}, {"OnStart"}, 1},
    {"StopFailsWithErrorCodeWhileRunning",
     {kMain, Control(SERVICE_CONTROL_STOP)},
     Handler::kStop, Failure::kErrorCode, 6,
     {{2, 1, 0}, {4, 0, 0}, {3, 2, 0}, {4, 0, 0}}, {L"Service Stop failed w/err 0x00000006"},
     {"OnStart", "OnStop"}, 4},
    // A pending state restored after a failed stop draws a fresh number.
    {"StopFailsOtherwiseWhilePaused",
     {kMain, Control(SERVICE_CONTROL_PAUSE), Control(SERVICE_CONTROL_STOP)},
     Handler::kStop, Failure::kOther, 0,
     {{2, 1, 0}, {4, 0, 0}, {6, 2, 0}, {7, 3, 0}, {3, 4, 0}, {7, 5, 0}}, {L"Service failed to stop."},
     {"OnStart", "OnPause", "OnStop"}, 7},
    {"PauseSucceeds",
     {kMain, Control(SERVICE_CONTROL_PAUSE)},
     Handler::kNone, Failure::kNone, 0,
     {{2, 1, 0}, {4, 0, 0}, {6, 2, 0}, {7, 3, 0}}, {}, {"OnStart", "OnPause"}, 7},
    {"PauseFailsWithErrorCode",
     {kMain, Control(SERVICE_CONTROL_PAUSE)},
     Handler::kPause, Failure::kErrorCode, 0x8007000e,
     {{2, 1, 0}, {4, 0, 0}, {6, 2, 0}, {4, 0, 0}}, {L"Service Pause failed w/err 0x8007000e"},
     {"OnStart", "OnPause"}, 4},
    {"PauseFailsOtherwise",
     {kMain, Control(SERVICE_CONTROL_PAUSE)},
     Handler::kPause, Failure::kOther, 0,
     {{2, 1, 0}, {4, 0, 0}, {6, 2, 0}, {4, 0, 0}}, {L"Service failed to pause."}, {"OnStart", "OnPause"}, 4},
    {"ContinueSucceeds",
     {kMain, Control(SERVICE_CONTROL_PAUSE), Control(SERVICE_CONTROL_CONTINUE)},
     Handler::kNone, Failure::kNone, 0,
     {{2, 1, 0}, {4, 0, 0}, {6, 2, 0}, {7, 3, 0}, {5, 4, 0}, {4, 0, 0}}, {},
     {"OnStart", "OnPause", "OnContinue"}, 4},
    {"ContinueFailsWithErrorCode",
     {kMain, Control(SERVICE_CONTROL_PAUSE), Control(SERVICE_CONTROL_CONTINUE)},
     Handler::kContinue, Failure::kErrorCode, 1,
     {{2, 1, 0}, {4, 0, 0}, {6, 2, 0}, {7, 3, 0}, {5, 4, 0}, {7, 5, 0}},
     {L"Service Continue failed w/err 0x00000001"}, {"OnStart", "OnPause", "OnContinue"}, 7},
    {"ContinueFailsOtherwise",
     {kMain, Control(SERVICE_CONTROL_PAUSE), Control(SERVICE_CONTROL_CONTINUE)},
     Handler::kContinue, Failure::kOther, 0,
     {{2, 1, 0}, {4, 0, 0}, {6, 2, 0}, {7, 3, 0}, {5, 4, 0}, {7, 5, 0}}, {L"Service failed to resume."},
     {"OnStart", "OnPause", "OnContinue"}, 7},
    {"ShutdownReportsStoppedWithoutOnStop",
     {kMain, Control(SERVICE_CONTROL_SHUTDOWN)},
     Handler::kNone, Failure::kNone, 0,
     {{2, 1, 0}, {4, 0, 0}, {1, 0, 0}}, {}, {"OnStart", "OnShutdown"}, 1},
    {"ShutdownFailsWithErrorCode",
     {kMain, Control(SERVICE_CONTROL_SHUTDOWN)},
     Handler::kShutdown, Failure::kErrorCode, 21,
     {{2, 1, 0}, {4, 0, 0}}, {L"Service Shutdown failed w/err 0x00000015"}, {"OnStart", "OnShutdown"}, 4},
    {"ShutdownFailsOtherwise",
     {kMain, Control(SERVICE_CONTROL_SHUTDOWN)},
     Handler::kShutdown, Failure::kOther, 0,
     {{2, 1, 0}, {4, 0, 0}}, {L"Service failed to shut down."}, {"OnStart", "OnShutdown"}, 4},
    {"PowerEventSucceeds",
     {kMain, Control(SERVICE_CONTROL_POWEREVENT)},
     Handler::kNone, Failure::kNone, 0,
     {{2, 1, 0}, {4, 0, 0}}, {}, {"OnStart", "OnPowerEvent"}, 4},
    {"PowerEventFailsWithErrorCode",
     {kMain, Control(SERVICE_CONTROL_POWEREVENT)},
     Handler::kPower, Failure::kErrorCode, 0x57,
     {{2, 1, 0}, {4, 0, 0}}, {L"Service PowerEvent failed w/err 0x00000057"}, {"OnStart", "OnPowerEvent"}, 4},
    {"PowerEventFailsOtherwise",
     {kMain, Control(SERVICE_CONTROL_POWEREVENT)},
     Handler::kPower, Failure::kOther, 0,
     {{2, 1, 0}, {4, 0, 0}}, {L"Service failed PowerEvent."}, {"OnStart", "OnPowerEvent"}, 4},
    {"SessionChangeFailsWithErrorCode",
     {kMain, Control(SERVICE_CONTROL_SESSIONCHANGE)},
     Handler::kSession, Failure::kErrorCode, 0xffffffff,
     {{2, 1, 0}, {4, 0, 0}}, {L"Service SessionChange failed w/err 0xffffffff"},
     {"OnStart", "OnSessionChange"}, 4},
    {"SessionChangeFailsOtherwise",
     {kMain, Control(SERVICE_CONTROL_SESSIONCHANGE)},
     Handler::kSession, Failure::kOther, 0,
     {{2, 1, 0}, {4, 0, 0}}, {L"Service failed SessionChange."}, {"OnStart", "OnSessionChange"}, 4},
    {"InterrogateParamChangePreshutdownAndUnknownChangeNothing",
     {kMain, Control(SERVICE_CONTROL_INTERROGATE), Control(SERVICE_CONTROL_PARAMCHANGE),
      Control(SERVICE_CONTROL_PRESHUTDOWN), Control(0x80), Control(0xffffffff)},
     Handler::kNone, Failure::kNone, 0,
     {{2, 1, 0}, {4, 0, 0}}, {}, {"OnStart"}, 4},
    // The dispatcher goes on after a failed stop: a second stop that works
    // draws the next checkpoint.
    {"FailedStopLeavesTheServiceControllable",
     {kMain, Control(SERVICE_CONTROL_STOP), Control(SERVICE_CONTROL_PAUSE)},
     Handler::kStop, Failure::kErrorCode, 6,
     {{2, 1, 0}, {4, 0, 0}, {3, 2, 0}, {4, 0, 0}, {6, 3, 0}, {7, 4, 0}}, {L"Service Stop failed w/err 0x00000006"},
     {"OnStart", "OnStop", "OnPause"}, 7},
};

class ServiceStateTableTest : public ServiceBaseTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(ServiceStateTableTest, ReportsAndEntriesFollowTheTable) {
  const StateCase& c = GetParam();
  service.failing = c.failing;
  service.failure = c.failure;
  service.errorCode = c.errorCode;

  Run(c.steps);

  const std::vector<RecordedStatus> statuses = scm.Statuses();
  EXPECT_THAT(statuses, ElementsAreArray(c.reports.begin(), c.reports.end()));
  for (const RecordedStatus& s : statuses) {
    EXPECT_EQ(s.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(s.controlsAccepted, 0xC5u);
    EXPECT_EQ(s.serviceSpecificExitCode, 0u);
    EXPECT_EQ(s.waitHint, 0u);
  }
  EXPECT_EQ(scm.reportsWithForeignHandle, 0);

  std::vector<std::wstring> messages;
  for (const RecordedEvent& e : scm.Events()) {
    EXPECT_EQ(e.source, L"TVRSvc");
    EXPECT_EQ(e.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(e.category, 0);
    EXPECT_EQ(e.id, 0u);
    EXPECT_FALSE(e.hasSid);
    EXPECT_EQ(e.rawDataSize, 0u);
    ASSERT_EQ(e.strings.size(), 2u);
    EXPECT_EQ(e.strings[0], L"TVRSvc");
    messages.push_back(e.strings[1]);
  }
  EXPECT_EQ(messages, c.errorMessages);
  EXPECT_EQ(scm.openEventSources, 0) << "an event source stayed open";

  EXPECT_EQ(service.calls, c.calls);
  EXPECT_EQ(service.status.dwCurrentState, c.finalState);
}

INSTANTIATE_TEST_SUITE_P(Controls, ServiceStateTableTest, ::testing::ValuesIn(kStateCases),
                         [](const ::testing::TestParamInfo<StateCase>& info) { return info.param.name; });

TEST_F(ServiceBaseTest, ConstructionValues) {
  EXPECT_EQ(service.status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(service.status.dwControlsAccepted, 0xC5u);
  EXPECT_EQ(service.status.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE, 0u);
  EXPECT_EQ(service.status.dwWin32ExitCode, 0u);
  EXPECT_EQ(service.status.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(service.status.dwCheckPoint, 0u);
  EXPECT_EQ(service.status.dwWaitHint, 0u);
  EXPECT_EQ(service.statusHandle, nullptr);
  EXPECT_STREQ(service.serviceName, L"TVRSvc");
  EXPECT_EQ(service.log, nullptr);
}

TEST_F(ServiceBaseTest, ServiceMainRegistersByNameAndPassesTheArguments) {
  wchar_t arg0[] = L"TVRSvc";
  wchar_t arg1[] = L"extra";
  LPWSTR argv[] = {arg0, arg1};
  CServiceBase::ServiceMain(2, argv);

  EXPECT_EQ(scm.registrations, 1);
  EXPECT_EQ(scm.registeredName, L"TVRSvc");
  EXPECT_EQ(scm.registeredContext, nullptr);
  EXPECT_EQ(service.statusHandle, FakeScm::kStatusHandle);
  EXPECT_EQ(service.lastArgc, 2u);
  EXPECT_EQ(service.lastArgv, argv);
}

TEST_F(ServiceBaseTest, PowerAndSessionControlsPassTypeAndDataThrough) {
  CServiceBase::ServiceMain(0, nullptr);
  WTSSESSION_NOTIFICATION notification{sizeof(notification), 3};
  ASSERT_EQ(scm.handler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &notification, nullptr), 0u);
  EXPECT_EQ(service.lastEventType, static_cast<DWORD>(WTS_SESSION_LOGON));
  EXPECT_EQ(service.lastEventData, &notification);

  int powerData = 0;
  ASSERT_EQ(scm.handler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, &powerData, nullptr), 0u);
  EXPECT_EQ(service.lastEventType, static_cast<DWORD>(PBT_APMRESUMESUSPEND));
  EXPECT_EQ(service.lastEventData, &powerData);
}

TEST_F(ServiceBaseTest, FailedRegistrationEndsServiceMainQuietly) {
  scm.failRegistrationWith = ERROR_SERVICE_DOES_NOT_EXIST;
  SetLastError(0xdeadbeef);

  CServiceBase::ServiceMain(0, nullptr);  // must return, not throw

  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(scm.registrations, 1);
  EXPECT_EQ(service.statusHandle, nullptr);
  EXPECT_THAT(scm.Statuses(), IsEmpty());
  EXPECT_THAT(service.calls, IsEmpty());
  EXPECT_EQ(g_checkPoint, 1u) << "a report was prepared without a status handle";
}

TEST_F(ServiceBaseTest, FailedRegistrationOnTheDispatchersOwnThreadEndsThatThread) {
  scm.failRegistrationWith = ERROR_ACCESS_DENIED;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        CServiceBase::ServiceMain(0, nullptr);
        return GetLastError();
      },
      nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &exitCode));
  CloseHandle(thread);
  EXPECT_EQ(exitCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_THAT(scm.Statuses(), IsEmpty());
}

TEST_F(ServiceBaseTest, NoEventSourceLeavesOnlyTheStatusReports) {
  scm.failEventSource = true;
  service.failing = Handler::kStart;
  service.failure = Failure::kErrorCode;
  service.errorCode = 5;

  CServiceBase::ServiceMain(0, nullptr);

  EXPECT_THAT(scm.Statuses(), ElementsAre(Report{2, 1, 0}, Report{1, 0, 5}));
  EXPECT_THAT(scm.Events(), IsEmpty());
  EXPECT_EQ(scm.openEventSources, 0);
}

TEST_F(ServiceBaseTest, LogEventWritesTypeAndBothStrings) {
  service.LogEvent(L"PLNX Service in OnStart", EVENTLOG_INFORMATION_TYPE);
  const std::vector<RecordedEvent> events = scm.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_EQ(events[0].id, 0u);
  EXPECT_EQ(events[0].strings, (std::vector<std::wstring>{L"TVRSvc", L"PLNX Service in OnStart"}));
  EXPECT_EQ(scm.openEventSources, 0);
}

TEST_F(ServiceBaseTest, LongOperationNameIsCutAt259Characters) {
  const std::wstring operation(300, L'x');
  service.LogError(operation.c_str(), 5);

  const std::vector<RecordedEvent> events = scm.Events();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].strings.size(), 2u);
  const std::wstring full = operation + L" failed w/err 0x00000005";
  EXPECT_EQ(events[0].strings[1], full.substr(0, 259));
}

TEST_F(ServiceBaseTest, ErrorTextThatJustFitsIsWhole) {
  // 235 characters of name + " failed w/err 0x0000002a" (24) = 259.
  const std::wstring operation(235, L'o');
  service.LogError(operation.c_str(), 42);
  const std::vector<RecordedEvent> events = scm.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings[1], operation + L" failed w/err 0x0000002a");
}

TEST_F(ServiceBaseTest, CheckpointKeepsCountingAcrossOperations) {
  g_checkPoint = 41;
  Run({kMain, Control(SERVICE_CONTROL_PAUSE), Control(SERVICE_CONTROL_CONTINUE), Control(SERVICE_CONTROL_STOP)});
  EXPECT_THAT(scm.Statuses(), ElementsAre(Report{2, 41, 0}, Report{4, 0, 0}, Report{6, 42, 0}, Report{7, 43, 0},
                                          Report{5, 44, 0}, Report{4, 0, 0}, Report{3, 45, 0}, Report{1, 0, 0}));
  EXPECT_EQ(g_checkPoint, 46u);
}

TEST(ServiceBaseLifetime, DestructorRetiresThePublishedLog) {
  CLogFile* log = new CLogFile(L"C:\\nonexistent\\svc-test.log", L"TVRSvc");
  PublishLog(log);
  {
    struct Plain : CServiceBase {
      explicit Plain(CLogFile* l) : CServiceBase(L"TVRSvc", l) {}
    } service(log);
    EXPECT_EQ(g_log, log);
  }
  EXPECT_EQ(g_log, nullptr);
}

}  // namespace
