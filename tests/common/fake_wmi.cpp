#include "common/fake_wmi.h"

#include "common/failing_new.h"

#include "wmi/wmi_platform.h"

#include <oleauto.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

using Microsoft::WRL::ComPtr;

// MinGW's ComPtr differs from the Windows SDK's in two ways that matter here:
// Attach() adds a reference, and move assignment copies without clearing the
// source. Ownership is therefore handed over with Swap() or GetAddressOf().

namespace tvr_test {

// ---------------------------------------------------------------------------
// FakeVariant

FakeVariant::FakeVariant() noexcept { ::VariantInit(&var_); }
FakeVariant::~FakeVariant() { ::VariantClear(&var_); }

FakeVariant::FakeVariant(const FakeVariant& other)
    : missing_(other.missing_), byRefArray_(other.byRefArray_) {
  ::VariantInit(&var_);
  ::VariantCopy(&var_, const_cast<VARIANT*>(&other.var_));
}

FakeVariant& FakeVariant::operator=(const FakeVariant& other) {
  if (this != &other) {
    ::VariantClear(&var_);
    ::VariantCopy(&var_, const_cast<VARIANT*>(&other.var_));
    missing_ = other.missing_;
    byRefArray_ = other.byRefArray_;
  }
  return *this;
}

FakeVariant FakeVariant::Null() {
  FakeVariant v;
  V_VT(&v.var_) = VT_NULL;
  return v;
}

FakeVariant FakeVariant::Text(const wchar_t* text) {
  FakeVariant v;
  V_VT(&v.var_) = VT_BSTR;
  V_BSTR(&v.var_) = ::SysAllocString(text);
  return v;
}

FakeVariant FakeVariant::UI8(ULONGLONG value) {
  FakeVariant v;
  V_VT(&v.var_) = VT_UI8;
  V_UI8(&v.var_) = value;
  return v;
}

FakeVariant FakeVariant::I4(LONG value) {
  FakeVariant v;
  V_VT(&v.var_) = VT_I4;
  V_I4(&v.var_) = value;
  return v;
}

static SAFEARRAY* MakeByteArray(const std::vector<BYTE>& bytes, VARTYPE element) {
  if (element != VT_UI1 && element != VT_I1) throw std::invalid_argument("byte arrays are VT_UI1 or VT_I1");
  SAFEARRAY* array = ::SafeArrayCreateVector(element, 0, static_cast<ULONG>(bytes.size()));
  if (!array) throw std::bad_alloc();
  if (!bytes.empty()) {
    void* data = nullptr;
    ::SafeArrayAccessData(array, &data);
    std::memcpy(data, bytes.data(), bytes.size());
    ::SafeArrayUnaccessData(array);
  }
  return array;
}

FakeVariant FakeVariant::Bytes(const std::vector<BYTE>& bytes, VARTYPE element) {
  FakeVariant v;
  V_VT(&v.var_) = VT_ARRAY | element;
  V_ARRAY(&v.var_) = MakeByteArray(bytes, element);
  return v;
}

FakeVariant FakeVariant::Longs(const std::vector<LONG>& values) {
  FakeVariant v;
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(values.size()));
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    LONG value = values[i];
    ::SafeArrayPutElement(array, &i, &value);
  }
  V_VT(&v.var_) = VT_ARRAY | VT_I4;
  V_ARRAY(&v.var_) = array;
  return v;
}

FakeVariant FakeVariant::Texts(const std::vector<std::wstring>& values) {
  FakeVariant v;
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(values.size()));
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    BSTR text = ::SysAllocString(values[i].c_str());
    ::SafeArrayPutElement(array, &i, text);  // copies the string
    ::SysFreeString(text);
  }
  V_VT(&v.var_) = VT_ARRAY | VT_BSTR;
  V_ARRAY(&v.var_) = array;
  return v;
}

FakeVariant FakeVariant::BytesByRef(const std::vector<BYTE>& bytes) {
  FakeVariant v;
  v.byRefArray_ = std::shared_ptr<SAFEARRAY*>(new SAFEARRAY*(MakeByteArray(bytes, VT_UI1)), [](SAFEARRAY** slot) {
    ::SafeArrayDestroy(*slot);
    delete slot;
  });
  V_VT(&v.var_) = VT_BYREF | VT_ARRAY | VT_UI1;
  V_ARRAYREF(&v.var_) = v.byRefArray_.get();
  return v;
}

