// Charts with history in real time (scripts/history-bench.sh), on the simulated exchange (spot):
//   1. "+Chart" to a filled one-hour window: a chart page opened on the 1hour window, timed until its
//      history is in (3,600 one-second klines in four requests) and drawn;
//   2. the replot time of a page holding 1,000 candles, and of one holding a day of one-second points;
//   3. three pages of one-second candles live (the kline streams and trades of the exchange) for
//      SECONDS: the UI thread's event-loop latency and the program's CPU.
//
//   history_load SECONDS [SETTINGS_FILE]
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "qmtTraderChart.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "qmtTraderMain.h"
#include "qmtTraderSettings.h"
#include "qmtUIApplication.h"

namespace {

// Waits, events running, until aDone or aMs have passed; the time it took (ms), or -1.
double WaitUntil(const std::function<bool()>& aDone, int aMs) {
  QElapsedTimer t;
  t.start();
  while (!aDone()) {
    if (t.elapsed() > aMs) return -1;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

double ReplotMs(TFRAMEChartTicker& aChart) {
  std::vector<double> lTimes;
  for (int i = 0; i < 20; ++i) {
    QElapsedTimer t;
    t.start();
    aChart.ReplotNow();
    lTimes.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
  }
  return Percentile(lTimes, 0.5);
}
}  // namespace

int main(int argc, char** argv) {
  const int lSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
  if (argc > 2) SetTraderSettingsFileName(argv[2]);
  SetTraderDataStorage(false);
  int lResult = 0;
  {
    TqmtApplication lApp(argc, argv);
    TqmtQtDispatcher lDispatcher;
    {
      TFRMTrader_Binance w;
      TqmtTraderClient_Binance& c = GetTraderClientBinance();
      if (!c.Initialize("qmt-sim-key", "qmt-sim-secret", false, 0, false)) {
        std::fprintf(stderr, "history_load: cannot sign in: %s\n", c.LastConnectionError().c_str());
        return 1;
      }
      w.resize(1280, 800);
      w.show();
      WaitUntil([] { return false; }, 1000);

      // 1. A filled hour.
      GetTraderSettings().WriteInteger("BTCUSDT.Chart", "Window", 3600);
      GetTraderSettings().WriteString("BTCUSDT.Chart", "View", "Line");
      QElapsedTimer lOpen;
      lOpen.start();
      w.OnNewChartTickerEvent(nullptr, "BTCUSDT");
      auto* lHour = FindFrame<TFRAMEChartTicker>(w.PageControl1->currentWidget());
      const double lFilled = WaitUntil([&] { return !lHour->HistoryLoading() && lHour->SeriesData(TFRAMEChartTicker::TSeries::Price).size() >= 3600; }, 10000);
      lHour->ReplotNow();
      const double lShown = static_cast<double>(lOpen.nsecsElapsed()) / 1e6;
      std::printf("+Chart to a filled 1-hour window: %.0f ms (history in after %.0f ms, %zu points)\n", lShown, lFilled,
                  lHour->SeriesData(TFRAMEChartTicker::TSeries::Price).size());
      if (lFilled < 0) lResult = 1;

      // 2. Replot times: a day of one-second points on "All", and 1,000 candles.
      {
        std::vector<TqmtKline> lDay;
        const std::int64_t lNow = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count() / 1000 * 1000;
        for (std::int64_t i = 86400; i >= 1; --i) {
          TqmtKline k;
          k.OpenTime = lNow - i * 1000, k.Close = 27000 + std::sin(static_cast<double>(i) / 300) * 100, k.Volume = 1 + i % 7, k.TakerBuyVolume = 1;
          lDay.push_back(k);
        }
        lHour->btnVolume->trigger();
        lHour->Poster()(TqmtChartKlines{"1s", lDay, false, "", false});
        lHour->SetView(0);
        WaitUntil([&] { lHour->DrainChartData(); return lHour->SeriesData(TFRAMEChartTicker::TSeries::Price).size() >= 86400; }, 10000);
        std::printf("replot, a day of one-second points (%zu) with volume: %.2f ms\n", lHour->SeriesData(TFRAMEChartTicker::TSeries::Price).size(),
                    ReplotMs(*lHour));
        std::vector<TqmtKline> lCandles;
        for (int i = 1000; i >= 1; --i) {
          TqmtKline k;
          k.OpenTime = lNow - static_cast<std::int64_t>(i) * 60000;
          k.Open = 27000 + i % 50, k.Close = 27000 + (i * 7) % 50, k.High = 27060, k.Low = 26990, k.Volume = 5, k.TakerBuyVolume = 2;
          lCandles.push_back(k);
        }
        lHour->SetInterval("1m");
        lHour->SetCandles(true);
        WaitUntil([&] { lHour->DrainChartData(); return !lHour->HistoryLoading(); }, 10000);
        lHour->Poster()(TqmtChartKlines{"1m", lCandles, false, "", true});
        WaitUntil([&] { lHour->DrainChartData(); return lHour->CandleSeries().Items().size() >= 1000; }, 10000);
        lHour->SetTimeRange(lHour->SeriesData(TFRAMEChartTicker::TSeries::Candles).front().first,
                            lHour->SeriesData(TFRAMEChartTicker::TSeries::Candles).back().first);
        std::printf("replot, %zu candles with volume (the day's line held too): %.2f ms\n", lHour->CandleSeries().Items().size(), ReplotMs(*lHour));
        lHour->btnVolume->trigger();
        std::printf("  without volume: %.2f ms\n", ReplotMs(*lHour));
        lHour->btnVolume->trigger();
      }

      // 3. Three pages of one-second candles, live.
      for (const char* s : {"ETHUSDT", "BNBUSDT", "SOLUSDT"}) {
        GetTraderSettings().WriteString(std::string(s) + ".Chart", "View", "Candles");
        GetTraderSettings().WriteString(std::string(s) + ".Chart", "Interval", "1s");
        w.OnNewChartTickerEvent(nullptr, s);
      }
      TqmtLatencyProbe lProbe(lSeconds);
      double lCpuStart = 0;
      QTimer::singleShot(3000, [&] {
        lCpuStart = CpuSeconds();
        lProbe.Start();
      });
      QTimer::singleShot(3000 + lSeconds * 1000, [&] { lApp.quit(); });
      lApp.exec();
      const double lWall = lProbe.Elapsed();
      std::printf("three pages of 1s candles live, %.1f s:\n", lWall);
      lProbe.Print();
      std::printf("  cpu: %.1f%% of one core (the whole program)\n", 100.0 * (CpuSeconds() - lCpuStart) / lWall);
      std::printf("  history requests %llu, weight %llu\n", static_cast<unsigned long long>(c.History().Requests()),
                  static_cast<unsigned long long>(c.History().WeightUsed()));
      w.close();
    }
    FreeTraderData();
  }
  return lResult;
}
