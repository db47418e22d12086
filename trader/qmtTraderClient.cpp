#include "qmtTraderClient.h"

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <vector>

#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"

namespace {
std::atomic<TqmtTraderClient*> gTraderClient{nullptr};
}  // namespace

TqmtTraderClient* GetTraderClient() { return gTraderClient.load(); }

TqmtTraderClient::TqmtTraderClient() { FHolds->Client = this; }

TqmtTraderStreamHold::~TqmtTraderStreamHold() {
  std::shared_ptr<TRegistry> r = FRegistry.lock();
  if (!r) return;
  std::lock_guard g(r->Lock);
  auto lIt = r->Counts.find(FSymbol);
  if (lIt == r->Counts.end() || --lIt->second > 0) return;
  r->Counts.erase(lIt);
  TqmtTraderClient* c = r->Client;
  if (!c) return;
  const std::vector<std::string> lWatched = c->WatchListSymbols();
  if (std::find(lWatched.begin(), lWatched.end(), FSymbol) != lWatched.end()) return;
  try {
    c->UnSubscribeTicker(FSymbol);
    c->UnSubscribeBookDepth(FSymbol);
    c->UnSubscribeTrades(FSymbol);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmtTrader: unsubscribing %s: %s\n", FSymbol.c_str(), e.what());
  }
}

std::unique_ptr<TqmtTraderStreamHold> TqmtTraderClient::HoldStreams(const std::string& aSymbol) {
  bool lFirst;
  {
    std::lock_guard g(FHolds->Lock);
    lFirst = ++FHolds->Counts[aSymbol] == 1;
  }
  if (lFirst) {
    const std::vector<std::string> lWatched = WatchListSymbols();
    if (std::find(lWatched.begin(), lWatched.end(), aSymbol) == lWatched.end()) {
      try {
        SubscribeTicker(aSymbol);
        SubscribeBookDepth(aSymbol);
        SubscribeTrades(aSymbol);
      } catch (const EAbstractError&) {
        // A client without streams: nothing to hold.
      }
    }
  }
  return std::unique_ptr<TqmtTraderStreamHold>(new TqmtTraderStreamHold(FHolds, aSymbol));
}

bool TqmtTraderClient::StreamsHeld(const std::string& aSymbol) {
  std::lock_guard g(FHolds->Lock);
  return FHolds->Counts.count(aSymbol) > 0;
}

std::vector<std::string> TqmtTraderClient::SubscribedSymbols() {
  std::vector<std::string> lSymbols = WatchListSymbols();
  std::lock_guard g(FHolds->Lock);
  for (const auto& [lSymbol, lCount] : FHolds->Counts)
    if (std::find(lSymbols.begin(), lSymbols.end(), lSymbol) == lSymbols.end()) lSymbols.push_back(lSymbol);
  return lSymbols;
}

TqmtTraderClient::~TqmtTraderClient() {
  {
    // Holds that outlive the client do nothing.
    std::lock_guard g(FHolds->Lock);
    FHolds->Client = nullptr;
  }
  TqmtTraderClient* lSelf = this;
  gTraderClient.compare_exchange_strong(lSelf, nullptr);
  StopCommands();
  // The stream goes first, so no event reaches a half-destroyed client.
  try {
    Disconnect();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmtTrader: disconnecting at exit: %s\n", e.what());
  }
  {
    std::lock_guard g(FReplaceThreadLock);
    if (FReplaceThread.joinable()) FReplaceThread.join();
  }
  FWSClient.reset();
  FRetiredWSClient.reset();
}

std::unique_ptr<TqmtWebSocketClient> TqmtTraderClient::MakeWSClient() {
  auto lClient = std::make_unique<TqmtWebSocketClient>();
  TqmtWebSocketClient* lSelf = lClient.get();
  lClient->SetNotifyEvents(TwsNotifyEvent::neNoSync);
  lClient->OnException = [this](TqmtWSConnection*, const std::exception& e) {
    {
      std::lock_guard g(FErrorLock);
      FLastConnectionError = e.what();
    }
    DoClientException(e);
  };
  // Messages of a connection being replaced still count (the data is the same); its connect and
  // disconnect do not change what the listeners see.
  lClient->OnMessage = [this](TqmtWSConnection*, std::string_view aText) { DoClientMessage(aText); };
  lClient->OnConnect = [this, lSelf](TqmtWSConnection*) {
    if (lSelf == FReplacement.load())
      DoSubscribeAll();  // the replacement: same state for the listeners, the watch list moves over
    else if (IsCurrentWSClient(lSelf))
      DoClientConnect();
  };
  lClient->OnDisconnect = [this, lSelf](TqmtWSConnection*, int) {
    if (IsCurrentWSClient(lSelf) && lSelf != FReplaced.load()) DoClientDisconnect();
  };
  lClient->HeartBeat.Enabled = true;
    // A ping every 5 s, and one unanswered for 8 s drops the connection: with the watchdog's 10 s a
    // silent (or frozen) server is replaced within about 25 s. Without a time-out a connection that
    // dies without a close would never be noticed.
    lClient->HeartBeat.Interval = 5;
    lClient->HeartBeat.Timeout = 8;
    lClient->WatchDog.Enabled = true;
    lClient->WatchDog.Interval = 10;
  lClient->TLSOptions.Version = TwsTLSVersions::tls1_2;
  // The API key travels on this connection's neighbours: know whom we talk to.
  lClient->TLSOptions.VerifyCertificate = true;
  return lClient;
}

