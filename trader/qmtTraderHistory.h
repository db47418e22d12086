// Chart history off the user interface's thread: klines requests queued to a worker thread of
// their own (with a REST client of its own inside the fetch function), answered in the order asked,
// paced by a budget of request weight per minute so that charts never cost the account its rate
// limit. An answer goes to its callback on the worker unless the callback's owner is gone by then
// (a chart closed while its history loads); the callback only hands the klines on.
//
// Lifetime: Configure (a sign-in) and the destructor stop the worker; requests queued then are dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qmtTraderKlines.h"

class TqmtTraderHistory {
public:
  struct TRequest {
    std::string Symbol, Interval;
    std::int64_t Start = 0, End = 0;  // ms; 0: not sent
    int Limit = 500;
  };
  // The REST answer's text; raises on failure. Worker thread.
  using TFetch = std::function<std::string(const TRequest& aRequest)>;
  // The klines (oldest first), or why there are none. Worker thread.
  using TDone = std::function<void(const TRequest& aRequest, const std::vector<TqmtKline>& aKlines, const std::string& aProblem)>;
  struct TConfig {
    bool Spot = true;
    TFetch Fetch;
    int WeightPerMinute = 1200;  // of the account's 6,000 (spot) or 2,400 (futures)
  };

  TqmtTraderHistory() = default;
  ~TqmtTraderHistory() { Stop(); }
  TqmtTraderHistory(const TqmtTraderHistory&) = delete;
  TqmtTraderHistory& operator=(const TqmtTraderHistory&) = delete;

  void Configure(TConfig aConfig);
  void Stop();
  bool Spot() const;
  // Any thread.
  void Request(const TRequest& aRequest, std::weak_ptr<void> aOwner, TDone aDone);
  // Requests sent and their weight since Configure (tests, status).
  std::uint64_t Requests() const;
  std::uint64_t WeightUsed() const;

private:
  struct TJob {
    TRequest Request;
    std::weak_ptr<void> Owner;
    TDone Done;
  };
  void Run();
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TJob> FQueue;
  std::deque<std::pair<std::chrono::steady_clock::time_point, int>> FSpent;
  TConfig FConfig;
  bool FStop = true;
  std::thread FWorker;
  std::uint64_t FRequests = 0, FWeight = 0;
};
