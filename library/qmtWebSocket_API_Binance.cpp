#include "qmtWebSocket_API_Binance.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "qmtBase_Helpers.h"
#include "qmtBinance_Signing.h"
#include "qmtBinance_Addresses.h"
#include "qmtJSON.h"

namespace {
const char* const kNotUS = "Method Not supported by Binance.US";
}  // namespace

std::string DepthLevelText(TqmtWSBinanceDepthLevels aLevel) {
  switch (aLevel) {
    case TqmtWSBinanceDepthLevels::bde5: return "5";
    case TqmtWSBinanceDepthLevels::bde10: return "10";
    case TqmtWSBinanceDepthLevels::bde20: return "20";
  }
  return "";
}

std::string IntervalText(TqmtWSBinanceChartIntervals aInterval) {
  static const char* const kTexts[] = {"1m", "3m", "5m", "15m", "30m", "1h", "2h", "4h",
                                       "6h", "8h", "12h", "1d", "3d", "1w", "1M"};
  return kTexts[static_cast<int>(aInterval)];
}

// ---- base -----------------------------------------------------------------------------------------

TqmtWS_API_Binance_Base::TqmtWS_API_Binance_Base() {
  FRawMessages = true;
  FSender = std::thread([this] { SenderLoop(); });
}

TqmtWS_API_Binance_Base::~TqmtWS_API_Binance_Base() {
  {
    std::lock_guard g(FSendLock);
    FStopSender = true;
  }
  FSendWake.notify_all();
  FSender.join();
  StopKeepAlive();
  std::vector<TqmtTimer*> lRetired;
  {
    std::lock_guard g(FTimerLock);
    lRetired.swap(FRetiredTimers);
  }
  for (auto* t : lRetired) delete t;
  if (Client()) Client()->UnRegisterAPI(this);
}

std::string TqmtWS_API_Binance_Base::ListenKey() const {
  std::lock_guard g(FKeyLock);
  return FListenKey;
}

void TqmtWS_API_Binance_Base::CopyClientTLS(TqmtSocketTLS_Options& aTarget) const {
  if (!Client()) {
    aTarget.Version = TwsTLSVersions::tls1_2;
    return;
  }
  const TqmtSocketTLS_Options& lSource = Client()->TLSOptions;
  aTarget.OpenSSL_Options.APIVersion = lSource.OpenSSL_Options.APIVersion;
  aTarget.IOHandler = lSource.IOHandler;
  aTarget.Version = lSource.Version;
  // Requests that carry the API key verify the server whenever the stream does.
  aTarget.VerifyCertificate = lSource.VerifyCertificate;
  aTarget.RootCertFile = lSource.RootCertFile;
}

std::string TqmtWS_API_Binance_Base::ListenKeyRequest(ListenKeyMode aMode) {
  try {
    TqmtIdHTTP lHTTP;
    // These run inside a (re)connection or a disconnect, which a user may be waiting for: bounded
    // well below the general request limits.
    lHTTP.ConnectTimeout = 10000;
    lHTTP.ReadTimeout = 15000;
    CopyClientTLS(lHTTP.TLSOptions);
    if (FBinance.HTTPLogOptions.Enabled) {
      lHTTP.Log = true;
      lHTTP.LogOptions.FileName = FBinance.HTTPLogOptions.FileName;
    }
    lHTTP.CustomHeaders.push_back("X-MBX-APIKEY: " + FBinance.ApiKey);
    const std::string lURL = UserStreamBaseURL() + UserStreamPath();
    // A keep-alive waits while the exchange asks us to wait (the key lives 60 minutes; the next one
    // goes later); a create or a delete fails at once with the time left.
    const TqmtBinanceHostState lHost = BinanceHostState(BinanceHostOf(lURL));
    if (lHost.BlockedUntil > GetTicks()) {
      if (aMode == ListenKeyMode::KeepAlive) return std::string();
      throw EBinanceRateLimited(BinanceHostOf(lURL), static_cast<long long>(lHost.BlockedUntil - GetTicks()), lHost.BlockStatus);
    }
    switch (aMode) {
      case ListenKeyMode::Create: {
        const std::string lAnswer = lHTTP.Request("POST", lURL, std::string(), true);
        if (lAnswer.empty()) return std::string();
        TqmtJSON lDocument;
        lDocument.Read(lAnswer);
        const TqmtObjectJSON* lKey = lDocument.Find("listenKey");
        if (!lKey) return std::string();
        StartKeepAlive();
        return std::string(lKey->ValueView());
      }
      case ListenKeyMode::Delete: {
        const std::string lAnswer = lHTTP.Request("DELETE", lURL + "?listenKey=" + ListenKey(), std::string(), false);
        if (lAnswer == "{}") {
          std::lock_guard g(FKeyLock);
          FListenKey.clear();
        }
        return std::string();
      }
      case ListenKeyMode::KeepAlive:
        lHTTP.Request("PUT", lURL + "?listenKey=" + ListenKey(), std::string(), true);
        return std::string();
    }
  } catch (const EIdHTTPProtocolException& e) {
    const EIdHTTPProtocolException lExtended(e.ErrorCode(), std::string(e.what()) + ". " + e.ErrorMessage(), e.ErrorMessage());
    if (OnBinanceHTTPException) OnBinanceHTTPException(this, lExtended);
  } catch (const std::exception& e) {
    if (OnBinanceHTTPException) OnBinanceHTTPException(this, e);
  }
  return std::string();
}

