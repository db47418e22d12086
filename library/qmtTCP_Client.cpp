#include "qmtTCP_Client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "qmtBase_Helpers.h"

// ---- errors -------------------------------------------------------------------------------------

EIdSocketError::EIdSocketError(int aCode)
    : EIdException("Socket Error # " + std::to_string(aCode) + "\r\n" + std::strerror(aCode)), FCode(aCode) {}

namespace {

std::string OpenSSLReason() {
  std::string lText;
  while (const unsigned long lError = ERR_get_error()) {
    char lBuffer[256];
    ERR_error_string_n(lError, lBuffer, sizeof lBuffer);
    if (!lText.empty()) lText += "; ";
    lText += lBuffer;
  }
  return lText;
}

int ToOpenSSLVersion(TwsTLSVersions aVersion) {
  switch (aVersion) {
    case TwsTLSVersions::tls1_0: return TLS1_VERSION;
    case TwsTLSVersions::tls1_1: return TLS1_1_VERSION;
    case TwsTLSVersions::tls1_2: return TLS1_2_VERSION;
    case TwsTLSVersions::tls1_3: return TLS1_3_VERSION;
    case TwsTLSVersions::tlsUndefined: break;
  }
  return 0;
}

int gHandlerIndex = -1;
std::once_flag gHandlerIndexOnce;

int HandlerIndex() {
  std::call_once(gHandlerIndexOnce, [] { gHandlerIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });
  return gHandlerIndex;
}

bool IsIPAddress(const std::string& aHost) {
  unsigned char lBuffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, aHost.c_str(), lBuffer) == 1 || inet_pton(AF_INET6, aHost.c_str(), lBuffer) == 1;
}

// Waits for the socket; false on time-out. aTimeoutMs < 0 waits for ever.
bool PollSocket(int aSocket, short aEvents, int aTimeoutMs) {
  pollfd lPoll{aSocket, aEvents, 0};
  for (;;) {
    const int r = ::poll(&lPoll, 1, aTimeoutMs);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) throw EIdSocketError(errno);
  }
}

}  // namespace

// ---- TLS layer ----------------------------------------------------------------------------------

TqmtIdSSLIOHandlerSocketOpenSSL::TqmtIdSSLIOHandlerSocketOpenSSL(const TqmtSocketTLS_Options& aOptions)
    : FOptions(aOptions) {}

TqmtIdSSLIOHandlerSocketOpenSSL::~TqmtIdSSLIOHandlerSocketOpenSSL() { Close(false); }

std::unique_ptr<TqmtIdSSLIOHandlerSocketOpenSSL> NewOpenSSLHandler(const TqmtSocketTLS_Options& aOptions) {
  return std::make_unique<TqmtIdSSLIOHandlerSocketOpenSSL>(aOptions);
}

std::unique_ptr<TqmtIdSSLIOHandlerSocketOpenSSL> CreateTLSHandler(const TqmtSocketTLS_Options& aOptions,
                                                                  const TqmtTLSGetHandlerEvent& aGetHandler,
                                                                  const TqmtTLSAfterCreateEvent& aAfterCreate) {
  std::unique_ptr<TqmtIdSSLIOHandlerSocketOpenSSL> lHandler;
  if (aGetHandler) lHandler = aGetHandler();
  if (!lHandler) lHandler = NewOpenSSLHandler(aOptions);
  if (aAfterCreate) aAfterCreate(*lHandler);
  return lHandler;
}

int TqmtIdSSLIOHandlerSocketOpenSSL::PasswordCallback(char* aBuffer, int aSize, int, void* aUser) {
  const auto* lSelf = static_cast<TqmtIdSSLIOHandlerSocketOpenSSL*>(aUser);
  const std::string& lPassword = lSelf->FOptions.Password;
  const int n = std::min(aSize, static_cast<int>(lPassword.size()));
  std::memcpy(aBuffer, lPassword.data(), static_cast<std::size_t>(n));
  return n;
}

