#include "wmi/wmi_platform.h"

WmiPlatformCalls& WmiPlatform() noexcept {
  static WmiPlatformCalls calls;
  return calls;
}
