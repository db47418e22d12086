// The grid frames against a trader client that records what it is asked: "Select Symbol" (table
// order, "Refresh", a symbol already listed selected instead, nothing for none selected, the list
// filtered as one types), "Del" and
// the Delete key on the selected rows only, "Clear" asked first (ticker unsubscribed, last row
// first), "+Chart"/"+Trader" and the double-click's requests, and the log grid's toggle.
#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "qmtTraderClient.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"
#include "qmtTraderGrid.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;

namespace {

// Answers the next "Clear" question.
void AnswerClear(bool aYes) {
  QTimer::singleShot(0, [aYes] {
    WaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 3000);
    if (auto* b = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) b->button(aYes ? QMessageBox::Yes : QMessageBox::No)->click();
  });
}

// Records every call; GetSymbols puts a new symbol in the symbols table.
class RecordingClient : public TqmtTraderClient {
public:
  std::vector<std::string> Calls;
  void GetSymbols() override {
    Calls.push_back("GetSymbols");
    AddSymbol("AAAUSDT");
  }
  void SubscribeTicker(const std::string& s) override { Calls.push_back("SubscribeTicker " + s); }
  void UnSubscribeTicker(const std::string& s) override {
    GetTraderDataTicker().Unwatch(s);
    Calls.push_back("UnSubscribeTicker " + s);
  }
  void SubscribeBookDepth(const std::string& s) override { Calls.push_back("SubscribeBookDepth " + s); }
  void SubscribeTrades(const std::string& s) override { Calls.push_back("SubscribeTrades " + s); }
  static void AddSymbol(const std::string& aName) {
    TqmtTraderSymbol s;
    s.SetSymbol(aName);
    GetTraderDataSymbols().AddSymbol(s);
  }
};

void Watch(const std::string& aSymbol) {
  TqmtTraderTicker t;
  t.SetSymbol(aSymbol);
  t.SetPrice(1);
  GetTraderDataTicker().UpdateTicker(t);
}

// Opens "Select Symbol" from the grid and runs aStep on it.
void SelectSymbol(TFRAMEGridTicker& aGrid, std::function<void(TFRMGridTicker_NewRecord*)> aStep) {
  QTimer::singleShot(0, [aStep] {
    WaitFor([] { return dynamic_cast<TFRMGridTicker_NewRecord*>(QApplication::activeModalWidget()) != nullptr; });
    if (auto* d = dynamic_cast<TFRMGridTicker_NewRecord*>(QApplication::activeModalWidget())) aStep(d);
  });
  aGrid.btnNewRecord->trigger();
}

QStringList Items(QComboBox* aBox) {
  QStringList l;
  for (int i = 0; i < aBox->count(); ++i) l << aBox->itemText(i);
  return l;
}

}  // namespace

class TestGrids : public QObject {
  Q_OBJECT
public:
  explicit TestGrids(const std::filesystem::path& aFolder) : FFolder(aFolder) {}

private:
  std::filesystem::path FFolder;
  std::unique_ptr<RecordingClient> FClient;

private slots:
  void init() {
    FreeTraderData();
    std::filesystem::remove_all(FFolder / "db");  // every test starts with empty tables
    FClient = std::make_unique<RecordingClient>();
    FClient->RegisterTraderClient();
  }
  void cleanup() {
    ScreenshotIfFailed();
    FClient.reset();
  }

