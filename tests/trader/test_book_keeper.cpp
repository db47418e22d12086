// Full order books kept against the simulated exchange: on every market a book held through
// 100,000 diff events with events lost and swapped on the way equals the exchange's own book level
// for level; a connection that goes leaves nothing shown until the book is in step again; the
// snapshots keep to their weight budget.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "qmtTraderClient_Binance.h"
#include "sim_exchange.h"
#include "test_support.h"
#include "trader_fixture.h"

using namespace qmt_test;
using json = nlohmann::json;

namespace {

class FullBook : public TraderDataTest {};

struct Market {
  const char* name;
  int index;
  bool futures;
  int contracts;
  const char* symbol;
};
const Market kMarkets[] = {{"spot", 0, false, 0, "BTCUSDT"}, {"usdm", 1, true, 0, "BTCUSDT"}, {"coinm", 2, true, 1, "BTCUSD_PERP"}};

std::vector<TqmtBookLevel> Levels(const json& aSide) {
  std::vector<TqmtBookLevel> lOut;
  for (const auto& l : aSide) {
    TqmtBookLevel v;
    EXPECT_TRUE(BookUnits(l[0].get<std::string>(), v.Price) && BookUnits(l[1].get<std::string>(), v.Size)) << l;
    lOut.push_back(v);
  }
  return lOut;
}

bool Same(const std::vector<TqmtBookLevel>& a, const std::vector<TqmtBookLevel>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const TqmtBookLevel& x, const TqmtBookLevel& y) {
           return x.Price == y.Price && x.Size == y.Size;
         });
}

// Waits until the held book is live at the exchange's update id; the exchange is paused, so one
// more event is made now and then (the last one may have been lost or held back on purpose).
bool InStep(const SimExchange& aExchange, const Market& m, const TqmtTraderBookKeeper::THold& aHold, TqmtBookView& aView,
            json& aBook) {
  for (int lTry = 0; lTry < 20; ++lTry) {
    aBook = json::parse(aExchange.Control(m.index, std::string("book?symbol=") + m.symbol));
    const std::int64_t lId = aBook["lastUpdateId"];
    if (Eventually([&] {
          aHold.Read(aView, 0);
          return aView.Live && aView.UpdateId == lId;
        }, 1500))
      return true;
    aExchange.Control(m.index, std::string("depth-burst?events=1&symbol=") + m.symbol);
    Eventually([&] { return json::parse(aExchange.Control(m.index, std::string("book?symbol=") + m.symbol))["burstLeft"] == 0; });
  }
  return false;
}

}  // namespace

TEST_F(FullBook, EqualsTheExchangesBookAfterManyEventsWithGaps) {
  SimExchange lExchange({"--price-speed", "0.0002", "--depth-gap-every", "997", "--depth-reorder-every", "1499"});
  lExchange.PointAt();
  for (const Market& m : kMarkets) {
    SCOPED_TRACE(m.name);
    TqmtTraderClient_Binance c;
    c.BookWeightPerMinute = 1000000;  // gaps on purpose, many times a second: no budget holds that
    ASSERT_TRUE(c.Initialize("", "", m.futures, m.contracts, false)) << c.LastConnectionError();
    auto lHold = c.HoldOrderBook(m.symbol);
    TqmtBookView v;
    ASSERT_TRUE(Eventually([&] {
      lHold->Read(v, 0);
      return v.Live;
    })) << v.Problem;
    const int lGapsBefore = v.Gaps;
    lExchange.Control(m.index, std::string("depth-pause?on=1&symbol=") + m.symbol);
    lExchange.Control(m.index, std::string("depth-burst?events=100000&per-tick=1000&symbol=") + m.symbol);
    ASSERT_TRUE(Eventually([&] {
      return json::parse(lExchange.Control(m.index, std::string("book?symbol=") + m.symbol))["burstLeft"] == 0;
    }, 60000));
    json lBook;
    ASSERT_TRUE(InStep(lExchange, m, *lHold, v, lBook)) << "local " << v.UpdateId << " live " << v.Live << ", exchange "
                                                        << lBook["lastUpdateId"];
    EXPECT_GE(lBook["dropped"].get<int>(), 100);
    EXPECT_GE(lBook["reordered"].get<int>(), 60);
    // Out of step and in step again (how often depends on how fast snapshots come back: a gap met
    // while a snapshot is awaited is no second gap).
    EXPECT_GE(v.Gaps - lGapsBefore, 1);
    EXPECT_GE(c.OrderBooks().Snapshots(), 2u);
    EXPECT_TRUE(Same(v.Bids, Levels(lBook["bids"]))) << v.Bids.size() << " bids against " << lBook["bids"].size();
    EXPECT_TRUE(Same(v.Asks, Levels(lBook["asks"]))) << v.Asks.size() << " asks against " << lBook["asks"].size();
    EXPECT_EQ(v.BidLevels, lBook["bids"].size());
    // Asking for the best levels copies those alone.
    lHold->Read(v, 5);
    EXPECT_EQ(v.Bids.size(), 5u);
    EXPECT_EQ(v.Asks.size(), 5u);
    EXPECT_GT(v.Bids[0].Price, v.Bids[4].Price);
    EXPECT_LT(v.Asks[0].Price, v.Asks[4].Price);
    EXPECT_LT(v.Bids[0].Price, v.Asks[0].Price);
    lExchange.Control(m.index, std::string("depth-pause?on=0&symbol=") + m.symbol);
  }
}

