#include "qmtTraderGrid.h"

#include <algorithm>

#include <QGridLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QVBoxLayout>

#include "qmtTraderClient.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Symbols.h"
#include "qmtTraderData_Ticker.h"
#include "qmtUIApplication.h"

// ---- the grid frame base -------------------------------------------------------------------------

TFRAMEBaseGrid::TFRAMEBaseGrid(QWidget* aParent) : TFRAMEBase(aParent) {
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  lLayout->setSpacing(0);
  gridBar = new QToolBar(this);
  gridBar->setObjectName("gridBar");
  gridBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  btnNewRecord = gridBar->addAction("Add");
  btnDeleteRecord = gridBar->addAction("Del");
  btnClearRecords = gridBar->addAction("Clear");
  ToolButton1 = gridBar->addSeparator();
  grid = new QTableView(this);
  grid->setObjectName("grid");
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setSelectionMode(QAbstractItemView::SingleSelection);
  grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  grid->horizontalHeader()->setHighlightSections(false);
  grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
  grid->verticalHeader()->setMinimumWidth(14);  // the row indicator column
  lLayout->addWidget(gridBar);
  lLayout->addWidget(grid, 1);
  connect(btnNewRecord, &QAction::triggered, this, [this] { UIAction([this] { DoNewRecord(); }); });
  connect(btnDeleteRecord, &QAction::triggered, this, [this] { UIAction([this] { DoDeleteRecord(); }); });
  connect(btnClearRecords, &QAction::triggered, this, [this] { UIAction([this] { DoClearRecords(); }); });
}

TFRAMEBaseGrid::~TFRAMEBaseGrid() { Unbind(); }

