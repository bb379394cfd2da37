#pragma once
// A scripted trace platform behind the ETW seam, for tests.
//
// While a FakeEtw is alive, every entry of EtwPlatform() goes to it; the
// previous table is restored when it is destroyed. Only one may be alive at a
// time. Heap blocks, threads, waits and handle closes still happen for real;
// the fake only counts them, so a test can prove that every one is released.
//
// The fake session: StartTraceW answers the scripted result; OpenTraceW hands
// out a fresh processing handle (or INVALID_PROCESSTRACE_HANDLE as scripted)
// and remembers the record's callback; ProcessTrace delivers the scripted
// events to that callback on the calling thread, then blocks until its handle
// is closed (or returns at once when the session is scripted to end).
// TdhGetEventInformation describes the records ProcessTrace made.

#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>
#include <tdh.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "etw/etw_platform.h"

namespace tvr_test {

// How TdhGetEventInformation treats one scripted event.
enum class Description {
  Described,        // size query gives 122, the second call fills in the id
  Undescribable,    // the size query fails (ERROR_NOT_FOUND)
  SecondCallFails,  // size query gives 122; the second call writes the id but fails
};

struct FakeEtwEvent {
  USHORT id;
  Description description = Description::Described;
};

// Where a stop may catch the consumer thread before it has published its
// processing handle.
enum class ConsumerHold {
  None,
  BeforeStart,  // the thread is created suspended and resumes when the stop starts waiting for it
  InOpen,       // the consumer's OpenTraceW returns only once the stop starts waiting
};

struct EnableCall {
  GUID provider;
  bool sourceIdNull;
  TRACEHANDLE session;
  ULONG isEnabled;
  UCHAR level;
  ULONGLONG matchAny, matchAll;
  ULONG enableProperty;
  bool filterNull;
};

struct OpenCall {
  std::wstring loggerName;
  bool logFileNameNull;
  ULONG processTraceMode;
  PEVENT_RECORD_CALLBACK eventRecordCallback;
  bool contextNull;
  bool onCreatingThread;  // opened on the thread that made the FakeEtw
};

class FakeEtw {
 public:
  FakeEtw();
  ~FakeEtw();
  FakeEtw(const FakeEtw&) = delete;
  FakeEtw& operator=(const FakeEtw&) = delete;

  // --- Script (set before the monitor starts) ------------------------------
  ULONG startResult = ERROR_SUCCESS;
  TRACEHANDLE sessionHandle = 0x5E551011;  // stored by StartTraceW on success
  // Outcomes of OpenTraceW calls in call order; when used up, `openSucceeds`.
  std::deque<bool> openOutcomes;
  bool openSucceeds = true;
  std::vector<FakeEtwEvent> events;  // delivered by every ProcessTrace
  bool sessionEndsAfterEvents = false;  // ProcessTrace returns without a close
  ConsumerHold hold = ConsumerHold::None;
  bool failHeapAlloc = false;  // every HeapAlloc through the seam returns null

  // --- Observation (read after the monitor has stopped) --------------------
  int startCalls = 0;
  std::vector<BYTE> properties;   // the block StartTraceW got, first 156 bytes
  std::wstring startName;
  PTRACEHANDLE startHandleOut = nullptr;
  std::vector<EnableCall> enables;
  std::vector<OpenCall> opens;
  std::vector<TRACEHANDLE> openedHandles;  // every valid handle OpenTraceW gave
  int processCalls = 0;
  ULONG processHandleCount = 0;
  bool processTimesNull = true;
  std::vector<TRACEHANDLE> closes;  // every CloseTrace argument, in order
  int tdhCalls = 0;
  int delivered = 0;  // records handed to the callback

  int heapAllocs = 0, heapFrees = 0;
  std::set<void*> liveBlocks;
  int threadsCreated = 0, threadHandlesClosed = 0, waits = 0;
  std::set<HANDLE> liveThreadHandles;
  std::vector<DWORD> waitTimeouts;
  std::vector<DWORD> waitResults;

  // Number of CloseTrace calls with `handle`.
  [[nodiscard]] int ClosesOf(TRACEHANDLE handle) const;
  // Valid processing handles OpenTraceW gave that no CloseTrace has closed.
  [[nodiscard]] int OpenProcessingHandles() const;
  // Blocks until every consumer thread made through the seam has ended
  // (true), or `timeoutMs` passes (false). The destructor waits too.
  bool WaitConsumersEnded(DWORD timeoutMs);
  // Blocks until some ProcessTrace is blocked on an open handle (true), or
  // `timeoutMs` passes (false).
  bool WaitUntilProcessing(DWORD timeoutMs);

  // --- Live events --------------------------------------------------------
  // The scripted `events` reach the callback once, when ProcessTrace starts.
  // A live event is queued instead and handed to the callback, on the consumer
  // thread, by the ProcessTrace that is (or next becomes) blocked on an open
  // handle, one event at a time in queue order. Returns the event's ticket
  // (1, 2, ...); the event counts in `delivered` like a scripted one.
  unsigned long long InjectEvent(FakeEtwEvent event);
  // True once the callback has returned from the event with `ticket`; false
  // when processing ended with the event still queued (it is dropped then) or
  // `timeoutMs` passes first.
  bool WaitEventHandled(unsigned long long ticket, DWORD timeoutMs);
  // Live events dropped because their ProcessTrace ended first.
  [[nodiscard]] int LiveEventsDropped() const;

  struct Impl;

 private:
  EtwPlatformCalls previous_;
};

}  // namespace tvr_test
