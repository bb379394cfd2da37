// Stand-in for the machine's firmware WMI provider, loaded into the service
// process in place of Windows' own WMI locator (registered for
// CLSID_WbemLocator in the test prefix only).
//
// It answers exactly what a machine with this firmware answers in root\wmi:
// the method class RuxeAction (one instance, method GetFunction with uiInput
// in and uiOutput out, key InstanceName) and the event class RuxeEvent (byte
// array EventDetail). Names are matched without regard to letter case, as
// WMI does. Everything else is refused with the error WMI itself gives for
// it, and every call, refusal and object is written to a journal that the
// test reads back.
//
// Windows' unsecured apartment is a local server that Wine does not have; on
// the first ConnectServer this DLL registers its own class object for it in
// the calling process, so the service's CoCreateInstance(CLSCTX_LOCAL_SERVER)
// is answered here. Its object stubs forward to the caller's sink, as the
// real stubs do.
//
// Files, all in the folder that holds this DLL:
//   firmware-state.txt  written by the test, read at every call that depends
//                       on it: "posture N", "status N", "fail STEP 0xHRESULT"
//                       (STEP: connect, query, method), "instance NAME"
//   wmi-journal.txt     appended by this DLL: one line per call, refusal,
//                       object made ("new #id kind") and freed ("free #id kind")
// Control pipe \\.\pipe\tvr-firmware-standin-<process id>, served on a
// thread of its own from the first ConnectServer on, one command per line:
//   ping                      -> "pong"
//   event HEX OBJECTS CALLS   -> raise RuxeEvent with EventDetail = HEX bytes:
//                                CALLS Indicate calls of OBJECTS objects each,
//                                to every live subscription, on this thread;
//                                answers "delivered SUBSCRIPTIONS" once every
//                                Indicate has returned
//   live                      -> "live N": objects handed out and not freed
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

HMODULE g_module = nullptr;
std::atomic<long> g_locks{0};

// ---------------------------------------------------------------------------
// Journal

std::mutex g_journalLock;
HANDLE g_journal = INVALID_HANDLE_VALUE;
long g_nextObjectId = 0;
long g_liveObjects = 0;

std::wstring HomeFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(g_module, path, MAX_PATH);
  std::wstring folder(path, length);
  const size_t slash = folder.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}

