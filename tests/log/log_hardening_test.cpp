// The log never follows a link or writes into a folder someone else prepared.
// Hard links and symbolic links are made for real (Wine follows host symbolic
// links like Windows ones); the reparse attribute, a foreign owner and the
// security given at creation go through the log's file-system seam, because
// Wine can neither make a junction, nor change an owner, nor keep a DACL.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/fake_scm.h"
#include "common/log_fixture.h"
#include "common/log_links.h"
#include "common/log_platform_override.h"
#include "common/registry_fixture.h"
#include "log/log_file.h"
#include "service/service_base.h"

namespace {

using tvr_test::PathExists;
using tvr_test::ReadFileBytes;

std::wstring LogFileName() { return tvr_test::CurrentUserName() + L"_TVRSvc.log"; }

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::wstring FinalPath(HANDLE handle) {
  wchar_t path[1024] = {};
  const DWORD n = GetFinalPathNameByHandleW(handle, path, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  return n > 0 && n < 1024 ? std::wstring(path) : std::wstring();
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
  return !tail.empty() && text.size() >= tail.size() &&
         CompareStringOrdinal(text.c_str() + text.size() - tail.size(), -1, tail.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// --- fakes behind the seam -------------------------------------------------

// Records every folder the log creates and the DACL it asked for, then lets
// the real call make it.
struct CreatedFolder {
  std::wstring path;
  PSECURITY_DESCRIPTOR security;  // copy, self-relative, LocalAlloc'd
};
std::vector<CreatedFolder> g_created;

BOOL WINAPI RecordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  PSECURITY_DESCRIPTOR copy = nullptr;
  if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
    LPWSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                                             DACL_SECURITY_INFORMATION, &text, nullptr)) {
      ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &copy, nullptr);
      LocalFree(text);
    }
  }
  g_created.push_back({path, copy});
  return CreateDirectoryW(path, attributes);
}

// Reports the object whose final path ends with g_markedTail as a reparse point.
std::wstring g_markedTail;
BOOL WINAPI MarkingFileInformation(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
  const BOOL ok = GetFileInformationByHandle(handle, info);
  if (ok && EndsWithNoCase(FinalPath(handle), g_markedTail)) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return ok;
}

// Reports g_foreignOwner as the owner of the folder whose final path ends
// with g_markedTail.
std::wstring g_foreignOwner;
DWORD WINAPI ForeignOwnerSecurity(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  if (!EndsWithNoCase(FinalPath(handle), g_markedTail)) {
    return GetSecurityInfo(handle, type, which, owner, group, dacl, sacl, descriptor);
  }
  const std::wstring text = L"O:" + g_foreignOwner;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, descriptor, nullptr)) {
    return GetLastError();
  }
  BOOL defaulted = FALSE;
  GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  return ERROR_SUCCESS;
}

std::wstring ProcessAccountSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE buffer[512];
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
  CloseHandle(token);
  LPWSTR text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  std::wstring sid = text != nullptr ? text : L"";
  LocalFree(text);
  return sid;
}

// Logging switched on over a fresh PROGRAMDATA, with the folder chain made by
// the test beforehand as it chooses.
class LogHardening : public ::testing::Test {
 protected:
  std::wstring Folder(const wchar_t* level) const { return programData_.folder() + L"\\" + level; }
  std::wstring LogPath() const { return Folder(L"OEM\\TVRSvc\\Log\\") + LogFileName(); }
  void MakeFolders(std::initializer_list<const wchar_t*> levels) {
    for (const wchar_t* level : levels) ASSERT_TRUE(CreateDirectoryW(Folder(level).c_str(), nullptr));
  }

  tvr_test::ScopedProgramData programData_;
  tvr_test::ScopedLogSwitch on_;
  wchar_t buffer_[kLogPathCapacity] = {};
};

// --- folders the log creates -----------------------------------------------

