#pragma once
// A scripted firmware behind the WMI seam, for tests.
//
// While a FakeFirmware is alive, WmiPlatform().coCreateInstance hands out fake
// COM objects for CLSID_WbemLocator and CLSID_UnsecuredApartment (every other
// class still goes to the real CoCreateInstance); the previous entry is
// restored when the FakeFirmware is destroyed. Only one may be alive at a time.
//
// The fakes are real COM objects (IWbemLocator, IWbemServices,
// IEnumWbemClassObject, IWbemClassObject, IUnsecuredApartment and the object
// stub) with interlocked reference counts. Methods the client does not use
// return E_NOTIMPL. Every method may be called from any thread: the script,
// the counters and the record are guarded by one lock.
//
// Typical use:
//   tvr_test::FakeFirmware firmware;          // one instance, laptop, status 0
//   firmware.SetUsage(32);                    // the firmware now says floating
//   firmware.FailStep(tvr_test::WmiStep::ExecMethod, WBEM_E_FAILED);
//   ... run the code under test ...
//   EXPECT_EQ(1, firmware.Calls(tvr_test::WmiStep::ExecMethod));
//   EXPECT_EQ(0, firmware.LiveObjects());     // nothing leaked
//
// Scripted results: a failing HRESULT given to FailStep makes that call
// return it with no out-object. A success code other than S_OK (S_FALSE, say)
// is returned together with the usual out-object, so a caller that accepts
// only S_OK must still release it.

#include <windows.h>
#include <wbemidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvr_test {

// An owned VARIANT that copies by value, used to script property values.
class FakeVariant {
 public:
  FakeVariant() noexcept;  // VT_EMPTY
  ~FakeVariant();
  FakeVariant(const FakeVariant& other);
  FakeVariant& operator=(const FakeVariant& other);

  static FakeVariant Null();                       // VT_NULL
  static FakeVariant Text(const wchar_t* text);    // VT_BSTR
  static FakeVariant UI8(ULONGLONG value);         // VT_UI8
  static FakeVariant I4(LONG value);               // VT_I4
  static FakeVariant Bytes(const std::vector<BYTE>& bytes, VARTYPE element = VT_UI1);  // VT_ARRAY|element
  static FakeVariant Longs(const std::vector<LONG>& values);                          // VT_ARRAY|VT_I4
  static FakeVariant Texts(const std::vector<std::wstring>& values);                  // VT_ARRAY|VT_BSTR
  // VT_BYREF|VT_ARRAY|VT_UI1: the array stays owned by this value (and its copies).
  static FakeVariant BytesByRef(const std::vector<BYTE>& bytes);
  // A copy of any VARIANT (VT_BYREF values keep pointing at the original).
  static FakeVariant Copy(const VARIANT& value);
  // The property does not exist: Get returns WBEM_E_NOT_FOUND.
  static FakeVariant Missing();

  [[nodiscard]] const VARIANT& get() const noexcept { return var_; }
  [[nodiscard]] bool missing() const noexcept { return missing_; }

 private:
  VARIANT var_;
  bool missing_ = false;
  std::shared_ptr<SAFEARRAY*> byRefArray_;  // keeps a VT_BYREF array alive
};

// One RuxeAction instance: its "InstanceName" value and what Get of it returns.
struct FakeInstance {
  FakeInstance(FakeVariant name) : name(std::move(name)) {}  // NOLINT: implicit on purpose
  FakeInstance(FakeVariant name, HRESULT getResult) : name(std::move(name)), getResult(getResult) {}
  FakeVariant name;
  HRESULT getResult = S_OK;
};

// The steps a test can fail and count.
enum class WmiStep {
  CreateLocator,               // coCreateInstance(CLSID_WbemLocator)
  ConnectServer,
  SetBlanket,                  // CoSetProxyBlanket on the services object
  ExecQuery,
  Next,                        // IEnumWbemClassObject::Next
  GetInstanceName,             // Get("InstanceName") on an instance
  GetObject,                   // GetObject("RuxeAction")
  GetMethod,                   // GetMethod("GetFunction")
  Put,                         // Put("uiInput") on the in-parameters
  ExecMethod,                  // one per usage-mode query that got that far
  GetOutput,                   // Get("uiOutput") on the out-parameters
  CreateApartment,             // coCreateInstance(CLSID_UnsecuredApartment)
  CreateObjectStub,
  StubQueryInterface,          // the stub's QueryInterface(IID_IWbemObjectSink)
  ExecNotificationQueryAsync,
  CancelAsyncCall,
  kCount
};

