// The installer package as an administrator meets it: installed, upgraded and
// removed silently through Windows Installer (Wine's msiexec), with the
// service entry, the running service, the event source and the files read
// back from the system. Runs in a Wine prefix of its own.
#include <windows.h>

#include <msi.h>
#include <shlobj.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/process_runner.h"
#include "common/service_config.h"
#include "common/scoped_handle.h"

namespace {

using namespace std::chrono_literals;
using tvr::ScopedServiceHandle;

constexpr wchar_t kName[] = L"TVRSvc";
constexpr wchar_t kUpgradeCode[] = L"{716B3C10-A9D6-42C0-8BE9-C0B8CB5C2893}";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\TVRSvc";

std::wstring Widen(const char* text) { return std::wstring(text, text + strlen(text)); }
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring PackagePath(const std::wstring& name) { return tvr_test::ThisProgramFolder() + name; }
const std::wstring kCurrentPackage = PackagePath(L"TVRSvc-" + Widen(TVR_PROJECT_VERSION) + L".msi");
const std::wstring kNextPackage = PackagePath(L"TVRSvc-" + Widen(TVR_NEXT_VERSION) + L".msi");
const std::wstring kFailingPackage = PackagePath(L"TVRSvc-" + Widen(TVR_PROJECT_VERSION) + L"-fails.msi");

std::wstring ProgramFiles64() {
  wchar_t* path = nullptr;
  std::wstring result;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramFilesX64, 0, nullptr, &path))) result = path;
  ::CoTaskMemFree(path);
  return result;
}
std::wstring InstallFolder() { return ProgramFiles64() + L"\\TVRSvc"; }
std::wstring InstalledExe() { return InstallFolder() + L"\\TVRSvc.exe"; }

std::wstring SystemFolder() {
  wchar_t path[MAX_PATH] = {};
  ::GetSystemDirectoryW(path, MAX_PATH);
  return path;
}

// Runs msiexec with `arguments` and returns its exit code, as a management
// system would see it; 0xFFFFFFFF when it did not start or end.
DWORD RunMsiexec(const std::wstring& arguments) {
  const tvr_test::ProcessResult result = tvr_test::RunProcess(SystemFolder() + L"\\msiexec.exe", arguments, 180000);
  EXPECT_TRUE(result.started) << "CreateProcessW error " << result.startError;
  EXPECT_FALSE(result.timedOut) << Narrow(arguments);
  return result.started && !result.timedOut ? result.exitCode : 0xFFFFFFFF;
}
DWORD Install(const std::wstring& package) { return RunMsiexec(L"/i \"" + package + L"\" /qn"); }

// The products of this package family that Windows Installer has registered.
std::vector<std::wstring> InstalledProducts() {
  std::vector<std::wstring> products;
  wchar_t code[39] = {};
  for (DWORD i = 0; ::MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i) {
    products.push_back(code);
  }
  return products;
}

std::wstring ProductVersion(const std::wstring& product) {
  wchar_t version[64] = {};
  DWORD length = 64;
  if (::MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length) != ERROR_SUCCESS) {
    return L"";
  }
  return version;
}

// What the package test reads beyond the common configuration: the
// description and whether failure actions are stored.
struct ServiceConfig : tvr_test::ServiceConfig {
  bool descriptionRead = false;
  std::wstring description;
  bool failureActionsStored = true;
};

// Reads the service's configuration from the service manager; false when the
// service is not there.
bool QueryConfig(ServiceConfig& out) {
  if (!tvr_test::QueryServiceConfigOf(kName, out)) return false;
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, SERVICE_QUERY_CONFIG));
  if (!service) return false;
  auto text = [](const wchar_t* s) { return s ? std::wstring(s) : std::wstring(); };
  DWORD needed = 0;
  std::vector<BYTE> optional(8192);
  out.descriptionRead = ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, optional.data(),
                                               static_cast<DWORD>(optional.size()), &needed) != FALSE;
  if (out.descriptionRead) {
    out.description = text(reinterpret_cast<SERVICE_DESCRIPTIONW*>(optional.data())->lpDescription);
  }
  // Failure actions are read from where the service manager keeps them, the
  // entry's "FailureActions" value, which a service without any lacks: Wine
  // answers QueryServiceConfig2W for them with ERROR_INVALID_LEVEL.
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\TVRSvc", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    out.failureActionsStored =
        ::RegQueryValueExW(key, L"FailureActions", nullptr, nullptr, nullptr, nullptr) != ERROR_FILE_NOT_FOUND;
    ::RegCloseKey(key);
  }
  return true;
}

