#include "common/fake_etw.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace tvr_test {

struct FakeEtw::Impl {
  static inline FakeEtw* fake = nullptr;
  static inline std::mutex mutex;
  static inline std::condition_variable changed;
  static inline DWORD creatorThread = 0;
  static inline TRACEHANDLE nextHandle = 0x7000;
  static inline std::map<TRACEHANDLE, PEVENT_RECORD_CALLBACK> callbacks;
  static inline std::set<TRACEHANDLE> closed;
  static inline int blockedProcessing = 0;
  static inline HANDLE stopStartedWaiting = nullptr;  // manual-reset event
  static inline HANDLE suspendedThread = nullptr;
  // A handle of our own to every consumer thread, so that a test can wait for
  // one the monitor's stop has given up on.
  static inline std::vector<HANDLE> ownThreadHandles;
  // Live events: queued by InjectEvent, taken by a blocked ProcessTrace.
  struct LiveEvent {
    unsigned long long ticket;
    FakeEtwEvent event;
  };
  static inline std::deque<LiveEvent> liveQueue;
  static inline unsigned long long nextTicket = 1;
  static inline unsigned long long handledUpTo = 0;  // tickets are handled in order
  static inline std::set<unsigned long long> dropped;

  static ULONG WINAPI StartTraceW(PTRACEHANDLE handle, LPCWSTR name, PEVENT_TRACE_PROPERTIES props) {
    std::lock_guard lock(mutex);
    ++fake->startCalls;
    fake->startHandleOut = handle;
    fake->startName = name ? name : L"";
    const BYTE* bytes = reinterpret_cast<const BYTE*>(props);
    fake->properties.assign(bytes, bytes + 156);
    if (fake->startResult == ERROR_SUCCESS) *handle = fake->sessionHandle;
    return fake->startResult;
  }

  static ULONG WINAPI EnableTraceEx(LPCGUID provider, LPCGUID source, TRACEHANDLE session, ULONG isEnabled,
                                    UCHAR level, ULONGLONG any, ULONGLONG all, ULONG property,
                                    PEVENT_FILTER_DESCRIPTOR filter) {
    std::lock_guard lock(mutex);
    fake->enables.push_back(
        {provider ? *provider : GUID{}, source == nullptr, session, isEnabled, level, any, all, property,
         filter == nullptr});
    return ERROR_SUCCESS;
  }

  static TRACEHANDLE WINAPI OpenTraceW(PEVENT_TRACE_LOGFILEW record) {
    bool succeeds;
    bool onCreator;
    {
      std::lock_guard lock(mutex);
      onCreator = GetCurrentThreadId() == creatorThread;
      fake->opens.push_back({record->LoggerName ? record->LoggerName : L"<null>", record->LogFileName == nullptr,
                             record->ProcessTraceMode, record->EventRecordCallback, record->Context == nullptr,
                             onCreator});
      if (!fake->openOutcomes.empty()) {
        succeeds = fake->openOutcomes.front();
        fake->openOutcomes.pop_front();
      } else {
        succeeds = fake->openSucceeds;
      }
    }
    // The consumer's open returns only once the stop is waiting for the thread.
    if (!onCreator && fake->hold == ConsumerHold::InOpen) WaitForSingleObject(stopStartedWaiting, 10000);
    if (!succeeds) return INVALID_PROCESSTRACE_HANDLE;
    std::lock_guard lock(mutex);
    const TRACEHANDLE handle = nextHandle++;
    callbacks[handle] = record->EventRecordCallback;
    fake->openedHandles.push_back(handle);
    return handle;
  }