std::string TqmtWS_API_Binance_Base::CreateListenKey() { return ListenKeyRequest(ListenKeyMode::Create); }
void TqmtWS_API_Binance_Base::KeepAliveListenKey() { ListenKeyRequest(ListenKeyMode::KeepAlive); }
void TqmtWS_API_Binance_Base::DeleteListenKey() { ListenKeyRequest(ListenKeyMode::Delete); }

void TqmtWS_API_Binance_Base::StartKeepAlive() {
  StopKeepAlive();  // one timer per client: a new start replaces the old one
  std::lock_guard g(FTimerLock);
  FTimerUserStream = new TqmtTimer();
  FTimerUserStream->FDebugName = "UserStream";
  FTimerUserStream->SetInterval(KeepAliveIntervalMs);
  // A failed keep-alive is reported and the timer lives on: the next one may succeed, and the
  // key stays valid for 60 minutes.
  FTimerUserStream->OnTimer = [this](TObject*) { RunInBackground([this] { KeepAliveListenKey(); }); };
  FTimerUserStream->SetEnabled(true);
}

void TqmtWS_API_Binance_Base::StopKeepAlive() {
  TqmtTimer* lTimer;
  {
    std::lock_guard g(FTimerLock);
    lTimer = FTimerUserStream;
    FTimerUserStream = nullptr;
    if (lTimer && (lTimer->IsCurrentThread() || lTimer->IsExecuting())) {
      // Stopped from inside its own request: joined when this object goes.
      lTimer->SetEnabled(false);
      FRetiredTimers.push_back(lTimer);
      return;
    }
  }
  FreeThread(lTimer);
}

void TqmtWS_API_Binance_Base::DoBeforeActivate() {
  FId = 0;
  {
    std::lock_guard g(FSendLock);
    FOutbox.clear();  // nothing of the last connection goes to the next
  }
  TqmtWSClient* lClient = Client();
  if (!lClient) return;
  lClient->OutgoingFramesPerSecond = FramesPerSecond;
  const std::string lURL = URL();
  lClient->SetURL(lURL);
  if (WantsUserStream()) {
    const std::string lKey = CreateListenKey();
    {
      std::lock_guard g(FKeyLock);
      FListenKey = lKey;
    }
    if (lKey.empty()) throw Exception("ListenKey cannot be empty.");
    lClient->SetURL(FBinance.UseCombinedStreams ? lURL + "?streams=" + lKey : lURL + "/" + lKey);
  }
}

bool IsListenKeyExpired(std::string_view aText) {
  // Cheap test first: the name appears in no market event.
  if (aText.find("listenKeyExpired") == std::string_view::npos) return false;
  try {
    TqmtJSON lDocument;
    lDocument.Read(aText);
    const TqmtObjectJSON* lEvent = lDocument.Find("e");
    if (!lEvent)
      if (const TqmtObjectJSON* lData = lDocument.Find("data")) lEvent = lData->Find("e");  // combined stream
    return lEvent && lEvent->ValueView() == "listenKeyExpired";
  } catch (const std::exception&) {
    return false;  // not JSON: not the event
  }
}

