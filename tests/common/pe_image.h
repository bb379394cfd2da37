// Reading the headers of a PE file that the tests hold in memory.
#pragma once

#include <windows.h>

#include <string>

namespace tvr_test {

// The 64-bit PE headers of a whole file's bytes; null when they are not a
// 64-bit PE image or are cut short.
const IMAGE_NT_HEADERS64* PeHeaders(const std::string& image);

}  // namespace tvr_test
