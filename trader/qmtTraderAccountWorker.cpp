#include "qmtTraderAccountWorker.h"

#include <algorithm>
#include <cstdio>
#include <exception>

TqmtTraderAccountWorker::TqmtTraderAccountWorker() : FThread([this] { Run(); }) {}

TqmtTraderAccountWorker::~TqmtTraderAccountWorker() { Stop(); }

void TqmtTraderAccountWorker::Schedule(const std::string& aKey, int aDelayMs, std::function<void()> aWork) {
  const TClock::time_point lDue = TClock::now() + std::chrono::milliseconds(std::max(0, aDelayMs));
  {
    std::lock_guard g(FLock);
    if (FStop) return;
    auto lIt = FWaiting.find(aKey);
    if (lIt == FWaiting.end()) {
      FWaiting.emplace(aKey, TJob{std::move(aWork), lDue});
      FOrder.push_back(aKey);
    } else {
      lIt->second.Work = std::move(aWork);
      lIt->second.Due = std::min(lIt->second.Due, lDue);
    }
  }
  FWake.notify_all();
}

bool TqmtTraderAccountWorker::Pending(const std::string& aKey) {
  std::lock_guard g(FLock);
  return FRunning == aKey || FWaiting.count(aKey) > 0;
}

void TqmtTraderAccountWorker::Stop() {
  {
    std::lock_guard g(FLock);
    FStop = true;
    FWaiting.clear();
    FOrder.clear();
  }
  FWake.notify_all();
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TqmtTraderAccountWorker::Run() {
  std::unique_lock g(FLock);
  while (!FStop) {
    // The first job in order that is due; else sleep until the earliest is.
    const TClock::time_point lNow = TClock::now();
    auto lNext = FOrder.end();
    TClock::time_point lEarliest = TClock::time_point::max();
    for (auto it = FOrder.begin(); it != FOrder.end(); ++it) {
      const TClock::time_point lDue = FWaiting.at(*it).Due;
      if (lDue <= lNow) {
        lNext = it;
        break;
      }
      lEarliest = std::min(lEarliest, lDue);
    }
    if (lNext == FOrder.end()) {
      if (lEarliest == TClock::time_point::max())
        FWake.wait(g);
      else
        FWake.wait_until(g, lEarliest);
      continue;
    }
    FRunning = *lNext;
    std::function<void()> lWork = std::move(FWaiting.at(FRunning).Work);
    FWaiting.erase(FRunning);
    FOrder.erase(lNext);
    g.unlock();
    try {
      lWork();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qmtTrader: account job failed: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "qmtTrader: account job failed\n");
    }
    lWork = nullptr;  // what it holds goes outside the lock
    g.lock();
    FRunning.clear();
  }
}