void WriteJournalLine(const std::wstring& text) {
  // One handle, one lock: the test reads whole lines only.
  std::string bytes;
  for (wchar_t c : text) bytes += (c < 0x80) ? static_cast<char>(c) : '?';
  bytes += "\r\n";
  std::lock_guard<std::mutex> hold(g_journalLock);
  if (g_journal == INVALID_HANDLE_VALUE) {
    g_journal = ::CreateFileW((HomeFolder() + L"\\wmi-journal.txt").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_journal == INVALID_HANDLE_VALUE) return;
  }
  DWORD written = 0;
  ::WriteFile(g_journal, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Note(const wchar_t* format, ...) {
  wchar_t text[2048];
  va_list args;
  va_start(args, format);
  _vsnwprintf_s(text, _countof(text), _TRUNCATE, format, args);
  va_end(args);
  wchar_t prefix[64];
  _snwprintf_s(prefix, _countof(prefix), _TRUNCATE, L"pid %lu tid %lu ", ::GetCurrentProcessId(),
               ::GetCurrentThreadId());
  WriteJournalLine(std::wstring(prefix) + text);
}

const wchar_t* OrNull(const wchar_t* text) { return text ? text : L"(null)"; }

// ---------------------------------------------------------------------------
// WMI's rules for names and texts

bool SameName(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return false;
  return _wcsicmp(a, b) == 0;
}

std::vector<std::wstring> Words(const std::wstring& text) {
  std::vector<std::wstring> words;
  std::wstring word;
  for (wchar_t c : text) {
    if (std::iswspace(c)) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// The one WQL form a data query or an event query of this provider can take:
// "SELECT * FROM <class>", keywords in any letter case. Returns false for any
// other text (WMI then answers WBEM_E_INVALID_QUERY).
bool ParseSelectAll(const wchar_t* query, std::wstring& className) {
  if (!query) return false;
  const std::vector<std::wstring> words = Words(query);
  if (words.size() != 4) return false;
  if (!SameName(words[0].c_str(), L"select") || words[1] != L"*" || !SameName(words[2].c_str(), L"from")) {
    return false;
  }
  for (wchar_t c : words[3]) {
    if (!(std::iswalnum(c) || c == L'_')) return false;
  }
  className = words[3];
  return true;
}

// Splits an object path "Class" or "Class.Key=\"value\"" with WMI's escapes
// (\\ and \" inside the quotes). False when the text is not a valid path.
bool ParseObjectPath(const wchar_t* path, std::wstring& className, std::wstring& key, std::wstring& value,
                     bool& hasKey) {
  if (!path) return false;
  const std::wstring text(path);
  const size_t dot = text.find(L'.');
  className = text.substr(0, dot);
  if (className.empty()) return false;
  for (wchar_t c : className) {
    if (!(std::iswalnum(c) || c == L'_')) return false;
  }
  hasKey = dot != std::wstring::npos;
  if (!hasKey) return true;
  const size_t equals = text.find(L'=', dot);
  if (equals == std::wstring::npos) return false;
  key = text.substr(dot + 1, equals - dot - 1);
  if (key.empty()) return false;
  size_t at = equals + 1;
  if (at >= text.size() || text[at] != L'"') return false;
  ++at;
  value.clear();
  for (;;) {
    if (at >= text.size()) return false;  // no closing quote
    const wchar_t c = text[at++];
    if (c == L'"') break;
    if (c == L'\\') {
      if (at >= text.size()) return false;
      const wchar_t escaped = text[at++];
      if (escaped != L'\\' && escaped != L'"') return false;
      value += escaped;
      continue;
    }
    value += c;
  }
  return at == text.size();
}

// ---------------------------------------------------------------------------
// The firmware's state, as the test last wrote it

struct FirmwareState {
  unsigned posture = 1;
  unsigned status = 0;
  HRESULT failConnect = S_OK;
  HRESULT failQuery = S_OK;
  HRESULT failMethod = S_OK;
  std::vector<std::wstring> instances;
};

FirmwareState ReadState() {
  FirmwareState state;
  bool instanceGiven = false;
  FILE* file = _wfopen((HomeFolder() + L"\\firmware-state.txt").c_str(), L"rb");
  if (file) {
    char line[512];
    while (fgets(line, sizeof line, file)) {
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      char step[64] = {};
      unsigned long number = 0;
      if (sscanf(text.c_str(), "posture %lu", &number) == 1) state.posture = static_cast<unsigned>(number);
      else if (sscanf(text.c_str(), "status %lu", &number) == 1) state.status = static_cast<unsigned>(number);
      else if (sscanf(text.c_str(), "fail %63s %lx", step, &number) == 2) {
        const HRESULT hr = static_cast<HRESULT>(number);
        if (strcmp(step, "connect") == 0) state.failConnect = hr;
        if (strcmp(step, "query") == 0) state.failQuery = hr;
        if (strcmp(step, "method") == 0) state.failMethod = hr;
      } else if (text.rfind("instance ", 0) == 0) {
        instanceGiven = true;
        state.instances.emplace_back(text.begin() + 9, text.end());
      }
    }
    fclose(file);
  }
  if (!instanceGiven) state.instances.push_back(L"ACPI\\PNP0C14\\0_0");
  return state;
}

// ---------------------------------------------------------------------------
// Objects handed out: each one journalled when it is made and when it is freed

class Tracked {
 public:
  explicit Tracked(const wchar_t* kind) : kind_(kind) {
    {
      std::lock_guard<std::mutex> hold(g_journalLock);
      id_ = ++g_nextObjectId;
      ++g_liveObjects;
    }
    ++g_locks;
    Note(L"new #%ld %ls", id_, kind_);
  }
  virtual ~Tracked() {
    {
      std::lock_guard<std::mutex> hold(g_journalLock);
      --g_liveObjects;
    }
    Note(L"free #%ld %ls", id_, kind_);
    --g_locks;
  }
  Tracked(const Tracked&) = delete;
  Tracked& operator=(const Tracked&) = delete;
  long id() const { return id_; }

 protected:
  ULONG AddRefImpl() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG ReleaseImpl() {
    const LONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG refs_ = 1;
  long id_ = 0;
  const wchar_t* kind_;
};

#define TRACKED_REFCOUNT                                  \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); } \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

HRESULT Unexpected(const wchar_t* call) {
  Note(L"unexpected %ls", call);
  return WBEM_E_NOT_SUPPORTED;
}

// A private interface through which this DLL recognises its own objects when
// they come back as arguments.
// {6A0D5E1C-2B7F-4C1E-9A37-5C0E1D2B3F41}
const IID IID_IStandinObject = {0x6a0d5e1c, 0x2b7f, 0x4c1e, {0x9a, 0x37, 0x5c, 0x0e, 0x1d, 0x2b, 0x3f, 0x41}};

struct Property {
  std::wstring name;
  CIMTYPE type = CIM_EMPTY;
  VARIANT value{};  // VT_NULL until given
};

// A class, instance, parameter or event object: a table of properties, and
// for the RuxeAction class its one method.
class WmiObject final : public IWbemClassObject, public Tracked {
 public:
  WmiObject(const wchar_t* kind, bool isClass) : Tracked(kind), isClass_(isClass) {}
  ~WmiObject() override {
    for (Property& p : properties_) ::VariantClear(&p.value);
  }

  void AddProperty(const wchar_t* name, CIMTYPE type, const VARIANT* value) {
    Property p;
    p.name = name;
    p.type = type;
    ::VariantInit(&p.value);
    if (value) ::VariantCopy(&p.value, const_cast<VARIANT*>(value));
    else V_VT(&p.value) = VT_NULL;
    properties_.push_back(p);
  }
  void SetHasGetFunction() { hasGetFunction_ = true; }
  bool isClass() const { return isClass_; }
  Property* Find(const wchar_t* name) {
    for (Property& p : properties_) {
      if (SameName(p.name.c_str(), name)) return &p;
    }
    return nullptr;
  }
  const std::vector<Property>& properties() const { return properties_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemClassObject)) {
      *out = static_cast<IWbemClassObject*>(this);
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(iid, IID_IStandinObject)) {
      *out = this;  // no reference: only compared and read within the call
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  TRACKED_REFCOUNT

  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    Property* p = Find(name);
    const HRESULT hr = p ? WBEM_S_NO_ERROR : WBEM_E_NOT_FOUND;
    Note(L"call Get #%ld name=\"%ls\" flags=0x%lx askType=%d askFlavor=%d -> 0x%08lx", id(), OrNull(name), flags,
         type != nullptr, flavor != nullptr, hr);
    if (!p) return hr;
    if (value) {
      ::VariantInit(value);
      ::VariantCopy(value, &p->value);
    }
    if (type) *type = p->type;
    if (flavor) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    wchar_t given[128] = L"";
    if (value) {
      VARIANT text;
      ::VariantInit(&text);
      if (::VariantChangeType(&text, value, 0, VT_BSTR) == S_OK) {
        _snwprintf_s(given, _countof(given), _TRUNCATE, L"%ls", V_BSTR(&text));
      }
      ::VariantClear(&text);
    }
    const int vt = value ? V_VT(value) : -1;
    HRESULT hr = WBEM_S_NO_ERROR;
    Property* p = Find(name);
    if (!name || !value) {
      hr = WBEM_E_INVALID_PARAMETER;
    } else if (p) {
      // WMI coerces the value to the property's own type; a uint32 is held
      // as VT_I4.
      VARIANT coerced;
      ::VariantInit(&coerced);
      VARTYPE want = V_VT(value);
      if (p->type == CIM_UINT32 || p->type == CIM_SINT32) want = VT_I4;
      if (p->type == CIM_STRING || p->type == CIM_UINT64 || p->type == CIM_SINT64) want = VT_BSTR;
      if (V_VT(value) == VT_NULL) {
        ::VariantClear(&p->value);
        V_VT(&p->value) = VT_NULL;
      } else if (::VariantChangeType(&coerced, value, 0, want) == S_OK) {
        ::VariantClear(&p->value);
        p->value = coerced;
      } else {
        hr = WBEM_E_TYPE_MISMATCH;
      }
    } else if (isClass_) {
      // On a class object Put defines a new property; its type comes from
      // the value when none is given.
      AddProperty(name, type, value);
    } else {
      hr = WBEM_E_NOT_FOUND;
    }
    Note(L"call Put #%ld name=\"%ls\" flags=0x%lx vt=%d value=\"%ls\" type=%ld -> 0x%08lx", id(), OrNull(name),
         flags, vt, given, type, hr);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in,
                                      IWbemClassObject** out) override;

  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return Unexpected(L"GetQualifierSet"); }
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return Unexpected(L"Delete"); }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override {
    return Unexpected(L"GetNames");
  }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return Unexpected(L"BeginEnumeration"); }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
    return Unexpected(L"IWbemClassObject::Next");
  }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return Unexpected(L"EndEnumeration"); }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return Unexpected(L"GetPropertyQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return Unexpected(L"Clone"); }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return Unexpected(L"GetObjectText"); }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
    return Unexpected(L"SpawnDerivedClass");
  }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override {
    return Unexpected(L"SpawnInstance");
  }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return Unexpected(L"CompareTo"); }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return Unexpected(L"GetPropertyOrigin"); }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return Unexpected(L"InheritsFrom"); }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
    return Unexpected(L"PutMethod");
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return Unexpected(L"DeleteMethod"); }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return Unexpected(L"BeginMethodEnumeration"); }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return Unexpected(L"NextMethod");
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return Unexpected(L"EndMethodEnumeration"); }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return Unexpected(L"GetMethodQualifierSet");
  }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return Unexpected(L"GetMethodOrigin"); }

 private:
  bool isClass_;
  bool hasGetFunction_ = false;
  std::vector<Property> properties_;
};

