// The order path's transport: kept HTTP connections that never send a request twice and say
// whether a failed request left the machine, and requests on the exchange's WebSocket APIs matched
// to their answers by id.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "qmtBase_Helpers.h"
#include "qmtBinance_Addresses.h"
#include "qmtHTTP_Client.h"
#include "qmtJSON.h"
#include "qmtWebSocket_API_Binance.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

// Reads one request (head and body) from a kept connection; empty when the client closed.
std::string ReadRequest(int s) {
  std::string lHead = RecvHead(s);
  if (lHead.empty()) return lHead;
  // No std::regex here: two server threads compiling one at once race in the C++ library's locale cache.
  std::string lLower = lHead;
  for (char& c : lLower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto lAt = lLower.find("\r\ncontent-length:");
  if (lAt != std::string::npos) lHead += RecvExactly(s, std::stoul(lHead.substr(lAt + 17)));
  return lHead;
}

void AnswerOk(int s, const std::string& aBody = "{}") {
  SendAll(s, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(aBody.size()) + "\r\n\r\n" + aBody);
}

// A close that resets the connection at once (no FIN, no answer).
void Reset(int s) {
  linger l{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

struct Requests {
  std::mutex Lock;
  std::vector<std::string> Lines;  // "connection N: METHOD /path"
  void Add(int aConnection, const std::string& aRequest) {
    std::lock_guard g(Lock);
    Lines.push_back("connection " + std::to_string(aConnection) + ": " + aRequest.substr(0, aRequest.find(" HTTP/")));
  }
  std::vector<std::string> Take() {
    std::lock_guard g(Lock);
    return Lines;
  }
};

}  // namespace

TEST(HTTPKeepAlive, OneConnectionServesRequestsFromEveryThread) {
  TqmtIdHTTP::CloseKeptConnections();
  Requests lSeen;
  ScriptedServer lServer([&](int s, int aIndex) {
    for (std::string r = ReadRequest(s); !r.empty(); r = ReadRequest(s)) {
      lSeen.Add(aIndex, r);
      AnswerOk(s);
    }
  });
  const std::string lURL = "http://127.0.0.1:" + std::to_string(lServer.Port());
  const std::uint64_t lOpenedBefore = TqmtIdHTTP::ConnectionsOpened();
  std::vector<bool> lNew;
  for (const char* lMethod : {"GET", "POST", "DELETE"}) {
    TqmtIdHTTP h;  // a fresh object each time, as the REST wrappers make them
    EXPECT_EQ(h.Request(lMethod, lURL + "/x", "a=1", std::string(lMethod) != "GET"), "{}");
    lNew.push_back(h.NewConnection());
  }
  std::thread lOther([&] {
    TqmtIdHTTP h;
    h.Request("PUT", lURL + "/from-another-thread", "b=2", true);
    lNew.push_back(h.NewConnection());
  });
  lOther.join();
  EXPECT_EQ(lNew, std::vector<bool>({true, false, false, false})) << "the first request opens it, the others reuse it";
  EXPECT_EQ(TqmtIdHTTP::ConnectionsOpened() - lOpenedBefore, 1u);
  EXPECT_EQ(lSeen.Take(), std::vector<std::string>({"connection 0: GET /x", "connection 0: POST /x", "connection 0: DELETE /x",
                                                    "connection 0: PUT /from-another-thread"}));
  TqmtIdHTTP::CloseKeptConnections();  // the server's handler sees the end of its connection
}

TEST(HTTPKeepAlive, AnOrderIsNeverSentTwiceWhenItsConnectionDies) {
  // The server answers a first request, reads the next one in full and closes without an answer:
  // the request may have been carried out. libcurl would send it again on a fresh connection; an
  // order must not be, and its failure must say that the outcome is unknown. A query (GET) in the
  // same place may go again: asking twice changes nothing.
  TqmtIdHTTP::CloseKeptConnections();
  Requests lSeen;
  ScriptedServer lServer([&](int s, int aIndex) {
    std::string r = ReadRequest(s);
    if (r.empty()) return;
    lSeen.Add(aIndex, r);
    AnswerOk(s);
    r = ReadRequest(s);
    if (r.empty()) return;
    lSeen.Add(aIndex, r);
    if (aIndex == 0) Reset(s);  // the order dies with its connection; on connection 1 a query does, quietly
  });
  const std::string lURL = "http://127.0.0.1:" + std::to_string(lServer.Port());
  TqmtIdHTTP h;
  h.Request("GET", lURL + "/api/v3/time", "", false);
  try {
    h.Request("POST", lURL + "/api/v3/order?symbol=BTCUSDT", "", true);
    FAIL() << "no failure";
  } catch (const EIdRequestUnanswered& e) {
    EXPECT_NE(std::string(e.what()).find("no answer"), std::string::npos) << e.what();
  }
  h.Request("GET", lURL + "/api/v3/time", "", false);  // connection 1, then a query dies on it...
  EXPECT_EQ(h.Request("GET", lURL + "/api/v3/openOrders", "", false), "{}") << "...and is asked again on connection 2";
  const auto lLines = lSeen.Take();
  EXPECT_EQ(std::count(lLines.begin(), lLines.end(), "connection 0: POST /api/v3/order?symbol=BTCUSDT"), 1);
  EXPECT_EQ(std::count_if(lLines.begin(), lLines.end(), [](const std::string& l) { return l.find("POST") != std::string::npos; }), 1)
      << "sent once, on no other connection";
  TqmtIdHTTP::CloseKeptConnections();
}

TEST(HTTPKeepAlive, AFailureSaysWhetherTheRequestLeft) {
  TqmtIdHTTP::CloseKeptConnections();
  ScriptedServer lSilent([](int s, int) {
    ReadRequest(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // no answer in time
  });
  ScriptedServer lResets([](int s, int) {
    ReadRequest(s);
    Reset(s);
  });
  struct Case {
    const char* name;
    std::string url;
    int kind;  // 0 not sent, 1 unanswered (closed or reset), 2 timed out after sending
  } lCases[] = {
      {"nobody listens", "http://127.0.0.1:" + std::to_string(FreePort()) + "/order", 0},
      {"reset after reading it", "http://127.0.0.1:" + std::to_string(lResets.Port()) + "/order", 1},
      {"read and never answered", "http://127.0.0.1:" + std::to_string(lSilent.Port()) + "/order", 2},
  };
  for (const Case& c : lCases) {
    SCOPED_TRACE(c.name);
    TqmtIdHTTP h;
    h.ReadTimeout = 300;
    int lKind = -1;
    try {
      h.Request("POST", c.url, "symbol=X", true);
    } catch (const EIdRequestUnanswered&) {
      lKind = 1;
    } catch (const EIdReadTimeout&) {
      lKind = 2;
    } catch (const EIdException&) {
      lKind = 0;
    }
    EXPECT_EQ(lKind, c.kind);
  }
}

// ---- the WebSocket APIs ---------------------------------------------------------------------------

TEST(WSAPIRequests, SignedAsDocumented) {
  // The spot WebSocket API's documented example (W1): parameters sorted by name, apiKey inside.
  TqmtWSAPI_Binance_Requests a;
  a.Binance().ApiKey = "vmPUZE6mv9SD5VNHk4HlWFsOr6aKE2zvsw0MuIgwCIPy6utIco14y7Ju91duEh8A";
  a.Binance().ApiSecret = "NhqPtmdSJYdKjVHjA7PZj4Mge3R5YNiP1e3UZjInClVN65XAbvqqM6A7H5fATj0j";
  a.RecvWindow = 100;
  a.Timestamp = [] { return std::string("1645423376532"); };
  const std::string lText = a.RequestText("id1", "order.place",
                                          {{"symbol", "BTCUSDT"}, {"side", "SELL"}, {"type", "LIMIT"}, {"timeInForce", "GTC"},
                                           {"quantity", "0.01000000"}, {"price", "52000.00"}},
                                          true);
  EXPECT_EQ(lText, R"({"id":"id1","method":"order.place","params":{"apiKey":")" + a.Binance().ApiKey +
                       R"(","price":"52000.00","quantity":"0.01000000","recvWindow":100,"side":"SELL","symbol":"BTCUSDT",)"
                       R"("timeInForce":"GTC","timestamp":1645423376532,"type":"LIMIT",)"
                       R"("signature":"aa1b5712c094bc4e57c05a1a5c1fd8d88dcd628338ea863fec7b88e59fe2db24"}})");
  EXPECT_EQ(a.RequestText("id2", "order.status", {{"symbol", "A\"B"}}, false),
            R"({"id":"id2","method":"order.status","params":{"symbol":"A\"B"}})");
}

