// The price ladder and the trade tape: rows grouped with exact sums, clicks on each side placing
// the right order through the trade bar (with and without the confirmation, a stop with Ctrl), own
// orders shown at their rows and cancelled by a click, scrolling that stays put while the book moves
// and a recentre, "resynchronising" while the book is out of step; the tape's order, colours, large
// trades and its length.
#include <QTest>
#include <QTimer>

#include <mutex>
#include <set>
#include <thread>

#include "qmtPriceLadder.h"
#include "qmtTradeBar.h"
#include "qmtTradeTape.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderSettings.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;

namespace {

// The exchange client with its book fed by hand and its cancels recorded.
class LadderClient : public TqmtTraderClient_Binance {
public:
  ~LadderClient() override {
    OrderBooks().Stop();
    StopCommands();
  }
  std::mutex Lock;
  std::vector<std::string> Cancelled;
  std::atomic<int> Snapshots{0};
  std::atomic<bool> Gate{false};  // a snapshot waits while set
  std::string Snapshot = R"({"lastUpdateId":100,"bids":[["99.9","1"],["99.8","2.5"],["99.5","0.1"],["98.0","4"]],)"
                         R"("asks":[["100.1","1.5"],["100.2","2"],["101.0","3"]]})";
  void Feed() {
    TqmtTraderBookKeeper::TConfig c;
    c.Market = TqmtTraderBookKeeper::TMarket::Futures;
    c.Fetch = [this](const std::string&, int) {
      while (Gate) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++Snapshots;
      std::lock_guard g(Lock);
      return Snapshot;
    };
    OrderBooks().Configure(c);
  }
  void Event(const std::string& aText) { OrderBooks().OnDepthMessage("btcusdt", aText); }
  std::vector<std::string> Taken() {
    std::lock_guard g(Lock);
    return Cancelled;
  }

protected:
  TqmtTraderExecution ExecuteCancel(const std::string& aSymbol, const std::string& aId) override {
    std::lock_guard g(Lock);
    Cancelled.push_back(aSymbol + " " + aId);
    return {TqmtTraderOutcome::tocAccepted, "CANCELED"};
  }
};

class RecordingBar : public TFRAMETradeBar {
public:
  std::vector<std::string> Sent;

protected:
  void DoEditOrder(QToolButton*) override {}
  void DoPlaceMarketOrder(std::uint8_t, const std::string&, long double) override { Sent.push_back("MARKET"); }
  void DoPlaceLimitOrder(std::uint8_t s, const std::string& sym, long double size, long double l) override {
    Sent.push_back("LIMIT " + std::string(s == tbosBuy ? "BUY " : "SELL ") + sym + " " + TradeBarNumberText(size) + " " +
                   TradeBarNumberText(l));
  }
  void DoPlaceStopOrder(std::uint8_t s, const std::string& sym, long double size, long double st) override {
    Sent.push_back("STOP " + std::string(s == tbosBuy ? "BUY " : "SELL ") + sym + " " + TradeBarNumberText(size) + " " +
                   TradeBarNumberText(st));
  }
  void DoPlaceStopLimitOrder(std::uint8_t, const std::string&, long double, long double, long double) override {
    Sent.push_back("STOPLIMIT");
  }
  void GetSteps(long double& p, long double& l) override { p = 0.1L, l = 0.001L; }
};

std::int64_t U(const char* aText) {
  std::int64_t v = 0;
  BookUnits(aText, v);
  return v;
}

void OpenOrder(const std::string& aId, const char* aSide, long double aPrice, long double aSize, long double aFilled = 0) {
  TqmtTraderOrder o;
  o.SetId(aId), o.SetSymbol("BTCUSDT"), o.SetOrderStatus(aFilled > 0 ? "PARTIALLY_FILLED" : "NEW"), o.SetOrderSide(aSide);
  o.SetOrderType("LIMIT"), o.SetPrice(aPrice), o.SetSize(aSize), o.SetFilled(aFilled), o.SetDateTime(NowLocal());
  GetTraderDataOrders().UpdateOrder(o);
}

// Presses Cancel on the next confirmation, saying whether one came.
void CancelConfirmation(bool& aShown) {
  QTimer::singleShot(0, [&aShown] {
    WaitFor([] { return dynamic_cast<TFRMTradeBarConfirmation*>(QApplication::activeModalWidget()) != nullptr; }, 3000);
    auto* d = dynamic_cast<TFRMTradeBarConfirmation*>(QApplication::activeModalWidget());
    aShown = d != nullptr;
    if (d) d->btnCancel->click();
  });
}

}  // namespace

