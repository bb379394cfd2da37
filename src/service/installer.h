#pragma once
// Registering and removing this executable as the service, for the command
// line's "-install" and "-remove". Both report every outcome on standard
// output and return nothing: the process exit code stays 0 whatever happens.

#include <windows.h>

// The service entry's display name; its name is kModuleName (log/log_file.h).
inline constexpr wchar_t kServiceDisplayName[] = L"Tavrel Service";

// Creates the auto-start LocalSystem service entry for the executable at
// `path` (at most MAX_PATH characters with its terminator). The path is
// written enclosed in double quotes. Prints the failed call and its error
// code on failure and leaves the SCM unchanged.
void InstallSelf(const wchar_t* path) noexcept;

// Stops the installed service if it runs, waiting for it as long as it is
// stopping, then deletes it. Prints the failed call and its error code on
// failure; a refused stop does not prevent the delete.
void RemoveSelf() noexcept;
