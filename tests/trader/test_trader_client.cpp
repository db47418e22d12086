#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "qmtTraderClient.h"
#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Ticker.h"
#include "trader_fixture.h"

namespace {

class TraderClient : public qmt_test::TraderDataTest {};

struct Listener : TObject {
  explicit Listener(std::string aName, std::string* aLog) : FName(std::move(aName)), FLog(aLog) {}
  void OnTicker(TObject*, const TqmtTraderTicker& aTicker) {
    *FLog += FName + ":" + aTicker.Symbol() + " ";
    // The table has the row before any listener runs.
    FSawRow = GetTraderDataTicker().CDSTicker().CloneCursor()->FindKey(aTicker.Symbol());
  }
  void OnThrow(TObject*, const TqmtTraderTicker&) { throw std::runtime_error("listener failed"); }
  void OnBook(TObject*, const TqmtTraderBookDepth& aDepth) { *FLog += FName + ":book:" + aDepth.Symbol() + " "; }
  void OnTrade(TObject*, const TqmtTraderTrade& aTrade) { *FLog += FName + ":trade:" + aTrade.Symbol() + " "; }
  void OnBalance(TObject*, const TqmtTraderBalance& aBalance) { *FLog += FName + ":balance:" + aBalance.Symbol() + " "; }
  void OnConnect(TObject* aSender) { *FLog += FName + ":connect "; }
  std::string FName;
  std::string* FLog;
  bool FSawRow = false;
};

// Records the subscriptions that the exchange's part would send.
class RecordingClient : public TqmtTraderClient {
public:
  void SubscribeTicker(const std::string& aSymbol) override { FCalls += "ticker:" + aSymbol + " "; }
  void SubscribeBookDepth(const std::string& aSymbol) override { FCalls += "book:" + aSymbol + " "; }
  void SubscribeTrades(const std::string& aSymbol) override { FCalls += "trades:" + aSymbol + " "; }
  std::string FCalls;
};

TqmtTraderTicker Ticker(const std::string& aSymbol) {
  TqmtTraderTicker lTicker;
  lTicker.SetSymbol(aSymbol);
  lTicker.SetPrice(1);
  return lTicker;
}

}  // namespace

TEST_F(TraderClient, ListenerRegistrationAndFanOut) {
  std::string lLog;
  Listener a("a", &lLog), b("b", &lLog), c("c", &lLog);
  TqmtTraderClient lClient;
  lClient.RegisterOnTicker({&a, &Listener::OnTicker});
  lClient.RegisterOnTicker({&a, &Listener::OnThrow});
  lClient.RegisterOnTicker({&b, &Listener::OnTicker});
  lClient.RegisterOnTicker({&a, &Listener::OnTicker});  // again: moves to the end, listed once
  lClient.RegisterOnTicker({&c, &Listener::OnTicker});
  lClient.UnRegisterOnTicker({&c, &Listener::OnTicker});
  lClient.UnRegisterOnTicker({&c, &Listener::OnTicker});  // absent: nothing

  lClient.DoTicker(Ticker("BTCUSDT"));
  EXPECT_EQ(lLog, "b:BTCUSDT a:BTCUSDT ") << "the throwing listener stops nobody";
  EXPECT_TRUE(a.FSawRow);

  lLog.clear();
  lClient.RegisterOnBalance({&a, &Listener::OnBalance});
  lClient.RegisterOnBalance({&b, &Listener::OnBalance});
  lClient.RegisterOnBookDepth({&a, &Listener::OnBook});
  lClient.RegisterOnTrade({&b, &Listener::OnTrade});
  lClient.RegisterOnConnect({&a, &Listener::OnConnect});
  TqmtTraderBalance lBalance;
  lBalance.SetSymbol("USDT");
  lClient.DoBalance(lBalance);
  TqmtTraderOrder lOrder;
  lOrder.SetSymbol("BTCUSDT");
  lOrder.SetId("1");
  lClient.DoOrder(lOrder);  // no order listeners exist
  TqmtTraderBookDepth lBook;
  lBook.SetSymbol("UNKNOWN");  // the broker does not know it: listeners still hear it
  lClient.DoBookDepth(lBook);
  TqmtTraderTrade lTrade;
  lTrade.SetSymbol("UNKNOWN");
  lClient.DoTrade(lTrade);
  EXPECT_EQ(lLog, "a:balance:USDT b:balance:USDT a:book:UNKNOWN b:trade:UNKNOWN ");
  EXPECT_TRUE(GetTraderDataBalance().CDSBalance().FindKey(std::string("USDT")));
  EXPECT_EQ(lClient.Broker().Symbols().Count(), 0);
}

