// The chart page: time windows measured back from the newest data, ticker trimming, the trade
// profile and volume bars, book levels and "Sum", other symbols kept out, "Book" and "Volume"
// switching, and pages closed while a feed runs on another thread.
#include <QTest>

#include <atomic>
#include <cmath>
#include <thread>

#include "qmtTraderChart.h"
#include "qmtTraderClient.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;
using TSeries = TFRAMEChartTicker::TSeries;

namespace {

// A trader client that only fans out what the test feeds it.
// The queue's worker may call this class's methods: it stops before they go.
class FeedClient : public TqmtTraderClient {
public:
  ~FeedClient() override { StopCommands(); }
};

TDateTime At(double aSeconds) { return 46000.0 + aSeconds / 86400.0; }  // a day in 2025
double Key(double aSeconds) { return ChartTime(At(aSeconds)); }
double Second(double aSeconds) { return std::floor(Key(aSeconds)); }  // a volume bar's key

void Tick(FeedClient& c, const std::string& aSymbol, double aSeconds, long double aPrice) {
  TqmtTraderTicker t;
  t.SetSymbol(aSymbol);
  t.SetDate(At(aSeconds));
  t.SetPrice(aPrice);
  c.DoTicker(t);
}

void Trade(FeedClient& c, const std::string& aSymbol, double aSeconds, long double aPrice, long double aSize) {
  TqmtTraderTrade t;
  t.SetSymbol(aSymbol);
  t.SetDate(At(aSeconds));
  t.SetPrice(aPrice);
  t.SetSize(aSize);
  c.DoTrade(t);
}

void Book(FeedClient& c, const std::string& aSymbol, int aBids, int aAsks) {
  TqmtTraderBookDepth b;
  b.SetSymbol(aSymbol);
  for (int i = 1; i <= aBids; ++i) b.Bids().Value(i).SetPrice(100 - i), b.Bids().Value(i).SetSize(i);
  for (int i = 1; i <= aAsks; ++i) b.Asks().Value(i).SetPrice(100 + i), b.Asks().Value(i).SetSize(10 * i);
  c.DoBookDepth(b);
}

std::vector<double> Keys(const std::vector<std::pair<double, double>>& aPoints) {
  std::vector<double> k;
  for (const auto& p : aPoints) k.push_back(p.first);
  return k;
}

}  // namespace

class TestChart : public QObject {
  Q_OBJECT
public:
  explicit TestChart(const std::filesystem::path&) {}

private:
  std::unique_ptr<FeedClient> FClient;

private slots:
  void init() {
    FClient = std::make_unique<FeedClient>();
    FClient->RegisterTraderClient();
  }
  void cleanup() {
    ScreenshotIfFailed();
    FClient.reset();
  }

