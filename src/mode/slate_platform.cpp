#include "mode/slate_platform.h"

SlatePlatformCalls& SlatePlatform() noexcept {
  static SlatePlatformCalls calls;
  return calls;
}
