#include "qmtTraderClient_Binance.h"

#include <cstdio>
#include <cctype>
#include <algorithm>
#include <chrono>
#include <thread>

#include "qmtBase_Helpers.h"
#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Fills.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderData_Ticker.h"
#include "qmtTraderHelpers.h"
#include "qmtTraderMarketData_Binance.h"

namespace {

std::string Lower(const std::string& aText) {
  std::string lText = aText;
  for (char& c : lText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lText;
}

TqmtHTTPBinanceOrderSide Side(TqmtTraderOrderSide aSide) {
  return aSide == TqmtTraderOrderSide::stosBuy ? TqmtHTTPBinanceOrderSide::bosBuy : TqmtHTTPBinanceOrderSide::bosSell;
}

std::string_view Text(const TqmtObjectJSON* aMember) { return aMember ? aMember->ValueView() : std::string_view(); }

// Sets a number field when the member is present.
template <typename Setter>
void Number(const TqmtObjectJSON* aMember, Setter aSet) {
  if (aMember) aSet(TraderStrToFloat(aMember->ValueView()));
}

std::mutex gClientLock;
std::unique_ptr<TqmtTraderClient_Binance> gClient;

}  // namespace

TqmtTraderClient_Binance& GetTraderClientBinance() {
  static std::once_flag sShutdownOnce;
  // The tables' shutdown destroys this client first, whatever order a program frees them in.
  std::call_once(sShutdownOnce, [] { AddTraderDataShutdown(&FreeTraderClientBinance); });
  std::lock_guard g(gClientLock);
  if (!gClient) {
    gClient = std::make_unique<TqmtTraderClient_Binance>();
    gClient->RegisterTraderClient();
  }
  return *gClient;
}

void FreeTraderClientBinance() {
  std::unique_ptr<TqmtTraderClient_Binance> lClient;
  {
    std::lock_guard g(gClientLock);
    lClient.swap(gClient);
  }
}

TqmtTraderClient_Binance::~TqmtTraderClient_Binance() {
  // The command queue first (it drives the wrappers), then the streams, then the futures wrapper,
  // then the spot wrapper. The books' and the history's workers before all of them.
  FBooks.Stop();
  FHistory.Stop();
  FKlineAlive.reset();
  StopCommands();
  StopAccountWorker(false);
  try {
    Disconnect();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmtTrader: disconnecting at exit: %s\n", e.what());
  }
  DropRoutes();
  FClient_Futures.reset();
  FClient.reset();
  FPositionREST.reset();
}

TqmtWSAPI_Binance& TqmtTraderClient_Binance::Client() {
  if (!FClient) {
    FClient = std::make_unique<TqmtWSAPI_Binance>();
    FClient->OnBinanceHTTPException = [this](TObject* s, const std::exception& e) { DoBinanceHTTPException(s, e); };
  }
  return *FClient;
}

TqmtWSAPI_Binance_Futures& TqmtTraderClient_Binance::Client_Futures() {
  if (!FClient_Futures) {
    FClient_Futures = std::make_unique<TqmtWSAPI_Binance_Futures>();
    FClient_Futures->OnBinanceHTTPException = [this](TObject* s, const std::exception& e) { DoBinanceHTTPException(s, e); };
  }
  return *FClient_Futures;
}

void TqmtTraderClient_Binance::DoBinanceHTTPException(TObject*, const std::exception& E) {
  // What says nothing of what the exchange did with a request that left: no answer after sending,
  // a 408 or a 5xx, or the exchange's own "execution status unknown" codes.
  const auto* lHTTP = dynamic_cast<const EIdHTTPProtocolException*>(&E);
  bool lUnknown = dynamic_cast<const EIdRequestUnanswered*>(&E) != nullptr || dynamic_cast<const EIdReadTimeout*>(&E) != nullptr;
  if (lHTTP) {
    const std::string& lBody = lHTTP->ErrorMessage();
    lUnknown = lHTTP->ErrorCode() == 408 || lHTTP->ErrorCode() >= 500 || lBody.find("\"code\":-1007") != std::string::npos ||
               lBody.find("\"code\":-1006") != std::string::npos;
  }
  throw TqmtTradeBarException(E.what(), lUnknown);
}

namespace {

std::string Decimal(long double aValue) { return TqmtHTTP_API_Binance::FormatDecimal(aValue); }

// The status an order's answer names (an algo order's "algoStatus"), "" when none.
template <typename TNode>
std::string AnswerStatus(const TNode* aResult) {
  if (!aResult) return std::string();
  if (const TqmtObjectJSON* s = aResult->Find("status")) return std::string(s->ValueView());
  if (const TqmtObjectJSON* s = aResult->Find("algoStatus")) return std::string(s->ValueView());
  // A cancel-replace: the new order's.
  if (const auto* n = aResult->Find("newOrderResponse")) return AnswerStatus(n);
  return std::string();
}

// The exchange's refusal in words: "-2010 Account has insufficient balance for requested action."
std::string RefusalText(int aCode, const std::string& aMessage) {
  std::string lText = std::to_string(aCode) + " " + aMessage;
  if (aCode == -1021) lText = "refused as late, not executed (" + lText + ")";
  return lText;
}

bool UnknownCode(int aCode) { return aCode == -1006 || aCode == -1007; }

}  // namespace

TqmtWSAPI_Binance_Requests* TqmtTraderClient_Binance::OrderChannel() const {
  if (FClient && FUser.API && FUser.API->Up()) return FUser.API.get();
  if (FClient_Futures && FOrders.API && FOrders.API->Up()) return FOrders.API.get();
  return nullptr;
}

TqmtTraderExecution TqmtTraderClient_Binance::OverWebSocket(TqmtWSAPI_Binance_Requests& aApi, const std::string& aMethod,
                                                            std::vector<TqmtWSAPIParam> aParams, bool aAlgo) {
  TqmtTraderExecution e;
  e.Algo = aAlgo;
  const TqmtWSAPIAnswer a = aApi.Request(aMethod, std::move(aParams), true, OrderTimeoutMs);
  if (!a.Sent) {
    e.Outcome = TqmtTraderOutcome::tocRefused;
    e.Message = "not sent: " + a.Why;
    // No open connection: REST may carry it. A ban by the exchange counts for REST as well.
    e.Unsent = aApi.BannedForMs() == 0;
    return e;
  }
  if (!a.Answered) {
    e.Outcome = TqmtTraderOutcome::tocUnknown;
    e.Message = a.Why;
    return e;
  }
  TqmtJSON lDocument;
  try {
    lDocument.Read(a.Text);
  } catch (const std::exception&) {
  }
  if (a.Status == 200) {
    e.Outcome = TqmtTraderOutcome::tocAccepted;
    e.Status = AnswerStatus(lDocument.Find("result"));
    return e;
  }
  int lCode = 0;
  std::string lMessage;
  if (const TqmtObjectJSON* lError = lDocument.Find("error")) {
    if (const TqmtObjectJSON* c = lError->Find("code")) lCode = static_cast<int>(TraderStrToFloat(c->ValueView()));
    if (const TqmtObjectJSON* m = lError->Find("msg")) lMessage = std::string(m->ValueView());
  }
  const bool lUnknown = a.Status == 408 || a.Status >= 500 || UnknownCode(lCode);
  e.Outcome = lUnknown ? TqmtTraderOutcome::tocUnknown : TqmtTraderOutcome::tocRefused;
  e.Message = lCode ? RefusalText(lCode, lMessage) : "status " + std::to_string(a.Status) + ": " + a.Text;
  if (lUnknown) e.Message = "status " + std::to_string(a.Status) + ": " + e.Message;
  if (lCode == -1021) {
    // The clock is measured again for the next request (the refused one stays refused).
    if (FClient) FUserClock.SyncServerTime();
    if (FClient_Futures) FOrdersClock.SyncServerTime();
  }
  return e;
}

TqmtTraderExecution TqmtTraderClient_Binance::OverREST(const std::function<std::string()>& aSend, bool aAlgo) {
  TqmtTraderExecution e;
  e.Algo = aAlgo;
  try {
    if (FClient) FClient->REST_API().RetryLateTimestamp = false;
    if (FClient_Futures) FClient_Futures->REST_API().RetryLateTimestamp = false;
    const std::string lAnswer = aSend();
    e.Outcome = TqmtTraderOutcome::tocAccepted;
    TqmtJSON lDocument;
    try {
      lDocument.Read(lAnswer);
      e.Status = AnswerStatus(&lDocument);
    } catch (const std::exception&) {
    }
  } catch (const TqmtTradeBarException& x) {
    e.Outcome = x.OutcomeUnknown() ? TqmtTraderOutcome::tocUnknown : TqmtTraderOutcome::tocRefused;
    e.Message = x.what();
    if (std::string(x.what()).find("\"code\":-1021") != std::string::npos) e.Message = "refused as late, not executed: " + e.Message;
  } catch (const std::exception& x) {
    e.Outcome = TqmtTraderOutcome::tocRefused;
    e.Message = x.what();
  }
  return e;
}

namespace {

// How the exchange names a request: its order type, time in force and whether it is a futures
// conditional order (the Algo Order API). False with the reason for what the market does not take.
struct TWireOrder {
  std::string Type, TimeInForce;
  bool Algo = false;
};

bool WireOrder(const TqmtTraderOrderRequest& r, bool aFutures, TWireOrder& w, std::string& aWhy) {
  using T = TqmtTraderOrderType;
  const bool lLimit = TraderOrderHasLimit(r.Type);
  const std::string lTif = r.TimeInForce.empty() ? "GTC" : r.TimeInForce;
  if (lTif != "GTC" && lTif != "IOC" && lTif != "FOK") return aWhy = "time in force " + lTif + " is not GTC, IOC or FOK", false;
  if (!lLimit && lTif != "GTC") return aWhy = "time in force " + lTif + " is for orders with a limit price", false;
  if (r.PostOnly && r.Type != T::totLimit) return aWhy = "post-only is for limit orders", false;
  if (r.PostOnly && lTif != "GTC") return aWhy = "a post-only order rests on the book: IOC and FOK would not", false;
  if (!aFutures && r.ReduceOnly) return aWhy = "reduce-only is for futures orders", false;
  if (r.Type == T::totTrailingStop && !aFutures) return aWhy = "trailing stops are for futures orders here", false;
  if (r.Type == T::totTrailingStop && !(r.CallbackRate > 0)) return aWhy = "a trailing stop needs its callback rate (percent)", false;
  w.Algo = aFutures && TraderOrderHasTrigger(r.Type);
  if (lLimit) w.TimeInForce = lTif;
  switch (r.Type) {
    case T::totMarket: w.Type = "MARKET"; break;
    case T::totLimit:
      w.Type = r.PostOnly && !aFutures ? "LIMIT_MAKER" : "LIMIT";
      // Spot's maker-only type takes no time in force; the futures' post-only is one (GTX).
      if (r.PostOnly) w.TimeInForce = aFutures ? "GTX" : "";
      break;
    case T::totStop: w.Type = aFutures ? "STOP_MARKET" : "STOP_LOSS"; break;
    case T::totStopLimit: w.Type = aFutures ? "STOP" : "STOP_LOSS_LIMIT"; break;
    case T::totTakeProfit: w.Type = aFutures ? "TAKE_PROFIT_MARKET" : "TAKE_PROFIT"; break;
    case T::totTakeProfitLimit: w.Type = aFutures ? "TAKE_PROFIT" : "TAKE_PROFIT_LIMIT"; break;
    case T::totTrailingStop: w.Type = "TRAILING_STOP_MARKET"; break;
  }
  return true;
}

}  // namespace

TqmtTraderExecution TqmtTraderClient_Binance::ExecuteOrder(const TqmtTraderOrderRequest& r) {
  TqmtTraderExecution lNone;
  lNone.Message = "not signed in";
  if (!FClient && !FClient_Futures) return lNone;
  TWireOrder w;
  if (!WireOrder(r, FClient_Futures != nullptr, w, lNone.Message)) return lNone;
  const bool lLimit = TraderOrderHasLimit(r.Type), lTrailing = r.Type == TqmtTraderOrderType::totTrailingStop;
  const bool lTrigger = TraderOrderHasTrigger(r.Type);
  const TqmtHTTPBinanceOrderSide lSide = Side(r.Side);
  if (TqmtWSAPI_Binance_Requests* lApi = OrderChannel()) {
    std::vector<TqmtWSAPIParam> p = {{"symbol", r.Symbol}, {"side", OrderSideText(lSide)}, {"quantity", Decimal(r.Size)}};
    if (lLimit) p.push_back({"price", Decimal(r.Price)});
    if (!w.TimeInForce.empty()) p.push_back({"timeInForce", w.TimeInForce});
    std::string lMethod = "order.place";
    if (FClient) {
      p.push_back({"type", w.Type});
      if (lTrigger) p.push_back({"stopPrice", Decimal(r.StopPrice)});
      p.push_back({"newClientOrderId", r.ClientOrderId});
      p.push_back({"newOrderRespType", "RESULT"});
    } else if (w.Algo) {
      lMethod = "algoOrder.place";
      p.push_back({"algoType", "CONDITIONAL"});
      p.push_back({"type", w.Type});
      if (lTrailing) {
        if (r.StopPrice > 0) p.push_back({"activatePrice", Decimal(r.StopPrice)});
        p.push_back({"callbackRate", Decimal(r.CallbackRate)});
      } else {
        p.push_back({"triggerPrice", Decimal(r.StopPrice)});
      }
      p.push_back({"positionSide", "BOTH"});
      if (r.ReduceOnly) p.push_back({"reduceOnly", "true"});
      p.push_back({"clientAlgoId", r.ClientOrderId});
    } else {
      p.push_back({"type", w.Type});
      p.push_back({"positionSide", "BOTH"});
      if (r.ReduceOnly) p.push_back({"reduceOnly", "true"});
      p.push_back({"newClientOrderId", r.ClientOrderId});
      p.push_back({"newOrderRespType", "RESULT"});
    }
    TqmtTraderExecution e = OverWebSocket(*lApi, lMethod, std::move(p), w.Algo);
    // A request that never left (the connection went down just now) goes over REST instead.
    if (!e.Unsent) return e;
  }
  return OverREST(
      [&]() -> std::string {
        const long double lPrice = lLimit ? r.Price : 0, lStop = lTrigger ? r.StopPrice : 0;
        if (FClient)
          return FClient->REST_API().NewOrder(r.Symbol, lSide, w.Type, w.TimeInForce, r.Size, 0, lPrice, r.ClientOrderId, lStop, 0,
                                              "RESULT");
        const std::string lReduce = r.ReduceOnly ? "true" : "";
        if (w.Algo)
          return FClient_Futures->REST_API().NewAlgoOrder(r.Symbol, lSide, "BOTH", w.Type, r.Size, lStop, lPrice, r.CallbackRate,
                                                          r.ClientOrderId, w.TimeInForce, lReduce);
        return FClient_Futures->REST_API().NewOrder(r.Symbol, lSide, "BOTH", w.Type, w.TimeInForce, r.Size, lReduce, lPrice,
                                                    r.ClientOrderId, 0, "", 0, 0, "", "RESULT");
      },
      w.Algo);
}

TqmtTraderExecution TqmtTraderClient_Binance::ExecuteModify(const TqmtTraderOrderRequest& r) {
  TqmtTraderExecution lNone;
  lNone.Message = "not signed in";
  if (!FClient && !FClient_Futures) return lNone;
  if (r.Type != TqmtTraderOrderType::totLimit) return lNone.Message = "only limit orders can be changed", lNone;
  if (r.Replaces.empty()) return lNone.Message = "no order named to change", lNone;
  const TqmtHTTPBinanceOrderSide lSide = Side(r.Side);
  // Futures change the order in place (it keeps its ids, loses its queue place); spot has no such
  // request: the order is cancelled and the new one placed only if that cancel succeeded.
  const std::string lWay = FClient_Futures ? "modify" : "cancel-replace";
  const std::string lType = FClient && r.PostOnly ? "LIMIT_MAKER" : "LIMIT";
  const std::string lTif = FClient && r.PostOnly ? "" : r.TimeInForce.empty() ? "GTC" : r.TimeInForce;
  TqmtTraderExecution e;
  e.Unsent = true;
  if (TqmtWSAPI_Binance_Requests* lApi = OrderChannel()) {
    std::vector<TqmtWSAPIParam> p = {{"symbol", r.Symbol}, {"side", OrderSideText(lSide)}, {"quantity", Decimal(r.Size)},
                                     {"price", Decimal(r.Price)}};
    if (FClient_Futures) {
      p.push_back({"origClientOrderId", r.Replaces});
      e = OverWebSocket(*lApi, "order.modify", std::move(p), false);
    } else {
      p.push_back({"cancelReplaceMode", "STOP_ON_FAILURE"});
      p.push_back({"cancelOrigClientOrderId", r.Replaces});
      p.push_back({"type", lType});
      if (!lTif.empty()) p.push_back({"timeInForce", lTif});
      p.push_back({"newClientOrderId", r.ClientOrderId});
      p.push_back({"newOrderRespType", "RESULT"});
      e = OverWebSocket(*lApi, "order.cancelReplace", std::move(p), false);
    }
  }
  if (e.Unsent)
    e = OverREST(
        [&]() -> std::string {
          if (FClient_Futures) return FClient_Futures->REST_API().ModifyOrder(r.Symbol, r.Replaces, lSide, r.Size, r.Price);
          return FClient->REST_API().CancelReplaceOrder(r.Symbol, r.Replaces, lSide, lType, lTif, r.Size, r.Price, r.ClientOrderId);
        },
        false);
  e.Way = lWay;
  // Spot's cancel went through but the new order did not: the order is gone, and the user must know.
  if (e.Outcome == TqmtTraderOutcome::tocRefused && e.Message.find("-2021") != std::string::npos)
    e.Message += " (the order " + r.Replaces + " is cancelled; its replacement was not placed)";
  return e;
}

TqmtTraderExecution TqmtTraderClient_Binance::ExecuteCancel(const std::string& aSymbol, const std::string& aClientOrderId) {
  TqmtTraderExecution lNone;
  lNone.Message = "not signed in";
  if (!FClient && !FClient_Futures) return lNone;
  TqmtTraderExecution e;
  if (TqmtWSAPI_Binance_Requests* lApi = OrderChannel()) {
    e = OverWebSocket(*lApi, "order.cancel", {{"symbol", aSymbol}, {"origClientOrderId", aClientOrderId}}, false);
    // A conditional order of the futures lives in the Algo Order API under its client algo id.
    if (FClient_Futures && e.Outcome == TqmtTraderOutcome::tocRefused &&
        (e.Message.rfind("-2011", 0) == 0 || e.Message.rfind("-2013", 0) == 0))
      e = OverWebSocket(*lApi, "algoOrder.cancel", {{"clientAlgoId", aClientOrderId}}, true);
    if (!e.Unsent) return e;
  }
  return OverREST(
      [&]() -> std::string {
        if (FClient) return FClient->REST_API().CancelOrder(aSymbol, 0, aClientOrderId);
        try {
          return FClient_Futures->REST_API().CancelOrder(aSymbol, 0, aClientOrderId);
        } catch (const TqmtTradeBarException& x) {
          const std::string lWhy = x.what();
          if (lWhy.find("-2011") == std::string::npos && lWhy.find("-2013") == std::string::npos) throw;
          return FClient_Futures->REST_API().CancelAlgoOrder(aClientOrderId);
        }
      },
      false);
}

TqmtTraderExecution TqmtTraderClient_Binance::ExecuteCancelAll(const std::string& aSymbol) {
  TqmtTraderExecution lNone;
  lNone.Message = "not signed in";
  if (!FClient && !FClient_Futures) return lNone;
  if (FClient && FUser.API && FUser.API->Up()) {
    TqmtTraderExecution e = OverWebSocket(*FUser.API, "openOrders.cancelAll", {{"symbol", aSymbol}}, false);
    // With nothing open the exchange answers -2011: nothing was left to cancel.
    if (e.Outcome == TqmtTraderOutcome::tocRefused && e.Message.rfind("-2011", 0) == 0) {
      e.Outcome = TqmtTraderOutcome::tocAccepted;
      e.Status = "NONE OPEN";
      e.Message.clear();
    }
    if (!e.Unsent) return e;
  }
  // The futures WebSocket API has no cancel-all: REST, plain and conditional orders apart.
  TqmtTraderExecution e = OverREST(
      [&]() -> std::string {
        if (FClient) {
          try {
            return FClient->REST_API().CancelAllOpenOrders(aSymbol);
          } catch (const TqmtTradeBarException& x) {
            if (std::string(x.what()).find("-2011") == std::string::npos) throw;
            return "{\"status\":\"NONE OPEN\"}";
          }
        }
        FClient_Futures->REST_API().CancelAllOpenOrders(aSymbol);
        return FClient_Futures->REST_API().CancelAllAlgoOpenOrders(aSymbol);
      },
      false);
  return e;
}

std::string TqmtTraderClient_Binance::LookUp(const std::string& aSymbol, const std::string& aClientOrderId, bool aAlgo) {
  if (!FClient && !FClient_Futures) return std::string();
  if (TqmtWSAPI_Binance_Requests* lApi = OrderChannel(); lApi && !aAlgo) {
    const TqmtWSAPIAnswer a =
        lApi->Request("order.status", {{"symbol", aSymbol}, {"origClientOrderId", aClientOrderId}}, true, OrderTimeoutMs);
    if (a.Answered) {
      TqmtJSON lDocument;
      try {
        lDocument.Read(a.Text);
      } catch (const std::exception&) {
        return std::string();
      }
      if (a.Status == 200) {
        const std::string lStatus = AnswerStatus(lDocument.Find("result"));
        return lStatus.empty() ? "UNKNOWN" : lStatus;
      }
      if (a.Text.find("-2013") != std::string::npos) return "NOT_FOUND";  // "Order does not exist."
      return std::string();
    }
    // No answer here: REST may still be able to tell.
  }
  try {
    const std::string lAnswer = FClient  ? FClient->REST_API().QueryOrder(aSymbol, 0, aClientOrderId)
                                : aAlgo ? FClient_Futures->REST_API().QueryAlgoOrder(aClientOrderId)
                                        : FClient_Futures->REST_API().QueryOrder(aSymbol, 0, aClientOrderId);
    TqmtJSON lDocument;
    lDocument.Read(lAnswer);
    const std::string lStatus = AnswerStatus(&lDocument);
    return lStatus.empty() ? "UNKNOWN" : lStatus;
  } catch (const TqmtTradeBarException& e) {
    if (std::string(e.what()).find("-2013") != std::string::npos) return "NOT_FOUND";
  } catch (const std::exception&) {
  }
  return std::string();
}

bool TqmtTraderClient_Binance::Initialize(const std::string& aApiKey, const std::string& aApiSecret, bool aFutures,
                                          int aFuturesContracts, bool aTestNet) {
  // A sign-in starts the account afresh: nothing of another market's or key's state stays.
  StopAccountWorker(true);
  {
    std::lock_guard g(FAccountLock);
    FPositions.clear();
    FBalanceTimes.clear();
    FAvailable.clear();
    FMarkStreams.clear();
    FSpotBalances.clear();
    FSpotPrices.clear();
    FValueStreams.clear();
    FValueChecked.clear();
    FLastChanges.clear();
    FAccountProblem.clear();
    FRetryMs = FUserRetryMs = 0;
  }
  GetTraderDataOrders().Clear();
  GetTraderDataPosition().Clear();
  GetTraderDataBalance().Clear();
  GetTraderDataFills().Clear();
  {
    std::lock_guard g(FBracketLock);
    FBrackets.clear();
    FBracketChildren.clear();
  }
  FHasAccount = !aApiKey.empty();
  FTestNet = aTestNet;
  // Each market shows its own watch list and symbols, never another's rows.
  SetTraderDataMarket(DataMarket(aFutures, aFuturesContracts));
  if (aFutures) {
    auto& f = Client_Futures();
    f.Binance().ApiKey = aApiKey;
    f.Binance().ApiSecret = aApiSecret;
    f.Binance().TestNet = aTestNet;
    f.FuturesContracts = aFuturesContracts == 1 ? TqmtWSBinanceFuturesContracts::bfcCOIN : TqmtWSBinanceFuturesContracts::bfcUSDT;
    // Combined streams name the stream of every message: a diff-depth event and a partial book
    // look alike on futures, and only the stream name tells them apart.
    f.Binance().UseCombinedStreams = true;
    f.SetClient(&GetWSClient());
    ConfigureRequests(f.REST_API());
    DropRoutes();
    if (f.FuturesContracts == TqmtWSBinanceFuturesContracts::bfcUSDT) {
      // Today's server routes: this connection takes /market, books and user data go elsewhere.
      f.Route = TqmtWSBinanceFuturesRoute::bfrMarket;
      MakeRoute(FPublic, TqmtWSBinanceFuturesRoute::bfrPublic);
      if (f.Binance().UserStream && !aApiKey.empty()) MakeRoute(FPrivate, TqmtWSBinanceFuturesRoute::bfrPrivate);
      if (!aApiKey.empty()) MakeOrdersRoute();
    } else {
      f.Route = TqmtWSBinanceFuturesRoute::bfrNone;
    }
  } else {
    auto& s = Client();
    s.Binance().ApiKey = aApiKey;
    s.Binance().ApiSecret = aApiSecret;
    s.Binance().TestNet = aTestNet;
    // Spot listen keys are retired: the account's data comes over the WebSocket API on a
    // connection of its own (Binance.US still has listen keys).
    s.Binance().UserStream = s.Binance().BinanceUS;
    // Combined streams name the stream of every message: a partial-book snapshot carries no symbol
    // of its own, and only the stream name says whose book it is.
    s.Binance().UseCombinedStreams = true;
    s.SetClient(&GetWSClient());
    ConfigureRequests(s.REST_API());
    DropRoutes();
    if (!aApiKey.empty() && !s.Binance().BinanceUS) {
      FUserClock.BinanceOptions() = s.REST_API().BinanceOptions();
      FUserClock.TLSOptions = s.REST_API().TLSOptions;
      MakeUserRoute();
    }
    GetSymbols();
  }
  ConfigureBooks();
  ConfigureHistory();
  // The server's clock, measured now: every signed request of the session depends on it (it is
  // measured again every few minutes, and at once when the exchange refuses a timestamp).
  if (!aApiKey.empty()) {
    if (aFutures)
      FClient_Futures->REST_API().SyncServerTime();
    else
      FClient->REST_API().SyncServerTime();
    MakeAccountREST();
    // The key is tried with a signed request before anything says "signed in": a wrong secret or
    // a key without rights is refused here, in the exchange's words.
    try {
      if (aFutures)
        FAccountFutures->GetAccountBalance();
      else
        FAccountSpot->GetAccountInformation();
    } catch (const std::exception& e) {
      const std::string lWords = BinanceRefusalWords(
          dynamic_cast<const EIdHTTPProtocolException*>(&e) ? dynamic_cast<const EIdHTTPProtocolException&>(e).ErrorMessage()
                                                            : std::string(e.what()));
      RecordConnectionError("the exchange refused the API key: " + lWords);
      return false;
    }
  }
  return ConnectStreams(10000);
}

void TqmtTraderClient_Binance::ConfigureRequests(TqmtHTTP_API_Binance& aREST) const {
  aREST.BinanceOptions().RecvWindow = RecvWindowMs;
  // A silent exchange costs a command seconds, not a minute: an order with no answer in time is
  // of unknown outcome and looked up anyway.
  aREST.ConnectTimeout = std::min(5000, RequestTimeoutMs);
  aREST.ReadTimeout = RequestTimeoutMs;
}

bool TqmtTraderClient_Binance::Routed() const {
  return FClient_Futures && FClient_Futures->FuturesContracts == TqmtWSBinanceFuturesContracts::bfcUSDT &&
         FClient_Futures->Route != TqmtWSBinanceFuturesRoute::bfrNone && FPublic.WS;
}

void TqmtTraderClient_Binance::MakeRoute(TRoute& aRoute, TqmtWSBinanceFuturesRoute aWhich) {
  aRoute.WS = std::make_unique<TqmtWebSocketClient>();
  TqmtWebSocketClient& w = *aRoute.WS;
  ConfigureTwin(w);
  w.OnConnect = [this, aWhich](TqmtWSConnection*) {
    if (aWhich == TqmtWSBinanceFuturesRoute::bfrPublic) FBooks.ResetAll();  // the books' update ids start again
    if (aWhich == TqmtWSBinanceFuturesRoute::bfrPublic && FPublic.API) SubscribeWatchList(*FPublic.API, aWhich);
    // The account's data is back (its listen key accepted): what happened meanwhile is read.
    if (aWhich == TqmtWSBinanceFuturesRoute::bfrPrivate) RequestAccountSnapshot();
    UpdateRouteState();
  };
  w.OnDisconnect = [this, aWhich](TqmtWSConnection*, int) {
    if (aWhich == TqmtWSBinanceFuturesRoute::bfrPublic) FBooks.ResetAll();  // nothing shown that may be stale
    UpdateRouteState();
  };
  if (aWhich == TqmtWSBinanceFuturesRoute::bfrPrivate) {
    // A listen key the exchange refuses is the account's data refused: said in its words.
    w.OnException = [this, lBase = w.OnException](TqmtWSConnection* c, const std::exception& e) {
      if (lBase) lBase(c, e);
      const std::string lWords = BinanceRefusalWords(e.what());
      if (lWords != e.what()) SetAccountProblem("account data refused: " + lWords);
    };
  }
  aRoute.API = std::make_unique<TqmtWSAPI_Binance_Futures>();
  TqmtWSAPI_Binance_Futures& a = *aRoute.API;
  a.Binance().Assign(FClient_Futures->Binance());
  a.FuturesContracts = FClient_Futures->FuturesContracts;
  a.KeepAliveIntervalMs = FClient_Futures->KeepAliveIntervalMs;
  a.Route = aWhich;
  a.OnBinanceHTTPException = [this](TObject* s, const std::exception& e) { DoBinanceHTTPException(s, e); };
  a.SetClient(&w);
}

void TqmtTraderClient_Binance::ConfigureTwin(TqmtWebSocketClient& w) {
  // A twin of the main stream connection in every setting the user or the program chose.
  w.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  CopyConnectionSettings(GetWSClient(), w);
  w.OnMessage = [this](TqmtWSConnection*, std::string_view aText) { DoClientMessage(aText); };
  w.OnException = [this](TqmtWSConnection*, const std::exception& e) {
    RecordConnectionError(e.what());
    DoClientException(e);
  };
}

void TqmtTraderClient_Binance::MakeUserRoute() {
  FUser.WS = std::make_unique<TqmtWebSocketClient>();
  TqmtWebSocketClient& w = *FUser.WS;
  ConfigureTwin(w);
  // Up is not enough: the account's data counts once its subscription is accepted.
  w.OnDisconnect = [this](TqmtWSConnection*, int) { UpdateRouteState(); };
  FUser.API = std::make_unique<TqmtWSAPI_Binance_UserData>();
  TqmtWSAPI_Binance_UserData& a = *FUser.API;
  a.OnSubscription = [this](int aState) {
    if (aState == 1) {
      {
        std::lock_guard g(FAccountLock);
        FUserRetryMs = 0;
      }
      SetAccountProblem(std::string());
      RequestAccountSnapshot();
    } else {
      const std::string lWhy = "account data refused: " + BinanceRefusalWords(FUser.API ? FUser.API->Refusal() : std::string());
      SetAccountProblem(lWhy);
      GetTraderDataLog().Notice(lWhy + " (tried again)");
      RetryUserData();
    }
    UpdateRouteState();
  };
  a.Binance().Assign(FClient->Binance());
  a.RecvWindow = RecvWindowMs;
  // The request is signed with the REST client's measure of the server's clock.
  a.Timestamp = [this] { return FUserClock.GetTimestamp(); };
  a.SetClient(&w);
}

void TqmtTraderClient_Binance::MakeOrdersRoute() {
  FOrders.WS = std::make_unique<TqmtWebSocketClient>();
  TqmtWebSocketClient& w = *FOrders.WS;
  ConfigureTwin(w);
  // Answers only: nothing here is a stream event (the API object matches them to their requests).
  w.OnMessage = nullptr;
  FOrders.API = std::make_unique<TqmtWSAPI_Binance_Requests>();
  TqmtWSAPI_Binance_Requests& a = *FOrders.API;
  a.Market = TqmtWSAPI_Binance_Requests::TMarket::FuturesUSDT;
  a.Binance().Assign(FClient_Futures->Binance());
  a.RecvWindow = RecvWindowMs;
  FClient_Futures->ConfigureREST(FOrdersClock);
  a.Timestamp = [this] { return FOrdersClock.GetTimestamp(); };
  a.SetClient(&w);
}

void TqmtTraderClient_Binance::DropRoutes() {
  if (FOrders.WS) FOrders.WS->Disconnect(10000);
  FOrders.API.reset();
  FOrders.WS.reset();
  for (TRoute* r : {&FPrivate, &FPublic}) {
    if (r->WS) r->WS->Disconnect(10000);
    r->API.reset();  // unregisters from its client
    r->WS.reset();
  }
  if (FUser.WS) FUser.WS->Disconnect(10000);
  FUser.API.reset();
  FUser.WS.reset();
}

void TqmtTraderClient_Binance::StartKeeper() {
  StopKeeper();
  std::unique_ptr<TqmtHTTP_API_Binance_Rest_Base> lREST;
  if (FClient) {
    auto r = std::make_unique<TqmtHTTP_API_Binance_Rest>();
    r->BinanceOptions() = FClient->REST_API().BinanceOptions();
    r->TLSOptions = FClient->REST_API().TLSOptions;
    lREST = std::move(r);
  } else if (FClient_Futures) {
    auto r = std::make_unique<TqmtHTTP_API_Binance_Futures_Rest>();
    FClient_Futures->ConfigureREST(*r);
    r->OnHTTPAPIException = nullptr;  // its failures are nobody's business: the next order will tell
    lREST = std::move(r);
  } else {
    return;
  }
  ConfigureRequests(*lREST);
  std::lock_guard g(FKeeperLock);
  FKeeperStop = false;
  FKeeper = std::thread([this, lREST = std::move(lREST)] {
    std::unique_lock lGuard(FKeeperLock);
    while (!FKeeperWake.wait_for(lGuard, std::chrono::milliseconds(KeepWarmMs.load()), [this] { return FKeeperStop; })) {
      lGuard.unlock();
      try {
        lREST->Ping();
      } catch (const std::exception&) {
      }
      lGuard.lock();
    }
  });
}

void TqmtTraderClient_Binance::StopKeeper() {
  {
    std::lock_guard g(FKeeperLock);
    FKeeperStop = true;
  }
  FKeeperWake.notify_all();
  if (FKeeper.joinable()) FKeeper.join();
}

void TqmtTraderClient_Binance::RecordFailedConnection(const char* aWhat, const TqmtWebSocketClient& aClient) {
  // The address from the connection's API (the client's own fields are rewritten by every
  // activation, which the watchdog may be running now); host and port only, never a listen key.
  TqmtWSAPI* lApi = aClient.API();
  std::string lURL;
  try {
    if (lApi) lURL = lApi->URL();
  } catch (const std::exception&) {
    // No address for this market and network: the reason alone is told.
  }
  const TqmtURLParts lParts = ParseURL(lURL);
  const bool lTLS = lParts.Protocol == "wss" || lParts.Protocol == "https";
  const std::string lAddress = lParts.Host + ":" + (lParts.Port.empty() ? (lTLS ? "443" : "80") : lParts.Port);
  std::lock_guard g(FFailedLock);
  if (!FFailedConnection.empty()) return;  // the first failure is the one to tell
  FFailedConnection = std::string(aWhat) + (lURL.empty() ? std::string() : " at " + lAddress);
}

std::string TqmtTraderClient_Binance::SignInFailure() {
  std::string lConnection;
  {
    std::lock_guard g(FFailedLock);
    lConnection = FFailedConnection;
  }
  const std::string lWhy = LastConnectionError();
  if (lConnection.empty()) return lWhy.empty() ? "no answer within 10 s" : lWhy;
  return "cannot connect to " + lConnection + (lWhy.empty() ? ": no answer within 10 s" : ": " + lWhy);
}

bool TqmtTraderClient_Binance::ConnectStreams(int aTimeout) {
  {
    std::lock_guard g(FFailedLock);
    FFailedConnection.clear();
  }
  StartKeeper();
  // The market data first: when it cannot connect, its failure is the one to tell.
  if (!GetWSClient().Connect(aTimeout)) {
    RecordFailedConnection("the exchange's stream", GetWSClient());
    return false;
  }
  bool lOpen = true;
  for (TRoute* r : {&FPublic, &FPrivate})
    if (r->WS && !r->WS->Connect(aTimeout)) {
      RecordFailedConnection(r == &FPublic ? "the exchange's book stream" : "the account's stream", *r->WS);
      lOpen = false;
    }
  // The orders' own connection counts for nothing here: while it is down orders go over REST.
  if (FOrders.WS) FOrders.WS->Connect(std::min(aTimeout, 5000));
  if (FUser.WS) {
    if (!FUser.WS->Connect(aTimeout)) {
      RecordFailedConnection("the account's WebSocket API", *FUser.WS);
      lOpen = false;
    }
    // Open is not enough: the subscription must be accepted (or its refusal told).
    const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeout);
    while (lOpen && FUser.API->SubscriptionState() == 0 && std::chrono::steady_clock::now() < lEnd)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (FUser.API->SubscriptionState() != 1) {
      if (FUser.API->SubscriptionState() == -1) RecordConnectionError("the exchange refused the user-data subscription: " + FUser.API->Refusal());
      RecordFailedConnection("the account's WebSocket API", *FUser.WS);
      lOpen = false;
    }
  }
  return lOpen;
}

