// Many triggers at once, and many in a row: decisions from every source
// overlap without undoing each other, and a long run gives back everything
// the simulated machine handed out.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mode/mode_check.h"
#include "mode/slate_platform.h"
#include "simulator/machine.h"

namespace {

using ::testing::IsEmpty;
using tvr_sim::MachineOptions;
using tvr_sim::SimulatedMachine;

constexpr unsigned kTablet = 2;

// The record of disagreements can fail: two decisions that read the same
// state and both write are caught. The decisions here are made by hand
// through the seam, without the service's own lock, on purpose.
TEST(SimulatedStorm, RecordCatchesTwoTogglesForOneDisagreement) {
  SimulatedMachine machine(MachineOptions{1, false});
  auto decide = [] {
    (void)SlatePlatform().getSystemMetrics(SM_CONVERTIBLESLATEMODE);
    ToggleSlateIndicator();
  };
  std::thread sound(decide);
  sound.join();
  EXPECT_EQ(machine.DoubleToggles(), 0);

  // One decision reads, another reads and writes, then the first writes.
  HANDLE readDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE mayWrite = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread stale([&] {
    (void)SlatePlatform().getSystemMetrics(SM_CONVERTIBLESLATEMODE);
    ::SetEvent(readDone);
    ::WaitForSingleObject(mayWrite, 10000);
    ToggleSlateIndicator();
  });
  ::WaitForSingleObject(readDone, 10000);
  std::thread quick(decide);
  quick.join();
  ::SetEvent(mayWrite);
  stale.join();
  ::CloseHandle(readDone);
  ::CloseHandle(mayWrite);
  EXPECT_EQ(machine.DoubleToggles(), 1);
  EXPECT_EQ(machine.Toggles(), 3);
  EXPECT_EQ(machine.DisagreementsActedOn(), 2);
}

// On a real machine the slate state changes some time after the write has
// returned, while the input stack processes the indicator's press. Decisions
// that overlap (copies of one event at once; an event while a resume check
// runs) must still toggle once for one disagreement, whatever the lag.
TEST(SimulatedStorm, OverlappingTriggersToggleOnceWhileTheStateLags) {
  for (DWORD lag : {0u, 40u, 250u}) {
    SCOPED_TRACE("state lag " + std::to_string(lag) + " ms");
    SimulatedMachine machine(MachineOptions{1, false});
    machine.slate().SetStateLag(lag);
    machine.Start();
    ASSERT_TRUE(machine.InLine());

    // Four copies of one event at once.
    machine.SetPosture(kTablet);
    EXPECT_EQ(machine.RaiseEvent(kTablet, 4), 4);
    ::Sleep(lag + 100);
    EXPECT_EQ(machine.Toggles(), 1);
    EXPECT_TRUE(machine.InLine()) << "slate " << machine.Slate();

    // An event while a resume check runs, both for the same change.
    machine.SetPosture(kLaptop);
    std::thread resume([&] { machine.Power(PBT_APMRESUMESUSPEND); });
    EXPECT_EQ(machine.RaiseEvent(kLaptop), 1);
    resume.join();
    ::Sleep(lag + 100);
    EXPECT_EQ(machine.Toggles(), 2);
    EXPECT_TRUE(machine.InLine()) << "slate " << machine.Slate();

    machine.Stop();
    EXPECT_THAT(machine.Leaks(), IsEmpty());
  }
}

// 4 threads fire 1,000 triggers and posture changes between them, mixed.
TEST(SimulatedStorm, MixedTriggersFromFourThreads) {
  SimulatedMachine machine(MachineOptions{1, false});
  machine.Start();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  const unsigned postures[] = {kLaptop, kTablet, kFloating, 4, 0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1000 + t);
      for (int i = 0; i < kPerThread; ++i) {
        switch (random() % 8) {
          case 0:
          case 1:
          case 2: {  // the posture changes and the firmware says so
            const unsigned code = postures[random() % 5];
            machine.SetPosture(code);
            machine.RaiseEvent(code);
            break;
          }
          case 3:
            machine.SetPosture(postures[random() % 5]);  // a change whose event is lost
            break;
          case 4:
            machine.Power(random() % 2 ? PBT_APMRESUMESUSPEND : PBT_APMSUSPEND);
            break;
          case 5:
            machine.Session(random() % 2 ? WTS_CONSOLE_CONNECT : WTS_SESSION_UNLOCK);
            break;
          case 6:
            machine.Standby(random() % 2 == 0);
            break;
          default:
            machine.Power(PBT_APMRESUMEAUTOMATIC);
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  // The last posture change has happened; one more trigger settles it.
  machine.Session(WTS_CONSOLE_CONNECT);
  EXPECT_TRUE(machine.InLine()) << "posture " << machine.Posture() << ", slate " << machine.Slate();
  EXPECT_EQ(machine.DoubleToggles(), 0) << "a decision toggled for a disagreement another had already put right";
  EXPECT_EQ(machine.Toggles(), machine.DisagreementsActedOn()) << "every flip answers one disagreement";
  EXPECT_GT(machine.Toggles(), 0);
  machine.Stop();
  EXPECT_THAT(machine.Leaks(), IsEmpty());
}

// The process's working set. Under Wine it is the resident size that the
// process reads from its own /proc entry; GetProcessHandleCount and private
// bytes read 0 there. (Opening Z:\proc\self\status from inside Wine is no
// use: the wineserver opens files, so "self" is the server.)
long long WorkingSetBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<long long>(counters.WorkingSetSize);
}

// 10,000 firmware events and 10,000 checks (resume, console connect and
// standby exit in turn): everything handed out comes back, and the resident
// size stays put.
TEST(SimulatedSoak, TenThousandEventsAndChecksGiveEverythingBack) {
  constexpr int kRounds = 10000;
  constexpr long long kMarginBytes = 1024 * 1024;
  SimulatedMachine machine(MachineOptions{1, false});
  machine.Start();
  // Each round disagrees twice: once for the event, once for the check.
  auto round = [&](int i) {
    const unsigned code = machine.Slate() != 0 ? kTablet : kLaptop;
    machine.SetPosture(code);
    machine.RaiseEvent(code);
    machine.SetPosture(code == kTablet ? kLaptop : kTablet);  // its event is lost: the check puts it right
    switch (i % 3) {
      case 0: machine.Power(PBT_APMRESUMESUSPEND); break;
      case 1: machine.Session(WTS_CONSOLE_CONNECT); break;
      default: machine.Standby(false); break;
    }
  };
  // Warm up first so that heaps and thread stacks have reached their size.
  for (int i = 0; i < 500; ++i) round(i);
  const long liveWhileRunning = machine.firmware().LiveObjects();
  const long long before = WorkingSetBytes();
  const int togglesBefore = machine.Toggles();
  for (int i = 0; i < kRounds; ++i) round(i);
  const long long after = WorkingSetBytes();
  EXPECT_EQ(machine.firmware().LiveObjects(), liveWhileRunning) << "only the subscription's objects stay alive";
  EXPECT_EQ(machine.slate().OutstandingHandles(), 0);
  EXPECT_EQ(machine.Toggles() - togglesBefore, 2 * kRounds) << "every event and every check made its toggle";
  EXPECT_TRUE(machine.InLine());
  machine.Stop();
  EXPECT_THAT(machine.Leaks(), IsEmpty());

  std::printf("[ soak     ] working set: %lld KiB before, %lld KiB after %d rounds (margin %lld KiB)\n",
              before / 1024, after / 1024, kRounds, kMarginBytes / 1024);
  ASSERT_GT(before, 0) << "no working set could be read";
  EXPECT_LE(after - before, kMarginBytes);
}

}  // namespace
