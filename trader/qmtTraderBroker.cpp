#include "qmtTraderBroker.h"

TqmtTraderSymbols& TqmtTraderBroker::Symbols() {
  std::call_once(FOnce, [this] {
    FSymbols = std::make_unique<TqmtTraderSymbols>();
    FSymbols->SetOwnObjects(true);
  });
  return *FSymbols;
}
