#pragma once
// Seam at the service control manager calls of the installer, and the wait
// between its polls. Every entry is the real Windows call unless a test has
// put a fake in its place; the installer runs the same either way. Wine does
// not enforce the access rights asked for and cannot make these calls fail at
// will, so only a stand-in shows what the installer asks and how it reports
// each refusal.

#include <windows.h>

struct InstallerPlatformCalls {
  SC_HANDLE(WINAPI* openSCManagerW)(LPCWSTR, LPCWSTR, DWORD) = ::OpenSCManagerW;
  SC_HANDLE(WINAPI* createServiceW)(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                    LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) = ::CreateServiceW;
  SC_HANDLE(WINAPI* openServiceW)(SC_HANDLE, LPCWSTR, DWORD) = ::OpenServiceW;
  BOOL(WINAPI* controlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS) = ::ControlService;
  BOOL(WINAPI* queryServiceStatus)(SC_HANDLE, LPSERVICE_STATUS) = ::QueryServiceStatus;
  BOOL(WINAPI* deleteService)(SC_HANDLE) = ::DeleteService;
  BOOL(WINAPI* closeServiceHandle)(SC_HANDLE) = ::CloseServiceHandle;
  VOID(WINAPI* sleep)(DWORD) = ::Sleep;
};

// The process-wide table. Tests replace entries before running the installer
// and restore them afterwards.
InstallerPlatformCalls& InstallerPlatform() noexcept;
