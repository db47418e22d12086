#include "qmtTraderData_Position.h"

#include "qmtTraderDataRegistry.h"

void TqmtTraderData_Position::DoCreateFields(TqmtDataSet& aTable) {
  aTable.AddField("SYMBOL", TFieldType::ftString, 50);
  for (const char* lName : {"POSITION", "ENTRY_PRICE", "MARKET_PRICE", "UNREALIZED_PROFIT", "LIQUIDATION_PRICE", "LEVERAGE"})
    aTable.AddField(lName, TFieldType::ftExtended);
  aTable.AddField("MARGIN_TYPE", TFieldType::ftString, 20);
  aTable.AddField("RAW", TFieldType::ftMemo);
  aTable.SetKeyField("SYMBOL");
}

void TqmtTraderData_Position::DoFormatFields(TqmtDataSet& aDataSet) {
  for (const char* lName : {"POSITION", "ENTRY_PRICE", "MARKET_PRICE", "UNREALIZED_PROFIT", "LIQUIDATION_PRICE"})
    aDataSet.SetDisplayFormat(lName, "0.0000");
  aDataSet.SetDisplayFormat("LEVERAGE", "0");
}

void TqmtTraderData_Position::UpdatePosition(const TqmtTraderPosition& aPosition) {
  try {
    DoUpdate(aPosition);
  } catch (...) {
    // Writers report nothing.
  }
}

void TqmtTraderData_Position::DoUpdate(const TqmtTraderPosition& aPosition) {
  if (aPosition.Symbol().empty()) return;
  std::lock_guard lGuard(FWriteLock);
  Upsert(aPosition.Symbol(), [&](TqmtDataSet& t, bool) {
    t.FieldByName("POSITION").SetAsExtended(aPosition.Position());
    t.FieldByName("ENTRY_PRICE").SetAsExtended(aPosition.EntryPrice());
    t.FieldByName("MARKET_PRICE").SetAsExtended(aPosition.MarketPrice());
    t.FieldByName("UNREALIZED_PROFIT").SetAsExtended(aPosition.UnRealizedProfit());
    t.FieldByName("LIQUIDATION_PRICE").SetAsExtended(aPosition.LiquidationPrice());
    t.FieldByName("LEVERAGE").SetAsExtended(aPosition.Leverage());
    t.FieldByName("MARGIN_TYPE").SetAsString(aPosition.MarginType());
  });
}

TqmtTraderData_Position& GetTraderDataPosition() {
  return static_cast<TqmtTraderData_Position&>(
      TraderDataInstance(kSlotPosition, [] { return std::make_unique<TqmtTraderData_Position>(); }));
}
