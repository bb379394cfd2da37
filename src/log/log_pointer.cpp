#include "log/log_pointer.h"

#include "common/srw_guard.h"

CLogFile* g_log = nullptr;

namespace {
// Shared for the length of one line, exclusive to publish or retire.
SRWLOCK g_logLock = SRWLOCK_INIT;
}  // namespace

void PublishLog(CLogFile* log) noexcept {
  tvr::ExclusiveSrwGuard guard(g_logLock);
  g_log = log;
}

void RetireLog(CLogFile* log) noexcept {
  {
    tvr::ExclusiveSrwGuard guard(g_logLock);
    if (g_log == log) g_log = nullptr;
  }
  // Every line that had found `log` published has ended by now (the exclusive
  // acquire waited for it), and no later line can find it: safe to free.
  delete log;
}

bool LogLine(CLogFile* log, int level, const wchar_t* function, const wchar_t* message) noexcept {
  if (log == nullptr) return false;
  tvr::SharedSrwGuard guard(g_logLock);
  return log == g_log && log->Write(level, function, message);
}

bool LogLine(int level, const wchar_t* function, const wchar_t* message) noexcept {
  tvr::SharedSrwGuard guard(g_logLock);
  return g_log != nullptr && g_log->Write(level, function, message);
}
