// qmt-sim-exchange: a simulated exchange on 127.0.0.1 for running, demonstrating and testing the
// trading programs without network or account. It speaks the exchange's REST and stream protocols
// (spot, USDT-margined and coin-margined futures, each on a port of its own) and is built on
// Boost.Beast, nlohmann/json and OpenSSL only, so it checks the project's own WebSocket, HTTP and
// JSON code as an independent peer.
//
// One thread runs everything (no locks): an io_context with the listeners, the sessions and a
// 100 ms market tick that moves every symbol's price by a seeded random walk, fills orders whose
// price is crossed, and pushes the subscribed streams.
//
//   qmt-sim-exchange [--spot-port N] [--usdm-port N] [--coinm-port N] [--seed N] [--api-key K] [--api-secret S]
//                    [--max-messages-spot N] [--max-messages-futures N] [--ping-interval-ms N] [--pong-timeout-ms N]
//                    [--max-lifetime-ms N] [--listen-key-validity-ms N] [--symbols N] [--quiet]
//                    [--fixed-time-ms N]   (the server's clock stands still there: for signing vectors of the past)
//                    [--price-speed X]     (relative step of the walk per 100 ms, default 0.0008)
//                    [--legacy]            (the exchange of 2022: spot listen keys and unrouted USDT-margined
//                                           streams; by default it behaves as today: spot listen keys retired,
//                                           USDT-margined books on /public (and unrouted /ws), the other market
//                                           streams on /market, user data on /private)
//                    [--tls-cert PEM --tls-key PEM]  (each market also on a TLS port: "spot-tls=N ..." in the line)
//                    [--clock-offset-ms N] (the server's clock runs N ms ahead of the machine's; negative: behind)
//                    [--refuse PATH=STATUS:SECONDS]  (requests to PATH, e.g. /api/v3/order, are answered STATUS (429
//                                           or 418) with Retry-After SECONDS until that time has passed; each request
//                                           that comes meanwhile is logged as "request during a ban")
//                    [--orders-503 N]      (the next N orders are placed but answered 503, outcome unknown)
//                    [--orders-408 N]      (the next N orders are placed but answered 408, outcome unknown)
//                    [--close-after-order placed:N | unplaced:N]  (the connection that carries each of the next
//                                           N orders is closed without an answer, after placing it or without)
//                    [--order-visible-after-ms N]  (order queries see an order only N ms after it was placed)
//                    [--answer-delay-ms N] (every REST and WebSocket-API answer is sent N ms late)
//                    [--account FILE]      (the account to start with; see LoadAccount)
//                    [--refuse-user-data N] [--position-delay-ms N] [--position-non-json]
//                    [--depth-gap-every N] [--depth-reorder-every N]  (diff-depth events lost or swapped)
//                    [--trades-per-second N]  (per symbol, for load)
// Every symbol has a full order book once a depth stream or snapshot asks for it: <symbol>@depth@100ms
// with the update ids of each market (U, u; futures pu), GET .../depth snapshots, the partial books.
// The test's hand on the exchange: /sim/... on every market's port (see Control).
// Signed requests are checked on receipt against the server's clock: timestamp + recvWindow (-1021).
// The WebSocket APIs: spot at /ws-api/v3 (orders and account data), USDT-margined at /ws-fapi/v1.
//                    [--server-shutdown-ms N [--server-shutdown-grace-ms M]]  (spot stream connections get a
//                                           serverShutdown notice N ms after they open and are closed M ms later)
// Server pings: spot every 20 s (pong within 1 min), futures every 3 min (10 min) unless set.
// Port 0 (the default) picks free ports; the first line printed is "PORTS spot=N usdm=N coinm=N".
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <utility>  // before Boost 1.74: its awaitable.hpp uses std::exchange without it

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  int Ports[3] = {0, 0, 0};
  unsigned Seed = 42;
  std::string ApiKey = "qmt-sim-key";
  std::string ApiSecret = "qmt-sim-secret";
  int MaxMessages[2] = {5, 10};  // spot, futures
  // Server pings: spot every 20 s with a 1-minute pong deadline, futures every 3 min with 10 min;
  // --ping-interval-ms / --pong-timeout-ms set both markets alike.
  int PingIntervalMs[2] = {20000, 180000};
  int PongTimeoutMs[2] = {60000, 600000};
  // Spot stream connections get a serverShutdown notice this long after they open, and are closed
  // ShutdownGraceMs later (0: never).
  long long ShutdownNoticeMs = 0;
  long long ShutdownGraceMs = 1000;
  long long MaxLifetimeMs = 24LL * 3600 * 1000;
  long long ListenKeyValidityMs = 3600 * 1000;
  int Symbols = 30;
  bool Quiet = false;
  long long FixedTimeMs = 0;  // when set, the server's clock for timestamps (signing vectors of the past)
  double Volatility = 0.0008;  // relative price step per 100 ms tick (--price-speed)
  // Today's exchange (the default; --legacy turns it off): spot listen keys retired, USDT-margined
  // streams routed (/public books, /market the rest, /private user data; an unrouted /ws gets books only).
  bool Today = true;
  std::string TlsCert, TlsKey;  // with both, each market also listens for TLS on a port of its own
  long long ClockOffsetMs = 0;
  std::string RefusePath;
  unsigned RefuseStatus = 0;
  int RefuseSeconds = 0;
  Clock::time_point RefuseUntil{};  // set by the first refused request
  bool RefuseStarted = false;
  int Orders503 = 0;
  int Orders408 = 0;          // the next N orders are placed but answered 408
  int CloseAfterOrder = 0;    // the next N orders: the connection is closed instead of answered
  bool CloseAfterPlacing = true;  // ... after placing the order (else without placing it)
  long long OrderVisibleAfterMs = 0;  // queries see an order only this long after it was placed
  long long AnswerDelayMs = 0;        // every REST and WebSocket-API answer waits this long
  int RefuseUserData = 0;             // the Nth user-data subscription of a market is refused (-2015)
  long long PositionDelayMs = 0;      // position requests are answered this late
  bool PositionNonJson = false;       // ... or with a body that is not JSON
  std::string AccountFile;            // the account to start with (--account)
  long long DepthGapEvery = 0;        // every Nth diff-depth event is not sent (its ids are lost)
  long long DepthReorderEvery = 0;    // every Nth diff-depth event is sent after the one that follows it
  int TradesPerSecond = 0;            // per symbol (0: one every third tick)
} gOptions;

void Log(const std::string& aText) {
  if (!gOptions.Quiet) std::fprintf(stderr, "%s\n", aText.c_str());
}

long long NowMs() {
  if (gOptions.FixedTimeMs) return gOptions.FixedTimeMs;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count() +
         gOptions.ClockOffsetMs;
}

std::string Fixed(double aValue, int aDecimals = 8) {
  std::ostringstream s;
  s.imbue(std::locale::classic());
  s << std::fixed << std::setprecision(aDecimals) << aValue;
  return s.str();
}

// The account's public key (--api-public-key): signatures are then Ed25519 or RSA (Base64) instead
// of HMAC hex.
EVP_PKEY* gPublicKey = nullptr;

