// Real-time load of chart pages (scripts/chart-bench.sh): three chart pages of the main window on
// busy symbols, fed through the trader client's fan-out as the stream thread delivers (a book every
// 100 ms, TRADES trades a second and a ticker a second per symbol), with book, trades and volume on.
// Reports the UI thread's event-loop latency (a 10 ms precise timer's lateness), the largest batch a
// page took in one paint cycle against what arrives in one, and the time to replot a page holding a
// full hour of one-second ticks.
//
//   chart_load SECONDS [TRADES]
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "qmtTraderChart.h"
#include "qmtTraderClient.h"
#include "qmtTraderData.h"
#include "qmtTraderMain.h"
#include "bench_util.h"
#include "qmtUIApplication.h"

namespace {

class FeedClient : public TqmtTraderClient {};

}  // namespace

int main(int argc, char** argv) {
  const int lSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const int lTradesPerSecond = argc > 2 ? std::atoi(argv[2]) : 200;
  SetTraderDataStorage(false);
  {
    TqmtApplication lApp(argc, argv);
    TqmtQtDispatcher lDispatcher;
    FeedClient lClient;
    lClient.RegisterTraderClient();
    const std::vector<std::string> lSymbols = {"BTCUSDT", "ETHUSDT", "BNBUSDT"};
    std::vector<TFRAMEChartTicker*> lCharts;
    {
      TFRMTrader w;
      w.show();
      for (const auto& s : lSymbols) {
        w.OnNewChartTickerEvent(nullptr, s);
        auto* f = FindFrame<TFRAMEChartTicker>(w.PageControl1->currentWidget());
        f->btnBookDepth->trigger();
        f->btnTrades->trigger();
        f->btnVolume->trigger();
        lCharts.push_back(f);
      }

      std::atomic<bool> lStop{false};
      std::thread lFeed([&] {
        std::mt19937 lRandom(3);
        const auto lStart = std::chrono::steady_clock::now();
        auto lNext = lStart;
        const int lStepUs = 1000000 / std::max(1, lTradesPerSecond);
        long double lPrice = 27000;
        for (long i = 0; !lStop; ++i) {
          const double lNow = std::chrono::duration<double>(std::chrono::steady_clock::now() - lStart).count();
          const TDateTime lDate = NowLocal();
          for (const auto& s : lSymbols) {
            lPrice += (static_cast<long double>(lRandom() % 201) - 100) / 100;
            TqmtTraderTrade t;
            t.SetSymbol(s), t.SetDate(lDate), t.SetPrice(lPrice), t.SetSize(0.01L * (1 + lRandom() % 50));
            lClient.DoTrade(t);
            if (i % (lTradesPerSecond / 10 + 1) == 0) {
              TqmtTraderBookDepth b;
              b.SetSymbol(s);
              for (int k = 1; k <= 20; ++k) {
                b.Bids().Value(k).SetPrice(lPrice - k), b.Bids().Value(k).SetSize(1 + lRandom() % 10);
                b.Asks().Value(k).SetPrice(lPrice + k), b.Asks().Value(k).SetSize(1 + lRandom() % 10);
              }
              lClient.DoBookDepth(b);
            }
            if (i % lTradesPerSecond == 0) {
              TqmtTraderTicker k;
              k.SetSymbol(s), k.SetDate(lDate), k.SetPrice(lPrice);
              lClient.DoTicker(k);
            }
          }
          (void)lNow;
          lNext += std::chrono::microseconds(lStepUs);
          std::this_thread::sleep_until(lNext);
        }
      });

      TqmtLatencyProbe lProbe(lSeconds);
      QTimer::singleShot(1000, [&] { lProbe.Start(); });
      // Each page in turn is the one shown, as a user would switch between them.
      QTimer lSwitch;
      lSwitch.setInterval(2000);
      int lPage = 0;
      QObject::connect(&lSwitch, &QTimer::timeout, [&] { w.PageControl1->setCurrentIndex(2 + (++lPage % 3)); });
      lSwitch.start();
      QTimer::singleShot(1000 + lSeconds * 1000, [&] { QCoreApplication::quit(); });
      lApp.exec();
      lStop = true;
      lFeed.join();
      std::size_t lMaxBatch = 0;
      std::uint64_t lBatches = 0;
      for (auto* f : lCharts) lMaxBatch = std::max(lMaxBatch, f->MaxBatch()), lBatches += f->Batches();
      const double lPerCycle = (lTradesPerSecond + 10.0 + 1.0) * 0.05;  // one page's items in 50 ms
      std::printf("three chart pages, %d trades/s, a book every 100 ms and a ticker a second per symbol, %d s\n",
                  lTradesPerSecond, lSeconds);
      lProbe.Print();
      std::printf("  paint cycles: %llu; largest batch %zu items (one cycle brings about %.0f)\n",
                  static_cast<unsigned long long>(lBatches), lMaxBatch, lPerCycle);
      for (auto* f : lCharts) f->setParent(nullptr), delete f;  // pages close while nothing feeds
    }

    // Replot cost: one hour of one-second ticks in the visible window; then with an hour of trades
    // a second in the profile and the volume bars as well.
    for (const bool lWithTrades : {false, true}) {
      TFRAMEChartTicker f("BTCUSDT");
      f.resize(931, 500);
      f.show();
      f.btnView1hour->trigger();
      if (lWithTrades) f.btnVolume->trigger(), f.btnTrades->trigger();
      const TDateTime lStart = NowLocal() - 1.0 / 24;
      for (int s = 0; s < 3600; ++s) {
        TqmtTraderTicker k;
        k.SetSymbol("BTCUSDT"), k.SetDate(lStart + s / 86400.0), k.SetPrice(27000 + 50 * std::sin(s / 100.0));
        f.OnTickerEvent(nullptr, k);
        if (!lWithTrades) continue;
        TqmtTraderTrade t;
        t.SetSymbol("BTCUSDT"), t.SetDate(lStart + s / 86400.0), t.SetPrice(27000 + s % 200), t.SetSize(1 + s % 7);
        f.OnTradeEvent(nullptr, t);
      }
      f.DrainChartData();
      f.DrainChartData();
      QCoreApplication::processEvents();
      std::vector<double> lTimes;
      for (int i = 0; i < 50; ++i) {
        QElapsedTimer t;
        t.start();
        f.ReplotNow();
        lTimes.push_back(t.nsecsElapsed() / 1e6);
      }
      std::printf("  replot of a page with %zu one-second ticks%s: median %.2f ms, p90 %.2f ms\n",
                  f.SeriesData(TFRAMEChartTicker::TSeries::Price).size(),
                  lWithTrades ? " and an hour of trades (volume bars, profile)" : "", Percentile(lTimes, 0.5),
                  Percentile(lTimes, 0.9));
    }
  }
  FreeTraderData();
  return 0;
}
