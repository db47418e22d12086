// The client connection: the opening handshake of RFC 6455 on top of the framing connection. The
// request is written on the connecting thread; the answer is read on the reading thread, which then
// opens the connection (FEnabled) and raises OnEnabled.
#pragma once

#include <string>
#include <vector>

#include "qmtWebSocket_Classes.h"

struct TqmtWSOptionsClient {
  bool CleanDisconnect = false;
  TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
  std::string Origin;
  bool RaiseDisconnectExceptions = true;
  bool ValidateUTF8 = false;
  // Reading prefixes a "/" when the stored value lacks one, so an empty value reads "/".
  const std::string& Parameters() {
    if (FParameters.empty() || FParameters.front() != '/') FParameters.insert(FParameters.begin(), '/');
    return FParameters;
  }
  void SetParameters(const std::string& aValue) { FParameters = aValue; }
  void Assign(const TqmtWSOptionsClient& aSource) { *this = aSource; }

private:
  std::string FParameters;
};

struct TqmtWSAuthenticationClient_Options {
  bool Enabled = false;
  std::string User;
  std::string Password;
  struct {
    bool Enabled = true;
  } URL;
  struct {
    bool Enabled = false;
    std::string FID, FExtensions, FProtocols;
  } Session;
  struct {
    bool Enabled = false;
  } Basic;
  struct {
    bool Enabled = false;
    std::string AuthName, AuthToken;
  } Token;
  void Assign(const TqmtWSAuthenticationClient_Options& aSource) { *this = aSource; }
};

struct TqmtWSHandShakeClient {
  std::string FProtocols;
  std::string FExtensions;
  bool FRedirect = false;
  std::string FAccept;
  std::string FLocation;
};

class TqmtWSConnectionClient : public TqmtWSConnection_Indy {
public:
  TqmtWSConnectionClient();

  // Attaches the connected TCP client and writes the opening request.
  void DoInitialize(TqmtIdTCPClient* aClient);
  // The request lines (request line first, no CR LF); makes and stores a new key.
  std::vector<std::string> BuildRequest();
  // Parses the answer's header lines; raises as the handshake does.
  static TqmtWSHandShakeClient ParseResponse(const std::vector<std::string>& aLines);
  // base64(SHA-1(aKey + the RFC 6455 GUID)).
  static std::string AcceptKey(const std::string& aKey);
  // 16 bytes drawn from 0..254, base64: 24 characters ending in "==".
  static std::string NewWebSocketKey();
  // Checks a parsed answer and opens the connection (or follows a redirect).
  void DoHandshakeResponse(const TqmtWSHandShakeClient& aHandshake);

  std::string FHost;
  int FPort = 0;
  TqmtWSOptionsClient FOptions;
  TqmtWSAuthenticationClient_Options FAuthentication;
  std::string FKey;
  TqmtWSHandShakeClient FHandshake;
  std::string FProtocolList;  // requested sub-protocols, comma separated
  std::vector<std::string> FHeadersResponse;  // the request lines as written
  std::vector<std::string> FHeadersRequest;   // the answer's lines as read

  // The answer to the opening request must be complete within FHandshakeTimeout ms and
  // FMaxHandshakeSize bytes of header lines.
  int FHandshakeTimeout = 10000;
  std::size_t FMaxHandshakeSize = 16384;
  // True once the handshake's time is over without an accepted answer.
  bool HandshakeExpired() const;

  TqmtWSNotifyEvent FOnEnabled;
  TqmtWSNotifyEvent FOnBeforeDisconnect;
  std::function<void(TqmtWSConnection* Sender, const std::string& aLocation)> FOnRedirect;

protected:
  void DoReadHandshake() override;
  void DoWriteClose(int aCloseCode) override;
  void DoDisconnect(const std::string& aMsg, int aCloseCode) override;

private:
  void BeforeDisconnect();
  std::atomic<bool> FBeforeDisconnect{false};
  std::atomic<long long> FHandshakeDeadline{0};  // steady ms; 0 once answered
};