std::string UrlDecode(const std::string& aText) {
  std::string lOut;
  for (std::size_t i = 0; i < aText.size(); ++i) {
    if (aText[i] == '%' && i + 2 < aText.size()) {
      lOut += static_cast<char>(std::stoi(aText.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      lOut += aText[i] == '+' ? ' ' : aText[i];
    }
  }
  return lOut;
}

// Verifies a Base64 signature of aData under the account's public key.
bool VerifyWithKey(const std::string& aData, const std::string& aBase64) {
  std::string lSignature(aBase64.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(lSignature.data()),
                                reinterpret_cast<const unsigned char*>(aBase64.data()), static_cast<int>(aBase64.size()));
  if (n < 0) return false;
  std::size_t lLength = static_cast<std::size_t>(n);
  for (std::size_t i = aBase64.size(); i > 0 && aBase64[i - 1] == '='; --i) --lLength;  // padding decodes as zeros
  EVP_MD_CTX* c = EVP_MD_CTX_new();
  const bool lEd25519 = EVP_PKEY_base_id(gPublicKey) == EVP_PKEY_ED25519;
  bool lGood = c && EVP_DigestVerifyInit(c, nullptr, lEd25519 ? nullptr : EVP_sha256(), nullptr, gPublicKey) == 1 &&
               EVP_DigestVerify(c, reinterpret_cast<const unsigned char*>(lSignature.data()), lLength,
                                reinterpret_cast<const unsigned char*>(aData.data()), aData.size()) == 1;
  EVP_MD_CTX_free(c);
  return lGood;
}

std::string Hmac(const std::string& aKey, const std::string& aData) {
  unsigned char lDigest[EVP_MAX_MD_SIZE];
  unsigned int lLength = 0;
  HMAC(EVP_sha256(), aKey.data(), static_cast<int>(aKey.size()), reinterpret_cast<const unsigned char*>(aData.data()),
       aData.size(), lDigest, &lLength);
  std::ostringstream s;
  for (unsigned i = 0; i < lLength; ++i) s << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(lDigest[i]);
  return s.str();
}

std::map<std::string, std::string> ParseQuery(const std::string& aQuery) {
  std::map<std::string, std::string> lParams;
  std::istringstream s(aQuery);
  std::string lPart;
  while (std::getline(s, lPart, '&')) {
    const auto lEq = lPart.find('=');
    if (lPart.empty()) continue;
    lParams[lPart.substr(0, lEq)] = lEq == std::string::npos ? "" : lPart.substr(lEq + 1);
  }
  return lParams;
}

class WsSession;

struct Order {
  long long Id = 0;
  std::string ClientId, Symbol, Side, Type, Status = "NEW", PositionSide, TimeInForce = "GTC";
  double Price = 0, StopPrice = 0, Quantity = 0, Executed = 0, ActivationPrice = 0, CallbackRate = 0, CumQuote = 0;
  bool ReduceOnly = false;
  long long Time = 0, UpdateTime = 0;
  bool Triggered = false;
  long long VisibleAtMs = 0;  // queries do not see it before (--order-visible-after-ms)
  bool Visible() const { return NowMs() >= VisibleAtMs; }
};

// A conditional (algo) order of today's futures: it waits for its trigger price, then places the
// real order (market for STOP_MARKET and TRAILING_STOP_MARKET, limit at Price for STOP).
struct AlgoOrder {
  long long Id = 0;
  std::string ClientId, Symbol, Side, Type, Status = "NEW", PositionSide = "BOTH";
  double TriggerPrice = 0, Price = 0, Quantity = 0, CallbackRate = 0;
  bool ReduceOnly = false;
  long long ActualOrderId = 0;
  long long VisibleAtMs = 0, UpdateTime = 0;
  bool Visible() const { return NowMs() >= VisibleAtMs; }
};

// A symbol's full order book: prices in ticks, quantities in thousandths, every change of a level one
// update id. Made on first use (a depth stream or snapshot asked for the symbol), then moved every tick.
struct SimBook {
  std::map<long long, long long, std::greater<>> Bids;
  std::map<long long, long long> Asks;
  long long UpdateId = 1000000;     // the id of the last change
  long long PublishedId = 1000000;  // the last id sent in a diff event (its pu for futures)
  // Changes since the last diff event, in order (side, ticks, lots; lots 0 removes the level).
  struct Change {
    bool Bid;
    long long Ticks, Lots;
  };
  std::vector<Change> Pending;
  long long Sent = 0, Dropped = 0, Reordered = 0;
  std::string HeldBack;  // an event held back to be sent after the next (--depth-reorder-every)
  long long BurstLeft = 0;  // events still to make at once (/sim/depth-burst)
  int BurstPerTick = 5000;  // ... at most this many every tick
  bool Paused = false;      // the tick leaves it alone (/sim/depth-pause); a burst still moves it
};

// A symbol's past for charts: one-second bars for the last 24 hours before it was first asked
// for and every second since, minute bars for 30 days before those. The trades streamed are kept
// from the start and their volume goes into the bars, so klines and aggregate trades agree. The
// bars are made on first use only (a moment's work that would hold up every stream at start).
struct SimBar {
  long long T = 0;  // open time, ms
  double O = 0, H = 0, L = 0, C = 0, V = 0, Q = 0, TakerV = 0, TakerQ = 0;
  long long N = 0, FirstTrade = -1, LastTrade = -1;
};
struct SimTrade {
  long long Id, T;
  double Price, Qty;
  bool BuyerMaker;
};
struct SimHistory {
  std::vector<SimBar> Minutes;  // oldest first, all before Seconds.front()
  std::deque<SimBar> Seconds;   // oldest first, one a second
};

struct SymbolState {
  std::string Name;
  double Price = 100, Open = 100, High = 100, Low = 100, Tick = 0.01, Volume = 0;
  long long TradeId = 1;
  std::shared_ptr<SimBook> Book;
  std::shared_ptr<SimHistory> History;  // made when klines are first asked for (it takes a moment)
  std::deque<SimTrade> Trades;          // the last 500,000 streamed, kept from the start
};

struct ListenKey {
  std::string Key;
  long long ExpiresMs = 0;
  bool ExpiredSent = false;
};

// One market: its symbols, orders, account and connections.
struct Market {
  int Index;  // 0 spot, 1 usdm, 2 coinm
  std::string Name;
  bool Futures() const { return Index > 0; }
  std::string RestPrefix() const { return Index == 0 ? "/api/v3" : Index == 1 ? "/fapi" : "/dapi"; }
  std::string Quote() const { return Index == 2 ? "USD_PERP" : "USDT"; }
  std::vector<SymbolState> Symbols;
  std::map<long long, Order> Orders;
  std::map<long long, AlgoOrder> AlgoOrders;
  long long NextOrderId = 1000;
  long long NextTradeId = 5000;
  std::map<std::string, double> Balances;  // asset -> wallet
  std::map<std::string, std::pair<double, double>> Positions;  // symbol -> (amount, entry)
  std::map<std::string, int> Leverage;                           // symbol -> leverage (20 unless set)
  std::set<std::string> Isolated;                                // symbols in isolated margin mode
  std::map<std::string, ListenKey> Keys;
  std::set<std::shared_ptr<WsSession>> Sessions;
  long long AccountTime = 0;          // the last change of balances or positions (their updateTime)
  long long DepthWeight = 0, DepthSnapshots = 0;  // REST depth snapshots served and their weight
  long long HistoryWeight = 0, HistoryRequests = 0;  // klines and aggregate trades served, and their weight
  int UserSubscriptions = 0;          // user-data subscriptions so far (--refuse-user-data)
  int Logons = 0, SessionSignedRequests = 0;  // session.logon accepted, and requests signed by a session
  Clock::time_point UserDownUntil{};  // /sim/drop-user: user-data connections are closed until then
  bool UserDown() const { return Clock::now() < UserDownUntil; }
  // Whether this user-data subscription is the one --refuse-user-data refuses.
  bool RefuseThisSubscription() { return ++UserSubscriptions == gOptions.RefuseUserData; }

  SymbolState* Find(const std::string& aSymbol) {
    for (auto& s : Symbols)
      if (s.Name == aSymbol) return &s;
    return nullptr;
  }
};

Market gMarkets[3];
std::mt19937_64 gRandom;

// What an order request gave, for REST and the WebSocket APIs alike: a status and a JSON body (the
// result, or {"code","msg"}), or no answer at all (the connection is to be closed).
struct Reply {
  unsigned Status = 200;
  std::string Body;
  bool Close = false;
};
using Params = std::map<std::string, std::string>;
Reply PlaceOrder(Market& m, Params& p);
Reply PlaceAlgoOrder(Market& m, Params& p);
Reply OrderRequest(Market& m, Params& p, bool aCancel);  // query or cancel by orderId / origClientOrderId
Reply AlgoOrderRequest(Market& m, Params& p, bool aCancel);
Reply CancelAll(Market& m, Params& p);
Reply ModifyOrder(Market& m, Params& p);    // futures: a limit order's price and quantity in place
Reply CancelReplace(Market& m, Params& p);  // spot: cancel, then place only if the cancel succeeded
std::string Error(int aCode, const std::string& aMsg);
// The timestamp rule of signed requests, checked on receipt: 0 when fine, else the -1021 reply.
Reply CheckTimestamp(const std::string& aTimestamp, const std::string& aRecvWindow);

// ---- WebSocket sessions ---------------------------------------------------------------------------

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
  WsSession(tcp::socket aSocket, Market& aMarket) : FWs(std::move(aSocket)), FMarket(aMarket), FPingTimer(FWs.get_executor()) {}

  void Start(http::request<http::string_body> aRequest) {
    const std::string lTarget(aRequest.target());
    FStarted = Clock::now();
    const auto lQuery = lTarget.find('?');
    std::string lPath = lTarget.substr(0, lQuery);
    for (const char* lRoute : {"/public", "/market", "/private"})  // the routed paths of today's server
      if (lPath.rfind(lRoute, 0) == 0) {
        lPath = lPath.substr(std::strlen(lRoute));
        FRoute = lRoute + 1;
      }
    if ((lPath == "/ws-api/v3" && !FMarket.Futures()) || (lPath == "/ws-fapi/v1" && FMarket.Index == 1)) {
      FWsApi = true;  // a WebSocket API: requests and answers (spot: user data by subscription too)
    } else if (lPath == "/stream") {
      FCombined = true;
      if (lQuery != std::string::npos) {
        auto lParams = ParseQuery(lTarget.substr(lQuery + 1));
        std::istringstream s(lParams["streams"]);
        std::string lName;
        while (std::getline(s, lName, '/')) Subscribe(lName);
      }
    } else if (lPath.rfind("/ws/", 0) == 0) {
      Subscribe(lPath.substr(4));
    }
    FWs.control_callback([this](websocket::frame_type aKind, beast::string_view) {
      CountIncoming();
      if (aKind == websocket::frame_type::pong) FLastPong = Clock::now();
    });
    auto self = shared_from_this();
    FWs.async_accept(aRequest, [self](beast::error_code ec) {
      if (ec) return;
      self->FMarket.Sessions.insert(self);
      Log(self->FMarket.Name + ": stream connection opened");
      if (self->FMarket.UserDown() && self->CarriesUserData()) {
        self->Close("the account's data is down (/sim/drop-user)");
        return;
      }
      self->FLastPong = Clock::now();
      self->Read();
      self->SchedulePing();
    });
  }

  // Streams this connection listens to (symbol streams in lower case, listen keys as given).
  bool Has(const std::string& aStream) const { return FStreams.count(aStream) > 0; }
  const std::set<std::string>& Streams() const { return FStreams; }

  // Whether the connection carries (or may carry) the account's data: the spot WebSocket API, the
  // private route, or a listen key's stream.
  bool CarriesUserData() const {
    if (FWsApi) return !FMarket.Futures() || FUserSubscribed;
    if (FRoute == "private") return true;
    for (const auto& s : FStreams)
      if (FMarket.Keys.count(s)) return true;
    return false;
  }

  // A user-data event of the account, for a WebSocket-API connection that subscribed to it.
  void PushUserEvent(const std::string& aData) {
    if (FUserSubscribed) Send(R"({"subscriptionId":0,"event":)" + aData + "}");
  }

  void Push(const std::string& aStream, const std::string& aData) {
    Send(FCombined ? R"({"stream":")" + aStream + R"(","data":)" + aData + "}" : aData);
  }

  void Send(const std::string& aText) {
    if (FClosed) return;
    FOutbox.push_back(aText);
    if (FOutbox.size() == 1) WriteNext();
  }

  void Close(const std::string& aWhy) {
    if (FClosed) return;
    auto self = shared_from_this();  // leaving the market's set must not end this object mid-call
    FClosed = true;
    Log(FMarket.Name + ": dropping a stream connection: " + aWhy);
    FMarket.Sessions.erase(shared_from_this());
    FPingTimer.cancel();
    beast::error_code ec;
    FWs.next_layer().shutdown(tcp::socket::shutdown_both, ec);
    FWs.next_layer().close(ec);
  }

  void CheckLifetime() {
    if (Clock::now() - FStarted > std::chrono::milliseconds(gOptions.MaxLifetimeMs)) Close("maximum lifetime reached");
    if (gOptions.ShutdownNoticeMs <= 0 || FMarket.Futures() || FClosed) return;
    if (!FShutdownSent && Clock::now() - FStarted >= std::chrono::milliseconds(gOptions.ShutdownNoticeMs)) {
      FShutdownSent = true;
      FShutdownAt = Clock::now();
      Push("!serverShutdown", json{{"e", "serverShutdown"}, {"E", NowMs()}}.dump());
      Log(FMarket.Name + ": serverShutdown sent");
    } else if (FShutdownSent && Clock::now() - FShutdownAt >= std::chrono::milliseconds(gOptions.ShutdownGraceMs)) {
      Close("server shut down");
    }
  }

private:
  void Subscribe(const std::string& aStream) {
    if (!RouteCarries(aStream)) {
      Log(FMarket.Name + ": " + aStream + " is not served on " + (FRoute.empty() ? std::string("an unrouted connection") : "/" + FRoute));
      return;
    }
    FStreams.insert(aStream);
  }

  // Today's USDT-margined server: books on /public (and on unrouted connections), other market
  // streams on /market, user data (listen keys) on /private.
  bool RouteCarries(const std::string& aStream) const {
    if (!gOptions.Today || FMarket.Index != 1) return true;
    const bool lBook = aStream.find("@depth") != std::string::npos || aStream.find("bookTicker") != std::string::npos;
    const bool lMarketStream = aStream.find('@') != std::string::npos || aStream.rfind("!", 0) == 0;
    if (FRoute.empty() || FRoute == "public") return lBook;
    if (FRoute == "market") return lMarketStream && !lBook;
    return !lMarketStream;  // private: listen keys
  }

  // More incoming messages in one second than the market allows (pings and pongs count) drops it.
  void CountIncoming() {
    const auto lNow = Clock::now();
    if (lNow - FWindowStart >= std::chrono::seconds(1)) {
      FWindowStart = lNow;
      FWindowCount = 0;
    }
    if (++FWindowCount > gOptions.MaxMessages[FMarket.Futures() ? 1 : 0]) Close("too many messages per second");
  }

  void Read() {
    auto self = shared_from_this();
    FWs.async_read(FBuffer, [self](beast::error_code ec, std::size_t) {
      if (ec) {
        self->FMarket.Sessions.erase(self);
        self->FClosed = true;
        self->FPingTimer.cancel();
        return;
      }
      // The WebSocket APIs limit ping and pong frames, not requests (their weight is counted elsewhere).
      if (!self->FWsApi) self->CountIncoming();
      if (self->FClosed) return;
      const std::string lText = beast::buffers_to_string(self->FBuffer.data());
      self->FBuffer.consume(self->FBuffer.size());
      self->Handle(lText);
      self->Read();
    });
  }


  // The WebSocket APIs. Every request is signed (apiKey inside params, the signature over the other
  // parameters sorted by name) and its time checked on receipt, as the REST endpoints do. Spot:
  // userDataStream.subscribe.signature and .unsubscribe, order.place, order.cancel, order.status,
  // openOrders.cancelAll; USDT-margined: order.place, order.cancel, order.status, algoOrder.place,
  // algoOrder.cancel.
  void HandleApi(const json& aRequest) {
    const json lId = aRequest.value("id", json());
    const std::string lMethod = aRequest.value("method", std::string());
    auto lAnswer = [this, lId](unsigned aStatus, const std::string& aBody) {
      json lBody = json::parse(aBody, nullptr, false);
      json a = {{"id", lId}, {"status", aStatus}};
      if (aStatus == 200)
        a["result"] = lBody;
      else
        a["error"] = lBody;
      a["rateLimits"] = json::array({{{"rateLimitType", "REQUEST_WEIGHT"}, {"interval", "MINUTE"}, {"intervalNum", 1},
                                      {"limit", 6000}, {"count", 1}}});
      SendLater(a.dump());
    };
    auto lError = [&](unsigned aStatus, int aCode, const std::string& aMsg) { lAnswer(aStatus, Error(aCode, aMsg)); };
    if (lMethod == "userDataStream.unsubscribe" && !FMarket.Futures()) {
      FUserSubscribed = false;
      return lAnswer(200, "{}");
    }
    static const std::set<std::string> kSpot = {"userDataStream.subscribe.signature", "order.place", "order.cancel",
                                                "order.status", "openOrders.cancelAll", "session.logon", "order.cancelReplace"};
    static const std::set<std::string> kFutures = {"order.place", "order.cancel", "order.status", "algoOrder.place",
                                                   "algoOrder.cancel", "session.logon", "order.modify"};
    if (!(FMarket.Futures() ? kFutures : kSpot).count(lMethod)) return lError(400, -1100, "Unknown method " + lMethod + ".");
    const json lParams = aRequest.value("params", json::object());
    Params lSorted;
    for (const auto& [k, v] : lParams.items())
      if (k != "signature") lSorted[k] = v.is_string() ? v.get<std::string>() : v.dump();
    // A logged-on session signs for its requests: they carry neither apiKey nor signature.
    const bool lBySession = FLoggedOn && !lParams.contains("signature") && !lParams.contains("apiKey");
    if (lBySession) {
      ++FMarket.SessionSignedRequests;
    } else {
      if (lSorted["apiKey"] != gOptions.ApiKey) return lError(401, -2015, "Invalid API-key, IP, or permissions for action.");
      std::string lPayload;
      for (const auto& [k, v] : lSorted) lPayload += (lPayload.empty() ? "" : "&") + k + "=" + v;
      if (!lParams.contains("signature") || !lParams["signature"].is_string() ||
          !(gPublicKey ? VerifyWithKey(lPayload, lParams["signature"].get<std::string>())
                       : Hmac(gOptions.ApiSecret, lPayload) == lParams["signature"].get<std::string>()))
        return lError(400, -1022, "Signature for this request is not valid.");
    }
    if (Reply r = CheckTimestamp(lSorted["timestamp"], lSorted.count("recvWindow") ? lSorted["recvWindow"] : ""); r.Status)
      return lAnswer(r.Status, r.Body);
    if (lMethod == "session.logon") {
      // Ed25519 keys only, as on the exchange.
      if (!gPublicKey || EVP_PKEY_base_id(gPublicKey) != EVP_PKEY_ED25519)
        return lError(400, -1022, "Signature for this request is not valid.");
      FLoggedOn = true;
      ++FMarket.Logons;
      return lAnswer(200, json{{"apiKey", gOptions.ApiKey}, {"authorizedSince", NowMs()}, {"connectedSince", NowMs()},
                               {"returnRateLimits", false}, {"serverTime", NowMs()}}.dump());
    }
    if (lMethod == "userDataStream.subscribe.signature") {
      if (FMarket.RefuseThisSubscription()) {
        Log(FMarket.Name + ": user-data subscription refused (--refuse-user-data)");
        return lError(401, -2015, "Invalid API-key, IP, or permissions for action.");
      }
      FUserSubscribed = true;
      return lAnswer(200, json{{"subscriptionId", 0}}.dump());
    }
    Reply r;
    if (lMethod == "order.place")
      r = PlaceOrder(FMarket, lSorted);
    else if (lMethod == "order.cancel")
      r = OrderRequest(FMarket, lSorted, true);
    else if (lMethod == "order.status")
      r = OrderRequest(FMarket, lSorted, false);
    else if (lMethod == "openOrders.cancelAll")
      r = CancelAll(FMarket, lSorted);
    else if (lMethod == "algoOrder.place")
      r = PlaceAlgoOrder(FMarket, lSorted);
    else if (lMethod == "order.modify")
      r = ModifyOrder(FMarket, lSorted);
    else if (lMethod == "order.cancelReplace")
      r = CancelReplace(FMarket, lSorted);
    else
      r = AlgoOrderRequest(FMarket, lSorted, true);
    if (r.Close) {
      Close("closed after reading an order (--close-after-order)");
      return;
    }
    lAnswer(r.Status, r.Body);
  }

  // An answer, late by --answer-delay-ms.
  void SendLater(const std::string& aText) {
    if (gOptions.AnswerDelayMs <= 0) return Send(aText);
    auto self = shared_from_this();
    auto lTimer = std::make_shared<net::steady_timer>(FWs.get_executor(), std::chrono::milliseconds(gOptions.AnswerDelayMs));
    lTimer->async_wait([self, lTimer, aText](beast::error_code) { self->Send(aText); });
  }

  void Handle(const std::string& aText) {
    const json lRequest = json::parse(aText, nullptr, false);
    if (FWsApi && lRequest.is_object()) return HandleApi(lRequest);
    if (lRequest.is_discarded() || !lRequest.is_object() || !lRequest.contains("method")) {
      Send(R"({"error":{"code":3,"msg":"Invalid JSON: expected value at line 1 column 1"}})");
      return;
    }
    const json lId = lRequest.value("id", json());
    const std::string lMethod = lRequest["method"].is_string() ? lRequest["method"].get<std::string>() : "";
    if (lMethod == "SUBSCRIBE" || lMethod == "UNSUBSCRIBE") {
      if (!lRequest.contains("params") || !lRequest["params"].is_array()) {
        Send(json{{"error", {{"code", 2}, {"msg", "Invalid request: missing params"}}}, {"id", lId}}.dump());
        return;
      }
      for (const auto& p : lRequest["params"]) {
        if (!p.is_string()) continue;
        if (lMethod == "SUBSCRIBE")
          Subscribe(p.get<std::string>());
        else
          FStreams.erase(p.get<std::string>());
      }
      Send(json{{"result", nullptr}, {"id", lId}}.dump());
    } else if (lMethod == "LIST_SUBSCRIPTIONS") {
      json lList = json::array();
      for (const auto& s : FStreams) lList.push_back(s);
      Send(json{{"result", lList}, {"id", lId}}.dump());
    } else {
      Send(json{{"error", {{"code", 2}, {"msg", "Invalid request: unknown method"}}}, {"id", lId}}.dump());
    }
  }

  void WriteNext() {
    auto self = shared_from_this();
    FWs.text(true);
    FWs.async_write(net::buffer(FOutbox.front()), [self](beast::error_code ec, std::size_t) {
      if (ec) {
        self->FOutbox.clear();
        return;
      }
      self->FOutbox.pop_front();
      if (!self->FOutbox.empty()) self->WriteNext();
    });
  }

  // The server pings; a client that does not answer before the deadline is dropped.
  void SchedulePing() {
    auto self = shared_from_this();
    const int lMarket = FMarket.Futures() ? 1 : 0;
    FPingTimer.expires_after(std::chrono::milliseconds(gOptions.PingIntervalMs[lMarket]));
    FPingTimer.async_wait([self, lMarket](beast::error_code ec) {
      if (ec || self->FClosed) return;
      if (Clock::now() - self->FLastPong >
          std::chrono::milliseconds(gOptions.PingIntervalMs[lMarket] + gOptions.PongTimeoutMs[lMarket])) {
        self->Close("no pong in time");
        return;
      }
      self->FWs.async_ping("sim", [](beast::error_code) {});
      self->SchedulePing();
    });
  }

  websocket::stream<tcp::socket> FWs;
  Market& FMarket;
  net::steady_timer FPingTimer;
  beast::flat_buffer FBuffer;
  std::deque<std::string> FOutbox;
  std::set<std::string> FStreams;
  bool FCombined = false;
  bool FClosed = false;
  Clock::time_point FStarted, FLastPong, FWindowStart = Clock::now();
  bool FShutdownSent = false;
  bool FWsApi = false, FUserSubscribed = false, FLoggedOn = false;
  std::string FRoute;  // "public", "market", "private" or "" (unrouted)
  Clock::time_point FShutdownAt;
  int FWindowCount = 0;
};

// Pushes a stream event to every connection that listens to aStream.
void Publish(Market& aMarket, const std::string& aStream, const std::string& aData) {
  auto lSessions = aMarket.Sessions;  // a push may drop a session
  for (const auto& s : lSessions)
    if (s->Has(aStream)) s->Push(aStream, aData);
}

// The same, building the event only when someone listens (the tick makes many streams).
template <typename Make>
void PublishLazy(Market& aMarket, const std::string& aStream, Make aMake) {
  for (const auto& s : aMarket.Sessions)
    if (s->Has(aStream)) {
      Publish(aMarket, aStream, aMake());
      return;
    }
}

void PublishUser(Market& aMarket, const std::string& aData) {
  for (const auto& k : aMarket.Keys) Publish(aMarket, k.first, aData);
  // Spot today: the WebSocket API connections that subscribed.
  if (!aMarket.Futures()) {
    auto lSessions = aMarket.Sessions;
    for (const auto& s : lSessions) s->PushUserEvent(aData);
  }
}

std::string Lower(std::string aText) {
  for (char& c : aText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return aText;
}

// ---- account events -------------------------------------------------------------------------------

json OrderJson(const Market& m, const Order& o) {
  json j = {{"symbol", o.Symbol},         {"orderId", o.Id},         {"clientOrderId", o.ClientId},
            {"price", Fixed(o.Price)},    {"origQty", Fixed(o.Quantity)}, {"executedQty", Fixed(o.Executed)},
            {"status", o.Status},         {"type", o.Type},          {"side", o.Side},
            {"stopPrice", Fixed(o.StopPrice)}, {"time", o.Time},     {"updateTime", o.UpdateTime ? o.UpdateTime : o.Time},
            {"timeInForce", o.TimeInForce}};
  if (m.Futures()) {
    j["positionSide"] = o.PositionSide.empty() ? "BOTH" : o.PositionSide;
    j["reduceOnly"] = o.ReduceOnly;
    j["avgPrice"] = Fixed(o.Executed > 0 ? o.CumQuote / o.Executed : 0);
  } else {
    j["cummulativeQuoteQty"] = Fixed(o.CumQuote);
  }
  return j;
}

// A fill (aLastQty > 0) carries its trade id, its fee (a fixed rate of the quote value here; the
// balances do not pay it) and on futures what it realised.
void SendOrderUpdate(Market& m, Order& o, double aLastPrice, double aLastQty, double aRealized = 0) {
  const long long t = NowMs();
  const bool lTrade = aLastQty > 0;
  const long long lTradeId = lTrade ? ++m.NextTradeId : 0;
  const double lFee = lTrade ? aLastQty * aLastPrice * (m.Futures() ? 0.0004 : 0.001) : 0;
  const std::string lFeeAsset = m.Index == 2 ? o.Symbol.substr(0, o.Symbol.find("USD")) : "USDT";
  o.UpdateTime = t;
  if (m.Futures()) {
    json lEvent = {{"e", "ORDER_TRADE_UPDATE"}, {"E", t}, {"T", t},
                   {"o", {{"s", o.Symbol}, {"c", o.ClientId}, {"S", o.Side}, {"o", o.Type}, {"f", o.TimeInForce},
                          {"q", Fixed(o.Quantity)}, {"p", Fixed(o.Price)}, {"ap", Fixed(o.Executed > 0 ? o.CumQuote / o.Executed : 0)},
                          {"R", o.ReduceOnly},
                          {"sp", Fixed(o.StopPrice)}, {"x", o.Status == "FILLED" ? "TRADE" : o.Status},
                          {"X", o.Status}, {"i", o.Id}, {"l", Fixed(aLastQty)}, {"z", Fixed(o.Executed)},
                          {"L", Fixed(aLastPrice)}, {"T", t}, {"ps", o.PositionSide.empty() ? "BOTH" : o.PositionSide}}}};
    if (lTrade) {
      auto& e = lEvent["o"];
      e["t"] = lTradeId, e["n"] = Fixed(m.Index == 2 ? lFee / aLastPrice : lFee), e["N"] = lFeeAsset, e["rp"] = Fixed(aRealized);
    }
    PublishUser(m, lEvent.dump());
  } else {
    json lEvent = {{"e", "executionReport"}, {"E", t}, {"s", o.Symbol}, {"c", o.ClientId}, {"S", o.Side},
                   {"o", o.Type}, {"q", Fixed(o.Quantity)}, {"p", Fixed(o.Price)}, {"P", Fixed(o.StopPrice)},
                   {"x", o.Status == "FILLED" ? "TRADE" : o.Status}, {"X", o.Status}, {"i", o.Id},
                   {"l", Fixed(aLastQty)}, {"z", Fixed(o.Executed)}, {"L", Fixed(aLastPrice)}, {"Z", Fixed(o.CumQuote)},
                   {"f", o.TimeInForce}, {"T", t}};
    if (lTrade) lEvent["t"] = lTradeId, lEvent["n"] = Fixed(lFee), lEvent["N"] = lFeeAsset;
    PublishUser(m, lEvent.dump());
  }
}

json AlgoJson(const AlgoOrder& a) {
  return {{"algoId", a.Id},          {"clientAlgoId", a.ClientId},      {"algoType", "CONDITIONAL"},
          {"orderType", a.Type},     {"symbol", a.Symbol},              {"side", a.Side},
          {"positionSide", a.PositionSide}, {"timeInForce", "GTC"},     {"quantity", Fixed(a.Quantity)},
          {"algoStatus", a.Status},  {"triggerPrice", Fixed(a.TriggerPrice)}, {"price", Fixed(a.Price)},
          {"actualOrderId", a.ActualOrderId ? std::to_string(a.ActualOrderId) : ""},
          {"createTime", a.UpdateTime},   {"updateTime", a.UpdateTime}};
}

void SendAlgoUpdate(Market& m, AlgoOrder& a) {
  const long long t = NowMs();
  a.UpdateTime = t;
  PublishUser(m, json{{"e", "ALGO_UPDATE"}, {"T", t}, {"E", t},
                      {"o", {{"caid", a.ClientId}, {"aid", a.Id}, {"at", "CONDITIONAL"}, {"o", a.Type}, {"s", a.Symbol},
                             {"S", a.Side}, {"ps", a.PositionSide}, {"f", "GTC"}, {"q", Fixed(a.Quantity)}, {"X", a.Status},
                             {"ai", a.ActualOrderId ? std::to_string(a.ActualOrderId) : ""}, {"tp", Fixed(a.TriggerPrice)},
                             {"p", Fixed(a.Price)}, {"rm", ""}}}}
                     .dump());
}

void SendAccountUpdate(Market& m, const std::string& aSymbol, double aChange) {
  const long long t = NowMs();
  m.AccountTime = t;
  if (m.Futures()) {
    const std::string lAsset = m.Index == 1 ? "USDT" : aSymbol.substr(0, aSymbol.find("USD"));
    json B = json::array({{{"a", lAsset}, {"wb", Fixed(m.Balances[lAsset])}, {"cwb", Fixed(m.Balances[lAsset])},
                           {"bc", Fixed(aChange)}}});
    const auto& p = m.Positions[aSymbol];
    json P = json::array({{{"s", aSymbol}, {"pa", Fixed(p.first)}, {"ep", Fixed(p.second)}, {"up", "0"}, {"ps", "BOTH"}}});
    PublishUser(m, json{{"e", "ACCOUNT_UPDATE"}, {"E", t}, {"T", t}, {"a", {{"m", "ORDER"}, {"B", B}, {"P", P}}}}.dump());
  } else {
    json B = json::array();
    for (const auto& [lAsset, lFree] : m.Balances) B.push_back({{"a", lAsset}, {"f", Fixed(lFree)}, {"l", "0.00000000"}});
    PublishUser(m, json{{"e", "outboundAccountPosition"}, {"E", t}, {"u", t}, {"B", B}}.dump());
  }
}

// A fill: the order's account moves by it, then the user stream hears of both.
void Fill(Market& m, Order& o, double aPrice) {
  const double lQty = o.Quantity - o.Executed;
  o.Executed = o.Quantity;
  o.CumQuote += lQty * aPrice;
  o.Status = "FILLED";
  const double lSigned = o.Side == "BUY" ? lQty : -lQty;
  double lChange = 0;
  if (m.Futures()) {
    auto& p = m.Positions[o.Symbol];
    const double lNew = p.first + lSigned;
    if (p.first == 0 || (p.first > 0) == (lSigned > 0)) {
      p.second = lNew == 0 ? 0 : (p.first * p.second + lSigned * aPrice) / lNew;
    } else {
      lChange = -lSigned * (aPrice - p.second);  // realised on the reduced part
      if ((lNew > 0) != (p.first > 0) && lNew != 0) p.second = aPrice;
    }
    if (lNew == 0) p.second = 0;
    p.first = lNew;
    const std::string lAsset = m.Index == 1 ? "USDT" : o.Symbol.substr(0, o.Symbol.find("USD"));
    m.Balances[lAsset] += lChange;
  } else {
    const std::string lBase = o.Symbol.substr(0, o.Symbol.size() - 4);
    m.Balances[lBase] += lSigned;
    m.Balances["USDT"] -= lSigned * aPrice;
    lChange = -lSigned * aPrice;
  }
  Log(m.Name + ": order " + std::to_string(o.Id) + " " + o.Side + " " + o.Symbol + " filled at " + Fixed(aPrice, 2));
  SendOrderUpdate(m, o, aPrice, lQty, m.Futures() ? lChange : 0);
  SendAccountUpdate(m, o.Symbol, lChange);
}

// ---- the market tick ------------------------------------------------------------------------------

// ---- the order book ------------------------------------------------------------------------------

long long MidTicks(const SymbolState& s) { return std::llround(s.Price / s.Tick); }
std::string TickText(const SymbolState& s, long long aTicks) { return Fixed(static_cast<double>(aTicks) * s.Tick, 2); }
std::string LotText(long long aLots) { return Fixed(static_cast<double>(aLots) / 1000, 3); }

void SetLevel(SimBook& b, bool aBid, long long aTicks, long long aLots) {
  if (aBid) {
    if (aLots == 0 && !b.Bids.count(aTicks)) return;
    aLots ? void(b.Bids[aTicks] = aLots) : void(b.Bids.erase(aTicks));
  } else {
    if (aLots == 0 && !b.Asks.count(aTicks)) return;
    aLots ? void(b.Asks[aTicks] = aLots) : void(b.Asks.erase(aTicks));
  }
  ++b.UpdateId;
  b.Pending.push_back({aBid, aTicks, aLots});
}

long long RandomLots() { return std::uniform_int_distribution<long long>(1, 5000)(gRandom); }

// The book follows the price: nothing crosses it, the best levels sit one tick either side (as the
// ticker says), a few levels change at random, each side is kept at 150 levels or more within reach of
// the walk, and levels far away go.
void StepBook(SymbolState& s) {
  SimBook& b = *s.Book;
  const long long lMid = MidTicks(s);
  const long long lReach = std::max<long long>(120, std::llround(5 * gOptions.Volatility * s.Price / s.Tick));
  while (!b.Bids.empty() && b.Bids.begin()->first >= lMid) SetLevel(b, true, b.Bids.begin()->first, 0);
  while (!b.Asks.empty() && b.Asks.begin()->first <= lMid) SetLevel(b, false, b.Asks.begin()->first, 0);
  if (!b.Bids.count(lMid - 1) && lMid > 1) SetLevel(b, true, lMid - 1, RandomLots());
  if (!b.Asks.count(lMid + 1)) SetLevel(b, false, lMid + 1, RandomLots());
  std::uniform_int_distribution<long long> lOffset(1, lReach);
  for (int i = 0; i < 4; ++i) {
    const bool lBid = gRandom() % 2 == 0;
    const long long lTicks = lBid ? lMid - lOffset(gRandom) : lMid + lOffset(gRandom);
    if (lTicks > 0) SetLevel(b, lBid, lTicks, gRandom() % 4 == 0 ? 0 : RandomLots());
  }
  for (int lTries = 0; b.Bids.size() < 150 && lTries < 1000; ++lTries)
    if (const long long t = lMid - lOffset(gRandom); t > 0) SetLevel(b, true, t, RandomLots());
  for (int lTries = 0; b.Asks.size() < 150 && lTries < 1000; ++lTries) SetLevel(b, false, lMid + lOffset(gRandom), RandomLots());
  while (!b.Bids.empty() && b.Bids.rbegin()->first < lMid - 3 * lReach) SetLevel(b, true, b.Bids.rbegin()->first, 0);
  while (!b.Asks.empty() && b.Asks.rbegin()->first > lMid + 3 * lReach) SetLevel(b, false, b.Asks.rbegin()->first, 0);
}

SimBook& BookOf(SymbolState& s) {
  if (!s.Book) {
    s.Book = std::make_shared<SimBook>();
    const long long lMid = MidTicks(s);
    for (long long i = 1; i <= 200; ++i) {
      if (lMid - i > 0) s.Book->Bids[lMid - i] = RandomLots();
      s.Book->Asks[lMid + i] = RandomLots();
    }
  }
  return *s.Book;
}

template <typename TMap>
std::string LevelsJson(const SymbolState& s, const TMap& aSide, std::size_t aCount) {
  std::string a = "[";
  for (const auto& [t, q] : aSide) {
    if (aCount-- == 0) break;
    if (a.size() > 1) a += ',';
    a += "[\"" + TickText(s, t) + "\",\"" + LotText(q) + "\"]";
  }
  return a + "]";
}

// The partial-book streams: the best 20 levels of the book.
std::string Levels(SymbolState& s, int aSide) {
  SimBook& b = BookOf(s);
  return aSide < 0 ? LevelsJson(s, b.Bids, 20) : LevelsJson(s, b.Asks, 20);
}

// A REST snapshot of the best aLimit levels; futures add E, T (and COIN-M symbol, pair).
std::string DepthSnapshot(const Market& m, SymbolState& s, std::size_t aLimit) {
  SimBook& b = BookOf(s);
  std::string lText = "{\"lastUpdateId\":" + std::to_string(b.UpdateId);
  if (m.Futures()) lText += ",\"E\":" + std::to_string(NowMs()) + ",\"T\":" + std::to_string(NowMs());
  if (m.Index == 2) lText += ",\"symbol\":\"" + s.Name + "\",\"pair\":\"" + s.Name.substr(0, s.Name.find('_')) + "\"";
  return lText + ",\"bids\":" + LevelsJson(s, b.Bids, aLimit) + ",\"asks\":" + LevelsJson(s, b.Asks, aLimit) + "}";
}

// The changes since the last one as a diff-depth event (a level changed twice once, as it is now),
// sent to the symbol's diff-depth listeners; a gap or a swap is made here when asked for.
void PublishDiff(Market& m, SymbolState& s, long long t) {
  SimBook& b = *s.Book;
  if (b.Pending.empty()) return;
  const long long lFirst = b.UpdateId - static_cast<long long>(b.Pending.size()) + 1;
  std::map<long long, long long, std::greater<>> lBids;
  std::map<long long, long long> lAsks;
  for (const auto& c : b.Pending) (c.Bid ? lBids[c.Ticks] : lAsks[c.Ticks]) = c.Lots;
  b.Pending.clear();
  std::string e = "{\"e\":\"depthUpdate\",\"E\":" + std::to_string(t);
  if (m.Futures()) e += ",\"T\":" + std::to_string(t);
  e += ",\"s\":\"" + s.Name + "\",\"U\":" + std::to_string(lFirst) + ",\"u\":" + std::to_string(b.UpdateId);
  if (m.Futures()) e += ",\"pu\":" + std::to_string(b.PublishedId);
  if (m.Index == 2) e += ",\"ps\":\"" + s.Name.substr(0, s.Name.find('_')) + "\"";
  e += ",\"b\":" + LevelsJson(s, lBids, lBids.size()) + ",\"a\":" + LevelsJson(s, lAsks, lAsks.size()) + "}";
  b.PublishedId = b.UpdateId;
  const long long lNumber = ++b.Sent;
  if (gOptions.DepthGapEvery > 0 && lNumber % gOptions.DepthGapEvery == 0) {
    ++b.Dropped;
    return;
  }
  const std::string lStream = Lower(s.Name) + "@depth@100ms";
  if (gOptions.DepthReorderEvery > 0 && lNumber % gOptions.DepthReorderEvery == 0 && b.HeldBack.empty()) {
    b.HeldBack = std::move(e);
    ++b.Reordered;
    return;
  }
  Publish(m, lStream, e);
  if (!b.HeldBack.empty()) Publish(m, lStream, std::exchange(b.HeldBack, std::string()));
}

// ---- history (klines, aggregate trades) ----------------------------------------------------------

double RoundTick(const SymbolState& s, double aPrice) { return std::max(s.Tick, std::round(aPrice / s.Tick) * s.Tick); }

SimHistory& HistoryOf(SymbolState& s) {
  if (s.History) return *s.History;
  s.History = std::make_shared<SimHistory>();
  SimHistory& h = *s.History;
  // Walked back from the price now: the newest bar first, then reversed.
  std::normal_distribution<double> lNormal(0, 1);
  std::uniform_real_distribution<double> lVolume(0.1, 3);
  const long long lNow = NowMs() / 1000 * 1000;
  // As lively as the walk now (ten steps a second), but never so wild that a day walks away.
  const double lSecondStep = std::clamp(gOptions.Volatility * std::sqrt(10.0), 0.00005, 0.0003);
  auto lBar = [&](long long t, double& aClose, double aStep, double aVolumeScale) {
    SimBar b;
    b.T = t;
    b.C = aClose;
    b.O = RoundTick(s, aClose * (1 + aStep * lNormal(gRandom)));
    b.H = std::max(b.O, b.C) + s.Tick * std::floor(std::abs(lNormal(gRandom)) * 3);
    b.L = std::max(s.Tick, std::min(b.O, b.C) - s.Tick * std::floor(std::abs(lNormal(gRandom)) * 3));
    b.V = std::round(lVolume(gRandom) * aVolumeScale * 1000) / 1000;
    b.TakerV = std::round(b.V * std::uniform_real_distribution<double>(0.2, 0.8)(gRandom) * 1000) / 1000;
    b.Q = b.V * (b.O + b.C) / 2, b.TakerQ = b.TakerV * (b.O + b.C) / 2;
    b.N = 1 + static_cast<long long>(b.V * 3);
    aClose = b.O;  // the bar before closes where this one opened
    return b;
  };
  double lClose = RoundTick(s, s.Price);
  std::vector<SimBar> lSeconds;
  lSeconds.reserve(86400);
  for (long long i = 1; i <= 86400; ++i) lSeconds.push_back(lBar(lNow - i * 1000, lClose, lSecondStep, 1));
  const long long lFirstSecond = lNow - 86400 * 1000;
  h.Minutes.reserve(43200);
  for (long long i = 1; i <= 43200; ++i) h.Minutes.push_back(lBar(lFirstSecond - i * 60000, lClose, lSecondStep * std::sqrt(60.0), 60));
  std::reverse(h.Minutes.begin(), h.Minutes.end());
  h.Seconds.assign(lSeconds.rbegin(), lSeconds.rend());
  // The trades streamed so far, in their seconds (the bars' prices reach theirs).
  for (const SimTrade& t : s.Trades) {
    auto it = std::lower_bound(h.Seconds.begin(), h.Seconds.end(), t.T / 1000 * 1000, [](const SimBar& b, long long x) { return b.T < x; });
    if (it == h.Seconds.end() || it->T != t.T / 1000 * 1000) continue;
    it->H = std::max(it->H, t.Price), it->L = std::min(it->L, t.Price);
    it->V += t.Qty, it->Q += t.Qty * t.Price, ++it->N;
    if (!t.BuyerMaker) it->TakerV += t.Qty, it->TakerQ += t.Qty * t.Price;
    if (it->FirstTrade < 0) it->FirstTrade = t.Id;
    it->LastTrade = t.Id;
  }
  return h;
}

// The bar of the second now (the price walk and the trades go into it).
SimBar& CurrentSecond(SymbolState& s, long long aNow) {
  SimHistory& h = HistoryOf(s);
  const long long t = aNow / 1000 * 1000;
  if (h.Seconds.empty() || h.Seconds.back().T < t) {
    const double p = RoundTick(s, s.Price);
    SimBar b;
    b.T = t, b.O = b.H = b.L = b.C = p;
    h.Seconds.push_back(b);
  }
  return h.Seconds.back();
}

void RecordPrice(SymbolState& s, long long aNow) {
  if (!s.History) return;
  SimBar& b = CurrentSecond(s, aNow);
  const double p = RoundTick(s, s.Price);
  b.C = p, b.H = std::max(b.H, p), b.L = std::min(b.L, p);
}

void RecordTrade(SymbolState& s, const SimTrade& aTrade) {
  s.Trades.push_back(aTrade);
  if (s.Trades.size() > 500000) s.Trades.pop_front();
  if (!s.History) return;
  SimBar& b = CurrentSecond(s, aTrade.T);
  b.C = aTrade.Price, b.H = std::max(b.H, aTrade.Price), b.L = std::min(b.L, aTrade.Price);
  b.V += aTrade.Qty, b.Q += aTrade.Qty * aTrade.Price, ++b.N;
  if (!aTrade.BuyerMaker) b.TakerV += aTrade.Qty, b.TakerQ += aTrade.Qty * aTrade.Price;
  if (b.FirstTrade < 0) b.FirstTrade = aTrade.Id;
  b.LastTrade = aTrade.Id;
}

// Interval names as the exchange spells them, in ms (months as 30 days: never asked for here).
long long IntervalMs(const std::string& aName) {
  static const std::map<std::string, long long> kIntervals = {
      {"1s", 1000},          {"1m", 60000},         {"3m", 180000},        {"5m", 300000},        {"15m", 900000},
      {"30m", 1800000},      {"1h", 3600000},       {"2h", 7200000},       {"4h", 14400000},      {"6h", 21600000},
      {"8h", 28800000},      {"12h", 43200000},     {"1d", 86400000},      {"3d", 259200000},     {"1w", 604800000}};
  const auto i = kIntervals.find(aName);
  return i == kIntervals.end() ? 0 : i->second;
}

// The klines of aInterval ms whose open time lies in [aFrom, aTo], oldest first, at most aLimit
// (with aNewest the newest aLimit of them, as COIN-M answers with both times). Weeks open on Monday.
std::vector<SimBar> Klines(SymbolState& s, long long aInterval, long long aFrom, long long aTo, std::size_t aLimit, bool aNewest) {
  SimHistory& h = HistoryOf(s);
  const long long lOffset = aInterval == 604800000 ? 345600000 : 0;  // 1970-01-01 was a Thursday
  auto lBucket = [&](long long t) { return (t + lOffset) / aInterval * aInterval - lOffset; };
  std::vector<SimBar> lOut;
  auto lAdd = [&](const SimBar& b) {
    const long long k = lBucket(b.T);
    if (k < aFrom || k > aTo) return;
    if (lOut.empty() || lOut.back().T != k) {
      if (!aNewest && lOut.size() == aLimit) return;
      SimBar n = b;
      n.T = k;
      lOut.push_back(n);
      return;
    }
    SimBar& c = lOut.back();
    c.H = std::max(c.H, b.H), c.L = std::min(c.L, b.L), c.C = b.C;
    c.V += b.V, c.Q += b.Q, c.TakerV += b.TakerV, c.TakerQ += b.TakerQ, c.N += b.N;
    if (c.FirstTrade < 0) c.FirstTrade = b.FirstTrade;
    if (b.LastTrade >= 0) c.LastTrade = b.LastTrade;
  };
  // Minute bars cannot make a kline shorter than a minute.
  if (aInterval >= 60000) {
    auto lStart = std::lower_bound(h.Minutes.begin(), h.Minutes.end(), aFrom, [](const SimBar& b, long long t) { return b.T < t; });
    for (auto it = lStart; it != h.Minutes.end() && it->T <= aTo + aInterval; ++it) lAdd(*it);
  }
  auto lFirst = std::lower_bound(h.Seconds.begin(), h.Seconds.end(), aFrom, [](const SimBar& b, long long t) { return b.T < t; });
  for (auto it = lFirst; it != h.Seconds.end(); ++it) {
    if (!aNewest && lOut.size() == aLimit && lBucket(it->T) != lOut.back().T) break;
    lAdd(*it);
  }
  if (aNewest && lOut.size() > aLimit) lOut.erase(lOut.begin(), lOut.end() - static_cast<std::ptrdiff_t>(aLimit));
  return lOut;
}

// The 12 fields of a kline row (COIN-M: volume in contracts of 100 USD, index 7 the base volume).
json KlineRow(const Market& m, const SymbolState& s, const SimBar& b, long long aInterval) {
  const int d = s.Tick < 0.05 ? 2 : 1;
  const bool lCoin = m.Index == 2;
  const double lMid = (b.O + b.C) / 2;
  const double lVolume = lCoin ? std::round(b.V * lMid / 100) : b.V, lTaker = lCoin ? std::round(b.TakerV * lMid / 100) : b.TakerV;
  return json::array({b.T, Fixed(b.O, d), Fixed(b.H, d), Fixed(b.L, d), Fixed(b.C, d), Fixed(lVolume, 3), b.T + aInterval - 1,
                      Fixed(lCoin ? b.V : b.Q, 8), b.N, Fixed(lTaker, 3), Fixed(lCoin ? b.TakerV : b.TakerQ, 8), "0"});
}

json KlineEvent(const Market& m, const SymbolState& s, const SimBar& b, const std::string& aInterval, long long aMs, bool aClosed) {
  const json r = KlineRow(m, s, b, aMs);
  return {{"e", "kline"}, {"E", NowMs()}, {"s", s.Name},
          {"k", {{"t", b.T}, {"T", b.T + aMs - 1}, {"s", s.Name}, {"i", aInterval}, {"f", b.FirstTrade}, {"L", b.LastTrade},
                 {"o", r[1]}, {"c", r[4]}, {"h", r[2]}, {"l", r[3]}, {"v", r[5]}, {"n", b.N}, {"x", aClosed}, {"q", r[7]},
                 {"V", r[9]}, {"Q", r[10]}, {"B", "0"}}}};
}

// Each kline stream a session listens to: the open kline every second, and a kline that has just
// closed once more with x true.
void PublishKlines(Market& m, SymbolState& s, const std::string& l, long long t, bool aSecond) {
  static const char* kNames[] = {"1s", "1m", "3m", "5m", "15m", "30m", "1h", "2h", "4h", "6h", "8h", "12h", "1d", "3d", "1w"};
  for (const char* lName : kNames) {
    const std::string lStream = l + "@kline_" + lName;
    bool lHeard = false;
    for (const auto& lSession : m.Sessions) lHeard = lHeard || lSession->Has(lStream);
    if (!lHeard) continue;
    const long long lMs = IntervalMs(lName);
    const long long lOpen = t / lMs * lMs;
    // Closed since the last tick: the finished kline, then the new one.
    if (lOpen > (t - 100) / lMs * lMs) {
      auto k = Klines(s, lMs, lOpen - lMs, lOpen - lMs, 1, false);
      if (!k.empty()) Publish(m, lStream, KlineEvent(m, s, k.back(), lName, lMs, true).dump());
    }
    if (!aSecond) continue;
    auto k = Klines(s, lMs, lOpen, lOpen, 1, false);
    if (!k.empty()) Publish(m, lStream, KlineEvent(m, s, k.back(), lName, lMs, false).dump());
  }
}

void Tick(int aStep) {
  std::normal_distribution<double> lNormal(0, 1);
  for (auto& m : gMarkets) {
    for (auto& s : m.Symbols) {
      s.Price = std::max(s.Tick, std::round((s.Price * (1 + gOptions.Volatility * lNormal(gRandom))) / s.Tick) * s.Tick);
      s.High = std::max(s.High, s.Price);
      s.Low = std::min(s.Low, s.Price);
      const std::string l = Lower(s.Name);
      const long long t = NowMs();
      RecordPrice(s, t);
      if (s.Book) {
        if (!s.Book->Paused) {
          StepBook(s);
          PublishDiff(m, s, t);
        }
        // A burst: many events at once, each a step of its own (the book's sync under load).
        for (int k = 0; k < s.Book->BurstPerTick && s.Book->BurstLeft > 0; ++k, --s.Book->BurstLeft) {
          StepBook(s);
          PublishDiff(m, s, t);
        }
      } else {
        for (const auto& lSession : m.Sessions)
          if (lSession->Has(l + "@depth@100ms")) {
            BookOf(s);
            break;
          }
      }
      // Orders whose price was crossed.
      for (auto& [id, o] : m.Orders) {
        if (o.Symbol != s.Name || o.Status != "NEW") continue;
        const bool lBuy = o.Side == "BUY";
        if (o.Type == "LIMIT" && (lBuy ? s.Price <= o.Price : s.Price >= o.Price)) {
          Fill(m, o, o.Price);
        } else if ((o.Type == "STOP_LOSS" || o.Type == "STOP_MARKET" || o.Type == "STOP" || o.Type == "STOP_LOSS_LIMIT") &&
                   (lBuy ? s.Price >= o.StopPrice : s.Price <= o.StopPrice)) {
          Fill(m, o, (o.Type == "STOP" || o.Type == "STOP_LOSS_LIMIT") ? o.Price : s.Price);
        } else if ((o.Type == "TAKE_PROFIT" || o.Type == "TAKE_PROFIT_LIMIT") &&
                   (lBuy ? s.Price <= o.StopPrice : s.Price >= o.StopPrice)) {
          Fill(m, o, o.Type == "TAKE_PROFIT_LIMIT" ? o.Price : s.Price);
        } else if (o.Type == "TRAILING_STOP_MARKET" && (lBuy ? s.Price >= o.ActivationPrice : s.Price <= o.ActivationPrice)) {
          Fill(m, o, s.Price);
        }
      }
      // Conditional orders whose trigger was reached place their real order (a trailing stop is
      // taken to trigger at its activation price here).
      for (auto& [id, a] : m.AlgoOrders) {
        if (a.Symbol != s.Name || a.Status != "NEW") continue;
        // A stop triggers when the price goes against the order's side, a take-profit when it comes to it.
        const bool lTakeProfit = a.Type.rfind("TAKE_PROFIT", 0) == 0;
        if (!((a.Side == "BUY") != lTakeProfit ? s.Price >= a.TriggerPrice : s.Price <= a.TriggerPrice)) continue;
        Order o;
        o.Id = ++m.NextOrderId;
        o.Symbol = a.Symbol;
        o.Side = a.Side;
        o.Type = a.Type == "STOP" || a.Type == "TAKE_PROFIT" ? "LIMIT" : "MARKET";
        o.ReduceOnly = a.ReduceOnly;
        o.Quantity = a.Quantity;
        o.Price = a.Price;
        o.PositionSide = a.PositionSide;
        o.ClientId = "algo" + std::to_string(a.Id);
        o.Time = t;
        a.Status = "TRIGGERED";
        a.ActualOrderId = o.Id;
        SendAlgoUpdate(m, a);
        Order& lStored = m.Orders[o.Id] = o;
        SendOrderUpdate(m, lStored, 0, 0);
        if (lStored.Type == "MARKET") Fill(m, lStored, s.Price);
        a.Status = "FINISHED";
        SendAlgoUpdate(m, a);
      }
      // Trades: one every third tick, or --trades-per-second of them spread over the ticks.
      const int lTrades = gOptions.TradesPerSecond > 0 ? gOptions.TradesPerSecond / 10 + (aStep % 10 < gOptions.TradesPerSecond % 10)
                                                      : std::uniform_int_distribution<int>(0, 2)(gRandom) == 0;
      for (int k = 0; k < lTrades; ++k) {
        const double q = std::round(std::uniform_real_distribution<double>(0.001, 2)(gRandom) * 1000) / 1000;
        s.Volume += q;
        // Streamed trades are kept (the history of this symbol from then on holds them).
        PublishLazy(m, l + "@aggTrade", [&] {
          const SimTrade lTrade{++s.TradeId, t, RoundTick(s, s.Price), q, q > 1};
          RecordTrade(s, lTrade);
          return json{{"e", "aggTrade"}, {"E", t}, {"s", s.Name}, {"a", lTrade.Id}, {"p", Fixed(lTrade.Price, 2)},
                      {"q", Fixed(q, 3)}, {"f", lTrade.Id}, {"l", lTrade.Id}, {"T", t}, {"m", lTrade.BuyerMaker}}.dump();
        });
      }
      for (int lSpeed : {100, 250, 500, 1000}) {
        if (aStep % (lSpeed / 100) != 0) continue;
        const std::string lSuffix = "@" + std::to_string(lSpeed) + "ms";
        PublishLazy(m, l + "@depth20" + lSuffix, [&]() -> std::string {
          const std::string lBids = Levels(s, -1), lAsks = Levels(s, 1), lId = std::to_string(s.Book->UpdateId);
          if (m.Futures())
            return R"({"e":"depthUpdate","E":)" + std::to_string(t) + R"(,"T":)" + std::to_string(t) + R"(,"s":")" + s.Name +
                   R"(","U":)" + lId + R"(,"u":)" + lId + R"(,"pu":)" + std::to_string(s.Book->PublishedId) +
                   R"(,"b":)" + lBids + R"(,"a":)" + lAsks + "}";
          return R"({"lastUpdateId":)" + lId + R"(,"bids":)" + lBids + R"(,"asks":)" + lAsks + "}";
        });
      }
      if (aStep % 10 == 0) {
        const std::string p = Fixed(s.Price, 2);
        PublishLazy(m, l + "@ticker", [&] { return json{{"e", "24hrTicker"}, {"E", t}, {"s", s.Name}, {"p", Fixed(s.Price - s.Open, 2)},
                                       {"P", Fixed((s.Price - s.Open) / s.Open * 100, 3)}, {"c", p}, {"Q", "0.100"},
                                       {"b", Fixed(s.Price - s.Tick, 2)}, {"B", "1.000"}, {"a", Fixed(s.Price + s.Tick, 2)},
                                       {"A", "1.000"}, {"o", Fixed(s.Open, 2)}, {"h", Fixed(s.High, 2)}, {"l", Fixed(s.Low, 2)},
                                       {"v", Fixed(s.Volume, 3)}, {"q", Fixed(s.Volume * s.Price, 2)}, {"O", t - 86400000},
                                       {"C", t}, {"n", s.TradeId}}.dump(); });
        if (m.Futures())
          for (const char* lMark : {"@markPrice", "@markPrice@1s"})
            PublishLazy(m, l + lMark, [&] {
              return json{{"e", "markPriceUpdate"}, {"E", t}, {"s", s.Name}, {"p", Fixed(s.Price, 8)}, {"i", Fixed(s.Price, 8)},
                          {"P", Fixed(s.Price, 8)}, {"r", "0.00010000"}, {"T", t - t % 28800000 + 28800000}}.dump();
            });
        PublishLazy(m, l + "@miniTicker", [&] { return json{{"e", "24hrMiniTicker"}, {"E", t}, {"s", s.Name}, {"c", p}, {"o", Fixed(s.Open, 2)},
                                           {"h", Fixed(s.High, 2)}, {"l", Fixed(s.Low, 2)}, {"v", Fixed(s.Volume, 3)}}.dump(); });
      }
      PublishKlines(m, s, l, t, aStep % 10 == 0);
      PublishLazy(m, l + "@bookTicker", [&] { return json{{"u", t}, {"s", s.Name}, {"b", Fixed(s.Price - s.Tick, 2)}, {"B", "1.000"},
                                         {"a", Fixed(s.Price + s.Tick, 2)}, {"A", "1.000"}}.dump(); });
    }
    // Listen keys that were not kept alive expire; their streams hear of it once.
    for (auto& [k, key] : m.Keys) {
      if (!key.ExpiredSent && NowMs() > key.ExpiresMs) {
        key.ExpiredSent = true;
        Publish(m, k, R"({"e": "listenKeyExpired","E":)" + std::to_string(NowMs()) + R"(,"listenKey":")" + k + R"("})");
      }
    }
    auto lSessions = m.Sessions;
    for (const auto& s : lSessions) s->CheckLifetime();
  }
}

