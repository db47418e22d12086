#include "qmtBinance_Addresses.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct Entry {
  const char* Name;
  const char* Default;
};

const std::map<TqmtBinanceAddress, Entry>& Defaults() {
  static const std::map<TqmtBinanceAddress, Entry> kDefaults = {
      {TqmtBinanceAddress::SpotRest, {"SPOT_REST", "https://api.binance.com"}},
      {TqmtBinanceAddress::SpotTestRest, {"SPOT_TEST_REST", "https://testnet.binance.vision"}},
      {TqmtBinanceAddress::USRest, {"US_REST", "https://api.binance.us"}},
      {TqmtBinanceAddress::FuturesUSDTRest, {"FUTURES_USDT_REST", "https://fapi.binance.com"}},
      {TqmtBinanceAddress::FuturesCOINRest, {"FUTURES_COIN_REST", "https://dapi.binance.com"}},
      {TqmtBinanceAddress::FuturesTestRest, {"FUTURES_TEST_REST", "https://testnet.binancefuture.com"}},
      {TqmtBinanceAddress::SpotStream, {"SPOT_STREAM", "wss://stream.binance.com:9443"}},
      {TqmtBinanceAddress::SpotTestStream, {"SPOT_TEST_STREAM", "wss://stream.testnet.binance.vision"}},
      {TqmtBinanceAddress::USStream, {"US_STREAM", "wss://stream.binance.us:9443"}},
      {TqmtBinanceAddress::FuturesUSDTStream, {"FUTURES_USDT_STREAM", "wss://fstream.binance.com"}},
      {TqmtBinanceAddress::FuturesUSDTTestStream, {"FUTURES_USDT_TEST_STREAM", "wss://fstream.binancefuture.com"}},
      {TqmtBinanceAddress::FuturesCOINStream, {"FUTURES_COIN_STREAM", "wss://dstream.binance.com"}},
      {TqmtBinanceAddress::FuturesCOINTestStream, {"FUTURES_COIN_TEST_STREAM", "wss://dstream.binancefuture.com"}},
      {TqmtBinanceAddress::SpotWSAPI, {"SPOT_WS_API", "wss://ws-api.binance.com:443/ws-api/v3"}},
      {TqmtBinanceAddress::SpotTestWSAPI, {"SPOT_TEST_WS_API", "wss://ws-api.testnet.binance.vision/ws-api/v3"}},
      {TqmtBinanceAddress::FuturesUSDTTestRest, {"FUTURES_USDT_TEST_REST", "https://demo-fapi.binance.com"}},
      {TqmtBinanceAddress::FuturesUSDTWSAPI, {"FUTURES_USDT_WS_API", "wss://ws-fapi.binance.com/ws-fapi/v1"}},
      {TqmtBinanceAddress::FuturesUSDTTestWSAPI, {"FUTURES_USDT_TEST_WS_API", "wss://testnet.binancefuture.com/ws-fapi/v1"}},
  };
  return kDefaults;
}

std::mutex gLock;
std::map<TqmtBinanceAddress, std::string> gOverrides;

}  // namespace

const char* BinanceAddressName(TqmtBinanceAddress aWhich) { return Defaults().at(aWhich).Name; }

std::string BinanceAddress(TqmtBinanceAddress aWhich) {
  {
    std::lock_guard g(gLock);
    if (auto lIt = gOverrides.find(aWhich); lIt != gOverrides.end()) return lIt->second;
  }
  const Entry& lEntry = Defaults().at(aWhich);
  if (const char* lEnv = std::getenv((std::string("QMT_BINANCE_") + lEntry.Name).c_str()); lEnv && *lEnv) return lEnv;
  return lEntry.Default;
}

void SetBinanceAddress(TqmtBinanceAddress aWhich, const std::string& aAddress) {
  std::lock_guard g(gLock);
  if (aAddress.empty())
    gOverrides.erase(aWhich);
  else
    gOverrides[aWhich] = aAddress;
}
