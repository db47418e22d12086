#include "qmtTradeTape.h"

#include <QDateTime>
#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QTimeZone>
#include <QVBoxLayout>

#include <cmath>

#include "qmtTradeBar.h"
#include "qmtTraderSettings.h"

namespace {
// A TDateTime is local wall-clock days since 1899-12-30: shown as it stands.
QString TimeText(TDateTime aTime) {
  const auto lMs = static_cast<qint64>(std::llround((static_cast<double>(aTime) - 25569.0) * 86400000.0));
  return QDateTime::fromMSecsSinceEpoch(lMs, QTimeZone::utc()).toString("hh:mm:ss.zzz");
}
}  // namespace

QVariant TqmtTapeModel::data(const QModelIndex& aIndex, int aRole) const {
  if (!aIndex.isValid() || aIndex.row() >= rowCount()) return {};
  const TqmtTapeTrade& t = Trade(aIndex.row());
  switch (aRole) {
    case Qt::DisplayRole:
      if (aIndex.column() == 0) return TimeText(t.Time);
      if (aIndex.column() == 1) return QString::number(static_cast<double>(t.Price), 'f', FDecimals);
      return QString::fromStdString(TradeBarNumberText(t.Size));
    case Qt::ForegroundRole: return QColor(t.Sell ? QColor(190, 40, 40) : QColor(30, 140, 60));
    case Qt::BackgroundRole:
      if (Large(aIndex.row())) return QColor(255, 240, 170);
      return {};
    case Qt::FontRole:
      if (Large(aIndex.row())) {
        QFont f;
        f.setBold(true);
        return f;
      }
      return {};
    case Qt::TextAlignmentRole: return static_cast<int>((aIndex.column() == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
    default: return {};
  }
}

QVariant TqmtTapeModel::headerData(int aSection, Qt::Orientation aOrientation, int aRole) const {
  if (aOrientation != Qt::Horizontal || aRole != Qt::DisplayRole) return {};
  static const char* kNames[] = {"Time", "Price", "Size"};
  return aSection >= 0 && aSection < 3 ? QString(kNames[aSection]) : QVariant();
}

void TqmtTapeModel::Add(const std::vector<TqmtTapeTrade>& aTrades) {
  if (aTrades.empty()) return;
  // At most what fits: the newest of a burst longer than the tape.
  const std::size_t lTake = std::min<std::size_t>(aTrades.size(), kMaxRows);
  beginInsertRows(QModelIndex(), 0, static_cast<int>(lTake) - 1);
  for (std::size_t i = aTrades.size() - lTake; i < aTrades.size(); ++i) FRows.push_front(aTrades[i]);
  endInsertRows();
  if (FRows.size() > kMaxRows) {
    beginRemoveRows(QModelIndex(), kMaxRows, static_cast<int>(FRows.size()) - 1);
    FRows.resize(kMaxRows);
    endRemoveRows();
  }
}

void TqmtTapeModel::SetLarge(long double aSize) {
  FLarge = aSize;
  if (!FRows.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 2));
}

TFRAMETradeTape::TFRAMETradeTape(const std::string& aSymbol, QWidget* aParent) : TFRAMEBase(aParent), FSymbol(aSymbol) {
  setObjectName("FRAMETradeTape");
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  lLayout->setSpacing(2);
  auto* lHead = new QHBoxLayout();
  lHead->setContentsMargins(2, 2, 2, 0);
  lHead->addWidget(new QLabel("Large ≥", this));
  txtLarge = new QLineEdit(this);
  txtLarge->setPlaceholderText("size");
  txtLarge->setToolTip("Trades of this size or more stand out (empty: none)");
  lHead->addWidget(txtLarge, 1);
  lLayout->addLayout(lHead);
  grid = new QTableView(this);
  grid->setModel(&FModel);
  grid->verticalHeader()->hide();
  grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid->verticalHeader()->setDefaultSectionSize(18);
  // The time and the size as wide as they need, the price the rest.
  QHeaderView* lHeader = grid->horizontalHeader();
  lHeader->setSectionResizeMode(QHeaderView::Fixed);
  lHeader->setSectionResizeMode(1, QHeaderView::Stretch);
  lHeader->resizeSection(0, grid->fontMetrics().horizontalAdvance("00:00:00.000") + 10);
  lHeader->resizeSection(2, grid->fontMetrics().horizontalAdvance("0000.000") + 10);
  grid->setSelectionMode(QAbstractItemView::NoSelection);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setShowGrid(false);
  lLayout->addWidget(grid, 1);

  const std::string lLarge = GetTraderSettings().ReadString(FSymbol + ".Tape", "Large", "");
  txtLarge->setText(QString::fromStdString(lLarge));
  auto lApply = [this] {
    const std::string lText = txtLarge->text().trimmed().toStdString();
    long double lSize = 0;
    try {
      lSize = lText.empty() ? 0 : TradeBarTextToNumber(lText);
    } catch (const std::exception&) {
      txtLarge->setStyleSheet("color: #b00;");
      txtLarge->setToolTip("Not a number: trades of this size or more stand out (empty: none)");
      return;
    }
    txtLarge->setStyleSheet(QString());
    FModel.SetLarge(lSize);
    GetTraderSettings().WriteString(FSymbol + ".Tape", "Large", lText);
  };
  connect(txtLarge, &QLineEdit::editingFinished, this, lApply);
  lApply();
  if (TqmtTraderClient* c = GetTraderClient()) {
    if (TqmtTraderSymbol* s = c->Broker().Symbols().GetSymbol(FSymbol); s && s->PriceStep() > 0)
      FModel.SetDecimals(std::max(0, static_cast<int>(std::ceil(-std::log10(static_cast<double>(s->PriceStep())) - 1e-9))));
    FListening = c->ListenTrade({this, &TFRAMETradeTape::OnTradeEvent});
  }
  FTimer.setInterval(100);
  connect(&FTimer, &QTimer::timeout, this, [this] { Drain(); });
  FTimer.start();
}

TFRAMETradeTape::~TFRAMETradeTape() {
  FTimer.stop();
  FListening.Reset();  // waits for a running notification
}

void TFRAMETradeTape::OnTradeEvent(TObject*, const TqmtTraderTrade& aTrade) {
  if (aTrade.Symbol() != FSymbol) return;
  std::lock_guard g(FLock);
  FPending.push_back({aTrade.Date(), aTrade.Price(), aTrade.Size(), aTrade.BuyerMaker()});
}

void TFRAMETradeTape::Drain() {
  {
    std::lock_guard g(FLock);
    FTaken.swap(FPending);
  }
  FModel.Add(FTaken);
  FTaken.clear();
}
