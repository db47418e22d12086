#include "qmtTraderBookKeeper.h"

#include <algorithm>
#include <cctype>

#include "qmtTraderData_Log.h"

using Clock = std::chrono::steady_clock;

struct TqmtTraderBookKeeper::TEntry {
  explicit TEntry(std::string aSymbol, TMarket aMarket) : Symbol(std::move(aSymbol)), Book(aMarket) {}
  const std::string Symbol;  // upper case
  mutable std::mutex Lock;   // the book and Problem
  TqmtLocalOrderBook Book;
  std::string Problem;
  std::atomic<std::uint64_t> Version{0};
  int Holders = 0;          // under the state's map lock
  bool Queued = false;      // under the state's queue lock
  int Failures = 0;         // snapshot failures in a row (worker)
};

struct TqmtTraderBookKeeper::TState {
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view a) const { return std::hash<std::string_view>{}(a); }
  };
  mutable std::shared_mutex MapLock;
  // By the lower-case symbol, as the stream names it.
  std::unordered_map<std::string, std::shared_ptr<TEntry>, TextHash, std::equal_to<>> Books;
  TConfig Config;  // under MapLock (the worker copies what it needs)

  std::mutex QueueLock;
  std::condition_variable Wake;
  std::deque<std::pair<std::shared_ptr<TEntry>, Clock::time_point>> Queue;
  std::deque<std::pair<Clock::time_point, int>> Spent;  // the weight of the last minute's snapshots
  bool Stop = false;
  std::thread Worker;
  std::atomic<std::uint64_t> Snapshots{0}, Weight{0}, Events{0};

  void Ask(const std::shared_ptr<TEntry>& aEntry, Clock::duration aAfter = {}) {
    {
      std::lock_guard g(QueueLock);
      if (aEntry->Queued || Stop) return;
      aEntry->Queued = true;
      Queue.emplace_back(aEntry, Clock::now() + aAfter);
    }
    Wake.notify_one();
  }

  void Run();
  void Fetch(const std::shared_ptr<TEntry>& aEntry);
};