VARIANT TextVariant(const std::wstring& text) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = ::SysAllocString(text.c_str());
  return v;
}

void AddTextProperty(WmiObject* object, const wchar_t* name, CIMTYPE type, const std::wstring& text) {
  VARIANT v = TextVariant(text);
  object->AddProperty(name, type, &v);
  ::VariantClear(&v);
}

void AddBoolProperty(WmiObject* object, const wchar_t* name, bool value) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
  object->AddProperty(name, CIM_BOOLEAN, &v);
}

// The in-parameters of GetFunction: a parameter class with uiInput.
WmiObject* MakeInParameters() {
  auto* in = new WmiObject(L"GetFunction.in", true);
  AddTextProperty(in, L"__CLASS", CIM_STRING, L"__PARAMETERS");
  in->AddProperty(L"uiInput", CIM_UINT32, nullptr);
  return in;
}

WmiObject* MakeOutSignature() {
  auto* out = new WmiObject(L"GetFunction.outsig", true);
  AddTextProperty(out, L"__CLASS", CIM_STRING, L"__PARAMETERS");
  out->AddProperty(L"uiOutput", CIM_UINT64, nullptr);
  return out;
}

HRESULT WmiObject::GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in, IWbemClassObject** out) {
  HRESULT hr = WBEM_S_NO_ERROR;
  if (!hasGetFunction_ || !SameName(name, L"GetFunction")) hr = static_cast<HRESULT>(WBEM_E_NOT_FOUND);
  Note(L"call GetMethod #%ld name=\"%ls\" flags=0x%lx askIn=%d askOut=%d -> 0x%08lx", id(), OrNull(name), flags,
       in != nullptr, out != nullptr, hr);
  if (in) *in = nullptr;
  if (out) *out = nullptr;
  if (hr != WBEM_S_NO_ERROR) return hr;
  if (in) *in = MakeInParameters();
  if (out) *out = MakeOutSignature();
  return hr;
}

