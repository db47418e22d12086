// The tickers the user follows: the watch list, subscribed again on every connection. Stored in
// "qmtTicker.db". Written on the stream thread.
#pragma once

#include <string>
#include <unordered_set>

#include "qmtTraderData.h"
#include "qmtTraderMarketData.h"

class TqmtTraderData_Ticker : public TqmtTraderData {
public:
  TqmtDataSet& CDSTicker() { return GetTable(); }
  // Each market its own: "qmtTicker.db" (spot), "qmtTicker_USDM.db", "qmtTicker_COINM.db".
  std::string GetFileName() const override { return TraderDataMarketFile("qmtTicker"); }
  void UpdateTicker(const TqmtTraderTicker& aTicker);
  // The user took the symbol off the watch list: a ticker for it still in flight is not written
  // back (its row would return, be saved and be subscribed again at the next connection). Once this
  // returns, no write for the symbol is under way. Watch (a new subscription) undoes it.
  void Unwatch(const std::string& aSymbol);
  void Watch(const std::string& aSymbol);
  // Another market's list: nothing is held back any more.
  void ResetWatch();

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  void DoFormatFields(TqmtDataSet& aDataSet) override;
  virtual void DoUpdate(const TqmtTraderTicker& aTicker);

private:
  std::unordered_set<std::string> FUnwatched;  // under FWriteLock
  int FOpen = -1, FHigh, FLow, FBid, FAsk, FPrice, FSize;
};

TqmtTraderData_Ticker& GetTraderDataTicker();
