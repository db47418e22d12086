// UpdateTicker through the symbol list: the cost must not grow with the number of known symbols.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "qmtTraderMarketData.h"

static void BM_UpdateTicker(benchmark::State& aState) {
  const int lCount = static_cast<int>(aState.range(0));
  TqmtTraderSymbols lSymbols;
  lSymbols.SetOwnObjects(true);
  std::vector<std::string> lNames;
  for (int i = 0; i < lCount; ++i) {
    TqmtTraderSymbol lSymbol;
    lNames.push_back("SYM" + std::to_string(i) + "USDT");
    lSymbol.SetSymbol(lNames.back());
    lSymbols.AddSymbol(lSymbol);
  }
  // Update symbols spread over the whole list, the last one included.
  std::vector<TqmtTraderTicker> lTickers(8);
  for (int i = 0; i < 8; ++i) {
    lTickers[i].SetSymbol(lNames[(lCount - 1) * i / 7]);
    lTickers[i].SetPrice(100 + i);
  }
  std::size_t n = 0;
  for (auto _ : aState) {
    lSymbols.UpdateTicker(lTickers[n++ & 7]);
  }
  aState.SetItemsProcessed(aState.iterations());
}
BENCHMARK(BM_UpdateTicker)->Arg(10)->Arg(5000);

BENCHMARK_MAIN();
