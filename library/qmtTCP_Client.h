// The transport: a TCP client over POSIX sockets with an optional TLS layer (OpenSSL 3, linked),
// an optional HTTP CONNECT or SOCKS 4/4A/5 proxy in front, throttle and traffic-log interceptors
// behind, an input buffer, a write buffer, and a reading thread per connection.
//
// Threads: one thread connects, writes and disconnects; the reading thread waits for data under
// the client's lock and hands it to OnRead. The TLS layer locks every encrypted read and write, so
// the two never drive the TLS engine at once. Errors are raised as EIdException with the messages
// below; the owning component turns them into its own events.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "qmtBase_Classes.h"
#include "qmtSocket_Classes.h"

// ---- errors -------------------------------------------------------------------------------------

class EIdException : public Exception {
public:
  using Exception::Exception;
};
// The peer closed the connection: the quiet kind of disconnect.
class EIdConnClosedGracefully : public EIdException {
public:
  EIdConnClosedGracefully() : EIdException("Connection Closed Gracefully.") {}
};
// "Socket Error # %d" CR LF and the system's text.
class EIdSocketError : public EIdException {
public:
  explicit EIdSocketError(int aCode);
  int LastError() const { return FCode; }

private:
  int FCode;
};
class EIdConnectTimeout : public EIdException {
public:
  EIdConnectTimeout() : EIdException("Connect timed out.") {}
};
class EIdReadTimeout : public EIdException {
public:
  EIdReadTimeout() : EIdException("Read timed out.") {}
};
class EIdLineTooLong : public EIdException {
public:
  EIdLineTooLong() : EIdException("Line too long") {}
};
class EIdHostNotFound : public EIdException {
public:
  EIdHostNotFound() : EIdException("Host not found.") {}
};
class EIdNotConnected : public EIdException {
public:
  EIdNotConnected() : EIdException("Not Connected") {}
};
class EIdOSSLException : public EIdException {
public:
  using EIdException::EIdException;
};
// A proxy that refused the tunnel; the message is its status line (HTTP) or its reason (SOCKS).
class EIdProxyError : public EIdException {
public:
  using EIdException::EIdException;
};

// ---- TLS layer ----------------------------------------------------------------------------------

// The OpenSSL layer of one client connection. Made from a TqmtSocketTLS_Options by
// NewOpenSSLHandler; the owner may then set the hooks.
class TqmtIdSSLIOHandlerSocketOpenSSL {
public:
  explicit TqmtIdSSLIOHandlerSocketOpenSSL(const TqmtSocketTLS_Options& aOptions);
  ~TqmtIdSSLIOHandlerSocketOpenSSL();
  TqmtIdSSLIOHandlerSocketOpenSSL(const TqmtIdSSLIOHandlerSocketOpenSSL&) = delete;
  TqmtIdSSLIOHandlerSocketOpenSSL& operator=(const TqmtIdSSLIOHandlerSocketOpenSSL&) = delete;

  const TqmtSocketTLS_Options& Options() const { return FOptions; }
  // The host whose certificate is expected and whose name is sent (SNI); the target host when empty.
  std::string URIToCheck;
  // Sees each certificate of the chain with OpenSSL's verdict; its answer decides.
  std::function<bool(X509* aCertificate, bool aOk, int aDepth, int aError)> OnVerifyPeer;

  // Client handshake over a connected socket (non-blocking); aHost is the target host.
  void StartSSL(int aSocket, const std::string& aHost, int aTimeoutMs);
  // Encrypted read: bytes read, 0 when nothing is available now; raises on a closed or failed link.
  long Read(void* aBuffer, std::size_t aLength);
  // Encrypted write of everything, waiting for the socket up to aTimeoutMs per step (no limit when
  // not positive); aWait, when given, does the waiting instead (false: give up).
  void Write(const void* aData, std::size_t aLength, int aTimeoutMs, const std::function<bool(short)>& aWait = {});
  bool Pending();
  void Close(bool aNotifyPeer);
  bool Active() const { return FSSL != nullptr; }
  std::string SelectedALPN();
  int ProtocolVersion();

private:
  static int VerifyCallback(int aOk, X509_STORE_CTX* aContext);
  static int PasswordCallback(char* aBuffer, int aSize, int aRWFlag, void* aUser);

  struct ContextFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
  };
  struct SSLFree {
    void operator()(SSL* p) const { SSL_free(p); }
  };

  TqmtSocketTLS_Options FOptions;
  std::unique_ptr<SSL_CTX, ContextFree> FContext;
  std::unique_ptr<SSL, SSLFree> FSSL;
  int FSocket = -1;
  std::mutex FCS;  // every encrypted read and write
};

std::unique_ptr<TqmtIdSSLIOHandlerSocketOpenSSL> NewOpenSSLHandler(const TqmtSocketTLS_Options& aOptions);

