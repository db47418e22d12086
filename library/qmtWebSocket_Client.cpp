#include "qmtWebSocket_Client.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <utility>

#include "qmtBase_Helpers.h"

namespace {

const char* OpcodeName(TOpcode aOpCode) {
  switch (aOpCode) {
    case TOpcode::opContinuation: return "continuation";
    case TOpcode::opText: return "text";
    case TOpcode::opBinary: return "binary";
    case TOpcode::opClose: return "close";
    case TOpcode::opPing: return "ping";
    case TOpcode::opPong: return "pong";
    case TOpcode::opNone: break;
  }
  return "none";
}

bool IsQuietDisconnect(const std::exception& e) { return dynamic_cast<const EIdConnClosedGracefully*>(&e) != nullptr; }

}  // namespace

// ---- API objects ----------------------------------------------------------------------------------

TqmtWSAPI_client::~TqmtWSAPI_client() {
  if (TqmtWSClient* lClient = FClient.load()) lClient->UnRegisterAPI(this);
}

void TqmtWSAPI_client::SetClient(TqmtWSClient* aClient) {
  if (FClient == aClient) return;
  if (TqmtWSClient* lOld = FClient.load()) lOld->UnRegisterAPI(this);
  FClient = nullptr;
  if (aClient) aClient->RegisterAPI(this);
}

// ---- the component --------------------------------------------------------------------------------

TqmtWSClient::TqmtWSClient() {
  Proxy.Port = 8080;
  FTCPClient = std::make_unique<TqmtIdTCPClient>();
  Extensions->SetMode(TwsApplicationMode::appClient);
  FTCPClient->OnThread = [this] { DoReadTurn(); };
  FTCPClient->OnRead = [this] { DoReadData(); };
  FTCPClient->OnReadException = [this](const std::exception& e) { DoReadException(e); };
}

TqmtWSClient::~TqmtWSClient() {
  DisableWatchDog();
  try {
    Deactivate(-1);
  } catch (const std::exception& e) {
    DoError(nullptr, e.what());
  }
  FDestroying = true;
  FAlive->store(false);
  StopHeartBeat();
  StopWatchDog();
  CollectRetired();
  std::vector<TWorker> lThreads;
  {
    std::lock_guard g(FThreadsLock);
    lThreads.swap(FThreads);
  }
  // Outside the list's lock: a worker still running may want it.
  for (auto& t : lThreads)
    if (t.FThread.joinable()) t.FThread.join();
  FTCPClient.reset();
  if (auto* lClient = dynamic_cast<TqmtWSAPI_client*>(FAPI.load())) lClient->FClient = nullptr;
}

void TqmtWSClient::SetURL(const std::string& aURL) {
  const TqmtURLParts lParts = ParseURL(aURL);
  Host = lParts.Host;
  if (lParts.Protocol != "wss" && lParts.Protocol != "tcps") {
    TLS = false;
    Port = lParts.Port.empty() ? 80 : std::stoi(lParts.Port);
    Specifications.RFC6455 = lParts.Protocol != "tcp";
  } else {
    TLS = true;
    Port = lParts.Port.empty() ? 443 : std::stoi(lParts.Port);
    Specifications.RFC6455 = lParts.Protocol != "tcps";
  }
  Options.SetParameters(lParts.Path);
  if (!lParts.Params.empty()) Options.SetParameters(Options.Parameters() + "?" + lParts.Params);
}

std::shared_ptr<TqmtWSConnectionClient> TqmtWSClient::Connection() const {
  std::lock_guard g(FConnectionLock);
  return FWSConnection;
}

bool TqmtWSClient::Active() const { return Connection() != nullptr; }

bool TqmtWSClient::Connected() { return FTCPClient && FTCPClient->Connected(); }

void TqmtWSClient::SetActive(bool aValue) {
  if (FDestroying) return;
  if (aValue)
    Activate(FGeneration.load());
  else
    Deactivate();
}

bool TqmtWSClient::WatchDogArmed() {
  std::lock_guard g(FTimerLock);
  return FWatchDogTimer != nullptr;
}

std::size_t TqmtWSClient::PendingThreads() {
  std::lock_guard g(FThreadsLock);
  return FThreads.size();
}

bool TqmtWSClient::TLifecycleLock::Acquire(int aMs) {
  std::unique_lock g(FLock);
  const auto lSelf = std::this_thread::get_id();
  auto lFree = [&] { return FDepth == 0 || FOwner == lSelf; };
  if (aMs < 0)
    FFree.wait(g, lFree);
  else if (!FFree.wait_for(g, std::chrono::milliseconds(aMs), lFree))
    return false;
  FOwner = lSelf;
  ++FDepth;
  return true;
}

void TqmtWSClient::TLifecycleLock::Release() {
  {
    std::lock_guard g(FLock);
    if (--FDepth > 0) return;
    FOwner = std::thread::id();
  }
  FFree.notify_all();
}

