#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <regex>

#include "qmtBase_Helpers.h"
#include "qmtBinance_Addresses.h"
#include "qmtHTTP_API_Binance.h"
#include "test_certs.h"
#include "http_peer.h"
#include "test_peers.h"
#include "test_support.h"

using namespace qmt_test;

namespace {

template <typename Base>
class FixedClock : public Base {
public:
  std::string GetTimestamp() override { return "1650000000000"; }
};

const char* kKey = "vmPUZE6mv9SD5VNHk4HlWFsOr6aKE2zvsw0MuIgwCIPy6utIco14y7Ju91duEh8A";
const char* kSecret = "NhqPtmdSJYdKjVHjA7PZj4Mge3R5YNiP1e3UZjInClVN65XAbvqqM6A7H5fATj0j";

// The target without its signature, after checking that one of 64 hex digits ends it and that the
// receive window precedes it; a generated client order id reads "ID".
std::string Unsigned(const std::string& aText) {
  const auto lAt = aText.find("&signature=");
  if (lAt == std::string::npos) return aText;
  const std::string lSignature = aText.substr(lAt + 11);
  EXPECT_TRUE(std::regex_match(lSignature, std::regex("[0-9a-f]{64}"))) << lSignature;
  std::string lSigned = aText.substr(0, lAt);
  const std::string lWindow = "&recvWindow=5000";
  EXPECT_TRUE(lSigned.size() >= lWindow.size() && lSigned.compare(lSigned.size() - lWindow.size(), lWindow.size(), lWindow) == 0)
      << lSigned;
  if (lSigned.size() >= lWindow.size()) lSigned.resize(lSigned.size() - lWindow.size());
  return std::regex_replace(lSigned, std::regex("(newClientOrderId|clientAlgoId)=qmt[0-9A-F]{29}"), "$1=ID") + "&signature=";
}

}  // namespace

TEST(BinanceRest, SigningVectors) {
  FixedClock<TqmtHTTP_API_Binance_Rest> lSpot;
  lSpot.BinanceOptions().ApiSecret = kSecret;
  EXPECT_EQ(lSpot.SignQuery("symbol=LTCBTC&side=BUY&type=LIMIT&timeInForce=GTC&quantity=1&price=0.1&recvWindow=5000&"
                            "timestamp=1499827319559"),
            "symbol=LTCBTC&side=BUY&type=LIMIT&timeInForce=GTC&quantity=1&price=0.1&recvWindow=5000&timestamp=1499827319559"
            "&signature=c8db56825ae71d6d79447849e617115f4a920fa2acdcab2b053c4b2838bd6b71");
  FixedClock<TqmtHTTP_API_Binance_Futures_Rest> lFutures;
  lFutures.BinanceOptions().ApiSecret = "2b5eb11e18796d12d88f13dc27dbbd02c2cc51ff7059765ed9821957d82bb4d9";
  const std::string lSigned = lFutures.SignQuery(
      "symbol=BTCUSDT&side=BUY&type=LIMIT&quantity=1&price=9000&timeInForce=GTC&recvWindow=5000&timestamp=1591702613943");
  EXPECT_EQ(lSigned.substr(lSigned.size() - 64), "3c661234138461fcc7a7d8746c6558c9842d4e10870d2ecbedf7777cad694af9");
}

