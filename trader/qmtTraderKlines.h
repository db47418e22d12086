// Candles (klines) for charts: the intervals the desktop offers, the exchange's REST rows and stream
// events decoded, how a chart's time window is filled from history within the request limits and
// at what weight, and the series a chart keeps, where history and the live stream meet by open time
// (a kline heard again replaces its earlier state, so the seam has neither a gap nor a double).
//
// Times are the exchange's: UTC milliseconds. Values are binary floating numbers: they are drawn,
// never traded on. No locks: a series belongs to one thread (the user interface's).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

struct TqmtKline {
  std::int64_t OpenTime = 0;  // ms, UTC; identifies the kline
  double Open = 0, High = 0, Low = 0, Close = 0;
  double Volume = 0;          // base asset (COIN-M: contracts)
  double TakerBuyVolume = 0;  // of it, what takers bought
  bool Closed = true;         // false: the kline still forms (the last of a REST answer may be)
};

struct TqmtKlineInterval {
  const char* Name;  // as the exchange spells it
  std::int64_t Ms;
};
// The intervals a chart offers: 1s (spot only), 1m, 3m, 5m, 15m, 1h, 4h, 1d.
const std::vector<TqmtKlineInterval>& ChartKlineIntervals();
// The length of an interval name ("1s" ... "1w"); 0 for a name not known.
std::int64_t KlineIntervalMs(std::string_view aName);

// The REST answer [[openTime, "o", "h", "l", "c", "v", closeTime, "q", n, "V", "Q", "0"], ...]. False
// (aKlines left empty) for anything else. aNow (ms) marks the kline whose close time is still to come
// as not closed.
bool DecodeKlines(std::string_view aText, std::vector<TqmtKline>& aKlines, std::int64_t aNow);
// A stream event {"e":"kline",...,"k":{...}} (plain or the "data" of a combined stream): its symbol
// and interval too. False for anything else.
bool DecodeKlineEvent(std::string_view aText, TqmtKline& aKline, std::string& aSymbol, std::string& aInterval);

// How a window of aWindowMs ending now is filled: the smallest interval that covers it in at most
// kMaxRequests requests of the market's largest page (spot 1,000, futures 1,500; 1s only on spot).
struct TqmtKlinePlan {
  std::string Interval;
  std::int64_t IntervalMs = 0;
  int Limit = 0;     // klines per request
  int Requests = 0;  // requests for the whole window
  int Weight = 0;    // their weight together
};
constexpr int kMaxKlineRequests = 4;
TqmtKlinePlan PlanKlines(std::int64_t aWindowMs, bool aSpot);
// The weight of one klines request (spot 2; futures by its limit: 1, 2, 5 or 10).
int KlineRequestWeight(bool aSpot, int aLimit);

// A chart's klines of one interval, oldest first. History merges in anywhere; a live kline with the
// newest open time replaces it, a newer one starts the next, an older one corrects its own.
class TqmtKlineSeries {
public:
  enum class TChange { None, Replaced, Appended, Inserted };
  TChange Apply(const TqmtKline& aKline);
  // A REST page: each kline applied (a kline heard live since is newer: the page's own older state
  // does not replace it unless it is closed).
  void Merge(const std::vector<TqmtKline>& aPage);
  const std::deque<TqmtKline>& Items() const { return FItems; }
  bool Empty() const { return FItems.empty(); }
  std::int64_t Oldest() const { return FItems.empty() ? 0 : FItems.front().OpenTime; }
  std::int64_t Newest() const { return FItems.empty() ? 0 : FItems.back().OpenTime; }
  // Keeps at most aCount, dropping the oldest.
  void Trim(std::size_t aCount);
  void Clear() { FItems.clear(); }

private:
  std::deque<TqmtKline> FItems;
};
