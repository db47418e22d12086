// One 20-level diff-depth event into book levels (exact integer prices and sizes), three ways: our
// decoder straight from the text, our document model, and simdjson's on-demand parser. Each takes
// the same values (update ids, every level's price and size converted by BookUnits), so the times
// per event compare the parsing alone. The goal: ours no slower than simdjson's.
#include <benchmark/benchmark.h>

#include <simdjson.h>

#include <cstdio>
#include <string>

#include "qmtJSON.h"
#include "qmtTraderOrderBook.h"

namespace {

std::string Event() {
  std::string lText = R"({"e":"depthUpdate","E":1672515782136,"T":1672515782134,"s":"BTCUSDT","U":4567812345,"u":4567812399,"pu":4567812344,)";
  char lBuffer[64];
  for (const char* lSide : {"b", "a"}) {
    lText += std::string("\"") + lSide + "\":[";
    for (int i = 0; i < 20; ++i) {
      std::snprintf(lBuffer, sizeof lBuffer, "%s[\"%.2f\",\"%.3f\"]", i ? "," : "", 27000.10 + (lSide[0] == 'a' ? 1 : -1) * i * 0.1,
                    0.1 + i * 0.35);
      lText += lBuffer;
    }
    lText += lSide[0] == 'b' ? "]," : "]}";
  }
  return lText;
}

void BM_DepthOurDecoder(benchmark::State& aState) {
  const std::string lText = Event();
  TqmtDepthEvent e;
  for (auto _ : aState) {
    if (!DecodeDepthEvent(lText, e)) aState.SkipWithError("not decoded");
    benchmark::DoNotOptimize(e.Bids.data());
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lText.size()));
}
BENCHMARK(BM_DepthOurDecoder);

void TakeLevels(const TqmtObjectJSON* aSide, std::vector<TqmtBookLevel>& aOut) {
  aOut.clear();
  for (int i = 0; aSide && i < aSide->Count(); ++i) {
    TqmtBookLevel l;
    BookUnits(aSide->At(i)->At(0)->ValueView(), l.Price);
    BookUnits(aSide->At(i)->At(1)->ValueView(), l.Size);
    aOut.push_back(l);
  }
}

void BM_DepthOurDocument(benchmark::State& aState) {
  const std::string lText = Event();
  TqmtJSON d;
  TqmtDepthEvent e;
  for (auto _ : aState) {
    d.Read(lText);
    e.FirstId = static_cast<std::int64_t>(std::stoll(std::string(d.Find("U")->ValueView())));
    e.FinalId = static_cast<std::int64_t>(std::stoll(std::string(d.Find("u")->ValueView())));
    TakeLevels(d.Find("b"), e.Bids);
    TakeLevels(d.Find("a"), e.Asks);
    benchmark::DoNotOptimize(e.Bids.data());
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lText.size()));
}
BENCHMARK(BM_DepthOurDocument);

void BM_DepthSimdjsonOnDemand(benchmark::State& aState) {
  const simdjson::padded_string lText(Event());
  simdjson::ondemand::parser lParser;
  TqmtDepthEvent e;
  for (auto _ : aState) {
    simdjson::ondemand::document d = lParser.iterate(lText);
    simdjson::ondemand::object o = d.get_object();
    e.Bids.clear(), e.Asks.clear();
    for (auto lField : o) {
      const std::string_view k = lField.unescaped_key();
      if (k == "U") e.FirstId = lField.value().get_int64();
      else if (k == "u") e.FinalId = lField.value().get_int64();
      else if (k == "pu") e.PreviousFinalId = lField.value().get_int64();
      else if (k == "b" || k == "a") {
        auto& lOut = k == "b" ? e.Bids : e.Asks;
        for (auto lLevel : lField.value().get_array()) {
          auto a = lLevel.get_array();
          auto it = a.begin();
          TqmtBookLevel l;
          BookUnits(std::string_view((*it).get_string()), l.Price);
          ++it;
          BookUnits(std::string_view((*it).get_string()), l.Size);
          lOut.push_back(l);
        }
      }
    }
    benchmark::DoNotOptimize(e.Bids.data());
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lText.size()));
}
BENCHMARK(BM_DepthSimdjsonOnDemand);

}  // namespace

BENCHMARK_MAIN();
