// The exchange-neutral trader client: the user interface connects, subscribes, places orders and
// registers listeners here; an exchange subclass fills in the abstract operations and feeds records
// back through DoSymbol and DoTicker ... DoBalance, which fan each record out in a fixed order: the
// broker's per-symbol cache, the matching data table, then the listeners in registration order.
//
// Threads: records arrive on the stream connection's thread, so the fan-out, the table writes and
// every listener call run there; the account's snapshots bring orders, balances and positions on
// the account worker too (orders one at a time under FOrderLock, balances and positions under the
// exchange client's account lock), so a listener may be called from either, never from both at
// once for one kind. Listeners that touch windows hand their work to the user-interface thread
// themselves. Whatever waits for the exchange is submitted to the command queue (Submit...)
// and runs on its worker, with results to the command listeners; the synchronous operations
// (PlaceMarketOrder ...) are for programs without windows and never for the worker itself.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "qmtSystem.h"
#include "qmtWebSocket_Client.h"
#include "qmtTraderBroker.h"
#include "qmtTraderCommands.h"
#include "qmtTraderListeners.h"
#include "qmtTraderMarketData.h"

// A failed exchange request reported to the trade bar; the message ends with the exchange's answer.
class TqmtTradeBarException : public Exception {
public:
  using Exception::Exception;
  TqmtTradeBarException(const std::string& aMessage, bool aOutcomeUnknown)
      : Exception(aMessage), FOutcomeUnknown(aOutcomeUnknown) {}
  // The request may or may not have been carried out (a 5xx answer or no answer in time).
  bool OutcomeUnknown() const { return FOutcomeUnknown; }

private:
  bool FOutcomeUnknown = false;
};

// Raised by an operation that the exchange client does not provide.
class EAbstractError : public Exception {
public:
  EAbstractError() : Exception("Abstract Error") {}
};

using TqmtTraderOrderEvent = TqmtMethod<void(TObject* Sender, const TqmtTraderOrder& aOrder)>;

// The account's totals of one margin asset: the unrealised profit of the positions (at the mark
// price) and the balance available for new orders.
struct TqmtTraderAccountTotal {
  std::string Asset;
  long double UnrealizedProfit = 0, Available = 0;
  long double Value = 0;  // spot: every balance at its last price, in this asset (0 not known)
};

class TqmtTraderClient;
// A page's hold on a symbol's streams (ticker, book, trades): while any hold of the symbol lives,
// they stay subscribed whatever the watch list does, and every reconnection subscribes them again.
// The last hold of a symbol that is not on the watch list unsubscribes it. A hold outliving its
// client does nothing.
class TqmtTraderStreamHold {
public:
  ~TqmtTraderStreamHold();
  TqmtTraderStreamHold(const TqmtTraderStreamHold&) = delete;
  TqmtTraderStreamHold& operator=(const TqmtTraderStreamHold&) = delete;
  const std::string& Symbol() const { return FSymbol; }

  // The holds of one client: a count per symbol, and the client while it lives.
  struct TRegistry {
    std::recursive_mutex Lock;
    std::map<std::string, int> Counts;
    TqmtTraderClient* Client = nullptr;
  };

private:
  friend class TqmtTraderClient;
  TqmtTraderStreamHold(std::shared_ptr<TRegistry> aRegistry, std::string aSymbol)
      : FRegistry(std::move(aRegistry)), FSymbol(std::move(aSymbol)) {}
  std::weak_ptr<TRegistry> FRegistry;
  std::string FSymbol;
};
// The result of a command of the queue (an order, a cancel, a task), on the worker's thread.
using TqmtTraderCommandEvent = TqmtMethod<void(TObject* Sender, const TqmtTraderCommandResult& aResult)>;

class TqmtTraderClient : public TObject, protected TqmtTraderCommands::Executor {
public:
  TqmtTraderClient();
  ~TqmtTraderClient() override;
  TqmtTraderClient(const TqmtTraderClient&) = delete;
  TqmtTraderClient& operator=(const TqmtTraderClient&) = delete;

  // Makes this object the process-wide trader client; a destroyed client unregisters itself first,
  // so GetTraderClient never hands out a dead one.
  void RegisterTraderClient();

