#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "ws_peer.h"

using namespace qmt_test;

// The example program answers every message with the same message and exits when the server closes.
TEST(WsEchoProgram, EchoesUntilTheServerCloses) {
  std::vector<std::pair<int, std::string>> lEchoes;
  ScriptedServer lServer([&](int s, int) {
    WsAccept(s);
    SendAll(s, WsServerFrame(0x81, "text message"));
    lEchoes.push_back(WsReadClientFrame(s));
    SendAll(s, WsServerFrame(0x82, std::string("\x00\x01\x02", 3)));
    lEchoes.push_back(WsReadClientFrame(s));
    SendAll(s, WsServerFrame(0x01, "frag") + WsServerFrame(0x80, "mented"));
    lEchoes.push_back(WsReadClientFrame(s));
    SendAll(s, WsServerFrame(0x88, "\x03\xE8"));
    WsReadClientFrame(s, 1000);
  });
  const std::string lCommand = std::string(QMT_WS_ECHO) + " ws://127.0.0.1:" + std::to_string(lServer.Port()) +
                               "/ --validate-utf8 --timeout 5000";
  EXPECT_EQ(std::system(lCommand.c_str()), 0);
  ASSERT_EQ(lEchoes.size(), 3u);
  EXPECT_EQ(lEchoes[0], std::make_pair(0x1, std::string("text message")));
  EXPECT_EQ(lEchoes[1], std::make_pair(0x2, std::string("\x00\x01\x02", 3)));
  EXPECT_EQ(lEchoes[2], std::make_pair(0x1, std::string("fragmented")));
  EXPECT_NE(std::system((std::string(QMT_WS_ECHO) + " ws://127.0.0.1:1/ 2>/dev/null").c_str()), 0) << "refused";
}

namespace {

// Runs ws-echo with aArgs; its exit status and what it wrote to stderr.
std::pair<int, std::string> RunEcho(const std::string& aArgs) {
  const std::string lCommand = std::string(QMT_WS_ECHO) + " " + aArgs + " 2>&1";
  FILE* f = popen(lCommand.c_str(), "r");
  std::string lOutput;
  char lBuffer[256];
  while (f && fgets(lBuffer, sizeof lBuffer, f)) lOutput += lBuffer;
  const int lStatus = f ? pclose(f) : -1;
  return {WIFEXITED(lStatus) ? WEXITSTATUS(lStatus) : -1, lOutput};
}

}  // namespace

// With compression: the offer as the options ask, a compressed message from the server (RFC 7692's
// example) echoed compressed. The answers are the ones the exchange has sent, over two lines.
TEST(WsEchoProgram, CompressionOptions) {
  struct Case {
    const char* args;
    const char* offer;
    std::string answer;
    std::string message;  // the server's frame
    int echoFirstByte;    // 0xC1: compressed text
    std::string echo;     // the echoed payload
  };
  const std::string lHello("\xf2\x48\xcd\xc9\xc9\x07\x00", 7);
  const Case lCases[] = {
      {"--deflate", "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n",
       "Sec-WebSocket-Extensions: permessage-deflate; server_no_context_takeover; client_max_window_bits=15\r\n"
       "Sec-WebSocket-Extensions: permessage-deflate; server_max_window_bits=15\r\n",
       WsServerFrame(0xC1, lHello), 0xC1, lHello},
      {"--deflate --client-max-window-bits 12 --server-no-context-takeover",
       "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=12;server_no_context_takeover\r\n",
       "Sec-WebSocket-Extensions: permessage-deflate; server_no_context_takeover; client_max_window_bits=12\r\n",
       WsServerFrame(0xC1, lHello), 0xC1, lHello},
      {"--deflate-frame", "Sec-WebSocket-Extensions: x-webkit-deflate-frame\r\n",
       "Sec-WebSocket-Extensions: x-webkit-deflate-frame\r\n", WsServerFrame(0xC1, lHello), 0xC1, lHello},
      {"--deflate", "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n", "",
       WsServerFrame(0x81, "plain"), 0x81, "plain"},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.args);
    std::string lHead;
    std::pair<int, std::string> lEcho;
    int lFirstByte = 0;
    {
      ScriptedServer lServer([&](int s, int) {
        lHead = WsAccept(s, c.answer);
        SendAll(s, c.message);
        lEcho = WsReadClientFrame(s, 5000, &lFirstByte);
        SendAll(s, WsServerFrame(0x88, "\x03\xE8"));
        WsReadClientFrame(s, 1000);
      });
      const auto [lStatus, lOutput] =
          RunEcho("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/ --timeout 5000 " + c.args);
      EXPECT_EQ(lStatus, 0) << lOutput;
    }
    EXPECT_NE(lHead.find(c.offer), std::string::npos) << lHead;
    EXPECT_EQ(lFirstByte, c.echoFirstByte);
    EXPECT_EQ(lEcho.second, c.echo);
  }

  // An answer the extension cannot take ends the run with the reason.
  ScriptedServer lServer([&](int s, int) {
    WsAccept(s, "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=20\r\n");
    WsReadClientFrame(s, 2000);
  });
  const auto [lStatus, lOutput] = RunEcho("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/ --timeout 3000 --deflate");
  EXPECT_EQ(lStatus, 1);
  EXPECT_NE(lOutput.find("Invalid Value for WindowBits 20"), std::string::npos) << lOutput;
  // Usage errors.
  EXPECT_EQ(RunEcho("ws://127.0.0.1:1/ --client-max-window-bits 16 --deflate").first, 2);
  EXPECT_EQ(RunEcho("ws://127.0.0.1:1/ --server-no-context-takeover").first, 2);
}