bool TqmtWSClient::Activate(unsigned aGeneration, int aLockTimeoutMs) {
  TLifecycleScope lLifecycle(FLifecycleLock);
  if (!lLifecycle.Acquire(aLockTimeoutMs)) return false;
  // A deactivation asked for after this activation was: it does not happen.
  if (FDestroying || aGeneration != FGeneration.load()) return true;
  // Read once, under the lifecycle lock: an API that went (unregistered) while this activation
  // waited for the lock is not used.
  TqmtWSAPI* const lAPI = FAPI.load();
  if (FTCPClient->Connected() || Connection()) return true;
  StopHeartBeat();
  FStopWaiting = false;
  FConnecting = true;  // from here on Connect's wait knows an attempt runs
  auto lCancelled = [&] { return aGeneration != FGeneration.load(); };
  try {
    // The API prepares the address (and a listen key) first; its failure fails the activation.
    if (lAPI) lAPI->DoBeforeActivate();
    if (lCancelled()) {
      FConnecting = false;
      return true;
    }
    if (OnBeforeConnect) OnBeforeConnect(this);
    TqmtIdTCPClient& t = *FTCPClient;
    t.IOHandler.reset();
    if (TLS) {
      t.IOHandler = CreateTLSHandler(TLSOptions, OnSSLGetHandler, OnSSLAfterCreateHandler);
      if (OnSSLVerifyPeer) t.IOHandler->OnVerifyPeer = OnSSLVerifyPeer;
      // Behind a proxy the certificate is still the target's.
      if (TLSOptions.VerifyCertificate) t.IOHandler->URIToCheck = Host;
    }
    t.Host = Host;
    t.Port = Port;
    t.UseNagle = UseNagle;
    t.IPVersion = IPVersion;
    t.ConnectTimeout = ConnectTimeout;
    t.ReadTimeout = ReadTimeout;
    t.BoundPortMin = BoundPortMin;
    t.BoundPortMax = BoundPortMax;
    t.Linger = LingerState;
    t.Proxy = Proxy;
    t.Throttle = Throttle;
    t.LogFile = LogFile;
    t.SendTimeout = WriteTimeout > 0 ? WriteTimeout : 0;
    t.KeepAlive = TCPKeepAlive;
    FWatchDogEnabled = WatchDog.Enabled;
    if (Authentication.Enabled && !Authentication.Token.Enabled && !Authentication.Session.Enabled &&
        Authentication.URL.Enabled)
      Options.SetParameters("/qmt/auth/url/" + Authentication.User + "/" + Authentication.Password);
    FConnecting = true;
    t.Connect();
    if (lCancelled()) {
      // Disconnected meanwhile: this connection is not wanted any more.
      FConnecting = false;
      t.Disconnect(false);
      return true;
    }
    DoTCPConnected();
  } catch (const std::exception& e) {
    FConnecting = false;
    if (lCancelled()) return true;  // given up on purpose: nothing to report, nothing to retry
    DoException(nullptr, e.what(), &e, std::current_exception());
    if (FWatchDogEnabled) StartWatchDog();
  }
  return true;
}