void TqmtTraderClient_Binance::Disconnect() {
  StopKeeper();
  if (FOrders.WS) FOrders.WS->Disconnect(10000);
  if (FUser.WS) FUser.WS->Disconnect(10000);
  for (TRoute* r : {&FPrivate, &FPublic})
    if (r->WS) r->WS->Disconnect(10000);
  TqmtTraderClient::Disconnect();
}

void TqmtTraderClient_Binance::UpdateRouteState() {
  auto lUp = [](TqmtWebSocketClient* w) {
    auto c = w ? w->Connection() : nullptr;
    return c && c->Enabled();
  };
  const bool lAll = lUp(&GetWSClient()) && (!FPublic.WS || lUp(FPublic.WS.get())) &&
                    (!FPrivate.WS || lUp(FPrivate.WS.get())) &&
                    (!FUser.WS || (lUp(FUser.WS.get()) && FUser.API && FUser.API->SubscriptionState() == 1));
  if (lAll) {
    if (!FAllUp.exchange(true)) DoNotifyConnect();
  } else if (FAllUp.exchange(false)) {
    DoNotifyDisconnect();
  }
}

void TqmtTraderClient_Binance::DoClientConnect() {
  if (!Routed()) FBooks.ResetAll();  // this connection carries the books: their update ids start again
  if (!HasExtraStreams()) {
    TqmtTraderClient::DoClientConnect();
    // This connection carries the account's data itself (a listen key): read what it missed.
    if (FHasAccount && ((FClient_Futures && !Routed()) || (FClient && FClient->Binance().UserStream))) RequestAccountSnapshot();
    return;
  }
  DoSubscribeAll();  // this connection's streams (/market when routed)
  UpdateRouteState();
}