TEST(BinanceRest, RequestsOfEveryEndpoint) {
  HTTPServer lServer;
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
  SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTRest, lServer.Address() + "/usdt");
  SetBinanceAddress(TqmtBinanceAddress::FuturesCOINRest, lServer.Address() + "/coin");
  FixedClock<TqmtHTTP_API_Binance_Rest> s;
  s.BinanceOptions().ApiKey = kKey;
  s.BinanceOptions().ApiSecret = kSecret;
  FixedClock<TqmtHTTP_API_Binance_Futures_Rest> f;
  f.BinanceOptions().ApiKey = kKey;
  f.BinanceOptions().ApiSecret = kSecret;
  using B = TqmtHTTPBinanceOrderSide;
  using P = TqmtHTTPBinanceFutOpenInterestPeriods;
  const std::string T = "1650000000000";
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* method;
    std::string target;  // unsigned part; signed ones end in "&signature="
    std::string body;
    bool signedHeader;
  };
  const std::vector<Case> lCases = {
      {"ping", [&] { EXPECT_TRUE(s.Ping()); }, "GET", "/api/v3/ping", "", false},
      {"time", [&] { s.GetServerTime(); }, "GET", "/api/v3/time", "", false},
      {"exchangeInfo", [&] { s.GetExchangeInformation(); }, "GET", "/api/v3/exchangeInfo", "", false},
      {"depth", [&] { s.GetOrderBook("BTCUSDT", 20); }, "GET", "/api/v3/depth?symbol=BTCUSDT&limit=20", "", false},
      {"trades", [&] { s.GetTrades("BTCUSDT", 5); }, "GET", "/api/v3/trades?symbol=BTCUSDT&limit=5", "", false},
      {"historical", [&] { s.GetHistoricalTrades("BTCUSDT", 5, 7); }, "GET", "/api/v3/trades?symbol=BTCUSDT&limit=5&fromId=7", "", false},
      {"historical 0", [&] { s.GetHistoricalTrades("BTCUSDT", 5, 0); }, "GET", "/api/v3/trades?symbol=BTCUSDT&limit=5", "", false},
      {"aggTrades", [&] { s.GetAggregateTrades("BTCUSDT", 3, 0, 9, 10); }, "GET", "/api/v3/aggTrades?symbol=BTCUSDT&limit=10&fromId=3&endTime=9", "", false},
      {"klines", [&] { s.GetKLines("BTCUSDT", TqmtHTTPBinanceChartIntervals::bcih1Mo, 1, 2, 3); }, "GET", "/api/v3/klines?symbol=BTCUSDT&interval=1M&limit=3&startTime=1&endTime=2", "", false},
      {"24hr empty", [&] { s.Get24hrTicker(""); }, "GET", "/api/v3/ticker/24hr?symbol=", "", false},
      {"price empty", [&] { s.GetPriceTicker(""); }, "GET", "/api/v3/ticker/price", "", false},
      {"bookTicker", [&] { s.GetBookTicker("ETHUSDT"); }, "GET", "/api/v3/ticker/bookTicker?symbol=ETHUSDT", "", false},
      {"avgPrice", [&] { s.GetAveragePrice("ETHUSDT"); }, "GET", "/api/v3/avgPrice?symbol=ETHUSDT", "", false},
      {"limit order", [&] { s.PlaceLimitOrder(B::bosBuy, "BTCUSDT", 0.001L, 27000); }, "POST",
       "/api/v3/order?symbol=BTCUSDT&side=BUY&type=LIMIT&timestamp=" + T + "&timeInForce=GTC&quantity=0.00100000&price=27000.00000000&newClientOrderId=ID&signature=", "", true},
      {"market order", [&] { s.PlaceMarketOrder(B::bosSell, "BTCUSDT", 1.5L); }, "POST",
       "/api/v3/order?symbol=BTCUSDT&side=SELL&type=MARKET&timestamp=" + T + "&quantity=1.50000000&newClientOrderId=ID&signature=", "", true},
      {"stop loss", [&] { s.PlaceStopOrder(B::bosSell, "BTCUSDT", 1, 25000, 0); }, "POST",
       "/api/v3/order?symbol=BTCUSDT&side=SELL&type=STOP_LOSS&timestamp=" + T + "&quantity=1.00000000&newClientOrderId=ID&stopPrice=25000.00000000&signature=", "", true},
      {"stop loss limit", [&] { s.PlaceStopOrder(B::bosSell, "BTCUSDT", 1, 25000, 26000); }, "POST",
       "/api/v3/order?symbol=BTCUSDT&side=SELL&type=STOP_LOSS_LIMIT&timestamp=" + T + "&timeInForce=GTC&quantity=1.00000000&price=26000.00000000&newClientOrderId=ID&stopPrice=25000.00000000&signature=", "", true},
      {"test order", [&] { s.TestNewOrder("X", B::bosBuy, "LIMIT", "IOC", 1, 2, 3, "cid", 4, 5, "FULL"); }, "POST",
       "/api/v3/order/test?symbol=X&side=BUY&type=LIMIT&timestamp=" + T + "&timeInForce=IOC&quantity=1.00000000&quoteOrderQty=2.00000000&price=3.00000000&newClientOrderId=cid&stopPrice=4.00000000&icebergQty=5.00000000&newOrderRespType=FULL&signature=", "", true},
      {"query order", [&] { s.QueryOrder("X", 12, "c"); }, "GET", "/api/v3/order?symbol=X&timestamp=" + T + "&orderId=12&origClientOrderId=c&signature=", "", true},
      {"cancel order", [&] { s.CancelOrder("X", 0, "c"); }, "DELETE", "/api/v3/order?symbol=X&timestamp=" + T + "&origClientOrderId=c&signature=", "", true},
      {"cancel all", [&] { s.CancelAllOpenOrders("X"); }, "DELETE", "/api/v3/openOrders?symbol=X&timestamp=" + T + "&signature=", "", true},
      {"open orders empty", [&] { s.GetOpenOrders(""); }, "GET", "/api/v3/openOrders?timestamp=" + T + "&signature=", "", true},
      {"all orders", [&] { s.GetAllOrders("X", 1, 2, 3, 4); }, "GET", "/api/v3/allOrders?symbol=X&limit=4&timestamp=" + T + "&orderId=1&startTime=2&endTime=3&signature=", "", true},
      {"oco", [&] { s.NewOCO("X", B::bosSell, 1, 2, 3, "l", "", 0, "s", 2.5L, 0, "GTC", ""); }, "POST",
       "/api/v3/order/oco?symbol=X&side=SELL&quantity=1.00000000&price=2.00000000&stopPrice=3.00000000&timestamp=" + T + "&listClientOrderId=l&stopClientOrderId=s&stopLimitPrice=2.50000000&stopLimitTimeInForce=GTC&signature=", "", true},
      {"cancel oco", [&] { s.CancelOCO("X", 5, "", "n"); }, "DELETE", "/api/v3/orderList?symbol=X&timestamp=" + T + "&orderListId=5&newClientOrderId=n&signature=", "", true},
      {"query oco", [&] { s.QueryOCO("X", 0, "o"); }, "GET", "/api/v3/orderList?symbol=X&timestamp=" + T + "&origClientOrderId=o&signature=", "", true},
      {"all oco", [&] { s.GetAllOCO(5, 0, 0, 10); }, "GET", "/api/v3/allOrderList?limit=10&timestamp=" + T + "&fromId=5&signature=", "", true},
      {"open oco", [&] { s.GetOpenOCO(); }, "GET", "/api/v3/openOrderList?timestamp=" + T + "&signature=", "", true},
      {"account", [&] { s.GetAccountInformation(); }, "GET", "/api/v3/account?timestamp=" + T + "&signature=", "", true},
      {"my trades", [&] { s.GetAccountTradeList("X", 1, 2, 3, 4); }, "GET", "/api/v3/myTrades?symbol=X&timestamp=" + T + "&limit=4&fromId=3&startTime=1&endTime=2&signature=", "", true},
      // futures, USDT-margined
      {"f ping", [&] { f.Ping(); }, "GET", "/usdt/fapi/v1/ping", "", false},
      {"f klines", [&] { f.GetKLines("BTCUSDT", TqmtHTTPBinanceChartIntervals::bcih4h, 0, 0, 2); }, "GET", "/usdt/fapi/v1/klines?symbol=BTCUSDT&interval=4h&limit=2", "", false},
      {"f mark price", [&] { f.GetMarkPrice(""); }, "GET", "/usdt/fapi/v1/premiumIndex", "", false},
      {"f funding", [&] { f.GetFundingRateHistory("X", 0, 5, 100); }, "GET", "/usdt/fapi/v1/fundingRate?symbol=X&limit=100&endTime=5", "", false},
      {"f open interest", [&] { f.GetOpenInterest("X"); }, "GET", "/usdt/fapi/v1/openInterest?symbol=X", "", false},
      {"f oi stats", [&] { f.GetOpenInterestStatistics("X", P::oip12h, 30, 0, 0); }, "GET", "/usdt/fapi/futures/data/openInterestHist?symbol=X&period=12h&limit=30", "", false},
      {"f taker", [&] { f.GetTakerVolume("X", P::oip5m, 30, 1, 2); }, "GET", "/usdt/fapi/futures/data/takerlongshortRatio?symbol=X&period=5m&limit=30&startTime=1&endTime=2", "", false},
      {"f position mode", [&] { f.ChangePositionMode(true); }, "GET", "/usdt/fapi/v1/positionSide/dual?dualSidePosition=true&timestamp=" + T + "&signature=", "", true},
      {"f limit", [&] { f.PlaceLimitOrder(B::bosBuy, "BTCUSDT", 0.01L, 30000); }, "POST",
       "/usdt/fapi/v1/order?symbol=BTCUSDT&side=BUY&type=LIMIT&timestamp=" + T + "&positionSide=BOTH&timeInForce=GTC&quantity=0.01000000&reduceOnly=false&price=30000.00000000&newClientOrderId=ID&signature=", "", true},
      {"f market", [&] { f.PlaceMarketOrder(B::bosBuy, "BTCUSDT", 0.01L); }, "POST",
       "/usdt/fapi/v1/order?symbol=BTCUSDT&side=BUY&type=MARKET&timestamp=" + T + "&positionSide=BOTH&quantity=0.01000000&newClientOrderId=ID&signature=", "", true},
      {"f stop market", [&] { f.PlaceStopOrder(B::bosSell, "BTCUSDT", 1, 29000, 0); }, "POST",
       "/usdt/fapi/v1/algoOrder?algoType=CONDITIONAL&symbol=BTCUSDT&side=SELL&type=STOP_MARKET&timestamp=" + T + "&positionSide=BOTH&quantity=1.00000000&triggerPrice=29000.00000000&clientAlgoId=ID&signature=", "", true},
      {"f stop", [&] { f.PlaceStopOrder(B::bosSell, "BTCUSDT", 1, 29000, 28900); }, "POST",
       "/usdt/fapi/v1/algoOrder?algoType=CONDITIONAL&symbol=BTCUSDT&side=SELL&type=STOP&timestamp=" + T + "&positionSide=BOTH&quantity=1.00000000&triggerPrice=29000.00000000&timeInForce=GTC&price=28900.00000000&clientAlgoId=ID&signature=", "", true},
      {"f trailing", [&] { f.PlaceTrailingStopOrder(B::bosSell, "BTCUSDT", 1, 30000, 1); }, "POST",
       "/usdt/fapi/v1/algoOrder?algoType=CONDITIONAL&symbol=BTCUSDT&side=SELL&type=TRAILING_STOP_MARKET&timestamp=" + T + "&positionSide=BOTH&quantity=1.00000000&activatePrice=30000.00000000&callbackRate=1.00000000&clientAlgoId=ID&signature=", "", true},
      {"f cancel all", [&] { f.CancelAllOpenOrders("X"); }, "DELETE", "/usdt/fapi/v1/allOpenOrders?symbol=X&timestamp=" + T + "&signature=", "", true},
      {"f auto cancel (body)", [&] { f.AutoCancelAllOpenOrders("X", 120000); }, "POST", "/usdt/fapi/v1/allOpenOrders",
       "symbol=X&countdownTime=120000&timestamp=" + T + "&signature=", true},
      {"f margin (body)", [&] { f.ModifyIsolatedPositionMargin("X", 12.5L, 1, "LONG"); }, "POST", "/usdt/fapi/v1/positionMargin",
       "symbol=X&amount=12.50000000&type=1&timestamp=" + T + "&positionSide=LONG&signature=", true},
      {"f leverage", [&] { f.ChangeInitialLeverage("X", 20); }, "POST", "/usdt/fapi/v1/leverage?symbol=X&leverage=20&timestamp=" + T + "&signature=", "", true},
      {"f margin type", [&] { f.ChangeMarginType("X", "ISOLATED"); }, "POST", "/usdt/fapi/v1/marginType?symbol=X&marginType=ISOLATED&timestamp=" + T + "&signature=", "", true},
      {"f margin history", [&] { f.GetPositionMarginChangeHistory("X", 2, 0, 0, 5); }, "GET", "/usdt/fapi/v1/positionMargin/history?symbol=X&limit=5&timestamp=" + T + "&type=2&signature=", "", true},
      {"f balance v2", [&] { f.GetAccountBalance(); }, "GET", "/usdt/fapi/v2/balance?timestamp=" + T + "&signature=", "", true},
      {"f account v2", [&] { f.GetAccountInformation(); }, "GET", "/usdt/fapi/v2/account?timestamp=" + T + "&signature=", "", true},
      {"f positions v2", [&] { f.GetPositionInformation(""); }, "GET", "/usdt/fapi/v2/positionRisk?timestamp=" + T + "&signature=", "", true},
      {"f open order", [&] { f.QueryCurrentOpenOrder("X", 3, ""); }, "GET", "/usdt/fapi/v1/openOrder?symbol=X&timestamp=" + T + "&orderId=3&signature=", "", true},
      {"f user trades", [&] { f.GetAccountTradeList("X", 0, 0, 0, 50); }, "GET", "/usdt/fapi/v1/userTrades?symbol=X&timestamp=" + T + "&limit=50&signature=", "", true},
      {"f income", [&] { f.GetIncomeHistory("X", "FUNDING_FEE", 0, 0, 100); }, "GET", "/usdt/fapi/v1/income?timestamp=" + T + "&limit=100&symbol=X&incomeType=FUNDING_FEE&signature=", "", true},
      {"f bracket", [&] { f.GetNotionalLeverageBracket(""); }, "GET", "/usdt/fapi/v1/leverageBracket?timestamp=" + T + "&signature=", "", true},
      // coin-margined: the version follows the family at call time
      {"coin positions v1", [&] {
         f.FuturesContracts = TqmtHTTPBinanceFuturesContracts::bfchCOIN;
         f.GetPositionInformation("BTCUSD_PERP");
       }, "GET", "/coin/dapi/v1/positionRisk?timestamp=" + T + "&symbol=BTCUSD_PERP&signature=", "", true},
      {"coin balance v1", [&] { f.GetAccountBalance(); }, "GET", "/coin/dapi/v1/balance?timestamp=" + T + "&signature=", "", true},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    c.call();
    const auto lRequests = lServer.Take();
    ASSERT_EQ(lRequests.size(), 1u);
    const auto& r = lRequests[0];
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(Unsigned(r.target), c.target);
    EXPECT_EQ(Unsigned(r.body), c.body);
    EXPECT_EQ(r.head.find("X-MBX-APIKEY: " + std::string(kKey) + "\r\n") != std::string::npos, c.signedHeader);
    EXPECT_NE(r.head.find("User-Agent: Mozilla/5.0 (qmtWebSockets 2022.2.0)\r\n"), std::string::npos);
    EXPECT_EQ(r.head.find("Content-Type"), std::string::npos) << "no content type is set";
  }
  // The signature is the HMAC of exactly the query before it.
  s.PlaceLimitOrder(B::bosBuy, "BTCUSDT", 0.001L, 27000);
  const std::string lTarget = lServer.Take()[0].target;
  const auto lQuery = lTarget.substr(lTarget.find('?') + 1, lTarget.find("&signature=") - lTarget.find('?') - 1);
  EXPECT_EQ(lTarget.substr(lTarget.find("&signature=") + 11), HMACSHA256Text(lQuery, kSecret));
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, "");
  SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTRest, "");
  SetBinanceAddress(TqmtBinanceAddress::FuturesCOINRest, "");
}

