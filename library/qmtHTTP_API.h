// TqmtHTTPAPI_client: the base of the REST wrappers. Every call makes one request with a fresh
// TqmtIdHTTP (on a kept connection of the host) and returns the answer body; an HTTP error's message is extended with ". " and the
// answer, and goes to OnHTTPAPIException when assigned (the result then stays empty).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "qmtHTTP_Client.h"

using TqmtHTTPAPIExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;

class TqmtHTTPAPI_client : public TObject {
public:
  TqmtHTTPAPI_client() { TLSOptions.Version = TwsTLSVersions::tls1_2; }

  std::string Get(const std::string& aURL, const std::vector<std::string>* aHeaders = nullptr);
  std::string Post(const std::string& aURL, const std::string& aBody, const std::vector<std::string>* aHeaders = nullptr);
  std::string Put(const std::string& aURL, const std::string& aBody, const std::vector<std::string>* aHeaders = nullptr);
  std::string Patch(const std::string& aURL, const std::string& aBody, const std::vector<std::string>* aHeaders = nullptr);
  // A body only when aBody is not empty.
  std::string Delete(const std::string& aURL, const std::vector<std::string>* aHeaders = nullptr,
                     const std::string& aBody = std::string());

  TqmtIdHTTPTLS_Options TLSOptions;
  TqmtHTTPProxy_Options Proxy;
  TqmtHTTPAPIExceptionEvent OnHTTPAPIException;
  // Of every request (ms): to open a connection, and for the whole request.
  int ConnectTimeout = 30000;
  int ReadTimeout = 60000;

protected:
  virtual std::string DoRequest(const std::string& aMethod, const std::string& aURL, const std::string& aBody,
                                bool aHasBody, const std::vector<std::string>* aHeaders);
  // The request itself: raises every failure (an HTTP error extended with ". " and the answer).
  std::string DoRequestRaw(const std::string& aMethod, const std::string& aURL, const std::string& aBody, bool aHasBody,
                           const std::vector<std::string>* aHeaders);
  // Inside a failure's catch: hands it to OnHTTPAPIException, or raises it again without one.
  void ReportFailure(const std::exception& aException);
  // Before each request; what it raises fails the request (nothing is sent).
  virtual void DoBeforeRequest(const std::string& aURL) {}
  // After each answer, a success or an HTTP error, with the answer's status and headers.
  virtual void DoAnswered(const std::string& aURL, const TqmtIdHTTP& aHTTP) {}
  bool FLog = false;
  std::string FLogFileName;
};