void TqmtTraderClient_Binance::DoClientDisconnect() {
  if (!Routed()) FBooks.ResetAll();  // nothing shown that may be stale
  if (!HasExtraStreams()) {
    TqmtTraderClient::DoClientDisconnect();
    return;
  }
  UpdateRouteState();
}

void TqmtTraderClient_Binance::GetSymbols() {
  if (FClient)
    ReadSymbols(FClient->REST_API().GetExchangeInformation());
  else if (FClient_Futures)
    ReadSymbols(FClient_Futures->REST_API().GetExchangeInformation());
}

void TqmtTraderClient_Binance::SubscribeTicker(const std::string& aSymbol) {
  GetTraderDataTicker().Watch(aSymbol);
  if (FClient)
    FClient->SubscribeTicker(Lower(aSymbol));
  else if (FClient_Futures)
    FClient_Futures->SubscribeTicker(Lower(aSymbol));
}

void TqmtTraderClient_Binance::UnSubscribeTicker(const std::string& aSymbol) {
  GetTraderDataTicker().Unwatch(aSymbol);
  if (StreamsHeld(aSymbol)) return;  // a page still shows it: off the watch list, not off the wire
  if (FClient)
    FClient->UnSubscribeTicker(Lower(aSymbol));
  else if (FClient_Futures)
    FClient_Futures->UnSubscribeTicker(Lower(aSymbol));
}

