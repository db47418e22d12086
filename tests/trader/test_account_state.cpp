// The account as the exchange has it: what is held before sign-in shows at once, what happens while
// the account's data is down is read back after it, positions are valued at the mark price, and the
// state never says more than is true. Against the simulated exchange, whose /sim/ controls fill,
// cancel and expire orders, move prices and drop the account's connections.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "test_support.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"
#include "sim_exchange.h"
#include "test_keys.h"
#include "trader_fixture.h"

using namespace qmt_test;
using json = nlohmann::json;

namespace {

const char* kKey = "qmt-sim-key";
const char* kSecret = "qmt-sim-secret";

class AccountState : public TraderDataTest {
protected:
  // An account file for the exchange to start with.
  std::string Account(const json& aAccount) {
    std::filesystem::create_directories(FDir);
    const std::string lPath = (FDir / "account.json").string();
    std::ofstream(lPath) << aAccount.dump();
    return lPath;
  }
};

// A limit order on BTCUSDT, for an account file.
json Limit(const char* aClientOrderId, const char* aSide, double aPrice, double aQuantity) {
  return {{"symbol", "BTCUSDT"}, {"side", aSide}, {"type", "LIMIT"}, {"price", aPrice}, {"quantity", aQuantity},
          {"clientOrderId", aClientOrderId}};
}

// A value of a table's row, as text ("" when the row is not there).
std::string Cell(TqmtDataSet& aTable, const std::string& aKey, const char* aField) {
  auto c = aTable.CloneCursor();
  c->SetFiltered(false);
  if (!c->FindKey(aKey)) return std::string();
  return c->FieldByName(aField).AsString();
}

long double Number(TqmtDataSet& aTable, const std::string& aKey, const char* aField) {
  auto c = aTable.CloneCursor();
  c->SetFiltered(false);
  if (!c->FindKey(aKey)) return -1e30L;
  return c->FieldByName(aField).AsExtended();
}

bool HasRowIn(TqmtDataSet& aTable, const std::string& aKey) {
  auto c = aTable.CloneCursor();
  c->SetFiltered(false);
  return c->FindKey(aKey);
}

TqmtDataSet& Orders() { return GetTraderDataOrders().CDSOpenOrders(); }
TqmtDataSet& Positions() { return GetTraderDataPosition().GetTable(); }
TqmtDataSet& Balances() { return GetTraderDataBalance().GetTable(); }

// Every order state the listeners heard, counted by id and status.
class OrderCounts : public TObject {
public:
  void OnOrder(TObject*, const TqmtTraderOrder& o) {
    std::lock_guard g(FLock);
    ++FCounts[o.Id() + " " + o.OrderStatus()];
  }
  int Of(const std::string& aId, const std::string& aStatus) {
    std::lock_guard g(FLock);
    return FCounts[aId + " " + aStatus];
  }

private:
  std::mutex FLock;
  std::map<std::string, int> FCounts;
};

// Both markets the account tests run on: spot (user data over the WebSocket API) and USDT-margined
// futures (a listen key on the private route).
struct Market {
  const char* name;
  int index;  // the exchange's port
  bool futures;
  std::string asset;  // an asset the fills move
};
const Market kMarkets[] = {{"spot", 0, false, "BTC"}, {"usdm", 1, true, "USDT"}};

// A client whose connections are retried every second (the watchdog's pace, copied to every route).
void Prepare(TqmtTraderClient_Binance& c) {
  c.GetWSClient().WatchDog.Interval = 1;
  c.AccountRetryMs = 200;
}

}  // namespace

