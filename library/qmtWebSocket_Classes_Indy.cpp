#include "qmtWebSocket_Classes_Indy.h"

#include <openssl/sha.h>

#include <chrono>
#include <random>

#include "qmtBase_Helpers.h"
#include "qmtTCP_Client.h"

namespace {

// Case-insensitive "starts with".
bool StartsWithText(const std::string& aText, std::string_view aPrefix) {
  return aText.size() >= aPrefix.size() && ContainsText(std::string_view(aText).substr(0, aPrefix.size()), aPrefix);
}

bool EndsWithText(const std::string& aText, std::string_view aSuffix) {
  return aText.size() >= aSuffix.size() && ContainsText(std::string_view(aText).substr(aText.size() - aSuffix.size()), aSuffix);
}

}  // namespace

TqmtWSConnectionClient::TqmtWSConnectionClient() {
  FCleanDisconnect = false;
  Extensions().SetMode(TwsApplicationMode::appClient);
}

std::string TqmtWSConnectionClient::NewWebSocketKey() {
  std::uint8_t lBytes[16];
  for (int i = 0; i < 16; i += 4) NewMaskKey(lBytes + i);  // 0..254 each, freshly seeded
  return Base64EncodeBytes(lBytes, sizeof lBytes);
}

std::string TqmtWSConnectionClient::AcceptKey(const std::string& aKey) {
  const std::string lText = aKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char lDigest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(lText.data()), lText.size(), lDigest);
  return Base64EncodeBytes(lDigest, sizeof lDigest);
}

std::vector<std::string> TqmtWSConnectionClient::BuildRequest() {
  std::vector<std::string> lLines;
  lLines.push_back("GET " + FOptions.Parameters() + " HTTP/1.1");
  lLines.push_back((FPort == 80 || FPort == 443) ? "Host: " + FHost : "Host: " + FHost + ":" + std::to_string(FPort));
  lLines.push_back("Upgrade: websocket");
  lLines.push_back("Connection: Upgrade");
  FKey = NewWebSocketKey();
  lLines.push_back("Sec-WebSocket-Key: " + FKey);
  lLines.push_back("Origin: " + (FOptions.Origin.empty() ? FHost : FOptions.Origin));
  if (!FProtocolList.empty()) lLines.push_back("Sec-WebSocket-Protocol: " + FProtocolList);
  if (FAuthentication.Enabled) {
    if (FAuthentication.Basic.Enabled)
      lLines.push_back("Authorization: Basic " + Base64EncodeText(FAuthentication.User + ":" + FAuthentication.Password, false));
    if (FAuthentication.Token.Enabled)
      lLines.push_back("Authorization: " + FAuthentication.Token.AuthName + " " + FAuthentication.Token.AuthToken);
  }
  Extensions().WriteHeader(lLines);
  lLines.push_back("Sec-WebSocket-Version: 13");
  return lLines;
}

void TqmtWSConnectionClient::DoInitialize(TqmtIdTCPClient* aClient) {
  Attach(aClient);
  FHost = aClient->Host;
  FPort = aClient->Port;
  FIP = aClient->Host;
  FLocalIP = aClient->LocalIP();
  FLocalPort = aClient->LocalPort();
  FEnabled = false;
  FHandshakeDeadline = static_cast<long long>(GetTicks()) + std::max(FHandshakeTimeout, 1);
  FHeadersResponse = BuildRequest();
  if (FOnHandshake) FOnHandshake(this, FHeadersResponse);
  std::string lRequest;
  for (const auto& lLine : FHeadersResponse) lRequest += lLine + "\r\n";
  lRequest += "\r\n";
  aClient->WriteBufferOpen();
  aClient->Write(lRequest);
  aClient->WriteBufferClose();
}

TqmtWSHandShakeClient TqmtWSConnectionClient::ParseResponse(const std::vector<std::string>& aLines) {
  TqmtWSHandShakeClient lHandshake;
  for (const std::string& lLine : aLines) {
    if (StartsWithText(lLine, "HTTP/")) {
      const std::string lStatus = lLine.size() > 9 ? lLine.substr(9) : std::string();
      if (lStatus.rfind("30", 0) == 0) {
        lHandshake.FRedirect = true;
      } else if (lStatus.find("101") == std::string::npos) {
        throw Exception("Error Decoding Header: Switching Protocols [" + lLine + "]");
      }
      continue;
    }
    if (!lHandshake.FRedirect) {
      if (StartsWithText(lLine, "Upgrade: ")) {
        if (!EndsWithText(lLine, " websocket")) throw TqmtWSException("Error Decoding Header: Upgrade");
      } else if (StartsWithText(lLine, "Connection: ")) {
        if (!ContainsText(lLine.substr(12), "Upgrade")) throw TqmtWSException("Error Decoding Header: Upgrade");
      } else if (StartsWithText(lLine, "Sec-WebSocket-Accept: ")) {
        lHandshake.FAccept = lLine.substr(22);
      } else if (StartsWithText(lLine, "Sec-WebSocket-Protocol: ")) {
        lHandshake.FProtocols = lLine.substr(24);
      } else if (StartsWithText(lLine, "Sec-WebSocket-Extensions: ")) {
        // Several answer lines are one list.
        if (!lHandshake.FExtensions.empty()) lHandshake.FExtensions += ',';
        lHandshake.FExtensions.append(lLine, 26);
      }
    } else if (StartsWithText(lLine, "Location: ")) {
      lHandshake.FLocation = lLine.substr(10);
      break;
    }
  }
  return lHandshake;
}

