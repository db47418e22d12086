#include "qmtHTTP_Client.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "qmtBase_Helpers.h"

namespace {

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

void GlobalInit() {
  static std::once_flag sOnce;
  std::call_once(sOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Idle handles per host, each with the connections it keeps. A handle is taken by one request at a
// time, so libcurl never sees one handle on two threads.
class HandlePool {
public:
  static HandlePool& Instance() {
    static HandlePool sPool;
    return sPool;
  }
  CURL* Take(const std::string& aHost) {
    {
      std::lock_guard g(FLock);
      auto& lIdle = FIdle[aHost];
      if (!lIdle.empty()) {
        CURL* c = lIdle.back();
        lIdle.pop_back();
        return c;
      }
    }
    return curl_easy_init();
  }
  void Give(const std::string& aHost, CURL* aHandle) {
    {
      std::lock_guard g(FLock);
      auto& lIdle = FIdle[aHost];
      if (lIdle.size() < kMaxIdle) {
        lIdle.push_back(aHandle);
        return;
      }
    }
    curl_easy_cleanup(aHandle);
  }
  void Clear() {
    std::map<std::string, std::vector<CURL*>> lIdle;
    {
      std::lock_guard g(FLock);
      lIdle.swap(FIdle);
    }
    for (auto& [lHost, lHandles] : lIdle)
      for (CURL* c : lHandles) curl_easy_cleanup(c);
  }
  ~HandlePool() { Clear(); }
  std::atomic<std::uint64_t> Opened{0};

private:
  static constexpr std::size_t kMaxIdle = 4;
  std::mutex FLock;
  std::map<std::string, std::vector<CURL*>> FIdle;
};

// "scheme://host:port" of an address: the pool's key.
std::string HostKey(const std::string& aURL) {
  const auto lScheme = aURL.find("://");
  const auto lStart = lScheme == std::string::npos ? 0 : lScheme + 3;
  return aURL.substr(0, aURL.find_first_of("/?", lStart));
}

// What one request has done on the wire: whether its head went out, and whether libcurl tried to
// send it again on another connection (refused for requests that must not be repeated).
struct WireState {
  bool Once = false;       // the request must not be repeated
  bool HeadSent = false;
  bool RepeatRefused = false;
  int Connections = 0;
};

int OnDebug(CURL*, curl_infotype aType, char*, size_t, void* aUser) {
  if (aType == CURLINFO_HEADER_OUT) static_cast<WireState*>(aUser)->HeadSent = true;
  return 0;
}

int OnSocket(void* aUser, curl_socket_t aSocket, curlsocktype aPurpose) {
  auto* lState = static_cast<WireState*>(aUser);
  if (aPurpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
  if (lState->Once && lState->HeadSent) {
    lState->RepeatRefused = true;  // a silent second send of an order: never
    return CURL_SOCKOPT_ERROR;
  }
  ++lState->Connections;
  const int lOne = 1;
  setsockopt(aSocket, IPPROTO_TCP, TCP_NODELAY, &lOne, sizeof lOne);
  return CURL_SOCKOPT_OK;
}

struct Answer {
  std::string Body;
  std::string StatusLine;
  std::string ContentType;
  std::vector<std::string> Headers;  // of the final answer, without the status line
};

size_t OnBody(char* aData, size_t aSize, size_t aCount, void* aUser) {
  static_cast<Answer*>(aUser)->Body.append(aData, aSize * aCount);
  return aSize * aCount;
}

size_t OnHeader(char* aData, size_t aSize, size_t aCount, void* aUser) {
  auto* lAnswer = static_cast<Answer*>(aUser);
  std::string lLine(aData, aSize * aCount);
  while (!lLine.empty() && (lLine.back() == '\r' || lLine.back() == '\n')) lLine.pop_back();
  if (lLine.rfind("HTTP/", 0) == 0) {
    lAnswer->StatusLine = lLine;  // the last status line wins (after a 100 Continue)
    lAnswer->ContentType.clear();
    lAnswer->Headers.clear();
    return aSize * aCount;
  }
  if (!lLine.empty()) lAnswer->Headers.push_back(lLine);
  if (lLine.size() > 13 && ContainsText(lLine.substr(0, 13), "content-type:")) {
    lAnswer->ContentType = lLine.substr(13);
  }
  return aSize * aCount;
}

// The body as UTF-8: Latin-1 answers are converted; UTF-8 and unlabelled ones are kept.
std::string DecodeBody(const std::string& aBody, const std::string& aContentType) {
  if (!(ContainsText(aContentType, "charset=iso-8859-1") || ContainsText(aContentType, "charset=latin1") ||
        ContainsText(aContentType, "charset=windows-1252")))
    return aBody;
  std::string lText;
  lText.reserve(aBody.size());
  for (unsigned char c : aBody) {
    if (c < 0x80) {
      lText += static_cast<char>(c);
    } else {
      lText += static_cast<char>(0xC0 | (c >> 6));
      lText += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return lText;
}

long SSLVersion(TwsTLSVersions aVersion) {
  switch (aVersion) {
    case TwsTLSVersions::tls1_0: return static_cast<long>(CURL_SSLVERSION_TLSv1_0) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_0);
    case TwsTLSVersions::tls1_1: return static_cast<long>(CURL_SSLVERSION_TLSv1_1) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_1);
    case TwsTLSVersions::tls1_2: return static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2);
    case TwsTLSVersions::tls1_3: return static_cast<long>(CURL_SSLVERSION_TLSv1_3) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_3);
    case TwsTLSVersions::tlsUndefined: break;
  }
  return static_cast<long>(CURL_SSLVERSION_TLSv1_0) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_3);
}

}  // namespace