void TFRAMEBaseGrid::Bind(TqmtDataSet& aCursor, std::vector<TqmtGridColumn> aColumns) {
  Unbind();
  FModel = std::make_unique<TqmtDataTableModel>(aCursor, std::move(aColumns));
  grid->setModel(FModel.get());
  // The given widths, but a number column is never so narrow that a price like 27128.4500 is cut.
  // Nor a date-time column so narrow that the time of day is cut.
  const int lNumberWidth = grid->fontMetrics().horizontalAdvance("000000.0000") + 12;
  const int lDateWidth = grid->fontMetrics().horizontalAdvance("0000-00-00 00:00:00.000") + 12;
  for (int c = 0; c < static_cast<int>(FModel->Columns().size()); ++c) {
    int lWidth = FModel->Columns()[static_cast<std::size_t>(c)].Width;
    if (lWidth <= 0) continue;
    if (FModel->headerData(c, Qt::Horizontal, Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignRight)
      lWidth = std::max(lWidth, lNumberWidth);
    const int lField = aCursor.FindFieldIndex(FModel->Columns()[static_cast<std::size_t>(c)].Field);
    if (aCursor.FieldDefs()[static_cast<std::size_t>(lField)].DataType == TFieldType::ftDateTime) lWidth = std::max(lWidth, lDateWidth);
    grid->setColumnWidth(c, lWidth);
  }
}

void TFRAMEBaseGrid::Unbind() {
  if (!FModel) return;
  grid->setModel(nullptr);
  if (FSorted) FSorted->setSourceModel(nullptr);
  FModel.reset();
}

int TFRAMEBaseGrid::CurrentRow() const {
  const QModelIndex lIndex = grid->currentIndex();
  return lIndex.isValid() ? SourceRow(lIndex.row()) : -1;
}

int TFRAMEBaseGrid::SourceRow(int aGridRow) const {
  if (aGridRow < 0) return -1;
  if (!FSorted) return aGridRow;
  return FSorted->mapToSource(FSorted->index(aGridRow, 0)).row();
}

void TFRAMEBaseGrid::EnableSorting(int aColumn, Qt::SortOrder aOrder) {
  if (!FModel) return;
  if (!FSorted) FSorted = new QSortFilterProxyModel(this);
  FSorted->setSourceModel(FModel.get());
  FSorted->setSortRole(TqmtDataTableModel::kSortRole);
  FSorted->setDynamicSortFilter(true);
  grid->setModel(FSorted);
  grid->setSortingEnabled(true);
  grid->sortByColumn(aColumn, aOrder);
}

void TFRAMEBaseGrid::SetFilter(const std::string& aFilter) {
  if (!FModel) return;
  TqmtDataSet& lCursor = FModel->Cursor();
  grid->setUpdatesEnabled(false);
  std::string lFilter = aFilter;
  struct Resume {
    TFRAMEBaseGrid* f;
    ~Resume() {
      f->dsGrid()->Cursor().SetFiltered(true);
      f->dsGrid()->Refresh();
      f->grid->setUpdatesEnabled(true);
    }
  } lResume{this};
  lCursor.SetFiltered(false);
  DoGetFilter(lFilter);
  lCursor.SetFilter(lFilter);
}

void TFRAMEBaseGrid::DeleteCursorRecord() {
  DoBeforeDeleteRecord();
  FModel->Cursor().Delete();
}

void TFRAMEBaseGrid::DoDeleteRecord() {
  if (!FModel || !grid->selectionModel()) return;
  // The selected rows only, as the model counts them, the last first (the rows before stay put).
  std::vector<int> lRows;
  for (const QModelIndex& i : grid->selectionModel()->selectedRows()) lRows.push_back(SourceRow(i.row()));
  if (lRows.empty()) return;
  std::sort(lRows.rbegin(), lRows.rend());
  lRows.erase(std::unique(lRows.begin(), lRows.end()), lRows.end());
  FModel->Refresh();
  for (int lRow : lRows)
    if (FModel->MoveCursorTo(lRow)) DeleteCursorRecord();  // a row that has just gone is skipped
  grid->selectionModel()->clearSelection();
  FModel->Refresh();
}

void TFRAMEBaseGrid::DoClearRecords() {
  if (!FModel) return;
  FModel->Refresh();
  if (FModel->rowCount() == 0 || !DoConfirmClear()) return;
  grid->setUpdatesEnabled(false);
  struct Resume {
    TFRAMEBaseGrid* f;
    ~Resume() {
      f->dsGrid()->Refresh();
      f->grid->setUpdatesEnabled(true);
    }
  } lResume{this};
  for (int lRow = FModel->rowCount() - 1; lRow >= 0; --lRow)
    if (FModel->MoveCursorTo(lRow)) DeleteCursorRecord();
}

// ---- the ticker grid -----------------------------------------------------------------------------

TFRAMEGridTicker::TFRAMEGridTicker(QWidget* aParent) : TFRAMEBaseGrid(aParent) {
  setObjectName("FRAMEGridTicker");
  btnChartTicker = gridBar->addAction("+Chart");
  btnChartTrader = gridBar->addAction("+Trader");
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->verticalHeader()->hide();
  TqmtDataSet& lCursor = GetTraderDataTicker().NewCloneCursor(Guid());
  Bind(lCursor, {{"SYMBOL", "Symbol", 117},
                 {"OPEN", "Open", 84},
                 {"HIGH", "High", 84},
                 {"LOW", "Low", 86},
                 {"BID", "Bid", 76},
                 {"ASK", "Ask", 74},
                 {"PRICE", "Price", 97},
                 {"SIZE", "Size", 90}});
  connect(btnChartTicker, &QAction::triggered, this, [this] { UIAction([this] { DoNewChartTicker(); }); });
  connect(btnChartTrader, &QAction::triggered, this, [this] { UIAction([this] { DoNewChartTrader(); }); });
  // Several rows may be selected; the Delete key is "Del".
  grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
  auto* lDelete = new QShortcut(QKeySequence(Qt::Key_Delete), grid);
  lDelete->setContext(Qt::WidgetShortcut);
  connect(lDelete, &QShortcut::activated, this, [this] { UIAction([this] { DoDeleteRecord(); }); });
  // A double-click opens the symbol's trading page.
  connect(grid, &QTableView::doubleClicked, this, [this](const QModelIndex& aIndex) {
    grid->setCurrentIndex(aIndex);  // the row clicked, whatever was current
    UIAction([this] { DoNewChartTrader(); });
  });
}

bool TFRAMEGridTicker::DoConfirmClear() {
  QMessageBox lBox(QMessageBox::Question, "Clear", QString("Remove all %1 symbols from the watch list?").arg(dsGrid()->rowCount()),
                   QMessageBox::Yes | QMessageBox::No, window());
  lBox.setObjectName("ClearQuestion");
  lBox.setDefaultButton(QMessageBox::No);
  return lBox.exec() == QMessageBox::Yes;
}

bool TFRAMEGridTicker::SelectSymbol(const std::string& aSymbol) {
  if (!dsGrid()) return false;
  dsGrid()->Refresh();
  for (int i = 0; i < grid->model()->rowCount(); ++i)
    if (dsGrid()->Text(SourceRow(i), "SYMBOL") == aSymbol) {
      grid->selectRow(i);
      grid->scrollTo(grid->model()->index(i, 0));
      return true;
    }
  return false;
}

TFRAMEGridTicker::~TFRAMEGridTicker() {
  Unbind();
  GetTraderDataTicker().DeleteCloneCursor(Guid());
}

void TFRAMEGridTicker::DoBeforeDeleteRecord() {
  const std::string lSymbol = dsGrid()->Cursor().FieldByName("SYMBOL").AsString();
  if (TqmtTraderClient* c = GetTraderClient())
    c->UnSubscribeTicker(lSymbol);
  else
    GetTraderDataTicker().Unwatch(lSymbol);  // no client: nothing can write it back, but say so anyway
}

void TFRAMEBaseGrid::SetStale(bool aStale, const QString& aSince) {
  if (dsGrid()) dsGrid()->SetStale(aStale, aSince);
}

void TFRAMEGridTicker::DoNewRecord() {
  TFRMGridTicker_NewRecord lDialog(window());
  if (lDialog.exec() != QDialog::Accepted || lDialog.cboSymbols->currentIndex() < 0) return;
  // A symbol already listed is selected, and the status bar says so.
  const std::string lSymbol = lDialog.cboSymbols->currentText().toStdString();
  if (lDialog.AlreadyListed) {
    SelectSymbol(lSymbol);
    ReportUIMessage(lSymbol + " is on the watch list already");
  }
}

std::string TFRAMEGridTicker::CurrentSymbol() const {
  int lRow = CurrentRow();
  if (lRow < 0) lRow = 0;
  return dsGrid()->Text(lRow, "SYMBOL");
}

void TFRAMEGridTicker::DoNewChartTicker() {
  const std::string lSymbol = CurrentSymbol();
  if (OnNewChartTicker && !lSymbol.empty()) OnNewChartTicker(this, lSymbol);
}

void TFRAMEGridTicker::DoNewChartTrader() {
  const std::string lSymbol = CurrentSymbol();
  if (OnNewChartTrader && !lSymbol.empty()) OnNewChartTrader(this, lSymbol);
}

// ---- the "Select Symbol" dialog ------------------------------------------------------------------

TFRMGridTicker_NewRecord::TFRMGridTicker_NewRecord(QWidget* aParent) : TFRMTraderBaseModal(aParent) {
  setWindowTitle("Select Symbol");
  setFixedSize(305, 202);
  Label1 = new QLabel("Symbol", pnlBody);
  txtFilter = new QLineEdit(pnlBody);
  txtFilter->setObjectName("txtFilter");
  txtFilter->setPlaceholderText("type to filter");
  txtFilter->setClearButtonEnabled(true);
  cboSymbols = new QComboBox(pnlBody);
  cboSymbols->setObjectName("cboSymbols");
  cboSymbols->setEditable(false);
  cboSymbols->setMaxVisibleItems(20);
  btnGetSymbols = new QPushButton("Refresh", pnlBody);
  btnGetSymbols->setObjectName("btnGetSymbols");
  btnGetSymbols->setAutoDefault(false);
  btnCancel->setAutoDefault(false);
  Label1->setBuddy(cboSymbols);
  auto* lBody = new QGridLayout(pnlBody);
  lBody->setContentsMargins(16, 16, 16, 8);
  lBody->addWidget(Label1, 0, 0, 1, 2);
  lBody->addWidget(txtFilter, 1, 0, 1, 2);
  lBody->addWidget(cboSymbols, 2, 0);
  lBody->addWidget(btnGetSymbols, 2, 1);
  lBody->setColumnStretch(0, 1);
  lBody->setRowStretch(3, 1);
  // The list follows the filter as it is typed, its first match picked; Enter there is "Ok".
  connect(txtFilter, &QLineEdit::textChanged, this, [this] { FillSymbols(); });
  connect(txtFilter, &QLineEdit::returnPressed, this, [this] {
    if (cboSymbols->currentIndex() >= 0) btnOk->click();
  });
  connect(btnGetSymbols, &QPushButton::clicked, this, [this] { UIAction([this] { btnGetSymbolsClick(); }); });
  FillSymbols();
  txtFilter->setFocus();  // typing filters at once
  FClient = GetTraderClient();
  if (FClient) FRegistration = FClient->ListenCommandResult({this, &TFRMGridTicker_NewRecord::OnCommandResult});
}

TFRMGridTicker_NewRecord::~TFRMGridTicker_NewRecord() { FRegistration.Reset(); }

void TFRMGridTicker_NewRecord::OnCommandResult(TObject*, const TqmtTraderCommandResult& aResult) {
  {
    std::lock_guard g(FRefreshLock);
    if (aResult.Ticket == 0 || aResult.Ticket != FRefreshTicket) return;
  }
  const std::string lFailure = aResult.Outcome == TqmtTraderOutcome::tocAccepted ? std::string() : aResult.Text();
  QMetaObject::invokeMethod(this, [this, lFailure] { Refreshed(lFailure); }, Qt::QueuedConnection);
}

void TFRMGridTicker_NewRecord::Refreshed(const std::string& aFailure) {
  btnGetSymbols->setEnabled(true);
  btnGetSymbols->setText("Refresh");
  FillSymbols();
  if (!aFailure.empty()) ReportUIException(aFailure);
}

void TFRMGridTicker_NewRecord::FillSymbols() {
  cboSymbols->clear();
  TqmtDataSet& lTable = GetTraderDataSymbols().CDSSymbols();
  const int lField = lTable.FindFieldIndex("SYMBOL");
  QStringList lItems;
  const QString lFilter = txtFilter->text().trimmed();
  for (const auto& r : lTable.Rows()) {
    const QString lSymbol = QString::fromStdString(TqmtField::ValueToText((*r.Values)[static_cast<std::size_t>(lField)]));
    if (lFilter.isEmpty() || lSymbol.contains(lFilter, Qt::CaseInsensitive)) lItems << lSymbol;
  }
  cboSymbols->addItems(lItems);
  cboSymbols->setCurrentIndex(lFilter.isEmpty() || lItems.isEmpty() ? -1 : 0);
}

void TFRMGridTicker_NewRecord::btnGetSymbolsClick() {
  TqmtTraderClient* c = FClient;
  if (!c || !btnGetSymbols->isEnabled()) return;
  btnGetSymbols->setEnabled(false);
  btnGetSymbols->setText("Refreshing...");
  std::lock_guard g(FRefreshLock);
  FRefreshTicket = c->SubmitTask("", "read the symbol list", [c] { c->GetSymbols(); });
}

void TFRMGridTicker_NewRecord::DoOk() {
  TFRMTraderBaseModal::DoOk();
  if (cboSymbols->currentIndex() < 0) return;
  const std::string lSymbol = cboSymbols->currentText().toStdString();
  auto lTicker = GetTraderDataTicker().CDSTicker().CloneCursor();
  lTicker->SetFiltered(false);
  AlreadyListed = lTicker->FindKey(lSymbol);
  if (AlreadyListed) return;  // the grid selects it
  TqmtTraderClient* c = GetTraderClient();
  if (!c) return;
  c->SubscribeTicker(lSymbol);
  c->SubscribeBookDepth(lSymbol);
  c->SubscribeTrades(lSymbol);
}

// ---- the log grid --------------------------------------------------------------------------------

TFRAMEGridLog::TFRAMEGridLog(QWidget* aParent) : TFRAMEBaseGrid(aParent) {
  setObjectName("FRAMEGridLog");
  btnNewRecord->setEnabled(false);
  btnDeleteRecord->setEnabled(false);
  btnLogEnabled = gridBar->addAction("Log");
  btnLogEnabled->setCheckable(true);
  btnLogEnabled->setChecked(false);
  Bind(GetTraderDataLog().CDSLog(), {{"LOG_DATE", "DateTime", 170}, {"LOG_MESSAGE", "Message", 800}});
  connect(btnLogEnabled, &QAction::triggered, this, [this] { UIAction([this] { btnLogEnabledClick(); }); });
}

TFRAMEGridLog::~TFRAMEGridLog() { Unbind(); }

void TFRAMEGridLog::btnLogEnabledClick() {
  TqmtTraderData_Log& lLog = GetTraderDataLog();
  lLog.SetEnabled(!lLog.Enabled());
  btnLogEnabled->setChecked(lLog.Enabled());
}
