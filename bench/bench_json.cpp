// Parse and walk the exchange's messages: find the members the trading core reads and take their
// values. The same walk with RapidJSON and with nlohmann/json runs beside ours in the same binary;
// compare the bytes_per_second columns of one run (scripts/bench.sh prints the ratios).
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <rapidjson/document.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "qmtJSON.h"

namespace {

// ---- the corpus: messages shaped like the exchange's -------------------------------------------

std::string Ticker() {
  return R"({"e":"24hrTicker","E":1672515782136,"s":"BNBBTC","p":"0.0015","P":"250.00","w":"0.0018","x":"0.0009",)"
         R"("c":"0.0025","Q":"10","b":"0.0024","B":"10","a":"0.0026","A":"100","o":"0.0010","h":"0.0025",)"
         R"("l":"0.0010","v":"10000","q":"18","O":0,"C":86400000,"F":0,"L":18150,"n":18151})";
}

std::string Levels(int aCount, double aStart, double aStep) {
  std::string lText = "[";
  char lBuffer[64];
  for (int i = 0; i < aCount; ++i) {
    std::snprintf(lBuffer, sizeof lBuffer, "%s[\"%.8f\",\"%.8f\"]", i ? "," : "", aStart + i * aStep, 0.5 + i * 0.25);
    lText += lBuffer;
  }
  return lText + "]";
}

std::string BookSnapshot() {
  return R"({"lastUpdateId":160,"bids":)" + Levels(20, 27000.0, -0.01) + R"(,"asks":)" + Levels(20, 27000.01, 0.01) + "}";
}

std::string DepthUpdate() {
  return R"({"e":"depthUpdate","E":1571889248277,"T":1571889248276,"s":"BTCUSDT","U":390497796,"u":390497878,)"
         R"("pu":390497794,"b":)" +
         Levels(20, 7403.89, -0.1) + R"(,"a":)" + Levels(20, 7405.96, 0.1) + "}";
}

std::string AggTrade() {
  return R"({"e":"aggTrade","E":1672515782136,"s":"BNBBTC","a":12345,"p":"0.001","q":"100","f":100,"l":105,)"
         R"("T":1672515782136,"m":true,"M":true})";
}

std::string OrderUpdate() {
  return R"({"e":"ORDER_TRADE_UPDATE","E":1568879465651,"T":1568879465650,"o":{"s":"BTCUSDT","c":"TEST","S":"SELL",)"
         R"("o":"TRAILING_STOP_MARKET","f":"GTC","q":"0.001","p":"0","ap":"0","sp":"7103.04","x":"NEW","X":"NEW",)"
         R"("i":8886774,"l":"0","z":"0","L":"0","N":"USDT","n":"0","T":1568879465650,"t":0,"b":"0","a":"9.91",)"
         R"("m":false,"R":false,"wt":"CONTRACT_PRICE","ot":"TRAILING_STOP_MARKET","ps":"LONG","cp":false,)"
         R"("AP":"7476.89","cr":"5.0","pP":false,"si":0,"ss":0,"rp":"0","V":"EXPIRE_TAKER","pm":"OPPONENT",)"
         R"("gtd":0,"er":"0"}})";
}

std::string ExchangeInfo(int aSymbols) {
  std::string lText =
      R"({"timezone":"UTC","serverTime":1565246363776,"rateLimits":[{"rateLimitType":"REQUEST_WEIGHT",)"
      R"("interval":"MINUTE","intervalNum":1,"limit":6000}],"exchangeFilters":[],"symbols":[)";
  char lBuffer[1024];
  for (int i = 0; i < aSymbols; ++i) {
    std::snprintf(lBuffer, sizeof lBuffer,
                  R"(%s{"symbol":"SYM%dUSDT","status":"TRADING","baseAsset":"SYM%d","baseAssetPrecision":8,)"
                  R"("quoteAsset":"USDT","quotePrecision":8,"quoteAssetPrecision":8,"orderTypes":["LIMIT",)"
                  R"("LIMIT_MAKER","MARKET","STOP_LOSS","STOP_LOSS_LIMIT"],"icebergAllowed":true,)"
                  R"("ocoAllowed":true,"isSpotTradingAllowed":true,"isMarginTradingAllowed":false,"filters":[)"
                  R"({"filterType":"PRICE_FILTER","minPrice":"0.00000100","maxPrice":"100000.00000000",)"
                  R"("tickSize":"0.00000100"},{"filterType":"LOT_SIZE","minQty":"0.00100000",)"
                  R"("maxQty":"100000.00000000","stepSize":"0.00100000"}],"permissions":["SPOT"]})",
                  i ? "," : "", i, i);
    lText += lBuffer;
  }
  return lText + "]}";
}

enum Kind { kTicker, kBook, kDepth, kTrade, kOrder, kExchangeInfo };

const std::string& Message(Kind aKind) {
  static const std::string lMessages[] = {Ticker(), BookSnapshot(), DepthUpdate(), AggTrade(), OrderUpdate(),
                                          ExchangeInfo(3000)};
  return lMessages[aKind];
}

// ---- ours -----------------------------------------------------------------------------------------

std::size_t Take(const TqmtObjectJSON* aMember) { return aMember ? aMember->ValueView().size() : 0; }

std::size_t WalkLevels(const TqmtObjectJSON* aSide) {
  std::size_t n = 0;
  if (!aSide) return 0;
  for (int i = 0; i < aSide->Count(); ++i) {
    const TqmtObjectJSON* lLevel = aSide->At(i);
    n += Take(lLevel->At(0)) + Take(lLevel->At(1));
  }
  return n;
}

std::size_t WalkOurs(const TqmtJSON& d, Kind aKind) {
  std::size_t n = 0;
  switch (aKind) {
    case kTicker:
      for (const char* k : {"e", "E", "s", "o", "h", "l", "c", "Q", "b", "a"}) n += Take(d.Find(k));
      break;
    case kBook:
      n += WalkLevels(d.Find("bids")) + WalkLevels(d.Find("asks"));
      break;
    case kDepth:
      n += Take(d.Find("e")) + Take(d.Find("E")) + Take(d.Find("s"));
      n += WalkLevels(d.Find("b")) + WalkLevels(d.Find("a"));
      break;
    case kTrade:
      for (const char* k : {"e", "E", "s", "p", "q", "T"}) n += Take(d.Find(k));
      break;
    case kOrder: {
      n += Take(d.Find("e")) + Take(d.Find("E"));
      const TqmtObjectJSON* o = d.Find("o");
      for (const char* k : {"s", "c", "S", "o", "X", "p", "q", "ap", "sp"}) n += Take(o->Find(k));
      break;
    }
    case kExchangeInfo: {
      const TqmtObjectJSON* lSymbols = d.Find("symbols");
      for (int i = 0; i < lSymbols->Count(); ++i) {
        const TqmtObjectJSON* s = lSymbols->At(i);
        n += Take(s->Find("symbol")) + Take(s->Find("status"));
        const TqmtObjectJSON* f = s->Find("filters");
        for (int j = 0; j < f->Count(); ++j) {
          const TqmtObjectJSON* lFilter = f->At(j);
          if (lFilter->Find("filterType")->ValueView() == "PRICE_FILTER") n += Take(lFilter->Find("tickSize"));
        }
      }
      break;
    }
  }
  return n;
}

// One document read again for every message, as a connection's reader does.
void BM_Ours(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  const std::string& lText = Message(lKind);
  TqmtJSON lDocument;
  for (auto _ : aState) {
    lDocument.Read(lText);
    benchmark::DoNotOptimize(WalkOurs(lDocument, lKind));
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lText.size()));
}

