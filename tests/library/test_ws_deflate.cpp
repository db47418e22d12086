// The compression extensions: offer, answer, and the codec with compressed frames, checked against
// RFC 7692's examples and a plain zlib inflater standing in for the peer.
#include <gtest/gtest.h>
#include <zlib.h>

#include <thread>

#include "qmtWebSocket_Classes_Indy.h"
#include "qmtWebSocket_Client.h"
#include "ws_frames.h"

using namespace qmt_test;

namespace {

std::string Hex(std::string_view aHex) {
  std::string lBytes;
  for (std::size_t i = 0; i + 1 < aHex.size(); i += 3) lBytes += static_cast<char>(std::stoi(std::string(aHex.substr(i, 2)), nullptr, 16));
  return lBytes;
}

// A connection that negotiated what aAnswer says.
std::unique_ptr<TqmtWSConnectionMemory> Negotiated(const std::string& aAnswer, bool aPerMessage = true,
                                                   bool aFrame = false) {
  auto c = std::make_unique<TqmtWSConnectionMemory>();
  auto& e = c->Extensions();
  e.SetMode(TwsApplicationMode::appClient);
  e.PerMessage_Deflate().SetEnabled(aPerMessage);
  e.DeflateFrame().SetEnabled(aFrame);
  e.DecodeExtensions(aAnswer);
  return c;
}

// The peer's side with zlib alone: raw deflate, sync flush, trailer removed (RFC 7692 7.2.1).
class PeerDeflate {
public:
  explicit PeerDeflate(int aLevel = Z_DEFAULT_COMPRESSION) { deflateInit2(&z, aLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY); }
  ~PeerDeflate() { deflateEnd(&z); }
  std::string Message(const std::string& aText, bool aEnd = true) {
    std::string lOut(aText.size() + 64 + aText.size() / 100, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aText.data()));
    z.avail_in = static_cast<uInt>(aText.size());
    z.next_out = reinterpret_cast<Bytef*>(lOut.data());
    z.avail_out = static_cast<uInt>(lOut.size());
    EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
    lOut.resize(lOut.size() - z.avail_out);
    if (aEnd) lOut.resize(lOut.size() - 4);
    return lOut;
  }
  z_stream z{};
};

// The peer's inflater: the message's payload with 00 00 FF FF appended.
class PeerInflate {
public:
  PeerInflate() { inflateInit2(&z, -15); }
  ~PeerInflate() { inflateEnd(&z); }
  std::string Message(std::string aPayload) {
    aPayload.append("\x00\x00\xFF\xFF", 4);
    std::string lOut(256u << 10, '\0');  // the tests' messages are smaller
    z.next_in = reinterpret_cast<Bytef*>(aPayload.data());
    z.avail_in = static_cast<uInt>(aPayload.size());
    z.next_out = reinterpret_cast<Bytef*>(lOut.data());
    z.avail_out = static_cast<uInt>(lOut.size());
    const int r = inflate(&z, Z_SYNC_FLUSH);
    EXPECT_TRUE(r == Z_OK || r == Z_BUF_ERROR) << r;
    EXPECT_EQ(z.avail_in, 0u);
    lOut.resize(lOut.size() - z.avail_out);
    return lOut;
  }
  z_stream z{};
};

struct Message {
  int opcode;
  int rsv;      // of the first frame
  int frames;
  std::string payload;  // joined
};

// The client's frames grouped into messages; control frames left out.
std::vector<Message> ClientMessages(const std::string& aBytes) {
  std::vector<Message> lMessages;
  bool lOpen = false;
  for (const auto& f : ClientFrames(aBytes)) {
    if (f.opcode >= 0x8) continue;
    if (!lOpen) {
      lMessages.push_back({f.opcode, f.rsv, 0, ""});
    } else {
      EXPECT_EQ(f.opcode, 0) << "continuation";
      EXPECT_EQ(f.rsv, 0) << "RSV1 only on a message's first frame";
    }
    lMessages.back().frames++;
    lMessages.back().payload += f.payload;
    lOpen = !f.fin;
  }
  EXPECT_FALSE(lOpen) << "every message ended";
  return lMessages;
}

}  // namespace

