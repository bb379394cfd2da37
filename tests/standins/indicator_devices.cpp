#include "indicator_devices.h"

#include <winternl.h>

#include <chrono>
#include <cstdio>

namespace tvr_standin {

namespace {

constexpr wchar_t kInterfaceText[] = L"{317fc439-3f77-41c8-b09e-08ad63272aa3}";
constexpr wchar_t kDeviceClasses[] = L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";
constexpr wchar_t kEnumRoot[] = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\";
// The devices sit in the "System devices" setup class, as the GPIO buttons
// driver's do.
constexpr wchar_t kSystemClass[] = L"{4d36e97d-e325-11ce-bfc1-08002be10318}";

std::wstring DeviceId(unsigned index) { return L"SLATE_INDICATOR_" + std::to_wstring(index); }
std::wstring InstanceId(unsigned index) { return L"ROOT\\" + DeviceId(index) + L"\\0000"; }
std::wstring LinkTail(unsigned index) { return L"ROOT#" + DeviceId(index) + L"#0000#" + kInterfaceText; }
std::wstring PipeName(unsigned index) { return L"slate-indicator-" + std::to_wstring(index); }

bool SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
  return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool MakeKey(const std::wstring& path, HKEY* key) {
  return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key, nullptr) ==
         ERROR_SUCCESS;
}

bool RegisterOne(unsigned index) {
  const std::wstring interfaceKey =
      std::wstring(kDeviceClasses) + kInterfaceText + L"\\##?#" + LinkTail(index);
  HKEY key = nullptr;
  if (!MakeKey(interfaceKey, &key)) return false;
  bool ok = SetText(key, L"DeviceInstance", InstanceId(index));
  ::RegCloseKey(key);
  if (!MakeKey(interfaceKey + L"\\#", &key)) return false;
  ok = SetText(key, L"SymbolicLink", IndicatorDevicePath(index)) && ok;
  ::RegCloseKey(key);
  if (!MakeKey(interfaceKey + L"\\#\\Control", &key)) return false;
  const DWORD linked = 1;
  ok = ::RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof linked) ==
           ERROR_SUCCESS && ok;
  ::RegCloseKey(key);
  if (!MakeKey(std::wstring(kEnumRoot) + DeviceId(index) + L"\\0000", &key)) return false;
  ok = SetText(key, L"ClassGUID", kSystemClass) && ok;
  ok = SetText(key, L"DeviceDesc", L"Laptop/slate mode indicator (stand-in)") && ok;
  ::RegCloseKey(key);
  return ok;
}

void UnregisterOne(unsigned index) {
  const std::wstring interfaceKey =
      std::wstring(kDeviceClasses) + kInterfaceText + L"\\##?#" + LinkTail(index);
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, interfaceKey.c_str());
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kEnumRoot) + DeviceId(index)).c_str());
}

using NtCreateSymbolicLinkObjectFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, UNICODE_STRING*);

// Makes \??\<tail> name \Device\NamedPipe\<pipe>. The link lives as long as
// the returned handle.
HANDLE MakeLink(const std::wstring& tail, const std::wstring& pipe, LONG* status) {
  static const auto create = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
  if (!create) {
    *status = -1;
    return nullptr;
  }
  std::wstring linkName = L"\\??\\" + tail;
  std::wstring target = L"\\Device\\NamedPipe\\" + pipe;
  UNICODE_STRING name{static_cast<USHORT>(linkName.size() * 2), static_cast<USHORT>(linkName.size() * 2),
                      linkName.data()};
  UNICODE_STRING destination{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                             target.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE link = nullptr;
  *status = create(&link, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attributes, &destination);
  return *status >= 0 ? link : nullptr;
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now;
}

// One instance of a device's pipe, with its pending connect or read.
struct PipeInstance {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  BYTE buffer[64] = {};

  ~PipeInstance() {
    if (pipe != INVALID_HANDLE_VALUE) {
      ::CancelIo(pipe);
      ::DisconnectNamedPipe(pipe);
      ::CloseHandle(pipe);
    }
    if (event) ::CloseHandle(event);
  }
  // Arms the overlapped block for the next operation.
  void Arm() {
    ::ResetEvent(event);
    overlapped = {};
    overlapped.hEvent = event;
  }
};

}  // namespace

std::wstring IndicatorDevicePath(unsigned index) { return L"\\\\?\\" + LinkTail(index); }

bool RegisterIndicatorDevices(unsigned count) {
  bool ok = true;
  for (unsigned i = 0; i < kMaxIndicatorDevices; ++i) {
    if (i < count) ok = RegisterOne(i) && ok;
    else UnregisterOne(i);
  }
  return ok;
}

struct IndicatorDevices::Device {
  unsigned index = 0;
  HANDLE link = nullptr;
  std::vector<IndicatorEvent> events;
  size_t bytes = 0;
  bool open = false;
  LONGLONG lastByte = 0;
  std::thread thread;
  bool starting = true;  // until its thread has made the pipe
};

