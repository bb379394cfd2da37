#include "wmi/event_sink.h"

#include "common/scoped_com.h"
#include "log/log_pointer.h"
#include "wmi/variant_decode.h"

namespace {

constexpr wchar_t kFunction[] = L"EventSink::Indicate";
constexpr wchar_t kLaptopClassMessage[] = L"UsageModeEvent == kLaptop || UsageModeEvent == kFloating";
constexpr wchar_t kOtherMessage[] = L"UsageModeEvent == other";

}  // namespace

HRESULT EventSink::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemObjectSink)) {
    *object = static_cast<IWbemObjectSink*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG EventSink::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refCount)); }

ULONG EventSink::Release() {
  const LONG left = ::InterlockedDecrement(&refCount);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT EventSink::Indicate(LONG objectCount, IWbemClassObject** objects) {
  if (!objects) return WBEM_S_NO_ERROR;
  for (LONG i = 0; i < objectCount; ++i) HandleEvent(objects[i]);
  return WBEM_S_NO_ERROR;
}

HRESULT EventSink::SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) { return WBEM_S_NO_ERROR; }

void EventSink::HandleEvent(IWbemClassObject* object) noexcept {
  if (!object) return;
  BYTE detail[8] = {};
  tvr::ScopedVariant value;
  if (object->Get(L"EventDetail", 0, value.Receive(), nullptr, nullptr) != WBEM_S_NO_ERROR) return;
  // Not a byte array, or an empty one: byte 0 stays 0 and the event is not ours.
  tvr::CopyLeadingBytes(value.ref(), detail, sizeof detail);
  if (detail[0] != kUsageModeChangeEvent) return;

  const unsigned code = detail[6] + 256u * detail[7];
  // The line goes out before the decision, whatever the decision then does.
  LogLine(logger, kLogInfo, kFunction, IsLaptopClassUsageMode(code) ? kLaptopClassMessage : kOtherMessage);
  if (decide != nullptr) decide(code);
}
