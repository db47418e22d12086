// The trade tape of a trading page: the symbol's trades as they arrive, newest first (time, price,
// size), buys green and sells red by the taker's side, trades at or above a size the user sets
// ("Large ≥", kept per symbol) on a yellow ground in bold. The last 5,000 trades are kept.
//
// Threads. The trade listener (stream thread) only checks the symbol and appends a copy of the
// three fields to a pending list under a short lock; the user interface's thread takes the whole
// list ten times a second and inserts it at the top of the model in one step, so a burst of trades
// costs one layout, not one per trade. The listener ends with the frame (its registration), before
// anything it could reach goes.
#pragma once

#include <QAbstractTableModel>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "qmtTraderClient.h"
#include "qmtTraderFormBase.h"

struct TqmtTapeTrade {
  TDateTime Time;
  long double Price, Size;
  bool Sell;  // the taker sold (the buyer was the maker)
};

class TqmtTapeModel : public QAbstractTableModel {
public:
  static constexpr int kMaxRows = 5000;
  explicit TqmtTapeModel(QObject* aParent = nullptr) : QAbstractTableModel(aParent) {}
  int rowCount(const QModelIndex& aParent = QModelIndex()) const override { return aParent.isValid() ? 0 : static_cast<int>(FRows.size()); }
  int columnCount(const QModelIndex& aParent = QModelIndex()) const override { return aParent.isValid() ? 0 : 3; }
  QVariant data(const QModelIndex& aIndex, int aRole) const override;
  QVariant headerData(int aSection, Qt::Orientation aOrientation, int aRole) const override;
  // aTrades oldest first: they go on top, newest at row 0; the oldest beyond kMaxRows go.
  void Add(const std::vector<TqmtTapeTrade>& aTrades);
  const TqmtTapeTrade& Trade(int aRow) const { return FRows[static_cast<std::size_t>(aRow)]; }
  void SetLarge(long double aSize);
  void SetDecimals(int aDecimals) { FDecimals = aDecimals; }
  bool Large(int aRow) const { return FLarge > 0 && Trade(aRow).Size >= FLarge; }

private:
  std::deque<TqmtTapeTrade> FRows;  // newest first
  long double FLarge = 0;
  int FDecimals = 2;
};

class TFRAMETradeTape : public TFRAMEBase {
public:
  explicit TFRAMETradeTape(const std::string& aSymbol, QWidget* aParent = nullptr);
  ~TFRAMETradeTape() override;

  QLineEdit* txtLarge;  // "Large ≥": the size from which a trade stands out (empty: none)
  QTableView* grid;
  TqmtTapeModel& Model() { return FModel; }
  const std::string& Symbol() const { return FSymbol; }
  // Takes what the listener left (the timer does this by itself).
  void Drain();
  // The trade listener (stream thread).
  void OnTradeEvent(TObject* Sender, const TqmtTraderTrade& aTrade);

private:
  const std::string FSymbol;
  TqmtTapeModel FModel;
  std::mutex FLock;
  std::vector<TqmtTapeTrade> FPending, FTaken;
  QTimer FTimer;
  TqmtRegistration FListening;
};
