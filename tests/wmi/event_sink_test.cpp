#include "wmi/event_sink.h"

#include "common/fake_wmi.h"
#include "common/published_sink_log.h"
#include "log/log_file.h"
#include "log/log_pointer.h"
#include "wmi/wmi_client.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using tvr_test::FakeFirmware;
using tvr_test::FakeVariant;
using tvr_test::WmiStep;

namespace {

constexpr HRESULT Hr(WBEMSTATUS status) { return static_cast<HRESULT>(status); }

using PublishedLog = tvr_test::PublishedSinkLog;

// Stands in for the subscriber's decision: records every code it is handed,
// in order, and how many lines the log held at that moment (the sink's line
// must already be there).
class DecisionRecorder {
 public:
  struct Call {
    unsigned code;
    size_t linesBefore;
  };
  explicit DecisionRecorder(const PublishedLog* log = nullptr);
  ~DecisionRecorder() { current_ = nullptr; }
  DecisionRecorder(const DecisionRecorder&) = delete;
  DecisionRecorder& operator=(const DecisionRecorder&) = delete;

  static void Decide(unsigned code) noexcept;

  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  std::vector<unsigned> Codes() const {
    std::vector<unsigned> codes;
    for (const Call& call : Calls()) codes.push_back(call.code);
    return codes;
  }

 private:
  static inline DecisionRecorder* current_ = nullptr;
  const PublishedLog* log_;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

DecisionRecorder::DecisionRecorder(const PublishedLog* log) : log_(log) { current_ = this; }

void DecisionRecorder::Decide(unsigned code) noexcept {
  DecisionRecorder* self = current_;
  if (self == nullptr) return;
  const size_t lines = self->log_ != nullptr ? self->log_->Lines().size() : 0;
  std::lock_guard<std::mutex> hold(self->mutex_);
  self->calls_.push_back({code, lines});
}

// A sink held by the test for the length of a scope, deciding through the
// recorder.
ComPtr<IWbemObjectSink> NewSink(CLogFile* logger) {
  // Constructing from the raw pointer takes the first reference (count 1).
  return ComPtr<IWbemObjectSink>(new EventSink(logger, &DecisionRecorder::Decide));
}

HRESULT IndicateOne(IWbemObjectSink* sink, FakeFirmware& firmware, const FakeVariant& detail) {
  ComPtr<IWbemClassObject> event = firmware.MakeEventObject(detail);
  IWbemClassObject* objects[] = {event.Get()};
  return sink->Indicate(1, objects);
}

struct DetailCase {
  const char* label;
  FakeVariant detail;
  std::optional<unsigned> code;  // what the decision is handed; none: ignored
};

TEST(EventSinkIndicate, DecodesEventDetailAndHandsTheCodeOnAfterItsLine) {
  const DetailCase cases[] = {
      {"kLaptop", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}), 1},
      {"kFloating", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 0x20, 0}), 32},
      {"code 257", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 1}), 257},
      {"code 2", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 2, 0}), 2},
      {"code 0x2000 (floating in the high byte)", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 0, 0x20}), 0x2000},
      {"bytes 1 to 5 are not read", FakeVariant::Bytes({5, 1, 1, 1, 1, 1, 1, 0}), 1},
      {"kind 4", FakeVariant::Bytes({4, 0, 0, 0, 0, 0, 1, 0}), std::nullopt},
      {"empty array", FakeVariant::Bytes({}), std::nullopt},
      {"one byte 05: code 0", FakeVariant::Bytes({5}), 0},
      {"seven bytes: high byte 0", FakeVariant::Bytes({5, 9, 9, 9, 9, 9, 0x20}), 32},
      {"twelve bytes: first eight decide", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0, 7, 7, 7, 7}), 1},
      {"signed byte array", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}, VT_I1), 1},
      {"byte array by reference", FakeVariant::BytesByRef({5, 0, 0, 0, 0, 0, 0x20, 0}), 32},
      {"array of longs ignored", FakeVariant::Longs({5, 0, 0, 0, 0, 0, 1, 0}), std::nullopt},
      {"array of strings ignored", FakeVariant::Texts({L"5", L"0"}), std::nullopt},
      {"number ignored", FakeVariant::I4(5), std::nullopt},
      {"text ignored", FakeVariant::Text(L"05 00 00 00 00 00 01 00"), std::nullopt},
      {"null ignored", FakeVariant::Null(), std::nullopt},
      {"missing property ignored", FakeVariant::Missing(), std::nullopt},
  };
  for (const DetailCase& c : cases) {
    SCOPED_TRACE(c.label);
    FakeFirmware firmware;
    PublishedLog log;
    DecisionRecorder decisions(&log);
    {
      ComPtr<IWbemObjectSink> sink = NewSink(log.log());
      EXPECT_EQ(WBEM_S_NO_ERROR, IndicateOne(sink.Get(), firmware, c.detail));
    }
    if (!c.code) {
      EXPECT_TRUE(decisions.Calls().empty());
      EXPECT_TRUE(log.Lines().empty());
    } else {
      const bool laptopClass = *c.code == 1 || *c.code == 32;
      ASSERT_EQ(1u, decisions.Calls().size());
      EXPECT_EQ(*c.code, decisions.Calls()[0].code);
      EXPECT_EQ(1u, decisions.Calls()[0].linesBefore) << "the line goes out before the decision";
      EXPECT_EQ(std::vector<std::string>{laptopClass ? "laptop" : "other"}, log.SinkMessages());
    }
    EXPECT_EQ(0, firmware.LiveObjects());
  }
}

