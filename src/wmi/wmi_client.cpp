#include "wmi/wmi_client.h"

#include "common/bounded_format.h"
#include "common/scoped_com.h"
#include "wmi/event_sink.h"
#include "wmi/variant_decode.h"
#include "wmi/wmi_platform.h"

#include <wrl/client.h>

#include <cwchar>
#include <new>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

// The firmware function that reports the usage mode.
constexpr ULONG kUsageModeFunction = 5;

// What a client without a connection answers: it makes no WMI call at all.
constexpr HRESULT kNotConnected = HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED);
// What the lookup answers when the first named instance's path cannot be
// held whole by the path buffer: a cut path would name another object.
constexpr HRESULT kPathTooLong = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

constexpr wchar_t kPathFormat[] = L"RuxeAction.InstanceName=\"%ls\"";
// kPathFormat's own characters, without its %ls.
constexpr size_t kPathFormatOverhead = sizeof kPathFormat / sizeof(wchar_t) - 1 - 3;

std::wstring DoubleBackslashes(const wchar_t* name) {
  std::wstring escaped;
  for (const wchar_t* c = name; *c; ++c) {
    if (*c == L'\\') escaped += L'\\';
    escaped += *c;
  }
  return escaped;
}

}  // namespace

CWMIClient::CWMIClient(CLogFile* logger) noexcept { ConnectWMI(logger); }

CWMIClient::~CWMIClient() { DisconnectWMI(); }

void CWMIClient::ConnectWMI(CLogFile* logger) noexcept {
  this->logger = logger;
  uninitializeCom = 1;
  comInitialized = 0;
  services = nullptr;
  locator = nullptr;

  const HRESULT init = WmiPlatform().coInitializeEx(nullptr, COINIT_MULTITHREADED);
  comInitialized = 1;
  // RPC_E_CHANGED_MODE: the thread already lives in another apartment, which
  // we borrow and must not end. Any other failure took no reference either,
  // so it is owed no CoUninitialize; S_OK and S_FALSE both are.
  if (FAILED(init)) uninitializeCom = 0;

  if (WmiPlatform().coCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                     reinterpret_cast<void**>(&locator)) != S_OK) {
    return;
  }
  const tvr::ScopedBstr wmiNamespace(L"root\\wmi");
  if (locator->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services) != S_OK) {
    return;
  }
  // Without it the calls run at the default level; nothing to do about that.
  (void)::CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                            RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
}

HRESULT CWMIClient::GetActionInstancePath(wchar_t (&path)[kInstancePathCapacity]) noexcept {
  if (!services) return kNotConnected;
  const tvr::ScopedBstr language(L"WQL");
  const tvr::ScopedBstr query(L"select * from RuxeAction");
  ComPtr<IEnumWbemClassObject> instances;
  const HRESULT hr = services->ExecQuery(language.get(), query.get(),
                                         WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &instances);
  if (hr != S_OK) return hr;

  for (;;) {
    ComPtr<IWbemClassObject> instance;
    ULONG returned = 0;
    const HRESULT next = instances->Next(WBEM_INFINITE, 1, &instance, &returned);
    if (next != S_OK || returned != 1 || !instance) break;

    tvr::ScopedVariant name;
    if (instance->Get(L"InstanceName", 0, name.Receive(), nullptr, nullptr) != S_OK) continue;
    const wchar_t* text = tvr::VariantText(name.ref());  // VT_EMPTY, VT_NULL and non-strings: no name
    if (!text) continue;

    // Out of memory for the escaped name: the query fails like any other
    // step rather than end the process.
    try {
      const std::wstring escaped = DoubleBackslashes(text);
      if (kPathFormatOverhead + escaped.size() + 1 > kInstancePathCapacity) return kPathTooLong;
      tvr::FormatBounded(path, kPathFormat, escaped.c_str());
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    break;
  }
  return hr;
}

HRESULT CWMIClient::QueryUsageMode(ULONGLONG& usageData) noexcept {
  if (!services) return kNotConnected;

  wchar_t path[kInstancePathCapacity] = {};
  HRESULT hr = GetActionInstancePath(path);
  if (hr != S_OK) return hr;

  tvr::ScopedVariant input;
  tvr::ScopedVariant output;
  V_VT(input.get()) = VT_UI4;
  V_UI4(input.get()) = kUsageModeFunction;
  // The firmware takes the number as text; if the conversion fails the number
  // goes as it is and the firmware decides.
  (void)::VariantChangeType(input.get(), input.get(), 0, VT_BSTR);

  const tvr::ScopedBstr className(L"RuxeAction");
  ComPtr<IWbemClassObject> actionClass;
  hr = services->GetObject(className.get(), 0, nullptr, &actionClass, nullptr);
  if (hr != S_OK) return hr;

  ComPtr<IWbemClassObject> inParams;
  hr = actionClass->GetMethod(L"GetFunction", 0, &inParams, nullptr);
  if (hr != S_OK) return hr;

  hr = inParams->Put(L"uiInput", 0, input.get(), 0);
  if (hr != S_OK) return hr;

  const tvr::ScopedBstr instancePath(path);
  const tvr::ScopedBstr methodName(L"GetFunction");
  ComPtr<IWbemClassObject> outParams;
  hr = services->ExecMethod(instancePath.get(), methodName.get(), 0, nullptr, inParams.Get(), &outParams, nullptr);
  if (hr != S_OK) return hr;
  if (!outParams) return WBEM_E_FAILED;

  try {
    hr = outParams->Get(L"uiOutput", 0, output.Receive(), nullptr, nullptr);
    if (hr != S_OK) return hr;
    return tvr::VariantToUInt64(*output.get(), usageData);
  } catch (...) {
    return WBEM_E_FAILED;
  }
}

HRESULT CWMIClient::RegisterUsageModeEvent(UsageModeDecision decide) noexcept {
  if (!services) return kNotConnected;
  if (decide == nullptr) return E_INVALIDARG;
  // One subscription per client: a second would orphan the first sink.
  if (sink || stubSink) return E_UNEXPECTED;

  ComPtr<IUnsecuredApartment> apartment;
  HRESULT hr = WmiPlatform().coCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                                              IID_IUnsecuredApartment, &apartment);
  if (hr != S_OK) return hr;

  sink = new (std::nothrow) EventSink(logger, decide);
  if (!sink) return E_OUTOFMEMORY;
  sink->AddRef();  // the client's reference, given up in DisconnectWMI

  ComPtr<IUnknown> stub;
  hr = apartment->CreateObjectStub(static_cast<IWbemObjectSink*>(sink), &stub);
  if (hr != S_OK) return hr;
  if (!stub) return E_POINTER;

  stubSink = nullptr;
  hr = stub->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void**>(&stubSink));
  if (hr != S_OK) return hr;

  // WMI only ever holds the stub, so its delivery threads never call into
  // the sink from outside this process's apartment rules.
  const tvr::ScopedBstr language(L"WQL");
  const tvr::ScopedBstr query(L"SELECT * FROM RuxeEvent");
  return services->ExecNotificationQueryAsync(language.get(), query.get(), WBEM_FLAG_SEND_STATUS, nullptr, stubSink);
}

void CWMIClient::DisconnectWMI() noexcept {
  if (services) {
    (void)services->CancelAsyncCall(stubSink);
    services->Release();
  }
  if (stubSink) stubSink->Release();
  if (locator) locator->Release();
  if (sink) sink->Release();
  if (comInitialized == 1 && uninitializeCom == 1) WmiPlatform().coUninitialize();
}
