// The trader client for the exchange: the reading half maps every stream message to a record and
// hands it to the fan-out; the commanding half (Initialize, subscriptions, orders) drives the
// exchange's stream wrapper and REST clients. Which wrapper exists decides the market: spot
// (Client) is preferred, else futures (Client_Futures), else every command does nothing.
//
// The account's state is read whole (open orders plain and conditional, balances, positions) after
// every (re)connection or (re)subscription of its data, and the tables brought to it: orders that
// ended meanwhile are looked up and move to the history with their final state. Writers of a
// balance or position compare the exchange's update times, so a stream event and a snapshot that
// cross apply in the exchange's order and never twice. Positions are valued live from the mark
// price stream of each symbol held.
//
// Threads: DoClientMessage and every mapping run on the stream's reading thread (one document
// reused for all messages); orders, cancels and look-ups run on the command queue's worker (the
// REST clients of REST_API() are the worker's once signed in); snapshots, position and balance
// refreshes and the user-data retries run on the account worker (REST clients of its own, short
// time-outs); Initialize runs on the thread that signs in (the sign-in dialog's, or the program's
// at start-up), before anything is queued, and stops the account worker before it changes the market.
#pragma once

#include <atomic>
#include <condition_variable>
#include <thread>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "qmtJSON.h"
#include "qmtTraderAccountWorker.h"
#include "qmtTraderBookKeeper.h"
#include "qmtTraderHistory.h"
#include "qmtTraderListeners.h"
#include "qmtTraderClient.h"
#include "qmtTraderData_Orders.h"
#include "qmtWebSocket_API_Binance.h"

class TqmtTraderClient_Binance : public TqmtTraderClient {
public:
  ~TqmtTraderClient_Binance() override;

  // The wrappers, made on first access with their REST failures bound to DoBinanceHTTPException.
  TqmtWSAPI_Binance& Client();
  TqmtWSAPI_Binance_Futures& Client_Futures();
  bool HasClient() const { return FClient != nullptr; }
  bool Connected() override { return HasExtraStreams() ? FAllUp.load() : TqmtTraderClient::Connected(); }
  bool HasClientFutures() const { return FClient_Futures != nullptr; }
  // The symbol of a market stream name ("btcusdt@ticker" -> "BTCUSDT"); empty for other names.
  static std::string StreamSymbol(std::string_view aStream);
  // The stored tables' market of a sign-in (see SetTraderDataMarket): "" spot, "USDM", "COINM".
  static std::string DataMarket(bool aFutures, int aFuturesContracts);

  // Configures the market's wrapper, loads the spot symbols, connects (up to 10000 ms).
  // aFuturesContracts 1 is coin-margined, any other value USDT-margined. USDT-margined streams are
  // routed: the stream connection (GetWSClient) takes /market, and two more take /public (books)
  // and /private (user data, with a key); connected means all of them are.
  bool Initialize(const std::string& aApiKey, const std::string& aApiSecret, bool aFutures, int aFuturesContracts,
                  bool aTestNet);
  // Connects every stream connection the market needs, each waiting up to aTimeout ms; true when all are open.
  bool ConnectStreams(int aTimeout);
  // Why the last sign-in or connection failed, naming the connection and its address: "cannot
  // connect to the account's WebSocket API at host:port: Host not found"; a refused key as the
  // exchange said it.
  std::string SignInFailure();
  void Connect() override { ConnectStreams(10000); }
  // Disconnects every stream connection (the watchdogs stop).
  void Disconnect() override;
  // The stream connections of the USDT-margined routes other than /market (none elsewhere).
  TqmtWebSocketClient* PublicWSClient() const { return FPublic.WS.get(); }
  TqmtWebSocketClient* PrivateWSClient() const { return FPrivate.WS.get(); }
  // Spot with a key: the WebSocket-API connection that carries the account's user data (and orders).
  TqmtWebSocketClient* UserWSClient() const { return FUser.WS.get(); }
  TqmtWSAPI_Binance_UserData* UserData() const { return FUser.API.get(); }
  // USDT-margined with a key: the WebSocket-API connection that carries orders.
  TqmtWebSocketClient* OrdersWSClient() const { return FOrders.WS.get(); }
  TqmtWSAPI_Binance_Requests* OrdersAPI() const { return FOrders.API.get(); }
  // The WebSocket API that orders go over now (nullptr: none is open, orders go over REST).
  TqmtWSAPI_Binance_Requests* OrderChannel() const;
  // recvWindow of every signed request (ms): an order held up longer than this in a stalled
  // connection is refused by the exchange instead of executed late. Set before Initialize.
  int RecvWindowMs = 3000;
  // How long an order request waits for its answer on the WebSocket API (ms), and any REST
  // request for its whole exchange.
  int OrderTimeoutMs = 5000;
  int RequestTimeoutMs = 10000;
  // The REST host's kept connection is used at least this often (ms; a ping, weight 1, when idle),
  // so that a connection the server closed is opened again in the background, not by an order.
  std::atomic<int> KeepWarmMs{15000};
  // The receive window and time-outs of this client's requests into a REST client.
  void ConfigureRequests(TqmtHTTP_API_Binance& aREST) const;
  bool Routed() const;

  void GetSymbols() override;
  void SubscribeTicker(const std::string& aSymbol) override;
  void UnSubscribeTicker(const std::string& aSymbol) override;
  void SubscribeBookDepth(const std::string& aSymbol) override;
  void UnSubscribeBookDepth(const std::string& aSymbol) override;
  void SubscribeTrades(const std::string& aSymbol) override;
  void UnSubscribeTrades(const std::string& aSymbol) override;
  void PlaceMarketOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize) override;
  void PlaceLimitOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                       long double aLimitPrice) override;
  void PlaceStopOrder(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                      long double aStopPrice) override;
  void PlaceStopOrderLimit(TqmtTraderOrderSide aSide, const std::string& aSymbol, long double aSize,
                           long double aStopPrice, long double aLimitPrice) override;
  void CancelAllOpenOrders() override {}
  void CancelAllOpenOrders(const std::string& aSymbol) override;
  // The whole watch list in a few SUBSCRIBE messages (ticker, book and trades of each symbol, in
  // table order, up to kStreamsPerSubscribe streams a message), so that a reconnection has it
  // back within a second or two whatever the exchange's message limit.
  void DoSubscribeAll() override;
  static constexpr std::size_t kStreamsPerSubscribe = 60;

  // The dispatcher: logs, parses, and maps by the event name.
  void DoClientMessage(std::string_view aText) override;
  // Exchange information into symbols (broker and symbols table).
  void ReadSymbols(const std::string& aText);
  // Asks the exchange for one symbol's position and fans it out, on the caller's thread (the
  // account worker's; a stream event asks the worker for it). A failed or malformed answer is logged.
  void UpdateSymbolPosition(const std::string& aSymbol);

  // ---- position tools (futures): each goes through the command queue; its result comes to the
  // command listeners. 0 with aWhy when there is nothing to send.
  // The whole position closed (a reduce-only market order), or reversed (a market order for twice
  // the amount, the other way).
  std::uint64_t SubmitClosePosition(const std::string& aSymbol, bool aReverse, std::string& aWhy);
  // The symbol's leverage, and its margin mode (isolated or cross); the position is read again after.
  std::uint64_t SubmitLeverage(const std::string& aSymbol, int aLeverage, std::string& aWhy);
  std::uint64_t SubmitMarginType(const std::string& aSymbol, bool aIsolated, std::string& aWhy);
  // The amount of the symbol's position as last known (0: none).
  long double PositionAmount(const std::string& aSymbol);

  // ---- brackets (futures): an order with an attached take-profit and stop-loss (either may be 0).
  // Once the order has filled (or was cancelled after filling in part) both are placed for what
  // filled, reduce-only and the other way (a take-profit market and a stop market on their
  // triggers); when one of them triggers or fills the other is cancelled. An order that ends
  // without any fill takes its bracket with it: nothing is placed. Followed from the order events
  // and the account's snapshots alike, on whichever thread brings them; the orders go through the
  // command queue.
  std::uint64_t SubmitBracketOrder(TqmtTraderOrderRequest& aRequest, long double aTakeProfit, long double aStopLoss,
                                   std::string& aWhy);
  // Why such a bracket cannot be ("" when it can), whatever the market.
  static std::string BracketProblem(const TqmtTraderOrderRequest& aRequest, long double aTakeProfit, long double aStopLoss);
  // Parent client order ids of the brackets still followed.
  std::vector<std::string> Brackets();

  // ---- full order books (the price ladder): kept for the symbols held, from the diff-depth stream
  // and REST snapshots (spot 1000 levels, weight 50; futures 1000, weight 20), at most 1200 weight a
  // minute of snapshots. From the user interface's thread.
  std::unique_ptr<TqmtTraderBookKeeper::THold> HoldOrderBook(const std::string& aSymbol) { return FBooks.Hold(aSymbol); }
  TqmtTraderBookKeeper& OrderBooks() { return FBooks; }
  // The snapshots' budget of request weight a minute; set before Initialize.
  int BookWeightPerMinute = 1200;

  // ---- charts: history and candles
  // Klines over REST, off the caller's thread (see TqmtTraderHistory), at most 1200 weight a minute.
  TqmtTraderHistory& History() { return FHistory; }
  int HistoryWeightPerMinute = 1200;  // set before Initialize
  // A symbol's kline stream of one interval ("1m") for a chart, subscribed while held (on the
  // first hold, given up with the last) and again after every reconnection. From the user
  // interface's thread; the hold outliving the client does nothing.
  class TKlineHold {
  public:
    ~TKlineHold();
    TKlineHold(const TKlineHold&) = delete;
    TKlineHold& operator=(const TKlineHold&) = delete;
    const std::string& Stream() const { return FStream; }

  private:
    friend class TqmtTraderClient_Binance;
    TKlineHold(std::weak_ptr<int> aAlive, TqmtTraderClient_Binance* aClient, std::string aStream)
        : FAlive(std::move(aAlive)), FClient(aClient), FStream(std::move(aStream)) {}
    std::weak_ptr<int> FAlive;
    TqmtTraderClient_Binance* FClient;
    std::string FStream;
  };
  std::unique_ptr<TKlineHold> HoldKlines(const std::string& aSymbol, const std::string& aInterval);
  // The kline events of the held streams, on the stream thread: symbol, interval, the kline.
  using TKlineEvent = TqmtMethod<void(TObject* Sender, const std::string& aSymbol, const std::string& aInterval, const TqmtKline& aKline)>;
  [[nodiscard]] TqmtRegistration ListenKline(const TKlineEvent& e) { return FKlineListeners.Listen(e); }

  // ---- the account's state
  // Reads the whole account now, on the caller's thread, and brings the tables to it; raises what
  // the exchange refused. The account worker runs it after every (re)connection of the account's data.
  void ReadAccountSnapshot();
  // Asks the account worker for a snapshot (one, however often asked while it waits).
  void RequestAccountSnapshot();
  // Snapshots applied since the client was made, and how long the last one took (ms).
  std::uint64_t AccountSnapshots() const { return FSnapshots.load(); }
  std::uint64_t LastSnapshotMs() const { return FLastSnapshotMs.load(); }
  // Why the account's data is not flowing now ("" when it is, or without a key): a refused
  // subscription or a failed snapshot, in the exchange's words.
  std::string AccountProblem() override;
  bool HasAccount() const override { return FHasAccount.load(); }
  // Per margin asset; spot: the available quote assets.
  std::vector<TqmtTraderAccountTotal> AccountTotals() override;
  // "Spot", "USDⓈ-M futures", "COIN-M futures", with ", test network".
  std::string MarketName() const override;
  bool FuturesMarket() const override { return FClient_Futures != nullptr; }
  // How long a user-data retry waits after a refusal, at first (ms; doubled up to 30 s).
  std::atomic<int> AccountRetryMs{1000};

protected:
  virtual void DoReadTicker(TqmtJSON& aJSON);
  virtual void DoReadAccount(TqmtJSON& aJSON);
  // aSymbol: the book's symbol when the message itself names none (a partial-book snapshot).
  virtual void DoReadBookDepth(TqmtJSON& aJSON, std::string_view aBidsKey, std::string_view aAsksKey,
                               const std::string& aSymbol = {});
  virtual void DoReadTrade(TqmtJSON& aJSON);
  // A kline event (the event's own text: decoded apart, the stream's document is in use).
  virtual void DoReadKline(std::string_view aText);
  virtual void DoReadOrder(TqmtJSON& aJSON);
  virtual void DoReadAlgoOrder(TqmtJSON& aJSON);
  virtual void DoReadMarkPrice(TqmtJSON& aJSON);
  virtual void DoReadMiniTicker(TqmtJSON& aJSON);
  void DoAttachStream(TqmtWebSocketClient& aClient) override;
  void OnServerShutdown();
  void DoClientConnect() override;
  void DoClientDisconnect() override;
  // Raises TqmtTradeBarException with E's message, marked "outcome unknown" when the request may
  // have been carried out: no answer after it was sent (closed, reset, timed out), HTTP 408 or any
  // 5xx, or an answer of -1006 or -1007.
  virtual void DoBinanceHTTPException(TObject* Sender, const std::exception& E);

  // ---- the command queue's executor (its worker thread)
  // Orders go over the market's WebSocket API where it is open (spot on the user-data connection,
  // USDT-margined on a connection of their own), else over REST on a kept connection.
  TqmtTraderExecution ExecuteOrder(const TqmtTraderOrderRequest& aRequest) override;
  TqmtTraderExecution ExecuteCancel(const std::string& aSymbol, const std::string& aClientOrderId) override;
  TqmtTraderExecution ExecuteCancelAll(const std::string& aSymbol) override;
  TqmtTraderExecution ExecuteModify(const TqmtTraderOrderRequest& aRequest) override;
  std::string LookUp(const std::string& aSymbol, const std::string& aClientOrderId, bool aAlgo) override;

private:
  std::unique_ptr<TqmtWSAPI_Binance> FClient;
  std::unique_ptr<TqmtWSAPI_Binance_Futures> FClient_Futures;
  std::unique_ptr<TqmtHTTP_API_Binance_Futures_Rest> FPositionREST;  // the account worker's
  // ---- the account's state (FAccountLock: positions, balances' times, totals, mark streams)
  std::unique_ptr<TqmtTraderAccountWorker> FAccount;
  // Held shared by every request for the whole of it, unique while the worker is swapped out: a
  // stopping worker is never destroyed under a stream thread that is handing it a job.
  std::shared_mutex FAccountWorkerLock;
  bool FAccountStopped = false;  // under FAccountWorkerLock: requests are dropped (a stop, the end)
  // Hands the worker a job (see TqmtTraderAccountWorker::Schedule); the worker is made on first use.
  void PostAccountJob(const std::string& aKey, int aDelayMs, std::function<void()> aWork);
  // Joins the worker; with aRestart later requests make a new one, else they are dropped.
  void StopAccountWorker(bool aRestart);
  std::unique_ptr<TqmtHTTP_API_Binance_Rest> FAccountSpot;              // the account worker's
  std::unique_ptr<TqmtHTTP_API_Binance_Futures_Rest> FAccountFutures;   // the account worker's
  void MakeAccountREST();
  std::recursive_mutex FAccountLock;
  void DoOrder(const TqmtTraderOrder& aOrder) override;
  struct TBracket {
    TqmtTraderOrderRequest Parent;
    long double TakeProfit = 0, StopLoss = 0;
    bool Placed = false;
    std::string TakeProfitId, StopLossId;
    int ChildrenDone = 0;
  };
  std::mutex FBracketLock;
  std::map<std::string, TBracket> FBrackets;          // by the parent's client order id
  std::map<std::string, std::string> FBracketChildren;  // a child's client order id -> its parent's
  void FollowBracket(const TqmtTraderOrder& aOrder);
  struct TPositionState {
    long double Amount = 0, Entry = 0, Mark = 0;
    long double Liquidation = 0, Leverage = 0;  // as REST last said (the events do not)
    std::string MarginType;
    std::int64_t Time = 0;
  };
  // The record a listener gets for a position's state (under FAccountLock).
  TqmtTraderPosition PositionRecord(const std::string& aSymbol, const TPositionState& aPosition) const;
  // A REST position record's liquidation price, leverage and margin type kept for aSymbol.
  void TakePositionDetails(const std::string& aSymbol, const TqmtObjectJSON& aRecord);
  std::map<std::string, TPositionState, std::less<>> FPositions;
  std::map<std::string, std::int64_t> FBalanceTimes;
  std::map<std::string, long double> FAvailable;
  std::set<std::string> FMarkStreams;
  // Spot: the last price of each asset held (in USDT) and the streams that bring it.
  std::map<std::string, long double, std::less<>> FSpotPrices;
  std::set<std::string> FValueStreams;
  std::set<std::string> FValueChecked;  // assets held that were looked at for a price stream
  std::map<std::string, long double> FLastChanges;
  long double SpotValueOf(const std::string& aAsset, long double aWallet) const;
  // Subscribes the price of every asset held that has a USDT market (after a snapshot or a new asset).
  void UpdateValueStreams();
  std::map<std::string, long double> FContractSizes;
  std::string FAccountProblem;
  int FRetryMs = 0;      // the next snapshot retry's wait (0: the first)
  int FUserRetryMs = 0;  // the next user-data retry's wait (0: the first)
  std::atomic<std::uint64_t> FSnapshots{0}, FLastSnapshotMs{0};
  std::atomic<bool> FHasAccount{false};
  std::atomic<bool> FTestNet{false};
  // A balance or position as the exchange gave it at aTime (ms; 0 unknown): dropped when older
  // than what is shown; aAvailable < 0 keeps the known available balance.
  void ApplyBalance(const std::string& aAsset, long double aWallet, long double aCross, long double aChange,
                    std::int64_t aTime, long double aAvailable, const std::string& aRaw);
  void ApplyPosition(const std::string& aSymbol, long double aAmount, long double aEntry, long double aMark,
                     std::int64_t aTime, const std::string& aRaw);
  long double UnrealizedOf(const std::string& aSymbol, const TPositionState& aPosition) const;
  std::string MarginAsset(const std::string& aSymbol) const;
  void SetAccountProblem(const std::string& aText);
  void RetryUserData();
  void RefreshBalances();
  void ReadSpotSnapshot();
  void ReadFuturesSnapshot();
  // The table's open orders that the exchange no longer lists: looked up, moved to their final state.
  void ReconcileOrders(const std::set<std::string>& aOpen);
  TqmtTraderOrder LookUpFinal(const TqmtTraderData_Orders::TOpen& aOrder);
  // A routed stream connection of its own: made by Initialize on the user interface's thread,
  // destroyed after it is disconnected; its events come on its own reading thread.
  struct TRoute {
    std::unique_ptr<TqmtWebSocketClient> WS;
    std::unique_ptr<TqmtWSAPI_Binance_Futures> API;
  };
  TRoute FPublic, FPrivate;
  struct TUserRoute {
    std::unique_ptr<TqmtWebSocketClient> WS;
    std::unique_ptr<TqmtWSAPI_Binance_UserData> API;
  };
  TUserRoute FUser;
  TqmtHTTP_API_Binance_Rest FUserClock;  // the user-data thread's own REST client, for the server's clock
  std::map<std::string, std::pair<long double, long double>> FSpotBalances;  // asset -> wallet, free (user-data thread)
  void MakeUserRoute();
  void ConfigureTwin(TqmtWebSocketClient& aClient);
  bool HasExtraStreams() const { return FPublic.WS || FUser.WS; }
  // Spot account events, from the WebSocket API's wrapper (a member) or a listen-key stream (the
  // document itself): aEvent is either.
  template <typename TNode>
  void DoReadSpotOrder(const TNode& aEvent, const std::string& aRaw);
  // The fill an order event with execution type TRADE carries (last price and quantity, fee, and
  // on futures the realised profit) into the fills table.
  template <typename TNode>
  void ReadFill(const TqmtTraderOrder& aOrder, const TNode& aEvent, const TqmtObjectJSON* aTradeId);
  template <typename TNode>
  void DoReadSpotAccount(const TNode& aEvent, const std::string& aRaw);
  template <typename TNode>
  void DoReadSpotBalanceUpdate(const TNode& aEvent, const std::string& aRaw);
  std::atomic<bool> FAllUp{false};
  std::mutex FFailedLock;
  std::string FFailedConnection;  // "the account's WebSocket API at host:port", "" when none failed
  void RecordFailedConnection(const char* aWhat, const TqmtWebSocketClient& aClient);
  void MakeRoute(TRoute& aRoute, TqmtWSBinanceFuturesRoute aWhich);
  void DropRoutes();
  // Tells the listeners when all needed connections came up, or one of them went down.
  void UpdateRouteState();
  // The watch list's streams of one route (all of them when aRoute is bfrNone) in a few SUBSCRIBEs.
  void SubscribeWatchList(TqmtWS_API_Binance_Base& aApi, TqmtWSBinanceFuturesRoute aRoute);
  struct TOrdersRoute {
    std::unique_ptr<TqmtWebSocketClient> WS;
    std::unique_ptr<TqmtWSAPI_Binance_Requests> API;
  };
  TOrdersRoute FOrders;
  // The keeper of the REST connection: a thread of its own with a REST client of its own (the
  // connection pool is shared), started by ConnectStreams and stopped by Disconnect.
  std::mutex FKeeperLock;
  std::condition_variable FKeeperWake;
  bool FKeeperStop = false;
  std::thread FKeeper;
  void StartKeeper();
  void StopKeeper();
  TqmtHTTP_API_Binance_Futures_Rest FOrdersClock;  // the orders connection's clock (the REST client's measure)
  void MakeOrdersRoute();
  // The full books; declared after the wrappers, so it ends (its worker stopped) before they do.
  TqmtTraderBookKeeper FBooks;
  TqmtTraderHistory FHistory;
  void ConfigureHistory();
  std::mutex FKlineLock;
  std::map<std::string, int> FKlineStreams;  // held kline streams and their holders
  std::shared_ptr<int> FKlineAlive = std::make_shared<int>(0);
  TqmtListenerList<TKlineEvent> FKlineListeners;
  void SubscribeStream(const std::string& aStream, bool aSubscribe);
  void ConfigureBooks();
  std::shared_ptr<TqmtHTTP_API_Binance_Rest_Base> MakeWorkerREST() const;
  void SubscribeOrderBook(const std::string& aSymbol, bool aSubscribe);
  // One request on the WebSocket API, its answer judged: accepted, refused or unknown.
  TqmtTraderExecution OverWebSocket(TqmtWSAPI_Binance_Requests& aApi, const std::string& aMethod,
                                    std::vector<TqmtWSAPIParam> aParams, bool aAlgo);
  // The same over REST: aSend makes the request and returns the answer.
  TqmtTraderExecution OverREST(const std::function<std::string()>& aSend, bool aAlgo);
};

// The exchange's refusal in words: {"code":-2015,"msg":"Invalid API-key ..."} (alone or inside a
// longer text) -> "-2015 Invalid API-key ..."; any other text as it is.
std::string BinanceRefusalWords(const std::string& aText);

// The process-wide Binance trader client: made (and registered as the trader client) on the first call.
TqmtTraderClient_Binance& GetTraderClientBinance();
// Destroys it (program exit): disconnects first.
void FreeTraderClientBinance();
