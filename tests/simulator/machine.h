#pragma once
// The simulated convertible: the edges the service meets on a real machine,
// built from the shared fakes and driven as the platform would drive them.
//
// - Firmware (FakeFirmware behind the WMI seam): a posture, answered by
//   GetFunction; every posture event is a RuxeEvent whose "EventDetail" is
//   05 00 00 00 00 00 lo hi, delivered to the subscribed sink on a thread of
//   its own. Faults: a non-zero status byte, a failing method call.
// - The system's slate state (FakeSlate behind the slate seam): the metric,
//   flipped by every one-byte write to one of the indicator devices.
// - Power and session events: delivered through the control handler the
//   service registered, one at a time on a dispatcher thread of the
//   machine's, as the service manager does.
// - Connected standby: kernel-power events 506 and 507 handed to the
//   service's trace consumer while it blocks in ProcessTrace (FakeEtw). The
//   trace session lives as long as the machine: the first start makes it,
//   every later start finds it (ERROR_ALREADY_EXISTS) and attaches.
// - Service control: the real CServiceInstance, started through
//   CServiceBase::ServiceMain on a thread of its own and stopped through the
//   control handler.
//
// Every operation returns once the service has finished acting on it; the
// waits are on signals, with generous bounds. A bound that runs out means the
// service hangs: the machine says so on stderr and ends the process (exit
// code 3) rather than hang the caller.
//
// One machine at a time per process (the fakes are process-wide).

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/fake_etw.h"
#include "common/fake_scm.h"
#include "common/fake_slate.h"
#include "common/fake_wmi.h"
#include "common/log_fixture.h"
#include "mode/slate_platform.h"

class CServiceInstance;

namespace tvr_sim {

class ControlDispatcher;

struct MachineOptions {
  unsigned devices = 1;     // indicator devices
  bool logging = true;      // the registry switch on, a real log file
  int slate = 1;            // starting SM_CONVERTIBLESLATEMODE (1 laptop, 0 slate)
  unsigned posture = 1;     // starting firmware posture (kLaptop)
};

class SimulatedMachine {
 public:
  explicit SimulatedMachine(MachineOptions options = {});
  // Stops the service if it still runs, then takes the fakes out.
  ~SimulatedMachine();
  SimulatedMachine(const SimulatedMachine&) = delete;
  SimulatedMachine& operator=(const SimulatedMachine&) = delete;

  // --- Firmware ------------------------------------------------------------
  // What GetFunction reports from now on (code 0..255). Raises no event.
  void SetPosture(unsigned code);
  [[nodiscard]] unsigned Posture() const;
  // Raises the posture event carrying `code` `copies` times, each delivery on
  // a thread of its own, all at once; returns when every delivery has
  // returned. Returns the number delivered (0 when nothing is subscribed).
  // `startTicks`, when given, receives the performance counter taken just
  // before the first delivery reached the subscription.
  int RaiseEvent(unsigned code, int copies = 1, LONGLONG* startTicks = nullptr);
  // GetFunction answers with status byte `status` (0: healthy again).
  void SetStatusFault(unsigned status);
  // GetFunction fails (WBEM_E_FAILED) while `fail` holds.
  void SetMethodFault(bool fail);
  // The firmware answers a check with a usable posture.
  [[nodiscard]] bool FirmwareHealthy() const;

  // --- The system's slate state ---------------------------------------------
  void SetSlate(int metric);
  [[nodiscard]] int Slate() const;
  // The slate state agrees with the firmware's posture.
  [[nodiscard]] bool InLine() const;

  // --- Service --------------------------------------------------------------
  // Builds the service object (with a log object when logging is on), runs
  // ServiceMain and waits until the worker has finished its set-up: the
  // subscription, the first check and the trace consumer.
  void Start();
  // Delivers SERVICE_CONTROL_STOP and waits for its return (the service then
  // reports STOPPED), then destroys the service object as the entry does.
  void Stop();
  [[nodiscard]] bool Running() const { return service_ != nullptr; }
  // SERVICE_CONTROL_POWEREVENT with `eventType` (no event data).
  void Power(DWORD eventType);
  // SERVICE_CONTROL_SESSIONCHANGE with `eventType` for session `sessionId`.
  void Session(DWORD eventType, DWORD sessionId = 1);
  // Kernel-power event 506 (enter) or 507 (exit); returns once the service's
  // callback has finished with it.
  void Standby(bool enter);

  // --- Observation ----------------------------------------------------------
  [[nodiscard]] long Checks() const;        // GetFunction calls (mode checks that asked)
  [[nodiscard]] int Toggles() const;        // slate flips
  [[nodiscard]] int EventsDelivered() const { return eventsDelivered_.load(); }
  // The record of disagreements: each decision that toggled claims the
  // slate state it read (the count of flips so far). A state claimed twice
  // means two decisions toggled for one disagreement.
  [[nodiscard]] int DisagreementsActedOn() const;
  [[nodiscard]] int DoubleToggles() const;
  // Performance counter of the latest indicator write.
  [[nodiscard]] LONGLONG LastWriteTicks() const { return lastWriteTicks_.load(); }
  // Lines of the diagnostic log so far (empty with logging off).
  [[nodiscard]] std::vector<std::string> LogLines() const;
  // What the service has not given back: COM objects of the firmware, device
  // sets, handles and buffers of the slate, trace blocks and threads, event
  // sources. Meaningful while the service is stopped. Empty when all is back.
  [[nodiscard]] std::vector<std::string> Leaks() const;

  tvr_test::FakeFirmware& firmware() { return firmware_; }
  tvr_test::FakeSlate& slate() { return slate_; }
  tvr_test::FakeEtw& etw() { return etw_; }
  FakeScm& scm() { return scm_; }

 private:
  static int WINAPI RecordMetric(int index);
  static BOOL WINAPI RecordWrite(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  DWORD Control(DWORD control, DWORD eventType, LPVOID eventData);
  void ApplyFirmwareAnswer();

  MachineOptions options_;
  std::unique_ptr<tvr_test::ScopedLogging> logging_;  // outlives every log object
  wchar_t logPath_[260] = {};                          // the entry's path buffer
  FakeScm scm_;
  tvr_test::FakeFirmware firmware_;
  tvr_test::FakeSlate slate_;
  tvr_test::FakeEtw etw_;
  SlatePlatformCalls fakeSlateCalls_;  // the FakeSlate entries under our recorders
  std::unique_ptr<ControlDispatcher> dispatcher_;
  CServiceInstance* service_ = nullptr;

  mutable std::mutex mutex_;
  unsigned posture_;
  unsigned statusFault_ = 0;
  bool methodFault_ = false;
  int slateSets_ = 0;  // changes made by SetSlate, for the record of disagreements
  std::vector<bool> claimedStates_;  // by state (count of changes): a decision toggled for it
  int claims_ = 0;
  int doubleToggles_ = 0;
  bool traceSessionRegistered_ = false;  // a start made the trace session; it stays
  std::atomic<int> eventsDelivered_{0};
  std::atomic<LONGLONG> lastWriteTicks_{0};
};

// Ends the process with `message` on stderr (exit code 3): the service did not
// finish within a bound that only a hang can exceed.
[[noreturn]] void GiveUp(const std::string& message);

}  // namespace tvr_sim