TEST_F(AccountState, WhatIsHeldBeforeSignInShowsAtOnce) {
  const std::string lFile = Account({
      {"spot",
       {{"balances", {{"USDT", 5000}, {"BTC", 1.5}}},
        {"orders", json::array({Limit("held-spot", "BUY", 20000, 0.1)})}}},
      {"usdm",
       {{"balances", {{"USDT", 20000}}},
        {"prices", {{"BTCUSDT", 27000}}},
        {"positions", {{"BTCUSDT", {-0.5, 27000}}}},
        {"orders", json::array({Limit("held-usdm", "SELL", 40000, 0.2)})},
        {"algoOrders", json::array({{{"symbol", "BTCUSDT"}, {"side", "BUY"}, {"type", "STOP_MARKET"}, {"triggerPrice", 35000},
                                     {"quantity", 0.5}, {"clientAlgoId", "stop-usdm"}}})}}},
  });
  SimExchange lExchange({"--account", lFile, "--price-speed", "0"});
  lExchange.PointAt();
  for (const Market& m : kMarkets) {
    SCOPED_TRACE(m.name);
    TqmtTraderClient_Binance c;
    ASSERT_TRUE(c.Initialize(kKey, kSecret, m.futures, 0, false)) << c.LastConnectionError();
    ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() >= 1; })) << c.AccountProblem();
    if (!m.futures) {
      EXPECT_EQ(Cell(Orders(), "held-spot", "ORDER_STATUS"), "NEW");
      EXPECT_EQ(Number(Orders(), "held-spot", "PRICE"), 20000);
      EXPECT_EQ(Number(Balances(), "BTC", "WALLET_BALANCE"), 1.5L);
      EXPECT_EQ(Number(Balances(), "USDT", "WALLET_BALANCE"), 5000);
    } else {
      EXPECT_EQ(Cell(Orders(), "held-usdm", "ORDER_STATUS"), "NEW");
      EXPECT_EQ(Cell(Orders(), "stop-usdm", "ORDER_STATUS"), "NEW") << "conditional orders too";
      EXPECT_EQ(Number(Orders(), "stop-usdm", "PRICE"), 35000) << "a stop market shows its trigger";
      EXPECT_EQ(Number(Positions(), "BTCUSDT", "POSITION"), -0.5L);
      EXPECT_EQ(Number(Positions(), "BTCUSDT", "ENTRY_PRICE"), 27000);
      EXPECT_EQ(Number(Balances(), "USDT", "WALLET_BALANCE"), 20000);
      EXPECT_EQ(Cell(Orders(), "held-spot", "ORDER_STATUS"), "") << "a sign-in starts the account afresh";
    }
  }
}

TEST_F(AccountState, OrdersThatEndWhileTheAccountStreamIsDownAreReadBack) {
  const std::string lFile = Account({
      {"spot",
       {{"orders", json::array({Limit("fills", "BUY", 20000, 0.1),
                                Limit("cancelled", "BUY", 21000, 0.1),
                                Limit("expires", "BUY", 22000, 0.1)})}}},
      {"usdm",
       {{"orders", json::array({Limit("fills", "BUY", 20000, 0.1),
                                Limit("cancelled", "BUY", 21000, 0.1)})},
        {"algoOrders", json::array({{{"symbol", "BTCUSDT"}, {"side", "BUY"}, {"type", "STOP_MARKET"}, {"triggerPrice", 35000},
                                     {"quantity", 0.5}, {"clientAlgoId", "expires"}}})}}},
  });
  SimExchange lExchange({"--account", lFile, "--price-speed", "0"});
  lExchange.PointAt();
  for (const Market& m : kMarkets) {
    SCOPED_TRACE(m.name);
    TqmtTraderClient_Binance c;
    Prepare(c);
    ASSERT_TRUE(c.Initialize(kKey, kSecret, m.futures, 0, false)) << c.LastConnectionError();
    ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() >= 1 && Cell(Orders(), "fills", "ORDER_STATUS") == "NEW"; }));
    const std::uint64_t lBefore = c.AccountSnapshots();
    // Down for 3 s; meanwhile one order fills, one is cancelled, one expires.
    EXPECT_NE(lExchange.Control(m.index, "drop-user?ms=3000").find("\"closed\":1"), std::string::npos);
    EXPECT_TRUE(Eventually([&] { return !c.Connected(); })) << "the account's data down is the session down";
    lExchange.Control(m.index, "fill?clientOrderId=fills");
    lExchange.Control(m.index, "cancel?clientOrderId=cancelled");
    lExchange.Control(m.index, "expire?clientOrderId=expires");
    ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() > lBefore && c.Connected(); }, 20000)) << c.AccountProblem();
    EXPECT_TRUE(Eventually([&] { return Cell(Orders(), "fills", "ORDER_STATUS") == "FILLED"; }));
    EXPECT_EQ(Number(Orders(), "fills", "FILLED"), 0.1L) << "with its fill";
    EXPECT_EQ(Cell(Orders(), "cancelled", "ORDER_STATUS"), "CANCELED");
    EXPECT_EQ(Cell(Orders(), "expires", "ORDER_STATUS"), "EXPIRED");
    // Balances and position as the exchange has them.
    const json lState = json::parse(lExchange.Control(m.index, "state"));
    EXPECT_NEAR(static_cast<double>(Number(Balances(), m.asset, "WALLET_BALANCE")), lState["balances"][m.asset].get<double>(), 1e-6);
    if (m.futures) {
      EXPECT_EQ(Number(Positions(), "BTCUSDT", "POSITION"), 0.1L);
      EXPECT_EQ(Number(Positions(), "BTCUSDT", "ENTRY_PRICE"), 20000);
    }
    std::printf("[ figure ] %s: account read in %llu ms after the reconnection\n", m.name,
                static_cast<unsigned long long>(c.LastSnapshotMs()));
  }
}

