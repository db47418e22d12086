#include "qmtHTTP_API_Binance.h"

#include <charconv>
#include <chrono>
#include <map>
#include <mutex>

#include "qmtBase_Helpers.h"
#include "qmtBinance_Signing.h"
#include "qmtBinance_Addresses.h"

namespace {

// Optional query parts, appended in the order the caller lists them.
void OptId(std::string& q, const char* aName, std::int64_t aValue) {
  if (aValue > 0) q += aName + std::to_string(aValue);
}
void OptText(std::string& q, const char* aName, const std::string& aValue) {
  if (!aValue.empty()) q += aName + aValue;
}
void OptDecimal(std::string& q, const char* aName, long double aValue) {
  if (aValue != 0) q += aName + TqmtHTTP_API_Binance::FormatDecimal(aValue);
}

const char* const kNotUS = "Method Not supported by Binance.US";

// Every order carries a client order id: with it an order whose answer was lost can be looked up.
std::string OrDefault(const std::string& aClientOrderId) {
  return aClientOrderId.empty() ? NewClientOrderId() : aClientOrderId;
}

// The clock is measured again after this long, and not more often than every kClockRetryMs when
// the measure fails.
constexpr std::uint64_t kClockMaxAgeMs = 5 * 60 * 1000;
constexpr std::uint64_t kClockRetryMs = 30 * 1000;
// When a 429 or 418 comes without Retry-After.
constexpr long long kDefaultWaitMs = 60 * 1000;

std::mutex gHostsLock;
std::map<std::string, TqmtBinanceHostState>& Hosts() {
  static std::map<std::string, TqmtBinanceHostState> sHosts;
  return sHosts;
}

long long LocalMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool IsTimestampRefusal(const EIdHTTPProtocolException& e) {
  return e.ErrorMessage().find("\"code\":-1021") != std::string::npos;
}

// Puts a new timestamp in place of the one in aQuery.
void RenewTimestamp(std::string& aQuery, const std::string& aTimestamp) {
  const auto lAt = aQuery.find("timestamp=");
  if (lAt == std::string::npos) return;
  const auto lStart = lAt + 10;
  const auto lEnd = aQuery.find('&', lStart);
  aQuery.replace(lStart, (lEnd == std::string::npos ? aQuery.size() : lEnd) - lStart, aTimestamp);
}

}  // namespace

EBinanceRateLimited::EBinanceRateLimited(const std::string& aHost, long long aWaitMs, int aStatus)
    : EIdException(aHost + " asked us to wait (HTTP " + std::to_string(aStatus) + ", rate limit): no request for " +
                   std::to_string((aWaitMs + 999) / 1000) + " s more"),
      FWaitMs(aWaitMs) {}

std::string BinanceHostOf(const std::string& aURL) {
  const auto lScheme = aURL.find("://");
  const auto lStart = lScheme == std::string::npos ? 0 : lScheme + 3;
  const auto lEnd = aURL.find_first_of("/?", lStart);
  return aURL.substr(0, lEnd);
}

TqmtBinanceHostState BinanceHostState(const std::string& aHost) {
  std::lock_guard g(gHostsLock);
  auto lIt = Hosts().find(aHost);
  return lIt == Hosts().end() ? TqmtBinanceHostState() : lIt->second;
}

void ResetBinanceHostStates() {
  std::lock_guard g(gHostsLock);
  Hosts().clear();
}

std::string OrderSideText(TqmtHTTPBinanceOrderSide aSide) {
  switch (aSide) {
    case TqmtHTTPBinanceOrderSide::bosBuy: return "BUY";
    case TqmtHTTPBinanceOrderSide::bosSell: return "SELL";
    case TqmtHTTPBinanceOrderSide::bosNone: break;
  }
  return "";
}

std::string ChartIntervalText(TqmtHTTPBinanceChartIntervals aInterval) {
  static const char* const kTexts[] = {"1m", "3m", "5m", "15m", "30m", "1h", "2h", "4h",
                                       "6h", "8h", "12h", "1d", "3d", "1w", "1M"};
  return kTexts[static_cast<int>(aInterval)];
}

std::string OpenInterestPeriodText(TqmtHTTPBinanceFutOpenInterestPeriods aPeriod) {
  static const char* const kTexts[] = {"5m", "15m", "30m", "1h", "2h", "4h", "6h", "12h", "1d"};
  return kTexts[static_cast<int>(aPeriod)];
}

// ---- base: addresses, queries, signing -------------------------------------------------------------

std::string TqmtHTTP_API_Binance::GetTimestamp() {
  // Whole seconds of the local clock, as once done here, are refused whenever the local clock is a
  // second ahead or a few seconds behind: milliseconds of the server's clock instead.
  std::string lHost;
  try {
    lHost = BinanceHostOf(GetBaseURL());
  } catch (const std::exception&) {
    return std::to_string(LocalMs());  // no address (Binance.US on the test network): raised later
  }
  TqmtBinanceHostState lState = BinanceHostState(lHost);
  const std::uint64_t lNow = GetTicks();
  const bool lStale = !lState.ClockKnown || lNow - lState.ClockCheckedAt >= kClockMaxAgeMs;
  if (lStale && !PathTime().empty() && (lState.ClockCheckedAt == 0 || lNow - lState.ClockCheckedAt >= kClockRetryMs)) {
    SyncServerTime();
    lState = BinanceHostState(lHost);
  }
  return std::to_string(LocalMs() + lState.ClockOffsetMs);
}

