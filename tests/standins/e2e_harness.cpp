#include "e2e_harness.h"

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace tvr_standin {

namespace {

constexpr wchar_t kHome[] = L"C:\\tvr-standins";
constexpr wchar_t kServiceName[] = L"TVRSvc";

std::wstring HomeFile(const wchar_t* name) { return std::wstring(kHome) + L"\\" + name; }

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  ::CloseHandle(file);
  return text;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) break;  // a line still being written
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

struct ScopedService {
  SC_HANDLE scm = nullptr;
  SC_HANDLE service = nullptr;
  explicit ScopedService(DWORD access) {
    scm = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm) service = ::OpenServiceW(scm, kServiceName, access);
  }
  ~ScopedService() {
    if (service) ::CloseServiceHandle(service);
    if (scm) ::CloseServiceHandle(scm);
  }
};

DWORD ServicePid(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS process = {};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof process,
                              &needed)) {
    return 0;
  }
  return process.dwProcessId;
}

DWORD StateOf(SC_HANDLE service) {
  SERVICE_STATUS status = {};
  return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

}  // namespace

bool WriteFirmwareState(const FirmwareState& state) {
  char text[512];
  snprintf(text, sizeof text, "posture %u\r\nstatus %u\r\nfail connect 0x%08lx\r\nfail query 0x%08lx\r\n"
           "fail method 0x%08lx\r\n",
           state.posture, state.status, static_cast<unsigned long>(state.failConnect),
           static_cast<unsigned long>(state.failQuery), static_cast<unsigned long>(state.failMethod));
  // Written whole under a new name and moved into place, so that the
  // provider never reads half a state.
  const std::wstring path = HomeFile(L"firmware-state.txt");
  const std::wstring fresh = path + L".new";
  HANDLE file = ::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
  ::CloseHandle(file);
  return ok && ::MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::vector<BYTE> UsageModeEventDetail(unsigned code) {
  return {5, 0, 0, 0, 0, 0, static_cast<BYTE>(code & 0xFF), static_cast<BYTE>((code >> 8) & 0xFF)};
}

int RaiseFirmwareEvent(DWORD pid, const std::vector<BYTE>& detail, unsigned objects, unsigned calls, DWORD waitMs) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  const std::wstring name = L"\\\\.\\pipe\\tvr-firmware-standin-" + std::to_wstring(pid);
  const bool reached = WaitUntil(
      [&] {
        pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        return pipe != INVALID_HANDLE_VALUE;
      },
      waitMs);
  if (!reached) return -1;
  std::string command = "event ";
  if (detail.empty()) command += "-";
  for (BYTE b : detail) {
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", b);
    command += hex;
  }
  command += " " + std::to_string(objects) + " " + std::to_string(calls) + "\n";
  DWORD written = 0;
  ::WriteFile(pipe, command.data(), static_cast<DWORD>(command.size()), &written, nullptr);
  std::string answer;
  char buffer[256];
  DWORD got = 0;
  while (answer.find('\n') == std::string::npos && ::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got) {
    answer.append(buffer, got);
  }
  ::CloseHandle(pipe);
  unsigned reachedCount = 0;
  if (sscanf(answer.c_str(), "delivered %u", &reachedCount) != 1) return -1;
  return static_cast<int>(reachedCount);
}

std::vector<std::string> ReadJournal() { return SplitCrLf(ReadWholeFile(HomeFile(L"wmi-journal.txt"))); }

std::vector<std::string> JournalLines(const std::vector<std::string>& journal, DWORD pid, const std::string& needle,
                                      size_t from) {
  const std::string prefix = "pid " + std::to_string(pid) + " ";
  std::vector<std::string> lines;
  for (size_t i = from; i < journal.size(); ++i) {
    if (journal[i].rfind(prefix, 0) == 0 && journal[i].find(needle) != std::string::npos) lines.push_back(journal[i]);
  }
  return lines;
}

std::vector<std::string> UnreleasedObjects(const std::vector<std::string>& journal, DWORD pid) {
  static const std::regex made(R"(^pid (\d+) tid \d+ (new|free) (#\d+ \S+)$)");
  std::set<std::string> live;
  for (const std::string& line : journal) {
    std::smatch m;
    if (!std::regex_match(line, m, made) || std::stoul(m[1]) != pid) continue;
    if (m[2] == "new") live.insert(m[3]);
    else live.erase(m[3]);
  }
  return {live.begin(), live.end()};
}

