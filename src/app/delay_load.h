#pragma once
// What the executable does when a delay-loaded DLL or one of its functions
// cannot be had. The DLLs that only the worker's checks use (COM and OLE
// Automation, SetupAPI, the trace data helper, the window manager, the image
// help library) are mapped on first use (cmake/delay_load.cmake). Without a
// failure hook a DLL that cannot be loaded, or a function it does not export,
// raises an exception in whatever thread called it; with the hook the call
// goes to a stand-in that fails the way the real function reports failure, so
// the caller's ordinary failure path runs (a check ends quietly, the
// subscription is not made, the event is ignored).

#include <windows.h>

// The stand-in for `function` of `dll` (names as in the import table, the DLL
// name in any letter case): a function with the same signature that changes
// nothing outside its out-parameters and reports failure. Null for a function
// that has none: the delay-load helper then raises as it would without a hook.
[[nodiscard]] FARPROC DelayLoadStandIn(const char* dll, const char* function) noexcept;

// The error code the stand-ins report.
inline constexpr DWORD kDelayLoadError = ERROR_DELAY_LOAD_FAILED;
