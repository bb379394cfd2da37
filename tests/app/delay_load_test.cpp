// The stand-ins that answer for a delay-loaded DLL or function that cannot be
// had, and their coverage of what the executable really delay-imports.
#include <windows.h>
#include <oleauto.h>
#include <setupapi.h>
#include <evntcons.h>
#include <tdh.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/delay_load.h"
#include "common/log_fixture.h"
#include "common/pe_image.h"
#include "common/process_runner.h"

namespace {

// (DLL, function) pairs of the PE's delay-import directory, read from the
// file; empty when the file has none.
std::vector<std::pair<std::string, std::string>> DelayImports(const std::wstring& path) {
  std::vector<std::pair<std::string, std::string>> imports;
  const std::string image = tvr_test::ReadFileBytes(path);
  const IMAGE_NT_HEADERS64* nt = tvr_test::PeHeaders(image);
  if (nt == nullptr) return imports;
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  const auto* sections = IMAGE_FIRST_SECTION(nt);
  // File offset of an RVA, or 0 when no section holds it.
  auto offset = [&](DWORD rva) -> size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& s = sections[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
        const size_t at = rva - s.VirtualAddress + s.PointerToRawData;
        return at < image.size() ? at : 0;
      }
    }
    return 0;
  };
  auto text = [&](DWORD rva) {
    const size_t at = offset(rva);
    if (at == 0) return std::string();
    return std::string(image.data() + at, strnlen(image.data() + at, image.size() - at));
  };
  if (directory.VirtualAddress == 0) return imports;
  for (size_t at = offset(directory.VirtualAddress); at != 0 && at + sizeof(IMAGE_DELAYLOAD_DESCRIPTOR) <= image.size();
       at += sizeof(IMAGE_DELAYLOAD_DESCRIPTOR)) {
    const auto* descriptor = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(image.data() + at);
    if (descriptor->DllNameRVA == 0) break;
    const std::string dll = text(descriptor->DllNameRVA);
    for (size_t thunk = offset(descriptor->ImportNameTableRVA); thunk != 0 && thunk + 8 <= image.size(); thunk += 8) {
      ULONGLONG entry = 0;
      std::memcpy(&entry, image.data() + thunk, sizeof(entry));
      if (entry == 0) break;
      if (entry & IMAGE_ORDINAL_FLAG64) {
        imports.emplace_back(dll, "#ordinal");
      } else {
        imports.emplace_back(dll, text(static_cast<DWORD>(entry) + sizeof(WORD)));  // past the hint
      }
    }
  }
  return imports;
}

std::wstring ProductPath() { return tvr_test::ThisProgramFolder() + L"..\\TVRSvc.exe"; }

TEST(DelayLoad, TheExecutableDelayImportsTheWorkersDllsAndEveryFunctionHasAStandIn) {
  const auto imports = DelayImports(ProductPath());
  std::vector<std::string> dlls;
  for (const auto& [dll, function] : imports) {
    if (dlls.empty() || dlls.back() != dll) dlls.push_back(dll);
    EXPECT_NE(DelayLoadStandIn(dll.c_str(), function.c_str()), nullptr) << dll << "!" << function;
  }
  EXPECT_THAT(dlls, testing::UnorderedElementsAre("ole32.dll", "oleaut32.dll", "setupapi.dll", "tdh.dll",
                                                  "user32.dll", "dbghelp.dll"));
}

TEST(DelayLoad, UnknownFunctionsAndDllsHaveNoStandIn) {
  EXPECT_EQ(DelayLoadStandIn("ole32.dll", "CoGetMalloc"), nullptr);
  EXPECT_EQ(DelayLoadStandIn("kernel32.dll", "CoInitializeEx"), nullptr);
  EXPECT_EQ(DelayLoadStandIn(nullptr, "CoInitializeEx"), nullptr);
  EXPECT_EQ(DelayLoadStandIn("ole32.dll", nullptr), nullptr);
  // DLL names compare in any letter case, function names exactly.
  EXPECT_NE(DelayLoadStandIn("OLE32.DLL", "CoInitializeEx"), nullptr);
  EXPECT_EQ(DelayLoadStandIn("ole32.dll", "coinitializeex"), nullptr);
}

template <class Function>
Function* StandIn(const char* dll, const char* function) {
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(DelayLoadStandIn(dll, function)));
}

// The stand-ins fail the way the real calls report failure, and clear what
// a caller would otherwise read as a result.
TEST(DelayLoad, StandInsReportFailureAndClearTheirResults) {
  constexpr HRESULT kFailed = HRESULT_FROM_WIN32(ERROR_DELAY_LOAD_FAILED);

  EXPECT_EQ(StandIn<decltype(::CoInitializeEx)>("ole32.dll", "CoInitializeEx")(nullptr, COINIT_MULTITHREADED), kFailed);
  void* object = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(StandIn<decltype(::CoCreateInstance)>("ole32.dll", "CoCreateInstance")(CLSID_NULL, nullptr,
                                                                                  CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                                                  &object),
            kFailed);
  EXPECT_EQ(object, nullptr);

  EXPECT_EQ(StandIn<decltype(::SysAllocString)>("oleaut32.dll", "SysAllocString")(L"x"), nullptr);
  VARIANT variant;
  V_VT(&variant) = VT_BSTR;
  StandIn<decltype(::VariantInit)>("oleaut32.dll", "VariantInit")(&variant);
  EXPECT_EQ(V_VT(&variant), VT_EMPTY);
  EXPECT_EQ(StandIn<decltype(::VariantChangeType)>("oleaut32.dll", "VariantChangeType")(&variant, &variant, 0, VT_BSTR),
            kFailed);
  void* data = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(StandIn<decltype(::SafeArrayAccessData)>("oleaut32.dll", "SafeArrayAccessData")(nullptr, &data), kFailed);
  EXPECT_EQ(data, nullptr);

  ::SetLastError(0xdeadbeef);
  EXPECT_EQ(StandIn<decltype(::SetupDiGetClassDevsW)>("setupapi.dll", "SetupDiGetClassDevsW")(nullptr, nullptr, nullptr,
                                                                                              DIGCF_PRESENT),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DELAY_LOAD_FAILED));
  SP_DEVINFO_DATA device{};
  EXPECT_FALSE(StandIn<decltype(::SetupDiEnumDeviceInfo)>("setupapi.dll", "SetupDiEnumDeviceInfo")(nullptr, 0, &device));

  // Anything but ERROR_INSUFFICIENT_BUFFER: the monitor ignores the event.
  ULONG size = 0;
  EXPECT_EQ(StandIn<decltype(::TdhGetEventInformation)>("tdh.dll", "TdhGetEventInformation")(nullptr, 0, nullptr,
                                                                                            nullptr, &size),
            static_cast<ULONG>(ERROR_DELAY_LOAD_FAILED));

  EXPECT_NE(StandIn<decltype(::GetSystemMetrics)>("user32.dll", "GetSystemMetrics")(SM_CONVERTIBLESLATEMODE), 0);

  ::SetLastError(0xdeadbeef);
  EXPECT_FALSE(StandIn<BOOL WINAPI(PCSTR)>("dbghelp.dll", "MakeSureDirectoryPathExists")("C:\\x\\"));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DELAY_LOAD_FAILED));
}

}  // namespace
