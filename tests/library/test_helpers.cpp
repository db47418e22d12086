#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "qmtBase_Helpers.h"
#include "qmtSystem.h"

TEST(Helpers, HMACSHA256Vectors) {
  const std::string lSecret = "NhqPtmdSJYdKjVHjA7PZj4Mge3R5YNiP1e3UZjInClVN65XAbvqqM6A7H5fATj0j";
  EXPECT_EQ(HMACSHA256Text("symbol=LTCBTC&side=BUY&type=LIMIT&timeInForce=GTC&quantity=1&price=0.1&recvWindow=5000&"
                           "timestamp=1499827319559",
                           lSecret),
            "c8db56825ae71d6d79447849e617115f4a920fa2acdcab2b053c4b2838bd6b71");
  EXPECT_EQ(HMACSHA256Text("", lSecret), "18f82ab1c4ba20d60cb86ebc4cab5b54ddb974cdf7832421345148e7a7f9466e");
  // RFC 4231 test case 2, Base64 form of the digest.
  EXPECT_EQ(HMACSHA256Text("what do ya want for nothing?", "Jefe", true),
            Base64EncodeBytes("\x5b\xdc\xc1\x46\xbf\x60\x75\x4e\x6a\x04\x24\x26\x08\x95\x75\xc7\x5a\x00\x3f\x08\x9d"
                              "\x27\x39\x83\x9d\xec\x58\xb9\x64\xec\x38\x43",
                              32));
}

TEST(Helpers, Base64Forms) {
  EXPECT_EQ(Base64EncodeText(""), "");
  EXPECT_EQ(Base64EncodeText("f"), "Zg==");
  EXPECT_EQ(Base64EncodeText("fo"), "Zm8=");
  EXPECT_EQ(Base64EncodeText("foo"), "Zm9v");
  EXPECT_EQ(Base64EncodeText("user:pässword"), "dXNlcjpww6Rzc3dvcmQ=");
  // The RFC 6455 sample: SHA-1 of key + GUID, as hex, gives the accept value.
  EXPECT_EQ(HexToBase64("b37a4f2cc0624f1690f64606cf385945b2bec4ea"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(HexToBase64("B37A"), "s3o=");
  EXPECT_THROW(HexToBase64("zz"), Exception);
}

TEST(Helpers, GuidFormatAndUniqueness) {
  const std::regex lForm("[0-9A-F]{32}");
  std::set<std::string> lSeen;
  for (int i = 0; i < 2000; ++i) {
    const std::string lGuid = NewGuidText();
    ASSERT_TRUE(std::regex_match(lGuid, lForm)) << lGuid;
    EXPECT_EQ(lGuid[12], '4');
    lSeen.insert(lGuid);
  }
  EXPECT_EQ(lSeen.size(), 2000u);
}

TEST(Helpers, ContainsTextIgnoresCase) {
  EXPECT_TRUE(ContainsText("Upgrade: WebSocket", "websocket"));
  EXPECT_TRUE(ContainsText("abc", ""));
  EXPECT_FALSE(ContainsText("ab", "abc"));
  EXPECT_FALSE(ContainsText("permessage-deflate", "deflate-frame"));
}

TEST(Helpers, ProgramPathAndTicks) {
  const std::string lPath = ProgramPath();
  ASSERT_FALSE(lPath.empty());
  EXPECT_EQ(lPath.back(), '/');
  EXPECT_EQ(lPath.front(), '/');
  const auto lStart = GetTicks();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(GetTicks() - lStart, 19u);
}

TEST(Helpers, ParseURL) {
  struct Case {
    const char* url;
    const char* protocol;
    const char* host;
    const char* port;
    const char* path;
    const char* params;
  };
  const Case lCases[] = {
      {"wss://stream.binance.com:9443/ws", "wss", "stream.binance.com", "9443", "/ws", ""},
      {"wss://fstream.binance.com/stream?streams=a@ticker/b@ticker", "wss", "fstream.binance.com", "", "/stream",
       "streams=a@ticker/b@ticker"},
      {"ws://localhost:8080", "ws", "localhost", "8080", "/", ""},
      {"ws://h/path/doc.html?x=1#frag", "ws", "h", "", "/path/doc.html", "x=1"},
      {"ws://[::1]:9000/ws", "ws", "::1", "9000", "/ws", ""},
      {"https://user:pw@api.binance.com/api/v3/ping", "https", "api.binance.com", "", "/api/v3/ping", ""},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.url);
    const auto lParts = ParseURL(c.url);
    EXPECT_EQ(lParts.Protocol, c.protocol);
    EXPECT_EQ(lParts.Host, c.host);
    EXPECT_EQ(lParts.Port, c.port);
    EXPECT_EQ(lParts.Path, c.path);
    EXPECT_EQ(lParts.Params, c.params);
  }
  const auto lAuth = ParseURL("https://user:pw@h/");
  EXPECT_EQ(lAuth.Username, "user");
  EXPECT_EQ(lAuth.Password, "pw");
}

TEST(MainThread, WithoutDispatcherCallsRunInline) {
  SetMainThreadDispatcher(nullptr);
  int lCalls = 0;
  QueueToMainThread([&] { ++lCalls; });
  SynchronizeWithMainThread([&] { ++lCalls; });
  EXPECT_EQ(lCalls, 2);
}

TEST(MainThread, QueueAndSynchronizeReachTheLoop) {
  TqmtMainLoop lLoop;
  SetMainThreadDispatcher(&lLoop);
  const auto lMain = std::this_thread::get_id();
  std::thread::id lQueuedOn, lSyncedOn;
  bool lSyncReturned = false;
  std::string lError;

  std::thread lWorker([&] {
    QueueToMainThread([&] { lQueuedOn = std::this_thread::get_id(); });
    SynchronizeWithMainThread([&] { lSyncedOn = std::this_thread::get_id(); });
    lSyncReturned = true;  // only after the loop ran the call
    try {
      SynchronizeWithMainThread([] { throw Exception("boom"); });
    } catch (const Exception& e) {
      lError = e.what();
    }
    QueueToMainThread([&] { lLoop.Quit(); });
  });
  lLoop.Run();
  lWorker.join();
  SetMainThreadDispatcher(nullptr);

  EXPECT_EQ(lQueuedOn, lMain);
  EXPECT_EQ(lSyncedOn, lMain);
  EXPECT_TRUE(lSyncReturned);
  EXPECT_EQ(lError, "boom");
  // On the main thread itself, Synchronize runs at once instead of deadlocking.
  SetMainThreadDispatcher(&lLoop);
  bool lRan = false;
  SynchronizeWithMainThread([&] { lRan = true; });
  EXPECT_TRUE(lRan);
  SetMainThreadDispatcher(nullptr);
}

TEST(MainThread, ProcessPendingRunsOnlyWhatIsQueued) {
  TqmtMainLoop lLoop;
  int lCalls = 0;
  lLoop.Post([&] {
    ++lCalls;
    lLoop.Post([&] { ++lCalls; });
  });
  EXPECT_EQ(lLoop.ProcessPending(), 1);
  EXPECT_EQ(lLoop.ProcessPending(), 1);
  EXPECT_EQ(lCalls, 2);
  EXPECT_EQ(lLoop.ProcessPending(5), 0);
}
