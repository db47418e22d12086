// TqmtIdHTTP: one HTTP/1.1 request over libcurl with the library's TLS, proxy and log options.
// Each object serves a single request on a fresh connection (nothing is reused); redirects are not
// followed; a status outside 2xx raises EIdHTTPProtocolException with the answer body.
#pragma once

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

  // Performs the request; returns the answer body decoded to UTF-8 by its declared character set.
  // aMethod is GET, POST, PUT, PATCH or DELETE; a body is sent when aHasBody.
  std::string Request(const std::string& aMethod, const std::string& aURL, const std::string& aBody, bool aHasBody);
  // The status line and code of the last answer.
  const std::string& ResponseText() const { return FResponseText; }
  int ResponseCode() const { return FResponseCode; }
  // The header lines of the last answer ("Name: value"), and one value by name (any case; "" when absent).
  const std::vector<std::string>& ResponseHeaders() const { return FResponseHeaders; }
  std::string ResponseHeader(std::string_view aName) const;

private:
  std::string FResponseText;
  int FResponseCode = 0;
  std::vector<std::string> FResponseHeaders;
};
