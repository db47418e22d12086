#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>

#include "http_peer.h"
#include "qmtBinance_Addresses.h"
#include "qmtWebSocket_API_Binance.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

// Restores the address table when a test ends.
struct Addresses {
  ~Addresses() {
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
  }
};

}  // namespace

TEST(StreamClient, Addresses) {
  struct Case {
    bool futures, coin, us, test, combined;
    const char* url;
  };
  const Case lCases[] = {
      {false, false, false, false, false, "wss://stream.binance.com:9443/ws"},
      {false, false, false, false, true, "wss://stream.binance.com:9443/stream"},
      {false, false, false, true, false, "wss://stream.testnet.binance.vision/ws"},
      {false, false, true, false, false, "wss://stream.binance.us:9443/ws"},
      {false, false, true, true, false, nullptr},
      {true, false, false, false, false, "wss://fstream.binance.com/ws"},
      {true, false, false, true, true, "wss://fstream.binancefuture.com/stream"},
      {true, true, false, false, false, "wss://dstream.binance.com/ws"},
      {true, true, false, true, false, "wss://dstream.binancefuture.com/ws"},
      {true, false, true, false, false, nullptr},
  };
  for (const auto& c : lCases) {
    std::unique_ptr<TqmtWS_API_Binance_Base> lApi;
    if (c.futures) {
      auto f = std::make_unique<TqmtWSAPI_Binance_Futures>();
      if (c.coin) f->FuturesContracts = TqmtWSBinanceFuturesContracts::bfcCOIN;
      lApi = std::move(f);
    } else {
      lApi = std::make_unique<TqmtWSAPI_Binance>();
    }
    lApi->Binance().BinanceUS = c.us;
    lApi->Binance().TestNet = c.test;
    lApi->Binance().UseCombinedStreams = c.combined;
    if (c.url) {
      EXPECT_EQ(lApi->URL(), c.url);
    } else {
      try {
        lApi->URL();
        ADD_FAILURE() << "accepted Binance.US";
      } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Method Not supported by Binance.US");
      }
      TqmtWSClient lClient;
      EXPECT_THROW(lClient.RegisterAPI(lApi.get()), Exception) << "registering reads the URL";
    }
  }
  // A configured address is used as given.
  Addresses lRestore;
  SetBinanceAddress(TqmtBinanceAddress::SpotStream, "ws://127.0.0.1:1");
  EXPECT_EQ(TqmtWSAPI_Binance().URL(), "ws://127.0.0.1:1/ws");
}

