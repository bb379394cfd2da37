// The concrete service with stand-ins for the service manager, the firmware,
// the indicator devices and the trace platform: its handler tables, the
// worker's set-up and teardown order, stops that come early, the registry key
// at start, and late writers after the service object is gone.

#include "mode/service_instance.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/fake_etw.h"
#include "common/fake_scm.h"
#include "common/fake_slate.h"
#include "common/fake_wmi.h"
#include "common/log_fixture.h"
#include "common/registry_fixture.h"
#include "etw/etw_platform.h"
#include "log/log_pointer.h"
#include "mode/mode_check.h"
#include "mode/slate_platform.h"
#include "wmi/wmi_platform.h"

namespace {

using ::testing::ElementsAre;
using tvr_test::WmiStep;

MATCHER_P3(RecordedStatusIs, state, checkPoint, exitCode, "") {
  return arg.state == static_cast<DWORD>(state) && arg.checkPoint == static_cast<DWORD>(checkPoint) &&
         arg.exitCode == static_cast<DWORD>(exitCode);
}

// ---------------------------------------------------------------------------
// An ordered record of what the worker set up and tore down, taken at the
// seams after the fakes are installed, plus a gate that can hold the first
// mode check.
struct StepRecorder {
  std::mutex mutex;
  std::vector<std::string> steps;
  tvr_test::FakeFirmware* firmware = nullptr;
  bool subscribedAtMonitorStop = true;
  long liveObjectsAtMonitorStop = -1;
  HANDLE checkReached = nullptr;  // set when a check reads the slate state
  HANDLE checkRelease = nullptr;  // that check goes on once this is set
  SlatePlatformCalls slate;
  WmiPlatformCalls wmi;
  EtwPlatformCalls etw;

  void Add(const char* step) {
    std::lock_guard<std::mutex> lock(mutex);
    steps.push_back(step);
  }
  std::vector<std::string> Steps() {
    std::lock_guard<std::mutex> lock(mutex);
    return steps;
  }
};
StepRecorder* g_recorder = nullptr;

int WINAPI RecordingMetrics(int index) {
  if (index == SM_CONVERTIBLESLATEMODE) {
    // A decision that toggled reads the state again until its toggle shows;
    // that is still the same check.
    if (g_recorder->Steps().empty() || g_recorder->Steps().back() != "check") g_recorder->Add("check");
    HANDLE reached = nullptr;
    {
      std::lock_guard<std::mutex> lock(g_recorder->mutex);
      std::swap(reached, g_recorder->checkReached);  // holds the first check only
    }
    if (reached != nullptr) {
      ::SetEvent(reached);
      ::WaitForSingleObject(g_recorder->checkRelease, 10000);
    }
  }
  return g_recorder->slate.getSystemMetrics(index);
}

HRESULT WINAPI RecordingCoCreate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
  if (IsEqualCLSID(clsid, CLSID_UnsecuredApartment)) g_recorder->Add("subscribe");
  return g_recorder->wmi.coCreateInstance(clsid, outer, context, iid, out);
}

ULONG WINAPI RecordingStartTrace(PTRACEHANDLE handle, LPCWSTR name, PEVENT_TRACE_PROPERTIES properties) {
  g_recorder->Add("monitor start");
  return g_recorder->etw.startTraceW(handle, name, properties);
}

// The monitor's stop always waits for its consumer thread, whether or not the
// consumer got as far as opening its processing handle.
DWORD WINAPI RecordingWait(HANDLE handle, DWORD milliseconds) {
  {
    std::lock_guard<std::mutex> lock(g_recorder->mutex);
    g_recorder->steps.push_back("monitor stop");
    g_recorder->subscribedAtMonitorStop = g_recorder->firmware->Subscribed();
    g_recorder->liveObjectsAtMonitorStop = g_recorder->firmware->LiveObjects();
  }
  return g_recorder->etw.waitForSingleObject(handle, milliseconds);
}

