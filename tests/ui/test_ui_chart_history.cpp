// Charts with history: a page filled from klines the moment it opens, on every window, joined to
// the live data without a gap or a double at the seam; a longer window asking for exactly what is
// missing; candles from a page and a scripted kline stream (the open candle updated, the next one
// started), the choice remembered; the open orders and the position drawn as lines that follow the
// tables.
#include <QComboBox>
#include <QLabel>
#include <QTest>

#include <atomic>
#include <cmath>
#include <mutex>
#include <nlohmann/json.hpp>

#include "qmtTraderChart.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderSettings.h"
#include "ui_test_support.h"

using namespace qmt_ui_test;
using TSeries = TFRAMEChartTicker::TSeries;

namespace {

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The exchange client with its history answered by a script: every interval's klines, the price a
// function of the time, and its kline events fed by hand.
class HistoryClient : public TqmtTraderClient_Binance {
public:
  ~HistoryClient() override {
    History().Stop();
    StopCommands();
  }
  std::mutex Lock;
  std::vector<TqmtTraderHistory::TRequest> Asked;
  std::atomic<bool> Gate{false};  // answers wait while set
  void Script(bool aSpot) {
    TqmtTraderHistory::TConfig c;
    c.Spot = aSpot;
    c.Fetch = [this](const TqmtTraderHistory::TRequest& r) {
      while (Gate) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      {
        std::lock_guard g(Lock);
        Asked.push_back(r);
      }
      const std::int64_t lMs = KlineIntervalMs(r.Interval), lNow = Now();
      std::int64_t lFrom = r.Start, lTo = r.End ? r.End : lNow;
      if (!r.Start) lFrom = (lTo / lMs - r.Limit + 1) * lMs;  // the newest `limit`
      nlohmann::json a = nlohmann::json::array();
      for (std::int64_t t = (lFrom + lMs - 1) / lMs * lMs; t <= lTo && a.size() < static_cast<std::size_t>(r.Limit); t += lMs) {
        const double p = 100 + static_cast<double>(t / 1000 % 100) / 10;
        a.push_back({t, std::to_string(p), std::to_string(p + 1), std::to_string(p - 1), std::to_string(p), "2.5", t + lMs - 1, "250", 5,
                     "1", "100", "0"});
      }
      return a.dump();
    };
    History().Configure(c);
  }
  void Kline(const std::string& aText) { DoReadKline(aText); }
  std::vector<TqmtTraderHistory::TRequest> Taken() {
    std::lock_guard g(Lock);
    return Asked;
  }
};

void Tick(HistoryClient& c, TDateTime aAt, long double aPrice) {
  TqmtTraderTicker t;
  t.SetSymbol("BTCUSDT");
  t.SetDate(aAt);
  t.SetPrice(aPrice);
  c.DoTicker(t);
}

std::string KlineEvent(std::int64_t aOpen, double aClose, bool aClosed) {
  return nlohmann::json{{"e", "kline"}, {"E", aOpen}, {"s", "BTCUSDT"},
                        {"k", {{"t", aOpen}, {"T", aOpen + 59999}, {"s", "BTCUSDT"}, {"i", "1m"}, {"o", "100"}, {"c", std::to_string(aClose)},
                               {"h", "120"}, {"l", "90"}, {"v", "7"}, {"V", "3"}, {"x", aClosed}}}}
      .dump();
}

}  // namespace

class TestChartHistory : public QObject {
  Q_OBJECT
public:
  explicit TestChartHistory(const std::filesystem::path& aFolder) : FFolder(aFolder) {
    SetTraderSettingsFileName((aFolder / "qmtTrader.ini").string());
  }

private:
  std::filesystem::path FFolder;
  std::unique_ptr<HistoryClient> FClient;

  bool Settled(TFRAMEChartTicker& f) {
    const bool lDone = WaitFor([&] {
      f.DrainChartData();
      return !f.HistoryLoading();
    }, 10000);
    f.DrainChartData();
    return lDone;
  }

private slots:
  void init() {
    std::filesystem::remove(FFolder / "qmtTrader.ini");
    FClient = std::make_unique<HistoryClient>();
    FClient->RegisterTraderClient();
    FClient->Script(true);
    GetTraderDataOrders().Clear();
    GetTraderDataPosition().Clear();
  }
  void cleanup() {
    ScreenshotIfFailed();
    FClient.reset();
  }

