// The shipped TVRSvc.exe, unchanged, installed with its own -install and run
// by Wine's real service manager, against stand-ins outside it: the firmware
// WMI provider that the end-to-end prefix registers for the WMI locator, and
// indicator devices recorded by this process. Every decision is judged
// against the slate metric as Wine reports it to this process.
#include <windows.h>
#include <wbemcli.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "indicator_devices.h"

namespace {

using namespace tvr_standin;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

constexpr unsigned kDevices = 2;
constexpr DWORD kWait = 15000;
// How long a check that must not write is given to write anyway.
constexpr DWORD kSettleMs = 400;

constexpr char kLaptopClass[] = "UsageModeEvent == kLaptop || UsageModeEvent == kFloating";

bool WantsLaptop(unsigned code) { return code == 1 || code == 32; }

// The decision the service must take for `code`, with the system state as
// Wine reports it (read afresh, as the service does).
bool MustToggle(unsigned code) {
  const bool systemIsLaptop = ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE) != 0;
  return WantsLaptop(code) != systemIsLaptop;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// "function | message" of every well-formed line from `from` on; a line that
// breaks the layout shows up whole, so that it fails any comparison.
std::vector<std::string> LogEntries(size_t from = 0) {
  std::vector<std::string> entries;
  const std::vector<LogLine> lines = ReadServiceLog();
  for (size_t i = from; i < lines.size(); ++i) {
    const LogLine& l = lines[i];
    entries.push_back(l.wellFormed ? (l.level.substr(0, l.level.find(']') + 1) + " " + l.function + " | " + l.message)
                                   : ("malformed: " + l.raw));
  }
  return entries;
}

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RemoveServiceIfPresent()) << "a TVRSvc service is left over";
    ASSERT_TRUE(SetLogSwitch(true));
    DeleteServiceLog();
    ASSERT_TRUE(WriteFirmwareState({}));
    devices_ = std::make_unique<IndicatorDevices>(kDevices);
    ASSERT_TRUE(devices_->ok()) << devices_->error();
    std::string output;
    ASSERT_EQ(RunAndWait(ProductExe(), L"-install", &output), 0) << output;
    ASSERT_TRUE(ServiceInstalled()) << output;
  }

  void TearDown() override {
    if (ServiceState() == SERVICE_RUNNING) (void)StopInstalledService();
    std::string output;
    (void)RunAndWait(ProductExe(), L"-remove", &output);
    (void)RemoveServiceIfPresent();
    devices_.reset();
    (void)WriteFirmwareState({});
  }

  // Starts the service and waits until its start-up check has finished:
  // the check's own WMI client gives its locator back when it is done (the
  // subscription's locator lives until the stop).
  void StartAndAwaitFirstCheck() {
    journalMark_ = ReadJournal().size();
    ASSERT_TRUE(StartInstalledService(&pid_)) << "state " << ServiceState();
    ASSERT_NE(pid_, 0u);
    servicePids_.push_back(pid_);
    ASSERT_TRUE(WaitUntil([&] { return !Journal("free #").empty() && HasFreedLocator(); }, kWait))
        << "the start-up check did not finish";
  }

  bool HasFreedLocator() {
    for (const std::string& line : Journal("free #")) {
      if (line.find(" Locator") != std::string::npos) return true;
    }
    return false;
  }

  // This run's journal lines that contain `needle`.
  std::vector<std::string> Journal(const std::string& needle) {
    return JournalLines(ReadJournal(), pid_, needle, journalMark_);
  }

  // Each device received exactly `bytes` zero bytes, one per open, each
  // open made by the service process and closed again.
  void ExpectDeviceBytes(size_t bytes, const char* when) {
    for (unsigned d = 0; d < kDevices; ++d) {
      if (bytes > 0) {
        EXPECT_TRUE(devices_->WaitForBytes(d, bytes, kWait)) << when << ": device " << d;
      }
    }
    ::Sleep(kSettleMs);  // a stray extra write would land by now
    for (unsigned d = 0; d < kDevices; ++d) {
      EXPECT_EQ(devices_->Bytes(d), std::vector<BYTE>(bytes, 0x00)) << when << ": device " << d;
      size_t opens = 0, closes = 0;
      for (const IndicatorEvent& e : devices_->Events(d)) {
        if (e.kind == IndicatorEvent::kOpen) {
          ++opens;
          EXPECT_THAT(servicePids_, testing::Contains(e.clientPid))
              << when << ": device " << d << " opened by another process";
        }
        if (e.kind == IndicatorEvent::kClose) ++closes;
        // The driver would have refused it; the stand-in cut it unread.
        EXPECT_NE(e.kind, IndicatorEvent::kSecondOpen)
            << when << ": device " << d << " opened again while open, by pid " << e.clientPid;
      }
      EXPECT_EQ(opens, bytes) << when << ": device " << d << ": one open per byte";
      EXPECT_EQ(closes, opens) << when << ": device " << d << " left open";
    }
  }

  void StopAndExpectEverythingReleased() {
    ASSERT_TRUE(StopInstalledService()) << "state " << ServiceState();
    const std::vector<std::string> journal = ReadJournal();
    EXPECT_THAT(UnreleasedObjects(journal, pid_), IsEmpty()) << "WMI objects the service never released";
    EXPECT_THAT(JournalLines(journal, pid_, "unexpected", journalMark_), IsEmpty());
  }

  std::unique_ptr<IndicatorDevices> devices_;
  DWORD pid_ = 0;
  std::vector<DWORD> servicePids_;  // every run of this test
  size_t journalMark_ = 0;
};

