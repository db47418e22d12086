#include <gtest/gtest.h>

#include <set>

#include "qmtBase_Helpers.h"
#include "qmtWebSocket_Classes_Indy.h"
#include "ws_frames.h"
#include "ws_memory_connection.h"

using namespace qmt_test;

TEST(WebSocketWriter, PayloadLengthEncoding) {
  struct Case {
    std::uint64_t length;
    std::string bytes;
  };
  const Case lCases[] = {
      {0, std::string("\x00", 1)},
      {125, "\x7D"},
      {126, std::string("\x7E\x00\x7E", 3)},
      {65535, "\x7E\xFF\xFF"},
      {65536, std::string("\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 9)},
  };
  for (const auto& c : lCases) EXPECT_EQ(EncodePayloadLength(c.length), c.bytes) << c.length;
}

TEST(WebSocketWriter, ClientFramesAreMaskedWithKeysWithout0xFF) {
  std::set<int> lSeen;
  for (int i = 0; i < 20000; ++i) {
    std::uint8_t k[4];
    NewMaskKey(k);
    for (auto b : k) lSeen.insert(b);
  }
  EXPECT_EQ(lSeen.count(255), 0u);
  EXPECT_EQ(lSeen.size(), 255u) << "every value 0..254 is drawn";

  TqmtWSConnectionMemory c;
  c.WriteData(std::string(126, 'a'));
  c.Close(4000);
  const auto lFrames = ClientFrames(c.Output);
  ASSERT_EQ(lFrames.size(), 2u);
  EXPECT_EQ(static_cast<std::uint8_t>(c.Output[0]), 0x81);
  EXPECT_EQ(static_cast<std::uint8_t>(c.Output[1]), 0xFE) << "mask bit plus 126";
  EXPECT_EQ(lFrames[0].payload, std::string(126, 'a'));
  EXPECT_EQ(lFrames[1].opcode, 0x8);
  EXPECT_EQ(lFrames[1].payload, "\x0F\xA0");
}

TEST(WebSocketWriter, StreamingModesAndFragments) {
  TqmtWSConnectionMemory c;
  c.WriteData("abcdefg", 3);                                    // 3 frames
  c.WriteData("first", 0, TwsStreaming::stmFirst);              // text, not final
  c.WriteData("more", 0, TwsStreaming::stmContinue);            // continuation, not final
  c.WriteData("end", 0, TwsStreaming::stmLast);                 // continuation, final
  c.WriteData("xyz12", 2, TwsStreaming::stmContinueAndLast);    // continuations only
  c.WriteBinary(std::string("\x00\x01\x02", 3));
  const auto f = ClientFrames(c.Output);
  ASSERT_EQ(f.size(), 10u);
  const std::vector<std::tuple<bool, int, std::string>> lExpected = {
      {false, 1, "abc"}, {false, 0, "def"}, {true, 0, "g"},    {false, 1, "first"}, {false, 0, "more"},
      {true, 0, "end"},  {false, 0, "xy"},  {false, 0, "z1"}, {true, 0, "2"}};
  for (std::size_t i = 0; i < lExpected.size(); ++i) {
    EXPECT_EQ(f[i].fin, std::get<0>(lExpected[i])) << i;
    EXPECT_EQ(f[i].opcode, std::get<1>(lExpected[i])) << i;
    EXPECT_EQ(f[i].payload, std::get<2>(lExpected[i])) << i;
  }
  EXPECT_EQ(f[9].opcode, 2);

  TqmtWSConnectionMemory lClosed;
  lClosed.SetEnabled(false);
  lClosed.WriteData("before the handshake");
  EXPECT_TRUE(lClosed.Output.empty()) << "dropped silently";
  EXPECT_FALSE(lClosed.Ping("x", 0));
  EXPECT_EQ(lClosed.WriteAndWaitData("y", 0), "");
}

TEST(WebSocketReader, ErrorsAndCloseCodes) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;
    int code;  // close code sent back (CleanDisconnect on); -1 none
  };
  const Case lCases[] = {
      {"continuation without message", ServerFrame(0x80, "x"), "Unfragmented message after continuation frame with FIN", 1002},
      {"text while fragmented", ServerFrame(0x01, "a") + ServerFrame(0x81, "b"),
       "OpCode error, received opText after Continuation not finished", 1002},
      {"binary while fragmented", ServerFrame(0x01, "a") + ServerFrame(0x82, "b"),
       "OpCode error, received opBinary after Continuation not finished", 1002},
      {"reserved opcode", ServerFrame(0x83, ""), "Invalid Control OptCode", 1002},
      {"reserved control opcode", ServerFrame(0x8B, ""), "Invalid Control OptCode", 1002},
      {"rsv without extension", ServerFrame(0xC1, "x"), "Invalid value of RSV while no Extension Negotiated", 1002},
      {"fragmented ping", ServerFrame(0x09, "x"), "Control Message must not be fragmented", 1002},
      {"long ping", ServerFrame(0x89, std::string(126, 'p')),
       "Control frames are only allowed to have payload up to and including 125 octets", 1002},
      {"close 1 byte", ServerFrame(0x88, "\x03"), "Invalid Payload length for close code", 1002},
      {"close 999", ServerFrame(0x88, "\x03\xE7"), "Invalid close code", 1002},
      {"close 1005", ServerFrame(0x88, "\x03\xED"), "Invalid close code", 1002},
      {"close 5000", ServerFrame(0x88, "\x13\x88"), "Invalid close code", 1002},
      {"close 1001", ServerFrame(0x88, "\x03\xE9"), "", 1000},
      {"close 4999", ServerFrame(0x88, "\x13\x87"), "", 1000},
      {"close 1005 with reason", ServerFrame(0x88, "\x03\xED" "bye"), "", 1000},
      {"empty close", ServerFrame(0x88, ""), "", 1000},
      {"pong without ping", ServerFrame(0x8A, "p") + ServerFrame(0x81, "still open"), "", -1},
      {"too long", std::string("\x82\x7F\x00\x00\x00\x00\x80\x00\x00\x00", 10), "", 1009},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    TqmtWSConnectionMemory lConnection;
    const std::string lError = FeedError(lConnection, c.bytes);
    if (std::string(c.name) == "too long") {
      EXPECT_NE(lError.find("exceeds the maximum message size"), std::string::npos) << lError;
    } else {
      EXPECT_EQ(lError, c.error);
    }
    EXPECT_EQ(CloseCodeSent(lConnection), c.code);
    if (c.code != -1) {
      EXPECT_TRUE(lConnection.Disconnected());
    }
  }
  TqmtWSConnectionMemory lReason;
  lReason.Feed(ServerFrame(0x88, "\x03\xE9going away"));
  EXPECT_EQ(lReason.CloseCode(), 1001);
  EXPECT_EQ(lReason.CloseReason(), "going away");

  TqmtWSConnectionMemory lQuiet;
  lQuiet.FCleanDisconnect = false;
  lQuiet.Feed(ServerFrame(0x88, "\x03\xE9"));
  EXPECT_EQ(lQuiet.CloseCode(), 1001);
  EXPECT_TRUE(lQuiet.Output.empty()) << "without CleanDisconnect the socket is dropped without a close frame";
  EXPECT_TRUE(lQuiet.SocketClosed);
}