// A fresh document per message.
void BM_OursFresh(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  const std::string& lText = Message(lKind);
  for (auto _ : aState) {
    IqmtJSON lDocument = TqmtJSON::Create();
    lDocument->Read(lText);
    benchmark::DoNotOptimize(WalkOurs(*lDocument, lKind));
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lText.size()));
}

// ---- RapidJSON --------------------------------------------------------------------------------------

using RValue = rapidjson::Value;

std::size_t RTake(const RValue& aObject, const char* aName) {
  auto lIt = aObject.FindMember(aName);
  if (lIt == aObject.MemberEnd()) return 0;
  if (lIt->value.IsString()) return lIt->value.GetStringLength();
  if (lIt->value.IsInt64()) return static_cast<std::size_t>(lIt->value.GetInt64() & 7);
  return 1;
}

std::size_t RLevels(const RValue& aObject, const char* aName) {
  std::size_t n = 0;
  for (const auto& lLevel : aObject[aName].GetArray())
    n += lLevel[0].GetStringLength() + lLevel[1].GetStringLength();
  return n;
}

std::size_t WalkRapid(const RValue& d, Kind aKind) {
  std::size_t n = 0;
  switch (aKind) {
    case kTicker:
      for (const char* k : {"e", "E", "s", "o", "h", "l", "c", "Q", "b", "a"}) n += RTake(d, k);
      break;
    case kBook:
      n += RLevels(d, "bids") + RLevels(d, "asks");
      break;
    case kDepth:
      n += RTake(d, "e") + RTake(d, "E") + RTake(d, "s") + RLevels(d, "b") + RLevels(d, "a");
      break;
    case kTrade:
      for (const char* k : {"e", "E", "s", "p", "q", "T"}) n += RTake(d, k);
      break;
    case kOrder: {
      n += RTake(d, "e") + RTake(d, "E");
      const RValue& o = d["o"];
      for (const char* k : {"s", "c", "S", "o", "X", "p", "q", "ap", "sp"}) n += RTake(o, k);
      break;
    }
    case kExchangeInfo:
      for (const auto& s : d["symbols"].GetArray()) {
        n += RTake(s, "symbol") + RTake(s, "status");
        for (const auto& f : s["filters"].GetArray())
          if (std::string_view(f["filterType"].GetString()) == "PRICE_FILTER") n += RTake(f, "tickSize");
      }
      break;
  }
  return n;
}

