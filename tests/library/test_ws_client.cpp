#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "qmtBase_Helpers.h"
#include "qmtWebSocket_Client.h"
#include <filesystem>

#include "test_support.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

// What a client's events reported, in order, for a test to wait on.
struct Events {
  std::mutex Lock;
  std::condition_variable Wake;
  std::vector<std::string> Log;
  std::vector<std::thread::id> Threads;

  void Add(const std::string& aEntry) {
    std::lock_guard g(Lock);
    Log.push_back(aEntry);
    Threads.push_back(std::this_thread::get_id());
    Wake.notify_all();
  }
  int Count(const std::string& aPrefix) {
    std::lock_guard g(Lock);
    int n = 0;
    for (const auto& e : Log) n += e.rfind(aPrefix, 0) == 0 ? 1 : 0;
    return n;
  }
  bool WaitCount(const std::string& aPrefix, int aCount, int aMs = 5000) {
    std::unique_lock g(Lock);
    return Wake.wait_for(g, std::chrono::milliseconds(aMs), [&] {
      int n = 0;
      for (const auto& e : Log) n += e.rfind(aPrefix, 0) == 0 ? 1 : 0;
      return n >= aCount;
    });
  }
  void Attach(TqmtWSClient& c) {
    c.OnConnect = [this](TqmtWSConnection*) { Add("connect"); };
    c.OnDisconnect = [this](TqmtWSConnection*, int aCode) { Add("disconnect " + std::to_string(aCode)); };
    c.OnMessage = [this](TqmtWSConnection*, std::string_view t) { Add("message " + std::string(t)); };
    c.OnError = [this](TqmtWSConnection*, const std::string& e) { Add("error " + e); };
    c.OnException = [this](TqmtWSConnection* aConnection, const std::exception& e) {
      Add(std::string("exception ") + (aConnection ? "" : "(none) ") + e.what());
    };
  }
};

// Fast timers: one "second" of the heart-beat and the watchdog lasts 50 ms.
void Shorten(TqmtWSClient& c) {
  c.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  c.HeartBeat.TimeUnitMs = 50;
  c.WatchDog.TimeUnitMs = 50;
  c.WatchDog.Interval = 2;
}

}  // namespace

TEST(WSClient, URLForms) {
  struct Case {
    const char* url;
    const char* host;
    int port;
    bool tls;
    bool rfc6455;
    const char* parameters;
  };
  const Case lCases[] = {
      {"wss://example.com/path?x=1", "example.com", 443, true, true, "/path?x=1"},
      {"ws://example.com:8080", "example.com", 8080, false, true, "/"},
      {"tcp://example.com:7000/raw", "example.com", 7000, false, false, "/raw"},
      {"tcps://example.com", "example.com", 443, true, false, "/"},
      {"wss://stream.binance.com:9443/ws/btcusdt@ticker", "stream.binance.com", 9443, true, true, "/ws/btcusdt@ticker"},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.url);
    TqmtWSClient lClient;
    lClient.SetURL(c.url);
    EXPECT_EQ(lClient.Host, c.host);
    EXPECT_EQ(lClient.Port, c.port);
    EXPECT_EQ(lClient.TLS, c.tls);
    EXPECT_EQ(lClient.Specifications.RFC6455, c.rfc6455);
    EXPECT_EQ(lClient.Options.Parameters(), c.parameters);
  }
}

TEST(WSClient, ClosedPortReportsAndTheWatchdogRetriesUpToAttempts) {
  TqmtWSClient lClient;
  Events lEvents;
  lEvents.Attach(lClient);
  Shorten(lClient);
  lClient.WatchDog.Enabled = true;
  lClient.WatchDog.Attempts = 3;
  std::atomic<int> lTicks{0};
  lClient.OnBeforeWatchDog = [&](TObject*, bool&) { ++lTicks; };
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(FreePort()) + "/");
  EXPECT_FALSE(lClient.Connect(2000));
  ASSERT_TRUE(lEvents.WaitCount("exception (none) Socket Error # 111", 1));
  ASSERT_TRUE(lEvents.WaitCount("exception (none)", 4)) << "three more attempts";
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(lTicks.load(), 3) << "Attempts stops the watchdog";
  EXPECT_EQ(lEvents.Count("exception (none)"), 4);
  lClient.WriteData("nobody listens");  // no connection: nothing, no error
  EXPECT_EQ(lEvents.Count("error"), 0);
  EXPECT_FALSE(lClient.Ping(10));
}

