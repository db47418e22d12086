// The library's threads: TqmtIdThread calls its body again and again until asked to stop; TqmtTimer
// counts its interval down in 100 ms steps and delivers OnTimer by its notification mode.
// FreeThread stops and frees either from any thread, including the thread itself or one of its own
// callbacks (then the thread frees itself when it ends, without anyone waiting for it).
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qmtSocket_Classes.h"

class TqmtIdThread : public TObject {
public:
  TqmtIdThread();
  // Asks the thread to stop and waits for it (never call on the thread itself: use FreeThread).
  ~TqmtIdThread() override;

  // Starts the thread; the body runs until Terminate.
  void Start();
  // Asks the thread to stop; wakes it from SleepFor.
  virtual void Terminate();
  bool Terminated() const { return FTerminated.load(); }
  bool Started() const { return FStarted; }
  // Waits until the thread has ended (not from the thread itself).
  void WaitFor();
  bool IsCurrentThread() const;
  bool IsExecuting() const { return FIsExecuting.load(); }

  std::string FDebugName;

protected:
  // One turn of the body.
  virtual void Run() = 0;
  // An error that escaped Run. The base stops the thread.
  virtual void DoException(const std::exception& aException) { Terminate(); }
  // Sleeps up to aMs; false when a stop was requested meanwhile.
  bool SleepFor(int aMs);
  // Marks a user callback running (FreeThread then lets the thread free itself).
  struct ExecutingScope {
    explicit ExecutingScope(TqmtIdThread& aThread) : FThread(aThread) { FThread.FIsExecuting = true; }
    ~ExecutingScope() { FThread.FIsExecuting = false; }
    TqmtIdThread& FThread;
  };

private:
  friend void FreeThreadObject(TqmtIdThread* aThread);
  void Execute();

  std::thread FThread;
  std::mutex FStartLock;  // the body starts once FThread is assigned
  std::atomic<std::thread::id> FThreadId{};
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FIsExecuting{false};
  bool FStarted = false;
  std::mutex FSleepLock;
  std::condition_variable FSleepWake;
  // Decides, with the thread's own exit, who frees the object.
  std::mutex FExitLock;
  bool FFinished = false;
  bool FFreeOnTerminate = false;
};

// Stops and frees aThread; see the header comment. Clears the reference.
void FreeThreadObject(TqmtIdThread* aThread);
template <typename T>
void FreeThread(T*& aThread) {
  T* lThread = aThread;
  aThread = nullptr;
  FreeThreadObject(lThread);
}

class TqmtTimer;
using TqmtTimerOnException = std::function<void(TqmtTimer* Sender, const std::exception& aException)>;

class TqmtTimer : public TqmtIdThread {
public:
  TqmtTimer();
  ~TqmtTimer() override;

  // True starts the thread (once), false asks it to stop.
  void SetEnabled(bool aValue);
  bool Enabled() const { return FEnabled.load(); }
  int Interval() const { return FInterval.load(); }
  void SetInterval(int aMs) { FInterval = aMs; }
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents; }
  void SetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents = aValue; }

  std::function<void(TObject* Sender)> OnTimer;
  TqmtTimerOnException OnException;

protected:
  void Run() override;

private:
  void Fire();

  std::atomic<bool> FEnabled{false};
  std::atomic<int> FInterval{60000};
  TwsNotifyEvent FNotifyEvents = TwsNotifyEvent::neNoSync;
  // Calls queued to the main loop check it, so a timer freed meanwhile is not called.
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};