std::string TqmtIdHTTP::Request(const std::string& aMethod, const std::string& aURL, const std::string& aBody,
                                bool aHasBody) {
  GlobalInit();
  const std::string lHost = HostKey(aURL);
  HandlePool& lPool = HandlePool::Instance();
  // Declared before the lease: a handle's clean-up may still call the hooks that point at them.
  Answer lAnswer;
  WireState lWire;
  lWire.Once = aMethod != "GET";
  char lError[CURL_ERROR_SIZE] = {};
  // Given back to the pool when done (a handle whose request failed keeps nothing worth reusing:
  // libcurl closes a connection it cannot trust).
  struct Lease {
    HandlePool& Pool;
    const std::string& Host;
    CURL* Handle;
    bool Keep;
    ~Lease() {
      if (!Handle) return;
      if (Keep) {
        curl_easy_reset(Handle);  // no pointer into this request's frame stays in a pooled handle
        Pool.Give(Host, Handle);
      } else {
        curl_easy_cleanup(Handle);
      }
    }
  } lLease{lPool, lHost, KeepAlive ? lPool.Take(lHost) : curl_easy_init(), KeepAlive};
  if (!lLease.Handle) throw EIdException("Could not start an HTTP request");
  CURL* c = lLease.Handle;

  curl_easy_setopt(c, CURLOPT_URL, aURL.c_str());
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, lError);
  curl_easy_setopt(c, CURLOPT_USERAGENT, UserAgent());
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  if (!KeepAlive) {
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  }
  curl_easy_setopt(c, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(c, CURLOPT_SOCKOPTFUNCTION, &OnSocket);
  curl_easy_setopt(c, CURLOPT_SOCKOPTDATA, &lWire);
  // The debug hook sees the request head leave (it is called only with VERBOSE on; nothing is printed).
  curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &OnDebug);
  curl_easy_setopt(c, CURLOPT_DEBUGDATA, &lWire);
  curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ConnectTimeout));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(ReadTimeout));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &lAnswer);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &lAnswer);

  // The caller's header lines as given; no content type and no "Expect" of our own.
  std::unique_ptr<curl_slist, SlistDeleter> lHeaders;
  auto lAdd = [&lHeaders](const std::string& aLine) { lHeaders.reset(curl_slist_append(lHeaders.release(), aLine.c_str())); };
  for (const auto& h : CustomHeaders) lAdd(h);
  lAdd("Content-Type:");
  lAdd("Expect:");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, lHeaders.get());

  if (aMethod == "GET") {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, aMethod.c_str());
    if (aHasBody) {
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, aBody.data());
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(aBody.size()));
    }
  }

  if (ContainsText(aURL.substr(0, 5), "https")) {
    curl_easy_setopt(c, CURLOPT_SSLVERSION, SSLVersion(TLSOptions.Version));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, TLSOptions.VerifyCertificate ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, TLSOptions.VerifyCertificate ? 2L : 0L);
    if (!TLSOptions.RootCertFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, TLSOptions.RootCertFile.c_str());
    if (!TLSOptions.CertFile.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, TLSOptions.CertFile.c_str());
    if (!TLSOptions.KeyFile.empty()) curl_easy_setopt(c, CURLOPT_SSLKEY, TLSOptions.KeyFile.c_str());
    if (!TLSOptions.Password.empty()) curl_easy_setopt(c, CURLOPT_KEYPASSWD, TLSOptions.Password.c_str());
    curl_easy_setopt(c, CURLOPT_SSL_ENABLE_ALPN, TLSOptions.ALPNProtocols.empty() ? 0L : 1L);
  }
  if (Proxy.Enabled && !Proxy.Host.empty()) {
    const char* lScheme = "http://";
    switch (Proxy.ProxyType) {
      case TwsProxy::pxyHTTP: lScheme = "http://"; break;
      case TwsProxy::pxySocks4: lScheme = "socks4://"; break;
      case TwsProxy::pxySocks4A: lScheme = "socks4a://"; break;
      case TwsProxy::pxySocks5: lScheme = "socks5h://"; break;
    }
    const std::string lProxy = lScheme + Proxy.Host + ":" + std::to_string(Proxy.Port);
    curl_easy_setopt(c, CURLOPT_PROXY, lProxy.c_str());
    // Through an HTTP proxy every request goes through a CONNECT tunnel, as for the sockets.
    if (Proxy.ProxyType == TwsProxy::pxyHTTP) curl_easy_setopt(c, CURLOPT_HTTPPROXYTUNNEL, 1L);
    if (!Proxy.Username.empty()) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, Proxy.Username.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, Proxy.Password.c_str());
    }
  }

  const CURLcode lResult = curl_easy_perform(c);
  long lCode = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &lCode);
  FNewConnection = lWire.Connections > 0;
  if (lWire.Connections > 0) lPool.Opened += static_cast<std::uint64_t>(lWire.Connections);
  FResponseCode = static_cast<int>(lCode);
  FResponseText = lAnswer.StatusLine;
  FResponseHeaders = lAnswer.Headers;

  if (Log && !LogOptions.FileName.empty()) {
    TqmtIdLogFileClient lLog(LogOptions.FileName);
    lLog.Send(aMethod + " " + aURL + (aHasBody ? "\r\n\r\n" + aBody : std::string()));
    // The exchange's weight and order counters travel in headers: the log shows them with the answer.
    std::string lHead = lAnswer.StatusLine;
    for (const auto& h : lAnswer.Headers)
      if (ContainsText(h.substr(0, 6), "x-mbx-") || ContainsText(h.substr(0, 12), "retry-after:")) lHead += "\r\n" + h;
    lLog.Receive(lHead + "\r\n\r\n" + lAnswer.Body);
  }
  if (lResult != CURLE_OK) {
    switch (lResult) {
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
        throw EIdHostNotFound();
      case CURLE_OPERATION_TIMEDOUT:
        // Before the request went out it is plainly not sent; after, its outcome is unknown.
        if (!lWire.HeadSent) throw EIdConnectTimeout();
        throw EIdReadTimeout();
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CACERT_BADFILE:
        throw EIdOSSLException(std::string("Error connecting with SSL.\r\n") + (lError[0] ? lError : curl_easy_strerror(lResult)));
      default: {
        const std::string lWhy = lError[0] ? lError : curl_easy_strerror(lResult);
        if (lWire.RepeatRefused)
          throw EIdRequestUnanswered("the connection closed after the request was sent, with no answer (not sent again)");
        if (lWire.HeadSent) throw EIdRequestUnanswered("no answer after the request was sent: " + lWhy);
        throw EIdException(lWhy);
      }
    }
  }
  const std::string lText = DecodeBody(lAnswer.Body, lAnswer.ContentType);
  if (lCode < 200 || lCode > 299) throw EIdHTTPProtocolException(FResponseCode, lAnswer.StatusLine, lText);
  return lText;
}

std::uint64_t TqmtIdHTTP::ConnectionsOpened() { return HandlePool::Instance().Opened.load(); }

void TqmtIdHTTP::CloseKeptConnections() { HandlePool::Instance().Clear(); }

std::string TqmtIdHTTP::ResponseHeader(std::string_view aName) const {
  for (const auto& h : FResponseHeaders) {
    const auto lColon = h.find(':');
    if (lColon != aName.size() || !ContainsText(std::string_view(h).substr(0, lColon), aName)) continue;
    std::string lValue = h.substr(lColon + 1);
    lValue.erase(0, lValue.find_first_not_of(" \t"));
    return lValue;
  }
  return std::string();
}
