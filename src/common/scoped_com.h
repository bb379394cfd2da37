#pragma once
// Owners for the OLE Automation values that WMI hands out. Interfaces are held
// in Microsoft::WRL::ComPtr; these cover BSTR and VARIANT so that no branch has
// to free them by hand.

#include <windows.h>
#include <oleauto.h>

namespace tvr {

class ScopedBstr {
 public:
  ScopedBstr() noexcept = default;
  explicit ScopedBstr(const wchar_t* text) noexcept : bstr_(::SysAllocString(text)) {}
  ~ScopedBstr() { ::SysFreeString(bstr_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;

  [[nodiscard]] BSTR get() const noexcept { return bstr_; }
  // For out-parameters: frees the current string and hands out its slot.
  [[nodiscard]] BSTR* Receive() noexcept {
    ::SysFreeString(bstr_);
    bstr_ = nullptr;
    return &bstr_;
  }

 private:
  BSTR bstr_ = nullptr;
};

class ScopedVariant {
 public:
  ScopedVariant() noexcept { ::VariantInit(&var_); }
  ~ScopedVariant() { ::VariantClear(&var_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  [[nodiscard]] VARIANT* get() noexcept { return &var_; }
  [[nodiscard]] const VARIANT& ref() const noexcept { return var_; }
  [[nodiscard]] VARTYPE type() const noexcept { return V_VT(&var_); }
  // For out-parameters: clears the current value and hands out the VARIANT.
  [[nodiscard]] VARIANT* Receive() noexcept {
    ::VariantClear(&var_);
    return &var_;
  }
  void Reset() noexcept { ::VariantClear(&var_); }

 private:
  VARIANT var_;
};

}  // namespace tvr