TEST(BinanceRest, ErrorsAddressesAndNumbers) {
  HTTPServer lServer;
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
  TqmtHTTP_API_Binance_Rest s;
  const std::string lError = R"({"code":-1121,"msg":"Invalid symbol."})";
  lServer.Answer("400 Bad Request", lError);
  try {
    s.GetOrderBook("NOPE", 5);
    FAIL() << "no error";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(std::string(e.what()), "HTTP/1.1 400 Bad Request. " + lError);
    EXPECT_EQ(e.ErrorCode(), 400);
  }
  int lCalls = 0;
  std::string lMessage;
  s.OnHTTPAPIException = [&](TObject*, const std::exception& e) {
    ++lCalls;
    lMessage = e.what();
  };
  EXPECT_EQ(s.GetOrderBook("NOPE", 5), "");
  EXPECT_EQ(lCalls, 1);
  EXPECT_EQ(lMessage, "HTTP/1.1 400 Bad Request. " + lError);
  EXPECT_FALSE(s.Ping()) << "an absorbed error is not an answer";
  lServer.Take();

  // Binance.US with the test network raises before any request; alone it uses the US address.
  s.BinanceOptions().BinanceUS = true;
  s.BinanceOptions().TestNet = true;
  EXPECT_THROW(s.GetBaseURL(), Exception);
  s.OnHTTPAPIException = nullptr;
  try {
    s.GetServerTime();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Method Not supported by Binance.US");
  }
  EXPECT_TRUE(lServer.Take().empty());
  s.BinanceOptions().TestNet = false;
  EXPECT_EQ(s.GetBaseURL(), "https://api.binance.us");
  TqmtHTTP_API_Binance_Futures_Rest f;
  f.BinanceOptions().BinanceUS = true;
  EXPECT_THROW(f.GetBaseURL(), Exception);
  f.BinanceOptions().BinanceUS = false;
  EXPECT_EQ(f.GetBaseURL(), "https://fapi.binance.com/fapi");
  f.BinanceOptions().TestNet = true;
  f.FuturesContracts = TqmtHTTPBinanceFuturesContracts::bfchCOIN;
  EXPECT_EQ(f.GetBaseURL(), "https://testnet.binancefuture.com/dapi");

  // A transport failure is raised unchanged.
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, "http://127.0.0.1:" + std::to_string(FreePort()));
  TqmtHTTP_API_Binance_Rest lRefused;
  EXPECT_THROW(lRefused.GetServerTime(), EIdException);
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, "");

  // Numbers never follow the locale.
  const std::string lOld = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup.sh makes this locale";
  const std::string lFormatted = TqmtHTTP_API_Binance::FormatDecimal(27123.5L) + " " +
                                 TqmtHTTP_API_Binance::FormatDecimal(0.001L) + " " +
                                 TqmtHTTP_API_Binance::FormatDecimal(0.123456789L);
  std::setlocale(LC_ALL, lOld.c_str());
  EXPECT_EQ(lFormatted, "27123.50000000 0.00100000 0.12345679");
}

