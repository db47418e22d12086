#include "qmtHTTP_API.h"

std::string TqmtHTTPAPI_client::DoRequest(const std::string& aMethod, const std::string& aURL, const std::string& aBody,
                                          bool aHasBody, const std::vector<std::string>* aHeaders) {
  try {
    TqmtIdHTTP lHTTP;  // fresh for every request
    lHTTP.TLSOptions.Assign(TLSOptions);
    lHTTP.Proxy.Assign(Proxy);
    lHTTP.Log = FLog;
    lHTTP.LogOptions.FileName = FLogFileName;
    if (aHeaders) lHTTP.CustomHeaders = *aHeaders;
    return lHTTP.Request(aMethod, aURL, aBody, aHasBody);
  } catch (const EIdHTTPProtocolException& e) {
    const EIdHTTPProtocolException lExtended(e.ErrorCode(), std::string(e.what()) + ". " + e.ErrorMessage(), e.ErrorMessage());
    if (!OnHTTPAPIException) throw lExtended;
    OnHTTPAPIException(this, lExtended);
  } catch (const std::exception& e) {
    if (!OnHTTPAPIException) throw;
    OnHTTPAPIException(this, e);
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
