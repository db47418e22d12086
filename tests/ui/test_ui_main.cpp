// The main window: "Close Tab" and its wrap-around, failures in status panel 1, and a scripted run
// against the simulated exchange as a user would do it: sign in, add two symbols through "Select
// Symbol", watch their rows update, delete one while tickers arrive, reconnect and restart.
#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <poll.h>

#include <atomic>
#include <thread>

#include "qmtSystem.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Ticker.h"
#include "qmtTradeBar.h"
#include "qmtTraderChart.h"
#include "qmtTraderFrame.h"
#include "qmtTraderGrid.h"
#include "qmtTraderLogin.h"
#include "qmtTraderMain.h"
#include "qmtTraderSettings.h"
#include "sim_exchange.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;

namespace {

QStringList Captions(QTabWidget* aTabs) {
  QStringList l;
  for (int i = 0; i < aTabs->count(); ++i) l << aTabs->tabText(i);
  return l;
}

// Runs aStep on the next modal dialog of type T once it is up (from inside its exec).
template <typename T>
void OnModal(std::function<void(T*)> aStep) {
  QTimer::singleShot(0, [aStep] {
    WaitFor([] { return dynamic_cast<T*>(QApplication::activeModalWidget()) != nullptr; }, 30000);
    if (auto* d = dynamic_cast<T*>(QApplication::activeModalWidget())) aStep(d);
  });
}

int RowOf(TFRAMEGridTicker* aGrid, const std::string& aSymbol) {
  for (int i = 0; i < aGrid->dsGrid()->rowCount(); ++i)
    if (aGrid->dsGrid()->Text(i, "SYMBOL") == aSymbol) return i;
  return -1;
}

bool OnWatchList(const std::string& aSymbol) {
  auto c = GetTraderDataTicker().CDSTicker().CloneCursor();
  c->SetFiltered(false);
  return c->FindKey(aSymbol);
}

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT
public:
  explicit TestMainWindow(const std::filesystem::path& aFolder) : FFolder(aFolder) {
    SetTraderSettingsFileName((aFolder / "qmtTrader.ini").string());
  }

private:
  std::filesystem::path FFolder;

private slots:
  void cleanup() { ScreenshotIfFailed(); }

  void layoutAndCloseTab() {
    TFRMTrader_Binance w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.windowTitle(), QString("qmtTrader Binance"));
    QCOMPARE(Captions(w.PageControl1), QStringList({"Ticker", "Log"}));
    QVERIFY(!w.PageControl1->isTabVisible(1));
    QCOMPARE(w.PageControl1->currentWidget(), w.tabTicker);
    QCOMPARE(w.btnBrokerConnect->text(), QString("Connect"));
    QVERIFY(w.StatusPanel0->width() >= 80);  // wider for "Connected (market data only)"
    QCOMPARE(w.StatusPanel1->width(), 500);
    QVERIFY(!w.btnCloseTab->isEnabled());
    // The ticker grid's columns and widths.
    QHeaderView* h = w.FFRAMEGridTicker->grid->horizontalHeader();
    QStringList lTitles;
    for (int c = 0; c < h->count(); ++c) lTitles << w.FFRAMEGridTicker->dsGrid()->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(lTitles, QStringList({"Symbol", "Open", "High", "Low", "Bid", "Ask", "Price", "Size"}));
    QCOMPARE(h->sectionSize(0), 117);
    QVERIFY(h->sectionSize(6) >= 97);

    // Two requests for one symbol open two pages; each is the active last page.
    w.OnNewChartTickerEvent(nullptr, "BTCUSDT");
    w.OnNewChartTraderEvent(nullptr, "BTCUSDT");
    w.OnNewChartTickerEvent(nullptr, "ETHUSDT");
    QCOMPARE(Captions(w.PageControl1), QStringList({"Ticker", "Log", "BTCUSDT", "BTCUSDT", "ETHUSDT"}));
    QCOMPARE(w.PageControl1->currentIndex(), 4);
    QVERIFY(w.btnCloseTab->isEnabled());
    w.PageControl1->setCurrentIndex(0);
    QVERIFY(!w.btnCloseTab->isEnabled());
    w.PageControl1->setCurrentIndex(3);
    QVERIFY(w.btnCloseTab->isEnabled());