TEST(HTTPClient, DeleteBodiesHeadersAndSeparateConnections) {
  HTTPServer lServer;
  TqmtHTTPAPI_client c;
  const std::vector<std::string> lHeaders = {"X-MBX-APIKEY: abc"};
  c.Delete(lServer.Address() + "/x", &lHeaders);
  c.Delete(lServer.Address() + "/y", nullptr, "a=1");
  c.Put(lServer.Address() + "/p", "put-body");
  c.Patch(lServer.Address() + "/q", "patch-body");
  const auto r = lServer.Take();
  ASSERT_EQ(r.size(), 4u) << "each request is its own connection";
  EXPECT_EQ(r[0].method, "DELETE");
  EXPECT_EQ(r[0].body, "");
  EXPECT_EQ(r[0].head.find("Content-Length"), std::string::npos) << "no body without text";
  EXPECT_NE(r[0].head.find("\r\nX-MBX-APIKEY: abc\r\n"), std::string::npos);
  EXPECT_EQ(r[1].body, "a=1");
  EXPECT_EQ(r[2].method, "PUT");
  EXPECT_EQ(r[2].body, "put-body");
  EXPECT_EQ(r[3].method, "PATCH");
  EXPECT_EQ(r[3].body, "patch-body");
}

TEST(HTTPClient, ThroughTinyproxy) {
  if (std::system("command -v tinyproxy >/dev/null 2>&1") != 0) {
    if (UnderCI()) FAIL() << "tinyproxy missing (scripts/setup.sh installs it)";
    GTEST_SKIP() << "tinyproxy missing";
  }
  HTTPServer lServer;
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_tinyproxy_http_" + std::to_string(::getpid()));
  std::filesystem::create_directories(lDir);
  const int lPort = FreePort();
  std::ofstream(lDir / "tinyproxy.conf") << "Port " << lPort << "\nListen 127.0.0.1\nTimeout 30\nAllow 127.0.0.1\n"
                                         << "LogLevel Critical\nMaxClients 10\n";
  ChildProcess lProxy({"tinyproxy", "-d", "-c", (lDir / "tinyproxy.conf").string()});
  ASSERT_TRUE(WaitForPort(lPort));
  TqmtHTTPAPI_client c;
  c.Proxy = {true, "127.0.0.1", lPort, "", "", TwsProxy::pxyHTTP};
  lServer.Answer("200 OK", "{\"via\":\"proxy\"}");
  EXPECT_EQ(c.Get(lServer.Address() + "/through"), "{\"via\":\"proxy\"}");
  const auto r = lServer.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].target, "/through");
  std::filesystem::remove_all(lDir);
}