void TqmtTraderClient_Binance::SubscribeBookDepth(const std::string& aSymbol) {
  if (FClient)
    FClient->SubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20, "@1000ms");
  else if (Routed() && FPublic.API)
    FPublic.API->SubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20, "@500ms");
  else if (FClient_Futures)
    FClient_Futures->SubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20, "@500ms");
}

void TqmtTraderClient_Binance::UnSubscribeBookDepth(const std::string& aSymbol) {
  if (StreamsHeld(aSymbol)) return;
  if (FClient)
    FClient->UnSubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20);
  else if (Routed() && FPublic.API)
    FPublic.API->UnSubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20);
  else if (FClient_Futures)
    FClient_Futures->UnSubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20);
}

std::shared_ptr<TqmtHTTP_API_Binance_Rest_Base> TqmtTraderClient_Binance::MakeWorkerREST() const {
  // A worker's own REST client (the connection pool is shared) that raises its failures.
  std::shared_ptr<TqmtHTTP_API_Binance_Rest_Base> lREST;
  if (FClient) {
    auto s = std::make_shared<TqmtHTTP_API_Binance_Rest>();
    s->BinanceOptions() = FClient->REST_API().BinanceOptions();
    s->TLSOptions = FClient->REST_API().TLSOptions;
    lREST = s;
  } else if (FClient_Futures) {
    auto f = std::make_shared<TqmtHTTP_API_Binance_Futures_Rest>();
    FClient_Futures->ConfigureREST(*f);
    lREST = f;
  } else {
    return nullptr;
  }
  ConfigureRequests(*lREST);
  lREST->OnHTTPAPIException = nullptr;
  return lREST;
}

