// Every order seen during the run, open or not, keyed by its id; not stored. Written on the stream
// thread and by the account's reconciliation; the grids filter it.
//
// The exchange's time of each state (UPDATE_TIME) orders the writers: a state older than the one
// shown is dropped, and so is the same state again, so an event that a snapshot already holds (or
// the other way round) is applied once whatever the order they arrive in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qmtTraderData.h"
#include "qmtTraderMarketData.h"

class TqmtTraderData_Orders : public TqmtTraderData {
public:
  TqmtDataSet& CDSOpenOrders() { return GetTable(); }
  std::string GetFileName() const override { return "qmtOpenOrders.db"; }
  void LoadTable() override {}
  void SaveTable() override {}
  // Skipped when the order's Symbol is empty; an existing row keeps its "SYMBOL". True when the
  // row changed: false for a state older than the row's, for the same state again, and for an
  // open state after a final one of the same time.
  bool UpdateOrder(const TqmtTraderOrder& aOrder);
  // The orders shown as open now (not final, not of unknown outcome), of one symbol or (aSymbol
  // empty) all: id, symbol, type, side ("BUY", "SELL"), price, trigger, size and what filled.
  struct TOpen {
    std::string Id, Symbol, Type, Side;
    long double Price = 0, StopPrice = 0, Size = 0, Filled = 0;
  };
  std::vector<TOpen> OpenOrders(std::string_view aSymbol = {});

  // Final statuses: the order is in the history, not among the open ones.
  static bool FinalStatus(std::string_view aStatus);

protected:
  void DoCreateFields(TqmtDataSet& aTable) override;
  void DoFormatFields(TqmtDataSet& aDataSet) override;
  virtual bool DoUpdate(const TqmtTraderOrder& aOrder);
};

TqmtTraderData_Orders& GetTraderDataOrders();