// ---- REST -----------------------------------------------------------------------------------------

using Response = http::response<http::string_body>;

Response Answer(unsigned aStatus, const std::string& aBody, unsigned aVersion) {
  Response r{static_cast<http::status>(aStatus), aVersion};
  r.set(http::field::content_type, "application/json;charset=UTF-8");
  r.set(http::field::server, "qmt-sim-exchange");
  r.body() = aBody;
  r.prepare_payload();
  return r;
}

std::string Error(int aCode, const std::string& aMsg) { return json{{"code", aCode}, {"msg", aMsg}}.dump(); }

json ExchangeInfo(const Market& m) {
  json lSymbols = json::array();
  for (const auto& s : m.Symbols) {
    json e = {{"symbol", s.Name},
              {"status", "TRADING"},
              {"baseAsset", s.Name.substr(0, s.Name.find(m.Index == 2 ? "USD" : "USDT"))},
              {"quoteAsset", m.Index == 2 ? "USD" : "USDT"},
              {"orderTypes", m.Futures() ? json::array({"LIMIT", "MARKET", "STOP", "STOP_MARKET", "TRAILING_STOP_MARKET"})
                                         : json::array({"LIMIT", "MARKET", "STOP_LOSS", "STOP_LOSS_LIMIT"})},
              {"filters", json::array({{{"filterType", "PRICE_FILTER"}, {"minPrice", Fixed(s.Tick)},
                                        {"maxPrice", "1000000.00000000"}, {"tickSize", Fixed(s.Tick)}},
                                       {{"filterType", "LOT_SIZE"}, {"minQty", "0.00100000"}, {"maxQty", "9000.00000000"},
                                        {"stepSize", "0.00100000"}}})}};
    if (m.Futures()) e["contractType"] = "PERPETUAL";
    if (m.Index == 2) e["contractSize"] = s.Name.rfind("BTC", 0) == 0 ? 100 : 10;  // USD per contract
    lSymbols.push_back(e);
  }
  return {{"timezone", "UTC"}, {"serverTime", NowMs()}, {"rateLimits", json::array()}, {"exchangeFilters", json::array()},
          {"symbols", lSymbols}};
}

