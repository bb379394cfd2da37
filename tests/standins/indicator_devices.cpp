#include "indicator_devices.h"

#include <setupapi.h>
#include <winternl.h>

#include <chrono>
#include <cstdio>

namespace tvr_standin {

std::vector<std::wstring> PresentIndicatorPaths() {
  std::vector<std::wstring> paths;
  HDEVINFO set = ::SetupDiGetClassDevsW(&kIndicatorInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!::SetupDiEnumDeviceInfo(set, i, &device)) break;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInterfaces(set, &device, &kIndicatorInterface, 0, &data)) continue;
    DWORD size = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> buffer(size + 2);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &device)) {
      paths.push_back(detail->DevicePath);
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return paths;
}

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

// Instances of each device's pipe: one for the open, one listening meanwhile.
constexpr unsigned kPipeInstances = 2;
// How long a read may take to end once its client has closed.
constexpr DWORD kCloseWaitMs = 5000;

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
  enum State { kIdle, kListening, kReading };
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  BYTE buffer[64] = {};
  State state = kIdle;
  // An operation that ended as it was started leaves no result in
  // `overlapped` when it failed: it is kept here, and the event is set so
  // that the loop takes it like any other completion.
  bool endedAtOnce = false;
  BOOL okAtOnce = FALSE;
  DWORD gotAtOnce = 0;

  ~PipeInstance() {
    if (pipe != INVALID_HANDLE_VALUE) {
      ::CancelIo(pipe);
      ::DisconnectNamedPipe(pipe);
      ::CloseHandle(pipe);
    }
    if (event) ::CloseHandle(event);
  }
  // Arms the overlapped block for the next operation.
  void Arm(State next) {
    ::ResetEvent(event);
    overlapped = {};
    overlapped.hEvent = event;
    endedAtOnce = false;
    state = next;
  }
  // Takes the result of ConnectNamedPipe or ReadFile as it returned.
  void Started(BOOL ok, DWORD error, DWORD got) {
    if (!ok && error == ERROR_IO_PENDING) return;
    endedAtOnce = true;
    okAtOnce = ok || error == ERROR_PIPE_CONNECTED;
    gotAtOnce = got;
    ::SetEvent(event);
  }
  // The result of the operation whose event is set.
  BOOL Finish(DWORD* got) {
    if (endedAtOnce) {
      *got = gotAtOnce;
      return okAtOnce;
    }
    return ::GetOverlappedResult(pipe, &overlapped, got, FALSE);
  }
  [[nodiscard]] bool Done() const { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
  void Listen() {
    Arm(kListening);
    const BOOL ok = ::ConnectNamedPipe(pipe, &overlapped);
    Started(ok, ok ? ERROR_SUCCESS : ::GetLastError(), 0);
  }
  void Read() {
    Arm(kReading);
    DWORD got = 0;
    const BOOL ok = ::ReadFile(pipe, buffer, sizeof buffer, &got, &overlapped);
    Started(ok, ok ? ERROR_SUCCESS : ::GetLastError(), got);
  }
  // True when the client of a connected instance has closed its end.
  [[nodiscard]] bool ClientGone() const {
    DWORD available = 0;
    return !::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && ::GetLastError() == ERROR_BROKEN_PIPE;
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
  bool failed = false;   // its thread could not make the pipe
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
  for (auto& d : devices_) {
    if (d->starting || d->failed) {
      error_ = "the pipe of device " + std::to_string(d->index) +
               (d->starting ? " was not made in time" : " could not be made");
      break;
    }
  }
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
  // Inbound only: the device is written, never read. Two instances, so that
  // while one is closing (between its client's close and this thread's
  // DisconnectNamedPipe and ConnectNamedPipe) the other is listening and an
  // open right after a close lands. A single instance would refuse it with
  // ERROR_PIPE_BUSY.
  PipeInstance instances[kPipeInstances];
  bool made = true;
  for (unsigned i = 0; i < kPipeInstances; ++i) {
    instances[i].event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    instances[i].pipe = ::CreateNamedPipeW(
        pipeName.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, kPipeInstances, 0, 4096, 0, nullptr);
    if (!instances[i].event || instances[i].pipe == INVALID_HANDLE_VALUE) made = false;
  }
  // Both listen before the constructor returns: an open that came first
  // would meet an instance that takes a client but has no connect pending,
  // and a client gone by the time it is issued would be lost with its byte.
  for (unsigned i = 0; made && i < kPipeInstances; ++i) instances[i].Listen();
  {
    std::lock_guard<std::mutex> hold(lock_);
    device.starting = false;
    device.failed = !made;
  }
  changed_.notify_all();
  if (!made) return;
  // A close is taken in (and the instance listens again) ahead of everything
  // else in the process, so that the device is rarely left with no instance
  // listening.
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);

  // The instance whose client has the device open, if any.
  PipeInstance* holder = nullptr;

  // Takes in what `instance` has finished: a connect, bytes, or its client's
  // close.
  auto complete = [&](PipeInstance& instance) {
    DWORD got = 0;
    const BOOL ok = instance.Finish(&got);
    if (instance.state == PipeInstance::kListening) {
      if (!ok) {
        ::DisconnectNamedPipe(instance.pipe);
        instance.Listen();
        return;
      }
      ULONG pid = 0;
      ::GetNamedPipeClientProcessId(instance.pipe, &pid);
      IndicatorEvent opened{holder ? IndicatorEvent::kSecondOpen : IndicatorEvent::kOpen};
      opened.clientPid = pid;
      opened.when = Now();
      if (holder) {
        // The driver would refuse this open; here it got through the system
        // only because a second instance was listening. It is cut before
        // anything written to it is read, and recorded so that the test
        // fails on it.
        ::DisconnectNamedPipe(instance.pipe);
        instance.Listen();
        Record(device, opened);
        return;
      }
      Record(device, opened);
      holder = &instance;
      instance.Read();
      return;
    }
    if (ok) {
      const LARGE_INTEGER when = Now();
      for (DWORD i = 0; i < got; ++i) {
        IndicatorEvent e{IndicatorEvent::kByte};
        e.value = instance.buffer[i];
        e.when = when;
        Record(device, e);
      }
      instance.Read();
      return;
    }
    // The client closed the device. The instance listens again before the
    // close is recorded, so that whoever waits for the close finds both
    // instances ready.
    ::DisconnectNamedPipe(instance.pipe);
    IndicatorEvent closed{IndicatorEvent::kClose};
    closed.when = Now();
    if (holder == &instance) holder = nullptr;
    instance.Listen();
    Record(device, closed);
  };

  HANDLE waits[1 + kPipeInstances] = {stop_};
  for (unsigned i = 0; i < kPipeInstances; ++i) waits[1 + i] = instances[i].event;
  for (;;) {
    const DWORD woke = ::WaitForMultipleObjects(1 + kPipeInstances, waits, FALSE, INFINITE);
    if (woke < WAIT_OBJECT_0 + 1 || woke >= WAIT_OBJECT_0 + 1 + kPipeInstances) return;
    PipeInstance& instance = instances[woke - WAIT_OBJECT_0 - 1];
    if (instance.state == PipeInstance::kListening && holder && holder != &instance) {
      // A connect while the device is held open is a second open only if
      // the holder's client is still there: a close followed at once by an
      // open can reach this thread in either order, so the holder's own
      // completions are taken in first, and a holder whose client is gone
      // is waited for until its read has ended.
      while (holder && holder->Done()) complete(*holder);
      while (holder && holder->ClientGone() && ::WaitForSingleObject(holder->event, kCloseWaitMs) == WAIT_OBJECT_0) {
        complete(*holder);
      }
    }
    complete(instance);
  }
}

}  // namespace tvr_standin
