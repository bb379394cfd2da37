#include "common/fake_slate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <map>
#include <set>
#include <string>

#include "mode/mode_check.h"

namespace tvr_test {

struct FakeSlate::Impl {
  mutable std::mutex mutex;
  int metric = 0;
  std::vector<SlateDeviceFault> devices;
  bool failDeviceSet = false;
  bool failAlloc = false;
  DWORD writeDelay = 0;
  DWORD stateLag = 0;
  // Flips written but not yet visible in the metric: when each becomes so.
  std::vector<ULONGLONG> pendingFlips;

  int metricReads = 0;
  int toggles = 0;
  std::vector<std::vector<BYTE>> bytes;
  std::vector<size_t> writeOrder;
  int deviceSetRequests = 0;
  int badOpens = 0;
  int badReleases = 0;

  uintptr_t nextToken = 1;
  std::map<HDEVINFO, std::vector<SlateDeviceFault>> sets;  // live sets, devices presented
  std::map<HANDLE, size_t> openDevices;                   // live device handles
  std::set<HLOCAL> buffers;                               // live detail buffers

  SlatePlatformCalls real;  // the table in place before the fake, for pass-through
};

namespace {

std::atomic<FakeSlate::Impl*> g_active{nullptr};

constexpr uintptr_t kSetTokenBase = 0x5E7000000000ull;
constexpr uintptr_t kDeviceTokenBase = 0x5E8000000000ull;

std::wstring DevicePath(size_t index) {
  return L"\\\\?\\fake-slate#" + std::to_wstring(index);
}

// Required size of the detail structure for a path, as setupapi reports it.
DWORD DetailSize(const std::wstring& path) {
  return static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                            (path.size() + 1) * sizeof(wchar_t));
}

bool SameGuid(const GUID* a, const GUID& b) { return a != nullptr && ::IsEqualGUID(*a, b); }

// The input stack takes its time over an indicator press: a flip shows in the
// metric only once its moment has come. Called with the lock held.
void ApplyDueFlips(FakeSlate::Impl* f) {
  if (f->pendingFlips.empty()) return;
  const ULONGLONG now = ::GetTickCount64();
  while (!f->pendingFlips.empty() && f->pendingFlips.front() <= now) {
    f->metric = f->metric == 0 ? 1 : 0;
    f->pendingFlips.erase(f->pendingFlips.begin());
  }
}

int WINAPI FakeGetSystemMetrics(int index) {
  FakeSlate::Impl* f = g_active.load();
  if (index != SM_CONVERTIBLESLATEMODE) return f->real.getSystemMetrics(index);
  std::lock_guard lock(f->mutex);
  ++f->metricReads;
  ApplyDueFlips(f);
  return f->metric;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCWSTR enumerator, HWND parent, DWORD flags) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  ++f->deviceSetRequests;
  if (f->failDeviceSet) {
    ::SetLastError(ERROR_INVALID_DATA);
    return INVALID_HANDLE_VALUE;
  }
  const bool indicatorRequest = SameGuid(guid, kSlateIndicatorInterface) && enumerator == nullptr &&
                                parent == nullptr && flags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  const auto set = reinterpret_cast<HDEVINFO>(kSetTokenBase + 16 * f->nextToken++);
  f->sets[set] = indicatorRequest ? f->devices : std::vector<SlateDeviceFault>{};
  return set;
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  const auto it = f->sets.find(set);
  if (it == f->sets.end()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (index >= it->second.size()) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->ClassGuid = GUID{};
  data->DevInst = index + 1;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI FakeEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* guid, DWORD member,
                                     PSP_DEVICE_INTERFACE_DATA data) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  const auto it = f->sets.find(set);
  if (it == f->sets.end()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || device == nullptr ||
      device->cbSize != sizeof(SP_DEVINFO_DATA) || device->Reserved == 0 ||
      device->Reserved > it->second.size()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const size_t index = device->Reserved - 1;
  if (!SameGuid(guid, kSlateIndicatorInterface) || member != 0 ||
      it->second[index] == SlateDeviceFault::kNoInterface) {
    ::SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = kSlateIndicatorInterface;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA iface, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                          DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  const auto it = f->sets.find(set);
  if (it == f->sets.end()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (iface == nullptr || iface->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || iface->Reserved == 0 ||
      iface->Reserved > it->second.size()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const size_t index = iface->Reserved - 1;
  const SlateDeviceFault fault = it->second[index];
  const std::wstring path = DevicePath(index);
  if (fault == SlateDeviceFault::kNoDetailSize) {
    ::SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  if (detail == nullptr) {
    if (size != 0) {
      ::SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    if (required != nullptr) *required = DetailSize(path);
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    ::SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < DetailSize(path)) {
    if (required != nullptr) *required = DetailSize(path);
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (fault == SlateDeviceFault::kDetailFails) {
    ::SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (device != nullptr) {
    if (device->cbSize != sizeof(SP_DEVINFO_DATA)) {
      ::SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    device->DevInst = index + 1;
    device->Reserved = index + 1;
  }
  wmemcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  if (required != nullptr) *required = DetailSize(path);
  return TRUE;
}

BOOL WINAPI FakeDestroyDeviceInfoList(HDEVINFO set) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  if (f->sets.erase(set) == 0) {
    ++f->badReleases;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  size_t index = f->devices.size();
  for (size_t i = 0; i < f->devices.size(); ++i) {
    if (name != nullptr && DevicePath(i) == name) index = i;
  }
  if (index == f->devices.size()) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (access != GENERIC_WRITE || share != 0 || security != nullptr || disposition != OPEN_EXISTING ||
      flags != 0 || templateFile != nullptr) {
    ++f->badOpens;
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (f->devices[index] == SlateDeviceFault::kOpenFails) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const auto handle = reinterpret_cast<HANDLE>(kDeviceTokenBase + 16 * f->nextToken++);
  f->openDevices[handle] = index;
  return handle;
}

BOOL WINAPI FakeWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  FakeSlate::Impl* f = g_active.load();
  DWORD delay = 0;
  {
    std::lock_guard lock(f->mutex);
    const auto it = f->openDevices.find(handle);
    if (it == f->openDevices.end()) {
      ::SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (f->devices[it->second] == SlateDeviceFault::kWriteFails) {
      if (written != nullptr) *written = 0;
      ::SetLastError(ERROR_GEN_FAILURE);
      return FALSE;
    }
    delay = f->writeDelay;
  }
  // The driver takes its time; a second decision that reads the metric now
  // still sees the old state.
  if (delay != 0) ::Sleep(delay);
  std::lock_guard lock(f->mutex);
  const auto it = f->openDevices.find(handle);
  if (it == f->openDevices.end()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const auto* data = static_cast<const BYTE*>(buffer);
  auto& sink = f->bytes[it->second];
  sink.insert(sink.end(), data, data + count);
  f->writeOrder.push_back(it->second);
  if (count == 1) {
    if (f->stateLag == 0) {
      f->metric = f->metric == 0 ? 1 : 0;
    } else {
      f->pendingFlips.push_back(::GetTickCount64() + f->stateLag);
    }
    ++f->toggles;
  }
  if (written != nullptr) *written = count;
  return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  if (f->openDevices.erase(handle) == 0) {
    ++f->badReleases;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HLOCAL WINAPI FakeLocalAlloc(UINT flags, SIZE_T bytes) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  if (f->failAlloc) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HLOCAL block = f->real.localAlloc(flags, bytes);
  if (block != nullptr) f->buffers.insert(block);
  return block;
}

HLOCAL WINAPI FakeLocalFree(HLOCAL block) {
  FakeSlate::Impl* f = g_active.load();
  std::lock_guard lock(f->mutex);
  if (block == nullptr) return nullptr;
  if (f->buffers.erase(block) == 0) {
    ++f->badReleases;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return block;
  }
  return f->real.localFree(block);
}

}  // namespace

FakeSlate::FakeSlate(int metric, std::vector<SlateDeviceFault> devices)
    : impl_(new Impl), saved_(SlatePlatform()), previous_(nullptr) {
  impl_->metric = metric;
  impl_->bytes.resize(devices.size());
  impl_->devices = std::move(devices);
  impl_->real = saved_;
  previous_ = g_active.exchange(impl_);

  SlatePlatformCalls& calls = SlatePlatform();
  calls.getSystemMetrics = FakeGetSystemMetrics;
  calls.setupDiGetClassDevsW = FakeGetClassDevs;
  calls.setupDiEnumDeviceInfo = FakeEnumDeviceInfo;
  calls.setupDiEnumDeviceInterfaces = FakeEnumDeviceInterfaces;
  calls.setupDiGetDeviceInterfaceDetailW = FakeGetDetail;
  calls.setupDiDestroyDeviceInfoList = FakeDestroyDeviceInfoList;
  calls.createFileW = FakeCreateFile;
  calls.writeFile = FakeWriteFile;
  calls.closeHandle = FakeCloseHandle;
  calls.localAlloc = FakeLocalAlloc;
  calls.localFree = FakeLocalFree;
}

FakeSlate::~FakeSlate() {
  SlatePlatform() = saved_;
  {
    std::lock_guard lock(impl_->mutex);
    const size_t outstanding = impl_->sets.size() + impl_->openDevices.size() + impl_->buffers.size();
    EXPECT_EQ(0u, outstanding) << "fake slate: handles or buffers not given back";
    EXPECT_EQ(0, impl_->badReleases) << "fake slate: released something that was not live";
    for (HLOCAL block : impl_->buffers) impl_->real.localFree(block);
  }
  // Nothing calls into the fake once the real table is back in place and the
  // test's threads have been joined, so the state can go.
  g_active.store(previous_);
  delete impl_;
}

void FakeSlate::SetMetric(int metric) {
  std::lock_guard lock(impl_->mutex);
  impl_->pendingFlips.clear();
  impl_->metric = metric;
}
void FakeSlate::FailDeviceSet(bool fail) {
  std::lock_guard lock(impl_->mutex);
  impl_->failDeviceSet = fail;
}
void FakeSlate::FailAlloc(bool fail) {
  std::lock_guard lock(impl_->mutex);
  impl_->failAlloc = fail;
}
void FakeSlate::SetWriteDelay(DWORD milliseconds) {
  std::lock_guard lock(impl_->mutex);
  impl_->writeDelay = milliseconds;
}
void FakeSlate::SetStateLag(DWORD milliseconds) {
  std::lock_guard lock(impl_->mutex);
  impl_->stateLag = milliseconds;
}
int FakeSlate::Metric() const {
  std::lock_guard lock(impl_->mutex);
  ApplyDueFlips(impl_);
  return impl_->metric;
}
int FakeSlate::MetricReads() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->metricReads;
}
int FakeSlate::Toggles() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->toggles;
}
std::vector<BYTE> FakeSlate::BytesWritten(size_t index) const {
  std::lock_guard lock(impl_->mutex);
  return index < impl_->bytes.size() ? impl_->bytes[index] : std::vector<BYTE>{};
}
std::vector<size_t> FakeSlate::WriteOrder() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->writeOrder;
}
int FakeSlate::DeviceSetRequests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->deviceSetRequests;
}
int FakeSlate::BadOpens() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->badOpens;
}
int FakeSlate::OutstandingHandles() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(impl_->sets.size() + impl_->openDevices.size() + impl_->buffers.size());
}
int FakeSlate::BadReleases() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->badReleases;
}

}  // namespace tvr_test
