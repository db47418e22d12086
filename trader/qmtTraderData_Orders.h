// Every order seen during the run, open or not, keyed by its id; not stored. Written on the stream
// thread; the grids filter it.
#pragma once

#include "qmtTraderData.h"
#include "qmtTraderMarketData.h"

class TqmtTraderData_Orders : public TqmtTraderData {
public:
  TqmtDataSet& CDSOpenOrders() { return GetTable(); }
  std::string GetFileName() const override { return "qmtOpenOrders.db"; }
  void LoadTable() override {}
  void SaveTable() override {}
  // Skipped when the order's Symbol is empty; an existing row keeps its "SYMBOL".
  void UpdateOrder(const TqmtTraderOrder& aOrder);

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  void DoFormatFields(TqmtDataSet& aDataSet) override;
  virtual void DoUpdate(const TqmtTraderOrder& aOrder);
};

TqmtTraderData_Orders& GetTraderDataOrders();
