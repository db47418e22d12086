// The WebSocket client component: one TCP client, a connection object per connection, the opening
// handshake, events on the thread the user chose, heart-beat pings with an optional time-out, and a
// watchdog that reconnects by itself. API objects (the exchange's stream client) attach to it.
//
// Threads: the caller's thread activates and connects; the reading thread delivers frames,
// messages, the connect notification and server-side disconnects; timer threads run the heart-beat
// and the watchdog; watchdog reconnections and redirects run on short-lived threads of their own,
// each joined once it is done. With NotifyEvents = neNoSync events are raised on those threads;
// otherwise they are posted to (or synchronised with) the main loop installed with
// SetMainThreadDispatcher, carrying copies of their data. Network and protocol failures never raise
// to the caller: they arrive as OnError/OnException.
//
// Lifecycle: activation and deactivation hold one lock (FLifecycleLock) from start to end, so one
// TCP client is never driven by two of them at once, whichever threads they come from (the caller,
// a watchdog attempt, Start/Stop, a redirect). A deactivation first bumps FGeneration: an
// activation under way notices it after each blocking step and gives up without reporting or
// re-arming the watchdog, and a watchdog attempt asked for earlier does not start. It then wakes
// whatever blocks on the socket (Abort, or the read side's shutdown), so Disconnect(aTimeout) gets
// the lock within its time-out. A reader that waits for the main thread (neSynchronous) stops
// waiting while a deactivation runs, so a Disconnect on the main thread cannot deadlock with it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qmtBase_Classes.h"
#include "qmtSocket_Classes.h"
#include "qmtTCP_Client.h"
#include "qmtWebSocket_Classes_Indy.h"

class TqmtWSClient;

// The base of API objects that attach to a client.
class TqmtWSAPI : public TObject {
public:
  // Raw-message filter; the client raises its own OnMessage whatever it returns (RawMessages on).
  virtual bool DoFilterMessage(std::string_view aText) { return false; }
  virtual void DoBeforeActivate() {}
  virtual std::string URL() { return std::string(); }
  // True when the API keeps the connection alive itself (the client's ping is then vetoed).
  virtual bool DoHeartBeat() { return false; }
  virtual void DoConnect(TqmtWSConnection* aConnection) {}
  virtual void DoDisconnect(TqmtWSConnection* aConnection, int aCode) {}
  // With RawMessages off the API takes these over.
  virtual void DoMessage(TqmtWSConnection* aConnection, std::string_view aText) {}
  virtual void DoBinary(TqmtWSConnection* aConnection, std::string_view aData) {}
  virtual void DoError(TqmtWSConnection* aConnection, const std::string& aError) {}
  virtual void DoException(TqmtWSConnection* aConnection, const std::exception& aException) {}
  virtual std::string ClassName() const { return "TqmtWSAPI"; }

  bool RawMessages() const { return FRawMessages; }
  void SetRawMessages(bool aValue) { FRawMessages = aValue; }
  TwsNotifyEvent NotifyEvents() const { return FNotifyEvents; }
  void SetNotifyEvents(TwsNotifyEvent aValue) { FNotifyEvents = aValue; }

protected:
  bool FRawMessages = false;
  TwsNotifyEvent FNotifyEvents = TwsNotifyEvent::neNoSync;
};

// An API object that links itself to one WebSocket client.
class TqmtWSAPI_client : public TqmtWSAPI {
public:
  ~TqmtWSAPI_client() override;
  // Read by the API's own threads (a paced sender) while SetClient may run: atomic.
  TqmtWSClient* Client() const { return FClient.load(); }
  // Registers with aClient (and unregisters from the previous one).
  virtual void SetClient(TqmtWSClient* aClient);
  std::string ClassName() const override { return "TqmtWSAPI_client"; }

private:
  friend class TqmtWSClient;
  std::atomic<TqmtWSClient*> FClient{nullptr};
};

struct TqmtWSHeartBeat_Options {
  bool Enabled = false;
  int Interval = 300;  // seconds
  int Timeout = 0;     // seconds; 0: no time-out check
  int TimeUnitMs = 1000;  // length of one "second"; tests shorten it
};

struct TqmtWSWatchDogClient_Options : TqmtTCPWatchDog_Options {
  TqmtWSWatchDogClient_Options() { Interval = 10; }
  int TimeUnitMs = 1000;  // length of one "second"; tests shorten it
};

struct TqmtWSSpecifications {
  bool RFC6455 = true;
  bool RFC8441 = false;  // WebSocket over HTTP/2: kept, without effect here
};

struct TqmtWSLogFile : TqmtSocketLogFile {
  bool UnMaskFrames = false;
};

class TqmtWSClient : public TqmtTCPComponent_Base {
public:
  TqmtWSClient();
  ~TqmtWSClient() override;

