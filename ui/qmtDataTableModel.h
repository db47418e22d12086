// A Qt table model over one cursor of a shared data table: the adapter between the trading core's
// tables and the grids.
//
// Threads. The model, its rows and its cursor belong to the user-interface thread. The table is
// written on the stream thread; each write calls the cursor's change notice there. The notice only
// marks the model stale and, once per burst, posts one call to the UI thread that arms a timer
// (FlushInterval, 80 ms); when the timer fires the model reads the rows once (one short step under
// the table's lock), compares them with what it shows (rows are never changed in place, so a
// changed row is a new pointer), and signals removed and inserted row ranges and one dataChanged
// per run of changed rows. The notice never waits for the UI thread and never touches a widget.
//
// Lifetime. The notice reaches the model through a small shared link that the model cuts in its
// destructor under the link's lock: a notice that runs while the page closes either posts before
// the cut (the posted call dies with the model) or sees no model. Destroy the model before the
// cursor it reads.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "qmtDataTable.h"

struct TqmtGridColumn {
  std::string Field;
  QString Title;
  int Width = -1;  // pixels; -1 leaves the view's default
};

class TqmtDataTableModel : public QAbstractTableModel {
  Q_OBJECT
public:
  // aColumns empty shows every field under its own name.
  TqmtDataTableModel(TqmtDataSet& aCursor, std::vector<TqmtGridColumn> aColumns, QObject* aParent = nullptr);
  ~TqmtDataTableModel() override;

  int rowCount(const QModelIndex& aParent = QModelIndex()) const override;
  int columnCount(const QModelIndex& aParent = QModelIndex()) const override;
  QVariant data(const QModelIndex& aIndex, int aRole = Qt::DisplayRole) const override;
  QVariant headerData(int aSection, Qt::Orientation aOrientation, int aRole = Qt::DisplayRole) const override;

  TqmtDataSet& Cursor() { return FCursor; }
  const std::vector<TqmtGridColumn>& Columns() const { return FColumns; }
  // The row as shown (empty when out of range).
  const TqmtRowRef* Row(int aRow) const;
  // A field's value in a shown row, as text (empty when out of range or unknown).
  std::string Text(int aRow, const std::string& aField) const;
  // Positions the cursor on a shown row; false when that row has gone from the table meanwhile.
  bool MoveCursorTo(int aRow);

  // Qt::UserRole: what the column sorts by (numbers and times as numbers, text as text).
  static constexpr int kSortRole = Qt::UserRole;
  // Rows whose aField holds aValue are shown on aBackground with aTip (one mark per model).
  void SetRowMark(const std::string& aField, const std::string& aValue, const QColor& aBackground, const QString& aTip);

  // Rows shown as no longer live: grey, with a tooltip naming since when (aSince "" when live).
  void SetStale(bool aStale, const QString& aSince);
  bool Stale() const { return FStale; }

  // Brings the rows up to date now (the timer does it by itself).
  void Refresh();
  int FlushInterval() const { return FTimer.interval(); }
  // Times the model re-read its rows, for tests and measurements.
  std::uint64_t Flushes() const { return FFlushes; }

private:
  int FMarkField = -1;
  std::string FMarkValue;
  QColor FMarkBackground;
  QString FMarkTip;
  bool Marked(int aRow) const;
  bool FStale = false;
  QString FStaleSince;
  struct TLink;
  void ArmFlush();
  QString DisplayText(const TqmtValue& aValue, int aField) const;

  TqmtDataSet& FCursor;
  std::vector<TqmtGridColumn> FColumns;
  std::vector<int> FFieldIndex;  // per column, the cursor's field index
  std::vector<bool> FNumeric;    // per column
  std::vector<TqmtRowRef> FRows;
  std::shared_ptr<TLink> FLink;
  int FObserver = 0;
  QTimer FTimer;
  std::uint64_t FFlushes = 0;
};

// A date-time (days since 1899-12-30) as "yyyy-mm-dd hh:mm:ss.zzz".
std::string DateTimeText(double aDateTime);