    // Closing a page activates the one after it; closing the last wraps to "Ticker" (the hidden
    // "Log" is skipped); on "Ticker" there is nothing to close.
    w.btnCloseTab->trigger();
    QCOMPARE(Captions(w.PageControl1), QStringList({"Ticker", "Log", "BTCUSDT", "ETHUSDT"}));
    QCOMPARE(w.PageControl1->tabText(w.PageControl1->currentIndex()), QString("ETHUSDT"));
    w.btnCloseTab->trigger();
    QCOMPARE(w.PageControl1->currentWidget(), w.tabTicker);
    QVERIFY(!w.btnCloseTab->isEnabled());
    w.btnCloseTab->trigger();
    QCOMPARE(Captions(w.PageControl1), QStringList({"Ticker", "Log", "BTCUSDT"}));
    w.PageControl1->setCurrentIndex(2);
    w.btnCloseTab->trigger();
    QCOMPARE(Captions(w.PageControl1), QStringList({"Ticker", "Log"}));
    QCOMPARE(w.PageControl1->currentWidget(), w.tabTicker);

    // "+Chart" on an empty grid opens nothing.
    w.FFRAMEGridTicker->btnChartTicker->trigger();
    QCOMPARE(w.PageControl1->count(), 2);
  }

  void failuresShowInStatusPanel1() {
    TFRMTrader_Binance w;
    w.show();
    QAction* lFailing = w.mainBar->addAction("Fail");
    connect(lFailing, &QAction::triggered, &w, [] { UIAction([] { throw Exception("first failure"); }); });
    lFailing->trigger();
    QCOMPARE(w.StatusPanel1->text(), QString("first failure"));
    // One that reaches the event loop itself.
    QMetaObject::invokeMethod(&w, [] { throw Exception("second failure"); }, Qt::QueuedConnection);
    QVERIFY(WaitFor([&] { return w.StatusPanel1->text() == "second failure"; }));
    QVERIFY(w.isVisible());
    // "Del" and "Clear" on an empty grid do nothing.
    w.FFRAMEGridTicker->btnDeleteRecord->trigger();
    w.FFRAMEGridTicker->btnClearRecords->trigger();
    QCOMPARE(w.StatusPanel1->text(), QString("second failure"));
  }

  void cancelledSignInEndsBeforeTheWindow() {
    TFRMTrader_Binance w;
    OnModal<TFRMTraderLogin_Binance>([](TFRMTraderLogin_Binance* d) { d->btnCancel->click(); });
    QVERIFY(!w.SignIn());
    QVERIFY(!w.isVisible());
    QCOMPARE(GetTraderClient(), nullptr);
  }

  // "--sign-in": the stored key signs in without the dialog; a refused one shows it.
  void signInWithStoredSettings() {
    qmt_test::SimExchange lExchange;
    lExchange.PointAt();
    bool lShown = false;
    // Looks once, after the sign-in had its chance to end without a dialog, and cancels one that is up.
    auto lCancelDialog = [&] {
      QTimer::singleShot(0, [&] {
        if (auto* d = dynamic_cast<TFRMTraderLogin_Binance*>(QApplication::activeModalWidget())) {
          lShown = true;
          d->btnCancel->click();
        }
      });
    };
    GetTraderSettings().WriteString("SETTINGS", "ApiKey", "qmt-sim-key");
    GetTraderSettings().WriteString("SETTINGS", "ApiSecret", "qmt-sim-secret");
    {
      TFRMTrader_Binance w;
      lCancelDialog();
      QVERIFY(w.SignIn(true));
      Pump(100);
      QVERIFY(!lShown);
      QVERIFY(GetTraderClient() && GetTraderClient()->Connected());
    }
    FreeTraderData();
    GetTraderSettings().WriteString("SETTINGS", "ApiSecret", "wrong");
    {
      TFRMTrader_Binance w;
      lCancelDialog();
      QVERIFY(!w.SignIn(true));
      QVERIFY(lShown);
    }
    FreeTraderData();
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
  }

  void scriptedRunAgainstTheSimulatedExchange() {
    qmt_test::SimExchange lExchange;
    lExchange.PointAt();
    GetTraderSettings().WriteString("SETTINGS", "ApiKey", "qmt-sim-key");
    GetTraderSettings().WriteString("SETTINGS", "ApiSecret", "qmt-sim-secret");
    {
      TFRMTrader_Binance w;
      OnModal<TFRMTraderLogin_Binance>([](TFRMTraderLogin_Binance* d) { d->btnOk->click(); });
      QVERIFY(w.SignIn());
      // A drop before the window appears is shown once it does.
      GetTraderClient()->Disconnect();
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      QCOMPARE(w.StatusPanel0->text(), QString("Disconnected"));
      QVERIFY(w.btnBrokerConnect->isEnabled());
      QVERIFY(!w.btnBrokerDisconnect->isEnabled());
      w.btnBrokerConnect->trigger();
      QVERIFY(WaitFor([&] { return w.StatusPanel0->text() == "Connected"; }));
      QVERIFY(!w.btnBrokerConnect->isEnabled());

      // Two symbols through "Select Symbol".
      TFRAMEGridTicker* g = w.FFRAMEGridTicker;
      for (const char* lSymbol : {"BTCUSDT", "ETHUSDT"}) {
        OnModal<TFRMGridTicker_NewRecord>([lSymbol](TFRMGridTicker_NewRecord* d) {
          QCOMPARE(d->cboSymbols->currentIndex(), -1);
          d->cboSymbols->setCurrentIndex(d->cboSymbols->findText(lSymbol));
          d->btnOk->click();
        });
        g->btnNewRecord->trigger();
      }
      QVERIFY(WaitFor([&] { return RowOf(g, "BTCUSDT") >= 0 && RowOf(g, "ETHUSDT") >= 0; }));
      const std::string lPrice = g->dsGrid()->Text(RowOf(g, "BTCUSDT"), "PRICE");
      QVERIFY2(WaitFor([&] { return g->dsGrid()->Text(RowOf(g, "BTCUSDT"), "PRICE") != lPrice; }), "the row updates");

      // "Del" on ETHUSDT while its tickers keep coming: it stays away.
      g->grid->setCurrentIndex(g->dsGrid()->index(RowOf(g, "ETHUSDT"), 0));
      g->btnDeleteRecord->trigger();
      QCOMPARE(RowOf(g, "ETHUSDT"), -1);
      Pump(2500);  // more than two ticker periods
      QCOMPARE(RowOf(g, "ETHUSDT"), -1);
      QVERIFY(!OnWatchList("ETHUSDT"));

      // After a reconnection only BTCUSDT is subscribed and updates.
      w.btnBrokerDisconnect->trigger();
      QVERIFY(WaitFor([&] { return w.StatusPanel0->text() == "Disconnected"; }));
      w.btnBrokerConnect->trigger();
      QVERIFY(WaitFor([&] { return w.StatusPanel0->text() == "Connected"; }));
      const std::string lAfter = g->dsGrid()->Text(RowOf(g, "BTCUSDT"), "PRICE");
      QVERIFY(WaitFor([&] { return g->dsGrid()->Text(RowOf(g, "BTCUSDT"), "PRICE") != lAfter; }));
      Pump(1500);
      QCOMPARE(RowOf(g, "ETHUSDT"), -1);
      QCOMPARE(GetTraderClient()->WatchListSymbols(), std::vector<std::string>({"BTCUSDT"}));

      // "+Chart" carries the selected row's symbol.
      g->grid->setCurrentIndex(g->dsGrid()->index(RowOf(g, "BTCUSDT"), 0));
      g->btnChartTicker->trigger();
      QCOMPARE(w.PageControl1->tabText(w.PageControl1->currentIndex()), QString("BTCUSDT"));
      w.close();
    }
    // A restart: the stored watch list is read back without ETHUSDT.
    FreeTraderData();
    QVERIFY(OnWatchList("BTCUSDT"));
    QVERIFY(!OnWatchList("ETHUSDT"));
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
  }

  // An exchange that takes connections and never answers: the press returns at once with its button
  // in flight, prices keep coming while the order hangs, and the result (unknown) arrives later.
  void aSilentExchangeNeverFreezesTheWindow() {
    FreeTraderData();
    std::atomic<bool> lStop{false};
    std::atomic<int> lHeld{0};
    qmt_test::ScriptedServer lSilent([&](int s, int) {
      ++lHeld;
      while (!lStop) {
        pollfd p{s, POLLIN, 0};
        char lBuffer[4096];
        if (::poll(&p, 1, 50) > 0 && ::recv(s, lBuffer, sizeof lBuffer, 0) <= 0) return;
      }
    });
    SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTRest, "http://127.0.0.1:" + std::to_string(lSilent.Port()));
    std::vector<std::string> lMessages;
    SetUIExceptionHandler([&](const std::string& m) { lMessages.push_back(m); });
    {
      TqmtTraderClient_Binance& c = GetTraderClientBinance();
      c.RequestTimeoutMs = 1500;
      c.Client_Futures().Binance().ApiKey = "k";
      c.Client_Futures().Binance().ApiSecret = "s";
      c.ConfigureRequests(c.Client_Futures().REST_API());
      c.Commands().SetLookUpSchedule({100});
      TFRAMETradeBarBinance b;
      b.SetSymbol("BTCUSDT");  // asks for the symbol's steps: that request hangs too
      b.show();
      auto lTick = [&](long double aPrice) {
        std::thread([&c, aPrice] {
          TqmtTraderTicker t;
          t.SetSymbol("BTCUSDT");
          t.SetPrice(aPrice);
          c.DoTicker(t);
        }).join();
      };
      lTick(27000);
      QVERIFY(WaitFor([&] { return b.HasLastPrice(); }));
      TqmtTradeBarOrder& o = *b.GetTradeBarOrders().GetOrder(0);
      o.OrderType = tbotMarket, o.Side = tbosBuy, o.Confirmation = false;
      b.txtSize->setText("0.01");
      b.OrderClick(b.OrderButtons[0]);
      QCOMPARE(b.InFlight(1), 1);
      QVERIFY(b.OrderButtons[0]->property("inFlight").toBool());
      QCOMPARE(lMessages.back(), std::string("Order sent: BUY MARKET 0.01 BTCUSDT"));
      // The window goes on: a new price shows while the order still waits.
      lTick(27100);
      QVERIFY(WaitFor([&] { return b.txtLast->text() == "27100.0000"; }));
      QCOMPARE(b.InFlight(1), 1);
      QVERIFY(lHeld > 0);
      QVERIFY2(WaitFor([&] { return b.InFlight(1) == 0; }, 20000), "the result came");
      QVERIFY(!b.OrderButtons[0]->property("inFlight").toBool());
      const bool lUnknown = std::any_of(lMessages.begin(), lMessages.end(), [](const std::string& m) {
        return m.rfind("Order outcome unknown: BUY MARKET 0.01 BTCUSDT", 0) == 0;
      });
      QVERIFY2(lUnknown, lMessages.back().c_str());
      lStop = true;
    }
    SetUIExceptionHandler(nullptr);
    FreeTraderData();
    SetBinanceAddress(TqmtBinanceAddress::FuturesUSDTRest, "");
  }

  // A trading page on USDT-margined futures: each button kind reaches the exchange as derived, the
  // orders show in "Open Orders", the market order fills into the history and the position, and
  // "Cancel Orders" empties "Open Orders".
  // Disconnected, nothing looks live: the watch list and the last price turn grey and say since
  // when, a price-following button refuses, the chart marks the gap; the page's streams outlive
  // its symbol's row on the watch list.
  void staleMarketDataIsShownAsSuch() {
    FreeTraderData();
    qmt_test::SimExchange lExchange;
    lExchange.PointAt();
    std::vector<std::string> lMessages;
    {
      TFRMTrader_Binance w;
      SetUIExceptionHandler([&](const std::string& m) { lMessages.push_back(m); });
      TqmtTraderClient_Binance& c = GetTraderClientBinance();
      QVERIFY(c.Initialize("", "", false, 0, false));
      c.SubscribeTicker("BTCUSDT");
      w.show();
      QVERIFY(QTest::qWaitForWindowExposed(&w));
      QVERIFY(WaitFor([&] { return w.StatusPanel0->text() == "Connected (market data only)"; }));
      QVERIFY(WaitFor([&] { return w.windowTitle() == QString::fromUtf8("qmtTrader Binance \u2014 Spot"); }));
      TFRAMEGridTicker* g = w.FFRAMEGridTicker;
      QVERIFY(WaitFor([&] { return RowOf(g, "BTCUSDT") >= 0; }));
      w.OnNewChartTraderEvent(nullptr, "BTCUSDT");
      auto* f = FindFrame<TFRAMETraderBinance>(w.PageControl1->currentWidget());
      QVERIFY(f && f->FFRAMETradeBarBinance);
      TFRAMETradeBarBinance& b = *f->FFRAMETradeBarBinance;
      QVERIFY(WaitFor([&] { return b.HasLastPrice() && !f->FFRAMEChartTicker->SeriesData(TFRAMEChartTicker::TSeries::PriceAll).empty(); }));
      QVERIFY(!b.Stale() && !g->dsGrid()->Stale());
      TqmtTradeBarOrder& o = *b.GetTradeBarOrders().GetOrder(0);
      o.OrderType = tbotLimit, o.Side = tbosBuy, o.Confirmation = false;
      o.LimitPrice = tbopLast, o.LimitPriceOperator = tbomMinus, o.LimitPriceMargin = 100;

      c.Disconnect();
      QVERIFY(WaitFor([&] { return w.StatusPanel0->text() == "Disconnected"; }));
      QVERIFY(g->dsGrid()->Stale());
      const QModelIndex lCell = g->dsGrid()->index(RowOf(g, "BTCUSDT"), 6);
      QCOMPARE(g->dsGrid()->data(lCell, Qt::ForegroundRole).value<QColor>(), QColor(150, 150, 150));
      QVERIFY(g->dsGrid()->data(lCell, Qt::ToolTipRole).toString().startsWith("Not live: the last update came before "));
      QVERIFY(b.Stale());
      QVERIFY(b.txtLast->toolTip().startsWith("Not live: the last price came before "));
      b.txtSize->setText("0.01");
      b.OrderClick(b.OrderButtons[0]);
      QVERIFY(!lMessages.empty());
      QVERIFY2(lMessages.back().rfind("Order refused: its price follows the market's, which is not live", 0) == 0, lMessages.back().c_str());

      // Back: live again, and the chart shows where the data stopped.
      w.btnBrokerConnect->trigger();
      QVERIFY(WaitFor([&] { return w.StatusPanel0->text() == "Connected (market data only)"; }));
      QVERIFY(!b.Stale() && !g->dsGrid()->Stale());
      QVERIFY(WaitFor([&] { return f->FFRAMEChartTicker->Gaps().size() == 1; }));

      // The symbol off the watch list: the page still has its prices.
      g->grid->setCurrentIndex(g->dsGrid()->index(RowOf(g, "BTCUSDT"), 0));
      g->btnDeleteRecord->trigger();
      QCOMPARE(RowOf(g, "BTCUSDT"), -1);
      Pump(300);
      const long double lLast = b.LastPrice();
      QVERIFY2(WaitFor([&] { return b.LastPrice() != lLast; }), "the page's streams stay subscribed");
      QCOMPARE(RowOf(g, "BTCUSDT"), -1);
      w.close();
      SetUIExceptionHandler(nullptr);
    }
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
  }

  void tradingPageAgainstTheSimulatedExchange() {
    FreeTraderData();
    qmt_test::SimExchange lExchange;
    lExchange.PointAt();
    std::vector<std::string> lMessages;
    {
      TFRMTrader_Binance w;
      SetUIExceptionHandler([&](const std::string& m) { lMessages.push_back(m); });
      QVERIFY(GetTraderClientBinance().Initialize("qmt-sim-key", "qmt-sim-secret", true, 0, false));
      w.show();
      w.OnNewChartTraderEvent(nullptr, "BTCUSDT");
      auto* f = FindFrame<TFRAMETraderBinance>(w.PageControl1->currentWidget());
      QVERIFY(f && f->FFRAMETradeBarBinance);
      TFRAMETradeBarBinance& b = *f->FFRAMETradeBarBinance;
      QVERIFY(WaitFor([&] { return b.HasLastPrice(); }));
      const long double lLast = b.LastPrice();
      auto lDefine = [&](int i, std::uint8_t aType, std::uint8_t aSide) -> TqmtTradeBarOrder& {
        TqmtTradeBarOrder& o = *b.GetTradeBarOrders().GetOrder(i);
        o.OrderType = aType, o.Side = aSide, o.Confirmation = false;
        return o;
      };
      lDefine(0, tbotMarket, tbosBuy);
      auto& l = lDefine(1, tbotLimit, tbosBuy);
      l.LimitPrice = tbopLast, l.LimitPriceOperator = tbomMinus, l.LimitPriceMargin = 500.123L;
      auto& s = lDefine(2, tbotStop, tbosSell);
      s.StopPrice = tbopLast, s.StopPriceOperator = tbomMinus, s.StopPriceMargin = 700;
      auto& sl = lDefine(3, tbotStopLimit, tbosSell);
      sl.StopPrice = tbopLast, sl.StopPriceOperator = tbomMinus, sl.StopPriceMargin = 600;
      sl.LimitPrice = tbopLast, sl.LimitPriceOperator = tbomMinus, sl.LimitPriceMargin = 610;
      b.txtSize->setText("0.0105");  // down to the lot step 0.001
      for (int i = 0; i < 4; ++i) b.OrderClick(b.OrderButtons[static_cast<std::size_t>(i)]);
      QVERIFY2(lMessages.size() == 4 && lMessages[0].rfind("Order sent: BUY MARKET 0.01 BTCUSDT", 0) == 0,
               lMessages.empty() ? "no message" : lMessages.back().c_str());

      TqmtDataTableModel& lOpen = *f->FFRAMEGridTradeOpenOrders->dsGrid();
      TqmtDataTableModel& lHistory = *f->FFRAMEGridTradeOrdersHistory->dsGrid();
      QVERIFY2(WaitFor([&] { return lOpen.rowCount() == 3 && lHistory.rowCount() == 4; }),
               qPrintable(QString("%1 open, %2 in the history").arg(lOpen.rowCount()).arg(lHistory.rowCount())));
      // The limit order as the exchange reports it: last - 500.123 on the tick size 0.1, 0.01.
      const long double lExpected = RoundToStep(lLast - 500.123L, 0.1L);
      bool lLimitSeen = false;
      for (int i = 0; i < lOpen.rowCount(); ++i)
        if (lOpen.Text(i, "ORDER_TYPE") == "LIMIT") {
          lLimitSeen = true;
          QCOMPARE(TradeBarTextToNumber(lOpen.Text(i, "PRICE")), lExpected);
          QCOMPARE(lOpen.Text(i, "SIZE"), std::string("0.01"));
        }
      QVERIFY(lLimitSeen);
      bool lFilled = false;
      for (int i = 0; i < lHistory.rowCount(); ++i) lFilled = lFilled || lHistory.Text(i, "ORDER_STATUS") == "FILLED";
      QVERIFY(lFilled);
      QVERIFY(WaitFor([&] { return f->FFRAMEGridTradePosition->dsGrid()->rowCount() == 1; }));
      QCOMPARE(f->FFRAMEGridTradePosition->dsGrid()->Text(0, "POSITION"), std::string("0.01"));
      QVERIFY(WaitFor([&] { return f->FFRAMEGridTradeBalance->dsGrid()->rowCount() > 0; }));

      // Ctrl+0 on the page is "Cancel Orders".
      w.PageControl1->currentWidget()->setFocus();
      b.btnCancelOpenOrders->click();
      QVERIFY(WaitFor([&] { return lOpen.rowCount() == 0; }));
      QCOMPARE(lHistory.rowCount(), 4);
      // The bought position stays: closing asks first. Cancel keeps the window; Close with "Don't
      // ask again" closes it, and the next close does not ask.
      QCOMPARE(TFRMTrader::LeftOnTheExchange(), std::string("1 position"));
      auto lAnswer = [](QMessageBox::StandardButton aButton, bool aDontAsk, QString* aText) {
        QTimer::singleShot(0, [=] {
          WaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 3000);
          auto* lBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
          if (!lBox || lBox->objectName() != "CloseQuestion") return;
          *aText = lBox->text();
          lBox->checkBox()->setChecked(aDontAsk);
          lBox->button(aButton)->click();
        });
      };
      QString lAsked;
      lAnswer(QMessageBox::Cancel, false, &lAsked);
      QVERIFY(!w.close());
      QVERIFY(w.isVisible());
      QCOMPARE(lAsked, QString("Left open on the exchange when qmtTrader closes: 1 position. Orders can still fill, and nothing here will show it."));
      lAsked.clear();
      lAnswer(QMessageBox::Close, true, &lAsked);
      QVERIFY(w.close());
      QVERIFY(!lAsked.isEmpty());
      QVERIFY(!GetTraderSettings().ReadBool("SETTINGS", "AskBeforeClosing", true));
      QVERIFY(w.ConfirmClose());  // not asked again
      GetTraderSettings().WriteBool("SETTINGS", "AskBeforeClosing", true);
      SetUIExceptionHandler(nullptr);
    }
    FreeTraderData();
    for (int i = 0; i <= static_cast<int>(TqmtBinanceAddress::FuturesUSDTTestWSAPI); ++i)
      SetBinanceAddress(static_cast<TqmtBinanceAddress>(i), "");
  }
};

QMT_UI_TEST_MAIN(TestMainWindow)
#include "test_ui_main.moc"