void TqmtWS_API_Binance_Base::RunInBackground(const std::function<void()>& aWork) {
  try {
    aWork();
  } catch (const std::exception& e) {
    // It went through OnBinanceHTTPException already (which may raise): report it beside the
    // connection so that it is seen, and go on.
    if (TqmtWSClient* lClient = Client())
      lClient->ReportException(e);
    else
      std::fprintf(stderr, "%s: %s\n", ClassName().c_str(), e.what());
  }
}

bool TqmtWS_API_Binance_Base::DoFilterMessage(std::string_view aText) {
  // Every message passes here on the stream thread: only a connection that carries user data
  // looks for the event at all.
  if (!WantsUserStream()) return false;
  TqmtWSClient* lClient = Client();
  if (!lClient || !IsListenKeyExpired(aText)) return false;
  // The stream carries no account data any more: drop it, and the watchdog's reconnection asks for
  // a fresh key. The expired one is not deleted.
  {
    std::lock_guard g(FKeyLock);
    FListenKey.clear();
  }
  if (auto lConnection = lClient->Connection()) lConnection->DoDropConnection();
  return false;
}

void TqmtWS_API_Binance_Base::DoDisconnect(TqmtWSConnection*, int) {
  {
    std::lock_guard g(FSendLock);
    FOutbox.clear();
  }
  // The keep-alive stops whatever the DELETE does; the next connection asks for its key again.
  StopKeepAlive();
  if (!ListenKey().empty()) {
    switch (FBinance.ListenKeyOnDisconnect) {
      case TqmtWSBinanceListenKeyOnDisconnect::blkodDeleteListenKey:
        RunInBackground([this] { DeleteListenKey(); });
        break;
      case TqmtWSBinanceListenKeyOnDisconnect::blkodClearListenKey: {
        std::lock_guard g(FKeyLock);
        FListenKey.clear();
        break;
      }
      case TqmtWSBinanceListenKeyOnDisconnect::blkodDoNothing:
        break;
    }
  }
}

// ---- control messages -----------------------------------------------------------------------------

int TqmtWS_API_Binance_Base::Send(bool aSubscribe, const std::string& aStream) {
  return Send(aSubscribe, std::vector<std::string>{aStream});
}

int TqmtWS_API_Binance_Base::Send(bool aSubscribe, const std::vector<std::string>& aStreams) {
  if (!Client() || aStreams.empty()) return 0;
  const int lId = NextId();
  std::string lText = std::string("{\"method\": \"") + (aSubscribe ? "SUBSCRIBE" : "UNSUBSCRIBE") + "\", \"params\":[";
  for (std::size_t i = 0; i < aStreams.size(); ++i) lText += (i ? ",\"" : "\"") + aStreams[i] + "\"";
  lText += "], \"id\": " + std::to_string(lId) + "}";
  Enqueue(std::move(lText));
  return lId;
}

void TqmtWS_API_Binance_Base::Enqueue(std::string aText) {
  {
    std::lock_guard g(FSendLock);
    FOutbox.push_back(std::move(aText));
  }
  FSendWake.notify_all();
}

void TqmtWS_API_Binance_Base::SenderLoop() {
  auto lLast = std::chrono::steady_clock::now() - std::chrono::hours(1);
  std::unique_lock g(FSendLock);
  for (;;) {
    FSendWake.wait(g, [this] { return FStopSender || !FOutbox.empty(); });
    if (FStopSender) return;
    // Keep the pace: the next message leaves one interval after the last one.
    if (ControlMessagesPerSecond > 0) {
      const auto lNext = lLast + std::chrono::microseconds(static_cast<long long>(1e6 / ControlMessagesPerSecond));
      if (std::chrono::steady_clock::now() < lNext) {
        FSendWake.wait_until(g, lNext, [this] { return FStopSender; });
        if (FStopSender) return;
        continue;
      }
    }
    if (FOutbox.empty()) continue;
    std::string lText = std::move(FOutbox.front());
    FOutbox.pop_front();
    lLast = std::chrono::steady_clock::now();
    TqmtWSClient* lClient = Client();
    g.unlock();
    if (lClient) lClient->WriteData(lText);
    g.lock();
  }
}