  // ---- settings
  std::string Host;
  int Port = 80;
  int ConnectTimeout = 0;
  int ReadTimeout = -1;
  int WriteTimeout = 0;
  // The handshake answer must arrive whole within this many ms (and 16 KiB of header lines).
  int HandshakeTimeout = 10000;
  // At most this many frames (control messages, pings, pongs) sent in any one-second span on a
  // connection; 0: no limit. The exchange's stream client sets its servers' limit.
  int OutgoingFramesPerSecond = 0;
  bool TLS = false;
  TqmtSocketTLS_Options TLSOptions;
  TqmtSocketProxy_Options Proxy;
  TqmtWSHeartBeat_Options HeartBeat;
  TqmtWSWatchDogClient_Options WatchDog;
  TwsIPVersion IPVersion = TwsIPVersion::ipV4;
  TqmtWSOptionsClient Options;
  TqmtWSAuthenticationClient_Options Authentication;
  TqmtWSSpecifications Specifications;
  TqmtWSLogFile LogFile;
  TqmtWSQueueOptions QueueOptions;
  TqmtSocketThrottle Throttle;
  TqmtSocketKeepAlive TCPKeepAlive{false, 1000, 7200000};
  bool UseNagle = false;
  int BoundPortMin = 0, BoundPortMax = 0;
  int LingerState = -1;
  // The extension list each connection copies: compression offered when enabled (off by default).
  std::unique_ptr<TqmtWSExtensions> Extensions = std::make_unique<TqmtWSExtensions>();

  // Sets Host, Port, TLS, Specifications.RFC6455 and Options.Parameters.
  void SetURL(const std::string& aURL);

  // ---- events
  std::function<void(TqmtWSConnection* Connection)> OnConnect;
  std::function<void(TqmtWSConnection* Connection, int Code)> OnDisconnect;
  std::function<void(TqmtWSConnection* Connection, std::string_view Text)> OnMessage;
  std::function<void(TqmtWSConnection* Connection, std::string_view Data)> OnBinary;
  std::function<void(TqmtWSConnection* Connection, std::string_view Data, TOpcode OpCode, bool Continuation)> OnFragmented;
  std::function<void(TqmtWSConnection* Connection, const std::string& Error)> OnError;
  std::function<void(TqmtWSConnection* Connection, const std::exception& E)> OnException;
  std::function<void(TqmtWSConnection* Connection, std::vector<std::string>& Headers)> OnHandshake;
  std::function<void(TObject* Sender, TqmtWSConnection* Connection, bool& Handled)> OnBeforeHeartBeat;
  std::function<void(TObject* Sender, bool& Handled)> OnBeforeWatchDog;
  std::function<void(TObject* Sender)> OnBeforeConnect;
  TqmtTLSGetHandlerEvent OnSSLGetHandler;
  TqmtTLSAfterCreateEvent OnSSLAfterCreateHandler;
  std::function<bool(X509* aCertificate, bool aOk, int aDepth, int aError)> OnSSLVerifyPeer;

  // ---- operations
  bool Active() const;
  void SetActive(bool aValue);
  // True once the handshake is accepted within aTimeout ms.
  bool Connect(int aTimeout);
  // True once no connection object remains within aTimeout ms. It also waits, within aTimeout, for
  // the reading thread's disconnect handling (API hook, event, watchdog) to end, so an API object
  // may be destroyed once it returns (not when called from that handling itself).
  bool Disconnect(int aTimeout);
  // Activation or deactivation on a short-lived thread of its own.
  void Start();
  void Stop();
  bool Connected();
  void WriteData(const std::string& aText, int aSize = 0, TwsStreaming aStreaming = TwsStreaming::stmNone);
  void WriteBinary(const std::string& aData, int aSize = 0, TwsStreaming aStreaming = TwsStreaming::stmNone);
  std::string WriteAndWaitData(const std::string& aText, int aTimeout);
  // An empty text sends the local time as 17 digits, yyyymmddhhnnsszzz.
  void Ping(const std::string& aText = std::string());
  bool Ping(int aTimeout, const std::string& aText = std::string());
  // Raises "Error API: %s not supported." for an object that is not a TqmtWSAPI_client.
  void RegisterAPI(TqmtWSAPI* aObject);
  void UnRegisterAPI(TqmtWSAPI* aObject);
  TqmtWSAPI* API() const { return FAPI.load(); }
  // A failure beside the connection (an API's background request) reported through OnException
  // (or the API) without dropping anything.
  void ReportException(const std::exception& aException) {
    DoReport(nullptr, aException.what(), &aException, std::current_exception());
  }
  bool QueueMessages() const { return FQueueMessages; }
  void SetQueueMessages(bool aValue);
  void QueueClear();
  std::shared_ptr<TqmtWSConnectionClient> Connection() const;
  int WatchDogAttempts() const { return FWatchDogAttempts.load(); }
  // True while the watchdog timer runs (a reconnection will be tried).
  bool WatchDogArmed();
  // The transport, for fault injection in tests (its OnOperation hook).
  TqmtIdTCPClient& TCPClient() { return *FTCPClient; }
  // Worker threads (Start, Stop, watchdog attempts, redirects) not yet joined.
  std::size_t PendingThreads();