TEST(StreamClient, ListenKeyLifecycle) {
  Addresses lRestore;
  HTTPServer lServer;
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
  std::atomic<int> lCreated{0};
  lServer.Respond([&](const Recorded& r) -> std::pair<std::string, std::string> {
    if (r.method == "POST") return {"200 OK", "{\"listenKey\":\"key" + std::to_string(++lCreated) + "\"}"};
    return {"200 OK", "{}"};
  });
  TqmtWSClient lClient;
  TqmtWSAPI_Binance lApi;
  lApi.Binance().ApiKey = "the-key";
  lApi.KeepAliveIntervalMs = 100;
  lApi.SetClient(&lClient);
  lApi.DoBeforeActivate();
  EXPECT_EQ(lApi.ListenKey(), "key1");
  EXPECT_EQ(lClient.Options.Parameters(), "/ws/key1");
  EXPECT_EQ(lClient.Port, 9443);
  auto r = lServer.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].target, "/api/v3/userDataStream");
  EXPECT_NE(r[0].head.find("\r\nX-MBX-APIKEY: the-key\r\n"), std::string::npos);
  EXPECT_EQ(r[0].body, "");

  // Keep-alive on the timer.
  for (int i = 0; i < 200 && lServer.Take().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  r = lServer.Take();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back().method, "PUT");
  EXPECT_EQ(r.back().target, "/api/v3/userDataStream?listenKey=key1");

  // Expiry, in either spelling and inside a combined-stream wrapper, forgets the key (the dropped
  // connection's reconnection asks for a new one); market events that merely mention it do not.
  for (const char* lEvent : {R"({"e":"listenKeyExpired","E":1})", R"({"e": "listenKeyExpired","E":1})",
                             R"({"stream":"key1","data":{"e":"listenKeyExpired","E":1,"listenKey":"key1"}})"}) {
    SCOPED_TRACE(lEvent);
    lApi.DoBeforeActivate();
    ASSERT_FALSE(lApi.ListenKey().empty());
    EXPECT_FALSE(lApi.DoFilterMessage(lEvent));
    EXPECT_EQ(lApi.ListenKey(), "");
  }
  lApi.DoBeforeActivate();
  EXPECT_FALSE(lApi.DoFilterMessage(R"({"e":"24hrTicker","s":"listenKeyExpired"})"));
  EXPECT_EQ(lApi.ListenKey(), "key5");
  EXPECT_EQ(lClient.Options.Parameters(), "/ws/key5");
  lCreated = 1;

  // Disconnect in each mode.
  lApi.DoBeforeActivate();
  lServer.Take();
  lApi.DoDisconnect(nullptr, 0);
  r = lServer.Take();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.back().method, "DELETE");
  EXPECT_EQ(r.back().target, "/api/v3/userDataStream?listenKey=key2");
  EXPECT_EQ(lApi.ListenKey(), "") << "an answer of exactly {} clears the key";
  lApi.DoBeforeActivate();
  lApi.Binance().ListenKeyOnDisconnect = TqmtWSBinanceListenKeyOnDisconnect::blkodClearListenKey;
  lServer.Take();
  lApi.DoDisconnect(nullptr, 0);
  EXPECT_EQ(lApi.ListenKey(), "");
  lApi.DoBeforeActivate();
  lApi.Binance().ListenKeyOnDisconnect = TqmtWSBinanceListenKeyOnDisconnect::blkodDoNothing;
  lApi.DoDisconnect(nullptr, 0);
  EXPECT_EQ(lApi.ListenKey(), "key4");
  lApi.Binance().ListenKeyOnDisconnect = TqmtWSBinanceListenKeyOnDisconnect::blkodDeleteListenKey;
  lServer.Respond([](const Recorded&) -> std::pair<std::string, std::string> { return {"200 OK", "{\"code\":1}"}; });
  lApi.DoDisconnect(nullptr, 0);
  EXPECT_EQ(lApi.ListenKey(), "key4") << "any other answer keeps the key";

  // Combined streams put the key in the query.
  lServer.Respond([](const Recorded&) -> std::pair<std::string, std::string> { return {"200 OK", "{\"listenKey\":\"kc\"}"}; });
  lApi.Binance().UseCombinedStreams = true;
  lApi.DoBeforeActivate();
  EXPECT_EQ(lClient.Options.Parameters(), "/stream?streams=kc");

  // A failed create reports through the event and fails the activation.
  std::string lReported;
  lApi.OnBinanceHTTPException = [&](TObject*, const std::exception& e) { lReported = e.what(); };
  lServer.Respond([](const Recorded&) -> std::pair<std::string, std::string> {
    return {"401 Unauthorized", R"({"code":-2015,"msg":"Invalid API-key."})"};
  });
  try {
    lApi.DoBeforeActivate();
    FAIL() << "activated without a key";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "ListenKey cannot be empty.");
  }
  EXPECT_EQ(lReported, R"(HTTP/1.1 401 Unauthorized. {"code":-2015,"msg":"Invalid API-key."})");

  // No key, no user stream.
  lServer.Take();
  lApi.Binance().ApiKey.clear();
  lApi.Binance().UseCombinedStreams = false;
  lApi.DoBeforeActivate();
  EXPECT_TRUE(lServer.Take().empty());
  EXPECT_EQ(lClient.Options.Parameters(), "/ws");
}

TEST(StreamClient, AFailedKeepAliveIsReportedAndTheNextOneStillRuns) {
  Addresses lRestore;
  HTTPServer lServer;
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lServer.Address());
  std::atomic<int> lPuts{0};
  lServer.Respond([&](const Recorded& r) -> std::pair<std::string, std::string> {
    if (r.method == "POST") return {"200 OK", R"({"listenKey":"key1"})"};
    if (r.method == "PUT" && ++lPuts == 1) return {"500 Internal Server Error", "busy"};
    return {"200 OK", "{}"};
  });
  TqmtWSClient lClient;
  std::mutex lLock;
  std::vector<std::string> lReported;
  lClient.OnException = [&](TqmtWSConnection*, const std::exception& e) {
    std::lock_guard g(lLock);
    lReported.push_back(e.what());
  };
  TqmtWSAPI_Binance lApi;
  lApi.Binance().ApiKey = "the-key";
  lApi.KeepAliveIntervalMs = 50;
  // As the trader client does: a REST failure raises from the handler.
  lApi.OnBinanceHTTPException = [](TObject*, const std::exception& e) { throw Exception(std::string("raised: ") + e.what()); };
  lApi.SetClient(&lClient);
  lApi.DoBeforeActivate();
  for (int i = 0; i < 400 && lPuts < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(lPuts.load(), 3) << "the keep-alive lives on after a failure";
  std::lock_guard g(lLock);
  ASSERT_EQ(lReported.size(), 1u);
  EXPECT_EQ(lReported[0], "raised: HTTP/1.1 500 Internal Server Error. busy");
}