// What the client passed to the fakes, last call of each kind.
struct FakeWmiRecord {
  DWORD locatorContext = 0;
  IID locatorIid = {};
  std::wstring connectNamespace;
  bool connectOthersNull = false;  // user, password, locale, authority, context
  LONG connectSecurityFlags = -1;
  DWORD blanketAuthn = 0, blanketAuthz = 0, blanketLevel = 0, blanketImpersonation = 0, blanketCaps = 0;
  bool blanketPrincipalNull = false, blanketIdentityNull = false;
  std::wstring queryLanguage, query;
  LONG queryFlags = 0;
  bool queryContextNull = false;
  LONG nextTimeout = 0;
  ULONG nextCount = 0;
  LONG getFlags = -1;                  // Get of InstanceName / uiOutput
  bool getAskedTypeOrFlavor = false;   // any Get asked for CIM type or flavour
  std::wstring getObjectPath;
  LONG getObjectFlags = -1;
  bool getObjectExtrasNull = false;    // context and call result
  std::wstring getMethodName;
  LONG getMethodFlags = -1;
  bool getMethodAskedOutSignature = false;
  std::wstring putName;
  LONG putFlags = -1;
  CIMTYPE putType = -1;
  FakeVariant putValue;
  std::wstring execPath, execMethod;
  LONG execFlags = -1;
  bool execContextNull = false, execAskedCallResult = false;
  bool execInParamsFromGetMethod = false;  // the very object GetMethod handed out
  DWORD apartmentContext = 0;
  IID apartmentIid = {};
  bool stubWrapsObjectSink = false;        // CreateObjectStub got an IWbemObjectSink
  std::wstring notifyLanguage, notifyQuery;
  LONG notifyFlags = 0;
  bool notifyContextNull = false;
  bool notifySinkIsStub = false;           // the handler is the stub, not the sink itself
  bool cancelMatchedSubscription = false;  // CancelAsyncCall got the subscribed handler
};

class FakeFirmware {
 public:
  // Installs the fake; default script: one instance "ACPI\PNP0C14\0_0",
  // usage code 1 (kLaptop) with status 0, uiOutput as decimal text the way
  // WMI hands out 64-bit integers.
  FakeFirmware();
  ~FakeFirmware();  // restores the seam; fake objects still alive stay valid
  FakeFirmware(const FakeFirmware&) = delete;
  FakeFirmware& operator=(const FakeFirmware&) = delete;

  // --- Script -------------------------------------------------------------
  void SetInstances(std::vector<FakeInstance> instances);
  // uiOutput = (code << 32) | status, as decimal text (VT_BSTR).
  void SetUsage(unsigned code, unsigned status = 0);
  void SetUiOutput(FakeVariant value);
  // Makes every later call of `step` return `hr` (S_OK clears it).
  void FailStep(WmiStep step, HRESULT hr);
  // Once Get("InstanceName") has handed out a name, every allocation of the
  // calling thread fails (failing_new.h) until the test disarms it.
  void RefuseAllocationsAfterInstanceName(bool refuse);

  // --- Observation --------------------------------------------------------
  [[nodiscard]] long Calls(WmiStep step) const;
  [[nodiscard]] FakeWmiRecord Record() const;
  // Fake COM objects alive now (all kinds, event objects included).
  [[nodiscard]] long LiveObjects() const;

  // --- Events -------------------------------------------------------------
  // An event object whose "EventDetail" is `detail` (Missing(): no property).
  [[nodiscard]] Microsoft::WRL::ComPtr<IWbemClassObject> MakeEventObject(const FakeVariant& detail);
  // Delivers one Indicate with one object per detail to the handler that
  // ExecNotificationQueryAsync subscribed. Returns Indicate's result, or
  // E_UNEXPECTED when nothing is subscribed.
  HRESULT DeliverEvents(const std::vector<FakeVariant>& details);
  [[nodiscard]] bool Subscribed() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  HRESULT(WINAPI* previous_)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*) = nullptr;
};

}  // namespace tvr_test