// Runs one control on a thread of its own, as the dispatcher would, and ends
// the test program if it does not return: a stop waits without a time limit.
class ControlThread {
 public:
  ControlThread(DWORD control, DWORD eventType = 0, LPVOID eventData = nullptr)
      : args_{control, eventType, eventData} {
    thread_ = ::CreateThread(nullptr, 0, &Run, &args_, 0, nullptr);
  }
  ~ControlThread() {
    Join(20000);
    ::CloseHandle(thread_);
  }
  bool Finished(DWORD milliseconds) { return ::WaitForSingleObject(thread_, milliseconds) == WAIT_OBJECT_0; }
  void Join(DWORD milliseconds) {
    if (!Finished(milliseconds)) {
      std::fprintf(stderr, "control %lu did not return; giving up\n", args_.control);
      std::fflush(stderr);
      ::TerminateProcess(::GetCurrentProcess(), 3);
    }
  }

 private:
  struct Args {
    DWORD control;
    DWORD eventType;
    LPVOID eventData;
  };
  static DWORD WINAPI Run(LPVOID parameter) {
    auto* args = static_cast<Args*>(parameter);
    return CServiceBase::ControlHandler(args->control, args->eventType, args->eventData, nullptr);
  }
  Args args_;
  HANDLE thread_;
};

std::vector<std::string> MessagesOf(const tvr_test::ScopedLogging& logging, const std::string& function) {
  const std::vector<std::string> lines = logging.Lines();
  std::vector<std::string> messages;
  for (const std::string& line : lines) {
    tvr_test::ParsedLogLine parsed;
    if (tvr_test::ParseLogLine(line, &parsed) && parsed.function == function) messages.push_back(parsed.message);
  }
  return messages;
}

std::vector<std::wstring> EventTexts(const FakeScm& scm) {
  std::vector<std::wstring> texts;
  for (const RecordedEvent& e : scm.Events()) texts.push_back(e.strings.size() == 2 ? e.strings[1] : L"<bad>");
  return texts;
}

// ---------------------------------------------------------------------------
// Handler tables: no worker, one fresh service object per case.

struct HandlerCase {
  DWORD eventType;
  LPVOID eventData;  // power: the pointer itself; session: unused
  std::vector<std::string> lines;
  long checks;
};

class HandlerTableTest : public ::testing::Test {
 protected:
  void SetUp() override { g_checkPoint = 1; }
  void TearDown() override { g_activeService = nullptr; }

  // Delivers one control to a new service object with logging on or off and
  // returns the lines of `function`, the function of every line, and the
  // number of mode checks it ran.
  void Deliver(bool loggingOn, DWORD control, DWORD eventType, LPVOID eventData, const std::string& function,
               std::vector<std::string>* lines, std::vector<std::string>* functions, long* checks) {
    tvr_test::ScopedLogging logging(tvr_test::ScopedLogging::Publish::kNo);
    ASSERT_NE(logging.log(), nullptr);
    CLogFile* log = logging.Take();
    if (!loggingOn) {
      delete log;
      log = nullptr;
    }
    const long before = firmware.Calls(WmiStep::ExecMethod);
    const int readsBefore = slate.MetricReads();
    const int togglesBefore = slate.Toggles();
    {
      CServiceInstance service(log);
      g_activeService = &service;
      EXPECT_EQ(CServiceBase::ControlHandler(control, eventType, eventData, nullptr), static_cast<DWORD>(NO_ERROR));
      g_activeService = nullptr;
      EXPECT_EQ(service.status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING)) << "state changed";
    }
    *checks = firmware.Calls(WmiStep::ExecMethod) - before;
    EXPECT_EQ(slate.MetricReads() - readsBefore, *checks + (slate.Toggles() - togglesBefore))
        << "every check reads the slate state once, and once more to see its toggle";
    *lines = MessagesOf(logging, function);
    functions->clear();
    for (const std::string& line : logging.Lines()) {
      tvr_test::ParsedLogLine parsed;
      if (tvr_test::ParseLogLine(line, &parsed)) functions->push_back(parsed.function);
    }
  }

  FakeScm scm;
  tvr_test::FakeFirmware firmware;
  tvr_test::FakeSlate slate{1};
};

