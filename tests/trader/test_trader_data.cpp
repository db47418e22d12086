#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"

namespace {

// Each test gets its own data folder and fresh process-wide tables.
class TraderData : public ::testing::Test {
protected:
  void SetUp() override {
    FDir = std::filesystem::temp_directory_path() /
           ("qmt_data_" + std::to_string(::getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(FDir);
    SetTraderDataFolder((FDir / "db").string());
    FreeTraderData();
  }
  void TearDown() override {
    FreeTraderData();
    std::filesystem::remove_all(FDir);
  }
  std::filesystem::path FDir;
};

TqmtTraderTicker Ticker(const std::string& aSymbol, long double aPrice) {
  TqmtTraderTicker lTicker;
  lTicker.SetSymbol(aSymbol);
  lTicker.SetPrice(aPrice);
  lTicker.SetOpen(aPrice - 1);
  lTicker.SetHigh(aPrice + 2);
  lTicker.SetLow(aPrice - 2);
  lTicker.SetBid(aPrice - 0.01L);
  lTicker.SetAsk(aPrice + 0.01L);
  lTicker.SetSize(0.001L);
  return lTicker;
}

std::string Column(TqmtDataSet& aTable, const char* aField) {
  auto lCursor = aTable.CloneCursor();
  std::string lText;
  for (lCursor->First(); !lCursor->Eof(); lCursor->Next()) lText += lCursor->FieldByName(aField).AsString() + " ";
  return lText;
}

}  // namespace

TEST_F(TraderData, WritersFollowTheirKeyRules) {
  auto& lTicker = GetTraderDataTicker();
  lTicker.UpdateTicker(Ticker("ETHUSDT", 1800));
  lTicker.UpdateTicker(Ticker("BTCUSDT", 27000));
  lTicker.UpdateTicker(Ticker("ETHUSDT", 1801.5L));
  lTicker.UpdateTicker(Ticker("", 1));  // empty key: skipped
  EXPECT_EQ(Column(lTicker.CDSTicker(), "SYMBOL"), "BTCUSDT ETHUSDT ");
  EXPECT_EQ(Column(lTicker.CDSTicker(), "PRICE"), "27000 1801.5 ");
  auto& lGrid = lTicker.NewCloneCursor("grid-1");
  lGrid.First();
  lGrid.Next();
  EXPECT_EQ(lGrid.FieldByName("BID").DisplayText(), "1801.4900");
  EXPECT_EQ(lTicker.CDSTicker().DisplayFormat("BID"), "") << "formats only on grid cursors";

  auto& lSymbols = GetTraderDataSymbols();
  TqmtTraderSymbol lSymbol;
  lSymbol.SetSymbol("BTCUSDT");
  lSymbol.SetTickSize(TqmtCurrency::FromFloat(0.01L));
  lSymbols.AddSymbol(lSymbol);
  lSymbol.SetTickSize(TqmtCurrency::FromFloat(0.1L));
  lSymbols.AddSymbol(lSymbol);  // never updates an existing row
  lSymbol.SetSymbol("");
  lSymbols.AddSymbol(lSymbol);
  ASSERT_TRUE(lSymbols.CDSSymbols().FindKey(std::string("BTCUSDT")));
  EXPECT_EQ(lSymbols.CDSSymbols().FieldByName("TICK_SIZE").AsCurrency().Raw, 100);
  EXPECT_EQ(lSymbols.CDSSymbols().RecordCount(), 1);

  auto& lOrders = GetTraderDataOrders();
  TqmtTraderOrder lOrder;
  lOrder.SetId("o1");
  lOrder.SetSymbol("BTCUSDT");
  lOrder.SetOrderType("LIMIT");
  lOrder.SetOrderSide("BUY");
  lOrder.SetOrderStatus("NEW");
  lOrder.SetPrice(26000);
  lOrder.SetSize(0.5L);
  lOrder.SetDateTime(46000.25);
  lOrders.UpdateOrder(lOrder);
  lOrder.SetSymbol("ETHUSDT");  // an existing order keeps its first symbol
  lOrder.SetOrderStatus("FILLED");
  lOrder.SetOrderType("MARKET");
  lOrder.SetPrice(26001);
  lOrders.UpdateOrder(lOrder);
  lOrder.SetId("o2");
  lOrder.SetSymbol("");  // skipped: the symbol, not the id, decides
  lOrders.UpdateOrder(lOrder);
  auto& lTable = lOrders.CDSOpenOrders();
  ASSERT_TRUE(lTable.FindKey(std::string("o1")));
  EXPECT_EQ(lTable.FieldByName("SYMBOL").AsString(), "BTCUSDT");
  EXPECT_EQ(lTable.FieldByName("ORDER_STATUS").AsString(), "FILLED");
  EXPECT_EQ(lTable.FieldByName("ORDER_TYPE").AsString(), "MARKET");
  EXPECT_EQ(lTable.FieldByName("PRICE").AsExtended(), 26001);
  EXPECT_EQ(lTable.RecordCount(), 1);

  TqmtTraderBalance lBalance;
  lBalance.SetSymbol("USDT");
  lBalance.SetWalletBalance(1000.5L);
  GetTraderDataBalance().UpdateBalance(lBalance);
  ASSERT_TRUE(GetTraderDataBalance().CDSBalance().FindKey(std::string("USDT")));
  EXPECT_EQ(GetTraderDataBalance().CDSBalance().FieldByName("WALLET_BALANCE").AsExtended(), 1000.5L);

  TqmtTraderPosition lPosition;
  lPosition.SetSymbol("BTCUSDT");
  lPosition.SetPosition(-0.25L);
  GetTraderDataPosition().UpdatePosition(lPosition);
  EXPECT_EQ(Column(GetTraderDataPosition().CDSPosition(), "POSITION"), "-0.25 ");
}

TEST_F(TraderData, LogOnlyWhileEnabledInTimeOrder) {
  auto& lLog = GetTraderDataLog();
  lLog.Log("dropped");
  EXPECT_EQ(lLog.CDSLog().RecordCount(), 0);
  lLog.SetEnabled(true);
  for (int i = 0; i < 50; ++i) lLog.Log("m" + std::to_string(i));
  lLog.Log(std::string(3000, 'y'));
  auto lCursor = lLog.CDSLog().CloneCursor();
  int i = 0;
  double lLast = 0;
  for (lCursor->First(); !lCursor->Eof(); lCursor->Next(), ++i) {
    EXPECT_EQ(lCursor->FieldByName("LOG_TYPE").AsInteger(), 0);
    EXPECT_GE(lCursor->FieldByName("LOG_DATE").AsDateTime(), lLast);
    lLast = lCursor->FieldByName("LOG_DATE").AsDateTime();
    if (i < 50) {
      EXPECT_EQ(lCursor->FieldByName("LOG_MESSAGE").AsString(), "m" + std::to_string(i)) << "same-time rows stay in order";
    } else {
      EXPECT_EQ(lCursor->FieldByName("LOG_MESSAGE").AsString().size(), 2048u) << "cut to the column's size";
    }
  }
  EXPECT_EQ(i, 51);
}

TEST_F(TraderData, RestartKeepsStoredTablesAndEmptiesTheOthers) {
  GetTraderDataTicker().UpdateTicker(Ticker("BTCUSDT", 27000.12345678L));
  GetTraderDataTicker().UpdateTicker(Ticker("ETHUSDT", 1.0L / 3.0L));
  TqmtTraderSymbol lSymbol;
  lSymbol.SetSymbol("BTCUSDT");
  lSymbol.SetTickSize(TqmtCurrency::FromFloat(0.01L));
  lSymbol.SetTimeStart(0.375);
  GetTraderDataSymbols().AddSymbol(lSymbol);
  TqmtTraderOrder lOrder;
  lOrder.SetId("o1");
  lOrder.SetSymbol("BTCUSDT");
  GetTraderDataOrders().UpdateOrder(lOrder);
  TqmtTraderBalance lBalance;
  lBalance.SetSymbol("USDT");
  GetTraderDataBalance().UpdateBalance(lBalance);
  TqmtTraderPosition lPosition;
  lPosition.SetSymbol("BTCUSDT");
  GetTraderDataPosition().UpdatePosition(lPosition);
  GetTraderDataLog().SetEnabled(true);
  GetTraderDataLog().Log("x");

  EXPECT_FALSE(std::filesystem::exists(FDir / "db"));
  FreeTraderData();  // exit: the missing folder is made rather than losing the watch list
  EXPECT_TRUE(std::filesystem::exists(FDir / "db" / "qmtTicker.db"));
  EXPECT_TRUE(std::filesystem::exists(FDir / "db" / "qmtSymbols.db"));
  EXPECT_FALSE(std::filesystem::exists(FDir / "db" / "qmtOpenOrders.db"));

  auto& lTicker = GetTraderDataTicker().CDSTicker();
  ASSERT_TRUE(lTicker.FindKey(std::string("ETHUSDT")));
  EXPECT_EQ(lTicker.FieldByName("PRICE").AsExtended(), 1.0L / 3.0L);
  EXPECT_EQ(lTicker.FieldByName("BID").AsExtended(), 1.0L / 3.0L - 0.01L);
  ASSERT_TRUE(lTicker.FindKey(std::string("BTCUSDT")));
  EXPECT_EQ(lTicker.FieldByName("PRICE").AsExtended(), 27000.12345678L);
  auto& lSymbols = GetTraderDataSymbols().CDSSymbols();
  ASSERT_TRUE(lSymbols.FindKey(std::string("BTCUSDT")));
  EXPECT_EQ(lSymbols.FieldByName("TICK_SIZE").AsCurrency().Raw, 100);
  EXPECT_EQ(lSymbols.FieldByName("TIME_START").AsDateTime(), 0.375);
  EXPECT_EQ(GetTraderDataOrders().CDSOpenOrders().RecordCount(), 0);
  EXPECT_EQ(GetTraderDataBalance().CDSBalance().RecordCount(), 0);
  EXPECT_EQ(GetTraderDataPosition().CDSPosition().RecordCount(), 0);
  EXPECT_EQ(GetTraderDataLog().CDSLog().RecordCount(), 0);
  EXPECT_FALSE(GetTraderDataLog().Enabled());

  // Rows written after the load go on where the file left off.
  GetTraderDataTicker().UpdateTicker(Ticker("ADAUSDT", 0.25L));
  EXPECT_EQ(Column(GetTraderDataTicker().CDSTicker(), "SYMBOL"), "ADAUSDT BTCUSDT ETHUSDT ");
}

TEST_F(TraderData, CloneCursorsByGridId) {
  auto& lOrders = GetTraderDataOrders();
  auto& lOpen = lOrders.NewCloneCursor("open");
  auto& lHistory = lOrders.NewCloneCursor("history");
  lOpen.SetFilter("SYMBOL = 'BTCUSDT' AND (ORDER_STATUS <> 'FILLED' and ORDER_STATUS <> 'CANCELED')");
  lOpen.SetFiltered(true);
  EXPECT_EQ(lOpen.DisplayFormat("PRICE"), "0.0000");
  TqmtTraderOrder lOrder;
  lOrder.SetSymbol("BTCUSDT");
  for (const char* lStatus : {"NEW", "FILLED"}) {
    lOrder.SetId(std::string("id-") + lStatus);
    lOrder.SetOrderStatus(lStatus);
    lOrders.UpdateOrder(lOrder);
  }
  EXPECT_EQ(lOpen.RecordCount(), 1);
  lOrders.DeleteCloneCursor("open");
  lOrders.DeleteCloneCursor("unknown");
  EXPECT_EQ(lHistory.RecordCount(), 2) << "another grid's cursor is unaffected";
}

// A symbol taken off the watch list while its tickers are still on the way: deleting its row
// must not be undone by the next ticker (the row would be saved and subscribed again).
TEST_F(TraderData, UnwatchedSymbolIsNotWrittenBack) {
  TqmtTraderData_Ticker& t = GetTraderDataTicker();
  t.UpdateTicker(Ticker("BTCUSDT", 100));
  t.UpdateTicker(Ticker("ETHUSDT", 10));
  t.Unwatch("ETHUSDT");
  auto c = t.CDSTicker().CloneCursor();
  ASSERT_TRUE(c->FindKey(std::string("ETHUSDT")));
  c->Delete();
  t.UpdateTicker(Ticker("ETHUSDT", 11));  // in flight
  t.UpdateTicker(Ticker("BTCUSDT", 101));
  EXPECT_EQ(Column(t.CDSTicker(), "SYMBOL"), "BTCUSDT ");
  EXPECT_EQ(Column(t.CDSTicker(), "PRICE"), "101 ");
  t.Watch("ETHUSDT");  // added again by the user
  t.UpdateTicker(Ticker("ETHUSDT", 12));
  EXPECT_EQ(Column(t.CDSTicker(), "SYMBOL"), "BTCUSDT ETHUSDT ");
}
