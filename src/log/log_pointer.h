#pragma once
// The process-wide log pointer and the guard that keeps late writers away from
// a log object that is being destroyed.
//
// Threads that can outlive the service object (a late ETW callback, a WMI
// delivery thread, the worker at system shutdown) write lines only through
// `LogLine`, which holds a shared lock for the length of the line and writes
// only while the log object is still the published one. `RetireLog` takes the
// lock exclusively, unpublishes the object and deletes it, so no line can be
// in flight on it then, and none can start on it afterwards.

#include "log/log_file.h"

// The one log object of the process, or null when logging is off. Written
// through PublishLog / RetireLog only; read through LogLine.
extern CLogFile* g_log;

// Makes `log` (may be null) the process's log object.
void PublishLog(CLogFile* log) noexcept;

// Unpublishes `log` if it is the published one, then deletes it (null is fine).
void RetireLog(CLogFile* log) noexcept;

// Writes one line through `log` if it is non-null and still the published log
// object; otherwise writes nothing. Returns what Write returned, or false.
bool LogLine(CLogFile* log, int level, const wchar_t* function, const wchar_t* message) noexcept;

// Same, through whatever g_log is at the moment.
bool LogLine(int level, const wchar_t* function, const wchar_t* message) noexcept;
