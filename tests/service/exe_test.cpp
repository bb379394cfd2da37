// The executable as a user meets it: run from a console through Wine's real
// service manager, registry and file system. These tests change the machine's
// service database, so they all live in this one test program, which runs on
// its own; each removes the service it installed, whatever happens.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/process_runner.h"
#include "common/service_config.h"
#include "common/registry_fixture.h"
#include "common/scoped_handle.h"

namespace {

using namespace std::chrono_literals;
using tvr::ScopedServiceHandle;
using tvr_test::ProcessResult;
using tvr_test::RunProcess;
using tvr_test::WithUnixLineEnds;

constexpr wchar_t kName[] = L"TVRSvc";
constexpr char kUsage[] =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n";

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
  return std::wstring(full, length);
}

// The product sits one folder above the test programs.
std::wstring ExePath() { return FullPath(tvr_test::ThisProgramFolder() + L"..\\TVRSvc.exe"); }

std::string Narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) result += static_cast<char>(c);
  return result;
}

// Runs the executable and checks what every run must give: it started, it
// ended on its own, and its exit code is 0. Returns the output with LF line
// ends (the console stream writes CR LF).
std::string RunExe(const std::wstring& arguments, const tvr_test::EnvironmentOverrides& environment = {},
                   const std::wstring& exe = ExePath()) {
  const ProcessResult result = RunProcess(exe, arguments, 60000, environment);
  EXPECT_TRUE(result.started) << "CreateProcessW error " << result.startError;
  EXPECT_FALSE(result.timedOut) << "arguments: " << Narrow(arguments);
  EXPECT_EQ(result.exitCode, 0u) << "arguments: " << Narrow(arguments);
  return WithUnixLineEnds(result.output);
}

// --- the service database ---------------------------------------------------

using tvr_test::ServiceConfig;

// Reads the installed service's configuration; false when it is not there.
bool QueryConfig(ServiceConfig& out) { return tvr_test::QueryServiceConfigOf(kName, out); }

bool ServiceExists() {
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, SERVICE_QUERY_STATUS));
  return service.is_valid();
}

DWORD CurrentState(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Waits until the service is in `state`; false after `limit`.
bool WaitForState(SC_HANDLE service, DWORD state, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (CurrentState(service) != state) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Stops and deletes the service if it is there, and waits until the service
// manager has let go of it.
void RemoveServiceIfPresent() {
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  {
    ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return;
    // The process behind the service, so that the next test does not start
    // a service of the same name while the old process is still leaving.
    SERVICE_STATUS_PROCESS process = {};
    DWORD needed = 0;
    tvr::ScopedKernelHandle serviceProcess;
    if (::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                               sizeof(process), &needed) &&
        process.dwProcessId != 0) {
      serviceProcess.reset(::OpenProcess(SYNCHRONIZE, FALSE, process.dwProcessId));
    }
    SERVICE_STATUS status = {};
    if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
      WaitForState(service.get(), SERVICE_STOPPED, 15s);
    }
    if (serviceProcess) ::WaitForSingleObject(serviceProcess.get(), 15000);
    ::DeleteService(service.get());
  }
  const auto end = std::chrono::steady_clock::now() + 15s;
  while (ServiceExists() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
}

// A copy of the executable in a scratch folder, removed with the service
// that may run from it (a running image cannot be deleted).
struct ScratchCopy {
  explicit ScratchCopy(const std::wstring& folderName, const wchar_t* fileName) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    folder = FullPath(std::wstring(temp) + folderName);
    file = folder + L"\\" + fileName;
    ::CreateDirectoryW(folder.c_str(), nullptr);
    copied = ::CopyFileW(ExePath().c_str(), file.c_str(), FALSE) != FALSE;
  }
  ~ScratchCopy() {
    RemoveServiceIfPresent();
    ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(folder.c_str());
  }
  std::wstring folder;
  std::wstring file;
  bool copied = false;
};

