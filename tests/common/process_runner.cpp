#include "common/process_runner.h"

#include <map>

#include "common/scoped_handle.h"

namespace tvr_test {
namespace {

// Owned by the reader thread's caller, or leaked on purpose when the reader
// never ends (see RunProcess), so the thread never touches freed memory.
struct PipeReader {
  tvr::ScopedKernelHandle pipe;
  std::string output;
};

// Reader thread: drains the child's output until every writer has closed
// the pipe, so a chatty child never blocks on a full pipe.
DWORD WINAPI ReadAll(LPVOID parameter) {
  auto* reader = static_cast<PipeReader*>(parameter);
  char chunk[4096];
  DWORD got = 0;
  while (::ReadFile(reader->pipe.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    reader->output.append(chunk, got);
  }
  return 0;
}

// A double-NUL-terminated environment block: ours with `overrides` applied.
std::wstring BuildEnvironment(const EnvironmentOverrides& overrides) {
  // Case-insensitive names, as Windows treats them.
  struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
      return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    }
  };
  std::map<std::wstring, std::wstring, NoCase> variables;
  std::vector<std::wstring> hidden;  // "=C:" style entries keep their place at the front
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = block; entry && *entry; entry += wcslen(entry) + 1) {
    std::wstring text(entry);
    const size_t equals = text.find(L'=', 1);
    if (text[0] == L'=' || equals == std::wstring::npos) {
      hidden.push_back(text);
    } else {
      variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  if (block) ::FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : overrides) {
    if (value.empty()) {
      variables.erase(name);
    } else {
      variables[name] = value;
    }
  }
  std::wstring result;
  for (const auto& entry : hidden) result += entry + L'\0';
  for (const auto& [name, value] : variables) result += name + L'=' + value + L'\0';
  result += L'\0';
  return result;
}

}  // namespace

ProcessResult RunProcess(const std::wstring& exePath, const std::wstring& arguments, DWORD timeoutMs,
                         const EnvironmentOverrides& environment) {
  ProcessResult result;

  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  tvr::ScopedKernelHandle readEnd;
  tvr::ScopedKernelHandle writeEnd;
  if (!::CreatePipe(readEnd.Receive(), writeEnd.Receive(), &inheritable, 0)) {
    result.startError = ::GetLastError();
    return result;
  }
  ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();

  std::wstring commandLine = L"\"" + exePath + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;

  std::wstring environmentBlock;
  if (!environment.empty()) environmentBlock = BuildEnvironment(environment);

  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        environment.empty() ? nullptr : environmentBlock.data(), nullptr, &startup, &info)) {
    result.startError = ::GetLastError();
    return result;
  }
  result.started = true;
  tvr::ScopedKernelHandle process(info.hProcess);
  tvr::ScopedKernelHandle thread(info.hThread);
  // Only the child may hold the write end now, so the reader sees the end.
  writeEnd.reset();

  auto* reader = new PipeReader{std::move(readEnd), {}};
  tvr::ScopedKernelHandle readerThread(::CreateThread(nullptr, 0, ReadAll, reader, 0, nullptr));
  if (!readerThread) {
    delete reader;
    reader = nullptr;
  }

  if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
    result.timedOut = true;
    ::TerminateProcess(process.get(), 0xDEAD);
    ::WaitForSingleObject(process.get(), 5000);
  } else {
    ::GetExitCodeProcess(process.get(), &result.exitCode);
  }
  // A grandchild that inherited the pipe could keep it open: give the reader
  // a moment, then cut it off rather than hang the test.
  if (reader && ::WaitForSingleObject(readerThread.get(), 5000) != WAIT_OBJECT_0) {
    ::CancelSynchronousIo(readerThread.get());
    if (::WaitForSingleObject(readerThread.get(), 5000) != WAIT_OBJECT_0) {
      result.timedOut = true;
      return result;  // the reader still runs: its state is left to it
    }
  }
  if (reader) {
    result.output = std::move(reader->output);
    delete reader;
  }
  return result;
}

std::wstring ThisProgramFolder() {
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  std::wstring folder(path, length);
  const size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

std::string WithUnixLineEnds(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result += text[i];
  }
  return result;
}

}  // namespace tvr_test