TEST(WebSocketDeflate, OfferLines) {
  struct Case {
    const char* name;
    std::function<void(TqmtWSExtensions&)> set;
    std::vector<std::string> lines;
  };
  const std::string p = "Sec-WebSocket-Extensions: ";
  const Case lCases[] = {
      {"nothing enabled", [](TqmtWSExtensions&) {}, {}},
      {"defaults", [](TqmtWSExtensions& e) { e.PerMessage_Deflate().SetEnabled(true); },
       {p + "permessage-deflate; client_max_window_bits"}},
      {"every parameter",
       [](TqmtWSExtensions& e) {
         auto& d = e.PerMessage_Deflate();
         d.SetEnabled(true);
         d.SetClientMaxWindowBits(10);
         d.SetClientNoContextTakeOver(true);
         d.SetServerMaxWindowBits(12);
         d.SetServerNoContextTakeOver(true);
       },
       {p + "permessage-deflate; client_max_window_bits=10;client_no_context_takeover;server_max_window_bits=12;"
            "server_no_context_takeover"}},
      {"server window only",
       [](TqmtWSExtensions& e) {
         e.PerMessage_Deflate().SetEnabled(true);
         e.PerMessage_Deflate().SetServerMaxWindowBits(9);
       },
       {p + "permessage-deflate; client_max_window_bits;server_max_window_bits=9"}},
      {"deflate-frame", [](TqmtWSExtensions& e) { e.DeflateFrame().SetEnabled(true); }, {p + "x-webkit-deflate-frame"}},
      {"both, permessage-deflate first",
       [](TqmtWSExtensions& e) {
         e.DeflateFrame().SetEnabled(true);
         e.PerMessage_Deflate().SetEnabled(true);
       },
       {p + "permessage-deflate; client_max_window_bits", p + "x-webkit-deflate-frame"}},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    // Through the component's list, copied to the connection as the component does.
    TqmtWSClient lComponent;
    c.set(*lComponent.Extensions);
    TqmtWSConnectionClient lConnection;
    lConnection.SetExtensions(lComponent.Extensions->Clone());
    lConnection.FHost = "example.org";
    lConnection.FPort = 443;
    const auto lRequest = lConnection.BuildRequest();
    ASSERT_GE(lRequest.size(), 7u);
    const std::vector<std::string> lLines(lRequest.begin() + 6, lRequest.end() - 1);
    EXPECT_EQ(lLines, c.lines);
    EXPECT_EQ(lRequest.back(), "Sec-WebSocket-Version: 13");
    EXPECT_FALSE(lConnection.Extensions().ExtensionNegotiated()) << "a copy negotiates afresh";
  }
}