TEST(WebSocketReader, SplitReadsFragmentsPingsAndMasks) {
  TqmtWSConnectionMemory c;
  Recorder r;
  r.Attach(c);
  const std::string lBig(40000, 'z');
  const std::string lFrame = ServerFrame(0x82, lBig);
  c.Feed(lFrame.substr(0, 3));
  c.Feed(lFrame.substr(3, 20000));
  EXPECT_TRUE(r.binaries.empty());
  c.Feed(lFrame.substr(20003));
  ASSERT_EQ(r.binaries.size(), 1u);
  EXPECT_EQ(r.binaries[0], lBig);

  // A ping between two fragments is answered, and the message still completes.
  c.Feed(ServerFrame(0x01, "Hello, ") + ServerFrame(0x89, "are you there") + ServerFrame(0x80, "World"));
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_EQ(r.messages[0], "Hello, World");
  EXPECT_TRUE(r.fragments.empty());
  const auto lOut = ClientFrames(c.Output);
  ASSERT_EQ(lOut.size(), 1u);
  EXPECT_EQ(lOut[0].opcode, 0xA);
  EXPECT_EQ(lOut[0].payload, "are you there");

  // A masked server frame is unmasked.
  std::string lMasked = "\x81\x85\x01\x02\x03\x04";
  std::string lBody = "hello";
  const std::uint8_t k[4] = {1, 2, 3, 4};
  MaskPayload(lBody.data(), lBody.size(), k);
  c.Feed(lMasked + lBody);
  ASSERT_EQ(r.messages.size(), 2u);
  EXPECT_EQ(r.messages[1], "hello");
  // Zero-length frames and one byte at a time.
  const std::string lTiny = ServerFrame(0x81, "") + ServerFrame(0x81, "ok");
  for (char b : lTiny) c.Feed(std::string(1, b));
  ASSERT_EQ(r.messages.size(), 4u);
  EXPECT_EQ(r.messages[2], "");
  EXPECT_EQ(r.messages[3], "ok");
}

