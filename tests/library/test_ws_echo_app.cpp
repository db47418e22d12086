#include <gtest/gtest.h>

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