TEST(WebSocketDeflate, AnswerParameters) {
  struct Case {
    const char* answer;
    std::string error;  // "" when accepted
    std::vector<std::string> active;
    int clientBits, serverBits;
    bool clientNoTakeover, serverNoTakeover;
  };
  const Case lCases[] = {
      {"permessage-deflate", "", {"permessage-deflate"}, 15, 15, false, false},
      {"PerMessage-Deflate", "", {"permessage-deflate"}, 15, 15, false, false},
      {"permessage-deflate; client_max_window_bits=10", "", {"permessage-deflate"}, 10, 15, false, false},
      {"permessage-deflate; client_max_window_bits", "", {"permessage-deflate"}, 15, 15, false, false},
      {"permessage-deflate; client_no_context_takeover", "", {"permessage-deflate"}, 15, 15, true, false},
      {"permessage-deflate; serv_max_window_bits=11", "", {"permessage-deflate"}, 15, 11, false, false},
      {"permessage-deflate; server_max_window_bits=12", "", {"permessage-deflate"}, 15, 12, false, false},
      {"permessage-deflate; server_max_window_bits=\"9\"", "", {"permessage-deflate"}, 15, 9, false, false},
      {"permessage-deflate; serv_max_window_bits", "", {"permessage-deflate"}, 15, 15, false, false},
      {"permessage-deflate; server_no_context_takeover", "", {"permessage-deflate"}, 15, 15, false, true},
      {"permessage-deflate; unknown=1; x", "", {"permessage-deflate"}, 15, 15, false, false},
      // What the exchange's stream servers have answered.
      {"permessage-deflate; server_no_context_takeover; client_max_window_bits=15", "", {"permessage-deflate"}, 15, 15, false, true},
      {"permessage-deflate; server_max_window_bits=15", "", {"permessage-deflate"}, 15, 15, false, false},
      {"permessage-deflate; server_no_context_takeover; client_max_window_bits=15; server_max_window_bits=15", "",
       {"permessage-deflate"}, 15, 15, false, true},
      // The server's own window may be 8 (we inflate with the largest); ours may not.
      {"permessage-deflate; server_max_window_bits=8", "", {"permessage-deflate"}, 15, 8, false, false},
      {"permessage-deflate; client_max_window_bits=8",
       "permessage-deflate: cannot compress with a window of 8 bits (zlib needs 9 to 15)", {}, 0, 0, false, false},
      {"permessage-deflate; client_max_window_bits=20", "Invalid Value for WindowBits 20", {}, 0, 0, false, false},
      {"permessage-deflate; serv_max_window_bits=7", "Invalid Value for WindowBits 7", {}, 0, 0, false, false},
      {"permessage-deflate; client_max_window_bits=x1", "'x1' is not a valid integer value", {}, 0, 0, false, false},
      {"x-webkit-deflate-frame", "", {"x-webkit-deflate-frame"}, 15, 15, false, false},
      {"x-webkit-deflate-frame, permessage-deflate", "", {"permessage-deflate"}, 15, 15, false, false},
      {"permessage-deflate, x-webkit-deflate-frame", "", {"permessage-deflate"}, 15, 15, false, false},
      {"permessage-deflate; client_max_window_bits=9, permessage-deflate; client_max_window_bits=12", "",
       {"permessage-deflate"}, 9, 15, false, false},
      {"", "", {}, 15, 15, false, false},
      {"deflate-stream", "", {}, 15, 15, false, false},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.answer);
    TqmtWSExtensions e;
    e.SetMode(TwsApplicationMode::appClient);
    e.PerMessage_Deflate().SetEnabled(true);
    e.DeflateFrame().SetEnabled(true);
    try {
      e.DecodeExtensions(c.answer);
      EXPECT_EQ(c.error, "");
    } catch (const std::exception& x) {
      EXPECT_EQ(x.what(), c.error);
      continue;
    }
    EXPECT_EQ(e.List(), c.active);
    EXPECT_EQ(e.ExtensionNegotiated(), !c.active.empty());
    const auto& d = e.PerMessage_Deflate();
    EXPECT_EQ(d.ClientMaxWindowBits(), c.clientBits);
    EXPECT_EQ(d.ServerMaxWindowBits(), c.serverBits);
    EXPECT_EQ(d.ClientNoContextTakeOver(), c.clientNoTakeover);
    EXPECT_EQ(d.ServerNoContextTakeOver(), c.serverNoTakeover);
  }
  // Only what was offered becomes active.
  TqmtWSExtensions lNotOffered;
  lNotOffered.DecodeExtensions("permessage-deflate, x-webkit-deflate-frame");
  EXPECT_FALSE(lNotOffered.ExtensionNegotiated());
  EXPECT_TRUE(lNotOffered.List().empty());
}