// The lines every start writes before the first check's own line.
const std::vector<std::string> kStartLines = {
    "[INFO] OnStart | PLNX Service in OnStart",
    "[INFO] ServiceWorkerThread | ServiceWorkerThread Enter",
    "[INFO] ServiceWorkerThread | WTSGetActiveConsoleSessionId() != INVALID_SESSION_ID && session_id != 0",
};
// What the connected-standby monitor writes under Wine, whose StartTraceW
// is a stub that succeeds: the session "starts", then the consumer thread.
const std::vector<std::string> kMonitorLines = {
    "[INFO] RegisterPowerETW | ERROR_SUCCESS",
    "[ERROR] RegisterPowerETW | CreateThread",
};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// --- start ---------------------------------------------------------------------

TEST_F(EndToEnd, StartAsksTheFirmwareExactlyAsWmiExpects) {
  StartAndAwaitFirstCheck();
  ExpectDeviceBytes(MustToggle(1) ? 1 : 0, "start in laptop posture");

  // The subscription, then the check's own connection.
  EXPECT_THAT(Journal("call ConnectServer"),
              ElementsAre(testing::HasSubstr("namespace=\"root\\wmi\" user=0 password=0 locale=0 flags=0x0 "
                                             "authority=0 context=0 -> 0x00000000"),
                          testing::HasSubstr("namespace=\"root\\wmi\" user=0 password=0 locale=0 flags=0x0 "
                                             "authority=0 context=0 -> 0x00000000")));
  EXPECT_THAT(Journal("call SetBlanket"),
              testing::Each(testing::HasSubstr("authn=10 authz=0 principal=(null) level=3 imp=3 identity=0 caps=0x0")));
  EXPECT_EQ(Journal("call SetBlanket").size(), 2u);
  EXPECT_THAT(Journal("call CreateInstance UnsecuredApartment"), ElementsAre(testing::HasSubstr("outer=0 -> 0x00000000")));
  // One locator for the subscription's client, one for the check's.
  EXPECT_EQ(Journal("call CreateInstance WbemLocator").size(), 2u);
  EXPECT_THAT(Journal("call CreateObjectStub"), ElementsAre(testing::HasSubstr("-> 0x00000000")));
  EXPECT_THAT(Journal("call ExecNotificationQueryAsync"),
              ElementsAre(testing::HasSubstr(
                  "language=\"WQL\" query=\"SELECT * FROM RuxeEvent\" flags=0x80 context=0 -> 0x00000000")));
  EXPECT_THAT(Journal("call ExecQuery"),
              ElementsAre(testing::HasSubstr(
                  "language=\"WQL\" query=\"select * from RuxeAction\" flags=0x30 context=0 -> 0x00000000")));
  EXPECT_THAT(Journal("call Next"),
              ElementsAre(testing::HasSubstr("timeout=0xffffffff count=1 -> 0x00000000 returned=1")));
  EXPECT_THAT(Journal("name=\"InstanceName\""),
              ElementsAre(testing::HasSubstr("flags=0x0 askType=0 askFlavor=0 -> 0x00000000")));
  EXPECT_THAT(Journal("call GetObject"),
              ElementsAre(testing::HasSubstr("path=\"RuxeAction\" flags=0x0 context=0 askCallResult=0 -> 0x00000000")));
  EXPECT_THAT(Journal("call GetMethod"),
              ElementsAre(testing::HasSubstr("name=\"GetFunction\" flags=0x0 askIn=1 askOut=0 -> 0x00000000")));
  // The number goes as its text, which WMI coerces to the uint32 parameter.
  EXPECT_THAT(Journal("call Put"),
              ElementsAre(testing::HasSubstr("name=\"uiInput\" flags=0x0 vt=8 value=\"5\" type=0 -> 0x00000000")));
  // The key value keeps its backslashes doubled inside the quotes.
  EXPECT_THAT(Journal("call ExecMethod"),
              ElementsAre(testing::HasSubstr("path=\"RuxeAction.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"\" "
                                             "method=\"GetFunction\" flags=0x0 context=0")));
  EXPECT_THAT(Journal("call ExecMethod"),
              ElementsAre(testing::HasSubstr("uiInput=5 vt=3 askOut=1 askCallResult=0 -> 0x00000000")));
  EXPECT_THAT(Journal("name=\"uiOutput\""), ElementsAre(testing::HasSubstr("-> 0x00000000")));

  ASSERT_TRUE(WaitUntil([] { return LogEntries().size() >= 6; }, kWait));
  EXPECT_THAT(LogEntries(), ElementsAreArray(Concat(Concat(kStartLines, {std::string("[INFO] CheckModeWithWMI | ") +
                                                                          kLaptopClass}),
                                                    kMonitorLines)));
  StopAndExpectEverythingReleased();
  // The subscription's client cancels its call; the check's client, which
  // has no call, is refused by WMI and carries on.
  EXPECT_THAT(Journal("call CancelAsyncCall #"),
              testing::UnorderedElementsAre(testing::HasSubstr("sink=1 -> 0x00000000"),
                                            testing::HasSubstr("sink=0 -> 0x80041008")));
  EXPECT_EQ(LogEntries().back(), "[INFO] ServiceWorkerThread | ServiceWorkerThread End");
}