  // Every window: filled from history at once; the live points that came first are kept, history
  // stops before them and reaches to within one kline of them; no time twice.
  void historyJoinsTheLiveData_data() {
    QTest::addColumn<int>("window");
    QTest::addColumn<QString>("interval");
    QTest::addColumn<int>("requests");
    QTest::newRow("30s") << 30 << "1s" << 1;
    QTest::newRow("5min") << 300 << "1s" << 1;
    QTest::newRow("1hour") << 3600 << "1s" << 4;
    QTest::newRow("All") << 0 << "1m" << 2;
  }
  void historyJoinsTheLiveData() {
    QFETCH(int, window);
    QFETCH(QString, interval);
    QFETCH(int, requests);
    GetTraderSettings().WriteInteger("BTCUSDT.Chart", "Window", window);
    FClient->Gate = true;
    TFRAMEChartTicker f("BTCUSDT");
    QVERIFY(f.HistoryLoading());
    // Live prices come before the history does.
    const TDateTime lNow = NowLocal();
    for (int i = 0; i < 3; ++i) Tick(*FClient, lNow + i / 86400.0, 200 + i);
    f.DrainChartData();
    FClient->Gate = false;
    QVERIFY(Settled(f));
    const auto lPoints = f.SeriesData(TSeries::PriceAll);
    const double lLive = ChartTime(lNow);
    QVERIFY(lPoints.size() > 3);
    for (std::size_t i = 1; i < lPoints.size(); ++i) QVERIFY2(lPoints[i].first > lPoints[i - 1].first, "no time twice, in order");
    std::size_t lFirstLive = 0;
    while (lFirstLive < lPoints.size() && lPoints[lFirstLive].second < 200) ++lFirstLive;
    QCOMPARE(lPoints.size() - lFirstLive, std::size_t(3));
    QVERIFY(std::abs(lPoints[lFirstLive].first - lLive) < 0.002);
    const double lStep = static_cast<double>(KlineIntervalMs(interval.toStdString())) / 1000;
    QVERIFY2(lLive - lPoints[lFirstLive - 1].first <= lStep + 1, "history reaches the live data");
    const double lWindow = window > 0 ? window : 86400;
    QVERIFY2(lPoints.front().first <= lLive - lWindow + lStep && lPoints.front().first > lLive - lWindow - 2 * lStep, "the whole window");
    // Asked in pages of the plan, each at most 1,000 klines, weight 2 each.
    const auto lAsked = FClient->Taken();
    QCOMPARE(static_cast<int>(lAsked.size()), requests);
    for (const auto& r : lAsked) {
      QCOMPARE(QString::fromStdString(r.Interval), interval);
      QVERIFY(r.Limit <= 1000);
    }
    QCOMPARE(FClient->History().WeightUsed(), static_cast<std::uint64_t>(2 * requests));
    QVERIFY(f.lblHistory->text().isEmpty());
  }

  // From 5 minutes to an hour: only the 55 minutes before what is held are asked for.
  void aLongerWindowFetchesOnlyWhatIsMissing() {
    GetTraderSettings().WriteInteger("BTCUSDT.Chart", "Window", 300);
    TFRAMEChartTicker f("BTCUSDT");
    QVERIFY(Settled(f));
    const auto lFirst = f.Asked();
    QCOMPARE(lFirst.size(), std::size_t(1));
    f.SetView(3600);
    QVERIFY(Settled(f));
    const auto lAll = f.Asked();
    QVERIFY(lAll.size() > 1);
    std::int64_t lEnd = lFirst[0].Start - 1;
    for (std::size_t i = lAll.size() - 1; i >= 1; --i) {  // newest page last: walk back from the held start
      QCOMPARE(lAll[i].End, lEnd);
      lEnd = lAll[i].Start - 1;
      if (i == 1) break;
    }
    // The new pages reach back to an hour before the newest point.
    const auto lPoints = f.SeriesData(TSeries::PriceAll);
    QVERIFY(lPoints.back().first - lPoints.front().first >= 3600 - 2);
    QVERIFY(lPoints.back().first - lPoints.front().first <= 3600 + 2);
    // Back to a shorter window: nothing is asked for.
    const std::size_t lCount = f.Asked().size();
    f.SetView(60);
    f.DrainChartData();
    QCOMPARE(f.Asked().size(), lCount);
    QCOMPARE(GetTraderSettings().ReadInteger("BTCUSDT.Chart", "Window", 0), 60);
  }

