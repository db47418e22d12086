// The trading page: prices from definitions, rounding to the symbol's steps, the confirmation's rows,
// refusals before any confirmation, stored definitions and button states read back by a new bar, the
// open-orders filter for every status, and a bar destroyed while tickers arrive.
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <mutex>
#include <set>
#include <thread>

#include "qmtOrderTicket.h"
#include "qmtTradeBar.h"
#include "qmtTraderClient.h"
#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderFrame.h"
#include "qmtTraderSettings.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;

namespace {

// A client that feeds tickers and records the cancels and changes that reach its command queue.
class FeedClient : public TqmtTraderClient {
public:
  // The queue's worker calls this class's methods: it stops before they go.
  ~FeedClient() override { StopCommands(); }
  std::mutex Lock;
  std::vector<std::string> Done;
  TqmtTraderExecution ExecuteCancel(const std::string& aSymbol, const std::string& aId) override {
    std::lock_guard g(Lock);
    Done.push_back("cancel " + aSymbol + " " + aId);
    return {TqmtTraderOutcome::tocAccepted, "CANCELED"};
  }
  TqmtTraderExecution ExecuteOrder(const TqmtTraderOrderRequest& r) override {
    std::lock_guard g(Lock);
    Done.push_back("order " + r.Text());
    return {TqmtTraderOutcome::tocAccepted, "NEW"};
  }
  TqmtTraderExecution ExecuteModify(const TqmtTraderOrderRequest& r) override {
    std::lock_guard g(Lock);
    Done.push_back("change " + r.Replaces + " to " + r.Text());
    return {TqmtTraderOutcome::tocAccepted, "NEW"};
  }
  std::vector<std::string> Taken() {
    std::lock_guard g(Lock);
    return Done;
  }
};

// A bar that records what it would send.
class RecordingBar : public TFRAMETradeBar {
public:
  std::vector<std::string> Sent;
  long double PriceStep = 0, LotStep = 0;

protected:
  void DoEditOrder(QToolButton*) override {}
  void DoPlaceMarketOrder(std::uint8_t s, const std::string& sym, long double size) override {
    Sent.push_back("MARKET " + std::to_string(s) + " " + sym + " " + TradeBarNumberText(size));
  }
  void DoPlaceLimitOrder(std::uint8_t s, const std::string& sym, long double size, long double l) override {
    Sent.push_back("LIMIT " + std::to_string(s) + " " + sym + " " + TradeBarNumberText(size) + " " + TradeBarNumberText(l));
  }
  void DoPlaceStopOrder(std::uint8_t s, const std::string& sym, long double size, long double st) override {
    Sent.push_back("STOP " + std::to_string(s) + " " + sym + " " + TradeBarNumberText(size) + " " + TradeBarNumberText(st));
  }
  void DoPlaceStopLimitOrder(std::uint8_t s, const std::string& sym, long double size, long double st, long double l) override {
    Sent.push_back("STOPLIMIT " + std::to_string(s) + " " + sym + " " + TradeBarNumberText(size) + " " + TradeBarNumberText(st) + " " +
                   TradeBarNumberText(l));
  }
  void GetSteps(long double& p, long double& l) override { p = PriceStep, l = LotStep; }
};

void Tick(FeedClient& c, const std::string& aSymbol, long double aPrice) {
  TqmtTraderTicker t;
  t.SetSymbol(aSymbol);
  t.SetPrice(aPrice);
  c.DoTicker(t);
}

struct Confirmation {
  bool shown = false;
  QString symbol, type, side, size, limit, stop;
  bool limitRow = false, stopRow = false, enterKeptOpen = false;
};

// Reads the next confirmation, tries Enter (which must not accept), then presses Ok or Cancel.
void Confirm(Confirmation& aSeen, bool aOk) {
  QTimer::singleShot(0, [&aSeen, aOk] {
    WaitFor([] { return dynamic_cast<TFRMTradeBarConfirmation*>(QApplication::activeModalWidget()) != nullptr; }, 3000);
    auto* d = dynamic_cast<TFRMTradeBarConfirmation*>(QApplication::activeModalWidget());
    if (!d) return;
    aSeen = {true, d->txtSymbol->text(), d->txtOrderType->text(), d->txtOrderSide->text(), d->txtSize->text(),
             d->txtLimitPrice->text(), d->txtStopPrice->text(), d->txtLimitPrice->isVisibleTo(d), d->txtStopPrice->isVisibleTo(d)};
    QTest::keyClick(d, Qt::Key_Return);
    aSeen.enterKeptOpen = d->isVisible();
    (aOk ? d->btnOk : d->btnCancel)->click();
  });
}

TqmtTradeBarOrder& Define(TFRAMETradeBar& aBar, int aIndex, std::uint8_t aType, std::uint8_t aSide, bool aConfirm = false) {
  TqmtTradeBarOrder& o = *aBar.GetTradeBarOrders().GetOrder(aIndex);
  o.OrderType = aType, o.Side = aSide, o.Confirmation = aConfirm, o.Description = "B" + std::to_string(aIndex);
  return o;
}

void Order(const std::string& aId, const std::string& aSymbol, const std::string& aStatus) {
  TqmtTraderOrder o;
  o.SetId(aId), o.SetSymbol(aSymbol), o.SetOrderStatus(aStatus), o.SetOrderSide("BUY"), o.SetOrderType("LIMIT");
  o.SetPrice(1), o.SetSize(1), o.SetDateTime(NowLocal());
  GetTraderDataOrders().UpdateOrder(o);
}

}  // namespace

