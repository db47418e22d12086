// Real-time load of trading pages with their ladders and tapes (scripts/ladder-bench.sh): the main
// window signed in on the simulated exchange (spot, with the demo key), five trading pages open, the
// exchange sending each symbol's diff-depth events (ten a second) and TRADES trades a second.
// Reports the UI thread's event-loop latency (a 10 ms precise timer's lateness), the whole program's
// CPU, and what reached the pages (depth events decoded, trades on the tapes).
//
//   ladder_load SECONDS [SETTINGS_FILE]
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_util.h"
#include "qmtPriceLadder.h"
#include "qmtTradeTape.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "qmtTraderFrame.h"
#include "qmtTraderMain.h"
#include "qmtTraderSettings.h"
#include "qmtUIApplication.h"

namespace {
// Counts the trades the client hears (from the stream thread).
struct TradeCounter {
  std::atomic<std::uint64_t> Count{0};
  void OnTrade(TObject*, const TqmtTraderTrade&) { ++Count; }
};

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
        std::fprintf(stderr, "ladder_load: cannot sign in: %s\n", c.LastConnectionError().c_str());
        return 1;
      }
      w.resize(1280, 800);
      w.show();
      const std::vector<std::string> lSymbols = {"BTCUSDT", "ETHUSDT", "BNBUSDT", "SOLUSDT", "XRPUSDT"};
      std::vector<TFRAMETraderBinance*> lPages;
      for (const auto& s : lSymbols) {
        w.OnNewChartTraderEvent(nullptr, s);
        lPages.push_back(FindFrame<TFRAMETraderBinance>(w.PageControl1->currentWidget()));
      }
      // Each page shown in turn (a trader watches one, but all five are live and keep their books).
      QTimer lTurn;
      int lShown = 0;
      lTurn.setInterval(2000);
      QObject::connect(&lTurn, &QTimer::timeout, [&] { w.PageControl1->setCurrentIndex(w.PageControl1->count() - 5 + (lShown++ % 5)); });
      TradeCounter lCounter;
      std::atomic<std::uint64_t>& lTrades = lCounter.Count;
      TqmtRegistration lCount = c.ListenTrade({&lCounter, &TradeCounter::OnTrade});
      TqmtLatencyProbe lProbe(lSeconds);
      double lCpuStart = 0;
      std::uint64_t lEventsStart = 0, lTradesStart = 0;
      QTimer::singleShot(3000, [&] {
        lCpuStart = CpuSeconds();
        lEventsStart = c.OrderBooks().Events();
        lTradesStart = lTrades;
        lProbe.Start();
        lTurn.start();
      });
      QTimer::singleShot(3000 + lSeconds * 1000, [&] { lApp.quit(); });
      lApp.exec();
      const double lWall = lProbe.Elapsed();
      const double lCpu = CpuSeconds() - lCpuStart;
      const double lEvents = static_cast<double>(c.OrderBooks().Events() - lEventsStart) / lWall;
      const double lTradeRate = static_cast<double>(lTrades - lTradesStart) / lWall;
      lCount.Reset();
      std::printf("trading pages=%zu seconds=%.1f\n", lPages.size(), lWall);
      lProbe.Print();
      std::printf("  cpu: %.1f%% of one core (the whole program)\n", 100.0 * lCpu / lWall);
      std::printf("  depth events decoded: %.1f a second (%.1f per page)\n", lEvents, lEvents / static_cast<double>(lPages.size()));
      std::printf("  trades heard: %.1f a second (%.1f per page)\n", lTradeRate, lTradeRate / static_cast<double>(lPages.size()));
      for (auto* p : lPages)
        std::printf("    %s: ladder rows %zu, \"%s\", tape rows %d\n", p->Symbol().c_str(), p->FFRAMEPriceLadder->Rows().size(),
                    p->FFRAMEPriceLadder->lblStatus->text().toStdString().c_str(), p->FFRAMETradeTape->Model().rowCount());
      for (auto* p : lPages)
        if (p->FFRAMEPriceLadder->Rows().empty() || p->FFRAMETradeTape->Model().rowCount() == 0) lResult = 1;
      w.close();
    }
    FreeTraderData();
  }
  return lResult;
}