TEST(HTTPClient, BodyDecodedByItsCharacterSet) {
  HTTPServer lServer;
  TqmtHTTPAPI_client c;
  lServer.Answer("200 OK", "caf\xE9", "text/plain; charset=ISO-8859-1");
  EXPECT_EQ(c.Get(lServer.Address() + "/latin1"), "caf\xC3\xA9");
  lServer.Answer("200 OK", "caf\xC3\xA9", "text/plain; charset=utf-8");
  EXPECT_EQ(c.Get(lServer.Address() + "/utf8"), "caf\xC3\xA9");
  lServer.Answer("301 Moved", "", "text/plain");
  EXPECT_THROW(c.Get(lServer.Address() + "/moved"), EIdHTTPProtocolException) << "redirects are not followed";
}

TEST(HTTPClient, TLSVersionsAndVerification) {
  const int lPort = FreePort();
  ChildProcess lServer({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(lPort), "-cert",
                        Certs().Path("server.pem"), "-cert_chain", Certs().Path("intermediate.pem"), "-key",
                        Certs().Path("server.key"), "-www", "-tls1_2", "-quiet"});
  ASSERT_TRUE(WaitForPort(lPort));
  const std::string lURL = "https://127.0.0.1:" + std::to_string(lPort) + "/";
  TqmtHTTPAPI_client c;
  EXPECT_EQ(c.TLSOptions.Version, TwsTLSVersions::tls1_2) << "the client's default";
  EXPECT_NE(c.Get(lURL).find("Ciphers"), std::string::npos) << "verification off: accepted";
  c.TLSOptions.VerifyCertificate = true;
  EXPECT_THROW(c.Get(lURL), EIdOSSLException) << "an unknown issuer is refused";
  c.TLSOptions.RootCertFile = Certs().Path("ca.pem");
  EXPECT_NE(c.Get(lURL).find("Ciphers"), std::string::npos) << "the right root";
  c.TLSOptions.Version = TwsTLSVersions::tls1_3;
  EXPECT_THROW(c.Get(lURL), EIdException) << "TLS 1.3 only against a TLS 1.2 server";
}

