#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "qmtBase_Classes.h"
#include "qmtBase_Helpers.h"

using namespace std::chrono;

namespace {

bool WaitUntil(const std::function<bool()>& aDone, int aMs = 5000) {
  const auto lEnd = steady_clock::now() + milliseconds(aMs);
  while (!aDone()) {
    if (steady_clock::now() > lEnd) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

}  // namespace

TEST(Timer, CadenceIsTheIntervalRoundedUpTo100ms) {
  TqmtTimer lTimer;
  std::atomic<int> lFired{0};
  lTimer.SetInterval(250);
  lTimer.OnTimer = [&](TObject*) { ++lFired; };
  const auto lStart = steady_clock::now();
  lTimer.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return lFired >= 3; }));
  const auto lElapsed = duration_cast<milliseconds>(steady_clock::now() - lStart).count();
  lTimer.SetEnabled(false);
  EXPECT_GE(lElapsed, 3 * 300 - 10) << "three steps of 300 ms at least";
}

TEST(Timer, IntervalZeroFiresEveryTurn) {
  TqmtTimer lTimer;
  std::atomic<int> lFired{0};
  lTimer.SetInterval(0);
  lTimer.OnTimer = [&](TObject*) { ++lFired; };
  lTimer.SetEnabled(true);
  EXPECT_TRUE(WaitUntil([&] { return lFired >= 1000; }, 2000));
}

TEST(Timer, ExceptionsGoToOnException) {
  TqmtTimer lTimer;
  std::atomic<int> lErrors{0};
  std::string lMessage;
  lTimer.SetInterval(0);
  lTimer.OnTimer = [](TObject*) { throw Exception("tick failed"); };
  lTimer.OnException = [&](TqmtTimer* aSender, const std::exception& e) {
    EXPECT_TRUE(aSender->IsExecuting());
    if (lErrors++ == 0) lMessage = e.what();
  };
  lTimer.SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return lErrors >= 2; }));
  lTimer.SetEnabled(false);
  lTimer.WaitFor();
  EXPECT_EQ(lMessage, "tick failed");
}

TEST(Timer, FreedFromItsOwnOnTimerFreesItself) {
  std::atomic<bool> lReturned{false};
  auto* lTimer = new TqmtTimer();
  lTimer->SetInterval(0);
  lTimer->OnTimer = [&lTimer, &lReturned](TObject*) {
    FreeThread(lTimer);  // must not wait for itself
    lReturned = true;
  };
  lTimer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return lReturned.load(); }));
  EXPECT_EQ(lTimer, nullptr);
}

TEST(Timer, FreedFromAnotherThreadWaits) {
  auto* lTimer = new TqmtTimer();
  std::atomic<int> lFired{0};
  lTimer->SetInterval(100);
  lTimer->OnTimer = [&](TObject*) { ++lFired; };
  lTimer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return lFired >= 1; }));
  FreeThread(lTimer);
  EXPECT_EQ(lTimer, nullptr);
  const int lAfter = lFired;
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(lFired, lAfter) << "nothing fires after FreeThread returned";
}

TEST(Timer, NotificationModesReachTheMainLoop) {
  TqmtMainLoop lLoop;
  SetMainThreadDispatcher(&lLoop);
  for (TwsNotifyEvent lMode : {TwsNotifyEvent::neNoSync, TwsNotifyEvent::neAsynchronous, TwsNotifyEvent::neSynchronous}) {
    TqmtTimer lTimer;
    std::atomic<bool> lOnMain{false}, lFired{false};
    lTimer.SetInterval(0);
    lTimer.SetNotifyEvents(lMode);
    lTimer.OnTimer = [&](TObject*) {
      lOnMain = lLoop.IsMainThread();
      lFired = true;
    };
    lTimer.SetEnabled(true);
    const auto lEnd = steady_clock::now() + seconds(5);
    while (!lFired && steady_clock::now() < lEnd) lLoop.ProcessPending(10);
    lTimer.SetEnabled(false);
    // Let a blocked synchronous call finish before the timer goes.
    while (lLoop.ProcessPending(1) > 0) {
    }
    lTimer.WaitFor();
    while (lLoop.ProcessPending() > 0) {
    }
    EXPECT_TRUE(lFired);
    EXPECT_EQ(lOnMain, lMode != TwsNotifyEvent::neNoSync) << static_cast<int>(lMode);
  }
  SetMainThreadDispatcher(nullptr);
}
