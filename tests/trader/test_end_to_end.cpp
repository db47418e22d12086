// The trading core against the simulated exchange: sign-in on every market, orders seen through the
// user stream, balances and positions, refusals, and the watch list after a restart.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "test_support.h"
#include "qmtBinance_Addresses.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"
#include "test_certs.h"
#include "trader_fixture.h"
#include "sim_exchange.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

// Puts a symbol on the watch list (the ticker table).
void Watch(const std::string& aSymbol) {
  TqmtTraderTicker lRow;
  lRow.SetSymbol(aSymbol);
  GetTraderDataTicker().UpdateTicker(lRow);
}

const char* kKey = "qmt-sim-key";
const char* kSecret = "qmt-sim-secret";

class EndToEnd : public qmt_test::TraderDataTest {};

using qmt_test::Eventually;

bool HasRow(TqmtDataSet& aTable, const std::string& aKey, const char* aField = nullptr, const std::string& aValue = "") {
  auto c = aTable.CloneCursor();
  if (!c->FindKey(aKey)) return false;
  return !aField || c->FieldByName(aField).AsString() == aValue;
}

struct Counter : TObject {
  std::atomic<int> tickers{0};
  void OnTicker(TObject*, const TqmtTraderTicker&) { ++tickers; }
};

}  // namespace

TEST_F(EndToEnd, SignInOnEveryMarket) {
  SimExchange lExchange;
  lExchange.PointAt();
  {
    // Today spot account data comes over the WebSocket API; no listen key is asked for.
    TqmtTraderClient_Binance c;
    EXPECT_TRUE(c.Initialize(kKey, kSecret, false, 0, false)) << c.LastConnectionError();
    EXPECT_TRUE(HasRow(GetTraderDataSymbols().CDSSymbols(), "BTCUSDT")) << "spot loads the symbols";
    EXPECT_NE(c.Broker().Symbols().GetSymbol("ETHUSDT"), nullptr);
    ASSERT_NE(c.UserData(), nullptr);
    EXPECT_EQ(c.UserData()->SubscriptionState(), 1);
    EXPECT_TRUE(c.Client().ListenKey().empty());
    // A wrong secret: the subscription is refused, and the exchange's answer says why.
    TqmtTraderClient_Binance lWrong;
    EXPECT_FALSE(lWrong.Initialize(kKey, "not-the-secret", false, 0, false));
    EXPECT_NE(lWrong.LastConnectionError().find("-1022"), std::string::npos) << lWrong.LastConnectionError();
    TqmtTraderClient_Binance lMarketData;
    EXPECT_TRUE(lMarketData.Initialize("", "", false, 0, false)) << "spot market data needs no key";
    EXPECT_EQ(lMarketData.UserWSClient(), nullptr);
  }
  for (int lContracts : {0, 1}) {
    TqmtTraderClient_Binance c;
    struct States : TObject {
      std::atomic<int> Up{0}, Down{0};
      void OnConnect(TObject*) { ++Up; }
      void OnDisconnect(TObject*) { ++Down; }
    } lStates;
    c.RegisterOnConnect({&lStates, &States::OnConnect});
    c.RegisterOnDisconnect({&lStates, &States::OnDisconnect});
    EXPECT_TRUE(c.Initialize(kKey, kSecret, true, lContracts, false)) << "futures " << lContracts;
    EXPECT_TRUE(Eventually([&] { return lStates.Up == 1; })) << "one connection state for the listeners";
    EXPECT_EQ(c.GetWSClient().Port, lExchange.Port(lContracts == 1 ? 2 : 1));
    if (lContracts == 0) {
      // USDT-margined streams are routed: market streams, books and user data on their own paths,
      // combined (each message names its stream).
      EXPECT_EQ(c.GetWSClient().Options.Parameters(), "/market/stream");
      ASSERT_NE(c.PublicWSClient(), nullptr);
      ASSERT_NE(c.PrivateWSClient(), nullptr);
      EXPECT_EQ(c.PublicWSClient()->Options.Parameters(), "/public/stream");
      EXPECT_EQ(c.PrivateWSClient()->Options.Parameters().rfind("/private/stream?streams=", 0), 0u);
      // One route down is the stream down; all back is the stream back.
      c.PublicWSClient()->Disconnect(5000);
      EXPECT_TRUE(Eventually([&] { return lStates.Down == 1; }));
      EXPECT_TRUE(c.ConnectStreams(5000));
      EXPECT_TRUE(Eventually([&] { return lStates.Up == 2; }));
      EXPECT_EQ(lStates.Down.load(), 1);
    } else {
      EXPECT_EQ(c.GetWSClient().Options.Parameters().rfind("/stream?streams=", 0), 0u) << "coin-margined: unrouted, with the key";
      EXPECT_EQ(c.PublicWSClient(), nullptr);
    }
    c.UnRegisterOnConnect({&lStates, &States::OnConnect});
    c.UnRegisterOnDisconnect({&lStates, &States::OnDisconnect});
  }
}

