#pragma once
// The entry's reading of its first argument, and the service role run on the
// entry's stack. Kept apart from wmain so that both can be checked without a
// console or a service manager.

#include <windows.h>

#include <cstdio>

#include "log/log_file.h"
#include "service/service_base.h"

// What the first command-line argument asks for.
enum class CommandRole {
  kRunService,  // no argument, or one that does not start with '-' or '/'
  kInstall,     // "-install" or "/install", any ASCII letter case
  kRemove,      // "-remove" or "/remove", any ASCII letter case
  kNothing,     // '-' or '/' followed by anything else, nothing included
};

// True when `a` and `b` are equal with only the ASCII letters A to Z folded
// onto a to z; every other character must match exactly.
[[nodiscard]] bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) noexcept;

// Chooses the role from the arguments of wmain; arguments after the first
// are ignored.
[[nodiscard]] CommandRole ChooseRole(int argc, const wchar_t* const* argv) noexcept;

// Prints the three usage lines.
void PrintUsage() noexcept;

// Builds the service object on this frame, publishes it in g_activeService
// and runs the dispatcher until the service has stopped. Takes ownership of
// `log` (may be null). Every failure, the object's own construction included
// (it throws the DWORD error code), is printed as "Service failed to run";
// without a built object the dispatcher is not started. Returns when the
// object is gone, and not before the service manager has had its answer to
// the last control.
template <class Service>
void RunAsService(CLogFile* log) noexcept {
  try {
    Service service(log);
    g_activeService = &service;

    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(service.serviceName), &CServiceBase::ServiceMain},
        {nullptr, nullptr},
    };
    if (!::StartServiceCtrlDispatcherW(table)) {
      wprintf(L"Service failed to run w/err 0x%08lx\n", ::GetLastError());
    } else {
      CServiceBase::AwaitLastControlAnswer();
    }
  } catch (DWORD error) {
    wprintf(L"Service failed to run w/err 0x%08lx\n", error);
  }
}
