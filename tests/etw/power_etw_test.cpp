// The connected-standby monitor against a scripted trace platform: the session
// start results, the properties block and provider enabling, the events the
// callback acts on, and a stop that always ends the consumer promptly and
// releases everything the monitor acquired.

#include "etw/power_etw.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/fake_etw.h"
#include "etw/etw_platform.h"
#include "log/log_file.h"
#include "log/log_pointer.h"

namespace {

using tvr_test::ConsumerHold;
using tvr_test::Description;
using tvr_test::FakeEtw;
using tvr_test::FakeEtwEvent;

struct Line {
  std::string level;  // "[INFO]", "[ERROR]", ...
  std::string function;
  std::string message;
  bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << line.level << " " << line.function << " / " << line.message;
}

// A log file of its own, published as the process's log for the test's length
// (or no log at all, with logging off).
class ScratchLog {
 public:
  explicit ScratchLog(bool on) {
    if (!on) {
      PublishLog(nullptr);
      return;
    }
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    wchar_t file[MAX_PATH];
    GetTempFileNameW(dir, L"etw", 0, file);
    path_ = file;
    log_ = new CLogFile(path_.c_str(), kModuleName);
    PublishLog(log_);
  }
  ~ScratchLog() {
    RetireLog(log_);  // deletes it
    if (!path_.empty()) DeleteFileW(path_.c_str());
  }
  ScratchLog(const ScratchLog&) = delete;
  ScratchLog& operator=(const ScratchLog&) = delete;

  [[nodiscard]] CLogFile* log() const { return log_; }

  // Every line, split into level word, function and message.
  [[nodiscard]] std::vector<Line> Lines() const {
    std::vector<Line> lines;
    if (path_.empty()) return lines;
    std::ifstream in(std::filesystem::path(path_), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string raw = text.substr(start, end - start);
      start = end + 2;
      Line line;
      line.level = raw.substr(0, raw.find(' '));
      // level text, timestamp | module | function | message
      const size_t module = raw.find(" | ");
      const size_t function = raw.find(" | ", module + 3);
      const size_t message = raw.find(" | ", function + 3);
      if (module == std::string::npos || function == std::string::npos || message == std::string::npos) {
        line.message = raw;  // a malformed line still shows up in a comparison
      } else {
        line.function = raw.substr(function + 3, message - function - 3);
        line.message = raw.substr(message + 3);
      }
      lines.push_back(line);
    }
    return lines;
  }

  [[nodiscard]] std::vector<Line> LinesOf(const std::string& function) const {
    std::vector<Line> picked;
    for (const Line& line : Lines()) {
      if (line.function == function) picked.push_back(line);
    }
    return picked;
  }

 private:
  std::wstring path_;
  CLogFile* log_ = nullptr;
};

// Stands in for the owner's mode check as the action of an event 507: counts
// the runs, and can hold them to see what a stop does with one in flight.
class ModeCheckCounter {
 public:
  ModeCheckCounter() {
    counter_ = this;
    release_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  }
  ~ModeCheckCounter() {
    counter_ = nullptr;
    CloseHandle(release_);
  }
  ModeCheckCounter(const ModeCheckCounter&) = delete;
  ModeCheckCounter& operator=(const ModeCheckCounter&) = delete;

  [[nodiscard]] int Checks() const { return checks_.load(); }
  [[nodiscard]] int Finished() const { return finished_.load(); }
  void Hold() { ResetEvent(release_); }
  void Release() { SetEvent(release_); }

  // The action handed to the monitor; counts nothing while no counter lives.
  static void Action() noexcept {
    ModeCheckCounter* counter = counter_;
    if (counter == nullptr) return;
    ++counter->checks_;
    WaitForSingleObject(counter->release_, 10000);
    ++counter->finished_;
  }

