#pragma once
// Seam at the edge of Event Tracing for Windows and the trace data helper,
// plus the heap and thread calls the monitor makes, so that its resources can
// be counted. Every entry is the real Windows call unless a test has put a
// fake in its place; the production path is the same either way.

#include <windows.h>
#include <evntrace.h>
#include <evntcons.h>
#include <tdh.h>

struct EtwPlatformCalls {
  ULONG(WINAPI* startTraceW)(PTRACEHANDLE, LPCWSTR, PEVENT_TRACE_PROPERTIES) = ::StartTraceW;
  ULONG(WINAPI* enableTraceEx)(LPCGUID, LPCGUID, TRACEHANDLE, ULONG, UCHAR, ULONGLONG, ULONGLONG, ULONG,
                               PEVENT_FILTER_DESCRIPTOR) = ::EnableTraceEx;
  TRACEHANDLE(WINAPI* openTraceW)(PEVENT_TRACE_LOGFILEW) = ::OpenTraceW;
  ULONG(WINAPI* processTrace)(PTRACEHANDLE, ULONG, LPFILETIME, LPFILETIME) = ::ProcessTrace;
  ULONG(WINAPI* closeTrace)(TRACEHANDLE) = ::CloseTrace;
  ULONG(WINAPI* tdhGetEventInformation)(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO,
                                        PULONG) = ::TdhGetEventInformation;

  LPVOID(WINAPI* heapAlloc)(HANDLE, DWORD, SIZE_T) = ::HeapAlloc;
  BOOL(WINAPI* heapFree)(HANDLE, DWORD, LPVOID) = ::HeapFree;
  HANDLE(WINAPI* createThread)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                               LPDWORD) = ::CreateThread;
  DWORD(WINAPI* waitForSingleObject)(HANDLE, DWORD) = ::WaitForSingleObject;
  BOOL(WINAPI* closeHandle)(HANDLE) = ::CloseHandle;
};

// The process-wide table. Tests replace entries before the monitor starts and
// restore them after it has stopped (see tests/common).
EtwPlatformCalls& EtwPlatform() noexcept;