TEST(StreamClient, TheSenderThreadSeesTheClientChangeSafely) {
  // The paced sender reads the attached client while the user interface attaches and detaches it
  // (ThreadSanitizer watches).
  TqmtWSClient lOne, lTwo;
  TqmtWSAPI_Binance lApi;
  lApi.ControlMessagesPerSecond = 0;
  for (int i = 0; i < 200; ++i) {
    lApi.SetClient(i % 2 ? &lOne : &lTwo);
    lApi.SubscribeTicker("btcusdt");
    if (i % 7 == 0) lApi.SetClient(nullptr);
  }
  lApi.SetClient(nullptr);
}

TEST(StreamClient, NoMoreFramesInAnyOneSecondSpanThanTheBudget) {
  // Control messages, the heart-beat's pings and the pongs to the server's pings all count: the
  // exchange drops a spot connection that sends a sixth frame within a second (a futures one an
  // eleventh); the budgets are 4 and 8.
  for (const int lBudget : {4, 8}) {
    SCOPED_TRACE(lBudget);
    Addresses lRestore;
    std::mutex lLock;
    std::vector<std::pair<std::chrono::steady_clock::time_point, int>> lFrames;
    std::atomic<bool> lStop{false};
    ScriptedServer lServer([&](int s, int) {
      WsAccept(s);
      auto lNextPing = std::chrono::steady_clock::now();
      while (!lStop) {
        if (std::chrono::steady_clock::now() >= lNextPing) {
          SendAll(s, WsServerFrame(0x89, "p"));
          lNextPing += std::chrono::milliseconds(300);
        }
        const auto [lOp, lPayload] = WsReadClientFrame(s, 20);
        if (lOp == -1) return;
        if (lOp < 0) continue;
        std::lock_guard g(lLock);
        lFrames.emplace_back(std::chrono::steady_clock::now(), lOp);
      }
    });
    SetBinanceAddress(TqmtBinanceAddress::SpotStream, "ws://127.0.0.1:" + std::to_string(lServer.Port()));
    TqmtWSClient lClient;
    lClient.SetNotifyEvents(TwsNotifyEvent::neNoSync);
    lClient.HeartBeat.Enabled = true;
    lClient.HeartBeat.Interval = 4;
    lClient.HeartBeat.TimeUnitMs = 100;  // a ping every 400 ms
    TqmtWSAPI_Binance lApi;
    lApi.Binance().UserStream = false;
    lApi.FramesPerSecond = lBudget;
    lApi.SetClient(&lClient);
    ASSERT_TRUE(lClient.Connect(5000));
    for (int i = 0; i < 10; ++i) lApi.SubscribeTicker("sym" + std::to_string(i));
    auto lCount = [&](int aOp) {
      std::lock_guard g(lLock);
      return std::count_if(lFrames.begin(), lFrames.end(), [&](const auto& f) { return f.second == aOp; });
    };
    // Until every message is out and the heart-beat had its turn too. At 4 frames a second the pongs
    // and pings take most of the budget, so the ten messages need about ten seconds; a loaded machine
    // needs more.
    for (int i = 0; i < 3000 && (lCount(0x1) < 10 || lCount(0x9) == 0); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    lStop = true;
    lClient.Disconnect(2000);
    std::lock_guard g(lLock);
    EXPECT_EQ(std::count_if(lFrames.begin(), lFrames.end(), [](const auto& f) { return f.second == 0x1; }), 10) << "none lost";
    EXPECT_GT(std::count_if(lFrames.begin(), lFrames.end(), [](const auto& f) { return f.second == 0xA; }), 0) << "pongs";
    EXPECT_GT(std::count_if(lFrames.begin(), lFrames.end(), [](const auto& f) { return f.second == 0x9; }), 0) << "pings";
    std::size_t lPeak = 0;
    for (std::size_t i = 0; i < lFrames.size(); ++i) {
      std::size_t j = i;
      while (j < lFrames.size() && lFrames[j].first - lFrames[i].first < std::chrono::milliseconds(1000)) ++j;
      lPeak = std::max(lPeak, j - i);
    }
    EXPECT_LE(lPeak, static_cast<std::size_t>(lBudget)) << "frames in the busiest second";
    std::printf("budget %d frames/s: peak %zu frames in one second over %zu frames\n", lBudget, lPeak, lFrames.size());
  }
}

TEST(StreamClient, ControlMessagesArePacedInOrder) {
  Addresses lRestore;
  std::mutex lLock;
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> lReceived;
  ScriptedServer lServer([&](int s, int) {
    WsServe(s, true, [&](int aOp, const std::string& aPayload) {
      if (aOp == 0x1) {
        std::lock_guard g(lLock);
        lReceived.emplace_back(std::chrono::steady_clock::now(), aPayload);
      }
      return true;
    }, 8000);
  });
  SetBinanceAddress(TqmtBinanceAddress::SpotStream, "ws://127.0.0.1:" + std::to_string(lServer.Port()));
  TqmtWSClient lClient;
  lClient.SetNotifyEvents(TwsNotifyEvent::neNoSync);
  TqmtWSAPI_Binance lApi;
  lApi.Binance().UserStream = false;
  lApi.ControlMessagesPerSecond = 20;
  lApi.FramesPerSecond = 0;  // the pace of the messages alone
  EXPECT_EQ(lApi.SubscribeTicker("btcusdt"), 0) << "no client: nothing sent";
  lApi.SetClient(&lClient);
  ASSERT_TRUE(lClient.Connect(5000));
  EXPECT_EQ(lApi.SubscribeTicker("btcusdt"), 1);
  EXPECT_EQ(lApi.SubscribeKLine("btcusdt", TqmtWSBinanceChartIntervals::bci1Mo), 2);
  EXPECT_EQ(lApi.UnSubscribeKLine("btcusdt", TqmtWSBinanceChartIntervals::bci1Mo), 3);
  EXPECT_EQ(lApi.SubscribePartialBookDepth("btcusdt", TqmtWSBinanceDepthLevels::bde20, "@1000ms"), 4);
  EXPECT_EQ(lApi.UnSubscribePartialBookDepth("btcusdt", TqmtWSBinanceDepthLevels::bde20), 5);
  EXPECT_EQ(lApi.SubscribeAllBookTickers(), 6);
  EXPECT_EQ(lApi.SubscribeDiffDepth("btcusdt"), 7);
  EXPECT_EQ(lApi.ListSubscriptions(), 8);
  for (int i = 0; i < 22; ++i) lApi.SubscribeAggregateTrades("sym" + std::to_string(i));
  const auto lStart = std::chrono::steady_clock::now();
  for (int i = 0; i < 400; ++i) {
    {
      std::lock_guard g(lLock);
      if (lReceived.size() >= 30) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard g(lLock);
  ASSERT_EQ(lReceived.size(), 30u) << "none lost";
  EXPECT_EQ(lReceived[0].second, R"({"method": "SUBSCRIBE", "params":["btcusdt@ticker"], "id": 1})");
  EXPECT_EQ(lReceived[1].second, R"({"method": "SUBSCRIBE", "params":["btcusdt@kline_1M"], "id": 2})");
  EXPECT_EQ(lReceived[2].second, R"({"method": "UNSUBSCRIBE", "params":["btcusdt@kline_1M"], "id": 3})");
  EXPECT_EQ(lReceived[3].second, R"({"method": "SUBSCRIBE", "params":["btcusdt@depth20@1000ms"], "id": 4})");
  EXPECT_EQ(lReceived[4].second, R"({"method": "UNSUBSCRIBE", "params":["btcusdt@depth20"], "id": 5})");
  EXPECT_EQ(lReceived[5].second, R"({"method": "SUBSCRIBE", "params":["!bookTicker"], "id": 6})");
  EXPECT_EQ(lReceived[6].second, R"({"method": "SUBSCRIBE", "params":["btcusdt@depth"], "id": 7})");
  EXPECT_EQ(lReceived[7].second, R"({"method": "LIST_SUBSCRIPTIONS", "id": 8})");
  for (int i = 0; i < 22; ++i)
    EXPECT_EQ(lReceived[8 + i].second, R"({"method": "SUBSCRIBE", "params":["sym)" + std::to_string(i) +
                                           R"(@aggTrade"], "id": )" + std::to_string(9 + i) + "}");
  // Never faster than the configured 20 a second. Arrival times carry the delivery's jitter (one late
  // message shortens the next gap), so each gap gets a generous slack and the whole run a small one.
  for (std::size_t i = 1; i < lReceived.size(); ++i)
    EXPECT_GE(lReceived[i].first - lReceived[i - 1].first, std::chrono::milliseconds(25)) << i;
  EXPECT_GE(lReceived.back().first - lReceived.front().first, std::chrono::milliseconds(29 * 50 - 60));
  (void)lStart;
  lClient.Disconnect(2000);
}

