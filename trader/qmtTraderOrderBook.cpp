#include "qmtTraderOrderBook.h"

#include <cstring>

namespace {

constexpr std::int64_t kScale = 100000000;  // 1e8
constexpr std::size_t kBufferedMax = 10000;   // a snapshot that never comes must not grow it without end

bool Space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// A small cursor over the text: only what a depth message needs.
struct TScan {
  std::string_view T;
  std::size_t At = 0;
  void Skip() {
    while (At < T.size() && Space(T[At])) ++At;
  }
  bool Take(char c) {
    Skip();
    if (At >= T.size() || T[At] != c) return false;
    ++At;
    return true;
  }
  // A JSON string's body (the exchange's decimals need no escapes).
  bool String(std::string_view& aOut) {
    if (!Take('"')) return false;
    const std::size_t lEnd = T.find('"', At);
    if (lEnd == std::string_view::npos) return false;
    aOut = T.substr(At, lEnd - At);
    At = lEnd + 1;
    return true;
  }
  bool Integer(std::int64_t& aOut) {
    Skip();
    std::size_t lStart = At;
    std::int64_t v = 0;
    while (At < T.size() && T[At] >= '0' && T[At] <= '9') v = v * 10 + (T[At++] - '0');
    aOut = v;
    return At > lStart;
  }
};

// The value of "aKey" in a snapshot (whose member names no other member shares); events are read
// in one pass instead (EventAt).
bool Find(std::string_view aText, std::string_view aKey, std::size_t& aAfter) {
  std::size_t lFrom = 0;
  while (true) {
    const std::size_t lAt = aText.find(aKey, lFrom);
    if (lAt == std::string_view::npos) return false;
    std::size_t i = lAt + aKey.size();
    while (i < aText.size() && Space(aText[i])) ++i;
    if (i < aText.size() && aText[i] == ':') {
      aAfter = i + 1;
      return true;
    }
    lFrom = lAt + 1;
  }
}

bool LevelsAt(TScan& s, std::vector<TqmtBookLevel>& aOut);

bool Levels(std::string_view aText, std::string_view aKey, std::vector<TqmtBookLevel>& aOut) {
  aOut.clear();
  std::size_t lAt;
  if (!Find(aText, aKey, lAt)) return false;
  TScan s{aText, lAt};
  return LevelsAt(s, aOut);
}

bool Id(std::string_view aText, std::string_view aKey, std::int64_t& aOut) {
  std::size_t lAt;
  if (!Find(aText, aKey, lAt)) return false;
  TScan s{aText, lAt};
  return s.Integer(aOut);
}

}  // namespace

bool BookUnits(std::string_view aText, std::int64_t& aUnits) {
  if (aText.empty()) return false;
  std::int64_t lWhole = 0, lFraction = 0;
  std::size_t i = 0;
  bool lDigits = false;
  for (; i < aText.size() && aText[i] >= '0' && aText[i] <= '9'; ++i, lDigits = true) {
    if (lWhole > (INT64_MAX / kScale) / 10) return false;
    lWhole = lWhole * 10 + (aText[i] - '0');
  }
  if (i < aText.size()) {
    if (aText[i] != '.') return false;
    ++i;
    int lPlaces = 0;
    for (; i < aText.size() && aText[i] >= '0' && aText[i] <= '9'; ++i, lDigits = true) {
      if (lPlaces < 8) {
        lFraction = lFraction * 10 + (aText[i] - '0');
        ++lPlaces;
      } else if (aText[i] != '0') {
        return false;  // finer than the exchange quotes: not exact here
      }
    }
    if (i != aText.size()) return false;
    for (; lPlaces < 8; ++lPlaces) lFraction *= 10;
  }
  if (!lDigits) return false;
  aUnits = lWhole * kScale + lFraction;
  return true;
}

std::string BookUnitsText(std::int64_t aUnits) {
  std::string lText = std::to_string(aUnits / kScale);
  std::int64_t lFraction = aUnits % kScale;
  if (lFraction == 0) return lText;
  char lDigits[9];
  for (int i = 7; i >= 0; --i, lFraction /= 10) lDigits[i] = static_cast<char>('0' + lFraction % 10);
  int lLast = 7;
  while (lDigits[lLast] == '0') --lLast;
  return lText + "." + std::string(lDigits, static_cast<std::size_t>(lLast + 1));
}

