// The decide-and-toggle step and the indicator device loop, against the fake
// slate machine.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "common/fake_slate.h"
#include "common/scoped_handle.h"
#include "mode/mode_check.h"

namespace {

using tvr_test::FakeSlate;
using tvr_test::SlateDeviceFault;
using Bytes = std::vector<BYTE>;

const Bytes kOneToggle{0x00};
const Bytes kNothing{};

struct SyncCase {
  bool wantLaptop;
  int metric;
  bool toggles;
};

TEST(SyncSlateMode, TogglesOnlyWhenTheSystemDisagreesWithTheWantedPosture) {
  const SyncCase cases[] = {
      {true, 0, true},    // slate, laptop wanted
      {true, 1, false},   // already laptop
      {true, 7, false},   // any non-zero metric is laptop
      {true, -1, false},
      {false, 0, false},  // already slate
      {false, 1, true},
      {false, 7, true},
      {false, -1, true},
  };
  for (const SyncCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "laptop=" << c.wantLaptop << " metric=" << c.metric);
    FakeSlate slate(c.metric);
    SyncSlateMode(c.wantLaptop);
    EXPECT_EQ(c.toggles ? kOneToggle : kNothing, slate.BytesWritten(0));
    EXPECT_EQ(c.toggles ? 1 : 0, slate.Toggles());
    EXPECT_EQ(c.toggles ? 1 : 0, slate.DeviceSetRequests());
    // Read once before the decision, and once more after a write, to see
    // that the system shows the new state before the next decision may read.
    EXPECT_EQ(c.toggles ? 2 : 1, slate.MetricReads());
    EXPECT_EQ(c.toggles ? (c.metric == 0 ? 1 : 0) : c.metric, slate.Metric());
  }
}

TEST(SyncSlateMode, SecondCallAfterAToggleFindsTheStateInLine) {
  FakeSlate slate(0);
  SyncSlateMode(true);
  SyncSlateMode(true);
  EXPECT_EQ(kOneToggle, slate.BytesWritten(0));
  EXPECT_EQ(1, slate.Metric());
  EXPECT_EQ(3, slate.MetricReads()) << "read, write, seen; then read and in line";
}

struct LoopCase {
  const char* name;
  std::vector<SlateDeviceFault> devices;
  std::vector<Bytes> expected;  // per device
};

TEST(ToggleSlateIndicator, WritesOneZeroByteToEveryDeviceThatCanBeOpened) {
  using F = SlateDeviceFault;
  const LoopCase cases[] = {
      {"no device", {}, {}},
      {"one device", {F::kNone}, {kOneToggle}},
      {"two devices", {F::kNone, F::kNone}, {kOneToggle, kOneToggle}},
      {"first cannot be opened", {F::kOpenFails, F::kNone}, {kNothing, kOneToggle}},
      {"first has no interface", {F::kNoInterface, F::kNone}, {kNothing, kOneToggle}},
      {"first reports no detail size", {F::kNoDetailSize, F::kNone}, {kNothing, kOneToggle}},
      {"first detail fails", {F::kDetailFails, F::kNone}, {kNothing, kOneToggle}},
      {"first write fails", {F::kWriteFails, F::kNone}, {kNothing, kOneToggle}},
      {"middle of three fails", {F::kNone, F::kOpenFails, F::kNone}, {kOneToggle, kNothing, kOneToggle}},
      {"last fails", {F::kNone, F::kDetailFails}, {kOneToggle, kNothing}},
  };
  for (const LoopCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSlate slate(1, c.devices);
    ToggleSlateIndicator();
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(c.expected[i], slate.BytesWritten(i)) << "device " << i;
    }
    // Devices are visited in the order the set lists them.
    std::vector<size_t> order;
    for (size_t i = 0; i < c.expected.size(); ++i) {
      if (!c.expected[i].empty()) order.push_back(i);
    }
    EXPECT_EQ(order, slate.WriteOrder());
    EXPECT_EQ(1, slate.DeviceSetRequests());
    EXPECT_EQ(0, slate.BadOpens()) << "CreateFileW arguments";
    EXPECT_EQ(0, slate.OutstandingHandles());
    EXPECT_EQ(0, slate.BadReleases());
    // The toggle never looks at the system state itself.
    EXPECT_EQ(0, slate.MetricReads());
  }
}