TEST(StreamClient, RESTClientCarriesTheAccount) {
  TqmtWSClient lClient;
  lClient.TLSOptions.VerifyCertificate = true;
  lClient.TLSOptions.Version = TwsTLSVersions::tls1_3;
  TqmtWSAPI_Binance_Futures lApi;
  lApi.SetClient(&lClient);
  lApi.Binance().ApiKey = "k";
  lApi.Binance().ApiSecret = "s";
  lApi.Binance().TestNet = true;
  lApi.FuturesContracts = TqmtWSBinanceFuturesContracts::bfcCOIN;
  auto& lREST = lApi.REST_API();
  EXPECT_EQ(lREST.BinanceOptions().ApiKey, "k");
  EXPECT_EQ(lREST.BinanceOptions().ApiSecret, "s");
  EXPECT_TRUE(lREST.BinanceOptions().TestNet);
  EXPECT_EQ(lREST.FuturesContracts, TqmtHTTPBinanceFuturesContracts::bfchCOIN);
  EXPECT_EQ(lREST.GetBaseURL(), "https://testnet.binancefuture.com/dapi");
  EXPECT_TRUE(lREST.TLSOptions.VerifyCertificate) << "verification follows the stream";
  EXPECT_FALSE(lREST.OnHTTPAPIException);
  int lCalls = 0;
  lApi.OnBinanceHTTPException = [&](TObject* aSender, const std::exception&) {
    EXPECT_EQ(aSender, &lApi);
    ++lCalls;
  };
  lApi.Binance().ApiKey = "k2";
  auto& lAgain = lApi.REST_API();
  EXPECT_EQ(&lAgain, &lREST) << "made once, copied into on every access";
  EXPECT_EQ(lAgain.BinanceOptions().ApiKey, "k2");
  ASSERT_TRUE(lAgain.OnHTTPAPIException);
  lAgain.OnHTTPAPIException(&lAgain, Exception("x"));
  EXPECT_EQ(lCalls, 1);

  TqmtWSAPI_Binance lSpot;
  lSpot.SetClient(nullptr);
  TqmtWSClient lSpotClient;
  lSpotClient.TLSOptions.Version = TwsTLSVersions::tls1_3;
  lSpotClient.TLSOptions.VerifyCertificate = true;
  lSpot.SetClient(&lSpotClient);
  EXPECT_EQ(lSpot.REST_API().TLSOptions.Version, TwsTLSVersions::tls1_3) << "spot copies the stream's TLS version";
  EXPECT_TRUE(lSpot.REST_API().TLSOptions.VerifyCertificate);
}