void TqmtWSClient::DoTCPConnected() {
  FConnecting = false;
  if (FDestroying) return;
  auto lConnection = std::make_shared<TqmtWSConnectionClient>();
  try {
    lConnection->FSpecification = TwsSpecification::spRFC6455;
    lConnection->FTransport = Specifications.RFC6455 ? TwsTransport::trpRFC6455 : TwsTransport::trpTCP;
    lConnection->SetExtensions(Extensions->Clone());
    lConnection->FMasked = true;
    lConnection->FOptions = Options;
    lConnection->FValidateUTF8 = Options.ValidateUTF8;
    lConnection->FCleanDisconnect = Options.CleanDisconnect;
    lConnection->FRaiseDisconnectExceptions = Options.RaiseDisconnectExceptions;
    lConnection->FFragmentedMessages = Options.FragmentedMessages;
    lConnection->QueueOptions() = QueueOptions;
    lConnection->FAuthentication = Authentication;
    lConnection->FHandshakeTimeout = HandshakeTimeout;
    lConnection->FFramesPerSecond = OutgoingFramesPerSecond;
    std::weak_ptr<TqmtWSConnectionClient> lWeak = lConnection;
    TqmtWSConnectionClient* lRaw = lConnection.get();
    lConnection->FOnHandshake = [this](TqmtWSConnection* c, std::vector<std::string>& aHeaders) {
      if (!OnHandshake) return;
      // Always synchronous: the handler may change the lines before they are sent.
      if (FNotifyEvents == TwsNotifyEvent::neNoSync)
        OnHandshake(c, aHeaders);
      else
        SynchronizeWithMainThread([&] { OnHandshake(c, aHeaders); });
    };
    lConnection->FOnMessage = [this, lWeak](TqmtWSConnection*, std::string_view aText) {
      if (auto c = lWeak.lock()) DispatchMessage(c, aText);
    };
    lConnection->FOnBinary = [this, lWeak](TqmtWSConnection*, std::string_view aData) {
      if (auto c = lWeak.lock()) DispatchBinary(c, aData);
    };
    lConnection->FOnFragmented = [this, lWeak](TqmtWSConnection*, std::string_view aData, TOpcode aOpCode, bool aMore) {
      auto c = lWeak.lock();
      if (!c || !OnFragmented || FQueueMessages) return;
      try {
        Notify([this, c, lData = std::string(aData), aOpCode, aMore] { OnFragmented(c.get(), lData, aOpCode, aMore); });
      } catch (const std::exception& e) {
        DoError(c.get(), e.what());
      }
    };
    lConnection->FOnEnabled = [this, lWeak](TqmtWSConnection*) {
      auto c = lWeak.lock();
      if (!c || c->FIsInternal || !c->FNotifyConnection) return;
      ++FOpened;
      StopWatchDog();
      TqmtWSAPI* const lAPI = FAPI.load();  // read once: another thread may register another
      if (lAPI) lAPI->DoConnect(c.get());
      if (!lAPI || lAPI->RawMessages())
        if (OnConnect) Notify([this, c] { OnConnect(c.get()); });
      FWatchDogAttempts = 0;
    };
    lConnection->FOnRedirect = [this](TqmtWSConnection*, const std::string& aLocation) { DoRedirect(aLocation); };
    lConnection->FOnSocketClosed = [this, lWeak] {
      auto c = lWeak.lock();
      if (!c) return;
      if (FReadingThread.load() == std::this_thread::get_id())
        FClosedInRead = c;  // processed once the read's failure is reported
      else
        DoDisconnected(c);
    };
    if (LogFile.Enabled && LogFile.UnMaskFrames) {
      lConnection->FOnFrameSent = [this](TOpcode aOpCode, std::string_view aPayload) {
        FTCPClient->LogText("Sent", "[" + std::string(OpcodeName(aOpCode)) + "] " + std::string(aPayload));
      };
    }
    (void)lRaw;
    {
      std::lock_guard g(FConnectionLock);
      FWSConnection = lConnection;
    }
    lConnection->DoInitialize(FTCPClient.get());
    StartHeartBeat();
  } catch (const std::exception& e) {
    DoError(lConnection.get(), e.what());
    // A connection that never became current still owns the socket: let it go, and try again later.
    bool lCurrent;
    {
      std::lock_guard g(FConnectionLock);
      lCurrent = FWSConnection == lConnection;
    }
    if (!lCurrent) {
      FTCPClient->Disconnect(false);
      if (FWatchDogEnabled) StartWatchDog();
    }
  }
}

// ---- the reading thread's callbacks ---------------------------------------------------------------

void TqmtWSClient::DoReadTurn() {
  auto c = Connection();
  if (!c) return;
  // A server that accepted the connection but never answers the opening request.
  if (c->HandshakeExpired() && !c->Disconnected()) {
    const TqmtWSException lError("Handshake Error: no complete answer within " + std::to_string(c->FHandshakeTimeout) + " ms");
    try {
      throw lError;
    } catch (const std::exception& e) {
      DoException(c.get(), e.what(), &e, std::current_exception());
    }
    return;
  }
  const auto& q = c->QueueOptions();
  if (q.Text.Level == TwsQueueMsgLevels::qmNone && q.Binary.Level == TwsQueueMsgLevels::qmNone &&
      q.Ping.Level == TwsQueueMsgLevels::qmNone)
    return;
  try {
    c->FlushQueues();
  } catch (const std::exception& e) {
    DoError(c.get(), e.what());
  }
}

void TqmtWSClient::DoReadData() {
  if (FDestroying) return;
  auto c = Connection();
  if (!c || c->Disconnected()) {
    FTCPClient->InputBufferClear();
    return;
  }
  FReadingThread = std::this_thread::get_id();
  try {
    c->DoRead(false);
  } catch (const std::exception& e) {
    DoException(c.get(), e.what(), &e, std::current_exception());
  }
  FReadingThread = std::thread::id();
  if (TConnectionPtr lClosed = std::exchange(FClosedInRead, nullptr)) DoDisconnected(lClosed);
}