TEST_F(HandlerTableTest, PowerEvents) {
  const std::vector<HandlerCase> cases = {
      {PBT_APMSUSPEND, reinterpret_cast<LPVOID>(0x1234),
       {"OnPowerEvent Enter", "event_type 4 event_data 1234", "PBT_APMSUSPEND", "OnPowerEvent End"}, 0},
      {PBT_APMRESUMESUSPEND, nullptr,
       {"OnPowerEvent Enter", "event_type 7 event_data 0", "PBT_APMRESUMESUSPEND", "OnPowerEvent End"}, 1},
      // Only the low 32 bits of the pointer's value are shown.
      {PBT_APMRESUMEAUTOMATIC, reinterpret_cast<LPVOID>(0x123456789abcdef0ULL),
       {"OnPowerEvent Enter", "event_type 12 event_data 9abcdef0", "PBT_APMRESUMEAUTOMATIC", "OnPowerEvent End"},
       0},
      {PBT_APMPOWERSTATUSCHANGE, nullptr,
       {"OnPowerEvent Enter", "event_type a event_data 0", "OnPowerEvent End"}, 0},
      {0x8013, reinterpret_cast<LPVOID>(0xff), {"OnPowerEvent Enter", "event_type 8013 event_data ff", "OnPowerEvent End"},
       0},
  };
  for (const HandlerCase& c : cases) {
    SCOPED_TRACE("power event type " + std::to_string(c.eventType));
    std::vector<std::string> lines, functions;
    long checks = -1;
    Deliver(true, SERVICE_CONTROL_POWEREVENT, c.eventType, c.eventData, "OnPowerEvent", &lines, &functions, &checks);
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(checks, c.checks);
    if (c.checks == 1) {
      // The check runs after the event's own line and before the closing one.
      ASSERT_GE(functions.size(), 5u);
      EXPECT_EQ(functions[2], "OnPowerEvent");
      EXPECT_EQ(functions[3], "CheckModeWithWMI");
      EXPECT_EQ(functions.back(), "OnPowerEvent");
    }

    Deliver(false, SERVICE_CONTROL_POWEREVENT, c.eventType, c.eventData, "OnPowerEvent", &lines, &functions,
            &checks);
    EXPECT_THAT(functions, ::testing::IsEmpty()) << "logging off writes no line";
    EXPECT_EQ(checks, c.checks) << "logging off changes only the lines";
  }
}

TEST_F(HandlerTableTest, SessionChanges) {
  const char* const names[] = {nullptr,
                               "WTS_CONSOLE_CONNECT",
                               "WTS_CONSOLE_DISCONNECT",
                               "WTS_REMOTE_CONNECT",
                               "WTS_REMOTE_DISCONNECT",
                               "WTS_SESSION_LOGON",
                               "WTS_SESSION_LOGOFF",
                               "WTS_SESSION_LOCK",
                               "WTS_SESSION_UNLOCK",
                               "WTS_SESSION_REMOTE_CONTROL",
                               "WTS_SESSION_CREATE",
                               "WTS_SESSION_TERMINATE"};
  for (DWORD type = 0; type <= 12; ++type) {
    SCOPED_TRACE("session event type " + std::to_string(type));
    WTSSESSION_NOTIFICATION notification{sizeof(notification), 0x2a};
    char eventLine[64];
    std::snprintf(eventLine, sizeof(eventLine), "event_type %lx event_data 2a", type);
    std::vector<std::string> expected = {"OnSessionChange Enter", eventLine};
    if (type >= 1 && type <= 11) expected.push_back(names[type]);
    const long expectedChecks = type == WTS_CONSOLE_CONNECT ? 1 : 0;

    std::vector<std::string> lines, functions;
    long checks = -1;
    Deliver(true, SERVICE_CONTROL_SESSIONCHANGE, type, &notification, "OnSessionChange", &lines, &functions,
            &checks);
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(checks, expectedChecks);
    if (expectedChecks == 1) {
      ASSERT_GE(functions.size(), 4u);
      EXPECT_EQ(functions[2], "OnSessionChange");
      EXPECT_EQ(functions[3], "CheckModeWithWMI");
    }

    Deliver(false, SERVICE_CONTROL_SESSIONCHANGE, type, &notification, "OnSessionChange", &lines, &functions,
            &checks);
    EXPECT_THAT(functions, ::testing::IsEmpty());
    EXPECT_EQ(checks, expectedChecks);
  }
}