TEST(StreamClient, UserDataSubscriptionRequestIsSignedAsDocumented) {
  // The documented spot key pair; the signatures are HMAC-SHA256 over the sorted parameters
  // (computed independently in the exchange's reference material).
  TqmtWSAPI_Binance_UserData lApi;
  lApi.Binance().ApiKey = "vmPUZE6mv9SD5VNHk4HlWFsOr6aKE2zvsw0MuIgwCIPy6utIco14y7Ju91duEh8A";
  lApi.Binance().ApiSecret = "NhqPtmdSJYdKjVHjA7PZj4Mge3R5YNiP1e3UZjInClVN65XAbvqqM6A7H5fATj0j";
  EXPECT_EQ(lApi.SubscribeRequest("r1", "1747385641636"),
            R"({"id":"r1","method":"userDataStream.subscribe.signature","params":{"apiKey":")" + lApi.Binance().ApiKey +
                R"(","recvWindow":5000,"timestamp":1747385641636,"signature":"49601ffc5b0122c3c7ee3ea85ef7d6cd76256f5191a57c976418faa32e917653"}})");
  lApi.RecvWindow = 0;
  EXPECT_NE(lApi.SubscribeRequest("r2", "1747385641636").find("681110a6057ad58657af22f5640fab9dd17418834cdfccdc81be8b0f7b2cde3e"),
            std::string::npos);
}