void TqmtTraderClient::CopyConnectionSettings(const TqmtWebSocketClient& aFrom, TqmtWebSocketClient& aTo) {
  aTo.HeartBeat = aFrom.HeartBeat;
  aTo.WatchDog = aFrom.WatchDog;
  aTo.TLSOptions = aFrom.TLSOptions;
  aTo.Proxy = aFrom.Proxy;
  aTo.ConnectTimeout = aFrom.ConnectTimeout;
  aTo.HandshakeTimeout = aFrom.HandshakeTimeout;
}

bool TqmtTraderClient::IsCurrentWSClient(const TqmtWebSocketClient* aClient) {
  std::lock_guard g(FWSClientLock);
  return FWSClient.get() == aClient;
}

void TqmtTraderClient::ReplaceConnection() {
  std::lock_guard g(FReplaceThreadLock);
  if (FReplacing.exchange(true)) return;  // one replacement at a time
  if (FReplaceThread.joinable()) FReplaceThread.join();
  // Not on the reading thread that saw the notice: connecting blocks.
  FReplaceThread = std::thread([this] {
    try {
      DoReplaceConnection();
    } catch (const std::exception& e) {
      std::lock_guard g(FErrorLock);
      FLastConnectionError = std::string("replacing the connection: ") + e.what();
    }
    FReplacing = false;
  });
}

void TqmtTraderClient::DoReplaceConnection() {
  TqmtWebSocketClient* lOld;
  {
    std::lock_guard g(FWSClientLock);
    lOld = FWSClient.get();
  }
  if (!lOld || !lOld->Active()) return;  // nothing to replace: the watchdog's business
  // The new connection is the old one's twin: same address and settings.
  auto lNew = MakeWSClient();
  CopyConnectionSettings(*lOld, *lNew);
  lNew->Host = lOld->Host;
  lNew->Port = lOld->Port;
  lNew->TLS = lOld->TLS;
  lNew->Options = lOld->Options;
  lNew->OutgoingFramesPerSecond = lOld->OutgoingFramesPerSecond;
  FReplacement = lNew.get();
  DoAttachStream(*lNew);
  if (!lNew->Connect(10000)) {
    // No replacement: the old connection goes on until the server drops it, then the watchdog.
    FReplacement = nullptr;
    DoAttachStream(*lOld);
    return;
  }
  {
    std::lock_guard g(FWSClientLock);
    FReplaced = lOld;
    FRetiredWSClient = std::move(FWSClient);  // kept: a caller may still hold a reference to it
    FWSClient = std::move(lNew);
  }
  FReplacement = nullptr;
  FRetiredWSClient->WatchDog.Enabled = false;
  FRetiredWSClient->Disconnect(2000);
  FReplaced = nullptr;
}

TqmtWebSocketClient& TqmtTraderClient::GetWSClient() {
  std::lock_guard g(FWSClientLock);
  if (!FWSClient) FWSClient = MakeWSClient();
  return *FWSClient;
}

void TqmtTraderClient::Connect() {
  auto& lClient = GetWSClient();
  if (!lClient.Active()) lClient.Connect(10000);
}

void TqmtTraderClient::Disconnect() {
  TqmtWebSocketClient* lClient;
  {
    std::lock_guard g(FWSClientLock);
    lClient = FWSClient.get();
  }
  // Also when not active: a watchdog retrying a lost stream must stop too (and an attempt under way
  // must end) before anything of this client goes.
  if (lClient) lClient->Disconnect(10000);
}

void TqmtTraderClient::RecordConnectionError(const std::string& aText) {
  std::lock_guard g(FErrorLock);
  FLastConnectionError = aText;
}

std::string TqmtTraderClient::LastConnectionError() {
  std::lock_guard g(FErrorLock);
  return FLastConnectionError;
}

bool TqmtTraderClient::Connected() {
  std::lock_guard lGuard(FWSClientLock);
  auto c = FWSClient ? FWSClient->Connection() : nullptr;
  return c && c->Enabled();
}

void TqmtTraderClient::RegisterTraderClient() { gTraderClient.store(this); }

