#include "qmtDataTableModel.h"

#include "qmtTraderHelpers.h"

#include <QColor>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <unordered_set>

struct TqmtDataTableModel::TLink {
  std::mutex Lock;
  TqmtDataTableModel* Model = nullptr;  // cut by the model's destructor
  std::atomic<bool> Posted{false};      // a flush is asked for and has not run yet

  void Notice() {
    if (Posted.exchange(true)) return;  // one post per burst
    std::lock_guard lGuard(Lock);
    if (Model) QMetaObject::invokeMethod(Model, &TqmtDataTableModel::ArmFlush, Qt::QueuedConnection);
  }
};

std::string DateTimeText(double aDateTime) {
  // Civil date from days since 1899-12-30 (day 25569 is 1970-01-01).
  const double lMs = std::round(aDateTime * 86400000.0);
  long long lTotalMs = static_cast<long long>(lMs);
  long long lDays = lTotalMs / 86400000;
  long long lDayMs = lTotalMs % 86400000;
  if (lDayMs < 0) {
    lDayMs += 86400000;
    --lDays;
  }
  long long z = lDays - 25569 + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char lText[64];
  std::snprintf(lText, sizeof lText, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld", y, m, d, lDayMs / 3600000,
                lDayMs / 60000 % 60, lDayMs / 1000 % 60, lDayMs % 1000);
  return lText;
}

TqmtDataTableModel::TqmtDataTableModel(TqmtDataSet& aCursor, std::vector<TqmtGridColumn> aColumns, QObject* aParent)
    : QAbstractTableModel(aParent), FCursor(aCursor), FColumns(std::move(aColumns)), FLink(std::make_shared<TLink>()) {
  if (FColumns.empty())
    for (const auto& f : FCursor.FieldDefs()) FColumns.push_back({f.Name, QString::fromStdString(f.Name), -1});
  for (const auto& c : FColumns) {
    const int lIndex = FCursor.FindFieldIndex(c.Field);
    if (lIndex < 0) throw EDatabaseError("Field '" + c.Field + "' not found");
    FFieldIndex.push_back(lIndex);
    const TFieldType t = FCursor.FieldDefs()[static_cast<std::size_t>(lIndex)].DataType;
    FNumeric.push_back(t == TFieldType::ftExtended || t == TFieldType::ftCurrency || t == TFieldType::ftInteger);
  }
  FLink->Model = this;
  FTimer.setSingleShot(true);
  FTimer.setInterval(80);
  connect(&FTimer, &QTimer::timeout, this, &TqmtDataTableModel::Refresh);
  FRows = FCursor.Rows();
  FObserver = FCursor.AddObserver([lLink = FLink] { lLink->Notice(); });
}

TqmtDataTableModel::~TqmtDataTableModel() {
  FCursor.RemoveObserver(FObserver);
  std::lock_guard lGuard(FLink->Lock);
  FLink->Model = nullptr;
}

void TqmtDataTableModel::ArmFlush() {
  if (!FTimer.isActive()) FTimer.start();
}

int TqmtDataTableModel::rowCount(const QModelIndex& aParent) const {
  return aParent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TqmtDataTableModel::columnCount(const QModelIndex& aParent) const {
  return aParent.isValid() ? 0 : static_cast<int>(FColumns.size());
}

QString TqmtDataTableModel::DisplayText(const TqmtValue& aValue, int aField) const {
  const TFieldType t = FCursor.FieldDefs()[static_cast<std::size_t>(aField)].DataType;
  if (t == TFieldType::ftDateTime && std::holds_alternative<double>(aValue))
    return QString::fromStdString(DateTimeText(std::get<double>(aValue)));
  return QString::fromStdString(FCursor.DisplayValue(aField, aValue));
}

QVariant TqmtDataTableModel::data(const QModelIndex& aIndex, int aRole) const {
  if (!aIndex.isValid() || aIndex.row() >= rowCount() || aIndex.column() >= columnCount()) return {};
  const auto c = static_cast<std::size_t>(aIndex.column());
  if (aRole == Qt::DisplayRole) {
    const auto& lValues = *FRows[static_cast<std::size_t>(aIndex.row())].Values;
    const auto f = static_cast<std::size_t>(FFieldIndex[c]);
    return f < lValues.size() ? DisplayText(lValues[f], FFieldIndex[c]) : QString();
  }
  if (aRole == kSortRole) {
    const auto& lValues = *FRows[static_cast<std::size_t>(aIndex.row())].Values;
    const auto f = static_cast<std::size_t>(FFieldIndex[c]);
    if (f >= lValues.size()) return {};
    const std::string lText = TqmtField::ValueToText(lValues[f]);
    if (FNumeric[c]) {
      try {
        return static_cast<double>(TraderStrToFloat(lText));  // "." whatever the locale
      } catch (const std::exception&) {
        return 0.0;
      }
    }
    return QString::fromStdString(lText);
  }
  if (aRole == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::Alignment(FNumeric[c] ? Qt::AlignRight | Qt::AlignVCenter : Qt::AlignLeft | Qt::AlignVCenter));
  if (FStale && aRole == Qt::ForegroundRole) return QColor(150, 150, 150);
  if (FStale && aRole == Qt::ToolTipRole) return "Not live: the last update came before " + FStaleSince;
  if (aRole == Qt::BackgroundRole && Marked(aIndex.row())) return FMarkBackground;
  if (aRole == Qt::ToolTipRole && Marked(aIndex.row())) return FMarkTip;
  return {};
}

void TqmtDataTableModel::SetRowMark(const std::string& aField, const std::string& aValue, const QColor& aBackground,
                                    const QString& aTip) {
  FMarkField = FCursor.FindFieldIndex(aField);
  FMarkValue = aValue;
  FMarkBackground = aBackground;
  FMarkTip = aTip;
}

bool TqmtDataTableModel::Marked(int aRow) const {
  if (FMarkField < 0) return false;
  const auto& lValues = *FRows[static_cast<std::size_t>(aRow)].Values;
  const auto f = static_cast<std::size_t>(FMarkField);
  return f < lValues.size() && TqmtField::ValueToText(lValues[f]) == FMarkValue;
}

void TqmtDataTableModel::SetStale(bool aStale, const QString& aSince) {
  if (FStale == aStale && FStaleSince == aSince) return;
  FStale = aStale;
  FStaleSince = aSince;
  if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1), {Qt::ForegroundRole, Qt::ToolTipRole});
}

