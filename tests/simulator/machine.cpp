#include "simulator/machine.h"

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <utility>

#include "log/log_file.h"
#include "mode/mode_check.h"
#include "mode/service_instance.h"
#include "service/service_base.h"

namespace tvr_sim {

namespace {

// Bounds on waits for the service: far beyond anything but a hang.
constexpr DWORD kBoundMs = 30000;

SimulatedMachine* g_machine = nullptr;

// The decision running on this thread: the slate state it read (as a count of
// changes) and whether one of its writes has claimed it yet.
thread_local int t_stateRead = -1;
thread_local bool t_claimed = true;

void JoinOrGiveUp(HANDLE thread, const std::string& what) {
  if (thread == nullptr) GiveUp("could not create a thread for " + what);
  if (::WaitForSingleObject(thread, kBoundMs) != WAIT_OBJECT_0) GiveUp(what + " did not return within 30 s");
  ::CloseHandle(thread);
}

// ServiceMain as the dispatcher runs it, on a thread of its own.
DWORD WINAPI RunServiceMain(LPVOID) {
  static wchar_t name[] = L"TVRSvc";
  static LPWSTR argv[] = {name, nullptr};
  CServiceBase::ServiceMain(1, argv);
  return 0;
}

struct Delivery {
  tvr_test::FakeFirmware* firmware;
  std::vector<tvr_test::FakeVariant> details;
  std::atomic<LONGLONG>* firstTicks;
  HRESULT result = E_UNEXPECTED;
};

// One firmware event on a thread of its own; WMI's delivery threads are in
// the multithreaded apartment.
DWORD WINAPI Deliver(LPVOID parameter) {
  auto* delivery = static_cast<Delivery*>(parameter);
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  LONGLONG none = 0;
  delivery->firstTicks->compare_exchange_strong(none, now.QuadPart);
  delivery->result = delivery->firmware->DeliverEvents(delivery->details);
  if (SUCCEEDED(com)) ::CoUninitialize();
  return 0;
}

}  // namespace

void GiveUp(const std::string& message) {
  std::fprintf(stderr, "simulated convertible: %s; giving up\n", message.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  ::TerminateProcess(::GetCurrentProcess(), 3);
  for (;;) ::Sleep(INFINITE);
}

// The service manager's dispatcher: control requests one at a time, on one
// thread, each returning before the next starts.
class ControlDispatcher {
 public:
  ControlDispatcher() : thread_(::CreateThread(nullptr, 0, &Loop, this, 0, nullptr)) {
    if (thread_ == nullptr) GiveUp("could not create the dispatcher thread");
  }
  ~ControlDispatcher() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    JoinOrGiveUp(thread_, "the dispatcher thread");
  }
  ControlDispatcher(const ControlDispatcher&) = delete;
  ControlDispatcher& operator=(const ControlDispatcher&) = delete;

  // Runs `work` on the dispatcher thread and returns its result; callers from
  // several threads queue up.
  DWORD Run(std::function<DWORD()> work, const std::string& what) {
    std::lock_guard caller(callers_);
    std::unique_lock lock(mutex_);
    work_ = std::move(work);
    done_ = false;
    changed_.notify_all();
    if (!changed_.wait_for(lock, std::chrono::milliseconds(kBoundMs), [&] { return done_; })) {
      GiveUp(what + " did not return within 30 s");
    }
    return result_;
  }

 private:
  static DWORD WINAPI Loop(LPVOID parameter) {
    auto* self = static_cast<ControlDispatcher*>(parameter);
    std::unique_lock lock(self->mutex_);
    for (;;) {
      self->changed_.wait(lock, [&] { return self->quit_ || self->work_; });
      if (!self->work_) return 0;
      std::function<DWORD()> work = std::move(self->work_);
      self->work_ = nullptr;
      lock.unlock();
      const DWORD result = work();
      lock.lock();
      self->result_ = result;
      self->done_ = true;
      self->changed_.notify_all();
    }
  }

  std::mutex callers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<DWORD()> work_;
  DWORD result_ = 0;
  bool done_ = false;
  bool quit_ = false;
  HANDLE thread_;
};

SimulatedMachine::SimulatedMachine(MachineOptions options)
    : options_(options),
      logging_(options.logging ? std::make_unique<tvr_test::ScopedLogging>(tvr_test::ScopedLogging::Publish::kNo)
                               : nullptr),
      slate_(options.slate, tvr_test::FakeSlate::Devices(options.devices)),
      posture_(options.posture) {
  if (g_machine != nullptr) GiveUp("a second simulated machine in one process");
  g_machine = this;
  ApplyFirmwareAnswer();
  // Our recorders sit on top of the fake devices: they see every decision's
  // read of the slate state and its writes.
  fakeSlateCalls_ = SlatePlatform();
  SlatePlatform().getSystemMetrics = &RecordMetric;
  SlatePlatform().writeFile = &RecordWrite;
  dispatcher_ = std::make_unique<ControlDispatcher>();
}

SimulatedMachine::~SimulatedMachine() {
  if (Running()) Stop();
  dispatcher_.reset();
  SlatePlatform() = fakeSlateCalls_;
  g_machine = nullptr;
}

// --- Firmware ----------------------------------------------------------------

void SimulatedMachine::ApplyFirmwareAnswer() {
  firmware_.SetUsage(posture_, statusFault_);
  firmware_.FailStep(tvr_test::WmiStep::ExecMethod, methodFault_ ? static_cast<HRESULT>(WBEM_E_FAILED) : S_OK);
}

void SimulatedMachine::SetPosture(unsigned code) {
  std::lock_guard lock(mutex_);
  posture_ = code;
  ApplyFirmwareAnswer();
}

unsigned SimulatedMachine::Posture() const {
  std::lock_guard lock(mutex_);
  return posture_;
}

void SimulatedMachine::SetStatusFault(unsigned status) {
  std::lock_guard lock(mutex_);
  statusFault_ = status;
  ApplyFirmwareAnswer();
}

void SimulatedMachine::SetMethodFault(bool fail) {
  std::lock_guard lock(mutex_);
  methodFault_ = fail;
  ApplyFirmwareAnswer();
}

bool SimulatedMachine::FirmwareHealthy() const {
  std::lock_guard lock(mutex_);
  return statusFault_ == 0 && !methodFault_;
}

int SimulatedMachine::RaiseEvent(unsigned code, int copies, LONGLONG* startTicks) {
  if (!firmware_.Subscribed()) return 0;
  // EventDetail: the change kind, five reserved bytes, the code little-endian.
  const std::vector<BYTE> detail = {5, 0, 0, 0, 0, 0, static_cast<BYTE>(code & 0xFF),
                                    static_cast<BYTE>((code >> 8) & 0xFF)};
  std::atomic<LONGLONG> firstTicks{0};
  std::vector<std::unique_ptr<Delivery>> deliveries;
  std::vector<HANDLE> threads;
  for (int i = 0; i < copies; ++i) {
    deliveries.push_back(std::make_unique<Delivery>(
        Delivery{&firmware_, {tvr_test::FakeVariant::Bytes(detail)}, &firstTicks}));
    threads.push_back(::CreateThread(nullptr, 0, &Deliver, deliveries.back().get(), 0, nullptr));
  }
  int delivered = 0;
  for (size_t i = 0; i < threads.size(); ++i) {
    JoinOrGiveUp(threads[i], "a firmware event delivery");
    if (SUCCEEDED(deliveries[i]->result)) ++delivered;
  }
  eventsDelivered_ += delivered;
  if (startTicks != nullptr) *startTicks = firstTicks.load();
  return delivered;
}

// --- Slate state ---------------------------------------------------------------

void SimulatedMachine::SetSlate(int metric) {
  std::lock_guard lock(mutex_);
  slate_.SetMetric(metric);
  ++slateSets_;
}

int SimulatedMachine::Slate() const { return slate_.Metric(); }

bool SimulatedMachine::InLine() const { return (Slate() != 0) == WantsLaptop(Posture()); }

int WINAPI SimulatedMachine::RecordMetric(int index) {
  SimulatedMachine* machine = g_machine;
  if (index != SM_CONVERTIBLESLATEMODE) return machine->fakeSlateCalls_.getSystemMetrics(index);
  std::lock_guard lock(machine->mutex_);
  const int value = machine->fakeSlateCalls_.getSystemMetrics(index);
  t_stateRead = machine->slate_.Toggles() + machine->slateSets_;
  t_claimed = false;
  return value;
}

BOOL WINAPI SimulatedMachine::RecordWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                          LPOVERLAPPED overlapped) {
  SimulatedMachine* machine = g_machine;
  {
    std::lock_guard lock(machine->mutex_);
    // The first write of a decision claims the state that decision read;
    // further devices of the same toggle claim nothing more.
    if (!t_claimed) {
      t_claimed = true;
      std::vector<bool>& claimed = machine->claimedStates_;
      if (claimed.size() <= static_cast<size_t>(t_stateRead)) claimed.resize(t_stateRead + 1, false);
      if (claimed[t_stateRead]) {
        ++machine->doubleToggles_;
      } else {
        claimed[t_stateRead] = true;
        ++machine->claims_;
      }
    }
  }
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  machine->lastWriteTicks_.store(now.QuadPart);
  return machine->fakeSlateCalls_.writeFile(file, data, size, written, overlapped);
}

