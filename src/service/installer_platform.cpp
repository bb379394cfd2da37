#include "service/installer_platform.h"

InstallerPlatformCalls& InstallerPlatform() noexcept {
  static InstallerPlatformCalls calls;
  return calls;
}