TEST(WebSocketReader, FragmentedModes) {
  const std::string lBytes = ServerFrame(0x01, "ab") + ServerFrame(0x00, "cd") + ServerFrame(0x80, "ef");
  TqmtWSConnectionMemory lOnly;
  Recorder r1;
  r1.Attach(lOnly);
  lOnly.FFragmentedMessages = TwsFragmentedMessages::frgOnlyFragmented;
  lOnly.Feed(lBytes);
  EXPECT_EQ(r1.fragments, (std::vector<std::string>{"ab+", "cd+", "ef."}));
  EXPECT_TRUE(r1.messages.empty());

  TqmtWSConnectionMemory lAll;
  Recorder r2;
  r2.Attach(lAll);
  lAll.FFragmentedMessages = TwsFragmentedMessages::frgAll;
  lAll.Feed(lBytes);
  EXPECT_EQ(r2.fragments, (std::vector<std::string>{"ab+", "abcd+", "abcdef."}));
  EXPECT_EQ(r2.messages, (std::vector<std::string>{"abcdef"}));
}

TEST(WebSocketReader, UTF8Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case lCases[] = {
      {"\xC0\x80", false},         {"\xED\xA0\x80", false}, {"\xF4\x8F\xBF\xBF", true}, {"\xF4\x90\x80\x80", false},
      {"ab\xF4", true},            {"\xE0\x9F\x80", false}, {"\xE0\xA0\x80", true},     {"\xF0\x8F\xBF\xBF", false},
      {"\xCE\xBA\xE1\xBD\xB9", true}, {"\xE2\x82", false},  {"\xFF", false},            {"plain", true},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(IsValidUTF8(c.bytes), c.valid);
    TqmtWSConnectionMemory lConnection;
    lConnection.FValidateUTF8 = true;
    Recorder r;
    r.Attach(lConnection);
    const std::string lError = FeedError(lConnection, ServerFrame(0x81, c.bytes));
    if (c.valid) {
      EXPECT_EQ(lError, "");
      EXPECT_EQ(r.messages.size(), 1u);
    } else {
      EXPECT_EQ(lError, "Invalid UTF8 message");
      EXPECT_EQ(CloseCodeSent(lConnection), 1007);
    }
    // A close frame's reason is text as well.
    TqmtWSConnectionMemory lClosing;
    lClosing.FValidateUTF8 = true;
    const std::string lCloseError = FeedError(lClosing, ServerFrame(0x88, "\x03\xE9" + c.bytes));
    EXPECT_EQ(lCloseError, c.valid ? "" : "Invalid UTF8 message");
    EXPECT_EQ(CloseCodeSent(lClosing), c.valid ? 1000 : 1007);
    EXPECT_EQ(lClosing.CloseReason(), c.valid ? c.bytes : "");
  }
}