TEST_F(AccountState, AFreshExchangeLeavesNoOrderOrPositionItDoesNotHave) {
  // The client reconnects to an exchange that started afresh on the same ports: what it showed
  // and the exchange no longer has goes.
  const std::string lFile = Account({{"usdm",
                                      {{"positions", {{"BTCUSDT", {-1, 27000}}}},
                                       {"algoOrders", json::array({{{"symbol", "BTCUSDT"}, {"side", "BUY"}, {"type", "STOP_MARKET"},
                                                                    {"triggerPrice", 35000}, {"quantity", 1}, {"clientAlgoId", "gone"}}})}}}});
  auto lExchange = std::make_unique<SimExchange>(std::vector<std::string>{"--account", lFile, "--price-speed", "0"});
  const std::vector<std::string> lPorts = {"--spot-port", std::to_string(lExchange->Port(0)), "--usdm-port",
                                           std::to_string(lExchange->Port(1)), "--coinm-port", std::to_string(lExchange->Port(2))};
  lExchange->PointAt();
  TqmtTraderClient_Binance c;
  Prepare(c);
  ASSERT_TRUE(c.Initialize(kKey, kSecret, true, 0, false)) << c.LastConnectionError();
  ASSERT_TRUE(Eventually([&] { return Cell(Orders(), "gone", "ORDER_STATUS") == "NEW" && Number(Positions(), "BTCUSDT", "POSITION") == -1; }));
  lExchange.reset();
  std::vector<std::string> lArgs = lPorts;
  lArgs.insert(lArgs.end(), {"--price-speed", "0"});
  lExchange = std::make_unique<SimExchange>(lArgs);
  EXPECT_TRUE(Eventually([&] { return Cell(Orders(), "gone", "ORDER_STATUS") == "NOT_FOUND"; }, 20000));
  EXPECT_TRUE(Eventually([&] { return Cell(Positions(), "BTCUSDT", "POSITION").empty(); })) << "no position: no row";
}