void TqmtTraderClient::GetSymbols() { throw EAbstractError(); }
void TqmtTraderClient::SubscribeTicker(const std::string&) { throw EAbstractError(); }
void TqmtTraderClient::UnSubscribeTicker(const std::string&) { throw EAbstractError(); }
void TqmtTraderClient::SubscribeBookDepth(const std::string&) { throw EAbstractError(); }
void TqmtTraderClient::UnSubscribeBookDepth(const std::string&) { throw EAbstractError(); }
void TqmtTraderClient::SubscribeTrades(const std::string&) { throw EAbstractError(); }
void TqmtTraderClient::UnSubscribeTrades(const std::string&) { throw EAbstractError(); }
void TqmtTraderClient::PlaceMarketOrder(TqmtTraderOrderSide, const std::string&, long double) { throw EAbstractError(); }
void TqmtTraderClient::PlaceLimitOrder(TqmtTraderOrderSide, const std::string&, long double, long double) {
  throw EAbstractError();
}
void TqmtTraderClient::PlaceStopOrder(TqmtTraderOrderSide, const std::string&, long double, long double) {
  throw EAbstractError();
}
void TqmtTraderClient::PlaceStopOrderLimit(TqmtTraderOrderSide, const std::string&, long double, long double,
                                           long double) {
  throw EAbstractError();
}
void TqmtTraderClient::CancelAllOpenOrders() { throw EAbstractError(); }
void TqmtTraderClient::CancelAllOpenOrders(const std::string&) { throw EAbstractError(); }

void TqmtTraderClient::DoClientConnect() {
  DoNotifyConnect();
  DoSubscribeAll();
}

void TqmtTraderClient::DoClientDisconnect() { DoNotifyDisconnect(); }

std::vector<std::string> TqmtTraderClient::WatchListSymbols() {
  // A cursor of its own, never the one the user interface may be moving.
  std::vector<std::string> lSymbols;
  auto lCursor = GetTraderDataTicker().CDSTicker().CloneCursor();
  lCursor->SetFiltered(false);
  const int lField = lCursor->FindFieldIndex("SYMBOL");
  for (lCursor->First(); !lCursor->Eof(); lCursor->Next()) lSymbols.push_back(lCursor->Fields(lField).AsString());
  return lSymbols;
}

void TqmtTraderClient::DoSubscribeAll() {
  // Collect first, then subscribe.
  const std::vector<std::string> lSymbols = SubscribedSymbols();
  for (const std::string& lSymbol : lSymbols) {
    SubscribeTicker(lSymbol);
    SubscribeBookDepth(lSymbol);
    SubscribeTrades(lSymbol);
  }
}

TqmtTraderBroker& TqmtTraderClient::GetBroker() {
  std::call_once(FBrokerOnce, [this] { FBroker = std::make_unique<TqmtTraderBroker>(); });
  return *FBroker;
}

void TqmtTraderClient::DoSymbol(const TqmtTraderSymbol& aSymbol) {
  GetBroker().Symbols().AddSymbol(aSymbol);
  GetTraderDataSymbols().AddSymbol(aSymbol);
}

void TqmtTraderClient::DoTicker(const TqmtTraderTicker& aTicker) {
  GetBroker().Symbols().UpdateTicker(aTicker);
  GetTraderDataTicker().UpdateTicker(aTicker);
  DoNotifyTicker(aTicker);
}

void TqmtTraderClient::DoPosition(const TqmtTraderPosition& aPosition) {
  GetBroker().Symbols().UpdatePosition(aPosition);
  GetTraderDataPosition().UpdatePosition(aPosition);
  DoNotifyPosition(aPosition);
}

void TqmtTraderClient::DoBookDepth(const TqmtTraderBookDepth& aBookDepth) {
  GetBroker().Symbols().UpdateBookDepth(aBookDepth);
  DoNotifyBookDepth(aBookDepth);
}

void TqmtTraderClient::DoTrade(const TqmtTraderTrade& aTrade) {
  GetBroker().Symbols().UpdateTrade(aTrade);
  DoNotifyTrade(aTrade);
}

void TqmtTraderClient::DoOrder(const TqmtTraderOrder& aOrder) {
  // The table decides whether this is news: a state older than the one shown, or the same state
  // again (an event that the account's snapshot already held), reaches nobody.
  {
    // Orders come from the stream, the account worker and the command queue: one at a time.
    std::lock_guard g(FOrderLock);
    const bool lNews = GetTraderDataOrders().UpdateOrder(aOrder) || aOrder.Symbol().empty();
    if (lNews) {
      GetBroker().Symbols().UpdateOrder(aOrder);
      DoNotifyOrder(aOrder);
    }
  }
  // The exchange's word on an order settles it if its outcome was unknown.
  if (aOrder.OrderStatus() != "UNKNOWN") {
    std::shared_lock g(FCommandsViewLock);
    if (FCommandsView) FCommandsView->OrderReported(aOrder.Id(), aOrder.OrderStatus());
  }
}