TEST_F(LogHardening, EachMissingFolderIsCreatedOnItsOwnWithAProtectedExplicitDacl) {
  tvr_test::ScopedLogPlatform seam;
  seam.calls().createDirectoryW = RecordingCreateDirectory;
  g_created.clear();
  CLogFile* log = CreateLog(buffer_);
  ASSERT_NE(nullptr, log);

  const std::vector<std::wstring> expected = {Folder(L"OEM"), Folder(L"OEM\\TVRSvc"), Folder(L"OEM\\TVRSvc\\Log")};
  ASSERT_EQ(expected.size(), g_created.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i], g_created[i].path);
    ASSERT_NE(nullptr, g_created[i].security) << "created without an explicit security descriptor";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(g_created[i].security, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherits from above";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(g_created[i].security, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    const struct {
      WELL_KNOWN_SID_TYPE who;
      ACCESS_MASK mask;
    } aces[] = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                {WinAuthenticatedUserSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
    ASSERT_EQ(3u, dacl->AceCount);
    for (DWORD a = 0; a < dacl->AceCount; ++a) {
      ACCESS_ALLOWED_ACE* ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, a, reinterpret_cast<void**>(&ace)));
      EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
      EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags);
      EXPECT_EQ(aces[a].mask, ace->Mask) << "ace " << a;
      BYTE sid[SECURITY_MAX_SID_SIZE];
      DWORD size = sizeof(sid);
      ASSERT_TRUE(CreateWellKnownSid(aces[a].who, nullptr, sid, &size));
      EXPECT_TRUE(EqualSid(sid, &ace->SidStart)) << "ace " << a;
    }
    LocalFree(g_created[i].security);
    EXPECT_TRUE(GetFileAttributesW(expected[i].c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  }
  g_created.clear();
  EXPECT_TRUE(log->Write(kLogInfo, L"F", L"normal run"));
  EXPECT_EQ(1u, tvr_test::SplitCrLf(ReadFileBytes(LogPath())).size());
  delete log;
}

TEST_F(LogHardening, SafeExistingFoldersAreUsedAndOnlyMissingOnesMade) {
  MakeFolders({L"OEM", L"OEM\\TVRSvc"});
  wchar_t buffer[kLogPathCapacity] = {};
  CLogFile* log = CreateLog(buffer);
  ASSERT_NE(nullptr, log);
  EXPECT_EQ(LogPath(), std::wstring(buffer));
  EXPECT_TRUE(log->Write(kLogInfo, L"F", L"first"));
  delete log;
  // A second start finds the whole chain in place and appends.
  wchar_t again[kLogPathCapacity] = {};
  log = CreateLog(again);
  ASSERT_NE(nullptr, log);
  EXPECT_TRUE(log->Write(kLogInfo, L"F", L"second"));
  EXPECT_EQ(2u, tvr_test::SplitCrLf(ReadFileBytes(LogPath())).size());
  delete log;
}

// --- links in the folder chain: made for real ------------------------------

TEST_F(LogHardening, LinkedFolderAnywhereInTheChainMeansNoLogAndTheTargetUntouched) {
  const wchar_t* const levels[] = {L"OEM", L"OEM\\TVRSvc", L"OEM\\TVRSvc\\Log"};
  for (size_t linked = 0; linked < 3; ++linked) {
    SCOPED_TRACE(testing::Message() << "link at " << static_cast<int>(linked));
    tvr_test::ScopedTempFolder victim;
    for (size_t i = 0; i < linked; ++i) ASSERT_TRUE(CreateDirectoryW(Folder(levels[i]).c_str(), nullptr));
    ASSERT_TRUE(tvr_test::MakeSymbolicLink(Folder(levels[linked]), victim.path(), true));
    wchar_t buffer[kLogPathCapacity] = {};
    EXPECT_EQ(nullptr, CreateLog(buffer));
    EXPECT_EQ(0, buffer[0]);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((victim.path() + L"\\*").c_str(), &found);
    int entries = 0;
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) ++entries;
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    EXPECT_EQ(0, entries) << "something was made in the link's target";
    tvr_test::RemoveLink(Folder(levels[linked]));
    tvr_test::RemoveTree(Folder(L"OEM"));
  }
}

// --- links as the log file: made for real ----------------------------------

TEST_F(LogHardening, HardLinkAsTheLogFileIsRefusedAndItsTargetUntouched) {
  CLogFile* log = CreateLog(buffer_);
  ASSERT_NE(nullptr, log);
  tvr_test::ScopedTempFolder elsewhere;
  const std::wstring target = elsewhere.path() + L"\\precious.dat";
  WriteBytes(target, "precious\r\n");
  ASSERT_TRUE(CreateHardLinkW(LogPath().c_str(), target.c_str(), nullptr));

  EXPECT_FALSE(log->Write(kLogInfo, L"F", L"must not land"));
  EXPECT_EQ("precious\r\n", ReadFileBytes(target));
  delete log;
}

