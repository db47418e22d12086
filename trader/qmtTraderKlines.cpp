#include "qmtTraderKlines.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "qmtJSON.h"

namespace {

double Num(const TqmtObjectJSON* aNode) {
  if (!aNode) return 0;
  const std::string lText(aNode->ValueView());
  return std::strtod(lText.c_str(), nullptr);
}

std::int64_t Int(const TqmtObjectJSON* aNode) {
  if (!aNode) return 0;
  const std::string_view v = aNode->ValueView();
  std::int64_t r = 0;
  std::from_chars(v.data(), v.data() + v.size(), r);
  return r;
}

}  // namespace

const std::vector<TqmtKlineInterval>& ChartKlineIntervals() {
  static const std::vector<TqmtKlineInterval> kIntervals = {{"1s", 1000},     {"1m", 60000},     {"3m", 180000},  {"5m", 300000},
                                                            {"15m", 900000},  {"1h", 3600000},   {"4h", 14400000}, {"1d", 86400000}};
  return kIntervals;
}

namespace {
// Every interval the exchange knows, shortest first (months left out: their length varies).
constexpr TqmtKlineInterval kAllIntervals[] = {
    {"1s", 1000},       {"1m", 60000},      {"3m", 180000},      {"5m", 300000},     {"15m", 900000},
    {"30m", 1800000},   {"1h", 3600000},    {"2h", 7200000},     {"4h", 14400000},   {"6h", 21600000},
    {"8h", 28800000},   {"12h", 43200000},  {"1d", 86400000},    {"3d", 259200000},  {"1w", 604800000}};
}  // namespace

std::int64_t KlineIntervalMs(std::string_view aName) {
  for (const TqmtKlineInterval& i : kAllIntervals)
    if (aName == i.Name) return i.Ms;
  return 0;
}

bool DecodeKlines(std::string_view aText, std::vector<TqmtKline>& aKlines, std::int64_t aNow) {
  aKlines.clear();
  TqmtJSON lDocument;
  try {
    lDocument.Read(aText);
  } catch (const std::exception&) {
    return false;
  }
  if (!lDocument.IsArray()) return false;
  aKlines.reserve(static_cast<std::size_t>(lDocument.Count()));
  for (int i = 0; i < lDocument.Count(); ++i) {
    const TqmtObjectJSON* r = lDocument.At(i);
    if (!r || r->Count() < 11) {
      aKlines.clear();
      return false;
    }
    TqmtKline k;
    k.OpenTime = Int(r->At(0));
    k.Open = Num(r->At(1)), k.High = Num(r->At(2)), k.Low = Num(r->At(3)), k.Close = Num(r->At(4));
    k.Volume = Num(r->At(5));
    k.TakerBuyVolume = Num(r->At(9));
    k.Closed = Int(r->At(6)) < aNow;
    aKlines.push_back(k);
  }
  return true;
}

bool DecodeKlineEvent(std::string_view aText, TqmtKline& aKline, std::string& aSymbol, std::string& aInterval) {
  thread_local TqmtJSON tDocument;
  try {
    tDocument.Read(aText);
  } catch (const std::exception&) {
    return false;
  }
  const TqmtObjectJSON* e = tDocument.Find("e");
  const TqmtObjectJSON* k = tDocument.Find("k");
  if (const TqmtObjectJSON* d = tDocument.Find("data")) e = d->Find("e"), k = d->Find("k");
  if (!e || e->ValueView() != "kline" || !k) return false;
  aSymbol = std::string(k->Find("s") ? k->Find("s")->ValueView() : std::string_view());
  aInterval = std::string(k->Find("i") ? k->Find("i")->ValueView() : std::string_view());
  aKline.OpenTime = Int(k->Find("t"));
  aKline.Open = Num(k->Find("o")), aKline.High = Num(k->Find("h")), aKline.Low = Num(k->Find("l")), aKline.Close = Num(k->Find("c"));
  aKline.Volume = Num(k->Find("v"));
  aKline.TakerBuyVolume = Num(k->Find("V"));
  aKline.Closed = k->Find("x") && k->Find("x")->ValueView() == "true";
  return aKline.OpenTime > 0 && !aSymbol.empty() && !aInterval.empty();
}

int KlineRequestWeight(bool aSpot, int aLimit) {
  if (aSpot) return 2;
  return aLimit < 100 ? 1 : aLimit < 500 ? 2 : aLimit <= 1000 ? 5 : 10;
}

TqmtKlinePlan PlanKlines(std::int64_t aWindowMs, bool aSpot) {
  const int lPage = aSpot ? 1000 : 1500;
  TqmtKlinePlan p;
  for (const TqmtKlineInterval& i : kAllIntervals) {
    if (!aSpot && i.Ms < 60000) continue;  // futures have no 1s klines
    const std::int64_t lCount = (aWindowMs + i.Ms - 1) / i.Ms + 1;  // the open one too
    const int lRequests = static_cast<int>((lCount + lPage - 1) / lPage);
    // A day's klines at most: a window longer than that is drawn from fewer points.
    if (lRequests > kMaxKlineRequests && i.Ms < 86400000) continue;
    p.Interval = i.Name;
    p.IntervalMs = i.Ms;
    p.Requests = lRequests;
    p.Limit = static_cast<int>(std::min<std::int64_t>(lCount, lPage));
    // Each request as large as its share: the last may be smaller, weighed here as the others.
    p.Weight = lRequests * KlineRequestWeight(aSpot, p.Limit);
    break;
  }
  return p;
}

TqmtKlineSeries::TChange TqmtKlineSeries::Apply(const TqmtKline& aKline) {
  if (FItems.empty() || aKline.OpenTime > FItems.back().OpenTime) {
    FItems.push_back(aKline);
    return TChange::Appended;
  }
  auto lAt = std::lower_bound(FItems.begin(), FItems.end(), aKline.OpenTime,
                              [](const TqmtKline& k, std::int64_t t) { return k.OpenTime < t; });
  if (lAt != FItems.end() && lAt->OpenTime == aKline.OpenTime) {
    // A closed kline is final; an open one does not undo it.
    if (lAt->Closed && !aKline.Closed) return TChange::None;
    *lAt = aKline;
    return TChange::Replaced;
  }
  FItems.insert(lAt, aKline);
  return TChange::Inserted;
}

void TqmtKlineSeries::Merge(const std::vector<TqmtKline>& aPage) {
  for (const TqmtKline& k : aPage) {
    // The page's open kline is older news than the stream's state of it.
    auto lAt = std::lower_bound(FItems.begin(), FItems.end(), k.OpenTime, [](const TqmtKline& x, std::int64_t t) { return x.OpenTime < t; });
    if (lAt != FItems.end() && lAt->OpenTime == k.OpenTime && !k.Closed) continue;
    Apply(k);
  }
}

void TqmtKlineSeries::Trim(std::size_t aCount) {
  while (FItems.size() > aCount) FItems.pop_front();
}