FakeVariant FakeVariant::Copy(const VARIANT& value) {
  FakeVariant v;
  ::VariantCopy(&v.var_, const_cast<VARIANT*>(&value));
  return v;
}

FakeVariant FakeVariant::Missing() {
  FakeVariant v;
  v.missing_ = true;
  return v;
}

// ---------------------------------------------------------------------------
// Shared state

struct FakeFirmware::State {
  mutable std::mutex lock;
  std::vector<FakeInstance> instances;
  FakeVariant uiOutput;
  HRESULT results[static_cast<int>(WmiStep::kCount)] = {};
  long calls[static_cast<int>(WmiStep::kCount)] = {};
  FakeWmiRecord record;
  ComPtr<IWbemObjectSink> subscribed;
  const void* subscribedBy = nullptr;  // the services object that holds `subscribed`
  std::atomic<long> live{0};
  bool refuseAllocationsAfterName = false;
  HRESULT(WINAPI* realCreate)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*) = nullptr;

  // Counts one call of `step` and returns its scripted result.
  HRESULT Enter(WmiStep step) {
    std::lock_guard<std::mutex> hold(lock);
    ++calls[static_cast<int>(step)];
    return results[static_cast<int>(step)];
  }
  template <class F>
  void Note(F&& write) {
    std::lock_guard<std::mutex> hold(lock);
    write(record);
  }
};

namespace {

using State = FakeFirmware::State;

std::mutex g_currentLock;
std::shared_ptr<State> g_current;

std::shared_ptr<State> Current() {
  std::lock_guard<std::mutex> hold(g_currentLock);
  return g_current;
}

// Lets one fake recognise another behind an interface pointer without RTTI on
// objects that may not be ours.
// {6B1E5F2A-9C0D-4E57-8A41-3D2C7B9E0F15}
const IID kFakeIdentityIid = {0x6b1e5f2a, 0x9c0d, 0x4e57, {0x8a, 0x41, 0x3d, 0x2c, 0x7b, 0x9e, 0x0f, 0x15}};

class FakeIdentity {
 public:
  explicit FakeIdentity(std::shared_ptr<State> state) : state_(std::move(state)) { ++state_->live; }
  virtual ~FakeIdentity() { --state_->live; }
  FakeIdentity(const FakeIdentity&) = delete;
  FakeIdentity& operator=(const FakeIdentity&) = delete;

