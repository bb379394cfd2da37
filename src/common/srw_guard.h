#pragma once
// Scoped holders for a slim reader/writer lock. SRW locks cannot fail or
// throw, which keeps every path that takes one noexcept.

#include <windows.h>

namespace tvr {

class ExclusiveSrwGuard {
 public:
  explicit ExclusiveSrwGuard(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveSrwGuard() { ::ReleaseSRWLockExclusive(&lock_); }
  ExclusiveSrwGuard(const ExclusiveSrwGuard&) = delete;
  ExclusiveSrwGuard& operator=(const ExclusiveSrwGuard&) = delete;

 private:
  SRWLOCK& lock_;
};

class SharedSrwGuard {
 public:
  explicit SharedSrwGuard(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockShared(&lock_); }
  ~SharedSrwGuard() { ::ReleaseSRWLockShared(&lock_); }
  SharedSrwGuard(const SharedSrwGuard&) = delete;
  SharedSrwGuard& operator=(const SharedSrwGuard&) = delete;

 private:
  SRWLOCK& lock_;
};

}  // namespace tvr