  void viewStart_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("seconds");
    for (auto [b, s] : {std::pair{"30s", 30}, {"1min", 60}, {"5min", 300}, {"15min", 900}, {"30min", 1800}, {"1hour", 3600}, {"All", 0}})
      QTest::newRow(b) << QString(b) << s;
  }
  void viewStart() {
    QFETCH(QString, button);
    QFETCH(int, seconds);
    TFRAMEChartTicker f("BTCUSDT");
    f.show();
    // A tick every 10 s over 5000 s; the local clock plays no part.
    for (int s = 0; s <= 5000; s += 10) Tick(*FClient, "BTCUSDT", s, 100 + s % 7);
    for (QAction* a : f.barChartTicker->actions())
      if (a->text() == button) a->trigger();
    f.DrainChartData();
    for (QAction* a : f.barChartTicker->actions())
      if (a->text().contains(QRegularExpression("^\\d+(s|min|hour)$|^All$"))) QCOMPARE(a->isChecked(), a->text() == button);
    const auto lKeys = Keys(f.SeriesData(TSeries::Price));
    const std::size_t lExpected = seconds == 0 ? 501 : static_cast<std::size_t>(seconds / 10 + 1);
    QCOMPARE(lKeys.size(), lExpected);
    QCOMPARE(lKeys.back(), Key(5000));
    QCOMPARE(f.SeriesData(TSeries::PriceAll).size(), std::size_t(501));
  }

  void tickersTrimAndAppend() {
    TFRAMEChartTicker f("BTCUSDT");
    f.SetView(60);
    for (double s : {0.0, 30.0, 61.0}) Tick(*FClient, "BTCUSDT", s, 100 + s);
    f.DrainChartData();
    QCOMPARE(Keys(f.SeriesData(TSeries::Price)), std::vector<double>({Key(30), Key(61)}));
    Tick(*FClient, "BTCUSDT", 95, 99);
    f.DrainChartData();
    QCOMPARE(Keys(f.SeriesData(TSeries::Price)), std::vector<double>({Key(61), Key(95)}));
    // "All" brings back everything since the page opened; "1min" trims it again.
    f.SetView(0);
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::Price).size(), std::size_t(4));
    Tick(*FClient, "BTCUSDT", 500, 98);
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::Price).size(), std::size_t(5));  // with All nothing is removed
    f.SetView(60);
    f.DrainChartData();
    QCOMPARE(Keys(f.SeriesData(TSeries::Price)), std::vector<double>({Key(500)}));
    // A window queued before data applies to that data: order is kept.
    f.SetView(0);
    Tick(*FClient, "BTCUSDT", 501, 97);
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::Price).size(), std::size_t(6));
  }

  void tradesMakeProfileAndVolume() {
    TFRAMEChartTicker f("BTCUSDT");
    f.show();
    Trade(*FClient, "BTCUSDT", 10.25, 100, 1);  // the profile's first bar
    Trade(*FClient, "BTCUSDT", 10.75, 101, 2);  // same second
    Trade(*FClient, "BTCUSDT", 11.5, 100, 0.5);  // first price again, next second
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::Trades), (std::vector<std::pair<double, double>>{{100, 1.5}, {101, 2}}));
    QCOMPARE(f.SeriesData(TSeries::VolumeAll), (std::vector<std::pair<double, double>>{{Second(10.25), 3}, {Second(11.5), 0.5}}));
    QVERIFY(!f.SeriesVisible(TSeries::Trades));
    QVERIFY(!f.SeriesVisible(TSeries::Volume));
    QVERIFY2(f.SeriesData(TSeries::Volume).empty(), "volume off: only the full series is fed");
    f.btnTrades->trigger();
    QVERIFY(f.SeriesVisible(TSeries::Trades) && f.btnTrades->isChecked());

    // "Volume" on: the window's bars from everything received so far.
    f.btnVolume->trigger();
    QVERIFY(f.btnVolume->isChecked() && f.SeriesVisible(TSeries::Volume));
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::Volume), f.SeriesData(TSeries::VolumeAll));
    Trade(*FClient, "BTCUSDT", 11.9, 100, 0.25);
    Trade(*FClient, "BTCUSDT", 12.1, 100, 1);
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::Volume),
             (std::vector<std::pair<double, double>>{{Second(10.25), 3}, {Second(11.5), 0.75}, {Second(12.1), 1}}));

    // A window that empties the volume bars, then a trade of the same second: a bar, not a crash.
    Tick(*FClient, "BTCUSDT", 200, 100);
    f.SetView(30);
    f.DrainChartData();  // the price window, which queues the volume window
    f.DrainChartData();
    QVERIFY(f.SeriesData(TSeries::Volume).empty());
    Trade(*FClient, "BTCUSDT", 12.5, 100, 2);
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::Volume).size(), std::size_t(1));
  }

  void bookLevelsAndSum() {
    TFRAMEChartTicker f("BTCUSDT");
    f.show();
    Book(*FClient, "BTCUSDT", 20, 3);
    f.DrainChartData();
    QVERIFY2(f.SeriesData(TSeries::BookBid).empty(), "book off: not even listened to");
    f.btnBookDepth->trigger();
    QVERIFY(f.btnBookDepth->isChecked() && f.SeriesVisible(TSeries::BookBid) && f.SeriesVisible(TSeries::BookAsk));
    struct Case {
      QAction* button;
      std::size_t bids, asks;
    } lCases[] = {{f.btnBookDepth5, 5, 3}, {f.btnBookDepth10, 10, 3}, {f.btnBookDepth20, 20, 3}};
    for (const auto& c : lCases) {
      c.button->trigger();
      Book(*FClient, "BTCUSDT", 20, 3);
      f.DrainChartData();
      QCOMPARE(f.SeriesData(TSeries::BookBid).size(), c.bids);
      QCOMPARE(f.SeriesData(TSeries::BookAsk).size(), c.asks);
      for (QAction* a : {f.btnBookDepth5, f.btnBookDepth10, f.btnBookDepth20, f.btnBookDepthSum}) QCOMPARE(a->isChecked(), a == c.button);
    }
    // "Sum": one bar a side, at the lowest bid and the highest ask; an empty side draws nothing.
    f.btnBookDepthSum->trigger();
    Book(*FClient, "BTCUSDT", 20, 3);
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::BookBid), (std::vector<std::pair<double, double>>{{80, 210}}));
    QCOMPARE(f.SeriesData(TSeries::BookAsk), (std::vector<std::pair<double, double>>{{103, 60}}));
    Book(*FClient, "BTCUSDT", 4, 0);
    f.DrainChartData();
    QCOMPARE(f.SeriesData(TSeries::BookBid), (std::vector<std::pair<double, double>>{{96, 10}}));
    QVERIFY(f.SeriesData(TSeries::BookAsk).empty());
    // "Book" off: bars gone at once and no more books.
    f.btnBookDepth->trigger();
    QVERIFY(f.SeriesData(TSeries::BookBid).empty() && !f.SeriesVisible(TSeries::BookBid));
    Book(*FClient, "BTCUSDT", 5, 5);
    f.DrainChartData();
    QVERIFY(f.SeriesData(TSeries::BookBid).empty());
  }

  void otherSymbolsNeverShow() {
    TFRAMEChartTicker f("BTCUSDT");
    f.btnBookDepth->trigger();
    Tick(*FClient, "BTCUSDTX", 1, 1);
    Tick(*FClient, "btcusdt", 1, 1);
    Trade(*FClient, "ETHUSDT", 1, 1, 1);
    Book(*FClient, "ETHUSDT", 5, 5);
    Pump(120);
    QCOMPARE(f.Batches(), std::uint64_t(0));
    QVERIFY(f.SeriesData(TSeries::PriceAll).empty() && f.SeriesData(TSeries::Trades).empty());
  }

  void closedWhileTheFeedRuns() {
    std::atomic<bool> lStop{false};
    std::thread lFeed([&] {
      for (int i = 0; !lStop; ++i) {
        Tick(*FClient, "BTCUSDT", i, 100 + i % 5);
        Trade(*FClient, "BTCUSDT", i / 10, 100 + i % 3, 1);
        Book(*FClient, "BTCUSDT", 20, 20);
      }
    });
    for (int lRound = 0; lRound < 30; ++lRound) {
      auto f = std::make_unique<TFRAMEChartTicker>("BTCUSDT");
      f->btnBookDepth->trigger();
      f->btnVolume->trigger();
      f->show();
      Pump(lRound % 3 == 0 ? 70 : 3);
      f.reset();
      QCoreApplication::processEvents();
    }
    lStop = true;
    lFeed.join();
  }
};

QMT_UI_TEST_MAIN(TestChart)
#include "test_ui_chart.moc"
