#include "wmi/event_sink.h"

#include "common/fake_slate.h"
#include "common/fake_wmi.h"
#include "log/log_file.h"
#include "log/log_pointer.h"
#include "wmi/wmi_client.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using tvr_test::FakeFirmware;
using tvr_test::FakeSlate;
using tvr_test::FakeVariant;
using tvr_test::WmiStep;

namespace {

constexpr HRESULT Hr(WBEMSTATUS status) { return static_cast<HRESULT>(status); }

const char kLaptopLine[] = "| EventSink::Indicate | UsageModeEvent == kLaptop || UsageModeEvent == kFloating";
const char kOtherLine[] = "| EventSink::Indicate | UsageModeEvent == other";

// A real log object on a scratch file, published as the process's log.
class PublishedLog {
 public:
  PublishedLog() {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"wsk", 0, path_);
    DeleteFileW(path_);
    log_ = new CLogFile(path_, kModuleName);
    PublishLog(log_);
  }
  ~PublishedLog() {
    RetireLog(log_);
    DeleteFileW(path_);
  }
  CLogFile* log() const { return log_; }

  // Lines of the file without their CR LF.
  std::vector<std::string> Lines() const {
    std::ifstream file(path_, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(bytes.substr(start, end - start));
    }
    if (start < bytes.size()) lines.push_back(bytes.substr(start));
    return lines;
  }
  // For each line, which of the sink's two messages it ends with ("" if neither).
  std::vector<std::string> SinkMessages() const {
    std::vector<std::string> kinds;
    for (const std::string& line : Lines()) {
      auto endsWith = [&](const char* tail) {
        const std::string t(tail);
        return line.size() >= t.size() && line.compare(line.size() - t.size(), t.size(), t) == 0;
      };
      kinds.push_back(endsWith(kLaptopLine) ? "laptop" : endsWith(kOtherLine) ? "other" : "");
    }
    return kinds;
  }

 private:
  wchar_t path_[MAX_PATH] = {};
  CLogFile* log_ = nullptr;
};

// A sink held by the test for the length of a scope.
ComPtr<IWbemObjectSink> NewSink(CLogFile* logger) {
  // Constructing from the raw pointer takes the first reference (count 1).
  return ComPtr<IWbemObjectSink>(new EventSink(logger));
}

HRESULT IndicateOne(IWbemObjectSink* sink, FakeFirmware& firmware, const FakeVariant& detail) {
  ComPtr<IWbemClassObject> event = firmware.MakeEventObject(detail);
  IWbemClassObject* objects[] = {event.Get()};
  return sink->Indicate(1, objects);
}

enum class Wants { kNothing, kLaptop, kSlate };

struct DetailCase {
  const char* label;
  FakeVariant detail;
  Wants wants;
};

