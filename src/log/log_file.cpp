#include "log/log_file.h"

#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "common/bounded_format.h"
#include "common/scoped_handle.h"
#include "common/srw_guard.h"
#include "log/log_format.h"
#include "log/log_platform.h"

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

// The path the file system reports for an open handle, with every link on
// the way resolved, in DOS form without the \\?\ prefix. Empty on failure.
// May throw std::bad_alloc.
std::wstring FinalPathOf(HANDLE handle) {
  std::wstring finalPath(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFinalPathNameByHandleW(handle, finalPath.data(), static_cast<DWORD>(finalPath.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < finalPath.size()) {
      finalPath.resize(n);
      break;
    }
    finalPath.resize(n);
  }
  if (finalPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    finalPath = L"\\" + finalPath.substr(7);
  } else if (finalPath.compare(0, 4, L"\\\\?\\") == 0) {
    finalPath.erase(0, 4);
  }
  return finalPath;
}

// Where the application-data folder really is. It is the machine's own,
// writable by administrators only, so where they have put it (a link to
// another volume, say) is where the log goes. Empty on failure; may throw
// std::bad_alloc.
std::wstring ResolvedBase(const wchar_t* base) {
  // An empty base is the root of the current drive.
  tvr::ScopedFileHandle handle(::CreateFileW(base[0] != L'\0' ? base : L"\\", FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return {};
  std::wstring resolved = FinalPathOf(handle.get());
  while (!resolved.empty() && resolved.back() == L'\\') resolved.pop_back();
  return resolved;
}

// True when the object behind `handle` is `relative` below the resolved
// `base` and reached through no link below it: its own final path names the
// same object as the base's final path with `relative` appended. A link above
// the base is the administrators' affair; one at or below the log's folders
// is what somebody else could have planted. May throw std::bad_alloc.
bool IsReachedDirectly(HANDLE handle, const wchar_t* base, const wchar_t* relative) {
  const std::wstring finalPath = FinalPathOf(handle);
  if (finalPath.empty()) return false;
  const std::wstring resolvedBase = ResolvedBase(base);
  if (resolvedBase.empty()) return false;
  const std::wstring wanted = resolvedBase + L"\\" + relative;
  return ::CompareStringOrdinal(finalPath.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Why a path of the log was refused for safety, as the event-log entry puts
// it; null when it was not refused, or not for a reason anybody must hear of.
using RefusalReason = const wchar_t*;
constexpr RefusalReason kIsALink = L"is a link";
constexpr RefusalReason kHasMoreNames = L"has more than one name (a hard link)";
constexpr RefusalReason kForeignOwner = L"is owned by an account that could have prepared it";
constexpr RefusalReason kThroughALink = L"is reached through a link";
constexpr RefusalReason kNotAFolder = L"is not a folder";
constexpr RefusalReason kNotAFile = L"is not a plain file";

bool SidIs(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(buffer);
  return ::CreateWellKnownSid(type, nullptr, buffer, &size) && ::EqualSid(sid, buffer);
}

bool SidIs(PSID sid, const wchar_t* text) {
  PSID other = nullptr;
  if (!::ConvertStringSidToSidW(text, &other)) return false;
  const bool same = ::EqualSid(sid, other) != FALSE;
  ::LocalFree(other);
  return same;
}

bool IsProcessAccount(PSID sid) {
  tvr::ScopedKernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
  return ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

// Only an owner that could as well have made the folder itself may have made
// it: a folder of anyone else may hold links it planted.
bool IsTrustedOwner(PSID owner) {
  constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  return owner != nullptr && ::IsValidSid(owner) &&
         (SidIs(owner, WinLocalSystemSid) || SidIs(owner, WinBuiltinAdministratorsSid) ||
          SidIs(owner, kTrustedInstaller) || IsProcessAccount(owner));
}

// What came of looking at a path of the log: usable, refused quietly, or
// refused for a reason the administrator must hear of.
struct Verdict {
  bool usable;
  RefusalReason reason;  // set only for a refusal worth telling
};
constexpr Verdict kUsable{true, nullptr};
constexpr Verdict kRefusedQuietly{false, nullptr};
constexpr Verdict Refused(RefusalReason reason) { return Verdict{false, reason}; }

// A folder of the log chain may be used when it is a plain folder (not a
// link of any kind), reached without a link below `base`, and owned by a
// trusted account. May throw std::bad_alloc.
Verdict CheckFolder(const wchar_t* folder, const wchar_t* base, const wchar_t* relative) {
  tvr::ScopedFileHandle handle(::CreateFileW(folder, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                             nullptr));
  if (!handle) return kRefusedQuietly;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!LogPlatform().getFileInformationByHandle(handle.get(), &info)) return kRefusedQuietly;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refused(kIsALink);
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return Refused(kNotAFolder);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (LogPlatform().getSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                    nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return kRefusedQuietly;
  }
  const bool trusted = IsTrustedOwner(owner);
  ::LocalFree(descriptor);
  if (!trusted) return Refused(kForeignOwner);
  return IsReachedDirectly(handle.get(), base, relative) ? kUsable : Refused(kThroughALink);
}

// Where refusals are told, and what has been told. A refusal found before
// anybody can be told waits for SetLogRefusalReport.
constexpr size_t kRefusalTextCapacity = 2 * kLogPathCapacity;
SRWLOCK g_refusalLock = SRWLOCK_INIT;
LogRefusalReport g_refusalReport = nullptr;
wchar_t g_pendingRefusal[kRefusalTextCapacity] = {};
wchar_t g_toldRefusal[kRefusalTextCapacity] = {};

// Tells the refusal of `path` once: the same refusal again (every later line
// to the same linked file, say) is not told again.
void TellRefusal(const wchar_t* path, RefusalReason reason) noexcept {
  if (reason == nullptr) return;
  wchar_t text[kRefusalTextCapacity];
  tvr::FormatBounded(text, L"The diagnostic log refused %ls: it %ls.", path, reason);
  tvr::ExclusiveSrwGuard guard(g_refusalLock);
  if (wcscmp(text, g_toldRefusal) == 0) return;
  if (g_refusalReport == nullptr) {
    wcscpy_s(g_pendingRefusal, text);
    return;
  }
  wcscpy_s(g_toldRefusal, text);
  g_refusalReport(text);
}

// Creates `folder` with the log's own security, or adopts it when it already
// exists and is safe. False means: run without a log. May throw
// std::bad_alloc.
bool MakeOrAdoptFolder(const wchar_t* folder, const wchar_t* base, const wchar_t* relative,
                       SECURITY_ATTRIBUTES* security) {
  if (!LogPlatform().createDirectoryW(folder, security) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const Verdict verdict = CheckFolder(folder, base, relative);
  if (!verdict.usable) TellRefusal(folder, verdict.reason);
  return verdict.usable;
}

// Creates OEM, OEM\TVRSvc and OEM\TVRSvc\Log below `base` one at a time,
// each with an explicit protected DACL, adopting only safe existing ones.
// May throw std::bad_alloc.
bool MakeLogFolders(const wchar_t* base) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    return false;
  }
  // Freed on every way out, an allocation failure included.
  struct LocalBlock {
    PSECURITY_DESCRIPTOR block;
    ~LocalBlock() { ::LocalFree(block); }
  } descriptorOwner{descriptor};
  SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
  wchar_t folder[kLogPathCapacity] = {};
  for (const wchar_t* level : {L"OEM", L"OEM\\TVRSvc", L"OEM\\TVRSvc\\Log"}) {
    if (tvr::FormatBounded(folder, L"%ls\\%ls", base, level) >= kLogPathCapacity - 1 ||
        !MakeOrAdoptFolder(folder, base, level, &security)) {
      return false;
    }
  }
  return true;
}

// Opens the log file for appending, creating it when missing. An existing
// name is only ever opened, a missing one only ever created new, so that a
// dangling link in its place never makes a file wherever it points.
tvr::ScopedFileHandle OpenForAppend(const wchar_t* path) {
  constexpr DWORD kAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  for (int attempt = 0; attempt < 2; ++attempt) {
    tvr::ScopedFileHandle file(::CreateFileW(path, kAccess, kShare, nullptr, OPEN_EXISTING, kFlags, nullptr));
    if (file || ::GetLastError() != ERROR_FILE_NOT_FOUND) return file;
    file.reset(::CreateFileW(path, kAccess, kShare, nullptr, CREATE_NEW, kFlags, nullptr));
    // Another writer may have created it in between: open that one.
    if (file || ::GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return tvr::ScopedFileHandle();
}

// The opened log file may take the line only when it is a plain file with a
// single name, not marked read-only, reached at the log path without a link
// below the application-data folder. A read-only file is the administrator's
// way of stopping the lines and is refused without a word. May throw
// std::bad_alloc.
Verdict CheckLogFile(HANDLE file, const wchar_t* path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!LogPlatform().getFileInformationByHandle(file, &info)) return kRefusedQuietly;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refused(kIsALink);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return Refused(kNotAFile);
  if (info.nNumberOfLinks != 1) return Refused(kHasMoreNames);
  if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return kRefusedQuietly;
  // The path is the application-data folder followed by OEM\TVRSvc\Log and
  // the file name: the base ends at the fourth backslash from the end.
  const wchar_t* relative = path + wcslen(path);
  for (int separators = 0; separators < 4;) {
    if (relative == path) return kRefusedQuietly;
    if (*--relative == L'\\') ++separators;
  }
  const std::wstring base(path, relative);
  return IsReachedDirectly(file, base.c_str(), relative + 1) ? kUsable : Refused(kThroughALink);
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

}  // namespace

bool CLogFile::Write(int level, const wchar_t* function, const wchar_t* message) const noexcept {
  if (path == nullptr) return false;
  tvr::ExclusiveSrwGuard guard(g_appendLock);
  // Append-only access: every write lands at the current end of the file, and
  // the sharing lets other writers, here or in another process, append too.
  // A link as the last component is opened as itself, never followed, and
  // then refused like every other file that is not plainly the log file.
  tvr::ScopedFileHandle file = OpenForAppend(path);
  if (!file) return false;
  try {
    const Verdict verdict = CheckLogFile(file.get(), path);
    if (!verdict.usable) {
      TellRefusal(path, verdict.reason);
      return false;
    }
    wchar_t timestamp[64];
    CurrentLogTimestamp(timestamp);
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

void SetLogRefusalReport(LogRefusalReport report) noexcept {
  tvr::ExclusiveSrwGuard guard(g_refusalLock);
  g_refusalReport = report;
  if (report == nullptr || g_pendingRefusal[0] == L'\0') return;
  if (wcscmp(g_pendingRefusal, g_toldRefusal) != 0) {
    wcscpy_s(g_toldRefusal, g_pendingRefusal);
    report(g_pendingRefusal);
  }
  g_pendingRefusal[0] = L'\0';
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

  // The ANSI form must fit as well: the folders above the log's own are made
  // through it.
  char ansiPath[kLogPathCapacity] = {};
  if (::WideCharToMultiByte(CP_ACP, 0, composed, -1, ansiPath, kLogPathCapacity, nullptr, nullptr) == 0) {
    return nullptr;
  }

  // Folders above the log's own are made as they always were; the log's own
  // three are made (or adopted) one by one so that none of them can be a
  // link or a folder someone else prepared.
  if (folder[0] != L'\0') {
    char ansiBase[kLogPathCapacity] = {};
    const int baseLength = static_cast<int>(wcslen(folder)) + 1;  // with the backslash after it
    if (::WideCharToMultiByte(CP_ACP, 0, composed, baseLength, ansiBase, kLogPathCapacity - 1, nullptr, nullptr) > 0) {
      ::MakeSureDirectoryPathExists(ansiBase);
    }
  }
  try {
    if (!MakeLogFolders(folder)) return nullptr;
  } catch (const std::bad_alloc&) {
    // Out of memory while checking the folders: run without a log.
    return nullptr;
  }

  CLogFile* log = new (std::nothrow) CLogFile(pathBuffer, kModuleName);
  if (log == nullptr) return nullptr;
  wmemcpy(pathBuffer, composed, length + 1);
  return log;
}