// The owning component's way to a TLS layer: aGetHandler may supply a ready one; otherwise an
// OpenSSL layer is made from aOptions (the Windows engine does not exist here, so iohSChannel
// also gets OpenSSL); aAfterCreate then sees the layer either way.
using TqmtTLSGetHandlerEvent = std::function<std::unique_ptr<TqmtIdSSLIOHandlerSocketOpenSSL>()>;
using TqmtTLSAfterCreateEvent = std::function<void(TqmtIdSSLIOHandlerSocketOpenSSL& aHandler)>;
std::unique_ptr<TqmtIdSSLIOHandlerSocketOpenSSL> CreateTLSHandler(const TqmtSocketTLS_Options& aOptions,
                                                                  const TqmtTLSGetHandlerEvent& aGetHandler,
                                                                  const TqmtTLSAfterCreateEvent& aAfterCreate);

// ---- interceptors -------------------------------------------------------------------------------

class TqmtIdConnectionIntercept {
public:
  virtual ~TqmtIdConnectionIntercept() = default;
  virtual void Connect() {}
  virtual void Disconnect() {}
  virtual void Send(std::string_view aData) {}
  virtual void Receive(std::string_view aData) {}
};

// Pauses N x 8 x 1000 / BitsPerSec ms after each block of N bytes, both ways.
class TqmtIdInterceptThrottler : public TqmtIdConnectionIntercept {
public:
  explicit TqmtIdInterceptThrottler(int aBitsPerSec) : FBitsPerSec(aBitsPerSec) {}
  static long PauseMs(std::size_t aBytes, int aBitsPerSec);
  void Send(std::string_view aData) override;
  void Receive(std::string_view aData) override;

private:
  int FBitsPerSec;
};

// Appends "Sent <date-time>: <text>", "Recv <date-time>: <text>" and "Stat <text>" lines to a file.
class TqmtIdLogFileBase : public TqmtIdConnectionIntercept {
public:
  explicit TqmtIdLogFileBase(const std::string& aFileName);
  // Raises "Unable to set Filename while log file is open." while open.
  void SetFileName(const std::string& aFileName);
  void Open();
  void Close();
  void Connect() override { LogStatus("Connected."); }
  void Disconnect() override { LogStatus("Disconnected."); }
  void Send(std::string_view aData) override { LogLine("Sent", aData); }
  void Receive(std::string_view aData) override { LogLine("Recv", aData); }
  void LogStatus(std::string_view aText);

protected:
  virtual void LogLine(const char* aKind, std::string_view aData);
  friend class TqmtIdTCPClient;
  void WriteText(const std::string& aText);
  std::mutex FLock;

private:
  std::string FFileName;
  std::ofstream FFile;
};
class TqmtIdLogFileClient : public TqmtIdLogFileBase {
public:
  using TqmtIdLogFileBase::TqmtIdLogFileBase;
};

// ---- TCP client and reading thread ---------------------------------------------------------------

enum class TqmtTCPMode : std::uint8_t { tcpmDefault, tcpmCommands };
// The blocking steps of a connection, as a fault injector sees them.
enum class TqmtTCPOperation : std::uint8_t { opConnect, opTLSHandshake, opWrite, opRead };
using TqmtReadThreadExceptionEvent = std::function<void(const std::exception& aException)>;

class TqmtIdTCPClient;

class TqmtTCPReadThread : public TqmtIdThread {
public:
  explicit TqmtTCPReadThread(TqmtIdTCPClient* aClient);
  ~TqmtTCPReadThread() override;
  // Takes effect only in tcpmCommands mode or once the body has run.
  void Terminate() override;

  std::atomic<bool> FReadSocket{false};
  std::function<void()> FOnReadMessage;
  std::function<void()> FOnReadThread;
  TqmtReadThreadExceptionEvent FOnReadException;

protected:
  void Run() override;
  void DoException(const std::exception& aException) override;

private:
  TqmtIdTCPClient* FClient;
  std::atomic<bool> FExecuted{false};
  TqmtTCPMode FTCPMode;
};

class TqmtIdTCPClient : public TObject {
public:
  TqmtIdTCPClient();
  ~TqmtIdTCPClient() override;
  TqmtIdTCPClient(const TqmtIdTCPClient&) = delete;
  TqmtIdTCPClient& operator=(const TqmtIdTCPClient&) = delete;

  // ---- settings, read at Connect
  std::string Host;
  int Port = 0;
  TwsIPVersion IPVersion = TwsIPVersion::ipV4;
  int ConnectTimeout = 0;  // ms; 0: the system's own
  int ReadTimeout = -1;    // ms; used for the TLS handshake when positive
  int BoundPortMin = 0, BoundPortMax = 0;  // local port range; 0: any
  bool UseNagle = true;
  int Linger = -1;          // seconds; -1 leaves it as is
  int SendTimeout = 0;      // ms; 0: none
  int ReceiveTimeout = 0;   // ms; 0: none
  TqmtSocketKeepAlive KeepAlive;
  TqmtSocketProxy_Options Proxy;
  TqmtSocketThrottle Throttle;
  TqmtSocketLogFile LogFile;
  TqmtTCPMode TCPMode = TqmtTCPMode::tcpmDefault;
  // The TLS layer, when the connection is encrypted; owned by the client.
  std::unique_ptr<TqmtIdSSLIOHandlerSocketOpenSSL> IOHandler;