class TestLadder : public QObject {
  Q_OBJECT
public:
  explicit TestLadder(const std::filesystem::path& aFolder) : FFolder(aFolder) {
    SetTraderSettingsFileName((aFolder / "qmtTrader.ini").string());
  }

private:
  std::filesystem::path FFolder;
  std::unique_ptr<LadderClient> FClient;
  std::vector<std::string> FMessages;

  // A ladder of BTCUSDT on a bar that has heard a price, its book live from the scripted snapshot.
  struct Page {
    RecordingBar Bar;
    std::unique_ptr<TFRAMEPriceLadder> Ladder;
  };
  std::unique_ptr<Page> Open(LadderClient& c) {
    auto p = std::make_unique<Page>();
    p->Bar.SetSymbol("BTCUSDT");
    p->Bar.txtSize->setText("0.5");
    TqmtTraderTicker t;
    t.SetSymbol("BTCUSDT"), t.SetPrice(100);
    c.DoTicker(t);
    WaitFor([&] { return p->Bar.HasLastPrice(); });
    p->Ladder = std::make_unique<TFRAMEPriceLadder>("BTCUSDT", p->Bar);
    p->Ladder->resize(300, 18 * 22);
    p->Ladder->show();
    c.Event(R"({"e":"depthUpdate","U":95,"u":101,"pu":94,"b":[["99.9","1.2"]],"a":[]})");
    WaitFor([&] {
      p->Ladder->Refresh();
      return !p->Ladder->Rows().empty();
    });
    return p;
  }

private slots:
  void init() {
    std::filesystem::remove(FFolder / "qmtTrader.ini");
    GetTraderSettings().WriteBool("Ladder", "Confirm", false);
    FClient = std::make_unique<LadderClient>();
    FClient->RegisterTraderClient();
    FClient->Feed();
    GetTraderDataOrders().Clear();
    FMessages.clear();
    SetUIExceptionHandler([this](const std::string& m) { FMessages.push_back(m); });
  }
  void cleanup() {
    ScreenshotIfFailed();
    SetUIExceptionHandler(nullptr);
    FClient.reset();
  }

