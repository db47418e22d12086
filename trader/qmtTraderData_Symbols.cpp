#include "qmtTraderData_Symbols.h"

#include "qmtTraderDataRegistry.h"

void TqmtTraderData_Symbols::DoCreateFields(TqmtDataSet& aTable) {
  aTable.AddField("SYMBOL", TFieldType::ftString, 50);
  aTable.AddField("TICK_SIZE", TFieldType::ftCurrency);
  aTable.AddField("TICK_VALUE", TFieldType::ftCurrency);
  aTable.AddField("COMMISSION", TFieldType::ftCurrency);
  aTable.AddField("TIME_START", TFieldType::ftTime);
  aTable.AddField("TIME_END", TFieldType::ftTime);
  aTable.AddField("RAW", TFieldType::ftMemo);
  aTable.SetKeyField("SYMBOL");
}

void TqmtTraderData_Symbols::AddSymbol(const TqmtTraderSymbol& aSymbol) {
  try {
    DoUpdate(aSymbol);
  } catch (...) {
    // Writers report nothing.
  }
}

void TqmtTraderData_Symbols::DoUpdate(const TqmtTraderSymbol& aSymbol) {
  if (aSymbol.Symbol().empty()) return;
  std::lock_guard lGuard(FWriteLock);
  TqmtDataSet& lTable = Writer();
  if (lTable.FindKey(aSymbol.Symbol())) return;
  lTable.Insert();
  try {
    lTable.FieldByName("SYMBOL").SetAsString(aSymbol.Symbol());
    lTable.FieldByName("TICK_SIZE").SetAsCurrency(aSymbol.TickSize());
    lTable.FieldByName("TICK_VALUE").SetAsCurrency(aSymbol.TickValue());
    lTable.FieldByName("COMMISSION").SetAsCurrency(aSymbol.Commission());
    lTable.FieldByName("TIME_START").SetAsDateTime(aSymbol.TimeStart());
    lTable.FieldByName("TIME_END").SetAsDateTime(aSymbol.TimeEnd());
    lTable.Post();
  } catch (...) {
    lTable.Cancel();
    throw;
  }
}

TqmtTraderData_Symbols& GetTraderDataSymbols() {
  return static_cast<TqmtTraderData_Symbols&>(
      TraderDataInstance(kSlotSymbols, [] { return std::make_unique<TqmtTraderData_Symbols>(); }));
}