bool TqmtHTTP_API_Binance::SyncServerTime() {
  const std::string lPath = PathTime();
  if (lPath.empty()) return false;
  std::string lHost;
  long long lOffset = 0;
  bool lKnown = false;
  try {
    const std::string lBase = GetBaseURL();
    lHost = BinanceHostOf(lBase);
    TqmtIdHTTP lHTTP;
    lHTTP.TLSOptions.Assign(TLSOptions);
    lHTTP.Proxy.Assign(Proxy);
    lHTTP.ConnectTimeout = lHTTP.ReadTimeout = 5000;
    DoBeforeRequest(lBase);
    const long long t0 = LocalMs();
    const std::string lAnswer = lHTTP.Request("GET", lBase + lPath, std::string(), false);
    const long long t1 = LocalMs();
    DoAnswered(lBase, lHTTP);
    const auto lAt = lAnswer.find("\"serverTime\"");
    if (lAt != std::string::npos) {
      const auto lDigits = lAnswer.find_first_of("0123456789", lAt + 12);
      long long lServer = 0;
      if (lDigits != std::string::npos &&
          std::from_chars(lAnswer.data() + lDigits, lAnswer.data() + lAnswer.size(), lServer).ec == std::errc()) {
        lOffset = lServer - (t0 + t1) / 2;  // the server read its clock about half-way
        lKnown = true;
      }
    }
  } catch (const std::exception&) {
    // No measure: the previous offset (or none) stays, and the signed request tells.
  }
  if (lHost.empty()) return false;
  std::lock_guard g(gHostsLock);
  TqmtBinanceHostState& s = Hosts()[lHost];
  s.ClockCheckedAt = GetTicks();
  if (lKnown) {
    s.ClockOffsetMs = lOffset;
    s.ClockKnown = true;
  }
  return lKnown;
}

void TqmtHTTP_API_Binance::DoBeforeRequest(const std::string& aURL) {
  const std::string lHost = BinanceHostOf(aURL);
  std::lock_guard g(gHostsLock);
  auto lIt = Hosts().find(lHost);
  if (lIt == Hosts().end() || lIt->second.BlockedUntil == 0) return;
  const std::uint64_t lNow = GetTicks();
  if (lNow >= lIt->second.BlockedUntil) {
    lIt->second.BlockedUntil = 0;
    return;
  }
  // Another request now would turn a 429 into a ban, or make a ban longer.
  throw EBinanceRateLimited(lHost, static_cast<long long>(lIt->second.BlockedUntil - lNow), lIt->second.BlockStatus);
}

void TqmtHTTP_API_Binance::DoAnswered(const std::string& aURL, const TqmtIdHTTP& aHTTP) {
  std::vector<std::string> lCounters;
  for (const auto& h : aHTTP.ResponseHeaders())
    if (ContainsText(h.substr(0, 6), "x-mbx-")) lCounters.push_back(h);
  const int lStatus = aHTTP.ResponseCode();
  long long lWaitMs = 0;
  if (lStatus == 429 || lStatus == 418) {
    const std::string lRetry = aHTTP.ResponseHeader("Retry-After");
    long long lSeconds = 0;
    if (!lRetry.empty() && std::from_chars(lRetry.data(), lRetry.data() + lRetry.size(), lSeconds).ec == std::errc())
      lWaitMs = lSeconds * 1000;
    else
      lWaitMs = kDefaultWaitMs;
  }
  std::lock_guard g(gHostsLock);
  TqmtBinanceHostState& s = Hosts()[BinanceHostOf(aURL)];
  if (!lCounters.empty()) s.Counters = std::move(lCounters);
  if (lWaitMs > 0) {
    s.BlockedUntil = GetTicks() + static_cast<std::uint64_t>(lWaitMs);
    s.BlockStatus = lStatus;
  }
}

std::string TqmtHTTP_API_Binance::FormatDecimal(long double aValue) {
  char lBuffer[128];
  const auto r = std::to_chars(lBuffer, lBuffer + sizeof lBuffer, aValue, std::chars_format::fixed, 8);
  std::string lText(lBuffer, r.ptr);
  if (lText == "-0.00000000") lText.erase(0, 1);
  return lText;
}

std::string TqmtHTTP_API_Binance::SignQuery(const std::string& aQuery) const {
  return aQuery + "&signature=" + BinanceURLSignature(aQuery, FBinanceOptions.ApiSecret);
}

void TqmtHTTP_API_Binance::ApplyLogSettings() {
  // The file name is taken only when the enabled flag changes.
  if (FLog != FBinanceOptions.LogOptions.Enabled) {
    FLogFileName = FBinanceOptions.LogOptions.FileName;
    FLog = FBinanceOptions.LogOptions.Enabled;
  }
}

std::vector<std::string> TqmtHTTP_API_Binance::Headers(const std::string& aHeader) const {
  return aHeader.empty() ? std::vector<std::string>() : std::vector<std::string>{aHeader};
}

std::string TqmtHTTP_API_Binance::DoGet(const std::string& aPath, const std::string& aQuery, const std::string& aHeader) {
  const std::string lURL = GetBaseURL() + aPath + (aQuery.empty() ? std::string() : "?" + aQuery);
  ApplyLogSettings();
  const auto lHeaders = Headers(aHeader);
  return Get(lURL, &lHeaders);
}