TEST(WebSocketDeflate, SettersAndCopies) {
  TqmtWSExtensions e;
  auto& d = e.PerMessage_Deflate();
  for (int v : {7, 16, -15})
    for (auto set : {&TqmtWSExtension_PerMessage_Deflate::SetClientMaxWindowBits,
                     &TqmtWSExtension_PerMessage_Deflate::SetServerMaxWindowBits}) {
      try {
        (d.*set)(v);
        ADD_FAILURE() << v << " accepted";
      } catch (const Exception& x) {
        EXPECT_EQ(x.Message(), "Invalid Value for WindowBits " + std::to_string(v));
      }
    }
  EXPECT_THROW(e.DeflateFrame().SetWindowBits(16), Exception);
  for (int v : {0, 10}) {
    try {
      d.SetMemLevel(v);
      ADD_FAILURE() << v << " accepted";
    } catch (const Exception& x) {
      EXPECT_EQ(x.Message(), "Invalid Value for MemLevel " + std::to_string(v));
    }
  }
  d.SetEnabled(true);
  d.SetClientMaxWindowBits(9);
  d.SetMemLevel(4);
  d.SetServerNoContextTakeOver(true);
  e.SetMode(TwsApplicationMode::appClient);
  e.DecodeExtensions("permessage-deflate");
  ASSERT_TRUE(e.ExtensionNegotiated());
  const auto lCopy = e.Clone();
  EXPECT_EQ(lCopy->Mode(), TwsApplicationMode::appClient);
  EXPECT_EQ(lCopy->PerMessage_Deflate().Mode(), TwsApplicationMode::appClient);
  EXPECT_TRUE(lCopy->PerMessage_Deflate().Enabled());
  EXPECT_EQ(lCopy->PerMessage_Deflate().ClientMaxWindowBits(), 9);
  EXPECT_EQ(lCopy->PerMessage_Deflate().MemLevel(), 4);
  EXPECT_TRUE(lCopy->PerMessage_Deflate().ServerNoContextTakeOver());
  EXPECT_FALSE(lCopy->PerMessage_Deflate().Active());
  EXPECT_FALSE(lCopy->ExtensionNegotiated());
  EXPECT_FALSE(lCopy->DeflateFrame().Enabled());
}

TEST(WebSocketDeflate, HandshakeAnswer) {
  const std::string lKey = "dGhlIHNhbXBsZSBub25jZQ==";
  const std::vector<std::string> lHead = {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade",
                                          "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="};
  // Two answer lines are one list.
  TqmtWSConnectionClient c;
  c.Extensions().PerMessage_Deflate().SetEnabled(true);
  c.FKey = lKey;
  auto lLines = lHead;
  lLines.push_back("Sec-WebSocket-Extensions: permessage-deflate; server_no_context_takeover");
  lLines.push_back("Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=10");
  c.DoHandshakeResponse(TqmtWSConnectionClient::ParseResponse(lLines));
  EXPECT_TRUE(c.Enabled());
  EXPECT_TRUE(c.Extensions().PerMessage_Deflate().ServerNoContextTakeOver());
  EXPECT_EQ(c.Extensions().PerMessage_Deflate().ClientMaxWindowBits(), 15) << "the second entry is a second offer";

  // A window the extension cannot take fails the handshake.
  TqmtWSConnectionClient lBad;
  lBad.Extensions().PerMessage_Deflate().SetEnabled(true);
  lBad.FKey = lKey;
  lLines = lHead;
  lLines.push_back("Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=20");
  try {
    lBad.DoHandshakeResponse(TqmtWSConnectionClient::ParseResponse(lLines));
    ADD_FAILURE() << "accepted";
  } catch (const std::exception& x) {
    EXPECT_STREQ(x.what(), "Invalid Value for WindowBits 20");
  }
  EXPECT_FALSE(lBad.Enabled());
}