 protected:
  ULONG DoAddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG DoRelease() {
    const LONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  std::shared_ptr<State> state_;

 private:
  LONG refs_ = 1;  // the creator's reference
};

template <class T>
T* AsFake(IUnknown* unknown) {
  if (!unknown) return nullptr;
  FakeIdentity* identity = nullptr;
  if (unknown->QueryInterface(kFakeIdentityIid, reinterpret_cast<void**>(&identity)) != S_OK || !identity) {
    return nullptr;
  }
  // The identity query adds no reference.
  return dynamic_cast<T*>(identity);
}

#define TVR_FAKE_REFCOUNT                                      \
  ULONG STDMETHODCALLTYPE AddRef() override { return DoAddRef(); } \
  ULONG STDMETHODCALLTYPE Release() override { return DoRelease(); }

// Answers IUnknown, the listed interface and the identity query.
template <class I, class Self>
HRESULT SimpleQuery(Self* self, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, kFakeIdentityIid)) {
    *out = static_cast<FakeIdentity*>(self);
    return S_OK;
  }
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(I))) {
    *out = static_cast<I*>(self);
    self->AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

std::wstring Text(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

// ---------------------------------------------------------------------------
// IWbemClassObject: instances, the class, in/out parameters, event objects.

class FakeObject final : public IWbemClassObject, public FakeIdentity {
 public:
  enum class Kind { Instance, Class, InParams, OutParams, Event };
  FakeObject(std::shared_ptr<State> state, Kind kind) : FakeIdentity(std::move(state)), kind_(kind) {}

  void SetProperty(const std::wstring& name, const FakeVariant& value, HRESULT getResult = S_OK) {
    std::lock_guard<std::mutex> hold(state_->lock);
    properties_[name] = value;
    getResults_[name] = getResult;
  }
  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] bool HasProperty(const std::wstring& name) const {
    std::lock_guard<std::mutex> hold(state_->lock);
    const auto found = properties_.find(name);
    return found != properties_.end() && !found->second.missing();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return SimpleQuery<IWbemClassObject>(this, iid, out);
  }
  TVR_FAKE_REFCOUNT

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    const std::wstring key = Text(name);
    HRESULT scripted = S_OK;
    if (kind_ == Kind::Instance && key == L"InstanceName") scripted = state_->Enter(WmiStep::GetInstanceName);
    if (kind_ == Kind::OutParams && key == L"uiOutput") scripted = state_->Enter(WmiStep::GetOutput);
    state_->Note([&](FakeWmiRecord& r) {
      r.getFlags = flags;
      if (type || flavor) r.getAskedTypeOrFlavor = true;
    });
    if (FAILED(scripted)) return scripted;
    if (!value) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(state_->lock);
    const auto found = properties_.find(key);
    if (found == properties_.end() || found->second.missing()) return WBEM_E_NOT_FOUND;
    const HRESULT own = getResults_[key];
    if (FAILED(own)) return own;
    ::VariantInit(value);
    const HRESULT copied = ::VariantCopy(value, const_cast<VARIANT*>(&found->second.get()));
    if (FAILED(copied)) return copied;
    if (type) *type = CIM_EMPTY;
    if (flavor) *flavor = 0;
    // The caller's own work on the name now meets a heap that refuses
    // everything, on this thread only.
    if (kind_ == Kind::Instance && key == L"InstanceName" && state_->refuseAllocationsAfterName) {
      ArmFailingAllocationsNow();
    }
    return scripted != S_OK ? scripted : own;
  }

  HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    const HRESULT scripted = kind_ == Kind::InParams ? state_->Enter(WmiStep::Put) : S_OK;
    FakeVariant copy;
    if (value) copy = FakeVariant::Copy(*value);
    state_->Note([&](FakeWmiRecord& r) {
      r.putName = Text(name);
      r.putFlags = flags;
      r.putType = type;
      r.putValue = copy;
    });
    if (FAILED(scripted)) return scripted;
    SetProperty(Text(name), copy);
    return scripted;
  }

  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in,
                                      IWbemClassObject** outSignature) override {
    const HRESULT scripted = state_->Enter(WmiStep::GetMethod);
    state_->Note([&](FakeWmiRecord& r) {
      r.getMethodName = Text(name);
      r.getMethodFlags = flags;
      r.getMethodAskedOutSignature = outSignature != nullptr;
    });
    if (in) *in = nullptr;
    if (outSignature) *outSignature = nullptr;
    if (FAILED(scripted)) return scripted;
    if (kind_ != Kind::Class || Text(name) != L"GetFunction") return WBEM_E_NOT_FOUND;
    if (!in) return WBEM_E_INVALID_PARAMETER;
    auto* params = new FakeObject(state_, Kind::InParams);
    params->SetProperty(L"uiInput", FakeVariant::Null());
    *in = params;
    if (outSignature) *outSignature = new FakeObject(state_, Kind::OutParams);
    return scripted;
  }

  // Unused by the client.
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

 private:
  const Kind kind_;
  std::map<std::wstring, FakeVariant> properties_;
  std::map<std::wstring, HRESULT> getResults_;
};

// ---------------------------------------------------------------------------
// IEnumWbemClassObject over the instances scripted at ExecQuery time.

class FakeEnum final : public IEnumWbemClassObject, public FakeIdentity {
 public:
  FakeEnum(std::shared_ptr<State> state, std::vector<FakeInstance> instances)
      : FakeIdentity(std::move(state)), instances_(std::move(instances)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return SimpleQuery<IEnumWbemClassObject>(this, iid, out);
  }
  TVR_FAKE_REFCOUNT

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    const HRESULT scripted = state_->Enter(WmiStep::Next);
    state_->Note([&](FakeWmiRecord& r) {
      r.nextTimeout = timeout;
      r.nextCount = count;
    });
    if (!objects || !returned || count == 0) return WBEM_E_INVALID_PARAMETER;
    *returned = 0;
    objects[0] = nullptr;
    if (FAILED(scripted)) return scripted;
    const size_t index = static_cast<size_t>(::InterlockedIncrement(&next_)) - 1;
    if (index >= instances_.size()) return WBEM_S_FALSE;
    auto* instance = new FakeObject(state_, FakeObject::Kind::Instance);
    instance->SetProperty(L"InstanceName", instances_[index].name, instances_[index].getResult);
    objects[0] = instance;
    *returned = 1;
    return scripted;
  }

  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return E_NOTIMPL; }

 private:
  const std::vector<FakeInstance> instances_;
  LONG next_ = 0;
};

// ---------------------------------------------------------------------------
// IWbemServices, with IClientSecurity so that CoSetProxyBlanket reaches us.