void TqmtWSClient::DoReadException(const std::exception& aException) {
  if (FDestroying) return;
  auto c = Connection();
  if (!IsQuietDisconnect(aException) || Options.RaiseDisconnectExceptions) {
    // The reader ends with this error: report it (we are inside the reader's catch, so the
    // exception itself travels), then the connection is gone. A connection closed on purpose
    // (Disconnected) has nothing to report.
    if (!c || !c->Disconnected()) DoReport(c.get(), aException.what(), &aException, std::current_exception());
  }
  // The reader ends here: the socket goes with it, so a later activation starts afresh.
  try {
    FTCPClient->Disconnect(false);
  } catch (const std::exception& e) {
    DoError(nullptr, e.what());
  }
  if (c) DoDisconnected(c);
}

// ---- disconnecting ----------------------------------------------------------------------------------

bool TqmtWSClient::Deactivate(int aLockTimeoutMs, bool aCancelPending) {
  // Everything pending gives up first, then the lock is taken.
  if (aCancelPending) ++FGeneration;
  DisableWatchDog();
  FStopWaiting = true;
  TLifecycleScope lLifecycle(FLifecycleLock);
  if (!lLifecycle.Acquire(0)) {
    // An activation holds it, blocked in a connect, a TLS handshake or a write: wake it.
    FTCPClient->Abort();
    if (!lLifecycle.Acquire(aLockTimeoutMs)) return false;
  }
  auto c = Connection();
  if (!c || FDisconnecting) return true;
  // A peer that takes nothing more cannot hold the close frame (or a writer) for long.
  FTCPClient->LimitWrites(1000);
  if (Options.CleanDisconnect && c->Enabled()) {
    try {
      c->Close(1000);
    } catch (const std::exception& e) {
      DoError(nullptr, e.what());  // the close frame did not leave; the socket closes all the same
    }
  }
  StopHeartBeat();
  c->FMustDisconnect = true;
  // The reader's end of stream is ours, not the peer's: it is not reported.
  c->SetDisconnected(true);
  FTCPClient->Disconnect(Options.CleanDisconnect);
  DoDisconnected(c);
  return true;
}

void TqmtWSClient::DoReport(TqmtWSConnection* aConnection, const std::string& aMessage, const std::exception* aException,
                            std::exception_ptr aPointer) {
  try {
    const Exception lCopy(aMessage);  // stands for the exception when there is none (a time-out)
    const std::exception& lException = aException ? *aException : lCopy;
    if (TqmtWSAPI* const lAPI = FAPI.load(); lAPI && !lAPI->RawMessages()) {
      lAPI->DoException(aConnection, lException);
      return;
    }
    if (!OnException) return;
    if (aConnection) aConnection->FMsgException = aMessage;
    auto c = Connection();
    TConnectionPtr lKeep = c && c.get() == aConnection ? c : nullptr;
    if (FNotifyEvents == TwsNotifyEvent::neNoSync) {
      OnException(lKeep ? lKeep.get() : aConnection, lException);
      return;
    }
    Notify([this, lKeep, aConnection, aPointer, aMessage] { RaiseException(lKeep ? lKeep.get() : aConnection, aPointer, aMessage); });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmtWebSocket: OnException handler failed: %s\n", e.what());
  }
}

void TqmtWSClient::RaiseException(TqmtWSConnection* aConnection, std::exception_ptr aPointer, const std::string& aMessage) {
  // The handler receives the exception of its own type when there is one; else one carrying the text.
  if (aPointer) {
    try {
      std::rethrow_exception(aPointer);
    } catch (const std::exception& e) {
      OnException(aConnection, e);
      return;
    } catch (...) {
      // not a standard exception: the text below stands for it
    }
  }
  const Exception lCopy(aMessage);
  OnException(aConnection, lCopy);
}

namespace {
// The client whose disconnect handling this thread is running (a Disconnect from inside it must
// not wait for itself).
thread_local const TqmtWSClient* tHandlingDisconnect = nullptr;
}  // namespace

void TqmtWSClient::DoDisconnected(const TConnectionPtr& aConnection) {
  if (FDestroying) return;
  struct THandling {
    TqmtWSClient* Client;
    const TqmtWSClient* Outer = tHandlingDisconnect;
    explicit THandling(TqmtWSClient* c) : Client(c) { tHandlingDisconnect = c; }
    ~THandling() {
      tHandlingDisconnect = Outer;
      Client->FDisconnecting = false;
    }
  };
  std::optional<THandling> lHandling;
  {
    std::lock_guard g(FConnectionLock);
    if (FWSConnection != aConnection) return;  // processed already
    FDisconnecting = true;
    lHandling.emplace(this);
    FWSConnection.reset();
    // The reading thread may still be inside the old connection: it goes at the next disconnect.
    FOldConnection = aConnection;
  }
  const int lCode = aConnection->CloseCode();
  TqmtWSAPI* const lAPI = FAPI.load();  // read once: another thread may register another
  // Each step runs whatever the one before did: a failing API hook must cost neither the event
  // nor the reconnection.
  if (lAPI) {
    try {
      lAPI->DoDisconnect(aConnection.get(), lCode);
    } catch (const std::exception& e) {
      DoError(nullptr, e.what());
    }
  }
  if (!aConnection->FIsInternal && aConnection->FNotifyDisconnection) {
    StopHeartBeat();
    if ((!lAPI || lAPI->RawMessages()) && OnDisconnect) {
      try {
        Notify([this, aConnection, lCode] { OnDisconnect(aConnection.get(), lCode); });
      } catch (const std::exception& e) {
        DoError(nullptr, e.what());
      }
    }
    if (FWatchDogEnabled) StartWatchDog();
  }
}