json Ticker24(const SymbolState& s) {
  return {{"symbol", s.Name},       {"priceChange", Fixed(s.Price - s.Open, 2)}, {"lastPrice", Fixed(s.Price, 2)},
          {"openPrice", Fixed(s.Open, 2)}, {"highPrice", Fixed(s.High, 2)},       {"lowPrice", Fixed(s.Low, 2)},
          {"volume", Fixed(s.Volume, 3)},  {"bidPrice", Fixed(s.Price - s.Tick, 2)}, {"askPrice", Fixed(s.Price + s.Tick, 2)},
          {"closeTime", NowMs()}};
}

// Checks the API key, the signature over query + body, and the timestamp window. Empty when fine.
std::pair<unsigned, std::string> CheckSigned(const http::request<http::string_body>& aRequest, const std::string& aQuery,
                                             std::map<std::string, std::string>& aParams) {
  const auto lKey = aRequest.find("X-MBX-APIKEY");
  if (lKey == aRequest.end() || std::string(lKey->value()) != gOptions.ApiKey)
    return {401, Error(-2015, "Invalid API-key, IP, or permissions for action.")};
  if (!aParams.count("timestamp") || aParams["timestamp"].empty())
    return {400, Error(-1102, "Mandatory parameter 'timestamp' was not sent, was empty/null, or malformed.")};
  if (!aParams.count("signature"))
    return {400, Error(-1102, "Mandatory parameter 'signature' was not sent, was empty/null, or malformed.")};
  auto lStrip = [](std::string aText) {
    const auto lAt = aText.find("signature=");
    if (lAt == std::string::npos) return aText;
    aText.erase(lAt > 0 && aText[lAt - 1] == '&' ? lAt - 1 : lAt);
    return aText;
  };
  const std::string lPayload = lStrip(aQuery) + lStrip(aRequest.body());
  std::string lGiven = aParams["signature"];
  if (gPublicKey) {
    // Base64 is case-sensitive and comes URL-encoded.
    if (!VerifyWithKey(lPayload, UrlDecode(lGiven))) return {400, Error(-1022, "Signature for this request is not valid.")};
  } else {
    for (char& c : lGiven) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (Hmac(gOptions.ApiSecret, lPayload) != lGiven) return {400, Error(-1022, "Signature for this request is not valid.")};
  }
  const Reply r = CheckTimestamp(aParams["timestamp"], aParams.count("recvWindow") ? aParams["recvWindow"] : "");
  return {r.Status, r.Body};
}