TEST_F(EndToEnd, OrdersBalancesPositionsAndRefusals) {
  SimExchange lExchange;
  lExchange.PointAt();
  TqmtTraderClient_Binance c;
  ASSERT_TRUE(c.Initialize(kKey, kSecret, true, 0, false));
  // A buy limit above the market fills at the next step of the walk.
  const std::string lTicker = c.Client_Futures().REST_API().Get24hrTicker("BTCUSDT");
  const auto lAt = lTicker.find("\"lastPrice\":\"") + 13;
  const long double lPrice = std::stold(lTicker.substr(lAt, lTicker.find('"', lAt) - lAt));
  c.PlaceLimitOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L, lPrice * 1.05L);
  auto& lOrders = GetTraderDataOrders().CDSOpenOrders();
  ASSERT_TRUE(Eventually([&] { return lOrders.RecordCount() == 1; })) << "the order reached the orders table";
  auto lCursor = lOrders.CloneCursor();
  lCursor->First();
  const std::string lId = lCursor->FieldByName("ID").AsString();
  EXPECT_EQ(lCursor->FieldByName("SYMBOL").AsString(), "BTCUSDT");
  EXPECT_TRUE(Eventually([&] { return HasRow(lOrders, lId, "ORDER_STATUS", "FILLED"); }));
  EXPECT_TRUE(Eventually([&] { return HasRow(GetTraderDataBalance().CDSBalance(), "USDT"); })) << "ACCOUNT_UPDATE balance";
  EXPECT_TRUE(Eventually([&] { return HasRow(GetTraderDataPosition().CDSPosition(), "BTCUSDT", "POSITION", "0.01"); }))
      << "the position request after ACCOUNT_UPDATE";

  // A refused order carries the exchange's code and reason (it went over the WebSocket API).
  try {
    c.PlaceLimitOrder(TqmtTraderOrderSide::stosBuy, "NOSUCHSYMBOL", 1, 1);
    FAIL() << "accepted";
  } catch (const TqmtTradeBarException& e) {
    EXPECT_EQ(std::string(e.what()), "-1121 Invalid symbol.");
    EXPECT_FALSE(e.OutcomeUnknown());
  }
}

TEST_F(EndToEnd, TLSWithACertificateChain) {
  // The exchange's certificate is signed by an intermediate, which is signed by the root we trust.
  SimExchange lExchange({"--tls-cert", Certs().Path("server.pem"), "--tls-key", Certs().Path("server.key")});
  ASSERT_NE(lExchange.Port(3), 0);
  // The WebSocket component itself, with its default options, then verifying the chain.
  for (const bool lVerify : {false, true}) {
    SCOPED_TRACE(lVerify);
    TqmtWSClient w;
    w.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    if (lVerify) {
      w.TLSOptions.VerifyCertificate = true;
      w.TLSOptions.RootCertFile = Certs().Path("ca.pem");
    }
    std::atomic<int> lMessages{0};
    w.OnMessage = [&](TqmtWSConnection*, std::string_view) { ++lMessages; };
    w.SetURL("wss://localhost:" + std::to_string(lExchange.Port(3)) + "/ws");
    ASSERT_TRUE(w.Connect(5000));
    w.WriteData(R"({"method": "SUBSCRIBE", "params":["btcusdt@ticker"], "id": 1})");
    EXPECT_TRUE(Eventually([&] { return lMessages >= 2; })) << "the answer and a ticker";
    EXPECT_TRUE(w.Disconnect(5000));
  }
  // The trading client as it is configured (verification on), REST and stream over TLS.
  lExchange.PointAt(true);
  TqmtTraderClient_Binance c;
  c.GetWSClient().TLSOptions.RootCertFile = Certs().Path("ca.pem");
  SetTraderDataMarket("USDM");  // the watch list of the market signed in to
  Watch("BTCUSDT");
  Counter lCounter;
  c.RegisterOnTicker({&lCounter, &Counter::OnTicker});
  ASSERT_TRUE(c.Initialize(kKey, kSecret, true, 0, false)) << c.LastConnectionError();
  EXPECT_TRUE(Eventually([&] { return lCounter.tickers > 0; }));
  EXPECT_NO_THROW(c.PlaceMarketOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L));
  c.UnRegisterOnTicker({&lCounter, &Counter::OnTicker});
}