// RFC 7692 7.2.3: what a server may send, inflated before the message events.
TEST(WebSocketDeflate, InflatesTheRFCExamples) {
  struct Case {
    const char* name;
    const char* answer;
    std::vector<std::string> frames;  // hex
    std::vector<std::string> messages;
  };
  const Case lCases[] = {
      {"one frame", "permessage-deflate", {"c1 07 f2 48 cd c9 c9 07 00"}, {"Hello"}},
      {"fragmented", "permessage-deflate", {"41 03 f2 48 cd", "80 04 c9 c9 07 00"}, {"Hello"}},
      {"context takeover", "permessage-deflate", {"c1 07 f2 48 cd c9 c9 07 00", "c1 05 f2 00 11 00 00"}, {"Hello", "Hello"}},
      {"no context takeover", "permessage-deflate; server_no_context_takeover",
       {"c1 07 f2 48 cd c9 c9 07 00", "c1 07 f2 48 cd c9 c9 07 00"}, {"Hello", "Hello"}},
      {"stored block", "permessage-deflate", {"c1 0b 00 05 00 fa ff 48 65 6c 6c 6f 00"}, {"Hello"}},
      {"final block", "permessage-deflate", {"c1 08 f3 48 cd c9 c9 07 00 00"}, {"Hello"}},
      {"final block, then a message", "permessage-deflate",
       {"c1 08 f3 48 cd c9 c9 07 00 00", "c1 07 f2 48 cd c9 c9 07 00"}, {"Hello", "Hello"}},
      {"two blocks", "permessage-deflate", {"c1 0d f2 48 05 00 00 00 ff ff ca c9 c9 07 00"}, {"Hello"}},
      {"uncompressed message", "permessage-deflate", {"81 05 48 65 6c 6c 6f"}, {"Hello"}},
      {"ping between fragments", "permessage-deflate", {"41 03 f2 48 cd", "89 00", "80 04 c9 c9 07 00"}, {"Hello"}},
      {"empty compressed message", "permessage-deflate", {"c1 00", "c1 01 00"}, {"", ""}},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    auto lConnection = Negotiated(c.answer);
    Recorder r;
    r.Attach(*lConnection);
    for (const auto& f : c.frames) EXPECT_EQ(FeedError(*lConnection, Hex(f + " ")), "");
    EXPECT_EQ(r.messages, c.messages);
    EXPECT_FALSE(lConnection->Disconnected());
  }
  // Binary messages and many fragments from a plain zlib peer, under both fragment modes that
  // collect; the fragments of frgAll/frgOnlyFragmented carry inflated data.
  PeerDeflate lPeer;
  std::string lText;
  for (int i = 0; i < 3000; ++i) lText += "{\"p\":\"" + std::to_string(27000 + i % 97) + ".50\"},";
  const std::string lCompressed = lPeer.Message(lText);
  for (auto lMode : {TwsFragmentedMessages::frgOnlyBuffer, TwsFragmentedMessages::frgOnlyFragmented, TwsFragmentedMessages::frgAll}) {
    SCOPED_TRACE(static_cast<int>(lMode));
    auto lConnection = Negotiated("permessage-deflate");
    lConnection->FFragmentedMessages = lMode;
    Recorder r;
    r.Attach(*lConnection);
    std::string lBytes;
    for (std::size_t i = 0; i < lCompressed.size(); i += 100) {
      const bool lLast = i + 100 >= lCompressed.size();
      lBytes += ServerFrame((i == 0 ? 0x42 : 0x00) | (lLast ? 0x80 : 0), lCompressed.substr(i, 100));
    }
    EXPECT_EQ(FeedError(*lConnection, lBytes), "");
    if (lMode == TwsFragmentedMessages::frgOnlyBuffer) {
      EXPECT_EQ(r.binaries, std::vector<std::string>{lText});
    } else {
      std::string lJoined;
      for (const auto& f : r.fragments) lJoined += f.substr(0, f.size() - 1);
      if (lMode == TwsFragmentedMessages::frgOnlyFragmented) EXPECT_EQ(lJoined, lText);
      else EXPECT_EQ(r.fragments.back(), lText + ".");
      EXPECT_EQ(r.binaries.size(), lMode == TwsFragmentedMessages::frgAll ? 1u : 0u);
    }
  }
}