WmiObject* MakeActionClass() {
  auto* cls = new WmiObject(L"RuxeAction.class", true);
  AddTextProperty(cls, L"__CLASS", CIM_STRING, L"RuxeAction");
  cls->AddProperty(L"InstanceName", CIM_STRING, nullptr);
  cls->AddProperty(L"Active", CIM_BOOLEAN, nullptr);
  cls->SetHasGetFunction();
  return cls;
}

WmiObject* MakeActionInstance(const std::wstring& name) {
  auto* instance = new WmiObject(L"RuxeAction.instance", false);
  AddTextProperty(instance, L"__CLASS", CIM_STRING, L"RuxeAction");
  AddTextProperty(instance, L"InstanceName", CIM_STRING, name);
  AddBoolProperty(instance, L"Active", true);
  return instance;
}

WmiObject* MakeEvent(const std::vector<BYTE>& detail, const std::wstring& instanceName) {
  auto* event = new WmiObject(L"RuxeEvent", false);
  AddTextProperty(event, L"__CLASS", CIM_STRING, L"RuxeEvent");
  AddTextProperty(event, L"InstanceName", CIM_STRING, instanceName);
  AddBoolProperty(event, L"Active", true);
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(detail.size()));
  if (array && !detail.empty()) {
    void* data = nullptr;
    if (::SafeArrayAccessData(array, &data) == S_OK) {
      memcpy(data, detail.data(), detail.size());
      ::SafeArrayUnaccessData(array);
    }
  }
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_ARRAY | VT_UI1;
  V_ARRAY(&v) = array;
  event->AddProperty(L"EventDetail", CIM_UINT8 | CIM_FLAG_ARRAY, &v);
  ::VariantClear(&v);
  return event;
}

// ---------------------------------------------------------------------------
// Enumerator of a semi-synchronous query: forward-only

class Enumerator final : public IEnumWbemClassObject, public Tracked {
 public:
  Enumerator(std::vector<IWbemClassObject*> objects, HRESULT failure)
      : Tracked(L"Enumerator"), objects_(std::move(objects)), failure_(failure) {}
  ~Enumerator() override {
    for (size_t i = next_; i < objects_.size(); ++i) objects_[i]->Release();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumWbemClassObject)) {
      *out = static_cast<IEnumWbemClassObject*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  TRACKED_REFCOUNT

  HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    HRESULT hr = WBEM_S_NO_ERROR;
    ULONG given = 0;
    if (!objects || !returned) {
      hr = WBEM_E_INVALID_PARAMETER;
    } else if (failure_ != S_OK) {
      hr = failure_;  // a semi-synchronous query reports its failure here
    } else {
      while (given < count && next_ < objects_.size()) objects[given++] = objects_[next_++];
      if (given < count) hr = WBEM_S_FALSE;
    }
    if (returned) *returned = given;
    Note(L"call Next #%ld timeout=0x%lx count=%lu -> 0x%08lx returned=%lu", id(), static_cast<unsigned long>(timeout),
         count, hr, given);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    Note(L"call Reset #%ld -> 0x%08lx", id(), WBEM_E_INVALID_OPERATION);
    return WBEM_E_INVALID_OPERATION;  // forward-only
  }
  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return Unexpected(L"NextAsync"); }
  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return Unexpected(L"Enumerator::Clone"); }
  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return Unexpected(L"Skip"); }

 private:
  std::vector<IWbemClassObject*> objects_;
  size_t next_ = 0;
  HRESULT failure_;
};

