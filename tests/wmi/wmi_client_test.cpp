#include "wmi/wmi_client.h"

#include "common/failing_new.h"
#include "common/fake_wmi.h"
#include "wmi/wmi_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

using tvr_test::FakeFirmware;
using tvr_test::FakeInstance;
using tvr_test::FakeVariant;
using tvr_test::WmiStep;

namespace {

// WMI's status codes are enumerators of an unsigned type.
constexpr HRESULT Hr(WBEMSTATUS status) { return static_cast<HRESULT>(status); }

constexpr HRESULT kNotConnected = HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED);
constexpr HRESULT kPathTooLong = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr ULONGLONG kUntouched = 0xDEADBEEFCAFEF00DULL;

// Runs `body` on a thread of its own, so that each case starts without COM.
template <class F>
void OnFreshThread(F body) {
  std::thread worker(body);
  worker.join();
}

// The lookup writes into a buffer followed by a guard that must survive.
struct GuardedPath {
  wchar_t path[kInstancePathCapacity];
  wchar_t guard[8];
};

struct PathCase {
  const char* label;
  std::vector<FakeInstance> instances;
  std::wstring expectedPath;
  HRESULT expectedResult;
};

std::wstring Quoted(const std::wstring& value) { return L"RuxeAction.InstanceName=\"" + value + L"\""; }

TEST(WmiInstancePath, FirstNamedInstanceGivesTheEscapedPath) {
  const std::wstring fits(233, L'n');       // 26 format characters + 233 + terminator = 260
  const std::wstring tooLong(234, L'n');
  const std::wstring slashesFit(116, L'\\');  // doubled: 232
  const std::wstring slashesTooLong(117, L'\\');
  const PathCase cases[] = {
      {"backslash doubled", {FakeVariant::Text(L"A\\B")}, Quoted(L"A\\\\B"), S_OK},
      {"firmware-style name", {FakeVariant::Text(L"ACPI\\PNP0C14\\0_0")}, Quoted(L"ACPI\\\\PNP0C14\\\\0_0"), S_OK},
      {"null name skipped", {FakeVariant::Null(), FakeVariant::Text(L"Second")}, Quoted(L"Second"), S_OK},
      {"empty variant skipped", {FakeVariant(), FakeVariant::Text(L"X")}, Quoted(L"X"), S_OK},
      {"non-string skipped", {FakeVariant::I4(7), FakeVariant::Text(L"Y")}, Quoted(L"Y"), S_OK},
      {"string array skipped", {FakeVariant::Texts({L"a"}), FakeVariant::Text(L"Y")}, Quoted(L"Y"), S_OK},
      {"missing property skipped", {FakeVariant::Missing(), FakeVariant::Text(L"W")}, Quoted(L"W"), S_OK},
      {"failed Get skipped",
       {FakeInstance(FakeVariant::Text(L"bad"), Hr(WBEM_E_ACCESS_DENIED)), FakeVariant::Text(L"Z")}, Quoted(L"Z"), S_OK},
      {"empty name taken", {FakeVariant::Text(L""), FakeVariant::Text(L"later")}, Quoted(L""), S_OK},
      {"only the first named one", {FakeVariant::Text(L"First"), FakeVariant::Text(L"Second")}, Quoted(L"First"),
       S_OK},
      {"no instances", {}, L"", S_OK},
      {"no named instance", {FakeVariant::Null(), FakeVariant::I4(1)}, L"", S_OK},
      {"name fills the buffer exactly", {FakeVariant::Text(fits.c_str())}, Quoted(fits), S_OK},
      {"name one too long", {FakeVariant::Text(tooLong.c_str())}, L"", kPathTooLong},
      {"300 characters", {FakeVariant::Text(std::wstring(300, L'n').c_str())}, L"", kPathTooLong},
      {"backslashes fit after doubling", {FakeVariant::Text(slashesFit.c_str())},
       Quoted(std::wstring(232, L'\\')), S_OK},
      {"backslashes too long after doubling", {FakeVariant::Text(slashesTooLong.c_str())}, L"", kPathTooLong},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.label);
    FakeFirmware firmware;
    firmware.SetInstances(c.instances);
    OnFreshThread([&] {
      CWMIClient client(nullptr);
      GuardedPath buffer;
      wmemset(buffer.path, 0, kInstancePathCapacity);
      wmemset(buffer.guard, L'G', 8);
      EXPECT_EQ(c.expectedResult, client.GetActionInstancePath(buffer.path));
      EXPECT_EQ(c.expectedPath, std::wstring(buffer.path));
      EXPECT_EQ(std::wstring(8, L'G'), std::wstring(buffer.guard, 8));
    });
    EXPECT_EQ(0, firmware.LiveObjects());
  }
}

