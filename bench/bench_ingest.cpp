// Ingest of the stream: WebSocket frames of recorded-style ticker, book and trade messages through
// the connection's reader, DoClientMessage, the mappings, the broker (3,000 known symbols), the
// tables and two listeners. Beside it, in the same run, the same mapping written plainly with
// nlohmann/json and std::stold, feeding the same fan-out. Compare items_per_second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "../tests/ws_memory_connection.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "qmtTraderHelpers.h"

namespace {

enum Kind { kTicker, kBook, kTrade };

std::string Symbol(int i) { return "SYM" + std::to_string(i) + "USDT"; }

std::string Message(Kind aKind, int i) {
  const std::string s = Symbol(i * 37 % 3000);
  switch (aKind) {
    case kTicker:
      return R"({"e":"24hrTicker","E":1672515782136,"s":")" + s + R"(","p":"0.0015","P":"250.00","w":"0.0018",)"
             R"("x":"0.0009","c":"27123.45000000","Q":"0.01200000","b":"27123.44000000","B":"10","a":"27123.46000000",)"
             R"("A":"100","o":"26000.00000000","h":"27500.00000000","l":"25900.00000000","v":"10000","q":"18",)"
             R"("O":0,"C":86400000,"F":0,"L":18150,"n":18151})";
    case kBook: {
      std::string lText = R"({"e":"depthUpdate","E":1571889248277,"T":1571889248276,"s":")" + s +
                          R"(","U":390497796,"u":390497878,"pu":390497794,"b":[)";
      for (int k = 0; k < 20; ++k) lText += (k ? "," : "") + std::string(R"([")") + std::to_string(27000 - k) + R"(.10","1.250"])";
      lText += R"(],"a":[)";
      for (int k = 0; k < 20; ++k) lText += (k ? "," : "") + std::string(R"([")") + std::to_string(27001 + k) + R"(.20","0.750"])";
      return lText + "]}";
    }
    case kTrade:
      return R"({"e":"aggTrade","E":1672515782136,"s":")" + s + R"(","a":12345,"p":"27123.45","q":"0.125",)"
             R"("f":100,"l":105,"T":1672515782136,"m":true,"M":true})";
  }
  return "";
}

std::string Frames(Kind aKind) {
  std::string lStream;
  for (int i = 0; i < 256; ++i) {
    const std::string m = Message(aKind, i);
    lStream += "\x81" + EncodePayloadLength(m.size()) + m;
  }
  return lStream;
}

struct Listener : TObject {
  long double sum = 0;
  void OnTicker(TObject*, const TqmtTraderTicker& t) { sum += t.Price(); }
  void OnBook(TObject*, const TqmtTraderBookDepth& b) { sum += b.Bids().Value(1).Price(); }
  void OnTrade(TObject*, const TqmtTraderTrade& t) { sum += t.Size(); }
};

// The client under test with 3,000 known symbols and two listeners per kind.
struct Fixture {
  TqmtTraderClient_Binance Client;
  Listener A, B;
  Fixture() {
    SetTraderDataFolder((std::filesystem::temp_directory_path() / ("qmt_ingest_" + std::to_string(::getpid()))).string());
    FreeTraderData();
    TqmtTraderSymbol s;
    for (int i = 0; i < 3000; ++i) {
      s.SetSymbol(Symbol(i));
      Client.DoSymbol(s);
    }
    for (Listener* l : {&A, &B}) {
      Client.RegisterOnTicker({l, &Listener::OnTicker});
      Client.RegisterOnBookDepth({l, &Listener::OnBook});
      Client.RegisterOnTrade({l, &Listener::OnTrade});
    }
  }
  ~Fixture() { FreeTraderData(); }
};

void Feed(benchmark::State& aState, TqmtWSConnectionMemory& aConnection, const std::string& aFrames) {
  for (auto _ : aState)
    for (std::size_t i = 0; i < aFrames.size(); i += 16384) aConnection.Feed(std::string_view(aFrames).substr(i, 16384));
  aState.SetItemsProcessed(aState.iterations() * 256);
}

void BM_Ingest(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  Fixture f;
  TqmtWSConnectionMemory lConnection;
  lConnection.FOnMessage = [&](TqmtWSConnection*, std::string_view t) { f.Client.DoClientMessage(t); };
  Feed(aState, lConnection, Frames(lKind));
}

// The reference: the same frames and fan-out, the mapping written plainly with nlohmann/json.
long double Dec(const nlohmann::json& j, const char* k) { return std::stold(j.at(k).get<std::string>()); }

void MapPlainly(TqmtTraderClient_Binance& aClient, std::string_view aText) {
  const auto j = nlohmann::json::parse(aText);
  const std::string e = j.value("e", "");
  if (e == "24hrTicker") {
    TqmtTraderTicker t;
    t.SetSymbol(j.at("s").get<std::string>());
    t.SetPrice(Dec(j, "c"));
    t.SetSize(Dec(j, "Q"));
    t.SetOpen(Dec(j, "o"));
    t.SetHigh(Dec(j, "h"));
    t.SetLow(Dec(j, "l"));
    t.SetAsk(Dec(j, "a"));
    t.SetBid(Dec(j, "b"));
    t.SetDate(TraderUnixToDateTime(j.at("E").get<std::int64_t>() / 1000));
    t.SetRaw(j.dump());
    aClient.DoTicker(t);
  } else if (e == "depthUpdate") {
    TqmtTraderBookDepth b;
    b.SetSymbol(j.at("s").get<std::string>());
    int i = 1;
    for (const auto& l : j.at("b")) {
      if (i > 20) break;
      b.Bids().Value(i).SetPrice(std::stold(l[0].get<std::string>()));
      b.Bids().Value(i++).SetSize(std::stold(l[1].get<std::string>()));
    }
    i = 1;
    for (const auto& l : j.at("a")) {
      if (i > 20) break;
      b.Asks().Value(i).SetPrice(std::stold(l[0].get<std::string>()));
      b.Asks().Value(i++).SetSize(std::stold(l[1].get<std::string>()));
    }
    b.SetRaw(j.dump());
    aClient.DoBookDepth(b);
  } else if (e == "aggTrade") {
    TqmtTraderTrade t;
    t.SetSymbol(j.at("s").get<std::string>());
    t.SetPrice(Dec(j, "p"));
    t.SetSize(Dec(j, "q"));
    t.SetDate(TraderUnixToDateTime(j.at("T").get<std::int64_t>() / 1000));
    t.SetRaw(j.dump());
    aClient.DoTrade(t);
  }
}

void BM_IngestNlohmann(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  Fixture f;
  TqmtWSConnectionMemory lConnection;
  lConnection.FOnMessage = [&](TqmtWSConnection*, std::string_view t) { MapPlainly(f.Client, t); };
  Feed(aState, lConnection, Frames(lKind));
}

// Where the time goes: the mapping alone (no fan-out), ours and the reference.
struct NoFanOut : TqmtTraderClient_Binance {
  void DoTicker(const TqmtTraderTicker&) override {}
  void DoBookDepth(const TqmtTraderBookDepth&) override {}
  void DoTrade(const TqmtTraderTrade&) override {}
};

void BM_MappingOnly(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  NoFanOut c;
  std::vector<std::string> lMessages;
  for (int i = 0; i < 256; ++i) lMessages.push_back(Message(lKind, i));
  for (auto _ : aState)
    for (const auto& m : lMessages) c.DoClientMessage(m);
  aState.SetItemsProcessed(aState.iterations() * 256);
}

void BM_MappingOnlyNlohmann(benchmark::State& aState) {
  const Kind lKind = static_cast<Kind>(aState.range(0));
  NoFanOut c;
  std::vector<std::string> lMessages;
  for (int i = 0; i < 256; ++i) lMessages.push_back(Message(lKind, i));
  for (auto _ : aState)
    for (const auto& m : lMessages) MapPlainly(c, m);
  aState.SetItemsProcessed(aState.iterations() * 256);
}

}  // namespace

// 0 ticker, 1 book (20 levels a side), 2 aggregate trade
BENCHMARK(BM_Ingest)->DenseRange(0, 2);
BENCHMARK(BM_IngestNlohmann)->DenseRange(0, 2);
BENCHMARK(BM_MappingOnly)->DenseRange(0, 2);
BENCHMARK(BM_MappingOnlyNlohmann)->DenseRange(0, 2);

BENCHMARK_MAIN();
