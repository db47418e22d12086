#include "qmtHTTP_API.h"

std::string TqmtHTTPAPI_client::DoRequestRaw(const std::string& aMethod, const std::string& aURL, const std::string& aBody,
                                             bool aHasBody, const std::vector<std::string>* aHeaders) {
  DoBeforeRequest(aURL);
  TqmtIdHTTP lHTTP;  // fresh for every request
  lHTTP.TLSOptions.Assign(TLSOptions);
  lHTTP.Proxy.Assign(Proxy);
  lHTTP.Log = FLog;
  lHTTP.LogOptions.FileName = FLogFileName;
  lHTTP.ConnectTimeout = ConnectTimeout;
  lHTTP.ReadTimeout = ReadTimeout;
  if (aHeaders) lHTTP.CustomHeaders = *aHeaders;
  std::string lAnswer;
  try {
    lAnswer = lHTTP.Request(aMethod, aURL, aBody, aHasBody);
  } catch (const EIdHTTPProtocolException& e) {
    DoAnswered(aURL, lHTTP);
    throw EIdHTTPProtocolException(e.ErrorCode(), std::string(e.what()) + ". " + e.ErrorMessage(), e.ErrorMessage());
  }
  DoAnswered(aURL, lHTTP);
  return lAnswer;
}

void TqmtHTTPAPI_client::ReportFailure(const std::exception& aException) {
  // Called inside the failure's catch: without a handler the failure goes on to the caller as it is.
  if (!OnHTTPAPIException) throw;
  OnHTTPAPIException(this, aException);
}

std::string TqmtHTTPAPI_client::DoRequest(const std::string& aMethod, const std::string& aURL, const std::string& aBody,
                                          bool aHasBody, const std::vector<std::string>* aHeaders) {
  try {
    return DoRequestRaw(aMethod, aURL, aBody, aHasBody, aHeaders);
  } catch (const std::exception& e) {
    ReportFailure(e);
  }
  return std::string();
}

std::string TqmtHTTPAPI_client::Get(const std::string& aURL, const std::vector<std::string>* aHeaders) {
  return DoRequest("GET", aURL, std::string(), false, aHeaders);
}
std::string TqmtHTTPAPI_client::Post(const std::string& aURL, const std::string& aBody, const std::vector<std::string>* aHeaders) {
  return DoRequest("POST", aURL, aBody, true, aHeaders);
}
std::string TqmtHTTPAPI_client::Put(const std::string& aURL, const std::string& aBody, const std::vector<std::string>* aHeaders) {
  return DoRequest("PUT", aURL, aBody, true, aHeaders);
}
std::string TqmtHTTPAPI_client::Patch(const std::string& aURL, const std::string& aBody, const std::vector<std::string>* aHeaders) {
  return DoRequest("PATCH", aURL, aBody, true, aHeaders);
}
std::string TqmtHTTPAPI_client::Delete(const std::string& aURL, const std::vector<std::string>* aHeaders, const std::string& aBody) {
  return DoRequest("DELETE", aURL, aBody, !aBody.empty(), aHeaders);
}