TEST(EventSinkIndicate, DecodesEventDetailAndDecidesAgainstTheMetric) {
  const DetailCase cases[] = {
      {"kLaptop", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}), Wants::kLaptop},
      {"kFloating", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 0x20, 0}), Wants::kLaptop},
      {"code 257", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 1}), Wants::kSlate},
      {"code 2", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 2, 0}), Wants::kSlate},
      {"code 0x2000 (floating in the high byte)", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 0, 0x20}), Wants::kSlate},
      {"kind 4", FakeVariant::Bytes({4, 0, 0, 0, 0, 0, 1, 0}), Wants::kNothing},
      {"empty array", FakeVariant::Bytes({}), Wants::kNothing},
      {"one byte 05: code 0", FakeVariant::Bytes({5}), Wants::kSlate},
      {"seven bytes: high byte 0", FakeVariant::Bytes({5, 9, 9, 9, 9, 9, 0x20}), Wants::kLaptop},
      {"twelve bytes: first eight decide", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0, 7, 7, 7, 7}), Wants::kLaptop},
      {"signed byte array", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}, VT_I1), Wants::kLaptop},
      {"byte array by reference", FakeVariant::BytesByRef({5, 0, 0, 0, 0, 0, 0x20, 0}), Wants::kLaptop},
      {"array of longs ignored", FakeVariant::Longs({5, 0, 0, 0, 0, 0, 1, 0}), Wants::kNothing},
      {"array of strings ignored", FakeVariant::Texts({L"5", L"0"}), Wants::kNothing},
      {"number ignored", FakeVariant::I4(5), Wants::kNothing},
      {"text ignored", FakeVariant::Text(L"05 00 00 00 00 00 01 00"), Wants::kNothing},
      {"null ignored", FakeVariant::Null(), Wants::kNothing},
      {"missing property ignored", FakeVariant::Missing(), Wants::kNothing},
  };
  for (const DetailCase& c : cases) {
    for (const int metric : {0, 1, 7}) {
      SCOPED_TRACE(std::string(c.label) + ", metric " + std::to_string(metric));
      FakeFirmware firmware;
      FakeSlate slate(metric);
      PublishedLog log;
      {
        ComPtr<IWbemObjectSink> sink = NewSink(log.log());
        EXPECT_EQ(WBEM_S_NO_ERROR, IndicateOne(sink.Get(), firmware, c.detail));
      }
      const bool systemLaptop = metric != 0;
      switch (c.wants) {
        case Wants::kNothing:
          EXPECT_EQ(0, slate.MetricReads());
          EXPECT_EQ(0, slate.Toggles());
          EXPECT_TRUE(log.Lines().empty());
          break;
        case Wants::kLaptop:
          EXPECT_EQ(systemLaptop ? 0 : 1, slate.Toggles());
          EXPECT_EQ(std::vector<std::string>{"laptop"}, log.SinkMessages());
          break;
        case Wants::kSlate:
          EXPECT_EQ(systemLaptop ? 1 : 0, slate.Toggles());
          EXPECT_EQ(std::vector<std::string>{"other"}, log.SinkMessages());
          break;
      }
      EXPECT_EQ(0, firmware.LiveObjects());
    }
  }
}

TEST(EventSinkIndicate, HandlesEveryObjectInOrderReadingTheMetricEachTime) {
  FakeFirmware firmware;
  FakeSlate slate(0);
  PublishedLog log;
  {
    ComPtr<IWbemObjectSink> sink = NewSink(log.log());
    std::vector<ComPtr<IWbemClassObject>> events = {
        firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0})),   // laptop: slate -> laptop
        firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 2, 0})),   // other: laptop -> slate
        firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 0x20, 0})),  // floating: slate -> laptop
    };
    IWbemClassObject* objects[] = {events[0].Get(), events[1].Get(), events[2].Get()};
    EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(3, objects));
  }
  EXPECT_EQ(3, slate.MetricReads());
  EXPECT_EQ(3, slate.Toggles());
  EXPECT_NE(0, slate.Metric());
  EXPECT_EQ((std::vector<std::string>{"laptop", "other", "laptop"}), log.SinkMessages());
  EXPECT_EQ(0, firmware.LiveObjects());
}

TEST(EventSinkIndicate, WithoutALoggerTheSameTogglesAndNoLine) {
  FakeFirmware firmware;
  FakeSlate slate(1);
  PublishedLog log;  // published, but not the sink's
  {
    ComPtr<IWbemObjectSink> sink = NewSink(nullptr);
    EXPECT_EQ(WBEM_S_NO_ERROR, IndicateOne(sink.Get(), firmware, FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 2, 0})));
  }
  EXPECT_EQ(1, slate.Toggles());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(EventSinkIndicate, NoObjectsOrNullEntriesDoNothing) {
  FakeSlate slate(0);
  ComPtr<IWbemObjectSink> sink = NewSink(nullptr);
  IWbemClassObject* nulls[] = {nullptr, nullptr};
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(0, nullptr));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(2, nullptr));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(2, nulls));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(-1, nulls));
  EXPECT_EQ(0, slate.MetricReads());
}

