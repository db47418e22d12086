// Positions of the futures account; not stored. Written on the stream thread.
#pragma once

#include "qmtTraderData.h"
#include "qmtTraderMarketData.h"

class TqmtTraderData_Position : public TqmtTraderData {
public:
  TqmtDataSet& CDSPosition() { return GetTable(); }
  std::string GetFileName() const override { return "qmtPosition.db"; }
  void LoadTable() override {}
  void SaveTable() override {}
  void UpdatePosition(const TqmtTraderPosition& aPosition);

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  void DoFormatFields(TqmtDataSet& aDataSet) override;
  virtual void DoUpdate(const TqmtTraderPosition& aPosition);
};

TqmtTraderData_Position& GetTraderDataPosition();