  void selectSymbolDialog() {
    for (const char* s : {"ETHUSDT", "BTCUSDT", "BNBUSDT"}) RecordingClient::AddSymbol(s);
    Watch("BTCUSDT");
    TFRAMEGridTicker g;
    g.show();
    QStringList lShown, lRefreshed;
    // Table order (the symbols table keeps its key order), nothing selected; "Ok" with nothing
    // selected subscribes nothing.
    SelectSymbol(g, [&](TFRMGridTicker_NewRecord* d) {
      QCOMPARE(d->windowTitle(), QString("Select Symbol"));
      lShown = Items(d->cboSymbols);
      QCOMPARE(d->cboSymbols->currentIndex(), -1);
      d->btnGetSymbols->click();
      QCOMPARE(d->btnGetSymbols->text(), QString("Refreshing..."));  // read on the command queue
      QVERIFY(WaitFor([&] { return d->btnGetSymbols->isEnabled(); }));
      lRefreshed = Items(d->cboSymbols);
      QCOMPARE(d->cboSymbols->currentIndex(), -1);
      d->btnOk->click();
    });
    QCOMPARE(lShown, QStringList({"BNBUSDT", "BTCUSDT", "ETHUSDT"}));
    QCOMPARE(lRefreshed, QStringList({"AAAUSDT", "BNBUSDT", "BTCUSDT", "ETHUSDT"}));
    QCOMPARE(FClient->Calls, std::vector<std::string>({"GetSymbols"}));

    // A listed symbol subscribes nothing; a new one ticker, book and trades, in that order.
    FClient->Calls.clear();
    for (const char* s : {"BTCUSDT", "ETHUSDT"})
      SelectSymbol(g, [s](TFRMGridTicker_NewRecord* d) {
        d->cboSymbols->setCurrentIndex(d->cboSymbols->findText(s));
        QTest::keyClick(d->cboSymbols, Qt::Key_Return);  // Enter in the list is "Ok"
      });
    QCOMPARE(FClient->Calls, std::vector<std::string>({"SubscribeTicker ETHUSDT", "SubscribeBookDepth ETHUSDT", "SubscribeTrades ETHUSDT"}));
    // The symbol already listed is selected instead.
    const auto lSelected = g.grid->selectionModel()->selectedRows();
    QCOMPARE(lSelected.size(), 1);
    QCOMPARE(g.dsGrid()->Text(g.SourceRow(lSelected[0].row()), "SYMBOL"), std::string("BTCUSDT"));

    // Typing filters the list (any case, anywhere in the name), its first match picked; Enter adds it.
    FClient->Calls.clear();
    QStringList lFiltered;
    SelectSymbol(g, [&](TFRMGridTicker_NewRecord* d) {
      QTest::keyClicks(d->txtFilter, "bn");
      lFiltered = Items(d->cboSymbols);
      QTest::keyClick(d->txtFilter, Qt::Key_Return);
    });
    QCOMPARE(lFiltered, QStringList({"BNBUSDT"}));
    QCOMPARE(FClient->Calls.front(), std::string("SubscribeTicker BNBUSDT"));
    SelectSymbol(g, [&](TFRMGridTicker_NewRecord* d) {
      QTest::keyClicks(d->txtFilter, "USDT");
      lFiltered = Items(d->cboSymbols);
      d->txtFilter->setText("nothing like it");
      QCOMPARE(d->cboSymbols->currentIndex(), -1);
      d->btnCancel->click();
    });
    QCOMPARE(lFiltered, QStringList({"AAAUSDT", "BNBUSDT", "BTCUSDT", "ETHUSDT"}));

    // Escape is "Cancel": nothing.
    FClient->Calls.clear();
    SelectSymbol(g, [](TFRMGridTicker_NewRecord* d) {
      d->cboSymbols->setCurrentIndex(0);
      QTest::keyClick(d->cboSymbols, Qt::Key_Escape);
    });
    QVERIFY(FClient->Calls.empty());
  }