void TqmtTraderClient_Binance::ConfigureBooks() {
  TqmtTraderBookKeeper::TConfig c;
  c.Subscribe = [this](const std::string& aSymbol, bool aSubscribe) { SubscribeOrderBook(aSymbol, aSubscribe); };
  c.WeightPerMinute = BookWeightPerMinute;
  // 1000 levels a side: spot weight 50, futures 20.
  c.Market = FClient ? TqmtTraderBookKeeper::TMarket::Spot : TqmtTraderBookKeeper::TMarket::Futures;
  c.Limit = 1000;
  c.Weight = FClient ? 50 : 20;
  if (auto lREST = MakeWorkerREST()) c.Fetch = [lREST](const std::string& aSymbol, int aLimit) { return lREST->GetOrderBook(aSymbol, aLimit); };
  FBooks.Configure(std::move(c));
}

void TqmtTraderClient_Binance::SubscribeOrderBook(const std::string& aSymbol, bool aSubscribe) {
  SubscribeStream(Lower(aSymbol) + std::string(TqmtTraderBookKeeper::kStreamSuffix), aSubscribe);
}

void TqmtTraderClient_Binance::SubscribeStream(const std::string& aStream, bool aSubscribe) {
  // Routed futures: books on /public, the other market streams on this connection (/market).
  const bool lPublic = Routed() && FPublic.API && TqmtWS_API_Binance_Futures::RouteOf(aStream) == TqmtWSBinanceFuturesRoute::bfrPublic;
  TqmtWS_API_Binance_Base* lApi = FClient  ? static_cast<TqmtWS_API_Binance_Base*>(FClient.get())
                                  : lPublic ? FPublic.API.get()
                                            : FClient_Futures.get();
  if (!lApi) return;
  const std::vector<std::string> lStreams{aStream};
  aSubscribe ? lApi->Subscribe(lStreams) : lApi->UnSubscribe(lStreams);
}

void TqmtTraderClient_Binance::ConfigureHistory() {
  TqmtTraderHistory::TConfig c;
  c.WeightPerMinute = HistoryWeightPerMinute;
  c.Spot = FClient != nullptr;
  if (auto lREST = MakeWorkerREST())
    c.Fetch = [lREST](const TqmtTraderHistory::TRequest& r) { return lREST->GetKLines(r.Symbol, r.Interval, r.Start, r.End, r.Limit); };
  FHistory.Configure(std::move(c));
}

std::unique_ptr<TqmtTraderClient_Binance::TKlineHold> TqmtTraderClient_Binance::HoldKlines(const std::string& aSymbol,
                                                                                           const std::string& aInterval) {
  std::string lStream = Lower(aSymbol) + "@kline_" + aInterval;
  bool lFirst;
  {
    std::lock_guard g(FKlineLock);
    lFirst = ++FKlineStreams[lStream] == 1;
  }
  if (lFirst) SubscribeStream(lStream, true);
  return std::unique_ptr<TKlineHold>(new TKlineHold(FKlineAlive, this, std::move(lStream)));
}

TqmtTraderClient_Binance::TKlineHold::~TKlineHold() {
  if (FAlive.expired()) return;
  bool lLast = false;
  {
    std::lock_guard g(FClient->FKlineLock);
    auto lAt = FClient->FKlineStreams.find(FStream);
    if (lAt != FClient->FKlineStreams.end() && --lAt->second == 0) {
      FClient->FKlineStreams.erase(lAt);
      lLast = true;
    }
  }
  if (lLast) FClient->SubscribeStream(FStream, false);
}

void TqmtTraderClient_Binance::SubscribeTrades(const std::string& aSymbol) {
  if (FClient)
    FClient->SubscribeAggregateTrades(Lower(aSymbol));
  else if (FClient_Futures)
    FClient_Futures->SubscribeAggregateTrades(Lower(aSymbol));
}

void TqmtTraderClient_Binance::UnSubscribeTrades(const std::string& aSymbol) {
  if (StreamsHeld(aSymbol)) return;
  if (FClient)
    FClient->UnSubscribeAggregateTrades(Lower(aSymbol));
  else if (FClient_Futures)
    FClient_Futures->UnSubscribeAggregateTrades(Lower(aSymbol));
}