 private:
  static inline ModeCheckCounter* counter_ = nullptr;
  HANDLE release_ = nullptr;
  std::atomic<int> checks_{0};
  std::atomic<int> finished_{0};
};

constexpr TRACEHANDLE kInvalidProcessing = ~TRACEHANDLE{0};

double StopSeconds(PowerEtwFields& fields) {
  const auto start = std::chrono::steady_clock::now();
  StopPowerETW(fields);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// After a stop: the thread ended and its handle is closed, every heap block
// and processing handle is released, and each handle was closed exactly once.
void ExpectAllReleased(const FakeEtw& etw, const PowerEtwFields& fields) {
  EXPECT_EQ(nullptr, fields.etwThread);
  EXPECT_EQ(nullptr, fields.etwProperties);
  EXPECT_EQ(etw.threadsCreated, etw.threadHandlesClosed);
  EXPECT_TRUE(etw.liveThreadHandles.empty());
  for (DWORD result : etw.waitResults) EXPECT_EQ(WAIT_OBJECT_0, result) << "the consumer thread did not end";
  EXPECT_EQ(etw.heapAllocs, etw.heapFrees);
  EXPECT_TRUE(etw.liveBlocks.empty());
  EXPECT_EQ(0, etw.OpenProcessingHandles());
  for (TRACEHANDLE handle : etw.openedHandles) EXPECT_EQ(1, etw.ClosesOf(handle)) << "handle " << handle;
  EXPECT_EQ(0, etw.ClosesOf(etw.sessionHandle)) << "the session handle is no processing handle";
}

// --- Start results -------------------------------------------------------

struct StartCase {
  const char* name;
  ULONG startResult;
  std::deque<bool> openOutcomes;  // the attach open first, then the consumer's
  std::vector<Line> lines;
  bool enables;
  enum { Session, Nothing, AttachHandle, Invalid } session;
};

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class StartResults : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartResults, LinesEnablingSessionAndConsumer) {
  const StartCase& c = GetParam();
  ScratchLog log(true);
  ModeCheckCounter checks;
  FakeEtw etw;
  etw.startResult = c.startResult;
  etw.openOutcomes = c.openOutcomes;

  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);

  EXPECT_EQ(c.lines, log.LinesOf("RegisterPowerETW"));
  EXPECT_EQ(1, etw.startCalls);
  EXPECT_EQ(&fields.etwSession, etw.startHandleOut);
  EXPECT_EQ(c.enables ? 1u : 0u, etw.enables.size());
  switch (c.session) {
    case StartCase::Session:
      EXPECT_EQ(etw.sessionHandle, fields.etwSession);
      break;
    case StartCase::Nothing:
      EXPECT_EQ(0u, fields.etwSession);
      break;
    case StartCase::AttachHandle:
      ASSERT_FALSE(etw.openedHandles.empty());
      EXPECT_EQ(etw.openedHandles.front(), fields.etwSession);
      ASSERT_FALSE(etw.opens.empty());
      EXPECT_TRUE(etw.opens.front().onCreatingThread);
      break;
    case StartCase::Invalid:
      EXPECT_EQ(kInvalidProcessing, fields.etwSession);
      break;
  }
  EXPECT_EQ(1, etw.threadsCreated);
  ASSERT_NE(nullptr, fields.etwThread);
  EXPECT_TRUE(etw.WaitUntilProcessing(2000)) << "the consumer never reached ProcessTrace";

  EXPECT_LT(StopSeconds(fields), 2.0);
  ExpectAllReleased(etw, fields);
  EXPECT_EQ(0, checks.Checks());
}

const Line kCreateThread{"[ERROR]", "RegisterPowerETW", "CreateThread"};