// --- Service --------------------------------------------------------------------

void SimulatedMachine::Start() {
  if (Running()) return;
  // The trace session outlives the service: nothing stops it, so every start
  // after the first finds it registered and attaches (until a reboot, which
  // this machine never does).
  if (traceSessionRegistered_) etw_.startResult = ERROR_ALREADY_EXISTS;
  CLogFile* log = nullptr;
  if (options_.logging) {
    // As the entry does: the switch is read and the log made before the
    // service object exists.
    std::fill(std::begin(logPath_), std::end(logPath_), L'\0');
    log = CreateLog(logPath_);
  }
  try {
    service_ = new CServiceInstance(log);
  } catch (DWORD error) {
    GiveUp("the service object could not be built (error " + std::to_string(error) + ")");
  }
  g_activeService = service_;
  scm_.Clear();
  JoinOrGiveUp(::CreateThread(nullptr, 0, &RunServiceMain, nullptr, 0, nullptr), "ServiceMain");
  const std::vector<RecordedStatus> statuses = scm_.Statuses();
  if (scm_.handler == nullptr || statuses.empty() || statuses.back().state != SERVICE_RUNNING) {
    GiveUp("the service did not report SERVICE_RUNNING");
  }
  // The worker subscribes, runs the first check and only then starts the
  // trace consumer: a consumer blocked in ProcessTrace means set-up is done.
  if (!etw_.WaitUntilProcessing(kBoundMs)) GiveUp("the worker did not finish its set-up within 30 s");
  if (etw_.startCalls > 0 && etw_.startResult == ERROR_SUCCESS) traceSessionRegistered_ = true;
}

