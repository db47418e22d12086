#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <clocale>
#include <cstring>
#include <mutex>
#include <cmath>
#include <filesystem>

#include "http_peer.h"
#include "test_support.h"
#include "qmtBinance_Addresses.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderHelpers.h"
#include "ws_peer.h"
#include "trader_fixture.h"

using qmt_test::Eventually;

using namespace qmt_test;

namespace {

// Records what the mappings hand to the fan-out, without the tables.
class Recorder : public TqmtTraderClient_Binance {
public:
  std::vector<TqmtTraderTicker> tickers;
  std::vector<std::unique_ptr<TqmtTraderBookDepth>> books;
  std::vector<TqmtTraderTrade> trades;
  std::vector<TqmtTraderOrder> orders;
  std::vector<TqmtTraderBalance> balances;
  std::vector<TqmtTraderPosition> positions;
  std::vector<std::string> symbols;
  std::vector<long long> tickSizes;

  void DoTicker(const TqmtTraderTicker& a) override { tickers.emplace_back().CopyFrom(a), tickers.back().SetRaw(a.Raw()); }
  void DoBookDepth(const TqmtTraderBookDepth& a) override {
    books.push_back(std::make_unique<TqmtTraderBookDepth>());
    books.back()->CopyFrom(a);
  }
  void DoTrade(const TqmtTraderTrade& a) override { trades.emplace_back().CopyFrom(a); }
  void DoOrder(const TqmtTraderOrder& a) override {
    orders.emplace_back().CopyFrom(a);
    orders.back().SetId(a.Id());
    orders.back().SetRaw(a.Raw());
  }
  void DoBalance(const TqmtTraderBalance& a) override {
    balances.emplace_back().CopyFrom(a);
    balances.back().SetRaw(a.Raw());
  }
  // Positions may come from the account worker: kept under a lock, read as a copy.
  void DoPosition(const TqmtTraderPosition& a) override {
    std::lock_guard g(positionsLock);
    positions.emplace_back().CopyFrom(a);
  }
  std::vector<TqmtTraderPosition> Positions() {
    std::lock_guard g(positionsLock);
    return positions;
  }
  std::mutex positionsLock;
  void DoSymbol(const TqmtTraderSymbol& a) override {
    symbols.push_back(a.Symbol());
    tickSizes.push_back(a.TickSize().Raw);
  }
};

std::string Levels(int aCount, int aStart) {
  std::string lText = "[";
  for (int i = 0; i < aCount; ++i)
    lText += (i ? "," : "") + std::string("[\"") + std::to_string(aStart + i) + ".5\",\"" + std::to_string(i + 1) + "\"]";
  return lText + "]";
}

class TraderBinance : public qmt_test::TraderDataTest {};

}  // namespace

TEST(TraderHelpers, NumbersAndTimes) {
  const std::string lOld = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  const long double lCent = TraderStrToFloat("0.01");
  const long double lSmall = TraderStrToFloat("1e-8");
  const long double lBig = TraderStrToFloat("27123.12345678");
  std::setlocale(LC_ALL, lOld.c_str());
  EXPECT_EQ(lCent, 0.01L);
  EXPECT_EQ(lSmall, 1e-8L);
  EXPECT_EQ(lBig, 27123.12345678L);
  EXPECT_EQ(TraderStrToFloat("-2.5"), -2.5L);
  EXPECT_EQ(TraderStrToFloat("+3"), 3.0L);
  // The fast path for plain decimals gives the same value as the general conversion.
  for (const char* lText : {"0.00000100", "27123.12345678", "-0.001", "0", "1234567890.123456789", "0.1", "99999999.99999999",
                            "12345678901234567890.5", "1.5e3", ".5"}) {
    long double lExpected = 0;
    std::from_chars(lText, lText + std::strlen(lText), lExpected);
    EXPECT_EQ(TraderStrToFloat(lText), lExpected) << lText;
  }
  for (const char* lBad : {"", "abc", "1,5", "1.5x", " 1"}) EXPECT_THROW(TraderStrToFloat(lBad), EConvertError) << lBad;
  EXPECT_THROW(TraderMillisecondsToDateTime("12.5"), EConvertError);
  const double lWhole = TraderUnixToDateTime(1672515782);
  EXPECT_NEAR(TraderMillisecondsToDateTime("1672515782123"), lWhole + 0.123 / 86400.0, 1e-9);
  EXPECT_NEAR(TraderUnixToDateTime(86400) - TraderUnixToDateTime(0), 1.0, 1e-9);
}