std::wstring ProductExe() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  folder = folder.substr(0, folder.find_last_of(L'\\'));
  wchar_t full[MAX_PATH] = {};
  ::GetFullPathNameW((folder + L"\\..\\TVRSvc.exe").c_str(), MAX_PATH, full, nullptr);
  return full;
}

long RunAndWait(const std::wstring& exe, const std::wstring& arguments, std::string* output, DWORD timeoutMs) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return -1;
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  ::CloseHandle(writeEnd);
  if (!started) {
    ::CloseHandle(readEnd);
    return -1;
  }
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  ::CloseHandle(readEnd);
  long code = -1;
  if (::WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    code = static_cast<long>(exitCode);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  if (output) *output = text;
  return code;
}

DWORD ServiceState() {
  ScopedService s(SERVICE_QUERY_STATUS);
  return s.service ? StateOf(s.service) : 0;
}

bool ServiceInstalled() {
  ScopedService s(SERVICE_QUERY_STATUS);
  return s.service != nullptr;
}

bool StartInstalledService(DWORD* pid, DWORD timeoutMs) {
  ScopedService s(SERVICE_START | SERVICE_QUERY_STATUS);
  if (!s.service) return false;
  if (!::StartServiceW(s.service, 0, nullptr)) return false;
  if (!WaitUntil([&] { return StateOf(s.service) == SERVICE_RUNNING; }, timeoutMs)) return false;
  if (pid) *pid = ServicePid(s.service);
  return true;
}

bool StopInstalledService(DWORD timeoutMs) {
  ScopedService s(SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!s.service) return false;
  const DWORD pid = ServicePid(s.service);
  HANDLE process = pid ? ::OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
  SERVICE_STATUS status = {};
  bool ok = ::ControlService(s.service, SERVICE_CONTROL_STOP, &status) &&
            WaitUntil([&] { return StateOf(s.service) == SERVICE_STOPPED; }, timeoutMs);
  // The next start must not meet the old process still leaving.
  if (process) {
    ok = ::WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0 && ok;
    ::CloseHandle(process);
  }
  return ok;
}

bool RemoveServiceIfPresent() {
  if (!ServiceInstalled()) return true;
  if (ServiceState() != SERVICE_STOPPED) (void)StopInstalledService();
  {
    ScopedService s(DELETE);
    if (s.service) ::DeleteService(s.service);
  }
  return WaitUntil([] { return !ServiceInstalled(); }, 15000);
}

bool SetLogSwitch(bool on) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OEM\\TVRSvc\\Log", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG result;
  if (on) {
    const DWORD one = 1;
    result = ::RegSetValueExW(key, L"TVRSvc", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
  } else {
    result = ::RegDeleteValueW(key, L"TVRSvc");
    if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
  }
  ::RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

std::wstring ServiceLogPath() {
  wchar_t user[260] = {};
  DWORD size = 260;
  ::GetUserNameW(user, &size);
  return std::wstring(L"C:\\users\\Public\\OEM\\TVRSvc\\Log\\") + user + L"_TVRSvc.log";
}

void DeleteServiceLog() { ::DeleteFileW(ServiceLogPath().c_str()); }

std::vector<LogLine> ReadServiceLog() {
  // Level text (11), blank, "YYYYMMDD_HH:MM:SS" "." milliseconds right-aligned
  // in three, " | TVRSvc | ", function, " | ", message.
  static const std::regex layout(
      R"(^(\[INFO\]     |\[WARNING\]  |\[ERROR\]    |\[EXCEPTION\]) \d{8}_\d{2}:\d{2}:\d{2}\.(  \d| [1-9]\d|[1-9]\d\d) \| TVRSvc \| ([^|]*) \| (.*)$)");
  std::vector<LogLine> lines;
  for (const std::string& raw : SplitCrLf(ReadWholeFile(ServiceLogPath()))) {
    LogLine line;
    line.raw = raw;
    std::smatch m;
    if (std::regex_match(raw, m, layout)) {
      line.wellFormed = true;
      line.level = m[1];
      line.function = m[3];
      line.message = m[4];
    }
    lines.push_back(line);
  }
  return lines;
}

}  // namespace tvr_standin