  // Candles: the newest page, then the stream updates the open candle and starts the next; the
  // choice comes back on the next page of the symbol.
  void candlesFromHistoryAndTheStream() {
    TFRAMEChartTicker f("BTCUSDT");
    QVERIFY(Settled(f));
    f.SetInterval("1m");
    f.SetCandles(true);
    QVERIFY(Settled(f));
    const auto lAsked = FClient->Taken();
    QCOMPARE(QString::fromStdString(lAsked.back().Interval), QString("1m"));
    QCOMPARE(lAsked.back().Limit, 500);
    QCOMPARE(f.CandleSeries().Items().size(), std::size_t(500));
    QVERIFY(!f.SeriesVisible(TSeries::Price));
    const std::int64_t lOpen = f.CandleSeries().Newest();
    QVERIFY(!f.CandleSeries().Items().back().Closed);
    FClient->Kline(KlineEvent(lOpen, 111.5, false));
    f.DrainChartData();
    QCOMPARE(f.CandleSeries().Items().size(), std::size_t(500));
    QCOMPARE(f.CandleSeries().Items().back().Close, 111.5);
    QCOMPARE(f.SeriesData(TSeries::Candles).back().second, 111.5);
    FClient->Kline(KlineEvent(lOpen, 112, true));
    FClient->Kline(KlineEvent(lOpen + 60000, 113, false));
    FClient->Kline(R"({"e":"kline","s":"ETHUSDT","k":{"t":1,"s":"ETHUSDT","i":"1m","o":"1","c":"1","h":"1","l":"1","v":"1","x":false}})");
    f.DrainChartData();
    QCOMPARE(f.CandleSeries().Items().size(), std::size_t(501));
    QVERIFY(f.CandleSeries().Items()[499].Closed);
    QCOMPARE(f.CandleSeries().Items()[499].Close, 112.0);
    QCOMPARE(f.CandleSeries().Newest(), lOpen + 60000);
    // Volume under the candles, the buy part apart.
    QCOMPARE(f.SeriesData(TSeries::Volume).back().second, 7.0);
    QCOMPARE(f.SeriesData(TSeries::VolumeBuy).back().second, 3.0);
    // The crosshair reads the candle under it.
    const double lKey = f.SeriesData(TSeries::Candles).back().first;
    QVERIFY(f.ReadOut(lKey, 110).contains("C 113"));
    // A drag stops following the newest data; a double-click follows again.
    f.SetFollowing(false);
    QVERIFY(!f.Following());
    f.SetFollowing(true);
    QVERIFY(f.Following());
    // Remembered: the next page of the symbol opens in candles of 1m.
    TFRAMEChartTicker g("BTCUSDT");
    QVERIFY(g.CandlesShown());
    QCOMPARE(QString::fromStdString(g.Interval()), QString("1m"));
    QVERIFY(Settled(g));
    QVERIFY(!g.CandleSeries().Empty());
  }

  // Futures: no 1s klines; the whole day in one page of 1m.
  void futuresHaveNoSecondKlines() {
    FClient->Script(false);
    GetTraderSettings().WriteInteger("BTCUSDT.Chart", "Window", 300);
    TFRAMEChartTicker f("BTCUSDT");
    QVERIFY(Settled(f));
    QCOMPARE(f.cboInterval->findText("1s"), -1);
    QCOMPARE(QString::fromStdString(FClient->Taken().back().Interval), QString("1m"));
    QCOMPARE(FClient->History().WeightUsed(), std::uint64_t(1));
  }

  // Open orders and the position as lines, in step with the tables.
  void orderAndPositionLinesFollowTheTables() {
    TFRAMEChartTicker f("BTCUSDT");
    auto lOrder = [](const char* aId, const char* aSide, const char* aType, long double aPrice, long double aStop, const char* aStatus) {
      TqmtTraderOrder o;
      o.SetId(aId), o.SetSymbol("BTCUSDT"), o.SetOrderSide(aSide), o.SetOrderType(aType), o.SetPrice(aPrice), o.SetStopPrice(aStop);
      o.SetSize(1), o.SetOrderStatus(aStatus), o.SetDateTime(NowLocal()), o.SetUpdateTime(Now());
      GetTraderDataOrders().UpdateOrder(o);
    };
    lOrder("a", "BUY", "LIMIT", 99, 0, "NEW");
    lOrder("b", "SELL", "STOP_MARKET", 0, 105, "NEW");
    TqmtTraderPosition p;
    p.SetSymbol("BTCUSDT"), p.SetPosition(2), p.SetEntryPrice(100.5L);
    GetTraderDataPosition().UpdatePosition(p);
    f.ReadAccountLines();
    const std::vector<std::pair<double, std::string>> lExpected = {{99, "BUY 1 LIMIT"}, {105, "SELL 1 STOP_MARKET"}, {100.5, "Position 2"}};
    QCOMPARE(f.Lines(), lExpected);
    lOrder("a", "BUY", "LIMIT", 99, 0, "FILLED");
    p.SetPosition(0);
    GetTraderDataPosition().UpdatePosition(p);
    f.ReadAccountLines();
    QCOMPARE(f.Lines(), (std::vector<std::pair<double, std::string>>{{105, "SELL 1 STOP_MARKET"}}));
  }
};

QMT_UI_TEST_MAIN(TestChartHistory)
#include "test_ui_chart_history.moc"