namespace {

// Counts tickers per symbol and the longest pause between two tickers of any symbol.
struct TickerWatch : TObject {
  std::mutex Lock;
  std::map<std::string, int> Count;
  std::chrono::steady_clock::time_point Last{};
  std::chrono::milliseconds LongestGap{0};
  std::atomic<int> Disconnects{0};
  void OnTicker(TObject*, const TqmtTraderTicker& t) {
    std::lock_guard g(Lock);
    ++Count[t.Symbol()];
    const auto lNow = std::chrono::steady_clock::now();
    if (Last.time_since_epoch().count() != 0)
      LongestGap = std::max(LongestGap, std::chrono::duration_cast<std::chrono::milliseconds>(lNow - Last));
    Last = lNow;
  }
  void OnDisconnect(TObject*) { ++Disconnects; }
  std::atomic<int> Books{0}, Trades{0}, UnnamedBooks{0};
  void OnBook(TObject*, const TqmtTraderBookDepth& b) {
    ++Books;
    if (b.Symbol().empty()) ++UnnamedBooks;
  }
  void OnTrade(TObject*, const TqmtTraderTrade&) { ++Trades; }
  std::size_t Symbols() {
    std::lock_guard g(Lock);
    return Count.size();
  }
};

// The first aCount symbols of the symbols table (filled from the exchange's information).
std::vector<std::string> WatchSymbols(int aCount) {
  std::vector<std::string> lSymbols;
  auto lCursor = GetTraderDataSymbols().CDSSymbols().CloneCursor();
  for (lCursor->First(); !lCursor->Eof() && static_cast<int>(lSymbols.size()) < aCount; lCursor->Next())
    lSymbols.push_back(lCursor->FieldByName("SYMBOL").AsString());
  return lSymbols;
}

}  // namespace

TEST_F(EndToEnd, ServerShutdownMovesTheStreamWithoutAGap) {
  // Every spot connection is told of a shutdown 1.5 s after it opens and closed 1 s later: the
  // client opens the next connection at once and moves the watch list to it.
  SimExchange lExchange({"--server-shutdown-ms", "1500", "--server-shutdown-grace-ms", "1000"});
  lExchange.PointAt();
  Watch("BTCUSDT");
  TqmtTraderClient_Binance c;
  TickerWatch lWatch;
  c.RegisterOnTicker({&lWatch, &TickerWatch::OnTicker});
  c.RegisterOnDisconnect({&lWatch, &TickerWatch::OnDisconnect});
  ASSERT_TRUE(c.Initialize("", "", false, 0, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));  // at least two replacements
  c.UnRegisterOnTicker({&lWatch, &TickerWatch::OnTicker});
  c.UnRegisterOnDisconnect({&lWatch, &TickerWatch::OnDisconnect});
  EXPECT_EQ(lWatch.Disconnects.load(), 0) << "the listeners saw no disconnect";
  std::lock_guard g(lWatch.Lock);
  EXPECT_GE(lWatch.Count["BTCUSDT"], 4);
  EXPECT_LT(lWatch.LongestGap.count(), 1600) << "tickers come every second, also across replacements";
  EXPECT_TRUE(c.GetWSClient().Connection() && c.GetWSClient().Connection()->Enabled());
}

