// Orders beyond market and limit against the simulated exchange: time in force, post-only and
// reduce-only as each market spells them (and their refusals in the exchange's words), take-profit
// and trailing stops, and changing a limit order's price and size: in place on the futures (over
// their WebSocket API and over REST), by cancel-replace on spot. The orders table follows, with the
// trigger and the average fill price.
#include <gtest/gtest.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Fills.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "sim_exchange.h"
#include "test_support.h"
#include "trader_fixture.h"

using namespace qmt_test;
using json = nlohmann::json;

namespace {

const char* kKey = "qmt-sim-key";
const char* kSecret = "qmt-sim-secret";

using T = TqmtTraderOrderType;
constexpr auto kBuy = TqmtTraderOrderSide::stosBuy;
constexpr auto kSell = TqmtTraderOrderSide::stosSell;

struct Market {
  const char* name;
  int index;
  bool futures;
  int contracts;
  const char* symbol;
};
const Market kSpot{"spot", 0, false, 0, "BTCUSDT"};
const Market kUsdm{"usdm", 1, true, 0, "BTCUSDT"};
const Market kCoinm{"coinm", 2, true, 1, "BTCUSD_PERP"};

long double Number(const std::string& aId, const char* aField) {
  auto c = GetTraderDataOrders().CDSOpenOrders().CloneCursor();
  c->SetFiltered(false);
  if (!c->FindKey(aId)) return -1;
  return c->FieldByName(aField).AsExtended();
}

std::string Cell(const std::string& aId, const char* aField) {
  auto c = GetTraderDataOrders().CDSOpenOrders().CloneCursor();
  c->SetFiltered(false);
  if (!c->FindKey(aId)) return std::string();
  return c->FieldByName(aField).AsString();
}

// The exchange's record of an order by client id (plain or conditional), or null.
json SimOrder(const SimExchange& aExchange, int aMarket, const std::string& aId) {
  const json lState = json::parse(aExchange.Control(aMarket, "state"));
  for (const auto& o : lState["orders"])
    if (o["clientOrderId"] == aId) return o;
  for (const auto& o : lState["algoOrders"])
    if (o["clientAlgoId"] == aId) return o;
  return nullptr;
}

// A command's result, waited for through the client's listeners.
class Results : public TObject {
public:
  void OnResult(TObject*, const TqmtTraderCommandResult& r) {
    std::lock_guard g(FLock);
    FResults[r.Ticket] = r;
  }
  bool Wait(std::uint64_t aTicket, TqmtTraderCommandResult& aResult) {
    return Eventually([&] {
      std::lock_guard g(FLock);
      auto lIt = FResults.find(aTicket);
      if (lIt == FResults.end()) return false;
      aResult = lIt->second;
      return true;
    }, 15000);
  }

private:
  std::mutex FLock;
  std::map<std::uint64_t, TqmtTraderCommandResult> FResults;
};

class OrderKinds : public TraderDataTest {};

// Signed in to the simulated exchange, its account read once.
void SignIn(TqmtTraderClient_Binance& c, bool aFutures, int aContracts) {
  ASSERT_TRUE(c.Initialize(kKey, kSecret, aFutures, aContracts, false)) << c.LastConnectionError();
  ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() >= 1; })) << c.AccountProblem();
}

TqmtTraderOrderRequest Order(TqmtTraderOrderSide aSide, T aType, const char* aSymbol, long double aSize, long double aPrice,
                             long double aStop = 0) {
  TqmtTraderOrderRequest r;
  r.Side = aSide, r.Type = aType, r.Symbol = aSymbol, r.Size = aSize, r.Price = aPrice, r.StopPrice = aStop;
  return r;
}

}  // namespace

