// Klines for charts: the exchange's REST rows and stream events of every market decoded, the plan
// that fills a window within the request limits (and its weight), and the series where history and
// the stream meet by open time.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "qmtTraderKlines.h"

namespace {
std::string Payload(const char* aName) {
  std::ifstream f(std::string(QMT_SHARED_DIR) + "/reference/payloads/" + aName);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TqmtKline K(std::int64_t aOpen, double aClose, bool aClosed = true) {
  TqmtKline k;
  k.OpenTime = aOpen, k.Open = k.High = k.Low = k.Close = aClose, k.Closed = aClosed;
  return k;
}
}  // namespace

TEST(Klines, RestRowsAndStreamEventsOfEveryMarketDecode) {
  std::vector<TqmtKline> k;
  for (const char* lFile : {"spot_klines_rest_response.json", "futures_usdm_klines_rest_response.json", "futures_coinm_klines_rest_response.json"}) {
    ASSERT_TRUE(DecodeKlines(Payload(lFile), k, 4102444800000)) << lFile;
    ASSERT_FALSE(k.empty()) << lFile;
    EXPECT_GT(k[0].OpenTime, 0) << lFile;
    EXPECT_GT(k[0].High, 0) << lFile;
    EXPECT_GE(k[0].High, k[0].Low) << lFile;
  }
  ASSERT_TRUE(DecodeKlines(Payload("spot_klines_rest_response.json"), k, 0));
  EXPECT_EQ(k[0].OpenTime, 1499040000000);
  EXPECT_DOUBLE_EQ(k[0].Close, 0.015771);
  EXPECT_DOUBLE_EQ(k[0].TakerBuyVolume, 1756.87402397);
  EXPECT_FALSE(k[0].Closed) << "its close time is after 'now' (0)";
  for (const char* lBad : {"", "{}", "[[1,2]]", "{\"code\":-1121,\"msg\":\"Invalid symbol.\"}"}) EXPECT_FALSE(DecodeKlines(lBad, k, 0)) << lBad;

  TqmtKline e;
  std::string lSymbol, lInterval;
  ASSERT_TRUE(DecodeKlineEvent(Payload("spot_kline.json"), e, lSymbol, lInterval));
  EXPECT_EQ(lSymbol, "BNBBTC");
  EXPECT_EQ(lInterval, "1m");
  EXPECT_EQ(e.OpenTime, 1672515780000);
  EXPECT_DOUBLE_EQ(e.Close, 0.0020);
  EXPECT_DOUBLE_EQ(e.TakerBuyVolume, 500);
  EXPECT_FALSE(e.Closed);
  // Inside a combined stream's envelope, and the futures' own.
  ASSERT_TRUE(DecodeKlineEvent("{\"stream\":\"bnbbtc@kline_1m\",\"data\":" + Payload("spot_kline.json") + "}", e, lSymbol, lInterval));
  EXPECT_EQ(e.OpenTime, 1672515780000);
  for (const char* lFile : {"futures_usdm_kline.json", "futures_coinm_kline.json"}) EXPECT_TRUE(DecodeKlineEvent(Payload(lFile), e, lSymbol, lInterval)) << lFile;
  EXPECT_FALSE(DecodeKlineEvent(R"({"e":"aggTrade","s":"X"})", e, lSymbol, lInterval));
}

TEST(Klines, AWindowIsFilledWithinTheRequestLimits) {
  struct Case {
    int seconds;
    bool spot;
    const char* interval;
    int requests, weight;
  } lCases[] = {
      {30, true, "1s", 1, 2},         {300, true, "1s", 1, 2},       {3600, true, "1s", 4, 8},      {4 * 3600, true, "1m", 1, 2},
      {86400, true, "1m", 2, 4},      {30, false, "1m", 1, 1},       {3600, false, "1m", 1, 1},     {86400, false, "1m", 1, 10},
      {30 * 86400, false, "15m", 2, 20}, {400 * 86400, true, "4h", 3, 6},
  };
  for (const Case& c : lCases) {
    const TqmtKlinePlan p = PlanKlines(static_cast<std::int64_t>(c.seconds) * 1000, c.spot);
    EXPECT_EQ(p.Interval, c.interval) << c.seconds << (c.spot ? " spot" : " futures");
    EXPECT_EQ(p.Requests, c.requests) << c.seconds;
    EXPECT_EQ(p.Weight, c.weight) << c.seconds;
    EXPECT_LE(p.Requests, kMaxKlineRequests);
    EXPECT_GE(static_cast<std::int64_t>(p.Requests) * p.Limit * p.IntervalMs, static_cast<std::int64_t>(c.seconds) * 1000) << "covers it";
    EXPECT_LE(p.Limit, c.spot ? 1000 : 1500);
  }
}

TEST(Klines, TheSeriesJoinsHistoryAndTheStreamByOpenTime) {
  TqmtKlineSeries s;
  s.Merge({K(60000, 1), K(120000, 2), K(180000, 3, false)});
  ASSERT_EQ(s.Items().size(), 3u);
  using C = TqmtKlineSeries::TChange;
  // The open kline updated by the stream, then closed, then the next one starts.
  EXPECT_EQ(s.Apply(K(180000, 3.5, false)), C::Replaced);
  EXPECT_EQ(s.Apply(K(180000, 3.7, true)), C::Replaced);
  EXPECT_EQ(s.Apply(K(240000, 4, false)), C::Appended);
  EXPECT_EQ(s.Items().size(), 4u);
  EXPECT_DOUBLE_EQ(s.Items()[2].Close, 3.7);
  // A late open state of a closed kline changes nothing; a page that overlaps adds nothing twice,
  // and its still-open kline does not undo the stream's newer state.
  EXPECT_EQ(s.Apply(K(180000, 9, false)), C::None);
  s.Merge({K(120000, 2), K(180000, 3.7), K(240000, 3.9, false)});
  EXPECT_EQ(s.Items().size(), 4u);
  EXPECT_DOUBLE_EQ(s.Items()[3].Close, 4);
  // An older page goes in front, in order.
  s.Merge({K(0, 0.5)});
  EXPECT_EQ(s.Oldest(), 0);
  EXPECT_EQ(s.Newest(), 240000);
  s.Trim(2);
  EXPECT_EQ(s.Oldest(), 180000);
}