std::string TqmtHTTP_API_Binance::DoPost(const std::string& aPath, const std::string& aBody, const std::string& aHeader) {
  const std::string lURL = GetBaseURL() + aPath;
  ApplyLogSettings();
  const auto lHeaders = Headers(aHeader);
  return Post(lURL, aBody, &lHeaders);
}

std::string TqmtHTTP_API_Binance::DoDelete(const std::string& aPath, const std::string& aQuery, const std::string& aHeader) {
  const std::string lURL = GetBaseURL() + aPath + (aQuery.empty() ? std::string() : "?" + aQuery);
  ApplyLogSettings();
  const auto lHeaders = Headers(aHeader);
  return Delete(lURL, &lHeaders);
}

std::string TqmtHTTP_API_Binance::DoSigned(const std::string& aMethod, const std::string& aPath, std::string aQuery,
                                           SignedPlace aPlace) {
  if (FBinanceOptions.RecvWindow > 0) aQuery += "&recvWindow=" + std::to_string(FBinanceOptions.RecvWindow);
  const auto lHeaders = Headers("X-MBX-APIKEY: " + FBinanceOptions.ApiKey);
  for (int lAttempt = 0;; ++lAttempt) {
    try {
      const std::string lBase = GetBaseURL();
      ApplyLogSettings();
      const std::string lSigned = SignQuery(aQuery);
      switch (aPlace) {
        case SignedPlace::Query: return DoRequestRaw(aMethod, lBase + aPath + "?" + lSigned, std::string(), false, &lHeaders);
        case SignedPlace::PostQuery: return DoRequestRaw(aMethod, lBase + aPath + "?" + lSigned, std::string(), true, &lHeaders);
        case SignedPlace::Body: return DoRequestRaw(aMethod, lBase + aPath, lSigned, true, &lHeaders);
      }
    } catch (const EIdHTTPProtocolException& e) {
      if (lAttempt == 0 && IsTimestampRefusal(e)) {
        // An order refused as late stays refused: sent again it would execute long after it was
        // asked for. The clock is measured again either way, for the next request.
        const bool lMeasured = SyncServerTime();
        if (lMeasured && RetryLateTimestamp) {
          RenewTimestamp(aQuery, GetTimestamp());  // once, with the clock measured now
          continue;
        }
      }
      ReportFailure(e);
      return std::string();
    } catch (const std::exception& e) {
      ReportFailure(e);
      return std::string();
    }
  }
}

std::string TqmtHTTP_API_Binance::DoGetSigned(const std::string& aPath, const std::string& aQuery) {
  return DoSigned("GET", aPath, aQuery, SignedPlace::Query);
}

std::string TqmtHTTP_API_Binance::DoPutSigned(const std::string& aPath, const std::string& aQuery) {
  return DoSigned("PUT", aPath, aQuery, SignedPlace::Body);
}

std::string TqmtHTTP_API_Binance::DoPostSigned(const std::string& aPath, const std::string& aQuery, bool aQueryInURL) {
  return DoSigned("POST", aPath, aQuery, aQueryInURL ? SignedPlace::PostQuery : SignedPlace::Body);
}

std::string TqmtHTTP_API_Binance::DoDeleteSigned(const std::string& aPath, const std::string& aQuery) {
  return DoSigned("DELETE", aPath, aQuery, SignedPlace::Query);
}

// ---- public market data -------------------------------------------------------------------------

bool TqmtHTTP_API_Binance_Rest_Base::Ping() { return DoGet(PathPing(), "", "") == "{}"; }
std::string TqmtHTTP_API_Binance_Rest_Base::GetServerTime() { return DoGet(PathServerTime(), "", ""); }
std::string TqmtHTTP_API_Binance_Rest_Base::GetExchangeInformation() { return DoGet(PathExchangeInformation(), "", ""); }