TEST_F(LogHardening, SymbolicLinkAsTheLogFileIsRefusedWhetherItsTargetExistsOrNot) {
  CLogFile* log = CreateLog(buffer_);
  ASSERT_NE(nullptr, log);
  tvr_test::ScopedTempFolder elsewhere;
  const std::wstring target = elsewhere.path() + L"\\precious.dat";
  WriteBytes(target, "precious\r\n");
  ASSERT_TRUE(tvr_test::MakeSymbolicLink(LogPath(), target, false));
  EXPECT_FALSE(log->Write(kLogInfo, L"F", L"must not land"));
  EXPECT_EQ("precious\r\n", ReadFileBytes(target));
  tvr_test::RemoveLink(LogPath());

  // A dangling link must not make a file where it points.
  const std::wstring missing = elsewhere.path() + L"\\new.dat";
  ASSERT_TRUE(tvr_test::MakeSymbolicLink(LogPath(), missing, false));
  EXPECT_FALSE(log->Write(kLogInfo, L"F", L"must not land"));
  EXPECT_FALSE(PathExists(missing));
  tvr_test::RemoveLink(LogPath());

  // With the link gone the log works again.
  EXPECT_TRUE(log->Write(kLogInfo, L"F", L"back"));
  EXPECT_EQ(1u, tvr_test::SplitCrLf(ReadFileBytes(LogPath())).size());
  delete log;
}

// --- reparse points and owners: through the seam ---------------------------