// ---------------------------------------------------------------------------
// Subscriptions to RuxeEvent, shared by every connection of the process

std::mutex g_subscriptionLock;
std::vector<IWbemObjectSink*> g_subscriptions;  // one reference each

// ---------------------------------------------------------------------------
// The connection to root\wmi

class Services final : public IWbemServices, public IClientSecurity, public Tracked {
 public:
  Services() : Tracked(L"Services") {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemServices)) {
      *out = static_cast<IWbemServices*>(this);
    } else if (IsEqualIID(iid, IID_IClientSecurity)) {
      // Real WMI hands out a proxy; its blanket is what the caller sets here.
      *out = static_cast<IClientSecurity*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  TRACKED_REFCOUNT

  // IClientSecurity
  HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                         DWORD*) override {
    return Unexpected(L"QueryBlanket");
  }
  HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD authn, DWORD authz, OLECHAR* principal, DWORD level,
                                       DWORD impersonation, void* identity, DWORD capabilities) override {
    Note(L"call SetBlanket #%ld authn=%lu authz=%lu principal=%ls level=%lu imp=%lu identity=%d caps=0x%lx", id(),
         authn, authz, OrNull(principal), level, impersonation, identity != nullptr, capabilities);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return Unexpected(L"CopyProxy"); }

  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR language, const BSTR query, LONG flags, IWbemContext* context,
                                      IEnumWbemClassObject** result) override {
    HRESULT hr = WBEM_S_NO_ERROR;
    HRESULT deferred = S_OK;
    std::wstring className;
    const FirmwareState state = ReadState();
    if (!result) hr = WBEM_E_INVALID_PARAMETER;
    else if (!SameName(language, L"WQL")) hr = WBEM_E_INVALID_QUERY_TYPE;
    else if (!ParseSelectAll(query, className)) hr = WBEM_E_INVALID_QUERY;
    else if (state.failQuery != S_OK) hr = state.failQuery;
    else if (!SameName(className.c_str(), L"RuxeAction") && !SameName(className.c_str(), L"RuxeEvent")) {
      // A semi-synchronous query returns at once; the unknown class is
      // reported by the enumerator.
      if (flags & WBEM_FLAG_RETURN_IMMEDIATELY) deferred = WBEM_E_INVALID_CLASS;
      else hr = WBEM_E_INVALID_CLASS;
    }
    if (result) *result = nullptr;
    std::vector<IWbemClassObject*> objects;
    if (hr == WBEM_S_NO_ERROR && deferred == S_OK && SameName(className.c_str(), L"RuxeAction")) {
      for (const std::wstring& name : state.instances) objects.push_back(MakeActionInstance(name));
    }
    Enumerator* enumerator = nullptr;
    if (hr == WBEM_S_NO_ERROR) enumerator = new Enumerator(std::move(objects), deferred);
    Note(L"call ExecQuery #%ld language=\"%ls\" query=\"%ls\" flags=0x%lx context=%d -> 0x%08lx enum=#%ld", id(),
         OrNull(language), OrNull(query), flags, context != nullptr, hr, enumerator ? enumerator->id() : 0L);
    if (enumerator) *result = enumerator;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                                      IWbemCallResult** callResult) override {
    std::wstring className, key, value;
    bool hasKey = false;
    HRESULT hr = WBEM_S_NO_ERROR;
    WmiObject* made = nullptr;
    if (!ParseObjectPath(path, className, key, value, hasKey)) hr = WBEM_E_INVALID_OBJECT_PATH;
    else if (!SameName(className.c_str(), L"RuxeAction")) hr = WBEM_E_NOT_FOUND;
    else if (hasKey) {
      const FirmwareState state = ReadState();
      const bool known = std::any_of(state.instances.begin(), state.instances.end(),
                                     [&](const std::wstring& n) { return SameName(n.c_str(), value.c_str()); });
      if (!SameName(key.c_str(), L"InstanceName")) hr = WBEM_E_INVALID_OBJECT_PATH;
      else if (!known) hr = WBEM_E_NOT_FOUND;
      else made = MakeActionInstance(value);
    } else {
      made = MakeActionClass();
    }
    if (object) *object = nullptr;
    if (callResult) *callResult = nullptr;
    Note(L"call GetObject #%ld path=\"%ls\" flags=0x%lx context=%d askCallResult=%d -> 0x%08lx object=#%ld", id(),
         OrNull(path), flags, context != nullptr, callResult != nullptr, hr, made ? made->id() : 0L);
    if (made) {
      if (object) *object = made;
      else made->Release();
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                                       IWbemClassObject* in, IWbemClassObject** out,
                                       IWbemCallResult** callResult) override {
    std::wstring className, key, value;
    bool hasKey = false;
    HRESULT hr = WBEM_S_NO_ERROR;
    const FirmwareState state = ReadState();
    WmiObject* params = nullptr;
    wchar_t input[64] = L"(none)";
    int inputVt = -1;
    ULONGLONG answer = 0;
    if (out) *out = nullptr;
    if (callResult) *callResult = nullptr;
    if (!ParseObjectPath(path, className, key, value, hasKey)) {
      hr = WBEM_E_INVALID_OBJECT_PATH;
    } else if (!SameName(className.c_str(), L"RuxeAction")) {
      hr = WBEM_E_INVALID_CLASS;
    } else if (!hasKey || !SameName(key.c_str(), L"InstanceName")) {
      // GetFunction is not static: it needs the instance.
      hr = WBEM_E_INVALID_OBJECT_PATH;
    } else if (!std::any_of(state.instances.begin(), state.instances.end(),
                            [&](const std::wstring& n) { return SameName(n.c_str(), value.c_str()); })) {
      hr = WBEM_E_NOT_FOUND;
    } else if (!SameName(method, L"GetFunction")) {
      hr = WBEM_E_INVALID_METHOD;
    } else if (!in || in->QueryInterface(IID_IStandinObject, reinterpret_cast<void**>(&params)) != S_OK) {
      hr = WBEM_E_INVALID_METHOD_PARAMETERS;
    } else {
      // The firmware takes exactly its declared parameter, given a value.
      for (const Property& p : params->properties()) {
        if (p.name.rfind(L"__", 0) == 0) continue;
        if (!SameName(p.name.c_str(), L"uiInput")) hr = WBEM_E_INVALID_METHOD_PARAMETERS;
      }
      Property* uiInput = params->Find(L"uiInput");
      if (!uiInput || V_VT(&uiInput->value) == VT_NULL || V_VT(&uiInput->value) == VT_EMPTY) {
        hr = WBEM_E_INVALID_METHOD_PARAMETERS;
      } else {
        inputVt = V_VT(&uiInput->value);
        _snwprintf_s(input, _countof(input), _TRUNCATE, L"%ld", V_I4(&uiInput->value));
      }
      if (hr == WBEM_S_NO_ERROR && state.failMethod != S_OK) hr = state.failMethod;
      if (hr == WBEM_S_NO_ERROR) {
        // Function 5 reports the usage mode; the stand-in knows no other
        // function and answers those with a status byte that means "no
        // valid mode".
        answer = (V_I4(&uiInput->value) == 5)
                     ? ((static_cast<ULONGLONG>(state.posture & 0xFF) << 32) | (state.status & 0xFF))
                     : 0xFFu;
      }
    }
    WmiObject* result = nullptr;
    if (hr == WBEM_S_NO_ERROR && out) {
      result = new WmiObject(L"GetFunction.out", false);
      AddTextProperty(result, L"__CLASS", CIM_STRING, L"__PARAMETERS");
      // WMI hands a uint64 out as its decimal text.
      AddTextProperty(result, L"uiOutput", CIM_UINT64, std::to_wstring(answer));
    }
    Note(L"call ExecMethod #%ld path=\"%ls\" method=\"%ls\" flags=0x%lx context=%d in=#%ld uiInput=%ls vt=%d "
         L"askOut=%d askCallResult=%d -> 0x%08lx uiOutput=0x%016llx out=#%ld",
         id(), OrNull(path), OrNull(method), flags, context != nullptr, params ? params->id() : 0L, input, inputVt,
         out != nullptr, callResult != nullptr, hr, answer, result ? result->id() : 0L);
    if (result) *out = result;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                                       IWbemContext* context, IWbemObjectSink* sink) override {
    std::wstring className;
    HRESULT hr = WBEM_S_NO_ERROR;
    if (!sink) hr = WBEM_E_INVALID_PARAMETER;
    else if (!SameName(language, L"WQL")) hr = WBEM_E_INVALID_QUERY_TYPE;
    else if (!ParseSelectAll(query, className)) hr = WBEM_E_INVALID_QUERY;
    else if (SameName(className.c_str(), L"RuxeAction")) hr = WBEM_E_NOT_EVENT_CLASS;
    else if (!SameName(className.c_str(), L"RuxeEvent")) hr = WBEM_E_INVALID_CLASS;
    if (hr == WBEM_S_NO_ERROR) {
      sink->AddRef();
      std::lock_guard<std::mutex> hold(g_subscriptionLock);
      g_subscriptions.push_back(sink);
    }
    Note(L"call ExecNotificationQueryAsync #%ld language=\"%ls\" query=\"%ls\" flags=0x%lx context=%d -> 0x%08lx",
         id(), OrNull(language), OrNull(query), flags, context != nullptr, hr);
    return hr;
  }

  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* sink) override {
    HRESULT hr = WBEM_E_NOT_FOUND;
    IWbemObjectSink* cancelled = nullptr;
    if (!sink) {
      hr = WBEM_E_INVALID_PARAMETER;
    } else {
      std::lock_guard<std::mutex> hold(g_subscriptionLock);
      auto it = std::find(g_subscriptions.begin(), g_subscriptions.end(), sink);
      if (it != g_subscriptions.end()) {
        cancelled = *it;
        g_subscriptions.erase(it);
        hr = WBEM_S_NO_ERROR;
      }
    }
    Note(L"call CancelAsyncCall #%ld sink=%d -> 0x%08lx", id(), sink != nullptr, hr);
    if (cancelled) {
      // The query ends with its final status, then WMI lets the sink go.
      const HRESULT status = cancelled->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
      Note(L"status delivered WBEM_E_CALL_CANCELLED -> 0x%08lx", status);
      cancelled->Release();
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                          IWbemCallResult**) override {
    return Unexpected(L"OpenNamespace");
  }
  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return Unexpected(L"QueryObjectSink"); }
  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"GetObjectAsync");
  }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return Unexpected(L"PutClass");
  }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"PutClassAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return Unexpected(L"DeleteClass");
  }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"DeleteClassAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return Unexpected(L"CreateClassEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"CreateClassEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return Unexpected(L"PutInstance");
  }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"PutInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return Unexpected(L"DeleteInstance");
  }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"DeleteInstanceAsync");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return Unexpected(L"CreateInstanceEnum");
  }
  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"CreateInstanceEnumAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return Unexpected(L"ExecQueryAsync");
  }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                  IEnumWbemClassObject**) override {
    return Unexpected(L"ExecNotificationQuery");
  }
  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                            IWbemObjectSink*) override {
    return Unexpected(L"ExecMethodAsync");
  }
};

