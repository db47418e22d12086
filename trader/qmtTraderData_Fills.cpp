#include "qmtTraderData_Fills.h"

#include "qmtTraderDataRegistry.h"
#include "qmtTraderHelpers.h"

void TqmtTraderData_Fills::DoCreateFields(TqmtDataSet& aTable) {
  aTable.AddField("ID", TFieldType::ftString, 80);
  aTable.AddField("SYMBOL", TFieldType::ftString, 50);
  aTable.AddField("ORDER_ID", TFieldType::ftString, 50);
  aTable.AddField("DATE_TIME", TFieldType::ftDateTime);
  aTable.AddField("SIDE", TFieldType::ftString, 10);
  for (const char* lName : {"PRICE", "SIZE", "FEE"}) aTable.AddField(lName, TFieldType::ftExtended);
  aTable.AddField("FEE_ASSET", TFieldType::ftString, 20);
  aTable.AddField("REALIZED_PROFIT", TFieldType::ftExtended);
  aTable.SetKeyField("ID");
}

void TqmtTraderData_Fills::DoFormatFields(TqmtDataSet& aDataSet) {
  for (const char* lName : {"PRICE", "SIZE", "REALIZED_PROFIT"}) aDataSet.SetDisplayFormat(lName, "0.0000");
  aDataSet.SetDisplayFormat("FEE", "0.00000000");
}

bool TqmtTraderData_Fills::AddFill(const TqmtTraderFill& f) {
  if (f.Symbol.empty() || f.TradeId == 0) return false;
  const std::string lId = f.Symbol + ":" + std::to_string(f.TradeId);
  std::lock_guard lGuard(FWriteLock);
  if (Writer().FindKey(lId)) return false;
  Upsert(lId, [&](TqmtDataSet& t, bool) {
    t.FieldByName("SYMBOL").SetAsString(f.Symbol);
    t.FieldByName("ORDER_ID").SetAsString(f.OrderId);
    t.FieldByName("DATE_TIME").SetAsDateTime(f.Time > 0 ? TraderMillisecondsToDateTime(std::to_string(f.Time)) : NowLocal());
    t.FieldByName("SIDE").SetAsString(f.Side);
    t.FieldByName("PRICE").SetAsExtended(f.Price);
    t.FieldByName("SIZE").SetAsExtended(f.Size);
    t.FieldByName("FEE").SetAsExtended(f.Fee);
    t.FieldByName("FEE_ASSET").SetAsString(f.FeeAsset);
    t.FieldByName("REALIZED_PROFIT").SetAsExtended(f.RealizedProfit);
  });
  return true;
}

TqmtTraderData_Fills& GetTraderDataFills() {
  return static_cast<TqmtTraderData_Fills&>(
      TraderDataInstance(kSlotFills, [] { return std::make_unique<TqmtTraderData_Fills>(); }));
}
