// permessage-deflate on the exchange's kind of traffic, beside zlib's own one-shot compress2 and
// uncompress on the same messages in the same run.
//
// The messages: a series of 24-hour tickers and of 10-level partial books shaped exactly as the
// recorded payloads in the shared reference folder (same keys and number formats), with prices,
// quantities, times and update ids walking from one message to the next as a live stream's do.
//
// Columns: bytes_per_second counts the uncompressed bytes; "ratio" is compressed / uncompressed;
// "ns_per_message" is the whole cost of one message. "Fresh stream + dictionary" is a new deflate
// stream per message primed with the last 32 KiB sent: the alternative to one long-lived stream.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "../tests/ws_memory_connection.h"
#include "qmtWebSocket_Extensions.h"

namespace {

std::string Fixed(double aValue, int aDecimals) {
  char lBuffer[64];
  std::snprintf(lBuffer, sizeof lBuffer, "%.*f", aDecimals, aValue);
  return lBuffer;
}

std::vector<std::string> Tickers(std::size_t n) {
  std::mt19937_64 lRandom(1);
  std::normal_distribution<double> lStep(0, 2.5);
  double lPrice = 27150.0;
  long long lTime = 1672515782136, lTrade = 3141966230;
  std::vector<std::string> lMessages;
  for (std::size_t i = 0; i < n; ++i) {
    lPrice += lStep(lRandom);
    lTime += 1000;
    lTrade += 20 + static_cast<long long>(lRandom() % 200);
    const double lOpen = 26800.0;
    lMessages.push_back(
        R"({"e":"24hrTicker","E":)" + std::to_string(lTime) + R"(,"s":"BTCUSDT","p":")" + Fixed(lPrice - lOpen, 2) +
        R"(","P":")" + Fixed((lPrice - lOpen) / lOpen * 100, 3) + R"(","w":")" + Fixed(lPrice * 0.999, 2) +
        R"(","x":")" + Fixed(lOpen - 0.01, 2) + R"(","c":")" + Fixed(lPrice, 2) + R"(","Q":")" +
        Fixed(static_cast<double>(lRandom() % 100000) / 100000, 5) + R"(","b":")" + Fixed(lPrice - 0.01, 2) +
        R"(","B":")" + Fixed(static_cast<double>(lRandom() % 900000) / 100000, 5) + R"(","a":")" + Fixed(lPrice, 2) +
        R"(","A":")" + Fixed(static_cast<double>(lRandom() % 900000) / 100000, 5) + R"(","o":")" + Fixed(lOpen, 2) +
        R"(","h":")" + Fixed(27400.0, 2) + R"(","l":")" + Fixed(26700.0, 2) + R"(","v":")" +
        Fixed(31000.0 + static_cast<double>(i) * 0.7, 5) + R"(","q":")" + Fixed(8.4e8 + static_cast<double>(i) * 19000, 2) +
        R"(","O":)" + std::to_string(lTime - 86400000) + R"(,"C":)" + std::to_string(lTime) + R"(,"F":)" +
        std::to_string(lTrade - 1200000) + R"(,"L":)" + std::to_string(lTrade) + R"(,"n":1200001})");
  }
  return lMessages;
}

std::vector<std::string> Books(std::size_t n) {
  std::mt19937_64 lRandom(2);
  std::normal_distribution<double> lStep(0, 1.0);
  double lMid = 27150.0;
  long long lTime = 1571889248277, lUpdate = 390497796;
  std::vector<std::string> lMessages;
  for (std::size_t i = 0; i < n; ++i) {
    lMid += lStep(lRandom);
    lTime += 250;
    const long long lFirst = lUpdate + 1;
    lUpdate += 30 + static_cast<long long>(lRandom() % 100);
    std::string lBids, lAsks;
    for (int k = 0; k < 10; ++k) {
      lBids += std::string(k ? "," : "") + "[\"" + Fixed(lMid - 0.05 - k * 0.1, 2) + "\",\"" +
               Fixed(static_cast<double>(lRandom() % 8000) / 1000, 3) + "\"]";
      lAsks += std::string(k ? "," : "") + "[\"" + Fixed(lMid + 0.05 + k * 0.1, 2) + "\",\"" +
               Fixed(static_cast<double>(lRandom() % 8000) / 1000, 3) + "\"]";
    }
    lMessages.push_back(R"({"e":"depthUpdate","E":)" + std::to_string(lTime) + R"(,"T":)" + std::to_string(lTime - 1) +
                        R"(,"s":"BTCUSDT","U":)" + std::to_string(lFirst) + R"(,"u":)" + std::to_string(lUpdate) +
                        R"(,"pu":)" + std::to_string(lFirst - 2) + R"(,"b":[)" + lBids + R"(],"a":[)" + lAsks + "]}");
  }
  return lMessages;
}