TEST_F(TraderBinance, MessagesMapToRecords) {
  Recorder c;
  c.DoClientMessage(R"({"e":"kline","E":1,"s":"BTCUSDT","k":{}})");
  c.DoClientMessage(R"({"result":null,"id":1})");
  EXPECT_TRUE(c.tickers.empty() && c.books.empty() && c.trades.empty());

  c.DoClientMessage(R"({"e":"24hrTicker","E":1672515782123,"s":"BNBBTC","o":"0.0010","h":"0.0025","l":"0.0010",)"
                    R"("c":"0.0025","Q":"10","b":"0.0024","a":"0.0026"})");
  ASSERT_EQ(c.tickers.size(), 1u);
  const auto& t = c.tickers[0];
  EXPECT_EQ(t.Symbol(), "BNBBTC");
  EXPECT_EQ(t.Price(), 0.0025L);
  EXPECT_EQ(t.Size(), 10);
  EXPECT_EQ(t.Open(), 0.001L);
  EXPECT_EQ(t.Bid(), 0.0024L);
  EXPECT_EQ(t.Ask(), 0.0026L);
  EXPECT_NEAR(t.Date(), TraderUnixToDateTime(1672515782) + 0.123 / 86400.0, 1e-9);
  EXPECT_EQ(t.Raw().substr(0, 22), R"({"e":"24hrTicker","E":)");

  c.DoClientMessage(R"({"e":"depthUpdate","E":1,"s":"BTCUSDT","b":)" + Levels(25, 100) + R"(,"a":)" + Levels(3, 200) + "}");
  ASSERT_EQ(c.books.size(), 1u);
  const auto& b = *c.books[0];
  EXPECT_EQ(b.Symbol(), "BTCUSDT");
  EXPECT_EQ(b.Bids().Value(1).Price(), 100.5L);
  EXPECT_EQ(b.Bids().Value(20).Price(), 119.5L) << "entries past the twentieth are ignored";
  EXPECT_EQ(b.Asks().Value(3).Size(), 3);
  EXPECT_EQ(b.Asks().Value(4).Price(), 0);
  c.DoClientMessage(R"({"lastUpdateId":160,"bids":[["1.5","2"],["9"]],"asks":[]})");
  ASSERT_EQ(c.books.size(), 2u);
  EXPECT_EQ(c.books[1]->Symbol(), "") << "a snapshot names no symbol";
  EXPECT_EQ(c.books[1]->Bids().Value(1).Price(), 1.5L);
  EXPECT_EQ(c.books[1]->Bids().Value(2).Price(), 0) << "an entry without two items is skipped";
  // On a combined stream the wrapper names the stream, and so the snapshot's symbol; other events
  // read as on a raw stream.
  c.DoClientMessage(R"({"stream":"ethusdt@depth20@1000ms","data":{"lastUpdateId":161,"bids":[["7.5","1"]],"asks":[["8","2"]]}})");
  ASSERT_EQ(c.books.size(), 3u);
  EXPECT_EQ(c.books[2]->Symbol(), "ETHUSDT");
  EXPECT_EQ(c.books[2]->Asks().Value(1).Size(), 2);
  c.DoClientMessage(R"({"stream":"bnbbtc@ticker","data":{"e":"24hrTicker","E":1672515782123,"s":"BNBBTC","c":"0.0030"}})");
  ASSERT_EQ(c.tickers.size(), 2u);
  EXPECT_EQ(c.tickers[1].Price(), 0.003L);
  EXPECT_EQ(c.tickers[1].Raw().substr(0, 18), R"({"e":"24hrTicker",)") << "the event, not its wrapper";
  EXPECT_EQ(TqmtTraderClient_Binance::StreamSymbol("btcusdt@aggTrade"), "BTCUSDT");
  EXPECT_EQ(TqmtTraderClient_Binance::StreamSymbol("pqrsListenKey"), "");

  c.DoClientMessage(R"({"e":"aggTrade","E":1,"s":"BNBBTC","p":"0.001","q":"100","T":1672515782136})");
  c.DoClientMessage(R"({"e":"aggTrade","E":1,"s":"BNBBTC","p":"0.001","q":"0","T":1672515782136})");
  ASSERT_EQ(c.trades.size(), 1u) << "a trade without quantity is dropped";
  EXPECT_EQ(c.trades[0].Price(), 0.001L);

  c.DoClientMessage(R"({"e":"ORDER_TRADE_UPDATE","E":1568879465651,"T":1568879465650,"o":{"s":"BTCUSDT","c":"TEST",)"
                    R"("S":"SELL","o":"TRAILING_STOP_MARKET","f":"GTC","q":"0.001","p":"0","X":"NEW","i":8886774}})");
  ASSERT_EQ(c.orders.size(), 1u);
  const auto& o = c.orders[0];
  EXPECT_EQ(o.Id(), "TEST");
  EXPECT_EQ(o.OrderSide(), "SELL");
  EXPECT_EQ(o.OrderType(), "TRAILING_STOP_MARKET");
  EXPECT_EQ(o.OrderStatus(), "NEW");
  EXPECT_EQ(o.Size(), 0.001L);
  EXPECT_NEAR(o.DateTime(), NowLocal(), 1.0 / 86400 * 5) << "the local time of arrival";

  c.DoClientMessage(R"({"e":"ACCOUNT_UPDATE","E":1,"T":1,"a":{"m":"ORDER","B":[{"a":"USDT","wb":"122624.1","cwb":"100.1","bc":"50.5"},)"
                    R"({"a":"BUSD","wb":"1.0","cwb":"0"}],"P":[]}})");
  ASSERT_EQ(c.balances.size(), 2u);
  EXPECT_EQ(c.balances[0].Symbol(), "USDT");
  EXPECT_EQ(c.balances[0].WalletBalance(), 122624.1L);
  EXPECT_EQ(c.balances[1].Symbol(), "BUSD");
  EXPECT_EQ(c.balances[1].BalanceChange(), 50.5L) << "the reused record keeps the first change";
  EXPECT_EQ(c.balances[1].Raw().front(), '[');
  EXPECT_TRUE(c.Positions().empty()) << "spot or not, no futures wrapper: no REST request";

  // A number that is no number abandons the message with a conversion error.
  EXPECT_THROW(c.DoClientMessage(R"({"e":"24hrTicker","s":"X","c":"1,5"})"), EConvertError);
  EXPECT_EQ(c.tickers.size(), 2u);
}

