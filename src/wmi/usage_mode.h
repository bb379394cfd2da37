#pragma once
// What the firmware says about the machine's posture, as both of its WMI
// classes report it. The method answer carries the usage-mode code in one
// byte of its usage data; the event carries it as 16 bits of EventDetail.
// What the service does with a code is the decision's business, not this
// client's.

// The two codes of the laptop class; every other code is another posture.
inline constexpr unsigned kLaptop = 1;
inline constexpr unsigned kFloating = 32;

[[nodiscard]] constexpr bool IsLaptopClassUsageMode(unsigned usageModeCode) noexcept {
  return usageModeCode == kLaptop || usageModeCode == kFloating;
}

// Event kind (byte 0 of EventDetail) of a usage-mode change.
inline constexpr unsigned char kUsageModeChangeEvent = 5;

// What the owner of a subscription does with the usage-mode code that one
// firmware event carries. Called on WMI's delivery threads, possibly several
// at once, for as long as the subscription lives.
using UsageModeDecision = void (*)(unsigned usageModeCode) noexcept;
