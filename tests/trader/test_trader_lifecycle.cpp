// The trading core when the network misbehaves: a signed-in stream whose listen-key requests fail,
// a frozen exchange, exit while the watchdog retries, unreadable table files, and the stream thread's
// REST requests beside the user interface's.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "test_support.h"
#include "http_peer.h"
#include "qmtBinance_Addresses.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"
#include "trader_fixture.h"
#include "ws_peer.h"

using namespace qmt_test;

namespace {

class TraderLifecycle : public TraderDataTest {};

using qmt_test::Eventually;

void Watch(const char* aSymbol) {
  TqmtTraderTicker lRow;
  lRow.SetSymbol(aSymbol);
  GetTraderDataTicker().UpdateTicker(lRow);
}

// What a stream server saw: the path of each connection and the control messages on it.
struct StreamLog {
  std::mutex Lock;
  std::vector<std::string> Paths;
  std::vector<std::vector<std::string>> Messages;
  void Connection(const std::string& aHead) {
    std::lock_guard g(Lock);
    Paths.push_back(aHead.substr(4, aHead.find(' ', 4) - 4));
    Messages.emplace_back();
  }
  void Message(const std::string& aText) {
    std::lock_guard g(Lock);
    Messages.back().push_back(aText);
  }
  std::size_t Count() {
    std::lock_guard g(Lock);
    return Paths.size();
  }
};

}  // namespace

TEST_F(TraderLifecycle, ASignedInStreamReconnectsWhenTheListenKeyDeleteFails) {
  // The exchange closes the first connection; the DELETE of its key fails (the network is down for
  // REST): the stream must still come back with a fresh key and the watch list subscribed again.
  // Coin-margined futures: the user stream rides on the market-data connection's listen key.
  std::atomic<int> lKeys{0};
  HTTPServer lRest;
  lRest.Respond([&](const Recorded& r) -> std::pair<std::string, std::string> {
    if (r.target.rfind("/dapi/v1/listenKey", 0) == 0) {
      if (r.method == "POST") return {"200 OK", "{\"listenKey\":\"k" + std::to_string(++lKeys) + "\"}"};
      if (r.method == "DELETE") return {"503 Service Unavailable", "down"};
    }
    return {"200 OK", R"({"symbols":[]})"};
  });
  StreamLog lLog;
  ScriptedServer lStream([&](int s, int aIndex) {
    lLog.Connection(WsAccept(s));
    const auto lEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(aIndex == 0 ? 300 : 3000);
    while (std::chrono::steady_clock::now() < lEnd) {
      const auto [lOp, lPayload] = WsReadClientFrame(s, 20);
      if (lOp == -1) return;
      if (lOp == 0x1) lLog.Message(lPayload);
      if (lOp == 0x9) SendAll(s, WsServerFrame(0x8A, lPayload));
    }
    if (aIndex == 0) {
      SendAll(s, WsServerFrame(0x88, "\x03\xE9"));
      WsReadClientFrame(s, 1000);
    }
  });
  SetBinanceAddress(TqmtBinanceAddress::FuturesCOINRest, lRest.Address());
  SetBinanceAddress(TqmtBinanceAddress::FuturesCOINStream, "ws://127.0.0.1:" + std::to_string(lStream.Port()));
  SetTraderDataMarket("COINM");  // the watch list of the market signed in to
  Watch("BTCUSD_PERP");
  {
    TqmtTraderClient_Binance c;
    c.GetWSClient().WatchDog.TimeUnitMs = 20;
    c.GetWSClient().TLSOptions.VerifyCertificate = false;
    ASSERT_TRUE(c.Initialize("key", "secret", true, 1, false));
    ASSERT_TRUE(Eventually([&] { return lLog.Count() >= 2; }));
    ASSERT_TRUE(Eventually([&] {
      std::lock_guard g(lLog.Lock);
      return !lLog.Messages[1].empty();
    }));
    EXPECT_NE(c.LastConnectionError().find("503"), std::string::npos) << "the failed DELETE is reported: " << c.LastConnectionError();
    EXPECT_TRUE(c.GetWSClient().Connection() && c.GetWSClient().Connection()->Enabled());
  }
  std::lock_guard g(lLog.Lock);
  EXPECT_EQ(lLog.Paths[0], "/stream?streams=k1");
  EXPECT_EQ(lLog.Paths[1], "/stream?streams=k2") << "every connection asks for its key again";
  for (const char* lStream : {"btcusd_perp@ticker", "btcusd_perp@depth20@500ms", "btcusd_perp@aggTrade"}) {
    const auto& m = lLog.Messages[1];
    EXPECT_TRUE(std::any_of(m.begin(), m.end(), [&](const std::string& t) { return t.find(lStream) != std::string::npos; }))
        << lStream;
  }
}