class TestTrader : public QObject {
  Q_OBJECT
public:
  explicit TestTrader(const std::filesystem::path& aFolder) : FFolder(aFolder) {
    SetTraderSettingsFileName((aFolder / "qmtTrader.ini").string());
  }

private:
  std::filesystem::path FFolder;
  std::unique_ptr<FeedClient> FClient;
  std::vector<std::string> FMessages;

private slots:
  void init() {
    std::filesystem::remove(FFolder / "qmtTrader.ini");
    FClient = std::make_unique<FeedClient>();
    FClient->RegisterTraderClient();
    FMessages.clear();
    SetUIExceptionHandler([this](const std::string& m) { FMessages.push_back(m); });
  }
  void cleanup() {
    ScreenshotIfFailed();
    SetUIExceptionHandler(nullptr);
    FClient.reset();
  }

  void pricesFromDefinitions_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("op");
    QTest::addColumn<QString>("margin");
    QTest::addColumn<QString>("last");
    QTest::addColumn<QString>("expected");
    QTest::newRow("fixed") << int(tbopValue) << int(tbomSum) << "98" << "100" << "98";
    QTest::newRow("last - margin") << int(tbopLast) << int(tbomMinus) << "25.5" << "100" << "74.5";
    QTest::newRow("last + margin") << int(tbopLast) << int(tbomSum) << "0.5" << "27000.1" << "27000.6";
    QTest::newRow("last, other operator") << int(tbopLast) << 255 << "3" << "100" << "100";
    QTest::newRow("unset price kind") << 255 << int(tbomSum) << "3" << "100" << "-1";
    QTest::newRow("low-priced symbol") << int(tbopLast) << int(tbomSum) << "0.0000001" << "0.00001234" << "0.00001244";
  }

  // Bid, ask, ticks and percent, against a quote of last 100, bid 99.5, ask 100.5, tick 0.1.
  void pricesFromTheBookAndInTicksOrPercent() {
    const TqmtTradeBarQuote q{100, 99.5L, 100.5L, 0.1L};
    struct Case {
      std::uint8_t kind, op, unit;
      long double margin;
      const char* expected;
    } lCases[] = {
        {tbopBid, tbomMinus, tbouTicks, 2, "99.3"},     {tbopAsk, tbomSum, tbouTicks, 3, "100.8"},
        {tbopLast, tbomMinus, tbouPercent, 1, "99"},    {tbopAsk, tbomSum, tbouPercent, 2, "102.51"},
        {tbopBid, tbomSum, tbouAmount, 0.25L, "99.75"}, {tbopValue, tbomSum, tbouTicks, 42, "42"},
    };
    for (const Case& c : lCases) {
      TqmtTradeBarOrder o("X.Order1");
      o.LimitPrice = c.kind, o.LimitPriceOperator = c.op, o.LimitPriceUnit = c.unit, o.LimitPriceMargin = c.margin;
      QCOMPARE(QString::fromStdString(TradeBarNumberText(RoundToStep(o.GetLimitPrice(q), 1e-8L))), QString(c.expected));
    }
    // A bid not heard yet gives no price.
    TqmtTradeBarOrder o("X.Order1");
    o.LimitPrice = tbopBid;
    QVERIFY(o.GetLimitPrice(TqmtTradeBarQuote{100, 0, 0, 0.1L}) < 0);
  }

  // A size as a number, a value in the quote, or a share of the balance; the value shown beside it.
  void sizesInBaseQuoteOrPercent() {
    RecordingBar b;
    b.SetSymbol("BTCUSDT");
    b.LotStep = 0.001L;
    Tick(*FClient, "BTCUSDT", 25000);
    QVERIFY(WaitFor([&] { return b.HasLastPrice(); }));
    TqmtTraderBalance lUsdt, lBtc;
    lUsdt.SetSymbol("USDT"), lUsdt.SetWalletBalance(1000);
    lBtc.SetSymbol("BTC"), lBtc.SetWalletBalance(2);
    GetTraderDataBalance().UpdateBalance(lUsdt);
    GetTraderDataBalance().UpdateBalance(lBtc);
    struct Case {
      const char* text;
      std::uint8_t side;
      long double base;
    } lCases[] = {{"0.5", tbosBuy, 0.5L},       {" 500 USDT ", tbosBuy, 0.02L}, {"500usdt", tbosBuy, 0.02L},
                  {"10%", tbosBuy, 0.004L},     {"50%", tbosSell, 1}};
    for (const Case& c : lCases) QVERIFY2(std::fabs(b.SizeOf(c.text, c.side) - c.base) < 1e-12L, c.text);
    for (const char* lBad : {"500 BTC", "0%", "150%", "", "1,5"}) {
      bool lRaised = false;
      try {
        b.SizeOf(lBad, tbosBuy);
      } catch (const std::exception&) {
        lRaised = true;
      }
      QVERIFY2(lRaised, lBad);
    }
    b.txtSize->setText("500 USDT");
    QCOMPARE(b.lblValue->text(), QString("0.02 BTC = 500.00"));
    // The order sent is in base units, rounded down to the lot; a price kind left from another type (the
    // bid, not heard yet) does not hold a market order back.
    Define(b, 0, tbotMarket, tbosBuy).LimitPrice = tbopBid;
    b.txtSize->setText("333 USDT");
    b.OrderClick(b.OrderButtons[0]);
    QCOMPARE(b.Sent.back(), std::string("MARKET 0 BTCUSDT 0.013"));
  }

  // The ticket's fields to the request sent: a table over type, time in force and flags on both
  // markets, with the symbol's steps; refusals before anything is sent; Enter places.
  void orderTicketFieldsToTheRequest() {
    RecordingBar b;
    b.SetSymbol("BTCUSDT");
    b.PriceStep = 0.1L, b.LotStep = 0.001L;
    Tick(*FClient, "BTCUSDT", 25000);
    QVERIFY(WaitFor([&] { return b.HasLastPrice(); }));
    struct Case {
      bool futures;
      const char* type;
      int side;  // 0 buy, 1 sell
      const char *price, *trigger, *size, *tif;
      bool post, reduce;
      const char* callback;
      const char* expected;  // the request's text, or "refused: <reason>"
    } lCases[] = {
        {false, "Limit", 0, "27000.04", "", "0.5", "GTC", false, false, "", "BUY LIMIT 0.5 BTCUSDT at 27000"},
        {false, "Limit", 0, "27000", "", "0.5", "IOC", false, false, "", "BUY LIMIT 0.5 BTCUSDT at 27000 IOC"},
        {false, "Limit", 1, "27000", "", "0.5", "FOK", true, false, "", "SELL LIMIT 0.5 BTCUSDT at 27000 post-only"},
        {false, "Market", 1, "", "", "1.0009", "GTC", false, false, "", "SELL MARKET 1 BTCUSDT"},
        {false, "Market", 0, "", "", "500 USDT", "GTC", false, false, "", "BUY MARKET 0.02 BTCUSDT"},
        {false, "Stop Limit", 0, "27100", "27050", "1", "FOK", false, false, "", "BUY STOP_LIMIT 1 BTCUSDT at 27100 stop 27050 FOK"},
        {false, "Take Profit", 1, "", "28000", "1", "GTC", false, false, "", "SELL TAKE_PROFIT 1 BTCUSDT trigger 28000"},
        {false, "Limit", 0, "", "", "1", "GTC", false, false, "", "refused: the limit price must be a positive number"},
        {false, "Stop", 0, "", "x", "1", "GTC", false, false, "", "refused: the trigger \"x\" is not a number"},
        {false, "Limit", 0, "27000", "", "0.0004", "GTC", false, false, "", "refused: the size is below the symbol's lot step 0.001"},
        {false, "Limit", 0, "27000", "", "1", "GTC", false, true, "", "BUY LIMIT 1 BTCUSDT at 27000"},  // no reduce-only on spot
        {true, "Trailing Stop", 1, "", "", "1", "GTC", false, true, "1.5", "SELL TRAILING_STOP 1 BTCUSDT trailing 1.5% reduce-only"},
        {true, "Trailing Stop", 1, "", "24000", "1", "GTC", false, false, "1", "SELL TRAILING_STOP 1 BTCUSDT trailing 1% from 24000"},
        {true, "Trailing Stop", 1, "", "", "1", "GTC", false, false, "", "refused: a trailing stop needs its callback rate in percent"},
        {true, "Take Profit Limit", 0, "24000", "24100", "2", "IOC", false, true, "", "BUY TAKE_PROFIT_LIMIT 2 BTCUSDT at 24000 trigger 24100 IOC reduce-only"},
    };
    for (const Case& c : lCases) {
      TFRAMEOrderTicket k(b, c.futures);
      k.cboType->setCurrentText(c.type);
      QCOMPARE(k.cboType->currentText(), QString(c.type));
      k.cboSide->setCurrentIndex(c.side);
      k.txtPrice->setText(c.price), k.txtTrigger->setText(c.trigger), k.txtSize->setText(c.size), k.txtCallback->setText(c.callback);
      k.cboTimeInForce->setCurrentText(c.tif);
      k.chkPostOnly->setChecked(c.post), k.chkReduceOnly->setChecked(c.reduce);
      TqmtTraderOrderRequest r;
      std::string lWhy;
      const std::string lGot = k.BuildRequest(r, lWhy) ? r.Text() : "refused: " + lWhy;
      QVERIFY2(lGot == c.expected, (std::string(c.expected) + " <- " + lGot).c_str());
    }
    // The spot ticket offers no trailing stop; the fields a type does not use are disabled.
    TFRAMEOrderTicket k(b, false);
    QCOMPARE(k.cboType->findText("Trailing Stop"), -1);
    k.cboType->setCurrentText("Market");
    QVERIFY(!k.txtPrice->isEnabled() && !k.txtTrigger->isEnabled() && !k.cboTimeInForce->isEnabled());
    // Enter in a field places it (no confirmation asked here), through the command queue.
    k.cboType->setCurrentText("Limit");
    k.btnPriceLast->click();
    QCOMPARE(k.txtPrice->text(), QString("25000"));
    k.txtSize->setText("0.25");
    k.chkConfirm->setChecked(false);
    k.show();
    QTest::keyClick(k.txtSize, Qt::Key_Return);
    QVERIFY(WaitFor([&] { return !FClient->Taken().empty(); }));
    QCOMPARE(FClient->Taken().back(), std::string("order BUY LIMIT 0.25 BTCUSDT at 25000"));
    QVERIFY2(FMessages.back() == "Order sent: BUY LIMIT 0.25 BTCUSDT at 25000", FMessages.back().c_str());
    // A bracket the wrong way round is refused before anything is asked or sent.
    TFRAMEOrderTicket f(b, true);
    f.cboSide->setCurrentIndex(1);
    f.cboType->setCurrentText("Market");
    f.txtSize->setText("0.1");
    f.txtTakeProfit->setText("28000");
    f.txtStopLoss->setText("26000");
    const std::size_t lTaken = FClient->Taken().size();
    f.Place();  // "Confirm" is on: a confirmation would time the test out
    QCOMPARE(FMessages.back(), std::string("Order refused: the take-profit of a sell lies below its stop-loss"));
    QCOMPARE(FClient->Taken().size(), lTaken);
  }

  // The size the user left is what a new bar of the symbol shows (and would send).
  void theStoredSizeIsReadBack() {
    {
      TFRAMETradeBarBinance b;
      b.SetSymbol("BTCUSDT");
      b.txtSize->setText("0.5");
      emit b.txtSize->editingFinished();
    }
    TFRAMETradeBarBinance b;
    b.SetSymbol("BTCUSDT");
    QCOMPARE(b.txtSize->text(), QString("0.5"));
    TFRAMETradeBarBinance e;
    e.SetSymbol("ETHUSDT");
    QCOMPARE(e.txtSize->text(), QString("1.00"));
  }

  // Open orders newest first, any column sorts (numbers as numbers), an unknown outcome marked;
  // Delete cancels the selected order, a change goes with the symbol's steps, and only for limits.
  void openOrdersOneByOne() {
    auto lAdd = [](const std::string& aId, const char* aType, long double aPrice, const char* aStatus, int aSecondsAgo) {
      TqmtTraderOrder o;
      o.SetId(aId), o.SetSymbol("BTCUSDT"), o.SetOrderStatus(aStatus), o.SetOrderSide("SELL"), o.SetOrderType(aType);
      o.SetPrice(aPrice), o.SetSize(0.5L), o.SetDateTime(NowLocal() - aSecondsAgo / 86400.0);
      GetTraderDataOrders().UpdateOrder(o);
    };
    GetTraderDataOrders().Clear();
    lAdd("old", "LIMIT", 100, "NEW", 30);
    lAdd("newest", "LIMIT", 27000, "NEW", 1);
    lAdd("middle", "STOP_LOSS", 9, "UNKNOWN", 10);
    if (!FClient->Broker().Symbols().GetSymbol("BTCUSDT")) {
      TqmtTraderSymbol lSymbol;
      lSymbol.SetSymbol("BTCUSDT");
      FClient->Broker().Symbols().AddSymbol(lSymbol);
    }
    TqmtTraderSymbol* s = FClient->Broker().Symbols().GetSymbol("BTCUSDT");
    s->SetPriceStep(0.1L), s->SetLotStep(0.001L);
    TFRAMEGridTradeOpenOrders g;
    g.SetSymbol("BTCUSDT");
    g.show();
    TqmtDataTableModel& m = *g.dsGrid();
    m.Refresh();
    QCOMPARE(m.rowCount(), 3);
    auto lShownId = [&](int aGridRow) { return m.Text(g.SourceRow(aGridRow), "ID"); };
    QCOMPARE(lShownId(0), std::string("newest"));
    QCOMPARE(lShownId(2), std::string("old"));
    g.grid->sortByColumn(6, Qt::AscendingOrder);  // Price: 9, 100, 27000 (not "100" < "27000" < "9")
    QCOMPARE(lShownId(0), std::string("middle"));
    QCOMPARE(lShownId(2), std::string("newest"));
    QCOMPARE(g.grid->model()->index(0, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(255, 230, 120));

    // Delete on the selected row cancels that order alone.
    g.grid->selectRow(1);
    QApplication::setActiveWindow(&g);
    QVERIFY(QTest::qWaitForWindowActive(&g));
    g.grid->setFocus();
    QTest::keyClick(g.grid, Qt::Key_Delete);
    QVERIFY(WaitFor([&] { return FClient->Taken().size() == 1; }));
    QCOMPARE(FClient->Taken()[0], std::string("cancel BTCUSDT old"));

    std::string lWhy;
    QVERIFY(!g.SubmitChange(g.SourceRow(0), 10, 1, lWhy));
    QCOMPARE(lWhy, std::string("only limit orders can be changed"));
    QVERIFY(!g.SubmitChange(g.SourceRow(2), 27000, 0.0004L, lWhy));  // below the lot
    QVERIFY(g.SubmitChange(g.SourceRow(2), 27100.04L, 0.7509L, lWhy));
    QVERIFY(WaitFor([&] { return FClient->Taken().size() == 2; }));
    QCOMPARE(FClient->Taken()[1], std::string("change newest to SELL LIMIT 0.75 BTCUSDT at 27100"));

    // Through the dialog: Cancel sends nothing, Ok sends what the fields say.
    for (const bool lOk : {false, true}) {
      QTimer::singleShot(0, [lOk] {
        WaitFor([] { return dynamic_cast<TFRMChangeOrder*>(QApplication::activeModalWidget()) != nullptr; }, 3000);
        auto* d = dynamic_cast<TFRMChangeOrder*>(QApplication::activeModalWidget());
        if (!d) return;
        d->txtPrice->setText("26000");
        (lOk ? d->btnOk : d->btnCancel)->click();
      });
      g.grid->selectRow(2);
      g.ChangeSelected();
    }
    QVERIFY(WaitFor([&] { return FClient->Taken().size() == 3; }));
    QCOMPARE(FClient->Taken()[2], std::string("change newest to SELL LIMIT 0.5 BTCUSDT at 26000"));    GetTraderDataOrders().Clear();
  }
  void pricesFromDefinitions() {
    QFETCH(int, kind);
    QFETCH(int, op);
    QFETCH(QString, margin);
    QFETCH(QString, last);
    QFETCH(QString, expected);
    TqmtTradeBarOrder o("X.Order1");
    o.LimitPrice = o.StopPrice = static_cast<std::uint8_t>(kind);
    o.LimitPriceOperator = o.StopPriceOperator = static_cast<std::uint8_t>(op);
    o.LimitPriceMargin = o.StopPriceMargin = TradeBarTextToNumber(margin.toStdString());
    const long double lLast = TradeBarTextToNumber(last.toStdString());
    // Rounded to the step of the expected text's last decimal, as the bar does with the exchange's.
    const long double lStep = kind == 255 ? 0 : 1e-8L;
    QCOMPARE(QString::fromStdString(TradeBarNumberText(RoundToStep(o.GetLimitPrice(lLast), lStep))), expected);
    QCOMPARE(QString::fromStdString(TradeBarNumberText(RoundToStep(o.GetStopPrice(lLast), lStep))), expected);
  }

  void roundingToTickAndLot() {
    QCOMPARE(TradeBarNumberText(RoundToStep(27000.149L, 0.1L)), std::string("27000.1"));
    QCOMPARE(TradeBarNumberText(RoundToStep(27000.15001L, 0.1L)), std::string("27000.2"));
    QCOMPARE(TradeBarNumberText(RoundToStep(0.123456L, 0.0001L)), std::string("0.1235"));
    QCOMPARE(TradeBarNumberText(RoundDownToStep(0.0019L, 0.001L)), std::string("0.001"));
    QCOMPARE(TradeBarNumberText(RoundDownToStep(0.003L, 0.001L)), std::string("0.003"));
    QCOMPARE(TradeBarNumberText(RoundToStep(12.345L, 0)), std::string("12.345"));

    RecordingBar b;
    b.SetSymbol("BTCUSDT");
    b.PriceStep = 0.1L, b.LotStep = 0.001L;
    auto& o = Define(b, 0, tbotLimit, tbosSell);
    o.LimitPrice = tbopLast, o.LimitPriceOperator = tbomSum, o.LimitPriceMargin = 0.126L;
    Tick(*FClient, "BTCUSDT", 27000.04L);
    QVERIFY(WaitFor([&] { return b.HasLastPrice(); }));
    QCOMPARE(b.txtLast->text(), QString("27000.0400"));
    b.txtSize->setText("0.0129");
    b.OrderClick(b.OrderButtons[0]);
    QCOMPARE(b.Sent, std::vector<std::string>({"LIMIT 1 BTCUSDT 0.012 27000.2"}));
    QCOMPARE(FMessages.back(), std::string("Order sent: SELL LIMIT 0.012 BTCUSDT at 27000.2"));
  }

  void everyTypeWithItsConfirmation() {
    RecordingBar b;
    b.SetSymbol("ETHUSDT");
    Define(b, 0, tbotMarket, tbosBuy, true);
    auto& l = Define(b, 1, tbotLimit, tbosSell, true);
    l.LimitPrice = tbopValue, l.LimitPriceMargin = 1790;
    auto& s = Define(b, 2, tbotStop, tbosSell, true);
    s.StopPrice = tbopLast, s.StopPriceOperator = tbomMinus, s.StopPriceMargin = 10;
    auto& sl = Define(b, 3, tbotStopLimit, tbosBuy, true);
    sl.StopPrice = tbopLast, sl.StopPriceOperator = tbomSum, sl.StopPriceMargin = 5;
    sl.LimitPrice = tbopLast, sl.LimitPriceOperator = tbomSum, sl.LimitPriceMargin = 6;
    Tick(*FClient, "ETHUSDT", 1800);
    QVERIFY(WaitFor([&] { return b.HasLastPrice(); }));
    struct Case {
      int button;
      QString type, side, limit, stop;
      bool limitRow, stopRow;
      std::string sent;
    } lCases[] = {{0, "MARKET", "BUY", "0", "0", false, false, "MARKET 0 ETHUSDT 1"},
                  {1, "LIMIT", "SELL", "1790", "0", true, false, "LIMIT 1 ETHUSDT 1 1790"},
                  {2, "STOP", "SELL", "0", "1790", false, true, "STOP 1 ETHUSDT 1 1790"},
                  {3, "STOP LIMIT", "BUY", "1806", "1805", true, true, "STOPLIMIT 0 ETHUSDT 1 1805 1806"}};
    for (const auto& c : lCases) {
      Confirmation lSeen;
      b.Sent.clear();
      Confirm(lSeen, true);
      b.OrderClick(b.OrderButtons[static_cast<std::size_t>(c.button)]);
      QVERIFY(lSeen.shown);
      QVERIFY2(lSeen.enterKeptOpen, "Enter must not confirm");
      QCOMPARE(lSeen.symbol, QString("ETHUSDT"));
      QCOMPARE(lSeen.type, c.type);
      QCOMPARE(lSeen.side, c.side);
      QCOMPARE(lSeen.size, QString("1"));
      QCOMPARE(lSeen.limitRow, c.limitRow);
      QCOMPARE(lSeen.stopRow, c.stopRow);
      if (c.limitRow) QCOMPARE(lSeen.limit, c.limit);
      if (c.stopRow) QCOMPARE(lSeen.stop, c.stop);
      QCOMPARE(b.Sent, std::vector<std::string>({c.sent}));
    }
    // "Cancel" places nothing and says nothing.
    Confirmation lSeen;
    b.Sent.clear();
    const auto lBefore = FMessages.size();
    Confirm(lSeen, false);
    b.OrderClick(b.OrderButtons[0]);
    QVERIFY(lSeen.shown && b.Sent.empty());
    QCOMPARE(FMessages.size(), lBefore);
    // A stop-limit whose limit comes out exactly 0 goes as a plain stop.
    sl.LimitPrice = tbopValue, sl.LimitPriceMargin = 0, sl.Confirmation = false;
    b.OrderClick(b.OrderButtons[3]);
    QCOMPARE(b.Sent, std::vector<std::string>({"STOPLIMIT 0 ETHUSDT 1 1805 0"}));
  }

  void refusedBeforeAnyConfirmation() {
    RecordingBar b;
    b.SetSymbol("BTCUSDT");
    auto& o = Define(b, 0, tbotLimit, tbosBuy, true);
    o.LimitPrice = tbopLast, o.LimitPriceOperator = tbomMinus, o.LimitPriceMargin = 5;
    // No ticker yet.
    b.OrderClick(b.OrderButtons[0]);
    QVERIFY(b.Sent.empty());
    QVERIFY2(FMessages.back().find("no price for BTCUSDT") != std::string::npos, FMessages.back().c_str());
    Tick(*FClient, "BTCUSDT", 3);
    QVERIFY(WaitFor([&] { return b.HasLastPrice(); }));
    struct Case {
      std::function<void()> set;
      const char* why;
    } lCases[] = {
        {[&] { o.LimitPrice = 255; }, "not positive"},                                   // unset price kind
        {[&] { o.LimitPrice = tbopLast; }, "not positive"},                              // 3 - 5 < 0
        {[&] { o.LimitPrice = tbopValue, o.LimitPriceMargin = 0; }, "not positive"},     // 0
        {[&] { o.LimitPriceMargin = 1, o.Side = 255; }, "side"},                         // unset side
        {[&] { o.Side = tbosBuy, b.txtSize->setText("0"); }, "size"},                    // zero size
        {[&] { b.txtSize->setText("-1"); }, "size"},                                     // negative size
        {[&] { b.txtSize->setText("0.0004"), b.LotStep = 0.001L; }, "lot step"},          // below the step
    };
    for (const auto& c : lCases) {
      c.set();
      b.OrderClick(b.OrderButtons[0]);  // a confirmation would time the test out
      QVERIFY(b.Sent.empty());
      QVERIFY2(FMessages.back().rfind("Order refused: ", 0) == 0 && FMessages.back().find(c.why) != std::string::npos,
               FMessages.back().c_str());
    }
    // A size that is no number, value or percentage is refused with what was typed.
    b.txtSize->setText("1,5");
    b.OrderClick(b.OrderButtons[0]);
    QVERIFY(b.Sent.empty());
    QCOMPARE(FMessages.back(), std::string("Order refused: the size \"1,5\" is neither a number, a value in USDT nor a percentage"));
  }

  void storedDefinitionsAndButtonsReadBack() {
    {
      TFRAMETradeBarBinance b;
      b.SetSymbol("BTCUSDT");
      // Undefined buttons are captioned with the number of their key.
      for (int k = 0; k < 8; ++k) QCOMPARE(b.OrderButtons[static_cast<std::size_t>(k)]->text(), QString::number(k + 1));
      // "Edit Order", then Cancel: nothing changes.
      QTimer::singleShot(0, [] {
        WaitFor([] { return dynamic_cast<TFRMTradeBarOrder*>(QApplication::activeModalWidget()) != nullptr; }, 3000);
        auto* d = dynamic_cast<TFRMTradeBarOrder*>(QApplication::activeModalWidget());
        if (!d) return;
        d->txtDescription->setText("Not kept");
        d->cboOrderType->setCurrentIndex(tbotMarket);
        d->btnCancel->click();
      });
      b.OrderButtons[0]->menu()->actions().at(0)->trigger();
      QCOMPARE(b.OrderButtons[0]->text(), QString("1"));
      QVERIFY(!b.GetTradeBarOrders().GetOrder(0)->Defined());
      // "Edit Order" on the first button through its menu; the dialog ended with "Ok".
      bool lKeptOpen = false;
      QTimer::singleShot(0, [&lKeptOpen] {
        WaitFor([] { return dynamic_cast<TFRMTradeBarOrder*>(QApplication::activeModalWidget()) != nullptr; }, 3000);
        auto* d = dynamic_cast<TFRMTradeBarOrder*>(QApplication::activeModalWidget());
        if (!d) return;
        d->txtDescription->setText("Buy 1");
        d->cboOrderType->setCurrentIndex(tbotStopLimit);
        d->cboOrderSide->setCurrentIndex(tbosBuy);
        d->chkConfirmation->setChecked(false);
        d->cboStopLimitStopPrice->setCurrentIndex(tbopLast);
        d->cboStopLimitStopPriceMarginOperator->setCurrentIndex(tbomMinus);
        d->txtStopLimitStopPriceMarginValue->setText("0.126");
        // the limit price kind stays unselected: stored as 255
        d->txtStopLimitLimitPriceMarginValue->setText("not a number");
        d->btnOk->click();
        lKeptOpen = d->isVisible();  // the margin is no number: it stays open
        d->txtStopLimitLimitPriceMarginValue->setText("2.5");
        d->btnOk->click();
      });
      QMenu* m = b.OrderButtons[0]->menu();
      emit m->aboutToShow();
      m->actions().at(0)->trigger();  // "Edit Order"
      QCOMPARE(b.OrderButtons[0]->text(), QString("Buy 1"));
      QVERIFY2(lKeptOpen, "a margin that is no number keeps the dialog open");
      QVERIFY2(FMessages.size() == 1, "the bad margin was reported");
      // "Enabled" off for Order3, "Visible" off for Order5 and a separator.
      b.OrderButtons[2]->menu()->actions().at(2)->trigger();
      b.OrderButtons[4]->menu()->actions().at(3)->trigger();
      QVERIFY(!b.OrderButtons[2]->isEnabled());
      QVERIFY(!b.ToolAction("Order5")->isVisible());
      GetTraderSettings().WriteBool("BTCUSDT.ToolButton5", "Visible", false);
    }
    TqmtIniFile& s = GetTraderSettings();
    // Not "only for this symbol": the definition is the shared one.
    QCOMPARE(s.ReadString("Order1", "StopPriceMargin", ""), std::string("0.126"));
    QCOMPARE(s.ReadInteger("Order1", "LimitPrice", 0), 255);
    QCOMPARE(s.ReadString("BTCUSDT.Order1", "OrderType", ""), std::string());
    QCOMPARE(s.ReadString("BTCUSDT.Order3", "Enabled", ""), std::string("0"));
    QCOMPARE(s.ReadString("BTCUSDT.Order5", "Visible", ""), std::string("0"));
    {
      // A bar made later reads all of it back.
      TFRAMETradeBarBinance b;
      b.SetSymbol("BTCUSDT");
      QCOMPARE(b.OrderButtons[0]->text(), QString("Buy 1"));
      const TqmtTradeBarOrder& o = *b.GetTradeBarOrders().GetOrder(0);
      QCOMPARE(int(o.OrderType), int(tbotStopLimit));
      QVERIFY(o.StopPriceMargin == 0.126L);
      QVERIFY(o.LimitPriceMargin == 2.5L);
      QCOMPARE(int(o.LimitPrice), 255);
      QVERIFY(!o.Confirmation);
      QVERIFY(!b.OrderButtons[2]->isEnabled());
      QVERIFY(!b.ToolAction("Order5")->isVisible());
      QVERIFY(!b.ToolAction("ToolButton5")->isVisible());
      QVERIFY(b.ToolAction("Order4")->isVisible());
      // "Reset Buttons": everything back, and written.
      b.mnuFormResetButtons->trigger();
      QVERIFY(b.OrderButtons[2]->isEnabled() && b.ToolAction("Order5")->isVisible() && b.ToolAction("ToolButton5")->isVisible());
      QCOMPARE(s.ReadString("BTCUSDT.Order3", "Enabled", ""), std::string("1"));
      QCOMPARE(s.ReadString("BTCUSDT.btnReset", "Visible", ""), std::string("1"));
      // Another symbol shows the shared definition, until it has one of its own.
      TFRAMETradeBarBinance e;
      e.SetSymbol("ETHUSDT");
      QCOMPARE(e.OrderButtons[0]->text(), QString("Buy 1"));
      s.WriteInteger("ETHUSDT.Order1", "OrderType", tbotMarket);
      s.WriteString("ETHUSDT.Order1", "Description", "ETH only");
      s.WriteInteger("ETHUSDT.Order1", "Side", tbosSell);
      e.SetSymbol("ETHUSDT");
      QCOMPARE(e.OrderButtons[0]->text(), QString("ETH only"));
      QVERIFY(e.GetTradeBarOrders().GetOrder(0)->Own);
      b.SetSymbol("BTCUSDT");
      QCOMPARE(b.OrderButtons[0]->text(), QString("Buy 1"));
    }
  }

  void openOrdersFilter() {
    QCOMPARE(SymbolFilter("BTCUSDT"), std::string("SYMBOL = 'BTCUSDT'"));
    QCOMPARE(SymbolFilter("O'K"), std::string("SYMBOL = 'O''K'"));
    const char* lStatuses[] = {"NEW", "PARTIALLY_FILLED", "FILLED", "CANCELED", "EXPIRED", "EXPIRED_IN_MATCH",
                               "REJECTED", "PENDING_CANCEL", "TRIGGERING", "TRIGGERED", "FINISHED"};
    for (const char* st : lStatuses) Order(std::string("b-") + st, "BTCUSDT", st);
    Order("e-1", "ETHUSDT", "NEW");
    Order("q-1", "O'K", "NEW");
    TFRAMEGridTradeOpenOrders lOpen;
    lOpen.SetSymbol("BTCUSDT");
    TFRAMEGridTradeOrdersHistory lHistory;
    lHistory.SetSymbol("BTCUSDT");
    TFRAMEGridTradeOpenOrders lQuoted;
    lQuoted.SetSymbol("O'K");
    std::set<std::string> lShown;
    for (int i = 0; i < lOpen.dsGrid()->rowCount(); ++i) lShown.insert(lOpen.dsGrid()->Text(i, "ORDER_STATUS"));
    QCOMPARE(lShown, (std::set<std::string>{"NEW", "PARTIALLY_FILLED", "PENDING_CANCEL", "TRIGGERING"}));
    QCOMPARE(lHistory.dsGrid()->rowCount(), 11);
    QCOMPARE(lQuoted.dsGrid()->rowCount(), 1);
    // A fill moves an order out of "Open Orders"; it stays in the history.
    Order("b-NEW", "BTCUSDT", "FILLED");
    QVERIFY(WaitFor([&] { return lOpen.dsGrid()->rowCount() == 3; }));
    QCOMPARE(lHistory.dsGrid()->rowCount(), 11);
  }

  void barDestroyedWhileTickersArrive() {
    std::atomic<bool> lStop{false};
    std::thread lFeed([&] {
      for (int i = 0; !lStop; ++i) Tick(*FClient, "BTCUSDT", 100 + i % 10);
    });
    for (int i = 0; i < 30; ++i) {
      auto b = std::make_unique<TFRAMETradeBarBinance>();
      b->SetSymbol("BTCUSDT");
      Pump(i % 3 == 0 ? 30 : 1);
      b.reset();
      QCoreApplication::processEvents();
    }
    lStop = true;
    lFeed.join();
  }
};

QMT_UI_TEST_MAIN(TestTrader)
#include "test_ui_trader.moc"