TEST_F(AccountState, UnrealisedProfitFollowsTheMarkPrice) {
  const std::string lFile = Account({{"usdm", {{"prices", {{"BTCUSDT", 30000}}}, {"positions", {{"BTCUSDT", {1, 30000}}}}}},
                                     {"coinm", {{"prices", {{"BTCUSD_PERP", 30000}}}, {"positions", {{"BTCUSD_PERP", {10, 30000}}}}}}});
  SimExchange lExchange({"--account", lFile, "--price-speed", "0"});
  lExchange.PointAt();
  struct Case {
    int contracts, port;
    const char* symbol;
    const char* asset;
    double profit;  // at 31000
  } const kCases[] = {{0, 1, "BTCUSDT", "USDT", 1000},
                      // Inverse: 10 contracts of 100 USD, the profit in BTC.
                      {1, 2, "BTCUSD_PERP", "BTC", 10 * 100 * (1 / 30000.0 - 1 / 31000.0)}};
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.symbol);
    TqmtTraderClient_Binance c;
    ASSERT_TRUE(c.Initialize(kKey, kSecret, true, k.contracts, false)) << c.LastConnectionError();
    ASSERT_TRUE(Eventually([&] { return Number(Positions(), k.symbol, "MARKET_PRICE") == 30000; }));
    EXPECT_EQ(Number(Positions(), k.symbol, "UNREALIZED_PROFIT"), 0);
    lExchange.Control(k.port, std::string("price?symbol=") + k.symbol + "&price=31000");
    EXPECT_TRUE(Eventually([&] { return Number(Positions(), k.symbol, "MARKET_PRICE") == 31000; }))
        << "the mark price stream moves it, no order needed";
    EXPECT_NEAR(static_cast<double>(Number(Positions(), k.symbol, "UNREALIZED_PROFIT")), k.profit, 1e-9);
    bool lFound = false;
    for (const auto& t : c.AccountTotals())
      if (t.Asset == k.asset) {
        lFound = true;
        EXPECT_NEAR(static_cast<double>(t.UnrealizedProfit), k.profit, 1e-9);
      }
    EXPECT_TRUE(lFound) << "the total of the margin asset";
  }
}

TEST_F(AccountState, ARefusedSubscriptionIsToldAndRetried) {
  // The second user-data subscription (the one after a reconnection) is refused; a retry succeeds.
  SimExchange lExchange({"--refuse-user-data", "2"});
  lExchange.PointAt();
  for (const Market& m : kMarkets) {
    SCOPED_TRACE(m.name);
    TqmtTraderClient_Binance c;
    Prepare(c);
    ASSERT_TRUE(c.Initialize(kKey, kSecret, m.futures, 0, false)) << c.LastConnectionError();
    ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() >= 1; }));
    const std::uint64_t lBefore = c.AccountSnapshots();
    std::atomic<bool> lSawRefusal{false};
    lExchange.Control(m.index, "drop-user?ms=0");
    std::thread lWatch([&] {
      Eventually([&] {
        if (c.AccountProblem().find("-2015 Invalid API-key, IP, or permissions for action.") != std::string::npos && !c.Connected())
          lSawRefusal = true;
        return lSawRefusal.load() || c.AccountSnapshots() > lBefore;
      }, 20000);
    });
    EXPECT_TRUE(Eventually([&] { return c.AccountSnapshots() > lBefore && c.Connected(); }, 20000)) << c.AccountProblem();
    lWatch.join();
    EXPECT_TRUE(lSawRefusal) << "the refusal was shown, in the exchange's words, and the session not connected";
    EXPECT_EQ(c.AccountProblem(), "");
    EXPECT_NE(c.LastConnectionError().find("-2015"), std::string::npos) << c.LastConnectionError();
  }
}

TEST_F(AccountState, AWrongSecretIsRefusedAtSignInInTheExchangesWords) {
  SimExchange lExchange;
  lExchange.PointAt();
  for (const Market& m : kMarkets) {
    TqmtTraderClient_Binance c;
    EXPECT_FALSE(c.Initialize(kKey, "wrong", m.futures, 0, false)) << m.name;
    EXPECT_EQ(c.LastConnectionError(), "the exchange refused the API key: -1022 Signature for this request is not valid.") << m.name;
  }
}