  // ---- the exchange's part (calling these on the base raises EAbstractError "Abstract Error")
  virtual void GetSymbols();
  virtual void SubscribeTicker(const std::string& aSymbol);
  virtual void UnSubscribeTicker(const std::string& aSymbol);
  virtual void SubscribeBookDepth(const std::string& aSymbol);
  virtual void UnSubscribeBookDepth(const std::string& aSymbol);
  virtual void SubscribeTrades(const std::string& aSymbol);
  virtual void UnSubscribeTrades(const std::string& aSymbol);
  virtual void PlaceMarketOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize);
  virtual void PlaceLimitOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                               long double aLimitPrice);
  virtual void PlaceStopOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                              long double aStopPrice);
  virtual void PlaceStopOrderLimit(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                                   long double aStopPrice, long double aLimitPrice);
  virtual void CancelAllOpenOrders();
  virtual void CancelAllOpenOrders(const std::string& aSymbol);

  // ---- the command queue: nothing here waits for the exchange; results come to the command listeners
  // The queue, made on first use (its worker thread with it).
  TqmtTraderCommands& Commands();
  std::uint64_t SubmitOrder(TqmtTraderOrderRequest& aRequest) { return Commands().SubmitOrder(aRequest); }
  std::uint64_t SubmitCancel(const std::string& aSymbol, const std::string& aClientOrderId) {
    return Commands().SubmitCancel(aSymbol, aClientOrderId);
  }
  std::uint64_t SubmitCancelAll(const std::string& aSymbol) { return Commands().SubmitCancelAll(aSymbol); }
  std::uint64_t SubmitModify(TqmtTraderOrderRequest& aRequest) { return Commands().SubmitModify(aRequest); }
  std::uint64_t SubmitTask(const std::string& aSymbol, const std::string& aDescription, std::function<void()> aWork) {
    return Commands().SubmitTask(aSymbol, aDescription, std::move(aWork));
  }
  void RegisterOnCommandResult(const TqmtTraderCommandEvent& aEvent) { FCommandListeners.Register(aEvent); }
  void UnRegisterOnCommandResult(const TqmtTraderCommandEvent& aEvent) { FCommandListeners.UnRegister(aEvent); }

  // ---- registrations that end with their owner (keep the returned object as long as the listener lives)
  [[nodiscard]] TqmtRegistration ListenConnect(const TNotifyEvent& e) { return FConnectListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenDisconnect(const TNotifyEvent& e) { return FDisconnectListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenTicker(const TqmtTraderTickerEvent& e) { return FTickerListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenPosition(const TqmtTraderPositionEvent& e) { return FPositionListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenBookDepth(const TqmtTraderBookDepthEvent& e) { return FBookDepthListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenTrade(const TqmtTraderTradeEvent& e) { return FTradeListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenOrder(const TqmtTraderOrderEvent& e) { return FOrderListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenBalance(const TqmtTraderBalanceEvent& e) { return FBalanceListeners.Listen(e); }
  [[nodiscard]] TqmtRegistration ListenCommandResult(const TqmtTraderCommandEvent& e) { return FCommandListeners.Listen(e); }

  // ---- listeners (registering an equal callback again moves it to the end)
  void RegisterOnConnect(const TNotifyEvent& aEvent) { FConnectListeners.Register(aEvent); }
  void UnRegisterOnConnect(const TNotifyEvent& aEvent) { FConnectListeners.UnRegister(aEvent); }
  void RegisterOnDisconnect(const TNotifyEvent& aEvent) { FDisconnectListeners.Register(aEvent); }
  void UnRegisterOnDisconnect(const TNotifyEvent& aEvent) { FDisconnectListeners.UnRegister(aEvent); }
  void RegisterOnTicker(const TqmtTraderTickerEvent& aEvent) { FTickerListeners.Register(aEvent); }
  void UnRegisterOnTicker(const TqmtTraderTickerEvent& aEvent) { FTickerListeners.UnRegister(aEvent); }
  void RegisterOnPosition(const TqmtTraderPositionEvent& aEvent) { FPositionListeners.Register(aEvent); }
  void UnRegisterOnPosition(const TqmtTraderPositionEvent& aEvent) { FPositionListeners.UnRegister(aEvent); }
  void RegisterOnBookDepth(const TqmtTraderBookDepthEvent& aEvent) { FBookDepthListeners.Register(aEvent); }
  void UnRegisterOnBookDepth(const TqmtTraderBookDepthEvent& aEvent) { FBookDepthListeners.UnRegister(aEvent); }
  void RegisterOnTrade(const TqmtTraderTradeEvent& aEvent) { FTradeListeners.Register(aEvent); }
  void UnRegisterOnTrade(const TqmtTraderTradeEvent& aEvent) { FTradeListeners.UnRegister(aEvent); }
  void RegisterOnBalance(const TqmtTraderBalanceEvent& aEvent) { FBalanceListeners.Register(aEvent); }
  // Orders as the exchange reports them (the command-line client prints them).
  void RegisterOnOrder(const TqmtTraderOrderEvent& aEvent) { FOrderListeners.Register(aEvent); }
  void UnRegisterOnOrder(const TqmtTraderOrderEvent& aEvent) { FOrderListeners.UnRegister(aEvent); }
  void UnRegisterOnBalance(const TqmtTraderBalanceEvent& aEvent) { FBalanceListeners.UnRegister(aEvent); }

  TqmtTraderBroker& Broker() { return GetBroker(); }

  // ---- the stream connection
  // The WebSocket client, made on first use: events on the reading thread, a ping every 5 s with an
  // 8 s time-out (a connection that dies silently is dropped and the watchdog, every 10 s,
  // reconnects), TLS 1.2 with the server's certificate and host name verified.
  TqmtWebSocketClient& GetWSClient();
  // The text of the last failure the connection reported (a refused listen key, a certificate
  // error, a time-out), for a program that must say why it could not connect.
  std::string LastConnectionError();
  // Whether the stream connection is up now: what the connect and disconnect listeners last heard
  // or are about to hear (a window that registers late reads it once after registering).
  virtual bool Connected();
  // Connects when not active, waiting up to 10000 ms; the connect listeners hear of success.
  virtual void Connect();
  // Disconnects, waiting up to 10000 ms, and stops the watchdog; nothing without a client.
  virtual void Disconnect();
  // The handlers of the client's events.
  virtual void DoClientConnect();
  virtual void DoClientDisconnect();
  virtual void DoClientException(const std::exception& aException) {}
  virtual void DoClientMessage(std::string_view aText) {}
  // Subscribes ticker, book and trades of every symbol of the ticker table, in table order.
  virtual void DoSubscribeAll();
  // The symbols of the ticker table (the watch list), in table order.
  std::vector<std::string> WatchListSymbols();
  // The watch list, then the symbols pages hold that are not on it: what a connection subscribes.
  std::vector<std::string> SubscribedSymbols();
  // Holds a symbol's streams for a page (see TqmtTraderStreamHold); subscribes them when the watch
  // list does not have the symbol. From the user interface's thread.
  std::unique_ptr<TqmtTraderStreamHold> HoldStreams(const std::string& aSymbol);
  // Whether a page holds the symbol's streams now.
  bool StreamsHeld(const std::string& aSymbol);

  // ---- the account, as the exchange client knows it (nothing here without one)
  // The market and network in words ("USDⓈ-M futures, test network"); "" before a sign-in.
  virtual std::string MarketName() const { return std::string(); }
  // Signed in to a futures market (positions, reduce-only, leverage).
  virtual bool FuturesMarket() const { return false; }
  // Whether this session trades (a key was given) or watches market data only.
  virtual bool HasAccount() const { return false; }
  // Why the account's data is not flowing ("" when it is): the exchange's words.
  virtual std::string AccountProblem() { return std::string(); }
  virtual std::vector<TqmtTraderAccountTotal> AccountTotals() { return {}; }
  // The server announced its shutdown: a second connection is opened at once (on a thread of this
  // client), the watch list subscribed on it, and only then the old one closed, so no event is
  // missed and the listeners see no disconnect. A failed replacement leaves the old connection to
  // the server's close and the watchdog.
  void ReplaceConnection();

  // ---- the fan-out, called by the exchange client; the record stays the caller's
  virtual TqmtTraderBroker& GetBroker();
  virtual void DoSymbol(const TqmtTraderSymbol& aSymbol);
  virtual void DoTicker(const TqmtTraderTicker& aTicker);
  virtual void DoPosition(const TqmtTraderPosition& aPosition);
  virtual void DoBookDepth(const TqmtTraderBookDepth& aBookDepth);
  virtual void DoTrade(const TqmtTraderTrade& aTrade);
  virtual void DoOrder(const TqmtTraderOrder& aOrder);
  virtual void DoBalance(const TqmtTraderBalance& aBalance);

protected:
  // The queue's executor, by default through the operations above: a TqmtTradeBarException is a
  // refusal, or an unknown outcome when it says so.
  TqmtTraderExecution ExecuteOrder(const TqmtTraderOrderRequest& aRequest) override;
  TqmtTraderExecution ExecuteCancel(const std::string& aSymbol, const std::string& aClientOrderId) override;
  TqmtTraderExecution ExecuteCancelAll(const std::string& aSymbol) override;
  std::string LookUp(const std::string& aSymbol, const std::string& aClientOrderId, bool aAlgo) override { return std::string(); }
  void ShowOrder(const TqmtTraderOrderRequest& aRequest, const std::string& aStatus) override;
  // Ends the queue (its worker joined) before what it uses goes: a subclass's destructor calls it first.
  void StopCommands();
  void RecordConnectionError(const std::string& aText);
  // What the user or the program chose for a stream connection (heart-beat, watchdog, TLS, proxy,
  // time-outs), for another connection of the same session; address and events are not copied.
  static void CopyConnectionSettings(const TqmtWebSocketClient& aFrom, TqmtWebSocketClient& aTo);
  // Moves whatever is attached to the stream connection (the exchange's stream wrapper) to aClient.
  virtual void DoAttachStream(TqmtWebSocketClient& aClient) {}
  virtual void DoNotifyConnect() { FConnectListeners.Notify(this); }
  virtual void DoNotifyDisconnect() { FDisconnectListeners.Notify(this); }
  virtual void DoNotifyTicker(const TqmtTraderTicker& aTicker) { FTickerListeners.Notify(this, aTicker); }
  virtual void DoNotifyPosition(const TqmtTraderPosition& aPosition) { FPositionListeners.Notify(this, aPosition); }
  virtual void DoNotifyBookDepth(const TqmtTraderBookDepth& aDepth) { FBookDepthListeners.Notify(this, aDepth); }
  virtual void DoNotifyTrade(const TqmtTraderTrade& aTrade) { FTradeListeners.Notify(this, aTrade); }
  virtual void DoNotifyOrder(const TqmtTraderOrder& aOrder) { FOrderListeners.Notify(this, aOrder); }
  virtual void DoNotifyBalance(const TqmtTraderBalance& aBalance) { FBalanceListeners.Notify(this, aBalance); }

private:
  std::unique_ptr<TqmtWebSocketClient> MakeWSClient();
  friend class TqmtTraderStreamHold;
  std::shared_ptr<TqmtTraderStreamHold::TRegistry> FHolds = std::make_shared<TqmtTraderStreamHold::TRegistry>();
  bool IsCurrentWSClient(const TqmtWebSocketClient* aClient);
  void DoReplaceConnection();

  std::mutex FWSClientLock;
  std::unique_ptr<TqmtWebSocketClient> FRetiredWSClient;  // the last one replaced
  std::atomic<TqmtWebSocketClient*> FReplacement{nullptr}, FReplaced{nullptr};
  std::atomic<bool> FReplacing{false};
  std::mutex FReplaceThreadLock;
  std::thread FReplaceThread;
  std::mutex FErrorLock;
  std::string FLastConnectionError;
  std::unique_ptr<TqmtWebSocketClient> FWSClient;
  std::mutex FCommandsLock;
  // The queue as the stream threads see it: read under the shared lock, cleared under the unique
  // one before the queue goes, so no stream thread is inside it then.
  std::shared_mutex FCommandsViewLock;
  TqmtTraderCommands* FCommandsView = nullptr;
  std::unique_ptr<TqmtTraderCommands> FCommands;
  TqmtListenerList<TqmtTraderCommandEvent> FCommandListeners;
  // Order records reach the broker, the table and the listeners one at a time, whichever thread
  // brings them (the stream, the account worker, the command queue).
  std::mutex FOrderLock;
  std::once_flag FBrokerOnce;
  std::unique_ptr<TqmtTraderBroker> FBroker;
  TqmtListenerList<TNotifyEvent> FConnectListeners;
  TqmtListenerList<TNotifyEvent> FDisconnectListeners;
  TqmtListenerList<TqmtTraderTickerEvent> FTickerListeners;
  TqmtListenerList<TqmtTraderPositionEvent> FPositionListeners;
  TqmtListenerList<TqmtTraderBookDepthEvent> FBookDepthListeners;
  TqmtListenerList<TqmtTraderTradeEvent> FTradeListeners;
  TqmtListenerList<TqmtTraderOrderEvent> FOrderListeners;
  TqmtListenerList<TqmtTraderBalanceEvent> FBalanceListeners;
};

// The registered process-wide trader client, or nullptr before one is registered or after it was
// destroyed.
TqmtTraderClient* GetTraderClient();
