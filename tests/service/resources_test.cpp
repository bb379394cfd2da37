// The built executable's resources: the version it carries and the message
// table that Event Viewer formats the service's event log entries with.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/process_runner.h"

namespace {

std::wstring ExePath() { return tvr_test::ThisProgramFolder() + L"..\\TVRSvc.exe"; }

struct Version {
  unsigned major = 0, minor = 0, patch = 0;
};

Version ProjectVersion() {
  Version v;
  EXPECT_EQ(std::sscanf(TVR_PROJECT_VERSION, "%u.%u.%u", &v.major, &v.minor, &v.patch), 3) << TVR_PROJECT_VERSION;
  return v;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(ExecutableResources, VersionResourceCarriesTheProjectVersion) {
  const std::wstring exe = ExePath();
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
  ASSERT_NE(size, 0u) << ::GetLastError();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, block.data())) << ::GetLastError();

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const Version v = ProjectVersion();
  EXPECT_EQ(fixed->dwFileVersionMS, (v.major << 16) | v.minor);
  EXPECT_EQ(fixed->dwFileVersionLS, v.patch << 16);
  EXPECT_EQ(fixed->dwProductVersionMS, (v.major << 16) | v.minor);
  EXPECT_EQ(fixed->dwProductVersionLS, v.patch << 16);

  const std::wstring text = Widen(TVR_PROJECT_VERSION) + L".0";
  for (const wchar_t* name : {L"FileVersion", L"ProductVersion"}) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) << query;
    EXPECT_EQ(std::wstring(value), text) << query;
  }
}

TEST(ExecutableResources, ManifestCarriesTheProjectVersion) {
  HMODULE module = ::LoadLibraryExW(ExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << ::GetLastError();
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr) << ::GetLastError();
  const char* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
  const std::string manifest(bytes, ::SizeofResource(module, found));
  ::FreeLibrary(module);
  EXPECT_NE(manifest.find("name=\"OEM.TVRSvc\" version=\"" + std::string(TVR_PROJECT_VERSION) + ".0\""),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
}

// Formats message `id` of `module` as Event Viewer does with an entry's
// insertion strings; empty on failure, with the error in `error`.
std::wstring FormatEntry(HMODULE module, DWORD id, const std::vector<const wchar_t*>& strings, DWORD& error) {
  std::vector<DWORD_PTR> arguments;
  for (const wchar_t* s : strings) arguments.push_back(reinterpret_cast<DWORD_PTR>(s));
  wchar_t* text = nullptr;
  ::SetLastError(0xdeadbeef);
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module, id, 0,
      reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(arguments.data()));
  error = length == 0 ? ::GetLastError() : 0;
  std::wstring result = text ? std::wstring(text, length) : std::wstring();
  if (text) ::LocalFree(text);
  return result;
}

// Every entry the service writes is event 0 from source "TVRSvc" with the
// service name and the message as its two insertion strings.
TEST(ExecutableResources, MessageTableReadsEveryEntryAsItsText) {
  HMODULE module = ::LoadLibraryExW(ExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << ::GetLastError();
  const struct {
    const wchar_t* message;
    const wchar_t* expected;
  } cases[] = {
      {L"PLNX Service in OnStart", L"TVRSvc: PLNX Service in OnStart"},
      {L"PLNX Service in OnStop", L"TVRSvc: PLNX Service in OnStop"},
      {L"Service Stop failed w/err 0x00000005", L"TVRSvc: Service Stop failed w/err 0x00000005"},
      {L"Service failed to start.", L"TVRSvc: Service failed to start."},
      // Insertion strings are taken as they are, never as a format.
      {L"100% of %1 and %2!s!", L"TVRSvc: 100% of %1 and %2!s!"},
      {L"", L"TVRSvc: "},
  };
  for (const auto& c : cases) {
    DWORD error = 0;
    EXPECT_EQ(FormatEntry(module, 0, {L"TVRSvc", c.message}, error), c.expected) << "error " << error;
  }
  // Only event 0 is in the table; the service writes no other.
  DWORD error = 0;
  EXPECT_EQ(FormatEntry(module, 1, {L"TVRSvc", L"x"}, error), L"");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  ::FreeLibrary(module);
}

}  // namespace
