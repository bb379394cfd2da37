#pragma once
// Seam at the three file-system facts the log's link checks rest on: the
// security a folder is created with, the attributes and link count of an open
// handle, and the owner of an open handle. Every entry is the real Windows
// call unless a test has put a fake in its place; the checks themselves run
// the same either way.

#include <windows.h>
#include <aclapi.h>

struct LogPlatformCalls {
  BOOL(WINAPI* createDirectoryW)(LPCWSTR, LPSECURITY_ATTRIBUTES) = ::CreateDirectoryW;
  BOOL(WINAPI* getFileInformationByHandle)(HANDLE, LPBY_HANDLE_FILE_INFORMATION) = ::GetFileInformationByHandle;
  DWORD(WINAPI* getSecurityInfo)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                 PSECURITY_DESCRIPTOR*) = ::GetSecurityInfo;
};

// The process-wide table. Tests replace entries before starting threads and
// restore them afterwards (tests/common/log_platform_override.h).
LogPlatformCalls& LogPlatform() noexcept;

// The security every folder of the log chain is created with: full control
// for SYSTEM and Administrators, read and execute for Authenticated Users,
// inherited by what is created inside, nothing inherited from above.
inline constexpr wchar_t kLogFolderSecurity[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)";
