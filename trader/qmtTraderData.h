// Base of the trading core's process-wide data tables (symbols, tickers, positions, orders,
// balances, log) and their clone cursors. The grids show a table through a clone cursor each; the
// trader client writes records into the table from the stream thread.
//
// Threads: writers (UpdateTicker, ... , Log, AddSymbol) use a cursor of their own under the table's
// writer lock, so they never move the cursor that the table property hands to the user interface.
// Clone cursors belong to the thread that made them. The rows are shared safely underneath (see
// qmtDataTable.h). Files are written only at exit (or by SaveTable).
#pragma once

#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qmtDataTable.h"
#include "qmtWebSocket_Classes_Queues.h"

// A grid's clone cursor, filed under the grid's id.
class TqmtTraderCloneCursor : public TqmtQueueItemBase {
public:
  explicit TqmtTraderCloneCursor(const std::string& aId) { SetID(aId); }
  TqmtDataSet& CDS() { return *FCDS; }

private:
  friend class TqmtTraderData;
  std::unique_ptr<TqmtDataSet> FCDS;
};

class TqmtTraderCloneCursors : public TqmtQueue {};

class TqmtTraderData {
public:
  virtual ~TqmtTraderData();
  TqmtTraderData(const TqmtTraderData&) = delete;
  TqmtTraderData& operator=(const TqmtTraderData&) = delete;

  // A new clone cursor over the table with the table's filter and the grid display formats, filed
  // under aId. The table keeps it until DeleteCloneCursor(aId).
  TqmtDataSet& NewCloneCursor(const std::string& aId);
  void DeleteCloneCursor(const std::string& aId);

  // The table itself, created with its columns and key on first use.
  virtual TqmtDataSet& GetTable();
  virtual std::string GetFileName() const = 0;
  // The table file: the data folder + the file name.
  std::string FilePath() const;
  // Stored tables load their file (a missing file leaves the table empty) and save it; the others do
  // nothing.
  virtual void LoadTable();
  virtual void SaveTable();
  // Every row goes (a sign-in to another account or market).
  void Clear();
  // The rows whose key (text) is not in aKeep go; returns how many went.
  int KeepOnly(const std::vector<std::string>& aKeep);

protected:
  TqmtTraderData() = default;
  virtual void DoFormatFields(TqmtDataSet& aDataSet) {}
  virtual void DoCreateFields(TqmtDataSet& aTable) = 0;
  // The writers' own cursor, under FWriteLock.
  TqmtDataSet& Writer();
  // One record's row: find it by key and edit it, or insert it with the key; aFill sets the other
  // columns; post. Grid notification is suspended meanwhile and resumed on every path; a failure
  // leaves nothing posted.
  template <typename Fill>
  void Upsert(const TqmtValue& aKey, Fill&& aFill);

  std::mutex FWriteLock;

private:
  std::once_flag FTableOnce;
  std::unique_ptr<TqmtDataSet> FTable;
  std::unique_ptr<TqmtDataSet> FWriter;
  TqmtTraderCloneCursors FCloneCursors;
};

template <typename Fill>
void TqmtTraderData::Upsert(const TqmtValue& aKey, Fill&& aFill) {
  TqmtDataSet& lTable = Writer();
  lTable.DisableControls();
  try {
    const bool lFound = lTable.FindKey(aKey);
    if (lFound) {
      lTable.Edit();
    } else {
      lTable.Insert();
      lTable.Fields(lTable.FindFieldIndex(lTable.KeyFieldName())).SetValue(aKey);
    }
    aFill(lTable, !lFound);
    lTable.Post();
  } catch (...) {
    lTable.Cancel();
    lTable.EnableControls();
    throw;
  }
  lTable.EnableControls();
}

// Where the stored tables live: the program's folder + "db" unless set (tests, portable installs).
void SetTraderDataFolder(const std::string& aFolder);
std::string GetTraderDataFolder();
// The market whose watch list and symbol list are shown: "" (spot, the files of old), "USDM" or
// "COINM". Each market keeps files of its own ("qmtTicker_USDM.db", ...). Switching saves the
// current market's watch list and symbols, empties both tables and loads the new market's files;
// the grids see the change as any other. Called by the sign-in, before anything is subscribed.
void SetTraderDataMarket(const std::string& aMarket);
std::string GetTraderDataMarket();
// "qmtTicker" -> "qmtTicker.db" on spot, "qmtTicker_USDM.db" on USDT-margined futures.
std::string TraderDataMarketFile(const std::string& aBase);

// Off: the stored tables neither load nor save their files (a program that must not touch the
// desktop client's watch list). On by default.
void SetTraderDataStorage(bool aEnabled);

// Runs the shutdown hooks (the trader client registers its own destruction, so no stream thread
// writes into a table being freed), then saves the stored tables and destroys all six tables, in
// this order: symbols, ticker, position, orders, balance, log. Also runs at process exit. The
// tables are made afresh (and load their files) on the next accessor call.
void FreeTraderData();
// A hook that FreeTraderData runs first, every time.
void AddTraderDataShutdown(std::function<void()> aHook);
