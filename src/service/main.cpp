// Placeholder entry until the program entry is built: prints the usage text.
#include <cstdio>

int wmain(int, wchar_t**) {
  wprintf(L"Parameters:\n");
  wprintf(L" -install  to install the service.\n");
  wprintf(L" -remove   to remove the service.\n");
  return 0;
}