namespace {

long long WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

long long QueryNumber(const std::string& aTarget, const std::string& aName) {
  const auto lAt = aTarget.find(aName + "=");
  return lAt == std::string::npos ? -1 : std::stoll(aTarget.substr(lAt + aName.size() + 1));
}

}  // namespace

TEST(BinanceRest, SignedRequestsUseTheServersClock) {
  // A server whose clock is 8 s ahead or 2.5 s behind ours, checking timestamps as the exchange does
  // (recvWindow 5000, at most 1000 ms ahead); the first refusal makes the client measure again.
  for (const long long lOffset : {8000LL, -2500LL, 0LL}) {
    SCOPED_TRACE(lOffset);
    ResetBinanceHostStates();
    HTTPServer lServer;
    std::atomic<int> lTimeRequests{0}, lRefused{0};
    std::atomic<bool> lLie{true};  // the first time answer is stale, as if the clock jumped since
    lServer.Respond([&](const Recorded& r) -> std::pair<std::string, std::string> {
      const long long lNow = WallMs() + lOffset;
      if (r.target == "/api/v3/time") {
        ++lTimeRequests;
        return {"200 OK", "{\"serverTime\":" + std::to_string(lLie.exchange(false) ? lNow - 60000 : lNow) + "}"};
      }
      const long long lStamp = QueryNumber(r.target, "timestamp"), lWindow = QueryNumber(r.target, "recvWindow");
      if (lStamp >= lNow + 1000 || lNow - lStamp > lWindow) {
        ++lRefused;
        return {"400 Bad Request", R"({"code":-1021,"msg":"Timestamp for this request is outside of the recvWindow."})"};
      }
      return {"200 OK", R"({"balances":[]})"};
    });
    SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
    TqmtHTTP_API_Binance_Rest lSpot;
    lSpot.BinanceOptions().ApiKey = kKey;
    lSpot.BinanceOptions().ApiSecret = kSecret;
    EXPECT_EQ(lSpot.GetAccountInformation(), R"({"balances":[]})");
    EXPECT_EQ(lRefused.load(), 1) << "the stale first measure was refused once, then measured again";
    EXPECT_EQ(lTimeRequests.load(), 2);
    // Later requests use the measure without asking again.
    EXPECT_EQ(lSpot.GetAccountInformation(), R"({"balances":[]})");
    EXPECT_EQ(lTimeRequests.load(), 2);
    EXPECT_NEAR(static_cast<double>(BinanceHostState(lServer.Address()).ClockOffsetMs), static_cast<double>(lOffset), 200.0);
    SetBinanceAddress(TqmtBinanceAddress::SpotRest, "");
  }
  ResetBinanceHostStates();
}