TEST_F(EndToEnd, FiftySymbolsThroughSixServerPingsWithoutADrop) {
  // The exchange pings every 400 ms and drops a connection that sends more frames than it allows
  // (5 a second on spot, 10 on futures), pongs included. Over TLS with a certificate chain.
  for (const int lMarket : {0, 1, 2}) {
    SCOPED_TRACE(lMarket);
    FreeTraderData();
    std::filesystem::remove_all(FDir);  // each market its own watch list
    SetTraderDataMarket(lMarket == 0 ? "" : lMarket == 1 ? "USDM" : "COINM");
    SimExchange lExchange({"--symbols", "60", "--ping-interval-ms", "400", "--pong-timeout-ms", "1000", "--tls-cert",
                           Certs().Path("server.pem"), "--tls-key", Certs().Path("server.key")});
    lExchange.PointAt(true);  // over TLS, the chain verified
    TqmtTraderClient_Binance c;
    c.GetWSClient().TLSOptions.RootCertFile = Certs().Path("ca.pem");
    // The symbols of the market (futures read them too, for the test's watch list).
    if (lMarket == 0) {
      c.Client().SetClient(&c.GetWSClient());
    } else {
      c.Client_Futures().FuturesContracts = lMarket == 2 ? TqmtWSBinanceFuturesContracts::bfcCOIN : TqmtWSBinanceFuturesContracts::bfcUSDT;
      c.Client_Futures().SetClient(&c.GetWSClient());
    }
    c.GetSymbols();
    const auto lSymbols = WatchSymbols(50);
    ASSERT_EQ(lSymbols.size(), 50u);
    for (const auto& lSymbol : lSymbols) {
      Watch(lSymbol);
    }
    TickerWatch lWatch;
    c.RegisterOnTicker({&lWatch, &TickerWatch::OnTicker});
    c.RegisterOnDisconnect({&lWatch, &TickerWatch::OnDisconnect});
    c.RegisterOnBookDepth({&lWatch, &TickerWatch::OnBook});
    c.RegisterOnTrade({&lWatch, &TickerWatch::OnTrade});
    ASSERT_TRUE(c.Initialize("", "", lMarket != 0, lMarket == 2 ? 1 : 0, false));
    EXPECT_TRUE(Eventually([&] { return lWatch.Symbols() == 50; }, 15000)) << lWatch.Symbols() << " of 50 symbols ticking";
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));  // six pings and more
    c.UnRegisterOnTicker({&lWatch, &TickerWatch::OnTicker});
    c.UnRegisterOnDisconnect({&lWatch, &TickerWatch::OnDisconnect});
    c.UnRegisterOnBookDepth({&lWatch, &TickerWatch::OnBook});
    c.UnRegisterOnTrade({&lWatch, &TickerWatch::OnTrade});
    EXPECT_EQ(lWatch.Disconnects.load(), 0) << "no drop for rate: " << c.LastConnectionError();
    EXPECT_GT(lWatch.Books.load(), 0) << "books (on /public for USDT-margined)";
    EXPECT_EQ(lWatch.UnnamedBooks.load(), 0) << "every book names its symbol (spot: the combined stream's name)";
    EXPECT_GT(lWatch.Trades.load(), 0) << "trades (on /market for USDT-margined)";
  }
}

