#include "common/log_fixture.h"

#include <atomic>
#include <cwchar>

#include "common/log_links.h"
#include "log/log_pointer.h"

namespace tvr_test {

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
  const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed > 0) {
    std::wstring buffer(needed, L'\0');
    const DWORD got = GetEnvironmentVariableW(name, buffer.data(), needed);
    buffer.resize(got);
    old_ = buffer;
    had_ = true;
  }
  SetEnvironmentVariableW(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr);
}

ScopedTempFolder::ScopedTempFolder() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  wchar_t name[MAX_PATH] = {};
  for (;;) {
    swprintf(name, MAX_PATH, L"%lstvr_%lu_%u", temp, GetCurrentProcessId(), counter++);
    if (CreateDirectoryW(name, nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  path_ = name;
}

ScopedTempFolder::~ScopedTempFolder() { RemoveTree(path_); }

ScopedProgramData::ScopedProgramData() : variable_(L"PROGRAMDATA", folder_.path().c_str()) {}

ScopedLogging::ScopedLogging(Publish publish) {
  log_ = CreateLog(pathBuffer_);
  if (log_ != nullptr && publish == Publish::kYes) {
    PublishLog(log_);
    published_ = true;
  }
}

ScopedLogging::~ScopedLogging() {
  if (log_ == nullptr) return;
  if (published_) {
    RetireLog(log_);
  } else {
    delete log_;
  }
}

CLogFile* ScopedLogging::Take() {
  CLogFile* log = log_;
  log_ = nullptr;
  return log;
}

std::string ScopedLogging::Contents() const { return ReadFileBytes(pathBuffer_); }

std::vector<std::string> ScopedLogging::Lines() const { return SplitCrLf(Contents()); }

std::vector<std::string> ScopedLogging::Messages() const {
  std::vector<std::string> messages;
  for (const std::string& line : Lines()) {
    ParsedLogLine parsed;
    if (ParseLogLine(line, &parsed)) messages.push_back(parsed.message);
  }
  return messages;
}

std::vector<std::string> ScopedLogging::Functions() const {
  std::vector<std::string> functions;
  for (const std::string& line : Lines()) {
    ParsedLogLine parsed;
    if (ParseLogLine(line, &parsed)) functions.push_back(parsed.function);
  }
  return functions;
}

namespace {

bool IsDigits(const std::string& s, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

bool IsTimestamp(const std::string& t) {
  if (t.size() != 21) return false;
  if (!IsDigits(t, 0, 8) || t[8] != '_' || !IsDigits(t, 9, 2) || t[11] != ':' || !IsDigits(t, 12, 2) ||
      t[14] != ':' || !IsDigits(t, 15, 2) || t[17] != '.') {
    return false;
  }
  // Milliseconds right-aligned in three places, padded with blanks.
  const std::string ms = t.substr(18);
  const size_t firstDigit = ms.find_first_not_of(' ');
  if (firstDigit == std::string::npos || !IsDigits(ms, firstDigit, 3 - firstDigit)) return false;
  return firstDigit == 2 || ms[firstDigit] != '0';
}

}  // namespace

bool ParseLogLine(const std::string& line, ParsedLogLine* out) {
  static const char* const kLevels[] = {"[INFO]     ", "[WARNING]  ", "[ERROR]    ", "[EXCEPTION]"};
  ParsedLogLine parsed;
  size_t pos = 0;
  for (const char* level : kLevels) {
    if (line.compare(0, 11, level) == 0) {
      parsed.levelText = level;
      pos = 11;
      break;
    }
  }
  if (line.size() < pos + 1 + 21 || line[pos] != ' ') return false;
  parsed.timestamp = line.substr(pos + 1, 21);
  if (!IsTimestamp(parsed.timestamp)) return false;
  pos += 1 + 21;
  const std::string sep = " | ";
  if (line.compare(pos, 3, sep) != 0) return false;
  pos += 3;
  const size_t moduleEnd = line.find(sep, pos);
  if (moduleEnd == std::string::npos) return false;
  parsed.module = line.substr(pos, moduleEnd - pos);
  pos = moduleEnd + 3;
  const size_t functionEnd = line.find(sep, pos);
  if (functionEnd == std::string::npos) return false;
  parsed.function = line.substr(pos, functionEnd - pos);
  parsed.message = line.substr(functionEnd + 3);
  if (parsed.message.find('\r') != std::string::npos || parsed.message.find('\n') != std::string::npos) return false;
  if (out != nullptr) *out = parsed;
  return true;
}

std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

std::vector<std::string> SplitCrLf(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(pos));
      break;
    }
    lines.push_back(bytes.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  // A link is removed itself, never what it points at.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    RemoveLink(path);
    return;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
          RemoveTree(path + L"\\" + found.cFileName);
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring CurrentUserName() {
  wchar_t name[260] = {};
  DWORD length = 260;
  if (!GetUserNameW(name, &length)) return {};
  return name;
}

}  // namespace tvr_test
