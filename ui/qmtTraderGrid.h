// The grid frames: TFRAMEBaseGrid (a tool bar with "Add", "Del", "Clear" over a grid bound to one
// cursor of a shared table), the ticker grid (the watch list, with "+Chart" and "+Trader"), the
// "Select Symbol" dialog and the log grid with its "Log" toggle.
//
// Threads: UI thread only. The tables are written on the stream thread; the grids see the writes
// through their model (qmtDataTableModel.h) and change the tables only through their own cursor.
// Lifetime: a frame that owns a clone cursor creates it under its Guid in its constructor and, in its
// destructor, first drops its model (which stops the change notices), then deletes the cursor.
#pragma once

#include "qmtTraderClient.h"

#include <mutex>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QToolBar>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qmtDataTableModel.h"
#include "qmtTraderFormBase.h"

class TFRAMEBaseGrid : public TFRAMEBase {
public:
  explicit TFRAMEBaseGrid(QWidget* aParent = nullptr);
  ~TFRAMEBaseGrid() override;

  QToolBar* gridBar;
  QAction* btnNewRecord;
  QAction* btnDeleteRecord;
  QAction* btnClearRecords;
  QAction* ToolButton1;  // separator
  QTableView* grid;
  // The model between the grid and its rows; null until Bind.
  TqmtDataTableModel* dsGrid() const { return FModel.get(); }

  virtual void DoBeforeDeleteRecord() {}
  // Market and account data grids turn grey while disconnected (the log does not).
  void SetStale(bool aStale, const QString& aSince) override;
  virtual void DoGetFilter(std::string& aFilter) {}
  // Applies a filter expression to the bound rows; the filter is switched on again on every path.
  virtual void SetFilter(const std::string& aFilter);
  virtual void DoNewRecord() {}
  // The selected rows: DoBeforeDeleteRecord, then the row is deleted, each. Nothing when no row is
  // selected (an empty grid included). The Delete key does the same where "Del" is enabled.
  virtual void DoDeleteRecord();
  // Every row, from the last to the first, each through DoDeleteRecord's steps, once
  // DoConfirmClear agreed (nothing is asked of an empty grid).
  virtual void DoClearRecords();
  virtual bool DoConfirmClear() { return true; }

  // The grid's current row as the model counts it (-1 when none).
  int CurrentRow() const;
  // A click on a column's title sorts by it (numbers as numbers), at first by aColumn in aOrder;
  // the rows keep their order as they change.
  void EnableSorting(int aColumn, Qt::SortOrder aOrder);
  // The model's row of a row as the grid shows it (the same without sorting; -1 for none).
  int SourceRow(int aGridRow) const;

protected:
  // Shows aCursor's rows in the grid with these columns (titles and widths).
  void Bind(TqmtDataSet& aCursor, std::vector<TqmtGridColumn> aColumns);
  // Drops the model: no notice reaches the frame afterwards. Before the cursor goes.
  void Unbind();
  // The steps of a deletion on the row the cursor is on.
  void DeleteCursorRecord();

private:
  std::unique_ptr<TqmtDataTableModel> FModel;
  class QSortFilterProxyModel* FSorted = nullptr;  // owned by the frame
};

// Sender and symbol of a chart or trading page request.
using TqmtTraderOnNewChartTicker = std::function<void(TFRAMEBase* Sender, const std::string& aSymbol)>;
using TqmtTraderOnNewChartTrader = std::function<void(TFRAMEBase* Sender, const std::string& aSymbol)>;

class TFRAMEGridTicker : public TFRAMEBaseGrid {
public:
  explicit TFRAMEGridTicker(QWidget* aParent = nullptr);
  ~TFRAMEGridTicker() override;

  QAction* btnChartTicker;
  QAction* btnChartTrader;
  TqmtTraderOnNewChartTicker OnNewChartTicker;
  TqmtTraderOnNewChartTrader OnNewChartTrader;

  void DoBeforeDeleteRecord() override;
  void DoNewRecord() override;
  // "Clear" asks first: every symbol leaves the watch list.
  bool DoConfirmClear() override;
  virtual void DoNewChartTicker();
  virtual void DoNewChartTrader();
  // The row of aSymbol selected and shown (false when it is not listed).
  bool SelectSymbol(const std::string& aSymbol);

private:
  // The symbol of the current row (the first row when none is current), empty on an empty grid.
  std::string CurrentSymbol() const;
};

// "Refresh" reads the exchange's symbol list on the trader client's command queue: the button says
// "Refreshing..." until the result comes (a listener call on the queue's worker, posted here; the
// registration ends with the dialog).
class TFRMGridTicker_NewRecord : public TFRMTraderBaseModal {
public:
  explicit TFRMGridTicker_NewRecord(QWidget* aParent = nullptr);
  ~TFRMGridTicker_NewRecord() override;

  QLabel* Label1;
  QLineEdit* txtFilter;  // typing narrows the list to the symbols that contain the text, any case
  QComboBox* cboSymbols;
  QPushButton* btnGetSymbols;
  bool AlreadyListed = false;  // "Ok" picked a symbol the watch list has already

  void OnCommandResult(TObject* Sender, const TqmtTraderCommandResult& aResult);

protected:
  void DoOk() override;
  void btnGetSymbolsClick();

private:
  // The symbols table's "SYMBOL" texts, in table order, none selected.
  void FillSymbols();
  void Refreshed(const std::string& aFailure);
  // Held across the submission: the result cannot be looked at before its ticket is known.
  std::mutex FRefreshLock;
  std::uint64_t FRefreshTicket = 0;
  TqmtTraderClient* FClient = nullptr;  // the one registered with
  TqmtRegistration FRegistration;
};

class TFRAMEGridLog : public TFRAMEBaseGrid {
public:
  explicit TFRAMEGridLog(QWidget* aParent = nullptr);
  ~TFRAMEGridLog() override;

  QAction* btnLogEnabled;

  void btnLogEnabledClick();
  void SetStale(bool, const QString&) override {}
};