double Num(std::map<std::string, std::string>& p, const char* k) {
  try {
    return p.count(k) ? std::stod(p[k]) : 0;
  } catch (...) {
    return 0;
  }
}

Reply CheckTimestamp(const std::string& aTimestamp, const std::string& aRecvWindow) {
  long long lTimestamp = 0, lWindow = 5000;
  try {
    lTimestamp = std::stoll(aTimestamp);
    if (!aRecvWindow.empty()) lWindow = std::stoll(aRecvWindow);
  } catch (...) {
    return {400, Error(-1102, "Mandatory parameter 'timestamp' was not sent, was empty/null, or malformed.")};
  }
  const long long lNow = NowMs();
  if (lTimestamp >= lNow + 1000) return {400, Error(-1021, "Timestamp for this request was 1000ms ahead of the server's time.")};
  if (lNow - lTimestamp > lWindow) return {400, Error(-1021, "Timestamp for this request is outside of the recvWindow.")};
  return {0, ""};
}

// The fault options, taken by one order that was placed (or, for --close-after-order unplaced, is to
// be dropped before it is).
bool TakeCloseBeforePlacing() {
  if (gOptions.CloseAfterOrder <= 0 || gOptions.CloseAfterPlacing) return false;
  --gOptions.CloseAfterOrder;
  return true;
}

Reply AfterPlacing(Reply aReply) {
  if (gOptions.CloseAfterOrder > 0 && gOptions.CloseAfterPlacing) {
    --gOptions.CloseAfterOrder;
    return {0, "", true};
  }
  if (gOptions.Orders503 > 0) {
    // Placed, but the answer says nothing of it: the client has to look it up.
    --gOptions.Orders503;
    return {503, Error(-1007, "Timeout waiting for response from backend server. Send status unknown; execution status unknown.")};
  }
  if (gOptions.Orders408 > 0) {
    --gOptions.Orders408;
    return {408, Error(-1007, "Timeout waiting for response from backend server. Send status unknown; execution status unknown.")};
  }
  return aReply;
}

Reply PlaceOrder(Market& m, Params& lParams) {
  if (TakeCloseBeforePlacing()) return {0, "", true};
  SymbolState* s = m.Find(lParams["symbol"]);
  if (!s) return {400, Error(-1121, "Invalid symbol.")};
  Order o;
  o.Id = ++m.NextOrderId;
  o.Symbol = s->Name;
  o.Side = lParams["side"];
  o.Type = lParams["type"];
  o.Quantity = Num(lParams, "quantity");
  o.Price = Num(lParams, "price");
  o.StopPrice = Num(lParams, "stopPrice");
  o.ActivationPrice = Num(lParams, "activationPrice");
  o.CallbackRate = Num(lParams, "callbackRate");
  o.PositionSide = lParams["positionSide"];
  if (lParams.count("timeInForce")) o.TimeInForce = lParams["timeInForce"];
  o.ReduceOnly = lParams["reduceOnly"] == "true";
  o.ClientId = lParams.count("newClientOrderId") ? lParams["newClientOrderId"] : "sim" + std::to_string(o.Id);
  o.Time = NowMs();
  o.VisibleAtMs = o.Time + gOptions.OrderVisibleAfterMs;
  if (o.Side != "BUY" && o.Side != "SELL") return {400, Error(-1117, "Invalid side.")};
  static const std::set<std::string> kSpot = {"MARKET", "LIMIT", "LIMIT_MAKER", "STOP_LOSS", "STOP_LOSS_LIMIT", "TAKE_PROFIT",
                                              "TAKE_PROFIT_LIMIT"};
  static const std::set<std::string> kFutures = {"MARKET", "LIMIT", "STOP", "STOP_MARKET", "TRAILING_STOP_MARKET"};
  if (!(m.Futures() ? kFutures : kSpot).count(o.Type)) return {400, Error(-1116, "Invalid orderType.")};
  if (m.Futures() && gOptions.Today && o.Type != "MARKET" && o.Type != "LIMIT")
    return {400, Error(-4120, "Order type not supported for this endpoint. Please use the Algo Order API endpoints instead.")};
  if (o.Quantity <= 0) return {400, Error(-1102, "Mandatory parameter 'quantity' was not sent, was empty/null, or malformed.")};
  if ((o.Type == "LIMIT" || o.Type == "LIMIT_MAKER" || o.Type == "STOP" || o.Type == "STOP_LOSS_LIMIT" ||
       o.Type == "TAKE_PROFIT_LIMIT") && o.Price <= 0)
    return {400, Error(-1102, "Mandatory parameter 'price' was not sent, was empty/null, or malformed.")};
  static const std::set<std::string> kTif = {"GTC", "IOC", "FOK", "GTX"};
  if (!kTif.count(o.TimeInForce) || (!m.Futures() && o.TimeInForce == "GTX"))
    return {400, Error(-1115, "Invalid timeInForce.")};
  if (o.ReduceOnly && !m.Futures()) return {400, Error(-1104, "Not all sent parameters were read; read 8 parameter(s) but was sent 9.")};
  // A limit price at or through the market takes at once.
  const bool lCrosses = o.Side == "BUY" ? o.Price >= s->Price : o.Price <= s->Price;
  if (o.Type == "LIMIT_MAKER" && lCrosses) return {400, Error(-2010, "Order would immediately match and take.")};
  if (o.TimeInForce == "GTX" && lCrosses)
    return {400, Error(-5022, "Due to the order could not be executed as maker, the Post Only order will be rejected.")};
  if (o.ReduceOnly) {
    const double lHeld = m.Positions[o.Symbol].first, lSigned = o.Side == "BUY" ? o.Quantity : -o.Quantity;
    if (lHeld == 0 || (lHeld > 0) == (lSigned > 0) || std::abs(lSigned) > std::abs(lHeld) + 1e-12)
      return {400, Error(-2022, "ReduceOnly Order is rejected.")};
  }
  for (const auto& [id, e] : m.Orders)
    if (e.ClientId == o.ClientId && e.Status == "NEW") return {400, Error(-2010, "Duplicate order sent.")};
  if (!m.Futures() && o.Side == "BUY" && o.Quantity * (o.Price > 0 ? o.Price : s->Price) > m.Balances["USDT"])
    return {400, Error(-2010, "Account has insufficient balance for requested action.")};
  if (!m.Futures() && o.Side == "SELL" && o.Quantity > m.Balances[s->Name.substr(0, s->Name.size() - 4)])
    return {400, Error(-2010, "Account has insufficient balance for requested action.")};
  Order& lStored = m.Orders[o.Id] = o;
  Log(m.Name + ": new order " + std::to_string(o.Id) + " " + o.Type + " " + o.Side + " " + o.Symbol + " " + Fixed(o.Quantity, 3));
  SendOrderUpdate(m, lStored, 0, 0);
  if (o.Type == "MARKET") Fill(m, lStored, s->Price);
  // IOC and FOK fill at once or go (all fills here are whole); a crossing GTC order fills on the
  // next tick, as it always has here.
  if (o.Type == "LIMIT" && lCrosses && (o.TimeInForce == "IOC" || o.TimeInForce == "FOK")) Fill(m, lStored, s->Price);
  if (o.Type == "LIMIT" && !lCrosses && (o.TimeInForce == "IOC" || o.TimeInForce == "FOK")) {
    lStored.Status = "EXPIRED";
    SendOrderUpdate(m, lStored, 0, 0);
  }
  return AfterPlacing({200, OrderJson(m, lStored).dump()});
}

Reply PlaceAlgoOrder(Market& m, Params& lParams) {
  if (TakeCloseBeforePlacing()) return {0, "", true};
  SymbolState* s = m.Find(lParams["symbol"]);
  if (!s) return {400, Error(-1121, "Invalid symbol.")};
  if (lParams["algoType"] != "CONDITIONAL") return {400, Error(-1116, "Invalid algoType.")};
  AlgoOrder a;
  a.Id = ++m.NextOrderId;
  a.Symbol = s->Name;
  a.Side = lParams["side"];
  a.Type = lParams["type"];
  a.Quantity = Num(lParams, "quantity");
  a.TriggerPrice = lParams.count("triggerPrice") ? Num(lParams, "triggerPrice") : Num(lParams, "activatePrice");
  a.Price = Num(lParams, "price");
  a.CallbackRate = Num(lParams, "callbackRate");
  a.VisibleAtMs = NowMs() + gOptions.OrderVisibleAfterMs;
  if (lParams.count("positionSide")) a.PositionSide = lParams["positionSide"];
  a.ReduceOnly = lParams["reduceOnly"] == "true";
  a.ClientId = lParams.count("clientAlgoId") ? lParams["clientAlgoId"] : "simalgo" + std::to_string(a.Id);
  static const std::set<std::string> kTypes = {"STOP_MARKET", "STOP", "TRAILING_STOP_MARKET", "TAKE_PROFIT", "TAKE_PROFIT_MARKET"};
  if (!kTypes.count(a.Type)) return {400, Error(-1116, "Invalid orderType.")};
  if (a.Side != "BUY" && a.Side != "SELL") return {400, Error(-1117, "Invalid side.")};
  if (a.Quantity <= 0 || a.TriggerPrice <= 0 || (a.Type == "STOP" && a.Price <= 0))
    return {400, Error(-1102, "Mandatory parameter was not sent, was empty/null, or malformed.")};
  AlgoOrder& lStored = m.AlgoOrders[a.Id] = a;
  Log(m.Name + ": new algo order " + std::to_string(a.Id) + " " + a.Type + " " + a.Side + " " + a.Symbol);
  SendAlgoUpdate(m, lStored);
  return AfterPlacing({200, AlgoJson(lStored).dump()});
}