const std::vector<std::string>& Messages(std::int64_t aKind) {
  static const std::vector<std::string> lTickers = Tickers(2000), lBooks = Books(2000);
  return aKind == 0 ? lTickers : lBooks;
}

std::size_t TotalSize(const std::vector<std::string>& aMessages) {
  std::size_t n = 0;
  for (const auto& m : aMessages) n += m.size();
  return n;
}

void Report(benchmark::State& aState, const std::vector<std::string>& aMessages, std::size_t aCompressed) {
  const std::size_t lBytes = TotalSize(aMessages);
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lBytes));
  aState.SetLabel(aState.range(0) == 0 ? "tickers" : "books");
  aState.counters["ratio"] = static_cast<double>(aCompressed) / static_cast<double>(lBytes);
  // Seconds per (messages / 1e9): nanoseconds per message.
  aState.counters["ns_per_message"] =
      benchmark::Counter(static_cast<double>(aState.iterations() * aMessages.size()) / 1e9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

std::unique_ptr<TqmtWSExtension_PerMessage_Deflate> Extension(TwsApplicationMode aMode, bool aNoTakeover) {
  auto e = std::make_unique<TqmtWSExtension_PerMessage_Deflate>();
  e->SetMode(aMode);
  e->SetClientNoContextTakeOver(aNoTakeover);
  return e;
}

// Ours: one long-lived stream per connection, level 1 (context takeover unless the argument says).
void BM_OursCompress(benchmark::State& aState) {
  const auto& lMessages = Messages(aState.range(0));
  const bool lNoTakeover = aState.range(1) != 0;
  std::string lOut;
  std::size_t lCompressed = 0;
  for (auto _ : aState) {
    auto e = Extension(TwsApplicationMode::appClient, lNoTakeover);
    lCompressed = 0;
    for (const auto& m : lMessages) {
      e->DeflateFrame(m, true, lOut);
      lCompressed += lOut.size();
    }
  }
  Report(aState, lMessages, lCompressed);
}
BENCHMARK(BM_OursCompress)->ArgNames({"kind", "no_takeover"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1});

void BM_OursDecompress(benchmark::State& aState) {
  const auto& lMessages = Messages(aState.range(0));
  const bool lNoTakeover = aState.range(1) != 0;
  // What a client with these settings sends, inflated as the server side of the extension does.
  std::vector<std::string> lPayloads;
  std::size_t lCompressed = 0;
  {
    auto e = Extension(TwsApplicationMode::appClient, lNoTakeover);
    for (const auto& m : lMessages) {
      std::string lOut;
      e->DeflateFrame(m, true, lOut);
      lCompressed += lOut.size();
      lPayloads.push_back(std::move(lOut));
    }
  }
  std::string lText;
  for (auto _ : aState) {
    auto e = Extension(TwsApplicationMode::appServer, lNoTakeover);
    for (const auto& p : lPayloads) {
      lText.clear();
      e->InflateFrame(p, true, lText, 1u << 20);
      benchmark::DoNotOptimize(lText.data());
    }
  }
  Report(aState, lMessages, lCompressed);
}
BENCHMARK(BM_OursDecompress)->ArgNames({"kind", "no_takeover"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1});

// zlib's one-shot calls, each message on its own (zlib wrapper included), at level 1 as ours.
void BM_ZlibCompress2(benchmark::State& aState) {
  const auto& lMessages = Messages(aState.range(0));
  std::string lOut(1 << 16, '\0');
  std::size_t lCompressed = 0;
  for (auto _ : aState) {
    lCompressed = 0;
    for (const auto& m : lMessages) {
      uLongf lLength = lOut.size();
      compress2(reinterpret_cast<Bytef*>(lOut.data()), &lLength, reinterpret_cast<const Bytef*>(m.data()), m.size(), 1);
      lCompressed += lLength;
    }
  }
  Report(aState, lMessages, lCompressed);
}
BENCHMARK(BM_ZlibCompress2)->ArgName("kind")->Arg(0)->Arg(1);

void BM_ZlibUncompress(benchmark::State& aState) {
  const auto& lMessages = Messages(aState.range(0));
  std::vector<std::string> lPayloads;
  std::size_t lCompressed = 0;
  for (const auto& m : lMessages) {
    std::string lOut(compressBound(m.size()), '\0');
    uLongf lLength = lOut.size();
    compress2(reinterpret_cast<Bytef*>(lOut.data()), &lLength, reinterpret_cast<const Bytef*>(m.data()), m.size(), 1);
    lOut.resize(lLength);
    lCompressed += lLength;
    lPayloads.push_back(std::move(lOut));
  }
  std::string lText(1 << 16, '\0');
  for (auto _ : aState) {
    for (const auto& p : lPayloads) {
      uLongf lLength = lText.size();
      uncompress(reinterpret_cast<Bytef*>(lText.data()), &lLength, reinterpret_cast<const Bytef*>(p.data()), p.size());
      benchmark::DoNotOptimize(lText.data());
    }
  }
  Report(aState, lMessages, lCompressed);
}
BENCHMARK(BM_ZlibUncompress)->ArgName("kind")->Arg(0)->Arg(1);

// The alternative design: a fresh raw deflate stream per message, primed with the last 32 KiB sent.
void BM_FreshStreamWithDictionary(benchmark::State& aState) {
  const auto& lMessages = Messages(aState.range(0));
  std::string lOut(1 << 16, '\0'), lHistory;
  std::size_t lCompressed = 0;
  for (auto _ : aState) {
    lCompressed = 0;
    lHistory.clear();
    for (const auto& m : lMessages) {
      z_stream z{};
      deflateInit2(&z, 1, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
      if (!lHistory.empty())
        deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(lHistory.data()), static_cast<uInt>(lHistory.size()));
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(m.data()));
      z.avail_in = static_cast<uInt>(m.size());
      z.next_out = reinterpret_cast<Bytef*>(lOut.data());
      z.avail_out = static_cast<uInt>(lOut.size());
      deflate(&z, Z_SYNC_FLUSH);
      lCompressed += lOut.size() - z.avail_out - 4;
      deflateEnd(&z);
      lHistory += m;
      if (lHistory.size() > 32768) lHistory.erase(0, lHistory.size() - 32768);
    }
  }
  Report(aState, lMessages, lCompressed);
}
BENCHMARK(BM_FreshStreamWithDictionary)->ArgName("kind")->Arg(0)->Arg(1);