namespace {

// One value skipped: a string, a number or literal, or a whole object or array.
bool SkipValue(TScan& s) {
  s.Skip();
  if (s.At >= s.T.size()) return false;
  const char c = s.T[s.At];
  if (c == '"') {
    for (++s.At; s.At < s.T.size(); ++s.At) {
      if (s.T[s.At] == '\\') ++s.At;
      else if (s.T[s.At] == '"') return ++s.At, true;
    }
    return false;
  }
  if (c == '{' || c == '[') {
    int lDepth = 0;
    for (; s.At < s.T.size(); ++s.At) {
      const char d = s.T[s.At];
      if (d == '"') {
        if (!SkipValue(s)) return false;
        --s.At;
      } else if (d == '{' || d == '[') {
        ++lDepth;
      } else if ((d == '}' || d == ']') && --lDepth == 0) {
        return ++s.At, true;
      }
    }
    return false;
  }
  while (s.At < s.T.size() && s.T[s.At] != ',' && s.T[s.At] != '}' && s.T[s.At] != ']') ++s.At;
  return true;
}

bool LevelsAt(TScan& s, std::vector<TqmtBookLevel>& aOut) {
  aOut.clear();
  if (!s.Take('[')) return false;
  if (s.Take(']')) return true;
  do {
    std::string_view lPrice, lSize;
    TqmtBookLevel l;
    if (!s.Take('[') || !s.String(lPrice) || !s.Take(',') || !s.String(lSize) || !s.Take(']')) return false;
    if (!BookUnits(lPrice, l.Price) || !BookUnits(lSize, l.Size)) return false;
    aOut.push_back(l);
  } while (s.Take(','));
  return s.Take(']');
}

// One pass over the event's members (inside "data" for a combined stream).
bool EventAt(TScan& s, TqmtDepthEvent& e, int aDepth) {
  if (!s.Take('{')) return false;
  bool lFirst = false, lFinal = false, lBids = false, lAsks = false;
  e.PreviousFinalId = -1;
  if (s.Take('}')) return false;
  do {
    std::string_view k;
    if (!s.String(k) || !s.Take(':')) return false;
    if (k == "U") {
      lFirst = s.Integer(e.FirstId);
    } else if (k == "u") {
      lFinal = s.Integer(e.FinalId);
    } else if (k == "pu") {
      if (!s.Integer(e.PreviousFinalId)) return false;
    } else if (k == "b") {
      if (!(lBids = LevelsAt(s, e.Bids))) return false;
    } else if (k == "a") {
      if (!(lAsks = LevelsAt(s, e.Asks))) return false;
    } else if (k == "data" && aDepth == 0) {
      s.Skip();
      if (s.At < s.T.size() && s.T[s.At] == '{') return EventAt(s, e, 1);
      if (!SkipValue(s)) return false;
    } else if (!SkipValue(s)) {
      return false;
    }
  } while (s.Take(','));
  return lFirst && lFinal && lBids && lAsks;
}

}  // namespace

bool DecodeDepthEvent(std::string_view aText, TqmtDepthEvent& e) {
  TScan s{aText, 0};
  return EventAt(s, e, 0);
}

bool DecodeDepthSnapshot(std::string_view aText, TqmtDepthEvent& e) {
  if (!Id(aText, "\"lastUpdateId\"", e.FinalId)) return false;
  e.FirstId = e.FinalId;
  e.PreviousFinalId = -1;
  return Levels(aText, "\"bids\"", e.Bids) && Levels(aText, "\"asks\"", e.Asks);
}

void TqmtLocalOrderBook::Clear() {
  FBids.clear();
  FAsks.clear();
  FLive = false;
}

void TqmtLocalOrderBook::Reset() {
  Clear();
  FBuffer.clear();
  FAsked = false;
  FJoining = false;
  FFirstBuffered = -1;
  FUpdateId = 0;
}

void TqmtLocalOrderBook::Apply(const TqmtDepthEvent& e) {
  for (const TqmtBookLevel& l : e.Bids)
    if (l.Size == 0)
      FBids.erase(l.Price);  // removing a level not held is normal
    else
      FBids[l.Price] = l.Size;
  for (const TqmtBookLevel& l : e.Asks)
    if (l.Size == 0)
      FAsks.erase(l.Price);
    else
      FAsks[l.Price] = l.Size;
  FUpdateId = e.FinalId;
}

TqmtLocalOrderBook::TAction TqmtLocalOrderBook::Gap() {
  ++FGaps;
  if (FMarket == TMarket::Spot) {
    Reset();  // from the socket again
    return TAction::Restart;
  }
  // Futures: a fresh snapshot; the stream's next events are buffered meanwhile.
  Clear();
  FBuffer.clear();
  FAsked = true;
  return TAction::FetchSnapshot;
}