TEST_F(HandlerTableTest, ResumeCheckTogglesAMismatchedSystem) {
  // The firmware says laptop (its default script), the system is in slate.
  slate.SetMetric(0);
  std::vector<std::string> lines, functions;
  long checks = -1;
  Deliver(false, SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, nullptr, "OnPowerEvent", &lines, &functions,
          &checks);
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(slate.Toggles(), 1);
  EXPECT_NE(slate.Metric(), 0);
}

// ---------------------------------------------------------------------------
// The worker, started and stopped through the framework.

class WorkerTest : public ::testing::Test {
 protected:
  WorkerTest() {
    recorder.firmware = &firmware;
    recorder.slate = SlatePlatform();
    recorder.wmi = WmiPlatform();
    recorder.etw = EtwPlatform();
    g_recorder = &recorder;
    SlatePlatform().getSystemMetrics = &RecordingMetrics;
    WmiPlatform().coCreateInstance = &RecordingCoCreate;
    EtwPlatform().startTraceW = &RecordingStartTrace;
    EtwPlatform().waitForSingleObject = &RecordingWait;
    g_checkPoint = 1;
  }
  ~WorkerTest() override {
    g_activeService = nullptr;
    service.reset();
    SlatePlatform() = recorder.slate;
    WmiPlatform() = recorder.wmi;
    EtwPlatform() = recorder.etw;
    g_recorder = nullptr;
  }

  void Create(bool withLog = true) {
    CLogFile* log = logging.Take();
    if (!withLog) {
      delete log;
      log = nullptr;
    }
    service = std::make_unique<CServiceInstance>(log);
    g_activeService = service.get();
  }

