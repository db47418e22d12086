// A symbol's full order book kept locally from the exchange's diff-depth stream and a REST
// snapshot, by the rules each market documents:
//   spot:    buffer the events; a snapshot older than the first event buffered is fetched again;
//            events with u <= lastUpdateId are dropped and the first kept one must hold
//            lastUpdateId + 1; afterwards an event with U > book id + 1 is a gap: the book is
//            discarded and everything starts again from the stream (Restart).
//   futures: events with u < lastUpdateId are dropped and the first kept one must have
//            U <= lastUpdateId <= u (or, a snapshot taken between two events, pu == lastUpdateId);
//            afterwards each event's pu must equal the previous u (an event the book already holds,
//            u <= its id, is dropped as a duplicate, not a gap); a gap fetches a fresh snapshot while
//            the stream goes on (FetchSnapshot).
// Until it is in step the book is not Live() and shows nothing: a book known to be wrong is never
// shown. A reconnection is a Reset() (the update ids do not survive a new connection).
//
// Prices and sizes are exact: the exchange's decimal text as an integer count of 1e-8 (it quotes at
// most 8 decimals), never a binary floating value. Levels are kept in ordered maps by that integer.
//
// Threads. One owner thread drives an object (the stream's reading thread for events, the worker
// that fetched the snapshot handing it over through the owner); readers copy what they need under
// the owner's lock. The object itself does no locking and no I/O.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The decimal text as a count of 1e-8; false for anything else (more than 8 non-zero decimals,
// signs, exponents, empty).
bool BookUnits(std::string_view aText, std::int64_t& aUnits);
// "27000.1", "0.00000001", "10": the shortest text of a count of 1e-8.
std::string BookUnitsText(std::int64_t aUnits);

struct TqmtBookLevel {
  std::int64_t Price = 0, Size = 0;  // in 1e-8; a size of 0 removes the level
};

// A diff-depth event as the exchange sends it, plain or inside a combined stream's "data".
struct TqmtDepthEvent {
  std::int64_t FirstId = 0, FinalId = 0;  // U, u
  std::int64_t PreviousFinalId = -1;      // pu (futures); -1 when absent
  std::vector<TqmtBookLevel> Bids, Asks;
};

// Straight from the text, without a document: the update ids and both level lists (the vectors are
// reused). False when the text is not a depth event or a level is malformed.
bool DecodeDepthEvent(std::string_view aText, TqmtDepthEvent& aEvent);
// A REST snapshot {"lastUpdateId":N,...,"bids":[...],"asks":[...]}: FinalId is lastUpdateId.
bool DecodeDepthSnapshot(std::string_view aText, TqmtDepthEvent& aSnapshot);

class TqmtLocalOrderBook {
public:
  enum class TMarket { Spot, Futures };
  enum class TAction {
    None,
    FetchSnapshot,  // ask REST for a snapshot and hand it to OnSnapshot
    Restart         // spot gap: the book starts again from the stream's next event (a new snapshot follows)
  };

  explicit TqmtLocalOrderBook(TMarket aMarket) : FMarket(aMarket) {}

  TAction OnEvent(const TqmtDepthEvent& aEvent);
  TAction OnSnapshot(const TqmtDepthEvent& aSnapshot);
  // The connection went or came back: nothing shown until in step again.
  void Reset();

  bool Live() const { return FLive; }
  std::int64_t UpdateId() const { return FUpdateId; }
  // Levels best first; at most aCount (0: all). Empty while not live.
  std::vector<TqmtBookLevel> Bids(std::size_t aCount = 0) const;
  std::vector<TqmtBookLevel> Asks(std::size_t aCount = 0) const;
  // The same into aOut, its room reused (a reader copying often allocates once), and only as far as
  // aBound: bids down to that price, asks up to it (0: no bound).
  void Levels(bool aBids, std::size_t aCount, std::vector<TqmtBookLevel>& aOut, std::int64_t aBound = 0) const;
  std::size_t BidLevels() const { return FLive ? FBids.size() : 0; }
  std::size_t AskLevels() const { return FLive ? FAsks.size() : 0; }
  // Times the book was found out of step (a gap), for the status and tests.
  int Gaps() const { return FGaps; }

private:
  void Apply(const TqmtDepthEvent& aEvent);
  void Clear();
  TAction Gap();
  TMarket FMarket;
  std::map<std::int64_t, std::int64_t, std::greater<>> FBids;
  std::map<std::int64_t, std::int64_t> FAsks;
  std::deque<TqmtDepthEvent> FBuffer;  // while waiting for a snapshot
  bool FLive = false, FAsked = false;
  bool FJoining = false;  // futures: live from a snapshot alone, its first event still to come
  std::int64_t FFirstBuffered = -1;  // spot: U of the first event buffered
  std::int64_t FUpdateId = 0;        // the book's update id (the last applied u)
  int FGaps = 0;
};
