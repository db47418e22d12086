#include "qmtTraderClient_Binance.h"

#include <cstdio>
#include <cctype>
#include <chrono>
#include <thread>

#include "qmtBase_Helpers.h"
#include "qmtTraderData_Log.h"
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
  // The streams first, then the futures wrapper, then the spot wrapper.
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
  // A 5xx answer or none in time says nothing of what the exchange did with the request.
  const auto* lHTTP = dynamic_cast<const EIdHTTPProtocolException*>(&E);
  const bool lUnknown = (lHTTP && lHTTP->ErrorCode() >= 500) || dynamic_cast<const EIdReadTimeout*>(&E) != nullptr;
  throw TqmtTradeBarException(E.what(), lUnknown);
}

std::string TqmtTraderClient_Binance::LookUpOrder(const std::string& aSymbol, const std::string& aClientOrderId, bool aAlgo) {
  for (int lAttempt = 0; lAttempt < 3; ++lAttempt) {
    if (lAttempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(500 * lAttempt));
    try {
      const std::string lAnswer = FClient  ? FClient->REST_API().QueryOrder(aSymbol, 0, aClientOrderId)
                                  : aAlgo ? FClient_Futures->REST_API().QueryAlgoOrder(aClientOrderId)
                                          : FClient_Futures->REST_API().QueryOrder(aSymbol, 0, aClientOrderId);
      TqmtJSON lDocument;
      lDocument.Read(lAnswer);
      if (const TqmtObjectJSON* lStatus = lDocument.Find(aAlgo ? "algoStatus" : "status")) return std::string(lStatus->ValueView());
      return "UNKNOWN";
    } catch (const TqmtTradeBarException& e) {
      // -2013 "Order does not exist.": the exchange never took it.
      if (std::string(e.what()).find("-2013") != std::string::npos) return "NOT_FOUND";
      if (!e.OutcomeUnknown()) return std::string();
    } catch (const std::exception&) {
      return std::string();
    }
  }
  return std::string();
}

void TqmtTraderClient_Binance::PlaceOrder(const std::string& aSymbol, const std::function<void(const std::string&)>& aSend,
                                          bool aAlgo) {
  if (!FClient && !FClient_Futures) return;
  // An earlier order of this symbol whose outcome is not known yet is looked up first: sending
  // another one blindly could double the position.
  TPendingOrder lPending;
  {
    std::lock_guard g(FPendingLock);
    if (auto lIt = FPendingOrders.find(aSymbol); lIt != FPendingOrders.end()) lPending = lIt->second;
  }
  if (!lPending.ClientOrderId.empty()) {
    const std::string lStatus = LookUpOrder(aSymbol, lPending.ClientOrderId, lPending.Algo);
    if (lStatus.empty())
      throw TqmtTradeBarException("order status unknown: the earlier " + aSymbol + " order (client order id " + lPending.ClientOrderId +
                                      ") could not be looked up yet; nothing was sent",
                                  true);
    std::lock_guard g(FPendingLock);
    FPendingOrders.erase(aSymbol);
  }
  const std::string lId = NewClientOrderId();
  try {
    aSend(lId);
  } catch (const TqmtTradeBarException& e) {
    if (!e.OutcomeUnknown()) throw;
    const std::string lStatus = LookUpOrder(aSymbol, lId, aAlgo);
    if (lStatus == "NOT_FOUND") throw TqmtTradeBarException(std::string("order not placed: ") + e.what());
    if (!lStatus.empty()) {
      // The exchange did take it: no failure, but say so in the log.
      GetTraderDataLog().Notice("order " + lId + " of " + aSymbol + " answered \"" + e.what() + "\"; looked up: " + lStatus);
      return;
    }
    {
      std::lock_guard g(FPendingLock);
      FPendingOrders[aSymbol] = {lId, aAlgo};
    }
    throw TqmtTradeBarException("order status unknown (client order id " + lId + "): " + e.what() +
                                    "; it is looked up before the next " + aSymbol + " order",
                                true);
  }
}