void TqmtWS_API_Binance_Base::CopyAccount(TqmtHTTP_API_Binance& aREST) {
  auto& o = aREST.BinanceOptions();
  o.ApiKey = FBinance.ApiKey;
  o.ApiSecret = FBinance.ApiSecret;
  o.TestNet = FBinance.TestNet;
  o.BinanceUS = FBinance.BinanceUS;
  if (o.LogOptions.Enabled != FBinance.HTTPLogOptions.REST.Enabled) {
    o.LogOptions.Enabled = FBinance.HTTPLogOptions.REST.Enabled;
    o.LogOptions.FileName = FBinance.HTTPLogOptions.REST.FileName;
  }
  if (OnBinanceHTTPException)
    aREST.OnHTTPAPIException = [this](TObject*, const std::exception& e) { OnBinanceHTTPException(this, e); };
  else
    aREST.OnHTTPAPIException = nullptr;
}

// ---- spot -----------------------------------------------------------------------------------------

std::string TqmtWS_API_Binance::URL() {
  if (FBinance.BinanceUS && FBinance.TestNet) throw Exception(kNotUS);
  const std::string lBase = FBinance.BinanceUS ? BinanceAddress(TqmtBinanceAddress::USStream)
                            : FBinance.TestNet ? BinanceAddress(TqmtBinanceAddress::SpotTestStream)
                                               : BinanceAddress(TqmtBinanceAddress::SpotStream);
  return lBase + (FBinance.UseCombinedStreams ? "/stream" : "/ws");
}

std::string TqmtWS_API_Binance::UserStreamBaseURL() {
  if (FBinance.BinanceUS && FBinance.TestNet) throw Exception(kNotUS);
  if (FBinance.BinanceUS) return BinanceAddress(TqmtBinanceAddress::USRest);
  return FBinance.TestNet ? BinanceAddress(TqmtBinanceAddress::SpotTestRest) : BinanceAddress(TqmtBinanceAddress::SpotRest);
}

int TqmtWS_API_Binance::ListSubscriptions() {
  if (!Client()) return 0;
  const int lId = NextId();
  Enqueue("{\"method\": \"LIST_SUBSCRIPTIONS\", \"id\": " + std::to_string(lId) + "}");
  return lId;
}

TqmtHTTP_API_Binance_Rest& TqmtWS_API_Binance::REST_API() {
  if (!FREST_API) FREST_API = std::make_unique<TqmtHTTP_API_Binance_Rest>();
  if (Client()) CopyClientTLS(FREST_API->TLSOptions);  // verification follows the stream's on every use
  CopyAccount(*FREST_API);
  return *FREST_API;
}

// ---- futures --------------------------------------------------------------------------------------

std::string TqmtWS_API_Binance_Futures::URL() {
  if (FBinance.BinanceUS) throw Exception(kNotUS);
  const bool lCoin = FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN;
  const std::string lBase =
      lCoin ? BinanceAddress(FBinance.TestNet ? TqmtBinanceAddress::FuturesCOINTestStream : TqmtBinanceAddress::FuturesCOINStream)
            : BinanceAddress(FBinance.TestNet ? TqmtBinanceAddress::FuturesUSDTTestStream : TqmtBinanceAddress::FuturesUSDTStream);
  // The test network is taken to route as the live one: its documentation names the same base
  // paths and says nothing to the contrary.
  std::string lRoute;
  if (!lCoin) {
    switch (Route) {
      case TqmtWSBinanceFuturesRoute::bfrPublic: lRoute = "/public"; break;
      case TqmtWSBinanceFuturesRoute::bfrMarket: lRoute = "/market"; break;
      case TqmtWSBinanceFuturesRoute::bfrPrivate: lRoute = "/private"; break;
      case TqmtWSBinanceFuturesRoute::bfrNone: break;
    }
  }
  return lBase + lRoute + (FBinance.UseCombinedStreams ? "/stream" : "/ws");
}