struct StartCase {
  const char* name;
  FirmwareState firmware;
  bool answers;  // GetFunction gives a valid mode
};

class StartDecision : public EndToEnd, public testing::WithParamInterface<StartCase> {};

TEST_P(StartDecision, WritesEachDeviceOnlyWhenTheSystemDisagrees) {
  const StartCase& c = GetParam();
  ASSERT_TRUE(WriteFirmwareState(c.firmware));
  StartAndAwaitFirstCheck();
  const bool toggle = c.answers && MustToggle(c.firmware.posture);
  ExpectDeviceBytes(toggle ? 1 : 0, c.name);

  ASSERT_TRUE(WaitUntil([&] { return LogEntries().size() >= kStartLines.size() + (c.answers ? 3 : 2); }, kWait));
  std::vector<std::string> expected = kStartLines;
  if (c.answers) {
    expected.push_back(std::string("[INFO] CheckModeWithWMI | ") +
                       (WantsLaptop(c.firmware.posture) ? kLaptopClass : "UsageModeEvent == other mode"));
  }
  EXPECT_THAT(LogEntries(), ElementsAreArray(Concat(expected, kMonitorLines))) << c.name;
  StopAndExpectEverythingReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Postures, StartDecision,
    testing::Values(StartCase{"floating", {32, 0}, true}, StartCase{"tablet", {2, 0}, true},
                    StartCase{"code 0", {0, 0}, true}, StartCase{"status byte 1", {1, 1}, false},
                    StartCase{"GetFunction fails", {1, 0, S_OK, S_OK, static_cast<HRESULT>(WBEM_E_FAILED)}, false}),
    [](const testing::TestParamInfo<StartCase>& info) {
      std::string name = info.param.name;
      std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
      return name;
    });

