#include "common/registry_fixture.h"

namespace tvr_test {

namespace {

bool KeyExists(HKEY root, const std::wstring& subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

}  // namespace

void ScopedRegistryValue::OpenChain() {
  // Remember which levels of the path are new, so only those are removed.
  size_t pos = 0;
  while (pos != std::wstring::npos) {
    pos = subKey_.find(L'\\', pos + 1);
    const std::wstring level = subKey_.substr(0, pos);
    if (!KeyExists(root_, level)) createdKeys_.push_back(level);
  }
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD type,
                                         const void* data, DWORD size)
    : root_(root), subKey_(subKey), name_(name) {
  OpenChain();
  HKEY key = nullptr;
  if (RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD oldSize = 0;
  if (RegQueryValueExW(key, name_.c_str(), nullptr, &oldType_, nullptr, &oldSize) == ERROR_SUCCESS) {
    oldData_.resize(oldSize);
    hadValue_ = RegQueryValueExW(key, name_.c_str(), nullptr, &oldType_, oldData_.data(), &oldSize) == ERROR_SUCCESS;
  }
  ok_ = RegSetValueExW(key, name_.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
  RegCloseKey(key);
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, const wchar_t* subKey, const wchar_t* name)
    : root_(root), subKey_(subKey), name_(name) {
  OpenChain();
  HKEY key = nullptr;
  if (RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD oldSize = 0;
  if (RegQueryValueExW(key, name_.c_str(), nullptr, &oldType_, nullptr, &oldSize) == ERROR_SUCCESS) {
    oldData_.resize(oldSize);
    hadValue_ = RegQueryValueExW(key, name_.c_str(), nullptr, &oldType_, oldData_.data(), &oldSize) == ERROR_SUCCESS;
  }
  const LSTATUS removed = RegDeleteValueW(key, name_.c_str());
  ok_ = removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
  RegCloseKey(key);
}

ScopedRegistryValue::~ScopedRegistryValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS) {
    if (hadValue_) {
      RegSetValueExW(key, name_.c_str(), 0, oldType_, oldData_.data(), static_cast<DWORD>(oldData_.size()));
    } else {
      RegDeleteValueW(key, name_.c_str());
    }
    RegCloseKey(key);
  }
  for (auto it = createdKeys_.rbegin(); it != createdKeys_.rend(); ++it) RegDeleteKeyW(root_, it->c_str());
}

ScopedLogSwitch::ScopedLogSwitch(DWORD value)
    : ScopedRegistryValue(HKEY_LOCAL_MACHINE, kLogSwitchKey, kLogSwitchValue, REG_DWORD, &value, sizeof(value)) {}

ScopedLogSwitch::ScopedLogSwitch(DWORD type, const void* data, DWORD size)
    : ScopedRegistryValue(HKEY_LOCAL_MACHINE, kLogSwitchKey, kLogSwitchValue, type, data, size) {}

bool RegistryKeyExists(const wchar_t* subKey) { return KeyExists(HKEY_LOCAL_MACHINE, subKey); }

}  // namespace tvr_test