TEST(ToggleSlateIndicator, EachCallWritesOneMoreByte) {
  FakeSlate slate(0, FakeSlate::Devices(2));
  ToggleSlateIndicator();
  ToggleSlateIndicator();
  EXPECT_EQ((Bytes{0x00, 0x00}), slate.BytesWritten(0));
  EXPECT_EQ((Bytes{0x00, 0x00}), slate.BytesWritten(1));
  EXPECT_EQ(4, slate.Toggles());
}

TEST(ToggleSlateIndicator, EndsQuietlyWhenTheDeviceSetOrTheDetailBufferCannotBeHad) {
  {
    FakeSlate slate(0, FakeSlate::Devices(2));
    slate.FailDeviceSet(true);
    ToggleSlateIndicator();
    EXPECT_EQ(1, slate.DeviceSetRequests());
    EXPECT_EQ(0, slate.Toggles());
  }
  {
    FakeSlate slate(0, FakeSlate::Devices(2));
    slate.FailAlloc(true);
    ToggleSlateIndicator();
    EXPECT_EQ(kNothing, slate.BytesWritten(0));
    EXPECT_EQ(kNothing, slate.BytesWritten(1));
    EXPECT_EQ(0, slate.OutstandingHandles());
  }
}

TEST(SyncSlateMode, RealPlatformWithoutIndicatorReturnsAndLeavesTheStateAlone) {
  // No fake: the production table as the service uses it. This machine
  // reports slate and has no indicator device, so wanting laptop walks the
  // real enumeration, finds nothing and returns.
  HDEVINFO set = ::SetupDiGetClassDevsW(&kSlateIndicatorInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  const bool anyIndicator = ::SetupDiEnumDeviceInfo(set, 0, &device) != FALSE;
  ::SetupDiDestroyDeviceInfoList(set);
  if (anyIndicator) GTEST_SKIP() << "a real indicator device is present";
  const int before = ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE);
  SyncSlateMode(before == 0);
  ToggleSlateIndicator();
  EXPECT_EQ(before, ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE));
}

// Many decisions at once, all wanting laptop while the system is in slate mode:
// the first flips the state, every later one must see the flipped state. The
// slow write keeps the window between a read and its flip wide open.
TEST(SyncSlateMode, OverlappingDecisionsToggleExactlyOnce) {
  constexpr int kThreads = 16;
  FakeSlate slate(0);
  slate.SetWriteDelay(30);
  // Released at once for all, after every thread exists. (An event rather
  // than std::latch: a latch-started test of this shape hung under shuffling.)
  tvr::ScopedKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    // Each thread stands for one source of decisions (control handler, ETW
    // consumer, WMI delivery): it waits for the others, then decides.
    threads.emplace_back([&start] {
      ::WaitForSingleObject(start.get(), INFINITE);
      SyncSlateMode(true);
    });
  }
  ::SetEvent(start.get());
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(1, slate.Toggles());
  EXPECT_EQ(kOneToggle, slate.BytesWritten(0));
  EXPECT_EQ(1, slate.Metric());
  EXPECT_EQ(kThreads + 1, slate.MetricReads()) << "one read per decision, one to see the toggle take effect";
}

// On a real machine the state changes some time after the write has
// returned (the input stack processes the indicator's press). Overlapping
// decisions must still toggle once: the first holds the others off until its
// toggle shows.
TEST(SyncSlateMode, OverlappingDecisionsToggleOnceWhenTheStateLagsTheWrite) {
  for (DWORD lag : {20u, 100u, 300u}) {
    SCOPED_TRACE(testing::Message() << "state lag " << lag << " ms");
    constexpr int kThreads = 4;
    FakeSlate slate(0);
    slate.SetStateLag(lag);
    // All wait on one gate that opens once every thread exists.
    tvr::ScopedKernelHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&gate] {
        ::WaitForSingleObject(gate.get(), INFINITE);
        SyncSlateMode(true);
      });
    }
    ::SetEvent(gate.get());
    for (std::thread& t : threads) t.join();
    ::Sleep(lag + 50);
    EXPECT_EQ(1, slate.Toggles());
    EXPECT_EQ(1, slate.Metric());
  }
}

// A toggle that never shows (a driver that ignores the byte) holds the
// decision, and every decision behind it, for a short bound only.
TEST(SyncSlateMode, AToggleThatNeverShowsHoldsTheDecisionBriefly) {
  FakeSlate slate(0);
  slate.SetStateLag(60000);
  const auto started = std::chrono::steady_clock::now();
  SyncSlateMode(true);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(1, slate.Toggles());
  EXPECT_GE(seconds, 0.4) << "the decision did not wait for its toggle to show";
  EXPECT_LT(seconds, 5.0);
}

}  // namespace