TEST_F(EndToEnd, SpotOrdersAndBalancesThroughTheWebSocketAPI) {
  // Over TLS with the certificate chain, as the exchange is reached.
  SimExchange lExchange({"--tls-cert", Certs().Path("server.pem"), "--tls-key", Certs().Path("server.key")});
  lExchange.PointAt(true);
  TqmtTraderClient_Binance c;
  c.GetWSClient().TLSOptions.RootCertFile = Certs().Path("ca.pem");
  c.GetWSClient().WatchDog.TimeUnitMs = 20;  // a "10-second" watchdog of 200 ms
  ASSERT_TRUE(c.Initialize(kKey, kSecret, false, 0, false)) << c.LastConnectionError();
  auto lPrice = [&] {
    const std::string lTicker = c.Client().REST_API().Get24hrTicker("BTCUSDT");
    const auto lAt = lTicker.find("\"lastPrice\":\"") + 13;
    return std::stold(lTicker.substr(lAt, lTicker.find('"', lAt) - lAt));
  };
  auto lOrderIds = [] {
    std::vector<std::string> lIds;
    auto lCursor = GetTraderDataOrders().GetTable().CloneCursor();
    lCursor->SetFiltered(false);
    for (lCursor->First(); !lCursor->Eof(); lCursor->Next()) lIds.push_back(lCursor->FieldByName("ID").AsString());
    return lIds;
  };
  auto lPlaceAndFill = [&](const char* aWhat) {
    SCOPED_TRACE(aWhat);
    const std::size_t lBefore = lOrderIds().size();
    // A buy limit above the market: NEW, then FILLED at the next step of the walk.
    c.PlaceLimitOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L, lPrice() * 1.05L);
    std::function<bool()> lArrived = [&] { return lOrderIds().size() == lBefore + 1; };
    ASSERT_TRUE(Eventually(lArrived)) << "executionReport reached the orders table";
    std::string lId;
    for (const auto& i : lOrderIds())
      if (i.rfind("qmt", 0) == 0 && !HasRow(GetTraderDataOrders().GetTable(), i, "ORDER_STATUS", "FILLED")) lId = i;
    if (lId.empty()) return;  // filled already
    std::function<bool()> lFilled = [&] { return HasRow(GetTraderDataOrders().GetTable(), lId, "ORDER_STATUS", "FILLED"); };
    EXPECT_TRUE(Eventually(lFilled)) << lId;
  };
  lPlaceAndFill("first order");
  EXPECT_TRUE(Eventually([&] { return HasRow(GetTraderDataBalance().CDSBalance(), "BTC"); })) << "outboundAccountPosition";
  // The WebSocket-API connection drops: the watchdog reconnects and subscribes again.
  c.UserWSClient()->Connection()->DoDropConnection();
  ASSERT_TRUE(Eventually([&] { return c.UserWSClient()->Connection() && c.UserData()->SubscriptionState() == 1; }, 10000));
  lPlaceAndFill("after the reconnection");
}

TEST_F(EndToEnd, ConditionalFuturesOrdersGoToTheAlgoOrderAPI) {
  // Today's exchange refuses stop orders on /fapi/v1/order (-4120): they must reach the algo endpoint.
  SimExchange lExchange({"--tls-cert", Certs().Path("server.pem"), "--tls-key", Certs().Path("server.key")});
  lExchange.PointAt(true);
  TqmtTraderClient_Binance c;
  c.GetWSClient().TLSOptions.RootCertFile = Certs().Path("ca.pem");
  ASSERT_TRUE(c.Initialize(kKey, kSecret, true, 0, false)) << c.LastConnectionError();
  const std::string lTicker = c.Client_Futures().REST_API().Get24hrTicker("BTCUSDT");
  const auto lAt = lTicker.find("\"lastPrice\":\"") + 13;
  const long double lPrice = std::stold(lTicker.substr(lAt, lTicker.find('"', lAt) - lAt));
  // Far from the market: they rest.
  EXPECT_NO_THROW(c.PlaceStopOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L, lPrice * 1.5L));
  EXPECT_NO_THROW(c.PlaceStopOrderLimit(TqmtTraderOrderSide::stosSell, "BTCUSDT", 0.01L, lPrice * 0.5L, lPrice * 0.49L));
  EXPECT_NO_THROW(c.PlaceLimitOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L, lPrice * 0.5L));
  auto lStatuses = [] {
    std::map<std::string, std::string> lByType;
    auto lCursor = GetTraderDataOrders().GetTable().CloneCursor();
    lCursor->SetFiltered(false);
    for (lCursor->First(); !lCursor->Eof(); lCursor->Next())
      lByType[lCursor->FieldByName("ORDER_TYPE").AsString()] = lCursor->FieldByName("ORDER_STATUS").AsString();
    return lByType;
  };
  std::function<bool()> lResting = [&] {
    auto s = lStatuses();
    return s["STOP_MARKET"] == "NEW" && s["STOP"] == "NEW" && s["LIMIT"] == "NEW";
  };
  ASSERT_TRUE(Eventually(lResting)) << "ALGO_UPDATE and ORDER_TRADE_UPDATE in the orders table";
  // Cancelling the symbol's open orders cancels both kinds.
  c.CancelAllOpenOrders("BTCUSDT");
  std::function<bool()> lCancelled = [&] {
    auto s = lStatuses();
    return s["STOP_MARKET"] == "CANCELED" && s["STOP"] == "CANCELED" && s["LIMIT"] == "CANCELED";
  };
  EXPECT_TRUE(Eventually(lCancelled));
  EXPECT_EQ(c.Client_Futures().REST_API().GetOpenAlgoOrders("BTCUSDT"), "[]");
}