// Every test starts without the service and leaves without it.
class ExeTest : public testing::Test {
 protected:
  void SetUp() override {
    RemoveServiceIfPresent();
    ASSERT_FALSE(ServiceExists()) << "a TVRSvc service is left over and cannot be removed";
  }
  void TearDown() override { RemoveServiceIfPresent(); }

  // Starts the installed service through the service manager and waits for
  // RUNNING.
  static void StartAndWaitRunning() {
    ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, SERVICE_START | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(service) << ::GetLastError();
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, 15s)) << "state " << CurrentState(service.get());
  }

  // Checks every field of the entry "-install" makes for `exe`.
  static void ExpectInstalledFor(const std::wstring& exe) {
    ServiceConfig config;
    ASSERT_TRUE(QueryConfig(config)) << ::GetLastError();
    EXPECT_EQ(config.displayName, L"Tavrel Service");
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.account, L"LocalSystem");
    EXPECT_THAT(config.dependencies, testing::IsEmpty());
    EXPECT_EQ(config.loadOrderGroup, L"");
    EXPECT_EQ(config.tagId, 0u);
    // Quoted, and nothing after the closing quote.
    EXPECT_EQ(Narrow(config.binaryPath), "\"" + Narrow(exe) + "\"");
  }
};

// --- command line --------------------------------------------------------------

TEST_F(ExeTest, WithoutSwitchPrintsUsageAndFailsToReachTheServiceManager) {
  const std::string expected = std::string(kUsage) + "Service failed to run w/err 0x00000427\n";
  for (const wchar_t* arguments : {L"", L"\"\"", L"install", L"install -remove", L"\\install"}) {
    EXPECT_EQ(RunExe(arguments), expected) << "arguments: " << Narrow(arguments);
  }
  EXPECT_FALSE(ServiceExists());
}

TEST_F(ExeTest, UnknownSwitchDoesNothingAtAll) {
  for (const wchar_t* arguments :
       {L"-help", L"/x", L"--install", L"-", L"/", L"-install2", L"/remove-", L"-\u0130nstall", L"-in\u017Ftall",
        L"/\uFF52emove"}) {
    EXPECT_EQ(RunExe(arguments), "") << "arguments: " << Narrow(arguments);
    EXPECT_FALSE(ServiceExists()) << "arguments: " << Narrow(arguments);
  }
}

// --- install -------------------------------------------------------------------

TEST_F(ExeTest, InstallSwitchInAnyCaseInstallsTheService) {
  for (const wchar_t* arguments : {L"-install", L"/INSTALL", L"-Install", L"/iNsTaLl ignored words"}) {
    SCOPED_TRACE(Narrow(arguments));
    EXPECT_EQ(RunExe(arguments), "TVRSvc is installed.\n");
    ExpectInstalledFor(ExePath());
    RemoveServiceIfPresent();
  }
}

TEST_F(ExeTest, SecondInstallFailsAndChangesNothing) {
  ASSERT_EQ(RunExe(L"-install"), "TVRSvc is installed.\n");
  ServiceConfig before;
  ASSERT_TRUE(QueryConfig(before));

  // The same service from another place must not replace the first entry.
  ScratchCopy other(L"tvr-second", L"TVRSvc.exe");
  ASSERT_TRUE(other.copied) << ::GetLastError();
  EXPECT_EQ(RunExe(L"-install", {}, other.file), "CreateService failed w/err 0x00000431\n");

  ServiceConfig after;
  ASSERT_TRUE(QueryConfig(after));
  EXPECT_EQ(after.binaryPath, before.binaryPath);
  ExpectInstalledFor(ExePath());
}