TEST_F(FullBook, AConnectionThatGoesShowsNothingUntilTheBookIsInStepAgain) {
  SimExchange lExchange({"--price-speed", "0.0002"});
  lExchange.PointAt();
  for (const Market& m : kMarkets) {
    SCOPED_TRACE(m.name);
    TqmtTraderClient_Binance c;
    ASSERT_TRUE(c.Initialize("", "", m.futures, m.contracts, false)) << c.LastConnectionError();
    auto lHold = c.HoldOrderBook(m.symbol);
    TqmtBookView v;
    ASSERT_TRUE(Eventually([&] {
      lHold->Read(v, 10);
      return v.Live;
    })) << v.Problem;
    EXPECT_EQ(v.Bids.size(), 10u);
    // The connection that carries books goes: nothing is shown; it comes back: in step again by itself.
    TqmtWebSocketClient& lBooks = c.PublicWSClient() ? *c.PublicWSClient() : c.GetWSClient();
    lBooks.Disconnect(5000);
    lHold->Read(v, 10);
    EXPECT_FALSE(v.Live);
    EXPECT_TRUE(v.Bids.empty());
    ASSERT_TRUE(c.ConnectStreams(5000));
    EXPECT_TRUE(Eventually([&] {
      lHold->Read(v, 10);
      return v.Live;
    })) << v.Problem;
    // The last hold gone, the stream is given up; a new hold starts it again.
    const std::uint64_t lSnapshots = c.OrderBooks().Snapshots();
    EXPECT_GE(lSnapshots, 2u);
    lHold.reset();
    EXPECT_TRUE(c.OrderBooks().Held().empty());
    lHold = c.HoldOrderBook(m.symbol);
    EXPECT_TRUE(Eventually([&] {
      lHold->Read(v, 1);
      return v.Live;
    }));
    EXPECT_GT(c.OrderBooks().Snapshots(), lSnapshots);
  }
}

// A keeper of its own, fed by hand: snapshots keep to the budget, and a failed one is tried again.
TEST(BookKeeper, SnapshotsKeepToTheirWeightBudgetAndAFailureIsTriedAgain) {
  std::atomic<int> lFetched{0}, lFail{1};
  TqmtTraderBookKeeper k;
  TqmtTraderBookKeeper::TConfig c;
  c.Market = TqmtTraderBookKeeper::TMarket::Futures;
  c.Weight = 20;
  c.WeightPerMinute = 60;  // three snapshots a minute
  c.Fetch = [&](const std::string& aSymbol, int aLimit) {
    EXPECT_EQ(aSymbol, "BTCUSDT");
    EXPECT_EQ(aLimit, 1000);
    ++lFetched;
    if (lFail-- > 0) throw std::runtime_error("HTTP/1.1 503 Service Unavailable");
    // Older than every event: asked again at once.
    return std::string(R"({"lastUpdateId":1,"bids":[["1.0","1"]],"asks":[]})");
  };
  std::vector<std::pair<std::string, bool>> lSubscribed;
  c.Subscribe = [&](const std::string& aSymbol, bool aOn) { lSubscribed.emplace_back(aSymbol, aOn); };
  k.Configure(c);
  {
    auto h = k.Hold("btcusdt");
    ASSERT_EQ(lSubscribed.size(), 1u);
    EXPECT_EQ(lSubscribed[0], std::make_pair(std::string("BTCUSDT"), true));
    EXPECT_TRUE(k.OnDepthMessage("btcusdt", R"({"e":"depthUpdate","U":100,"u":110,"pu":99,"b":[],"a":[]})"));
    EXPECT_FALSE(k.OnDepthMessage("ethusdt", R"({"e":"depthUpdate","U":100,"u":110,"pu":99,"b":[],"a":[]})")) << "not held";
    // The failure, then (a second later) two more that do not join: the budget of three is spent.
    ASSERT_TRUE(Eventually([&] { return lFetched >= 3; }, 5000));
    TqmtBookView v;
    h->Read(v, 0);
    EXPECT_FALSE(v.Live);
    EXPECT_TRUE(v.Problem.empty()) << "the failure was tried again: " << v.Problem;
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(lFetched.load(), 3) << "no fourth within the minute";
    EXPECT_EQ(k.WeightUsed(), 60u);
  }
  ASSERT_EQ(lSubscribed.size(), 2u);
  EXPECT_EQ(lSubscribed[1], std::make_pair(std::string("BTCUSDT"), false));
  EXPECT_TRUE(k.Held().empty());
}
