// The local order book: exact decimal prices, depth messages decoded without a document (the
// exchange's own examples), and the synchronisation rules of spot and futures step by step:
// buffering, the snapshot too old or too new, the first event across the snapshot, a gap (spot
// starts again from the stream, futures fetches a snapshot) and nothing shown while out of step.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "qmtTraderOrderBook.h"

namespace {

using A = TqmtLocalOrderBook::TAction;

std::string Payload(const char* aName) {
  std::ifstream f(std::string(QMT_SHARED_DIR) + "/reference/payloads/" + aName);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::int64_t U(const char* aText) {
  std::int64_t v = -1;
  EXPECT_TRUE(BookUnits(aText, v)) << aText;
  return v;
}

TqmtDepthEvent Event(std::int64_t aFirst, std::int64_t aFinal, std::int64_t aPrevious, std::vector<TqmtBookLevel> aBids,
                     std::vector<TqmtBookLevel> aAsks = {}) {
  TqmtDepthEvent e;
  e.FirstId = aFirst, e.FinalId = aFinal, e.PreviousFinalId = aPrevious, e.Bids = std::move(aBids), e.Asks = std::move(aAsks);
  return e;
}

TqmtDepthEvent Snapshot(std::int64_t aLast, std::vector<TqmtBookLevel> aBids, std::vector<TqmtBookLevel> aAsks = {}) {
  return Event(aLast, aLast, -1, std::move(aBids), std::move(aAsks));
}

// "price:size price:size" best first, in the exchange's decimals.
std::string Side(const std::vector<TqmtBookLevel>& aLevels) {
  std::string lText;
  for (const auto& l : aLevels) lText += (lText.empty() ? "" : " ") + BookUnitsText(l.Price) + ":" + BookUnitsText(l.Size);
  return lText;
}

}  // namespace

TEST(OrderBook, PricesAreExactDecimals) {
  struct Case {
    const char* text;
    bool ok;
    std::int64_t units;
    const char* shown;
  } lCases[] = {{"27000.10", true, 2700010000000, "27000.1"}, {"0.00000001", true, 1, "0.00000001"}, {"10", true, 1000000000, "10"},
                {"0.123456780", true, 12345678, "0.12345678"}, {"1.", true, 100000000, "1"},       {"0", true, 0, "0"},
                {"1.123456789", false, 0, ""}, {"", false, 0, ""}, {".", false, 0, ""}, {"-1", false, 0, ""}, {"1e5", false, 0, ""},
                {"1.2.3", false, 0, ""}};
  for (const Case& c : lCases) {
    std::int64_t v = -1;
    EXPECT_EQ(BookUnits(c.text, v), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(v, c.units) << c.text;
    EXPECT_EQ(BookUnitsText(v), c.shown) << c.text;
  }
  // 0.1 + 0.2 is 0.3 here, as the exchange means it.
  EXPECT_EQ(U("0.1") + U("0.2"), U("0.3"));
}

TEST(OrderBook, DepthMessagesDecodeWithoutADocument) {
  TqmtDepthEvent e;
  ASSERT_TRUE(DecodeDepthEvent(Payload("spot_diff_depth_update.json"), e));
  EXPECT_EQ(e.FirstId, 157);
  EXPECT_EQ(e.FinalId, 160);
  EXPECT_EQ(e.PreviousFinalId, -1);
  EXPECT_EQ(Side(e.Bids), "0.0024:10");
  EXPECT_EQ(Side(e.Asks), "0.0026:100");
  ASSERT_TRUE(DecodeDepthEvent(Payload("futures_usdm_diff_depth_depthUpdate.json"), e));
  EXPECT_EQ(e.PreviousFinalId, 149);
  ASSERT_TRUE(DecodeDepthEvent(Payload("futures_coinm_diff_depth_depthUpdate.json"), e));
  EXPECT_GT(e.FinalId, 0);
  // Inside a combined stream, with empty sides and several levels.
  ASSERT_TRUE(DecodeDepthEvent(R"({"stream":"btcusdt@depth@100ms","data":{"e":"depthUpdate","E":1,"s":"BTCUSDT","U":5,"u":9,)"
                               R"("b":[],"a":[["27000.10","1.5"],["27000.20","0"]]}})",
                               e));
  EXPECT_EQ(e.FirstId, 5);
  EXPECT_EQ(Side(e.Bids), "");
  EXPECT_EQ(Side(e.Asks), "27000.1:1.5 27000.2:0");
  TqmtDepthEvent s;
  ASSERT_TRUE(DecodeDepthSnapshot(Payload("spot_depth_rest_snapshot.json"), s));
  EXPECT_GT(s.FinalId, 0);
  EXPECT_FALSE(s.Bids.empty());
  ASSERT_TRUE(DecodeDepthSnapshot(Payload("futures_usdm_depth_rest_snapshot.json"), s));
  for (const char* lBad : {R"({"U":1,"u":2,"b":[["1"]],"a":[]})", R"({"U":1,"b":[],"a":[]})", R"({"U":1,"u":2,"b":[["x","1"]],"a":[]})",
                           R"({"e":"trade","p":"1"})"})
    EXPECT_FALSE(DecodeDepthEvent(lBad, e)) << lBad;
}

TEST(OrderBook, SpotJoinsTheSnapshotToTheStreamAndStartsAgainOnAGap) {
  TqmtLocalOrderBook b(TqmtLocalOrderBook::TMarket::Spot);
  EXPECT_EQ(b.OnEvent(Event(157, 160, -1, {{U("100"), U("1")}})), A::FetchSnapshot);
  EXPECT_EQ(b.OnEvent(Event(161, 165, -1, {{U("101"), U("2")}})), A::None);  // asked once
  // Older than the first event buffered: asked again, nothing shown.
  EXPECT_EQ(b.OnSnapshot(Snapshot(150, {{U("99"), U("5")}})), A::FetchSnapshot);
  EXPECT_FALSE(b.Live());
  EXPECT_TRUE(b.Bids().empty());
  // lastUpdateId 162: the first event (u 160) is held by it and dropped; the second (161..165) holds 163.
  EXPECT_EQ(b.OnSnapshot(Snapshot(162, {{U("99"), U("5")}, {U("100"), U("7")}}, {{U("102"), U("3")}})), A::None);
  ASSERT_TRUE(b.Live());
  EXPECT_EQ(b.UpdateId(), 165);
  EXPECT_EQ(Side(b.Bids()), "101:2 100:7 99:5");  // 100 is the snapshot's, not the dropped event's
  // Live: the next one applies, an old one is ignored, a level of 0 goes, an unknown one is no error.
  EXPECT_EQ(b.OnEvent(Event(166, 170, -1, {{U("100"), U("0")}, {U("98"), U("0")}}, {{U("102.5"), U("1")}})), A::None);
  EXPECT_EQ(b.OnEvent(Event(160, 164, -1, {{U("50"), U("1")}})), A::None);
  EXPECT_EQ(Side(b.Bids()), "101:2 99:5");
  EXPECT_EQ(Side(b.Asks(1)), "102:3");
  EXPECT_EQ(b.UpdateId(), 170);
  // A gap: the book goes, the stream starts again.
  EXPECT_EQ(b.OnEvent(Event(175, 180, -1, {})), A::Restart);
  EXPECT_FALSE(b.Live());
  EXPECT_EQ(b.Gaps(), 1);
  EXPECT_TRUE(b.Bids().empty());
  EXPECT_EQ(b.OnEvent(Event(181, 185, -1, {})), A::FetchSnapshot);

  // Events missing between a snapshot and the buffered stream: a gap at once.
  TqmtLocalOrderBook c(TqmtLocalOrderBook::TMarket::Spot);
  c.OnEvent(Event(100, 110, -1, {}));
  c.OnEvent(Event(120, 130, -1, {}));  // 111..119 never came
  EXPECT_EQ(c.OnSnapshot(Snapshot(112, {})), A::Restart);
  EXPECT_FALSE(c.Live());
}

TEST(OrderBook, FuturesCheckEachEventAgainstThePreviousAndFetchASnapshotOnAGap) {
  TqmtLocalOrderBook b(TqmtLocalOrderBook::TMarket::Futures);
  EXPECT_EQ(b.OnEvent(Event(100, 110, 95, {{U("10"), U("1")}})), A::FetchSnapshot);
  b.OnEvent(Event(111, 120, 110, {{U("11"), U("1")}}));
  // A snapshot older than the first event: another.
  EXPECT_EQ(b.OnSnapshot(Snapshot(90, {})), A::FetchSnapshot);
  EXPECT_FALSE(b.Live());
  // lastUpdateId 105 lies within the first event (100..110): it applies, then the next by its pu.
  EXPECT_EQ(b.OnSnapshot(Snapshot(105, {{U("9"), U("4")}})), A::None);
  ASSERT_TRUE(b.Live());
  EXPECT_EQ(Side(b.Bids()), "11:1 10:1 9:4");
  EXPECT_EQ(b.OnEvent(Event(121, 125, 120, {{U("11"), U("0")}})), A::None);
  EXPECT_EQ(Side(b.Bids()), "10:1 9:4");
  // The same event again is no gap: the book holds it already.
  EXPECT_EQ(b.OnEvent(Event(121, 125, 120, {{U("11"), U("5")}})), A::None);
  EXPECT_EQ(Side(b.Bids()), "10:1 9:4");
  EXPECT_EQ(b.Gaps(), 0);
  // pu does not follow: out of step, a snapshot is fetched while the stream goes on.
  EXPECT_EQ(b.OnEvent(Event(130, 135, 128, {})), A::FetchSnapshot);
  EXPECT_FALSE(b.Live());
  EXPECT_EQ(b.Gaps(), 1);
  EXPECT_EQ(b.OnEvent(Event(136, 140, 135, {{U("12"), U("2")}})), A::None);  // buffered, not asked twice
  EXPECT_EQ(b.OnSnapshot(Snapshot(138, {{U("9"), U("4")}})), A::None);
  ASSERT_TRUE(b.Live());
  EXPECT_EQ(Side(b.Bids()), "12:2 9:4");
  // A reconnection: nothing shown until in step again.
  b.Reset();
  EXPECT_FALSE(b.Live());
  EXPECT_EQ(b.OnEvent(Event(200, 210, 199, {})), A::FetchSnapshot);
}