TqmtWSBinanceFuturesRoute TqmtWS_API_Binance_Futures::RouteOf(std::string_view aStream) {
  const bool lBook = aStream.find("@depth") != std::string_view::npos || aStream.find("bookTicker") != std::string_view::npos;
  return lBook ? TqmtWSBinanceFuturesRoute::bfrPublic : TqmtWSBinanceFuturesRoute::bfrMarket;
}

bool TqmtWS_API_Binance_Futures::WantsUserStream() const {
  const bool lRouted = FuturesContracts == TqmtWSBinanceFuturesContracts::bfcUSDT && Route != TqmtWSBinanceFuturesRoute::bfrNone;
  if (lRouted && Route != TqmtWSBinanceFuturesRoute::bfrPrivate) return false;
  return TqmtWS_API_Binance_Base::WantsUserStream();
}

std::string TqmtWS_API_Binance_Futures::UserStreamBaseURL() {
  const bool lCoin = FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN;
  if (FBinance.TestNet) return BinanceAddress(lCoin ? TqmtBinanceAddress::FuturesTestRest : TqmtBinanceAddress::FuturesUSDTTestRest);
  return FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN ? BinanceAddress(TqmtBinanceAddress::FuturesCOINRest)
                                                                     : BinanceAddress(TqmtBinanceAddress::FuturesUSDTRest);
}

std::string TqmtWS_API_Binance_Futures::UserStreamPath() {
  if (FBinance.BinanceUS) throw Exception(kNotUS);
  return FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN ? "/dapi/v1/listenKey" : "/fapi/v1/listenKey";
}

TqmtHTTP_API_Binance_Futures_Rest& TqmtWS_API_Binance_Futures::REST_API() {
  if (!FREST_API) FREST_API = std::make_unique<TqmtHTTP_API_Binance_Futures_Rest>();
  ConfigureREST(*FREST_API);
  return *FREST_API;
}

void TqmtWS_API_Binance_Futures::ConfigureREST(TqmtHTTP_API_Binance_Futures_Rest& aREST) {
  // Verification follows the stream's (version and engine keep the REST client's own defaults).
  if (TqmtWSClient* lClient = Client()) {
    aREST.TLSOptions.VerifyCertificate = lClient->TLSOptions.VerifyCertificate;
    aREST.TLSOptions.RootCertFile = lClient->TLSOptions.RootCertFile;
  }
  CopyAccount(aREST);
  aREST.FuturesContracts = FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN ? TqmtHTTPBinanceFuturesContracts::bfchCOIN
                                                                                       : TqmtHTTPBinanceFuturesContracts::bfchUSDT;
}

// ---- requests and answers on the WebSocket APIs -------------------------------------------------

namespace {

long long LocalNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A JSON string's text with the characters JSON requires escaped (parameters are plain ASCII in practice).
std::string JsonQuoted(const std::string& aText) {
  std::string lText = "\"";
  for (char c : aText) {
    if (c == '"' || c == '\\') lText += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char lEscape[8];
      std::snprintf(lEscape, sizeof lEscape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      lText += lEscape;
      continue;
    }
    lText += c;
  }
  return lText + "\"";
}

// The string value of a top-level member of an answer ("id", ...), read without a document: answers
// put their id first, and events (the user data) carry none.
std::string_view MemberText(std::string_view aText, std::string_view aKey) {
  const std::string lNeedle = "\"" + std::string(aKey) + "\":";
  auto lAt = aText.find(lNeedle);
  if (lAt == std::string_view::npos) return {};
  lAt += lNeedle.size();
  while (lAt < aText.size() && aText[lAt] == ' ') ++lAt;
  if (lAt >= aText.size()) return {};
  if (aText[lAt] == '"') {
    const auto lEnd = aText.find('"', lAt + 1);
    return lEnd == std::string_view::npos ? std::string_view() : aText.substr(lAt + 1, lEnd - lAt - 1);
  }
  const auto lEnd = aText.find_first_of(",}", lAt);
  return aText.substr(lAt, lEnd == std::string_view::npos ? std::string_view::npos : lEnd - lAt);
}

}  // namespace