bool TqmtTraderClient_Binance::Initialize(const std::string& aApiKey, const std::string& aApiSecret, bool aFutures,
                                          int aFuturesContracts, bool aTestNet) {
  if (aFutures) {
    auto& f = Client_Futures();
    f.Binance().ApiKey = aApiKey;
    f.Binance().ApiSecret = aApiSecret;
    f.Binance().TestNet = aTestNet;
    f.FuturesContracts = aFuturesContracts == 1 ? TqmtWSBinanceFuturesContracts::bfcCOIN : TqmtWSBinanceFuturesContracts::bfcUSDT;
    f.SetClient(&GetWSClient());
    DropRoutes();
    if (f.FuturesContracts == TqmtWSBinanceFuturesContracts::bfcUSDT) {
      // Today's server routes: this connection takes /market, books and user data go elsewhere.
      f.Route = TqmtWSBinanceFuturesRoute::bfrMarket;
      MakeRoute(FPublic, TqmtWSBinanceFuturesRoute::bfrPublic);
      if (f.Binance().UserStream && !aApiKey.empty()) MakeRoute(FPrivate, TqmtWSBinanceFuturesRoute::bfrPrivate);
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
    DropRoutes();
    if (!aApiKey.empty() && !s.Binance().BinanceUS) {
      FUserClock.BinanceOptions() = s.REST_API().BinanceOptions();
      FUserClock.TLSOptions = s.REST_API().TLSOptions;
      MakeUserRoute();
    }
    GetSymbols();
  }
  // The server's clock, measured now: every signed request of the session depends on it (it is
  // measured again every few minutes, and at once when the exchange refuses a timestamp).
  if (!aApiKey.empty()) {
    if (aFutures)
      FClient_Futures->REST_API().SyncServerTime();
    else
      FClient->REST_API().SyncServerTime();
  }
  return ConnectStreams(10000);
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
    if (aWhich == TqmtWSBinanceFuturesRoute::bfrPublic && FPublic.API) SubscribeWatchList(*FPublic.API, aWhich);
    UpdateRouteState();
  };
  w.OnDisconnect = [this](TqmtWSConnection*, int) { UpdateRouteState(); };
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
  w.OnConnect = [this](TqmtWSConnection*) { UpdateRouteState(); };
  w.OnDisconnect = [this](TqmtWSConnection*, int) { UpdateRouteState(); };
  FUser.API = std::make_unique<TqmtWSAPI_Binance_UserData>();
  TqmtWSAPI_Binance_UserData& a = *FUser.API;
  a.Binance().Assign(FClient->Binance());
  a.RecvWindow = FClient->REST_API().BinanceOptions().RecvWindow;
  // The request is signed with the REST client's measure of the server's clock.
  a.Timestamp = [this] { return FUserClock.GetTimestamp(); };
  a.SetClient(&w);
}

void TqmtTraderClient_Binance::DropRoutes() {
  for (TRoute* r : {&FPrivate, &FPublic}) {
    if (r->WS) r->WS->Disconnect(10000);
    r->API.reset();  // unregisters from its client
    r->WS.reset();
  }
  if (FUser.WS) FUser.WS->Disconnect(10000);
  FUser.API.reset();
  FUser.WS.reset();
}

bool TqmtTraderClient_Binance::ConnectStreams(int aTimeout) {
  // The market data first: when it cannot connect, its failure is the one to tell.
  if (!GetWSClient().Connect(aTimeout)) return false;
  bool lOpen = true;
  for (TRoute* r : {&FPublic, &FPrivate})
    if (r->WS) lOpen = r->WS->Connect(aTimeout) && lOpen;
  if (FUser.WS) {
    lOpen = FUser.WS->Connect(aTimeout) && lOpen;
    // Open is not enough: the subscription must be accepted (or its refusal told).
    const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeout);
    while (lOpen && FUser.API->SubscriptionState() == 0 && std::chrono::steady_clock::now() < lEnd)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (FUser.API->SubscriptionState() != 1) {
      if (FUser.API->SubscriptionState() == -1) RecordConnectionError("the exchange refused the user-data subscription: " + FUser.API->Refusal());
      lOpen = false;
    }
  }
  return lOpen;
}

void TqmtTraderClient_Binance::Disconnect() {
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
                    (!FPrivate.WS || lUp(FPrivate.WS.get())) && (!FUser.WS || lUp(FUser.WS.get()));
  if (lAll) {
    if (!FAllUp.exchange(true)) DoNotifyConnect();
  } else if (FAllUp.exchange(false)) {
    DoNotifyDisconnect();
  }
}

void TqmtTraderClient_Binance::DoClientConnect() {
  if (!HasExtraStreams()) {
    TqmtTraderClient::DoClientConnect();
    return;
  }
  DoSubscribeAll();  // this connection's streams (/market when routed)
  UpdateRouteState();
}

void TqmtTraderClient_Binance::DoClientDisconnect() {
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
  if (FClient)
    FClient->UnSubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20);
  else if (Routed() && FPublic.API)
    FPublic.API->UnSubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20);
  else if (FClient_Futures)
    FClient_Futures->UnSubscribePartialBookDepth(Lower(aSymbol), TqmtWSBinanceDepthLevels::bde20);
}

