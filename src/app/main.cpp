// The executable's entry: installs, removes or runs the service, chosen by
// the first argument. The exit code is 0 on every path.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "log/log_file.h"
#include "mode/service_instance.h"
#include "app/command_line.h"
#include "service/installer.h"

int wmain(int argc, wchar_t* argv[]) {
  // The log object points into this buffer; it must outlive the object.
  wchar_t logPath[MAX_PATH] = {};
  // Set up before the command line is read, so that an install or remove run
  // also makes the log folder.
  std::unique_ptr<CLogFile> log(CreateLog(logPath));

  switch (ChooseRole(argc, argv)) {
    case CommandRole::kInstall: {
      wchar_t modulePath[MAX_PATH] = {};
      const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
      // A full buffer means the path was cut: installing it would register
      // a file that does not exist.
      if (length == 0 || length >= MAX_PATH) {
        wprintf(L"GetModuleFileName failed w/err 0x%08lx\n", ::GetLastError());
      } else {
        InstallSelf(modulePath);
      }
      return 0;
    }
    case CommandRole::kRemove:
      RemoveSelf();
      return 0;
    case CommandRole::kNothing:
      return 0;
    case CommandRole::kRunService:
      break;
  }

  // Also printed on every service start: the service entry has no arguments.
  PrintUsage();
  RunAsService<CServiceInstance>(log.release());
  return 0;
}
