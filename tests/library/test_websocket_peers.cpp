#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "qmtTCP_Client.h"
#include "qmtWebSocket_Classes_Indy.h"
#include "test_peers.h"
#include "test_support.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

// A client connection wired to a TCP client by hand, as the component will do it.
struct WSClient {
  TqmtIdTCPClient Tcp;
  TqmtWSConnectionClient Ws;
  std::mutex Lock;
  std::condition_variable Wake;
  std::vector<std::string> Messages, Binaries;
  std::string Error;
  bool Enabled = false;
  std::string Redirect;

  WSClient() {
    Ws.Attach(&Tcp);
    Tcp.OnRead = [this] { Ws.DoRead(false); };
    Tcp.OnThread = [this] { Ws.FlushQueues(); };
    Tcp.OnReadException = [this](const std::exception& e) { Set([&] { Error = e.what(); }); };
    Ws.FOnEnabled = [this](TqmtWSConnection*) { Set([&] { Enabled = true; }); };
    Ws.FOnMessage = [this](TqmtWSConnection*, std::string_view t) { Set([&] { Messages.emplace_back(t); }); };
    Ws.FOnBinary = [this](TqmtWSConnection*, std::string_view d) { Set([&] { Binaries.emplace_back(d); }); };
    Ws.FOnRedirect = [this](TqmtWSConnection*, const std::string& l) { Set([&] { Redirect = l; }); };
  }
  ~WSClient() { Tcp.Disconnect(false); }
  template <typename F>
  void Set(F aChange) {
    std::lock_guard g(Lock);
    aChange();
    Wake.notify_all();
  }
  bool WaitFor(const std::function<bool()>& aDone, int aMs = 10000) {
    std::unique_lock g(Lock);
    return Wake.wait_for(g, std::chrono::milliseconds(aMs), aDone);
  }
  void Connect(int aPort, const std::string& aPath = "/") {
    Tcp.Host = "127.0.0.1";
    Tcp.Port = aPort;
    Tcp.UseNagle = false;
    Ws.FOptions.SetParameters(aPath);
    Tcp.Connect();
    Ws.DoInitialize(&Tcp);
  }
};

}  // namespace

