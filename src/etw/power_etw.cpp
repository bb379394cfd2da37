#include "etw/power_etw.h"

#include <tdh.h>

#include <cstddef>

#include "etw/etw_platform.h"
#include "log/log_pointer.h"

std::atomic<TRACEHANDLE> g_etwConsumer{0};

namespace {

constexpr wchar_t kSessionName[] = L"TS CS ETW Monitor";

// The properties block is the platform structure with the session name area
// directly behind it; the platform copies the name into that area.
constexpr ULONG kNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
constexpr ULONG kPropertiesBlockSize = kNameOffset + sizeof(kSessionName);
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120, "platform properties structure changed size");
static_assert(sizeof(kSessionName) == 36, "session name area is 17 characters and a null");
static_assert(kPropertiesBlockSize == 156, "properties block is 156 bytes");

// {B50A4B27-57D7-4451-907C-441339E961EF}: the session's own identifier.
constexpr GUID kSessionGuid = {0xb50a4b27, 0x57d7, 0x4451, {0x90, 0x7c, 0x44, 0x13, 0x39, 0xe9, 0x61, 0xef}};

// {331C3B3A-2005-44C2-AC5E-77220C37D6B4}: the kernel power provider.
constexpr GUID kKernelPowerProvider = {0x331c3b3a, 0x2005, 0x44c2, {0xac, 0x5e, 0x77, 0x22, 0x0c, 0x37, 0xd6, 0xb4}};

constexpr USHORT kEnterConnectedStandby = 506;
constexpr USHORT kLeaveConnectedStandby = 507;

constexpr DWORD kConsumerWaitMs = 5000;

// INVALID_PROCESSTRACE_HANDLE (all bits set); the header's macro casts through
// a pointer and cannot be a constant expression.
constexpr TRACEHANDLE kInvalidProcessing = ~TRACEHANDLE{0};

// Marks g_etwConsumer once a stop has been asked. A consumer that opens its
// handle after that finds the mark, closes the handle itself and never enters
// ProcessTrace. A real processing handle never has this value: the open
// reports failure with it.
constexpr TRACEHANDLE kStopRequested = kInvalidProcessing;

// The processing handle that RegisterPowerETW opened when it attached to an
// existing session. It is never processed; StopPowerETW closes it.
std::atomic<TRACEHANDLE> g_attachHandle{0};

// Whether callbacks may still act, and what an event 507 runs (the callback
// gets no context, so the action the owner handed RegisterPowerETW is kept
// here). A callback reads both when it starts and holds nothing while it runs:
// a check can hang (WMI is often slow after a resume), and a stop that waited
// for it would leave the service stuck in STOP_PENDING. A check that is still
// running when the stop gives up on its thread reaches nothing the stop
// releases: it writes through the guarded log pointer only.
std::atomic<bool> g_callbacksOpen{false};
std::atomic<StandbyExitAction> g_standbyExitAction{nullptr};

void SetCallbacksOpen(bool open, StandbyExitAction action) noexcept {
  g_standbyExitAction.store(action);
  g_callbacksOpen.store(open);
}

void FillSessionProperties(EVENT_TRACE_PROPERTIES* properties) noexcept {
  ZeroMemory(properties, kPropertiesBlockSize);
  properties->Wnode.BufferSize = kPropertiesBlockSize;
  properties->Wnode.Guid = kSessionGuid;
  properties->Wnode.ClientContext = 1;  // time stamps from the performance counter
  properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  properties->MaximumFileSize = 1;
  properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
  properties->EnableFlags = 1;
  properties->LoggerNameOffset = kNameOffset;
}

// The platform only reads the name; the record's field is not const.
void FillConsumerRecord(EVENT_TRACE_LOGFILEW& record) noexcept {
  ZeroMemory(&record, sizeof(record));
  record.LoggerName = const_cast<LPWSTR>(kSessionName);
  record.ProcessTraceMode = PROCESS_TRACE_MODE_EVENT_RECORD | PROCESS_TRACE_MODE_REAL_TIME;
  record.EventRecordCallback = EventRecordCallback;
}

}  // namespace

void RegisterPowerETW(PowerEtwFields& monitor, CLogFile* log, StandbyExitAction onStandbyExit) noexcept {
  constexpr wchar_t kFunction[] = L"RegisterPowerETW";
  EtwPlatformCalls& etw = EtwPlatform();

  g_etwConsumer.store(0);
  SetCallbacksOpen(true, onStandbyExit);

  monitor.etwProperties =
      static_cast<EVENT_TRACE_PROPERTIES*>(etw.heapAlloc(GetProcessHeap(), 0, kPropertiesBlockSize));
  // Without the block there is no session to start; the consumer thread still
  // runs, in case a session of this name exists after all.
  if (monitor.etwProperties != nullptr) {
    FillSessionProperties(monitor.etwProperties);
    const ULONG result = etw.startTraceW(&monitor.etwSession, kSessionName, monitor.etwProperties);
    switch (result) {
      case ERROR_SUCCESS:
        LogLine(log, kLogInfo, kFunction, L"ERROR_SUCCESS");
        etw.enableTraceEx(&kKernelPowerProvider, nullptr, monitor.etwSession, 1, TRACE_LEVEL_INFORMATION, 0, 0, 0,
                          nullptr);
        break;
      case ERROR_ACCESS_DENIED:
        LogLine(log, kLogError, kFunction, L"ERROR_ACCESS_DENIED");
        break;
      case ERROR_ALREADY_EXISTS: {
        // The session outlived an earlier run and keeps the providers it has.
        LogLine(log, kLogInfo, kFunction, L"ERROR_ALREADY_EXISTS");
        EVENT_TRACE_LOGFILEW record;
        FillConsumerRecord(record);
        monitor.etwSession = etw.openTraceW(&record);
        if (monitor.etwSession == kInvalidProcessing) {
          LogLine(log, kLogError, kFunction, L"INVALID_HANDLE_VALUE");
        } else {
          g_attachHandle.store(monitor.etwSession);
        }
        break;
      }
      default:
        LogLine(log, kLogError, kFunction, L"StartTrace fail");
        break;
    }
  }

  LogLine(log, kLogError, kFunction, L"CreateThread");
  // The consumer thread: opens the session for processing and runs its events
  // through EventRecordCallback until the stop closes the processing handle.
  monitor.etwThread = etw.createThread(nullptr, 0, PowerETWConsumerThread, nullptr, 0, nullptr);
}