TEST(WmiInstancePath, StopsAtTheFirstNamedInstance) {
  FakeFirmware firmware;
  firmware.SetInstances({FakeVariant::Null(), FakeVariant::Text(L"First"), FakeVariant::Text(L"Second")});
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    wchar_t path[kInstancePathCapacity] = {};
    EXPECT_EQ(S_OK, client.GetActionInstancePath(path));
  });
  EXPECT_EQ(2, firmware.Calls(WmiStep::Next));
  EXPECT_EQ(2, firmware.Calls(WmiStep::GetInstanceName));
  EXPECT_EQ(0, firmware.LiveObjects());
}

TEST(WmiInstancePath, TooLongANameMakesTheQueryFailQuietly) {
  FakeFirmware firmware;
  firmware.SetInstances({FakeVariant::Text(std::wstring(300, L'x').c_str())});
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    ULONGLONG usage = kUntouched;
    EXPECT_EQ(kPathTooLong, client.QueryUsageMode(usage));
    EXPECT_EQ(kUntouched, usage);
  });
  EXPECT_EQ(0, firmware.Calls(WmiStep::GetObject));
  EXPECT_EQ(0, firmware.Calls(WmiStep::ExecMethod));
  EXPECT_EQ(0, firmware.LiveObjects());
}

// The backslash doubling of the instance name needs memory; when there is
// none the query fails like any other step instead of ending the process.
TEST(WmiInstancePath, OutOfMemoryWhileEscapingTheNameFailsTheQueryQuietly) {
  FakeFirmware firmware;
  firmware.SetInstances({FakeVariant::Text(L"ACPI\\PNP0C14\\0_0")});
  firmware.RefuseAllocationsAfterInstanceName(true);
  HRESULT result = S_OK;
  long refused = 0;
  ULONGLONG usage = kUntouched;
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    result = client.QueryUsageMode(usage);
    refused = tvr_test::RefusedAllocations();
    tvr_test::DisarmFailingAllocations();
  });
  EXPECT_GT(refused, 0) << "the name was escaped without an allocation: the test proved nothing";
  EXPECT_EQ(E_OUTOFMEMORY, result);
  EXPECT_EQ(kUntouched, usage);
  EXPECT_EQ(0, firmware.Calls(WmiStep::ExecMethod));
  EXPECT_EQ(0, firmware.LiveObjects());
}

struct OutputCase {
  const char* label;
  FakeVariant uiOutput;
  ULONGLONG expected;
};

TEST(WmiUsageQuery, UiOutputConvertsToTheUsageData) {
  const OutputCase cases[] = {
      {"laptop as text", FakeVariant::Text(L"4294967296"), 0x1'0000'0000ULL},
      {"laptop as number", FakeVariant::UI8(0x1'0000'0000ULL), 0x1'0000'0000ULL},
      {"floating as text", FakeVariant::Text(L"137438953472"), 0x20'0000'0000ULL},
      {"floating as number", FakeVariant::UI8(0x20'0000'0000ULL), 0x20'0000'0000ULL},
      {"status 1 as text", FakeVariant::Text(L"4294967297"), 0x1'0000'0001ULL},
      {"largest as text", FakeVariant::Text(L"18446744073709551615"), 0xFFFFFFFFFFFFFFFFULL},
      {"small signed number", FakeVariant::I4(5), 5},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.label);
    FakeFirmware firmware;
    firmware.SetUiOutput(c.uiOutput);
    OnFreshThread([&] {
      CWMIClient client(nullptr);
      ULONGLONG usage = kUntouched;
      EXPECT_EQ(S_OK, client.QueryUsageMode(usage));
      EXPECT_EQ(c.expected, usage);
    });
    EXPECT_EQ(0, firmware.LiveObjects());
  }
}

