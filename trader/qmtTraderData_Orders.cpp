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
  aTable.AddField("FILLED", TFieldType::ftExtended);
  aTable.AddField("STOP_PRICE", TFieldType::ftExtended);
  aTable.AddField("AVG_PRICE", TFieldType::ftExtended);
  aTable.AddField("UPDATE_TIME", TFieldType::ftExtended);
  aTable.AddField("RAW", TFieldType::ftMemo);
  aTable.SetKeyField("ID");
}

void TqmtTraderData_Orders::DoFormatFields(TqmtDataSet& aDataSet) {
  aDataSet.SetDisplayFormat("PRICE", "0.0000");
  aDataSet.SetDisplayFormat("SIZE", "0.0000");
  aDataSet.SetDisplayFormat("FILLED", "0.0000");
  aDataSet.SetDisplayFormat("STOP_PRICE", "0.0000");
  aDataSet.SetDisplayFormat("AVG_PRICE", "0.0000");
  aDataSet.SetDisplayFormat("UPDATE_TIME", "0");
}

bool TqmtTraderData_Orders::FinalStatus(std::string_view s) {
  return s == "FILLED" || s == "CANCELED" || s == "EXPIRED" || s == "EXPIRED_IN_MATCH" || s == "REJECTED" ||
         s == "TRIGGERED" || s == "FINISHED" || s == "NOT_FOUND";
}

bool TqmtTraderData_Orders::UpdateOrder(const TqmtTraderOrder& aOrder) {
  try {
    return DoUpdate(aOrder);
  } catch (...) {
    // Writers report nothing.
    return false;
  }
}

bool TqmtTraderData_Orders::DoUpdate(const TqmtTraderOrder& aOrder) {
  if (aOrder.Symbol().empty()) return false;
  std::lock_guard lGuard(FWriteLock);
  TqmtDataSet& lTable = Writer();
  if (lTable.FindKey(aOrder.Id())) {
    const auto lShownTime = static_cast<std::int64_t>(lTable.FieldByName("UPDATE_TIME").AsExtended());
    const std::string lShown = lTable.FieldByName("ORDER_STATUS").AsString();
    const long double lFilled = lTable.FieldByName("FILLED").AsExtended();
    if (aOrder.UpdateTime() != 0 && lShownTime != 0) {
      if (aOrder.UpdateTime() < lShownTime) return false;
      if (aOrder.UpdateTime() == lShownTime) {
        if (lShown == aOrder.OrderStatus() && lFilled == aOrder.Filled()) return false;
        if (FinalStatus(lShown) && !FinalStatus(aOrder.OrderStatus())) return false;
      }
    }
    // A state with no time of its own never undoes a final one.
    if (aOrder.UpdateTime() == 0 && FinalStatus(lShown) && !FinalStatus(aOrder.OrderStatus())) return false;
  }
  Upsert(aOrder.Id(), [&](TqmtDataSet& t, bool aNew) {
    if (aNew) t.FieldByName("SYMBOL").SetAsString(aOrder.Symbol());
    t.FieldByName("DATE_TIME").SetAsDateTime(aOrder.DateTime());
    t.FieldByName("ORDER_TYPE").SetAsString(aOrder.OrderType());
    t.FieldByName("ORDER_SIDE").SetAsString(aOrder.OrderSide());
    // A state that says nothing of price or size (a look-up's bare status) keeps what is shown.
    if (aNew || aOrder.Price() != 0) t.FieldByName("PRICE").SetAsExtended(aOrder.Price());
    if (aNew || aOrder.Size() != 0) t.FieldByName("SIZE").SetAsExtended(aOrder.Size());
    t.FieldByName("ORDER_STATUS").SetAsString(aOrder.OrderStatus());
    if (aNew || aOrder.Filled() != 0) t.FieldByName("FILLED").SetAsExtended(aOrder.Filled());
    if (aNew || aOrder.StopPrice() != 0) t.FieldByName("STOP_PRICE").SetAsExtended(aOrder.StopPrice());
    if (aNew || aOrder.AveragePrice() != 0) t.FieldByName("AVG_PRICE").SetAsExtended(aOrder.AveragePrice());
    if (aOrder.UpdateTime() != 0) t.FieldByName("UPDATE_TIME").SetAsExtended(static_cast<long double>(aOrder.UpdateTime()));
  });
  return true;
}

std::vector<TqmtTraderData_Orders::TOpen> TqmtTraderData_Orders::OpenOrders(std::string_view aSymbol) {
  std::vector<TOpen> lOpen;
  std::lock_guard lGuard(FWriteLock);
  TqmtDataSet& t = Writer();
  const int lId = t.FindFieldIndex("ID"), lSymbol = t.FindFieldIndex("SYMBOL"), lType = t.FindFieldIndex("ORDER_TYPE"),
            lStatus = t.FindFieldIndex("ORDER_STATUS"), lSide = t.FindFieldIndex("ORDER_SIDE"), lPrice = t.FindFieldIndex("PRICE"),
            lStop = t.FindFieldIndex("STOP_PRICE"), lSize = t.FindFieldIndex("SIZE"), lFilled = t.FindFieldIndex("FILLED");
  for (const TqmtRowRef& r : t.Rows()) {
    const auto& v = *r.Values;
    const std::string lState = TqmtField::ValueToText(v[lStatus]);
    if (FinalStatus(lState) || lState == "UNKNOWN") continue;
    TOpen o{TqmtField::ValueToText(v[lId]), TqmtField::ValueToText(v[lSymbol]), TqmtField::ValueToText(v[lType]),
            TqmtField::ValueToText(v[lSide])};
    if (!aSymbol.empty() && o.Symbol != aSymbol) continue;
    o.Price = TqmtField::ValueToExtended(v[lPrice]);
    o.StopPrice = TqmtField::ValueToExtended(v[lStop]);
    o.Size = TqmtField::ValueToExtended(v[lSize]);
    o.Filled = TqmtField::ValueToExtended(v[lFilled]);
    lOpen.push_back(std::move(o));
  }
  return lOpen;
}

TqmtTraderData_Orders& GetTraderDataOrders() {
  return static_cast<TqmtTraderData_Orders&>(
      TraderDataInstance(kSlotOrders, [] { return std::make_unique<TqmtTraderData_Orders>(); }));
}
