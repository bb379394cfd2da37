#include "common/stdout_capture.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace tvr_test {

StdoutCapture::StdoutCapture() {
  wchar_t folder[MAX_PATH];
  ::GetTempPathW(MAX_PATH, folder);
  ::GetTempFileNameW(folder, L"tvr", 0, path_);
  fflush(stdout);
  saved_ = _dup(_fileno(stdout));
  const int file = _wopen(path_, _O_WRONLY | _O_TRUNC | _O_TEXT);
  _dup2(file, _fileno(stdout));
  _close(file);
}

StdoutCapture::~StdoutCapture() {
  Restore();
  ::DeleteFileW(path_);
}

std::string StdoutCapture::Finish() {
  Restore();
  std::string text;
  if (FILE* file = _wfopen(path_, L"rb")) {
    char chunk[512];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, got);
    fclose(file);
  }
  return text;
}

void StdoutCapture::Restore() {
  if (saved_ < 0) return;
  fflush(stdout);
  _dup2(saved_, _fileno(stdout));
  _close(saved_);
  saved_ = -1;
}

}  // namespace tvr_test