TEST(EventSinkStatus, SetStatusReturnsZeroAndChangesNothing) {
  FakeFirmware firmware;
  FakeSlate slate(0);
  ComPtr<IWbemObjectSink> sink = NewSink(nullptr);
  ComPtr<IWbemClassObject> object = firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}));
  BSTR text = SysAllocString(L"done");
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->SetStatus(WBEM_STATUS_COMPLETE, Hr(WBEM_E_CALL_CANCELLED), text, object.Get()));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->SetStatus(0, S_OK, nullptr, nullptr));
  SysFreeString(text);
  EXPECT_EQ(0, slate.MetricReads());
  EXPECT_EQ(0, slate.Toggles());
}

TEST(EventSinkReferences, CountsAndInterfaces) {
  auto* sink = new EventSink(nullptr);
  EXPECT_EQ(1u, sink->AddRef());

  void* unknown = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(S_OK, sink->QueryInterface(IID_IUnknown, &unknown));
  EXPECT_EQ(static_cast<IWbemObjectSink*>(sink), unknown);
  void* objectSink = nullptr;
  EXPECT_EQ(S_OK, sink->QueryInterface(IID_IWbemObjectSink, &objectSink));
  EXPECT_EQ(static_cast<IWbemObjectSink*>(sink), objectSink);
  EXPECT_EQ(4u, sink->AddRef());  // 1 + two queries + this one
  EXPECT_EQ(3u, sink->Release());

  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IWbemServices, &other));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IClassFactory, &other));
  EXPECT_EQ(nullptr, other);

  EXPECT_EQ(2u, sink->Release());
  EXPECT_EQ(1u, sink->Release());
  EXPECT_EQ(0u, sink->Release());  // destroyed here
}

TEST(EventSinkReferences, FreshSinkFirstAddRefIsOneAndItsReleaseIsZero) {
  auto* sink = new EventSink(nullptr);
  EXPECT_EQ(1u, sink->AddRef());
  EXPECT_EQ(0u, sink->Release());
}

TEST(EventSinkReferences, CountIsExactUnderConcurrentAddRefAndRelease) {
  auto* sink = new EventSink(nullptr);
  sink->AddRef();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([sink] {
      for (int i = 0; i < 20000; ++i) {
        sink->AddRef();
        sink->Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(2u, sink->AddRef());
  sink->Release();
  EXPECT_EQ(0u, sink->Release());
}

// ---------------------------------------------------------------------------
// The subscription.

template <class F>
void OnFreshThread(F body) {
  std::thread worker(body);
  worker.join();
}

TEST(UsageModeSubscription, SubscribesTheStubAndDisconnectCancelsIt) {
  FakeFirmware firmware;
  FakeSlate slate(0);
  PublishedLog log;
  OnFreshThread([&] {
    CWMIClient client(log.log());
    EXPECT_EQ(S_OK, client.RegisterUsageModeEvent());
    EXPECT_TRUE(firmware.Subscribed());
    // An event arrives through the stub and reaches the sink with its logger.
    EXPECT_EQ(WBEM_S_NO_ERROR, firmware.DeliverEvents({FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0})}));
    EXPECT_EQ(1, slate.Toggles());
    EXPECT_EQ(std::vector<std::string>{"laptop"}, log.SinkMessages());
  });
  const tvr_test::FakeWmiRecord r = firmware.Record();
  EXPECT_EQ(static_cast<DWORD>(CLSCTX_LOCAL_SERVER), r.apartmentContext);
  EXPECT_TRUE(IsEqualIID(IID_IUnsecuredApartment, r.apartmentIid));
  EXPECT_TRUE(r.stubWrapsObjectSink);
  EXPECT_EQ(L"WQL", r.notifyLanguage);
  EXPECT_EQ(L"SELECT * FROM RuxeEvent", r.notifyQuery);
  EXPECT_EQ(0x80, r.notifyFlags);
  EXPECT_TRUE(r.notifyContextNull);
  EXPECT_TRUE(r.notifySinkIsStub);
  EXPECT_EQ(1, firmware.Calls(WmiStep::CancelAsyncCall));
  EXPECT_TRUE(r.cancelMatchedSubscription);
  EXPECT_FALSE(firmware.Subscribed());
  EXPECT_EQ(0, firmware.LiveObjects());
  // Nothing is delivered any more.
  EXPECT_EQ(E_UNEXPECTED, firmware.DeliverEvents({FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 2, 0})}));
  EXPECT_EQ(1, slate.Toggles());
}

