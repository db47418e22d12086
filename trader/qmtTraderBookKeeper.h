// The full local order books of the symbols that pages hold: each kept from the market's
// "<symbol>@depth@100ms" stream and a REST snapshot by the market's rules (see TqmtLocalOrderBook).
//
// Threads. Hold and the holds' release run on the user interface's thread (a hold subscribes the
// stream on the first holder, unsubscribes on the last). OnDepthMessage runs on the stream's reading
// thread: it decodes the event without a document into a buffer of that thread and applies it under
// the book's own lock. Snapshots are fetched on the keeper's worker thread (one, with a REST client
// of its own inside the fetch function), paced by a budget of request weight per minute so that
// resynchronising never costs the account its rate limit; a failed fetch is tried again later,
// sooner at first. Readers (any thread) copy only the levels they ask for under the book's lock,
// never the whole book; Version() tells them cheaply whether anything changed.
//
// Lifetime. The keeper owns the worker and stops it in Configure and its destructor. A hold keeps
// its book alive and reaches the keeper through a weak link, so a hold that outlives the keeper does
// nothing when it ends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "qmtTraderOrderBook.h"

// What a reader sees of a book: consistent (one moment of the book), best levels first.
struct TqmtBookView {
  bool Live = false;                     // in step with the exchange (else nothing is shown)
  std::int64_t UpdateId = 0;
  std::uint64_t Version = 0;             // changes with every event applied or state change
  int Gaps = 0;                          // times it was found out of step
  std::size_t BidLevels = 0, AskLevels = 0;  // in the whole book
  std::vector<TqmtBookLevel> Bids, Asks; // at most the levels asked for
  std::string Problem;                   // why a snapshot could not be had lately ("" fine)
};

class TqmtTraderBookKeeper {
public:
  using TMarket = TqmtLocalOrderBook::TMarket;
  // The REST snapshot's text for the symbol (upper case) and limit; raises on failure. Worker thread.
  using TFetch = std::function<std::string(const std::string& aSymbol, int aLimit)>;
  // Sends the subscription (true) or unsubscription of the symbol's diff-depth stream. UI thread.
  using TSubscribe = std::function<void(const std::string& aSymbol, bool aSubscribe)>;
  struct TConfig {
    TMarket Market = TMarket::Spot;
    int Limit = 1000;            // levels per side asked of a snapshot
    int Weight = 50;             // the request weight of one such snapshot
    int WeightPerMinute = 1200;  // the budget for snapshots (the account's limit is 6000 a minute)
    TFetch Fetch;
    TSubscribe Subscribe;
  };
  // The stream every held book needs (after the lower-case symbol).
  static constexpr std::string_view kStreamSuffix = "@depth@100ms";

  struct TEntry;
  struct TState;
  class THold {
  public:
    ~THold();
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;
    const std::string& Symbol() const { return FSymbol; }
    // Cheap: whether to read again.
    std::uint64_t Version() const;
    // The book now: at most aLevels per side (0: all), into the view's vectors (their room reused);
    // bids only down to aBidFloor and asks up to aAskCeiling where given (1e-8 units; 0: no bound).
    void Read(TqmtBookView& aView, std::size_t aLevels, std::int64_t aBidFloor = 0, std::int64_t aAskCeiling = 0) const;

  private:
    friend class TqmtTraderBookKeeper;
    THold(std::weak_ptr<TState> aState, std::shared_ptr<TEntry> aEntry, std::string aSymbol)
        : FState(std::move(aState)), FEntry(std::move(aEntry)), FSymbol(std::move(aSymbol)) {}
    std::weak_ptr<TState> FState;
    std::shared_ptr<TEntry> FEntry;
    std::string FSymbol;
  };

  TqmtTraderBookKeeper();
  ~TqmtTraderBookKeeper();
  TqmtTraderBookKeeper(const TqmtTraderBookKeeper&) = delete;
  TqmtTraderBookKeeper& operator=(const TqmtTraderBookKeeper&) = delete;

  // A sign-in: the market, its snapshot and its subscription. Books held stay held and start again.
  void Configure(TConfig aConfig);
  // The end (the client goes): the worker stops, holds ending later send nothing.
  void Stop();
  // The symbol's book for a page (subscribed on its first hold). UI thread.
  std::unique_ptr<THold> Hold(const std::string& aSymbol);
  // Symbols held now (upper case), for a connection's subscriptions.
  std::vector<std::string> Held() const;

  // Stream thread: one event of "<aSymbolLower>@depth@100ms" (the event's own text). False when no
  // book of that symbol is held or the text is no depth event.
  bool OnDepthMessage(std::string_view aSymbolLower, std::string_view aText);
  // The connection that carries the books went or came back: every book starts again.
  void ResetAll();

  // Snapshots fetched and the weight they cost since Configure (tests, status).
  std::uint64_t Snapshots() const;
  std::uint64_t WeightUsed() const;
  // Depth events decoded for held books since the keeper was made.
  std::uint64_t Events() const;

private:
  void StartWorker();
  void StopWorker();
  std::shared_ptr<TState> FState;
};