bool TqmtWSClient::Connect(int aTimeout) {
  if (FDestroying) return false;
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(aTimeout, 0));
  const unsigned lOpenedBefore = FOpened.load();
  // Another activation (a watchdog attempt) may hold the lifecycle: then its outcome is awaited.
  Activate(FGeneration.load(), aTimeout > 0 ? aTimeout : -1);
  // Open now, or opened meanwhile (a server may close right after accepting).
  auto lOpen = [this, lOpenedBefore] {
    if (FOpened.load() != lOpenedBefore) return true;
    auto c = Connection();
    return c && c->Enabled();
  };
  if ((!FConnecting && !Connection()) || aTimeout <= 0) return false;
  while (std::chrono::steady_clock::now() < lEnd) {
    if (lOpen()) return true;
    if (!FConnecting && !Connection()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return lOpen();
}

bool TqmtWSClient::Disconnect(int aTimeout) {
  if (FDestroying) return true;
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(aTimeout, 0));
  if (!Deactivate(std::max(aTimeout, 0))) return !Connection();
  if (aTimeout <= 0) return !Connection();
  // Gone, and the reading thread done with its disconnect handling (which calls the API object).
  auto lDone = [this] { return !Connection() && (!FDisconnecting || tHandlingDisconnect == this); };
  while (std::chrono::steady_clock::now() < lEnd) {
    if (lDone()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return !Connection();
}

void TqmtWSClient::RunOnNewThread(std::function<void()> aWork) {
  std::vector<std::thread> lFinished;
  {
    std::lock_guard g(FThreadsLock);
    if (FDestroying) return;
    // Workers that are done are joined here, so none piles up during a long outage.
    for (auto it = FThreads.begin(); it != FThreads.end();) {
      if (it->FDone->load()) {
        lFinished.push_back(std::move(it->FThread));
        it = FThreads.erase(it);
      } else {
        ++it;
      }
    }
    auto lDone = std::make_shared<std::atomic<bool>>(false);
    FThreads.push_back({std::thread([this, lDone, lWork = std::move(aWork)] {
                          try {
                            lWork();
                          } catch (const std::exception& e) {
                            DoException(nullptr, e.what(), &e, std::current_exception());
                          }
                          lDone->store(true);
                        }),
                        lDone});
  }
  for (auto& t : lFinished) t.join();  // finished: the join does not wait
}

void TqmtWSClient::Start() {
  FThreadStart = true;
  const unsigned lGeneration = FGeneration.load();
  RunOnNewThread([this, lGeneration] { Activate(lGeneration); });
}

void TqmtWSClient::Stop() {
  ++FGeneration;  // now: a Start after this Stop is not undone by it
  RunOnNewThread([this] { Deactivate(-1, false); });
}

void TqmtWSClient::DoRedirect(const std::string& aLocation) {
  // Not on this reading thread: the old connection and its reader must be released first.
  RunOnNewThread([this, aLocation] {
    Disconnect(10000);
    try {
      SetURL(aLocation);
    } catch (const std::exception& e) {
      DoError(nullptr, e.what());  // the reconnection is tried all the same
    }
    Connect(10000);
  });
}

// ---- writing ------------------------------------------------------------------------------------

void TqmtWSClient::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming) {
  auto c = Connection();
  if (!c) return;
  try {
    c->WriteData(aText, aSize, aStreaming);
  } catch (const std::exception& e) {
    DoError(c.get(), e.what());
  }
}

void TqmtWSClient::WriteBinary(const std::string& aData, int aSize, TwsStreaming aStreaming) {
  auto c = Connection();
  if (!c) return;
  try {
    c->WriteBinary(aData, aSize, aStreaming);
  } catch (const std::exception& e) {
    DoError(c.get(), e.what());
  }
}

std::string TqmtWSClient::WriteAndWaitData(const std::string& aText, int aTimeout) {
  auto c = Connection();
  if (!c) return std::string();
  try {
    return c->WriteAndWaitData(aText, aTimeout);
  } catch (const std::exception& e) {
    DoError(c.get(), e.what());
  }
  return std::string();
}

std::string TqmtWSClient::PingTimeStamp() {
  const auto lNow = std::chrono::system_clock::now();
  const std::time_t lSeconds = std::chrono::system_clock::to_time_t(lNow);
  const int lMillis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(lNow.time_since_epoch()).count() % 1000);
  std::tm lLocal{};
  localtime_r(&lSeconds, &lLocal);
  char lText[64];
  std::snprintf(lText, sizeof lText, "%04d%02d%02d%02d%02d%02d%03d", lLocal.tm_year + 1900, lLocal.tm_mon + 1,
                lLocal.tm_mday, lLocal.tm_hour, lLocal.tm_min, lLocal.tm_sec, lMillis);
  return lText;
}