TEST_F(TraderBinance, ReadSymbolsTakesThePriceFilter) {
  Recorder c;
  c.ReadSymbols(R"({"symbols":[)"
                R"({"symbol":"ETHBTC","filters":[{"filterType":"LOT_SIZE","stepSize":"0.001"},{"filterType":"PRICE_FILTER","tickSize":"0.01"}]},)"
                R"({"symbol":"SHIBUSDT","filters":[{"filterType":"PRICE_FILTER","tickSize":"0.00000100"}]},)"
                R"({"symbol":"NOFILTER","filters":[]},{"nosymbol":1},)"
                R"({"symbol":"TIE","filters":[{"filterType":"PRICE_FILTER","tickSize":"0.00025"}]}]})");
  EXPECT_EQ(c.symbols, (std::vector<std::string>{"ETHBTC", "SHIBUSDT", "NOFILTER", "TIE"}));
  EXPECT_EQ(c.tickSizes, (std::vector<long long>{100, 0, 0, 2}));
}

TEST_F(TraderBinance, OrdersPositionsAndRefusals) {
  HTTPServer lServer;
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
  SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTRest, lServer.Address());
  {
    Recorder c;
    c.CancelAllOpenOrders();
    c.PlaceMarketOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 1);  // no wrapper yet: nothing
    EXPECT_TRUE(lServer.Take().empty());
    c.Client().Binance().ApiKey = "k";
    c.Client().Binance().ApiSecret = "s";
    c.PlaceMarketOrder(TqmtTraderOrderSide::stosSell, "BtcUsdt", 0.5L);
    c.PlaceStopOrder(TqmtTraderOrderSide::stosSell, "BTCUSDT", 1, 25000);
    c.PlaceStopOrderLimit(TqmtTraderOrderSide::stosSell, "BTCUSDT", 1, 25000, 24900);
    c.CancelAllOpenOrders("BTCUSDT");
    c.CancelAllOpenOrders();
    auto r = WithoutTime(lServer.Take());
    ASSERT_EQ(r.size(), 4u);
    EXPECT_NE(r[0].target.find("symbol=BtcUsdt&side=SELL&type=MARKET"), std::string::npos) << "REST keeps the case";
    EXPECT_NE(r[1].target.find("type=STOP_LOSS&"), std::string::npos);
    EXPECT_EQ(r[1].target.find("&price="), std::string::npos) << "no limit price";
    EXPECT_NE(r[2].target.find("type=STOP_LOSS_LIMIT&"), std::string::npos);
    EXPECT_NE(r[2].target.find("&price=24900.00000000"), std::string::npos);
    EXPECT_EQ(r[3].method, "DELETE");

    const std::string lRefusal = R"({"code":-2010,"msg":"Account has insufficient balance for requested action."})";
    lServer.Answer("400 Bad Request", lRefusal);
    try {
      c.PlaceLimitOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 100, 27000);
      FAIL() << "no refusal";
    } catch (const TqmtTradeBarException& e) {
      EXPECT_EQ(std::string(e.what()), "HTTP/1.1 400 Bad Request. " + lRefusal);
    }
    lServer.Take();
  }
  {
    // Futures: the event's amount at once, then every position of it asked for, in order, on the
    // account worker (never on the reading thread).
    Recorder c;
    lServer.Respond([](const Recorded& r) -> std::pair<std::string, std::string> {
      const auto lAt = r.target.find("symbol=");
      const std::string lSymbol = r.target.substr(lAt + 7, r.target.find('&', lAt) - lAt - 7);
      return {"200 OK", R"([{"symbol":")" + lSymbol + R"(","positionAmt":"-0.5","entryPrice":"30000.1","markPrice":"30100",)"
                            R"("unRealizedProfit":"-50.25"}])"};
    });
    c.Client_Futures().Binance().ApiKey = "k";
    c.DoClientMessage(R"({"e":"ACCOUNT_UPDATE","a":{"B":[],"P":[{"s":"BTCUSDT","pa":"1"},{"pa":"2"},{"s":"ETHUSDT"}]}})");
    ASSERT_GE(c.Positions().size(), 1u) << "the event's own amount, before any request";
    EXPECT_EQ(c.Positions()[0].Position(), 1.0L);
    std::vector<Recorded> r;
    ASSERT_TRUE(Eventually([&] {
      for (auto& e : WithoutTime(lServer.Take())) r.push_back(e);
      return r.size() >= 2 && c.Positions().size() >= 3;
    }));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].target.rfind("/fapi/v2/positionRisk?timestamp=", 0), 0u);
    EXPECT_NE(r[0].target.find("&symbol=BTCUSDT&"), std::string::npos);
    EXPECT_NE(r[1].target.find("&symbol=ETHUSDT&"), std::string::npos);
    ASSERT_EQ(c.Positions().size(), 3u);
    EXPECT_EQ(c.Positions()[1].Symbol(), "BTCUSDT");
    EXPECT_EQ(c.Positions()[1].Position(), -0.5L);
    EXPECT_EQ(c.Positions()[1].EntryPrice(), 30000.1L);
    // The profit at the answer's mark price: -0.5 * (30100 - 30000.1).
    EXPECT_NEAR(static_cast<double>(c.Positions()[2].UnRealizedProfit()), -49.95, 1e-9);
    lServer.Respond([](const Recorded&) -> std::pair<std::string, std::string> { return {"200 OK", "[{},{}]"}; });
    c.UpdateSymbolPosition("BTCUSDT");
    EXPECT_EQ(c.Positions().size(), 3u) << "two elements: nothing changes";
  }
}

