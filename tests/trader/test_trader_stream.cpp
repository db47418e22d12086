#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "qmtTraderClient.h"
#include "qmtTraderData_Ticker.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

// Records the subscriptions the exchange's part would send, from whatever thread they come.
class RecordingClient : public TqmtTraderClient {
public:
  void SubscribeTicker(const std::string& aSymbol) override { Add("ticker:" + aSymbol); }
  void SubscribeBookDepth(const std::string& aSymbol) override { Add("book:" + aSymbol); }
  void SubscribeTrades(const std::string& aSymbol) override { Add("trades:" + aSymbol); }
  void DoClientMessage(std::string_view aText) override { Add("message:" + std::string(aText)); }
  std::vector<std::string> Calls() {
    std::lock_guard g(FLock);
    return FCalls;
  }

private:
  void Add(const std::string& aCall) {
    std::lock_guard g(FLock);
    FCalls.push_back(aCall);
  }
  std::mutex FLock;
  std::vector<std::string> FCalls;
};

struct Listener : TObject {
  std::atomic<int> connects{0}, disconnects{0};
  void OnConnect(TObject*) { ++connects; }
  void OnDisconnect(TObject*) { ++disconnects; }
};

}  // namespace

TEST(TraderStream, EveryReconnectionSubscribesTheWatchListAgain) {
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_stream_" + std::to_string(::getpid()));
  SetTraderDataFolder(lDir.string());
  FreeTraderData();
  for (const char* lSymbol : {"ETHUSDT", "BTCUSDT"}) {
    TqmtTraderTicker lTicker;
    lTicker.SetSymbol(lSymbol);
    GetTraderDataTicker().UpdateTicker(lTicker);
  }
  // The first connection is closed by the server after a moment; the second stays.
  ScriptedServer lServer([](int s, int aIndex) {
    if (aIndex == 0) {
      WsAccept(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      SendAll(s, WsServerFrame(0x88, "\x03\xE9"));
      WsReadClientFrame(s, 1000);
      return;
    }
    WsServe(s, true, nullptr, 3000);
  });
  Listener lListener;
  {
    RecordingClient lClient;
    lClient.RegisterOnConnect({&lListener, &Listener::OnConnect});
    lClient.RegisterOnDisconnect({&lListener, &Listener::OnDisconnect});
    auto& lWS = lClient.GetWSClient();
    EXPECT_EQ(lWS.NotifyEvents(), TwsNotifyEvent::neNoSync);
    EXPECT_TRUE(lWS.HeartBeat.Enabled);
    EXPECT_EQ(lWS.HeartBeat.Interval, 5);
    EXPECT_EQ(lWS.HeartBeat.Timeout, 8);
    EXPECT_TRUE(lWS.WatchDog.Enabled);
    EXPECT_EQ(lWS.WatchDog.Interval, 10);
    EXPECT_EQ(lWS.TLSOptions.Version, TwsTLSVersions::tls1_2);
    EXPECT_TRUE(lWS.TLSOptions.VerifyCertificate);
    lWS.WatchDog.TimeUnitMs = 20;  // ten "seconds" of 20 ms
    lWS.SetURL("ws://127.0.0.1:" + std::to_string(lServer.Port()) + "/ws");
    lClient.Connect();
    for (int i = 0; i < 500 && lListener.connects < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(lListener.connects.load(), 2);
    EXPECT_EQ(lListener.disconnects.load(), 1);
    const std::vector<std::string> lOnce = {"ticker:BTCUSDT", "book:BTCUSDT", "trades:BTCUSDT",
                                            "ticker:ETHUSDT", "book:ETHUSDT", "trades:ETHUSDT"};
    std::vector<std::string> lTwice = lOnce;
    lTwice.insert(lTwice.end(), lOnce.begin(), lOnce.end());
    EXPECT_EQ(lClient.Calls(), lTwice);
    lClient.GetWSClient().WriteData("echo me");
    for (int i = 0; i < 200 && lClient.Calls().size() < 13; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(lClient.Calls().back(), "message:echo me");
  }  // destroying the client disconnects first
  EXPECT_EQ(lListener.disconnects.load(), 2) << "destroying the client disconnected it first, and said so";
  TqmtTraderClient lIdle;
  lIdle.Disconnect();  // no stream client yet: nothing happens
  FreeTraderData();
  std::filesystem::remove_all(lDir);
}