INSTANTIATE_TEST_SUITE_P(
    Monitor, StartResults,
    ::testing::Values(
        StartCase{"Started", ERROR_SUCCESS, {},
                  {{"[INFO]", "RegisterPowerETW", "ERROR_SUCCESS"}, kCreateThread}, true, StartCase::Session},
        StartCase{"AccessDenied", ERROR_ACCESS_DENIED, {},
                  {{"[ERROR]", "RegisterPowerETW", "ERROR_ACCESS_DENIED"}, kCreateThread}, false,
                  StartCase::Nothing},
        StartCase{"AlreadyExists", ERROR_ALREADY_EXISTS, {true},
                  {{"[INFO]", "RegisterPowerETW", "ERROR_ALREADY_EXISTS"}, kCreateThread}, false,
                  StartCase::AttachHandle},
        StartCase{"AlreadyExistsOpenFails", ERROR_ALREADY_EXISTS, {false, true},
                  {{"[INFO]", "RegisterPowerETW", "ERROR_ALREADY_EXISTS"},
                   {"[ERROR]", "RegisterPowerETW", "INVALID_HANDLE_VALUE"},
                   kCreateThread},
                  false, StartCase::Invalid},
        StartCase{"OtherError", ERROR_NO_SYSTEM_RESOURCES, {},
                  {{"[ERROR]", "RegisterPowerETW", "StartTrace fail"}, kCreateThread}, false,
                  StartCase::Nothing}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// The properties block byte for byte, from the field offsets of the platform
// structure (120 bytes) and the name area behind it.
TEST(PowerEtwStart, PropertiesBlockEnablingAndConsumerRecordAreExact) {
  ScratchLog log(false);
  FakeEtw etw;
  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  ASSERT_TRUE(etw.WaitUntilProcessing(2000));

  std::vector<BYTE> expected(156, 0);
  auto put32 = [&](size_t offset, uint32_t value) { std::memcpy(&expected[offset], &value, 4); };
  put32(0, 156);  // Wnode.BufferSize
  const BYTE sessionGuid[16] = {0x27, 0x4b, 0x0a, 0xb5, 0xd7, 0x57, 0x51, 0x44,
                                0x90, 0x7c, 0x44, 0x13, 0x39, 0xe9, 0x61, 0xef};
  std::memcpy(&expected[24], sessionGuid, 16);  // Wnode.Guid
  put32(40, 1);           // Wnode.ClientContext: performance-counter time stamps
  put32(44, 0x00020000);  // Wnode.Flags: traced GUID
  put32(60, 1);           // MaximumFileSize
  put32(64, 0x00000100);  // LogFileMode: real time
  put32(72, 1);           // EnableFlags
  put32(116, 120);        // LoggerNameOffset; LogFileNameOffset (112) stays 0
  EXPECT_EQ(expected, etw.properties);
  EXPECT_EQ(L"TS CS ETW Monitor", etw.startName);

  ASSERT_EQ(1u, etw.enables.size());
  const tvr_test::EnableCall& enable = etw.enables.front();
  const GUID kernelPower = {0x331c3b3a, 0x2005, 0x44c2, {0xac, 0x5e, 0x77, 0x22, 0x0c, 0x37, 0xd6, 0xb4}};
  EXPECT_TRUE(IsEqualGUID(kernelPower, enable.provider));
  EXPECT_TRUE(enable.sourceIdNull);
  EXPECT_EQ(etw.sessionHandle, enable.session);
  EXPECT_EQ(1u, enable.isEnabled);
  EXPECT_EQ(4, enable.level);
  EXPECT_EQ(0u, enable.matchAny);
  EXPECT_EQ(0u, enable.matchAll);
  EXPECT_EQ(0u, enable.enableProperty);
  EXPECT_TRUE(enable.filterNull);

  ASSERT_EQ(1u, etw.opens.size());  // the consumer's own
  const tvr_test::OpenCall& open = etw.opens.front();
  EXPECT_FALSE(open.onCreatingThread);
  EXPECT_EQ(L"TS CS ETW Monitor", open.loggerName);
  EXPECT_TRUE(open.logFileNameNull);
  EXPECT_EQ(0x10000100u, open.processTraceMode);
  EXPECT_EQ(&EventRecordCallback, open.eventRecordCallback);
  EXPECT_TRUE(open.contextNull);
  EXPECT_EQ(1u, etw.processHandleCount);
  EXPECT_TRUE(etw.processTimesNull);

  StopPowerETW(fields);
  ExpectAllReleased(etw, fields);
}

TEST(PowerEtwStart, FailedAllocationsSkipTheSessionAndTheEventQuietly) {
  ScratchLog log(true);
  ModeCheckCounter checks;
  FakeEtw etw;
  etw.failHeapAlloc = true;
  etw.events = {{507}};

  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  ASSERT_TRUE(etw.WaitUntilProcessing(2000));

  EXPECT_EQ(0, etw.startCalls);
  EXPECT_EQ(nullptr, fields.etwProperties);
  EXPECT_EQ(std::vector<Line>{kCreateThread}, log.Lines());
  EXPECT_EQ(1, etw.delivered);
  EXPECT_EQ(0, checks.Checks());

  EXPECT_LT(StopSeconds(fields), 2.0);
  ExpectAllReleased(etw, fields);
}

// --- Events --------------------------------------------------------------

struct EventCase {
  const char* name;
  std::vector<FakeEtwEvent> events;
  bool logging;
  std::vector<std::string> messages;  // INFO lines of EventRecordCallback, in order
  int checks;
};

void PrintTo(const EventCase& c, std::ostream* out) { *out << c.name; }

class Events : public ::testing::TestWithParam<EventCase> {};

TEST_P(Events, LinesAndModeChecks) {
  const EventCase& c = GetParam();
  ScratchLog log(c.logging);
  ModeCheckCounter checks;
  FakeEtw etw;
  etw.events = c.events;

  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  ASSERT_TRUE(etw.WaitUntilProcessing(2000));  // every event handled by now
  EXPECT_EQ(static_cast<int>(c.events.size()), etw.delivered);

  std::vector<Line> expected;
  for (const std::string& message : c.messages) expected.push_back({"[INFO]", "EventRecordCallback", message});
  EXPECT_EQ(expected, log.LinesOf("EventRecordCallback"));
  EXPECT_EQ(c.checks, checks.Checks());

  StopPowerETW(fields);
  ExpectAllReleased(etw, fields);
}

INSTANTIATE_TEST_SUITE_P(
    Monitor, Events,
    ::testing::Values(
        EventCase{"EnterStandbyLogsOnly", {{506}}, true, {"506"}, 0},
        EventCase{"LeaveStandbyLogsAndChecks", {{507}}, true, {"507"}, 1},
        EventCase{"LeaveStandbyWithoutLogStillChecks", {{507}}, false, {}, 1},
        EventCase{"OtherIdDoesNothing", {{42}}, true, {}, 0},
        EventCase{"UndescribableDoesNothing", {{507, Description::Undescribable}}, true, {}, 0},
        // A failed description must not be read: the block may hold anything.
        EventCase{"FailedDescriptionDoesNothing", {{507, Description::SecondCallFails}}, true, {}, 0},
        EventCase{"MixedInDeliveryOrder",
                  {{507}, {42}, {506, Description::Undescribable}, {506}, {507}},
                  true,
                  {"507", "506", "507"},
                  2}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return std::string(info.param.name); });

// Leaving standby runs the owner's action and nothing of its own: a monitor
// handed no action only logs, and a later monitor's action is the one run.
TEST(PowerEtwEvents, LeavingStandbyRunsTheActionOfThisRegistration) {
  ScratchLog log(true);
  ModeCheckCounter checks;
  {
    FakeEtw etw;
    etw.events = {{507}};
    PowerEtwFields fields;
    RegisterPowerETW(fields, log.log(), nullptr);
    ASSERT_TRUE(etw.WaitUntilProcessing(2000));
    EXPECT_EQ(1, etw.delivered);
    StopPowerETW(fields);
    ExpectAllReleased(etw, fields);
  }
  EXPECT_EQ(0, checks.Checks());
  {
    FakeEtw etw;
    etw.events = {{507}};
    PowerEtwFields fields;
    RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
    ASSERT_TRUE(etw.WaitUntilProcessing(2000));
    StopPowerETW(fields);
    ExpectAllReleased(etw, fields);
  }
  EXPECT_EQ(1, checks.Checks());
  const std::vector<Line> expected = {{"[INFO]", "EventRecordCallback", "507"}, {"[INFO]", "EventRecordCallback", "507"}};
  EXPECT_EQ(expected, log.LinesOf("EventRecordCallback"));
}

TEST(PowerEtwEvents, NoCheckOrLineOnceStopped) {
  ScratchLog log(true);
  ModeCheckCounter checks;
  FakeEtw etw;
  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  ASSERT_TRUE(etw.WaitUntilProcessing(2000));
  StopPowerETW(fields);
  const size_t linesAtStop = log.Lines().size();
  const int tdhAtStop = etw.tdhCalls;

  // The platform delivers one more record after the stop.
  FakeEtwEvent late{507};
  EVENT_RECORD record{};
  record.EventHeader.EventDescriptor.Id = 507;
  record.UserContext = &late;
  EventRecordCallback(&record);

  EXPECT_EQ(0, checks.Checks());
  EXPECT_EQ(linesAtStop, log.Lines().size());
  EXPECT_EQ(tdhAtStop, etw.tdhCalls);
  ExpectAllReleased(etw, fields);
}

// A check that hangs (WMI is often slow right after a resume) must not hold
// the stop past its bound: the service manager would see the service stuck in
// STOP_PENDING. The stop ends within its 5000 ms, and the check, which may
// finish later, touches nothing the stop released and starts nothing new.
TEST(PowerEtwEvents, StopIsBoundedWhileACheckHangsAndTheLateCheckIsHarmless) {
  ScratchLog log(true);
  ModeCheckCounter checks;
  checks.Hold();  // the held check gives up by itself after 10 s
  FakeEtw etw;
  etw.events = {{507}, {507}};
  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  for (int i = 0; i < 200 && checks.Checks() == 0; ++i) Sleep(10);
  ASSERT_EQ(1, checks.Checks());

  const double seconds = StopSeconds(fields);
  EXPECT_LT(seconds, 6.5) << "the stop waited for the hung check";
  EXPECT_EQ(1, checks.Checks() - checks.Finished()) << "the check is still running";
  // Everything the stop owns is released although the consumer still runs.
  EXPECT_EQ(nullptr, fields.etwThread);
  EXPECT_EQ(nullptr, fields.etwProperties);
  EXPECT_EQ(etw.threadsCreated, etw.threadHandlesClosed);
  EXPECT_EQ(0, etw.OpenProcessingHandles());
  const size_t linesAtStop = log.Lines().size();

  checks.Release();
  ASSERT_TRUE(etw.WaitConsumersEnded(10000)) << "the consumer never ended after its check";
  EXPECT_EQ(1, checks.Finished());
  EXPECT_EQ(1, checks.Checks()) << "the second event ran a check after the stop";
  EXPECT_EQ(linesAtStop, log.Lines().size()) << "a line after the stop";
  // The only block still out at the stop was the callback's own description,
  // which it freed itself.
  EXPECT_EQ(etw.heapAllocs, etw.heapFrees);
  EXPECT_TRUE(etw.liveBlocks.empty());
  for (TRACEHANDLE handle : etw.openedHandles) EXPECT_EQ(1, etw.ClosesOf(handle)) << "handle " << handle;
}

// --- Stop ------------------------------------------------------------------

TEST(PowerEtwStop, EndsTheConsumerInProcessTraceAndLeavesTheSession) {
  ScratchLog log(false);
  FakeEtw etw;
  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  ASSERT_TRUE(etw.WaitUntilProcessing(2000));
  ASSERT_EQ(1u, etw.openedHandles.size());

  EXPECT_LT(StopSeconds(fields), 2.0);
  EXPECT_EQ(1, etw.ClosesOf(etw.openedHandles.front()));
  EXPECT_EQ(etw.sessionHandle, fields.etwSession) << "the session stays as it is";
  ExpectAllReleased(etw, fields);
}

// Stops that come before the consumer has published its processing handle.
class StopBeforePublish : public ::testing::TestWithParam<ConsumerHold> {};

TEST_P(StopBeforePublish, EndsTheConsumerPromptlyWithoutProcessing) {
  ScratchLog log(false);
  FakeEtw etw;
  etw.hold = GetParam();
  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);

  EXPECT_LT(StopSeconds(fields), 2.0);
  EXPECT_EQ(0, etw.processCalls);
  ExpectAllReleased(etw, fields);
}

INSTANTIATE_TEST_SUITE_P(Monitor, StopBeforePublish,
                         ::testing::Values(ConsumerHold::BeforeStart, ConsumerHold::InOpen),
                         [](const ::testing::TestParamInfo<ConsumerHold>& info) {
                           return std::string(info.param == ConsumerHold::BeforeStart ? "ThreadNotYetRunning"
                                                                                       : "OpeningTheSession");
                         });

TEST(PowerEtwStop, SessionThatEndsByItselfIsClosedOnceByTheConsumer) {
  ScratchLog log(false);
  FakeEtw etw;
  etw.sessionEndsAfterEvents = true;
  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(fields.etwThread, 2000));
  ASSERT_EQ(1u, etw.openedHandles.size());
  EXPECT_EQ(1, etw.ClosesOf(etw.openedHandles.front()));

  StopPowerETW(fields);
  ExpectAllReleased(etw, fields);
}

