#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "qmtTraderMarketData.h"
#include "qmtTraderMarketData_Binance.h"

namespace {

// Holders are not copyable (they are queue items), so the fixture hands out a fresh one.
std::unique_ptr<TqmtTraderSymbol> NewSymbol(const std::string& aSymbol, long double aTickSize = 0.01L) {
  auto lSymbol = std::make_unique<TqmtTraderSymbol>();
  lSymbol->SetSymbol(aSymbol);
  lSymbol->SetTickSize(TqmtCurrency::FromFloat(aTickSize));
  return lSymbol;
}

void FillSide(TqmtTraderBookDepthValues& aSide, int aLevels, long double aFirstPrice) {
  for (int i = 1; i <= aLevels; ++i) {
    aSide.Value(i).SetPrice(aFirstPrice + i);
    aSide.Value(i).SetSize(i);
  }
}

}  // namespace

TEST(Currency, RoundsToFourDecimalsHalfToEven) {
  struct Case {
    long double value;
    std::int64_t raw;
  };
  const Case lCases[] = {
      {0.00000100L, 0}, {0.01L, 100}, {0.00001L, 0}, {1.0L, 10000}, {0.00015L, 2},
      {0.00025L, 2},    {0.00035L, 4}, {-0.00025L, -2}, {123.45678L, 1234568}, {0.1L, 1000},
  };
  for (const auto& c : lCases) EXPECT_EQ(TqmtCurrency::FromFloat(c.value).Raw, c.raw) << static_cast<double>(c.value);
  EXPECT_EQ(TqmtCurrency{100}.ToFloat(), 0.01L);
}

TEST(TraderSymbols, AddSymbolKeepsTheFirstAndLookupIsCaseSensitive) {
  TqmtTraderSymbols lSymbols;
  lSymbols.SetOwnObjects(true);
  TqmtTraderSymbol_Binance lFirst;
  lFirst.SetSymbol("BTCUSDT");
  lFirst.SetTickSize(TqmtCurrency::FromFloat(0.01L));
  lSymbols.AddSymbol(lFirst);
  lSymbols.AddSymbol(*NewSymbol("BTCUSDT", 0.1L));
  lSymbols.AddSymbol(*NewSymbol("SHIBUSDT", 0.00000100L));

  ASSERT_EQ(lSymbols.Count(), 2);
  TqmtTraderSymbol* lBtc = lSymbols.GetSymbol("BTCUSDT");
  ASSERT_NE(lBtc, nullptr);
  EXPECT_NE(lBtc, &lFirst) << "the list keeps a copy";
  EXPECT_EQ(lBtc->TickSize().Raw, 100);
  EXPECT_EQ(lBtc->ID(), "BTCUSDT");
  EXPECT_EQ(lSymbols.GetSymbol("SHIBUSDT")->TickSize().Raw, 0);
  EXPECT_EQ(lSymbols.GetSymbol("btcusdt"), nullptr);
  EXPECT_EQ(lSymbols.GetSymbol("BTCUSD"), nullptr);
  EXPECT_EQ(lSymbols.GetItem("BTCUSDT"), lBtc) << "index and list walk agree";
}

TEST(TraderSymbols, UpdatesCopyIntoKnownSymbolsOnly) {
  TqmtTraderSymbols lSymbols;
  lSymbols.SetOwnObjects(true);
  lSymbols.AddSymbol(*NewSymbol("ETHUSDT"));

  TqmtTraderTicker lTicker;
  lTicker.SetSymbol("XRPUSDT");
  lTicker.SetPrice(1.5L);
  lSymbols.UpdateTicker(lTicker);
  EXPECT_EQ(lSymbols.Count(), 1);
  EXPECT_EQ(lSymbols.GetSymbol("XRPUSDT"), nullptr);

  lTicker.SetSymbol("ETHUSDT");
  lTicker.SetRaw("{raw}");
  lTicker.SetPrice(3012.12345678L);
  lTicker.SetAsk(3012.2L);
  lTicker.SetDate(46000.5);
  lSymbols.UpdateTicker(lTicker);
  const auto& lStored = lSymbols.GetSymbol("ETHUSDT")->Ticker();
  EXPECT_EQ(lStored.Price(), 3012.12345678L);
  EXPECT_EQ(lStored.Ask(), 3012.2L);
  EXPECT_EQ(lStored.Date(), 46000.5);
  EXPECT_EQ(lStored.Raw(), "") << "Raw is not copied";

  TqmtTraderOrder lOrder;
  lOrder.SetSymbol("ETHUSDT");
  lOrder.SetId("client-1");
  lOrder.SetOrderStatus("NEW");
  lOrder.SetPrice(3000);
  auto& lTarget = lSymbols.GetSymbol("ETHUSDT")->TraderOrder();
  lTarget.SetId("kept");
  lTarget.SetRaw("kept raw");
  lSymbols.UpdateOrder(lOrder);
  EXPECT_EQ(lTarget.Id(), "kept");
  EXPECT_EQ(lTarget.Raw(), "kept raw");
  EXPECT_EQ(lTarget.OrderStatus(), "NEW");
  EXPECT_EQ(lTarget.Price(), 3000);
}