TqmtTraderCommands& TqmtTraderClient::Commands() {
  std::lock_guard g(FCommandsLock);
  if (!FCommands) {
    FCommands = std::make_unique<TqmtTraderCommands>(
        static_cast<TqmtTraderCommands::Executor&>(*this),
        [this](const TqmtTraderCommandResult& aResult) {
          // What was not plain success or refusal stays on record in the log.
          if (aResult.Outcome == TqmtTraderOutcome::tocUnknown || aResult.Outcome == TqmtTraderOutcome::tocSettled ||
              aResult.Outcome == TqmtTraderOutcome::tocNotPlaced)
            GetTraderDataLog().Notice(aResult.Text());
          FCommandListeners.Notify(this, aResult);
        });
    std::unique_lock g2(FCommandsViewLock);
    FCommandsView = FCommands.get();
  }
  return *FCommands;
}

void TqmtTraderClient::StopCommands() {
  std::unique_ptr<TqmtTraderCommands> lCommands;
  {
    std::lock_guard g(FCommandsLock);
    std::unique_lock g2(FCommandsViewLock);  // waits for a stream thread inside the queue
    FCommandsView = nullptr;
    lCommands.swap(FCommands);
  }
  lCommands.reset();  // joins the worker; queued commands are told "not sent"
}

namespace {

// A refusal, or an unknown outcome when the exception says so.
TqmtTraderExecution Failed(const std::exception& aError) {
  TqmtTraderExecution e;
  const auto* lTradeBar = dynamic_cast<const TqmtTradeBarException*>(&aError);
  e.Outcome = lTradeBar && lTradeBar->OutcomeUnknown() ? TqmtTraderOutcome::tocUnknown : TqmtTraderOutcome::tocRefused;
  e.Message = aError.what();
  return e;
}

}  // namespace

TqmtTraderExecution TqmtTraderClient::ExecuteOrder(const TqmtTraderOrderRequest& r) {
  try {
    switch (r.Type) {
      case TqmtTraderOrderType::totMarket: PlaceMarketOrder(r.Side, r.Symbol, r.Size); break;
      case TqmtTraderOrderType::totLimit: PlaceLimitOrder(r.Side, r.Symbol, r.Size, r.Price); break;
      case TqmtTraderOrderType::totStop: PlaceStopOrder(r.Side, r.Symbol, r.Size, r.StopPrice); break;
      case TqmtTraderOrderType::totStopLimit: PlaceStopOrderLimit(r.Side, r.Symbol, r.Size, r.StopPrice, r.Price); break;
      default: {
        TqmtTraderExecution e;
        e.Message = TraderOrderTypeText(r.Type) + " orders are not possible here";
        return e;
      }
    }
  } catch (const std::exception& x) {
    return Failed(x);
  }
  TqmtTraderExecution e;
  e.Outcome = TqmtTraderOutcome::tocAccepted;
  return e;
}

TqmtTraderExecution TqmtTraderClient::ExecuteCancel(const std::string&, const std::string&) {
  TqmtTraderExecution e;
  e.Message = "cancelling one order is not offered here";
  return e;
}

TqmtTraderExecution TqmtTraderClient::ExecuteCancelAll(const std::string& aSymbol) {
  try {
    CancelAllOpenOrders(aSymbol);
  } catch (const std::exception& x) {
    return Failed(x);
  }
  TqmtTraderExecution e;
  e.Outcome = TqmtTraderOutcome::tocAccepted;
  return e;
}

void TqmtTraderClient::ShowOrder(const TqmtTraderOrderRequest& aRequest, const std::string& aStatus) {
  TqmtTraderOrder lOrder;
  lOrder.SetDateTime(NowLocal());
  lOrder.SetId(aRequest.ClientOrderId);
  lOrder.SetSymbol(aRequest.Symbol);
  lOrder.SetOrderSide(TraderSideText(aRequest.Side));
  lOrder.SetOrderType(TraderOrderTypeText(aRequest.Type));
  lOrder.SetPrice(aRequest.Type == TqmtTraderOrderType::totStop ? aRequest.StopPrice : aRequest.Price);
  lOrder.SetSize(aRequest.Size);
  lOrder.SetOrderStatus(aStatus);
  std::lock_guard g(FOrderLock);
  GetBroker().Symbols().UpdateOrder(lOrder);
  GetTraderDataOrders().UpdateOrder(lOrder);
  DoNotifyOrder(lOrder);
}

void TqmtTraderClient::DoBalance(const TqmtTraderBalance& aBalance) {
  GetTraderDataBalance().UpdateBalance(aBalance);
  DoNotifyBalance(aBalance);
}
