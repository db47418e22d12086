// The exchange's REST clients: the base with the account options, addresses, query strings and
// signing; the public market-data layer shared by spot and futures; the spot client; the futures
// client for USDT- and coin-margined contracts. Every operation returns the answer body as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qmtHTTP_API.h"

enum class TqmtHTTPBinanceOrderSide : std::uint8_t { bosNone, bosBuy, bosSell };
enum class TqmtHTTPBinanceChartIntervals : std::uint8_t {
  bcih1m, bcih3m, bcih5m, bcih15m, bcih30m, bcih1h, bcih2h, bcih4h, bcih6h, bcih8h, bcih12h, bcih1d, bcih3d, bcih1w, bcih1Mo
};
enum class TqmtHTTPBinanceFuturesContracts : std::uint8_t { bfchUSDT, bfchCOIN };
enum class TqmtHTTPBinanceFutOpenInterestPeriods : std::uint8_t { oip5m, oip15m, oip30m, oip1h, oip2h, oip4h, oip6h, oip12h, oip1d };

std::string OrderSideText(TqmtHTTPBinanceOrderSide aSide);
std::string ChartIntervalText(TqmtHTTPBinanceChartIntervals aInterval);
std::string OpenInterestPeriodText(TqmtHTTPBinanceFutOpenInterestPeriods aPeriod);
// A new client order id: "qmt" and 29 hexadecimal digits.
std::string NewClientOrderId();

struct TqmtHTTPBinanceLog_Options {
  bool Enabled = false;
  std::string FileName;
};

struct TqmtHTTPBinance_Options {
  std::string ApiKey;
  std::string ApiSecret;
  bool BinanceUS = false;
  TqmtHTTPBinanceLog_Options LogOptions;
  bool TestNet = false;
  // Sent with every signed request (ms); 0 leaves it out (the exchange then takes 5000).
  int RecvWindow = 5000;
  void Assign(const TqmtHTTPBinance_Options& aSource) { *this = aSource; }
};

// A request not sent because the exchange asked this client to wait (429 or 418 with Retry-After).
class EBinanceRateLimited : public EIdException {
public:
  EBinanceRateLimited(const std::string& aHost, long long aWaitMs, int aStatus);
  long long WaitMs() const { return FWaitMs; }

private:
  long long FWaitMs;
};

// What this process knows of one REST host of the exchange (its "scheme://host:port"): the offset
// of its clock, how long it asked us to wait, and the counters of its last answer. Shared by every
// client of the host and every thread.
struct TqmtBinanceHostState {
  long long ClockOffsetMs = 0;   // server time - local time
  bool ClockKnown = false;
  std::uint64_t ClockCheckedAt = 0;  // GetTicks of the last attempt
  std::uint64_t BlockedUntil = 0;    // GetTicks; 0 when free
  int BlockStatus = 0;               // 429 or 418
  std::vector<std::string> Counters; // "X-MBX-USED-WEIGHT-1M: 12", ... of the last answer
};
// The scheme, host and port of an address ("https://fapi.binance.com").
std::string BinanceHostOf(const std::string& aURL);
TqmtBinanceHostState BinanceHostState(const std::string& aHost);
// Forgets what is known of every host (tests).
void ResetBinanceHostStates();

class TqmtHTTP_API_Binance : public TqmtHTTPAPI_client {
public:
  TqmtHTTPBinance_Options& BinanceOptions() { return FBinanceOptions; }