struct SubscribeFailure {
  const char* label;
  WmiStep step;
  HRESULT scripted;
};

TEST(UsageModeSubscription, EachFailingStepReturnsItsResultAndLeaksNothing) {
  const SubscribeFailure cases[] = {
      {"apartment", WmiStep::CreateApartment, REGDB_E_CLASSNOTREG},
      {"stub", WmiStep::CreateObjectStub, E_OUTOFMEMORY},
      {"stub interface", WmiStep::StubQueryInterface, E_NOINTERFACE},
      {"notification query", WmiStep::ExecNotificationQueryAsync, Hr(WBEM_E_INVALID_CLASS)},
  };
  for (const SubscribeFailure& c : cases) {
    SCOPED_TRACE(c.label);
    FakeFirmware firmware;
    firmware.FailStep(c.step, c.scripted);
    OnFreshThread([&] {
      CWMIClient client(nullptr);
      EXPECT_EQ(c.scripted, client.RegisterUsageModeEvent());
      EXPECT_FALSE(firmware.Subscribed());
    });
    EXPECT_EQ(1, firmware.Calls(c.step));
    EXPECT_EQ(0, firmware.LiveObjects());
  }
}

TEST(UsageModeSubscription, WithoutAConnectionNothingIsCreated) {
  FakeFirmware firmware;
  firmware.FailStep(WmiStep::ConnectServer, Hr(WBEM_E_ACCESS_DENIED));
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED), client.RegisterUsageModeEvent());
  });
  EXPECT_EQ(0, firmware.Calls(WmiStep::CreateApartment));
  EXPECT_EQ(0, firmware.Calls(WmiStep::CancelAsyncCall));
  EXPECT_EQ(0, firmware.LiveObjects());
}

TEST(UsageModeSubscription, EventsFromManyThreadsEndInLineWithNoDoubleToggle) {
  FakeFirmware firmware;
  FakeSlate slate(0);
  slate.SetWriteDelay(5);  // widen the window between a read and its write
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    ASSERT_EQ(S_OK, client.RegisterUsageModeEvent());
    auto burst = [&](const FakeVariant& detail) {
      std::vector<std::thread> delivery;  // stand-ins for WMI's delivery threads
      for (int t = 0; t < 8; ++t) delivery.emplace_back([&] { firmware.DeliverEvents({detail}); });
      for (std::thread& thread : delivery) thread.join();
    };
    burst(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(1, slate.Toggles());
    EXPECT_NE(0, slate.Metric());
    burst(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 4, 0}));
    EXPECT_EQ(2, slate.Toggles());
    EXPECT_EQ(0, slate.Metric());
  });
  EXPECT_EQ(0, firmware.LiveObjects());
}

// Wine has no unsecured apartment: the subscription fails with that, and the
// client is otherwise unchanged.
TEST(UsageModeSubscription, UnderWineTheApartmentIsMissingAndNothingElseIsAffected) {
  OnFreshThread([] {
    HRESULT plainQuery = S_OK;
    {
      CWMIClient plain(nullptr);
      ULONGLONG usage = 0;
      plainQuery = plain.QueryUsageMode(usage);
    }
    CWMIClient client(nullptr);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, client.RegisterUsageModeEvent());
    ULONGLONG usage = 0x1234;
    EXPECT_EQ(plainQuery, client.QueryUsageMode(usage));
    EXPECT_EQ(0x1234u, usage);
  });
}

}  // namespace