// A folder with blanks: unquoted, C:\...\tvr folder with blanks\TVRSvc.exe
// would let the service manager start C:\...\tvr.exe as LocalSystem.
TEST_F(ExeTest, PathWithBlanksIsWrittenQuoted) {
  ScratchCopy copy(L"tvr folder with blanks", L"TVRSvc.exe");
  ASSERT_TRUE(copy.copied) << ::GetLastError();

  EXPECT_EQ(RunExe(L"-install", {}, copy.file), "TVRSvc is installed.\n");
  ExpectInstalledFor(copy.file);
  // The quoted entry is one the service manager can start from.
  StartAndWaitRunning();
}

// --- remove --------------------------------------------------------------------

TEST_F(ExeTest, RemoveStoppedServicePrintsOnlyTheRemoval) {
  for (const wchar_t* arguments : {L"-remove", L"/remove", L"-REMOVE", L"-remove extra words"}) {
    SCOPED_TRACE(Narrow(arguments));
    ASSERT_EQ(RunExe(L"-install"), "TVRSvc is installed.\n");
    EXPECT_EQ(RunExe(arguments), "TVRSvc is removed.\n");
    EXPECT_FALSE(ServiceExists());
  }
}

TEST_F(ExeTest, RemoveMissingServiceReportsOpenService) {
  EXPECT_EQ(RunExe(L"-remove"), "OpenService failed w/err 0x00000424\n");
}

TEST_F(ExeTest, RemoveRunningServiceStopsItFirst) {
  ASSERT_EQ(RunExe(L"-install"), "TVRSvc is installed.\n");
  StartAndWaitRunning();

  const std::string output = RunExe(L"-remove");
  // One dot per further second in STOP_PENDING; a quick stop shows none.
  EXPECT_THAT(output, testing::ContainsRegex("^Stopping TVRSvc\\.\\.*\nTVRSvc is stopped\\.\nTVRSvc is removed\\.\n$"));
  EXPECT_FALSE(ServiceExists());
}

// --- the log, with the switch on -------------------------------------------------

