// The stand-in firmware provider itself, loaded into this process the way the
// service loads it (CoCreateInstance of the WMI locator in the end-to-end
// prefix): it must answer what WMI answers for this firmware, follow WMI's
// rules for names, and refuse everything else with WMI's own errors, or the
// end-to-end test would prove nothing.
#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace {

using Microsoft::WRL::ComPtr;
using namespace tvr_standin;

struct Bstr {
  explicit Bstr(const wchar_t* text) : value(::SysAllocString(text)) {}
  ~Bstr() { ::SysFreeString(value); }
  BSTR value;
};

class FirmwareStandin : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFirmwareState({32, 0}));
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &locator_),
              S_OK);
    ASSERT_EQ(Connect(L"root\\wmi", &services_), S_OK);
  }
  void TearDown() override {
    services_.Reset();
    locator_.Reset();
    // Whatever this process was handed, it has given back.
    EXPECT_THAT(UnreleasedObjects(ReadJournal(), ::GetCurrentProcessId()), testing::IsEmpty());
    ::CoUninitialize();
    (void)WriteFirmwareState({});
  }
  HRESULT Connect(const wchar_t* ns, ComPtr<IWbemServices>* out) {
    Bstr name(ns);
    return locator_->ConnectServer(name.value, nullptr, nullptr, nullptr, 0, nullptr, nullptr, out->GetAddressOf());
  }
  HRESULT Query(const wchar_t* language, const wchar_t* query, LONG flags, ComPtr<IEnumWbemClassObject>* out) {
    Bstr l(language), q(query);
    return services_->ExecQuery(l.value, q.value, flags, nullptr, out->GetAddressOf());
  }
  HRESULT Notify(const wchar_t* query, IWbemObjectSink* sink) {
    Bstr l(L"WQL"), q(query);
    return services_->ExecNotificationQueryAsync(l.value, q.value, WBEM_FLAG_SEND_STATUS, nullptr, sink);
  }

  ComPtr<IWbemLocator> locator_;
  ComPtr<IWbemServices> services_;
};

TEST_F(FirmwareStandin, AnswersOnlyTheFirmwareNamespaceInAnyLetterCase) {
  for (const wchar_t* ns : {L"root\\wmi", L"ROOT\\WMI", L"\\\\.\\root\\wmi", L"root/wmi"}) {
    ComPtr<IWbemServices> services;
    EXPECT_EQ(Connect(ns, &services), S_OK) << std::string(ns, ns + wcslen(ns));
  }
  ComPtr<IWbemServices> other;
  EXPECT_EQ(Connect(L"root\\cimv2", &other), static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE));
  EXPECT_EQ(other, nullptr);
}

TEST_F(FirmwareStandin, QueriesFollowWqlAndReportAnUnknownClassAsWmiDoes) {
  ComPtr<IEnumWbemClassObject> instances;
  ASSERT_EQ(Query(L"wql", L"SELECT  *  FROM  ruxeaction", 0x30, &instances), S_OK);
  ComPtr<IWbemClassObject> instance;
  ULONG returned = 0;
  ASSERT_EQ(instances->Next(static_cast<LONG>(WBEM_INFINITE), 1, &instance, &returned), S_OK);
  VARIANT name;
  ::VariantInit(&name);
  ASSERT_EQ(instance->Get(L"instancename", 0, &name, nullptr, nullptr), S_OK);
  EXPECT_EQ(V_VT(&name), VT_BSTR);
  EXPECT_STREQ(V_BSTR(&name), L"ACPI\\PNP0C14\\0_0");
  ::VariantClear(&name);
  ComPtr<IWbemClassObject> none;
  EXPECT_EQ(instances->Next(static_cast<LONG>(WBEM_INFINITE), 1, &none, &returned), static_cast<HRESULT>(WBEM_S_FALSE));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(instance->Get(L"NoSuchProperty", 0, &name, nullptr, nullptr), static_cast<HRESULT>(WBEM_E_NOT_FOUND));

  // Semi-synchronous: the call succeeds and the enumerator reports the class.
  ComPtr<IEnumWbemClassObject> unknown;
  ASSERT_EQ(Query(L"WQL", L"select * from RuxeActiom", 0x30, &unknown), S_OK);
  EXPECT_EQ(unknown->Next(static_cast<LONG>(WBEM_INFINITE), 1, &none, &returned),
            static_cast<HRESULT>(WBEM_E_INVALID_CLASS));
  ComPtr<IEnumWbemClassObject> refused;
  EXPECT_EQ(Query(L"WQL", L"select * from RuxeActiom", 0, &refused), static_cast<HRESULT>(WBEM_E_INVALID_CLASS));
  EXPECT_EQ(Query(L"SQL", L"select * from RuxeAction", 0x30, &refused), static_cast<HRESULT>(WBEM_E_INVALID_QUERY_TYPE));
  EXPECT_EQ(Query(L"WQL", L"select InstanceName from RuxeAction", 0x30, &refused),
            static_cast<HRESULT>(WBEM_E_INVALID_QUERY));
}