  // Bids to the row at or below, asks at or above; depth from the best price; exact decimal sums.
  void groupingSumsAreExact() {
    TqmtBookView v;
    v.Live = true;
    v.Bids = {{U("100.07"), U("0.1")}, {U("100.03"), U("0.2")}, {U("99.96"), U("1")}, {U("99.10"), U("5")}};
    v.Asks = {{U("100.13"), U("0.3")}, {U("100.19"), U("0.7")}, {U("100.21"), U("2")}};
    std::vector<TqmtLadderRow> r;
    const std::int64_t lStep = U("0.1");
    GroupLadder(v, lStep, U("100.3"), 6, r);  // 100.3 ... 99.8
    struct Row {
      const char *price, *bid, *ask, *bidCum, *askCum;
    } kRows[] = {{"100.3", "0", "2", "0", "3"},     {"100.2", "0", "1", "0", "1"},   {"100.1", "0", "0", "0", "0"},
                 {"100", "0.3", "0", "0.3", "0"},   {"99.9", "1", "0", "1.3", "0"},  {"99.8", "0", "0", "1.3", "0"}};
    for (int i = 0; i < 6; ++i) {
      const auto& e = kRows[i];
      const auto& g = r[static_cast<std::size_t>(i)];
      QCOMPARE(BookUnitsText(g.Price), std::string(e.price));
      QCOMPARE(BookUnitsText(g.Bid), std::string(e.bid));  // 0.1 + 0.2 is 0.3 exactly
      QCOMPARE(BookUnitsText(g.Ask), std::string(e.ask));
      QCOMPARE(BookUnitsText(g.BidCum), std::string(e.bidCum));
      QCOMPARE(BookUnitsText(g.AskCum), std::string(e.askCum));
    }
    // Rows of 5 ticks: every ask in 100.5, the bids of 100.07 and 100.03 in 100.0 (99.96 goes to
    // 99.5, below the window); asks below the window still count in the depth of the bottom row.
    GroupLadder(v, 5 * lStep, U("100.5"), 2, r);
    QCOMPARE(BookUnitsText(r[0].Ask), std::string("3"));
    QCOMPARE(BookUnitsText(r[1].Bid), std::string("0.3"));
    QCOMPARE(BookUnitsText(r[1].BidCum), std::string("0.3"));
    GroupLadder(v, lStep, U("100.1"), 2, r);  // 100.1, 100.0: the asks of 100.2 lie above
    QCOMPARE(BookUnitsText(r[0].AskCum), std::string("0"));
    GroupLadder(v, lStep, U("100.4"), 2, r);  // 100.4, 100.3: the asks below the window count
    QCOMPARE(BookUnitsText(r[1].Ask), std::string("2"));
    QCOMPARE(BookUnitsText(r[1].AskCum), std::string("3"));
  }

  // A click in the buy half places a limit buy at the row's price, in the sell half a limit sell,
  // with Ctrl a stop; the price column places nothing; with "Confirm" the question comes first.
  void clicksPlaceTheRightOrder() {
    auto p = Open(*FClient);
    TFRAMEPriceLadder& l = *p->Ladder;
    QCOMPARE(l.lblStatus->text(), QString("Spread 2 ticks · 20.0 bp"));
    const int lBid = l.RowOf(U("99.9")), lAsk = l.RowOf(U("100.1"));
    QVERIFY(lBid > 0 && lAsk >= 0 && lAsk < lBid);
    QCOMPARE(BookUnitsText(l.Rows()[static_cast<std::size_t>(lBid)].Bid), std::string("1.2"));  // the event's, not the snapshot's
    // Centred: the spread in the middle rows.
    QVERIFY(std::abs((lBid + lAsk) / 2 - l.VisibleRows() / 2) <= 1);
    l.Click(lBid, TFRAMEPriceLadder::TColumn::Bids, false);
    l.Click(lAsk - 2, TFRAMEPriceLadder::TColumn::Asks, false);
    l.Click(lAsk - 2, TFRAMEPriceLadder::TColumn::MyBuy, true);
    l.Click(lBid, TFRAMEPriceLadder::TColumn::Price, false);
    const std::vector<std::string> lExpected = {"LIMIT BUY BTCUSDT 0.5 99.9", "LIMIT SELL BTCUSDT 0.5 100.3", "STOP BUY BTCUSDT 0.5 100.3"};
    QCOMPARE(p->Bar.Sent, lExpected);
    // The bar's refusals hold: a size that is no number sends nothing and says why.
    p->Bar.txtSize->setText("x");
    l.Click(lBid, TFRAMEPriceLadder::TColumn::Bids, false);
    QCOMPARE(p->Bar.Sent.size(), 3u);
    QVERIFY(!FMessages.empty() && FMessages.back().find("Order refused") == 0);
    p->Bar.txtSize->setText("0.5");
    // A real mouse press goes the same way; with the confirmation, Cancel sends nothing.
    l.chkConfirm->setChecked(true);
    bool lShown = false;
    CancelConfirmation(lShown);
    QWidget* lRows = l.RowsView();
    QTest::mouseClick(lRows, Qt::LeftButton, {}, QPoint(lRows->width() * 30 / 100, 18 + lBid * 18 + 9));
    QVERIFY(lShown);
    QCOMPARE(p->Bar.Sent.size(), 3u);
    QVERIFY(GetTraderSettings().ReadBool("Ladder", "Confirm", false));
  }