DWORD WINAPI PowerETWConsumerThread(LPVOID /*parameter*/) {
  EtwPlatformCalls& etw = EtwPlatform();
  if (g_etwConsumer.load() == kStopRequested) return 0;

  EVENT_TRACE_LOGFILEW record;
  FillConsumerRecord(record);
  TRACEHANDLE handle = etw.openTraceW(&record);
  if (handle == kInvalidProcessing) return 0;

  TRACEHANDLE expected = 0;
  if (!g_etwConsumer.compare_exchange_strong(expected, handle)) {
    // The stop came while the session was being opened: it cannot reach this
    // handle, so the handle is closed here and processing never starts.
    etw.closeTrace(handle);
    return 0;
  }

  etw.processTrace(&handle, 1, nullptr, nullptr);

  // The session ended on its own, or the stop took the handle and closed it;
  // only in the first case is the handle still here to close.
  expected = handle;
  if (g_etwConsumer.compare_exchange_strong(expected, 0)) etw.closeTrace(handle);
  return 0;
}

VOID WINAPI EventRecordCallback(PEVENT_RECORD event) {
  constexpr wchar_t kFunction[] = L"EventRecordCallback";
  if (!g_callbacksOpen.load()) return;

  EtwPlatformCalls& etw = EtwPlatform();
  ULONG size = 0;
  if (etw.tdhGetEventInformation(event, 0, nullptr, nullptr, &size) != ERROR_INSUFFICIENT_BUFFER) return;
  // A description too short to hold the event id is as good as none.
  if (size < offsetof(TRACE_EVENT_INFO, EventDescriptor) + sizeof(EVENT_DESCRIPTOR)) return;

  auto* info = static_cast<TRACE_EVENT_INFO*>(etw.heapAlloc(GetProcessHeap(), 0, size));
  if (info == nullptr) return;

  // Only a description that was really written is read: a failed call leaves
  // the fresh block as it came from the heap.
  if (etw.tdhGetEventInformation(event, 0, nullptr, info, &size) == ERROR_SUCCESS) {
    switch (info->EventDescriptor.Id) {
      case kEnterConnectedStandby:
        LogLine(kLogInfo, kFunction, L"506");
        break;
      case kLeaveConnectedStandby:
        LogLine(kLogInfo, kFunction, L"507");
        // Read again: a stop that came meanwhile has closed the callbacks.
        if (const StandbyExitAction action = g_standbyExitAction.load(); action != nullptr && g_callbacksOpen.load()) {
          action();
        }
        break;
      default:
        break;
    }
  }
  etw.heapFree(GetProcessHeap(), 0, info);
}

void StopPowerETW(PowerEtwFields& monitor) noexcept {
  EtwPlatformCalls& etw = EtwPlatform();
  // The whole stop, the wait for the consumer included, ends within this.
  const ULONGLONG deadline = ::GetTickCount64() + kConsumerWaitMs;

  // First no more checks or lines: a stopping service needs none. A callback
  // already inside a check finishes it on its own.
  SetCallbacksOpen(false, nullptr);

  const TRACEHANDLE consumer = g_etwConsumer.exchange(kStopRequested);
  if (consumer != 0 && consumer != kStopRequested) etw.closeTrace(consumer);

  // The thread was started on every path of RegisterPowerETW, also when the
  // session could not be started, so it is always waited for and closed. The
  // time limit covers a check that hangs in the callback and a platform that
  // does not end ProcessTrace when its handle is closed; the thread needs
  // neither its handle nor the properties block to finish.
  if (monitor.etwThread != nullptr) {
    const ULONGLONG now = ::GetTickCount64();
    etw.waitForSingleObject(monitor.etwThread, now >= deadline ? 0 : static_cast<DWORD>(deadline - now));
    etw.closeHandle(monitor.etwThread);
    monitor.etwThread = nullptr;
  }

  const TRACEHANDLE attached = g_attachHandle.exchange(0);
  if (attached != 0) etw.closeTrace(attached);

  if (monitor.etwProperties != nullptr) {
    etw.heapFree(GetProcessHeap(), 0, monitor.etwProperties);
    monitor.etwProperties = nullptr;
  }
  // The session is left running, and etwSession keeps its value.
}