TqmtWSAPI_Binance_Requests::~TqmtWSAPI_Binance_Requests() {
  // Nobody may still wait on this object: wake any waiter as unanswered.
  std::lock_guard g(FLock);
  for (auto& [lId, p] : FPending) {
    p->Done = true;
    p->Answer.Why = "the WebSocket API connection was closed";
  }
  FPending.clear();
  FAnswered.notify_all();
}

std::string TqmtWSAPI_Binance_Requests::URL() {
  if (Market == TMarket::FuturesUSDT)
    return BinanceAddress(FBinance.TestNet ? TqmtBinanceAddress::FuturesUSDTTestWSAPI : TqmtBinanceAddress::FuturesUSDTWSAPI);
  return BinanceAddress(FBinance.TestNet ? TqmtBinanceAddress::SpotTestWSAPI : TqmtBinanceAddress::SpotWSAPI);
}

void TqmtWSAPI_Binance_Requests::DoBeforeActivate() {
  if (TqmtWSClient* lClient = Client()) {
    lClient->OutgoingFramesPerSecond = FramesPerSecond;
    lClient->SetURL(URL());
  }
}

bool TqmtWSAPI_Binance_Requests::Up() const {
  TqmtWSClient* lClient = Client();
  if (!lClient) return false;
  auto c = lClient->Connection();
  return c && c->Enabled();
}

std::string TqmtWSAPI_Binance_Requests::CurrentTimestamp() const {
  return Timestamp ? Timestamp() : std::to_string(LocalNowMs());
}

void TqmtWSAPI_Binance_Requests::DoConnect(TqmtWSConnection*) {
  FLoggedOn = false;
  TqmtWSClient* lClient = Client();
  if (!lClient || FBinance.ApiKey.empty()) return;
  try {
    // session.logon takes Ed25519 keys only; HMAC and RSA keys sign every request instead.
    if (BinanceKeyScheme(FBinance.ApiSecret) != TqmtBinanceKeyScheme::bksEd25519) return;
  } catch (const std::exception&) {
    return;  // an unreadable key: the first signed request says why
  }
  const std::string lId = "logon" + NewGuidText();
  {
    std::lock_guard g(FLock);
    FLogonId = lId;
  }
  lClient->WriteData(RequestText(lId, "session.logon", {}, true));
}

std::string TqmtWSAPI_Binance_Requests::RequestText(const std::string& aId, const std::string& aMethod,
                                                    std::vector<TqmtWSAPIParam> aParams, bool aSigned) const {
  // Logged on: the session's key stands for apiKey and signature (the logon itself is signed).
  const bool lSession = aSigned && FLoggedOn && aMethod != "session.logon";
  if (lSession) {
    if (RecvWindow > 0) aParams.push_back({"recvWindow", std::to_string(RecvWindow), false});
    aParams.push_back({"timestamp", CurrentTimestamp(), false});
    aSigned = false;
  }
  if (aSigned) {
    aParams.push_back({"apiKey", FBinance.ApiKey, true});
    if (RecvWindow > 0) aParams.push_back({"recvWindow", std::to_string(RecvWindow), false});
    aParams.push_back({"timestamp", CurrentTimestamp(), false});
  }
  // Sorted by name: the signed text and the request list them alike.
  std::sort(aParams.begin(), aParams.end(), [](const TqmtWSAPIParam& a, const TqmtWSAPIParam& b) { return a.Name < b.Name; });
  std::string lPayload, lParams;
  for (const auto& p : aParams) {
    if (!lPayload.empty()) lPayload += '&', lParams += ',';
    lPayload += p.Name + "=" + p.Value;
    lParams += JsonQuoted(p.Name) + ":" + (p.Quoted ? JsonQuoted(p.Value) : p.Value);
  }
  if (aSigned) {
    if (!lParams.empty()) lParams += ',';
    lParams += "\"signature\":\"" + BinanceSignature(lPayload, FBinance.ApiSecret) + "\"";
  }
  return "{\"id\":" + JsonQuoted(aId) + ",\"method\":" + JsonQuoted(aMethod) + ",\"params\":{" + lParams + "}}";
}

