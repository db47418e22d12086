// The account's background requests: the snapshot after every (re)connection, position and balance
// refreshes asked for by stream events, retries with back-off. Whatever a reading thread or a
// (re)connection needs from the exchange's REST side runs here, so a slow or broken answer never
// holds up a stream connection (its heart-beat) or the window.
//
// Jobs are keyed: a job asked for while one of the same key waits is that one job (a burst of
// account events costs one refresh); asked for while it runs, it runs once more afterwards, so
// nothing the exchange said meanwhile is missed. Delayed jobs (Schedule) wait their time first.
//
// Threads: Request and Schedule from any thread, the jobs on the worker in the order their keys
// were first asked for; a job may ask for more. Stop (and the destructor) drops what waits and
// joins the worker; never call it from a job.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

class TqmtTraderAccountWorker {
public:
  TqmtTraderAccountWorker();
  ~TqmtTraderAccountWorker();
  TqmtTraderAccountWorker(const TqmtTraderAccountWorker&) = delete;
  TqmtTraderAccountWorker& operator=(const TqmtTraderAccountWorker&) = delete;

  void Request(const std::string& aKey, std::function<void()> aWork) { Schedule(aKey, 0, std::move(aWork)); }
  // The job runs no sooner than aDelayMs from now (a later request of the key waits no longer than asked).
  void Schedule(const std::string& aKey, int aDelayMs, std::function<void()> aWork);
  // Whether a job of the key waits or runs.
  bool Pending(const std::string& aKey);
  void Stop();

private:
  using TClock = std::chrono::steady_clock;
  struct TJob {
    std::function<void()> Work;
    TClock::time_point Due;
  };
  void Run();

  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::string> FOrder;        // keys in the order they were asked for
  std::map<std::string, TJob> FWaiting;  // key -> the job that waits
  std::string FRunning;                  // the key of the job that runs ("" none)
  bool FStop = false;
  std::thread FThread;
};