TEST_F(AccountState, ASlowOrBrokenPositionAnswerNeverDropsTheAccountStream) {
  for (const char* lFault : {"--position-delay-ms", "--position-non-json"}) {
    SCOPED_TRACE(lFault);
    std::vector<std::string> lArgs = {lFault};
    if (std::string(lFault) == "--position-delay-ms") lArgs.push_back("4500");
    SimExchange lExchange(lArgs);
    lExchange.PointAt();
    TqmtTraderClient_Binance c;
    // A heart-beat that gives up after 3 s: a reading thread held up 4.5 s would drop its connection.
    c.GetWSClient().HeartBeat.Interval = 1;
    c.GetWSClient().HeartBeat.Timeout = 3;
    ASSERT_TRUE(c.Initialize(kKey, kSecret, true, 0, false)) << c.LastConnectionError();
    // Any connection of the session down is a drop (the listeners hear of it).
    struct Drops : TObject {
      std::atomic<int> Count{0};
      void OnDisconnect(TObject*) { ++Count; }
    } lDrops;
    const TqmtRegistration lDropsListening = c.ListenDisconnect({&lDrops, &Drops::OnDisconnect});
    OrderCounts lOrders;
    // Ended before lOrders goes, on every path (a failed ASSERT returns early).
    const TqmtRegistration lListening = c.ListenOrder({&lOrders, &OrderCounts::OnOrder});
    for (int i = 0; i < 2; ++i) c.PlaceMarketOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L);
    std::this_thread::sleep_for(std::chrono::milliseconds(5500));
    EXPECT_EQ(lDrops.Count, 0);
    EXPECT_TRUE(c.Connected());
    // The account stream went on: a third order's fill still arrives.
    TqmtTraderOrderRequest r{.Side = TqmtTraderOrderSide::stosBuy, .Type = TqmtTraderOrderType::totMarket, .Symbol = "BTCUSDT", .Size = 0.01L, .Price = 0, .StopPrice = 0};
    c.Commands().RunOrder(r);
    EXPECT_TRUE(Eventually([&] { return lOrders.Of(r.ClientOrderId, "FILLED") == 1; }, 5000));
    // The account event follows the order's: the event's own amount shows, whatever REST says.
    EXPECT_TRUE(Eventually([&] { return Number(Positions(), "BTCUSDT", "POSITION") == 0.03L; }, 5000))
        << Number(Positions(), "BTCUSDT", "POSITION");
  }
}