TqmtWSAPIAnswer TqmtWSAPI_Binance_Requests::Request(const std::string& aMethod, std::vector<TqmtWSAPIParam> aParams,
                                                    bool aSigned, int aTimeoutMs) {
  TqmtWSAPIAnswer lNotSent;
  if (const long long lBan = BannedForMs(); lBan > 0) {
    lNotSent.Why = "the exchange asked us to wait (rate limit): no request for " + std::to_string((lBan + 999) / 1000) + " s more";
    return lNotSent;
  }
  TqmtWSClient* lClient = Client();
  if (!lClient || !Up()) {
    lNotSent.Why = "the WebSocket API connection is not open";
    return lNotSent;
  }
  const std::string lId = "qmt" + std::to_string(++FNextId);
  auto lPending = std::make_shared<TPending>();
  {
    std::lock_guard g(FLock);
    FPending[lId] = lPending;
  }
  lClient->WriteData(RequestText(lId, aMethod, std::move(aParams), aSigned));
  std::unique_lock lWait(FLock);
  FAnswered.wait_for(lWait, std::chrono::milliseconds(aTimeoutMs), [&] { return lPending->Done; });
  FPending.erase(lId);
  TqmtWSAPIAnswer lAnswer = lPending->Answer;
  lAnswer.Sent = true;
  if (!lPending->Done) lAnswer.Why = "no answer within " + std::to_string(aTimeoutMs) + " ms";
  return lAnswer;
}

bool TqmtWSAPI_Binance_Requests::DoFilterMessage(std::string_view aText) {
  // Events of the account ({"subscriptionId":...}) are no answers; answers carry an id first.
  if (aText.rfind("{\"subscriptionId\"", 0) == 0 || MemberText(aText, "id").empty()) return false;
  TqmtJSON lAnswer;  // answers are few: a document of their own, not the stream's
  try {
    lAnswer.Read(aText);
  } catch (const std::exception&) {
    return false;
  }
  const TqmtObjectJSON* lIdMember = lAnswer.Find("id");
  const TqmtObjectJSON* lStatusMember = lAnswer.Find("status");
  if (!lIdMember || !lStatusMember) return false;
  const std::string lId(lIdMember->ValueView());
  int lStatus = 0;
  const std::string_view lStatusText = lStatusMember->ValueView();
  std::from_chars(lStatusText.data(), lStatusText.data() + lStatusText.size(), lStatus);
  long long lRetry = 0;
  if (lStatus == 418 || lStatus == 429) {
    // retryAfter: the server's millisecond time when requests are welcome again.
    if (const TqmtObjectJSON* e = lAnswer.Find("error"))
      if (const TqmtObjectJSON* d = e->Find("data"))
        if (const TqmtObjectJSON* r = d->Find("retryAfter")) {
          const std::string_view v = r->ValueView();
          std::from_chars(v.data(), v.data() + v.size(), lRetry);
        }
  }
  const auto lLimits = aText.find("\"rateLimits\":");
  std::lock_guard g(FLock);
  if (lLimits != std::string_view::npos) {
    const auto lEnd = aText.find(']', lLimits);
    FRateLimits = std::string(aText.substr(lLimits + 13, lEnd == std::string_view::npos ? std::string_view::npos : lEnd + 1 - lLimits - 13));
  }
  if (lStatus == 418 || lStatus == 429) {
    long long lWait = 60000;
    if (lRetry > 0) {
      try {
        lWait = lRetry - std::stoll(CurrentTimestamp());
      } catch (const std::exception&) {
      }
    }
    if (lWait < 1000) lWait = 1000;
    FBannedUntil = GetTicks() + static_cast<std::uint64_t>(lWait);
  }
  if (!FLogonId.empty() && lId == FLogonId) {
    FLogonId.clear();
    FLoggedOn = lStatus == 200;
    return false;
  }
  auto lIt = FPending.find(lId);
  if (lIt == FPending.end()) return false;  // late, or somebody else's (the subscription)
  lIt->second->Done = true;
  lIt->second->Answer.Answered = true;
  lIt->second->Answer.Status = lStatus;
  lIt->second->Answer.Text = std::string(aText);
  FAnswered.notify_all();
  return false;
}