TEST_F(OrderKinds, EachMarketTakesOrRefusesTheFlagsInItsOwnWords) {
  SimExchange lExchange({"--price-speed", "0"});
  lExchange.PointAt();
  struct Case {
    const char* what;
    Market market;
    TqmtTraderOrderRequest request;
    TqmtTraderOutcome outcome;
    std::string said;        // the status when accepted, a part of the reason when refused
    std::string type, tif;   // what the exchange recorded ("" : not looked at)
  };
  auto With = [](TqmtTraderOrderRequest r, auto aChange) {
    aChange(r);
    return r;
  };
  const Case kCases[] = {
      {"spot post-only resting", kSpot, With(Order(kBuy, T::totLimit, "BTCUSDT", 0.01L, 20000), [](auto& r) { r.PostOnly = true; }),
       TqmtTraderOutcome::tocAccepted, "NEW", "LIMIT_MAKER", "GTC"},
      {"spot post-only crossing", kSpot, With(Order(kBuy, T::totLimit, "BTCUSDT", 0.01L, 30000), [](auto& r) { r.PostOnly = true; }),
       TqmtTraderOutcome::tocRefused, "-2010 Order would immediately match and take.", "", ""},
      {"usdm post-only resting", kUsdm, With(Order(kBuy, T::totLimit, "BTCUSDT", 0.01L, 20000), [](auto& r) { r.PostOnly = true; }),
       TqmtTraderOutcome::tocAccepted, "NEW", "LIMIT", "GTX"},
      {"usdm post-only crossing", kUsdm, With(Order(kBuy, T::totLimit, "BTCUSDT", 0.01L, 30000), [](auto& r) { r.PostOnly = true; }),
       TqmtTraderOutcome::tocRefused, "-5022 Due to the order could not be executed as maker", "", ""},
      {"spot IOC not crossing", kSpot, With(Order(kBuy, T::totLimit, "BTCUSDT", 0.01L, 20000), [](auto& r) { r.TimeInForce = "IOC"; }),
       TqmtTraderOutcome::tocAccepted, "EXPIRED", "LIMIT", "IOC"},
      {"usdm FOK crossing", kUsdm, With(Order(kBuy, T::totLimit, "BTCUSDT", 0.01L, 30000), [](auto& r) { r.TimeInForce = "FOK"; }),
       TqmtTraderOutcome::tocAccepted, "FILLED", "LIMIT", "FOK"},
      // The FOK order above opened a long position of 0.01.
      {"usdm reduce-only that would add", kUsdm,
       With(Order(kBuy, T::totMarket, "BTCUSDT", 0.01L, 0), [](auto& r) { r.ReduceOnly = true; }), TqmtTraderOutcome::tocRefused,
       "-2022 ReduceOnly Order is rejected.", "", ""},
      {"usdm reduce-only that closes", kUsdm,
       With(Order(kSell, T::totMarket, "BTCUSDT", 0.01L, 0), [](auto& r) { r.ReduceOnly = true; }), TqmtTraderOutcome::tocAccepted,
       "FILLED", "MARKET", ""},
      {"spot reduce-only", kSpot, With(Order(kSell, T::totMarket, "BTCUSDT", 0.01L, 0), [](auto& r) { r.ReduceOnly = true; }),
       TqmtTraderOutcome::tocRefused, "reduce-only is for futures orders", "", ""},
      {"spot IOC market", kSpot, With(Order(kBuy, T::totMarket, "BTCUSDT", 0.01L, 0), [](auto& r) { r.TimeInForce = "IOC"; }),
       TqmtTraderOutcome::tocRefused, "time in force IOC is for orders with a limit price", "", ""},
      {"spot take-profit limit", kSpot, Order(kSell, T::totTakeProfitLimit, "BTCUSDT", 0.01L, 29900, 30000),
       TqmtTraderOutcome::tocAccepted, "NEW", "TAKE_PROFIT_LIMIT", "GTC"},
      {"usdm take-profit", kUsdm, Order(kSell, T::totTakeProfit, "BTCUSDT", 0.01L, 0, 30000), TqmtTraderOutcome::tocAccepted, "NEW",
       "TAKE_PROFIT_MARKET", ""},
      {"usdm trailing stop", kUsdm, With(Order(kSell, T::totTrailingStop, "BTCUSDT", 0.01L, 0, 26000), [](auto& r) { r.CallbackRate = 1.5L; }),
       TqmtTraderOutcome::tocAccepted, "NEW", "TRAILING_STOP_MARKET", ""},
      {"spot trailing stop", kSpot, With(Order(kSell, T::totTrailingStop, "BTCUSDT", 0.01L, 0, 26000), [](auto& r) { r.CallbackRate = 1; }),
       TqmtTraderOutcome::tocRefused, "trailing stops are for futures orders here", "", ""},
  };
  for (const bool lFutures : {false, true}) {
    TqmtTraderClient_Binance c;
    ASSERT_TRUE(c.Initialize(kKey, kSecret, lFutures, 0, false)) << c.LastConnectionError();
    for (const Case& k : kCases) {
      if (k.market.futures != lFutures) continue;
      SCOPED_TRACE(k.what);
      TqmtTraderOrderRequest r = k.request;
      const TqmtTraderCommandResult a = c.Commands().RunOrder(r);
      EXPECT_EQ(a.Outcome, k.outcome) << a.Text();
      if (k.outcome == TqmtTraderOutcome::tocAccepted) {
        EXPECT_EQ(a.Status, k.said) << a.Text();
        const json o = SimOrder(lExchange, k.market.index, r.ClientOrderId);
        ASSERT_FALSE(o.is_null());
        EXPECT_EQ(o.contains("orderType") ? o["orderType"] : o["type"], k.type);
        if (!k.tif.empty()) {
          EXPECT_EQ(o["timeInForce"], k.tif);
        }
      } else {
        EXPECT_NE(a.Message.find(k.said), std::string::npos) << a.Message;
      }
    }
    c.Disconnect();
  }
}

