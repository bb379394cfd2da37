#include "log/log_file.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "common/bounded_format.h"
#include "common/scoped_handle.h"
#include "log/log_format.h"

// Declared by no MinGW header; exported by dbghelp.
extern "C" __declspec(dllimport) BOOL WINAPI MakeSureDirectoryPathExists(PCSTR dirPath);

namespace {

constexpr wchar_t kSwitchKey[] = L"SOFTWARE\\OEM\\TVRSvc\\Log";
constexpr wchar_t kSwitchValue[] = L"TVRSvc";
constexpr wchar_t kLogFolder[] = L"OEM\\TVRSvc\\Log";

void AppendBytes(std::string& line, const wchar_t* text) {
  if (text == nullptr) return;
  for (; *text != L'\0'; ++text) {
    const wchar_t c = *text;
    line.push_back(c <= 0xFF ? static_cast<char>(static_cast<unsigned char>(c)) : '?');
  }
}

}  // namespace

const wchar_t* LogLevelText(int level) noexcept {
  switch (level) {
    case kLogInfo: return L"[INFO]     ";
    case kLogWarning: return L"[WARNING]  ";
    case kLogError: return L"[ERROR]    ";
    case kLogException: return L"[EXCEPTION]";
    default: return L"";
  }
}

void FormatLogTimestamp(const std::tm& localTime, int milliseconds, wchar_t (&out)[64]) noexcept {
  wchar_t seconds[64] = {};
  if (wcsftime(seconds, 64, L"%Y%m%d_%H:%M:%S", &localTime) == 0) seconds[0] = L'\0';
  tvr::FormatBounded(out, L"%ls.%3d", seconds, milliseconds);
}

void CurrentLogTimestamp(wchar_t (&out)[64]) noexcept {
  // One reading serves both the seconds and the milliseconds, so a line never
  // pairs the seconds of one moment with the milliseconds of the next.
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks{};
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  constexpr unsigned long long kUnixEpochTicks = 116444736000000000ULL;  // 1970-01-01 in 100 ns since 1601
  const unsigned long long sinceEpoch = ticks.QuadPart - kUnixEpochTicks;
  const __time64_t seconds = static_cast<__time64_t>(sinceEpoch / 10000000ULL);
  const int milliseconds = static_cast<int>((sinceEpoch / 10000ULL) % 1000ULL);
  std::tm local{};
  if (_localtime64_s(&local, &seconds) != 0) local = std::tm{};
  FormatLogTimestamp(local, milliseconds, out);
}

std::string ComposeLogLine(int level, const wchar_t* timestamp, const wchar_t* moduleName,
                           const wchar_t* function, const wchar_t* message) {
  std::string line;
  line.reserve(128 + (message != nullptr ? wcslen(message) : 0) + (function != nullptr ? wcslen(function) : 0));
  AppendBytes(line, LogLevelText(level));
  line.push_back(' ');
  AppendBytes(line, timestamp);
  line.append(" | ");
  AppendBytes(line, moduleName);
  line.append(" | ");
  AppendBytes(line, function);
  line.append(" | ");
  AppendBytes(line, message);
  line.append("\r\n");
  return line;
}

namespace {

// Appends of this process, one at a time. Append-only handles already put each
// write at the end of the file on Windows, but not every platform makes two
// concurrent appends through separate handles atomic (Wine computes the end
// itself and lets one line overwrite another); lines are few and short, so
// holding them in line costs nothing that matters.
SRWLOCK g_appendLock = SRWLOCK_INIT;

class AppendGuard {
 public:
  AppendGuard() noexcept { ::AcquireSRWLockExclusive(&g_appendLock); }
  ~AppendGuard() { ::ReleaseSRWLockExclusive(&g_appendLock); }
  AppendGuard(const AppendGuard&) = delete;
  AppendGuard& operator=(const AppendGuard&) = delete;
};

}  // namespace

bool CLogFile::Write(int level, const wchar_t* function, const wchar_t* message) const noexcept {
  if (path == nullptr) return false;
  AppendGuard guard;
  // Append-only access: every write lands at the current end of the file, and
  // the sharing lets other writers, here or in another process, append too.
  tvr::ScopedFileHandle file(::CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  // A file marked read-only is never written, also where the platform would
  // let a privileged account open it for writing anyway.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
    return false;
  }

  wchar_t timestamp[64];
  CurrentLogTimestamp(timestamp);
  try {
    // The whole line goes to the file in one write so that lines of
    // concurrent writers never interleave.
    const std::string line = ComposeLogLine(level, timestamp, moduleName, function, message);
    if (line.size() <= MAXDWORD) {
      DWORD written = 0;
      ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the line is lost, like any other write failure.
  }
  return true;
}

int ReadLogSetting() noexcept {
  tvr::ScopedRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return -1;

  // The switch is the value's first four bytes as a little-endian integer,
  // whatever its type; shorter data replaces only the low bytes of -1. The
  // data is read whole first so that a longer value yields its first four
  // bytes rather than whatever a too-small query leaves behind.
  DWORD size = 0;
  if (::RegQueryValueExW(key.get(), kSwitchValue, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return -1;
  std::string data;
  try {
    data.assign(size > 4 ? size : 4, '\0');
  } catch (const std::bad_alloc&) {
    return -1;
  }
  DWORD got = static_cast<DWORD>(data.size());
  if (::RegQueryValueExW(key.get(), kSwitchValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &got) !=
      ERROR_SUCCESS) {
    return -1;
  }
  unsigned int value = 0xFFFFFFFFu;
  std::memcpy(&value, data.data(), got < 4 ? got : 4);
  return static_cast<int>(value);
}

CLogFile* CreateLog(wchar_t* pathBuffer) noexcept {
  if (pathBuffer == nullptr || ReadLogSetting() != 1) return nullptr;

  wchar_t folder[kLogPathCapacity] = {};
  const DWORD folderLength = ::GetEnvironmentVariableW(L"PROGRAMDATA", folder, kLogPathCapacity);
  // A value that does not fit is never used cut short: no log at all.
  if (folderLength >= kLogPathCapacity) return nullptr;
  if (folderLength == 0) folder[0] = L'\0';

  wchar_t account[kLogPathCapacity] = {};
  DWORD accountLength = kLogPathCapacity;
  if (!::GetUserNameW(account, &accountLength)) account[0] = L'\0';

  // Composed in a buffer with room to spare so that a path too long for the
  // entry's buffer is seen as such instead of being silently cut.
  wchar_t composed[2 * kLogPathCapacity + 32] = {};
  const size_t length =
      tvr::FormatBounded(composed, L"%ls\\%ls\\%ls_%ls.log", folder, kLogFolder, account, kModuleName);
  if (length >= kLogPathCapacity) return nullptr;

  char ansiPath[kLogPathCapacity] = {};
  if (::WideCharToMultiByte(CP_ACP, 0, composed, -1, ansiPath, kLogPathCapacity, nullptr, nullptr) == 0) {
    return nullptr;
  }

  CLogFile* log = new (std::nothrow) CLogFile(pathBuffer, kModuleName);
  if (log == nullptr) return nullptr;
  wmemcpy(pathBuffer, composed, length + 1);
  // Creates every missing folder up to the last backslash; failure only means
  // that each later line is lost.
  ::MakeSureDirectoryPathExists(ansiPath);
  return log;
}