std::wstring UniqueTempFolder(const wchar_t* stem) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + stem + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(::GetTickCount());
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) names.push_back(data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

// Removes the scratch tree this test made (OEM\TVRSvc\Log below `root`).
void RemoveLogTree(const std::wstring& root) {
  const std::wstring log = root + L"\\OEM\\TVRSvc\\Log";
  for (const auto& name : FilesIn(log)) ::DeleteFileW((log + L"\\" + name).c_str());
  ::RemoveDirectoryW(log.c_str());
  ::RemoveDirectoryW((root + L"\\OEM\\TVRSvc").c_str());
  ::RemoveDirectoryW((root + L"\\OEM").c_str());
  ::RemoveDirectoryW(root.c_str());
}

// The application-data folder is pointed at a scratch folder for the child,
// so the machine's own ProgramData is not touched.
TEST_F(ExeTest, InstallAndRemoveRunsMakeTheLogFolderButWriteNoLine) {
  const std::wstring root = UniqueTempFolder(L"tvr-programdata-");
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  const std::wstring logFolder = root + L"\\OEM\\TVRSvc\\Log";
  const tvr_test::EnvironmentOverrides environment = {{L"PROGRAMDATA", root}};

  {
    // Switch off: no folder.
    tvr_test::ScopedRegistryValue off(HKEY_LOCAL_MACHINE, tvr_test::kLogSwitchKey, tvr_test::kLogSwitchValue);
    ASSERT_TRUE(off.ok());
    EXPECT_EQ(RunExe(L"-install", environment), "TVRSvc is installed.\n");
    EXPECT_FALSE(FolderExists(root + L"\\OEM"));
    EXPECT_EQ(RunExe(L"-remove", environment), "TVRSvc is removed.\n");
    EXPECT_FALSE(FolderExists(root + L"\\OEM"));
  }
  {
    tvr_test::ScopedLogSwitch on;
    ASSERT_TRUE(on.ok());
    EXPECT_EQ(RunExe(L"-install", environment), "TVRSvc is installed.\n");
    EXPECT_TRUE(FolderExists(logFolder));
    EXPECT_THAT(FilesIn(logFolder), testing::IsEmpty());

    RemoveLogTree(root);
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
    EXPECT_EQ(RunExe(L"-remove", environment), "TVRSvc is removed.\n");
    EXPECT_TRUE(FolderExists(logFolder));
    EXPECT_THAT(FilesIn(logFolder), testing::IsEmpty());

    // An unknown switch too: the log start-up comes before the command line.
    RemoveLogTree(root);
    ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
    EXPECT_EQ(RunExe(L"-help", environment), "");
    EXPECT_TRUE(FolderExists(logFolder));
    EXPECT_THAT(FilesIn(logFolder), testing::IsEmpty());
  }
  RemoveLogTree(root);
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  tvr::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
  if (!file) return bytes;
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  return bytes;
}

// The application-data folder a service sees: the service manager starts it
// with the default environment block of its account, not with ours (under
// Wine the two differ: C:\users\Public against C:\ProgramData).
std::wstring ServiceProgramData() {
  using CreateBlock = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
  using DestroyBlock = BOOL(WINAPI*)(LPVOID);
  std::wstring value;
  HMODULE userenv = ::LoadLibraryW(L"userenv.dll");
  auto create = reinterpret_cast<CreateBlock>(
      reinterpret_cast<void*>(::GetProcAddress(userenv, "CreateEnvironmentBlock")));
  auto destroy = reinterpret_cast<DestroyBlock>(
      reinterpret_cast<void*>(::GetProcAddress(userenv, "DestroyEnvironmentBlock")));
  tvr::ScopedKernelHandle token;
  void* block = nullptr;
  if (create && destroy && ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, token.Receive()) &&
      create(&block, token.get(), FALSE)) {
    for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry; entry += wcslen(entry) + 1) {
      if (_wcsnicmp(entry, L"PROGRAMDATA=", 12) == 0) value = entry + 12;
    }
    destroy(block);
  }
  if (userenv) ::FreeLibrary(userenv);
  if (value.empty()) {
    wchar_t own[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"PROGRAMDATA", own, MAX_PATH);
    value = own;
  }
  return value;
}

// The service's log file. Under Wine the service runs as this test's own
// account.
std::wstring ServiceLogPath() {
  wchar_t user[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  ::GetUserNameW(user, &size);
  return ServiceProgramData() + L"\\OEM\\TVRSvc\\Log\\" + user + L"_TVRSvc.log";
}

struct LogLine {
  std::string level;
  std::string function;
  std::string message;
};

// Splits the log's bytes into lines, checking each against the line
// layout: level text, blank, timestamp with blank-padded milliseconds,
// " | TVRSvc | ", function, " | ", message, CR LF.
std::vector<LogLine> ParseLog(const std::string& bytes) {
  static const std::regex layout(
      "(\\[INFO\\]     |\\[WARNING\\]  |\\[ERROR\\]    |\\[EXCEPTION\\]) "
      "\\d{4}(0[1-9]|1[0-2])(0[1-9]|[12]\\d|3[01])_([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d\\."
      "(  \\d| [1-9]\\d|[1-9]\\d\\d)"
      " \\| TVRSvc \\| ([A-Za-z_:]+) \\| ([^\r\n]*)\r");
  std::vector<LogLine> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated last line: " << bytes.substr(start);
      break;
    }
    const std::string line = bytes.substr(start, end - start);
    std::smatch match;
    if (std::regex_match(line, match, layout)) {
      lines.push_back({match[1].str(), match[6].str(), match[7].str()});
    } else {
      ADD_FAILURE() << "line does not match the layout: " << testing::PrintToString(line);
    }
    start = end + 1;
  }
  return lines;
}

MATCHER_P3(IsLine, level, function, message, "") {
  return arg.level == level && arg.function == function && arg.message == message;
}

