#pragma once
// One move-only owner for every kind of Windows handle. Each kind is a traits
// type that says which value is invalid and how to free it; the aliases at the
// bottom are the ones the service uses.

#include <windows.h>
#include <setupapi.h>
#include <evntrace.h>

#include <utility>

namespace tvr {

template <class Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit ScopedHandle(Handle h) noexcept : handle_(h) {}
  ~ScopedHandle() { Close(); }

  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  [[nodiscard]] bool is_valid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return is_valid(); }
  [[nodiscard]] Handle get() const noexcept { return handle_; }

  // Frees the current handle (if any) and takes `h`. The caller's last error
  // survives, so `reset` may sit between a failing call and GetLastError().
  void reset(Handle h = Traits::Invalid()) noexcept {
    if (handle_ != h) {
      const DWORD lastError = ::GetLastError();
      Close();
      handle_ = h;
      ::SetLastError(lastError);
    }
  }

  [[nodiscard]] Handle release() noexcept {
    Handle h = handle_;
    handle_ = Traits::Invalid();
    return h;
  }

  // For out-parameters: frees the current handle and hands out its slot.
  [[nodiscard]] Handle* Receive() noexcept {
    reset();
    return &handle_;
  }

 private:
  void Close() noexcept {
    if (is_valid()) {
      Traits::Free(handle_);
      handle_ = Traits::Invalid();
    }
  }

  Handle handle_;
};

// NULL is the invalid value (events, threads, most kernel objects).
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { ::CloseHandle(h); }
};

// INVALID_HANDLE_VALUE is the invalid value (files and devices from CreateFileW).
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Free(Handle h) noexcept { ::CloseHandle(h); }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { ::RegCloseKey(h); }
};

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { ::CloseServiceHandle(h); }
};

struct EventSourceTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Free(Handle h) noexcept { ::DeregisterEventSource(h); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedEventSource = ScopedHandle<EventSourceTraits>;

}  // namespace tvr