// The status byte reaches the caller whole, high bits included.
TEST(WmiUsageQuery, SetUsageScriptsCodeAndStatusBytes) {
  const struct {
    unsigned code;
    unsigned status;
  } cases[] = {{32, 1}, {1, 0x10}, {32, 0x80}, {2, 0xF0}, {1, 0xFF}, {1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "code=" << c.code << " status=0x" << std::hex << c.status);
    FakeFirmware firmware;
    firmware.SetUsage(c.code, c.status);
    OnFreshThread([&] {
      CWMIClient client(nullptr);
      ULONGLONG usage = 0;
      ASSERT_EQ(S_OK, client.QueryUsageMode(usage));
      EXPECT_EQ(c.status, usage & 0xFF);
      EXPECT_EQ(c.code, (usage >> 32) & 0xFF);
    });
  }
}

TEST(WmiUsageQuery, UnconvertibleUiOutputReturnsTheConversionFailure) {
  const FakeVariant cases[] = {FakeVariant::Text(L"laptop"), FakeVariant::Text(L"-1"), FakeVariant::Null(),
                               FakeVariant::Texts({L"1"}), FakeVariant::Bytes({1, 2})};
  for (const FakeVariant& value : cases) {
    SCOPED_TRACE(V_VT(&value.get()));
    // What the conversion itself says about this value.
    VARIANT probe;
    VariantInit(&probe);
    ASSERT_EQ(S_OK, VariantCopy(&probe, const_cast<VARIANT*>(&value.get())));
    const HRESULT conversion = VariantChangeType(&probe, &probe, 0, VT_UI8);
    VariantClear(&probe);
    ASSERT_TRUE(FAILED(conversion));

    FakeFirmware firmware;
    firmware.SetUiOutput(value);
    OnFreshThread([&] {
      CWMIClient client(nullptr);
      ULONGLONG usage = kUntouched;
      EXPECT_EQ(conversion, client.QueryUsageMode(usage));
      EXPECT_EQ(kUntouched, usage);
    });
    EXPECT_EQ(0, firmware.LiveObjects());
  }
}

struct FailureCase {
  const char* label;
  WmiStep step;
  HRESULT scripted;
  HRESULT expected;
  WmiStep notReached;  // a later step that must not run
};

TEST(WmiUsageQuery, EachFailingStepReturnsItsResultAndLeaksNothing) {
  const FailureCase cases[] = {
      {"locator", WmiStep::CreateLocator, REGDB_E_CLASSNOTREG, kNotConnected, WmiStep::ExecQuery},
      {"connect", WmiStep::ConnectServer, Hr(WBEM_E_INVALID_NAMESPACE), kNotConnected, WmiStep::ExecQuery},
      {"query", WmiStep::ExecQuery, Hr(WBEM_E_INVALID_QUERY), Hr(WBEM_E_INVALID_QUERY), WmiStep::GetObject},
      // No instance read: the method runs on the empty path and WMI refuses it.
      {"enumeration", WmiStep::Next, Hr(WBEM_E_TIMED_OUT), Hr(WBEM_E_INVALID_OBJECT_PATH), WmiStep::GetOutput},
      {"class", WmiStep::GetObject, Hr(WBEM_E_NOT_FOUND), Hr(WBEM_E_NOT_FOUND), WmiStep::GetMethod},
      {"method", WmiStep::GetMethod, Hr(WBEM_E_METHOD_NOT_IMPLEMENTED), Hr(WBEM_E_METHOD_NOT_IMPLEMENTED), WmiStep::Put},
      {"input", WmiStep::Put, Hr(WBEM_E_TYPE_MISMATCH), Hr(WBEM_E_TYPE_MISMATCH), WmiStep::ExecMethod},
      {"call", WmiStep::ExecMethod, Hr(WBEM_E_FAILED), Hr(WBEM_E_FAILED), WmiStep::GetOutput},
      {"call says S_FALSE", WmiStep::ExecMethod, S_FALSE, S_FALSE, WmiStep::GetOutput},
      {"output", WmiStep::GetOutput, Hr(WBEM_E_NOT_FOUND), Hr(WBEM_E_NOT_FOUND), WmiStep::kCount},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.label);
    FakeFirmware firmware;
    firmware.FailStep(c.step, c.scripted);
    OnFreshThread([&] {
      CWMIClient client(nullptr);
      ULONGLONG usage = kUntouched;
      EXPECT_EQ(c.expected, client.QueryUsageMode(usage));
      EXPECT_EQ(kUntouched, usage);
    });
    EXPECT_EQ(1, firmware.Calls(c.step));
    if (c.notReached != WmiStep::kCount) {
      EXPECT_EQ(0, firmware.Calls(c.notReached));
    }
    EXPECT_EQ(0, firmware.LiveObjects());
  }
}

