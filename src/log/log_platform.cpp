#include "log/log_platform.h"

LogPlatformCalls& LogPlatform() noexcept {
  static LogPlatformCalls calls;
  return calls;
}