TEST(EventSinkIndicate, HandlesEveryObjectInOrder) {
  FakeFirmware firmware;
  PublishedLog log;
  DecisionRecorder decisions(&log);
  {
    ComPtr<IWbemObjectSink> sink = NewSink(log.log());
    std::vector<ComPtr<IWbemClassObject>> events = {
        firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0})),
        firmware.MakeEventObject(FakeVariant::Bytes({4, 0, 0, 0, 0, 0, 1, 0})),  // not a usage-mode change
        firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 2, 0})),
        firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 0x20, 0})),
    };
    IWbemClassObject* objects[] = {events[0].Get(), events[1].Get(), events[2].Get(), events[3].Get()};
    EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(4, objects));
  }
  EXPECT_EQ((std::vector<unsigned>{1, 2, 32}), decisions.Codes());
  const std::vector<DecisionRecorder::Call> calls = decisions.Calls();
  ASSERT_EQ(3u, calls.size());
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(i + 1, calls[i].linesBefore) << "object " << i;
  EXPECT_EQ((std::vector<std::string>{"laptop", "other", "laptop"}), log.SinkMessages());
  EXPECT_EQ(0, firmware.LiveObjects());
}

TEST(EventSinkIndicate, WithoutALoggerTheSameDecisionsAndNoLine) {
  FakeFirmware firmware;
  PublishedLog log;  // published, but not the sink's
  DecisionRecorder decisions;
  {
    ComPtr<IWbemObjectSink> sink = NewSink(nullptr);
    EXPECT_EQ(WBEM_S_NO_ERROR, IndicateOne(sink.Get(), firmware, FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 2, 0})));
  }
  EXPECT_EQ(std::vector<unsigned>{2}, decisions.Codes());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(EventSinkIndicate, WithoutADecisionOnlyTheLine) {
  FakeFirmware firmware;
  PublishedLog log;
  DecisionRecorder decisions;
  {
    ComPtr<IWbemObjectSink> sink(new EventSink(log.log(), nullptr));
    EXPECT_EQ(WBEM_S_NO_ERROR, IndicateOne(sink.Get(), firmware, FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0})));
  }
  EXPECT_TRUE(decisions.Calls().empty());
  EXPECT_EQ(std::vector<std::string>{"laptop"}, log.SinkMessages());
}

TEST(EventSinkIndicate, NoObjectsOrNullEntriesDoNothing) {
  DecisionRecorder decisions;
  ComPtr<IWbemObjectSink> sink = NewSink(nullptr);
  IWbemClassObject* nulls[] = {nullptr, nullptr};
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(0, nullptr));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(2, nullptr));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(2, nulls));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(-1, nulls));
  EXPECT_TRUE(decisions.Calls().empty());
}

TEST(EventSinkStatus, SetStatusReturnsZeroAndChangesNothing) {
  FakeFirmware firmware;
  DecisionRecorder decisions;
  ComPtr<IWbemObjectSink> sink = NewSink(nullptr);
  ComPtr<IWbemClassObject> object = firmware.MakeEventObject(FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}));
  BSTR text = SysAllocString(L"done");
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->SetStatus(WBEM_STATUS_COMPLETE, Hr(WBEM_E_CALL_CANCELLED), text, object.Get()));
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->SetStatus(0, S_OK, nullptr, nullptr));
  SysFreeString(text);
  EXPECT_TRUE(decisions.Calls().empty());
}

TEST(EventSinkReferences, CountsAndInterfaces) {
  auto* sink = new EventSink(nullptr, &DecisionRecorder::Decide);
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
  auto* sink = new EventSink(nullptr, &DecisionRecorder::Decide);
  EXPECT_EQ(1u, sink->AddRef());
  EXPECT_EQ(0u, sink->Release());
}

TEST(EventSinkReferences, CountIsExactUnderConcurrentAddRefAndRelease) {
  auto* sink = new EventSink(nullptr, &DecisionRecorder::Decide);
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
  PublishedLog log;
  DecisionRecorder decisions(&log);
  OnFreshThread([&] {
    CWMIClient client(log.log());
    EXPECT_EQ(S_OK, client.RegisterUsageModeEvent(&DecisionRecorder::Decide));
    EXPECT_TRUE(firmware.Subscribed());
    // An event arrives through the stub and reaches the sink with its logger
    // and the subscriber's decision.
    EXPECT_EQ(WBEM_S_NO_ERROR, firmware.DeliverEvents({FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0})}));
    EXPECT_EQ(std::vector<unsigned>{1}, decisions.Codes());
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
  EXPECT_EQ(std::vector<unsigned>{1}, decisions.Codes());
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
      EXPECT_EQ(c.scripted, client.RegisterUsageModeEvent(&DecisionRecorder::Decide));
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
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_CONNECTED), client.RegisterUsageModeEvent(&DecisionRecorder::Decide));
  });
  EXPECT_EQ(0, firmware.Calls(WmiStep::CreateApartment));
  EXPECT_EQ(0, firmware.Calls(WmiStep::CancelAsyncCall));
  EXPECT_EQ(0, firmware.LiveObjects());
}

TEST(UsageModeSubscription, WithoutADecisionNothingIsCreated) {
  FakeFirmware firmware;
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    EXPECT_EQ(E_INVALIDARG, client.RegisterUsageModeEvent(nullptr));
    EXPECT_FALSE(firmware.Subscribed());
  });
  EXPECT_EQ(0, firmware.Calls(WmiStep::CreateApartment));
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
    EXPECT_EQ(REGDB_E_CLASSNOTREG, client.RegisterUsageModeEvent(&DecisionRecorder::Decide));
    ULONGLONG usage = 0x1234;
    EXPECT_EQ(plainQuery, client.QueryUsageMode(usage));
    EXPECT_EQ(0x1234u, usage);
  });
}

}  // namespace
