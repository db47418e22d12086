#include "qmtWebSocket_API_Binance.h"

#include <chrono>
#include <cstdio>

#include "qmtBase_Helpers.h"
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

// ---- spot user data over the WebSocket API ----------------------------------------------------------

std::string TqmtWSAPI_Binance_UserData::URL() {
  return BinanceAddress(FBinance.TestNet ? TqmtBinanceAddress::SpotTestWSAPI : TqmtBinanceAddress::SpotWSAPI);
}

void TqmtWSAPI_Binance_UserData::DoBeforeActivate() {
  FState = 0;
  if (TqmtWSClient* lClient = Client()) {
    lClient->OutgoingFramesPerSecond = FramesPerSecond;
    lClient->SetURL(URL());
  }
}

std::string TqmtWSAPI_Binance_UserData::SubscribeRequest(const std::string& aId, const std::string& aTimestamp) const {
  // The signed text: every parameter but the signature, sorted by name, values as sent.
  std::string lPayload = "apiKey=" + FBinance.ApiKey;
  if (RecvWindow > 0) lPayload += "&recvWindow=" + std::to_string(RecvWindow);
  lPayload += "&timestamp=" + aTimestamp;
  std::string lText = "{\"id\":\"" + aId + "\",\"method\":\"userDataStream.subscribe.signature\",\"params\":{\"apiKey\":\"" +
                      FBinance.ApiKey + "\",";
  if (RecvWindow > 0) lText += "\"recvWindow\":" + std::to_string(RecvWindow) + ",";
  lText += "\"timestamp\":" + aTimestamp + ",\"signature\":\"" + HMACSHA256Text(lPayload, FBinance.ApiSecret) + "\"}}";
  return lText;
}

void TqmtWSAPI_Binance_UserData::DoConnect(TqmtWSConnection*) {
  // Every (re)connection subscribes again: a subscription lives as long as its connection.
  TqmtWSClient* lClient = Client();
  if (!lClient) return;
  const std::string lId = NewGuidText();
  const std::string lTimestamp =
      Timestamp ? Timestamp()
                : std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  {
    std::lock_guard g(FLock);
    FRequestId = lId;
  }
  FState = 0;
  lClient->WriteData(SubscribeRequest(lId, lTimestamp));
}

bool TqmtWSAPI_Binance_UserData::DoFilterMessage(std::string_view aText) {
  // Events go on to the owner; only the answer to our request is looked at here.
  if (aText.rfind("{\"subscriptionId\"", 0) == 0 || aText.find("\"status\"") == std::string_view::npos) return false;
  std::string lRequestId;
  {
    std::lock_guard g(FLock);
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
    return false;
  }
  {
    std::lock_guard g(FLock);
    FRefusal = std::string(aText);
  }
  FState = -1;
  if (TqmtWSClient* lClient = Client())
    lClient->ReportException(Exception("userDataStream.subscribe.signature refused: " + std::string(aText)));
  return false;
}

std::string TqmtWSAPI_Binance_UserData::Refusal() const {
  std::lock_guard g(FLock);
  return FRefusal;
}