TEST(WebSocketReader, AMessageFromFragmentsObeysTheSizeLimit) {
  // Each frame is within the limit; together they are not.
  TqmtWSConnectionMemory c;
  c.FMaxPayloadLength = 100;
  Recorder r;
  r.Attach(c);
  EXPECT_EQ(FeedError(c, ServerFrame(0x01, std::string(60, 'a')) + ServerFrame(0x80, std::string(60, 'b'))),
            "Message of 120 bytes exceeds the maximum message size");
  EXPECT_EQ(CloseCodeSent(c), 1009);
  EXPECT_TRUE(r.messages.empty());
  TqmtWSConnectionMemory lWithin;
  lWithin.FMaxPayloadLength = 100;
  Recorder w;
  w.Attach(lWithin);
  EXPECT_EQ(FeedError(lWithin, ServerFrame(0x01, std::string(50, 'a')) + ServerFrame(0x80, std::string(50, 'b'))), "");
  ASSERT_EQ(w.messages.size(), 1u);
  EXPECT_EQ(w.messages[0].size(), 100u);
}

TEST(WebSocketReader, PongsMatchPendingPings) {
  TqmtWSConnectionMemory c;
  c.Ping("12345678901234567");
  EXPECT_GT(c.LastPing(), 0);
  EXPECT_EQ(FeedError(c, ServerFrame(0x8A, "12345678901234567")), "");
  EXPECT_GT(c.LastPong(), 0);
  EXPECT_TRUE(c.Ping("again", 1) || true);  // sets a pending ping
  EXPECT_EQ(FeedError(c, ServerFrame(0x8A, "something else")), "Received Pong is different from Sent Ping");
  EXPECT_EQ(CloseCodeSent(c), 1000);
}

TEST(WebSocketWriter, QueuedWritesLeaveInLevelOrderOnFlush) {
  TqmtWSConnectionMemory c;
  c.QueueOptions().Text.Level = TwsQueueMsgLevels::qmLevel2;
  c.QueueOptions().Ping.Level = TwsQueueMsgLevels::qmLevel0;
  c.QueueOptions().Binary.Level = TwsQueueMsgLevels::qmLevel1;
  c.WriteData("t1");
  c.Ping("p1");
  c.WriteBinary("b1");
  c.WriteData("t2");
  EXPECT_TRUE(c.Output.empty()) << "held in the queues";
  c.FlushQueues();
  const auto f = ClientFrames(c.Output);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].payload, "p1");
  EXPECT_EQ(f[1].payload, "b1");
  EXPECT_EQ(f[2].payload, "t1");
  EXPECT_EQ(f[3].payload, "t2");
  // The first transition to finished drops whatever is still queued.
  c.WriteData("t3");
  c.Close();
  c.Output.clear();
  c.FlushQueues();
  EXPECT_TRUE(c.Output.empty());
}

