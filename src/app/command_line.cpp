#include "app/command_line.h"

namespace {

// Folds A to Z only; _wcsicmp and towlower may fold far more (locale letters,
// the Kelvin sign), which would let look-alike words pass as switches.
wchar_t FoldAscii(wchar_t c) noexcept {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool IsSwitchCharacter(wchar_t c) noexcept { return c == L'-' || c == L'/'; }

}  // namespace

bool EqualsIgnoringAsciiCase(const wchar_t* a, const wchar_t* b) noexcept {
  for (;; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
    if (*a == L'\0') return true;
  }
}

CommandRole ChooseRole(int argc, const wchar_t* const* argv) noexcept {
  if (argc < 2 || argv[1] == nullptr || !IsSwitchCharacter(argv[1][0])) return CommandRole::kRunService;
  const wchar_t* word = argv[1] + 1;
  if (EqualsIgnoringAsciiCase(word, L"install")) return CommandRole::kInstall;
  if (EqualsIgnoringAsciiCase(word, L"remove")) return CommandRole::kRemove;
  return CommandRole::kNothing;
}

void PrintUsage() noexcept {
  wprintf(L"Parameters:\n");
  wprintf(L" -install  to install the service.\n");
  wprintf(L" -remove   to remove the service.\n");
}
