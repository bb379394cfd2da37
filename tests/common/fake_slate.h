#pragma once
// A fake slate machine behind the SlatePlatform() seam: the convertible-slate
// metric and the laptop/slate indicator devices of the GPIO buttons driver.
//
//   tvr_test::FakeSlate slate(/*metric=*/0);   // slate, one healthy device
//   SyncSlateMode(true);
//   EXPECT_EQ(1, slate.Toggles());
//   EXPECT_EQ(std::vector<BYTE>{0x00}, slate.BytesWritten(0));
//   EXPECT_NE(0, slate.Metric());
//
// Behaviour, modelled on the real driver and setupapi:
// - The metric (SM_CONVERTIBLESLATEMODE) reads as set; 0 is slate, non-zero is
//   laptop. Every one-byte write to an indicator device flips it (0 -> 1,
//   non-zero -> 0) and counts one toggle; with a state lag the flip shows
//   only that long after the write. Other metric indexes go to Windows.
// - SetupDiGetClassDevsW presents the devices only for the indicator interface
//   GUID with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, no enumerator, no window;
//   any other request yields an empty set. The cbSize checks, the sizing call
//   (ERROR_INSUFFICIENT_BUFFER plus the required size) and the filling call
//   follow setupapi. Device paths are L"\\\\?\\fake-slate#<index>".
// - CreateFileW opens a device only with GENERIC_WRITE, share 0, no security
//   attributes, OPEN_EXISTING, no flags and no template; anything else is
//   refused (ERROR_INVALID_PARAMETER) and counted in BadOpens().
// - Every handle handed out (device information sets, device handles, detail
//   buffers from LocalAlloc) is tracked. Releasing one that is not live counts
//   in BadReleases(). The destructor fails the running test if anything is
//   still outstanding or was released badly.
//
// Installing: the constructor saves the current SlatePlatform() table and puts
// the fake in; the destructor restores the saved table (fakes nest: the newest
// is active). Install it before starting threads; destroy it after joining them.
// All methods are thread-safe.

#include <windows.h>

#include <cstddef>
#include <mutex>
#include <vector>

#include "mode/slate_platform.h"

namespace tvr_test {

// What goes wrong with one device; at most one fault per device.
enum class SlateDeviceFault {
  kNone,
  kNoInterface,   // SetupDiEnumDeviceInterfaces finds no indicator interface
  kNoDetailSize,  // the sizing call reports no size
  kDetailFails,   // the filling call fails
  kOpenFails,     // CreateFileW fails (ERROR_ACCESS_DENIED)
  kWriteFails,    // WriteFile fails (ERROR_GEN_FAILURE): no byte, no flip
};

class FakeSlate {
 public:
  // `metric` is the starting SM_CONVERTIBLESLATEMODE value; one entry per
  // present device, in enumeration order.
  explicit FakeSlate(int metric, std::vector<SlateDeviceFault> devices = Devices(1));
  ~FakeSlate();
  FakeSlate(const FakeSlate&) = delete;
  FakeSlate& operator=(const FakeSlate&) = delete;

  // `count` healthy devices.
  static std::vector<SlateDeviceFault> Devices(size_t count) {
    return std::vector<SlateDeviceFault>(count, SlateDeviceFault::kNone);
  }

  // --- set-up (also valid while threads run) ---
  void SetMetric(int metric);
  // Makes SetupDiGetClassDevsW fail with INVALID_HANDLE_VALUE.
  void FailDeviceSet(bool fail);
  // Makes LocalAlloc fail (no detail buffer can be had).
  void FailAlloc(bool fail);
  // Sleeps this long inside every write, before the flip, to widen the window
  // between one decision's metric read and its write.
  void SetWriteDelay(DWORD milliseconds);
  // The metric shows a write's flip only this long after the write has
  // returned, as on a real machine where the input stack processes the
  // indicator's press in its own time (0: at once, inside the write).
  void SetStateLag(DWORD milliseconds);

  // --- observations ---
  int Metric() const;
  int MetricReads() const;  // SM_CONVERTIBLESLATEMODE reads
  int Toggles() const;      // flips caused by writes
  // Every byte written to device `index`, in order.
  std::vector<BYTE> BytesWritten(size_t index) const;
  // Device index of every successful write, in order.
  std::vector<size_t> WriteOrder() const;
  int DeviceSetRequests() const;  // SetupDiGetClassDevsW calls
  int BadOpens() const;
  int OutstandingHandles() const;  // sets + device handles + buffers still live
  int BadReleases() const;

  struct Impl;  // the fake's state, shared with the seam entries

 private:
  Impl* impl_;
  SlatePlatformCalls saved_;
  Impl* previous_;  // the fake this one shadows, if any
};

}  // namespace tvr_test