IndicatorDevices::IndicatorDevices(unsigned count) {
  stop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!RegisterIndicatorDevices(count)) error_ = "the registry refused the device entries";
  for (unsigned i = 0; i < count; ++i) {
    auto device = std::make_unique<Device>();
    device->index = i;
    LONG status = 0;
    device->link = MakeLink(LinkTail(i), PipeName(i), &status);
    if (!device->link && error_.empty()) {
      char text[128];
      snprintf(text, sizeof text, "NtCreateSymbolicLinkObject for device %u: status 0x%08lx", i,
               static_cast<unsigned long>(status));
      error_ = text;
    }
    devices_.push_back(std::move(device));
  }
  if (!error_.empty()) return;
  // Each device's pipe is served by a thread of its own, so that one device
  // being held open never delays the others.
  for (auto& device : devices_) {
    Device* d = device.get();
    d->thread = std::thread([this, d] { Run(*d); });
  }
  // The threads have made their first pipe instance once each reported in.
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait_for(hold, std::chrono::seconds(10), [this] {
    for (auto& d : devices_) {
      if (d->starting) return false;
    }
    return true;
  });
}

IndicatorDevices::~IndicatorDevices() {
  if (stop_) ::SetEvent(stop_);
  for (auto& device : devices_) {
    if (device->thread.joinable()) device->thread.join();
    if (device->link) ::CloseHandle(device->link);
  }
  if (stop_) ::CloseHandle(stop_);
}

void IndicatorDevices::Record(Device& device, IndicatorEvent event) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (event.kind == IndicatorEvent::kByte) {
      ++device.bytes;
      device.lastByte = event.when.QuadPart;
    }
    if (event.kind == IndicatorEvent::kOpen) device.open = true;
    if (event.kind == IndicatorEvent::kClose) device.open = false;
    device.events.push_back(event);
  }
  changed_.notify_all();
}

std::vector<IndicatorEvent> IndicatorDevices::Events(unsigned index) const {
  std::lock_guard<std::mutex> hold(lock_);
  return index < devices_.size() ? devices_[index]->events : std::vector<IndicatorEvent>{};
}

std::vector<BYTE> IndicatorDevices::Bytes(unsigned index) const {
  std::vector<BYTE> bytes;
  for (const IndicatorEvent& e : Events(index)) {
    if (e.kind == IndicatorEvent::kByte) bytes.push_back(e.value);
  }
  return bytes;
}

bool IndicatorDevices::WaitForBytes(unsigned index, size_t bytes, DWORD timeoutMs) const {
  if (index >= devices_.size()) return false;
  std::unique_lock<std::mutex> hold(lock_);
  const Device& d = *devices_[index];
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [&] { return d.bytes >= bytes && !d.open; });
}

LONGLONG IndicatorDevices::WaitForByteTime(unsigned index, size_t bytes, DWORD timeoutMs) const {
  if (index >= devices_.size()) return 0;
  std::unique_lock<std::mutex> hold(lock_);
  const Device& d = *devices_[index];
  if (!changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return d.bytes >= bytes; })) return 0;
  return d.lastByte;
}

void IndicatorDevices::Run(Device& device) {
  const std::wstring pipeName = L"\\\\.\\pipe\\" + PipeName(device.index);
  PipeInstance instance;
  instance.event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Inbound only: the device is written, never read. One instance: while it
  // is open, another open is refused by the system (ERROR_PIPE_BUSY).
  instance.pipe = ::CreateNamedPipeW(pipeName.c_str(),
                                     PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
  {
    std::lock_guard<std::mutex> hold(lock_);
    device.starting = false;
  }
  changed_.notify_all();
  if (instance.pipe == INVALID_HANDLE_VALUE) return;
  // Between a client's close and the next listen the device is busy; this
  // thread runs ahead of everything else in the process so that the window
  // stays as short as the two calls that close it.
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);

  // Waits for the pending operation; false when told to stop.
  auto wait = [&](DWORD* got, BOOL* ok) {
    HANDLE waits[2] = {stop_, instance.event};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
    *ok = ::GetOverlappedResult(instance.pipe, &instance.overlapped, got, FALSE);
    return true;
  };

  for (;;) {
    instance.Arm();
    DWORD got = 0;
    BOOL ok = ::ConnectNamedPipe(instance.pipe, &instance.overlapped);
    const DWORD error = ::GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
      if (!wait(&got, &ok)) return;
    } else if (!ok && error == ERROR_PIPE_CONNECTED) {
      ok = TRUE;
    }
    if (!ok) {
      ::DisconnectNamedPipe(instance.pipe);
      continue;
    }
    IndicatorEvent opened{IndicatorEvent::kOpen};
    ULONG pid = 0;
    ::GetNamedPipeClientProcessId(instance.pipe, &pid);
    opened.clientPid = pid;
    opened.when = Now();
    Record(device, opened);

    for (;;) {
      instance.Arm();
      ok = ::ReadFile(instance.pipe, instance.buffer, sizeof instance.buffer, &got, &instance.overlapped);
      if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
        if (!wait(&got, &ok)) return;
      }
      if (!ok) break;  // the client closed the device
      const LARGE_INTEGER when = Now();
      for (DWORD i = 0; i < got; ++i) {
        IndicatorEvent e{IndicatorEvent::kByte};
        e.value = instance.buffer[i];
        e.when = when;
        Record(device, e);
      }
    }
    ::DisconnectNamedPipe(instance.pipe);
    IndicatorEvent closed{IndicatorEvent::kClose};
    closed.when = Now();
    Record(device, closed);
  }
}

}  // namespace tvr_standin