std::string TqmtHTTP_API_Binance_Rest_Base::GetOrderBook(const std::string& aSymbol, int aLimit) {
  return DoGet(PathOrderBook(), "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit), "");
}

std::string TqmtHTTP_API_Binance_Rest_Base::GetTrades(const std::string& aSymbol, int aLimit) {
  return DoGet(PathTrades(), "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit), "");
}

std::string TqmtHTTP_API_Binance_Rest_Base::GetHistoricalTrades(const std::string& aSymbol, int aLimit, std::int64_t aFromId) {
  std::string q = "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit);
  if (aFromId >= 1) q += "&fromId=" + std::to_string(aFromId);
  return DoGet(PathTrades(), q, "");
}

std::string TqmtHTTP_API_Binance_Rest_Base::GetAggregateTrades(const std::string& aSymbol, std::int64_t aFromId,
                                                               std::int64_t aStartTime, std::int64_t aEndTime, int aLimit) {
  std::string q = "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit);
  OptId(q, "&fromId=", aFromId);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGet(PathAggregateTrades(), q, "");
}

std::string TqmtHTTP_API_Binance_Rest_Base::GetKLines(const std::string& aSymbol, TqmtHTTPBinanceChartIntervals aInterval,
                                                      std::int64_t aStartTime, std::int64_t aEndTime, int aLimit) {
  return GetKLines(aSymbol, ChartIntervalText(aInterval), aStartTime, aEndTime, aLimit);
}

std::string TqmtHTTP_API_Binance_Rest_Base::GetKLines(const std::string& aSymbol, const std::string& aInterval,
                                                      std::int64_t aStartTime, std::int64_t aEndTime, int aLimit) {
  std::string q = "symbol=" + aSymbol + "&interval=" + aInterval + "&limit=" + std::to_string(aLimit);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGet(PathKLines(), q, "");
}

std::string TqmtHTTP_API_Binance_Rest_Base::Get24hrTicker(const std::string& aSymbol) {
  return DoGet(Path24hrTicker(), "symbol=" + aSymbol, "");
}

std::string TqmtHTTP_API_Binance_Rest_Base::GetPriceTicker(const std::string& aSymbol) {
  return DoGet(PathPriceTicker(), aSymbol.empty() ? std::string() : "symbol=" + aSymbol, "");
}

std::string TqmtHTTP_API_Binance_Rest_Base::GetBookTicker(const std::string& aSymbol) {
  return DoGet(PathBookTicker(), aSymbol.empty() ? std::string() : "symbol=" + aSymbol, "");
}

// ---- spot -----------------------------------------------------------------------------------------

std::string TqmtHTTP_API_Binance_Rest::GetBaseURL() {
  const auto& o = BinanceOptions();
  if (o.BinanceUS && o.TestNet) throw Exception(kNotUS);
  if (o.BinanceUS) return BinanceAddress(TqmtBinanceAddress::USRest);
  if (o.TestNet) return BinanceAddress(TqmtBinanceAddress::SpotTestRest);
  return BinanceAddress(TqmtBinanceAddress::SpotRest);
}

std::string TqmtHTTP_API_Binance_Rest::GetAveragePrice(const std::string& aSymbol) {
  return DoGet("/api/v3/avgPrice", "symbol=" + aSymbol, "");
}

std::string TqmtHTTP_API_Binance_Rest::OrderQuery(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide,
                                                  const std::string& aType, const std::string& aTimeInForce,
                                                  long double aQuantity, long double aQuoteOrderQty, long double aPrice,
                                                  const std::string& aNewClientOrderId, long double aStopPrice,
                                                  long double aIcebergQty, const std::string& aNewOrderRespType) {
  std::string q = "symbol=" + aSymbol + "&side=" + OrderSideText(aSide) + "&type=" + aType + "&timestamp=" + GetTimestamp();
  OptText(q, "&timeInForce=", aTimeInForce);
  OptDecimal(q, "&quantity=", aQuantity);
  OptDecimal(q, "&quoteOrderQty=", aQuoteOrderQty);
  OptDecimal(q, "&price=", aPrice);
  OptText(q, "&newClientOrderId=", aNewClientOrderId);
  OptDecimal(q, "&stopPrice=", aStopPrice);
  OptDecimal(q, "&icebergQty=", aIcebergQty);
  OptText(q, "&newOrderRespType=", aNewOrderRespType);
  return q;
}

std::string TqmtHTTP_API_Binance_Rest::NewOrder(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide,
                                                const std::string& aType, const std::string& aTimeInForce,
                                                long double aQuantity, long double aQuoteOrderQty, long double aPrice,
                                                const std::string& aNewClientOrderId, long double aStopPrice,
                                                long double aIcebergQty, const std::string& aNewOrderRespType) {
  return DoPostSigned("/api/v3/order",
                      OrderQuery(aSymbol, aSide, aType, aTimeInForce, aQuantity, aQuoteOrderQty, aPrice,
                                 aNewClientOrderId, aStopPrice, aIcebergQty, aNewOrderRespType),
                      true);
}

std::string TqmtHTTP_API_Binance_Rest::TestNewOrder(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide,
                                                    const std::string& aType, const std::string& aTimeInForce,
                                                    long double aQuantity, long double aQuoteOrderQty, long double aPrice,
                                                    const std::string& aNewClientOrderId, long double aStopPrice,
                                                    long double aIcebergQty, const std::string& aNewOrderRespType) {
  return DoPostSigned("/api/v3/order/test",
                      OrderQuery(aSymbol, aSide, aType, aTimeInForce, aQuantity, aQuoteOrderQty, aPrice,
                                 aNewClientOrderId, aStopPrice, aIcebergQty, aNewOrderRespType),
                      true);
}

std::string TqmtHTTP_API_Binance_Rest::QueryOrder(const std::string& aSymbol, std::int64_t aOrderId,
                                                  const std::string& aOrigClientOrderId) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderId=", aOrderId);
  OptText(q, "&origClientOrderId=", aOrigClientOrderId);
  return DoGetSigned("/api/v3/order", q);
}

std::string TqmtHTTP_API_Binance_Rest::CancelOrder(const std::string& aSymbol, std::int64_t aOrderId,
                                                   const std::string& aOrigClientOrderId) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderId=", aOrderId);
  OptText(q, "&origClientOrderId=", aOrigClientOrderId);
  return DoDeleteSigned("/api/v3/order", q);
}