  // Own orders at their rows with what they still want; a click on them cancels them (every one in
  // a grouped row).
  void ownOrdersShownAndCancelled() {
    auto p = Open(*FClient);
    TFRAMEPriceLadder& l = *p->Ladder;
    OpenOrder("b1", "BUY", 99.8L, 1, 0.25L);
    OpenOrder("s1", "SELL", 100.2L, 2);
    OpenOrder("s2", "SELL", 100.4L, 1);
    QVERIFY(WaitFor([&] {
      const int r = l.RowOf(U("99.8"));
      return r >= 0 && l.Rows()[static_cast<std::size_t>(r)].MyBuy == 0.75L;
    }));
    const int lSell = l.RowOf(U("100.2"));
    QCOMPARE(static_cast<double>(l.Rows()[static_cast<std::size_t>(lSell)].MySell), 2.0);
    l.Click(l.RowOf(U("99.8")), TFRAMEPriceLadder::TColumn::MyBuy, false);
    QVERIFY(WaitFor([&] { return FClient->Taken().size() == 1; }));
    QCOMPARE(FClient->Taken()[0], std::string("BTCUSDT b1"));
    QVERIFY(p->Bar.Sent.empty());
    // Rows of 5 ticks: both sells in the row of 100.5, one click cancels both.
    l.SetGrouping(5);
    QCOMPARE(GetTraderSettings().ReadInteger("BTCUSDT.Ladder", "Grouping", 0), 5);
    QVERIFY(WaitFor([&] {
      const int r = l.RowOf(U("100.5"));
      return r >= 0 && l.Rows()[static_cast<std::size_t>(r)].MySell == 3;
    }));
    l.Click(l.RowOf(U("100.5")), TFRAMEPriceLadder::TColumn::MySell, false);
    QVERIFY(WaitFor([&] { return FClient->Taken().size() == 3; }));
    const std::vector<std::string> lTaken = FClient->Taken();
    QCOMPARE(std::set<std::string>(lTaken.begin() + 1, lTaken.end()), (std::set<std::string>{"BTCUSDT s1", "BTCUSDT s2"}));
    QVERIFY(p->Bar.Sent.empty());
  }

  // Scrolled, the rows stay while the book moves; Space centres again; a market that left the view
  // is brought back. Out of step, nothing is shown until a snapshot joins again.
  void scrollingRecentringAndResynchronising() {
    auto p = Open(*FClient);
    TFRAMEPriceLadder& l = *p->Ladder;
    const std::int64_t lCentred = l.TopPrice();
    l.Scroll(5);
    QCOMPARE(l.TopPrice(), lCentred - 5 * l.Step());
    FClient->Event(R"({"e":"depthUpdate","U":102,"u":103,"pu":101,"b":[["99.95","1"]],"a":[["100.05","1"]]})");
    l.Refresh();
    QCOMPARE(l.TopPrice(), lCentred - 5 * l.Step());
    QVERIFY(l.RowOf(U("99.9")) >= 0);
    QTest::keyClick(l.RowsView(), Qt::Key_Space);
    QCOMPARE(l.TopPrice(), lCentred);
    // Not scrolled away: the best ask moving past the top row brings the market back to the middle.
    const std::string lAbove = BookUnitsText(lCentred + 2 * l.Step());
    FClient->Event(R"({"e":"depthUpdate","U":104,"u":104,"pu":103,"b":[],"a":[["100.05","0"],["100.1","0"],["100.2","0"],)"
                   R"(["101.0","0"],[")" + lAbove + R"(","1"]]})");
    l.Refresh();
    QVERIFY(l.TopPrice() > lCentred);
    QVERIFY(l.RowOf(lCentred + 2 * l.Step()) >= 0);
    // The market jumps far below: centred on it again.
    FClient->Event(R"({"e":"depthUpdate","U":105,"u":105,"pu":104,"b":[["99.95","0"],["99.9","0"],["99.8","0"],["99.5","0"],)"
                   R"(["98.0","0"],["90.0","1"]],"a":[[")" + lAbove + R"(","0"],["90.2","2"]]})");
    l.Refresh();
    QVERIFY(l.RowOf(U("90")) >= 0 && l.RowOf(U("90.2")) >= 0);
    // A gap: "resynchronising", no rows (the snapshot held back meanwhile); the snapshot joins and
    // the rows come back.
    {
      std::lock_guard g(FClient->Lock);
      FClient->Snapshot = R"({"lastUpdateId":300,"bids":[["90.0","1"]],"asks":[["90.2","2"]]})";
    }
    FClient->Gate = true;
    FClient->Event(R"({"e":"depthUpdate","U":200,"u":210,"pu":199,"b":[],"a":[]})");
    l.Refresh();
    QCOMPARE(l.lblStatus->text(), QString("resynchronising"));
    QVERIFY(l.Rows().empty());
    FClient->Gate = false;
    FClient->Event(R"({"e":"depthUpdate","U":295,"u":305,"pu":210,"b":[],"a":[]})");
    QVERIFY(WaitFor([&] {
      l.Refresh();
      return !l.Rows().empty();
    }));
    QVERIFY(l.lblStatus->text().startsWith("Spread 2 ticks"));
  }