  static std::string PingTimeStamp();

protected:
  // aPointer, when given, is the exception itself: handlers on the main loop receive its own type.
  virtual void DoException(TqmtWSConnection* aConnection, const std::string& aMessage, const std::exception* aException,
                           std::exception_ptr aPointer = nullptr);
  virtual void DoError(TqmtWSConnection* aConnection, const std::string& aMessage);

private:
  using TConnectionPtr = std::shared_ptr<TqmtWSConnectionClient>;
  // Activation for generation aGeneration; waits up to aLockTimeoutMs for the lifecycle lock (no
  // limit when negative) and returns false when it did not get it.
  bool Activate(unsigned aGeneration, int aLockTimeoutMs = -1);
  // Deactivation; aCancelPending bumps the generation first (Stop did it already). False when the
  // lifecycle lock was not had within aLockTimeoutMs.
  bool Deactivate(int aLockTimeoutMs = -1, bool aCancelPending = true);
  void DoTCPConnected();
  void DoReadTurn();
  void DoReadData();
  void DoReadException(const std::exception& aException);
  void DoDisconnected(const TConnectionPtr& aConnection);
  // Reports a failure through the API or OnException (without dropping anything): aException and
  // aPointer, when given, are the failure itself, so handlers receive its own type.
  void DoReport(TqmtWSConnection* aConnection, const std::string& aMessage, const std::exception* aException,
                std::exception_ptr aPointer);
  void RaiseException(TqmtWSConnection* aConnection, std::exception_ptr aPointer, const std::string& aMessage);
  void DoHeartBeatTick();
  void DoHeartBeatTimeoutTick();
  void DoWatchDogTick();
  void StartHeartBeat();
  void StopHeartBeat();
  void StartWatchDog();  // only while enabled
  void DisableWatchDog();
  void StopWatchDog();
  void DoRedirect(const std::string& aLocation);
  void RunOnNewThread(std::function<void()> aWork);
  // Stops a timer; on its own thread it is kept to be joined later instead of freeing itself, so no
  // timer thread can outlive the component.
  void Retire(TqmtTimer* aTimer);
  void CollectRetired();
  // Runs aEvent by NotifyEvents; aKeep holds what the event's data needs while it waits.
  void Notify(std::function<void()> aEvent);
  void DispatchMessage(const TConnectionPtr& aConnection, std::string_view aText);
  void DispatchBinary(const TConnectionPtr& aConnection, std::string_view aData);

  std::unique_ptr<TqmtIdTCPClient> FTCPClient;
  mutable std::mutex FConnectionLock;
  TConnectionPtr FWSConnection;
  TConnectionPtr FOldConnection;  // kept until the next disconnect: its reading thread may be inside it
  std::atomic<bool> FConnecting{false};
  std::atomic<bool> FDisconnecting{false};  // the reading thread is inside DoDisconnected
  std::atomic<bool> FWatchDogEnabled{false};
  std::atomic<int> FWatchDogAttempts{0};
  std::atomic<bool> FThreadStart{false};
  // A re-entrant lock with a timed wait (on a mutex and a condition variable: the standard timed
  // mutexes wait in a way ThreadSanitizer cannot follow).
  class TLifecycleLock {
  public:
    // aMs < 0 waits without limit; false when the lock was not had in time.
    bool Acquire(int aMs);
    void Release();

  private:
    std::mutex FLock;
    std::condition_variable FFree;
    std::thread::id FOwner;
    int FDepth = 0;
  };
  // Holds the lifecycle lock for a scope once acquired.
  struct TLifecycleScope {
    explicit TLifecycleScope(TLifecycleLock& aLock) : FLock(aLock) {}
    ~TLifecycleScope() {
      if (FOwns) FLock.Release();
    }
    bool Acquire(int aMs) { return FOwns = FLock.Acquire(aMs); }
    TLifecycleLock& FLock;
    bool FOwns = false;
  };
  TLifecycleLock FLifecycleLock;
  std::atomic<unsigned> FGeneration{0};
  std::atomic<unsigned> FOpened{0};  // handshakes accepted so far
  std::atomic<bool> FStopWaiting{false};
  // The reading thread while it is inside a read: a close it causes is processed after the read's
  // failure was reported (OnException before OnDisconnect).
  std::atomic<std::thread::id> FReadingThread{};
  TConnectionPtr FClosedInRead;  // reading thread only
  std::mutex FTimerLock;
  TqmtTimer* FHeartBeatTimer = nullptr;
  TqmtTimer* FHeartBeatTimeoutTimer = nullptr;
  TqmtTimer* FWatchDogTimer = nullptr;
  std::vector<TqmtTimer*> FRetired;
  std::atomic<TqmtWSAPI*> FAPI{nullptr};
  std::atomic<bool> FQueueMessages{false};
  std::mutex FQueuedLock;
  std::vector<std::string> FQueuedTexts, FQueuedBinaries;
  struct TWorker {
    std::thread FThread;
    std::shared_ptr<std::atomic<bool>> FDone;
  };
  std::mutex FThreadsLock;
  std::vector<TWorker> FThreads;
  std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
};

// The published component: the same class.
class TqmtWebSocketClient : public TqmtWSClient {};
