#include "qmtTraderData_Log.h"

#include <cstdio>

#include "qmtTraderDataRegistry.h"

void TqmtTraderData_Log::DoCreateFields(TqmtDataSet& aTable) {
  aTable.AddField("LOG_DATE", TFieldType::ftDateTime);
  aTable.AddField("LOG_TYPE", TFieldType::ftInteger);
  aTable.AddField("LOG_MESSAGE", TFieldType::ftString, 2048);
  // Entries of the same millisecond share a key: the index keeps them in the order they came.
  aTable.SetKeyField("LOG_DATE", false);
}

void TqmtTraderData_Log::Log(std::string_view aText) {
  if (!Enabled()) return;
  try {
    DoUpdate(aText);
  } catch (...) {
    // Writers report nothing.
  }
}

void TqmtTraderData_Log::Notice(std::string_view aText) {
  try {
    DoUpdate(aText, 1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmtTrader: %s\n", e.what());
  }
}

void TqmtTraderData_Log::DoUpdate(std::string_view aText) { DoUpdate(aText, 0); }

void TqmtTraderData_Log::DoUpdate(std::string_view aText, int aType) {
  std::lock_guard lGuard(FWriteLock);
  TqmtDataSet& lTable = Writer();
  lTable.Insert();
  try {
    lTable.FieldByName("LOG_DATE").SetAsDateTime(NowLocal());
    lTable.FieldByName("LOG_TYPE").SetAsInteger(aType);
    lTable.FieldByName("LOG_MESSAGE").SetAsString(std::string(aText));
    lTable.Post();
  } catch (...) {
    lTable.Cancel();
    throw;
  }
}

TqmtTraderData_Log& GetTraderDataLog() {
  return static_cast<TqmtTraderData_Log&>(
      TraderDataInstance(kSlotLog, [] { return std::make_unique<TqmtTraderData_Log>(); }));
}