TqmtLocalOrderBook::TAction TqmtLocalOrderBook::OnEvent(const TqmtDepthEvent& e) {
  if (!FLive) {
    if (FBuffer.size() >= kBufferedMax) FBuffer.pop_front();
    FBuffer.push_back(e);
    if (FFirstBuffered < 0) FFirstBuffered = e.FirstId;
    if (FAsked) return TAction::None;
    FAsked = true;
    return TAction::FetchSnapshot;
  }
  if (FMarket == TMarket::Spot) {
    if (e.FinalId <= FUpdateId) return TAction::None;  // already held
    if (e.FirstId > FUpdateId + 1) return Gap();
  } else if (e.FinalId <= FUpdateId) {
    return TAction::None;  // heard twice (or older): the book holds it already, nothing is missing
  } else if (FJoining) {
    // The first event after a snapshot that found nothing buffered: it holds the snapshot's id or
    // follows it directly (pu is the snapshot's id when the snapshot fell between two events).
    if (e.FinalId < FUpdateId) return TAction::None;
    if (e.FirstId > FUpdateId && e.PreviousFinalId != FUpdateId) return Gap();
    FJoining = false;
  } else if (e.PreviousFinalId != FUpdateId) {
    return Gap();
  }
  Apply(e);
  return TAction::None;
}

TqmtLocalOrderBook::TAction TqmtLocalOrderBook::OnSnapshot(const TqmtDepthEvent& aSnapshot) {
  if (FLive) return TAction::None;
  const std::int64_t lLast = aSnapshot.FinalId;
  // Spot: a snapshot older than the first event buffered cannot be joined to it.
  if (FMarket == TMarket::Spot && FFirstBuffered >= 0 && lLast < FFirstBuffered) return TAction::FetchSnapshot;
  while (!FBuffer.empty() && (FMarket == TMarket::Spot ? FBuffer.front().FinalId <= lLast : FBuffer.front().FinalId < lLast))
    FBuffer.pop_front();
  if (!FBuffer.empty()) {
    const TqmtDepthEvent& f = FBuffer.front();
    // Futures: the event holds the snapshot's id, or (a snapshot between two events) follows it.
    const bool lJoins = FMarket == TMarket::Spot ? f.FirstId <= lLast + 1 : f.FirstId <= lLast || f.PreviousFinalId == lLast;
    if (!lJoins) {
      // Events are missing between the snapshot and the stream.
      if (FMarket == TMarket::Futures) return TAction::FetchSnapshot;
      ++FGaps;
      Reset();
      return TAction::Restart;
    }
  }
  Clear();
  for (const TqmtBookLevel& l : aSnapshot.Bids)
    if (l.Size != 0) FBids[l.Price] = l.Size;
  for (const TqmtBookLevel& l : aSnapshot.Asks)
    if (l.Size != 0) FAsks[l.Price] = l.Size;
  FUpdateId = lLast;
  FLive = true;
  FAsked = false;
  std::deque<TqmtDepthEvent> lBuffered;
  lBuffered.swap(FBuffer);
  FJoining = FMarket == TMarket::Futures && lBuffered.empty();
  bool lFirst = true;
  for (const TqmtDepthEvent& e : lBuffered) {
    // The first futures event straddles the snapshot: its pu is older than the book's id.
    if (FMarket == TMarket::Futures && lFirst) {
      Apply(e);
      lFirst = false;
      continue;
    }
    lFirst = false;
    if (const TAction a = OnEvent(e); a != TAction::None) return a;
  }
  return TAction::None;
}

namespace {
template <typename TMap>
std::vector<TqmtBookLevel> Copy(const TMap& aSide, std::size_t aCount) {
  std::vector<TqmtBookLevel> lOut;
  lOut.reserve(aCount ? std::min(aCount, aSide.size()) : aSide.size());
  for (const auto& [p, s] : aSide) {
    if (aCount && lOut.size() >= aCount) break;
    lOut.push_back({p, s});
  }
  return lOut;
}
}  // namespace

void TqmtLocalOrderBook::Levels(bool aBids, std::size_t aCount, std::vector<TqmtBookLevel>& aOut, std::int64_t aBound) const {
  aOut.clear();
  if (!FLive) return;
  auto lCopy = [&](const auto& aSide) {
    for (const auto& [p, q] : aSide) {
      if (aCount && aOut.size() >= aCount) break;
      if (aBound && (aBids ? p < aBound : p > aBound)) break;
      aOut.push_back({p, q});
    }
  };
  aBids ? lCopy(FBids) : lCopy(FAsks);
}

std::vector<TqmtBookLevel> TqmtLocalOrderBook::Bids(std::size_t aCount) const {
  return FLive ? Copy(FBids, aCount) : std::vector<TqmtBookLevel>();
}

std::vector<TqmtBookLevel> TqmtLocalOrderBook::Asks(std::size_t aCount) const {
  return FLive ? Copy(FAsks, aCount) : std::vector<TqmtBookLevel>();
}