TEST_F(OrderKinds, ALimitOrdersPriceAndSizeChangeInPlaceOnFuturesAndByCancelReplaceOnSpot) {
  SimExchange lExchange({"--price-speed", "0"});
  lExchange.PointAt();
  for (const Market& m : {kSpot, kUsdm, kCoinm}) {
    SCOPED_TRACE(m.name);
    TqmtTraderClient_Binance c;
    ASSERT_NO_FATAL_FAILURE(SignIn(c, m.futures, m.contracts));
    Results lResults;
    TqmtRegistration lListening = c.ListenCommandResult({&lResults, &Results::OnResult});
    TqmtTraderOrderRequest r = Order(kBuy, T::totLimit, m.symbol, 1, 20000);
    ASSERT_EQ(c.Commands().RunOrder(r).Outcome, TqmtTraderOutcome::tocAccepted);
    ASSERT_TRUE(Eventually([&] { return Cell(r.ClientOrderId, "ORDER_STATUS") == "NEW"; }));

    TqmtTraderOrderRequest lChange = Order(kBuy, T::totLimit, m.symbol, 2, 21000);
    lChange.Replaces = r.ClientOrderId;
    TqmtTraderCommandResult a;
    ASSERT_TRUE(lResults.Wait(c.SubmitModify(lChange), a));
    EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
    EXPECT_EQ(a.Kind, TqmtTraderCommandKind::tckModify);
    if (m.futures) {
      // The same order, its new price and size; the result names it.
      EXPECT_EQ(a.Way, "modify");
      EXPECT_EQ(a.ClientOrderId, r.ClientOrderId);
      EXPECT_NE(a.Text().find("(NEW, by modify)"), std::string::npos) << a.Text();
      const json o = SimOrder(lExchange, m.index, r.ClientOrderId);
      EXPECT_EQ(o["price"], "21000.00000000");
      EXPECT_EQ(o["origQty"], "2.00000000");
      EXPECT_TRUE(Eventually([&] { return Number(r.ClientOrderId, "PRICE") == 21000 && Number(r.ClientOrderId, "SIZE") == 2; }))
          << Cell(r.ClientOrderId, "PRICE");
    } else {
      // The old order cancelled, a new one in its place.
      EXPECT_EQ(a.Way, "cancel-replace");
      EXPECT_EQ(a.ClientOrderId, lChange.ClientOrderId);
      EXPECT_NE(lChange.ClientOrderId, r.ClientOrderId);
      EXPECT_EQ(SimOrder(lExchange, m.index, r.ClientOrderId)["status"], "CANCELED");
      EXPECT_EQ(SimOrder(lExchange, m.index, lChange.ClientOrderId)["price"], "21000.00000000");
      EXPECT_TRUE(Eventually([&] {
        return Cell(r.ClientOrderId, "ORDER_STATUS") == "CANCELED" && Cell(lChange.ClientOrderId, "ORDER_STATUS") == "NEW";
      }));
    }
    // An order that is no longer open cannot change: said in the exchange's words, nothing placed.
    TqmtTraderOrderRequest lGone = Order(kBuy, T::totLimit, m.symbol, 1, 22000);
    lGone.Replaces = "no-such-order";
    ASSERT_TRUE(lResults.Wait(c.SubmitModify(lGone), a));
    EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocRefused) << a.Text();
    EXPECT_TRUE(SimOrder(lExchange, m.index, lGone.ClientOrderId).is_null());
    if (!m.futures) {
      // A replacement the exchange refuses after the cancel went through: said, the order named as gone.
      TqmtTraderOrderRequest lTooBig = Order(kBuy, T::totLimit, m.symbol, 100, 21000);
      lTooBig.Replaces = lChange.ClientOrderId;
      ASSERT_TRUE(lResults.Wait(c.SubmitModify(lTooBig), a));
      EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocRefused);
      EXPECT_NE(a.Message.find("-2021 Order cancel-replace partially failed. (the order " + lChange.ClientOrderId +
                               " is cancelled; its replacement was not placed)"),
                std::string::npos)
          << a.Message;
      EXPECT_EQ(SimOrder(lExchange, m.index, lChange.ClientOrderId)["status"], "CANCELED");
    }
    c.Disconnect();
  }
}