TEST_F(LogHardening, ReparsePointInTheChainMeansNoLogAndNothingMadeBelowIt) {
  tvr_test::ScopedLogPlatform seam;
  seam.calls().getFileInformationByHandle = MarkingFileInformation;
  const struct {
    std::vector<const wchar_t*> existing;
    const wchar_t* marked;
  } cases[] = {
      {{L"OEM"}, L"\\OEM"},
      {{L"OEM", L"OEM\\TVRSvc"}, L"\\OEM\\TVRSvc"},
      {{L"OEM", L"OEM\\TVRSvc", L"OEM\\TVRSvc\\Log"}, L"\\OEM\\TVRSvc\\Log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "marked " << testing::PrintToString(std::wstring(c.marked)));
    for (const wchar_t* level : c.existing) ASSERT_TRUE(CreateDirectoryW(Folder(level).c_str(), nullptr));
    g_markedTail = c.marked;
    wchar_t buffer[kLogPathCapacity] = {};
    EXPECT_EQ(nullptr, CreateLog(buffer));
    if (c.existing.size() < 3) {
      EXPECT_FALSE(PathExists(Folder(c.existing.back()) + L"\\" + (c.existing.size() == 1 ? L"TVRSvc" : L"Log")))
          << "made something below the reparse point";
    }
    EXPECT_FALSE(PathExists(LogPath()));
    tvr_test::RemoveTree(Folder(L"OEM"));
  }
  g_markedTail.clear();
}

TEST_F(LogHardening, ReparsePointAsTheLogFileIsRefused) {
  CLogFile* log = CreateLog(buffer_);
  ASSERT_NE(nullptr, log);
  WriteBytes(LogPath(), "");
  tvr_test::ScopedLogPlatform seam;
  seam.calls().getFileInformationByHandle = MarkingFileInformation;
  g_markedTail = L"\\" + LogFileName();
  EXPECT_FALSE(log->Write(kLogInfo, L"F", L"must not land"));
  EXPECT_EQ("", ReadFileBytes(LogPath()));
  g_markedTail.clear();
  EXPECT_TRUE(log->Write(kLogInfo, L"F", L"plain again"));
  delete log;
}

TEST_F(LogHardening, ExistingFolderIsUsedOnlyWhenATrustedAccountOwnsIt) {
  tvr_test::ScopedLogPlatform seam;
  seam.calls().getSecurityInfo = ForeignOwnerSecurity;
  const struct {
    std::wstring owner;
    bool trusted;
  } owners[] = {
      {L"S-1-5-18", true},                                                          // SYSTEM
      {L"S-1-5-32-544", true},                                                      // Administrators
      {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", true},  // TrustedInstaller
      {ProcessAccountSid(), true},
      {L"S-1-5-21-1-2-3-1001", false},  // another account
      {L"S-1-1-0", false},              // Everyone
      {L"S-1-5-32-545", false},         // Users
      {L"S-1-5-11", false},             // Authenticated Users
  };
  const wchar_t* const levels[] = {L"OEM", L"OEM\\TVRSvc", L"OEM\\TVRSvc\\Log"};
  for (const auto& o : owners) {
    for (size_t owned = 0; owned < 3; ++owned) {
      SCOPED_TRACE(testing::Message() << testing::PrintToString(o.owner) << " owns level " << owned);
      for (size_t i = 0; i <= owned; ++i) ASSERT_TRUE(CreateDirectoryW(Folder(levels[i]).c_str(), nullptr));
      g_markedTail = std::wstring(L"\\") + levels[owned];
      g_foreignOwner = o.owner;
      wchar_t buffer[kLogPathCapacity] = {};
      CLogFile* log = CreateLog(buffer);
      EXPECT_EQ(o.trusted, log != nullptr);
      if (log != nullptr) {
        EXPECT_TRUE(log->Write(kLogInfo, L"F", L"M"));
      } else if (owned < 2) {
        EXPECT_FALSE(PathExists(Folder(levels[owned + 1]))) << "made a folder inside a foreign one";
      }
      EXPECT_EQ(o.trusted, PathExists(LogPath()));
      delete log;
      tvr_test::RemoveTree(Folder(L"OEM"));
    }
  }
  g_markedTail.clear();
}



// --- telling why: one entry per refusal ------------------------------------

std::vector<std::wstring> g_told;
void CaptureRefusal(const wchar_t* text) noexcept { g_told.push_back(text); }
void DiscardRefusal(const wchar_t*) noexcept {}

// The test's own listener in place of the service framework's event-log
// writer, for the scope. A refusal still waiting from before (another test's)
// is dropped first unless the test means to receive it.
class ToldRefusals {
 public:
  enum class Waiting { kDrop, kReceive };
  explicit ToldRefusals(Waiting waiting = Waiting::kDrop) {
    if (waiting == Waiting::kDrop) SetLogRefusalReport(&DiscardRefusal);
    g_told.clear();
    SetLogRefusalReport(&CaptureRefusal);
  }
  ~ToldRefusals() {
    SetLogRefusalReport(nullptr);
    g_told.clear();
  }
  ToldRefusals(const ToldRefusals&) = delete;
  ToldRefusals& operator=(const ToldRefusals&) = delete;
  const std::vector<std::wstring>& texts() const { return g_told; }
};

TEST_F(LogHardening, RefusedFolderIsToldOnceWithItsPathAndWhy) {
  ToldRefusals told;
  tvr_test::ScopedTempFolder victim;
  ASSERT_TRUE(tvr_test::MakeSymbolicLink(Folder(L"OEM"), victim.path(), true));
  EXPECT_EQ(nullptr, CreateLog(buffer_));
  EXPECT_EQ(nullptr, CreateLog(buffer_)) << "refused again";
  ASSERT_EQ(1u, told.texts().size()) << "the same refusal told twice";
  EXPECT_EQ(told.texts()[0], L"The diagnostic log refused " + Folder(L"OEM") + L": it is reached through a link.");
  tvr_test::RemoveLink(Folder(L"OEM"));
}

TEST_F(LogHardening, RefusedLogFileIsToldOnceHoweverManyLinesAreLost) {
  ToldRefusals told;
  CLogFile* log = CreateLog(buffer_);
  ASSERT_NE(nullptr, log);
  EXPECT_TRUE(told.texts().empty()) << "a sound log was refused: " << testing::PrintToString(told.texts());
  tvr_test::ScopedTempFolder elsewhere;
  const std::wstring target = elsewhere.path() + L"\\precious.dat";
  WriteBytes(target, "precious\r\n");
  ASSERT_TRUE(CreateHardLinkW(LogPath().c_str(), target.c_str(), nullptr));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(log->Write(kLogInfo, L"F", L"must not land"));
  ASSERT_EQ(1u, told.texts().size());
  EXPECT_EQ(told.texts()[0], L"The diagnostic log refused " + LogPath() + L": it has more than one name (a hard link).");
  delete log;
}

TEST_F(LogHardening, ForeignOwnerIsToldAndAReadOnlyFileIsNot) {
  ToldRefusals told;
  {
    MakeFolders({L"OEM"});
    tvr_test::ScopedLogPlatform seam;
    seam.calls().getSecurityInfo = ForeignOwnerSecurity;
    g_markedTail = L"\\OEM";
    g_foreignOwner = L"S-1-5-32-545";  // BUILTIN\Users: anybody could have made it
    EXPECT_EQ(nullptr, CreateLog(buffer_));
    g_markedTail.clear();
  }
  ASSERT_EQ(1u, told.texts().size());
  EXPECT_EQ(told.texts()[0],
            L"The diagnostic log refused " + Folder(L"OEM") + L": it is owned by an account that could have prepared it.");

  // A read-only log file is the administrator's own way to stop the lines.
  tvr_test::RemoveTree(Folder(L"OEM"));
  CLogFile* log = CreateLog(buffer_);
  ASSERT_NE(nullptr, log);
  ASSERT_TRUE(log->Write(kLogInfo, L"F", L"first"));
  ASSERT_TRUE(SetFileAttributesW(LogPath().c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(log->Write(kLogInfo, L"F", L"not now"));
  EXPECT_EQ(1u, told.texts().size());
  SetFileAttributesW(LogPath().c_str(), FILE_ATTRIBUTE_NORMAL);
  delete log;
}

// At start-up nobody can be told yet: the refusal waits for the framework.
TEST_F(LogHardening, RefusalBeforeAnyListenerIsToldWhenOneComes) {
  tvr_test::ScopedTempFolder victim;
  ASSERT_TRUE(tvr_test::MakeSymbolicLink(Folder(L"OEM"), victim.path(), true));
  SetLogRefusalReport(nullptr);
  EXPECT_EQ(nullptr, CreateLog(buffer_));
  {
    ToldRefusals told(ToldRefusals::Waiting::kReceive);
    ASSERT_EQ(1u, told.texts().size());
    EXPECT_EQ(told.texts()[0], L"The diagnostic log refused " + Folder(L"OEM") + L": it is reached through a link.");
  }
  {
    ToldRefusals again(ToldRefusals::Waiting::kReceive);
    EXPECT_TRUE(again.texts().empty()) << "handed over twice";
  }
  tvr_test::RemoveLink(Folder(L"OEM"));
}

// What the administrator sees: a warning in the event log, written by the
// service framework once the service object exists.
TEST_F(LogHardening, TheServiceFrameworkPutsTheRefusalInTheEventLog) {
  FakeScm scm;
  tvr_test::ScopedTempFolder victim;
  ASSERT_TRUE(tvr_test::MakeSymbolicLink(Folder(L"OEM"), victim.path(), true));
  SetLogRefusalReport(nullptr);
  EXPECT_EQ(nullptr, CreateLog(buffer_));
  { CServiceBase service(kModuleName, nullptr); }
  const std::vector<RecordedEvent> events = scm.Events();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[0].strings,
            (std::vector<std::wstring>{
                L"TVRSvc", L"The diagnostic log refused " + Folder(L"OEM") + L": it is reached through a link."}));
  EXPECT_EQ(0, scm.openEventSources);
  tvr_test::RemoveLink(Folder(L"OEM"));
}

// The application-data folder is the machine's own and only administrators
// can move it: a link at or above it (ProgramData put on another volume) is
// followed, and the log lives where it leads. Only the log's own folders and
// file, which somebody else could have prepared, must be reached directly.
TEST(LogFolderAbove, LinkedApplicationDataFolderIsFollowed) {
  tvr_test::ScopedTempFolder scratch;
  const std::wstring real = scratch.path() + L"\\real";
  const std::wstring linked = scratch.path() + L"\\linked";
  ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
  ASSERT_TRUE(tvr_test::MakeSymbolicLink(linked, real, true));
  tvr_test::ScopedEnvironmentVariable programData(L"PROGRAMDATA", linked.c_str());
  tvr_test::ScopedLogSwitch on;
  ASSERT_TRUE(on.ok());
  ToldRefusals told;

  wchar_t buffer[kLogPathCapacity] = {};
  CLogFile* log = CreateLog(buffer);
  ASSERT_NE(nullptr, log) << "a moved application-data folder turned the log off";
  EXPECT_EQ(std::wstring(buffer), linked + L"\\OEM\\TVRSvc\\Log\\" + LogFileName());
  EXPECT_TRUE(log->Write(kLogInfo, L"F", L"lands"));
  EXPECT_EQ(1u, tvr_test::SplitCrLf(ReadFileBytes(real + L"\\OEM\\TVRSvc\\Log\\" + LogFileName())).size());
  EXPECT_TRUE(told.texts().empty());
  delete log;

  // Below it the rule stands: the log's own folder as a link is refused.
  tvr_test::RemoveTree(real + L"\\OEM\\TVRSvc\\Log");
  tvr_test::ScopedTempFolder victim;
  ASSERT_TRUE(tvr_test::MakeSymbolicLink(real + L"\\OEM\\TVRSvc\\Log", victim.path(), true));
  EXPECT_EQ(nullptr, CreateLog(buffer));
  EXPECT_EQ(1u, told.texts().size());
  tvr_test::RemoveLink(real + L"\\OEM\\TVRSvc\\Log");
  tvr_test::RemoveLink(linked);
}

}  // namespace
