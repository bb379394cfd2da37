#include "etw/etw_platform.h"

EtwPlatformCalls& EtwPlatform() noexcept {
  static EtwPlatformCalls calls;
  return calls;
}