// --- firmware events ---------------------------------------------------------------

struct EventCase {
  const char* name;
  std::vector<BYTE> detail;
  unsigned objects;   // event objects in one Indicate
  int code;           // usage-mode code it carries; -1 not a usage-mode event
};

TEST_F(EndToEnd, EveryFirmwareEventIsDecidedByTheModeItCarries) {
  // Tablet at start: the start-up check wants slate.
  ASSERT_TRUE(WriteFirmwareState({2, 0}));
  StartAndAwaitFirstCheck();
  size_t bytes = MustToggle(2) ? 1 : 0;
  ExpectDeviceBytes(bytes, "start in tablet posture");
  ASSERT_TRUE(WaitUntil([] { return LogEntries().size() >= 6; }, kWait));

  const std::vector<EventCase> cases = {
      {"laptop", UsageModeEventDetail(1), 1, 1},
      {"floating", UsageModeEventDetail(32), 1, 32},
      {"tablet", UsageModeEventDetail(2), 1, 2},
      {"code 257", UsageModeEventDetail(257), 1, 257},
      {"kind 4", {4, 0, 0, 0, 0, 0, 1, 0}, 1, -1},
      {"empty EventDetail", {}, 1, -1},
      {"one byte 05", {5}, 1, 0},
      {"twelve bytes", {5, 0, 0, 0, 0, 0, 1, 0, 9, 9, 9, 9}, 1, 1},
      {"laptop twice at once", UsageModeEventDetail(1), 2, 1},
  };
  for (const EventCase& c : cases) {
    const size_t logMark = ReadServiceLog().size();
    ASSERT_EQ(RaiseFirmwareEvent(pid_, c.detail, c.objects), 1) << c.name << ": the subscription is not there";
    std::vector<std::string> expectedLines;
    if (c.code >= 0) {
      for (unsigned i = 0; i < c.objects; ++i) {
        expectedLines.push_back(std::string("[INFO] EventSink::Indicate | ") +
                                (WantsLaptop(static_cast<unsigned>(c.code)) ? kLaptopClass : "UsageModeEvent == other"));
        if (MustToggle(static_cast<unsigned>(c.code))) ++bytes;
      }
    }
    // Indicate has returned: its writes are done, its lines written.
    ExpectDeviceBytes(bytes, c.name);
    EXPECT_THAT(LogEntries(logMark), ElementsAreArray(expectedLines)) << c.name;
  }
  StopAndExpectEverythingReleased();
  // The subscription was cancelled and its sink told so.
  EXPECT_THAT(Journal("status delivered"), ElementsAre(testing::HasSubstr("WBEM_E_CALL_CANCELLED -> 0x00000000")));
}

TEST_F(EndToEnd, LostAndLateEventsChangeNothingUntilTheyArrive) {
  ASSERT_TRUE(WriteFirmwareState({2, 0}));
  StartAndAwaitFirstCheck();
  size_t bytes = MustToggle(2) ? 1 : 0;
  ExpectDeviceBytes(bytes, "start");

  // Lost: the firmware changes posture and its event never comes.
  ASSERT_TRUE(WriteFirmwareState({1, 0}));
  ExpectDeviceBytes(bytes, "posture laptop, event lost");
  // Late: it comes only after the next step.
  ASSERT_TRUE(WriteFirmwareState({32, 0}));
  ExpectDeviceBytes(bytes, "posture floating, event not yet there");
  ASSERT_EQ(RaiseFirmwareEvent(pid_, UsageModeEventDetail(32)), 1);
  if (MustToggle(32)) ++bytes;
  ExpectDeviceBytes(bytes, "the late floating event");
  StopAndExpectEverythingReleased();
}

// --- firmware faults -----------------------------------------------------------------

