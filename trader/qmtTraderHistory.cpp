#include "qmtTraderHistory.h"

#include <chrono>

using Clock = std::chrono::steady_clock;

void TqmtTraderHistory::Configure(TConfig aConfig) {
  Stop();
  std::lock_guard g(FLock);
  FConfig = std::move(aConfig);
  FSpent.clear();
  FRequests = FWeight = 0;
  FStop = false;
  FWorker = std::thread([this] { Run(); });
}

void TqmtTraderHistory::Stop() {
  {
    std::lock_guard g(FLock);
    FStop = true;
    FQueue.clear();
  }
  FWake.notify_all();
  if (FWorker.joinable()) FWorker.join();
}

bool TqmtTraderHistory::Spot() const {
  std::lock_guard g(FLock);
  return FConfig.Spot;
}

void TqmtTraderHistory::Request(const TRequest& aRequest, std::weak_ptr<void> aOwner, TDone aDone) {
  {
    std::lock_guard g(FLock);
    if (FStop) return;
    FQueue.push_back({aRequest, std::move(aOwner), std::move(aDone)});
  }
  FWake.notify_one();
}

std::uint64_t TqmtTraderHistory::Requests() const {
  std::lock_guard g(FLock);
  return FRequests;
}

std::uint64_t TqmtTraderHistory::WeightUsed() const {
  std::lock_guard g(FLock);
  return FWeight;
}

void TqmtTraderHistory::Run() {
  std::unique_lock l(FLock);
  while (!FStop) {
    if (FQueue.empty()) {
      FWake.wait(l);
      continue;
    }
    // A request whose chart is gone costs nothing.
    if (FQueue.front().Owner.expired()) {
      FQueue.pop_front();
      continue;
    }
    const auto lNow = Clock::now();
    const int lWeight = KlineRequestWeight(FConfig.Spot, FQueue.front().Request.Limit);
    while (!FSpent.empty() && lNow - FSpent.front().first >= std::chrono::minutes(1)) FSpent.pop_front();
    int lUsed = 0;
    for (const auto& s : FSpent) lUsed += s.second;
    if (!FSpent.empty() && lUsed + lWeight > FConfig.WeightPerMinute) {
      FWake.wait_until(l, FSpent.front().first + std::chrono::minutes(1));
      continue;
    }
    TJob lJob = std::move(FQueue.front());
    FQueue.pop_front();
    FSpent.emplace_back(lNow, lWeight);
    ++FRequests;
    FWeight += static_cast<std::uint64_t>(lWeight);
    const TFetch lFetch = FConfig.Fetch;
    l.unlock();
    std::vector<TqmtKline> lKlines;
    std::string lProblem;
    try {
      if (!lFetch) throw std::runtime_error("not signed in");
      const std::string lText = lFetch(lJob.Request);
      const auto lMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
      if (!DecodeKlines(lText, lKlines, lMs)) lProblem = "the answer is no list of klines: " + lText.substr(0, 120);
    } catch (const std::exception& e) {
      lProblem = e.what();
    }
    if (std::shared_ptr<void> lOwner = lJob.Owner.lock()) lJob.Done(lJob.Request, lKlines, lProblem);
    l.lock();
  }
}