TEST_F(AccountState, NoEventLostOrAppliedTwiceOverAHundredReconnections) {
  // Fills arrive while the account's connection is closed and opened again a hundred times: every
  // order ends filled once, the balances equal the exchange's.
  SimExchange lExchange({"--price-speed", "0"});
  lExchange.PointAt();
  for (const Market& m : kMarkets) {
    SCOPED_TRACE(m.name);
    TqmtTraderClient_Binance c;
    Prepare(c);
    ASSERT_TRUE(c.Initialize(kKey, kSecret, m.futures, 0, false)) << c.LastConnectionError();
    OrderCounts lOrders;
    // Ended before lOrders goes, on every path (a failed ASSERT returns early).
    const TqmtRegistration lListening = c.ListenOrder({&lOrders, &OrderCounts::OnOrder});
    std::vector<std::string> lIds;
    for (int i = 0; i < 40; ++i) {
      TqmtTraderOrderRequest r{.Side = TqmtTraderOrderSide::stosBuy, .Type = TqmtTraderOrderType::totLimit, .Symbol = "BTCUSDT", .Size = 0.01L, .Price = 1000.0L + i, .StopPrice = 0};
      const TqmtTraderCommandResult a = c.Commands().RunOrder(r);
      ASSERT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
      lIds.push_back(r.ClientOrderId);
    }
    TqmtWebSocketClient* lAccount = m.futures ? c.PrivateWSClient() : c.UserWSClient();
    std::atomic<bool> lDone{false};
    std::thread lFills([&] {
      for (const std::string& lId : lIds) {
        lExchange.Control(m.index, "fill?clientOrderId=" + lId);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
      }
      lDone = true;
    });
    int lReconnections = 0;
    std::uint64_t lLongest = 0;
    while (lReconnections < 100) {
      lAccount->Disconnect(5000);
      ASSERT_TRUE(lAccount->Connect(5000));
      ++lReconnections;
      const std::uint64_t lSnapshots = c.AccountSnapshots();
      const auto lStart = std::chrono::steady_clock::now();
      // The next reconnection once this one's snapshot is in, so that every one counts.
      Eventually([&] { return c.AccountSnapshots() > lSnapshots; }, 5000);
      lLongest = std::max<std::uint64_t>(lLongest, static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                                  std::chrono::steady_clock::now() - lStart)
                                                                                  .count()));
    }
    lFills.join();
    ASSERT_TRUE(lDone);
    ASSERT_TRUE(Eventually([&] {
      for (const std::string& lId : lIds)
        if (Cell(Orders(), lId, "ORDER_STATUS") != "FILLED") return false;
      return true;
    })) << "every fill arrived";
    // A last snapshot settles what the last fills moved, then nothing may differ.
    const std::uint64_t lSnapshots = c.AccountSnapshots();
    c.RequestAccountSnapshot();
    ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() > lSnapshots; }));
    for (const std::string& lId : lIds) EXPECT_EQ(lOrders.Of(lId, "FILLED"), 1) << lId << " told once";
    const json lState = json::parse(lExchange.Control(m.index, "state"));
    for (const auto& [lAsset, lWallet] : lState["balances"].items())
      EXPECT_NEAR(static_cast<double>(Number(Balances(), lAsset, "WALLET_BALANCE")), lWallet.get<double>(), 1e-6) << lAsset;
    if (m.futures) {
      EXPECT_NEAR(static_cast<double>(Number(Positions(), "BTCUSDT", "POSITION")), 0.4, 1e-9);
    }
    std::printf("[ figure ] %s: %d reconnections, the account equal to the exchange's within %llu ms of each (longest)\n",
                m.name, lReconnections, static_cast<unsigned long long>(lLongest));
  }
}

TEST_F(AccountState, EachMarketKeepsItsOwnWatchList) {
  SimExchange lExchange;
  lExchange.PointAt();
  auto lHas = [](const std::string& aSymbol) { return !Cell(GetTraderDataTicker().CDSTicker(), aSymbol, "SYMBOL").empty(); };
  {
    TqmtTraderClient_Binance c;
    ASSERT_TRUE(c.Initialize("", "", false, 0, false)) << c.LastConnectionError();
    EXPECT_FALSE(c.HasAccount()) << "market data only";
    c.SubscribeTicker("BTCUSDT");
    ASSERT_TRUE(Eventually([&] { return lHas("BTCUSDT"); }));
  }
  {
    TqmtTraderClient_Binance c;
    ASSERT_TRUE(c.Initialize("", "", true, 1, false)) << c.LastConnectionError();
    EXPECT_EQ(c.MarketName(), "COIN-M futures");
    EXPECT_FALSE(lHas("BTCUSDT")) << "no spot row on coin-margined futures";
    EXPECT_FALSE(HasRowIn(GetTraderDataSymbols().CDSSymbols(), "ETHUSDT")) << "nor its symbols";
    c.SubscribeTicker("BTCUSD_PERP");
    ASSERT_TRUE(Eventually([&] { return lHas("BTCUSD_PERP"); }));
  }
  TqmtTraderClient_Binance c;
  ASSERT_TRUE(c.Initialize("", "", false, 0, false)) << c.LastConnectionError();
  EXPECT_EQ(c.MarketName(), "Spot");
  EXPECT_TRUE(lHas("BTCUSDT")) << "spot's own list is back";
  EXPECT_FALSE(lHas("BTCUSD_PERP"));
  EXPECT_TRUE(std::filesystem::exists(FDir / "qmtTicker_COINM.db"));
}