  virtual std::string GetBaseURL() = 0;
  // Milliseconds since 1970 in UTC of the server's clock as measured (SyncServerTime), so that a
  // local clock that is off still signs requests the exchange accepts.
  virtual std::string GetTimestamp();
  // Measures the offset of the server's clock (GET .../time, half the round trip allowed for).
  // Done by itself before a signed request when the last measure is older than 5 minutes, and
  // again when the exchange refuses a timestamp (-1021). False when the server gave no time.
  bool SyncServerTime();
  // Eight decimals with ".", rounded, whatever the locale.
  static std::string FormatDecimal(long double aValue);
  // aQuery + "&signature=" + the signature of aQuery under ApiSecret: HMAC-SHA256 in lower-case
  // hex, or with a private key's PEM text as the secret its Ed25519 or RSA signature (Base64,
  // URL-encoded; see qmtBinance_Signing.h).
  std::string SignQuery(const std::string& aQuery) const;
  // A signed request refused for its timestamp (-1021) is sent again once with the clock measured
  // anew; false for orders, which must not execute later than asked.
  bool RetryLateTimestamp = true;

protected:
  virtual std::string DoGet(const std::string& aPath, const std::string& aQuery, const std::string& aHeader);
  virtual std::string DoPost(const std::string& aPath, const std::string& aBody, const std::string& aHeader);
  virtual std::string DoDelete(const std::string& aPath, const std::string& aQuery, const std::string& aHeader);
  virtual std::string DoGetSigned(const std::string& aPath, const std::string& aQuery);
  virtual std::string DoPostSigned(const std::string& aPath, const std::string& aQuery, bool aQueryInURL);
  virtual std::string DoDeleteSigned(const std::string& aPath, const std::string& aQuery);
  virtual std::string DoPutSigned(const std::string& aPath, const std::string& aQuery);

  // The path of the server's time ("" when the client has none).
  virtual std::string PathTime() { return std::string(); }
  void DoBeforeRequest(const std::string& aURL) override;
  void DoAnswered(const std::string& aURL, const TqmtIdHTTP& aHTTP) override;

private:
  enum class SignedPlace { Query, Body, PostQuery };
  // A signed request: recvWindow and signature added; a refused timestamp (-1021) makes it measure
  // the server's clock and try once more with a new one.
  std::string DoSigned(const std::string& aMethod, const std::string& aPath, std::string aQuery, SignedPlace aPlace);
  void ApplyLogSettings();
  std::vector<std::string> Headers(const std::string& aHeader) const;
  TqmtHTTPBinance_Options FBinanceOptions;
};

// Public market data, shared by spot and futures; the paths come from the subclass.
class TqmtHTTP_API_Binance_Rest_Base : public TqmtHTTP_API_Binance {
public:
  // True when the answer is exactly "{}".
  bool Ping();
  std::string GetServerTime();
  std::string GetExchangeInformation();
  std::string GetOrderBook(const std::string& aSymbol, int aLimit);
  std::string GetTrades(const std::string& aSymbol, int aLimit);
  std::string GetHistoricalTrades(const std::string& aSymbol, int aLimit, std::int64_t aFromId);
  std::string GetAggregateTrades(const std::string& aSymbol, std::int64_t aFromId, std::int64_t aStartTime,
                                 std::int64_t aEndTime, int aLimit);
  std::string GetKLines(const std::string& aSymbol, TqmtHTTPBinanceChartIntervals aInterval, std::int64_t aStartTime,
                        std::int64_t aEndTime, int aLimit);
  // The same with the interval as the exchange spells it ("1s" on spot, "1m" ... "1M"); times 0 not sent.
  std::string GetKLines(const std::string& aSymbol, const std::string& aInterval, std::int64_t aStartTime, std::int64_t aEndTime,
                        int aLimit);
  std::string Get24hrTicker(const std::string& aSymbol);
  std::string GetPriceTicker(const std::string& aSymbol);
  std::string GetBookTicker(const std::string& aSymbol);

protected:
  std::string PathTime() override { return PathServerTime(); }
  virtual std::string PathPing() = 0;
  virtual std::string PathServerTime() = 0;
  virtual std::string PathExchangeInformation() = 0;
  virtual std::string PathOrderBook() = 0;
  virtual std::string PathTrades() = 0;
  virtual std::string PathAggregateTrades() = 0;
  virtual std::string PathKLines() = 0;
  virtual std::string Path24hrTicker() = 0;
  virtual std::string PathPriceTicker() = 0;
  virtual std::string PathBookTicker() = 0;
};