struct MethodCase {
  const char* name;
  const wchar_t* path;
  const wchar_t* method;
  const wchar_t* parameter;
  HRESULT expected;
};

TEST_F(FirmwareStandin, GetFunctionAnswersOnlyItsOwnPathMethodAndParameter) {
  ComPtr<IWbemClassObject> actionClass;
  Bstr className(L"RUXEACTION");
  ASSERT_EQ(services_->GetObject(className.value, 0, nullptr, &actionClass, nullptr), S_OK);
  ComPtr<IWbemClassObject> in;
  EXPECT_EQ(actionClass->GetMethod(L"GetFunctiom", 0, &in, nullptr), static_cast<HRESULT>(WBEM_E_NOT_FOUND));
  Bstr wrongClass(L"RuxeActiom");
  ComPtr<IWbemClassObject> missing;
  EXPECT_EQ(services_->GetObject(wrongClass.value, 0, nullptr, &missing, nullptr),
            static_cast<HRESULT>(WBEM_E_NOT_FOUND));

  const std::vector<MethodCase> cases = {
      {"the path as WMI writes it", L"RuxeAction.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"", L"GetFunction", L"uiInput",
       S_OK},
      {"names in other letter cases", L"ruxeaction.instancename=\"acpi\\\\pnp0c14\\\\0_0\"", L"getfunction",
       L"UIINPUT", S_OK},
      {"backslashes not doubled", L"RuxeAction.InstanceName=\"ACPI\\PNP0C14\\0_0\"", L"GetFunction", L"uiInput",
       static_cast<HRESULT>(WBEM_E_INVALID_OBJECT_PATH)},
      {"empty path", L"", L"GetFunction", L"uiInput", static_cast<HRESULT>(WBEM_E_INVALID_OBJECT_PATH)},
      {"another instance", L"RuxeAction.InstanceName=\"ACPI\\\\PNP0C14\\\\0_1\"", L"GetFunction", L"uiInput",
       static_cast<HRESULT>(WBEM_E_NOT_FOUND)},
      {"another class", L"RuxeActiom.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"", L"GetFunction", L"uiInput",
       static_cast<HRESULT>(WBEM_E_INVALID_CLASS)},
      {"another method", L"RuxeAction.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"", L"GetFunctiom", L"uiInput",
       static_cast<HRESULT>(WBEM_E_INVALID_METHOD)},
      {"another parameter", L"RuxeAction.InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"", L"GetFunction", L"uiImput",
       static_cast<HRESULT>(WBEM_E_INVALID_METHOD_PARAMETERS)},
  };
  for (const MethodCase& c : cases) {
    ComPtr<IWbemClassObject> params;
    ASSERT_EQ(actionClass->GetMethod(L"GetFunction", 0, &params, nullptr), S_OK);
    VARIANT five;
    ::VariantInit(&five);
    V_VT(&five) = VT_BSTR;
    V_BSTR(&five) = ::SysAllocString(L"5");
    EXPECT_EQ(params->Put(c.parameter, 0, &five, 0), S_OK) << c.name;
    ::VariantClear(&five);
    Bstr path(c.path), method(c.method);
    ComPtr<IWbemClassObject> out;
    EXPECT_EQ(services_->ExecMethod(path.value, method.value, 0, nullptr, params.Get(), &out, nullptr), c.expected)
        << c.name;
    if (c.expected != S_OK) {
      EXPECT_EQ(out, nullptr) << c.name;
      continue;
    }
    VARIANT answer;
    ::VariantInit(&answer);
    ASSERT_EQ(out->Get(L"uiOutput", 0, &answer, nullptr, nullptr), S_OK) << c.name;
    // A uint64 comes as its decimal text: floating (32) in byte 4, status 0.
    EXPECT_EQ(V_VT(&answer), VT_BSTR) << c.name;
    EXPECT_STREQ(V_BSTR(&answer), std::to_wstring(32ULL << 32).c_str()) << c.name;
    ::VariantClear(&answer);
  }
}

