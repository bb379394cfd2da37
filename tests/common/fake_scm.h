#pragma once
// A stand-in for the service control manager and the event log behind the
// service seam. While a FakeScm lives, every status report and every event-log
// entry is recorded, and registration or the event source can be made to
// fail. The previous table is restored when it goes away.

#include <windows.h>

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "service/service_platform.h"

struct RecordedStatus {
  DWORD serviceType;
  DWORD state;
  DWORD controlsAccepted;
  DWORD exitCode;
  DWORD serviceSpecificExitCode;
  DWORD checkPoint;
  DWORD waitHint;
};

inline void PrintTo(const RecordedStatus& s, std::ostream* os) {
  *os << "{state " << s.state << ", cp " << s.checkPoint << ", exit " << s.exitCode << ", hint " << s.waitHint
      << "}";
}

struct RecordedEvent {
  std::wstring source;  // name the event source was opened with
  WORD type;
  WORD category;
  DWORD id;
  bool hasSid;
  DWORD rawDataSize;
  std::vector<std::wstring> strings;
};

class FakeScm {
 public:
  FakeScm();
  ~FakeScm();
  FakeScm(const FakeScm&) = delete;
  FakeScm& operator=(const FakeScm&) = delete;

  // Registration fails with this last error when non-zero.
  DWORD failRegistrationWith = 0;
  // RegisterEventSourceW returns null (as without the right to open it).
  bool failEventSource = false;
  // Queuing the worker fails with this last error when non-zero; otherwise
  // the work item goes to the real thread pool.
  DWORD failQueueWith = 0;

  // Blocks until every work item queued through a FakeScm has returned
  // (true), or `timeoutMs` passes (false).
  static bool WaitWorkItemsReturned(DWORD timeoutMs);

  std::vector<RecordedStatus> Statuses() const;
  std::vector<RecordedEvent> Events() const;
  void Clear();

  // What ControlHandler registration received; the test delivers controls
  // through `handler` as the dispatcher would.
  LPHANDLER_FUNCTION_EX handler = nullptr;
  std::wstring registeredName;
  LPVOID registeredContext = nullptr;
  int registrations = 0;

  // Status reports made with a handle other than the one registration gave.
  int reportsWithForeignHandle = 0;
  // Event sources opened and not yet closed.
  int openEventSources = 0;
  // Work items offered to the thread pool, and the flags of the last one.
  int queueCalls = 0;
  ULONG lastQueueFlags = 0;

  static inline const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5c00);

 private:
  static SERVICE_STATUS_HANDLE WINAPI RegisterHandler(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID);
  static BOOL WINAPI SetStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
  static HANDLE WINAPI RegisterSource(LPCWSTR, LPCWSTR);
  static BOOL WINAPI Report(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);
  static BOOL WINAPI DeregisterSource(HANDLE);
  static BOOL WINAPI Queue(LPTHREAD_START_ROUTINE, PVOID, ULONG);

  ServicePlatformCalls saved_;
  mutable std::mutex mutex_;
  std::vector<RecordedStatus> statuses_;
  std::vector<RecordedEvent> events_;
  std::wstring lastSourceName_;
};