  static ULONG WINAPI ProcessTrace(PTRACEHANDLE handles, ULONG count, LPFILETIME start, LPFILETIME end) {
    PEVENT_RECORD_CALLBACK callback = nullptr;
    TRACEHANDLE handle = 0;
    {
      std::lock_guard lock(mutex);
      ++fake->processCalls;
      fake->processHandleCount = count;
      fake->processTimesNull = fake->processTimesNull && start == nullptr && end == nullptr;
      if (count != 1) return ERROR_INVALID_PARAMETER;
      handle = handles[0];
      auto found = callbacks.find(handle);
      if (found == callbacks.end() || closed.count(handle)) return ERROR_INVALID_HANDLE;
      callback = found->second;
    }
    for (FakeEtwEvent& scripted : fake->events) {
      EVENT_RECORD record{};
      record.EventHeader.Size = sizeof(EVENT_HEADER);
      record.EventHeader.EventDescriptor.Id = scripted.id;
      record.UserContext = &scripted;
      {
        std::lock_guard lock(mutex);
        if (closed.count(handle)) return ERROR_SUCCESS;
        ++fake->delivered;
      }
      if (callback) callback(&record);
    }
    std::unique_lock lock(mutex);
    if (fake->sessionEndsAfterEvents) return ERROR_SUCCESS;
    ++blockedProcessing;
    changed.notify_all();
    for (;;) {
      changed.wait(lock, [&] { return closed.count(handle) != 0 || !liveQueue.empty(); });
      if (closed.count(handle)) break;
      // The callback runs without the lock: it calls back into the seam.
      LiveEvent live = liveQueue.front();
      liveQueue.pop_front();
      ++fake->delivered;
      lock.unlock();
      EVENT_RECORD record{};
      record.EventHeader.Size = sizeof(EVENT_HEADER);
      record.EventHeader.EventDescriptor.Id = live.event.id;
      record.UserContext = &live.event;
      if (callback) callback(&record);
      lock.lock();
      handledUpTo = live.ticket;
      changed.notify_all();
    }
    --blockedProcessing;
    // Nothing will take the queued events once processing has ended.
    if (blockedProcessing == 0) {
      for (const LiveEvent& live : liveQueue) dropped.insert(live.ticket);
      liveQueue.clear();
      changed.notify_all();
    }
    return ERROR_SUCCESS;
  }

  static ULONG WINAPI CloseTrace(TRACEHANDLE handle) {
    std::lock_guard lock(mutex);
    fake->closes.push_back(handle);
    if (!callbacks.count(handle) || closed.count(handle)) return ERROR_INVALID_HANDLE;
    closed.insert(handle);
    changed.notify_all();
    return ERROR_SUCCESS;
  }

  static ULONG WINAPI TdhGetEventInformation(PEVENT_RECORD event, ULONG contextCount, PTDH_CONTEXT context,
                                             PTRACE_EVENT_INFO buffer, PULONG size) {
    std::lock_guard lock(mutex);
    ++fake->tdhCalls;
    const auto* scripted = static_cast<const FakeEtwEvent*>(event->UserContext);
    if (scripted == nullptr || contextCount != 0 || context != nullptr ||
        scripted->description == Description::Undescribable) {
      return ERROR_NOT_FOUND;
    }
    const ULONG needed = sizeof(TRACE_EVENT_INFO);
    if (buffer == nullptr || *size < needed) {
      *size = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    ZeroMemory(buffer, needed);
    buffer->EventDescriptor.Id = scripted->id;
    return scripted->description == Description::SecondCallFails ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  }

  static LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    std::lock_guard lock(mutex);
    if (fake->failHeapAlloc) return nullptr;
    void* block = ::HeapAlloc(heap, flags, bytes);
    if (block) {
      ++fake->heapAllocs;
      fake->liveBlocks.insert(block);
    }
    return block;
  }

  static BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    std::lock_guard lock(mutex);
    ++fake->heapFrees;
    fake->liveBlocks.erase(block);
    return ::HeapFree(heap, flags, block);
  }

  static HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine,
                                    LPVOID parameter, DWORD flags, LPDWORD id) {
    std::lock_guard lock(mutex);
    const bool suspend = fake->hold == ConsumerHold::BeforeStart;
    HANDLE thread = ::CreateThread(security, stack, routine, parameter, flags | (suspend ? CREATE_SUSPENDED : 0), id);
    if (thread) {
      ++fake->threadsCreated;
      fake->liveThreadHandles.insert(thread);
      if (suspend) suspendedThread = thread;
      HANDLE own = nullptr;
      if (::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), &own, SYNCHRONIZE, FALSE, 0)) {
        ownThreadHandles.push_back(own);
      }
    }
    return thread;
  }

  static DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD timeout) {
    {
      std::lock_guard lock(mutex);
      ++fake->waits;
      fake->waitTimeouts.push_back(timeout);
      if (suspendedThread == object) {
        ::ResumeThread(suspendedThread);
        suspendedThread = nullptr;
      }
    }
    ::SetEvent(stopStartedWaiting);
    const DWORD result = ::WaitForSingleObject(object, timeout);
    std::lock_guard lock(mutex);
    fake->waitResults.push_back(result);
    return result;
  }

  static BOOL WINAPI CloseHandle(HANDLE object) {
    {
      std::lock_guard lock(mutex);
      if (fake->liveThreadHandles.erase(object)) ++fake->threadHandlesClosed;
    }
    return ::CloseHandle(object);
  }
};

