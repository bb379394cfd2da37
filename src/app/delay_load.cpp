#include "app/delay_load.h"

#include <delayimp.h>
#include <oleauto.h>
#include <setupapi.h>
#include <tdh.h>

#include <cstring>

namespace {

// Not constexpr: MSVC's HRESULT_FROM_WIN32 is an inline function.
const HRESULT kDelayLoadHresult = HRESULT_FROM_WIN32(kDelayLoadError);

bool EqualsIgnoringAsciiCase(const char* a, const char* b) noexcept {
  for (;; ++a, ++b) {
    const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// --- ole32 ---
HRESULT WINAPI FailCoInitializeEx(LPVOID, DWORD) { return kDelayLoadHresult; }
void WINAPI SkipCoUninitialize() {}
HRESULT WINAPI FailCoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID* object) {
  if (object != nullptr) *object = nullptr;
  return kDelayLoadHresult;
}
HRESULT WINAPI FailCoSetProxyBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, RPC_AUTH_IDENTITY_HANDLE,
                                     DWORD) {
  return kDelayLoadHresult;
}

// --- oleaut32 ---
// Without oleaut32 no string or variant of its making can exist, so there is
// nothing to free; VariantInit is simple enough to do in full.
BSTR WINAPI FailSysAllocString(const OLECHAR*) { return nullptr; }
void WINAPI SkipSysFreeString(BSTR) {}
void WINAPI InitVariant(VARIANTARG* variant) {
  if (variant != nullptr) V_VT(variant) = VT_EMPTY;
}
HRESULT WINAPI FailVariantClear(VARIANTARG*) { return kDelayLoadHresult; }
HRESULT WINAPI FailVariantChangeType(VARIANTARG*, const VARIANTARG*, USHORT, VARTYPE) { return kDelayLoadHresult; }
HRESULT WINAPI FailSafeArrayAccessData(SAFEARRAY*, void** data) {
  if (data != nullptr) *data = nullptr;
  return kDelayLoadHresult;
}
HRESULT WINAPI FailSafeArrayUnaccessData(SAFEARRAY*) { return kDelayLoadHresult; }
HRESULT WINAPI FailSafeArrayGetBound(SAFEARRAY*, UINT, LONG*) { return kDelayLoadHresult; }

// --- setupapi ---
HDEVINFO WINAPI FailSetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD) {
  ::SetLastError(kDelayLoadError);
  return INVALID_HANDLE_VALUE;
}
BOOL WINAPI FailSetupDiEnumDeviceInfo(HDEVINFO, DWORD, PSP_DEVINFO_DATA) {
  ::SetLastError(kDelayLoadError);
  return FALSE;
}
BOOL WINAPI FailSetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                            PSP_DEVICE_INTERFACE_DATA) {
  ::SetLastError(kDelayLoadError);
  return FALSE;
}
BOOL WINAPI FailSetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                                 PSP_DEVINFO_DATA) {
  ::SetLastError(kDelayLoadError);
  return FALSE;
}
BOOL WINAPI FailSetupDiDestroyDeviceInfoList(HDEVINFO) {
  ::SetLastError(kDelayLoadError);
  return FALSE;
}

// --- tdh ---
// Anything but ERROR_INSUFFICIENT_BUFFER from the size query: the event is
// ignored.
ULONG WINAPI FailTdhGetEventInformation(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO, PULONG) {
  return kDelayLoadError;
}

// --- user32 ---
// Non-zero, the laptop state that a machine without the slate metric reports.
// No toggle can follow from it: the device write needs SetupAPI, which itself
// imports the window manager and so cannot be loaded either.
int WINAPI LaptopSystemMetric(int) { return 1; }

// --- dbghelp ---
BOOL WINAPI FailMakeSureDirectoryPathExists(PCSTR) {
  ::SetLastError(kDelayLoadError);
  return FALSE;
}

struct StandIn {
  const char* dll;
  const char* function;
  FARPROC address;
};

