#include "mode/mode_check.h"

#include <setupapi.h>

#include "common/scoped_handle.h"
#include "common/srw_guard.h"
#include "log/log_pointer.h"
#include "mode/slate_platform.h"
#include "wmi/wmi_client.h"

namespace {

constexpr wchar_t kCheckFunction[] = L"CheckModeWithWMI";
constexpr wchar_t kLaptopClassMessage[] = L"UsageModeEvent == kLaptop || UsageModeEvent == kFloating";
constexpr wchar_t kOtherModeMessage[] = L"UsageModeEvent == other mode";

// Serialises every decide-and-toggle of the process: held from the metric read
// to the end of the last device write, so that two overlapping decisions can
// never both see the same state and undo each other's flip. An SRW lock cannot
// throw, which keeps the whole path noexcept.
SRWLOCK g_slateDecisionLock = SRWLOCK_INIT;

// The device resources are released through the same seam that handed them
// out, so a stand-in for the driver sees every one of them come back.
struct DeviceInfoSetTraits {
  using Handle = HDEVINFO;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Free(Handle h) noexcept { SlatePlatform().setupDiDestroyDeviceInfoList(h); }
};

struct IndicatorFileTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Free(Handle h) noexcept { SlatePlatform().closeHandle(h); }
};

struct LocalBufferTraits {
  using Handle = HLOCAL;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { SlatePlatform().localFree(h); }
};

using ScopedDeviceInfoSet = tvr::ScopedHandle<DeviceInfoSetTraits>;
using ScopedIndicatorFile = tvr::ScopedHandle<IndicatorFileTraits>;
using ScopedLocalBuffer = tvr::ScopedHandle<LocalBufferTraits>;

// How long a decision that toggled waits, still holding the decision lock, for
// the system to show the state it asked for, and how often it looks. On a real
// machine the state changes only once the input stack has processed the
// indicator's press, some time after the write returned; a decision that
// read the state in between would see the old one and toggle it back.
constexpr ULONGLONG kStateVisibleBoundMs = 500;
constexpr DWORD kStatePollMs = 5;

// Writes the toggle byte to one device of the set. A device that fails at any
// step is passed over quietly; the caller goes on with the next one. True
// when the byte was written.
bool ToggleOneIndicator(HDEVINFO set, SP_DEVINFO_DATA& device) noexcept {
  SlatePlatformCalls& os = SlatePlatform();

  SP_DEVICE_INTERFACE_DATA indicator{};
  indicator.cbSize = sizeof(indicator);
  if (!os.setupDiEnumDeviceInterfaces(set, &device, &kSlateIndicatorInterface, 0, &indicator)) return false;

  // Sizing call: it "fails" with ERROR_INSUFFICIENT_BUFFER by design; only the
  // reported size matters.
  DWORD required = 0;
  (void)os.setupDiGetDeviceInterfaceDetailW(set, &indicator, nullptr, 0, &required, nullptr);
  // A size too small for the fixed header would make the cbSize store below
  // run past the buffer.
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;

  ScopedLocalBuffer buffer(os.localAlloc(LMEM_ZEROINIT, required));
  if (!buffer) return false;
  auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.get());
  // The fixed header size, not the buffer size: setupapi checks it against
  // the structure it expects.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!os.setupDiGetDeviceInterfaceDetailW(set, &indicator, detail, required, nullptr, &device)) return false;

  ScopedIndicatorFile file(
      os.createFileW(detail->DevicePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;

  // Any write flips the state; the count written changes nothing.
  const BYTE toggle = 0x00;
  DWORD written = 0;
  return os.writeFile(file.get(), &toggle, 1, &written, nullptr) != FALSE;
}

// The toggle, counting the devices that took their byte.
int WriteToEveryIndicator() noexcept {
  SlatePlatformCalls& os = SlatePlatform();
  ScopedDeviceInfoSet set(
      os.setupDiGetClassDevsW(&kSlateIndicatorInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set) return 0;

  int writes = 0;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!os.setupDiEnumDeviceInfo(set.get(), index, &device)) break;
    if (ToggleOneIndicator(set.get(), device)) ++writes;
  }
  return writes;
}

bool SystemIsLaptop() noexcept { return SlatePlatform().getSystemMetrics(SM_CONVERTIBLESLATEMODE) != 0; }

}  // namespace

void ToggleSlateIndicator() noexcept { (void)WriteToEveryIndicator(); }

void SyncSlateMode(bool laptop) noexcept {
  tvr::ExclusiveSrwGuard guard(g_slateDecisionLock);
  if (SystemIsLaptop() == laptop) return;
  // Every write flips the state once: after an even number of them (none
  // included) there is nothing new to wait for.
  if (WriteToEveryIndicator() % 2 == 0) return;
  // Held until the state this decision caused is visible (or the bound has
  // passed: a driver that ignores the write must not hold every decision up
  // for long), so that the next decision reads the state as it now is.
  const ULONGLONG deadline = ::GetTickCount64() + kStateVisibleBoundMs;
  while (SystemIsLaptop() != laptop && ::GetTickCount64() < deadline) ::Sleep(kStatePollMs);
}

void DecideOnUsageMode(unsigned usageModeCode) noexcept { SyncSlateMode(WantsLaptop(usageModeCode)); }

void ApplyUsageModeAnswer(HRESULT queryResult, ULONGLONG usageData) noexcept {
  // Only exactly S_OK is an answer; S_FALSE and other success codes are not.
  if (queryResult != S_OK) return;
  const auto status = static_cast<unsigned>(usageData & 0xFF);
  if (status != 0) return;

  const auto usageModeCode = static_cast<unsigned>((usageData >> 32) & 0xFF);
  const bool laptop = WantsLaptop(usageModeCode);
  SyncSlateMode(laptop);

  // The line names the branch taken, not whether a toggle happened.
  (void)LogLine(kLogInfo, kCheckFunction, laptop ? kLaptopClassMessage : kOtherModeMessage);
}

void CheckModeWithWMI() noexcept {
  // A client of its own for this one check, on this thread; its destructor
  // disconnects and balances COM on every path out of here.
  CWMIClient client(nullptr);
  ULONGLONG usageData = 0;
  const HRESULT queryResult = client.QueryUsageMode(usageData);
  ApplyUsageModeAnswer(queryResult, usageData);
}