void TqmtWSClient::Ping(const std::string& aText) {
  auto c = Connection();
  if (!c) return;
  try {
    c->Ping(aText.empty() ? PingTimeStamp() : aText);
  } catch (const std::exception& e) {
    DoError(c.get(), e.what());
  }
}

bool TqmtWSClient::Ping(int aTimeout, const std::string& aText) {
  auto c = Connection();
  if (!c) return false;
  try {
    return c->Ping(aText.empty() ? PingTimeStamp() : aText, aTimeout);
  } catch (const std::exception& e) {
    DoError(c.get(), e.what());
  }
  return false;
}

// ---- API objects ----------------------------------------------------------------------------------

void TqmtWSClient::RegisterAPI(TqmtWSAPI* aObject) {
  auto* lClient = dynamic_cast<TqmtWSAPI_client*>(aObject);
  if (!lClient) throw Exception("Error API: " + (aObject ? aObject->ClassName() : std::string("nil")) + " not supported.");
  TqmtWSAPI* const lOldAPI = FAPI.load();
  if (lOldAPI && lOldAPI != aObject)
    if (auto* lOld = dynamic_cast<TqmtWSAPI_client*>(lOldAPI)) lOld->FClient = nullptr;
  lClient->FClient = this;
  FAPI = aObject;
  aObject->SetNotifyEvents(FNotifyEvents);
  const std::string lURL = aObject->URL();
  if (!lURL.empty()) SetURL(lURL);
}

void TqmtWSClient::UnRegisterAPI(TqmtWSAPI* aObject) {
  // Only the registered object unregisters (a replaced one must not clear its successor); the
  // reading thread reads the pointer once per event, so it sees the old or no API, never a torn one.
  TqmtWSAPI* lExpected = aObject;
  if (!FAPI.compare_exchange_strong(lExpected, nullptr)) return;
  if (auto* lClient = dynamic_cast<TqmtWSAPI_client*>(aObject)) lClient->FClient = nullptr;
}

// ---- events -------------------------------------------------------------------------------------

void TqmtWSClient::Notify(std::function<void()> aEvent) {
  switch (FNotifyEvents) {
    case TwsNotifyEvent::neNoSync:
      aEvent();
      break;
    case TwsNotifyEvent::neAsynchronous:
      QueueToMainThread([lAlive = FAlive, lEvent = std::move(aEvent)] {
        if (lAlive->load()) lEvent();
      });
      break;
    case TwsNotifyEvent::neSynchronous:
      // The wait ends when a deactivation starts (the main thread may be the one waiting for this
      // thread); the event then runs later on the main loop.
      SynchronizeWithMainThread(
          [lAlive = FAlive, lEvent = std::move(aEvent)] {
            if (lAlive->load()) lEvent();
          },
          FStopWaiting);
      break;
  }
}

void TqmtWSClient::DispatchMessage(const TConnectionPtr& aConnection, std::string_view aText) {
  TqmtWSAPI* const lAPI = FAPI.load();  // read once: another thread may register another
  try {
    if (lAPI) {
      if (lAPI->RawMessages()) {
        lAPI->DoFilterMessage(aText);
      } else {
        lAPI->DoMessage(aConnection.get(), aText);
        return;
      }
    }
    if (FQueueMessages) {
      std::lock_guard g(FQueuedLock);
      FQueuedTexts.emplace_back(aText);
      return;
    }
    if (!OnMessage) return;
    if (FNotifyEvents == TwsNotifyEvent::neNoSync) {
      OnMessage(aConnection.get(), aText);  // no copy on the reading thread
    } else {
      Notify([this, aConnection, lText = std::string(aText)] { OnMessage(aConnection.get(), lText); });
    }
  } catch (const std::exception& e) {
    DoError(aConnection.get(), e.what());
  }
}

void TqmtWSClient::DispatchBinary(const TConnectionPtr& aConnection, std::string_view aData) {
  TqmtWSAPI* const lAPI = FAPI.load();  // read once: another thread may register another
  try {
    aConnection->FMsgBinaryReceived.assign(aData);
    if (lAPI && !lAPI->RawMessages()) {
      lAPI->DoBinary(aConnection.get(), aData);
      return;
    }
    if (FQueueMessages) {
      std::lock_guard g(FQueuedLock);
      FQueuedBinaries.emplace_back(aData);
      return;
    }
    if (!OnBinary) return;
    Notify([this, aConnection, lData = std::string(aData)] { OnBinary(aConnection.get(), lData); });
  } catch (const std::exception& e) {
    DoError(aConnection.get(), e.what());
  }
}