TEST_F(EndToEnd, SignedRequestsAreAcceptedWhenTheClocksDisagree) {
  // The exchange's clock 8 s ahead of ours (ours is behind), then 2.5 s behind (ours is ahead):
  // timestamps of the local clock would be refused (-1021) either way.
  for (const char* lOffset : {"8000", "-2500"}) {
    SCOPED_TRACE(lOffset);
    ResetBinanceHostStates();
    SimExchange lExchange({"--clock-offset-ms", lOffset});
    lExchange.PointAt();
    TqmtTraderClient_Binance c;
    ASSERT_TRUE(c.Initialize(kKey, kSecret, true, 0, false));
    EXPECT_NO_THROW(c.PlaceMarketOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L));
    EXPECT_NE(c.Client_Futures().REST_API().GetAccountBalance().find("USDT"), std::string::npos);
  }
}

TEST_F(EndToEnd, AnOrderOfUnknownOutcomeIsLookedUpByItsClientOrderId) {
  // The exchange places the order but answers 503: no failure is reported, since the order is
  // found by its client order id; the log says what happened.
  SimExchange lExchange({"--orders-503", "1"});
  lExchange.PointAt();
  TqmtTraderClient_Binance c;
  ASSERT_TRUE(c.Initialize(kKey, kSecret, true, 0, false));
  EXPECT_NO_THROW(c.PlaceMarketOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.01L));
  auto lLog = GetTraderDataLog().GetTable().CloneCursor();
  std::string lNotice;
  for (lLog->First(); !lLog->Eof(); lLog->Next()) lNotice += lLog->FieldByName("LOG_MESSAGE").AsString();
  EXPECT_NE(lNotice.find("Order outcome unknown: BUY MARKET 0.01 BTCUSDT"), std::string::npos) << lNotice;
  EXPECT_NE(lNotice.find("status 503: -1007"), std::string::npos) << lNotice;
  EXPECT_NE(lNotice.find("Order found on the exchange: BUY MARKET 0.01 BTCUSDT"), std::string::npos) << lNotice;
  EXPECT_LT(lNotice.find("Order outcome unknown"), lNotice.find("Order found on the exchange")) << "told in this order";
  EXPECT_TRUE(Eventually([&] { return HasRow(GetTraderDataPosition().CDSPosition(), "BTCUSDT", "POSITION", "0.01"); }))
      << "one order, not two";
}

TEST_F(EndToEnd, WatchListAfterTheExchangeRestarts) {
  const int lSpot = FreePort(), lUsdm = FreePort(), lCoinm = FreePort();
  const std::vector<std::string> lPorts = {"--spot-port", std::to_string(lSpot), "--usdm-port", std::to_string(lUsdm),
                                           "--coinm-port", std::to_string(lCoinm)};
  auto lExchange = std::make_unique<SimExchange>(lPorts);
  lExchange->PointAt();
  Watch("ETHUSDT");  // the stored watch list
  TqmtTraderClient_Binance c;
  Counter lCounter;
  c.RegisterOnTicker({&lCounter, &Counter::OnTicker});
  c.GetWSClient().WatchDog.TimeUnitMs = 30;  // a "10-second" watchdog of 300 ms
  ASSERT_TRUE(c.Initialize("", "", false, 0, false));
  ASSERT_TRUE(Eventually([&] { return lCounter.tickers > 0; })) << "the watch list was subscribed";
  lExchange.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int lBefore = lCounter.tickers;
  lExchange = std::make_unique<SimExchange>(lPorts);
  EXPECT_TRUE(Eventually([&] { return lCounter.tickers > lBefore; }, 15000)) << "subscribed again after the restart";
  c.UnRegisterOnTicker({&lCounter, &Counter::OnTicker});
}