// The synchronous forms (the command-line client, scripts): the queue's rules on the caller's
// thread; an unknown outcome is followed until it is settled, and a failure raises.
namespace {

// A refusal raises the exchange's answer as it came.
void RaiseUnlessDone(const TqmtTraderCommandResult& aResult) {
  switch (aResult.Outcome) {
    case TqmtTraderOutcome::tocAccepted:
    case TqmtTraderOutcome::tocSettled: return;
    case TqmtTraderOutcome::tocUnknown:
      throw TqmtTradeBarException("order status unknown (client order id " + aResult.ClientOrderId + "): " + aResult.Message, true);
    case TqmtTraderOutcome::tocRefused: throw TqmtTradeBarException(aResult.Message);
    case TqmtTraderOutcome::tocNotPlaced: throw TqmtTradeBarException("order not placed: " + aResult.Message);
  }
}

}  // namespace

void TqmtTraderClient_Binance::PlaceMarketOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize) {
  if (!FClient && !FClient_Futures) return;  // no market chosen: nothing to send
  TqmtTraderOrderRequest r{.Side = aSide, .Type = TqmtTraderOrderType::totMarket, .Symbol = aSymbol, .Size = aSize, .Price = 0, .StopPrice = 0};
  RaiseUnlessDone(Commands().RunOrder(r));
}

void TqmtTraderClient_Binance::PlaceLimitOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                                               long double aLimitPrice) {
  if (!FClient && !FClient_Futures) return;  // no market chosen: nothing to send
  TqmtTraderOrderRequest r{.Side = aSide, .Type = TqmtTraderOrderType::totLimit, .Symbol = aSymbol, .Size = aSize, .Price = aLimitPrice, .StopPrice = 0};
  RaiseUnlessDone(Commands().RunOrder(r));
}

void TqmtTraderClient_Binance::PlaceStopOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                                              long double aStopPrice) {
  if (!FClient && !FClient_Futures) return;  // no market chosen: nothing to send
  TqmtTraderOrderRequest r{.Side = aSide, .Type = TqmtTraderOrderType::totStop, .Symbol = aSymbol, .Size = aSize, .Price = 0, .StopPrice = aStopPrice};
  RaiseUnlessDone(Commands().RunOrder(r));
}

void TqmtTraderClient_Binance::PlaceStopOrderLimit(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                                                   long double aStopPrice, long double aLimitPrice) {
  if (!FClient && !FClient_Futures) return;  // no market chosen: nothing to send
  TqmtTraderOrderRequest r{.Side = aSide, .Type = TqmtTraderOrderType::totStopLimit, .Symbol = aSymbol, .Size = aSize, .Price = aLimitPrice, .StopPrice = aStopPrice};
  RaiseUnlessDone(Commands().RunOrder(r));
}

void TqmtTraderClient_Binance::DoAttachStream(TqmtWebSocketClient& aClient) {
  if (FClient)
    FClient->SetClient(&aClient);
  else if (FClient_Futures)
    FClient_Futures->SetClient(&aClient);
}

void TqmtTraderClient_Binance::DoSubscribeAll() {
  TqmtWS_API_Binance_Base* lApi = FClient ? static_cast<TqmtWS_API_Binance_Base*>(FClient.get()) : FClient_Futures.get();
  if (!lApi) return;
  SubscribeWatchList(*lApi, Routed() ? TqmtWSBinanceFuturesRoute::bfrMarket : TqmtWSBinanceFuturesRoute::bfrNone);
}

void TqmtTraderClient_Binance::SubscribeWatchList(TqmtWS_API_Binance_Base& aApi, TqmtWSBinanceFuturesRoute aRoute) {
  const char* lBook = FClient ? "depth20@1000ms" : "depth20@500ms";
  std::vector<std::string> lStreams;
  // The mark prices of the positions held, on the connection that carries market streams.
  if (aRoute == TqmtWSBinanceFuturesRoute::bfrNone || aRoute == TqmtWSBinanceFuturesRoute::bfrMarket) {
    std::lock_guard g(FAccountLock);
    lStreams.assign(FMarkStreams.begin(), FMarkStreams.end());
    lStreams.insert(lStreams.end(), FValueStreams.begin(), FValueStreams.end());
  }
  for (const std::string& lSymbol : SubscribedSymbols()) {
    const std::string lName = Lower(lSymbol);
    for (const char* lSuffix : {"ticker", lBook, "aggTrade"}) {
      std::string lStream = TqmtWS_API_Binance_Base::Name(lName, lSuffix);
      if (aRoute != TqmtWSBinanceFuturesRoute::bfrNone && TqmtWS_API_Binance_Futures::RouteOf(lStream) != aRoute) continue;
      lStreams.push_back(std::move(lStream));
      if (lStreams.size() == kStreamsPerSubscribe) {
        aApi.Subscribe(lStreams);
        lStreams.clear();
      }
    }
  }
  // The full books pages hold, on the connection that carries books, and the charts' kline streams.
  std::vector<std::string> lHeld;
  for (const std::string& lSymbol : FBooks.Held()) lHeld.push_back(Lower(lSymbol) + std::string(TqmtTraderBookKeeper::kStreamSuffix));
  {
    std::lock_guard g(FKlineLock);
    for (const auto& [lName, lCount] : FKlineStreams) lHeld.push_back(lName);
  }
  for (std::string& lStream : lHeld) {
    if (aRoute != TqmtWSBinanceFuturesRoute::bfrNone && TqmtWS_API_Binance_Futures::RouteOf(lStream) != aRoute) continue;
    lStreams.push_back(std::move(lStream));
    if (lStreams.size() == kStreamsPerSubscribe) {
      aApi.Subscribe(lStreams);
      lStreams.clear();
    }
  }
  if (!lStreams.empty()) aApi.Subscribe(lStreams);
}

void TqmtTraderClient_Binance::CancelAllOpenOrders(const std::string& aSymbol) {
  const TqmtTraderExecution e = ExecuteCancelAll(aSymbol);
  if (e.Outcome != TqmtTraderOutcome::tocAccepted)
    throw TqmtTradeBarException(e.Message, e.Outcome == TqmtTraderOutcome::tocUnknown);
}

// ---- the reading half -----------------------------------------------------------------------------

template <typename TNode>
void TqmtTraderClient_Binance::DoReadSpotOrder(const TNode& e, const std::string& aRaw) {
  TqmtTraderOrder lOrder;
  lOrder.SetDateTime(NowLocal());
  // A cancel carries its own request's id in "c" and the order's in "C".
  const std::string_view lOriginal = Text(e.Find("C"));
  lOrder.SetId(std::string(lOriginal.empty() ? Text(e.Find("c")) : lOriginal));
  lOrder.SetSymbol(std::string(Text(e.Find("s"))));
  lOrder.SetOrderSide(std::string(Text(e.Find("S"))));
  lOrder.SetOrderType(std::string(Text(e.Find("o"))));
  Number(e.Find("p"), [&](long double v) { lOrder.SetPrice(v); });
  Number(e.Find("q"), [&](long double v) { lOrder.SetSize(v); });
  Number(e.Find("z"), [&](long double v) { lOrder.SetFilled(v); });
  Number(e.Find("P"), [&](long double v) { lOrder.SetStopPrice(v); });
  // The average fill price: the cumulative quote quantity over the executed quantity.
  Number(e.Find("Z"), [&](long double v) {
    if (lOrder.Filled() > 0) lOrder.SetAveragePrice(v / lOrder.Filled());
  });
  lOrder.SetOrderStatus(std::string(Text(e.Find("X"))));
  const TqmtObjectJSON* lTime = e.Find("T");
  if (!lTime) lTime = e.Find("E");
  Number(lTime, [&](long double v) { lOrder.SetUpdateTime(static_cast<std::int64_t>(v)); });
  lOrder.SetRaw(aRaw);
  DoOrder(lOrder);
  // A trade of the order: its fill, with the fee.
  if (Text(e.Find("x")) == "TRADE") ReadFill(lOrder, e, e.Find("t"));
}

template <typename TNode>
void TqmtTraderClient_Binance::ReadFill(const TqmtTraderOrder& aOrder, const TNode& e, const TqmtObjectJSON* aTradeId) {
  TqmtTraderFill f;
  f.Symbol = aOrder.Symbol();
  f.OrderId = aOrder.Id();
  f.Side = aOrder.OrderSide();
  f.Time = aOrder.UpdateTime();
  Number(aTradeId, [&](long double v) { f.TradeId = static_cast<std::int64_t>(v); });
  Number(e.Find("L"), [&](long double v) { f.Price = v; });
  Number(e.Find("l"), [&](long double v) { f.Size = v; });
  Number(e.Find("n"), [&](long double v) { f.Fee = v; });
  Number(e.Find("rp"), [&](long double v) { f.RealizedProfit = v; });
  f.FeeAsset = std::string(Text(e.Find("N")));
  if (f.Size > 0) GetTraderDataFills().AddFill(f);
}