TEST(WebSocketOverSockets, ScriptedServer) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;  // sent with a pause between them
    std::string message;              // expected text message ("" none)
    std::string error;                // expected error ("" none)
    int pongOrClose;                  // expected control frame back: 0xA pong, 0x8 close, 0 nothing
    std::string controlPayload;
  };
  const std::string lBig(40000, 'q');
  const std::string lBigFrame = WsServerFrame(0x81, lBig);
  const std::vector<Case> lCases = {
      {"split payload", {lBigFrame.substr(0, 1000), lBigFrame.substr(1000, 20000), lBigFrame.substr(21000)}, lBig, "", 0, ""},
      {"ping between fragments", {WsServerFrame(0x01, "ab"), WsServerFrame(0x89, "hi"), WsServerFrame(0x80, "cd")}, "abcd", "", 0xA, "hi"},
      {"125-byte ping", {WsServerFrame(0x89, std::string(125, 'p'))}, "", "", 0xA, std::string(125, 'p')},
      {"126-byte ping", {WsServerFrame(0x89, std::string(126, 'p'))}, "",
       "Control frames are only allowed to have payload up to and including 125 octets", 0x8, "\x03\xEA"},
      {"1-byte close", {WsServerFrame(0x88, "x")}, "", "Invalid Payload length for close code", 0x8, "\x03\xEA"},
      {"close 1001", {WsServerFrame(0x88, "\x03\xE9")}, "", "", 0x8, "\x03\xE8"},
      {"close 1005", {WsServerFrame(0x88, "\x03\xED")}, "", "Invalid close code", 0x8, "\x03\xEA"},
      {"bad utf-8", {WsServerFrame(0x81, "\xC0\x80")}, "", "Invalid UTF8 message", 0x8, "\x03\xEF"},
      {"continuation first", {WsServerFrame(0x80, "x")}, "", "Unfragmented message after continuation frame with FIN", 0x8, "\x03\xEA"},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    std::pair<int, std::string> lBack{0, ""};
    std::atomic<bool> lServed{false};
    {
      ScriptedServer lServer([&](int s, int) {
        WsAccept(s);
        for (const auto& p : c.pieces) {
          SendAll(s, p);
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (c.pongOrClose) lBack = WsReadClientFrame(s);
        lServed = true;
      });
      WSClient lClient;
      lClient.Ws.FValidateUTF8 = true;
      lClient.Ws.FCleanDisconnect = true;
      lClient.Connect(lServer.Port());
      ASSERT_TRUE(lClient.WaitFor([&] { return lClient.Enabled; }));
      if (!c.message.empty()) {
        ASSERT_TRUE(lClient.WaitFor([&] { return !lClient.Messages.empty(); }));
        EXPECT_EQ(lClient.Messages[0], c.message);
        EXPECT_EQ(lClient.Messages.size(), 1u);
      }
      if (!c.error.empty()) {
        ASSERT_TRUE(lClient.WaitFor([&] { return !lClient.Error.empty(); }));
        EXPECT_EQ(lClient.Error, c.error);
      }
      if (c.pongOrClose == 0x8) {
        ASSERT_TRUE(lClient.WaitFor([&] { return lClient.Ws.Disconnected(); }));
        if (c.error.empty()) {
          EXPECT_EQ(lClient.Ws.CloseCode(), 1001);
        }
      }
      // The server has read what came back before the client goes.
      for (int i = 0; i < 500 && !lServed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lClient.Tcp.Disconnect(false);
    }
    EXPECT_EQ(lBack.first, c.pongOrClose);
    EXPECT_EQ(lBack.second, c.controlPayload);
  }
}

TEST(WebSocketOverSockets, RedirectHandedToTheHandler) {
  ScriptedServer lServer([](int s, int) {
    RecvHead(s);
    SendAll(s, "HTTP/1.1 302 Found\r\nLocation: ws://127.0.0.1:1/elsewhere\r\n\r\n");
  });
  WSClient lClient;
  lClient.Connect(lServer.Port(), "/ws");
  ASSERT_TRUE(lClient.WaitFor([&] { return !lClient.Redirect.empty(); }));
  EXPECT_EQ(lClient.Redirect, "ws://127.0.0.1:1/elsewhere");
  EXPECT_FALSE(lClient.Enabled);
}

namespace {

// The independent echo server (python3-websockets), stopped with the object.
class PythonEcho {
public:
  explicit PythonEcho(const std::vector<std::string>& aArgs = {}) {
    const std::string lScript = std::string(QMT_TESTS_DIR) + "/library/ws_echo_server.py";
    int lPipe[2];
    if (pipe(lPipe) != 0) return;
    std::vector<const char*> lArgv{"python3", lScript.c_str()};
    for (const auto& a : aArgs) lArgv.push_back(a.c_str());
    lArgv.push_back(nullptr);
    FPid = fork();
    if (FPid == 0) {
      setpgid(0, 0);
      dup2(lPipe[1], 1);
      ::close(lPipe[0]);
      execv("/usr/bin/python3", const_cast<char* const*>(lArgv.data()));
      _exit(127);
    }
    ::close(lPipe[1]);
    // The server prints its port on its first line.
    std::string lLine;
    char c;
    while (::read(lPipe[0], &c, 1) == 1 && c != '\n') lLine += c;
    ::close(lPipe[0]);
    if (!lLine.empty()) FPort = std::stoi(lLine);
  }
  ~PythonEcho() {
    if (FPid <= 0) return;
    ::kill(-FPid, SIGTERM);
    ::kill(FPid, SIGTERM);
    waitpid(FPid, nullptr, 0);
  }
  int Port() const { return FPort; }
  static bool Available() {
    return std::system("/usr/bin/python3 -c 'import websockets' >/dev/null 2>&1") == 0;
  }

private:
  pid_t FPid = -1;
  int FPort = 0;
};

#define REQUIRE_PYTHON_WEBSOCKETS()                                                     \
  if (!PythonEcho::Available()) {                                                      \
    if (UnderCI()) FAIL() << "python3-websockets missing (scripts/setup.sh installs it)"; \
    GTEST_SKIP() << "python3-websockets missing";                                       \
  }

// Letters drawn at random: text that compresses, but not to nothing.
std::string RandomLetters(std::size_t n, std::uint32_t aSeed) {
  std::string lText(n, 'a');
  std::uint32_t x = aSeed * 2654435761u + 1;
  for (auto& c : lText) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>('a' + x % 26);
  }
  return lText;
}

// Text and binary messages of each size, and writes in every streaming mode, come back whole.
void ExpectEchoes(WSClient& aClient, const std::vector<std::size_t>& aSizes) {
  for (std::size_t n : aSizes) {
    const std::string lText = RandomLetters(n, static_cast<std::uint32_t>(n));
    std::string lBinary = lText;
    if (n > 0) lBinary[0] = '\0';
    aClient.Ws.WriteData(lText);
    aClient.Ws.WriteBinary(lBinary);
    ASSERT_TRUE(aClient.WaitFor([&] { return !aClient.Messages.empty() && !aClient.Binaries.empty(); }, 60000)) << n;
    std::lock_guard g(aClient.Lock);
    EXPECT_EQ(aClient.Messages.back(), lText) << n;
    EXPECT_EQ(aClient.Binaries.back(), lBinary) << n;
    aClient.Messages.clear();
    aClient.Binaries.clear();
  }
  aClient.Ws.WriteData("abcdefghij", 3);
  aClient.Ws.WriteData("one-", 0, TwsStreaming::stmFirst);
  aClient.Ws.WriteData("two-", 0, TwsStreaming::stmContinue);
  aClient.Ws.WriteData("three", 0, TwsStreaming::stmLast);
  aClient.Ws.WriteData("four-", 0, TwsStreaming::stmFirst);
  aClient.Ws.WriteData("five-six-seven", 4, TwsStreaming::stmContinueAndLast);
  aClient.Ws.WriteBinary("0123456789", 4);
  ASSERT_TRUE(aClient.WaitFor([&] { return aClient.Messages.size() == 3 && aClient.Binaries.size() == 1; }));
  std::lock_guard g(aClient.Lock);
  EXPECT_EQ(aClient.Messages[0], "abcdefghij");
  EXPECT_EQ(aClient.Messages[1], "one-two-three");
  EXPECT_EQ(aClient.Messages[2], "four-five-six-seven");
  EXPECT_EQ(aClient.Binaries[0], "0123456789");
  aClient.Messages.clear();
  aClient.Binaries.clear();
}

const std::vector<std::size_t> kEchoSizes = {0, 125, 126, 65535, 65536, 16u << 20};

}  // namespace

