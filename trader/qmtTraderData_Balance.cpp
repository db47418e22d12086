#include "qmtTraderData_Balance.h"

#include "qmtTraderDataRegistry.h"

void TqmtTraderData_Balance::DoCreateFields(TqmtDataSet& aTable) {
  aTable.AddField("ASSET", TFieldType::ftString, 50);
  for (const char* lName : {"WALLET_BALANCE", "CROSS_WALLET_BALANCE", "BALANCE_CHANGE", "VALUE"})
    aTable.AddField(lName, TFieldType::ftExtended);
  aTable.AddField("RAW", TFieldType::ftMemo);
  aTable.SetKeyField("ASSET");
}

void TqmtTraderData_Balance::DoFormatFields(TqmtDataSet& aDataSet) {
  for (const char* lName : {"WALLET_BALANCE", "CROSS_WALLET_BALANCE", "BALANCE_CHANGE"})
    aDataSet.SetDisplayFormat(lName, "0.0000");
  aDataSet.SetDisplayFormat("VALUE", "#,##0.00");
}

void TqmtTraderData_Balance::UpdateBalance(const TqmtTraderBalance& aBalance) {
  try {
    DoUpdate(aBalance);
  } catch (...) {
    // Writers report nothing.
  }
}

void TqmtTraderData_Balance::DoUpdate(const TqmtTraderBalance& aBalance) {
  if (aBalance.Symbol().empty()) return;
  std::lock_guard lGuard(FWriteLock);
  Upsert(aBalance.Symbol(), [&](TqmtDataSet& t, bool) {
    t.FieldByName("WALLET_BALANCE").SetAsExtended(aBalance.WalletBalance());
    t.FieldByName("CROSS_WALLET_BALANCE").SetAsExtended(aBalance.CrossWalletBalance());
    t.FieldByName("BALANCE_CHANGE").SetAsExtended(aBalance.BalanceChange());
    if (aBalance.Value() != 0)
      t.FieldByName("VALUE").SetAsExtended(aBalance.Value());
    else
      t.FieldByName("VALUE").Clear();
  });
}

TqmtTraderData_Balance& GetTraderDataBalance() {
  return static_cast<TqmtTraderData_Balance&>(
      TraderDataInstance(kSlotBalance, [] { return std::make_unique<TqmtTraderData_Balance>(); }));
}