TEST_F(TraderClient, BrokerKnowsSymbolsOnlyThroughDoSymbol) {
  TqmtTraderClient lClient;
  lClient.DoTicker(Ticker("BTCUSDT"));
  EXPECT_EQ(lClient.Broker().Symbols().GetSymbol("BTCUSDT"), nullptr);
  TqmtTraderSymbol lSymbol;
  lSymbol.SetSymbol("BTCUSDT");
  lClient.DoSymbol(lSymbol);
  auto lTicker = Ticker("BTCUSDT");
  lTicker.SetPrice(5);
  lClient.DoTicker(lTicker);
  ASSERT_NE(lClient.Broker().Symbols().GetSymbol("BTCUSDT"), nullptr);
  EXPECT_EQ(lClient.Broker().Symbols().GetSymbol("BTCUSDT")->Ticker().Price(), 5);
}

TEST_F(TraderClient, AbstractOperationsAndProcessWideAccess) {
  EXPECT_EQ(GetTraderClient(), nullptr);
  {
    TqmtTraderClient lClient;
    EXPECT_THROW(lClient.SubscribeTicker("X"), EAbstractError);
    EXPECT_THROW(lClient.PlaceLimitOrder(TqmtTraderOrderSide::stosBuy, "X", 1, 1), EAbstractError);
    try {
      lClient.CancelAllOpenOrders();
    } catch (const EAbstractError& e) {
      EXPECT_STREQ(e.what(), "Abstract Error");
    }
    lClient.RegisterTraderClient();
    EXPECT_EQ(GetTraderClient(), &lClient);
  }
  EXPECT_EQ(GetTraderClient(), nullptr) << "a destroyed client is never handed out";
}

TEST_F(TraderClient, ConnectSubscribesTheWatchListInTableOrder) {
  std::string lLog;
  Listener a("a", &lLog);
  RecordingClient lClient;
  lClient.RegisterOnConnect({&a, &Listener::OnConnect});
  lClient.DoClientConnect();
  EXPECT_EQ(lClient.FCalls, "") << "an empty watch list subscribes nothing";
  GetTraderDataTicker().UpdateTicker(Ticker("ETHUSDT"));
  GetTraderDataTicker().UpdateTicker(Ticker("BTCUSDT"));
  lClient.DoClientConnect();
  EXPECT_EQ(lClient.FCalls, "ticker:BTCUSDT book:BTCUSDT trades:BTCUSDT ticker:ETHUSDT book:ETHUSDT trades:ETHUSDT ");
  EXPECT_EQ(lLog, "a:connect a:connect ");
}

TEST_F(TraderClient, RegistrationWhileTheStreamNotifies) {
  TqmtTraderClient lClient;
  struct Counter : TObject {
    std::atomic<int> calls{0};
    void OnTicker(TObject*, const TqmtTraderTicker&) { ++calls; }
  };
  Counter lFixed;
  lClient.RegisterOnTicker({&lFixed, &Counter::OnTicker});
  std::atomic<bool> lStop{false};
  std::thread lStream([&] {
    const auto lTicker = Ticker("BTCUSDT");
    while (!lStop) lClient.DoTicker(lTicker);
  });
  // Listeners come and go on this thread; once UnRegister returns, nothing calls them again.
  for (int i = 0; i < 300; ++i) {
    auto lTemporary = std::make_unique<Counter>();
    lClient.RegisterOnTicker({lTemporary.get(), &Counter::OnTicker});
    lClient.UnRegisterOnTicker({lTemporary.get(), &Counter::OnTicker});
    lTemporary.reset();
  }
  while (lFixed.calls.load() == 0) std::this_thread::yield();
  lStop = true;
  lStream.join();
  EXPECT_GT(lFixed.calls.load(), 0);
}