class TqmtHTTP_API_Binance_Rest : public TqmtHTTP_API_Binance_Rest_Base {
public:
  // Raises "Method Not supported by Binance.US" for Binance.US on the test network.
  std::string GetBaseURL() override;

  std::string GetAveragePrice(const std::string& aSymbol);
  std::string NewOrder(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide, const std::string& aType,
                       const std::string& aTimeInForce, long double aQuantity, long double aQuoteOrderQty,
                       long double aPrice, const std::string& aNewClientOrderId, long double aStopPrice,
                       long double aIcebergQty, const std::string& aNewOrderRespType);
  std::string TestNewOrder(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide, const std::string& aType,
                           const std::string& aTimeInForce, long double aQuantity, long double aQuoteOrderQty,
                           long double aPrice, const std::string& aNewClientOrderId, long double aStopPrice,
                           long double aIcebergQty, const std::string& aNewOrderRespType);
  std::string QueryOrder(const std::string& aSymbol, std::int64_t aOrderId, const std::string& aOrigClientOrderId);
  std::string CancelOrder(const std::string& aSymbol, std::int64_t aOrderId, const std::string& aOrigClientOrderId);
  // Cancels aCancelOrigClientOrderId and places the new order (aQuery's order parameters, as
  // NewOrder takes them) only if that cancel succeeded (cancelReplaceMode STOP_ON_FAILURE).
  std::string CancelReplaceOrder(const std::string& aSymbol, const std::string& aCancelOrigClientOrderId, TqmtHTTPBinanceOrderSide aSide,
                                 const std::string& aType, const std::string& aTimeInForce, long double aQuantity,
                                 long double aPrice, const std::string& aNewClientOrderId);
  std::string CancelAllOpenOrders(const std::string& aSymbol);
  std::string GetOpenOrders(const std::string& aSymbol);
  std::string GetAllOrders(const std::string& aSymbol, std::int64_t aOrderId, std::int64_t aStartTime,
                           std::int64_t aEndTime, int aLimit);
  std::string NewOCO(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide, long double aQuantity, long double aPrice,
                     long double aStopPrice, const std::string& aListClientOrderId, const std::string& aLimitClientOrderId,
                     long double aLimitIcebergQty, const std::string& aStopClientOrderId, long double aStopLimitPrice,
                     long double aStopIcebergQty, const std::string& aStopLimitTimeInForce,
                     const std::string& aNewOrderRespType);
  std::string CancelOCO(const std::string& aSymbol, std::int64_t aOrderListId, const std::string& aListClientOrderId,
                        const std::string& aNewClientOrderId);
  std::string QueryOCO(const std::string& aSymbol, std::int64_t aOrderListId, const std::string& aOrigClientOrderId);
  std::string GetAllOCO(std::int64_t aFromId, std::int64_t aStartTime, std::int64_t aEndTime, int aLimit);
  std::string GetOpenOCO();
  std::string GetAccountInformation();
  std::string GetAccountTradeList(const std::string& aSymbol, std::int64_t aStartTime, std::int64_t aEndTime,
                                  std::int64_t aFromId, int aLimit);

  // Order helpers. Each order carries aClientOrderId as its newClientOrderId (a fresh one when empty).
  std::string PlaceMarketOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol, long double aQuantity,
                               const std::string& aClientOrderId = std::string());
  std::string PlaceLimitOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol, long double aQuantity,
                              long double aLimitPrice, const std::string& aClientOrderId = std::string());
  std::string PlaceStopOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol, long double aQuantity,
                             long double aStopPrice, long double aLimitPrice, const std::string& aClientOrderId = std::string());

protected:
  std::string PathPing() override { return "/api/v3/ping"; }
  std::string PathServerTime() override { return "/api/v3/time"; }
  std::string PathExchangeInformation() override { return "/api/v3/exchangeInfo"; }
  std::string PathOrderBook() override { return "/api/v3/depth"; }
  std::string PathTrades() override { return "/api/v3/trades"; }
  std::string PathAggregateTrades() override { return "/api/v3/aggTrades"; }
  std::string PathKLines() override { return "/api/v3/klines"; }
  std::string Path24hrTicker() override { return "/api/v3/ticker/24hr"; }
  std::string PathPriceTicker() override { return "/api/v3/ticker/price"; }
  std::string PathBookTicker() override { return "/api/v3/ticker/bookTicker"; }