TEST_F(AccountState, SpotBalancesAreValuedAtTheLastPrice) {
  const std::string lFile = Account({{"spot", {{"balances", {{"USDT", 1000}, {"BTC", 1.5}}}, {"prices", {{"BTCUSDT", 30000}}}}}});
  SimExchange lExchange({"--account", lFile, "--price-speed", "0"});
  lExchange.PointAt();
  TqmtTraderClient_Binance c;
  ASSERT_TRUE(c.Initialize(kKey, kSecret, false, 0, false)) << c.LastConnectionError();
  EXPECT_TRUE(Eventually([&] { return Number(Balances(), "BTC", "VALUE") == 45000; }));
  EXPECT_EQ(Number(Balances(), "USDT", "VALUE"), 1000);
  lExchange.Control(0, "price?symbol=BTCUSDT&price=31000");
  EXPECT_TRUE(Eventually([&] { return Number(Balances(), "BTC", "VALUE") == 46500; })) << "the price stream moves it";
  const auto lTotals = c.AccountTotals();
  ASSERT_EQ(lTotals.size(), 1u);
  EXPECT_EQ(lTotals[0].Asset, "USDT");
  EXPECT_EQ(lTotals[0].Value, 47500);
  EXPECT_EQ(lTotals[0].Available, 1000);
}

TEST_F(AccountState, Ed25519AndRSAKeysSignInAndTradeOverRESTAndBothWebSocketAPIs) {
  // The exchange knows the account by its public key: every REST request (the sign-in's check, the
  // snapshot), the spot user-data subscription and the orders on both WebSocket APIs must carry
  // the right signature, and an HMAC secret is refused.
  for (int lType : {EVP_PKEY_ED25519, EVP_PKEY_RSA}) {
    SCOPED_TRACE(lType == EVP_PKEY_RSA ? "RSA" : "Ed25519");
    const TestKey k = FreshKey(lType);
    std::filesystem::create_directories(FDir);
    const std::string lPublic = (FDir / "public.pem").string();
    std::ofstream(lPublic) << k.Public;
    SimExchange lExchange({"--api-public-key", lPublic, "--price-speed", "0"});
    lExchange.PointAt();
    for (const Market& m : kMarkets) {
      SCOPED_TRACE(m.name);
      TqmtTraderClient_Binance c;
      ASSERT_TRUE(c.Initialize(kKey, k.Private, m.futures, 0, false)) << c.LastConnectionError();
      ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() >= 1; })) << c.AccountProblem();
      ASSERT_NE(c.OrderChannel(), nullptr) << "orders over the market's WebSocket API";
      TqmtTraderOrderRequest r{.Side = TqmtTraderOrderSide::stosBuy, .Type = TqmtTraderOrderType::totLimit, .Symbol = "BTCUSDT", .Size = 0.01L, .Price = 1000, .StopPrice = 0};
      const TqmtTraderCommandResult a = c.Commands().RunOrder(r);
      EXPECT_EQ(a.Outcome, TqmtTraderOutcome::tocAccepted) << a.Text();
      // And over REST.
      const std::string lAnswer = m.futures ? c.Client_Futures().REST_API().GetOpenOrders("BTCUSDT")
                                            : c.Client().REST_API().GetOpenOrders("BTCUSDT");
      EXPECT_NE(lAnswer.find(r.ClientOrderId), std::string::npos) << lAnswer;
      // Ed25519 logs each WebSocket-API connection on once, and its order went without a signature.
      const json lState = json::parse(lExchange.Control(m.index, "state"));
      if (lType == EVP_PKEY_ED25519) {
        EXPECT_GE(lState["logons"].get<int>(), 1);
        EXPECT_GE(lState["sessionSignedRequests"].get<int>(), 1);
      } else {
        EXPECT_EQ(lState["logons"].get<int>(), 0) << "session.logon takes Ed25519 keys only";
        EXPECT_EQ(lState["sessionSignedRequests"].get<int>(), 0);
      }
      TqmtTraderClient_Binance lHMAC;
      EXPECT_FALSE(lHMAC.Initialize(kKey, kSecret, m.futures, 0, false)) << "an HMAC signature is not this account's";
    }
  }
}