TEST(WebSocketHandshake, RequestLines) {
  TqmtWSConnectionClient c;
  c.FHost = "stream.binance.com";
  c.FPort = 9443;
  c.FOptions.SetParameters("ws/btcusdt@ticker");
  auto lLines = c.BuildRequest();
  ASSERT_EQ(lLines.size(), 7u);
  EXPECT_EQ(lLines[0], "GET /ws/btcusdt@ticker HTTP/1.1");
  EXPECT_EQ(lLines[1], "Host: stream.binance.com:9443");
  EXPECT_EQ(lLines[2], "Upgrade: websocket");
  EXPECT_EQ(lLines[3], "Connection: Upgrade");
  EXPECT_EQ(lLines[4], "Sec-WebSocket-Key: " + c.FKey);
  EXPECT_EQ(c.FKey.size(), 24u);
  EXPECT_EQ(c.FKey.substr(22), "==");
  EXPECT_EQ(lLines[5], "Origin: stream.binance.com");
  EXPECT_EQ(lLines[6], "Sec-WebSocket-Version: 13");
  const std::string lFirstKey = c.FKey;

  c.FPort = 443;
  c.FOptions.SetParameters("");
  c.FOptions.Origin = "https://example.org";
  c.FProtocolList = "a,b";
  c.FAuthentication.Enabled = true;
  c.FAuthentication.Basic.Enabled = true;
  c.FAuthentication.User = "user";
  c.FAuthentication.Token.Enabled = true;
  c.FAuthentication.Token.AuthName = "Bearer";
  c.FAuthentication.Token.AuthToken = "t0k";
  lLines = c.BuildRequest();
  EXPECT_NE(c.FKey, lFirstKey) << "a new key for every request";
  const std::vector<std::string> lExpected = {"GET / HTTP/1.1",
                                              "Host: stream.binance.com",
                                              "Upgrade: websocket",
                                              "Connection: Upgrade",
                                              "Sec-WebSocket-Key: " + c.FKey,
                                              "Origin: https://example.org",
                                              "Sec-WebSocket-Protocol: a,b",
                                              "Authorization: Basic dXNlcjo=",
                                              "Authorization: Bearer t0k",
                                              "Sec-WebSocket-Version: 13"};
  EXPECT_EQ(lLines, lExpected);
  EXPECT_EQ(TqmtWSConnectionClient::AcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, ResponseChecks) {
  const std::string lKey = "dGhlIHNhbXBsZSBub25jZQ==";
  const std::string lAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::string protocols;  // requested
    std::string error;      // "" when accepted
  };
  const std::vector<Case> lCases = {
      {"plain", {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Accept: " + lAccept}, "", ""},
      {"lower case", {"http/1.1 101 switching protocols", "upgrade: websocket", "connection: upgrade", "sec-websocket-accept: " + lAccept}, "", ""},
      {"200", {"HTTP/1.1 200 OK"}, "", "Error Decoding Header: Switching Protocols [HTTP/1.1 200 OK]"},
      {"bad upgrade", {"HTTP/1.1 101 x", "Upgrade: h2c"}, "", "Error Decoding Header: Upgrade"},
      {"bad connection", {"HTTP/1.1 101 x", "Connection: keep-alive"}, "", "Error Decoding Header: Upgrade"},
      {"no space", {"HTTP/1.1 101 x", "Sec-WebSocket-Accept:" + lAccept}, "", "Handshake Error: Invalid Accept Key"},
      {"wrong accept", {"HTTP/1.1 101 x", "Sec-WebSocket-Accept: AAAA"}, "", "Handshake Error: Invalid Accept Key"},
      {"302", {"HTTP/1.1 302 Found", "Location: wss://other.example/ws"}, "", "Redirect to: wss://other.example/ws"},
      {"302 without location", {"HTTP/1.1 302 Found"}, "", "Handshake Error: Invalid Accept Key"},
      {"unasked protocol", {"HTTP/1.1 101 x", "Sec-WebSocket-Accept: " + lAccept, "Sec-WebSocket-Protocol: chat"}, "", "Protocol not supported chat."},
      {"protocol", {"HTTP/1.1 101 x", "Sec-WebSocket-Accept: " + lAccept, "Sec-WebSocket-Protocol: CHAT"}, "x,chat", ""},
      {"no protocol answered", {"HTTP/1.1 101 x", "Sec-WebSocket-Accept: " + lAccept}, "chat", "Protocol not supported ."},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    TqmtWSConnectionClient lConnection;
    lConnection.FKey = lKey;
    lConnection.FProtocolList = c.protocols;
    bool lEnabled = false;
    lConnection.FOnEnabled = [&](TqmtWSConnection*) { lEnabled = true; };
    try {
      lConnection.DoHandshakeResponse(TqmtWSConnectionClient::ParseResponse(c.lines));
      EXPECT_EQ(c.error, "");
      EXPECT_TRUE(lEnabled);
      EXPECT_TRUE(lConnection.Enabled());
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), c.error);
      EXPECT_FALSE(lConnection.Enabled());
    }
  }
  TqmtWSConnectionClient lRedirected;
  std::string lLocation;
  lRedirected.FOnRedirect = [&](TqmtWSConnection*, const std::string& aLocation) { lLocation = aLocation; };
  lRedirected.DoHandshakeResponse(TqmtWSConnectionClient::ParseResponse({"HTTP/1.1 301 Moved", "Location: ws://x/y"}));
  EXPECT_EQ(lLocation, "ws://x/y");
  EXPECT_FALSE(lRedirected.Enabled());
}
