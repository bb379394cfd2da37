#pragma once
// Symbolic links for tests of the log's link checks. Windows makes them with
// CreateSymbolicLinkW; Wine accepts that call but makes nothing, so there the
// link is made as a host symbolic link, which Wine follows like a Windows one.

#include <string>

namespace tvr_test {

// Makes `link` point at `target` (which may be missing). `directory` says what
// the target is. False when no link could be made.
bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory);

// Removes the link itself, never what it points at.
void RemoveLink(const std::wstring& link);

}  // namespace tvr_test
