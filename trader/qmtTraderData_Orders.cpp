#include "qmtTraderData_Orders.h"

#include "qmtTraderDataRegistry.h"

void TqmtTraderData_Orders::DoCreateFields(TqmtDataSet& aTable) {
  aTable.AddField("ID", TFieldType::ftString, 50);
  aTable.AddField("SYMBOL", TFieldType::ftString, 50);
  aTable.AddField("DATE_TIME", TFieldType::ftDateTime);
  aTable.AddField("ORDER_TYPE", TFieldType::ftString, 20);
  aTable.AddField("ORDER_SIDE", TFieldType::ftString, 20);
  aTable.AddField("PRICE", TFieldType::ftExtended);
  aTable.AddField("SIZE", TFieldType::ftExtended);
  aTable.AddField("ORDER_STATUS", TFieldType::ftString, 20);
  aTable.AddField("RAW", TFieldType::ftMemo);
  aTable.SetKeyField("ID");
}

void TqmtTraderData_Orders::DoFormatFields(TqmtDataSet& aDataSet) {
  aDataSet.SetDisplayFormat("PRICE", "0.0000");
  aDataSet.SetDisplayFormat("SIZE", "0.0000");
}

void TqmtTraderData_Orders::UpdateOrder(const TqmtTraderOrder& aOrder) {
  try {
    DoUpdate(aOrder);
  } catch (...) {
    // Writers report nothing.
  }
}

void TqmtTraderData_Orders::DoUpdate(const TqmtTraderOrder& aOrder) {
  if (aOrder.Symbol().empty()) return;
  std::lock_guard lGuard(FWriteLock);
  Upsert(aOrder.Id(), [&](TqmtDataSet& t, bool aNew) {
    if (aNew) t.FieldByName("SYMBOL").SetAsString(aOrder.Symbol());
    t.FieldByName("DATE_TIME").SetAsDateTime(aOrder.DateTime());
    t.FieldByName("ORDER_TYPE").SetAsString(aOrder.OrderType());
    t.FieldByName("ORDER_SIDE").SetAsString(aOrder.OrderSide());
    t.FieldByName("PRICE").SetAsExtended(aOrder.Price());
    t.FieldByName("SIZE").SetAsExtended(aOrder.Size());
    t.FieldByName("ORDER_STATUS").SetAsString(aOrder.OrderStatus());
  });
}

TqmtTraderData_Orders& GetTraderDataOrders() {
  return static_cast<TqmtTraderData_Orders&>(
      TraderDataInstance(kSlotOrders, [] { return std::make_unique<TqmtTraderData_Orders>(); }));
}