// ---------------------------------------------------------------------------
// The unsecured apartment and its stubs

class ObjectStub final : public IWbemObjectSink, public Tracked {
 public:
  explicit ObjectStub(IWbemObjectSink* target) : Tracked(L"ObjectStub"), target_(target) {}
  ~ObjectStub() override { target_->Release(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemObjectSink)) {
      *out = static_cast<IWbemObjectSink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  TRACKED_REFCOUNT
  HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override {
    return target_->Indicate(count, objects);
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override {
    return target_->SetStatus(flags, result, text, object);
  }

 private:
  IWbemObjectSink* target_;
};

class UnsecuredApartment final : public IUnsecuredApartment, public Tracked {
 public:
  UnsecuredApartment() : Tracked(L"UnsecuredApartment") {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IUnsecuredApartment)) {
      *out = static_cast<IUnsecuredApartment*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  TRACKED_REFCOUNT
  HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* object, IUnknown** stub) override {
    HRESULT hr = E_POINTER;
    ObjectStub* made = nullptr;
    if (object && stub) {
      IWbemObjectSink* target = nullptr;
      hr = object->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void**>(&target));
      if (hr == S_OK) made = new ObjectStub(target);
    }
    if (stub) *stub = made ? static_cast<IUnknown*>(static_cast<IWbemObjectSink*>(made)) : nullptr;
    Note(L"call CreateObjectStub #%ld -> 0x%08lx stub=#%ld", id(), hr, made ? made->id() : 0L);
    return hr;
  }
};

