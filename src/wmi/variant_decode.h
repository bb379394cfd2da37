#pragma once
// The few shapes of VARIANT that the firmware's answers come in, decoded in
// one place. WMI hands out 64-bit integers as decimal text, and event payloads
// as byte arrays whose size the firmware alone decides.

#include <windows.h>
#include <oleauto.h>

#include <cstddef>

namespace tvr {

// The text of a string-valued VARIANT (a null BSTR reads as ""), or null when
// the VARIANT holds anything but VT_BSTR.
[[nodiscard]] const wchar_t* VariantText(const VARIANT& value) noexcept;

// Converts `value` in place to VT_UI8 and stores it in `out`. Returns the
// conversion's HRESULT; leaves `out` untouched on failure.
[[nodiscard]] HRESULT VariantToUInt64(VARIANT& value, ULONGLONG& out) noexcept;

// Copies at most `capacity` leading bytes of a byte-array VARIANT into
// `buffer` and returns how many were copied. Byte arrays are VT_ARRAY of
// VT_UI1 or VT_I1, also by reference; their length is the element count of
// the first dimension, never more than the array holds. Anything else,
// arrays of wider elements included, counts as an empty array (returns 0).
// `buffer` beyond the returned count is left as it was.
size_t CopyLeadingBytes(const VARIANT& value, BYTE* buffer, size_t capacity) noexcept;

}  // namespace tvr
