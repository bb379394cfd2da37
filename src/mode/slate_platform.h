#pragma once
// Seam at the edge of the slate state and the indicator devices: the metric
// read and the device enumeration, the interface detail buffer, open and
// one-byte write. Every entry is the real Windows call unless a test has put
// a fake in its place.

#include <windows.h>
#include <setupapi.h>

struct SlatePlatformCalls {
  int(WINAPI* getSystemMetrics)(int) = ::GetSystemMetrics;
  HDEVINFO(WINAPI* setupDiGetClassDevsW)(const GUID*, PCWSTR, HWND, DWORD) = ::SetupDiGetClassDevsW;
  BOOL(WINAPI* setupDiEnumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA) = ::SetupDiEnumDeviceInfo;
  BOOL(WINAPI* setupDiEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                            PSP_DEVICE_INTERFACE_DATA) = ::SetupDiEnumDeviceInterfaces;
  BOOL(WINAPI* setupDiGetDeviceInterfaceDetailW)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                                 PSP_DEVINFO_DATA) = ::SetupDiGetDeviceInterfaceDetailW;
  BOOL(WINAPI* setupDiDestroyDeviceInfoList)(HDEVINFO) = ::SetupDiDestroyDeviceInfoList;
  HANDLE(WINAPI* createFileW)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = ::CreateFileW;
  BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::WriteFile;
  BOOL(WINAPI* closeHandle)(HANDLE) = ::CloseHandle;
  HLOCAL(WINAPI* localAlloc)(UINT, SIZE_T) = ::LocalAlloc;
  HLOCAL(WINAPI* localFree)(HLOCAL) = ::LocalFree;
};

// The process-wide table. Tests replace entries before starting threads and
// restore them afterwards (see tests/common).
SlatePlatformCalls& SlatePlatform() noexcept;
