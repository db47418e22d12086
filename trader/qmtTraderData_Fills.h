// The account's fills (trades) heard during the run, one row per trade, keyed by symbol and the
// exchange's trade id so that an event heard twice is one row; not stored. Written on the stream
// thread (the order events that carry a fill); the grids filter it.
#pragma once

#include <cstdint>
#include <string>

#include "qmtTraderData.h"

struct TqmtTraderFill {
  std::string Symbol, OrderId, Side, FeeAsset;  // OrderId: the client order id
  std::int64_t TradeId = 0, Time = 0;           // Time: the exchange's, ms
  long double Price = 0, Size = 0, Fee = 0;
  long double RealizedProfit = 0;  // futures: what the fill realised
};

class TqmtTraderData_Fills : public TqmtTraderData {
public:
  std::string GetFileName() const override { return "qmtFills.db"; }
  void LoadTable() override {}
  void SaveTable() override {}
  // False for a fill already in the table (or without symbol or trade id).
  bool AddFill(const TqmtTraderFill& aFill);

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  void DoFormatFields(TqmtDataSet& aDataSet) override;
};

TqmtTraderData_Fills& GetTraderDataFills();