void TqmtWSClient::SetQueueMessages(bool aValue) {
  FQueueMessages = aValue;
  if (aValue) return;
  std::vector<std::string> lTexts, lBinaries;
  {
    std::lock_guard g(FQueuedLock);
    lTexts.swap(FQueuedTexts);
    lBinaries.swap(FQueuedBinaries);
  }
  auto c = Connection();
  for (const auto& t : lTexts)
    if (OnMessage) Notify([this, c, t] { OnMessage(c.get(), t); });
  for (const auto& b : lBinaries)
    if (OnBinary) Notify([this, c, b] { OnBinary(c.get(), b); });
}

void TqmtWSClient::QueueClear() {
  std::lock_guard g(FQueuedLock);
  FQueuedTexts.clear();
  FQueuedBinaries.clear();
}

void TqmtWSClient::DoError(TqmtWSConnection* aConnection, const std::string& aMessage) {
  TqmtWSAPI* const lAPI = FAPI.load();  // read once: another thread may register another
  if (FDestroying) return;
  try {
    if (lAPI && !lAPI->RawMessages()) {
      lAPI->DoError(aConnection, aMessage);
    } else if (OnError) {
      if (aConnection) {
        aConnection->FMsgException = aMessage;
        auto c = Connection();
        Notify([this, c, aConnection, aMessage] { OnError(c.get() == aConnection ? c.get() : aConnection, aMessage); });
      } else {
        OnError(nullptr, aMessage);
      }
    }
  } catch (const std::exception& e) {
    // The error handler itself failed: the connection is dropped below all the same.
    std::fprintf(stderr, "qmtWebSocket: OnError handler failed: %s\n", e.what());
  }
  if (aConnection) {
    try {
      aConnection->DoDropConnection();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qmtWebSocket: dropping the connection failed: %s\n", e.what());
    }
  }
}

void TqmtWSClient::DoException(TqmtWSConnection* aConnection, const std::string& aMessage, const std::exception* aException,
                               std::exception_ptr aPointer) {
  if (FDestroying) return;
  DoReport(aConnection, aMessage, aException, aPointer);
  if (aConnection) {
    try {
      aConnection->DoDropConnection();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "qmtWebSocket: dropping the connection failed: %s\n", e.what());
    }
  }
}

// ---- heart-beat and watchdog ------------------------------------------------------------------------

void TqmtWSClient::StartHeartBeat() {
  CollectRetired();
  if (!HeartBeat.Enabled || HeartBeat.Interval <= 0) return;
  std::lock_guard g(FTimerLock);
  if (FHeartBeatTimer) return;
  FHeartBeatTimer = new TqmtTimer();
  FHeartBeatTimer->FDebugName = "HeartBeat";
  FHeartBeatTimer->SetInterval(HeartBeat.Interval * HeartBeat.TimeUnitMs);
  FHeartBeatTimer->SetNotifyEvents(FNotifyEvents);
  FHeartBeatTimer->OnTimer = [this](TObject*) { DoHeartBeatTick(); };
  FHeartBeatTimer->OnException = [this](TqmtTimer*, const std::exception& e) { DoException(Connection().get(), e.what(), &e); };
  FHeartBeatTimer->SetEnabled(true);
}

void TqmtWSClient::StopHeartBeat() {
  TqmtTimer *lBeat, *lTimeout;
  {
    std::lock_guard g(FTimerLock);
    lBeat = FHeartBeatTimer;
    lTimeout = FHeartBeatTimeoutTimer;
    FHeartBeatTimer = FHeartBeatTimeoutTimer = nullptr;
  }
  Retire(lBeat);
  Retire(lTimeout);
}

void TqmtWSClient::Retire(TqmtTimer* aTimer) {
  if (!aTimer) return;
  if (aTimer->IsCurrentThread() || aTimer->IsExecuting()) {
    aTimer->SetEnabled(false);
    std::lock_guard g(FTimerLock);
    FRetired.push_back(aTimer);
    return;
  }
  FreeThread(aTimer);
}

void TqmtWSClient::CollectRetired() {
  std::vector<TqmtTimer*> lKeep, lFree;
  {
    std::lock_guard g(FTimerLock);
    for (TqmtTimer* t : FRetired) (t->IsCurrentThread() ? lKeep : lFree).push_back(t);
    FRetired.swap(lKeep);
  }
  for (TqmtTimer* t : lFree) delete t;  // waits for its thread
}