  void deleteClearAndPageRequests() {
    for (const char* s : {"AUSDT", "BUSDT", "CUSDT", "DUSDT"}) Watch(s);
    TFRAMEGridTicker g;
    g.show();
    std::vector<std::string> lCharts, lTraders;
    g.OnNewChartTicker = [&](TFRAMEBase* aSender, const std::string& s) {
      QCOMPARE(aSender, &g);
      lCharts.push_back(s);
    };
    g.OnNewChartTrader = [&](TFRAMEBase*, const std::string& s) { lTraders.push_back(s); };
    QCOMPARE(g.dsGrid()->rowCount(), 4);
    g.grid->setCurrentIndex(g.dsGrid()->index(2, 0));
    g.btnChartTicker->trigger();
    g.btnChartTrader->trigger();
    QCOMPARE(lCharts, std::vector<std::string>({"CUSDT"}));
    QCOMPARE(lTraders, std::vector<std::string>({"CUSDT"}));

    // "Del": the selected row's ticker only, and the row goes at once.
    g.btnDeleteRecord->trigger();
    QCOMPARE(FClient->Calls, std::vector<std::string>({"UnSubscribeTicker CUSDT"}));
    QCOMPARE(g.dsGrid()->rowCount(), 3);
    Watch("CUSDT");  // a ticker that was on its way
    Pump(200);
    QCOMPARE(g.dsGrid()->rowCount(), 3);
    // Nothing selected: nothing goes (not the first row).
    FClient->Calls.clear();
    g.grid->selectionModel()->clearSelection();
    g.btnDeleteRecord->trigger();
    QVERIFY(FClient->Calls.empty());
    QCOMPARE(g.dsGrid()->rowCount(), 3);
    // The Delete key on two selected rows: both, the last first.
    g.grid->selectionModel()->select(g.grid->model()->index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    g.grid->selectionModel()->select(g.grid->model()->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    g.grid->setFocus();
    QTest::keyClick(g.grid, Qt::Key_Delete);
    QCOMPARE(FClient->Calls, std::vector<std::string>({"UnSubscribeTicker DUSDT", "UnSubscribeTicker AUSDT"}));
    QCOMPARE(g.dsGrid()->rowCount(), 1);
    // A double-click opens the row's trading page.
    const QPoint lAt = g.grid->visualRect(g.grid->model()->index(0, 0)).center();
    QTest::mouseClick(g.grid->viewport(), Qt::LeftButton, {}, lAt);  // the press a double-click follows
    QTest::mouseDClick(g.grid->viewport(), Qt::LeftButton, {}, lAt);
    QCOMPARE(lTraders.back(), std::string("BUSDT"));

    // "Clear" asks first: "No" keeps the list, "Yes" takes every row (last first, as above).
    FClient->Calls.clear();
    AnswerClear(false);
    g.btnClearRecords->trigger();
    QVERIFY(FClient->Calls.empty());
    QCOMPARE(g.dsGrid()->rowCount(), 1);
    AnswerClear(true);
    g.btnClearRecords->trigger();
    QCOMPARE(FClient->Calls, std::vector<std::string>({"UnSubscribeTicker BUSDT"}));
    QCOMPARE(g.dsGrid()->rowCount(), 0);
    QVERIFY(GetTraderDataTicker().CDSTicker().IsEmpty());
    FClient->Calls.clear();
    g.btnDeleteRecord->trigger();
    g.btnClearRecords->trigger();
    QVERIFY(FClient->Calls.empty());
  }

  void logGrid() {
    TFRAMEGridLog g;
    g.show();
    QVERIFY(!g.btnNewRecord->isEnabled());
    QVERIFY(!g.btnDeleteRecord->isEnabled());
    QVERIFY(g.btnClearRecords->isEnabled());
    QVERIFY(!g.btnLogEnabled->isChecked());
    QVERIFY(!GetTraderDataLog().Enabled());
    g.btnLogEnabled->trigger();
    QVERIFY(GetTraderDataLog().Enabled());
    QVERIFY(g.btnLogEnabled->isChecked());
    GetTraderDataLog().Log("{\"e\":\"trade\"}");
    g.btnLogEnabled->trigger();
    QVERIFY(!GetTraderDataLog().Enabled());
    QVERIFY(!g.btnLogEnabled->isChecked());
    GetTraderDataLog().Log("not recorded");
    QVERIFY(WaitFor([&] { return g.dsGrid()->rowCount() == 1; }));
    QCOMPARE(g.dsGrid()->Text(0, "LOG_MESSAGE"), std::string("{\"e\":\"trade\"}"));
    g.btnClearRecords->trigger();
    QCOMPARE(g.dsGrid()->rowCount(), 0);
    QVERIFY(GetTraderDataLog().CDSLog().IsEmpty());
  }
};

QMT_UI_TEST_MAIN(TestGrids)
#include "test_ui_grids.moc"