// Class objects live as long as the process; COM's references to them do not
// count as objects handed out.
template <typename Make>
class StaticFactory final : public IClassFactory {
 public:
  explicit StaticFactory(const wchar_t* name) : name_(name) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    HRESULT hr = CLASS_E_NOAGGREGATION;
    if (!outer) {
      IUnknown* object = Make()();
      hr = object->QueryInterface(iid, out);
      object->Release();
    }
    Note(L"call CreateInstance %ls outer=%d -> 0x%08lx", name_, outer != nullptr, hr);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) ++g_locks;
    else --g_locks;
    return S_OK;
  }

 private:
  const wchar_t* name_;
};

struct MakeApartment {
  IUnknown* operator()() const { return static_cast<IUnsecuredApartment*>(new UnsecuredApartment()); }
};

StaticFactory<MakeApartment> g_apartmentFactory(L"UnsecuredApartment");

// ---------------------------------------------------------------------------
// The control pipe

std::vector<BYTE> ParseHex(const std::string& text) {
  std::vector<BYTE> bytes;
  for (size_t i = 0; i + 2 <= text.size(); i += 2) {
    unsigned value = 0;
    if (sscanf(text.substr(i, 2).c_str(), "%2x", &value) != 1) break;
    bytes.push_back(static_cast<BYTE>(value));
  }
  return bytes;
}