TEST(WSClient, ConnectZeroWritesTheRequestAndReturnsAtOnce) {
  std::atomic<bool> lGotRequest{false};
  ScriptedServer lServer([&](int s, int) {
    lGotRequest = RecvHead(s).rfind("GET /zero HTTP/1.1\r\n", 0) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  });
  TqmtWSClient lClient;
  Shorten(lClient);
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/zero");
  EXPECT_FALSE(lClient.Connect(0));
  EXPECT_TRUE(lClient.Active()) << "the connection object exists, not yet open";
  for (int i = 0; i < 200 && !lGotRequest; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(lGotRequest);
  EXPECT_TRUE(lClient.Disconnect(2000));
}

TEST(WSClient, CloseCodesReachOnDisconnectAndTheWatchdogReconnectsAfterARestart) {
  const int lPort = FreePort();
  Events lEvents;
  TqmtWSClient lClient;
  lEvents.Attach(lClient);
  Shorten(lClient);
  lClient.WatchDog.Enabled = true;
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(lPort) + "/");
  {
    // The server closes with 1001 ("going away"), then goes away.
    ScriptedServer lServer(
        [](int s, int) {
          WsAccept(s);
          SendAll(s, WsServerFrame(0x88, "\x03\xE9"));
          WsReadClientFrame(s, 1000);
        },
        false, lPort);
    ASSERT_TRUE(lClient.Connect(5000));
    ASSERT_TRUE(lEvents.WaitCount("disconnect 1001", 1));
  }
  // Back on the same port: the watchdog connects again by itself.
  ScriptedServer lServer([](int s, int) { WsServe(s, true, nullptr); }, false, lPort);
  ASSERT_TRUE(lEvents.WaitCount("connect", 2, 10000));
  EXPECT_EQ(lClient.WatchDogAttempts(), 0) << "a connection resets the count";
  lClient.WriteData("hello");
  ASSERT_TRUE(lEvents.WaitCount("message hello", 1));
  EXPECT_TRUE(lClient.Disconnect(5000));
  ASSERT_TRUE(lEvents.WaitCount("disconnect 0", 1)) << "a local close reports 0";
}