class FakeServices final : public IWbemServices, public IClientSecurity, public FakeIdentity {
 public:
  explicit FakeServices(std::shared_ptr<State> state) : FakeIdentity(std::move(state)) {}
  ~FakeServices() override {
    // WMI drops a subscription whose connection goes away.
    ComPtr<IWbemObjectSink> dropped;
    {
      std::lock_guard<std::mutex> hold(state_->lock);
      if (state_->subscribedBy == this) {
        dropped.Swap(state_->subscribed);
        state_->subscribedBy = nullptr;
      }
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out && IsEqualIID(iid, IID_IClientSecurity)) {
      *out = static_cast<IClientSecurity*>(this);
      AddRef();
      return S_OK;
    }
    return SimpleQuery<IWbemServices>(this, iid, out);
  }
  TVR_FAKE_REFCOUNT

  // IClientSecurity
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level,
                                       DWORD impersonation, void* identity, DWORD caps) override {
    const HRESULT scripted = state_->Enter(WmiStep::SetBlanket);
    state_->Note([&](FakeWmiRecord& r) {
      r.blanketAuthn = authn;
      r.blanketAuthz = authz;
      r.blanketPrincipalNull = principal == nullptr;
      r.blanketLevel = level;
      r.blanketImpersonation = impersonation;
      r.blanketIdentityNull = identity == nullptr;
      r.blanketCaps = caps;
    });
    return scripted;
  }
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                         DWORD*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

  // IWbemServices
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext* context,
                                      IEnumWbemClassObject** result) override {
    const HRESULT scripted = state_->Enter(WmiStep::ExecQuery);
    state_->Note([&](FakeWmiRecord& r) {
      r.queryLanguage = Text(language);
      r.query = Text(query);
      r.queryFlags = flags;
      r.queryContextNull = context == nullptr;
    });
    if (!result) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    if (FAILED(scripted)) return scripted;
    std::vector<FakeInstance> snapshot;
    {
      std::lock_guard<std::mutex> hold(state_->lock);
      snapshot = state_->instances;
    }
    *result = new FakeEnum(state_, std::move(snapshot));
    return scripted;
  }

  HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                                      IWbemCallResult** callResult) override {
    const HRESULT scripted = state_->Enter(WmiStep::GetObject);
    state_->Note([&](FakeWmiRecord& r) {
      r.getObjectPath = Text(path);
      r.getObjectFlags = flags;
      r.getObjectExtrasNull = context == nullptr && callResult == nullptr;
    });
    if (object) *object = nullptr;
    if (callResult) *callResult = nullptr;
    if (FAILED(scripted)) return scripted;
    if (Text(path) != L"RuxeAction") return WBEM_E_NOT_FOUND;
    if (!object) return WBEM_E_INVALID_PARAMETER;
    *object = new FakeObject(state_, FakeObject::Kind::Class);
    return scripted;
  }

  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                                       IWbemClassObject* inParams, IWbemClassObject** outParams,
                                       IWbemCallResult** callResult) override {
    const HRESULT scripted = state_->Enter(WmiStep::ExecMethod);
    FakeObject* in = AsFake<FakeObject>(inParams);
    const bool fromGetMethod = in && in->kind() == FakeObject::Kind::InParams;
    state_->Note([&](FakeWmiRecord& r) {
      r.execPath = Text(path);
      r.execMethod = Text(method);
      r.execFlags = flags;
      r.execContextNull = context == nullptr;
      r.execAskedCallResult = callResult != nullptr;
      r.execInParamsFromGetMethod = fromGetMethod;
    });
    if (outParams) *outParams = nullptr;
    if (callResult) *callResult = nullptr;
    if (FAILED(scripted)) return scripted;
    if (Text(path).empty()) return WBEM_E_INVALID_OBJECT_PATH;
    if (Text(method) != L"GetFunction") return WBEM_E_INVALID_METHOD;
    if (!fromGetMethod || !in->HasProperty(L"uiInput")) return WBEM_E_INVALID_METHOD_PARAMETERS;
    if (!outParams) return WBEM_E_INVALID_PARAMETER;
    auto* out = new FakeObject(state_, FakeObject::Kind::OutParams);
    FakeVariant output;
    {
      std::lock_guard<std::mutex> hold(state_->lock);
      output = state_->uiOutput;
    }
    out->SetProperty(L"uiOutput", output);
    *outParams = out;
    return scripted;
  }

  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                                       IWbemContext* context, IWbemObjectSink* handler) override {
    const HRESULT scripted = state_->Enter(WmiStep::ExecNotificationQueryAsync);
    const bool isStub = AsFake<FakeIdentity>(handler) != nullptr;
    state_->Note([&](FakeWmiRecord& r) {
      r.notifyLanguage = Text(language);
      r.notifyQuery = Text(query);
      r.notifyFlags = flags;
      r.notifyContextNull = context == nullptr;
      r.notifySinkIsStub = isStub;
    });
    if (FAILED(scripted)) return scripted;
    if (!handler) return WBEM_E_INVALID_PARAMETER;
    ComPtr<IWbemObjectSink> replaced;
    {
      std::lock_guard<std::mutex> hold(state_->lock);
      replaced.Swap(state_->subscribed);
      state_->subscribed = handler;
      state_->subscribedBy = this;
    }
    return scripted;
  }

  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* handler) override {
    const HRESULT scripted = state_->Enter(WmiStep::CancelAsyncCall);
    ComPtr<IWbemObjectSink> cancelled;
    bool matched = false;
    {
      std::lock_guard<std::mutex> hold(state_->lock);
      matched = handler != nullptr && handler == state_->subscribed.Get();
      state_->record.cancelMatchedSubscription = matched;
      if (matched && SUCCEEDED(scripted)) {
        cancelled.Swap(state_->subscribed);
        state_->subscribedBy = nullptr;
      }
    }
    if (FAILED(scripted)) return scripted;
    return matched ? scripted : static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
  }

  // Unused by the client.
  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) override {
    return E_NOTIMPL;
  }
};