std::string HandleCommand(const std::string& command) {
  if (command == "ping") return "pong";
  if (command == "live") {
    std::lock_guard<std::mutex> hold(g_journalLock);
    return "live " + std::to_string(g_liveObjects);
  }
  char hex[512] = {};
  unsigned objects = 1, calls = 1;
  if (sscanf(command.c_str(), "event %511s %u %u", hex, &objects, &calls) >= 1) {
    const std::string hexText = (strcmp(hex, "-") == 0) ? std::string() : std::string(hex);
    const std::vector<BYTE> detail = ParseHex(hexText);
    std::vector<IWbemObjectSink*> sinks;
    {
      std::lock_guard<std::mutex> hold(g_subscriptionLock);
      for (IWbemObjectSink* s : g_subscriptions) {
        s->AddRef();
        sinks.push_back(s);
      }
    }
    const std::wstring instance = ReadState().instances.front();
    for (IWbemObjectSink* sink : sinks) {
      for (unsigned c = 0; c < calls; ++c) {
        std::vector<IWbemClassObject*> batch;
        for (unsigned o = 0; o < objects; ++o) batch.push_back(MakeEvent(detail, instance));
        Note(L"deliver RuxeEvent detail=%hs objects=%u", hexText.c_str(), objects);
        const HRESULT hr = sink->Indicate(static_cast<LONG>(batch.size()), batch.data());
        Note(L"delivered -> 0x%08lx", hr);
        for (IWbemClassObject* e : batch) e->Release();
      }
      sink->Release();
    }
    return "delivered " + std::to_string(sinks.size());
  }
  return "unknown command";
}

// Runs for the rest of the process: serves one controller at a time.
DWORD WINAPI ControlThread(void*) {
  // The delivery thread is a thread of its own in the multithreaded
  // apartment, as WMI's delivery threads are.
  (void)::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::wstring name = L"\\\\.\\pipe\\tvr-firmware-standin-" + std::to_wstring(::GetCurrentProcessId());
  for (;;) {
    HANDLE pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      Note(L"control pipe refused 0x%08lx", ::GetLastError());
      ::Sleep(200);
      continue;
    }
    if (::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
      std::string pending;
      char buffer[1024];
      DWORD read = 0;
      while (::ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        pending.append(buffer, read);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
          std::string command = pending.substr(0, end);
          pending.erase(0, end + 1);
          if (!command.empty() && command.back() == '\r') command.pop_back();
          const std::string answer = HandleCommand(command) + "\n";
          DWORD written = 0;
          ::WriteFile(pipe, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
        }
      }
    }
    ::DisconnectNamedPipe(pipe);
    ::CloseHandle(pipe);
  }
}

std::once_flag g_firstConnect;

void OnFirstConnect() {
  DWORD cookie = 0;
  const HRESULT hr = ::CoRegisterClassObject(CLSID_UnsecuredApartment, &g_apartmentFactory, CLSCTX_LOCAL_SERVER,
                                             REGCLS_MULTIPLEUSE, &cookie);
  Note(L"registered UnsecuredApartment -> 0x%08lx", hr);
  HANDLE thread = ::CreateThread(nullptr, 0, ControlThread, nullptr, 0, nullptr);
  if (thread) ::CloseHandle(thread);
}

// ---------------------------------------------------------------------------
// The locator

class Locator final : public IWbemLocator, public Tracked {
 public:
  Locator() : Tracked(L"Locator") {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemLocator)) {
      *out = static_cast<IWbemLocator*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  TRACKED_REFCOUNT
  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR ns, const BSTR user, const BSTR password, const BSTR locale,
                                          LONG flags, const BSTR authority, IWbemContext* context,
                                          IWbemServices** services) override {
    std::call_once(g_firstConnect, OnFirstConnect);
    HRESULT hr = WBEM_S_NO_ERROR;
    std::wstring name = ns ? ns : L"";
    std::replace(name.begin(), name.end(), L'/', L'\\');
    if (name.rfind(L"\\\\.\\", 0) == 0) name.erase(0, 4);
    const FirmwareState state = ReadState();
    if (!services) hr = WBEM_E_INVALID_PARAMETER;
    else if (!SameName(name.c_str(), L"root\\wmi")) hr = WBEM_E_INVALID_NAMESPACE;
    else if (state.failConnect != S_OK) hr = state.failConnect;
    Services* made = (hr == WBEM_S_NO_ERROR) ? new Services() : nullptr;
    if (services) *services = made;
    Note(L"call ConnectServer #%ld namespace=\"%ls\" user=%d password=%d locale=%d flags=0x%lx authority=%d "
         L"context=%d -> 0x%08lx services=#%ld",
         id(), OrNull(ns), user != nullptr, password != nullptr, locale != nullptr, flags, authority != nullptr,
         context != nullptr, hr, made ? made->id() : 0L);
    return hr;
  }
};

struct MakeLocator {
  IUnknown* operator()() const { return static_cast<IWbemLocator*>(new Locator()); }
};

StaticFactory<MakeLocator> g_locatorFactory(L"WbemLocator");

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    ::DisableThreadLibraryCalls(instance);
    Note(L"loaded");
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_WbemLocator)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_locatorFactory.QueryInterface(iid, out);
}

// A control thread runs code of this DLL for the rest of the process.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