TEST(WSClient, HeartBeatPingsCarryTheTimeStampAndCanBeSuppressed) {
  std::mutex lLock;
  std::vector<std::string> lPings;
  ScriptedServer lServer([&](int s, int) {
    WsServe(s, true, [&](int aOp, const std::string& aPayload) {
      if (aOp == 0x9) {
        std::lock_guard g(lLock);
        lPings.push_back(aPayload);
      }
      return true;
    }, 3000);
  });
  TqmtWSClient lClient;
  Events lEvents;
  lEvents.Attach(lClient);
  Shorten(lClient);
  lClient.HeartBeat.Enabled = true;
  lClient.HeartBeat.Interval = 1;
  std::atomic<int> lAsked{0};
  std::atomic<bool> lSuppress{false};
  lClient.OnBeforeHeartBeat = [&](TObject*, TqmtWSConnection*, bool& aHandled) {
    ++lAsked;
    aHandled = lSuppress.load();
  };
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/");
  ASSERT_TRUE(lClient.Connect(5000));
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard g(lLock);
      if (lPings.size() >= 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard g(lLock);
    ASSERT_GE(lPings.size(), 2u);
    EXPECT_EQ(lPings[0].size(), 17u);
    EXPECT_EQ(lPings[0].find_first_not_of("0123456789"), std::string::npos) << lPings[0];
    lPings.clear();
  }
  lSuppress = true;
  const int lBefore = lAsked;
  while (lAsked < lBefore + 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  {
    std::lock_guard g(lLock);
    EXPECT_LE(lPings.size(), 1u) << "Handled suppresses the ping (one may have been on its way)";
  }
  EXPECT_EQ(lEvents.Count("exception"), 0);
  lClient.Disconnect(2000);
}

TEST(WSClient, HeartBeatTimeoutAgainstAPeerThatNeverAnswers) {
  ScriptedServer lServer([](int s, int) { WsServe(s, false, nullptr, 5000); });
  TqmtWSClient lClient;
  Events lEvents;
  lEvents.Attach(lClient);
  Shorten(lClient);
  lClient.HeartBeat.Enabled = true;
  lClient.HeartBeat.Interval = 1;
  lClient.HeartBeat.Timeout = 3;
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/");
  ASSERT_TRUE(lClient.Connect(5000));
  ASSERT_TRUE(lEvents.WaitCount("exception HeartBeat Timeout exceeded.", 1));
  ASSERT_TRUE(lEvents.WaitCount("disconnect", 1));
  EXPECT_FALSE(lClient.Active());
}

TEST(WSClient, ExceptionInOnMessageDropsTheConnectionAndTheWatchdogReconnects) {
  std::atomic<int> lConnections{0};
  ScriptedServer lServer([&](int s, int) {
    ++lConnections;
    WsServe(s, true, nullptr, 3000);
  });
  TqmtWSClient lClient;
  Events lEvents;
  lEvents.Attach(lClient);
  Shorten(lClient);
  lClient.WatchDog.Enabled = true;
  lClient.OnMessage = [&](TqmtWSConnection*, std::string_view aText) {
    lEvents.Add("message " + std::string(aText));
    if (aText == "boom") throw Exception("handler failed");
  };
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/");
  ASSERT_TRUE(lClient.Connect(5000));
  lClient.WriteData("boom");
  ASSERT_TRUE(lEvents.WaitCount("error handler failed", 1));
  ASSERT_TRUE(lEvents.WaitCount("disconnect", 1));
  ASSERT_TRUE(lEvents.WaitCount("connect", 2, 10000));
  EXPECT_EQ(lConnections.load(), 2);
  lClient.Disconnect(2000);
}

TEST(WSClient, EventsArriveOnTheThreadOfTheirMode) {
  TqmtMainLoop lLoop;
  SetMainThreadDispatcher(&lLoop);
  for (TwsNotifyEvent lMode : {TwsNotifyEvent::neNoSync, TwsNotifyEvent::neAsynchronous, TwsNotifyEvent::neSynchronous}) {
    SCOPED_TRACE(static_cast<int>(lMode));
    ScriptedServer lServer([](int s, int) { WsServe(s, true, nullptr, 3000); });
    auto lClient = std::make_unique<TqmtWSClient>();
    Events lEvents;
    lEvents.Attach(*lClient);
    lClient->SetNotifyEvents(lMode);
    lClient->SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/");
    std::atomic<bool> lDone{false};
    // Connect from a worker, so this thread can run the main loop meanwhile.
    std::thread lWorker([&] {
      lClient->Connect(5000);
      lClient->WriteData("on which thread?");
      lDone = true;
    });
    const auto lEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (lEvents.Count("message") == 0 && std::chrono::steady_clock::now() < lEnd) lLoop.ProcessPending(5);
    lWorker.join();
    ASSERT_EQ(lEvents.Count("connect"), 1);
    ASSERT_EQ(lEvents.Count("message"), 1);
    {
      std::lock_guard g(lEvents.Lock);
      for (auto t : lEvents.Threads) EXPECT_EQ(t == std::this_thread::get_id(), lMode != TwsNotifyEvent::neNoSync);
    }
    std::thread lStopper([&] { lClient->Disconnect(2000); });
    while (lClient->Active()) lLoop.ProcessPending(5);
    lStopper.join();
    while (lLoop.ProcessPending() > 0) {
    }
    lClient.reset();
    while (lLoop.ProcessPending() > 0) {
    }
  }
  SetMainThreadDispatcher(nullptr);
}

TEST(WSClient, RegisterAPI) {
  struct Plain : TqmtWSAPI {
    std::string ClassName() const override { return "TPlainAPI"; }
  } lPlain;
  struct Linked : TqmtWSAPI_client {
    std::string URL() override { return "wss://stream.example:9443/ws"; }
  } lLinked;
  TqmtWSClient lClient;
  try {
    lClient.RegisterAPI(&lPlain);
    FAIL() << "accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Error API: TPlainAPI not supported.");
  }
  lLinked.SetClient(&lClient);
  EXPECT_EQ(lClient.API(), &lLinked);
  EXPECT_EQ(lClient.Host, "stream.example");
  EXPECT_EQ(lClient.Port, 9443);
  EXPECT_TRUE(lClient.TLS);
  lLinked.SetClient(nullptr);
  EXPECT_EQ(lClient.API(), nullptr);
}