TEST(WebSocketDeflate, ReaderRefusesBadFrames) {
  PeerDeflate lPeer(9);
  const std::string lBomb = lPeer.Message(std::string(2u << 20, '\0'));  // a few KiB
  ASSERT_LT(lBomb.size(), 4096u);
  // One message in three frames, each part under the limit, together over it.
  PeerDeflate lPeer2(9);
  std::string lParts = lPeer2.Message(std::string(600u << 10, '\0'), false);
  lParts += lPeer2.Message(std::string(600u << 10, '\0'));
  struct Case {
    const char* name;
    std::string bytes;
    std::string error;
    int code;
  };
  const Case lCases[] = {
      {"RSV2", ServerFrame(0xA1, "x"), "Invalid value of RSV2 or RSV3", 1002},
      {"RSV3", ServerFrame(0x91, "x"), "Invalid value of RSV2 or RSV3", 1002},
      {"RSV1 on a continuation", ServerFrame(0x41, Hex("f2 48 cd ")) + ServerFrame(0xC0, Hex("c9 c9 07 00 ")),
       "Invalid value of RSV1 on a continuation frame", 1002},
      {"RSV1 on a ping", ServerFrame(0xC9, "x"), "Invalid value of RSV1 on a control frame", 1002},
      {"corrupt data", ServerFrame(0xC1, Hex("ff ff ff ff ")), "Error Deflating Frame: ZLib Error (-3): invalid block type", 1007},
      {"ends inside a block", ServerFrame(0xC1, Hex("f2 48 cd ")),
       "Error Deflating Frame: compressed message ends inside a deflate block", 1007},
      {"bomb", ServerFrame(0xC2, lBomb), "Message of more than 1048576 bytes after decompression exceeds the maximum message size", 1009},
      {"bomb in fragments", ServerFrame(0x42, lParts.substr(0, 500)) + ServerFrame(0x00, lParts.substr(500, 500)) +
                                ServerFrame(0x80, lParts.substr(1000)),
       "Message of more than 1048576 bytes after decompression exceeds the maximum message size", 1009},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    auto lConnection = Negotiated("permessage-deflate");
    lConnection->FMaxPayloadLength = 1u << 20;
    Recorder r;
    r.Attach(*lConnection);
    EXPECT_EQ(FeedError(*lConnection, c.bytes), c.error);
    EXPECT_EQ(CloseCodeSent(*lConnection), c.code);
    EXPECT_TRUE(lConnection->Disconnected());
    EXPECT_TRUE(r.messages.empty() && r.binaries.empty());
  }
}

TEST(WebSocketDeflate, CompressesEachMessageOnceWithRSV1OnItsFirstFrame) {
  for (bool lTakeover : {true, false}) {
    SCOPED_TRACE(lTakeover ? "context takeover" : "no context takeover");
    auto c = Negotiated(lTakeover ? "permessage-deflate" : "permessage-deflate; client_no_context_takeover");
    std::string lLong;
    for (int i = 0; i < 200; ++i) lLong += "{\"s\":\"BTCUSDT\",\"c\":\"" + std::to_string(27000 + i) + ".1\"}";
    c->WriteData("Hello");
    c->WriteData("Hello");
    c->WriteData(lLong, 100);  // cut after compressing
    c->WriteBinary(lLong, 50);
    c->WriteData("abc", 0, TwsStreaming::stmFirst);
    c->WriteData("", 0, TwsStreaming::stmContinue);
    c->WriteData("def", 0, TwsStreaming::stmLast);
    c->WriteData("0123", 0, TwsStreaming::stmFirst);
    c->WriteData("456789", 2, TwsStreaming::stmContinueAndLast);
    c->WriteData("");
    const auto lMessages = ClientMessages(c->Output);
    ASSERT_EQ(lMessages.size(), 7u);
    PeerInflate lPeer;
    const std::vector<std::string> lExpected = {"Hello", "Hello", lLong, lLong, "abcdef", "0123456789", ""};
    for (std::size_t i = 0; i < lMessages.size(); ++i) {
      SCOPED_TRACE(i);
      const auto& m = lMessages[i];
      if (i == 6) {
        EXPECT_EQ(m.rsv, 0) << "an empty message goes uncompressed";
        EXPECT_EQ(m.payload, "");
        continue;
      }
      EXPECT_EQ(m.rsv, 0x40);
      EXPECT_EQ(m.opcode, i == 3 ? 2 : 1);
      if (!lTakeover) inflateReset(&lPeer.z);
      EXPECT_EQ(lPeer.Message(m.payload), lExpected[i]);
    }
    EXPECT_EQ(lMessages[0].payload, Hex("f2 48 cd c9 c9 07 00 ")) << "RFC 7692 7.2.3.1";
    if (lTakeover)
      EXPECT_LT(lMessages[1].payload.size(), lMessages[0].payload.size());
    else
      EXPECT_EQ(lMessages[1].payload, lMessages[0].payload);
    EXPECT_GT(lMessages[2].frames, 1) << "cut";
    EXPECT_LT(lMessages[2].payload.size(), lLong.size() / 4) << "compressed once, then cut";
    EXPECT_EQ(lMessages[4].frames, 3);
  }
}