// ---------------------------------------------------------------------------
// IWbemLocator

class FakeLocator final : public IWbemLocator, public FakeIdentity {
 public:
  explicit FakeLocator(std::shared_ptr<State> state) : FakeIdentity(std::move(state)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return SimpleQuery<IWbemLocator>(this, iid, out);
  }
  TVR_FAKE_REFCOUNT

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR ns, const BSTR user, const BSTR password, const BSTR locale,
                                          LONG securityFlags, const BSTR authority, IWbemContext* context,
                                          IWbemServices** services) override {
    const HRESULT scripted = state_->Enter(WmiStep::ConnectServer);
    state_->Note([&](FakeWmiRecord& r) {
      r.connectNamespace = Text(ns);
      r.connectOthersNull = !user && !password && !locale && !authority && !context;
      r.connectSecurityFlags = securityFlags;
    });
    if (!services) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    if (FAILED(scripted)) return scripted;
    *services = new FakeServices(state_);
    return scripted;
  }
};

// ---------------------------------------------------------------------------
// The unsecured apartment and the stub it makes: the stub holds the object
// and forwards the sink calls to it, as the real one does across apartments.

class FakeStub final : public IWbemObjectSink, public FakeIdentity {
 public:
  FakeStub(std::shared_ptr<State> state, ComPtr<IWbemObjectSink> target)
      : FakeIdentity(std::move(state)), target_(std::move(target)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out && IsEqualIID(iid, IID_IWbemObjectSink)) {
      const HRESULT scripted = state_->Enter(WmiStep::StubQueryInterface);
      if (FAILED(scripted)) {
        *out = nullptr;
        return scripted;
      }
    }
    return SimpleQuery<IWbemObjectSink>(this, iid, out);
  }
  TVR_FAKE_REFCOUNT

  HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override {
    return target_->Indicate(count, objects);
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override {
    return target_->SetStatus(flags, result, text, object);
  }

 private:
  const ComPtr<IWbemObjectSink> target_;
};

class FakeApartment final : public IUnsecuredApartment, public FakeIdentity {
 public:
  explicit FakeApartment(std::shared_ptr<State> state) : FakeIdentity(std::move(state)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return SimpleQuery<IUnsecuredApartment>(this, iid, out);
  }
  TVR_FAKE_REFCOUNT

  HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* object, IUnknown** stub) override {
    const HRESULT scripted = state_->Enter(WmiStep::CreateObjectStub);
    ComPtr<IWbemObjectSink> target;
    if (object) object->QueryInterface(IID_PPV_ARGS(&target));
    state_->Note([&](FakeWmiRecord& r) { r.stubWrapsObjectSink = target != nullptr; });
    if (!stub) return E_POINTER;
    *stub = nullptr;
    if (FAILED(scripted)) return scripted;
    if (!target) return E_NOINTERFACE;
    *stub = static_cast<IWbemObjectSink*>(new FakeStub(state_, std::move(target)));
    return scripted;
  }
};

