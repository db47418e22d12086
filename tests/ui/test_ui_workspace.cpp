// The workspace across restarts: chart and trading pages on several symbols with their choices, the
// window's geometry and the active page saved and restored equal; saved on a change without any exit
// (a killed program keeps the last change); a page whose symbol is no longer listed skipped with a log
// line; a fresh start without pages.
#include <QSplitter>
#include <QTest>

#include "qmtTraderChart.h"
#include "qmtTraderClient.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderFrame.h"
#include "qmtTraderMain.h"
#include "qmtTraderSettings.h"
#include "qmtWorkspace.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;

namespace {

class FeedClient : public TqmtTraderClient {
public:
  ~FeedClient() override { StopCommands(); }
  void List(const std::vector<std::string>& aSymbols) {
    for (const auto& s : aSymbols) {
      TqmtTraderSymbol y;
      y.SetSymbol(s);
      Broker().Symbols().AddSymbol(y);
    }
  }
};

bool Logged(const std::string& aText) {
  for (const TqmtRowRef& r : GetTraderDataLog().CDSLog().Rows())
    for (const auto& v : *r.Values)
      if (TqmtField::ValueToText(v).find(aText) != std::string::npos) return true;
  return false;
}

TFRAMEChartTicker* ChartOf(TFRMTrader& w) { return FindFrame<TFRAMEChartTicker>(w.PageControl1->currentWidget()); }

}  // namespace

class TestWorkspace : public QObject {
  Q_OBJECT
public:
  explicit TestWorkspace(const std::filesystem::path& aFolder) : FFolder(aFolder) {
    SetTraderSettingsFileName((aFolder / "qmtTrader.ini").string());
  }

private:
  std::filesystem::path FFolder;
  std::unique_ptr<FeedClient> FClient;

private slots:
  void init() {
    std::filesystem::remove(FFolder / "qmtTrader.ini");
    FClient = std::make_unique<FeedClient>();
    FClient->RegisterTraderClient();
    FClient->List({"BTCUSDT", "ETHUSDT", "BNBUSDT"});
  }
  void cleanup() {
    ScreenshotIfFailed();
    FClient.reset();
  }

  // Three pages with their choices, the window moved and sized, the trading page active: a new
  // window restores the same, and it was on file before any exit.
  void aWorkspaceComesBackAsItWasLeft() {
    TqmtWorkspace::TState lLeft;
    {
      TFRMTrader_Binance w;
      TqmtWorkspace ws(w);
      ws.Restore(true);
      w.show();
      ws.Start();
      w.setGeometry(60, 70, 1100, 700);
      w.OnNewChartTickerEvent(nullptr, "BTCUSDT");
      TFRAMEChartTicker* a = ChartOf(w);
      a->SetView(3600);
      a->btnVolumeClick();
      a->btnBookDepthClick();
      a->SetBookDepthLevel(10);
      w.OnNewChartTraderEvent(nullptr, "ETHUSDT");
      auto* t = FindFrame<TFRAMETraderBinance>(w.PageControl1->currentWidget());
      t->ShowTape(false);
      t->pageBottom->setCurrentIndex(2);
      t->splitMain->setSizes({350, 240});
      w.OnNewChartTickerEvent(nullptr, "BNBUSDT");
      ChartOf(w)->SetInterval("5m");
      ChartOf(w)->SetCandles(true);
      ChartOf(w)->btnTradesClick();
      w.PageControl1->setCurrentIndex(w.PageControl1->indexOf(t->parentWidget()));
      QCoreApplication::processEvents();
      lLeft = ws.Capture();
      // No exit: what the timer wrote within a second is what a killed program leaves.
      QVERIFY(WaitFor([&] { return GetTraderSettings().ReadString("Workspace.Page3", "View", "") == "Candles" &&
                                   GetTraderSettings().ReadInteger("Workspace", "Active", 0) == 2; }, 3000));
      QCOMPARE(GetTraderSettings().ReadString("Workspace.Page2", "Tape", ""), std::string("0"));
      QCOMPARE(GetTraderSettings().ReadInteger("Workspace.Page2", "Tab", -1), 2);
      QCOMPARE(GetTraderSettings().ReadString("Workspace.Page1", "Levels", ""), std::string("10"));
    }
    const auto& lPages = lLeft.at("Workspace");
    QCOMPARE(lPages.at("Pages"), std::string("3"));
    QCOMPARE(lPages.at("Active"), std::string("2"));
    {
      TFRMTrader_Binance w;
      TqmtWorkspace ws(w);
      ws.Restore(true);
      w.show();
      QCoreApplication::processEvents();
      const TqmtWorkspace::TState lBack = ws.Capture();
      for (const char* lPage : {"Workspace.Page1", "Workspace.Page2", "Workspace.Page3"}) QCOMPARE(lBack.at(lPage), lLeft.at(lPage));
      QCOMPARE(lBack.at("Workspace").at("Active"), std::string("2"));
      QCOMPARE(lBack.at("Workspace").at("Pages"), std::string("3"));
      QCOMPARE(w.geometry().size(), QSize(1100, 700));
      QVERIFY(FindFrame<TFRAMETraderBinance>(w.PageControl1->currentWidget()) != nullptr);
    }
  }

  // A symbol the market no longer lists: its page is skipped and the log says so; "--fresh": no pages.
  void unlistedSymbolsAreSkippedAndAFreshStartHasNoPages() {
    {
      TFRMTrader_Binance w;
      TqmtWorkspace ws(w);
      w.OnNewChartTickerEvent(nullptr, "BTCUSDT");
      w.OnNewChartTraderEvent(nullptr, "ETHUSDT");
      QVERIFY(ws.Save());
      QVERIFY2(!ws.Save(), "nothing changed: nothing written");
    }
    FClient = std::make_unique<FeedClient>();
    FClient->RegisterTraderClient();
    FClient->List({"BTCUSDT"});
    {
      TFRMTrader_Binance w;
      TqmtWorkspace ws(w);
      ws.Restore(true);
      QCOMPARE(w.PageControl1->count(), 3);  // Ticker, Log (hidden) and BTCUSDT's chart
      QVERIFY(Logged("ETHUSDT is not listed on this market"));
    }
    {
      TFRMTrader_Binance w;
      TqmtWorkspace ws(w);
      ws.Restore(false);
      QCOMPARE(w.PageControl1->count(), 2);
    }
  }
};

QMT_UI_TEST_MAIN(TestWorkspace)
#include "test_ui_workspace.moc"