TEST_F(TraderBinance, InitializeChoosesTheMarket) {
  HTTPServer lServer;
  lServer.Answer("500 Internal Server Error", "{}");
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
  const std::string lClosed = "ws://127.0.0.1:" + std::to_string(FreePort());
  SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTStream, lClosed);
  SetBinanceAddress(TqmtBinanceAddress::FuturesCOINStream, lClosed);
  for (int lContracts : {1, 0, 2, -1}) {
    TqmtTraderClient_Binance c;
    c.GetWSClient().WatchDog.Enabled = false;
    EXPECT_FALSE(c.Initialize("", "", true, lContracts, false)) << "nothing listens";
    EXPECT_FALSE(c.HasClient());
    EXPECT_EQ(c.Client_Futures().FuturesContracts,
              lContracts == 1 ? TqmtWSBinanceFuturesContracts::bfcCOIN : TqmtWSBinanceFuturesContracts::bfcUSDT);
  }
  EXPECT_TRUE(lServer.Take().empty()) << "futures load no symbols at sign-in";
  TqmtTraderClient_Binance c;
  c.GetWSClient().WatchDog.Enabled = false;
  EXPECT_THROW(c.Initialize("k", "s", false, 0, false), TqmtTradeBarException) << "the failed load raises";
  const auto r = lServer.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].target, "/api/v3/exchangeInfo");
  EXPECT_FALSE(c.GetWSClient().Active()) << "no connection was attempted";
}