template <class T>
HRESULT Hand(T* created, REFIID iid, void** out, HRESULT scripted) {
  const HRESULT queried = created->QueryInterface(iid, out);
  created->Release();
  return FAILED(queried) ? queried : scripted;
}

HRESULT WINAPI FakeCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
  const std::shared_ptr<State> state = Current();
  if (!state) return REGDB_E_CLASSNOTREG;
  const bool locator = IsEqualCLSID(clsid, CLSID_WbemLocator);
  const bool apartment = IsEqualCLSID(clsid, CLSID_UnsecuredApartment);
  if (!locator && !apartment) return state->realCreate(clsid, outer, context, iid, out);
  if (!out) return E_POINTER;
  *out = nullptr;
  const HRESULT scripted = state->Enter(locator ? WmiStep::CreateLocator : WmiStep::CreateApartment);
  state->Note([&](FakeWmiRecord& r) {
    (locator ? r.locatorContext : r.apartmentContext) = context;
    (locator ? r.locatorIid : r.apartmentIid) = iid;
  });
  if (FAILED(scripted)) return scripted;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (locator) return Hand(new FakeLocator(state), iid, out, scripted);
  return Hand(new FakeApartment(state), iid, out, scripted);
}

}  // namespace

// ---------------------------------------------------------------------------
// FakeFirmware

FakeFirmware::FakeFirmware() : state_(std::make_shared<State>()) {
  state_->instances.emplace_back(FakeVariant::Text(L"ACPI\\PNP0C14\\0_0"));
  state_->uiOutput = FakeVariant::Text(L"4294967296");  // code 1 (kLaptop), status 0
  previous_ = WmiPlatform().coCreateInstance;
  state_->realCreate = previous_;
  {
    std::lock_guard<std::mutex> hold(g_currentLock);
    if (g_current) throw std::logic_error("only one FakeFirmware at a time");
    g_current = state_;
  }
  WmiPlatform().coCreateInstance = FakeCoCreateInstance;
}

FakeFirmware::~FakeFirmware() {
  WmiPlatform().coCreateInstance = previous_;
  ComPtr<IWbemObjectSink> dropped;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    dropped.Swap(state_->subscribed);
  }
  std::lock_guard<std::mutex> hold(g_currentLock);
  g_current.reset();
}

void FakeFirmware::RefuseAllocationsAfterInstanceName(bool refuse) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->refuseAllocationsAfterName = refuse;
}

void FakeFirmware::SetInstances(std::vector<FakeInstance> instances) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->instances = std::move(instances);
}

void FakeFirmware::SetUsage(unsigned code, unsigned status) {
  const ULONGLONG value = (static_cast<ULONGLONG>(code) << 32) | status;
  SetUiOutput(FakeVariant::Text(std::to_wstring(value).c_str()));
}

void FakeFirmware::SetUiOutput(FakeVariant value) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->uiOutput = std::move(value);
}

void FakeFirmware::FailStep(WmiStep step, HRESULT hr) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->results[static_cast<int>(step)] = hr;
}

long FakeFirmware::Calls(WmiStep step) const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->calls[static_cast<int>(step)];
}

FakeWmiRecord FakeFirmware::Record() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->record;
}

long FakeFirmware::LiveObjects() const { return state_->live.load(); }

ComPtr<IWbemClassObject> FakeFirmware::MakeEventObject(const FakeVariant& detail) {
  ComPtr<IWbemClassObject> object;
  auto* event = new FakeObject(state_, FakeObject::Kind::Event);
  event->SetProperty(L"EventDetail", detail);
  *object.GetAddressOf() = event;  // takes over the creation reference
  return object;
}

HRESULT FakeFirmware::DeliverEvents(const std::vector<FakeVariant>& details) {
  ComPtr<IWbemObjectSink> handler;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    handler = state_->subscribed;
  }
  if (!handler) return E_UNEXPECTED;
  std::vector<ComPtr<IWbemClassObject>> objects;
  std::vector<IWbemClassObject*> raw;
  for (const FakeVariant& detail : details) {
    objects.push_back(MakeEventObject(detail));
    raw.push_back(objects.back().Get());
  }
  return handler->Indicate(static_cast<LONG>(raw.size()), raw.empty() ? nullptr : raw.data());
}

bool FakeFirmware::Subscribed() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->subscribed != nullptr;
}

}  // namespace tvr_test