void TqmtTraderClient_Binance::SubscribeTrades(const std::string& aSymbol) {
  if (FClient)
    FClient->SubscribeAggregateTrades(Lower(aSymbol));
  else if (FClient_Futures)
    FClient_Futures->SubscribeAggregateTrades(Lower(aSymbol));
}

void TqmtTraderClient_Binance::UnSubscribeTrades(const std::string& aSymbol) {
  if (FClient)
    FClient->UnSubscribeAggregateTrades(Lower(aSymbol));
  else if (FClient_Futures)
    FClient_Futures->UnSubscribeAggregateTrades(Lower(aSymbol));
}

// REST answers are discarded: results come back over the user-data stream.
void TqmtTraderClient_Binance::PlaceMarketOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize) {
  PlaceOrder(aSymbol, [&](const std::string& aId) {
    if (FClient)
      FClient->REST_API().PlaceMarketOrder(Side(aSide), aSymbol, aSize, aId);
    else
      FClient_Futures->REST_API().PlaceMarketOrder(Side(aSide), aSymbol, aSize, aId);
  });
}

void TqmtTraderClient_Binance::PlaceLimitOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                                               long double aLimitPrice) {
  PlaceOrder(aSymbol, [&](const std::string& aId) {
    if (FClient)
      FClient->REST_API().PlaceLimitOrder(Side(aSide), aSymbol, aSize, aLimitPrice, aId);
    else
      FClient_Futures->REST_API().PlaceLimitOrder(Side(aSide), aSymbol, aSize, aLimitPrice, aId);
  });
}

void TqmtTraderClient_Binance::PlaceStopOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                                              long double aStopPrice) {
  PlaceOrder(aSymbol, [&](const std::string& aId) {
    if (FClient)
      FClient->REST_API().PlaceStopOrder(Side(aSide), aSymbol, aSize, aStopPrice, 0, aId);
    else
      FClient_Futures->REST_API().PlaceStopOrder(Side(aSide), aSymbol, aSize, aStopPrice, 0, aId);
  }, !FClient);
}