void TqmtWSAPI_Binance_Requests::DoDisconnect(TqmtWSConnection*, int) {
  FLoggedOn = false;  // a session lives as long as its connection
  // An answer never comes on a closed connection: whoever waits learns it now.
  std::lock_guard g(FLock);
  FLogonId.clear();
  for (auto& [lId, p] : FPending) {
    if (p->Done) continue;
    p->Done = true;
    p->Answer.Why = "the WebSocket API connection closed before the answer";
  }
  FAnswered.notify_all();
}

std::string TqmtWSAPI_Binance_Requests::RateLimits() const {
  std::lock_guard g(FLock);
  return FRateLimits;
}

long long TqmtWSAPI_Binance_Requests::BannedForMs() const {
  std::lock_guard g(FLock);
  const std::uint64_t lNow = GetTicks();
  return FBannedUntil > lNow ? static_cast<long long>(FBannedUntil - lNow) : 0;
}

// ---- spot user data over the WebSocket API ----------------------------------------------------------

void TqmtWSAPI_Binance_UserData::DoBeforeActivate() {
  FState = 0;
  TqmtWSAPI_Binance_Requests::DoBeforeActivate();
}

std::string TqmtWSAPI_Binance_UserData::SubscribeRequest(const std::string& aId, const std::string& aTimestamp) const {
  // The signed text: every parameter but the signature, sorted by name, values as sent.
  std::string lPayload = "apiKey=" + FBinance.ApiKey;
  if (RecvWindow > 0) lPayload += "&recvWindow=" + std::to_string(RecvWindow);
  lPayload += "&timestamp=" + aTimestamp;
  std::string lText = "{\"id\":\"" + aId + "\",\"method\":\"userDataStream.subscribe.signature\",\"params\":{\"apiKey\":\"" +
                      FBinance.ApiKey + "\",";
  if (RecvWindow > 0) lText += "\"recvWindow\":" + std::to_string(RecvWindow) + ",";
  lText += "\"timestamp\":" + aTimestamp + ",\"signature\":\"" + BinanceSignature(lPayload, FBinance.ApiSecret) + "\"}}";
  return lText;
}

void TqmtWSAPI_Binance_UserData::DoConnect(TqmtWSConnection* aConnection) {
  TqmtWSAPI_Binance_Requests::DoConnect(aConnection);
  // Every (re)connection subscribes again: a subscription lives as long as its connection.
  Resubscribe();
}

void TqmtWSAPI_Binance_UserData::Resubscribe() {
  TqmtWSClient* lClient = Client();
  if (!lClient) return;
  const std::string lId = NewGuidText();
  const std::string lTimestamp = CurrentTimestamp();
  {
    std::lock_guard g(FSubscriptionLock);
    FRequestId = lId;
  }
  FState = 0;
  lClient->WriteData(SubscribeRequest(lId, lTimestamp));
}

bool TqmtWSAPI_Binance_UserData::DoFilterMessage(std::string_view aText) {
  // Events go on to the owner; answers to requests are matched first.
  if (aText.rfind("{\"subscriptionId\"", 0) == 0 || aText.find("\"status\"") == std::string_view::npos) return false;
  TqmtWSAPI_Binance_Requests::DoFilterMessage(aText);
  std::string lRequestId;
  {
    std::lock_guard g(FSubscriptionLock);
    lRequestId = FRequestId;
  }
  if (lRequestId.empty() || aText.find(lRequestId) == std::string_view::npos) return false;
  TqmtJSON lAnswer;
  try {
    lAnswer.Read(aText);
  } catch (const std::exception&) {
    return false;
  }
  const TqmtObjectJSON* lStatus = lAnswer.Find("status");
  if (lStatus && lStatus->ValueView() == "200") {
    FState = 1;
    if (OnSubscription) OnSubscription(1);
    return false;
  }
  {
    std::lock_guard g(FSubscriptionLock);
    FRefusal = std::string(aText);
  }
  FState = -1;
  if (TqmtWSClient* lClient = Client())
    lClient->ReportException(Exception("userDataStream.subscribe.signature refused: " + std::string(aText)));
  if (OnSubscription) OnSubscription(-1);
  return false;
}

std::string TqmtWSAPI_Binance_UserData::Refusal() const {
  std::lock_guard g(FSubscriptionLock);
  return FRefusal;
}
