// The models between the shared tables and the grids: Qt's model checks while another thread writes,
// bursts coalesced into few flushes with ranged signals, the rows equal to the table's afterwards,
// display formats, and a model destroyed while writes keep coming.
#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <random>
#include <thread>

#include "qmtDataTableModel.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Ticker.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;

namespace {

std::unique_ptr<TqmtDataSet> NewTable() {
  auto t = std::make_unique<TqmtDataSet>();
  t->AddField("SYMBOL", TFieldType::ftString, 20);
  t->AddField("PRICE", TFieldType::ftExtended);
  t->SetKeyField("SYMBOL");
  t->CreateDataSet();
  return t;
}

void Put(TqmtDataSet& aWriter, const std::string& aKey, long double aPrice) {
  if (aWriter.FindKey(aKey)) {
    aWriter.Edit();
  } else {
    aWriter.Insert();
    aWriter.FieldByName("SYMBOL").SetAsString(aKey);
  }
  aWriter.FieldByName("PRICE").SetAsExtended(aPrice);
  aWriter.Post();
}

// "SYMBOL=PRICE" of every row, in order, as the table holds them and as the model shows them.
std::vector<std::string> TableRows(TqmtDataSet& aTable) {
  std::vector<std::string> r;
  auto c = aTable.CloneCursor();
  for (c->First(); !c->Eof(); c->Next()) r.push_back(c->FieldByName("SYMBOL").AsString() + "=" + c->FieldByName("PRICE").AsString());
  return r;
}
std::vector<std::string> ModelRows(const TqmtDataTableModel& aModel) {
  std::vector<std::string> r;
  for (int i = 0; i < aModel.rowCount(); ++i) r.push_back(aModel.Text(i, "SYMBOL") + "=" + aModel.Text(i, "PRICE"));
  return r;
}

}  // namespace

class TestModels : public QObject {
  Q_OBJECT
public:
  explicit TestModels(const std::filesystem::path&) {}

private slots:
  void cleanup() { ScreenshotIfFailed(); }