void TqmtTraderClient_Binance::PlaceStopOrderLimit(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                                                   long double aStopPrice, long double aLimitPrice) {
  PlaceOrder(aSymbol, [&](const std::string& aId) {
    if (FClient)
      FClient->REST_API().PlaceStopOrder(Side(aSide), aSymbol, aSize, aStopPrice, aLimitPrice, aId);
    else
      FClient_Futures->REST_API().PlaceStopOrder(Side(aSide), aSymbol, aSize, aStopPrice, aLimitPrice, aId);
  }, !FClient);
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
  for (const std::string& lSymbol : WatchListSymbols()) {
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
  if (!lStreams.empty()) aApi.Subscribe(lStreams);
}

void TqmtTraderClient_Binance::CancelAllOpenOrders(const std::string& aSymbol) {
  if (FClient) {
    FClient->REST_API().CancelAllOpenOrders(aSymbol);
  } else if (FClient_Futures) {
    // Plain orders and conditional ones live apart since the Algo Order API.
    FClient_Futures->REST_API().CancelAllOpenOrders(aSymbol);
    FClient_Futures->REST_API().CancelAllAlgoOpenOrders(aSymbol);
  }
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
  lOrder.SetOrderStatus(std::string(Text(e.Find("X"))));
  lOrder.SetRaw(aRaw);
  DoOrder(lOrder);
}

template <typename TNode>
void TqmtTraderClient_Binance::DoReadSpotAccount(const TNode& e, const std::string& aRaw) {
  // Spot has no cross margin: the wallet balance is free + locked, the "cross wallet" balance the
  // free part, and the change what the wallet moved since the last report of the asset.
  const TqmtObjectJSON* B = e.Find("B");
  if (!B) return;
  for (int i = 0; i < B->Count(); ++i) {
    const TqmtObjectJSON* b = B->At(i);
    const std::string lAsset(Text(b->Find("a")));
    if (lAsset.empty()) continue;
    long double lFree = 0, lLocked = 0;
    Number(b->Find("f"), [&](long double v) { lFree = v; });
    Number(b->Find("l"), [&](long double v) { lLocked = v; });
    auto lKnown = FSpotBalances.find(lAsset);
    const long double lChange = lKnown == FSpotBalances.end() ? 0 : (lFree + lLocked) - lKnown->second.first;
    FSpotBalances[lAsset] = {lFree + lLocked, lFree};
    TqmtTraderBalance lBalance;
    lBalance.SetSymbol(lAsset);
    lBalance.SetWalletBalance(lFree + lLocked);
    lBalance.SetCrossWalletBalance(lFree);
    lBalance.SetBalanceChange(lChange);
    lBalance.SetRaw(aRaw);
    DoBalance(lBalance);
  }
}

template <typename TNode>
void TqmtTraderClient_Binance::DoReadSpotBalanceUpdate(const TNode& e, const std::string& aRaw) {
  // A deposit, withdrawal or transfer: the delta moves the last known balances.
  const std::string lAsset(Text(e.Find("a")));
  if (lAsset.empty()) return;
  long double lDelta = 0;
  Number(e.Find("d"), [&](long double v) { lDelta = v; });
  auto& lKnown = FSpotBalances[lAsset];
  lKnown.first += lDelta;
  lKnown.second += lDelta;
  TqmtTraderBalance lBalance;
  lBalance.SetSymbol(lAsset);
  lBalance.SetWalletBalance(lKnown.first);
  lBalance.SetCrossWalletBalance(lKnown.second);
  lBalance.SetBalanceChange(lDelta);
  lBalance.SetRaw(aRaw);
  DoBalance(lBalance);
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
  Number(o->Find("q"), [&](long double v) { lOrder.SetSize(v); });
  lOrder.SetOrderStatus(std::string(Text(o->Find("X"))));
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

void TqmtTraderClient_Binance::DoReadTrade(TqmtJSON& aJSON) {
  TqmtTraderTrade lTrade;
  lTrade.SetSymbol(std::string(Text(aJSON.Find("s"))));
  Number(aJSON.Find("p"), [&](long double v) { lTrade.SetPrice(v); });
  Number(aJSON.Find("q"), [&](long double v) { lTrade.SetSize(v); });
  if (const auto* T = aJSON.Find("T")) lTrade.SetDate(TraderMillisecondsToDateTime(T->ValueView()));
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
  lOrder.SetOrderStatus(std::string(Text(o->Find("X"))));
  lOrder.SetRaw(aJSON.Text());
  DoOrder(lOrder);
}

void TqmtTraderClient_Binance::DoReadAccount(TqmtJSON& aJSON) {
  const TqmtObjectJSON* a = aJSON.Find("a");
  if (!a) return;
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
      lBalance.SetRaw(lRaw);
      DoBalance(lBalance);
    }
  }
  if (const TqmtObjectJSON* P = a->Find("P")) {
    for (int i = 0; i < P->Count(); ++i)
      if (const auto* s = P->At(i)->Find("s")) UpdateSymbolPosition(std::string(s->ValueView()));
  }
}

void TqmtTraderClient_Binance::UpdateSymbolPosition(const std::string& aSymbol) {
  if (aSymbol.empty() || !FClient_Futures) return;
  // The stream thread's own REST client: the user interface's (orders) is never touched here.
  if (!FPositionREST) FPositionREST = std::make_unique<TqmtHTTP_API_Binance_Futures_Rest>();
  FClient_Futures->ConfigureREST(*FPositionREST);
  std::string lAnswer;
  try {
    // While the exchange asks us to wait this automatic request waits for the next account
    // update; a failed one is logged. Neither is a fault of the stream, which goes on.
    const TqmtBinanceHostState lHost = BinanceHostState(BinanceHostOf(FPositionREST->GetBaseURL()));
    if (lHost.BlockedUntil > GetTicks()) return;
    lAnswer = FPositionREST->GetPositionInformation(aSymbol);
  } catch (const std::exception& e) {
    GetTraderDataLog().Notice("position of " + aSymbol + " not refreshed: " + e.what());
    return;
  }
  TqmtJSON lDocument;  // not the dispatcher's: this runs inside its handling
  lDocument.Read(lAnswer);
  if (lDocument.Count() != 1) return;
  const TqmtObjectJSON* e = lDocument.At(0);
  TqmtTraderPosition lPosition;
  lPosition.SetSymbol(aSymbol);
  Number(e->Find("positionAmt"), [&](long double v) { lPosition.SetPosition(v); });
  Number(e->Find("entryPrice"), [&](long double v) { lPosition.SetEntryPrice(v); });
  Number(e->Find("markPrice"), [&](long double v) { lPosition.SetMarketPrice(v); });
  Number(e->Find("unRealizedProfit"), [&](long double v) { lPosition.SetUnRealizedProfit(v); });
  DoPosition(lPosition);
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