int TqmtIdSSLIOHandlerSocketOpenSSL::VerifyCallback(int aOk, X509_STORE_CTX* aContext) {
  auto* lSSL = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(aContext, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* lSelf = lSSL ? static_cast<TqmtIdSSLIOHandlerSocketOpenSSL*>(SSL_get_ex_data(lSSL, HandlerIndex())) : nullptr;
  if (!lSelf || !lSelf->OnVerifyPeer) return aOk;
  return lSelf->OnVerifyPeer(X509_STORE_CTX_get_current_cert(aContext), aOk != 0, X509_STORE_CTX_get_error_depth(aContext),
                             X509_STORE_CTX_get_error(aContext))
             ? 1
             : 0;
}

void TqmtIdSSLIOHandlerSocketOpenSSL::StartSSL(int aSocket, const std::string& aHost, int aTimeoutMs) {
  Close(false);
  ERR_clear_error();
  FContext.reset(SSL_CTX_new(TLS_client_method()));
  if (!FContext) throw EIdOSSLException("Could not load SSL library.");
  // tlsUndefined: 1.0 up to 1.3; a version: exactly that one.
  const int lVersion = ToOpenSSLVersion(FOptions.Version);
  SSL_CTX_set_min_proto_version(FContext.get(), lVersion ? lVersion : TLS1_VERSION);
  SSL_CTX_set_max_proto_version(FContext.get(), lVersion ? lVersion : TLS1_3_VERSION);
  // OpenSSL 3 refuses TLS 1.0 and 1.1 at its default security level; asking for them explicitly
  // lowers it for this connection only.
  if (FOptions.Version == TwsTLSVersions::tls1_0 || FOptions.Version == TwsTLSVersions::tls1_1)
    SSL_CTX_set_cipher_list(FContext.get(), "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_default_passwd_cb(FContext.get(), &PasswordCallback);
  SSL_CTX_set_default_passwd_cb_userdata(FContext.get(), this);
  SSL_CTX_set_mode(FContext.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  if (!FOptions.RootCertFile.empty()) {
    if (SSL_CTX_load_verify_locations(FContext.get(), FOptions.RootCertFile.c_str(), nullptr) != 1) {
      Close(false);
      throw EIdOSSLException("Could not load root certificate.");
    }
  } else if (FOptions.VerifyCertificate) {
    SSL_CTX_set_default_verify_paths(FContext.get());  // the system's store
  }
  if (!FOptions.CertFile.empty() &&
      SSL_CTX_use_certificate_chain_file(FContext.get(), FOptions.CertFile.c_str()) != 1) {
    Close(false);
    throw EIdOSSLException("Could not load certificate.");
  }
  if (!FOptions.KeyFile.empty() &&
      SSL_CTX_use_PrivateKey_file(FContext.get(), FOptions.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    Close(false);
    throw EIdOSSLException("Could not load key, check password.");
  }
  if (FOptions.VerifyCertificate) {
    SSL_CTX_set_verify(FContext.get(), SSL_VERIFY_PEER, &VerifyCallback);
    // 0 or less keeps OpenSSL's own depth: its depth 0 would refuse every chain with an
    // intermediate, and every public server sends one.
    if (FOptions.VerifyDepth > 0) SSL_CTX_set_verify_depth(FContext.get(), FOptions.VerifyDepth);
  } else {
    SSL_CTX_set_verify(FContext.get(), SSL_VERIFY_NONE, nullptr);
  }
  if (!FOptions.ALPNProtocols.empty()) {
    std::string lWire;
    for (const auto& p : FOptions.ALPNProtocols) {
      lWire += static_cast<char>(p.size());
      lWire += p;
    }
    SSL_CTX_set_alpn_protos(FContext.get(), reinterpret_cast<const unsigned char*>(lWire.data()),
                            static_cast<unsigned>(lWire.size()));
  }

  FSSL.reset(SSL_new(FContext.get()));
  if (!FSSL) {
    Close(false);
    throw EIdOSSLException("Could not load SSL library.");
  }
  SSL_set_ex_data(FSSL.get(), HandlerIndex(), this);
  SSL_set_fd(FSSL.get(), aSocket);
  FSocket = aSocket;
  const std::string lName = URIToCheck.empty() ? aHost : ParseURL(URIToCheck).Host.empty() ? URIToCheck
                                                                                            : ParseURL(URIToCheck).Host;
  if (!IsIPAddress(lName)) SSL_set_tlsext_host_name(FSSL.get(), lName.c_str());
  if (FOptions.VerifyCertificate) {
    // The chain alone proves nothing about whom we talk to: the certificate must name the host.
    X509_VERIFY_PARAM* lParam = SSL_get0_param(FSSL.get());
    X509_VERIFY_PARAM_set_hostflags(lParam, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (IsIPAddress(lName))
      X509_VERIFY_PARAM_set1_ip_asc(lParam, lName.c_str());
    else
      X509_VERIFY_PARAM_set1_host(lParam, lName.c_str(), 0);
  }

  const auto lDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs > 0 ? aTimeoutMs : 30000);
  for (;;) {
    const int r = SSL_connect(FSSL.get());
    if (r == 1) return;
    const int lError = SSL_get_error(FSSL.get(), r);
    const auto lLeft = std::chrono::duration_cast<std::chrono::milliseconds>(lDeadline - std::chrono::steady_clock::now()).count();
    if ((lError == SSL_ERROR_WANT_READ || lError == SSL_ERROR_WANT_WRITE) && lLeft > 0) {
      PollSocket(aSocket, lError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, static_cast<int>(lLeft));
      continue;
    }
    std::string lReason = OpenSSLReason();
    if (lReason.empty()) lReason = lLeft <= 0 ? "handshake timed out" : "connection closed during the handshake";
    const long lVerify = SSL_get_verify_result(FSSL.get());
    if (lVerify != X509_V_OK) lReason += " (" + std::string(X509_verify_cert_error_string(lVerify)) + ")";
    Close(false);
    throw EIdOSSLException("Error connecting with SSL.\r\n" + lReason);
  }
}

long TqmtIdSSLIOHandlerSocketOpenSSL::Read(void* aBuffer, std::size_t aLength) {
  std::lock_guard lGuard(FCS);
  if (!FSSL) return -1;
  ERR_clear_error();
  const int r = SSL_read(FSSL.get(), aBuffer, static_cast<int>(std::min<std::size_t>(aLength, 1 << 30)));
  if (r > 0) return r;
  const int lError = SSL_get_error(FSSL.get(), r);
  if (lError == SSL_ERROR_WANT_READ || lError == SSL_ERROR_WANT_WRITE) return 0;
  if (lError == SSL_ERROR_ZERO_RETURN) throw EIdConnClosedGracefully();
  if (lError == SSL_ERROR_SYSCALL) {
    if (errno == 0 || errno == ECONNRESET || errno == EPIPE) throw EIdConnClosedGracefully();
    throw EIdSocketError(errno);
  }
  throw EIdOSSLException("SSL read failed: " + OpenSSLReason());
}

void TqmtIdSSLIOHandlerSocketOpenSSL::Write(const void* aData, std::size_t aLength, int aTimeoutMs,
                                            const std::function<bool(short)>& aWait) {
  const char* p = static_cast<const char*>(aData);
  while (aLength > 0) {
    int lError;
    {
      std::lock_guard lGuard(FCS);
      if (!FSSL) throw EIdNotConnected();
      ERR_clear_error();
      const int r = SSL_write(FSSL.get(), p, static_cast<int>(std::min<std::size_t>(aLength, 1 << 30)));
      if (r > 0) {
        p += r;
        aLength -= static_cast<std::size_t>(r);
        continue;
      }
      lError = SSL_get_error(FSSL.get(), r);
    }
    // Wait for the socket without the lock, so the reading thread can go on meanwhile.
    if (lError == SSL_ERROR_WANT_WRITE || lError == SSL_ERROR_WANT_READ) {
      const short lEvents = lError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
      if (aWait) {
        if (!aWait(lEvents)) throw EIdSocketError(ETIMEDOUT);
      } else if (!PollSocket(FSocket, lEvents, aTimeoutMs > 0 ? aTimeoutMs : -1)) {
        throw EIdSocketError(ETIMEDOUT);
      }
      continue;
    }
    if (lError == SSL_ERROR_SYSCALL || lError == SSL_ERROR_ZERO_RETURN) throw EIdConnClosedGracefully();
    throw EIdOSSLException("SSL write failed: " + OpenSSLReason());
  }
}

bool TqmtIdSSLIOHandlerSocketOpenSSL::Pending() {
  std::lock_guard lGuard(FCS);
  return FSSL && SSL_pending(FSSL.get()) > 0;
}

void TqmtIdSSLIOHandlerSocketOpenSSL::Close(bool aNotifyPeer) {
  std::lock_guard lGuard(FCS);
  // close_notify tells a peer that the stream ended whole rather than being cut.
  if (FSSL && aNotifyPeer) SSL_shutdown(FSSL.get());
  FSSL.reset();
  FContext.reset();
  FSocket = -1;
}

std::string TqmtIdSSLIOHandlerSocketOpenSSL::SelectedALPN() {
  std::lock_guard lGuard(FCS);
  const unsigned char* lData = nullptr;
  unsigned lLength = 0;
  if (FSSL.get()) SSL_get0_alpn_selected(FSSL.get(), &lData, &lLength);
  return lData ? std::string(reinterpret_cast<const char*>(lData), lLength) : std::string();
}

int TqmtIdSSLIOHandlerSocketOpenSSL::ProtocolVersion() {
  std::lock_guard lGuard(FCS);
  return FSSL ? SSL_version(FSSL.get()) : 0;
}

// ---- interceptors -------------------------------------------------------------------------------

long TqmtIdInterceptThrottler::PauseMs(std::size_t aBytes, int aBitsPerSec) {
  if (aBitsPerSec <= 0) return 0;
  return static_cast<long>(static_cast<long long>(aBytes) * 8 * 1000 / aBitsPerSec);
}

void TqmtIdInterceptThrottler::Send(std::string_view aData) {
  if (const long lMs = PauseMs(aData.size(), FBitsPerSec)) std::this_thread::sleep_for(std::chrono::milliseconds(lMs));
}

void TqmtIdInterceptThrottler::Receive(std::string_view aData) {
  if (const long lMs = PauseMs(aData.size(), FBitsPerSec)) std::this_thread::sleep_for(std::chrono::milliseconds(lMs));
}

TqmtIdLogFileBase::TqmtIdLogFileBase(const std::string& aFileName) : FFileName(aFileName) {}

void TqmtIdLogFileBase::SetFileName(const std::string& aFileName) {
  std::lock_guard lGuard(FLock);
  if (FFile.is_open()) throw EIdException("Unable to set Filename while log file is open.");
  FFileName = aFileName;
}

void TqmtIdLogFileBase::Open() {
  std::lock_guard lGuard(FLock);
  if (!FFile.is_open()) FFile.open(FFileName, std::ios::binary | std::ios::app);
}

void TqmtIdLogFileBase::Close() {
  std::lock_guard lGuard(FLock);
  if (FFile.is_open()) FFile.close();
}

void TqmtIdLogFileBase::WriteText(const std::string& aText) {
  std::lock_guard lGuard(FLock);
  if (!FFile.is_open()) FFile.open(FFileName, std::ios::binary | std::ios::app);
  FFile << aText;
  FFile.flush();
}

void TqmtIdLogFileBase::LogStatus(std::string_view aText) { WriteText("Stat " + std::string(aText) + "\r\n"); }

void TqmtIdLogFileBase::LogLine(const char* aKind, std::string_view aData) {
  // The system's short date and long time.
  const std::time_t lNow = std::time(nullptr);
  std::tm lLocal{};
  localtime_r(&lNow, &lLocal);
  char lStamp[64];
  std::strftime(lStamp, sizeof lStamp, "%x %X", &lLocal);
  WriteText(std::string(aKind) + " " + lStamp + ": " + std::string(aData) + "\r\n");
}

// ---- reading thread -----------------------------------------------------------------------------

TqmtTCPReadThread::TqmtTCPReadThread(TqmtIdTCPClient* aClient) : FClient(aClient), FTCPMode(aClient->TCPMode) {
  FDebugName = "TCPRead";
}

TqmtTCPReadThread::~TqmtTCPReadThread() {
  FExecuted = true;  // let the stop take effect
  Terminate();
  WaitFor();
}

void TqmtTCPReadThread::Terminate() {
  if (FTCPMode == TqmtTCPMode::tcpmCommands || FExecuted.load() || !Started()) TqmtIdThread::Terminate();
}

void TqmtTCPReadThread::Run() {
  FExecuted = true;
  if (!Terminated() && FOnReadThread) {
    ExecutingScope lScope(*this);
    FOnReadThread();
  }
  if (!FReadSocket.load()) {
    SleepFor(1);
    return;
  }
  if (!Terminated() && FClient->InputBufferIsEmpty()) {
    FClient->EnterCS();
    try {
      FClient->CheckForDataOnSource(10);
    } catch (...) {
      FClient->LeaveCS();
      throw;
    }
    FClient->LeaveCS();
  }
  if (!Terminated() && !FClient->InputBufferIsEmpty() && FOnReadMessage) {
    ExecutingScope lScope(*this);
    FOnReadMessage();
  }
  if (Terminated()) return;
  // Under the client's lock, like the wait: Disconnect closes the socket under it, so the number
  // cannot be closed (and reused) in the middle of the test.
  FClient->EnterCS();
  try {
    FClient->CheckForDisconnect();
  } catch (...) {
    FClient->LeaveCS();
    throw;
  }
  FClient->LeaveCS();
}

void TqmtTCPReadThread::DoException(const std::exception& aException) {
  if (FClient->FClosing.load()) {
    // Our own disconnect woke the reader: the end of the stream is no failure.
    if (FTCPMode == TqmtTCPMode::tcpmCommands)
      FReadSocket = false;
    else
      TqmtIdThread::Terminate();
    return;
  }
  if (FTCPMode == TqmtTCPMode::tcpmCommands)
    FReadSocket = false;
  else if (!Terminated())
    TqmtIdThread::Terminate();
  if (FOnReadException) {
    ExecutingScope lScope(*this);
    FOnReadException(aException);
  }
}

// ---- TCP client ---------------------------------------------------------------------------------

TqmtIdTCPClient::TqmtIdTCPClient() { FIn.resize(64 * 1024); }

TqmtIdTCPClient::~TqmtIdTCPClient() {
  try {
    Disconnect(false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmtWebSocket: closing a connection failed: %s\n", e.what());
  }
  if (FTCPRead) FreeThread(FTCPRead);
}

TqmtTCPReadThread* TqmtIdTCPClient::ReadThread() {
  if (!FTCPRead) {
    FTCPRead = new TqmtTCPReadThread(this);
    FTCPRead->FOnReadMessage = [this] {
      if (OnRead) OnRead();
    };
    FTCPRead->FOnReadThread = [this] {
      if (OnThread) OnThread();
    };
    FTCPRead->FOnReadException = [this](const std::exception& e) {
      if (OnReadException) OnReadException(e);
    };
  }
  return FTCPRead;
}

void TqmtIdTCPClient::InstallIntercepts() {
  FIntercepts.clear();
  if (Throttle.Enabled) FIntercepts.push_back(std::make_unique<TqmtIdInterceptThrottler>(Throttle.BitsPerSec));
  if (LogFile.Enabled && !LogFile.FileName.empty()) FIntercepts.push_back(std::make_unique<TqmtIdLogFileClient>(LogFile.FileName));
}

void TqmtIdTCPClient::ConnectSocket(const std::string& aHost, int aPort) {
  addrinfo lHints{};
  lHints.ai_family = IPVersion == TwsIPVersion::ipV6 ? AF_INET6 : AF_INET;
  lHints.ai_socktype = SOCK_STREAM;
  addrinfo* lResult = nullptr;
  const std::string lService = std::to_string(aPort);
  const int lError = getaddrinfo(aHost.c_str(), lService.c_str(), &lHints, &lResult);
  if (lError != 0 || !lResult) {
    if (lError == EAI_SYSTEM) throw EIdSocketError(errno);
    throw EIdHostNotFound();
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> lGuard(lResult, &freeaddrinfo);

  int lLastError = ECONNREFUSED;
  bool lTimedOut = false;
  for (addrinfo* a = lResult; a; a = a->ai_next) {
    const int s = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
      lLastError = errno;
      continue;
    }
    bool lBound = BoundPortMin <= 0 && BoundPortMax <= 0;
    for (int p = std::max(1, BoundPortMin); !lBound && p <= std::max(BoundPortMin, BoundPortMax); ++p) {
      sockaddr_storage lLocal{};
      socklen_t lLength;
      if (a->ai_family == AF_INET6) {
        auto* l6 = reinterpret_cast<sockaddr_in6*>(&lLocal);
        l6->sin6_family = AF_INET6;
        l6->sin6_addr = in6addr_any;
        l6->sin6_port = htons(static_cast<std::uint16_t>(p));
        lLength = sizeof(sockaddr_in6);
      } else {
        auto* l4 = reinterpret_cast<sockaddr_in*>(&lLocal);
        l4->sin_family = AF_INET;
        l4->sin_addr.s_addr = htonl(INADDR_ANY);
        l4->sin_port = htons(static_cast<std::uint16_t>(p));
        lLength = sizeof(sockaddr_in);
      }
      lBound = ::bind(s, reinterpret_cast<sockaddr*>(&lLocal), lLength) == 0;
    }
    if (!lBound) {
      lLastError = EADDRINUSE;
      ::close(s);
      continue;
    }
    const int lOne = 1;
    if (!UseNagle) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &lOne, sizeof lOne);
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    {
      // Visible to Abort while the connect waits.
      std::lock_guard lGuard(FSocketLock);
      FConnectingSocket = s;
    }
    auto lForget = [&] {
      std::lock_guard lGuard(FSocketLock);
      FConnectingSocket = -1;
    };
    int r = FAborted ? (errno = ECONNABORTED, -1) : ::connect(s, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      if (!PollSocket(s, POLLOUT, ConnectTimeout > 0 ? ConnectTimeout : -1)) {
        lForget();
        lTimedOut = true;
        ::close(s);
        continue;
      }
      int lSoError = 0;
      socklen_t lLength = sizeof lSoError;
      getsockopt(s, SOL_SOCKET, SO_ERROR, &lSoError, &lLength);
      r = lSoError == 0 && !FAborted ? 0 : -1;
      errno = FAborted ? ECONNABORTED : lSoError;
    }
    if (r != 0) {
      lForget();
      lLastError = errno;
      ::close(s);
      if (FAborted) break;
      continue;
    }
    {
      std::lock_guard lGuard(FSocketLock);
      FConnectingSocket = -1;
      FSocket = s;
    }
    return;
  }
  if (lTimedOut) throw EIdConnectTimeout();
  throw EIdSocketError(lLastError);
}

void TqmtIdTCPClient::ApplySocketOptions() {
  if (Linger >= 0) {
    linger l{1, Linger};
    setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  if (KeepAlive.Enabled) {
    const int lOne = 1;
    const int lIdle = std::max(1, KeepAlive.Time / 1000), lInterval = std::max(1, KeepAlive.Interval / 1000);
    setsockopt(FSocket, SOL_SOCKET, SO_KEEPALIVE, &lOne, sizeof lOne);
    setsockopt(FSocket, IPPROTO_TCP, TCP_KEEPIDLE, &lIdle, sizeof lIdle);
    setsockopt(FSocket, IPPROTO_TCP, TCP_KEEPINTVL, &lInterval, sizeof lInterval);
  }
  sockaddr_storage lLocal{};
  socklen_t lLength = sizeof lLocal;
  if (getsockname(FSocket, reinterpret_cast<sockaddr*>(&lLocal), &lLength) == 0) {
    char lText[INET6_ADDRSTRLEN] = {};
    if (lLocal.ss_family == AF_INET6) {
      auto* l6 = reinterpret_cast<sockaddr_in6*>(&lLocal);
      inet_ntop(AF_INET6, &l6->sin6_addr, lText, sizeof lText);
      FLocalPort = ntohs(l6->sin6_port);
    } else {
      auto* l4 = reinterpret_cast<sockaddr_in*>(&lLocal);
      inet_ntop(AF_INET, &l4->sin_addr, lText, sizeof lText);
      FLocalPort = ntohs(l4->sin_port);
    }
    FLocalIP = lText;
  }
}

void TqmtIdTCPClient::Connect() {
  if (TCPMode == TqmtTCPMode::tcpmDefault && FTCPRead) FreeThread(FTCPRead);
  if (FSocket >= 0) CloseSocket(false);
  FAborted = false;
  FClosing = false;
  FWriteDeadline = 0;
  InputBufferClear();
  InstallIntercepts();
  const bool lProxy = Proxy.Enabled && !Proxy.Host.empty();
  for (int lAttempt = 0;; ++lAttempt) {
    InputBufferClear();  // nothing of an earlier attempt's answer may be read as this one's
    Step(TqmtTCPOperation::opConnect);
    ConnectSocket(lProxy ? Proxy.Host : Host, lProxy ? Proxy.Port : Port);
    FConnected = true;
    try {
      if (lProxy && Proxy.ProxyType == TwsProxy::pxyHTTP) {
        ProxyHTTPConnect();
      } else if (lProxy) {
        ProxySocks();
      }
      break;
    } catch (const EIdConnClosedGracefully&) {
      // The proxy closed after asking for authorisation: connect again and authorise.
      CloseSocket(false);
      if (!FProxyAuthRequired || lAttempt > 0) {
        FProxyAuthRequired = false;
        throw;
      }
    } catch (...) {
      CloseSocket(false);
      FProxyAuthRequired = false;
      throw;
    }
  }
  FProxyAuthRequired = false;
  ApplySocketOptions();
  try {
    if (IOHandler) {
      Step(TqmtTCPOperation::opTLSHandshake);
      IOHandler->StartSSL(FSocket, Host, ReadTimeout);
    }
    if (FAborted) throw EIdSocketError(ECONNABORTED);
  } catch (...) {
    CloseSocket(false);
    throw;
  }
  for (auto& i : FIntercepts) i->Connect();
  if (TCPMode == TqmtTCPMode::tcpmCommands) {
    ReadThread()->FReadSocket = true;
    ReadThread()->Start();
    return;
  }
  try {
    ReadThread()->FReadSocket = true;
    FTCPRead->Start();
  } catch (...) {
    Disconnect(true);
    throw;
  }
}

bool TqmtIdTCPClient::Connected() {
  FCS.Acquire();
  const bool lConnected = FConnected.load() && FSocket >= 0;
  FCS.Release();
  return lConnected;
}

void TqmtIdTCPClient::CloseSocket(bool aNotifyPeer) {
  const bool lWasConnected = FConnected.exchange(false);
  if (IOHandler) IOHandler->Close(aNotifyPeer && lWasConnected);
  std::lock_guard lGuard(FSocketLock);
  if (FSocket >= 0) {
    if (!aNotifyPeer) {
      linger l{1, 0};  // drop without the orderly close
      setsockopt(FSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else {
      ::shutdown(FSocket, SHUT_WR);  // FIN after everything written, close frame included
    }
    ::close(FSocket);
    FSocket = -1;
  }
  if (lWasConnected)
    for (auto& i : FIntercepts) i->Disconnect();
}

void TqmtIdTCPClient::ShutdownSocket(int aHow) {
  std::lock_guard lGuard(FSocketLock);
  if (FSocket >= 0) ::shutdown(FSocket, aHow);
  if (FConnectingSocket >= 0) ::shutdown(FConnectingSocket, SHUT_RDWR);
}

void TqmtIdTCPClient::Abort() {
  FAborted = true;
  ShutdownSocket(SHUT_RDWR);
}

void TqmtIdTCPClient::LimitWrites(int aMs) {
  const long long lNow =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  FWriteDeadline = lNow + std::max(aMs, 1);
}

void TqmtIdTCPClient::Disconnect(bool aNotifyPeer) {
  if (FTCPRead) {
    if (TCPMode == TqmtTCPMode::tcpmCommands) {
      FTCPRead->FReadSocket = false;
    } else if (!FTCPRead->Terminated()) {
      FTCPRead->Terminate();
    }
    // A reader waiting on the socket holds the client's lock: closing the read side wakes it (closing
    // the number would not wake a poll on Linux). Writing stays possible for the orderly close.
    if (!FTCPRead->IsCurrentThread()) {
      FClosing = true;
      ShutdownSocket(SHUT_RD);
    }
  }
  {
    // The reading thread may be inside a read; the client's lock keeps the socket until it is out.
    std::lock_guard lGuard(FCS);
    CloseSocket(aNotifyPeer);
  }
  if (TCPMode == TqmtTCPMode::tcpmDefault && FTCPRead && !FTCPRead->IsCurrentThread()) {
    FTCPRead->Terminate();
    FTCPRead->WaitFor();
  }
  // Unread input goes once the reading thread, which owns the buffer while it runs, is gone.
  if (!FTCPRead || FTCPRead->IsCurrentThread() || TCPMode == TqmtTCPMode::tcpmDefault) InputBufferClear();
}

bool TqmtIdTCPClient::WaitReadable(int aTimeoutMs) {
  if (IOHandler && IOHandler->Pending()) return true;
  return PollSocket(FSocket, POLLIN, aTimeoutMs);
}

long TqmtIdTCPClient::RawRead(char* aBuffer, std::size_t aLength) {
  if (FAborted) throw EIdConnClosedGracefully();
  if (IOHandler && IOHandler->Active()) return IOHandler->Read(aBuffer, aLength);
  for (;;) {
    const ssize_t r = ::recv(FSocket, aBuffer, aLength, 0);
    if (r > 0) return r;
    if (r == 0) throw EIdConnClosedGracefully();
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET || errno == EPIPE) throw EIdConnClosedGracefully();
    throw EIdSocketError(errno);
  }
}

std::size_t TqmtIdTCPClient::CheckForDataOnSource(int aTimeoutMs) {
  // Under the client's lock (re-entrant): Disconnect closes the socket under it.
  std::lock_guard lGuard(FCS);
  if (FSocket < 0 || !FConnected.load()) throw EIdNotConnected();
  if (!WaitReadable(aTimeoutMs)) return 0;
  Step(TqmtTCPOperation::opRead);
  // Room at the end of the buffer: compact first, grow when full.
  if (FInStart > 0 && FInStart == FInEnd) FInStart = FInEnd = 0;
  if (FIn.size() - FInEnd < 16 * 1024) {
    if (FInStart > 0) {
      std::memmove(FIn.data(), FIn.data() + FInStart, FInEnd - FInStart);
      FInEnd -= FInStart;
      FInStart = 0;
    }
    if (FIn.size() - FInEnd < 16 * 1024) FIn.resize(FIn.size() * 2);
  }
  std::size_t lAdded = 0;
  for (;;) {
    const long r = RawRead(FIn.data() + FInEnd, FIn.size() - FInEnd);
    if (r <= 0) break;
    for (auto& i : FIntercepts) i->Receive(std::string_view(FIn.data() + FInEnd, static_cast<std::size_t>(r)));
    FInEnd += static_cast<std::size_t>(r);
    lAdded += static_cast<std::size_t>(r);
    if (FInEnd == FIn.size() || !(IOHandler && IOHandler->Pending())) break;
  }
  FRecBytes += lAdded;
  return lAdded;
}

void TqmtIdTCPClient::Consume(std::size_t n) {
  FInStart += std::min(n, FInEnd - FInStart);
  if (FInStart == FInEnd) FInStart = FInEnd = 0;
}

std::string TqmtIdTCPClient::ReadBytes(std::size_t aLength) {
  const auto lDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReadTimeout > 0 ? ReadTimeout : 0);
  while (InputBufferSize() < aLength) {
    int lWait = -1;
    if (ReadTimeout > 0) {
      lWait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(lDeadline - std::chrono::steady_clock::now()).count());
      if (lWait <= 0) throw EIdReadTimeout();
    }
    CheckForDataOnSource(lWait);
  }
  std::string lData(InputView().substr(0, aLength));
  Consume(aLength);
  return lData;
}

std::string TqmtIdTCPClient::ReadLn(int aTimeoutMs, std::size_t aMaxLength) {
  const auto lDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
  for (;;) {
    const auto lView = InputView();
    const auto lFeed = lView.find('\n');
    if (lFeed != std::string_view::npos) {
      if (lFeed > aMaxLength) throw EIdLineTooLong();
      std::string lLine(lView.substr(0, lFeed));
      Consume(lFeed + 1);
      if (!lLine.empty() && lLine.back() == '\r') lLine.pop_back();
      return lLine;
    }
    if (lView.size() > aMaxLength) throw EIdLineTooLong();
    const auto lWait = std::chrono::duration_cast<std::chrono::milliseconds>(lDeadline - std::chrono::steady_clock::now()).count();
    if (lWait <= 0) throw EIdReadTimeout();
    CheckForDataOnSource(static_cast<int>(std::min<long long>(lWait, 100)));
  }
}

std::string TqmtIdTCPClient::ReadLn() {
  const auto lDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ReadTimeout > 0 ? ReadTimeout : 0);
  for (;;) {
    const auto lView = InputView();
    const auto lFeed = lView.find('\n');
    if (lFeed != std::string_view::npos) {
      std::string lLine(lView.substr(0, lFeed));
      Consume(lFeed + 1);
      if (!lLine.empty() && lLine.back() == '\r') lLine.pop_back();
      return lLine;
    }
    // Zero bytes may also mean a TLS record without data (a session ticket): only the clock decides.
    int lWait = -1;
    if (ReadTimeout > 0) {
      lWait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(lDeadline - std::chrono::steady_clock::now()).count());
      if (lWait <= 0) throw EIdReadTimeout();
    }
    CheckForDataOnSource(lWait);
  }
}

void TqmtIdTCPClient::CheckForDisconnect() {
  if (FSocket < 0 || !FConnected.load()) throw EIdNotConnected();
  if (IOHandler && IOHandler->Active()) return;  // a closed TLS link shows on the next read
  char c;
  const ssize_t r = ::recv(FSocket, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (r == 0) throw EIdConnClosedGracefully();
}

bool TqmtIdTCPClient::WaitWritable(short aEvents) {
  // In slices, so that an abort or a disconnect's limit ends a write the peer does not take.
  using namespace std::chrono;
  const long long lStart = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  for (;;) {
    if (FAborted) throw EIdNotConnected();
    const long long lNow = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    const long long lLimit = FWriteDeadline.load();
    if (lLimit != 0 && lNow >= lLimit) return false;
    if (SendTimeout > 0 && lNow - lStart >= SendTimeout) return false;
    const int lSocket = FSocket.load();
    if (lSocket < 0) throw EIdNotConnected();
    if (PollSocket(lSocket, aEvents, 50)) return true;
  }
}

void TqmtIdTCPClient::RawWrite(std::string_view aData) {
  if (FSocket < 0 || !FConnected.load()) throw EIdNotConnected();
  Step(TqmtTCPOperation::opWrite);
  for (auto& i : FIntercepts) i->Send(aData);
  if (IOHandler && IOHandler->Active()) {
    IOHandler->Write(aData.data(), aData.size(), SendTimeout, [this](short aEvents) { return WaitWritable(aEvents); });
  } else {
    const char* p = aData.data();
    std::size_t n = aData.size();
    while (n > 0) {
      ssize_t r;
      int lError;
      {
        // Never beside a close of the same number (the reading thread may close it any time); the
        // socket does not block, so the lock is held only for the copy into the kernel.
        std::lock_guard lGuard(FSocketLock);
        if (FSocket < 0) throw EIdNotConnected();
        r = ::send(FSocket, p, n, MSG_NOSIGNAL);
        lError = errno;
      }
      errno = lError;
      if (r > 0) {
        p += r;
        n -= static_cast<std::size_t>(r);
      } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitWritable(POLLOUT)) throw EIdSocketError(ETIMEDOUT);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else {
        if (errno == EPIPE || errno == ECONNRESET) throw EIdConnClosedGracefully();
        throw EIdSocketError(errno);
      }
    }
  }
  FSendBytes += aData.size();
}

void TqmtIdTCPClient::Write(std::string_view aData) {
  std::lock_guard lGuard(FWriteLock);
  if (FWriteBuffering) {
    FWriteBuffer.append(aData);
    return;
  }
  RawWrite(aData);
}

void TqmtIdTCPClient::LogText(const char* aKind, std::string_view aText) {
  for (auto& i : FIntercepts)
    if (auto* lLog = dynamic_cast<TqmtIdLogFileBase*>(i.get())) lLog->LogLine(aKind, aText);
}

void TqmtIdTCPClient::WriteBufferOpen() {
  std::lock_guard lGuard(FWriteLock);
  FWriteBuffering = true;
}

void TqmtIdTCPClient::WriteBufferClose() {
  std::lock_guard lGuard(FWriteLock);
  WriteBufferFlush();
  FWriteBuffering = false;
}

void TqmtIdTCPClient::WriteBufferClear() {
  std::lock_guard lGuard(FWriteLock);
  FWriteBuffer.clear();
  FWriteBuffering = false;
}

void TqmtIdTCPClient::WriteBufferFlush() {
  std::lock_guard lGuard(FWriteLock);
  if (FWriteBuffer.empty()) return;
  std::string lData;
  lData.swap(FWriteBuffer);
  RawWrite(lData);
}

// ---- proxies ------------------------------------------------------------------------------------

void TqmtIdTCPClient::ProxyHTTPConnect() {
  for (;;) {
    std::string lRequest = "CONNECT " + Host + ":" + std::to_string(Port) + " HTTP/1.0\r\n";
    if (FProxyAuthRequired)
      lRequest += "Proxy-Authorization: Basic " + Base64EncodeText(Proxy.Username + ":" + Proxy.Password) + "\r\n";
    lRequest += "\r\n";
    RawWrite(lRequest);

    const int lSavedTimeout = ReadTimeout;
    if (ReadTimeout <= 0) ReadTimeout = 30000;
    std::string lStatusLine, lConnection;
    std::size_t lContentLength = 0;
    try {
      lStatusLine = ReadLn();
      for (std::string lLine = ReadLn(); !lLine.empty(); lLine = ReadLn()) {
        const auto lColon = lLine.find(':');
        if (lColon == std::string::npos) continue;
        std::string lName = lLine.substr(0, lColon), lValue = lLine.substr(lColon + 1);
        lValue.erase(0, lValue.find_first_not_of(" \t"));
        if (ContainsText(lName, "content-length") && lName.size() == 14) lContentLength = std::stoul(lValue);
        if ((lName.size() == 16 && ContainsText(lName, "proxy-connection")) || (lName.size() == 10 && ContainsText(lName, "connection")))
          lConnection = lValue;
      }
      if (lContentLength > 0) ReadBytes(lContentLength);
    } catch (...) {
      ReadTimeout = lSavedTimeout;
      throw;
    }
    ReadTimeout = lSavedTimeout;

    int lStatus = 0;
    if (const auto lSpace = lStatusLine.find(' '); lSpace != std::string::npos) lStatus = std::atoi(lStatusLine.c_str() + lSpace + 1);
    if (lStatus == 200) {
      InputBufferClear();
      return;
    }
    if (lStatus == 407 && !FProxyAuthRequired && (!Proxy.Username.empty() || !Proxy.Password.empty())) {
      FProxyAuthRequired = true;
      if (lConnection.size() == 5 && ContainsText(lConnection, "close")) throw EIdConnClosedGracefully();
      continue;  // the same socket, now with authorisation
    }
    throw EIdProxyError(lStatusLine);
  }
}

void TqmtIdTCPClient::ProxySocks() {
  const int lSavedTimeout = ReadTimeout;
  if (ReadTimeout <= 0) ReadTimeout = 30000;
  struct Restore {
    int& FValue;
    int FSaved;
    ~Restore() { FValue = FSaved; }
  } lRestore{ReadTimeout, lSavedTimeout};
  const auto lPort = static_cast<std::uint16_t>(Port);
  std::string lPortBytes{static_cast<char>(lPort >> 8), static_cast<char>(lPort & 0xFF)};

  if (Proxy.ProxyType == TwsProxy::pxySocks4 || Proxy.ProxyType == TwsProxy::pxySocks4A) {
    std::string lRequest = std::string("\x04\x01", 2) + lPortBytes;
    if (Proxy.ProxyType == TwsProxy::pxySocks4) {
      // SOCKS 4 takes an IPv4 address: resolve here.
      addrinfo lHints{};
      lHints.ai_family = AF_INET;
      addrinfo* lResult = nullptr;
      if (getaddrinfo(Host.c_str(), nullptr, &lHints, &lResult) != 0 || !lResult) throw EIdHostNotFound();
      const auto lAddress = reinterpret_cast<sockaddr_in*>(lResult->ai_addr)->sin_addr;
      freeaddrinfo(lResult);
      lRequest.append(reinterpret_cast<const char*>(&lAddress), 4);
      lRequest += Proxy.Username;
      lRequest += '\0';
    } else {
      lRequest += std::string("\0\0\0\x01", 4);
      lRequest += Proxy.Username;
      lRequest += '\0';
      lRequest += Host;
      lRequest += '\0';
    }
    RawWrite(lRequest);
    const std::string lReply = ReadBytes(8);
    if (static_cast<unsigned char>(lReply[1]) != 90)
      throw EIdProxyError("SOCKS4 request rejected or failed (code " + std::to_string(static_cast<unsigned char>(lReply[1])) + ")");
    return;
  }

  // SOCKS 5
  const bool lAuth = !Proxy.Username.empty();
  RawWrite(lAuth ? std::string("\x05\x02\x00\x02", 4) : std::string("\x05\x01\x00", 3));
  const std::string lMethod = ReadBytes(2);
  if (lMethod[0] != 5) throw EIdProxyError("SOCKS5 proxy answered with an unknown version");
  if (static_cast<unsigned char>(lMethod[1]) == 0x02) {
    if (Proxy.Username.size() > 255 || Proxy.Password.size() > 255) throw EIdProxyError("SOCKS5 user name or password too long");
    std::string lLogin = "\x01";
    lLogin += static_cast<char>(Proxy.Username.size());
    lLogin += Proxy.Username;
    lLogin += static_cast<char>(Proxy.Password.size());
    lLogin += Proxy.Password;
    RawWrite(lLogin);
    const std::string lStatus = ReadBytes(2);
    if (lStatus[1] != 0) throw EIdProxyError("SOCKS5 authentication failed");
  } else if (lMethod[1] != 0) {
    throw EIdProxyError("SOCKS5 proxy accepts none of the offered authentication methods");
  }
  if (Host.size() > 255) throw EIdProxyError("SOCKS5 host name too long");
  std::string lRequest = std::string("\x05\x01\x00\x03", 4);
  lRequest += static_cast<char>(Host.size());
  lRequest += Host;
  lRequest += lPortBytes;
  RawWrite(lRequest);
  const std::string lReply = ReadBytes(4);
  if (lReply[1] != 0) throw EIdProxyError("SOCKS5 request failed (code " + std::to_string(static_cast<unsigned char>(lReply[1])) + ")");
  std::size_t lAddressLength = 0;
  switch (lReply[3]) {
    case 1: lAddressLength = 4; break;
    case 4: lAddressLength = 16; break;
    case 3: lAddressLength = static_cast<unsigned char>(ReadBytes(1)[0]); break;
    default: throw EIdProxyError("SOCKS5 proxy answered with an unknown address type");
  }
  ReadBytes(lAddressLength + 2);
}
