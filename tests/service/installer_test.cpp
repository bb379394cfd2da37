// The installer against a stand-in for the service control manager: the
// rights it asks for, every refusal with its exact message, and the stop wait
// with one dot per second spent stopping. Wine enforces no access masks and
// refuses none of these calls at will, so these paths are seen only here; the
// executable tests run the same routines against Wine's real manager.
#include "service/installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/stdout_capture.h"
#include "service/installer_platform.h"

namespace {

using tvr_test::StdoutCapture;

// The scripted manager. One instance at a time; it puts itself into the seam
// and restores the previous table when it goes.
class FakeInstallerScm {
 public:
  FakeInstallerScm() : saved_(InstallerPlatform()) {
    active_ = this;
    InstallerPlatformCalls& os = InstallerPlatform();
    os.openSCManagerW = &OpenScm;
    os.createServiceW = &Create;
    os.openServiceW = &Open;
    os.controlService = &Control;
    os.queryServiceStatus = &Query;
    os.deleteService = &Delete;
    os.closeServiceHandle = &Close;
    os.sleep = &Nap;
  }
  ~FakeInstallerScm() {
    InstallerPlatform() = saved_;
    active_ = nullptr;
  }
  FakeInstallerScm(const FakeInstallerScm&) = delete;
  FakeInstallerScm& operator=(const FakeInstallerScm&) = delete;

  // Script: 0 lets the call succeed, anything else is its last error.
  DWORD openScmError = 0, createError = 0, openServiceError = 0, controlError = 0, deleteError = 0;
  // Polls that still find the service stopping, then the state it ends in;
  // a non-zero queryError makes the poll after those fail instead.
  int pollsStopping = 0;
  DWORD finalState = SERVICE_STOPPED;
  DWORD queryError = 0;

  // Observation.
  std::vector<DWORD> scmAccess;  // per OpenSCManager
  DWORD serviceAccess = 0;       // OpenService
  std::wstring openedName;
  DWORD createAccess = 0, createType = 0, createStart = 0, createErrorControl = 0;
  std::wstring createName, createDisplay, createPath;
  bool createDependenciesEmpty = false, createAccountNull = false;
  std::vector<std::string> calls;  // in order, with the handle closed last
  std::vector<DWORD> sleeps;

 private:
  static inline FakeInstallerScm* active_ = nullptr;
  static inline const SC_HANDLE kScm = reinterpret_cast<SC_HANDLE>(0x5c01);
  static inline const SC_HANDLE kService = reinterpret_cast<SC_HANDLE>(0x5c02);