void SimulatedMachine::Stop() {
  if (!Running()) return;
  Control(SERVICE_CONTROL_STOP, 0, nullptr);
  const std::vector<RecordedStatus> statuses = scm_.Statuses();
  if (statuses.empty() || statuses.back().state != SERVICE_STOPPED) {
    GiveUp("the service did not report SERVICE_STOPPED");
  }
  // The dispatcher has returned: the entry destroys the service object.
  delete service_;
  service_ = nullptr;
  g_activeService = nullptr;
}

DWORD SimulatedMachine::Control(DWORD control, DWORD eventType, LPVOID eventData) {
  if (!Running()) return ERROR_SERVICE_NOT_ACTIVE;
  LPHANDLER_FUNCTION_EX handler = scm_.handler;
  LPVOID context = scm_.registeredContext;
  return dispatcher_->Run([=] { return handler(control, eventType, eventData, context); },
                          "control " + std::to_string(control));
}

void SimulatedMachine::Power(DWORD eventType) { Control(SERVICE_CONTROL_POWEREVENT, eventType, nullptr); }

void SimulatedMachine::Session(DWORD eventType, DWORD sessionId) {
  WTSSESSION_NOTIFICATION notification{sizeof(notification), sessionId};
  Control(SERVICE_CONTROL_SESSIONCHANGE, eventType, &notification);
}

void SimulatedMachine::Standby(bool enter) {
  // Without a running service there is no consumer to hand the event to.
  if (!Running()) return;
  const unsigned long long ticket = etw_.InjectEvent({static_cast<USHORT>(enter ? 506 : 507)});
  if (!etw_.WaitEventHandled(ticket, kBoundMs)) GiveUp("the trace consumer did not handle its event within 30 s");
}

// --- Observation ----------------------------------------------------------------

long SimulatedMachine::Checks() const { return firmware_.Calls(tvr_test::WmiStep::ExecMethod); }

int SimulatedMachine::Toggles() const { return slate_.Toggles(); }

int SimulatedMachine::DisagreementsActedOn() const {
  std::lock_guard lock(mutex_);
  return claims_;
}

int SimulatedMachine::DoubleToggles() const {
  std::lock_guard lock(mutex_);
  return doubleToggles_;
}

std::vector<std::string> SimulatedMachine::LogLines() const {
  return logging_ ? logging_->Lines() : std::vector<std::string>{};
}

std::vector<std::string> SimulatedMachine::Leaks() const {
  std::vector<std::string> leaks;
  auto add = [&](long count, const std::string& what) {
    if (count != 0) leaks.push_back(std::to_string(count) + " " + what);
  };
  add(firmware_.LiveObjects(), "firmware COM objects still referenced");
  add(slate_.OutstandingHandles(), "indicator device sets, handles or buffers not given back");
  add(slate_.BadReleases(), "indicator releases of something not handed out");
  add(static_cast<long>(etw_.liveBlocks.size()), "trace property blocks not freed");
  add(static_cast<long>(etw_.liveThreadHandles.size()), "trace consumer thread handles not closed");
  add(etw_.OpenProcessingHandles(), "trace processing handles not closed");
  add(scm_.openEventSources, "event sources not deregistered");
  return leaks;
}

}  // namespace tvr_sim