TEST_F(EndToEnd, AFrozenExchangeIsNoticedAndTheStreamComesBack) {
  // SIGSTOP: the socket stays open but nothing answers, not even pings. The heart-beat time-out
  // drops the connection (its "seconds" shortened to 100 ms: a ping every 0.5 s, 0.8 s without a
  // pong); once the exchange runs again the watchdog reconnects and the watch list flows again.
  SimExchange lExchange;
  lExchange.PointAt();
  Watch("BTCUSDT");
  TqmtTraderClient_Binance c;
  Counter lCounter;
  c.RegisterOnTicker({&lCounter, &Counter::OnTicker});
  std::atomic<int> lDisconnects{0};
  struct Drops : TObject {
    std::atomic<int>* count;
    void OnDisconnect(TObject*) { ++*count; }
  } lDrops;
  lDrops.count = &lDisconnects;
  c.RegisterOnDisconnect({&lDrops, &Drops::OnDisconnect});
  c.GetWSClient().HeartBeat.TimeUnitMs = 100;
  c.GetWSClient().WatchDog.TimeUnitMs = 100;
  ASSERT_TRUE(c.Initialize("", "", false, 0, false));
  ASSERT_TRUE(Eventually([&] { return lCounter.tickers > 0; }));
  lExchange.Signal(SIGSTOP);
  EXPECT_TRUE(Eventually([&] { return lDisconnects > 0; }, 10000)) << "the silent connection is dropped";
  EXPECT_NE(c.LastConnectionError().find("HeartBeat Timeout exceeded."), std::string::npos) << c.LastConnectionError();
  lExchange.Signal(SIGCONT);
  const int lBefore = lCounter.tickers;
  EXPECT_TRUE(Eventually([&] { return lCounter.tickers > lBefore; }, 15000)) << "a new connection, subscribed again";
  c.UnRegisterOnTicker({&lCounter, &Counter::OnTicker});
  c.UnRegisterOnDisconnect({&lDrops, &Drops::OnDisconnect});
}

TEST_F(EndToEnd, MalformedNumberDropsAndRestoresTheConnection) {
  std::atomic<int> lConnections{0};
  std::mutex lLock;
  std::vector<std::string> lSubscribed;
  ScriptedServer lServer([&](int s, int aIndex) {
    ++lConnections;
    WsServe(s, true, [&, s, aIndex](int aOp, const std::string& aPayload) {
      if (aOp != 0x1) return true;
      {
        std::lock_guard g(lLock);
        lSubscribed.push_back(aPayload);
      }
      if (aIndex == 0 && aPayload.find("@ticker") != std::string::npos)
        SendAll(s, WsServerFrame(0x81, R"({"e":"24hrTicker","E":1,"s":"BTCUSDT","c":"27,123.5"})"));
      return true;
    }, 3000);
  });
  SetBinanceAddress(TqmtBinanceAddress::SpotStream, "ws://127.0.0.1:" + std::to_string(lServer.Port()));
  Watch("BTCUSDT");
  TqmtTraderClient_Binance c;
  c.GetWSClient().WatchDog.TimeUnitMs = 30;
  c.Client().Binance().UserStream = false;
  c.Client().SetClient(&c.GetWSClient());
  ASSERT_TRUE(c.GetWSClient().Connect(5000));
  ASSERT_TRUE(Eventually([&] { return lConnections >= 2; })) << "dropped and connected again";
  EXPECT_TRUE(Eventually([&] {
    std::lock_guard g(lLock);
    return std::count_if(lSubscribed.begin(), lSubscribed.end(),
                         [](const std::string& s) { return s.find("btcusdt@ticker") != std::string::npos; }) >= 2;
  })) << "the watch list is subscribed on the new connection";
}