std::string TqmtHTTP_API_Binance_Rest::CancelReplaceOrder(const std::string& aSymbol, const std::string& aCancelOrigClientOrderId,
                                                          TqmtHTTPBinanceOrderSide aSide, const std::string& aType,
                                                          const std::string& aTimeInForce, long double aQuantity,
                                                          long double aPrice, const std::string& aNewClientOrderId) {
  std::string q = OrderQuery(aSymbol, aSide, aType, aTimeInForce, aQuantity, 0, aPrice, aNewClientOrderId, 0, 0, "RESULT");
  q += "&cancelReplaceMode=STOP_ON_FAILURE&cancelOrigClientOrderId=" + aCancelOrigClientOrderId;
  return DoPostSigned("/api/v3/order/cancelReplace", q, true);
}

std::string TqmtHTTP_API_Binance_Rest::CancelAllOpenOrders(const std::string& aSymbol) {
  return DoDeleteSigned("/api/v3/openOrders", "symbol=" + aSymbol + "&timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Rest::GetOpenOrders(const std::string& aSymbol) {
  std::string q = "timestamp=" + GetTimestamp();
  OptText(q, "&symbol=", aSymbol);
  return DoGetSigned("/api/v3/openOrders", q);
}

std::string TqmtHTTP_API_Binance_Rest::GetAllOrders(const std::string& aSymbol, std::int64_t aOrderId,
                                                    std::int64_t aStartTime, std::int64_t aEndTime, int aLimit) {
  std::string q = "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit) + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderId=", aOrderId);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGetSigned("/api/v3/allOrders", q);
}

std::string TqmtHTTP_API_Binance_Rest::NewOCO(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide,
                                              long double aQuantity, long double aPrice, long double aStopPrice,
                                              const std::string& aListClientOrderId,
                                              const std::string& aLimitClientOrderId, long double aLimitIcebergQty,
                                              const std::string& aStopClientOrderId, long double aStopLimitPrice,
                                              long double aStopIcebergQty, const std::string& aStopLimitTimeInForce,
                                              const std::string& aNewOrderRespType) {
  std::string q = "symbol=" + aSymbol + "&side=" + OrderSideText(aSide) + "&quantity=" + FormatDecimal(aQuantity) +
                  "&price=" + FormatDecimal(aPrice) + "&stopPrice=" + FormatDecimal(aStopPrice) +
                  "&timestamp=" + GetTimestamp();
  OptText(q, "&listClientOrderId=", aListClientOrderId);
  OptText(q, "&limitClientOrderId=", aLimitClientOrderId);
  OptDecimal(q, "&limitIcebergQty=", aLimitIcebergQty);
  OptText(q, "&stopClientOrderId=", aStopClientOrderId);
  OptDecimal(q, "&stopLimitPrice=", aStopLimitPrice);
  OptDecimal(q, "&stopIcebergQty=", aStopIcebergQty);
  OptText(q, "&stopLimitTimeInForce=", aStopLimitTimeInForce);
  OptText(q, "&newOrderRespType=", aNewOrderRespType);
  return DoPostSigned("/api/v3/order/oco", q, true);
}

std::string TqmtHTTP_API_Binance_Rest::CancelOCO(const std::string& aSymbol, std::int64_t aOrderListId,
                                                 const std::string& aListClientOrderId,
                                                 const std::string& aNewClientOrderId) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderListId=", aOrderListId);
  OptText(q, "&listClientOrderId=", aListClientOrderId);
  OptText(q, "&newClientOrderId=", aNewClientOrderId);
  return DoDeleteSigned("/api/v3/orderList", q);
}

std::string TqmtHTTP_API_Binance_Rest::QueryOCO(const std::string& aSymbol, std::int64_t aOrderListId,
                                                const std::string& aOrigClientOrderId) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderListId=", aOrderListId);
  OptText(q, "&origClientOrderId=", aOrigClientOrderId);
  return DoGetSigned("/api/v3/orderList", q);
}

std::string TqmtHTTP_API_Binance_Rest::GetAllOCO(std::int64_t aFromId, std::int64_t aStartTime, std::int64_t aEndTime,
                                                 int aLimit) {
  std::string q = "limit=" + std::to_string(aLimit) + "&timestamp=" + GetTimestamp();
  OptId(q, "&fromId=", aFromId);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGetSigned("/api/v3/allOrderList", q);
}

std::string TqmtHTTP_API_Binance_Rest::GetOpenOCO() {
  return DoGetSigned("/api/v3/openOrderList", "timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Rest::GetAccountInformation() {
  return DoGetSigned("/api/v3/account", "timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Rest::GetAccountTradeList(const std::string& aSymbol, std::int64_t aStartTime,
                                                           std::int64_t aEndTime, std::int64_t aFromId, int aLimit) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp() + "&limit=" + std::to_string(aLimit);
  OptId(q, "&fromId=", aFromId);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGetSigned("/api/v3/myTrades", q);
}

std::string NewClientOrderId() {
  // "qmt" and 29 hexadecimal digits: unique, and within the exchange's 36 characters of [.A-Za-z0-9:/_-].
  return "qmt" + NewGuidText().substr(0, 29);
}

std::string TqmtHTTP_API_Binance_Rest::PlaceMarketOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol,
                                                        long double aQuantity, const std::string& aClientOrderId) {
  return NewOrder(aSymbol, aSide, "MARKET", "", aQuantity, 0, 0, OrDefault(aClientOrderId), 0, 0, "");
}