  // Newest first, buys green and sells red, large trades in bold on yellow, 5,000 kept.
  void tapeOrderColoursAndLength() {
    TFRAMETradeTape t("BTCUSDT");
    auto lTrade = [&](const char* aSymbol, long double aPrice, long double aSize, bool aSell) {
      TqmtTraderTrade r;
      r.SetSymbol(aSymbol), r.SetPrice(aPrice), r.SetSize(aSize), r.SetBuyerMaker(aSell), r.SetDate(NowLocal());
      FClient->DoTrade(r);
    };
    lTrade("BTCUSDT", 100.1L, 0.5L, false);
    lTrade("ETHUSDT", 5, 1, false);  // another symbol's
    lTrade("BTCUSDT", 100, 3, true);
    t.Drain();
    TqmtTapeModel& m = t.Model();
    QCOMPARE(m.rowCount(), 2);
    QCOMPARE(m.data(m.index(0, 1), Qt::DisplayRole).toString(), QString("100.00"));
    QCOMPARE(m.data(m.index(0, 2), Qt::DisplayRole).toString(), QString("3"));
    QCOMPARE(m.data(m.index(1, 1), Qt::DisplayRole).toString(), QString("100.10"));
    QCOMPARE(m.data(m.index(0, 0), Qt::ForegroundRole).value<QColor>(), QColor(190, 40, 40));
    QCOMPARE(m.data(m.index(1, 0), Qt::ForegroundRole).value<QColor>(), QColor(30, 140, 60));
    QVERIFY(!m.data(m.index(0, 1), Qt::BackgroundRole).isValid());
    t.txtLarge->setText("2");
    emit t.txtLarge->editingFinished();
    QVERIFY(m.data(m.index(0, 1), Qt::BackgroundRole).isValid());
    QVERIFY(m.data(m.index(0, 1), Qt::FontRole).value<QFont>().bold());
    QVERIFY(!m.data(m.index(1, 1), Qt::BackgroundRole).isValid());
    QCOMPARE(GetTraderSettings().ReadString("BTCUSDT.Tape", "Large", ""), std::string("2"));
    for (int i = 0; i < 6000; ++i) lTrade("BTCUSDT", 100 + i * 0.01L, 0.1L, i % 2);
    t.Drain();
    QCOMPARE(m.rowCount(), TqmtTapeModel::kMaxRows);
    QCOMPARE(m.data(m.index(0, 1), Qt::DisplayRole).toString(), QString("159.99"));
  }
};

QMT_UI_TEST_MAIN(TestLadder)
#include "test_ui_ladder.moc"