TEST(WSClient, RedirectReconnectsFromAnotherThread) {
  ScriptedServer lTarget([](int s, int) { WsServe(s, true, nullptr, 3000); });
  ScriptedServer lRedirector([&](int s, int) {
    RecvHead(s);
    SendAll(s, "HTTP/1.1 302 Found\r\nLocation: ws://127.0.0.1:" + std::to_string(lTarget.Port()) + "/moved\r\n\r\n");
  });
  TqmtWSClient lClient;
  Events lEvents;
  lEvents.Attach(lClient);
  Shorten(lClient);
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(lRedirector.Port()) + "/old");
  lClient.Connect(0);
  ASSERT_TRUE(lEvents.WaitCount("connect", 1));
  EXPECT_EQ(lClient.Port, lTarget.Port());
  EXPECT_EQ(lClient.Options.Parameters(), "/moved");
  lClient.WriteData("arrived");
  EXPECT_TRUE(lEvents.WaitCount("message arrived", 1));
  lClient.Disconnect(2000);
}

TEST(WSClient, QueuedMessagesAndTheReadableTrafficLog) {
  ScriptedServer lServer([](int s, int) { WsServe(s, true, nullptr, 3000); });
  const auto lLog = std::filesystem::temp_directory_path() / ("qmt_ws_log_" + std::to_string(::getpid()) + ".log");
  std::filesystem::remove(lLog);
  TqmtWSClient lClient;
  Events lEvents;
  lEvents.Attach(lClient);
  Shorten(lClient);
  lClient.LogFile.Enabled = true;
  lClient.LogFile.FileName = lLog.string();
  lClient.LogFile.UnMaskFrames = true;
  lClient.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/");
  ASSERT_TRUE(lClient.Connect(5000));
  lClient.SetQueueMessages(true);
  lClient.WriteData("first");
  lClient.WriteData("second");
  lClient.WriteData("third");
  // Held while queueing; the third is dropped by QueueClear before delivery.
  for (int i = 0; i < 100 && lClient.Connection()->LastMessage() != "third"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(lEvents.Count("message"), 0);
  lClient.QueueClear();
  lClient.WriteData("fourth");
  for (int i = 0; i < 100 && lClient.Connection()->LastMessage() != "fourth"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  lClient.SetQueueMessages(false);
  ASSERT_TRUE(lEvents.WaitCount("message", 1));
  EXPECT_EQ(lEvents.Log.back(), "message fourth");
  lClient.Disconnect(2000);
  const std::string lText = ReadFile(lLog);
  EXPECT_NE(lText.find(": [text] first\r\n"), std::string::npos) << lText.substr(0, 300);
  std::filesystem::remove(lLog);
}
