// Balances of the futures account by asset; not stored. Written on the stream thread.
#pragma once

#include "qmtTraderData.h"
#include "qmtTraderMarketData.h"

class TqmtTraderData_Balance : public TqmtTraderData {
public:
  TqmtDataSet& CDSBalance() { return GetTable(); }
  std::string GetFileName() const override { return "qmtBalance.db"; }
  void LoadTable() override {}
  void SaveTable() override {}
  void UpdateBalance(const TqmtTraderBalance& aBalance);

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  void DoFormatFields(TqmtDataSet& aDataSet) override;
  virtual void DoUpdate(const TqmtTraderBalance& aBalance);
};

TqmtTraderData_Balance& GetTraderDataBalance();
