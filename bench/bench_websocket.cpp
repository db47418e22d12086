// The frame reader and the masking beside memcpy of the same bytes, in one run: compare the
// bytes_per_second columns (scripts/bench.sh prints the ratios).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "../tests/ws_memory_connection.h"

namespace {

std::string ServerFrames(std::size_t aPayload, std::size_t aBytes) {
  std::string lFrame = "\x81" + EncodePayloadLength(aPayload) + std::string(aPayload, 'x');
  std::string lStream;
  while (lStream.size() < aBytes) lStream += lFrame;
  return lStream;
}

// Server frames (unmasked) fed in 16 KiB reads, as the socket would deliver them.
void BM_DecodeFrames(benchmark::State& aState) {
  const std::size_t lPayload = static_cast<std::size_t>(aState.range(0));
  const std::string lStream = ServerFrames(lPayload, 4 << 20);
  TqmtWSConnectionMemory lConnection;
  std::size_t lMessages = 0;
  lConnection.FOnMessage = [&](TqmtWSConnection*, std::string_view t) {
    benchmark::DoNotOptimize(t.data());
    ++lMessages;
  };
  for (auto _ : aState) {
    for (std::size_t i = 0; i < lStream.size(); i += 16384)
      lConnection.Feed(std::string_view(lStream).substr(i, 16384));
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lStream.size()));
  aState.counters["messages_per_second"] =
      benchmark::Counter(static_cast<double>(lMessages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeFrames)->Arg(65536)->Arg(100);

void BM_Memcpy(benchmark::State& aState) {
  const std::string lSource(4 << 20, 'x');
  std::string lTarget(16384, '\0');
  for (auto _ : aState) {
    for (std::size_t i = 0; i < lSource.size(); i += 16384) {
      std::memcpy(lTarget.data(), lSource.data() + i, 16384);
      benchmark::ClobberMemory();
    }
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lSource.size()));
}
BENCHMARK(BM_Memcpy);

void BM_MaskPayload(benchmark::State& aState) {
  std::string lData(1 << 20, 'x');
  const std::uint8_t lKey[4] = {1, 2, 3, 4};
  for (auto _ : aState) {
    MaskPayload(lData.data(), lData.size(), lKey);
    benchmark::ClobberMemory();
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lData.size()));
}
BENCHMARK(BM_MaskPayload);

void BM_MemcpyMasked(benchmark::State& aState) {
  const std::string lSource(1 << 20, 'x');
  std::string lTarget(lSource.size(), '\0');
  for (auto _ : aState) {
    std::memcpy(lTarget.data(), lSource.data(), lSource.size());
    benchmark::ClobberMemory();
  }
  aState.SetBytesProcessed(static_cast<std::int64_t>(aState.iterations() * lSource.size()));
}
BENCHMARK(BM_MemcpyMasked);

}  // namespace

BENCHMARK_MAIN();
