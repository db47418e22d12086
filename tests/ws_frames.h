// Frames in memory for the codec tests: decoding what a client wrote, server frames, a recorder of
// the events.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ws_memory_connection.h"

namespace qmt_test {

struct Frame {
  bool fin;
  int opcode;
  std::string payload;
  int rsv = 0;  // the RSV bits, 0x40 RSV1
};

// Decodes the (masked) frames a client wrote.
inline std::vector<Frame> ClientFrames(const std::string& aBytes) {
  std::vector<Frame> lFrames;
  std::size_t i = 0;
  while (i + 2 <= aBytes.size()) {
    const auto b0 = static_cast<std::uint8_t>(aBytes[i]), b1 = static_cast<std::uint8_t>(aBytes[i + 1]);
    i += 2;
    std::uint64_t n = b1 & 0x7F;
    if (n == 126) {
      n = (static_cast<std::uint8_t>(aBytes[i]) << 8) | static_cast<std::uint8_t>(aBytes[i + 1]);
      i += 2;
    } else if (n == 127) {
      n = 0;
      for (int k = 0; k < 8; ++k) n = (n << 8) | static_cast<std::uint8_t>(aBytes[i + k]);
      i += 8;
    }
    EXPECT_TRUE(b1 & 0x80) << "client frames are masked";
    std::uint8_t lKey[4];
    for (int k = 0; k < 4; ++k) lKey[k] = static_cast<std::uint8_t>(aBytes[i + k]);
    i += 4;
    std::string lPayload = aBytes.substr(i, n);
    MaskPayload(lPayload.data(), lPayload.size(), lKey);
    i += n;
    lFrames.push_back({(b0 & 0x80) != 0, b0 & 0x0F, lPayload, b0 & 0x70});
  }
  return lFrames;
}

// An unmasked server frame.
inline std::string ServerFrame(int aFirstByte, const std::string& aPayload) {
  return std::string(1, static_cast<char>(aFirstByte)) + EncodePayloadLength(aPayload.size()) + aPayload;
}

struct Recorder {
  std::vector<std::string> messages;
  std::vector<std::string> binaries;
  std::vector<std::string> fragments;
  void Attach(TqmtWSConnection& c) {
    c.FOnMessage = [this](TqmtWSConnection*, std::string_view t) { messages.emplace_back(t); };
    c.FOnBinary = [this](TqmtWSConnection*, std::string_view d) { binaries.emplace_back(d); };
    c.FOnFragmented = [this](TqmtWSConnection*, std::string_view d, TOpcode, bool more) {
      fragments.push_back(std::string(d) + (more ? "+" : "."));
    };
  }
};

// Feeds bytes; returns the error raised ("" when none).
inline std::string FeedError(TqmtWSConnectionMemory& c, const std::string& aBytes) {
  try {
    c.Feed(aBytes);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

inline int CloseCodeSent(const TqmtWSConnectionMemory& c) {
  for (const auto& f : ClientFrames(c.Output))
    if (f.opcode == 0x8 && f.payload.size() == 2)
      return (static_cast<std::uint8_t>(f.payload[0]) << 8) | static_cast<std::uint8_t>(f.payload[1]);
  return -1;
}

}  // namespace qmt_test