// A failing compressor drops the connection: the peer could not read anything after it.
TEST(WebSocketDeflate, CompressionFailureDropsTheConnection) {
  auto c = Negotiated("permessage-deflate");
  c->Extensions().PerMessage_Deflate().SetClientMaxWindowBits(8);  // zlib refuses raw deflate at 8
  try {
    c->WriteData("Hello");
    ADD_FAILURE() << "no failure";
  } catch (const TqmtWSException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error Inflating Frame: ZLib Error (-2)", 0), 0u) << e.what();
  }
  EXPECT_TRUE(c->Disconnected());
  EXPECT_EQ(CloseCodeSent(*c), 1011);
  EXPECT_TRUE(ClientMessages(c->Output).empty());
}

// Writers on several threads: every message compressed once, in the order the frames left.
TEST(WebSocketDeflate, ConcurrentWritersKeepTheStreamInOrder) {
  auto c = Negotiated("permessage-deflate");
  std::vector<std::thread> lThreads;
  for (int t = 0; t < 4; ++t)
    lThreads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string lText = "thread " + std::to_string(t) + " message " + std::to_string(i) + std::string(i % 50, 'x');
        if (i % 3 == 0)
          c->WriteData(lText, 7);
        else
          c->WriteData(lText);
      }
    });
  for (auto& t : lThreads) t.join();
  const auto lMessages = ClientMessages(c->Output);
  ASSERT_EQ(lMessages.size(), 800u);
  PeerInflate lPeer;
  std::vector<int> lNext(4, 0);
  for (const auto& m : lMessages) {
    const std::string lText = lPeer.Message(m.payload);
    const int t = lText[7] - '0';
    ASSERT_TRUE(t >= 0 && t < 4) << lText;
    const int i = lNext[t]++;
    EXPECT_EQ(lText, "thread " + std::to_string(t) + " message " + std::to_string(i) + std::string(i % 50, 'x'));
  }
}

TEST(WebSocketDeflate, DeflateFrameCompressesEveryFrame) {
  auto c = Negotiated("x-webkit-deflate-frame", false, true);
  ASSERT_TRUE(c->Extensions().PerFrame());
  c->WriteData("Hello");
  c->WriteData("Hello, world", 5);
  c->WriteData("");
  PeerInflate lPeer;
  const auto lFrames = ClientFrames(c->Output);
  ASSERT_EQ(lFrames.size(), 5u);
  const std::vector<std::string> lPieces = {"Hello", "Hello", ", wor", "ld", ""};
  for (std::size_t i = 0; i < lFrames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(lFrames[i].rsv, lPieces[i].empty() ? 0 : 0x40) << "RSV1 on every compressed frame";
    EXPECT_EQ(lFrames[i].opcode, i == 2 || i == 3 ? 0 : 1);
    EXPECT_EQ(lFrames[i].fin, i != 1 && i != 2);
    if (!lPieces[i].empty()) {
      EXPECT_EQ(lPeer.Message(lFrames[i].payload), lPieces[i]);
    }
  }
  EXPECT_LT(lFrames[1].payload.size(), lFrames[0].payload.size()) << "the history carries over";

  // Incoming: RSV1 per frame, continuation frames included, plain frames between.
  PeerDeflate lServer;
  auto r = Negotiated("x-webkit-deflate-frame", false, true);
  Recorder lRecorder;
  lRecorder.Attach(*r);
  std::string lBytes = ServerFrame(0x41, lServer.Message("Hel"));
  lBytes += ServerFrame(0x00, "lo ");
  lBytes += ServerFrame(0xC0, lServer.Message("world"));
  lBytes += ServerFrame(0xC1, lServer.Message("again"));
  EXPECT_EQ(FeedError(*r, lBytes), "");
  EXPECT_EQ(lRecorder.messages, (std::vector<std::string>{"Hello world", "again"}));
}
