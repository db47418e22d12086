// The server side of a WebSocket for tests: accepts the handshake on a scripted server's socket,
// then reads client frames and answers as told.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "qmtWebSocket_Classes_Indy.h"
#include "test_peers.h"

namespace qmt_test {

inline std::string WsServerFrame(int aFirstByte, const std::string& aPayload) {
  return std::string(1, static_cast<char>(aFirstByte)) + EncodePayloadLength(aPayload.size()) + aPayload;
}

// Completes the opening handshake (aExtraLines: more answer lines, each ending in CR LF); returns
// the request head.
inline std::string WsAccept(int s, const std::string& aExtraLines = "") {
  const std::string lHead = RecvHead(s);
  const auto lAt = lHead.find("Sec-WebSocket-Key: ");
  if (lAt == std::string::npos) return lHead;
  const auto lStart = lAt + 19;
  const std::string lKey = lHead.substr(lStart, lHead.find("\r\n", lStart) - lStart);
  SendAll(s, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
                 TqmtWSConnectionClient::AcceptKey(lKey) + "\r\n" + aExtraLines + "\r\n");
  return lHead;
}

// One masked client frame: opcode (-1 when the peer closed) and payload; aFirstByte gets the
// frame's first byte (FIN, RSV bits, opcode).
inline std::pair<int, std::string> WsReadClientFrame(int s, int aTimeoutMs = 5000, int* aFirstByte = nullptr) {
  pollfd p{s, POLLIN, 0};
  if (::poll(&p, 1, aTimeoutMs) <= 0) return {-2, ""};
  const std::string h = RecvExactly(s, 2);
  if (h.size() < 2) return {-1, ""};
  std::uint64_t n = static_cast<std::uint8_t>(h[1]) & 0x7F;
  if (n == 126) {
    const std::string e = RecvExactly(s, 2);
    n = (static_cast<std::uint8_t>(e[0]) << 8) | static_cast<std::uint8_t>(e[1]);
  } else if (n == 127) {
    const std::string e = RecvExactly(s, 8);
    n = 0;
    for (char c : e) n = (n << 8) | static_cast<std::uint8_t>(c);
  }
  const std::string k = RecvExactly(s, 4);
  std::string lPayload = RecvExactly(s, n);
  const std::uint8_t lKey[4] = {static_cast<std::uint8_t>(k[0]), static_cast<std::uint8_t>(k[1]),
                                static_cast<std::uint8_t>(k[2]), static_cast<std::uint8_t>(k[3])};
  MaskPayload(lPayload.data(), lPayload.size(), lKey);
  if (aFirstByte) *aFirstByte = static_cast<std::uint8_t>(h[0]);
  return {static_cast<std::uint8_t>(h[0]) & 0x0F, lPayload};
}

// Serves one connection: answers pings when aAnswerPings, echoes texts, answers a close, and calls
// aOnFrame for every frame (return false to end the connection). Ends when the client goes or after
// aLifetimeMs.
inline void WsServe(int s, bool aAnswerPings, const std::function<bool(int, const std::string&)>& aOnFrame,
                    int aLifetimeMs = 10000) {
  WsAccept(s);
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aLifetimeMs);
  while (std::chrono::steady_clock::now() < lEnd) {
    const auto [lOp, lPayload] = WsReadClientFrame(s, 50);
    if (lOp == -2) continue;
    if (lOp == -1) return;
    if (aOnFrame && !aOnFrame(lOp, lPayload)) return;
    if (lOp == 0x9 && aAnswerPings) SendAll(s, WsServerFrame(0x8A, lPayload));
    if (lOp == 0x1) SendAll(s, WsServerFrame(0x81, lPayload));
    if (lOp == 0x8) {
      SendAll(s, WsServerFrame(0x88, lPayload));
      return;
    }
  }
}

}  // namespace qmt_test