TEST_F(EndToEnd, AProviderThatCannotBeReachedLeavesTheServiceRunningAndWritingNothing) {
  ASSERT_TRUE(WriteFirmwareState({1, 0, static_cast<HRESULT>(WBEM_E_FAILED)}));
  StartAndAwaitFirstCheck();
  ExpectDeviceBytes(0, "ConnectServer fails");
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  // Nothing subscribed, so an event reaches no one.
  EXPECT_EQ(RaiseFirmwareEvent(pid_, UsageModeEventDetail(1)), 0);
  ExpectDeviceBytes(0, "event without a subscription");
  EXPECT_THAT(Journal("call ExecQuery"), IsEmpty());
  EXPECT_THAT(Journal("call ExecNotificationQueryAsync"), IsEmpty());
  ASSERT_TRUE(WaitUntil([] { return LogEntries().size() >= 5; }, kWait));
  EXPECT_THAT(LogEntries(), ElementsAreArray(Concat(kStartLines, kMonitorLines)));
  EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  StopAndExpectEverythingReleased();
}

TEST_F(EndToEnd, AFailingQueryLeavesTheSubscriptionWorking) {
  ASSERT_TRUE(WriteFirmwareState({1, 0, S_OK, static_cast<HRESULT>(WBEM_E_FAILED)}));
  StartAndAwaitFirstCheck();
  ExpectDeviceBytes(0, "ExecQuery fails");
  EXPECT_EQ(RaiseFirmwareEvent(pid_, UsageModeEventDetail(1)), 1);
  ExpectDeviceBytes(MustToggle(1) ? 1 : 0, "laptop event");
  StopAndExpectEverythingReleased();
}

// --- stop and start again ---------------------------------------------------------------

TEST_F(EndToEnd, StopGivesEverythingBackAndTheNextStartDecidesAgain) {
  StartAndAwaitFirstCheck();
  size_t bytes = MustToggle(1) ? 1 : 0;
  ExpectDeviceBytes(bytes, "first start");
  const DWORD firstPid = pid_;
  StopAndExpectEverythingReleased();
  EXPECT_EQ(RaiseFirmwareEvent(pid_, UsageModeEventDetail(1), 1, 1, 300), -1) << "the provider outlived its process";

  // The firmware moved on while the service was stopped.
  ASSERT_TRUE(WriteFirmwareState({32, 0}));
  const size_t logMark = ReadServiceLog().size();
  StartAndAwaitFirstCheck();
  EXPECT_NE(pid_, firstPid);
  if (MustToggle(32)) ++bytes;
  ExpectDeviceBytes(bytes, "second start");
  EXPECT_EQ(RaiseFirmwareEvent(pid_, UsageModeEventDetail(1)), 1) << "the second run subscribed afresh";
  if (MustToggle(1)) ++bytes;
  ExpectDeviceBytes(bytes, "event in the second run");
  ASSERT_TRUE(WaitUntil([&] { return LogEntries(logMark).size() >= 7; }, kWait));
  EXPECT_THAT(LogEntries(logMark),
              ElementsAreArray(Concat(Concat(kStartLines, {std::string("[INFO] CheckModeWithWMI | ") + kLaptopClass}),
                                      Concat(kMonitorLines, {std::string("[INFO] EventSink::Indicate | ") +
                                                             kLaptopClass}))));
  StopAndExpectEverythingReleased();
}

// --- the log switch ---------------------------------------------------------------------

TEST_F(EndToEnd, WithTheLogSwitchOffTheSameWritesHappenAndNoLogIsMade) {
  ASSERT_TRUE(SetLogSwitch(false));
  StartAndAwaitFirstCheck();
  size_t bytes = MustToggle(1) ? 1 : 0;
  ExpectDeviceBytes(bytes, "start, log off");
  ASSERT_EQ(RaiseFirmwareEvent(pid_, UsageModeEventDetail(1)), 1);
  if (MustToggle(1)) ++bytes;
  ExpectDeviceBytes(bytes, "laptop event, log off");
  StopAndExpectEverythingReleased();
  EXPECT_EQ(::GetFileAttributesW(ServiceLogPath().c_str()), INVALID_FILE_ATTRIBUTES)
      << Narrow(ServiceLogPath()) << " was made with logging off";
}

}  // namespace
