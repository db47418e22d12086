// TqmtIdHTTP: one HTTP/1.1 request over libcurl with the library's TLS, proxy and log options.
// Redirects are not followed; a status outside 2xx raises EIdHTTPProtocolException with the answer
// body.
//
// Kept connections. Connections are kept alive and reused by every later request to the same
// host, from any thread: a process-wide pool holds idle libcurl handles (each with the connections
// it opened) per "scheme://host:port"; a request takes one for itself and gives it back when done,
// so no handle is ever driven by two threads. Concurrent requests to one host each get a handle (and
// a connection) of their own. Sockets have TCP_NODELAY.
//
// A request that is not idempotent (anything but GET) is never sent twice: libcurl would silently
// repeat a request on a fresh connection when a reused one died before any answer byte came, and
// the server may have carried out the first one. Such a repeat is refused here, and the request
// fails with EIdRequestUnanswered, which says the outcome is unknown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qmtSocket_Classes.h"
#include "qmtTCP_Client.h"

// An HTTP status outside 2xx: the message is the status line, ErrorMessage the answer body.
class EIdHTTPProtocolException : public EIdException {
public:
  EIdHTTPProtocolException(int aCode, const std::string& aMessage, const std::string& aErrorMessage)
      : EIdException(aMessage), FErrorCode(aCode), FErrorMessage(aErrorMessage) {}
  int ErrorCode() const { return FErrorCode; }
  const std::string& ErrorMessage() const { return FErrorMessage; }

private:
  int FErrorCode;
  std::string FErrorMessage;
};

// The request may have reached the server, but no complete answer came back (the connection was
// closed or reset after the request was written): whether it was carried out is unknown.
class EIdRequestUnanswered : public EIdException {
public:
  using EIdException::EIdException;
};

using TqmtIdHTTPTLS_Options = TqmtTCPTLS_Options;
using TqmtHTTPProxy_Options = TqmtSocketProxy_Options;

class TqmtIdHTTP {
public:
  static const char* UserAgent() { return "Mozilla/5.0 (qmtWebSockets 2022.2.0)"; }
  static const char* Version() { return "2022.2.0"; }

  TqmtIdHTTPTLS_Options TLSOptions;
  TqmtHTTPProxy_Options Proxy;
  bool Log = false;
  struct {
    std::string FileName;
  } LogOptions;
  std::vector<std::string> CustomHeaders;  // written as given: "Name: value"
  int ConnectTimeout = 30000;              // ms
  int ReadTimeout = 60000;                 // ms for the whole request
  // false: a connection of its own, closed after the answer (nothing kept or reused).
  bool KeepAlive = true;

  // Performs the request; returns the answer body decoded to UTF-8 by its declared character set.
  // aMethod is GET, POST, PUT, PATCH or DELETE; a body is sent when aHasBody.
  std::string Request(const std::string& aMethod, const std::string& aURL, const std::string& aBody, bool aHasBody);
  // The status line and code of the last answer.
  const std::string& ResponseText() const { return FResponseText; }
  int ResponseCode() const { return FResponseCode; }
  // The header lines of the last answer ("Name: value"), and one value by name (any case; "" when absent).
  const std::vector<std::string>& ResponseHeaders() const { return FResponseHeaders; }
  std::string ResponseHeader(std::string_view aName) const;
  // Whether the last request opened a connection of its own (false: it reused a kept one).
  bool NewConnection() const { return FNewConnection; }

  // Connections opened by every request of the process so far (measurements and tests).
  static std::uint64_t ConnectionsOpened();
  // Closes every kept connection (tests; a program that forked).
  static void CloseKeptConnections();

private:
  std::string FResponseText;
  int FResponseCode = 0;
  std::vector<std::string> FResponseHeaders;
  bool FNewConnection = false;
};
