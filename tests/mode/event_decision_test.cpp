// A firmware event's road through the sink into the service's decision: the
// sink handed DecideOnUsageMode, as the worker subscribes, against a system
// slate state that flips with each device write.
#include "mode/mode_check.h"
#include "wmi/event_sink.h"

#include "common/fake_slate.h"
#include "common/fake_wmi.h"
#include "common/published_sink_log.h"
#include "log/log_file.h"
#include "log/log_pointer.h"
#include "wmi/wmi_client.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using tvr_test::FakeFirmware;
using tvr_test::FakeSlate;
using tvr_test::FakeVariant;
using tvr_test::WmiStep;

namespace {

using PublishedLog = tvr_test::PublishedSinkLog;

// A sink wired to the service's decision, held for the length of a scope.
ComPtr<IWbemObjectSink> NewSink(CLogFile* logger) {
  // Constructing from the raw pointer takes the first reference (count 1).
  return ComPtr<IWbemObjectSink>(new EventSink(logger, &DecideOnUsageMode));
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

TEST(EventDecision, EventDetailDecidesAgainstTheMetric) {
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

TEST(EventDecision, EveryObjectInOrderReadsTheMetricAgain) {
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
  EXPECT_EQ(6, slate.MetricReads()) << "each object: the decision, then its toggle seen";
  EXPECT_EQ(3, slate.Toggles());
  EXPECT_NE(0, slate.Metric());
  EXPECT_EQ((std::vector<std::string>{"laptop", "other", "laptop"}), log.SinkMessages());
  EXPECT_EQ(0, firmware.LiveObjects());
}

TEST(EventDecision, WithoutALoggerTheSameTogglesAndNoLine) {
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

template <class F>
void OnFreshThread(F body) {
  std::thread worker(body);
  worker.join();
}

TEST(EventDecision, EventsFromManyThreadsEndInLineWithNoDoubleToggle) {
  FakeFirmware firmware;
  FakeSlate slate(0);
  slate.SetWriteDelay(5);  // widen the window between a read and its write
  OnFreshThread([&] {
    CWMIClient client(nullptr);
    ASSERT_EQ(S_OK, client.RegisterUsageModeEvent(&DecideOnUsageMode));
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

}  // namespace
