#pragma once
// Seam at the edge where the firmware's WMI objects come from. Production
// code creates every COM object through `WmiPlatform().coCreateInstance`,
// which is ::CoCreateInstance unless a test has put a fake in its place
// (the locator and the unsecured apartment are the two objects created).
// The client's COM initialisation goes through the same table so that a test
// can see how a failed initialisation is balanced.

#include <windows.h>
#include <objbase.h>

struct WmiPlatformCalls {
  HRESULT(WINAPI* coCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*) = ::CoCreateInstance;
  HRESULT(WINAPI* coInitializeEx)(LPVOID, DWORD) = ::CoInitializeEx;
  void(WINAPI* coUninitialize)() = ::CoUninitialize;
};

// The process-wide table. Tests replace entries before starting threads and
// restore them afterwards (see tests/common).
WmiPlatformCalls& WmiPlatform() noexcept;