private:
  std::string OrderQuery(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide, const std::string& aType,
                         const std::string& aTimeInForce, long double aQuantity, long double aQuoteOrderQty,
                         long double aPrice, const std::string& aNewClientOrderId, long double aStopPrice,
                         long double aIcebergQty, const std::string& aNewOrderRespType);
};

class TqmtHTTP_API_Binance_Futures_Rest : public TqmtHTTP_API_Binance_Rest_Base {
public:
  TqmtHTTPBinanceFuturesContracts FuturesContracts = TqmtHTTPBinanceFuturesContracts::bfchUSDT;

  // The family's address + "/fapi" or "/dapi"; raises "Method Not supported by Binance.US".
  std::string GetBaseURL() override;

  std::string GetMarkPrice(const std::string& aSymbol);
  std::string GetFundingRateHistory(const std::string& aSymbol, std::int64_t aStartTime, std::int64_t aEndTime, int aLimit);
  std::string GetOpenInterest(const std::string& aSymbol);
  std::string GetOpenInterestStatistics(const std::string& aSymbol, TqmtHTTPBinanceFutOpenInterestPeriods aPeriod,
                                        int aLimit, std::int64_t aStartTime, std::int64_t aEndTime);
  std::string GetTopTraderAccountRatio(const std::string& aSymbol, TqmtHTTPBinanceFutOpenInterestPeriods aPeriod,
                                       int aLimit, std::int64_t aStartTime, std::int64_t aEndTime);
  std::string GetTopTraderPositionRatio(const std::string& aSymbol, TqmtHTTPBinanceFutOpenInterestPeriods aPeriod,
                                        int aLimit, std::int64_t aStartTime, std::int64_t aEndTime);
  std::string GetGlobalAccountRatio(const std::string& aSymbol, TqmtHTTPBinanceFutOpenInterestPeriods aPeriod,
                                    int aLimit, std::int64_t aStartTime, std::int64_t aEndTime);
  std::string GetTakerVolume(const std::string& aSymbol, TqmtHTTPBinanceFutOpenInterestPeriods aPeriod, int aLimit,
                             std::int64_t aStartTime, std::int64_t aEndTime);
  std::string ChangePositionMode(bool aDualPosition);
  std::string GetCurrentPositionMode();
  std::string NewOrder(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide, const std::string& aPositionSide,
                       const std::string& aType, const std::string& aTimeInForce, long double aQuantity,
                       const std::string& aReduceOnly, long double aPrice, const std::string& aNewClientOrderId,
                       long double aStopPrice, const std::string& aClosePosition, long double aActivationPrice,
                       long double aCallbackRate, const std::string& aWorkingType, const std::string& aNewOrderRespType);
  std::string QueryOrder(const std::string& aSymbol, std::int64_t aOrderId, const std::string& aOrigClientOrderId);
  std::string CancelOrder(const std::string& aSymbol, std::int64_t aOrderId, const std::string& aOrigClientOrderId);
  // A limit order's new price and quantity, both required (PUT .../v1/order); it keeps its ids.
  std::string ModifyOrder(const std::string& aSymbol, const std::string& aOrigClientOrderId, TqmtHTTPBinanceOrderSide aSide,
                          long double aQuantity, long double aPrice);
  std::string CancelAllOpenOrders(const std::string& aSymbol);
  // The Algo Order API (conditional orders: STOP_MARKET, STOP, TRAILING_STOP_MARKET, ...): aTriggerPrice
  // is the trigger (the activation price of a trailing stop), aPrice the limit price of STOP.
  std::string NewAlgoOrder(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide, const std::string& aPositionSide,
                           const std::string& aType, long double aQuantity, long double aTriggerPrice, long double aPrice,
                           long double aCallbackRate, const std::string& aClientAlgoId, const std::string& aTimeInForce = "GTC",
                           const std::string& aReduceOnly = std::string());
  std::string QueryAlgoOrder(const std::string& aClientAlgoId);
  std::string CancelAlgoOrder(const std::string& aClientAlgoId);
  std::string CancelAllAlgoOpenOrders(const std::string& aSymbol);
  std::string GetOpenAlgoOrders(const std::string& aSymbol);
  std::string AutoCancelAllOpenOrders(const std::string& aSymbol, std::int64_t aCountdownTime);
  std::string QueryCurrentOpenOrder(const std::string& aSymbol, std::int64_t aOrderId, const std::string& aOrigClientOrderId);
  std::string GetOpenOrders(const std::string& aSymbol);
  std::string GetAllOrders(const std::string& aSymbol, std::int64_t aOrderId, std::int64_t aStartTime,
                           std::int64_t aEndTime, int aLimit);
  std::string GetAccountBalance();
  std::string GetAccountInformation();
  std::string ChangeInitialLeverage(const std::string& aSymbol, int aLeverage);
  std::string ChangeMarginType(const std::string& aSymbol, const std::string& aMarginType);
  std::string ModifyIsolatedPositionMargin(const std::string& aSymbol, long double aAmount, int aType,
                                           const std::string& aPositionSide);
  std::string GetPositionMarginChangeHistory(const std::string& aSymbol, int aType, std::int64_t aStartTime,
                                             std::int64_t aEndTime, int aLimit);
  std::string GetPositionInformation(const std::string& aSymbol);
  std::string GetAccountTradeList(const std::string& aSymbol, std::int64_t aStartTime, std::int64_t aEndTime,
                                  std::int64_t aFromId, int aLimit);
  std::string GetIncomeHistory(const std::string& aSymbol, const std::string& aIncomeType, std::int64_t aStartTime,
                               std::int64_t aEndTime, int aLimit);
  std::string GetNotionalLeverageBracket(const std::string& aSymbol);