  static BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
  }
  static SC_HANDLE WINAPI OpenScm(LPCWSTR machine, LPCWSTR database, DWORD access) {
    FakeInstallerScm& f = *active_;
    f.calls.push_back("OpenSCManager");
    f.scmAccess.push_back(access);
    if (machine != nullptr || database != nullptr) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    if (f.openScmError != 0) return Fail(f.openScmError), nullptr;
    return kScm;
  }
  static SC_HANDLE WINAPI Create(SC_HANDLE scm, LPCWSTR name, LPCWSTR display, DWORD access, DWORD type,
                                 DWORD start, DWORD errorControl, LPCWSTR path, LPCWSTR group, LPDWORD tag,
                                 LPCWSTR dependencies, LPCWSTR account, LPCWSTR password) {
    FakeInstallerScm& f = *active_;
    f.calls.push_back("CreateService");
    if (scm != kScm) return Fail(ERROR_INVALID_HANDLE), nullptr;
    f.createName = name ? name : L"";
    f.createDisplay = display ? display : L"";
    f.createAccess = access;
    f.createType = type;
    f.createStart = start;
    f.createErrorControl = errorControl;
    f.createPath = path ? path : L"";
    f.createDependenciesEmpty = dependencies != nullptr && dependencies[0] == L'\0';
    f.createAccountNull = account == nullptr && password == nullptr && group == nullptr && tag == nullptr;
    if (f.createError != 0) return Fail(f.createError), nullptr;
    return kService;
  }
  static SC_HANDLE WINAPI Open(SC_HANDLE scm, LPCWSTR name, DWORD access) {
    FakeInstallerScm& f = *active_;
    f.calls.push_back("OpenService");
    if (scm != kScm) return Fail(ERROR_INVALID_HANDLE), nullptr;
    f.openedName = name ? name : L"";
    f.serviceAccess = access;
    if (f.openServiceError != 0) return Fail(f.openServiceError), nullptr;
    return kService;
  }
  static BOOL WINAPI Control(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    FakeInstallerScm& f = *active_;
    f.calls.push_back("ControlService");
    if (service != kService || control != SERVICE_CONTROL_STOP || status == nullptr) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if (f.controlError != 0) return Fail(f.controlError);
    *status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 1, 0};
    return TRUE;
  }
  static BOOL WINAPI Query(SC_HANDLE service, LPSERVICE_STATUS status) {
    FakeInstallerScm& f = *active_;
    f.calls.push_back("QueryServiceStatus");
    if (service != kService || status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (f.pollsStopping > 0) {
      --f.pollsStopping;
      status->dwCurrentState = SERVICE_STOP_PENDING;
      return TRUE;
    }
    if (f.queryError != 0) return Fail(f.queryError);
    status->dwCurrentState = f.finalState;
    return TRUE;
  }
  static BOOL WINAPI Delete(SC_HANDLE service) {
    FakeInstallerScm& f = *active_;
    f.calls.push_back("DeleteService");
    if (service != kService) return Fail(ERROR_INVALID_HANDLE);
    if (f.deleteError != 0) return Fail(f.deleteError);
    return TRUE;
  }
  static BOOL WINAPI Close(SC_HANDLE handle) {
    FakeInstallerScm& f = *active_;
    if (handle == kScm) {
      f.calls.push_back("close SCM");
    } else if (handle == kService) {
      f.calls.push_back("close service");
    } else {
      f.calls.push_back("close unknown");
      return Fail(ERROR_INVALID_HANDLE);
    }
    // A close must not disturb the last error the caller is about to print.
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  static VOID WINAPI Nap(DWORD milliseconds) {
    FakeInstallerScm& f = *active_;
    f.calls.push_back("Sleep");
    f.sleeps.push_back(milliseconds);
  }

  InstallerPlatformCalls saved_;
};

// Standard output is in text mode: line ends reach the file as CR LF.
std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

std::string Remove() {
  StdoutCapture capture;
  RemoveSelf();
  return WithoutCarriageReturns(capture.Finish());
}

std::string Install(const wchar_t* path) {
  StdoutCapture capture;
  InstallSelf(path);
  return WithoutCarriageReturns(capture.Finish());
}

TEST(InstallerSeam, InstallAsksForConnectAndCreateAndRegistersTheEntry) {
  FakeInstallerScm scm;
  EXPECT_EQ(Install(L"C:\\Program Files\\OEM\\TVRSvc.exe"), "TVRSvc is installed.\n");
  EXPECT_THAT(scm.scmAccess, testing::ElementsAre(static_cast<DWORD>(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE)));
  EXPECT_EQ(scm.createName, L"TVRSvc");
  EXPECT_EQ(scm.createDisplay, L"Tavrel Service");
  EXPECT_EQ(scm.createAccess, static_cast<DWORD>(SERVICE_CHANGE_CONFIG));
  EXPECT_EQ(scm.createType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(scm.createStart, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(scm.createErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(scm.createPath, L"\"C:\\Program Files\\OEM\\TVRSvc.exe\"");
  EXPECT_TRUE(scm.createDependenciesEmpty);
  EXPECT_TRUE(scm.createAccountNull);
  EXPECT_THAT(scm.calls, testing::ElementsAre("OpenSCManager", "CreateService", "close service", "close SCM"));
}

TEST(InstallerSeam, RemoveAsksForConnectAndForDeleteStopAndQueryStatus) {
  FakeInstallerScm scm;
  scm.controlError = ERROR_SERVICE_NOT_ACTIVE;
  EXPECT_EQ(Remove(), "TVRSvc is removed.\n");
  EXPECT_THAT(scm.scmAccess, testing::ElementsAre(static_cast<DWORD>(SC_MANAGER_CONNECT)));
  EXPECT_EQ(scm.serviceAccess, static_cast<DWORD>(DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  EXPECT_EQ(scm.openedName, L"TVRSvc");
  EXPECT_THAT(scm.calls, testing::ElementsAre("OpenSCManager", "OpenService", "ControlService", "DeleteService",
                                              "close SCM", "close service"));
}

// Every refusal, with the message it prints and the calls that still follow.
struct RefusalCase {
  const char* name;
  bool install;
  DWORD FakeInstallerScm::*step;
  DWORD error;
  std::string output;
  std::vector<std::string> calls;
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class InstallerRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(InstallerRefusals, PrintTheFailedCallWithItsCodeAndCloseWhatWasOpened) {
  const RefusalCase& c = GetParam();
  FakeInstallerScm scm;
  scm.*c.step = c.error;
  const std::string output = c.install ? Install(L"C:\\TVRSvc.exe") : Remove();
  EXPECT_EQ(output, c.output);
  EXPECT_EQ(scm.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Installer, InstallerRefusals,
    ::testing::Values(
        RefusalCase{"InstallWithoutTheManager", true, &FakeInstallerScm::openScmError, ERROR_ACCESS_DENIED,
                    "OpenSCManager failed w/err 0x00000005\n", {"OpenSCManager"}},
        RefusalCase{"InstallRefused", true, &FakeInstallerScm::createError, ERROR_SERVICE_EXISTS,
                    "CreateService failed w/err 0x00000431\n", {"OpenSCManager", "CreateService", "close SCM"}},
        RefusalCase{"RemoveWithoutTheManager", false, &FakeInstallerScm::openScmError, ERROR_ACCESS_DENIED,
                    "OpenSCManager failed w/err 0x00000005\n", {"OpenSCManager"}},
        RefusalCase{"RemoveWithoutTheService", false, &FakeInstallerScm::openServiceError,
                    ERROR_SERVICE_DOES_NOT_EXIST, "OpenService failed w/err 0x00000424\n",
                    {"OpenSCManager", "OpenService", "close SCM"}},
        RefusalCase{"RemoveRefusedDelete", false, &FakeInstallerScm::deleteError, ERROR_ACCESS_DENIED,
                    "Stopping TVRSvc.\nTVRSvc is stopped.\nDeleteService failed w/err 0x00000005\n",
                    {"OpenSCManager", "OpenService", "ControlService", "Sleep", "QueryServiceStatus",
                     "DeleteService", "close SCM", "close service"}},
        RefusalCase{"RemoveMarkedForDeletion", false, &FakeInstallerScm::deleteError,
                    ERROR_SERVICE_MARKED_FOR_DELETE,
                    "Stopping TVRSvc.\nTVRSvc is stopped.\nDeleteService failed w/err 0x00000430\n",
                    {"OpenSCManager", "OpenService", "ControlService", "Sleep", "QueryServiceStatus",
                     "DeleteService", "close SCM", "close service"}}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// The stop wait: one second before the first poll, then one dot and one more
// second for every poll that still finds the service stopping.
struct StopWaitCase {
  int pollsStopping;
  DWORD finalState;
  DWORD queryError;
  std::string output;
};

TEST(InstallerSeam, StopWaitPrintsOneDotPerSecondStillStoppingAndHowItEnded) {
  const StopWaitCase cases[] = {
      {0, SERVICE_STOPPED, 0, "Stopping TVRSvc.\nTVRSvc is stopped.\nTVRSvc is removed.\n"},
      {1, SERVICE_STOPPED, 0, "Stopping TVRSvc..\nTVRSvc is stopped.\nTVRSvc is removed.\n"},
      {3, SERVICE_STOPPED, 0, "Stopping TVRSvc....\nTVRSvc is stopped.\nTVRSvc is removed.\n"},
      {2, SERVICE_RUNNING, 0, "Stopping TVRSvc...\nTVRSvc failed to stop.\nTVRSvc is removed.\n"},
      // The poll fails: the state last read (still stopping) decides.
      {2, SERVICE_STOPPED, ERROR_ACCESS_DENIED, "Stopping TVRSvc...\nTVRSvc failed to stop.\nTVRSvc is removed.\n"},
      // The very first poll fails: the state ControlService gave decides.
      {0, SERVICE_STOPPED, ERROR_ACCESS_DENIED, "Stopping TVRSvc.\nTVRSvc failed to stop.\nTVRSvc is removed.\n"},
  };
  for (const StopWaitCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pollsStopping << " polls stopping, then state " << c.finalState
                                    << " error " << c.queryError);
    FakeInstallerScm scm;
    scm.pollsStopping = c.pollsStopping;
    scm.finalState = c.finalState;
    scm.queryError = c.queryError;
    EXPECT_EQ(Remove(), c.output);
    EXPECT_EQ(scm.sleeps, std::vector<DWORD>(static_cast<size_t>(c.pollsStopping) + 1, 1000));
    EXPECT_EQ(scm.calls.back(), "close service");
  }
}

}  // namespace