TEST_F(ExeTest, ServiceRunsUnderTheServiceManagerAndLogs) {
  tvr_test::ScopedLogSwitch on;
  ASSERT_TRUE(on.ok());
  const std::wstring logPath = ServiceLogPath();
  const size_t offset = ReadFileBytes(logPath).size();  // earlier runs' lines are not ours

  ASSERT_EQ(RunExe(L"-install"), "TVRSvc is installed.\n");
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
  ASSERT_TRUE(service) << ::GetLastError();
  ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, 15s)) << "state " << CurrentState(service.get());

  // The worker runs its set-up after RUNNING has been reported: wait for the
  // monitor's last line.
  const auto setUpLimit = std::chrono::steady_clock::now() + 30s;
  while (ReadFileBytes(logPath).substr(offset).find("| CreateThread\r\n") == std::string::npos &&
         std::chrono::steady_clock::now() < setUpLimit) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(CurrentState(service.get()), static_cast<DWORD>(SERVICE_RUNNING));

  SERVICE_STATUS status = {};
  const auto stopAsked = std::chrono::steady_clock::now();
  ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
  EXPECT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, 5s)) << "state " << CurrentState(service.get());
  EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, 5s);
  SERVICE_STATUS stopped = {};
  ASSERT_TRUE(::QueryServiceStatus(service.get(), &stopped));
  EXPECT_EQ(stopped.dwWin32ExitCode, 0u);

  const std::vector<LogLine> lines = ParseLog(ReadFileBytes(logPath).substr(offset));
  // Under Wine the trace session starts (a stub), the consumer cannot open
  // it, and the firmware's classes have no instance; the mode check's own
  // lines come between and are not this test's subject.
  EXPECT_THAT(lines, testing::IsSupersetOf({
                         IsLine("[INFO]     ", "OnStart", "PLNX Service in OnStart"),
                         IsLine("[INFO]     ", "ServiceWorkerThread", "ServiceWorkerThread Enter"),
                         IsLine("[INFO]     ", "ServiceWorkerThread",
                                "WTSGetActiveConsoleSessionId() != INVALID_SESSION_ID && session_id != 0"),
                         IsLine("[INFO]     ", "RegisterPowerETW", "ERROR_SUCCESS"),
                         IsLine("[ERROR]    ", "RegisterPowerETW", "CreateThread"),
                         IsLine("[INFO]     ", "ServiceWorkerThread", "ServiceWorkerThread End"),
                     }));
  // And in this order.
  std::vector<std::string> order;
  for (const LogLine& line : lines) {
    if (line.function != "CheckModeWithWMI" && line.message != "Registry not found") {
      order.push_back(line.function + ": " + line.message);
    }
  }
  EXPECT_THAT(order, testing::ElementsAre("OnStart: PLNX Service in OnStart",
                                          "ServiceWorkerThread: ServiceWorkerThread Enter",
                                          "ServiceWorkerThread: WTSGetActiveConsoleSessionId() != "
                                          "INVALID_SESSION_ID && session_id != 0",
                                          "RegisterPowerETW: ERROR_SUCCESS", "RegisterPowerETW: CreateThread",
                                          "ServiceWorkerThread: ServiceWorkerThread End"));
}

// --- start and stop under the service manager, many times ------------------------

// Installs the service "TVRSvc" for `exe` directly (the stand-in hosts have no
// -install of their own worth trusting here).
ScopedServiceHandle InstallServiceFor(const std::wstring& exe) {
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  const std::wstring quoted = L"\"" + exe + L"\"";
  return ScopedServiceHandle(::CreateServiceW(scm.get(), kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, quoted.c_str(), nullptr,
                                              nullptr, nullptr, nullptr, nullptr));
}