namespace {
std::string LowerText(std::string aText) {
  for (char& c : aText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return aText;
}
std::string UpperText(std::string aText) {
  for (char& c : aText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return aText;
}
}  // namespace

void TqmtTraderBookKeeper::TState::Run() {
  std::unique_lock l(QueueLock);
  while (!Stop) {
    if (Queue.empty()) {
      Wake.wait(l);
      continue;
    }
    // The one whose time has come first.
    auto lNext = std::min_element(Queue.begin(), Queue.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    const auto lNow = Clock::now();
    if (lNext->second > lNow) {
      Wake.wait_until(l, lNext->second);
      continue;
    }
    // The budget: what snapshots cost in the last minute.
    int lWeight, lBudget;
    {
      std::shared_lock m(MapLock);
      lWeight = Config.Weight, lBudget = Config.WeightPerMinute;
    }
    while (!Spent.empty() && lNow - Spent.front().first >= std::chrono::minutes(1)) Spent.pop_front();
    int lUsed = 0;
    for (const auto& s : Spent) lUsed += s.second;
    if (!Spent.empty() && lUsed + lWeight > lBudget) {
      Wake.wait_until(l, Spent.front().first + std::chrono::minutes(1));
      continue;
    }
    std::shared_ptr<TEntry> lEntry = std::move(lNext->first);
    Queue.erase(lNext);
    lEntry->Queued = false;
    Spent.emplace_back(lNow, lWeight);
    l.unlock();
    Fetch(lEntry);
    l.lock();
  }
}

void TqmtTraderBookKeeper::TState::Fetch(const std::shared_ptr<TEntry>& aEntry) {
  TFetch lFetch;
  int lLimit, lWeight;
  {
    std::shared_lock m(MapLock);
    if (aEntry->Holders == 0) return;  // nobody shows it any more
    lFetch = Config.Fetch;
    lLimit = Config.Limit, lWeight = Config.Weight;
  }
  if (!lFetch) return;
  std::string lText, lProblem;
  try {
    lText = lFetch(aEntry->Symbol, lLimit);
  } catch (const std::exception& e) {
    lProblem = e.what();
  }
  ++Snapshots;
  Weight += static_cast<std::uint64_t>(lWeight);
  TqmtDepthEvent lSnapshot;
  if (lProblem.empty() && !DecodeDepthSnapshot(lText, lSnapshot)) lProblem = "the answer is no order book: " + lText.substr(0, 120);
  TqmtLocalOrderBook::TAction lAction = TqmtLocalOrderBook::TAction::None;
  {
    std::lock_guard g(aEntry->Lock);
    if (lProblem.empty()) {
      lAction = aEntry->Book.OnSnapshot(lSnapshot);
      aEntry->Problem.clear();
      aEntry->Failures = 0;
    } else {
      aEntry->Problem = "order book snapshot failed: " + lProblem;
      ++aEntry->Failures;
    }
    ++aEntry->Version;
  }
  if (!lProblem.empty()) {
    GetTraderDataLog().Notice(aEntry->Symbol + ": order book snapshot failed (tried again): " + lProblem);
    // 1 s, 2 s, 4 s ... 30 s.
    const int lShift = std::min(aEntry->Failures - 1, 5);
    Ask(aEntry, std::chrono::milliseconds(std::min(30000, 1000 << lShift)));
  } else if (lAction == TqmtLocalOrderBook::TAction::FetchSnapshot) {
    // Too old for the stream, or events are missing after it: another, a moment later.
    Ask(aEntry, std::chrono::milliseconds(200));
  }
}

// ---- the hold ------------------------------------------------------------------------------------

TqmtTraderBookKeeper::THold::~THold() {
  std::shared_ptr<TState> s = FState.lock();
  if (!s) return;
  TSubscribe lSubscribe;
  {
    std::unique_lock m(s->MapLock);
    if (--FEntry->Holders > 0) return;
    s->Books.erase(LowerText(FSymbol));
    lSubscribe = s->Config.Subscribe;
  }
  if (lSubscribe) lSubscribe(FSymbol, false);
}

std::uint64_t TqmtTraderBookKeeper::THold::Version() const { return FEntry->Version.load(std::memory_order_acquire); }

void TqmtTraderBookKeeper::THold::Read(TqmtBookView& aView, std::size_t aLevels, std::int64_t aBidFloor,
                                       std::int64_t aAskCeiling) const {
  std::lock_guard g(FEntry->Lock);
  const TqmtLocalOrderBook& b = FEntry->Book;
  aView.Live = b.Live();
  aView.UpdateId = b.UpdateId();
  aView.Version = FEntry->Version.load();
  aView.Gaps = b.Gaps();
  aView.BidLevels = b.BidLevels();
  aView.AskLevels = b.AskLevels();
  b.Levels(true, aLevels, aView.Bids, aBidFloor);
  b.Levels(false, aLevels, aView.Asks, aAskCeiling);
  aView.Problem = FEntry->Problem;
}

// ---- the keeper ----------------------------------------------------------------------------------

TqmtTraderBookKeeper::TqmtTraderBookKeeper() : FState(std::make_shared<TState>()) {}

TqmtTraderBookKeeper::~TqmtTraderBookKeeper() { StopWorker(); }

void TqmtTraderBookKeeper::StartWorker() {
  std::lock_guard g(FState->QueueLock);
  FState->Stop = false;
  FState->Worker = std::thread([s = FState.get()] { s->Run(); });
}

void TqmtTraderBookKeeper::StopWorker() {
  {
    std::lock_guard g(FState->QueueLock);
    FState->Stop = true;
    for (auto& [e, t] : FState->Queue) e->Queued = false;
    FState->Queue.clear();
  }
  FState->Wake.notify_all();
  if (FState->Worker.joinable()) FState->Worker.join();
}

void TqmtTraderBookKeeper::Configure(TConfig aConfig) {
  StopWorker();
  {
    std::unique_lock m(FState->MapLock);
    for (auto& [k, e] : FState->Books) {
      std::lock_guard g(e->Lock);
      e->Book = TqmtLocalOrderBook(aConfig.Market);
      e->Problem.clear();
      ++e->Version;
    }
    FState->Config = std::move(aConfig);
    FState->Snapshots = 0;
    FState->Weight = 0;
  }
  {
    std::lock_guard g(FState->QueueLock);
    FState->Spent.clear();
  }
  // The books held are subscribed again with the new market's connection (see Held).
  StartWorker();
}

void TqmtTraderBookKeeper::Stop() {
  StopWorker();
  std::unique_lock m(FState->MapLock);
  FState->Config.Fetch = nullptr;
  FState->Config.Subscribe = nullptr;
}

std::unique_ptr<TqmtTraderBookKeeper::THold> TqmtTraderBookKeeper::Hold(const std::string& aSymbol) {
  const std::string lUpper = UpperText(aSymbol);
  std::shared_ptr<TEntry> lEntry;
  TSubscribe lSubscribe;
  {
    std::unique_lock m(FState->MapLock);
    auto& e = FState->Books[LowerText(aSymbol)];
    if (!e) e = std::make_shared<TEntry>(lUpper, FState->Config.Market);
    lEntry = e;
    if (++lEntry->Holders == 1) lSubscribe = FState->Config.Subscribe;
  }
  if (lSubscribe) lSubscribe(lUpper, true);
  return std::unique_ptr<THold>(new THold(FState, std::move(lEntry), lUpper));
}

std::vector<std::string> TqmtTraderBookKeeper::Held() const {
  std::shared_lock m(FState->MapLock);
  std::vector<std::string> lHeld;
  for (const auto& [k, e] : FState->Books) lHeld.push_back(e->Symbol);
  std::sort(lHeld.begin(), lHeld.end());
  return lHeld;
}

bool TqmtTraderBookKeeper::OnDepthMessage(std::string_view aSymbolLower, std::string_view aText) {
  std::shared_ptr<TEntry> lEntry;
  {
    std::shared_lock m(FState->MapLock);
    const auto lFound = FState->Books.find(aSymbolLower);
    if (lFound == FState->Books.end()) return false;
    lEntry = lFound->second;
  }
  // One event buffer per reading thread: its vectors keep their room from event to event.
  thread_local TqmtDepthEvent tEvent;
  if (!DecodeDepthEvent(aText, tEvent)) return false;
  FState->Events.fetch_add(1, std::memory_order_relaxed);
  TqmtLocalOrderBook::TAction lAction;
  bool lGap;
  {
    std::lock_guard g(lEntry->Lock);
    const int lGaps = lEntry->Book.Gaps();
    lAction = lEntry->Book.OnEvent(tEvent);
    lGap = lEntry->Book.Gaps() != lGaps;
    lEntry->Version.fetch_add(1, std::memory_order_release);
  }
  if (lAction == TqmtLocalOrderBook::TAction::FetchSnapshot) FState->Ask(lEntry);
  if (lGap) GetTraderDataLog().Notice(lEntry->Symbol + ": order book out of step (an update was missed): resynchronising");
  return true;
}

void TqmtTraderBookKeeper::ResetAll() {
  std::shared_lock m(FState->MapLock);
  for (auto& [k, e] : FState->Books) {
    std::lock_guard g(e->Lock);
    e->Book.Reset();
    ++e->Version;
  }
}

std::uint64_t TqmtTraderBookKeeper::Snapshots() const { return FState->Snapshots.load(); }
std::uint64_t TqmtTraderBookKeeper::WeightUsed() const { return FState->Weight.load(); }
std::uint64_t TqmtTraderBookKeeper::Events() const { return FState->Events.load(); }
