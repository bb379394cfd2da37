#pragma once
// Stand-ins for the laptop/slate indicator devices of the GPIO buttons
// driver, outside the service process.
//
// Each device is a device-interface entry in the registry (so that SetupAPI
// lists it as a present device of the indicator interface class) whose path
// \\?\ROOT#SLATE_INDICATOR_<n>#0000#{interface} is an NT symbolic link, made
// by this process, to a named pipe of this process. CreateFileW on the path
// thus opens the pipe; every byte written to it is recorded here, with who
// opened it (the writer's process id). Like the driver, a device takes one
// open at a time. The pipe has two instances, so that an open right after a
// close finds the other one listening (a single instance stays busy from the
// client's close until this process listens again, and an open in between
// would fail with ERROR_PIPE_BUSY): two open-write-close rounds in a row
// always land, whatever this process is doing. A third round straight after
// them can still find both instances busy, since the recorder takes some
// milliseconds to listen again after a close. An open that reaches the
// other instance while the device is open is one the driver would refuse
// with a sharing violation: it is recorded as a second open and cut at once, unread (the
// writer's handle then fails its writes with ERROR_PIPE_NOT_CONNECTED), so
// a test fails on it instead of the system refusing it silently. The pipe is
// inbound (the device is written, never read), so an open that asks for read
// access is refused by the system (ERROR_ACCESS_DENIED) and never reaches
// the recorder.

#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvr_standin {

// {317FC439-3F77-41C8-B09E-08AD63272AA3}
inline constexpr GUID kIndicatorInterface = {
    0x317fc439, 0x3f77, 0x41c8, {0xb0, 0x9e, 0x08, 0xad, 0x63, 0x27, 0x2a, 0xa3}};

// The most devices the registry entries provide for.
inline constexpr unsigned kMaxIndicatorDevices = 8;

// Makes the registry entries of exactly `count` present indicator devices
// (removing those of higher numbers). Returns false when the registry refused.
[[nodiscard]] bool RegisterIndicatorDevices(unsigned count);

// The device path SetupAPI reports for device `index`.
std::wstring IndicatorDevicePath(unsigned index);

// The paths of the present indicator devices, as SetupAPI lists them: the
// way the service finds the devices it writes.
std::vector<std::wstring> PresentIndicatorPaths();

struct IndicatorEvent {
  // kSecondOpen: an open while the device was open, cut unread.
  enum Kind { kOpen, kByte, kClose, kSecondOpen };
  Kind kind;
  BYTE value = 0;          // kByte
  DWORD clientPid = 0;     // kOpen, kSecondOpen
  LARGE_INTEGER when{};    // QueryPerformanceCounter at the moment it was seen
};

class IndicatorDevices {
 public:
  // Registers `count` devices and starts recording. ok() says whether every
  // link and pipe could be made; error() says what failed.
  explicit IndicatorDevices(unsigned count);
  ~IndicatorDevices();
  IndicatorDevices(const IndicatorDevices&) = delete;
  IndicatorDevices& operator=(const IndicatorDevices&) = delete;

  [[nodiscard]] bool ok() const { return error_.empty(); }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] unsigned count() const { return static_cast<unsigned>(devices_.size()); }

  // Everything device `index` saw so far, in order.
  [[nodiscard]] std::vector<IndicatorEvent> Events(unsigned index) const;
  // The bytes written to device `index` so far.
  [[nodiscard]] std::vector<BYTE> Bytes(unsigned index) const;
  // Waits until device `index` has received at least `bytes` bytes and is
  // closed again; false after `timeoutMs`.
  [[nodiscard]] bool WaitForBytes(unsigned index, size_t bytes, DWORD timeoutMs) const;
  // Waits until `index` has counted at least `bytes` bytes; returns the time
  // the last of them arrived (QueryPerformanceCounter), or 0 after `timeoutMs`.
  [[nodiscard]] LONGLONG WaitForByteTime(unsigned index, size_t bytes, DWORD timeoutMs) const;

 private:
  struct Device;
  void Record(Device& device, IndicatorEvent event);
  void Run(Device& device);

  std::vector<std::unique_ptr<Device>> devices_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  HANDLE stop_ = nullptr;
  std::string error_;
};

}  // namespace tvr_standin