  void Start() {
    CServiceBase::ServiceMain(0, nullptr);
    ASSERT_EQ(service->status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  }

  void Stop() {
    ControlThread stop(SERVICE_CONTROL_STOP);
    stop.Join(20000);
    EXPECT_EQ(service->status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  }

  FakeScm scm;
  tvr_test::FakeFirmware firmware;
  tvr_test::FakeSlate slate{1};
  tvr_test::FakeEtw etw;
  StepRecorder recorder;
  tvr_test::ScopedLogging logging{tvr_test::ScopedLogging::Publish::kNo};
  std::unique_ptr<CServiceInstance> service;
};

TEST_F(WorkerTest, StartSetsUpInOrderAndStopTearsDownInOrder) {
  Create();
  Start();
  EXPECT_EQ(scm.queueCalls, 1);
  EXPECT_EQ(scm.lastQueueFlags, static_cast<ULONG>(WT_EXECUTELONGFUNCTION));
  ASSERT_TRUE(etw.WaitUntilProcessing(10000)) << "the monitor never started";
  EXPECT_TRUE(firmware.Subscribed());

  Stop();

  EXPECT_THAT(recorder.Steps(), ElementsAre("subscribe", "check", "monitor start", "monitor stop"));
  // The long-lived client is gone (subscription cancelled, every object
  // released) before the monitor stops.
  EXPECT_FALSE(recorder.subscribedAtMonitorStop);
  EXPECT_EQ(recorder.liveObjectsAtMonitorStop, 0);
  EXPECT_FALSE(firmware.Subscribed());
  EXPECT_EQ(firmware.LiveObjects(), 0);
  EXPECT_EQ(etw.OpenProcessingHandles(), 0);
  EXPECT_TRUE(etw.liveBlocks.empty());
  EXPECT_TRUE(etw.liveThreadHandles.empty());
  EXPECT_EQ(service->worker->wmiClient, nullptr);

  EXPECT_THAT(scm.Statuses(),
              ElementsAre(RecordedStatusIs(2, 1, 0), RecordedStatusIs(4, 0, 0), RecordedStatusIs(3, 2, 0),
                          RecordedStatusIs(1, 0, 0)));
  const std::vector<RecordedEvent> events = scm.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[0].strings, (std::vector<std::wstring>{L"TVRSvc", L"PLNX Service in OnStart"}));
  EXPECT_EQ(events[1].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(events[1].strings, (std::vector<std::wstring>{L"TVRSvc", L"PLNX Service in OnStop"}));

  EXPECT_THAT(MessagesOf(logging, "OnStart"), ::testing::Contains("PLNX Service in OnStart"));
  EXPECT_THAT(MessagesOf(logging, "ServiceWorkerThread"),
              ElementsAre("ServiceWorkerThread Enter",
                          "WTSGetActiveConsoleSessionId() != INVALID_SESSION_ID && session_id != 0",
                          "ServiceWorkerThread End"));
  // Nothing is written after the closing line: it precedes the signal that
  // lets the stop return.
  const std::vector<std::string> all = logging.Lines();
  ASSERT_FALSE(all.empty());
  tvr_test::ParsedLogLine last;
  ASSERT_TRUE(tvr_test::ParseLogLine(all.back(), &last));
  EXPECT_EQ(last.message, "ServiceWorkerThread End");
}

TEST_F(WorkerTest, StopDuringSetUpStillRunsTheFirstCheckAndEndsCleanly) {
  slate.SetMetric(0);  // the firmware says laptop: the first check must toggle
  tvr::ScopedKernelHandle reached(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  tvr::ScopedKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  recorder.checkReached = reached.get();
  recorder.checkRelease = release.get();
  Create();
  Start();
  ASSERT_EQ(::WaitForSingleObject(reached.get(), 10000), WAIT_OBJECT_0) << "the first check never ran";

  ControlThread stop(SERVICE_CONTROL_STOP);
  ASSERT_EQ(::WaitForSingleObject(service->worker->stopEvent.get(), 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(stop.Finished(200)) << "the stop returned before the worker's teardown";
  ::SetEvent(release.get());
  stop.Join(20000);

  EXPECT_THAT(recorder.Steps(), ElementsAre("subscribe", "check", "monitor start", "monitor stop"));
  EXPECT_EQ(slate.Toggles(), 1);
  EXPECT_EQ(service->status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(firmware.LiveObjects(), 0);
  EXPECT_EQ(etw.OpenProcessingHandles(), 0);
  EXPECT_THAT(MessagesOf(logging, "ServiceWorkerThread").back(), "ServiceWorkerThread End");
}

TEST_F(WorkerTest, FailedSubscriptionLeavesEveryOtherTriggerWorking) {
  // What Wine does: the unsecured apartment class is not registered.
  firmware.FailStep(WmiStep::CreateApartment, REGDB_E_CLASSNOTREG);
  etw.events = {{507}};
  Create(false);
  Start();
  ASSERT_TRUE(etw.WaitUntilProcessing(10000));
  EXPECT_FALSE(firmware.Subscribed());
  EXPECT_EQ(firmware.DeliverEvents({tvr_test::FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0})}), E_UNEXPECTED);
  EXPECT_EQ(firmware.Calls(WmiStep::ExecMethod), 2) << "the first check and the one for leaving standby";

  ASSERT_EQ(CServiceBase::ControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, nullptr, nullptr), 0u);
  EXPECT_EQ(firmware.Calls(WmiStep::ExecMethod), 3);
  WTSSESSION_NOTIFICATION notification{sizeof(notification), 1};
  ASSERT_EQ(CServiceBase::ControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, &notification, nullptr),
            0u);
  EXPECT_EQ(firmware.Calls(WmiStep::ExecMethod), 4);

  Stop();
  EXPECT_EQ(firmware.LiveObjects(), 0);
  EXPECT_THAT(logging.Lines(), ::testing::IsEmpty());
}

TEST_F(WorkerTest, WorkerThatCannotBeQueuedFailsTheStart) {
  scm.failQueueWith = ERROR_NOT_ENOUGH_MEMORY;
  Create();
  CServiceBase::ServiceMain(0, nullptr);

  EXPECT_THAT(scm.Statuses(), ElementsAre(RecordedStatusIs(2, 1, 0), RecordedStatusIs(1, 0, ERROR_NOT_ENOUGH_MEMORY)));
  EXPECT_THAT(EventTexts(scm), ElementsAre(L"PLNX Service in OnStart", L"Service Start failed w/err 0x00000008"));
  EXPECT_THAT(recorder.Steps(), ::testing::IsEmpty());
}

TEST_F(WorkerTest, ShutdownReportsStoppedWithoutStoppingTheWorker) {
  Create();
  Start();
  ASSERT_TRUE(etw.WaitUntilProcessing(10000));
  ASSERT_EQ(CServiceBase::ControlHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr), 0u);

  EXPECT_EQ(scm.Statuses().back().state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(scm.Statuses().back().checkPoint, 0u);
  EXPECT_THAT(EventTexts(scm), ElementsAre(L"PLNX Service in OnStart")) << "OnStop ran";
  EXPECT_EQ(::WaitForSingleObject(service->worker->stoppedEvent.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));

  // End the worker by hand so that the fakes outlive it.
  ::SetEvent(service->worker->stopEvent.get());
  ASSERT_EQ(::WaitForSingleObject(service->worker->stoppedEvent.get(), 20000), WAIT_OBJECT_0);
}

// At system shutdown the service manager is told STOPPED at once and the
// entry then destroys the service object, while the worker may still be
// setting up (its first check slow after a resume, say). The shutdown must not
// wait for that check, and the worker must not touch the dead object
// afterwards: it finishes on its own state and ends.
TEST_F(WorkerTest, ShutdownDuringSetUpIsFastAndTheWorkerNeverTouchesTheDeadObject) {
  tvr::ScopedKernelHandle reached(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  tvr::ScopedKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  recorder.checkReached = reached.get();
  recorder.checkRelease = release.get();

  // The object lives in memory of its own, so that whatever the worker does
  // to it after its destruction shows.
  void* storage = ::VirtualAlloc(nullptr, sizeof(CServiceInstance), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(storage, nullptr);
  auto* object = new (storage) CServiceInstance(logging.Take());
  g_activeService = object;
  CServiceBase::ServiceMain(0, nullptr);
  ASSERT_EQ(::WaitForSingleObject(reached.get(), 10000), WAIT_OBJECT_0) << "the first check never ran";

  const auto shutdownStarted = std::chrono::steady_clock::now();
  ASSERT_EQ(CServiceBase::ControlHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(scm.Statuses().back().state, static_cast<DWORD>(SERVICE_STOPPED));
  // What the entry does once the dispatcher has returned.
  g_activeService = nullptr;
  object->~CServiceInstance();
  const double shutdownSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - shutdownStarted).count();
  EXPECT_LT(shutdownSeconds, 2.0) << "the shutdown waited for the check";
  std::memset(storage, 0, sizeof(CServiceInstance));

  ::SetEvent(release.get());
  ASSERT_TRUE(FakeScm::WaitWorkItemsReturned(20000)) << "the worker never ended";
  const auto* bytes = static_cast<const unsigned char*>(storage);
  const size_t untouched = static_cast<size_t>(std::count(bytes, bytes + sizeof(CServiceInstance), 0));
  EXPECT_EQ(untouched, sizeof(CServiceInstance)) << "the worker wrote into the destroyed object";
  ::VirtualFree(storage, 0, MEM_RELEASE);

  // The worker still tore down what it had made.
  EXPECT_THAT(recorder.Steps(), ElementsAre("subscribe", "check", "monitor start", "monitor stop"));
  EXPECT_EQ(firmware.LiveObjects(), 0);
  EXPECT_EQ(etw.OpenProcessingHandles(), 0);
  EXPECT_TRUE(etw.liveBlocks.empty());
  EXPECT_TRUE(etw.liveThreadHandles.empty());
}

// Moves HKLM\`subKey` aside for the scope, and puts it back (removing what
// the code under test made in its place) at the end.
class ScopedKeyAside {
 public:
  explicit ScopedKeyAside(const wchar_t* subKey) : subKey_(subKey), saved_(subKey_ + L".aside-for-test") {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    HKEY saved = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, saved_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &saved,
                          nullptr) == ERROR_SUCCESS) {
      had_ = ::RegCopyTreeW(key, nullptr, saved) == ERROR_SUCCESS;
      ::RegCloseKey(saved);
    }
    ::RegCloseKey(key);
    if (had_) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey);
  }
  ~ScopedKeyAside() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey_.c_str());
    if (!had_) return;
    HKEY saved = nullptr, key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, saved_.c_str(), 0, KEY_READ, &saved) == ERROR_SUCCESS) {
      if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
        ::RegCopyTreeW(saved, nullptr, key);
        ::RegCloseKey(key);
      }
      ::RegCloseKey(saved);
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, saved_.c_str());
  }
  ScopedKeyAside(const ScopedKeyAside&) = delete;
  ScopedKeyAside& operator=(const ScopedKeyAside&) = delete;

 private:
  std::wstring subKey_;
  std::wstring saved_;
  bool had_ = false;
};