void BM_RapidJSON(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  const std::string& lText = Message(lKind);
  for (auto _ : aState) {
    rapidjson::Document lDocument;
    lDocument.Parse(lText.data(), lText.size());
    benchmark::DoNotOptimize(WalkRapid(lDocument, lKind));
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lText.size()));
}

// ---- nlohmann/json ----------------------------------------------------------------------------------

using NJson = nlohmann::json;

std::size_t NTake(const NJson& aObject, const char* aName) {
  auto lIt = aObject.find(aName);
  if (lIt == aObject.end()) return 0;
  if (lIt->is_string()) return lIt->get_ref<const std::string&>().size();
  if (lIt->is_number_integer()) return static_cast<std::size_t>(lIt->get<std::int64_t>() & 7);
  return 1;
}

std::size_t NLevels(const NJson& aObject, const char* aName) {
  std::size_t n = 0;
  for (const auto& lLevel : aObject.at(aName))
    n += lLevel[0].get_ref<const std::string&>().size() + lLevel[1].get_ref<const std::string&>().size();
  return n;
}

std::size_t WalkNlohmann(const NJson& d, Kind aKind) {
  std::size_t n = 0;
  switch (aKind) {
    case kTicker:
      for (const char* k : {"e", "E", "s", "o", "h", "l", "c", "Q", "b", "a"}) n += NTake(d, k);
      break;
    case kBook:
      n += NLevels(d, "bids") + NLevels(d, "asks");
      break;
    case kDepth:
      n += NTake(d, "e") + NTake(d, "E") + NTake(d, "s") + NLevels(d, "b") + NLevels(d, "a");
      break;
    case kTrade:
      for (const char* k : {"e", "E", "s", "p", "q", "T"}) n += NTake(d, k);
      break;
    case kOrder: {
      n += NTake(d, "e") + NTake(d, "E");
      const NJson& o = d.at("o");
      for (const char* k : {"s", "c", "S", "o", "X", "p", "q", "ap", "sp"}) n += NTake(o, k);
      break;
    }
    case kExchangeInfo:
      for (const auto& s : d.at("symbols")) {
        n += NTake(s, "symbol") + NTake(s, "status");
        for (const auto& f : s.at("filters"))
          if (f.at("filterType").get_ref<const std::string&>() == "PRICE_FILTER") n += NTake(f, "tickSize");
      }
      break;
  }
  return n;
}

void BM_Nlohmann(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  const std::string& lText = Message(lKind);
  for (auto _ : aState) {
    const NJson lDocument = NJson::parse(lText);
    benchmark::DoNotOptimize(WalkNlohmann(lDocument, lKind));
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lText.size()));
}

void Kinds(benchmark::internal::Benchmark* b) {
  // 0 ticker, 1 book snapshot, 2 futures depthUpdate, 3 aggTrade, 4 futures order update, 5 exchangeInfo (3,000 symbols)
  for (int k = kTicker; k <= kExchangeInfo; ++k) b->Arg(k);
}

}  // namespace

BENCHMARK(BM_Ours)->Apply(Kinds);
BENCHMARK(BM_OursFresh)->Apply(Kinds);
BENCHMARK(BM_RapidJSON)->Apply(Kinds);
BENCHMARK(BM_Nlohmann)->Apply(Kinds);

BENCHMARK_MAIN();