QVariant TqmtDataTableModel::headerData(int aSection, Qt::Orientation aOrientation, int aRole) const {
  if (aOrientation != Qt::Horizontal || aSection < 0 || aSection >= columnCount()) return {};
  if (aRole == Qt::DisplayRole) return FColumns[static_cast<std::size_t>(aSection)].Title;
  if (aRole == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::Alignment(FNumeric[static_cast<std::size_t>(aSection)] ? Qt::AlignRight | Qt::AlignVCenter
                                                                                          : Qt::AlignLeft | Qt::AlignVCenter));
  return {};
}

const TqmtRowRef* TqmtDataTableModel::Row(int aRow) const {
  return aRow >= 0 && aRow < rowCount() ? &FRows[static_cast<std::size_t>(aRow)] : nullptr;
}

std::string TqmtDataTableModel::Text(int aRow, const std::string& aField) const {
  const TqmtRowRef* r = Row(aRow);
  const int f = FCursor.FindFieldIndex(aField);
  if (!r || f < 0 || static_cast<std::size_t>(f) >= r->Values->size()) return {};
  return TqmtField::ValueToText((*r->Values)[static_cast<std::size_t>(f)]);
}

bool TqmtDataTableModel::MoveCursorTo(int aRow) {
  const TqmtRowRef* r = Row(aRow);
  return r && FCursor.GotoRow(*r);
}

void TqmtDataTableModel::Refresh() {
  // Cleared before reading: a write after this read posts a new flush.
  FLink->Posted.store(false);
  FTimer.stop();
  ++FFlushes;
  std::vector<TqmtRowRef> lNew = FCursor.Rows();
  const int lColumns = columnCount();

  // Rows gone from the table, in runs from the end.
  std::unordered_set<const void*> lNewIds;
  lNewIds.reserve(lNew.size());
  for (const auto& r : lNew) lNewIds.insert(r.Id.get());
  for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(FRows.size()) - 1; i >= 0;) {
    if (lNewIds.count(FRows[static_cast<std::size_t>(i)].Id.get())) {
      --i;
      continue;
    }
    std::ptrdiff_t k = i;
    while (k > 0 && !lNewIds.count(FRows[static_cast<std::size_t>(k - 1)].Id.get())) --k;
    beginRemoveRows(QModelIndex(), static_cast<int>(k), static_cast<int>(i));
    FRows.erase(FRows.begin() + k, FRows.begin() + i + 1);
    endRemoveRows();
    i = k - 1;
  }

  // New rows, in runs, and changed rows; a row that moved (its key was edited) resets the model.
  std::unordered_set<const void*> lOldIds;
  lOldIds.reserve(FRows.size());
  for (const auto& r : FRows) lOldIds.insert(r.Id.get());
  std::vector<std::pair<int, int>> lChanged;  // runs [first, last] in the final rows
  std::size_t i = 0, j = 0;
  while (i < lNew.size()) {
    if (j < FRows.size() && FRows[j].Id == lNew[i].Id) {
      if (FRows[j].Values != lNew[i].Values) {
        FRows[j].Values = lNew[i].Values;
        if (!lChanged.empty() && lChanged.back().second == static_cast<int>(j) - 1)
          lChanged.back().second = static_cast<int>(j);
        else
          lChanged.emplace_back(static_cast<int>(j), static_cast<int>(j));
      }
      ++i, ++j;
    } else if (!lOldIds.count(lNew[i].Id.get())) {
      std::size_t k = i;
      while (k < lNew.size() && !lOldIds.count(lNew[k].Id.get())) ++k;
      beginInsertRows(QModelIndex(), static_cast<int>(j), static_cast<int>(j + (k - i) - 1));
      FRows.insert(FRows.begin() + static_cast<std::ptrdiff_t>(j), lNew.begin() + static_cast<std::ptrdiff_t>(i),
                   lNew.begin() + static_cast<std::ptrdiff_t>(k));
      endInsertRows();
      j += k - i;
      i = k;
    } else {
      beginResetModel();
      FRows = std::move(lNew);
      endResetModel();
      return;
    }
  }
  for (const auto& [lFirst, lLast] : lChanged) emit dataChanged(index(lFirst, 0), index(lLast, lColumns - 1), {Qt::DisplayRole});
}
