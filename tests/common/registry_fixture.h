#pragma once
// Scoped changes to the real registry for tests: each object puts back what
// it found (the earlier data, or no value) and removes the keys it created.

#include <windows.h>

#include <string>
#include <vector>

namespace tvr_test {

class ScopedRegistryValue {
 public:
  // Sets `name` under `root\subKey` to `type` with the given raw bytes,
  // creating the key (and any missing parent) for the scope.
  ScopedRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data,
                      DWORD size);
  // Makes sure `name` does not exist under `root\subKey` for the scope; the
  // key itself exists (it is created if missing).
  ScopedRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* name);
  ~ScopedRegistryValue();

  ScopedRegistryValue(const ScopedRegistryValue&) = delete;
  ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

  // False when the key could not be created or the value not set/removed.
  [[nodiscard]] bool ok() const { return ok_; }

 private:
  void OpenChain();

  HKEY root_;
  std::wstring subKey_;
  std::wstring name_;
  std::vector<std::wstring> createdKeys_;  // deepest last
  bool hadValue_ = false;
  DWORD oldType_ = REG_NONE;
  std::vector<BYTE> oldData_;
  bool ok_ = false;
};

// The diagnostic log switch, HKLM\SOFTWARE\OEM\TVRSvc\Log value "TVRSvc".
// `ScopedLogSwitch on;` switches logging on for the scope.
class ScopedLogSwitch : public ScopedRegistryValue {
 public:
  explicit ScopedLogSwitch(DWORD value = 1);
  ScopedLogSwitch(DWORD type, const void* data, DWORD size);
};

inline constexpr wchar_t kLogSwitchKey[] = L"SOFTWARE\\OEM\\TVRSvc\\Log";
inline constexpr wchar_t kLogSwitchValue[] = L"TVRSvc";

// True when HKLM\`subKey` exists.
bool RegistryKeyExists(const wchar_t* subKey);

}  // namespace tvr_test
