#pragma once
// A real log object on a scratch file, published as the process's log, with
// a reader of the event sink's two messages: for the tests of the sink alone
// and of the sink wired to the service's decision.

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "log/log_file.h"
#include "log/log_pointer.h"

namespace tvr_test {

inline const char kSinkLaptopLine[] = "| EventSink::Indicate | UsageModeEvent == kLaptop || UsageModeEvent == kFloating";
inline const char kSinkOtherLine[] = "| EventSink::Indicate | UsageModeEvent == other";

// A real log object on a scratch file, published as the process's log.
class PublishedSinkLog {
 public:
  PublishedSinkLog() {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"wsk", 0, path_);
    DeleteFileW(path_);
    log_ = new CLogFile(path_, kModuleName);
    PublishLog(log_);
  }
  ~PublishedSinkLog() {
    RetireLog(log_);
    DeleteFileW(path_);
  }
  CLogFile* log() const { return log_; }

  // Lines of the file without their CR LF.
  std::vector<std::string> Lines() const {
    std::ifstream file(path_, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(bytes.substr(start, end - start));
    }
    if (start < bytes.size()) lines.push_back(bytes.substr(start));
    return lines;
  }
  // For each line, which of the sink's two messages it ends with ("" if neither).
  std::vector<std::string> SinkMessages() const {
    std::vector<std::string> kinds;
    for (const std::string& line : Lines()) {
      auto endsWith = [&](const char* tail) {
        const std::string t(tail);
        return line.size() >= t.size() && line.compare(line.size() - t.size(), t.size(), t) == 0;
      };
      kinds.push_back(endsWith(kSinkLaptopLine) ? "laptop" : endsWith(kSinkOtherLine) ? "other" : "");
    }
    return kinds;
  }

 private:
  wchar_t path_[MAX_PATH] = {};
  CLogFile* log_ = nullptr;
};

}  // namespace tvr_test
