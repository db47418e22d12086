// Real-time load of the desktop client (scripts/ui-bench.sh): the main window with a watch list of
// N symbols signed in on the simulated exchange, measured from inside the process.
//
//   ui_load feed  SECONDS [SYMBOLS]   plus a synthetic feed of 1,000 ticker updates a second through
//                                     the trader client's fan-out (as the stream thread delivers them)
//   ui_load plain SECONDS [SYMBOLS]   the exchange's own feed only
//   ui_load soak  SECONDS [SYMBOLS]   the plain feed, resident memory sampled every 30 s
//
// The UI thread's event-loop latency is probed with a 10 ms precise timer: how late each tick fires.
// CPU is user + system time of the whole process over wall time (100% = one core).
#include <sys/resource.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"
#include "qmtTraderGrid.h"
#include "qmtTraderMain.h"
#include "bench_util.h"
#include "qmtUIApplication.h"

namespace {


long ResidentKB() {
  std::ifstream f("/proc/self/statm");
  long lPages = 0, lResident = 0;
  f >> lPages >> lResident;
  return lResident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ui_load feed|plain|soak SECONDS [SYMBOLS]\n");
    return 2;
  }
  const std::string lPhase = argv[1];
  const int lSeconds = std::atoi(argv[2]);
  const int lSymbolCount = argc > 3 ? std::atoi(argv[3]) : 50;
  SetTraderDataStorage(false);
  int lResult = 0;
  {
    TqmtApplication lApp(argc, argv);
    TqmtQtDispatcher lDispatcher;
    {
      TFRMTrader_Binance w;
      TqmtTraderClient_Binance& c = GetTraderClientBinance();
      if (!c.Initialize("qmt-sim-key", "qmt-sim-secret", false, 0, false)) {
        std::fprintf(stderr, "ui_load: cannot sign in: %s\n", c.LastConnectionError().c_str());
        return 1;
      }
      std::vector<std::string> lSymbols;
      for (const auto& r : GetTraderDataSymbols().CDSSymbols().Rows()) {
        if (static_cast<int>(lSymbols.size()) == lSymbolCount) break;
        lSymbols.push_back(TqmtField::ValueToText((*r.Values)[0]));
      }
      // The watch list as a restart finds it, subscribed on connection in batches (one "Add" sends
      // three messages, and the exchange takes five a second).
      for (const auto& s : lSymbols) {
        TqmtTraderTicker t;
        t.SetSymbol(s);
        GetTraderDataTicker().UpdateTicker(t);
      }
      c.Disconnect();
      c.Connect();
      w.show();

      // The synthetic feed: one ticker a millisecond, round the watch list.
      std::atomic<bool> lStop{false};
      std::thread lFeed;
      if (lPhase == "feed") {
        lFeed = std::thread([&] {
          std::mt19937 lRandom(1);
          std::vector<long double> lPrices(lSymbols.size(), 100.0L);
          auto lNext = std::chrono::steady_clock::now();
          for (std::size_t i = 0; !lStop; ++i) {
            const std::size_t k = i % lSymbols.size();
            lPrices[k] *= 1.0L + (static_cast<long double>(lRandom() % 2001) - 1000.0L) / 1e6L;
            TqmtTraderTicker t;
            t.SetSymbol(lSymbols[k]);
            t.SetOpen(100), t.SetHigh(lPrices[k] + 1), t.SetLow(lPrices[k] - 1);
            t.SetBid(lPrices[k] - 0.01L), t.SetAsk(lPrices[k] + 0.01L), t.SetPrice(lPrices[k]), t.SetSize(0.1L);
            c.DoTicker(t);
            lNext += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(lNext);
          }
        });
      }

      // Settle for two seconds (subscriptions, first rows), then measure.
      TqmtLatencyProbe lProbe(lSeconds);
      double lCpuStart = 0;
      std::vector<std::pair<int, long>> lMemory;
      lMemory.reserve(static_cast<std::size_t>(lSeconds) / 30 + 4);
      QTimer lSample;
      lSample.setInterval(30000);
      QObject::connect(&lSample, &QTimer::timeout, [&] {
        lMemory.emplace_back(static_cast<int>(lProbe.Elapsed()), ResidentKB());
      });
      QTimer::singleShot(2000, [&] {
        lCpuStart = CpuSeconds();
        lProbe.Start();
        lSample.start();
      });
      QTimer::singleShot(2000 + lSeconds * 1000, [&] { w.close(); });
      lApp.exec();
      const double lWall = lProbe.Elapsed();
      const double lCpu = CpuSeconds() - lCpuStart;
      lStop = true;
      if (lFeed.joinable()) lFeed.join();
      const int lRows = w.FFRAMEGridTicker->dsGrid()->rowCount();
      std::printf("phase=%s seconds=%.1f symbols=%d rows=%d\n", lPhase.c_str(), lWall, lSymbolCount, lRows);
      lProbe.Print();
      std::printf("  cpu: %.1f%% of one core\n", 100.0 * lCpu / lWall);
      std::printf("  model flushes: %llu (%.1f a second)\n", static_cast<unsigned long long>(w.FFRAMEGridTicker->dsGrid()->Flushes()),
                  w.FFRAMEGridTicker->dsGrid()->Flushes() / (lWall + 2));
      std::printf("  resident memory: %ld kB at the end\n", ResidentKB());
      for (const auto& [s, kb] : lMemory) std::printf("    at %4d s: %ld kB\n", s, kb);
      if (lRows < lSymbolCount) lResult = 1;
    }
    FreeTraderData();
  }
  return lResult;
}
