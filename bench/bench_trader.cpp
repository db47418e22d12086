// The trader client's fan-out of one ticker: broker, ticker table, three listeners. The cost must
// not grow with the number of known symbols, and a user-interface reader walking a clone cursor
// at the same time must not stall it. Also: loading and saving a 5,000-row symbols table.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "qmtTraderClient.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"

namespace {

struct Listener : TObject {
  long double sum = 0;
  void OnTicker(TObject*, const TqmtTraderTicker& aTicker) { sum += aTicker.Price(); }
};

std::string SymbolName(int i) { return "SYM" + std::to_string(i) + "USDT"; }

void Prepare(TqmtTraderClient& aClient, int aCount) {
  SetTraderDataFolder((std::filesystem::temp_directory_path() / ("qmt_bench_" + std::to_string(::getpid()))).string());
  FreeTraderData();
  TqmtTraderSymbol lSymbol;
  TqmtTraderTicker lTicker;
  for (int i = 0; i < aCount; ++i) {
    lSymbol.SetSymbol(SymbolName(i));
    aClient.DoSymbol(lSymbol);
    lTicker.SetSymbol(SymbolName(i));
    aClient.DoTicker(lTicker);
  }
}

void BM_DoTicker(benchmark::State& aState) {
  const int lCount = static_cast<int>(aState.range(0));
  // 0: no reader; 1: a reader walking without pause (the worst case); 2: a reader walking every
  // millisecond (still ten times as often as a grid repaints).
  const int lReaderMode = static_cast<int>(aState.range(1));
  const bool lReader = lReaderMode != 0;
  TqmtTraderClient lClient;
  Prepare(lClient, lCount);
  Listener l1, l2, l3;
  lClient.RegisterOnTicker({&l1, &Listener::OnTicker});
  lClient.RegisterOnTicker({&l2, &Listener::OnTicker});
  lClient.RegisterOnTicker({&l3, &Listener::OnTicker});
  std::vector<TqmtTraderTicker> lTickers(8);
  for (int i = 0; i < 8; ++i) {
    lTickers[i].SetSymbol(SymbolName((lCount - 1) * i / 7));
    lTickers[i].SetPrice(100 + i);
    lTickers[i].SetBid(99 + i);
    lTickers[i].SetAsk(101 + i);
  }
  std::atomic<bool> lStop{false};
  std::atomic<long> lWalks{0};
  std::thread lUi;
  if (lReader) {
    lUi = std::thread([&] {
      auto lCursor = GetTraderDataTicker().CDSTicker().CloneCursor();
      const int lPrice = lCursor->FindFieldIndex("PRICE");
      long double lSum = 0;
      while (!lStop) {
        for (lCursor->First(); !lCursor->Eof(); lCursor->Next()) lSum += lCursor->Fields(lPrice).AsExtended();
        ++lWalks;
        if (lReaderMode == 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      benchmark::DoNotOptimize(lSum);
    });
  }
  std::size_t n = 0;
  for (auto _ : aState) lClient.DoTicker(lTickers[n++ & 7]);
  lStop = true;
  if (lUi.joinable()) lUi.join();
  aState.SetItemsProcessed(aState.iterations());
  if (lReader) aState.counters["reader_walks"] = static_cast<double>(lWalks.load());
  FreeTraderData();
}
BENCHMARK(BM_DoTicker)
    ->Args({10, 0})->Args({5000, 0})->Args({10, 1})->Args({5000, 1})->Args({10, 2})->Args({5000, 2})
    ->ArgNames({"symbols", "reader"})->UseRealTime();

void BM_SymbolsTableFile(benchmark::State& aState) {
  const bool lSave = aState.range(0) == 0;
  const auto lDir = std::filesystem::temp_directory_path() / ("qmt_bench_file_" + std::to_string(::getpid()));
  SetTraderDataFolder(lDir.string());
  FreeTraderData();
  auto& lSymbols = GetTraderDataSymbols();
  TqmtTraderSymbol lSymbol;
  for (int i = 0; i < 5000; ++i) {
    lSymbol.SetSymbol(SymbolName(i));
    lSymbol.SetTickSize(TqmtCurrency{i});
    lSymbols.AddSymbol(lSymbol);
  }
  lSymbols.SaveTable();
  for (auto _ : aState) {
    if (lSave) {
      lSymbols.SaveTable();
    } else {
      lSymbols.LoadTable();
    }
  }
  FreeTraderData();
  std::filesystem::remove_all(lDir);
}
BENCHMARK(BM_SymbolsTableFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->ArgNames({"load"});

}  // namespace

BENCHMARK_MAIN();
