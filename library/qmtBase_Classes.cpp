#include "qmtBase_Classes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "qmtBase_Helpers.h"

TqmtIdThread::TqmtIdThread() = default;

TqmtIdThread::~TqmtIdThread() {
  Terminate();
  if (FThread.joinable()) {
    if (FThread.get_id() == std::this_thread::get_id())
      FThread.detach();  // freeing itself at its end
    else
      FThread.join();
  }
}

void TqmtIdThread::Start() {
  if (FStarted) return;
  FStarted = true;
  std::lock_guard lGuard(FStartLock);
  FThread = std::thread([this] {
    { std::lock_guard lStarted(FStartLock); }
    Execute();
  });
}

void TqmtIdThread::Terminate() {
  {
    std::lock_guard lGuard(FSleepLock);
    FTerminated = true;
  }
  FSleepWake.notify_all();
}

void TqmtIdThread::WaitFor() {
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

bool TqmtIdThread::IsCurrentThread() const { return FThreadId.load() == std::this_thread::get_id(); }

bool TqmtIdThread::SleepFor(int aMs) {
  std::unique_lock lLock(FSleepLock);
  FSleepWake.wait_for(lLock, std::chrono::milliseconds(aMs), [this] { return FTerminated.load(); });
  return !FTerminated.load();
}

void TqmtIdThread::Execute() {
  FThreadId = std::this_thread::get_id();
  while (!FTerminated.load()) {
    try {
      Run();
    } catch (const std::exception& e) {
      // The one place a failure of this thread ends up: its handler reports it.
      try {
        DoException(e);
      } catch (const std::exception& lInner) {
        std::fprintf(stderr, "qmtWebSocket: thread %s stopped: %s (reporting: %s)\n", FDebugName.c_str(), e.what(), lInner.what());
        Terminate();
      }
    } catch (...) {
      std::fprintf(stderr, "qmtWebSocket: thread %s stopped by an unknown exception\n", FDebugName.c_str());
      Terminate();
    }
  }
  bool lFreeSelf;
  {
    std::lock_guard lGuard(FExitLock);
    FFinished = true;
    lFreeSelf = FFreeOnTerminate;
  }
  if (lFreeSelf) {
    // A callback running on another thread (the main loop) finishes before the object goes.
    while (FIsExecuting.load()) std::this_thread::yield();
    delete this;
  }
}

void FreeThreadObject(TqmtIdThread* aThread) {
  if (!aThread) return;
  {
    std::unique_lock lGuard(aThread->FExitLock);
    const bool lOwnThread = aThread->IsCurrentThread();
    if (!aThread->FFinished && aThread->FStarted && (lOwnThread || aThread->IsExecuting())) {
      // On the thread itself or inside its callback: it frees itself when it ends.
      aThread->FFreeOnTerminate = true;
      aThread->Terminate();
      return;
    }
  }
  if (!aThread->Terminated()) {
    aThread->Terminate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  delete aThread;  // waits for the thread to end
}

// ---- timer --------------------------------------------------------------------------------------

TqmtTimer::TqmtTimer() { FDebugName = "Timer"; }

TqmtTimer::~TqmtTimer() {
  FAlive->store(false);
  Terminate();
  WaitFor();
}

void TqmtTimer::SetEnabled(bool aValue) {
  FEnabled = aValue;
  if (aValue)
    Start();
  else
    Terminate();
}

void TqmtTimer::Run() {
  // Count down in steps of 100 ms, testing for a stop at each step.
  // (an interval shorter than one step, as tests use, sleeps just that long)
  const int lInterval = FInterval.load();
  for (int lLeft = lInterval; lLeft > 0; lLeft -= 100)
    if (!SleepFor(lInterval < 100 ? lInterval : 100)) return;
  if (Terminated()) return;
  switch (FNotifyEvents) {
    case TwsNotifyEvent::neNoSync:
      Fire();
      break;
    case TwsNotifyEvent::neAsynchronous:
      QueueToMainThread([this, lAlive = FAlive] {
        if (lAlive->load()) Fire();
      });
      break;
    case TwsNotifyEvent::neSynchronous:
      SynchronizeWithMainThread([this] { Fire(); });
      break;
  }
}

void TqmtTimer::Fire() {
  ExecutingScope lScope(*this);
  try {
    if (OnTimer) OnTimer(this);
  } catch (const std::exception& e) {
    if (!OnException) throw;
    OnException(this, e);
  }
}
