// The exchange's addresses in one configurable table. Defaults are the exchange's documented
// addresses; the environment (QMT_BINANCE_<NAME>, for example QMT_BINANCE_SPOT_REST) or the
// program (SetBinanceAddress, or SetBinanceAddressesFromBase for a local simulated exchange)
// override them.
#pragma once

#include <string>

enum class TqmtBinanceAddress {
  SpotRest,          // https://api.binance.com
  SpotTestRest,      // https://testnet.binance.vision
  USRest,            // https://api.binance.us
  FuturesUSDTRest,   // https://fapi.binance.com
  FuturesCOINRest,   // https://dapi.binance.com
  FuturesTestRest,   // https://testnet.binancefuture.com
  SpotStream,        // wss://stream.binance.com:9443
  SpotTestStream,    // wss://stream.testnet.binance.vision
  USStream,          // wss://stream.binance.us:9443
  FuturesUSDTStream,      // wss://fstream.binance.com
  FuturesUSDTTestStream,  // wss://fstream.binancefuture.com
  FuturesCOINStream,      // wss://dstream.binance.com
  FuturesCOINTestStream,  // wss://dstream.binancefuture.com
  SpotWSAPI,              // wss://ws-api.binance.com:443/ws-api/v3 (spot account data)
  SpotTestWSAPI,          // wss://ws-api.testnet.binance.vision/ws-api/v3
  FuturesUSDTTestRest,    // https://demo-fapi.binance.com (coin-margined keeps FuturesTestRest)
  FuturesUSDTWSAPI,       // wss://ws-fapi.binance.com/ws-fapi/v1 (USDT-margined orders)
  FuturesUSDTTestWSAPI,   // wss://testnet.binancefuture.com/ws-fapi/v1
};

std::string BinanceAddress(TqmtBinanceAddress aWhich);
void SetBinanceAddress(TqmtBinanceAddress aWhich, const std::string& aAddress);
// The environment name of an address ("SPOT_REST", ...).
const char* BinanceAddressName(TqmtBinanceAddress aWhich);