template <typename TNode>
void TqmtTraderClient_Binance::DoReadSpotAccount(const TNode& e, const std::string& aRaw) {
  // Spot has no cross margin: the wallet balance is free + locked, the "cross wallet" balance the
  // free part, and the change what the wallet moved since the last report of the asset.
  const TqmtObjectJSON* B = e.Find("B");
  if (!B) return;
  std::int64_t lTime = 0;
  Number(e.Find("u"), [&](long double v) { lTime = static_cast<std::int64_t>(v); });
  std::lock_guard g(FAccountLock);
  for (int i = 0; i < B->Count(); ++i) {
    const TqmtObjectJSON* b = B->At(i);
    const std::string lAsset(Text(b->Find("a")));
    if (lAsset.empty()) continue;
    long double lFree = 0, lLocked = 0;
    Number(b->Find("f"), [&](long double v) { lFree = v; });
    Number(b->Find("l"), [&](long double v) { lLocked = v; });
    const auto lShown = FBalanceTimes.find(lAsset);
    if (lTime != 0 && lShown != FBalanceTimes.end() && lTime < lShown->second) continue;  // older than the snapshot
    auto lKnown = FSpotBalances.find(lAsset);
    const long double lChange = lKnown == FSpotBalances.end() ? 0 : (lFree + lLocked) - lKnown->second.first;
    FSpotBalances[lAsset] = {lFree + lLocked, lFree};
    ApplyBalance(lAsset, lFree + lLocked, lFree, lChange, lTime, lFree, aRaw);
  }
  // A newly held asset gets its price stream (each asset is looked at once).
  if (FValueChecked.size() < FSpotBalances.size()) UpdateValueStreams();
}

template <typename TNode>
void TqmtTraderClient_Binance::DoReadSpotBalanceUpdate(const TNode& e, const std::string& aRaw) {
  // A deposit, withdrawal or transfer: the delta moves the last known balances.
  const std::string lAsset(Text(e.Find("a")));
  if (lAsset.empty()) return;
  long double lDelta = 0;
  std::int64_t lTime = 0;
  Number(e.Find("d"), [&](long double v) { lDelta = v; });
  Number(e.Find("T"), [&](long double v) { lTime = static_cast<std::int64_t>(v); });
  std::lock_guard g(FAccountLock);
  // A delta the snapshot already holds is not added again.
  const auto lShown = FBalanceTimes.find(lAsset);
  if (lTime != 0 && lShown != FBalanceTimes.end() && lTime <= lShown->second) return;
  auto& lKnown = FSpotBalances[lAsset];
  lKnown.first += lDelta;
  lKnown.second += lDelta;
  ApplyBalance(lAsset, lKnown.first, lKnown.second, lDelta, lTime, lKnown.second, aRaw);
}

void TqmtTraderClient_Binance::DoClientMessage(std::string_view aText) {
  GetTraderDataLog().Log(aText);
  // One document per reading thread, reused for all its messages: while a connection is replaced
  // two connections deliver at once.
  thread_local TqmtJSON tDocument;
  TqmtJSON& lDocument = tDocument;
  // A combined stream wraps each event: {"stream":"<name>","data":{...}}. The event is read from its
  // own slice of the text, so it is parsed once, as on a raw stream.
  std::string_view lText = aText, lStream;
  static constexpr std::string_view kStream = "{\"stream\":\"", kData = ",\"data\":";
  if (aText.size() > kStream.size() + kData.size() && aText.compare(0, kStream.size(), kStream) == 0 &&
      aText.back() == '}') {
    const auto lEnd = aText.find('"', kStream.size());
    if (lEnd != std::string_view::npos && aText.compare(lEnd + 1, kData.size(), kData) == 0) {
      lStream = aText.substr(kStream.size(), lEnd - kStream.size());
      const std::size_t lFrom = lEnd + 1 + kData.size();
      lText = aText.substr(lFrom, aText.size() - lFrom - 1);
    }
  }
  // A full book's event: decoded straight into its levels, no document.
  static constexpr std::string_view kBook = TqmtTraderBookKeeper::kStreamSuffix;
  if (lStream.size() > kBook.size() && lStream.substr(lStream.size() - kBook.size()) == kBook) {
    FBooks.OnDepthMessage(lStream.substr(0, lStream.size() - kBook.size()), lText);
    return;
  }
  lDocument.Read(lText);
  if (const TqmtObjectJSON* e = lDocument.Find("e")) {
    const std::string_view lEvent = e->ValueView();
    if (lEvent == "24hrTicker")
      DoReadTicker(lDocument);
    else if (lEvent == "depthUpdate")
      DoReadBookDepth(lDocument, "b", "a");
    else if (lEvent == "aggTrade")
      DoReadTrade(lDocument);
    else if (lEvent == "ORDER_TRADE_UPDATE")
      DoReadOrder(lDocument);
    else if (lEvent == "ACCOUNT_UPDATE")
      DoReadAccount(lDocument);
    else if (lEvent == "ALGO_UPDATE")
      DoReadAlgoOrder(lDocument);
    else if (lEvent == "markPriceUpdate")
      DoReadMarkPrice(lDocument);
    else if (lEvent == "24hrMiniTicker")
      DoReadMiniTicker(lDocument);
    else if (lEvent == "kline")
      DoReadKline(lText);
    else if (lEvent == "executionReport")  // spot, on a listen-key stream (Binance.US)
      DoReadSpotOrder(lDocument, std::string(aText));
    else if (lEvent == "outboundAccountPosition")
      DoReadSpotAccount(lDocument, std::string(aText));
    else if (lEvent == "balanceUpdate")
      DoReadSpotBalanceUpdate(lDocument, std::string(aText));
    else if (lEvent == "serverShutdown")
      OnServerShutdown();
  } else if (lDocument.Find("lastUpdateId")) {
    // A partial-book snapshot: its symbol is the stream's ("btcusdt@depth20@1000ms").
    DoReadBookDepth(lDocument, "bids", "asks", StreamSymbol(lStream));
  } else if (const TqmtObjectJSON* ev = lDocument.Find("event")) {
    // The spot WebSocket API's user data: {"subscriptionId":N,"event":{...}}.
    const std::string_view lEvent = Text(ev->Find("e"));
    if (lEvent == "executionReport")
      DoReadSpotOrder(*ev, std::string(aText));
    else if (lEvent == "outboundAccountPosition")
      DoReadSpotAccount(*ev, std::string(aText));
    else if (lEvent == "balanceUpdate")
      DoReadSpotBalanceUpdate(*ev, std::string(aText));
    else if (lEvent == "serverShutdown")
      GetTraderDataLog().Notice("serverShutdown on the WebSocket API: its connection is replaced when the server closes it");
  } else if (const TqmtObjectJSON* d = lDocument.Find("data")) {
    // The combined-stream form of the notice.
    if (const TqmtObjectJSON* e = d->Find("e"); e && e->ValueView() == "serverShutdown") OnServerShutdown();
  }
}

void TqmtTraderClient_Binance::DoReadAlgoOrder(TqmtJSON& aJSON) {
  // A conditional order: its client algo id names it, its status is the algo status (NEW,
  // TRIGGERING, TRIGGERED, FINISHED, CANCELED, REJECTED, EXPIRED); the real order it places once
  // triggered comes as an ORDER_TRADE_UPDATE of its own.
  const TqmtObjectJSON* o = aJSON.Find("o");
  if (!o) return;
  TqmtTraderOrder lOrder;
  lOrder.SetDateTime(NowLocal());
  lOrder.SetId(std::string(Text(o->Find("caid"))));
  lOrder.SetSymbol(std::string(Text(o->Find("s"))));
  lOrder.SetOrderSide(std::string(Text(o->Find("S"))));
  lOrder.SetOrderType(std::string(Text(o->Find("o"))));
  long double lPrice = 0;
  Number(o->Find("p"), [&](long double v) { lPrice = v; });
  if (lPrice == 0) Number(o->Find("tp"), [&](long double v) { lPrice = v; });  // a stop market: its trigger
  lOrder.SetPrice(lPrice);
  Number(o->Find("tp"), [&](long double v) { lOrder.SetStopPrice(v); });
  Number(o->Find("q"), [&](long double v) { lOrder.SetSize(v); });
  lOrder.SetOrderStatus(std::string(Text(o->Find("X"))));
  const TqmtObjectJSON* lTime = aJSON.Find("T");
  if (!lTime) lTime = aJSON.Find("E");
  Number(lTime, [&](long double v) { lOrder.SetUpdateTime(static_cast<std::int64_t>(v)); });
  lOrder.SetRaw(aJSON.Text());
  DoOrder(lOrder);
}

void TqmtTraderClient_Binance::OnServerShutdown() {
  // The notice is the spot servers'. With routed streams it could come on any of three connections
  // and none tells which; the futures servers document none, so it is only logged there.
  if (Routed()) {
    GetTraderDataLog().Notice("serverShutdown on a routed futures stream: left to the watchdog");
    return;
  }
  ReplaceConnection();
}

void TqmtTraderClient_Binance::DoReadTicker(TqmtJSON& aJSON) {
  TqmtTraderTicker lTicker;
  lTicker.SetSymbol(std::string(Text(aJSON.Find("s"))));
  Number(aJSON.Find("c"), [&](long double v) { lTicker.SetPrice(v); });
  Number(aJSON.Find("Q"), [&](long double v) { lTicker.SetSize(v); });
  Number(aJSON.Find("o"), [&](long double v) { lTicker.SetOpen(v); });
  Number(aJSON.Find("h"), [&](long double v) { lTicker.SetHigh(v); });
  Number(aJSON.Find("l"), [&](long double v) { lTicker.SetLow(v); });
  Number(aJSON.Find("a"), [&](long double v) { lTicker.SetAsk(v); });
  Number(aJSON.Find("b"), [&](long double v) { lTicker.SetBid(v); });
  if (const auto* E = aJSON.Find("E")) lTicker.SetDate(TraderMillisecondsToDateTime(E->ValueView()));
  lTicker.SetRaw(aJSON.Text());
  DoTicker(lTicker);
}