void TqmtWSClient::DoHeartBeatTick() {
  TqmtWSAPI* const lAPI = FAPI.load();  // read once: another thread may register another
  if (FDestroying) return;
  auto c = Connection();
  if (!c || c->Disconnected()) return;
  bool lHandled = false;
  if (OnBeforeHeartBeat) OnBeforeHeartBeat(this, c.get(), lHandled);
  if (lHandled) return;
  if (!(lAPI && lAPI->DoHeartBeat())) Ping();
  if (HeartBeat.Timeout >= 1) {
    std::lock_guard g(FTimerLock);
    if (!FHeartBeatTimeoutTimer) {
      FHeartBeatTimeoutTimer = new TqmtTimer();
      FHeartBeatTimeoutTimer->FDebugName = "HeartBeatTimeout";
      FHeartBeatTimeoutTimer->SetInterval(HeartBeat.TimeUnitMs);  // every "second": see the tick
      FHeartBeatTimeoutTimer->SetNotifyEvents(FNotifyEvents);
      FHeartBeatTimeoutTimer->OnTimer = [this](TObject*) { DoHeartBeatTimeoutTick(); };
      FHeartBeatTimeoutTimer->OnException = [this](TqmtTimer*, const std::exception& e) {
        DoException(Connection().get(), e.what(), &e);
      };
      FHeartBeatTimeoutTimer->SetEnabled(true);
    }
  }
}

void TqmtWSClient::DoHeartBeatTimeoutTick() {
  auto c = Connection();
  if (!c || FDestroying || c->Disconnected()) return;
  // A ping still unanswered after Timeout "seconds" of the monotonic clock means the peer is gone
  // (or frozen). Checked every "second", so a dead connection is seen within one more second; a
  // step of the wall clock changes nothing.
  const std::uint64_t lOldest = c->OldestUnansweredPingTicks();
  if (lOldest == 0) {
    c->SetFirstPing(0);
    return;
  }
  const std::uint64_t lLimit = static_cast<std::uint64_t>(HeartBeat.Timeout) * static_cast<std::uint64_t>(HeartBeat.TimeUnitMs);
  if (GetTicks() - lOldest < lLimit) return;
  TqmtTimer* lTimer;
  {
    std::lock_guard g(FTimerLock);
    lTimer = FHeartBeatTimeoutTimer;
    FHeartBeatTimeoutTimer = nullptr;
  }
  Retire(lTimer);  // we are inside its tick
  DoException(c.get(), "HeartBeat Timeout exceeded.", nullptr);
}

void TqmtWSClient::DisableWatchDog() {
  {
    // Under the timer lock: a disconnect handled on the reading thread at this moment checks the
    // flag under it too, so it cannot arm the watchdog again after the user's Disconnect.
    std::lock_guard g(FTimerLock);
    FWatchDogEnabled = false;
  }
  StopWatchDog();
}

void TqmtWSClient::StartWatchDog() {
  if (WatchDog.Interval <= 0 || FDestroying) return;
  CollectRetired();
  std::lock_guard g(FTimerLock);
  if (FWatchDogTimer || !FWatchDogEnabled) return;
  FWatchDogTimer = new TqmtTimer();
  FWatchDogTimer->FDebugName = "WatchDog";
  FWatchDogTimer->SetInterval(WatchDog.Interval * WatchDog.TimeUnitMs);
  FWatchDogTimer->SetNotifyEvents(FNotifyEvents);
  FWatchDogTimer->OnTimer = [this](TObject*) { DoWatchDogTick(); };
  FWatchDogTimer->OnException = [this](TqmtTimer*, const std::exception& e) { DoException(nullptr, e.what(), &e); };
  FWatchDogTimer->SetEnabled(true);
}

void TqmtWSClient::StopWatchDog() {
  TqmtTimer* lTimer;
  {
    std::lock_guard g(FTimerLock);
    lTimer = FWatchDogTimer;
    FWatchDogTimer = nullptr;
  }
  Retire(lTimer);
}

void TqmtWSClient::DoWatchDogTick() {
  if (FDestroying) return;
  if (WatchDog.Attempts >= 1 && FWatchDogAttempts >= WatchDog.Attempts) return;
  bool lHandled = false;
  if (OnBeforeWatchDog) OnBeforeWatchDog(this, lHandled);
  if (!lHandled) {
    if (FNotifyEvents != TwsNotifyEvent::neNoSync && !FThreadStart && !Active()) {
      QueueToMainThread([this, lAlive = FAlive] {
        if (!lAlive->load()) return;
        try {
          SetActive(true);
        } catch (const std::exception& e) {
          DoException(nullptr, e.what(), &e);
        }
      });
    } else if (!Connection() && !FConnecting) {
      Start();
    }
  }
  if (WatchDog.Attempts >= 1 && ++FWatchDogAttempts >= WatchDog.Attempts) StopWatchDog();
}