  // Order helpers; every one sends positionSide "BOTH" and aClientOrderId (a fresh one when empty).
  // Stop, stop-limit and trailing stop orders go to the Algo Order API (aClientOrderId as clientAlgoId).
  std::string PlaceMarketOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol, long double aQuantity,
                               const std::string& aClientOrderId = std::string());
  std::string PlaceLimitOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol, long double aQuantity,
                              long double aLimitPrice, const std::string& aClientOrderId = std::string());
  std::string PlaceStopOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol, long double aQuantity,
                             long double aStopPrice, long double aLimitPrice, const std::string& aClientOrderId = std::string());
  std::string PlaceTrailingStopOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol, long double aQuantity,
                                     long double aActivationPrice, long double aCallbackRate,
                                     const std::string& aClientOrderId = std::string());

protected:
  std::string PathPing() override { return "/v1/ping"; }
  std::string PathServerTime() override { return "/v1/time"; }
  std::string PathExchangeInformation() override { return "/v1/exchangeInfo"; }
  std::string PathOrderBook() override { return "/v1/depth"; }
  std::string PathTrades() override { return "/v1/trades"; }
  std::string PathAggregateTrades() override { return "/v1/aggTrades"; }
  std::string PathKLines() override { return "/v1/klines"; }
  std::string Path24hrTicker() override { return "/v1/ticker/24hr"; }
  std::string PathPriceTicker() override { return "/v1/ticker/price"; }
  std::string PathBookTicker() override { return "/v1/ticker/bookTicker"; }

private:
  std::string Statistics(const char* aPath, const std::string& aSymbol, TqmtHTTPBinanceFutOpenInterestPeriods aPeriod,
                         int aLimit, std::int64_t aStartTime, std::int64_t aEndTime);
  bool Coin() const { return FuturesContracts == TqmtHTTPBinanceFuturesContracts::bfchCOIN; }
};