template <class Function>
FARPROC AsFarproc(Function* function) noexcept {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

// Every function the executable imports from a delay-loaded DLL (a test
// compares this table with the executable's delay-import directory).
const StandIn kStandIns[] = {
    {"ole32.dll", "CoInitializeEx", AsFarproc(&FailCoInitializeEx)},
    {"ole32.dll", "CoUninitialize", AsFarproc(&SkipCoUninitialize)},
    {"ole32.dll", "CoCreateInstance", AsFarproc(&FailCoCreateInstance)},
    {"ole32.dll", "CoSetProxyBlanket", AsFarproc(&FailCoSetProxyBlanket)},
    {"oleaut32.dll", "SysAllocString", AsFarproc(&FailSysAllocString)},
    {"oleaut32.dll", "SysFreeString", AsFarproc(&SkipSysFreeString)},
    {"oleaut32.dll", "VariantInit", AsFarproc(&InitVariant)},
    {"oleaut32.dll", "VariantClear", AsFarproc(&FailVariantClear)},
    {"oleaut32.dll", "VariantChangeType", AsFarproc(&FailVariantChangeType)},
    {"oleaut32.dll", "SafeArrayAccessData", AsFarproc(&FailSafeArrayAccessData)},
    {"oleaut32.dll", "SafeArrayUnaccessData", AsFarproc(&FailSafeArrayUnaccessData)},
    {"oleaut32.dll", "SafeArrayGetLBound", AsFarproc(&FailSafeArrayGetBound)},
    {"oleaut32.dll", "SafeArrayGetUBound", AsFarproc(&FailSafeArrayGetBound)},
    {"setupapi.dll", "SetupDiGetClassDevsW", AsFarproc(&FailSetupDiGetClassDevsW)},
    {"setupapi.dll", "SetupDiEnumDeviceInfo", AsFarproc(&FailSetupDiEnumDeviceInfo)},
    {"setupapi.dll", "SetupDiEnumDeviceInterfaces", AsFarproc(&FailSetupDiEnumDeviceInterfaces)},
    {"setupapi.dll", "SetupDiGetDeviceInterfaceDetailW", AsFarproc(&FailSetupDiGetDeviceInterfaceDetailW)},
    {"setupapi.dll", "SetupDiDestroyDeviceInfoList", AsFarproc(&FailSetupDiDestroyDeviceInfoList)},
    {"tdh.dll", "TdhGetEventInformation", AsFarproc(&FailTdhGetEventInformation)},
    {"user32.dll", "GetSystemMetrics", AsFarproc(&LaptopSystemMetric)},
    {"dbghelp.dll", "MakeSureDirectoryPathExists", AsFarproc(&FailMakeSureDirectoryPathExists)},
};

FARPROC WINAPI DelayLoadFailureHook(unsigned notification, PDelayLoadInfo info) {
  switch (notification) {
    case dliFailLoadLib:
      // The helper goes on to look the function up in the module handed back
      // here and keeps it for the DLL's later calls. This executable exports
      // nothing, so every lookup fails and comes back below.
      return reinterpret_cast<FARPROC>(::GetModuleHandleW(nullptr));
    case dliFailGetProc:
      if (info == nullptr || !info->dlp.fImportByName) return nullptr;
      return DelayLoadStandIn(info->szDll, info->dlp.szProcName);
    default:
      return nullptr;
  }
}

}  // namespace

FARPROC DelayLoadStandIn(const char* dll, const char* function) noexcept {
  if (dll == nullptr || function == nullptr) return nullptr;
  for (const StandIn& standIn : kStandIns) {
    if (EqualsIgnoringAsciiCase(standIn.dll, dll) && std::strcmp(standIn.function, function) == 0) {
      return standIn.address;
    }
  }
  return nullptr;
}

// The delay-load helper calls this hook on every failure; <delayimp.h> has
// declared it extern "C" (const in MSVC's header, not in MinGW's).
#if defined(_MSC_VER)
const PfnDliHook __pfnDliFailureHook2 = DelayLoadFailureHook;
#else
PfnDliHook __pfnDliFailureHook2 = DelayLoadFailureHook;
#endif
