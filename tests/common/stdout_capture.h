#pragma once
// Sends this process's standard output to a scratch file for the scope and
// hands back what was written, for tests of console messages.

#include <windows.h>

#include <string>

namespace tvr_test {

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Restores standard output and returns the bytes written meanwhile.
  std::string Finish();

 private:
  void Restore();
  wchar_t path_[MAX_PATH] = {};
  int saved_ = -1;
};

}  // namespace tvr_test