TEST_F(WorkerTest, MissingRegistryKeyIsReportedAndCreated) {
  ScopedKeyAside aside(kServiceRegistryKey);
  ASSERT_FALSE(tvr_test::RegistryKeyExists(kServiceRegistryKey));
  Create();
  Start();
  Stop();
  EXPECT_THAT(MessagesOf(logging, "OnStart"), ElementsAre("PLNX Service in OnStart", "Registry not found"));
  EXPECT_TRUE(tvr_test::RegistryKeyExists(kServiceRegistryKey));
}

TEST_F(WorkerTest, PresentRegistryKeyIsLeftAlone) {
  // The log switch lives below the key, so logging on means it exists.
  ASSERT_TRUE(tvr_test::RegistryKeyExists(kServiceRegistryKey));
  Create();
  Start();
  Stop();
  EXPECT_THAT(MessagesOf(logging, "OnStart"), ElementsAre("PLNX Service in OnStart"));
  EXPECT_TRUE(tvr_test::RegistryKeyExists(kServiceRegistryKey));
}

// ---------------------------------------------------------------------------
// Writers that outlive the service object: the monitor's callback and the mode
// check write through g_log, the firmware event sink through its own copy of
// the pointer. Once the object is gone none of them may write (or touch the
// freed log object).

TEST(ServiceInstanceLifetime, LateWritersAfterTheServiceIsGoneWriteNothing) {
  tvr_test::FakeFirmware firmware;
  tvr_test::FakeSlate slate(1);
  tvr_test::ScopedLogging logging(tvr_test::ScopedLogging::Publish::kNo);
  ASSERT_NE(logging.log(), nullptr);

  struct Shared {
    CLogFile* copy = nullptr;  // the sink's own copy of the pointer
    std::atomic<bool> gone{false};
    std::atomic<bool> quit{false};
    std::atomic<long> rounds{0};
    std::atomic<long> writesAfterGone{0};
  };

  for (int iteration = 0; iteration < 60; ++iteration) {
    SCOPED_TRACE("iteration " + std::to_string(iteration));
    Shared shared;
    auto service = std::make_unique<CServiceInstance>(new CLogFile(logging.path(), kModuleName));
    shared.copy = service->log;

    // Job: stands in for an ETW consumer and a WMI delivery thread that are
    // still running when the entry destroys the service object.
    HANDLE writer = ::CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
          auto& s = *static_cast<Shared*>(parameter);
          while (!s.quit.load()) {
            const bool goneBefore = s.gone.load();
            CheckModeWithWMI();
            const bool viaGlobal = LogLine(kLogInfo, L"EventRecordCallback", L"507");
            const bool viaCopy = LogLine(s.copy, kLogInfo, L"Indicate", L"late event");
            if (goneBefore && (viaGlobal || viaCopy)) ++s.writesAfterGone;
            ++s.rounds;
          }
          return 0;
        },
        &shared, 0, nullptr);
    ASSERT_NE(writer, nullptr);

    while (shared.rounds.load() < 1) ::SwitchToThread();  // at least one line while alive
    service.reset();
    shared.gone = true;
    EXPECT_EQ(g_log, nullptr);
    const size_t sizeWhenGone = logging.Contents().size();
    const long roundsWhenGone = shared.rounds.load();
    while (shared.rounds.load() < roundsWhenGone + 3) ::SwitchToThread();
    shared.quit = true;
    ASSERT_EQ(::WaitForSingleObject(writer, 20000), WAIT_OBJECT_0);
    ::CloseHandle(writer);

    EXPECT_EQ(shared.writesAfterGone.load(), 0);
    EXPECT_EQ(logging.Contents().size(), sizeWhenGone);
    if (HasFailure()) break;
  }
  // Lines were written while the object lived: the test is not vacuous.
  EXPECT_THAT(logging.Messages(), ::testing::Contains("late event"));
}

}  // namespace