// Every service entry that is this service, by name, display name or image.
int ServiceEntries() {
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
  DWORD needed = 0, count = 0, resume = 0;
  ::EnumServicesStatusExW(scm.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                          &count, &resume, nullptr);
  std::vector<BYTE> buffer(needed + 4096);
  resume = 0;
  if (!::EnumServicesStatusExW(scm.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                               static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr)) {
    ADD_FAILURE() << "EnumServicesStatusExW error " << ::GetLastError();
    return -1;
  }
  const auto* services = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
  int entries = 0;
  for (DWORD i = 0; i < count; ++i) {
    if (_wcsicmp(services[i].lpServiceName, kName) == 0 ||
        wcscmp(services[i].lpDisplayName, L"Tavrel Service") == 0) {
      ++entries;
    }
  }
  return entries;
}

SERVICE_STATUS_PROCESS Status() {
  SERVICE_STATUS_PROCESS status = {};
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, SERVICE_QUERY_STATUS));
  DWORD needed = 0;
  if (service) {
    ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                           &needed);
  }
  return status;
}

// Waits for the service to run; its status then.
SERVICE_STATUS_PROCESS WaitRunning() {
  const auto end = std::chrono::steady_clock::now() + 30s;
  SERVICE_STATUS_PROCESS status = Status();
  while (status.dwCurrentState != SERVICE_RUNNING && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(100ms);
    status = Status();
  }
  return status;
}

std::wstring ImageOf(DWORD processId) {
  tvr::ScopedKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  wchar_t path[MAX_PATH * 2] = {};
  DWORD length = MAX_PATH * 2;
  if (!process || !::QueryFullProcessImageNameW(process.get(), 0, path, &length)) return L"";
  return std::wstring(path, length);
}

// "major.minor.patch" of a file's version resource, empty without one.
std::wstring FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> block(size + 1);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (size == 0 || !::GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
      !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
    return L"";
  }
  return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) +
         L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS));
}

bool EventSourceExists() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Removes whatever an earlier, interrupted run left: every product of the
// family, and a service entry of the name.
void RemoveEverything() {
  for (const auto& product : InstalledProducts()) RunMsiexec(L"/x " + product + L" /qn");
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, DELETE | SERVICE_STOP));
  if (service) {
    SERVICE_STATUS status = {};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    ::DeleteService(service.get());
  }
}

// What an uninstalled package leaves: nothing.
void ExpectNothingLeft() {
  EXPECT_THAT(InstalledProducts(), testing::IsEmpty());
  EXPECT_EQ(ServiceEntries(), 0);
  EXPECT_FALSE(EventSourceExists());
  EXPECT_FALSE(PathExists(InstalledExe()));
  EXPECT_FALSE(PathExists(InstallFolder()));
}

class PackageTest : public testing::Test {
 protected:
  void SetUp() override {
    RemoveEverything();
    ASSERT_THAT(InstalledProducts(), testing::IsEmpty());
    ASSERT_EQ(ServiceEntries(), 0);
  }
  void TearDown() override { RemoveEverything(); }

  // The entry is the one "TVRSvc.exe -install" makes for the installed file,
  // and the service runs that file, of version `version`.
  static void ExpectInstalledAndRunning(const std::wstring& version) {
    ServiceConfig config;
    ASSERT_TRUE(QueryConfig(config)) << ::GetLastError();
    EXPECT_EQ(Narrow(config.binaryPath), "\"" + Narrow(InstalledExe()) + "\"");
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.account, L"LocalSystem");
    EXPECT_EQ(config.displayName, L"Tavrel Service");
    EXPECT_THAT(config.dependencies, testing::IsEmpty());
    EXPECT_TRUE(config.descriptionRead);
    EXPECT_EQ(config.description, L"");
    EXPECT_FALSE(config.failureActionsStored);
    EXPECT_EQ(ServiceEntries(), 1);

    const SERVICE_STATUS_PROCESS status = WaitRunning();
    ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    const std::wstring image = ImageOf(status.dwProcessId);
    EXPECT_EQ(_wcsicmp(image.c_str(), InstalledExe().c_str()), 0) << Narrow(image);
    EXPECT_EQ(FileVersion(image), version);

    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(ProductVersion(products[0]), version);
  }
};