Reply AlgoOrderRequest(Market& m, Params& lParams, bool aCancel) {
  AlgoOrder* lFound = nullptr;
  for (auto& [id, a] : m.AlgoOrders)
    if (a.Visible() && ((lParams.count("algoId") && std::to_string(id) == lParams["algoId"]) ||
                        (lParams.count("clientAlgoId") && a.ClientId == lParams["clientAlgoId"])))
      lFound = &a;
  if (!lFound) return {400, Error(-2013, "Order does not exist.")};
  if (aCancel) {
    if (lFound->Status != "NEW") return {400, Error(-2011, "Unknown order sent.")};
    lFound->Status = "CANCELED";
    SendAlgoUpdate(m, *lFound);
    return {200, json{{"algoId", lFound->Id}, {"clientAlgoId", lFound->ClientId}, {"code", "200"}, {"msg", "success"}}.dump()};
  }
  return {200, AlgoJson(*lFound).dump()};
}

Reply OrderRequest(Market& m, Params& lParams, bool aCancel) {
  Order* lFound = nullptr;
  for (auto& [id, o] : m.Orders)
    if (o.Symbol == lParams["symbol"] && o.Visible() &&
        ((lParams.count("orderId") && std::to_string(id) == lParams["orderId"]) ||
         (lParams.count("origClientOrderId") && o.ClientId == lParams["origClientOrderId"])))
      lFound = &o;
  if (!lFound) return {400, aCancel ? Error(-2011, "Unknown order sent.") : Error(-2013, "Order does not exist.")};
  if (aCancel) {
    if (lFound->Status != "NEW") return {400, Error(-2011, "Unknown order sent.")};
    lFound->Status = "CANCELED";
    SendOrderUpdate(m, *lFound, 0, 0);
  }
  return {200, OrderJson(m, *lFound).dump()};
}

Reply CancelAll(Market& m, Params& lParams) {
  if (!m.Find(lParams["symbol"])) return {400, Error(-1121, "Invalid symbol.")};
  json a = json::array();
  for (auto& [id, o] : m.Orders)
    if (o.Status == "NEW" && o.Symbol == lParams["symbol"]) {
      o.Status = "CANCELED";
      SendOrderUpdate(m, o, 0, 0);
      a.push_back(OrderJson(m, o));
    }
  if (m.Futures()) return {200, R"({"code":200,"msg":"The operation of cancel all open order is done."})"};
  if (a.empty()) return {400, Error(-2011, "Unknown order sent.")};
  return {200, a.dump()};
}

Reply ModifyOrder(Market& m, Params& lParams) {
  Order* lFound = nullptr;
  for (auto& [id, o] : m.Orders)
    if (o.Symbol == lParams["symbol"] && ((lParams.count("orderId") && std::to_string(id) == lParams["orderId"]) ||
                                          (lParams.count("origClientOrderId") && o.ClientId == lParams["origClientOrderId"])))
      lFound = &o;
  if (!lFound) return {400, Error(-2013, "Order does not exist.")};
  if (lFound->Status != "NEW") return {400, Error(-2011, "Unknown order sent.")};
  if (lFound->Type != "LIMIT") return {400, Error(-4028, "Only limit order is supported.")};
  const double lQuantity = Num(lParams, "quantity"), lPrice = Num(lParams, "price");
  if (lQuantity <= 0 || lPrice <= 0 || !lParams.count("side"))
    return {400, Error(-1102, "Mandatory parameter was not sent, was empty/null, or malformed.")};
  if (lParams["side"] != lFound->Side) return {400, Error(-1117, "Invalid side.")};
  lFound->Quantity = lQuantity;
  lFound->Price = lPrice;
  Log(m.Name + ": order " + std::to_string(lFound->Id) + " modified to " + Fixed(lQuantity, 3) + " at " + Fixed(lPrice, 2));
  SendOrderUpdate(m, *lFound, 0, 0);
  SymbolState* s = m.Find(lFound->Symbol);
  if (s && (lFound->Side == "BUY" ? lPrice >= s->Price : lPrice <= s->Price)) Fill(m, *lFound, s->Price);
  return {200, OrderJson(m, *lFound).dump()};
}

Reply CancelReplace(Market& m, Params& lParams) {
  if (lParams["cancelReplaceMode"] != "STOP_ON_FAILURE" && lParams["cancelReplaceMode"] != "ALLOW_FAILURE")
    return {400, Error(-1102, "Mandatory parameter 'cancelReplaceMode' was not sent, was empty/null, or malformed.")};
  Params lCancel = {{"symbol", lParams["symbol"]}, {"origClientOrderId", lParams["cancelOrigClientOrderId"]}};
  const Reply lCancelled = OrderRequest(m, lCancel, true);
  if (lCancelled.Status != 200) {
    json e = json::parse(Error(-2022, "Order cancel-replace failed."));
    e["data"] = {{"cancelResult", "FAILURE"}, {"newOrderResult", "NOT_ATTEMPTED"}, {"cancelResponse", json::parse(lCancelled.Body)},
                 {"newOrderResponse", nullptr}};
    return {400, e.dump()};
  }
  Params lNew = lParams;
  for (const char* k : {"cancelReplaceMode", "cancelOrigClientOrderId", "cancelOrderId"}) lNew.erase(k);
  const Reply lPlaced = PlaceOrder(m, lNew);
  if (lPlaced.Close) return lPlaced;
  if (lPlaced.Status != 200) {
    json e = json::parse(Error(-2021, "Order cancel-replace partially failed."));
    e["data"] = {{"cancelResult", "SUCCESS"}, {"newOrderResult", "FAILURE"}, {"cancelResponse", json::parse(lCancelled.Body)},
                 {"newOrderResponse", json::parse(lPlaced.Body)}};
    return {409, e.dump()};
  }
  return {200, json{{"cancelResult", "SUCCESS"}, {"newOrderResult", "SUCCESS"}, {"cancelResponse", json::parse(lCancelled.Body)},
                    {"newOrderResponse", json::parse(lPlaced.Body)}}.dump()};
}

// The test's hand on the exchange, unsigned, under /sim/ on every market's port:
//   fill?clientOrderId=X[&price=P]   cancel?clientOrderId=X   expire?clientOrderId=X
//   price?symbol=S&price=P           (the last and mark price)
//   drop-user?ms=N                   (the account's data connections are closed and refused for N ms)
//   state                            (orders, conditional orders, balances and positions)
//   book?symbol=S                    (the whole order book, its update ids, the diff events sent and dropped,
//                                     the REST depth snapshots served and their weight)
//   depth-burst?symbol=S&events=N[&per-tick=K]  (N more book changes, each its own diff event, K a tick
//                                     (5000 unless said), so a snapshot can come between two ticks)
//   depth-pause?symbol=S&on=1|0      (the book stands still between bursts, so both sides can be compared)
//   history                          (klines and aggregate-trade requests served, and their weight)
json Control(Market& m, const std::string& aWhat, Params& p) {
  auto lOrder = [&]() -> Order* {
    for (auto& [id, o] : m.Orders)
      if (o.ClientId == p["clientOrderId"]) return &o;
    return nullptr;
  };
  if (aWhat == "fill" || aWhat == "cancel" || aWhat == "expire") {
    if (Order* o = lOrder()) {
      if (o->Status != "NEW") return {{"error", "order is " + o->Status}};
      if (aWhat == "fill") {
        SymbolState* s = m.Find(o->Symbol);
        Fill(m, *o, p.count("price") ? Num(p, "price") : o->Price > 0 ? o->Price : s->Price);
      } else {
        o->Status = aWhat == "cancel" ? "CANCELED" : "EXPIRED";
        SendOrderUpdate(m, *o, 0, 0);
      }
      return OrderJson(m, *o);
    }
    for (auto& [id, a] : m.AlgoOrders)
      if (a.ClientId == p["clientOrderId"] && a.Status == "NEW" && aWhat != "fill") {
        a.Status = aWhat == "cancel" ? "CANCELED" : "EXPIRED";
        SendAlgoUpdate(m, a);
        return AlgoJson(a);
      }
    return {{"error", "no such open order"}};
  }
  if (aWhat == "price") {
    SymbolState* s = m.Find(p["symbol"]);
    if (!s) return {{"error", "no such symbol"}};
    s->Price = Num(p, "price");
    s->High = std::max(s->High, s->Price);
    s->Low = std::min(s->Low, s->Price);
    return {{"symbol", s->Name}, {"price", Fixed(s->Price)}};
  }
  if (aWhat == "drop-user") {
    m.UserDownUntil = Clock::now() + std::chrono::milliseconds(static_cast<long long>(Num(p, "ms")));
    auto lSessions = m.Sessions;
    int lClosed = 0;
    for (const auto& s : lSessions)
      if (s->CarriesUserData()) s->Close("the account's data is down (/sim/drop-user)"), ++lClosed;
    return {{"closed", lClosed}};
  }
  if (aWhat == "state") {
    json o = json::array(), a = json::array(), b = json::object(), q = json::object();
    for (const auto& [id, e] : m.Orders) o.push_back(OrderJson(m, e));
    for (const auto& [id, e] : m.AlgoOrders) a.push_back(AlgoJson(e));
    for (const auto& [k, e] : m.Balances) b[k] = e;
    for (const auto& [k, e] : m.Positions)
      if (e.first != 0) q[k] = {e.first, e.second};
    return {{"orders", o}, {"algoOrders", a}, {"balances", b}, {"positions", q}, {"logons", m.Logons},
            {"sessionSignedRequests", m.SessionSignedRequests}};
  }
  if (aWhat == "history") {
    return {{"requests", m.HistoryRequests}, {"weight", m.HistoryWeight}};
  }
  if (aWhat == "book" || aWhat == "depth-burst" || aWhat == "depth-pause") {
    SymbolState* s = m.Find(p["symbol"]);
    if (!s) return {{"error", "no such symbol"}};
    SimBook& b = BookOf(*s);
    if (aWhat == "depth-burst") {
      b.BurstLeft += static_cast<long long>(Num(p, "events"));
      b.BurstPerTick = p.count("per-tick") ? std::max(1, static_cast<int>(Num(p, "per-tick"))) : 5000;
      return {{"symbol", s->Name}, {"burst", b.BurstLeft}};
    }
    if (aWhat == "depth-pause") {
      b.Paused = p["on"] != "0";
      return {{"symbol", s->Name}, {"paused", b.Paused}};
    }
    // The whole book as the exchange holds it now, and how its diff events went.
    return {{"symbol", s->Name}, {"lastUpdateId", b.UpdateId}, {"publishedId", b.PublishedId},
            {"bids", json::parse(LevelsJson(*s, b.Bids, b.Bids.size()))}, {"asks", json::parse(LevelsJson(*s, b.Asks, b.Asks.size()))},
            {"sent", b.Sent}, {"dropped", b.Dropped}, {"reordered", b.Reordered}, {"burstLeft", b.BurstLeft},
            {"snapshots", m.DepthSnapshots}, {"snapshotWeight", m.DepthWeight}};
  }
  return {{"error", "unknown control " + aWhat}};
}