TEST_F(TraderBinance, SubscriptionsUseLowerCaseStreamNames) {
  std::mutex lLock;
  std::vector<std::string> lTexts;
  ScriptedServer lServer([&](int s, int) {
    WsServe(s, true, [&](int aOp, const std::string& aPayload) {
      if (aOp == 0x1) {
        std::lock_guard g(lLock);
        lTexts.push_back(aPayload);
      }
      return true;
    }, 4000);
  });
  SetBinanceAddress(TqmtBinanceAddress::SpotStream, "ws://127.0.0.1:" + std::to_string(lServer.Port()));
  TqmtTraderClient_Binance c;
  c.Client().Binance().UserStream = false;
  c.Client().ControlMessagesPerSecond = 0;
  c.Client().SetClient(&c.GetWSClient());
  ASSERT_TRUE(c.GetWSClient().Connect(5000));
  c.SubscribeTicker("BTCUSDT");
  c.SubscribeBookDepth("BTCUSDT");
  c.SubscribeTrades("BTCUSDT");
  c.UnSubscribeBookDepth("BTCUSDT");
  for (int i = 0; i < 300; ++i) {
    {
      std::lock_guard g(lLock);
      if (lTexts.size() >= 4) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard g(lLock);
  ASSERT_EQ(lTexts.size(), 4u);
  EXPECT_EQ(lTexts[0], R"({"method": "SUBSCRIBE", "params":["btcusdt@ticker"], "id": 1})");
  EXPECT_EQ(lTexts[1], R"({"method": "SUBSCRIBE", "params":["btcusdt@depth20@1000ms"], "id": 2})");
  EXPECT_EQ(lTexts[2], R"({"method": "SUBSCRIBE", "params":["btcusdt@aggTrade"], "id": 3})");
  EXPECT_EQ(lTexts[3], R"({"method": "UNSUBSCRIBE", "params":["btcusdt@depth20"], "id": 4})");
}

TEST_F(TraderBinance, SpotAccountEventsFromTheWebSocketAPI) {
  // The documented payloads, wrapped as the WebSocket API sends them.
  Recorder c;
  c.DoClientMessage(ReadFile(SharedDir() / "reference/payloads/spot_executionReport.json"));
  c.DoClientMessage(ReadFile(SharedDir() / "reference/payloads/spot_outboundAccountPosition.json"));
  c.DoClientMessage(ReadFile(SharedDir() / "reference/payloads/spot_balanceUpdate.json"));
  // A cancel names the order in "C"; a message without the wrapper (a listen-key stream) maps alike.
  c.DoClientMessage(R"({"e":"executionReport","s":"ETHBTC","c":"cancel-req","C":"mUvoqJxFIILMdfAW5iGSOW","S":"BUY",)"
                    R"("o":"LIMIT","q":"1.00000000","p":"0.10264410","X":"CANCELED"})");
  c.DoClientMessage(R"({"subscriptionId":0,"event":{"e":"outboundAccountPosition","B":[{"a":"ETH","f":"9990.5","l":"5"}]}})");
  ASSERT_EQ(c.orders.size(), 2u);
  EXPECT_EQ(c.orders[0].Id(), "mUvoqJxFIILMdfAW5iGSOW");
  EXPECT_EQ(c.orders[0].Symbol(), "ETHBTC");
  EXPECT_EQ(c.orders[0].OrderSide(), "BUY");
  EXPECT_EQ(c.orders[0].OrderType(), "LIMIT");
  EXPECT_EQ(c.orders[0].Price(), 0.10264410L);
  EXPECT_EQ(c.orders[0].Size(), 1.0L);
  EXPECT_EQ(c.orders[0].OrderStatus(), "NEW");
  EXPECT_EQ(c.orders[1].Id(), "mUvoqJxFIILMdfAW5iGSOW");
  EXPECT_EQ(c.orders[1].OrderStatus(), "CANCELED");
  ASSERT_EQ(c.balances.size(), 3u);
  EXPECT_EQ(c.balances[0].Symbol(), "ETH");
  EXPECT_EQ(c.balances[0].WalletBalance(), 10000.0L);
  EXPECT_EQ(c.balances[0].CrossWalletBalance(), 10000.0L);
  EXPECT_EQ(c.balances[1].Symbol(), "BTC");
  EXPECT_EQ(c.balances[1].BalanceChange(), 100.0L);
  EXPECT_EQ(c.balances[2].WalletBalance(), 9995.5L) << "free + locked";
  EXPECT_EQ(c.balances[2].CrossWalletBalance(), 9990.5L) << "the free part";
  EXPECT_EQ(c.balances[2].BalanceChange(), -4.5L) << "since the last report of the asset";
}

TEST_F(TraderBinance, ConditionalOrderUpdatesMapToOrders) {
  Recorder c;
  c.DoClientMessage(ReadFile(SharedDir() / "reference/payloads/futures_usdm_ALGO_UPDATE.json"));
  c.DoClientMessage(R"({"e":"ALGO_UPDATE","o":{"caid":"qmt1","s":"BTCUSDT","S":"BUY","o":"STOP_MARKET","q":"0.5","X":"NEW","tp":"30100","p":"0"}})");
  ASSERT_EQ(c.orders.size(), 2u);
  EXPECT_EQ(c.orders[0].Id(), "Q5xaq5EGKgXXa0fD7fs0Ip");
  EXPECT_EQ(c.orders[0].Symbol(), "BNBUSDT");
  EXPECT_EQ(c.orders[0].OrderSide(), "SELL");
  EXPECT_EQ(c.orders[0].OrderType(), "TAKE_PROFIT");
  EXPECT_EQ(c.orders[0].OrderStatus(), "CANCELED");
  EXPECT_EQ(c.orders[0].Price(), 750.0L);
  EXPECT_EQ(c.orders[0].Size(), 0.01L);
  EXPECT_EQ(c.orders[1].Price(), 30100.0L) << "a stop market shows its trigger price";
}