TEST(WmiUsageQuery, NoInstancesRunsTheMethodOnTheEmptyPathAndReturnsItsFailure) {
  FakeFirmware firmware;
  firmware.SetInstances({});
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    ULONGLONG usage = kUntouched;
    EXPECT_EQ(Hr(WBEM_E_INVALID_OBJECT_PATH), client.QueryUsageMode(usage));
    EXPECT_EQ(kUntouched, usage);
  });
  EXPECT_EQ(1, firmware.Calls(WmiStep::ExecMethod));
  EXPECT_EQ(L"", firmware.Record().execPath);
  EXPECT_EQ(0, firmware.LiveObjects());
}

TEST(WmiUsageQuery, PassesTheExpectedArgumentsToEveryCall) {
  FakeFirmware firmware;
  firmware.SetInstances({FakeVariant::Text(L"A\\B")});
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    ULONGLONG usage = 0;
    EXPECT_EQ(S_OK, client.QueryUsageMode(usage));
  });
  const tvr_test::FakeWmiRecord r = firmware.Record();
  EXPECT_EQ(static_cast<DWORD>(CLSCTX_INPROC_SERVER), r.locatorContext);
  EXPECT_TRUE(IsEqualIID(IID_IWbemLocator, r.locatorIid));
  EXPECT_EQ(L"root\\wmi", r.connectNamespace);
  EXPECT_TRUE(r.connectOthersNull);
  EXPECT_EQ(0, r.connectSecurityFlags);
  EXPECT_EQ(1, firmware.Calls(WmiStep::SetBlanket));
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_WINNT), r.blanketAuthn);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHZ_NONE), r.blanketAuthz);
  EXPECT_TRUE(r.blanketPrincipalNull);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_LEVEL_CALL), r.blanketLevel);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE), r.blanketImpersonation);
  EXPECT_TRUE(r.blanketIdentityNull);
  EXPECT_EQ(static_cast<DWORD>(EOAC_NONE), r.blanketCaps);
  EXPECT_EQ(L"WQL", r.queryLanguage);
  EXPECT_EQ(L"select * from RuxeAction", r.query);
  EXPECT_EQ(0x30, r.queryFlags);
  EXPECT_TRUE(r.queryContextNull);
  EXPECT_EQ(static_cast<LONG>(WBEM_INFINITE), r.nextTimeout);
  EXPECT_EQ(1u, r.nextCount);
  EXPECT_EQ(0, r.getFlags);
  EXPECT_FALSE(r.getAskedTypeOrFlavor);
  EXPECT_EQ(L"RuxeAction", r.getObjectPath);
  EXPECT_EQ(0, r.getObjectFlags);
  EXPECT_TRUE(r.getObjectExtrasNull);
  EXPECT_EQ(L"GetFunction", r.getMethodName);
  EXPECT_EQ(0, r.getMethodFlags);
  EXPECT_FALSE(r.getMethodAskedOutSignature);
  EXPECT_EQ(L"uiInput", r.putName);
  EXPECT_EQ(0, r.putFlags);
  EXPECT_EQ(0, r.putType);
  ASSERT_EQ(VT_BSTR, V_VT(&r.putValue.get()));
  EXPECT_STREQ(L"5", V_BSTR(&r.putValue.get()));
  EXPECT_EQ(L"RuxeAction.InstanceName=\"A\\\\B\"", r.execPath);
  EXPECT_EQ(L"GetFunction", r.execMethod);
  EXPECT_EQ(0, r.execFlags);
  EXPECT_TRUE(r.execContextNull);
  EXPECT_FALSE(r.execAskedCallResult);
  EXPECT_TRUE(r.execInParamsFromGetMethod);
  // Teardown cancels whatever subscription there is (none here) once.
  EXPECT_EQ(1, firmware.Calls(WmiStep::CancelAsyncCall));
  EXPECT_EQ(0, firmware.LiveObjects());
}