TEST_F(AccountState, NoLogLineOrMessageCarriesTheSecret) {
  // Everything the client says while signing in, trading, being refused and reconnecting, with
  // message logging on: the log's rows, the answers' texts, the reasons of a refused sign-in and
  // standard error. The secret (for a private key: any line of its PEM body) is in none of them.
  const TestKey k = FreshKey(EVP_PKEY_ED25519);
  std::filesystem::create_directories(FDir);
  const std::string lPublic = (FDir / "public.pem").string();
  std::ofstream(lPublic) << k.Public;
  struct Scheme {
    const char* name;
    std::vector<std::string> args;
    std::string secret;
  };
  const Scheme lSchemes[] = {{"HMAC", {}, kSecret}, {"Ed25519", {"--api-public-key", lPublic}, k.Private}};
  GetTraderDataLog().SetEnabled(true);
  for (const Scheme& s : lSchemes) {
    SCOPED_TRACE(s.name);
    std::vector<std::string> lSecretParts;  // what must show nowhere
    std::istringstream lLines(s.secret);
    for (std::string l; std::getline(lLines, l);)
      if (l.rfind("-----", 0) != 0 && l.size() >= 8) lSecretParts.push_back(l);
    std::vector<std::string> lArgs = s.args;
    lArgs.insert(lArgs.end(), {"--price-speed", "0"});
    SimExchange lExchange(lArgs);
    lExchange.PointAt();
    testing::internal::CaptureStderr();
    std::string lSaid;
    for (const Market& m : kMarkets) {
      TqmtTraderClient_Binance c;
      Prepare(c);
      ASSERT_TRUE(c.Initialize(kKey, s.secret, m.futures, 0, false)) << c.LastConnectionError();
      ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() >= 1; })) << c.AccountProblem();
      TqmtTraderOrderRequest r{.Side = TqmtTraderOrderSide::stosBuy, .Type = TqmtTraderOrderType::totLimit, .Symbol = "BTCUSDT", .Size = 0.01L, .Price = 1000, .StopPrice = 0};
      lSaid += c.Commands().RunOrder(r).Text() + "\n";
      TqmtTraderOrderRequest lTooBig{.Side = TqmtTraderOrderSide::stosBuy, .Type = TqmtTraderOrderType::totLimit, .Symbol = "BTCUSDT", .Size = 1e9L, .Price = 1000, .StopPrice = 0};
      lSaid += c.Commands().RunOrder(lTooBig).Text() + "\n";
      lExchange.Control(m.index, "drop-user?ms=300");
      const auto lBefore = c.AccountSnapshots();
      ASSERT_TRUE(Eventually([&] { return c.AccountSnapshots() > lBefore; })) << c.AccountProblem();
      lSaid += c.AccountProblem() + "\n";
      c.Disconnect();
      // A key the exchange refuses, with this secret.
      TqmtTraderClient_Binance lRefused;
      EXPECT_FALSE(lRefused.Initialize("not-the-key", s.secret, m.futures, 0, false));
      lSaid += lRefused.LastConnectionError() + "\n" + lRefused.SignInFailure() + "\n";
    }
    lSaid += testing::internal::GetCapturedStderr();
    auto lLog = GetTraderDataLog().CDSLog().CloneCursor();
    int lRows = 0;
    for (lLog->First(); !lLog->Eof(); lLog->Next(), ++lRows) lSaid += lLog->FieldByName("LOG_MESSAGE").AsString() + "\n";
    EXPECT_GT(lRows, 10) << "the messages were logged";
    EXPECT_EQ(lSaid.find(s.secret), std::string::npos) << lSaid;
    for (const std::string& lPart : lSecretParts) EXPECT_EQ(lSaid.find(lPart), std::string::npos) << lPart;
  }
  GetTraderDataLog().SetEnabled(false);
}