// One start and stop through the service manager; the stop comes once RUNNING
// has been seen (so while the worker may still be setting up). Empty when all
// went well, otherwise what went wrong.
std::string StartAndStopOnce(SC_HANDLE service) {
  if (!::StartServiceW(service, 0, nullptr)) return "StartService failed w/err " + std::to_string(::GetLastError());
  if (!WaitForState(service, SERVICE_RUNNING, 15s)) return "no RUNNING, state " + std::to_string(CurrentState(service));
  SERVICE_STATUS_PROCESS process = {};
  DWORD needed = 0;
  tvr::ScopedKernelHandle serviceProcess;
  if (::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof(process),
                             &needed)) {
    serviceProcess.reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.dwProcessId));
  }
  if (!serviceProcess) return "the service process cannot be opened";

  SERVICE_STATUS status = {};
  const BOOL asked = ::ControlService(service, SERVICE_CONTROL_STOP, &status);
  const DWORD askError = ::GetLastError();
  const bool stopped = WaitForState(service, SERVICE_STOPPED, 5s);
  // The next start must not meet the old process still leaving.
  const bool gone = ::WaitForSingleObject(serviceProcess.get(), 15000) == WAIT_OBJECT_0;
  DWORD exitCode = 0;
  ::GetExitCodeProcess(serviceProcess.get(), &exitCode);
  if (!asked) return "ControlService(STOP) failed w/err " + std::to_string(askError);
  if (!stopped) return "no STOPPED within 5 s, state " + std::to_string(CurrentState(service));
  if (!gone) return "the service process did not end";
  if (exitCode != 0) return "the service process ended with " + std::to_string(exitCode);
  return "";
}

std::wstring LateAnswerHostPath() { return FullPath(tvr_test::ThisProgramFolder() + L"tvr_late_answer_service.exe"); }

// Under Wine the dispatcher runs a control handler on a thread of its own and
// answers the service manager only after the handler has returned, while
// StartServiceCtrlDispatcherW already returns to the entry on the STOPPED
// report. Here the handler is held back after that report; the stop must
// still be answered, not end in a broken pipe (0x6d).
TEST_F(ExeTest, StopIsAnsweredWhenTheHandlerIsLateAfterItsStoppedReport) {
  ScopedServiceHandle service = InstallServiceFor(LateAnswerHostPath());
  ASSERT_TRUE(service) << ::GetLastError();
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(StartAndStopOnce(service.get()), "") << "round " << round;
  }
}

// The process ends only after the dispatcher's control thread has closed its
// handles to the service manager and ended. A process that ends during that
// last call to services.exe holds up every status query about the service
// until it is gone (the stop then looks twice as slow to whoever asked).
TEST_F(ExeTest, TheProcessEndsOnlyAfterTheDispatcherThreadHasEnded) {
  ScopedServiceHandle service =
      InstallServiceFor(FullPath(tvr_test::ThisProgramFolder() + L"tvr_dispatcher_end_service.exe"));
  ASSERT_TRUE(service) << ::GetLastError();
  for (int round = 0; round < 3; ++round) {
    // An exit code of 3 from the host: its dispatcher thread was still running.
    EXPECT_EQ(StartAndStopOnce(service.get()), "") << "round " << round;
  }
}

TEST_F(ExeTest, FiftyStartStopCyclesInARowAllSucceed) {
  ASSERT_EQ(RunExe(L"-install"), "TVRSvc is installed.\n");
  ScopedServiceHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScopedServiceHandle service(::OpenServiceW(scm.get(), kName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
  ASSERT_TRUE(service) << ::GetLastError();
  constexpr int kCycles = 50;
  std::vector<std::string> failures;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const std::string failure = StartAndStopOnce(service.get());
    if (!failure.empty()) failures.push_back("cycle " + std::to_string(cycle) + ": " + failure);
  }
  EXPECT_THAT(failures, testing::IsEmpty()) << failures.size() << " of " << kCycles << " cycles failed";
}

// Loaded module base names of a process, lower case.
std::vector<std::string> ModulesOf(HANDLE process) {
  std::vector<std::string> names;
  HMODULE modules[512];
  DWORD needed = 0;
  if (!::K32EnumProcessModules(process, modules, sizeof(modules), &needed)) return names;
  for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < std::size(modules); ++i) {
    char name[MAX_PATH] = {};
    if (::K32GetModuleBaseNameA(process, modules[i], name, MAX_PATH) == 0) continue;
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    names.push_back(lower);
  }
  return names;
}