// The whole receive path per message: frames fed to the codec as the socket delivers them, with
// permessage-deflate (context takeover) and without, to show the per-message cost of inflating.
void BM_ReceiveMessages(benchmark::State& aState) {
  const auto& lMessages = Messages(aState.range(0));
  const bool lCompressed = aState.range(1) != 0;
  std::string lStream;
  std::size_t lWire = 0;
  {
    auto e = Extension(TwsApplicationMode::appServer, false);
    std::string lOut;
    for (const auto& m : lMessages) {
      if (lCompressed) e->DeflateFrame(m, true, lOut); else lOut = m;
      lStream += std::string(1, lCompressed ? '\xC1' : '\x81') + EncodePayloadLength(lOut.size()) + lOut;
      lWire += lOut.size();
    }
  }
  std::size_t lReceived = 0;
  for (auto _ : aState) {
    TqmtWSConnectionMemory lConnection;
    lConnection.Extensions().SetMode(TwsApplicationMode::appClient);
    lConnection.Extensions().PerMessage_Deflate().SetEnabled(true);
    if (lCompressed) lConnection.Extensions().DecodeExtensions("permessage-deflate");
    lConnection.FOnMessage = [&](TqmtWSConnection*, std::string_view t) { lReceived += t.size(); };
    for (std::size_t i = 0; i < lStream.size(); i += 16384) lConnection.Feed(std::string_view(lStream).substr(i, 16384));
  }
  benchmark::DoNotOptimize(lReceived);
  Report(aState, lMessages, lWire);
  aState.SetLabel(std::string(aState.range(0) == 0 ? "tickers" : "books") + (lCompressed ? ", compressed" : ", plain"));
}
BENCHMARK(BM_ReceiveMessages)->ArgNames({"kind", "compressed"})->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1});

}  // namespace

BENCHMARK_MAIN();
