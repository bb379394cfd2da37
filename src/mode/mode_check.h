#pragma once
// The one decision of the service: does the system's convertible-slate state
// agree with the posture the firmware reports, and if not, flip it.

#include <windows.h>

#include "wmi/usage_mode.h"

// The laptop/slate mode indicator interface of the GPIO buttons driver.
// {317FC439-3F77-41C8-B09E-08AD63272AA3}
inline constexpr GUID kSlateIndicatorInterface = {
    0x317fc439, 0x3f77, 0x41c8, {0xb0, 0x9e, 0x08, 0xad, 0x63, 0x27, 0x2a, 0xa3}};

// The laptop class (kLaptop, kFloating) wants laptop mode; every other code
// wants slate mode.
[[nodiscard]] constexpr bool WantsLaptop(unsigned usageModeCode) noexcept {
  return IsLaptopClassUsageMode(usageModeCode);
}

// One complete check: asks the firmware through a short-lived WMI client,
// decides, toggles when needed and logs the branch. Quiet on every failure.
void CheckModeWithWMI() noexcept;

// The part of the check after the firmware has answered: acts only on a
// query result of exactly S_OK with status byte 0, then decides from the
// usage-mode code, toggles when needed and logs the branch. Quiet otherwise.
void ApplyUsageModeAnswer(HRESULT queryResult, ULONGLONG usageData) noexcept;

// The decision on the code a firmware event carries, as the event
// subscription is handed it: SyncSlateMode with the posture the code wants.
void DecideOnUsageMode(unsigned usageModeCode) noexcept;

// Reads the system slate state and toggles it when it differs from `laptop`.
// The read, the toggle and the wait for the system to show the new state (at
// most 500 ms) run under one process-wide lock, so that two overlapping
// decisions can never both toggle and undo each other, also where the state
// changes some time after the write.
void SyncSlateMode(bool laptop) noexcept;

// Writes one byte 0x00 to every present indicator device. Quiet on failure.
void ToggleSlateIndicator() noexcept;