// The worker's DLLs made unloadable for one scratch copy of the executable
// (Wine's per-program DLL overrides; an empty value disables the DLL). The
// image help library stays, so that the log can show how far the worker got.
TEST_F(ExeTest, ServiceRunsAndStopsInOrderWhenTheWorkersDllsCannotBeLoaded) {
  ScratchCopy copy(L"tvr-without-dlls", L"tvr_without_dlls.exe");
  ASSERT_TRUE(copy.copied) << ::GetLastError();
  std::vector<std::unique_ptr<tvr_test::ScopedRegistryValue>> overrides;
  for (const wchar_t* dll : {L"ole32", L"oleaut32", L"setupapi", L"tdh", L"user32"}) {
    overrides.push_back(std::make_unique<tvr_test::ScopedRegistryValue>(
        HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\tvr_without_dlls.exe\\DllOverrides", dll, REG_SZ, L"",
        static_cast<DWORD>(sizeof(wchar_t))));
    ASSERT_TRUE(overrides.back()->ok());
  }
  tvr_test::ScopedLogSwitch on;
  ASSERT_TRUE(on.ok());
  const std::wstring logPath = ServiceLogPath();
  const size_t offset = ReadFileBytes(logPath).size();

  ScopedServiceHandle service = InstallServiceFor(copy.file);
  ASSERT_TRUE(service) << ::GetLastError();
  ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, 15s));
  SERVICE_STATUS_PROCESS process = {};
  DWORD needed = 0;
  ASSERT_TRUE(::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                     sizeof(process), &needed));
  tvr::ScopedKernelHandle serviceProcess(
      ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process.dwProcessId));
  ASSERT_TRUE(serviceProcess) << ::GetLastError();

  // The set-up is over once the monitor has written its last line; the
  // connection, the subscription and the first check came before it.
  const auto setUpLimit = std::chrono::steady_clock::now() + 30s;
  while (ReadFileBytes(logPath).substr(offset).find("| CreateThread\r\n") == std::string::npos &&
         std::chrono::steady_clock::now() < setUpLimit) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(CurrentState(service.get()), static_cast<DWORD>(SERVICE_RUNNING));
  const std::vector<std::string> modules = ModulesOf(serviceProcess.get());
  EXPECT_THAT(modules, testing::Contains("tvr_without_dlls.exe"));
  for (const char* dll : {"ole32.dll", "oleaut32.dll", "setupapi.dll", "tdh.dll", "user32.dll"}) {
    EXPECT_THAT(modules, testing::Not(testing::Contains(dll)));
  }

  SERVICE_STATUS status = {};
  EXPECT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
  EXPECT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, 5s));
  ASSERT_EQ(::WaitForSingleObject(serviceProcess.get(), 15000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  ASSERT_TRUE(::GetExitCodeProcess(serviceProcess.get(), &exitCode));
  EXPECT_EQ(exitCode, 0u);

  std::vector<std::string> order;
  for (const LogLine& line : ParseLog(ReadFileBytes(logPath).substr(offset))) {
    if (line.function == "ServiceWorkerThread" || line.function == "RegisterPowerETW") order.push_back(line.message);
  }
  EXPECT_THAT(order, testing::ElementsAre("ServiceWorkerThread Enter",
                                          "WTSGetActiveConsoleSessionId() != INVALID_SESSION_ID && session_id != 0",
                                          "ERROR_SUCCESS", "CreateThread", "ServiceWorkerThread End"));
}

}  // namespace