TEST_F(OrderKinds, TheTableShowsTheTriggerAndTheAverageFillPrice) {
  SimExchange lExchange({"--price-speed", "0"});
  lExchange.PointAt();
  for (const bool lFutures : {false, true}) {
    SCOPED_TRACE(lFutures ? "usdm" : "spot");
    TqmtTraderClient_Binance c;
    ASSERT_NO_FATAL_FAILURE(SignIn(c, lFutures, 0));
    TqmtTraderOrderRequest lMarket = Order(kBuy, T::totMarket, "BTCUSDT", 0.01L, 0);
    ASSERT_EQ(c.Commands().RunOrder(lMarket).Outcome, TqmtTraderOutcome::tocAccepted);
    EXPECT_TRUE(Eventually([&] { return Number(lMarket.ClientOrderId, "AVG_PRICE") == 27000; }))
        << Number(lMarket.ClientOrderId, "AVG_PRICE");
    // Its fill, with the fee the exchange charged (0.1% spot, 0.04% futures in the simulation).
    auto lFills = GetTraderDataFills().GetTable().CloneCursor();
    lFills->SetFiltered(false);
    ASSERT_TRUE(Eventually([&] { return lFills->RecordCount() == 1; })) << lFills->RecordCount();
    lFills->First();
    EXPECT_EQ(lFills->FieldByName("ORDER_ID").AsString(), lMarket.ClientOrderId);
    EXPECT_EQ(lFills->FieldByName("PRICE").AsExtended(), 27000);
    EXPECT_EQ(lFills->FieldByName("SIZE").AsExtended(), 0.01L);
    EXPECT_NEAR(static_cast<double>(lFills->FieldByName("FEE").AsExtended()), lFutures ? 0.108 : 0.27, 1e-9);
    EXPECT_EQ(lFills->FieldByName("FEE_ASSET").AsString(), "USDT");
    TqmtTraderOrderRequest lStop = Order(kSell, T::totStopLimit, "BTCUSDT", 0.01L, 25900, 26000);
    ASSERT_EQ(c.Commands().RunOrder(lStop).Outcome, TqmtTraderOutcome::tocAccepted);
    EXPECT_TRUE(Eventually([&] { return Number(lStop.ClientOrderId, "STOP_PRICE") == 26000; }))
        << Number(lStop.ClientOrderId, "STOP_PRICE");
    EXPECT_EQ(Number(lStop.ClientOrderId, "PRICE"), 25900);
    c.Disconnect();
  }
}

