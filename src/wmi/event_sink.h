#pragma once
// The receiver of the firmware's usage-mode events. WMI calls it through the
// unsecured apartment's stub, on its own delivery threads, at any time.

#include <windows.h>
#include <wbemidl.h>

#include "wmi/usage_mode.h"

class CLogFile;

class EventSink final : public IWbemObjectSink {
 public:
  // Starts with a count of 0; the creator takes the first reference.
  // `logger` is not owned and may be null (no lines then). `decide` is what
  // the subscriber does with each usage-mode change; null decides nothing.
  EventSink(CLogFile* logger, UsageModeDecision decide) noexcept : logger(logger), decide(decide) {}

  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // IUnknown and IWbemObjectSink answer with this sink; anything else gets
  // E_NOINTERFACE and a null pointer.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  // Destroys the sink when the count reaches 0.
  ULONG STDMETHODCALLTYPE Release() override;

  // Hands each event object's own usage-mode code to the decision, in array
  // order, after its line. Unreadable or foreign events are skipped; always
  // returns WBEM_S_NO_ERROR.
  HRESULT STDMETHODCALLTYPE Indicate(LONG objectCount, IWbemClassObject** objects) override;
  // The subscription's final status is of no interest; returns WBEM_S_NO_ERROR.
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

 private:
  ~EventSink() = default;  // only Release destroys a sink

  void HandleEvent(IWbemClassObject* object) noexcept;

  LONG refCount = 0;
  CLogFile* logger;
  UsageModeDecision decide;
};
