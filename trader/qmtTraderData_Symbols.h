// The exchange's symbols as loaded at sign-in; stored in "qmtSymbols.db". Written on the user-interface
// thread; an existing row is never updated.
#pragma once

#include "qmtTraderData.h"
#include "qmtTraderMarketData.h"

class TqmtTraderData_Symbols : public TqmtTraderData {
public:
  TqmtDataSet& CDSSymbols() { return GetTable(); }
  // Each market its own: "qmtSymbols.db" (spot), "qmtSymbols_USDM.db", "qmtSymbols_COINM.db".
  std::string GetFileName() const override { return TraderDataMarketFile("qmtSymbols"); }
  // Skips an empty symbol and a symbol already in the table.
  void AddSymbol(const TqmtTraderSymbol& aSymbol);

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  virtual void DoUpdate(const TqmtTraderSymbol& aSymbol);
};

TqmtTraderData_Symbols& GetTraderDataSymbols();