TEST_F(OrderKinds, APositionIsClosedReversedAndItsLeverageAndMarginModeSet) {
  SimExchange lExchange({"--price-speed", "0"});
  lExchange.PointAt();
  TqmtTraderClient_Binance c;
  ASSERT_NO_FATAL_FAILURE(SignIn(c, true, 0));
  Results lResults;
  TqmtRegistration lListening = c.ListenCommandResult({&lResults, &Results::OnResult});
  auto lPosition = [](const char* aField) {
    auto p = GetTraderDataPosition().GetTable().CloneCursor();
    p->SetFiltered(false);
    return p->FindKey("BTCUSDT") ? p->FieldByName(aField).AsString() : std::string("<none>");
  };
  auto lHeld = [&] { return json::parse(lExchange.Control(1, "state"))["positions"].value("BTCUSDT", json::array({0, 0}))[0].get<double>(); };
  std::string lWhy;
  EXPECT_EQ(c.SubmitClosePosition("BTCUSDT", false, lWhy), 0u);
  EXPECT_EQ(lWhy, "there is no BTCUSDT position");

  TqmtTraderOrderRequest lBuy = Order(kBuy, T::totMarket, "BTCUSDT", 0.5L, 0);
  ASSERT_EQ(c.Commands().RunOrder(lBuy).Outcome, TqmtTraderOutcome::tocAccepted);
  ASSERT_TRUE(Eventually([&] { return c.PositionAmount("BTCUSDT") == 0.5L; }));
  // Leverage and margin mode, and what REST then says of the position.
  TqmtTraderCommandResult a;
  ASSERT_TRUE(lResults.Wait(c.SubmitLeverage("BTCUSDT", 10, lWhy), a));
  EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
  ASSERT_TRUE(lResults.Wait(c.SubmitMarginType("BTCUSDT", true, lWhy), a));
  EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
  ASSERT_TRUE(lResults.Wait(c.SubmitMarginType("BTCUSDT", true, lWhy), a));  // already so: not a failure
  EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
  EXPECT_TRUE(Eventually([&] { return lPosition("LEVERAGE") == "10" && lPosition("MARGIN_TYPE") == "isolated"; }))
      << lPosition("LEVERAGE") << " " << lPosition("MARGIN_TYPE");
  EXPECT_EQ(lPosition("LIQUIDATION_PRICE"), "24300");  // 27000 × (1 - 1/10) in the exchange's model
  EXPECT_EQ(c.SubmitLeverage("BTCUSDT", 0, lWhy), 0u);

  // Reversed at a higher price: twice the amount the other way, its fill realising the profit; then closed, reduce-only.
  lExchange.Control(1, "price?symbol=BTCUSDT&price=27100");
  ASSERT_TRUE(lResults.Wait(c.SubmitClosePosition("BTCUSDT", true, lWhy), a));
  EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
  EXPECT_EQ(a.Description, "SELL MARKET 1 BTCUSDT");
  EXPECT_TRUE(Eventually([&] { return lHeld() == -0.5 && c.PositionAmount("BTCUSDT") == -0.5L; })) << lHeld();
  auto lFills = GetTraderDataFills().GetTable().CloneCursor();
  lFills->SetFiltered(false);
  ASSERT_TRUE(Eventually([&] { return lFills->RecordCount() == 2; }));
  long double lRealized = 0;
  for (lFills->First(); !lFills->Eof(); lFills->Next()) lRealized += lFills->FieldByName("REALIZED_PROFIT").AsExtended();
  EXPECT_GT(lRealized, 0);
  ASSERT_TRUE(lResults.Wait(c.SubmitClosePosition("BTCUSDT", false, lWhy), a));
  EXPECT_EQ(a.Description, "BUY MARKET 0.5 BTCUSDT reduce-only");
  EXPECT_TRUE(Eventually([&] { return lHeld() == 0 && c.PositionAmount("BTCUSDT") == 0; })) << lHeld();
  c.Disconnect();
}