TEST_F(TraderLifecycle, ExitWhileTheWatchdogRetriesKeepsTheTables) {
  // The stream is down and attempts run every few milliseconds; the program ends by freeing the
  // tables alone: the trader client goes first and the watch list is saved.
  HTTPServer lRest;
  lRest.Answer("200 OK", R"({"symbols":[]})");
  SetBinanceAddress(TqmtBinanceAddress::SpotRest, lRest.Address());
  SetBinanceAddress(TqmtBinanceAddress::SpotStream, "ws://127.0.0.1:" + std::to_string(FreePort()));
  Watch("BTCUSDT");
  Watch("ETHUSDT");
  auto& c = GetTraderClientBinance();
  c.GetWSClient().WatchDog.TimeUnitMs = 1;
  c.GetWSClient().TLSOptions.VerifyCertificate = false;
  EXPECT_FALSE(c.Initialize("", "", false, 0, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  FreeTraderData();
  EXPECT_EQ(GetTraderClient(), nullptr) << "the trader client went first";
  auto lCursor = GetTraderDataTicker().CDSTicker().CloneCursor();
  EXPECT_TRUE(lCursor->FindKey(std::string("BTCUSDT")));
  EXPECT_TRUE(lCursor->FindKey(std::string("ETHUSDT")));
}

TEST_F(TraderLifecycle, UnreadableOrForeignTableFilesAreMovedAside) {
  // A symbols table saved under the ticker table's name (other columns), and a file that is no
  // table at all.
  TqmtTraderSymbol lSymbol;
  lSymbol.SetSymbol("BTCUSDT");
  GetTraderDataSymbols().AddSymbol(lSymbol);
  FreeTraderData();
  std::filesystem::copy_file(FDir / "qmtSymbols.db", FDir / "qmtTicker.db");
  {
    std::ofstream lGarbage(FDir / "qmtSymbols.db", std::ios::trunc);
    lGarbage << "this is not a table";
  }
  // The tables start empty, take new rows where their columns are, and say what happened.
  Watch("ETHUSDT");
  auto lTicker = GetTraderDataTicker().CDSTicker().CloneCursor();
  EXPECT_TRUE(lTicker->FindKey(std::string("ETHUSDT")));
  EXPECT_EQ(lTicker->FieldByName("PRICE").AsExtended(), 0);
  EXPECT_EQ(GetTraderDataSymbols().GetTable().RecordCount(), 0);
  int lAside = 0;
  for (const auto& e : std::filesystem::directory_iterator(FDir))
    lAside += e.path().filename().string().find(".unreadable-") != std::string::npos ? 1 : 0;
  EXPECT_EQ(lAside, 2);
  auto lLog = GetTraderDataLog().GetTable().CloneCursor();
  int lNotices = 0;
  for (lLog->First(); !lLog->Eof(); lLog->Next())
    lNotices += lLog->FieldByName("LOG_MESSAGE").AsString().find("moved aside") != std::string::npos ? 1 : 0;
  EXPECT_EQ(lNotices, 2);
  // The next start reads what this one saved.
  FreeTraderData();
  EXPECT_TRUE(GetTraderDataTicker().CDSTicker().CloneCursor()->FindKey(std::string("ETHUSDT")));
}

TEST_F(TraderLifecycle, PositionRefreshOnTheStreamThreadBesideOrdersOnTheUserInterface) {
  // ThreadSanitizer watches the REST clients: the stream thread's refresh and the user interface's
  // orders never share one.
  HTTPServer lRest;
  lRest.Respond([](const Recorded& r) -> std::pair<std::string, std::string> {
    if (r.target.find("positionRisk") != std::string::npos)
      return {"200 OK", R"([{"symbol":"BTCUSDT","positionAmt":"0.010","entryPrice":"27000","markPrice":"27100","unRealizedProfit":"1"}])"};
    return {"200 OK", "{}"};
  });
  SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTRest, lRest.Address());
  TqmtTraderClient_Binance c;
  auto& f = c.Client_Futures();
  f.Binance().ApiKey = "key";
  f.Binance().ApiSecret = "secret";
  f.SetClient(&c.GetWSClient());
  std::thread lStream([&] {
    for (int i = 0; i < 20; ++i) c.UpdateSymbolPosition("BTCUSDT");
  });
  for (int i = 0; i < 20; ++i) c.PlaceMarketOrder(TqmtTraderOrderSide::stosBuy, "BTCUSDT", 0.001L);
  lStream.join();
  EXPECT_EQ(WithoutTime(lRest.Take()).size(), 40u);
}