void TqmtWSConnectionClient::DoHandshakeResponse(const TqmtWSHandShakeClient& aHandshake) {
  FHandshake = aHandshake;
  if (FHandshake.FRedirect && !FHandshake.FLocation.empty()) {
    if (!FOnRedirect) throw TqmtWSException("Redirect to: " + FHandshake.FLocation);
    FOnRedirect(this, FHandshake.FLocation);
    return;
  }
  if (AcceptKey(FKey) != FHandshake.FAccept) throw TqmtWSException("Handshake Error: Invalid Accept Key");
  if (!FProtocolList.empty() || !FHandshake.FProtocols.empty()) {
    bool lFound = false;
    std::size_t lStart = 0;
    for (;;) {
      const auto lComma = FProtocolList.find(',', lStart);
      const std::string lName = FProtocolList.substr(lStart, lComma == std::string::npos ? std::string::npos : lComma - lStart);
      if (lName.size() == FHandshake.FProtocols.size() && ContainsText(lName, FHandshake.FProtocols)) lFound = true;
      if (lComma == std::string::npos) break;
      lStart = lComma + 1;
    }
    if (!lFound) throw TqmtWSException("Protocol not supported " + FHandshake.FProtocols + ".");
  }
  FProtocol = FHandshake.FProtocols;
  Extensions().DecodeExtensions(FHandshake.FExtensions);
  FEnabled = true;
  if (FOnEnabled) FOnEnabled(this);
}

bool TqmtWSConnectionClient::HandshakeExpired() const {
  return !FEnabled && FHandshakeDeadline.load() != 0 && static_cast<long long>(GetTicks()) >= FHandshakeDeadline.load();
}

void TqmtWSConnectionClient::DoReadHandshake() {
  // The answer's header block is bounded in time and size: a peer that stalls or floods it fails
  // the connection instead of holding the reading thread.
  FHeadersRequest.clear();
  std::size_t lTotal = 0;
  for (;;) {
    const long long lLeft = FHandshakeDeadline.load() - static_cast<long long>(GetTicks());
    if (lLeft <= 0) throw TqmtWSException("Handshake Error: no complete answer within " + std::to_string(FHandshakeTimeout) + " ms");
    std::string lLine;
    try {
      lLine = FTCPConnection->ReadLn(static_cast<int>(lLeft), FMaxHandshakeSize - lTotal);
    } catch (const EIdReadTimeout&) {
      throw TqmtWSException("Handshake Error: no complete answer within " + std::to_string(FHandshakeTimeout) + " ms");
    } catch (const EIdLineTooLong&) {
      throw TqmtWSException("Handshake Error: answer header larger than " + std::to_string(FMaxHandshakeSize) + " bytes");
    }
    lTotal += lLine.size() + 2;
    if (lTotal > FMaxHandshakeSize)
      throw TqmtWSException("Handshake Error: answer header larger than " + std::to_string(FMaxHandshakeSize) + " bytes");
    if (lLine.empty()) break;
    FHeadersRequest.push_back(std::move(lLine));
  }
  FHandshakeDeadline = 0;
  DoHandshakeResponse(ParseResponse(FHeadersRequest));
}

void TqmtWSConnectionClient::BeforeDisconnect() {
  if (FBeforeDisconnect.exchange(true)) return;
  if (FOnBeforeDisconnect) FOnBeforeDisconnect(this);
}

void TqmtWSConnectionClient::DoWriteClose(int aCloseCode) {
  BeforeDisconnect();
  TqmtWSConnection_Indy::DoWriteClose(aCloseCode);
}

void TqmtWSConnectionClient::DoDisconnect(const std::string& aMsg, int aCloseCode) {
  BeforeDisconnect();
  TqmtWSConnection_Indy::DoDisconnect(aMsg, aCloseCode);
}
