#include "wmi/variant_decode.h"

#include <cstring>

namespace tvr {

const wchar_t* VariantText(const VARIANT& value) noexcept {
  if (V_VT(&value) != VT_BSTR) return nullptr;
  return V_BSTR(&value) ? V_BSTR(&value) : L"";
}

HRESULT VariantToUInt64(VARIANT& value, ULONGLONG& out) noexcept {
  const HRESULT hr = ::VariantChangeType(&value, &value, 0, VT_UI8);
  if (hr != S_OK) return hr;
  out = V_UI8(&value);
  return S_OK;
}

size_t CopyLeadingBytes(const VARIANT& value, BYTE* buffer, size_t capacity) noexcept {
  const VARTYPE type = V_VT(&value);
  const VARTYPE element = type & VT_TYPEMASK;
  if ((type & VT_ARRAY) == 0 || (element != VT_UI1 && element != VT_I1)) return 0;
  SAFEARRAY* array = nullptr;
  if (type & VT_BYREF) {
    if (V_ARRAYREF(&value)) array = *V_ARRAYREF(&value);
  } else {
    array = V_ARRAY(&value);
  }
  if (!array || array->cDims == 0 || array->cbElements != 1) return 0;

  LONG lower = 0;
  LONG upper = -1;
  if (::SafeArrayGetLBound(array, 1, &lower) != S_OK || ::SafeArrayGetUBound(array, 1, &upper) != S_OK) return 0;
  if (upper < lower) return 0;
  size_t count = static_cast<size_t>(static_cast<LONGLONG>(upper) - lower + 1);

  // The first dimension's count is the length, but never more than the whole
  // array holds (another dimension of size 0 leaves no data at all).
  size_t total = 1;
  for (USHORT d = 0; d < array->cDims; ++d) total *= array->rgsabound[d].cElements;
  if (count > total) count = total;
  if (count > capacity) count = capacity;
  if (count == 0) return 0;

  void* data = nullptr;
  if (::SafeArrayAccessData(array, &data) != S_OK) return 0;
  if (data) std::memcpy(buffer, data, count);
  ::SafeArrayUnaccessData(array);
  return data ? count : 0;
}

}  // namespace tvr
