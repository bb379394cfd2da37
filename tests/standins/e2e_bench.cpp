// Firmware event -> indicator byte through the installed TVRSvc.exe and the
// stand-ins (`make bench`), beside the floor: a minimal client in this
// process that makes the same calls (subscribe through the unsecured
// apartment; on each event read EventDetail, enumerate the indicator devices,
// open, write one byte, close). Events alternate between the two, so both
// see the same load. Printed, never asserted.
//   tvr_e2e_bench [EVENTS]   (default 250)
#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "indicator_devices.h"

namespace {

using namespace tvr_standin;

// The floor's sink: the least a client can do with each event.
class MinimalSink final : public IWbemObjectSink {
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
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override {
    for (LONG i = 0; i < count; ++i) {
      VARIANT detail;
      ::VariantInit(&detail);
      if (objects[i]->Get(L"EventDetail", 0, &detail, nullptr, nullptr) == S_OK) WriteEveryDevice();
      ::VariantClear(&detail);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return S_OK; }

 private:
  static void WriteEveryDevice() {
    for (const std::wstring& path : PresentIndicatorPaths()) {
      HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      const BYTE zero = 0;
      DWORD written = 0;
      ::WriteFile(file, &zero, 1, &written, nullptr);
      ::CloseHandle(file);
    }
  }
  LONG refs_ = 1;
};

struct Floor {
  IWbemLocator* locator = nullptr;
  IWbemServices* services = nullptr;
  IWbemObjectSink* stub = nullptr;
  bool Subscribe() {
    if (::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                           reinterpret_cast<void**>(&locator)) != S_OK) {
      return false;
    }
    BSTR ns = ::SysAllocString(L"root\\wmi");
    const HRESULT connected = locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    ::SysFreeString(ns);
    if (connected != S_OK) return false;
    IUnsecuredApartment* apartment = nullptr;
    if (::CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnsecuredApartment,
                           reinterpret_cast<void**>(&apartment)) != S_OK) {
      return false;
    }
    MinimalSink* sink = new MinimalSink();
    IUnknown* stubUnknown = nullptr;
    HRESULT hr = apartment->CreateObjectStub(sink, &stubUnknown);
    sink->Release();
    apartment->Release();
    if (hr != S_OK) return false;
    hr = stubUnknown->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void**>(&stub));
    stubUnknown->Release();
    if (hr != S_OK) return false;
    BSTR language = ::SysAllocString(L"WQL");
    BSTR query = ::SysAllocString(L"SELECT * FROM RuxeEvent");
    hr = services->ExecNotificationQueryAsync(language, query, WBEM_FLAG_SEND_STATUS, nullptr, stub);
    ::SysFreeString(language);
    ::SysFreeString(query);
    return hr == S_OK;
  }
  ~Floor() {
    if (services && stub) services->CancelAsyncCall(stub);
    if (stub) stub->Release();
    if (services) services->Release();
    if (locator) locator->Release();
  }
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::max(1, atoi(argv[1])) : 250;
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  auto ms = [&](LONGLONG ticks) { return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart); };

  if (!RemoveServiceIfPresent() || !SetLogSwitch(false)) {
    std::fprintf(stderr, "bench: the service or the log switch is not ours\n");
    return 1;
  }
  // Tablet: the start-up check writes nothing; every laptop event then
  // writes one byte, since Wine's metric stays 0 (slate).
  if (!WriteFirmwareState({2, 0}) || ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE) != 0) {
    std::fprintf(stderr, "bench: the firmware state or the slate metric is not as the bench needs\n");
    return 1;
  }
  IndicatorDevices devices(1);
  std::string output;
  DWORD pid = 0;
  if (!devices.ok() || RunAndWait(ProductExe(), L"-install", &output) != 0 || !StartInstalledService(&pid)) {
    std::fprintf(stderr, "bench: could not install and start the service: %s %s\n", devices.error().c_str(),
                 output.c_str());
    RemoveServiceIfPresent();
    return 1;
  }
  // The subscription is in place once the provider's control pipe answers.
  const std::vector<BYTE> warm = {4, 0, 0, 0, 0, 0, 0, 0};  // not a usage-mode change: no write
  (void)RaiseFirmwareEvent(pid, warm);

  (void)::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  {
    Floor floor;
    if (!floor.Subscribe()) {
      std::fprintf(stderr, "bench: the minimal client could not subscribe\n");
      status = 1;
    } else {
      // The minimal client writes on every event, this one too: its byte must
      // be in before the counting starts, or the first measurement takes it
      // for its own and comes out negative.
      const size_t beforeWarm = devices.Bytes(0).size();
      (void)RaiseFirmwareEvent(::GetCurrentProcessId(), warm);
      (void)devices.WaitForBytes(0, beforeWarm + 1, 5000);
      std::vector<double> service, minimal;
      const std::vector<BYTE> laptop = UsageModeEventDetail(1);
      size_t bytes = devices.Bytes(0).size();
      int lost = 0;
      for (int i = 0; i < events; ++i) {
        for (int who = 0; who < 2; ++who) {
          LARGE_INTEGER start;
          ::QueryPerformanceCounter(&start);
          const DWORD target = who == 0 ? pid : ::GetCurrentProcessId();
          if (RaiseFirmwareEvent(target, laptop) != 1) {
            ++lost;
            continue;
          }
          const LONGLONG arrived = devices.WaitForByteTime(0, ++bytes, 5000);
          if (arrived == 0) {
            ++lost;
            bytes = devices.Bytes(0).size();
            continue;
          }
          (who == 0 ? service : minimal).push_back(ms(arrived - start.QuadPart));
          // The device is free again before the next event.
          (void)devices.WaitForBytes(0, bytes, 5000);
        }
      }
      const double serviceMedian = Percentile(service, 0.5), floorMedian = Percentile(minimal, 0.5);
      std::printf("firmware event -> indicator byte, %zu + %zu events (alternating), logging off, 1 device\n",
                  service.size(), minimal.size());
      std::printf("  installed TVRSvc.exe: median %.3f ms, p99 %.3f ms (p10 %.3f, p90 %.3f)\n", serviceMedian,
                  Percentile(service, 0.99), Percentile(service, 0.10), Percentile(service, 0.90));
      std::printf("  minimal client:       median %.3f ms, p99 %.3f ms (p10 %.3f, p90 %.3f)\n", floorMedian,
                  Percentile(minimal, 0.99), Percentile(minimal, 0.10), Percentile(minimal, 0.90));
      std::printf("  ratio of medians: %.2f; p99 ratio %.2f%s\n", floorMedian > 0 ? serviceMedian / floorMedian : 0.0,
                  Percentile(minimal, 0.99) > 0 ? Percentile(service, 0.99) / Percentile(minimal, 0.99) : 0.0,
                  lost ? (", " + std::to_string(lost) + " events without a byte").c_str() : "");
    }
  }
  ::CoUninitialize();
  (void)StopInstalledService();
  (void)RunAndWait(ProductExe(), L"-remove", &output);
  (void)RemoveServiceIfPresent();
  std::fflush(stdout);
  return status;
}