  // Called before each blocking step; an exception it raises fails that step as a network failure
  // would. Tests use it to fail the Nth operation.
  std::function<void(TqmtTCPOperation aOperation)> OnOperation;

  // ---- reading thread callbacks
  std::function<void()> OnThread;
  std::function<void()> OnRead;
  TqmtReadThreadExceptionEvent OnReadException;

  // Connects (proxy exchange and TLS handshake included) and, in tcpmDefault mode, starts a new
  // reading thread. Raises on failure.
  void Connect();
  bool Connected();
  // Stops the reading thread and closes the socket. aNotifyPeer: an orderly close (TLS close_notify,
  // FIN) after what was written; otherwise a reset. A reader blocked on the socket is woken first.
  void Disconnect(bool aNotifyPeer = true);
  // Any thread, without the client's lock: wakes every thread blocked on this connection (connect,
  // TLS handshake, reads and writes fail at once). The socket stays open until Disconnect.
  void Abort();
  // From now on a write waits at most aMs more for the socket (a disconnect is under way).
  void LimitWrites(int aMs);
  void EnterCS() { FCS.Acquire(); }
  void LeaveCS() { FCS.Release(); }
  TqmtTCPReadThread* ReadThread();

  // ---- input
  bool InputBufferIsEmpty() const { return FInEnd == FInStart; }
  std::size_t InputBufferSize() const { return FInEnd - FInStart; }
  // Waits up to aTimeoutMs for data and moves what arrived into the input buffer; raises on a
  // closed connection. Returns the number of bytes added.
  std::size_t CheckForDataOnSource(int aTimeoutMs);
  // The unread bytes, without copying; Consume drops the first n of them.
  std::string_view InputView() const { return std::string_view(FIn.data() + FInStart, FInEnd - FInStart); }
  // The same bytes, writable in place (the frame reader unmasks there).
  char* InputData() { return FIn.data() + FInStart; }
  void Consume(std::size_t n);
  void InputBufferClear() { FInStart = FInEnd = 0; }
  // Reads exactly aLength bytes, waiting up to ReadTimeout (forever when not positive).
  std::string ReadBytes(std::size_t aLength);
  std::string ReadLn();
  // A line within aTimeoutMs and at most aMaxLength bytes; EIdReadTimeout or EIdLineTooLong
  // otherwise.
  std::string ReadLn(int aTimeoutMs, std::size_t aMaxLength);
  // Raises EIdConnClosedGracefully when the peer has closed the connection.
  void CheckForDisconnect();

  // ---- output
  void Write(std::string_view aData);
  void WriteBufferOpen();
  void WriteBufferFlush();
  void WriteBufferClose();
  void WriteBufferClear();

  // Writes a line of its own to the traffic log, when one is installed.
  void LogText(const char* aKind, std::string_view aText);

  std::uint64_t RecBytes() const { return FRecBytes.load(); }
  std::uint64_t SendBytes() const { return FSendBytes.load(); }
  std::string LocalIP() const { return FLocalIP; }
  int LocalPort() const { return FLocalPort; }

private:
  void ConnectSocket(const std::string& aHost, int aPort);
  void ApplySocketOptions();
  void ProxyHTTPConnect();
  void ProxySocks();
  void RawWrite(std::string_view aData);
  long RawRead(char* aBuffer, std::size_t aLength);
  bool WaitReadable(int aTimeoutMs);
  void CloseSocket(bool aNotifyPeer);
  void InstallIntercepts();

  void Step(TqmtTCPOperation aOperation) {
    if (OnOperation) OnOperation(aOperation);
  }
  // Shuts the socket (or the one being connected) down without closing it.
  void ShutdownSocket(int aHow);
  // Poll for a write, in slices, honouring SendTimeout, Abort and LimitWrites.
  bool WaitWritable(short aEvents);

  std::atomic<int> FSocket{-1};  // read by the reading thread while another thread may close it
  std::atomic<int> FConnectingSocket{-1};
  std::mutex FSocketLock;  // a close and a shutdown of the same number never overlap
  std::atomic<bool> FAborted{false};
  friend class TqmtTCPReadThread;
  std::atomic<bool> FClosing{false};  // Disconnect woke the reader: what it meets is not reported
  std::atomic<long long> FWriteDeadline{0};  // steady ms; 0: none
  std::atomic<bool> FConnected{false};
  TqmtCriticalSection FCS;
  TqmtTCPReadThread* FTCPRead = nullptr;
  std::vector<std::unique_ptr<TqmtIdConnectionIntercept>> FIntercepts;
  std::vector<char> FIn;
  std::size_t FInStart = 0, FInEnd = 0;
  std::string FWriteBuffer;
  bool FWriteBuffering = false;
  std::recursive_mutex FWriteLock;  // the write buffer and its flag, across writing threads
  std::atomic<std::uint64_t> FRecBytes{0}, FSendBytes{0};
  std::string FLocalIP;
  int FLocalPort = 0;
  bool FProxyAuthRequired = false;
};