FakeEtw::FakeEtw() : previous_(EtwPlatform()) {
  std::lock_guard lock(Impl::mutex);
  Impl::fake = this;
  Impl::creatorThread = GetCurrentThreadId();
  Impl::callbacks.clear();
  Impl::closed.clear();
  Impl::blockedProcessing = 0;
  Impl::suspendedThread = nullptr;
  Impl::liveQueue.clear();
  Impl::nextTicket = 1;
  Impl::handledUpTo = 0;
  Impl::dropped.clear();
  Impl::stopStartedWaiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  EtwPlatformCalls& calls = EtwPlatform();
  calls.startTraceW = Impl::StartTraceW;
  calls.enableTraceEx = Impl::EnableTraceEx;
  calls.openTraceW = Impl::OpenTraceW;
  calls.processTrace = Impl::ProcessTrace;
  calls.closeTrace = Impl::CloseTrace;
  calls.tdhGetEventInformation = Impl::TdhGetEventInformation;
  calls.heapAlloc = Impl::HeapAlloc;
  calls.heapFree = Impl::HeapFree;
  calls.createThread = Impl::CreateThread;
  calls.waitForSingleObject = Impl::WaitForSingleObject;
  calls.closeHandle = Impl::CloseHandle;
}

FakeEtw::~FakeEtw() {
  // A consumer that outlived its stop must not go on against the real
  // platform or a later fake.
  (void)WaitConsumersEnded(20000);
  EtwPlatform() = previous_;
  std::lock_guard lock(Impl::mutex);
  for (HANDLE own : Impl::ownThreadHandles) ::CloseHandle(own);
  Impl::ownThreadHandles.clear();
  // Tests stop the monitor before the fake goes; a consumer still held here
  // stays suspended rather than run against the real platform.
  Impl::suspendedThread = nullptr;
  ::CloseHandle(Impl::stopStartedWaiting);
  Impl::stopStartedWaiting = nullptr;
  Impl::fake = nullptr;
}

bool FakeEtw::WaitConsumersEnded(DWORD timeoutMs) {
  std::vector<HANDLE> threads;
  {
    std::lock_guard lock(Impl::mutex);
    threads = Impl::ownThreadHandles;
  }
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (HANDLE thread : threads) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (::WaitForSingleObject(thread, left) != WAIT_OBJECT_0) return false;
  }
  return true;
}

int FakeEtw::ClosesOf(TRACEHANDLE handle) const {
  std::lock_guard lock(Impl::mutex);
  return static_cast<int>(std::count(closes.begin(), closes.end(), handle));
}

int FakeEtw::OpenProcessingHandles() const {
  std::lock_guard lock(Impl::mutex);
  int open = 0;
  for (TRACEHANDLE handle : openedHandles) open += Impl::closed.count(handle) ? 0 : 1;
  return open;
}

bool FakeEtw::WaitUntilProcessing(DWORD timeoutMs) {
  std::unique_lock lock(Impl::mutex);
  return Impl::changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [] { return Impl::blockedProcessing > 0; });
}

unsigned long long FakeEtw::InjectEvent(FakeEtwEvent event) {
  std::lock_guard lock(Impl::mutex);
  const unsigned long long ticket = Impl::nextTicket++;
  Impl::liveQueue.push_back({ticket, event});
  Impl::changed.notify_all();
  return ticket;
}

bool FakeEtw::WaitEventHandled(unsigned long long ticket, DWORD timeoutMs) {
  std::unique_lock lock(Impl::mutex);
  Impl::changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return Impl::handledUpTo >= ticket || Impl::dropped.count(ticket) != 0; });
  return Impl::handledUpTo >= ticket && Impl::dropped.count(ticket) == 0;
}

int FakeEtw::LiveEventsDropped() const {
  std::lock_guard lock(Impl::mutex);
  return static_cast<int>(Impl::dropped.size());
}

}  // namespace tvr_test