// A sink that records what the provider's delivery thread hands it.
class RecordingSink final : public IWbemObjectSink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemObjectSink)) {
      *out = static_cast<IWbemObjectSink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override {
    thread = ::GetCurrentThreadId();
    for (LONG i = 0; i < count; ++i) {
      VARIANT detail;
      ::VariantInit(&detail);
      if (objects[i]->Get(L"EventDetail", 0, &detail, nullptr, nullptr) == S_OK &&
          V_VT(&detail) == (VT_ARRAY | VT_UI1)) {
        BYTE* data = nullptr;
        ::SafeArrayAccessData(V_ARRAY(&detail), reinterpret_cast<void**>(&data));
        bytes.assign(data, data + V_ARRAY(&detail)->rgsabound[0].cElements);
        ::SafeArrayUnaccessData(V_ARRAY(&detail));
      }
      ::VariantClear(&detail);
    }
    indicated += count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR, IWbemClassObject*) override {
    statusFlags = flags;
    status = result;
    return S_OK;
  }
  std::atomic<ULONG> refs{1};
  std::atomic<LONG> indicated{0};
  DWORD thread = 0;
  std::vector<BYTE> bytes;
  LONG statusFlags = -1;
  HRESULT status = S_OK;
};

TEST_F(FirmwareStandin, EventsGoToTheSubscriberOnAThreadOfTheProvidersOwnUntilCancelled) {
  RecordingSink sink;
  EXPECT_EQ(Notify(L"SELECT * FROM RuxeEvemt", &sink), static_cast<HRESULT>(WBEM_E_INVALID_CLASS));
  EXPECT_EQ(Notify(L"SELECT * FROM RuxeAction", &sink), static_cast<HRESULT>(WBEM_E_NOT_EVENT_CLASS));
  ASSERT_EQ(Notify(L"select * from ruxeevent", &sink), S_OK);

  const std::vector<BYTE> detail = UsageModeEventDetail(257);
  ASSERT_EQ(RaiseFirmwareEvent(::GetCurrentProcessId(), detail, 2), 1);
  EXPECT_EQ(sink.indicated.load(), 2);
  EXPECT_EQ(sink.bytes, detail);
  EXPECT_NE(sink.thread, ::GetCurrentThreadId());

  ASSERT_EQ(services_->CancelAsyncCall(&sink), S_OK);
  EXPECT_EQ(sink.statusFlags, static_cast<LONG>(WBEM_STATUS_COMPLETE));
  EXPECT_EQ(sink.status, static_cast<HRESULT>(WBEM_E_CALL_CANCELLED));
  EXPECT_EQ(sink.refs.load(), 1u) << "the provider kept a reference to a cancelled sink";
  EXPECT_EQ(RaiseFirmwareEvent(::GetCurrentProcessId(), detail), 0);
  EXPECT_EQ(services_->CancelAsyncCall(&sink), static_cast<HRESULT>(WBEM_E_NOT_FOUND));
  EXPECT_EQ(services_->CancelAsyncCall(nullptr), static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER));
}

}  // namespace