TEST(PowerEtwStop, ConsumerThatCannotOpenEndsAndIsStillReleased) {
  ScratchLog log(true);
  FakeEtw etw;
  etw.startResult = ERROR_ACCESS_DENIED;
  etw.openSucceeds = false;
  PowerEtwFields fields;
  RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(fields.etwThread, 2000));
  EXPECT_EQ(0, etw.processCalls);
  EXPECT_EQ(0u, fields.etwSession);

  EXPECT_LT(StopSeconds(fields), 2.0);
  EXPECT_EQ(1, etw.threadHandlesClosed);
  ExpectAllReleased(etw, fields);
  EXPECT_EQ(2u, log.Lines().size()) << "the consumer writes no line of its own";
}

TEST(PowerEtwStop, TwoHundredStartsAndStopsReleaseEverything) {
  ScratchLog log(true);
  ModeCheckCounter checks;
  FakeEtw etw;
  etw.events = {{506}, {507}};
  const ULONG results[] = {ERROR_SUCCESS, ERROR_ALREADY_EXISTS, ERROR_ACCESS_DENIED, ERROR_NO_SYSTEM_RESOURCES};

  PowerEtwFields fields;
  for (int cycle = 0; cycle < 200; ++cycle) {
    etw.startResult = results[cycle % 4];
    RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
    // Every other cycle stops at once, wherever the consumer happens to be.
    if (cycle % 2 == 0) {
      ASSERT_TRUE(etw.WaitUntilProcessing(2000)) << "cycle " << cycle;
    }
    ASSERT_LT(StopSeconds(fields), 2.0) << "cycle " << cycle;
  }

  EXPECT_EQ(200, etw.threadsCreated);
  EXPECT_EQ(200, etw.waits);
  EXPECT_GE(etw.heapAllocs, 200) << "one properties block per start";
  ExpectAllReleased(etw, fields);
  EXPECT_LE(checks.Checks(), 200);
}

// --- The real platform -------------------------------------------------------

// Only the event description is kept away: the platform here cannot describe
// events and would end the process. Everything else is the real thing.
TEST(PowerEtwReal, StartAndStopCompleteWithoutDescribingEvents) {
  static std::atomic<int> tdhCalls{0};
  struct Restore {
    EtwPlatformCalls previous = EtwPlatform();
    ~Restore() { EtwPlatform() = previous; }
  } restore;
  EtwPlatform().tdhGetEventInformation = [](PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO,
                                            PULONG) -> ULONG {
    ++tdhCalls;
    return ERROR_NOT_SUPPORTED;
  };
  {
    ScratchLog log(true);
    PowerEtwFields fields;
    RegisterPowerETW(fields, log.log(), &ModeCheckCounter::Action);
    EXPECT_NE(nullptr, fields.etwThread);
    EXPECT_LT(StopSeconds(fields), 2.0);
    EXPECT_EQ(nullptr, fields.etwThread);
    EXPECT_EQ(nullptr, fields.etwProperties);
    const std::vector<Line> lines = log.LinesOf("RegisterPowerETW");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(kCreateThread, lines.back());
  }
  EXPECT_EQ(0, tdhCalls.load());
}

}  // namespace