TEST(WSAPIRequests, AnswersFindTheirRequestsInAnyOrder) {
  // The peer answers two requests the other way round, then closes on a third; a 429 bans the rest.
  std::atomic<int> lStage{0};
  ScriptedServer lServer([&](int s, int aIndex) {
    if (aIndex > 0) return;
    WsAccept(s);
    std::vector<std::string> lIds;
    auto lId = [](const std::string& aText) {
      TqmtJSON d;
      d.Read(aText);
      return std::string(d.Find("id")->ValueView());
    };
    while (lIds.size() < 2) {
      auto [op, text] = WsReadClientFrame(s);
      if (op == 1) lIds.push_back(lId(text));
      if (op < 0) return;
    }
    SendAll(s, WsServerFrame(0x81, R"({"id":")" + lIds[1] + R"(","status":200,"result":{"status":"FILLED"},"rateLimits":[{"count":7}]})"));
    SendAll(s, WsServerFrame(0x81, R"({"id":")" + lIds[0] + R"(","status":400,"error":{"code":-2010,"msg":"no"}})"));
    for (;;) {
      auto [op, text] = WsReadClientFrame(s);
      if (op < 0) return;
      if (op != 1) continue;
      if (lStage == 0) {
        lStage = 1;
        SendAll(s, WsServerFrame(0x81, R"({"id":")" + lId(text) + R"(","status":429,"error":{"code":-1003,"msg":"slow down",)"
                                                                   R"("data":{"serverTime":1,"retryAfter":1}}})"));
      } else {
        return;  // the connection ends with the request unanswered
      }
    }
  });
  SetBinanceAddress(TqmtBinanceAddress::SpotWSAPI, "ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/ws-api/v3");
  TqmtWSClient lClient;
  lClient.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  TqmtWSAPI_Binance_Requests lApi;
  lApi.Binance().ApiKey = "k";
  lApi.Binance().ApiSecret = "s";
  lApi.SetClient(&lClient);
  ASSERT_TRUE(lClient.Connect(5000));
  TqmtWSAPIAnswer lFirst, lSecond;
  std::thread t1([&] { lFirst = lApi.Request("order.place", {{"symbol", "A"}}, true, 5000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the second leaves after the first
  std::thread t2([&] { lSecond = lApi.Request("order.place", {{"symbol", "B"}}, true, 5000); });
  t1.join();
  t2.join();
  ASSERT_TRUE(lFirst.Answered && lSecond.Answered);
  EXPECT_EQ(lFirst.Status, 400);
  EXPECT_NE(lFirst.Text.find("-2010"), std::string::npos);
  EXPECT_EQ(lSecond.Status, 200);
  EXPECT_NE(lSecond.Text.find("FILLED"), std::string::npos);
  EXPECT_EQ(lApi.RateLimits(), R"([{"count":7}])");

  // 429: a ban of at least a second (retryAfter lies in the past here), nothing sent meanwhile.
  const TqmtWSAPIAnswer lLimited = lApi.Request("order.place", {{"symbol", "C"}}, true, 5000);
  EXPECT_EQ(lLimited.Status, 429);
  EXPECT_GT(lApi.BannedForMs(), 0);
  const TqmtWSAPIAnswer lBanned = lApi.Request("order.place", {{"symbol", "D"}}, true, 5000);
  EXPECT_FALSE(lBanned.Sent);
  EXPECT_NE(lBanned.Why.find("wait"), std::string::npos) << lBanned.Why;

  // The connection ends under a request: unanswered at once, not after the time-out.
  std::this_thread::sleep_for(std::chrono::milliseconds(lApi.BannedForMs() + 50));
  const auto t0 = std::chrono::steady_clock::now();
  const TqmtWSAPIAnswer lLost = lApi.Request("order.place", {{"symbol", "E"}}, true, 20000);
  EXPECT_TRUE(lLost.Sent);
  EXPECT_FALSE(lLost.Answered);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  // And with no connection nothing is sent.
  lClient.Disconnect(5000);
  EXPECT_FALSE(lApi.Request("order.place", {{"symbol", "F"}}, true, 1000).Sent);
  SetBinanceAddress(TqmtBinanceAddress::SpotWSAPI, "");
}