TEST(BinanceRest, ABanIsKeptUntilRetryAfterHasPassed) {
  ResetBinanceHostStates();
  HTTPServer lServer;
  std::atomic<bool> lBan{true};
  lServer.Respond([&](const Recorded& r) -> std::pair<std::string, std::string> {
    if (lBan.exchange(false))
      return {"418 I'm a teapot\r\nRetry-After: 1", R"({"code":-1003,"msg":"Way too much request weight used; IP banned."})"};
    return {"200 OK\r\nX-MBX-USED-WEIGHT-1M: 27", R"({"symbols":[]})"};
  });
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
  const auto lLog = std::filesystem::temp_directory_path() / ("qmt_rest_log_" + std::to_string(::getpid()));
  std::filesystem::remove(lLog);
  TqmtHTTP_API_Binance_Rest lSpot;
  lSpot.BinanceOptions().LogOptions = {true, lLog.string()};
  EXPECT_THROW(lSpot.GetExchangeInformation(), EIdHTTPProtocolException);
  // Meanwhile nothing reaches the host: the request fails at once, saying how long is left.
  try {
    lSpot.GetExchangeInformation();
    ADD_FAILURE() << "sent during the ban";
  } catch (const EBinanceRateLimited& e) {
    EXPECT_NE(std::string(e.what()).find(lServer.Address() + " asked us to wait (HTTP 418, rate limit): no request for 1 s more"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(lServer.Take().size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  EXPECT_EQ(lSpot.GetExchangeInformation(), R"({"symbols":[]})");
  EXPECT_EQ(lServer.Take().size(), 1u);
  // The weight the exchange counts is kept and written to the traffic log.
  const auto lCounters = BinanceHostState(lServer.Address()).Counters;
  ASSERT_EQ(lCounters.size(), 1u);
  EXPECT_EQ(lCounters[0], "X-MBX-USED-WEIGHT-1M: 27");
  EXPECT_NE(ReadFileText(lLog.string()).find("X-MBX-USED-WEIGHT-1M: 27"), std::string::npos);
  std::filesystem::remove(lLog);
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, "");
  ResetBinanceHostStates();
}
