#include "service/service_platform.h"

ServicePlatformCalls& ServicePlatform() noexcept {
  static ServicePlatformCalls calls;
  return calls;
}
