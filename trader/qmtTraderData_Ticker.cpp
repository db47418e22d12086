#include "qmtTraderData_Ticker.h"

#include "qmtTraderDataRegistry.h"

void TqmtTraderData_Ticker::DoCreateFields(TqmtDataSet& aTable) {
  aTable.AddField("SYMBOL", TFieldType::ftString, 50);
  for (const char* lName : {"OPEN", "HIGH", "LOW", "BID", "ASK", "PRICE", "SIZE"})
    aTable.AddField(lName, TFieldType::ftExtended);
  aTable.AddField("RAW", TFieldType::ftMemo);
  aTable.SetKeyField("SYMBOL");
}

void TqmtTraderData_Ticker::DoFormatFields(TqmtDataSet& aDataSet) {
  for (const char* lName : {"OPEN", "HIGH", "LOW", "BID", "ASK", "PRICE", "SIZE"})
    aDataSet.SetDisplayFormat(lName, "0.0000");
}

void TqmtTraderData_Ticker::UpdateTicker(const TqmtTraderTicker& aTicker) {
  try {
    DoUpdate(aTicker);
  } catch (...) {
    // Writers report nothing.
  }
}

void TqmtTraderData_Ticker::DoUpdate(const TqmtTraderTicker& aTicker) {
  if (aTicker.Symbol().empty()) return;
  std::lock_guard lGuard(FWriteLock);
  if (!FUnwatched.empty() && FUnwatched.count(aTicker.Symbol())) return;
  Upsert(aTicker.Symbol(), [&](TqmtDataSet& t, bool) {
    // Field positions looked up once; they do not change for the life of the table.
    if (FOpen < 0 || FSize >= t.FieldCount()) {
      FOpen = t.FindFieldIndex("OPEN"), FHigh = t.FindFieldIndex("HIGH"), FLow = t.FindFieldIndex("LOW");
      FBid = t.FindFieldIndex("BID"), FAsk = t.FindFieldIndex("ASK"), FPrice = t.FindFieldIndex("PRICE");
      FSize = t.FindFieldIndex("SIZE");
    }
    t.Fields(FOpen).SetAsExtended(aTicker.Open());
    t.Fields(FHigh).SetAsExtended(aTicker.High());
    t.Fields(FLow).SetAsExtended(aTicker.Low());
    t.Fields(FBid).SetAsExtended(aTicker.Bid());
    t.Fields(FAsk).SetAsExtended(aTicker.Ask());
    t.Fields(FPrice).SetAsExtended(aTicker.Price());
    t.Fields(FSize).SetAsExtended(aTicker.Size());
  });
}

void TqmtTraderData_Ticker::Unwatch(const std::string& aSymbol) {
  std::lock_guard lGuard(FWriteLock);
  FUnwatched.insert(aSymbol);
}

void TqmtTraderData_Ticker::ResetWatch() {
  std::lock_guard lGuard(FWriteLock);
  FUnwatched.clear();
}

void TqmtTraderData_Ticker::Watch(const std::string& aSymbol) {
  std::lock_guard lGuard(FWriteLock);
  FUnwatched.erase(aSymbol);
}

TqmtTraderData_Ticker& GetTraderDataTicker() {
  return static_cast<TqmtTraderData_Ticker&>(
      TraderDataInstance(kSlotTicker, [] { return std::make_unique<TqmtTraderData_Ticker>(); }));
}
