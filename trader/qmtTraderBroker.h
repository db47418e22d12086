// The trader client's per-symbol cache: the latest record of each kind per known symbol. Symbols
// enter only through the client's DoSymbol; records of unknown symbols are dropped here.
#pragma once

#include <memory>
#include <mutex>

#include "qmtTraderMarketData.h"

class TqmtTraderBroker : public TObject {
public:
  // Created on first use, owning its items.
  TqmtTraderSymbols& Symbols();

private:
  std::once_flag FOnce;
  std::unique_ptr<TqmtTraderSymbols> FSymbols;
};