Response HandleRest(Market& m, const http::request<http::string_body>& aRequest) {
  const std::string lTarget(aRequest.target());
  const auto lQ = lTarget.find('?');
  const std::string lPath = lTarget.substr(0, lQ), lQuery = lQ == std::string::npos ? "" : lTarget.substr(lQ + 1);
  auto lParams = ParseQuery(aRequest.body());
  for (const auto& [k, v] : ParseQuery(lQuery)) lParams[k] = v;  // the query wins
  const unsigned v = aRequest.version();
  const auto lMethod = aRequest.method();
  const std::string lPrefix = m.RestPrefix();
  if (lPath.rfind("/sim/", 0) == 0) return Answer(200, Control(m, lPath.substr(5), lParams).dump(), v);
  if (lPath.rfind(lPrefix, 0) != 0) return Answer(404, "", v);
  // A rate-limit refusal: the given path is refused until Retry-After has passed; any request that
  // comes meanwhile ignores the ban.
  if (gOptions.RefuseStatus != 0 && (lPath == gOptions.RefusePath || (gOptions.RefuseStarted && Clock::now() < gOptions.RefuseUntil))) {
    if (!gOptions.RefuseStarted) {
      gOptions.RefuseStarted = true;
      gOptions.RefuseUntil = Clock::now() + std::chrono::seconds(gOptions.RefuseSeconds);
    } else if (Clock::now() < gOptions.RefuseUntil) {
      std::fprintf(stderr, "%s: request during a ban: %s\n", m.Name.c_str(), lTarget.c_str());
    }
    if (Clock::now() < gOptions.RefuseUntil) {
      Response r = Answer(gOptions.RefuseStatus,
                          gOptions.RefuseStatus == 418 ? Error(-1003, "Way too much request weight used; IP banned.")
                                                       : Error(-1003, "Too much request weight used; please use the websocket for live updates to avoid polling the API."),
                          v);
      r.set(http::field::retry_after, std::to_string(gOptions.RefuseSeconds));
      return r;
    }
  }
  std::string p = lPath.substr(lPrefix.size());
  if (m.Futures() && (p.rfind("/v1/", 0) == 0 || p.rfind("/v2/", 0) == 0)) p = p.substr(3);  // "/v1/order" -> "/order"
  const bool lV2 = lPath.find("/v2/") != std::string::npos;

  // Public.
  if (p == "/ping") return Answer(200, "{}", v);
  if (p == "/time") return Answer(200, json{{"serverTime", NowMs()}}.dump(), v);
  if (p == "/exchangeInfo") return Answer(200, ExchangeInfo(m).dump(), v);
  if (p == "/klines" || p == "/uiKlines" || p == "/aggTrades") {
    SymbolState* s = m.Find(lParams["symbol"]);
    if (!s) return Answer(400, Error(-1121, "Invalid symbol."), v);
    const int lMax = p == "/aggTrades" || !m.Futures() ? 1000 : 1500;
    const int lLimit = lParams.count("limit") ? std::atoi(lParams["limit"].c_str()) : 500;
    if (lLimit < 1 || lLimit > lMax) return Answer(400, Error(-1130, "Invalid data sent for a parameter."), v);
    const bool lStart = lParams.count("startTime") > 0, lEnd = lParams.count("endTime") > 0;
    const long long lNow = NowMs();
    long long lFrom = lStart ? std::stoll(lParams["startTime"]) : 0, lTo = lEnd ? std::stoll(lParams["endTime"]) : lNow;
    if (p == "/aggTrades") {
      m.HistoryWeight += m.Futures() ? 20 : 4;
      ++m.HistoryRequests;
      json a = json::array();
      std::vector<const SimTrade*> lPicked;
      const bool lFromId = lParams.count("fromId") > 0;
      const long long lId = lFromId ? std::stoll(lParams["fromId"]) : 0;
      for (const SimTrade& t : s->Trades) {
        if (lFromId ? t.Id < lId : (lStart || lEnd) ? (t.T < lFrom || t.T > lTo) : false) continue;
        lPicked.push_back(&t);
      }
      // No range: the most recent; else the oldest from the start.
      const std::size_t lSkip = !lFromId && !lStart && !lEnd && lPicked.size() > static_cast<std::size_t>(lLimit) ? lPicked.size() - lLimit : 0;
      for (std::size_t i = lSkip; i < lPicked.size() && a.size() < static_cast<std::size_t>(lLimit); ++i) {
        const SimTrade& t = *lPicked[i];
        json e = {{"a", t.Id}, {"p", Fixed(t.Price, 2)}, {"q", Fixed(t.Qty, 3)}, {"f", t.Id}, {"l", t.Id}, {"T", t.T}, {"m", t.BuyerMaker}};
        if (!m.Futures()) e["M"] = true;
        a.push_back(e);
      }
      return Answer(200, a.dump(), v);
    }
    const std::string lInterval = lParams["interval"];
    const long long lMs = IntervalMs(lInterval);
    if (!lMs || (m.Futures() && lMs < 60000)) return Answer(400, Error(-1120, "Invalid interval."), v);
    // Weights: spot 2; futures by the limit asked.
    const int lWeight = !m.Futures() ? 2 : lLimit < 100 ? 1 : lLimit < 500 ? 2 : lLimit <= 1000 ? 5 : 10;
    m.HistoryWeight += lWeight;
    ++m.HistoryRequests;
    // Only an end: the newest before it (and COIN-M with both times, as documented).
    const bool lNewest = (!lStart && lEnd) || (!lStart && !lEnd) || (m.Index == 2 && lStart && lEnd);
    if (!lStart) lFrom = 0;
    json a = json::array();
    for (const SimBar& b : Klines(*s, lMs, lFrom / lMs * lMs == lFrom ? lFrom : (lFrom / lMs + 1) * lMs, lTo, static_cast<std::size_t>(lLimit), lNewest))
      a.push_back(KlineRow(m, *s, b, lMs));
    return Answer(200, a.dump(), v);
  }
  if (p == "/depth") {
    SymbolState* s = m.Find(lParams["symbol"]);
    if (!s) return Answer(400, Error(-1121, "Invalid symbol."), v);
    // Spot: 1..5000 (default 100); futures: one of 5, 10, 20, 50, 100, 500, 1000 (default 500).
    int lLimit = lParams.count("limit") ? std::atoi(lParams["limit"].c_str()) : m.Futures() ? 500 : 100;
    if (m.Futures()) {
      static const std::set<int> kLimits = {5, 10, 20, 50, 100, 500, 1000};
      if (!kLimits.count(lLimit)) return Answer(400, Error(-1100, "Illegal characters found in parameter 'limit'."), v);
    }
    lLimit = std::clamp(lLimit, 1, m.Futures() ? 1000 : 5000);
    const int lWeight = m.Futures() ? (lLimit <= 50 ? 2 : lLimit <= 100 ? 5 : lLimit <= 500 ? 10 : 20)
                                    : (lLimit <= 100 ? 5 : lLimit <= 500 ? 25 : lLimit <= 1000 ? 50 : 250);
    m.DepthWeight += lWeight;
    ++m.DepthSnapshots;
    return Answer(200, DepthSnapshot(m, *s, static_cast<std::size_t>(lLimit)), v);
  }
  if (p == "/ticker/24hr") {
    if (!lParams.count("symbol")) {
      json a = json::array();
      for (const auto& s : m.Symbols) a.push_back(Ticker24(s));
      return Answer(200, a.dump(), v);
    }
    const SymbolState* s = m.Find(lParams["symbol"]);
    if (!s) return Answer(400, Error(-1121, "Invalid symbol."), v);
    return Answer(200, Ticker24(*s).dump(), v);
  }
  // Listen keys: the API key alone.
  if (p == "/userDataStream" && gOptions.Today) return Answer(410, Error(-1000, "This endpoint has been retired: use the WebSocket API user data stream."), v);
  if (p == "/userDataStream" || p == "/listenKey") {
    const auto lKey = aRequest.find("X-MBX-APIKEY");
    if (lKey == aRequest.end() || std::string(lKey->value()) != gOptions.ApiKey)
      return Answer(401, Error(-2015, "Invalid API-key, IP, or permissions for action."), v);
    if (lMethod == http::verb::post) {
      if (m.RefuseThisSubscription()) {
        Log(m.Name + ": listen key refused (--refuse-user-data)");
        return Answer(401, Error(-2015, "Invalid API-key, IP, or permissions for action."), v);
      }
      for (auto& [k, key] : m.Keys)
        if (!key.ExpiredSent) {
          key.ExpiresMs = NowMs() + gOptions.ListenKeyValidityMs;
          return Answer(200, json{{"listenKey", k}}.dump(), v);
        }
      std::string lKeyText;
      const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
      for (int i = 0; i < 60; ++i) lKeyText += kChars[gRandom() % 62];
      m.Keys[lKeyText] = {lKeyText, NowMs() + gOptions.ListenKeyValidityMs, false};
      return Answer(200, json{{"listenKey", lKeyText}}.dump(), v);
    }
    const std::string lKeyText = lParams["listenKey"];
    auto lIt = m.Keys.find(lKeyText);
    if (lIt == m.Keys.end() && m.Futures() && !m.Keys.empty()) lIt = m.Keys.begin();  // futures PUT/DELETE may omit it
    if (lIt == m.Keys.end() || lIt->second.ExpiredSent) return Answer(400, Error(-1125, "This listenKey does not exist."), v);
    if (lMethod == http::verb::put) {
      lIt->second.ExpiresMs = NowMs() + gOptions.ListenKeyValidityMs;
      return Answer(200, m.Futures() ? json{{"listenKey", lIt->first}}.dump() : "{}", v);
    }
    if (lMethod == http::verb::delete_) {
      m.Keys.erase(lIt);
      return Answer(200, "{}", v);
    }
  }
  // Signed.
  static const std::set<std::string> kSigned = {"/order",   "/openOrders", "/allOpenOrders", "/account",      "/balance", "/order/cancelReplace",
                                                "/positionRisk", "/algoOrder", "/algoOpenOrders", "/openAlgoOrders", "/leverage",
                                                "/marginType"};
  if (!kSigned.count(p)) return Answer(404, "", v);
  if (auto [lStatus, lBody] = CheckSigned(aRequest, lQuery, lParams); lStatus) return Answer(lStatus, lBody, v);

  auto lReply = [&](const Reply& r) {
    if (r.Close) {
      Response c = Answer(0, "", v);
      c.set("X-Sim-Close", "1");  // the session closes the connection instead of answering
      return c;
    }
    return Answer(r.Status, r.Body, v);
  };
  if (p == "/order" && lMethod == http::verb::post) return lReply(PlaceOrder(m, lParams));
  if (m.Futures() && p == "/order" && lMethod == http::verb::put) return lReply(ModifyOrder(m, lParams));
  if (!m.Futures() && p == "/order/cancelReplace" && lMethod == http::verb::post) return lReply(CancelReplace(m, lParams));
  if (m.Futures() && p == "/algoOrder" && lMethod == http::verb::post) return lReply(PlaceAlgoOrder(m, lParams));
  if (m.Futures() && p == "/leverage" && lMethod == http::verb::post) {
    const int lLeverage = static_cast<int>(Num(lParams, "leverage"));
    if (!m.Find(lParams["symbol"])) return Answer(400, Error(-1121, "Invalid symbol."), v);
    if (lLeverage < 1 || lLeverage > 125) return Answer(400, Error(-4028, "Leverage " + lParams["leverage"] + " is not valid"), v);
    m.Leverage[lParams["symbol"]] = lLeverage;
    return Answer(200, json{{"leverage", lLeverage}, {"maxNotionalValue", "1000000"}, {"symbol", lParams["symbol"]}}.dump(), v);
  }
  if (m.Futures() && p == "/marginType" && lMethod == http::verb::post) {
    const std::string lType = lParams["marginType"], lSymbol = lParams["symbol"];
    if (!m.Find(lSymbol)) return Answer(400, Error(-1121, "Invalid symbol."), v);
    if (lType != "ISOLATED" && lType != "CROSSED") return Answer(400, Error(-1102, "Mandatory parameter 'marginType' was not sent, was empty/null, or malformed."), v);
    if ((lType == "ISOLATED") == (m.Isolated.count(lSymbol) > 0)) return Answer(400, Error(-4046, "No need to change margin type."), v);
    if (lType == "ISOLATED")
      m.Isolated.insert(lSymbol);
    else
      m.Isolated.erase(lSymbol);
    return Answer(200, json{{"code", 200}, {"msg", "success"}}.dump(), v);
  }
  if (m.Futures() && p == "/algoOrder") return lReply(AlgoOrderRequest(m, lParams, lMethod == http::verb::delete_));
  if (m.Futures() && p == "/algoOpenOrders" && lMethod == http::verb::delete_) {
    if (!m.Find(lParams["symbol"])) return Answer(400, Error(-1121, "Invalid symbol."), v);
    for (auto& [id, a] : m.AlgoOrders)
      if (a.Status == "NEW" && a.Symbol == lParams["symbol"]) {
        a.Status = "CANCELED";
        SendAlgoUpdate(m, a);
      }
    return Answer(200, R"({"code":200,"msg":"The operation of cancel all open order is done."})", v);
  }
  if (m.Futures() && p == "/openAlgoOrders") {
    json lList = json::array();
    for (const auto& [id, a] : m.AlgoOrders)
      if (a.Status == "NEW" && a.Visible() && (!lParams.count("symbol") || a.Symbol == lParams["symbol"])) lList.push_back(AlgoJson(a));
    return Answer(200, lList.dump(), v);
  }
  if (p == "/order") return lReply(OrderRequest(m, lParams, lMethod == http::verb::delete_));
  if (p == "/openOrders" && lMethod == http::verb::get) {
    json a = json::array();
    for (const auto& [id, o] : m.Orders)
      if (o.Status == "NEW" && o.Visible() && (!lParams.count("symbol") || o.Symbol == lParams["symbol"])) a.push_back(OrderJson(m, o));
    return Answer(200, a.dump(), v);
  }
  if ((p == "/openOrders" || p == "/allOpenOrders") && lMethod == http::verb::delete_) return lReply(CancelAll(m, lParams));
  if (p == "/account" && !m.Futures()) {
    json b = json::array();
    for (const auto& [lAsset, lFree] : m.Balances) b.push_back({{"asset", lAsset}, {"free", Fixed(lFree)}, {"locked", "0.00000000"}});
    return Answer(200, json{{"canTrade", true}, {"updateTime", m.AccountTime}, {"balances", b}}.dump(), v);
  }
  auto lBalances = [&] {
    json b = json::array();
    for (const auto& [lAsset, lWallet] : m.Balances)
      b.push_back({{"asset", lAsset}, {"balance", Fixed(lWallet)}, {"crossWalletBalance", Fixed(lWallet)},
                   {"availableBalance", Fixed(lWallet)}, {"updateTime", m.AccountTime}});
    return b;
  };
  auto lPositions = [&](const std::string& aSymbol) {
    json a = json::array();
    for (const auto& s : m.Symbols) {
      if (!aSymbol.empty() && s.Name != aSymbol) continue;
      const auto lIt = m.Positions.find(s.Name);
      const double lAmount = lIt == m.Positions.end() ? 0 : lIt->second.first;
      const double lEntry = lIt == m.Positions.end() ? 0 : lIt->second.second;
      const int lLeverage = m.Leverage.count(s.Name) ? m.Leverage.at(s.Name) : 20;
      // A plain model: the price at which the margin (the entry's value over the leverage) is gone.
      const double lLiquidation = lAmount == 0 ? 0 : lEntry * (lAmount > 0 ? 1 - 1.0 / lLeverage : 1 + 1.0 / lLeverage);
      a.push_back({{"symbol", s.Name}, {"positionAmt", Fixed(lAmount, 3)}, {"entryPrice", Fixed(lEntry)},
                   {"markPrice", Fixed(s.Price)}, {"unRealizedProfit", Fixed(lAmount * (s.Price - lEntry))},
                   {"liquidationPrice", Fixed(lLiquidation)}, {"positionSide", "BOTH"}, {"leverage", std::to_string(lLeverage)},
                   {"marginType", m.Isolated.count(s.Name) ? "isolated" : "cross"}, {"updateTime", m.AccountTime}});
    }
    return a;
  };
  if (p == "/balance") return Answer(200, lBalances().dump(), v);
  if (p == "/account") return Answer(200, json{{"assets", lBalances()}, {"positions", lPositions("")}}.dump(), v);
  if (p == "/positionRisk") {
    const std::string lSymbol = lParams.count("symbol") ? lParams["symbol"] : "";
    if (!lSymbol.empty() && !m.Find(lSymbol)) return Answer(400, Error(-1121, "Invalid symbol."), v);
    (void)lV2;
    Response r = Answer(200, gOptions.PositionNonJson ? "<html><body>502 Bad Gateway</body></html>" : lPositions(lSymbol).dump(), v);
    if (gOptions.PositionDelayMs > 0) r.set("X-Sim-Delay", std::to_string(gOptions.PositionDelayMs));
    return r;
  }
  return Answer(404, "", v);
}

// ---- connections ----------------------------------------------------------------------------------

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
  HttpSession(tcp::socket aSocket, Market& aMarket) : FStream(std::move(aSocket)), FMarket(aMarket) {}
  void Start() { Read(); }

private:
  void Read() {
    FRequest = {};
    auto self = shared_from_this();
    http::async_read(FStream, FBuffer, FRequest, [self](beast::error_code ec, std::size_t) {
      if (ec) return;
      const std::string lTarget(self->FRequest.target());
      if (websocket::is_upgrade(self->FRequest)) {
        std::make_shared<WsSession>(self->FStream.release_socket(), self->FMarket)->Start(std::move(self->FRequest));
        return;
      }
      auto lResponse = std::make_shared<Response>(HandleRest(self->FMarket, self->FRequest));
      Log(self->FMarket.Name + ": " + std::string(self->FRequest.method_string()) + " " +
          std::string(self->FRequest.target().substr(0, self->FRequest.target().find('?'))) + " -> " +
          std::to_string(lResponse->result_int()));
      if (lResponse->find("X-Sim-Close") != lResponse->end()) {
        // --close-after-order: the request was read, and no answer comes.
        beast::error_code e;
        self->FStream.socket().shutdown(tcp::socket::shutdown_both, e);
        self->FStream.socket().close(e);
        return;
      }
      lResponse->keep_alive(self->FRequest.keep_alive());
      long long lDelay = gOptions.AnswerDelayMs;
      if (const auto d = lResponse->find("X-Sim-Delay"); d != lResponse->end()) {
        lDelay = std::max(lDelay, std::stoll(std::string(d->value())));
        lResponse->erase("X-Sim-Delay");
      }
      if (lDelay <= 0) return self->Write(lResponse);
      auto lTimer = std::make_shared<net::steady_timer>(self->FStream.get_executor(), std::chrono::milliseconds(lDelay));
      lTimer->async_wait([self, lTimer, lResponse](beast::error_code) { self->Write(lResponse); });
    });
  }

  void Write(const std::shared_ptr<Response>& aResponse) {
    auto self = shared_from_this();
    http::async_write(FStream, *aResponse, [self, aResponse](beast::error_code ec2, std::size_t) {
      if (ec2) return;
      if (!aResponse->keep_alive()) {
        beast::error_code e;
        self->FStream.socket().shutdown(tcp::socket::shutdown_send, e);
        return;
      }
      self->Read();
    });
  }

  beast::tcp_stream FStream;
  Market& FMarket;
  beast::flat_buffer FBuffer;
  http::request<http::string_body> FRequest;
};

void Accept(tcp::acceptor& aAcceptor, Market& aMarket) {
  aAcceptor.async_accept([&aAcceptor, &aMarket](beast::error_code ec, tcp::socket aSocket) {
    if (!ec) std::make_shared<HttpSession>(std::move(aSocket), aMarket)->Start();
    if (aAcceptor.is_open()) Accept(aAcceptor, aMarket);
  });
}

// ---- TLS ------------------------------------------------------------------------------------------

// A TLS connection is terminated here and its bytes are piped to the market's plain port, so HTTP
// and streams behave the same over both.
class TlsPipe : public std::enable_shared_from_this<TlsPipe> {
public:
  TlsPipe(tcp::socket aSocket, net::ssl::context& aContext, int aPlainPort)
      : FTls(std::move(aSocket), aContext), FPlain(FTls.get_executor()), FPort(aPlainPort) {}
  void Start() {
    auto self = shared_from_this();
    FTls.async_handshake(net::ssl::stream_base::server, [self](beast::error_code ec) {
      if (ec) return;
      self->FPlain.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(self->FPort)),
                                 [self](beast::error_code ec2) {
                                   if (ec2) return;
                                   self->PipeFromTls();
                                   self->PipeFromPlain();
                                 });
    });
  }

private:
  void PipeFromTls() {
    auto self = shared_from_this();
    FTls.async_read_some(net::buffer(FUp), [self](beast::error_code ec, std::size_t n) {
      if (ec) return self->Stop();
      net::async_write(self->FPlain, net::buffer(self->FUp, n), [self](beast::error_code ec2, std::size_t) {
        if (ec2) return self->Stop();
        self->PipeFromTls();
      });
    });
  }
  void PipeFromPlain() {
    auto self = shared_from_this();
    FPlain.async_read_some(net::buffer(FDown), [self](beast::error_code ec, std::size_t n) {
      if (ec) return self->Stop();
      net::async_write(self->FTls, net::buffer(self->FDown, n), [self](beast::error_code ec2, std::size_t) {
        if (ec2) return self->Stop();
        self->PipeFromPlain();
      });
    });
  }
  void Stop() {
    beast::error_code ec;
    FPlain.close(ec);
    FTls.lowest_layer().close(ec);
  }

  net::ssl::stream<tcp::socket> FTls;
  tcp::socket FPlain;
  int FPort;
  char FUp[16384], FDown[16384];
};

void AcceptTls(tcp::acceptor& aAcceptor, net::ssl::context& aContext, int aPlainPort) {
  aAcceptor.async_accept([&aAcceptor, &aContext, aPlainPort](beast::error_code ec, tcp::socket aSocket) {
    if (!ec) std::make_shared<TlsPipe>(std::move(aSocket), aContext, aPlainPort)->Start();
    if (aAcceptor.is_open()) AcceptTls(aAcceptor, aContext, aPlainPort);
  });
}