std::string TqmtTraderClient_Binance::DataMarket(bool aFutures, int aFuturesContracts) {
  return !aFutures ? "" : aFuturesContracts == 1 ? "COINM" : "USDM";
}

std::string TqmtTraderClient_Binance::StreamSymbol(std::string_view aStream) {
  std::string lSymbol(aStream.substr(0, aStream.find('@')));
  if (lSymbol.size() == aStream.size()) return {};  // no "@": a listen key, not a market stream
  for (char& c : lSymbol) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return lSymbol;
}

void TqmtTraderClient_Binance::DoReadBookDepth(TqmtJSON& aJSON, std::string_view aBidsKey, std::string_view aAsksKey,
                                               const std::string& aSymbol) {
  TqmtTraderBookDepth lBook;
  lBook.SetSymbol(aSymbol.empty() ? std::string(Text(aJSON.Find("s"))) : aSymbol);
  auto lFill = [](const TqmtObjectJSON* aSide, TqmtTraderBookDepthValues& aLevels) {
    if (!aSide) return;
    const int lCount = aSide->Count();
    for (int i = 0; i < lCount && i < TqmtTraderBookDepthValues::kLevels; ++i) {
      const TqmtObjectJSON* lLevel = aSide->At(i);
      if (lLevel->Count() != 2) continue;
      aLevels.Value(i + 1).SetPrice(TraderStrToFloat(lLevel->At(0)->ValueView()));
      aLevels.Value(i + 1).SetSize(TraderStrToFloat(lLevel->At(1)->ValueView()));
    }
  };
  lFill(aJSON.Find(aBidsKey), lBook.Bids());
  lFill(aJSON.Find(aAsksKey), lBook.Asks());
  lBook.SetRaw(aJSON.Text());
  DoBookDepth(lBook);
}

void TqmtTraderClient_Binance::DoReadKline(std::string_view aText) {
  TqmtKline k;
  std::string lSymbol, lInterval;
  if (DecodeKlineEvent(aText, k, lSymbol, lInterval)) FKlineListeners.Notify(this, lSymbol, lInterval, k);
}

void TqmtTraderClient_Binance::DoReadTrade(TqmtJSON& aJSON) {
  TqmtTraderTrade lTrade;
  lTrade.SetSymbol(std::string(Text(aJSON.Find("s"))));
  Number(aJSON.Find("p"), [&](long double v) { lTrade.SetPrice(v); });
  Number(aJSON.Find("q"), [&](long double v) { lTrade.SetSize(v); });
  if (const auto* T = aJSON.Find("T")) lTrade.SetDate(TraderMillisecondsToDateTime(T->ValueView()));
  if (const auto* m = aJSON.Find("m")) lTrade.SetBuyerMaker(m->ValueView() == "true");
  Number(aJSON.Find("a"), [&](long double v) { lTrade.SetTradeId(static_cast<std::int64_t>(v)); });
  lTrade.SetRaw(aJSON.Text());
  // An incomplete trade is dropped.
  if (lTrade.Symbol().empty() || lTrade.Price() <= 0 || lTrade.Size() <= 0 || lTrade.Date() <= 0) return;
  DoTrade(lTrade);
}

void TqmtTraderClient_Binance::DoReadOrder(TqmtJSON& aJSON) {
  const TqmtObjectJSON* o = aJSON.Find("o");
  if (!o) return;
  TqmtTraderOrder lOrder;
  lOrder.SetDateTime(NowLocal());
  lOrder.SetId(std::string(Text(o->Find("c"))));
  lOrder.SetSymbol(std::string(Text(o->Find("s"))));
  lOrder.SetOrderSide(std::string(Text(o->Find("S"))));
  lOrder.SetOrderType(std::string(Text(o->Find("o"))));
  Number(o->Find("p"), [&](long double v) { lOrder.SetPrice(v); });
  Number(o->Find("q"), [&](long double v) { lOrder.SetSize(v); });
  Number(o->Find("z"), [&](long double v) { lOrder.SetFilled(v); });
  Number(o->Find("sp"), [&](long double v) { lOrder.SetStopPrice(v); });
  Number(o->Find("ap"), [&](long double v) { lOrder.SetAveragePrice(v); });
  lOrder.SetOrderStatus(std::string(Text(o->Find("X"))));
  const TqmtObjectJSON* lTime = o->Find("T");
  if (!lTime) lTime = aJSON.Find("T");
  Number(lTime, [&](long double v) { lOrder.SetUpdateTime(static_cast<std::int64_t>(v)); });
  lOrder.SetRaw(aJSON.Text());
  DoOrder(lOrder);
  if (Text(o->Find("x")) == "TRADE") ReadFill(lOrder, *o, o->Find("t"));
}

void TqmtTraderClient_Binance::DoReadAccount(TqmtJSON& aJSON) {
  const TqmtObjectJSON* a = aJSON.Find("a");
  if (!a) return;
  std::int64_t lTime = 0;
  const TqmtObjectJSON* T = aJSON.Find("T");
  Number(T ? T : aJSON.Find("E"), [&](long double v) { lTime = static_cast<std::int64_t>(v); });
  if (const TqmtObjectJSON* B = a->Find("B")) {
    // One record for all balances: a member missing from an element keeps the previous value.
    TqmtTraderBalance lBalance;
    // The array's own text ("[...]"): reading a list's value gives it.
    const std::string lRaw(const_cast<TqmtObjectJSON*>(B)->Value().AsView());
    for (int i = 0; i < B->Count(); ++i) {
      const TqmtObjectJSON* b = B->At(i);
      if (const auto* lAsset = b->Find("a")) lBalance.SetSymbol(std::string(lAsset->ValueView()));
      Number(b->Find("wb"), [&](long double v) { lBalance.SetWalletBalance(v); });
      Number(b->Find("cwb"), [&](long double v) { lBalance.SetCrossWalletBalance(v); });
      Number(b->Find("bc"), [&](long double v) { lBalance.SetBalanceChange(v); });
      if (lBalance.Symbol().empty()) continue;
      ApplyBalance(lBalance.Symbol(), lBalance.WalletBalance(), lBalance.CrossWalletBalance(), lBalance.BalanceChange(),
                   lTime, -1, lRaw);
    }
    // The available balance is not in the event: asked for on the account worker.
    if (B->Count() > 0 && FHasAccount) PostAccountJob("balances", 0, [this] { RefreshBalances(); });
  }
  if (const TqmtObjectJSON* P = a->Find("P")) {
    for (int i = 0; i < P->Count(); ++i) {
      const TqmtObjectJSON* p = P->At(i);
      const auto* s = p->Find("s");
      if (!s || s->ValueView().empty()) continue;
      std::string lSymbol(s->ValueView());
      // The event's amount and entry at once; the exchange's full record (mark price, profit)
      // from REST on the account worker, never on this reading thread.
      if (const TqmtObjectJSON* mt = p->Find("mt"); mt && !mt->ValueView().empty()) {
        std::lock_guard g(FAccountLock);
        FPositions[lSymbol].MarginType = std::string(mt->ValueView());
      }
      if (p->Find("pa")) {
        long double lAmount = 0, lEntry = 0;
        Number(p->Find("pa"), [&](long double v) { lAmount = v; });
        Number(p->Find("ep"), [&](long double v) { lEntry = v; });
        ApplyPosition(lSymbol, lAmount, lEntry, 0, lTime, aJSON.Text());
      }
      PostAccountJob("position:" + lSymbol, 0, [this, lSymbol] { UpdateSymbolPosition(lSymbol); });
    }
  }
}

void TqmtTraderClient_Binance::ReadSymbols(const std::string& aText) {
  TqmtJSON lDocument;
  lDocument.Read(aText);
  const TqmtObjectJSON* lSymbols = lDocument.Find("symbols");
  if (!lSymbols) return;
  for (int i = 0; i < lSymbols->Count(); ++i) {
    const TqmtObjectJSON* s = lSymbols->At(i);
    const TqmtObjectJSON* lName = s->Find("symbol");
    if (!lName) continue;
    TqmtTraderSymbol_Binance lSymbol;
    lSymbol.SetSymbol(std::string(lName->ValueView()));
    // Coin-margined contracts are worth a fixed amount of USD each: their profit needs it.
    if (const TqmtObjectJSON* lContract = s->Find("contractSize")) {
      std::lock_guard g(FAccountLock);
      FContractSizes[lSymbol.Symbol()] = TraderStrToFloat(lContract->ValueView());
    }
    if (const TqmtObjectJSON* lFilters = s->Find("filters")) {
      for (int k = 0; k < lFilters->Count(); ++k) {
        const TqmtObjectJSON* f = lFilters->At(k);
        const std::string_view lType = Text(f->Find("filterType"));
        if (lType == "PRICE_FILTER") {
          if (const auto* lTick = f->Find("tickSize")) {
            const long double lStep = TraderStrToFloat(lTick->ValueView());
            lSymbol.SetTickSize(TqmtCurrency::FromFloat(lStep));
            lSymbol.SetPriceStep(lStep);
          }
        } else if (lType == "LOT_SIZE") {
          if (const auto* lLot = f->Find("stepSize")) lSymbol.SetLotStep(TraderStrToFloat(lLot->ValueView()));
        }
      }
    }
    DoSymbol(lSymbol);
  }
}