TEST_F(OrderKinds, ABracketIsPlacedWhenItsOrderFillsAndGoesWithIt) {
  SimExchange lExchange({"--price-speed", "0"});
  lExchange.PointAt();
  TqmtTraderClient_Binance c;
  ASSERT_NO_FATAL_FAILURE(SignIn(c, true, 0));
  Results lResults;
  TqmtRegistration lListening = c.ListenCommandResult({&lResults, &Results::OnResult});
  auto lAlgo = [&](const std::string& aType) {
    const json lState = json::parse(lExchange.Control(1, "state"));
    for (const auto& a : lState["algoOrders"])
      if (a["orderType"] == aType) return a;
    return json();
  };
  std::string lWhy;
  TqmtTraderOrderRequest lWrong = Order(kBuy, T::totMarket, "BTCUSDT", 0.5L, 0);
  EXPECT_EQ(c.SubmitBracketOrder(lWrong, 26000, 28000, lWhy), 0u);
  EXPECT_EQ(lWhy, "the take-profit of a buy lies above its stop-loss");

  // An order that ends without a fill takes its bracket with it.
  TqmtTraderOrderRequest lResting = Order(kBuy, T::totLimit, "BTCUSDT", 0.5L, 20000);
  TqmtTraderCommandResult a;
  ASSERT_TRUE(lResults.Wait(c.SubmitBracketOrder(lResting, 28000, 26000, lWhy), a));
  ASSERT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
  ASSERT_TRUE(lResults.Wait(c.SubmitCancel("BTCUSDT", lResting.ClientOrderId), a));
  EXPECT_TRUE(Eventually([&] { return c.Brackets().empty(); }));
  EXPECT_TRUE(json::parse(lExchange.Control(1, "state"))["algoOrders"].empty());

  // Filled: the take-profit and the stop-loss, reduce-only, the other way, for what filled.
  TqmtTraderOrderRequest lBuy = Order(kBuy, T::totMarket, "BTCUSDT", 0.5L, 0);
  ASSERT_TRUE(lResults.Wait(c.SubmitBracketOrder(lBuy, 28000, 26000, lWhy), a));
  ASSERT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
  ASSERT_TRUE(Eventually([&] { return !lAlgo("TAKE_PROFIT_MARKET").is_null() && !lAlgo("STOP_MARKET").is_null(); }))
      << lExchange.Control(1, "state");
  for (const char* lType : {"TAKE_PROFIT_MARKET", "STOP_MARKET"}) {
    const json o = lAlgo(lType);
    EXPECT_EQ(o["side"], "SELL");
    EXPECT_EQ(o["quantity"], "0.50000000");
    EXPECT_EQ(o["algoStatus"], "NEW");
  }
  EXPECT_EQ(lAlgo("TAKE_PROFIT_MARKET")["triggerPrice"], "28000.00000000");
  EXPECT_EQ(lAlgo("STOP_MARKET")["triggerPrice"], "26000.00000000");
  // The take-profit triggers: the stop-loss is cancelled, the position closed, the bracket done.
  lExchange.Control(1, "price?symbol=BTCUSDT&price=28100");
  EXPECT_TRUE(Eventually([&] { return lAlgo("STOP_MARKET")["algoStatus"] == "CANCELED"; })) << lExchange.Control(1, "state");
  EXPECT_TRUE(Eventually([&] { return c.PositionAmount("BTCUSDT") == 0 && c.Brackets().empty(); }));
  c.Disconnect();
}