TEST(TraderSymbols, BookReplacementEmptiesUnfilledLevels) {
  TqmtTraderSymbols lSymbols;
  lSymbols.SetOwnObjects(true);
  lSymbols.AddSymbol(*NewSymbol("BNBUSDT"));

  TqmtTraderBookDepth lFull;
  lFull.SetSymbol("BNBUSDT");
  FillSide(lFull.Bids(), 20, 100);
  FillSide(lFull.Asks(), 20, 200);
  lSymbols.UpdateBookDepth(lFull);

  TqmtTraderBookDepth lPartial;
  lPartial.SetSymbol("BNBUSDT");
  FillSide(lPartial.Bids(), 5, 50);
  lSymbols.UpdateBookDepth(lPartial);

  const auto& lBook = lSymbols.GetSymbol("BNBUSDT")->BookDepth();
  EXPECT_EQ(lBook.Bids().Value(5).Price(), 55);
  for (int i = 6; i <= 20; ++i) {
    EXPECT_EQ(lBook.Bids().Value(i).Price(), 0) << i;
    EXPECT_EQ(lBook.Bids().Value(i).Size(), 0) << i;
  }
  EXPECT_EQ(lBook.Asks().GetPriceHigh(), 0);
  EXPECT_EQ(lBook.Bids().GetSizeSum(), 15);
  EXPECT_THROW(lBook.Bids().Value(21), EListError);
}

TEST(BookSide, PriceHighLowAndSizeSum) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, long double>> prices;  // level, price
    long double high, low;
  };
  const Case lCases[] = {
      {"all empty", {}, 0, 0},
      {"level 1 empty", {{2, 10.5L}}, 10.5L, 0},
      {"level 1 above level 2", {{1, 12}, {2, 10.5L}}, 12, 10.5L},
      {"gap in the middle", {{1, 12}, {2, 11}, {4, 9}}, 12, 9},
      {"best is lowest", {{1, 1}, {2, 2}, {20, 3}}, 3, 1},
  };
  for (const auto& c : lCases) {
    SCOPED_TRACE(c.name);
    TqmtTraderBookDepthValues lSide;
    for (auto [level, price] : c.prices) {
      lSide.Value(level).SetPrice(price);
      lSide.Value(level).SetSize(1);
    }
    EXPECT_EQ(lSide.GetPriceHigh(), c.high);
    EXPECT_EQ(lSide.GetPriceLow(), c.low);
    EXPECT_EQ(lSide.GetSizeSum(), static_cast<long double>(c.prices.size()));
  }
}

TEST(TraderSymbols, IndexFollowsDeletesSortAndClear) {
  TqmtTraderSymbols lSymbols;
  lSymbols.SetOwnObjects(true);
  // Two holders with one symbol can only come in past AddSymbol; the first stays the answer.
  auto* lA1 = new TqmtTraderSymbol();
  lA1->SetSymbol("A");
  lA1->SetOrder(2);
  auto* lA2 = new TqmtTraderSymbol();
  lA2->SetSymbol("A");
  lA2->SetOrder(1);
  lSymbols.AddItem(lA1);
  lSymbols.AddItem(lA2);
  lSymbols.AddSymbol(*NewSymbol("B"));
  EXPECT_EQ(lSymbols.GetSymbol("A"), lA1);
  lSymbols.SortByOrder(true);  // lA2 now comes first
  EXPECT_EQ(lSymbols.GetSymbol("A"), lA2);
  EXPECT_TRUE(lSymbols.DeleteItem("A"));
  EXPECT_EQ(lSymbols.GetSymbol("A"), lA1);
  EXPECT_TRUE(lSymbols.DeleteItem("A"));
  EXPECT_EQ(lSymbols.GetSymbol("A"), nullptr);
  lSymbols.Clear();
  EXPECT_EQ(lSymbols.GetSymbol("B"), nullptr);
  lSymbols.AddSymbol(*NewSymbol("B"));
  EXPECT_NE(lSymbols.GetSymbol("B"), nullptr);
}

TEST(TraderSymbols, SymbolsAddedWhileTheStreamUpdates) {
  TqmtTraderSymbols lSymbols;
  lSymbols.SetOwnObjects(true);
  std::atomic<bool> lDone{false};
  std::thread lStream([&] {
    TqmtTraderTicker lTicker;
    for (int i = 0; !lDone; i = (i + 1) % 400) {
      lTicker.SetSymbol("S" + std::to_string(i));
      lTicker.SetPrice(i);
      lSymbols.UpdateTicker(lTicker);
    }
  });
  for (int i = 0; i < 400; ++i) lSymbols.AddSymbol(*NewSymbol("S" + std::to_string(i)));
  lDone = true;
  lStream.join();
  EXPECT_EQ(lSymbols.Count(), 400);
  EXPECT_NE(lSymbols.GetSymbol("S399"), nullptr);
}

TEST(Listeners, MethodCallbacksCompareByObjectAndFunction) {
  struct Listener : TObject {
    int calls = 0;
    void OnTicker(TObject*, const TqmtTraderTicker&) { ++calls; }
    void OnOther(TObject*, const TqmtTraderTicker&) {}
  };
  Listener a, b;
  const TqmtTraderTickerEvent lA(&a, &Listener::OnTicker);
  EXPECT_TRUE(lA == TqmtTraderTickerEvent(&a, &Listener::OnTicker));
  EXPECT_FALSE(lA == TqmtTraderTickerEvent(&b, &Listener::OnTicker));
  EXPECT_FALSE(lA == TqmtTraderTickerEvent(&a, &Listener::OnOther));
  EXPECT_FALSE(TqmtTraderTickerEvent());
  TqmtTraderTicker lTicker;
  lA(nullptr, lTicker);
  EXPECT_EQ(a.calls, 1);
}