void SetUpMarkets() {
  static const char* kBases[] = {"BTC", "ETH", "BNB", "SOL", "XRP", "ADA", "DOGE", "TRX", "DOT", "LTC",
                                 "LINK", "AVAX", "ATOM", "XLM", "ETC", "FIL", "NEAR", "APT", "ARB", "OP",
                                 "SUI", "INJ", "UNI", "AAVE", "SAND", "MANA", "AXS", "EOS", "XTZ", "ALGO"};
  const char* kNames[] = {"spot", "usdm", "coinm"};
  for (int i = 0; i < 3; ++i) {
    Market& m = gMarkets[i];
    m.Index = i;
    m.Name = kNames[i];
    // Thirty well-known names, then made-up ones (X30, X31, ...) for long watch lists.
    const int lCount = std::min<int>(gOptions.Symbols, 1000);
    for (int k = 0; k < lCount; ++k) {
      SymbolState s;
      s.Name = (k < 30 ? std::string(kBases[k]) : "X" + std::to_string(k)) + (i == 2 ? "USD_PERP" : "USDT");
      s.Price = k == 0 ? 27000 : k == 1 ? 1800 : 5 + 300.0 / (k + 1);
      s.Tick = s.Price > 1000 ? 0.1 : 0.01;
      s.Open = s.High = s.Low = s.Price;
      m.Symbols.push_back(s);
    }
    if (i == 0) {
      m.Balances = {{"USDT", 100000}, {"BTC", 2}, {"ETH", 20}, {"BNB", 50}};
    } else if (i == 1) {
      m.Balances = {{"USDT", 100000}};
    } else {
      m.Balances = {{"BTC", 2}, {"ETH", 20}};
    }
  }
}

// --account FILE: {"spot"|"usdm"|"coinm": {"balances": {"USDT": 1000}, "positions": {"BTCUSDT": [-0.5, 27000]},
// "prices": {"BTCUSDT": 27100}, "orders": [{"symbol", "side", "type", "price", "stopPrice", "quantity",
// "clientOrderId"}], "algoOrders": [{"symbol", "side", "type", "triggerPrice", "price", "quantity",
// "clientAlgoId"}]}}; a market named replaces that market's demo balances.
void LoadAccount(const std::string& aFile) {
  std::ifstream lIn(aFile);
  if (!lIn) throw std::runtime_error("cannot read the account file " + aFile);
  const json lAll = json::parse(lIn);
  const char* kNames[] = {"spot", "usdm", "coinm"};
  for (int i = 0; i < 3; ++i) {
    if (!lAll.contains(kNames[i])) continue;
    Market& m = gMarkets[i];
    const json& a = lAll[kNames[i]];
    if (a.contains("balances")) {
      m.Balances.clear();
      for (const auto& [k, e] : a["balances"].items()) m.Balances[k] = e.get<double>();
    }
    // Kept while iterated (a temporary would end before the loop does).
    const json lPrices = a.value("prices", json::object()), lPositions = a.value("positions", json::object());
    const json lOrders = a.value("orders", json::array()), lAlgoOrders = a.value("algoOrders", json::array());
    for (const auto& [k, e] : lPrices.items())
      if (SymbolState* s = m.Find(k)) s->Price = s->Open = s->High = s->Low = e.get<double>();
    for (const auto& [k, e] : lPositions.items()) m.Positions[k] = {e[0].get<double>(), e[1].get<double>()};
    const long long t = NowMs();
    m.AccountTime = t;
    for (const auto& e : lOrders) {
      Order o;
      o.Id = ++m.NextOrderId;
      o.Symbol = e.at("symbol");
      o.Side = e.at("side");
      o.Type = e.at("type");
      o.Price = e.value("price", 0.0);
      o.StopPrice = e.value("stopPrice", 0.0);
      o.Quantity = e.at("quantity");
      o.ClientId = e.value("clientOrderId", "sim" + std::to_string(o.Id));
      o.PositionSide = m.Futures() ? "BOTH" : "";
      o.Time = o.UpdateTime = t;
      m.Orders[o.Id] = o;
    }
    for (const auto& e : lAlgoOrders) {
      AlgoOrder o;
      o.Id = ++m.NextOrderId;
      o.Symbol = e.at("symbol");
      o.Side = e.at("side");
      o.Type = e.at("type");
      o.TriggerPrice = e.at("triggerPrice");
      o.Price = e.value("price", 0.0);
      o.Quantity = e.at("quantity");
      o.ClientId = e.value("clientAlgoId", "simalgo" + std::to_string(o.Id));
      o.UpdateTime = t;
      m.AlgoOrders[o.Id] = o;
    }
  }
}

const char kUsage[] =
    "usage: qmt-sim-exchange [options]\n"
    "A simulated exchange on 127.0.0.1: spot, USDT-margined and coin-margined futures, each on a port of\n"
    "its own, with REST, market streams, user data and a demo account. The first line printed is\n"
    "\"PORTS spot=N usdm=N coinm=N\". Stops on SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --spot-port N, --usdm-port N, --coinm-port N\n"
    "                               ports of the three markets (0, the default: free ports)\n"
    "  --api-key K, --api-secret S  the demo account's key and secret (qmt-sim-key, qmt-sim-secret)\n"
    "  --symbols N                  symbols per market, up to 1000 (30)\n"
    "  --seed N                     seed of the price walk (42)\n"
    "  --price-speed X              relative step of the price walk per 100 ms (0.0008)\n"
    "  --max-messages-spot N, --max-messages-futures N\n"
    "                               messages a client may send per second before it is dropped (5, 10)\n"
    "  --ping-interval-ms N         server pings (spot every 20 s, futures every 3 min)\n"
    "  --pong-timeout-ms N          time a client has to answer a ping (spot 1 min, futures 10 min)\n"
    "  --max-lifetime-ms N          stream connections are closed after N ms\n"
    "  --listen-key-validity-ms N   listen keys expire N ms after their last keep-alive\n"
    "  --legacy                     the exchange of 2022: spot listen keys and unrouted USDT-margined streams\n"
    "                               (by default as today: spot account data over the WebSocket API,\n"
    "                               USDT-margined streams on /public, /market and /private)\n"
    "  --tls-cert PEM --tls-key PEM each market also on a TLS port (a chain file is sent whole)\n"
    "  --clock-offset-ms N          the server's clock runs N ms ahead of the machine's (negative: behind)\n"
    "  --fixed-time-ms N            the server's clock stands still at N (signing vectors of the past)\n"
    "  --refuse PATH=STATUS:SECONDS requests to PATH are answered STATUS (429 or 418) with Retry-After\n"
    "  --depth-gap-every N          every Nth diff-depth event is not sent (the book's ids have a gap)\n"
    "  --trades-per-second N        trades of each symbol a second (default: one every 300 ms or so)\n"
    "  --depth-reorder-every N      every Nth diff-depth event comes after the one that follows it\n"
    "  --orders-503 N               the next N orders are placed but answered 503\n"
    "  --orders-408 N               the next N orders are placed but answered 408\n"
    "  --close-after-order placed:N | unplaced:N\n"
    "                               the connection of each of the next N orders is closed without an\n"
    "                               answer, after placing the order or without placing it\n"
    "  --order-visible-after-ms N   order queries see an order only N ms after it was placed\n"
    "  --answer-delay-ms N          every REST and WebSocket-API answer is sent N ms late\n"
    "  --server-shutdown-ms N       spot stream connections get a serverShutdown notice N ms after they open\n"
    "  --server-shutdown-grace-ms M ... and are closed M ms after the notice\n"
    "  --account FILE               the account to start with (balances, positions, prices, open orders; JSON)\n"
    "  --refuse-user-data N         the Nth user-data subscription (or listen key) of a market is refused\n"
    "  --api-public-key PEM         the account signs with this key's private half (Ed25519 or RSA, Base64)\n"
    "  --position-delay-ms N        position requests are answered N ms late\n"
    "  --position-non-json          position requests are answered with a body that is not JSON\n"
    "  /sim/fill|cancel|expire?clientOrderId=X, /sim/price?symbol=S&price=P, /sim/drop-user?ms=N, /sim/state\n"
    "                               on every market's port: the test's hand on the exchange (unsigned)\n"
    "  --quiet                      no log of requests and connections\n"
    "  --help                       this text\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    auto lNext = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qmt-sim-exchange: missing value for %s\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--spot-port") gOptions.Ports[0] = std::stoi(lNext());
    else if (a == "--usdm-port") gOptions.Ports[1] = std::stoi(lNext());
    else if (a == "--coinm-port") gOptions.Ports[2] = std::stoi(lNext());
    else if (a == "--seed") gOptions.Seed = static_cast<unsigned>(std::stoul(lNext()));
    else if (a == "--api-key") gOptions.ApiKey = lNext();
    else if (a == "--api-secret") gOptions.ApiSecret = lNext();
    else if (a == "--max-messages-spot") gOptions.MaxMessages[0] = std::stoi(lNext());
    else if (a == "--max-messages-futures") gOptions.MaxMessages[1] = std::stoi(lNext());
    else if (a == "--ping-interval-ms") gOptions.PingIntervalMs[0] = gOptions.PingIntervalMs[1] = std::stoi(lNext());
    else if (a == "--pong-timeout-ms") gOptions.PongTimeoutMs[0] = gOptions.PongTimeoutMs[1] = std::stoi(lNext());
    else if (a == "--server-shutdown-ms") gOptions.ShutdownNoticeMs = std::stoll(lNext());
    else if (a == "--server-shutdown-grace-ms") gOptions.ShutdownGraceMs = std::stoll(lNext());
    else if (a == "--max-lifetime-ms") gOptions.MaxLifetimeMs = std::stoll(lNext());
    else if (a == "--listen-key-validity-ms") gOptions.ListenKeyValidityMs = std::stoll(lNext());
    else if (a == "--symbols") gOptions.Symbols = std::stoi(lNext());
    else if (a == "--quiet") gOptions.Quiet = true;
    else if (a == "--fixed-time-ms") gOptions.FixedTimeMs = std::stoll(lNext());
    else if (a == "--price-speed") gOptions.Volatility = std::stod(lNext());
    else if (a == "--today") gOptions.Today = true;  // the default; kept for old command lines
    else if (a == "--legacy") gOptions.Today = false;
    else if (a == "--tls-cert") gOptions.TlsCert = lNext();
    else if (a == "--tls-key") gOptions.TlsKey = lNext();
    else if (a == "--clock-offset-ms") gOptions.ClockOffsetMs = std::stoll(lNext());
    else if (a == "--orders-503") gOptions.Orders503 = std::stoi(lNext());
    else if (a == "--orders-408") gOptions.Orders408 = std::stoi(lNext());
    else if (a == "--order-visible-after-ms") gOptions.OrderVisibleAfterMs = std::stoll(lNext());
    else if (a == "--answer-delay-ms") gOptions.AnswerDelayMs = std::stoll(lNext());
    else if (a == "--account") gOptions.AccountFile = lNext();
    else if (a == "--depth-gap-every") gOptions.DepthGapEvery = std::stoll(lNext());
    else if (a == "--trades-per-second") gOptions.TradesPerSecond = std::stoi(lNext());
    else if (a == "--depth-reorder-every") gOptions.DepthReorderEvery = std::stoll(lNext());
    else if (a == "--api-public-key") {
      const std::string lFile = lNext();
      FILE* f = std::fopen(lFile.c_str(), "r");
      gPublicKey = f ? PEM_read_PUBKEY(f, nullptr, nullptr, nullptr) : nullptr;
      if (f) std::fclose(f);
      if (!gPublicKey) {
        std::fprintf(stderr, "qmt-sim-exchange: cannot read the public key %s\n", lFile.c_str());
        return 2;
      }
    }
    else if (a == "--refuse-user-data") gOptions.RefuseUserData = std::stoi(lNext());
    else if (a == "--position-delay-ms") gOptions.PositionDelayMs = std::stoll(lNext());
    else if (a == "--position-non-json") gOptions.PositionNonJson = true;
    else if (a == "--close-after-order") {
      // placed:N or unplaced:N
      const std::string lSpec = lNext();
      const auto lColon = lSpec.find(':');
      const std::string lMode = lSpec.substr(0, lColon);
      if (lColon == std::string::npos || (lMode != "placed" && lMode != "unplaced"))
        throw std::invalid_argument("--close-after-order placed:N|unplaced:N");
      gOptions.CloseAfterPlacing = lMode == "placed";
      gOptions.CloseAfterOrder = std::stoi(lSpec.substr(lColon + 1));
    }
    else if (a == "--refuse") {
      // PATH=STATUS:SECONDS
      const std::string lSpec = lNext();
      const auto lEq = lSpec.find('='), lColon = lSpec.rfind(':');
      if (lEq == std::string::npos || lColon == std::string::npos || lColon < lEq) throw std::invalid_argument("--refuse PATH=STATUS:SECONDS");
      gOptions.RefusePath = lSpec.substr(0, lEq);
      gOptions.RefuseStatus = static_cast<unsigned>(std::stoul(lSpec.substr(lEq + 1, lColon - lEq - 1)));
      gOptions.RefuseSeconds = std::stoi(lSpec.substr(lColon + 1));
    }
    else {
      std::fprintf(stderr, "qmt-sim-exchange: unknown option '%s'\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  gRandom.seed(gOptions.Seed);
  SetUpMarkets();
  if (!gOptions.AccountFile.empty()) {
    try {
      LoadAccount(gOptions.AccountFile);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qmt-sim-exchange: %s\n", e.what());
      return 2;
    }
  }
  net::io_context lIo(1);
  std::vector<std::unique_ptr<tcp::acceptor>> lAcceptors;
  int lPorts[3];
  for (int i = 0; i < 3; ++i) {
    auto a = std::make_unique<tcp::acceptor>(lIo);
    const tcp::endpoint lEndpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(gOptions.Ports[i]));
    a->open(lEndpoint.protocol());
    a->set_option(net::socket_base::reuse_address(true));
    a->bind(lEndpoint);
    a->listen();
    lPorts[i] = a->local_endpoint().port();
    Accept(*a, gMarkets[i]);
    lAcceptors.push_back(std::move(a));
  }
  // TLS listeners, when a certificate is given.
  net::ssl::context lTls(net::ssl::context::tls_server);
  int lTlsPorts[3] = {0, 0, 0};
  if (!gOptions.TlsCert.empty() && !gOptions.TlsKey.empty()) {
    lTls.use_certificate_chain_file(gOptions.TlsCert);
    lTls.use_private_key_file(gOptions.TlsKey, net::ssl::context::pem);
    for (int i = 0; i < 3; ++i) {
      auto a = std::make_unique<tcp::acceptor>(lIo, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
      lTlsPorts[i] = a->local_endpoint().port();
      AcceptTls(*a, lTls, lPorts[i]);
      lAcceptors.push_back(std::move(a));
    }
  }
  if (lTlsPorts[0])
    std::printf("PORTS spot=%d usdm=%d coinm=%d spot-tls=%d usdm-tls=%d coinm-tls=%d\n", lPorts[0], lPorts[1], lPorts[2],
                lTlsPorts[0], lTlsPorts[1], lTlsPorts[2]);
  else
    std::printf("PORTS spot=%d usdm=%d coinm=%d\n", lPorts[0], lPorts[1], lPorts[2]);
  std::fflush(stdout);
  Log("qmt-sim-exchange: API key " + gOptions.ApiKey + ", spot on " + std::to_string(lPorts[0]) + ", USDT-margined on " +
      std::to_string(lPorts[1]) + ", coin-margined on " + std::to_string(lPorts[2]));

  net::steady_timer lTick(lIo);
  int lStep = 0;
  auto lNextTick = Clock::now();
  std::function<void()> lSchedule = [&] {
    lNextTick += std::chrono::milliseconds(100);  // a fixed cadence, not 100 ms after each tick's work
    lTick.expires_at(lNextTick);
    lTick.async_wait([&](beast::error_code ec) {
      if (ec) return;
      Tick(++lStep);
      lSchedule();
    });
  };
  lSchedule();
  net::signal_set lSignals(lIo, SIGINT, SIGTERM);
  lSignals.async_wait([&](beast::error_code, int) {
    Log("qmt-sim-exchange: stopping");
    lIo.stop();
  });
  lIo.run();
  // Sessions hold timers of this io_context: they go before it does.
  for (auto& m : gMarkets) m.Sessions.clear();
  return 0;
}
