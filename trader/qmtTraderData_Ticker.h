// The tickers the user follows: the watch list, subscribed again on every connection. Stored in
// "qmtTicker.db". Written on the stream thread.
#pragma once

#include "qmtTraderData.h"
#include "qmtTraderMarketData.h"

class TqmtTraderData_Ticker : public TqmtTraderData {
public:
  TqmtDataSet& CDSTicker() { return GetTable(); }
  std::string GetFileName() const override { return "qmtTicker.db"; }
  void UpdateTicker(const TqmtTraderTicker& aTicker);

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  void DoFormatFields(TqmtDataSet& aDataSet) override;
  virtual void DoUpdate(const TqmtTraderTicker& aTicker);

private:
  int FOpen = -1, FHigh, FLow, FBid, FAsk, FPrice, FSize;
};

TqmtTraderData_Ticker& GetTraderDataTicker();