  void followsWritesOfAnotherThreadInFewFlushes() {
    auto lTable = NewTable();
    auto lView = lTable->CloneCursor();
    TqmtDataTableModel lModel(*lView, {});
    QAbstractItemModelTester lTester(&lModel, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy lInserted(&lModel, &QAbstractItemModel::rowsInserted);
    QSignalSpy lRemoved(&lModel, &QAbstractItemModel::rowsRemoved);
    QSignalSpy lChanged(&lModel, &QAbstractItemModel::dataChanged);

    // Inserts, updates and deletes in bursts, the way the stream thread writes.
    std::atomic<bool> lDone{false};
    int lWrites = 0;
    std::thread lWriter([&] {
      auto w = lTable->CloneCursor();
      std::mt19937 lRandom(7);
      for (int lRound = 0; lRound < 30; ++lRound) {
        for (int i = 0; i < 100; ++i, ++lWrites) {
          const int k = static_cast<int>(lRandom() % 150);
          const std::string lKey = "S" + std::to_string(1000 + k);
          if (lRandom() % 10 == 0 && w->FindKey(lKey))
            w->Delete();
          else
            Put(*w, lKey, lRound + i / 100.0L);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      lDone = true;
    });
    QVERIFY(WaitFor([&] { return lDone.load(); }, 60000));
    lWriter.join();
    QVERIFY(WaitFor([&] { return ModelRows(lModel) == TableRows(*lTable); }));
    QVERIFY2(lModel.Flushes() * 10 < static_cast<std::uint64_t>(lWrites),
             qPrintable(QString("%1 flushes for %2 writes").arg(lModel.Flushes()).arg(lWrites)));
    QVERIFY(lInserted.count() > 0 && lChanged.count() > 0 && lRemoved.count() > 0);

    // One burst of new rows arrives as one ranged insertion.
    lInserted.clear();
    {
      auto w = lTable->CloneCursor();
      for (int i = 0; i < 50; ++i) Put(*w, "T" + std::to_string(100 + i), i);
    }
    lModel.Refresh();
    QCOMPARE(lInserted.count(), 1);
    QCOMPARE(lInserted.at(0).at(2).toInt() - lInserted.at(0).at(1).toInt() + 1, 50);
    QCOMPARE(ModelRows(lModel), TableRows(*lTable));

    // An edited key moves its row: the model starts over and still matches.
    {
      auto w = lTable->CloneCursor();
      QVERIFY(w->FindKey(std::string("T100")));
      w->Edit();
      w->FieldByName("SYMBOL").SetAsString("A0");
      w->Post();
    }
    lModel.Refresh();
    QCOMPARE(ModelRows(lModel), TableRows(*lTable));
  }

  void filtersFormatsAndAlignment() {
    TqmtTraderTicker t;
    t.SetSymbol("BTCUSDT");
    t.SetPrice(27128.45L);
    t.SetBid(27128.4L);
    GetTraderDataTicker().UpdateTicker(t);
    t.SetSymbol("ETHUSDT");
    t.SetPrice(1814.3L);
    GetTraderDataTicker().UpdateTicker(t);
    TqmtDataSet& lCursor = GetTraderDataTicker().NewCloneCursor("filters");
    {
      TqmtDataTableModel lModel(lCursor, {{"SYMBOL", "Symbol", 117}, {"PRICE", "Price", 97}});
      QAbstractItemModelTester lTester(&lModel, QAbstractItemModelTester::FailureReportingMode::QtTest);
      QCOMPARE(lModel.rowCount(), 2);
      QCOMPARE(lModel.headerData(1, Qt::Horizontal).toString(), QString("Price"));
      QCOMPARE(lModel.data(lModel.index(0, 1)).toString(), QString("27128.4500"));
      QVERIFY(lModel.data(lModel.index(0, 1), Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight);
      QVERIFY(lModel.data(lModel.index(0, 0), Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignLeft);
      lCursor.SetFilter("SYMBOL = 'ETHUSDT'");
      lCursor.SetFiltered(true);
      lModel.Refresh();
      QCOMPARE(lModel.rowCount(), 1);
      QCOMPARE(lModel.Text(0, "SYMBOL"), std::string("ETHUSDT"));
      QVERIFY(lModel.MoveCursorTo(0));
      QCOMPARE(lCursor.FieldByName("SYMBOL").AsString(), std::string("ETHUSDT"));
      QVERIFY(!lModel.MoveCursorTo(5));
    }
    GetTraderDataTicker().DeleteCloneCursor("filters");
  }

  void logDatesAsText() {
    QCOMPARE(DateTimeText(45000.5), std::string("2023-03-15 12:00:00.000"));
    QCOMPARE(DateTimeText(25569.0 + 1.0 / 86400000.0 * 1234), std::string("1970-01-01 00:00:01.234"));
    GetTraderDataLog().Notice("a line of the program");
    TqmtDataTableModel lModel(GetTraderDataLog().CDSLog(), {{"LOG_DATE", "DateTime", 170}, {"LOG_MESSAGE", "Message", 800}});
    QAbstractItemModelTester lTester(&lModel, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QVERIFY(lModel.rowCount() >= 1);
    const QString lDate = lModel.data(lModel.index(lModel.rowCount() - 1, 0)).toString();
    QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}$").match(lDate).hasMatch(), qPrintable(lDate));
    QCOMPARE(lModel.data(lModel.index(lModel.rowCount() - 1, 1)).toString(), QString("a line of the program"));
  }

  // A page that closes while the stream thread writes: the model and its cursor go, the writes go
  // on, nothing reaches the freed model (AddressSanitizer watches).
  void closedWhileWritesArrive() {
    auto lTable = NewTable();
    std::atomic<bool> lStop{false};
    std::thread lWriter([&] {
      auto w = lTable->CloneCursor();
      for (int i = 0; !lStop; ++i) Put(*w, "S" + std::to_string(i % 40), i);
    });
    for (int lRound = 0; lRound < 40; ++lRound) {
      auto lView = lTable->CloneCursor();
      auto lModel = std::make_unique<TqmtDataTableModel>(*lView, std::vector<TqmtGridColumn>{});
      Pump(lRound % 3 == 0 ? 90 : 5);  // sometimes a flush runs, sometimes one is only posted
      lModel.reset();
      lView.reset();
      QCoreApplication::processEvents();  // a call posted to the freed model must not run
    }
    lStop = true;
    lWriter.join();
  }
};

QMT_UI_TEST_MAIN(TestModels)
#include "test_ui_models.moc"
