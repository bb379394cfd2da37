#pragma once
// Swaps entries of the log's file-system seam for the scope and puts the
// real calls back at the end.

#include "log/log_platform.h"

namespace tvr_test {

class ScopedLogPlatform {
 public:
  ScopedLogPlatform() : saved_(LogPlatform()) {}
  ~ScopedLogPlatform() { LogPlatform() = saved_; }
  ScopedLogPlatform(const ScopedLogPlatform&) = delete;
  ScopedLogPlatform& operator=(const ScopedLogPlatform&) = delete;
  LogPlatformCalls& calls() { return LogPlatform(); }

 private:
  LogPlatformCalls saved_;
};

}  // namespace tvr_test