// The event source points Event Viewer at the installed executable, whose
// message table reads the service's entries as their text.
void ExpectEventSourceReadable() {
  HKEY key = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  wchar_t file[MAX_PATH] = {};
  DWORD type = 0, size = sizeof(file) - sizeof(wchar_t);
  const LSTATUS fileRead =
      ::RegQueryValueExW(key, L"EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(file), &size);
  DWORD types = 0, typesType = 0, typesSize = sizeof(types);
  const LSTATUS typesRead =
      ::RegQueryValueExW(key, L"TypesSupported", nullptr, &typesType, reinterpret_cast<BYTE*>(&types), &typesSize);
  ::RegCloseKey(key);
  ASSERT_EQ(fileRead, ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  ASSERT_EQ(typesRead, ERROR_SUCCESS);
  EXPECT_EQ(typesType, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(types, static_cast<DWORD>(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE));

  wchar_t expanded[MAX_PATH] = {};
  ASSERT_NE(::ExpandEnvironmentStringsW(file, expanded, MAX_PATH), 0u);
  EXPECT_EQ(_wcsicmp(expanded, InstalledExe().c_str()), 0) << Narrow(expanded);

  HMODULE module = ::LoadLibraryExW(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << ::GetLastError();
  const DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(L"TVRSvc"),
                               reinterpret_cast<DWORD_PTR>(L"Service Stop failed w/err 0x00000005")};
  wchar_t text[512] = {};
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, 0, 0,
                                        text, 512, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(strings)));
  const DWORD error = ::GetLastError();
  ::FreeLibrary(module);
  EXPECT_EQ(std::wstring(text, length), L"TVRSvc: Service Stop failed w/err 0x00000005") << "error " << error;
}

TEST_F(PackageTest, InstallsUpgradesAndUninstallsWithoutTrace) {
  ASSERT_EQ(Install(kCurrentPackage), 0u);
  ExpectInstalledAndRunning(Widen(TVR_PROJECT_VERSION));
  ExpectEventSourceReadable();
  const DWORD oldProcessId = Status().dwProcessId;
  tvr::ScopedKernelHandle oldProcess(::OpenProcess(SYNCHRONIZE, FALSE, oldProcessId));
  ASSERT_TRUE(oldProcess) << ::GetLastError();

  // A newer package over the installed, running one.
  ASSERT_EQ(Install(kNextPackage), 0u);
  ExpectInstalledAndRunning(Widen(TVR_NEXT_VERSION));
  ExpectEventSourceReadable();
  EXPECT_EQ(::WaitForSingleObject(oldProcess.get(), 10000), WAIT_OBJECT_0) << "the old service process still runs";

  ASSERT_EQ(RunMsiexec(L"/x \"" + kNextPackage + L"\" /qn"), 0u);
  ExpectNothingLeft();
}

TEST_F(PackageTest, OlderPackageIsRefusedAndChangesNothing) {
  ASSERT_EQ(Install(kNextPackage), 0u);
  const DWORD processId = WaitRunning().dwProcessId;

  EXPECT_NE(Install(kCurrentPackage), 0u);
  ExpectInstalledAndRunning(Widen(TVR_NEXT_VERSION));
  EXPECT_EQ(Status().dwProcessId, processId) << "the service was restarted";
}

TEST_F(PackageTest, FailedInstallRollsBackToNothing) {
  const DWORD exitCode = Install(kFailingPackage);
  EXPECT_NE(exitCode, 0u);
  EXPECT_NE(exitCode, 0xFFFFFFFFu);
  ExpectNothingLeft();
}

TEST_F(PackageTest, ReplacesAnEntryLeftByAManualInstall) {
  // The executable's own -install from somewhere else, before the package.
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"tvr-manual-install";
  const std::wstring manualExe = folder + L"\\TVRSvc.exe";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  ASSERT_TRUE(::CopyFileW((tvr_test::ThisProgramFolder() + L"next\\TVRSvc.exe").c_str(), manualExe.c_str(), FALSE))
      << ::GetLastError();
  const tvr_test::ProcessResult manual = tvr_test::RunProcess(manualExe, L"-install");
  ASSERT_EQ(tvr_test::WithUnixLineEnds(manual.output), "TVRSvc is installed.\n");

  ASSERT_EQ(Install(kCurrentPackage), 0u);
  ExpectInstalledAndRunning(Widen(TVR_PROJECT_VERSION));

  ASSERT_EQ(RunMsiexec(L"/x \"" + kCurrentPackage + L"\" /qn"), 0u);
  ExpectNothingLeft();
  ::DeleteFileW(manualExe.c_str());
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace
