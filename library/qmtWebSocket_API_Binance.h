// The exchange's stream client: an API object on a WebSocket client that composes the stream
// address, keeps the user-data stream's listen key (create before connecting, keep alive, dispose
// of on disconnect, renew on expiry), sends the SUBSCRIBE / UNSUBSCRIBE / LIST_SUBSCRIPTIONS
// control messages, and hands out a REST client for the same account. Market data is not parsed
// here: it reaches the client's owner as raw text.
//
// Control messages leave on a sender thread of this object, in order, and a subscribe returns its
// id at once. The exchange drops a connection that receives more than 5 (spot) or 10 (futures)
// frames a second, pings and pongs included: the attached client's connections are held to
// FramesPerSecond frames in any one-second span (4 and 8), and many streams go in one SUBSCRIBE.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qmtHTTP_API_Binance.h"
#include "qmtWebSocket_Client.h"

enum class TqmtWSBinanceListenKeyOnDisconnect : std::uint8_t { blkodDeleteListenKey, blkodClearListenKey, blkodDoNothing };
enum class TqmtWSBinanceFuturesContracts : std::uint8_t { bfcUSDT, bfcCOIN };
// The routes of today's USDT-margined stream server: books on /public, the other market streams on
// /market, user data on /private. bfrNone: the unrouted address (coin-margined streams, older servers).
enum class TqmtWSBinanceFuturesRoute : std::uint8_t { bfrNone, bfrPublic, bfrMarket, bfrPrivate };
enum class TqmtWSBinanceDepthLevels : std::uint8_t { bde5, bde10, bde20 };
enum class TqmtWSBinanceChartIntervals : std::uint8_t {
  bci1m, bci3m, bci5m, bci15m, bci30m, bci1h, bci2h, bci4h, bci6h, bci8h, bci12h, bci1d, bci3d, bci1w, bci1Mo
};

std::string DepthLevelText(TqmtWSBinanceDepthLevels aLevel);
std::string IntervalText(TqmtWSBinanceChartIntervals aInterval);

using TqmtWSBinanceHTTPExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;

struct TqmtWSBinanceLog_Options {
  bool Enabled = false;
  std::string FileName;
  struct {
    bool Enabled = false;
    std::string FileName;
  } REST;
};

struct TqmtWSBinance_Options {
  std::string ApiKey;
  std::string ApiSecret;
  bool BinanceUS = false;
  TqmtWSBinanceListenKeyOnDisconnect ListenKeyOnDisconnect = TqmtWSBinanceListenKeyOnDisconnect::blkodDeleteListenKey;
  TqmtWSBinanceLog_Options HTTPLogOptions;
  bool TestNet = false;
  bool UseCombinedStreams = false;
  bool UserStream = true;
  void Assign(const TqmtWSBinance_Options& aSource) { *this = aSource; }
};

// True for a listenKeyExpired event, plain or inside a combined-stream wrapper.
bool IsListenKeyExpired(std::string_view aText);

class TqmtWS_API_Binance_Base : public TqmtWSAPI_client {
public:
  TqmtWS_API_Binance_Base();
  ~TqmtWS_API_Binance_Base() override;

  TqmtWSBinance_Options& Binance() { return FBinance; }
  std::string ListenKey() const;
  TqmtWSBinanceHTTPExceptionEvent OnBinanceHTTPException;
  // Extra pace of control messages alone; 0 leaves the pace to the frame budget below.
  double ControlMessagesPerSecond = 0;
  // Frames of every kind per one-second span on the stream connection (set on the client at each
  // activation).
  int FramesPerSecond = 4;
  // Period of the listen-key keep-alive ("UserStream" timer).
  int KeepAliveIntervalMs = 600000;

  // ---- the hooks the WebSocket client calls
  bool DoFilterMessage(std::string_view aText) override;
  void DoBeforeActivate() override;
  void DoDisconnect(TqmtWSConnection* aConnection, int aCode) override;
  // True when the connection carries the user-data stream (a listen key is asked for first).
  virtual bool WantsUserStream() const { return FBinance.UserStream && !FBinance.ApiKey.empty(); }
  std::string ClassName() const override { return "TqmtWS_API_Binance_Base"; }

  // ---- control messages (each returns its id, or 0 without a client)
  int SubscribeAggregateTrades(const std::string& aSymbol) { return Send(true, Name(aSymbol, "aggTrade")); }
  int UnSubscribeAggregateTrades(const std::string& aSymbol) { return Send(false, Name(aSymbol, "aggTrade")); }
  int SubscribeKLine(const std::string& aSymbol, TqmtWSBinanceChartIntervals aInterval) {
    return Send(true, Name(aSymbol, "kline_" + IntervalText(aInterval)));
  }
  int UnSubscribeKLine(const std::string& aSymbol, TqmtWSBinanceChartIntervals aInterval) {
    return Send(false, Name(aSymbol, "kline_" + IntervalText(aInterval)));
  }
  int SubscribeMiniTicker(const std::string& aSymbol) { return Send(true, Name(aSymbol, "miniTicker")); }
  int UnSubscribeMiniTicker(const std::string& aSymbol) { return Send(false, Name(aSymbol, "miniTicker")); }
  int SubscribeAllMiniTickers() { return Send(true, "!miniTicker@arr"); }
  int UnSubscribeAllMiniTickers() { return Send(false, "!miniTicker@arr"); }
  int SubscribeTicker(const std::string& aSymbol) { return Send(true, Name(aSymbol, "ticker")); }
  int UnSubscribeTicker(const std::string& aSymbol) { return Send(false, Name(aSymbol, "ticker")); }
  int SubscribeAllMarketTickers() { return Send(true, "!ticker@arr"); }
  int UnSubscribeAllMarketTickers() { return Send(false, "!ticker@arr"); }
  int SubscribeBookTicker(const std::string& aSymbol) { return Send(true, Name(aSymbol, "bookTicker")); }
  int UnSubscribeBookTicker(const std::string& aSymbol) { return Send(false, Name(aSymbol, "bookTicker")); }
  int SubscribeAllBookTickers() { return Send(true, "!bookTicker"); }
  int UnSubscribeAllBookTickers() { return Send(false, "!bookTicker"); }
  int SubscribePartialBookDepth(const std::string& aSymbol, TqmtWSBinanceDepthLevels aDepth, const std::string& aUpdateSpeed) {
    return Send(true, Name(aSymbol, "depth" + DepthLevelText(aDepth) + aUpdateSpeed));
  }
  int UnSubscribePartialBookDepth(const std::string& aSymbol, TqmtWSBinanceDepthLevels aDepth) {
    return Send(false, Name(aSymbol, "depth" + DepthLevelText(aDepth)));
  }
  int UnSubscribeDiffDepth(const std::string& aSymbol) { return Send(false, Name(aSymbol, "depth")); }

  // One SUBSCRIBE (or UNSUBSCRIBE) for several streams: "params" lists them all, one id.
  int Subscribe(const std::vector<std::string>& aStreams) { return Send(true, aStreams); }
  int UnSubscribe(const std::vector<std::string>& aStreams) { return Send(false, aStreams); }

  // The stream name of a symbol's stream: symbol + "@" + suffix.
  static std::string Name(const std::string& aSymbol, const std::string& aSuffix) { return aSymbol + "@" + aSuffix; }

  // Listen-key requests (failures go to OnBinanceHTTPException).
  std::string CreateListenKey();
  void KeepAliveListenKey();
  void DeleteListenKey();

protected:
  virtual std::string UserStreamBaseURL() = 0;
  virtual std::string UserStreamPath() = 0;
  // Sends SUBSCRIBE or UNSUBSCRIBE for one stream name, or for several in one message.
  int Send(bool aSubscribe, const std::string& aStream);
  int Send(bool aSubscribe, const std::vector<std::string>& aStreams);
  int NextId() { return ++FId; }
  void Enqueue(std::string aText);
  // The attached client's TLS settings (version, engine, and verification) for our own requests.
  void CopyClientTLS(TqmtSocketTLS_Options& aTarget) const;
  // Keys, network, REST logging and the exception binding into a REST client, on every access.
  void CopyAccount(TqmtHTTP_API_Binance& aREST);
  void StartKeepAlive();
  void StopKeepAlive();
  // Runs a request of our own (keep-alive, delete) whose failure must not stop the caller: it is
  // reported through the client's OnException.
  void RunInBackground(const std::function<void()>& aWork);

  std::atomic<int> FId{0};
  TqmtWSBinance_Options FBinance;

private:
  enum class ListenKeyMode { Create, Delete, KeepAlive };
  std::string ListenKeyRequest(ListenKeyMode aMode);
  void SenderLoop();

  mutable std::mutex FKeyLock;
  std::string FListenKey;
  std::mutex FTimerLock;
  TqmtTimer* FTimerUserStream = nullptr;
  std::vector<TqmtTimer*> FRetiredTimers;
  // The paced sender.
  std::mutex FSendLock;
  std::condition_variable FSendWake;
  std::deque<std::string> FOutbox;
  bool FStopSender = false;
  std::thread FSender;
};

class TqmtWS_API_Binance : public TqmtWS_API_Binance_Base {
public:
  // Raises "Method Not supported by Binance.US" for Binance.US on the test network.
  std::string URL() override;
  std::string ClassName() const override { return "TqmtWS_API_Binance"; }

  int SubscribeTrades(const std::string& aSymbol) { return Send(true, Name(aSymbol, "trade")); }
  int UnSubscribeTrades(const std::string& aSymbol) { return Send(false, Name(aSymbol, "trade")); }
  int SubscribeDiffDepth(const std::string& aSymbol) { return Send(true, Name(aSymbol, "depth")); }
  int ListSubscriptions();
  // The REST client for the same account, with keys, network and logging copied on every access.
  TqmtHTTP_API_Binance_Rest& REST_API();

protected:
  std::string UserStreamBaseURL() override;
  std::string UserStreamPath() override { return "/api/v3/userDataStream"; }

private:
  std::unique_ptr<TqmtHTTP_API_Binance_Rest> FREST_API;
};

class TqmtWS_API_Binance_Futures : public TqmtWS_API_Binance_Base {
public:
  TqmtWS_API_Binance_Futures() { FramesPerSecond = 8; }
  TqmtWSBinanceFuturesContracts FuturesContracts = TqmtWSBinanceFuturesContracts::bfcUSDT;
  // The route of this connection on the USDT-margined server (coin-margined streams ignore it).
  TqmtWSBinanceFuturesRoute Route = TqmtWSBinanceFuturesRoute::bfrNone;
  // The route that carries a stream name: books (@depth..., @bookTicker) on /public, the rest on /market.
  static TqmtWSBinanceFuturesRoute RouteOf(std::string_view aStream);

  // The base address, the route's path ("/public", ...) and "/ws" or "/stream".
  std::string URL() override;
  // Only the private route (or the unrouted address) carries user data.
  bool WantsUserStream() const override;
  std::string ClassName() const override { return "TqmtWS_API_Binance_Futures"; }

  int SubscribeDiffDepth(const std::string& aSymbol, const std::string& aUpdateSpeed) {
    return Send(true, Name(aSymbol, "depth" + aUpdateSpeed));
  }
  int SubscribeMarkPrice(const std::string& aSymbol, const std::string& aUpdateSpeed) {
    return Send(true, Name(aSymbol, "markPrice" + aUpdateSpeed));
  }
  int UnSubscribeMarkPrice(const std::string& aSymbol) { return Send(false, Name(aSymbol, "markPrice")); }
  int SubscribeMarkPriceAllMarket(const std::string&, const std::string&) { return Send(true, "!markPrice@arr"); }
  int UnSubscribeMarkPriceAllMarket(const std::string&) { return Send(false, "!markPrice@arr"); }
  int SubscribeLiquidationOrders(const std::string& aSymbol) { return Send(true, Name(aSymbol, "forceOrder")); }
  int UnSubscribeLiquidationOrders(const std::string& aSymbol) { return Send(false, Name(aSymbol, "forceOrder")); }
  int SubscribeAllMarketLiquidationOrders() { return Send(true, "!forceOrder@arr"); }
  int UnSubscribeAllMarketLiquidationOrders() { return Send(false, "!forceOrder@arr"); }
  // The REST client for the same account, with keys, network and logging copied on every access.
  // One thread uses it (the user interface's): another thread configures a client of its own
  // with ConfigureREST.
  TqmtHTTP_API_Binance_Futures_Rest& REST_API();
  void ConfigureREST(TqmtHTTP_API_Binance_Futures_Rest& aREST);

protected:
  std::string UserStreamBaseURL() override;
  std::string UserStreamPath() override;

private:
  std::unique_ptr<TqmtHTTP_API_Binance_Futures_Rest> FREST_API;
};

// One parameter of a WebSocket-API request: its text as sent, and whether it goes as a JSON string
// (DECIMAL, STRING, ENUM) or bare (INT, BOOLEAN). The signature covers exactly this text.
struct TqmtWSAPIParam {
  std::string Name, Value;
  bool Quoted = true;
};

// The answer to one request. Answered false: none came in time, or the connection closed first (the
// request may have been carried out); Sent false: it never left (no open connection, a ban).
struct TqmtWSAPIAnswer {
  bool Sent = false;
  bool Answered = false;
  int Status = 0;     // the answer's "status": 200, 400, 401, 403, 409, 418, 429, 5xx
  std::string Text;   // the whole answer
  std::string Why;    // when not sent or not answered
};

// Requests and answers on the exchange's WebSocket API (spot /ws-api/v3, USDT-margined
// /ws-fapi/v1): each request gets an id of its own and its answer is matched by that id, whatever
// the order the answers come in; a request waits for its answer up to a time-out. Signed requests
// carry apiKey, timestamp and recvWindow inside params and an HMAC-SHA256 over every parameter but
// the signature, sorted by name, values as sent. A 418 or 429 answer bans further requests until
// its retryAfter; rateLimits of the last answer are kept.
//
// Threads: Request is called from any thread but the connection's reading thread (it waits for
// that thread); DoFilterMessage and DoDisconnect run on the reading thread. The pending answers
// sit under one lock; a disconnect ends every wait at once as unanswered.
class TqmtWSAPI_Binance_Requests : public TqmtWSAPI_client {
public:
  TqmtWSAPI_Binance_Requests() { FRawMessages = true; }
  ~TqmtWSAPI_Binance_Requests() override;
  enum class TMarket : std::uint8_t { Spot, FuturesUSDT };
  TMarket Market = TMarket::Spot;
  TqmtWSBinance_Options& Binance() { return FBinance; }
  // Frames of every kind per one-second span on the connection (0: unpaced). The WebSocket APIs
  // limit ping and pong frames (5 a second) and request weight, not requests per second: an order
  // must not wait for a frame budget.
  int FramesPerSecond = 0;
  int RecvWindow = 5000;
  // Milliseconds of the server's clock for the request (the REST client's measure); the local clock when unset.
  std::function<std::string()> Timestamp;

  std::string URL() override;
  void DoBeforeActivate() override;
  // With an Ed25519 key every (re)connection logs on once (session.logon): from its answer on,
  // signed requests carry only their timestamp, no apiKey and no signature of their own. Until
  // the answer (or when the exchange refuses it) each request is signed itself.
  void DoConnect(TqmtWSConnection* aConnection) override;
  bool DoFilterMessage(std::string_view aText) override;
  void DoDisconnect(TqmtWSConnection* aConnection, int aCode) override;
  std::string ClassName() const override { return "TqmtWSAPI_Binance_Requests"; }
  // Whether the connection is logged on with the account's key now.
  bool LoggedOn() const { return FLoggedOn.load(); }

  // Whether the connection is open now.
  bool Up() const;
  // Sends one request and waits up to aTimeoutMs for its answer. aSigned adds apiKey, timestamp,
  // recvWindow and the signature.
  TqmtWSAPIAnswer Request(const std::string& aMethod, std::vector<TqmtWSAPIParam> aParams, bool aSigned, int aTimeoutMs);
  // The request's text as it goes out (signed: the parameters completed and signed).
  std::string RequestText(const std::string& aId, const std::string& aMethod, std::vector<TqmtWSAPIParam> aParams,
                          bool aSigned) const;
  // The rateLimits array of the last answer that had one ("" before).
  std::string RateLimits() const;
  // Milliseconds until a ban by the exchange ends (0: none).
  long long BannedForMs() const;

protected:
  std::string CurrentTimestamp() const;
  TqmtWSBinance_Options FBinance;

private:
  struct TPending {
    bool Done = false;
    TqmtWSAPIAnswer Answer;
  };
  mutable std::mutex FLock;
  std::condition_variable FAnswered;
  std::map<std::string, std::shared_ptr<TPending>> FPending;
  std::atomic<std::uint64_t> FNextId{0};
  std::string FRateLimits;
  std::uint64_t FBannedUntil = 0;  // GetTicks
  std::string FLogonId;             // under FLock: the id of the session.logon awaited
  std::atomic<bool> FLoggedOn{false};
};

// The spot account's user data over the exchange's WebSocket API (spot listen keys are retired):
// every connection subscribes with a signed userDataStream.subscribe.signature request (the other
// parameters sorted by name, HMAC-SHA256 with the secret), and the events then arrive wrapped as
// {"subscriptionId":N,"event":{...}} and reach the client's OnMessage as they are (the owner
// unwraps them). Answers to the request come on the same connection; a refusal is reported through
// the client's OnException with the exchange's answer.
// Threads: DoConnect and DoFilterMessage run on the connection's reading thread; the state is atomic.
class TqmtWSAPI_Binance_UserData : public TqmtWSAPI_Binance_Requests {
public:
  void DoBeforeActivate() override;
  void DoConnect(TqmtWSConnection* aConnection) override;
  bool DoFilterMessage(std::string_view aText) override;
  std::string ClassName() const override { return "TqmtWSAPI_Binance_UserData"; }

  // 0 while the answer is awaited, 1 subscribed, -1 refused (Refusal() holds the exchange's answer).
  int SubscriptionState() const { return FState.load(); }
  std::string Refusal() const;
  // Told of every answer to a subscription (1 accepted, -1 refused), on the reading thread. Set
  // before the connection opens.
  std::function<void(int aState)> OnSubscription;
  // Subscribes again on the open connection (after a refusal); from any thread but the reading one.
  void Resubscribe();
  // The signed request text for a request id and a timestamp.
  std::string SubscribeRequest(const std::string& aId, const std::string& aTimestamp) const;

private:
  std::atomic<int> FState{0};
  mutable std::mutex FSubscriptionLock;
  std::string FRequestId, FRefusal;
};

// The published forms.
class TqmtWSAPI_Binance : public TqmtWS_API_Binance {};
class TqmtWSAPI_Binance_Futures : public TqmtWS_API_Binance_Futures {};