// Interoperation with an independent implementation.
TEST(WebSocketOverSockets, EchoWithPythonWebsockets) {
  REQUIRE_PYTHON_WEBSOCKETS();
  PythonEcho lServer;
  ASSERT_NE(lServer.Port(), 0) << "the echo server did not start";

  WSClient lClient;
  lClient.Connect(lServer.Port());
  ASSERT_TRUE(lClient.WaitFor([&] { return lClient.Enabled; }));
  EXPECT_FALSE(lClient.Ws.Extensions().ExtensionNegotiated());
  ExpectEchoes(lClient, kEchoSizes);
  EXPECT_EQ(lClient.Ws.WriteAndWaitData("question", 5000), "question");
  // Pings are answered with the same payload.
  EXPECT_TRUE(lClient.Ws.Ping("12345678901234567", 5000));
  // Our close: the server answers it and ends the connection.
  lClient.Ws.Close(1000);
  EXPECT_TRUE(lClient.WaitFor([&] { return !lClient.Error.empty(); }));
  EXPECT_EQ(lClient.Error, "Connection Closed Gracefully.");
}

// permessage-deflate against the independent server, for each server window and both context
// takeover settings: the server inflates what we send and we inflate what it sends back.
TEST(WebSocketOverSockets, PermessageDeflateWithPythonWebsockets) {
  REQUIRE_PYTHON_WEBSOCKETS();
  struct Config {
    int bits;
    bool noTakeover;
    bool allSizes;
  };
  const Config lConfigs[] = {{15, false, true}, {9, true, true},   {10, false, false}, {11, true, false}, {12, false, false},
                             {13, true, false}, {14, false, false}, {15, true, false},  {9, false, false}};
  for (const Config& c : lConfigs) {
    SCOPED_TRACE("server window " + std::to_string(c.bits) + (c.noTakeover ? ", no context takeover" : ""));
    std::vector<std::string> lArgs{"--deflate", "--server-max-window-bits", std::to_string(c.bits)};
    if (c.noTakeover) lArgs.push_back("--no-context-takeover");
    PythonEcho lServer(lArgs);
    ASSERT_NE(lServer.Port(), 0) << "the echo server did not start";
    WSClient lClient;
    lClient.Ws.Extensions().PerMessage_Deflate().SetEnabled(true);
    lClient.Connect(lServer.Port());
    ASSERT_TRUE(lClient.WaitFor([&] { return lClient.Enabled; }));
    auto& lDeflate = lClient.Ws.Extensions().PerMessage_Deflate();
    EXPECT_EQ(lClient.Ws.Extensions().List(), std::vector<std::string>{"permessage-deflate"});
    EXPECT_EQ(lDeflate.ServerMaxWindowBits(), c.bits);
    EXPECT_EQ(lDeflate.ServerNoContextTakeOver(), c.noTakeover);
    EXPECT_EQ(lDeflate.ClientNoContextTakeOver(), c.noTakeover);

    ExpectEchoes(lClient, c.allSizes ? kEchoSizes : std::vector<std::size_t>{0, 126, 65536});
    // The second copy of a text refers back to the first, unless each message starts afresh.
    const std::string lText = RandomLetters(2000, 7);
    std::uint64_t lSent[2];
    for (auto& lSize : lSent) {
      const std::uint64_t lBefore = lClient.Ws.SendBytes();
      lClient.Ws.WriteData(lText);
      lSize = lClient.Ws.SendBytes() - lBefore;
      ASSERT_TRUE(lClient.WaitFor([&] { return !lClient.Messages.empty(); }));
      std::lock_guard g(lClient.Lock);
      EXPECT_EQ(lClient.Messages.back(), lText);
      lClient.Messages.clear();
    }
    EXPECT_LT(lSent[0], 1600u) << "compressed";
    if (c.noTakeover)
      EXPECT_EQ(lSent[1], lSent[0]);
    else
      EXPECT_LT(lSent[1] * 10, lSent[0]);
    EXPECT_EQ(lClient.Ws.WriteAndWaitData("question", 5000), "question");
  }
}