// ---------------------------------------------------------------------------
// COM initialisation is balanced on the client's own thread.

std::atomic<int> g_uninitializeCalls{0};
HRESULT g_scriptedInit = S_OK;

void WINAPI CountingUninitialize() {
  ++g_uninitializeCalls;
  ::CoUninitialize();
}
HRESULT WINAPI FailingInitialize(LPVOID, DWORD) { return g_scriptedInit; }

class ScopedComCalls {
 public:
  explicit ScopedComCalls(bool failInit = false) : saved_(WmiPlatform()) {
    g_uninitializeCalls = 0;
    WmiPlatform().coUninitialize = CountingUninitialize;
    if (failInit) WmiPlatform().coInitializeEx = FailingInitialize;
  }
  ~ScopedComCalls() { WmiPlatform() = saved_; }

 private:
  WmiPlatformCalls saved_;
};

struct ApartmentCase {
  const char* label;
  DWORD existing;        // COINIT_* the thread already holds, or ~0u for none
  int uninitializeCalls;  // made by the client's teardown
  bool singleThreadedAfter;  // the apartment the thread is still in after teardown
};

TEST(WmiComApartment, TeardownBalancesTheClientsOwnInitialisation) {
  const ApartmentCase cases[] = {
      {"thread already STA: borrowed, not ended", COINIT_APARTMENTTHREADED, 0, true},
      {"thread already MTA: one uninitialise", COINIT_MULTITHREADED, 1, false},
  };
  for (const ApartmentCase& c : cases) {
    SCOPED_TRACE(c.label);
    FakeFirmware firmware;
    ScopedComCalls calls;
    OnFreshThread([&] {
      ASSERT_EQ(S_OK, CoInitializeEx(nullptr, c.existing));
      {
        CWMIClient client(nullptr);
        ULONGLONG usage = 0;
        EXPECT_EQ(S_OK, client.QueryUsageMode(usage));  // the client works in the borrowed apartment
      }
      EXPECT_EQ(c.uninitializeCalls, g_uninitializeCalls.load());
      APTTYPE type = APTTYPE_CURRENT;
      APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
      // Still initialised: a surplus CoUninitialize would have ended the apartment.
      ASSERT_EQ(S_OK, CoGetApartmentType(&type, &qualifier));
      if (c.singleThreadedAfter) {
        EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << type;
      } else {
        EXPECT_EQ(APTTYPE_MTA, type);
      }
      CoUninitialize();
    });
    EXPECT_EQ(0, firmware.LiveObjects());
  }
}

TEST(WmiComApartment, ClientOnAThreadWithoutComInitialisesAndEndsItOnce) {
  FakeFirmware firmware;
  ScopedComCalls calls;
  OnFreshThread([&] {
    {
      CWMIClient client(nullptr);
      APTTYPE type = APTTYPE_CURRENT;
      APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
      EXPECT_EQ(S_OK, CoGetApartmentType(&type, &qualifier));
      EXPECT_EQ(APTTYPE_MTA, type);
    }
    EXPECT_EQ(1, g_uninitializeCalls.load());
    // The thread is out of COM again: a fresh initialisation is the first one.
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    CoUninitialize();
  });
}

TEST(WmiComApartment, FailedInitialisationIsOwedNoUninitialise) {
  for (const HRESULT failure : {E_OUTOFMEMORY, RPC_E_CHANGED_MODE}) {
    SCOPED_TRACE(failure);
    g_scriptedInit = failure;
    FakeFirmware firmware;
    ScopedComCalls calls(/*failInit=*/true);
    OnFreshThread([&] { CWMIClient client(nullptr); });
    EXPECT_EQ(0, g_uninitializeCalls.load());
  }
}

// ---------------------------------------------------------------------------
// Wine's own root\wmi has no firmware classes: the query fails and nothing else.

TEST(WmiRealNamespace, QueryAgainstWinesRootWmiFailsQuietly) {
  OnFreshThread([] {
    CWMIClient client(nullptr);
    ULONGLONG usage = kUntouched;
    const HRESULT hr = client.QueryUsageMode(usage);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(kUntouched, usage);
  });
}

}  // namespace