std::string TqmtHTTP_API_Binance_Rest::PlaceLimitOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol,
                                                       long double aQuantity, long double aLimitPrice,
                                                       const std::string& aClientOrderId) {
  return NewOrder(aSymbol, aSide, "LIMIT", "GTC", aQuantity, 0, aLimitPrice, OrDefault(aClientOrderId), 0, 0, "");
}

std::string TqmtHTTP_API_Binance_Rest::PlaceStopOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol,
                                                      long double aQuantity, long double aStopPrice, long double aLimitPrice,
                                                      const std::string& aClientOrderId) {
  const std::string lId = OrDefault(aClientOrderId);
  if (aLimitPrice > 0) return NewOrder(aSymbol, aSide, "STOP_LOSS_LIMIT", "GTC", aQuantity, 0, aLimitPrice, lId, aStopPrice, 0, "");
  return NewOrder(aSymbol, aSide, "STOP_LOSS", "", aQuantity, 0, 0, lId, aStopPrice, 0, "");
}

// ---- futures --------------------------------------------------------------------------------------

std::string TqmtHTTP_API_Binance_Futures_Rest::GetBaseURL() {
  const auto& o = BinanceOptions();
  if (o.BinanceUS) throw Exception(kNotUS);
  if (Coin())
    return (o.TestNet ? BinanceAddress(TqmtBinanceAddress::FuturesTestRest) : BinanceAddress(TqmtBinanceAddress::FuturesCOINRest)) + "/dapi";
  return (o.TestNet ? BinanceAddress(TqmtBinanceAddress::FuturesUSDTTestRest) : BinanceAddress(TqmtBinanceAddress::FuturesUSDTRest)) + "/fapi";
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetMarkPrice(const std::string& aSymbol) {
  return DoGet("/v1/premiumIndex", aSymbol.empty() ? std::string() : "symbol=" + aSymbol, "");
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetFundingRateHistory(const std::string& aSymbol, std::int64_t aStartTime,
                                                                     std::int64_t aEndTime, int aLimit) {
  std::string q = "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGet("/v1/fundingRate", q, "");
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetOpenInterest(const std::string& aSymbol) {
  return DoGet("/v1/openInterest", aSymbol.empty() ? std::string() : "symbol=" + aSymbol, "");
}

std::string TqmtHTTP_API_Binance_Futures_Rest::Statistics(const char* aPath, const std::string& aSymbol,
                                                          TqmtHTTPBinanceFutOpenInterestPeriods aPeriod, int aLimit,
                                                          std::int64_t aStartTime, std::int64_t aEndTime) {
  std::string q = "symbol=" + aSymbol + "&period=" + OpenInterestPeriodText(aPeriod) + "&limit=" + std::to_string(aLimit);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGet(aPath, q, "");
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetOpenInterestStatistics(const std::string& s, TqmtHTTPBinanceFutOpenInterestPeriods p, int l, std::int64_t a, std::int64_t b) {
  return Statistics("/futures/data/openInterestHist", s, p, l, a, b);
}
std::string TqmtHTTP_API_Binance_Futures_Rest::GetTopTraderAccountRatio(const std::string& s, TqmtHTTPBinanceFutOpenInterestPeriods p, int l, std::int64_t a, std::int64_t b) {
  return Statistics("/futures/data/topLongShortAccountRatio", s, p, l, a, b);
}
std::string TqmtHTTP_API_Binance_Futures_Rest::GetTopTraderPositionRatio(const std::string& s, TqmtHTTPBinanceFutOpenInterestPeriods p, int l, std::int64_t a, std::int64_t b) {
  return Statistics("/futures/data/topLongShortPositionRatio", s, p, l, a, b);
}
std::string TqmtHTTP_API_Binance_Futures_Rest::GetGlobalAccountRatio(const std::string& s, TqmtHTTPBinanceFutOpenInterestPeriods p, int l, std::int64_t a, std::int64_t b) {
  return Statistics("/futures/data/globalLongShortAccountRatio", s, p, l, a, b);
}
std::string TqmtHTTP_API_Binance_Futures_Rest::GetTakerVolume(const std::string& s, TqmtHTTPBinanceFutOpenInterestPeriods p, int l, std::int64_t a, std::int64_t b) {
  return Statistics("/futures/data/takerlongshortRatio", s, p, l, a, b);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::ChangePositionMode(bool aDualPosition) {
  return DoGetSigned("/v1/positionSide/dual",
                     std::string("dualSidePosition=") + (aDualPosition ? "true" : "false") + "&timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetCurrentPositionMode() {
  return DoGetSigned("/v1/positionSide/dual", "timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::NewOrder(
    const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide, const std::string& aPositionSide, const std::string& aType,
    const std::string& aTimeInForce, long double aQuantity, const std::string& aReduceOnly, long double aPrice,
    const std::string& aNewClientOrderId, long double aStopPrice, const std::string& aClosePosition,
    long double aActivationPrice, long double aCallbackRate, const std::string& aWorkingType,
    const std::string& aNewOrderRespType) {
  std::string q = "symbol=" + aSymbol + "&side=" + OrderSideText(aSide) + "&type=" + aType + "&timestamp=" + GetTimestamp();
  OptText(q, "&positionSide=", aPositionSide);
  OptText(q, "&timeInForce=", aTimeInForce);
  OptDecimal(q, "&quantity=", aQuantity);
  OptText(q, "&reduceOnly=", aReduceOnly);
  OptDecimal(q, "&price=", aPrice);
  OptText(q, "&newClientOrderId=", aNewClientOrderId);
  OptDecimal(q, "&stopPrice=", aStopPrice);
  OptText(q, "&closePosition=", aClosePosition);
  OptDecimal(q, "&activationPrice=", aActivationPrice);
  OptDecimal(q, "&callbackRate=", aCallbackRate);
  OptText(q, "&workingType=", aWorkingType);
  OptText(q, "&newOrderRespType=", aNewOrderRespType);
  return DoPostSigned("/v1/order", q, true);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::QueryOrder(const std::string& aSymbol, std::int64_t aOrderId,
                                                          const std::string& aOrigClientOrderId) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderId=", aOrderId);
  OptText(q, "&origClientOrderId=", aOrigClientOrderId);
  return DoGetSigned("/v1/order", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::CancelOrder(const std::string& aSymbol, std::int64_t aOrderId,
                                                           const std::string& aOrigClientOrderId) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderId=", aOrderId);
  OptText(q, "&origClientOrderId=", aOrigClientOrderId);
  return DoDeleteSigned("/v1/order", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::ModifyOrder(const std::string& aSymbol, const std::string& aOrigClientOrderId,
                                                           TqmtHTTPBinanceOrderSide aSide, long double aQuantity, long double aPrice) {
  std::string q = "symbol=" + aSymbol + "&origClientOrderId=" + aOrigClientOrderId + "&side=" + OrderSideText(aSide) +
                  "&timestamp=" + GetTimestamp();
  OptDecimal(q, "&quantity=", aQuantity);
  OptDecimal(q, "&price=", aPrice);
  return DoPutSigned("/v1/order", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::NewAlgoOrder(const std::string& aSymbol, TqmtHTTPBinanceOrderSide aSide,
                                                            const std::string& aPositionSide, const std::string& aType,
                                                            long double aQuantity, long double aTriggerPrice, long double aPrice,
                                                            long double aCallbackRate, const std::string& aClientAlgoId,
                                                            const std::string& aTimeInForce, const std::string& aReduceOnly) {
  std::string q = "algoType=CONDITIONAL&symbol=" + aSymbol + "&side=" + OrderSideText(aSide) + "&type=" + aType +
                  "&timestamp=" + GetTimestamp();
  OptText(q, "&positionSide=", aPositionSide);
  OptDecimal(q, "&quantity=", aQuantity);
  if (aType == "TRAILING_STOP_MARKET") {
    OptDecimal(q, "&activatePrice=", aTriggerPrice);
    OptDecimal(q, "&callbackRate=", aCallbackRate);
  } else {
    OptDecimal(q, "&triggerPrice=", aTriggerPrice);
  }
  if (aPrice != 0) q += "&timeInForce=" + (aTimeInForce.empty() ? std::string("GTC") : aTimeInForce) + "&price=" + FormatDecimal(aPrice);
  OptText(q, "&reduceOnly=", aReduceOnly);
  OptText(q, "&clientAlgoId=", aClientAlgoId);
  return DoPostSigned("/v1/algoOrder", q, true);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::QueryAlgoOrder(const std::string& aClientAlgoId) {
  return DoGetSigned("/v1/algoOrder", "clientAlgoId=" + aClientAlgoId + "&timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::CancelAlgoOrder(const std::string& aClientAlgoId) {
  return DoDeleteSigned("/v1/algoOrder", "clientAlgoId=" + aClientAlgoId + "&timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::CancelAllAlgoOpenOrders(const std::string& aSymbol) {
  return DoDeleteSigned("/v1/algoOpenOrders", "symbol=" + aSymbol + "&timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetOpenAlgoOrders(const std::string& aSymbol) {
  std::string q = "timestamp=" + GetTimestamp();
  OptText(q, "&symbol=", aSymbol);
  return DoGetSigned("/v1/openAlgoOrders", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::CancelAllOpenOrders(const std::string& aSymbol) {
  return DoDeleteSigned("/v1/allOpenOrders", "symbol=" + aSymbol + "&timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::AutoCancelAllOpenOrders(const std::string& aSymbol, std::int64_t aCountdownTime) {
  return DoPostSigned("/v1/allOpenOrders",
                      "symbol=" + aSymbol + "&countdownTime=" + std::to_string(aCountdownTime) + "&timestamp=" + GetTimestamp(),
                      false);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::QueryCurrentOpenOrder(const std::string& aSymbol, std::int64_t aOrderId,
                                                                     const std::string& aOrigClientOrderId) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderId=", aOrderId);
  OptText(q, "&origClientOrderId=", aOrigClientOrderId);
  return DoGetSigned("/v1/openOrder", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetOpenOrders(const std::string& aSymbol) {
  std::string q = "timestamp=" + GetTimestamp();
  OptText(q, "&symbol=", aSymbol);
  return DoGetSigned("/v1/openOrders", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetAllOrders(const std::string& aSymbol, std::int64_t aOrderId,
                                                            std::int64_t aStartTime, std::int64_t aEndTime, int aLimit) {
  std::string q = "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit) + "&timestamp=" + GetTimestamp();
  OptId(q, "&orderId=", aOrderId);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGetSigned("/v1/allOrders", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetAccountBalance() {
  return DoGetSigned(Coin() ? "/v1/balance" : "/v2/balance", "timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetAccountInformation() {
  return DoGetSigned(Coin() ? "/v1/account" : "/v2/account", "timestamp=" + GetTimestamp());
}

std::string TqmtHTTP_API_Binance_Futures_Rest::ChangeInitialLeverage(const std::string& aSymbol, int aLeverage) {
  return DoPostSigned("/v1/leverage", "symbol=" + aSymbol + "&leverage=" + std::to_string(aLeverage) + "&timestamp=" + GetTimestamp(), true);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::ChangeMarginType(const std::string& aSymbol, const std::string& aMarginType) {
  return DoPostSigned("/v1/marginType", "symbol=" + aSymbol + "&marginType=" + aMarginType + "&timestamp=" + GetTimestamp(), true);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::ModifyIsolatedPositionMargin(const std::string& aSymbol, long double aAmount,
                                                                            int aType, const std::string& aPositionSide) {
  std::string q = "symbol=" + aSymbol + "&amount=" + FormatDecimal(aAmount) + "&type=" + std::to_string(aType) +
                  "&timestamp=" + GetTimestamp();
  OptText(q, "&positionSide=", aPositionSide);
  return DoPostSigned("/v1/positionMargin", q, false);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetPositionMarginChangeHistory(const std::string& aSymbol, int aType,
                                                                              std::int64_t aStartTime, std::int64_t aEndTime,
                                                                              int aLimit) {
  std::string q = "symbol=" + aSymbol + "&limit=" + std::to_string(aLimit) + "&timestamp=" + GetTimestamp();
  if (aType != 0) q += "&type=" + std::to_string(aType);
  if (aStartTime != 0) q += "&startTime=" + std::to_string(aStartTime);
  if (aEndTime != 0) q += "&endTime=" + std::to_string(aEndTime);
  return DoGetSigned("/v1/positionMargin/history", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetPositionInformation(const std::string& aSymbol) {
  std::string q = "timestamp=" + GetTimestamp();
  OptText(q, "&symbol=", aSymbol);
  return DoGetSigned(Coin() ? "/v1/positionRisk" : "/v2/positionRisk", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetAccountTradeList(const std::string& aSymbol, std::int64_t aStartTime,
                                                                   std::int64_t aEndTime, std::int64_t aFromId, int aLimit) {
  std::string q = "symbol=" + aSymbol + "&timestamp=" + GetTimestamp() + "&limit=" + std::to_string(aLimit);
  OptId(q, "&fromId=", aFromId);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGetSigned("/v1/userTrades", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetIncomeHistory(const std::string& aSymbol, const std::string& aIncomeType,
                                                                std::int64_t aStartTime, std::int64_t aEndTime, int aLimit) {
  std::string q = "timestamp=" + GetTimestamp() + "&limit=" + std::to_string(aLimit);
  OptText(q, "&symbol=", aSymbol);
  OptText(q, "&incomeType=", aIncomeType);
  OptId(q, "&startTime=", aStartTime);
  OptId(q, "&endTime=", aEndTime);
  return DoGetSigned("/v1/income", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::GetNotionalLeverageBracket(const std::string& aSymbol) {
  std::string q = "timestamp=" + GetTimestamp();
  OptText(q, "&symbol=", aSymbol);
  return DoGetSigned("/v1/leverageBracket", q);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::PlaceMarketOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol,
                                                                long double aQuantity, const std::string& aClientOrderId) {
  return NewOrder(aSymbol, aSide, "BOTH", "MARKET", "", aQuantity, "", 0, OrDefault(aClientOrderId), 0, "", 0, 0, "", "");
}

std::string TqmtHTTP_API_Binance_Futures_Rest::PlaceLimitOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol,
                                                               long double aQuantity, long double aLimitPrice,
                                                               const std::string& aClientOrderId) {
  return NewOrder(aSymbol, aSide, "BOTH", "LIMIT", "GTC", aQuantity, "false", aLimitPrice, OrDefault(aClientOrderId), 0, "", 0,
                  0, "", "");
}

std::string TqmtHTTP_API_Binance_Futures_Rest::PlaceStopOrder(TqmtHTTPBinanceOrderSide aSide, const std::string& aSymbol,
                                                              long double aQuantity, long double aStopPrice,
                                                              long double aLimitPrice, const std::string& aClientOrderId) {
  // Conditional orders go to the Algo Order API: /order refuses them (-4120) since 2025-12.
  const std::string lId = OrDefault(aClientOrderId);
  if (aLimitPrice > 0) return NewAlgoOrder(aSymbol, aSide, "BOTH", "STOP", aQuantity, aStopPrice, aLimitPrice, 0, lId);
  return NewAlgoOrder(aSymbol, aSide, "BOTH", "STOP_MARKET", aQuantity, aStopPrice, 0, 0, lId);
}

std::string TqmtHTTP_API_Binance_Futures_Rest::PlaceTrailingStopOrder(TqmtHTTPBinanceOrderSide aSide,
                                                                      const std::string& aSymbol, long double aQuantity,
                                                                      long double aActivationPrice, long double aCallbackRate,
                                                                      const std::string& aClientOrderId) {
  return NewAlgoOrder(aSymbol, aSide, "BOTH", "TRAILING_STOP_MARKET", aQuantity, aActivationPrice, 0, aCallbackRate,
                      OrDefault(aClientOrderId));
}
