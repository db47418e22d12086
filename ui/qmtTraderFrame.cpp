#include "qmtTraderFrame.h"

#include <QColor>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QVBoxLayout>

#include "qmtPriceLadder.h"
#include "qmtTradeTape.h"
#include "qmtTraderSettings.h"
#include <QToolBar>
#include "qmtOrderTicket.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderHelpers.h"

#include <QInputDialog>
#include <QMessageBox>
#include <cmath>
#include "qmtTradeBar.h"
#include "qmtTraderClient.h"
#include "qmtTraderChart.h"
#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Fills.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtUIApplication.h"

std::string SymbolFilter(const std::string& aSymbol) {
  std::string lQuoted = "'";
  for (char c : aSymbol) {
    lQuoted += c;
    if (c == '\'') lQuoted += '\'';
  }
  return "SYMBOL = " + lQuoted + "'";
}

namespace {
QWidget* Fill(QWidget* aPanel, QWidget* aFrame) {
  if (!aPanel->layout()) {
    auto* l = new QVBoxLayout(aPanel);
    l->setContentsMargins(0, 0, 0, 0);
  }
  aPanel->layout()->addWidget(aFrame);
  return aFrame;
}

// The position tools are the Binance client's; another client has none.
TqmtTraderClient_Binance* BinanceClient() { return dynamic_cast<TqmtTraderClient_Binance*>(GetTraderClient()); }

const std::vector<TqmtGridColumn> kOrderColumns = {
    {"DATE_TIME", "Time", 122},  {"SYMBOL", "Symbol", 80},     {"ORDER_SIDE", "Side", 42}, {"ORDER_TYPE", "Type", 96},
    {"SIZE", "Size", 90},        {"FILLED", "Filled", 90},     {"PRICE", "Price", 100},    {"AVG_PRICE", "Avg Price", 100},
    {"STOP_PRICE", "Trigger", 100}, {"ORDER_STATUS", "Status", 110}};
}  // namespace

// ---- account grids -----------------------------------------------------------------------------------

TFRAMEGridTradeAccount::TFRAMEGridTradeAccount(TqmtTraderData& aData, std::vector<TqmtGridColumn> aColumns, QWidget* aParent)
    : TFRAMEBaseGrid(aParent), FData(aData) {
  gridBar->hide();
  Bind(FData.NewCloneCursor(Guid()), std::move(aColumns));
}

TFRAMEGridTradeAccount::~TFRAMEGridTradeAccount() {
  Unbind();
  FData.DeleteCloneCursor(Guid());
}

TFRAMEGridTradePosition::TFRAMEGridTradePosition(QWidget* aParent)
    : TFRAMEGridTradeAccount(GetTraderDataPosition(),
                             {{"SYMBOL", "Symbol", 90},
                              {"POSITION", "Position", 105},
                              {"ENTRY_PRICE", "Entry Price", 112},
                              {"MARKET_PRICE", "Market Price", 123},
                              {"UNREALIZED_PROFIT", "UnRealized Profit", 142},
                              {"LIQUIDATION_PRICE", "Liq. Price", 105},
                              {"LEVERAGE", "Leverage", 70},
                              {"MARGIN_TYPE", "Margin", 70}},
                             aParent) {
  setObjectName("FRAMEGridTradePosition");
  popupPosition = new QMenu(this);
  mnuClose = popupPosition->addAction("Close at Market");
  mnuReverse = popupPosition->addAction("Reverse at Market");
  popupPosition->addSeparator();
  mnuLeverage = popupPosition->addAction("Leverage...");
  mnuIsolated = popupPosition->addAction("Isolated Margin");
  mnuCross = popupPosition->addAction("Cross Margin");
  grid->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(grid, &QTableView::customContextMenuRequested, this, [this](const QPoint& aAt) {
    TqmtTraderClient_Binance* c = BinanceClient();
    if (!c || !c->FuturesMarket() || FSymbol.empty()) return;
    const bool lHeld = c->PositionAmount(FSymbol) != 0;
    mnuClose->setEnabled(lHeld);
    mnuReverse->setEnabled(lHeld);
    popupPosition->popup(grid->viewport()->mapToGlobal(aAt));
  });
  connect(mnuClose, &QAction::triggered, this, [this] {
    UIAction([this] {
      std::string lWhy;
      if (!ClosePosition(false, true, lWhy) && !lWhy.empty()) ReportUIMessage("Close refused: " + lWhy);
    });
  });
  connect(mnuReverse, &QAction::triggered, this, [this] {
    UIAction([this] {
      std::string lWhy;
      if (!ClosePosition(true, true, lWhy) && !lWhy.empty()) ReportUIMessage("Reverse refused: " + lWhy);
    });
  });
  connect(mnuLeverage, &QAction::triggered, this, [this] {
    UIAction([this] {
      TqmtTraderClient_Binance* c = BinanceClient();
      if (!c) return;
      const int lNow = static_cast<int>(dsGrid()->rowCount() > 0 ? std::max(1.0L, TraderStrToFloat(dsGrid()->Text(0, "LEVERAGE"))) : 20);
      bool lOk = false;
      const int lLeverage = QInputDialog::getInt(this, "Leverage", QString::fromStdString(FSymbol + " leverage"), lNow, 1, 125, 1, &lOk);
      if (!lOk) return;
      std::string lWhy;
      Report(c->SubmitLeverage(FSymbol, lLeverage, lWhy), "Leverage sent: " + FSymbol + " " + std::to_string(lLeverage) + "x", lWhy);
    });
  });
  for (QAction* a : {mnuIsolated, mnuCross})
    connect(a, &QAction::triggered, this, [this, a] {
      UIAction([this, a] {
        TqmtTraderClient_Binance* c = BinanceClient();
        if (!c) return;
        std::string lWhy;
        const bool lIsolated = a == mnuIsolated;
        Report(c->SubmitMarginType(FSymbol, lIsolated, lWhy),
               "Margin mode sent: " + FSymbol + (lIsolated ? " isolated" : " cross"), lWhy);
      });
    });
}

void TFRAMEGridTradePosition::Report(std::uint64_t aTicket, const std::string& aSent, const std::string& aWhy) {
  ReportUIMessage(aTicket ? aSent : "Refused: " + aWhy);
}

bool TFRAMEGridTradePosition::ClosePosition(bool aReverse, bool aAsk, std::string& aWhy) {
  TqmtTraderClient_Binance* c = BinanceClient();
  if (!c) return aWhy = "not signed in", false;
  const long double lAmount = c->PositionAmount(FSymbol);
  if (lAmount == 0) return aWhy = "there is no " + FSymbol + " position", false;
  const std::string lSide = lAmount > 0 ? "SELL" : "BUY";
  const long double lSize = (aReverse ? 2 : 1) * std::fabs(static_cast<double>(lAmount));
  const std::string lWhat = lSide + " MARKET " + TradeBarNumberText(lSize) + " " + FSymbol + (aReverse ? "" : " reduce-only");
  if (aAsk) {
    const QString lText = QString::fromStdString((aReverse ? "Reverse the " : "Close the ") + FSymbol + " position of " +
                                                 TradeBarNumberText(lAmount) + " at market: " + lWhat + "?");
    if (QMessageBox::question(this, aReverse ? "Reverse Position" : "Close Position", lText, QMessageBox::Yes | QMessageBox::Cancel,
                              QMessageBox::Cancel) != QMessageBox::Yes) {
      aWhy.clear();
      return false;
    }
  }
  if (!c->SubmitClosePosition(FSymbol, aReverse, aWhy)) return false;
  ReportUIMessage("Order sent: " + lWhat);
  return true;
}

void TFRAMEGridTradePosition::SetSymbol(const std::string& aSymbol) {
  FSymbol = aSymbol;
  SetFilter(SymbolFilter(aSymbol));
}

TFRAMEGridTradeOrders::TFRAMEGridTradeOrders(QWidget* aParent)
    : TFRAMEGridTradeAccount(GetTraderDataOrders(), kOrderColumns, aParent) {
  // Newest first; any column's title sorts by it.
  EnableSorting(0, Qt::DescendingOrder);
}

void TFRAMEGridTradeOrders::SetSymbol(const std::string& aSymbol) {
  FSymbol = aSymbol;
  SetFilter(SymbolFilter(aSymbol));
}

TFRAMEGridTradeOpenOrders::TFRAMEGridTradeOpenOrders(QWidget* aParent) : TFRAMEGridTradeOrders(aParent) {
  setObjectName("FRAMEGridTradeOpenOrders");
  dsGrid()->SetRowMark("ORDER_STATUS", "UNKNOWN", QColor(255, 230, 120),
                       "Outcome unknown: no answer said whether the exchange placed it; it is being looked up");
  popupOrder = new QMenu(this);
  mnuCancelOrder = popupOrder->addAction("Cancel Order");
  mnuCancelOrder->setShortcut(QKeySequence::Delete);
  mnuChangeOrder = popupOrder->addAction("Change Order...");
  mnuChangeOrder->setShortcut(Qt::Key_Return);
  // The keys act where the grid has the focus, as the menu's entries do.
  for (QAction* a : {mnuCancelOrder, mnuChangeOrder}) {
    a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    grid->addAction(a);
  }
  grid->setContextMenuPolicy(Qt::CustomContextMenu);
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  connect(grid, &QTableView::customContextMenuRequested, this, [this](const QPoint& aAt) {
    const QModelIndex lIndex = grid->indexAt(aAt);
    if (!lIndex.isValid()) return;
    grid->selectRow(lIndex.row());
    const std::string lType = dsGrid()->Text(SelectedRow(), "ORDER_TYPE");
    mnuChangeOrder->setEnabled(lType == "LIMIT" || lType == "LIMIT_MAKER");
    popupOrder->popup(grid->viewport()->mapToGlobal(aAt));
  });
  connect(grid, &QTableView::doubleClicked, this, [this] { UIAction([this] { ChangeSelected(); }); });
  connect(mnuCancelOrder, &QAction::triggered, this, [this] { UIAction([this] { CancelSelected(); }); });
  connect(mnuChangeOrder, &QAction::triggered, this, [this] { UIAction([this] { ChangeSelected(); }); });
}

int TFRAMEGridTradeOpenOrders::SelectedRow() const {
  const QModelIndexList lRows = grid->selectionModel() ? grid->selectionModel()->selectedRows() : QModelIndexList();
  return lRows.isEmpty() ? -1 : SourceRow(lRows.first().row());
}

void TFRAMEGridTradeOpenOrders::CancelSelected() {
  TqmtTraderClient* c = GetTraderClient();
  const int lRow = SelectedRow();
  if (!c || lRow < 0) return;
  const std::string lId = dsGrid()->Text(lRow, "ID"), lSymbol = dsGrid()->Text(lRow, "SYMBOL");
  if (lId.empty()) return;
  c->SubmitCancel(lSymbol, lId);
  ReportUIMessage("Cancel sent: " + lSymbol + " order " + lId);
}

bool TFRAMEGridTradeOpenOrders::SubmitChange(int aRow, long double aPrice, long double aSize, std::string& aWhy) {
  TqmtTraderClient* c = GetTraderClient();
  if (!c) return aWhy = "not signed in", false;
  const std::string lType = dsGrid()->Text(aRow, "ORDER_TYPE");
  if (lType != "LIMIT" && lType != "LIMIT_MAKER") return aWhy = "only limit orders can be changed", false;
  TqmtTraderOrderRequest r;
  r.Symbol = dsGrid()->Text(aRow, "SYMBOL");
  r.Replaces = dsGrid()->Text(aRow, "ID");
  r.Side = dsGrid()->Text(aRow, "ORDER_SIDE") == "SELL" ? TqmtTraderOrderSide::stosSell : TqmtTraderOrderSide::stosBuy;
  r.Type = TqmtTraderOrderType::totLimit;
  r.PostOnly = lType == "LIMIT_MAKER";
  // The same steps as the trade bar: the price to the nearest tick, the size down to the lot.
  long double lTick = 0, lLot = 0;
  if (TqmtTraderSymbol* s = c->Broker().Symbols().GetSymbol(r.Symbol)) lTick = s->PriceStep(), lLot = s->LotStep();
  r.Price = RoundToStep(aPrice, lTick);
  r.Size = RoundDownToStep(aSize, lLot);
  if (!(r.Price > 0)) return aWhy = "the price must be a positive number", false;
  if (!(r.Size > 0)) return aWhy = "the size must be a positive number of at least one lot step", false;
  c->SubmitModify(r);
  ReportUIMessage("Change sent: " + r.Symbol + " order " + r.Replaces + " to " + TradeBarNumberText(r.Size) + " at " +
                  TradeBarNumberText(r.Price));
  return true;
}

void TFRAMEGridTradeOpenOrders::ChangeSelected() {
  const int lRow = SelectedRow();
  if (lRow < 0) return;
  const std::string lType = dsGrid()->Text(lRow, "ORDER_TYPE");
  if (lType != "LIMIT" && lType != "LIMIT_MAKER") {
    ReportUIMessage("Change refused: only limit orders can be changed (" + lType + " is not one)");
    return;
  }
  TFRMChangeOrder d(window());
  d.lblOrder->setText(QString::fromStdString(dsGrid()->Text(lRow, "ORDER_SIDE") + " " + lType + " " + dsGrid()->Text(lRow, "SYMBOL") +
                                             " [" + dsGrid()->Text(lRow, "ID") + "]"));
  d.txtPrice->setText(QString::fromStdString(dsGrid()->Text(lRow, "PRICE")));
  d.txtSize->setText(QString::fromStdString(dsGrid()->Text(lRow, "SIZE")));
  const std::string lId = dsGrid()->Text(lRow, "ID");
  if (d.exec() != QDialog::Accepted) return;
  // The grid may have moved while the dialog was open: the row is found again by its id.
  dsGrid()->Refresh();
  int lNow = -1;
  for (int i = 0; i < dsGrid()->rowCount(); ++i)
    if (dsGrid()->Text(i, "ID") == lId) lNow = i;
  std::string lWhy;
  try {
    if (lNow < 0) throw Exception("the order is no longer open");
    if (!SubmitChange(lNow, TradeBarTextToNumber(d.txtPrice->text().trimmed().toStdString()),
                      TradeBarTextToNumber(d.txtSize->text().trimmed().toStdString()), lWhy))
      throw Exception(lWhy);
  } catch (const std::exception& e) {
    ReportUIMessage(std::string("Change refused: ") + e.what());
  }
}

TFRMChangeOrder::TFRMChangeOrder(QWidget* aParent) : QDialog(aParent) {
  setWindowTitle("Change Order");
  setModal(true);
  auto* lLayout = new QVBoxLayout(this);
  lblOrder = new QLabel(this);
  lLayout->addWidget(lblOrder);
  auto* lForm = new QFormLayout();
  txtPrice = new QLineEdit(this);
  txtPrice->setObjectName("txtPrice");
  txtSize = new QLineEdit(this);
  txtSize->setObjectName("txtSize");
  for (QLineEdit* e : {txtPrice, txtSize}) e->setAlignment(Qt::AlignRight);
  lForm->addRow("Price", txtPrice);
  lForm->addRow("Size", txtSize);
  lLayout->addLayout(lForm);
  auto* lBottom = new QHBoxLayout();
  lBottom->addStretch(1);
  btnOk = new QPushButton("Ok", this);
  btnCancel = new QPushButton("Cancel", this);
  btnOk->setDefault(true);
  lBottom->addWidget(btnOk);
  lBottom->addWidget(btnCancel);
  lLayout->addLayout(lBottom);
  connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  txtPrice->setFocus();
  txtPrice->selectAll();
}

void TFRAMEGridTradeOpenOrders::DoGetFilter(std::string& aFilter) {
  if (aFilter.empty()) return;
  aFilter += " AND (ORDER_STATUS <> 'FILLED' and ORDER_STATUS <> 'CANCELED' and ORDER_STATUS <> 'EXPIRED' and "
             "ORDER_STATUS <> 'EXPIRED_IN_MATCH' and ORDER_STATUS <> 'REJECTED' and ORDER_STATUS <> 'TRIGGERED' and "
             "ORDER_STATUS <> 'FINISHED' and ORDER_STATUS <> 'NOT_FOUND')";
}

TFRAMEGridTradeFills::TFRAMEGridTradeFills(QWidget* aParent)
    : TFRAMEGridTradeAccount(GetTraderDataFills(),
                             {{"DATE_TIME", "Time", 122},
                              {"SIDE", "Side", 42},
                              {"PRICE", "Price", 100},
                              {"SIZE", "Size", 90},
                              {"FEE", "Fee", 100},
                              {"FEE_ASSET", "Fee Asset", 70},
                              {"REALIZED_PROFIT", "Realised Profit", 110},
                              {"ORDER_ID", "Order", 250}},
                             aParent) {
  setObjectName("FRAMEGridTradeFills");
  EnableSorting(0, Qt::DescendingOrder);
}

void TFRAMEGridTradeFills::SetSymbol(const std::string& aSymbol) { SetFilter(SymbolFilter(aSymbol)); }

TFRAMEGridTradeBalance::TFRAMEGridTradeBalance(QWidget* aParent)
    : TFRAMEGridTradeAccount(GetTraderDataBalance(),
                             {{"ASSET", "Asset", 110},
                              {"WALLET_BALANCE", "Wallet Balance", 140},
                              {"CROSS_WALLET_BALANCE", "Cross Wallet Balance", 145},
                              {"BALANCE_CHANGE", "Balance Change", 135},
                              {"VALUE", "Value", 120}},
                             aParent) {}

void TFRAMETraderBinance::ShowLadder(bool aShow) {
  pnlLadder->setVisible(aShow);
  if (btnLadder->isChecked() != aShow) btnLadder->setChecked(aShow);
  GetTraderSettings().WriteBool("TradingPage", "Ladder", aShow);
}

void TFRAMETraderBinance::ShowTape(bool aShow) {
  pnlTape->setVisible(aShow);
  if (btnTape->isChecked() != aShow) btnTape->setChecked(aShow);
  GetTraderSettings().WriteBool("TradingPage", "Tape", aShow);
}

// ---- the trader frame --------------------------------------------------------------------------------

TFRAMEBaseTrader::TFRAMEBaseTrader(QWidget* aParent) : TFRAMEBase(aParent) {
  setObjectName("FRAMETrader");
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  // Chart and bar above, grids below; the user can move the divider (at the
  // window's first size the trade bar would not fit otherwise, and it scrolls when it still does not).
  auto* lSplitter = splitMain = new QSplitter(Qt::Vertical, this);
  lSplitter->setChildrenCollapsible(false);
  lLayout->addWidget(lSplitter);
  auto* lTopPanel = new QWidget(lSplitter);
  auto* lTop = new QHBoxLayout(lTopPanel);
  lTop->setContentsMargins(0, 0, 0, 0);
  lTop->setSpacing(0);
  splitMarket = new QSplitter(Qt::Horizontal, lTopPanel);
  splitMarket->setChildrenCollapsible(false);
  pnlChart = new QWidget(splitMarket);
  pnlChart->setMinimumWidth(200);
  pnlLadder = new QWidget(splitMarket);
  pnlTape = new QWidget(splitMarket);
  splitMarket->addWidget(pnlChart);
  splitMarket->addWidget(pnlLadder);
  splitMarket->addWidget(pnlTape);
  splitMarket->setStretchFactor(0, 1);
  splitMarket->setStretchFactor(1, 0);
  splitMarket->setStretchFactor(2, 0);
  pnlLadder->hide();
  pnlTape->hide();
  auto* lRightScroll = new QScrollArea(lTopPanel);
  lRightScroll->setFixedWidth(130 + lRightScroll->verticalScrollBar()->sizeHint().width());
  lRightScroll->setWidgetResizable(true);
  lRightScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lRightScroll->setFrameShape(QFrame::NoFrame);
  pnlRight = new QWidget();
  pnlRight->setFixedWidth(130);
  lRightScroll->setWidget(pnlRight);
  lTop->addWidget(splitMarket, 1);
  lTop->addWidget(lRightScroll);
  pnlBottom = new QWidget(lSplitter);
  pnlBottom->setMinimumHeight(80);
  lSplitter->addWidget(lTopPanel);
  lSplitter->addWidget(pnlBottom);
  lSplitter->setStretchFactor(0, 1);
  lSplitter->setStretchFactor(1, 0);
  // The grids start lower than the chart's side needs: the whole trade bar shows at the window's
  // first size.
  lSplitter->setSizes({400, 190});
  pageBottom = new QTabWidget(pnlBottom);
  Fill(pnlBottom, pageBottom);
  tabPosition = new QWidget(), tabOpenOrders = new QWidget(), tabOrdersHistory = new QWidget(), tabBalance = new QWidget();
  tabFills = new QWidget();
  pageBottom->addTab(tabPosition, "Position");
  pageBottom->addTab(tabOpenOrders, "Open Orders");
  pageBottom->addTab(tabOrdersHistory, "Order History");
  pageBottom->addTab(tabFills, "Fills");
  pageBottom->addTab(tabBalance, "Balance");
  pageBottom->setCurrentWidget(tabPosition);
}

void TFRAMEBaseTrader::SetSymbol(const std::string& aSymbol) {
  FSymbol = aSymbol;
  FFRAMEChartTicker = static_cast<TFRAMEChartTicker*>(Fill(pnlChart, new TFRAMEChartTicker(FSymbol)));
  FFRAMEGridTradePosition = new TFRAMEGridTradePosition();
  FFRAMEGridTradePosition->SetSymbol(FSymbol);
  Fill(tabPosition, FFRAMEGridTradePosition);
  FFRAMEGridTradeOpenOrders = new TFRAMEGridTradeOpenOrders();
  FFRAMEGridTradeOpenOrders->SetSymbol(FSymbol);
  Fill(tabOpenOrders, FFRAMEGridTradeOpenOrders);
  FFRAMEGridTradeOrdersHistory = new TFRAMEGridTradeOrdersHistory();
  FFRAMEGridTradeOrdersHistory->SetSymbol(FSymbol);
  Fill(tabOrdersHistory, FFRAMEGridTradeOrdersHistory);
  FFRAMEGridTradeFills = new TFRAMEGridTradeFills();
  FFRAMEGridTradeFills->SetSymbol(FSymbol);
  Fill(tabFills, FFRAMEGridTradeFills);
  FFRAMEGridTradeBalance = new TFRAMEGridTradeBalance();
  Fill(tabBalance, FFRAMEGridTradeBalance);
}

void TFRAMETraderBinance::SetSymbol(const std::string& aSymbol) {
  TFRAMEBaseTrader::SetSymbol(aSymbol);
  FFRAMETradeBarBinance = new TFRAMETradeBarBinance();
  FFRAMETradeBarBinance->SetSymbol(FSymbol);
  Fill(pnlRight, FFRAMETradeBarBinance);
  // The ticket on a tab of its own beside the account's grids.
  TqmtTraderClient* c = GetTraderClient();
  const bool lFutures = c && c->FuturesMarket();
  FFRAMEOrderTicket = new TFRAMEOrderTicket(*FFRAMETradeBarBinance, lFutures);
  tabOrderTicket = new QWidget();
  pageBottom->addTab(tabOrderTicket, "Order Ticket");
  Fill(tabOrderTicket, FFRAMEOrderTicket);
  // The ladder and the tape beside the chart, each shown as the user last chose.
  FFRAMEPriceLadder = new TFRAMEPriceLadder(FSymbol, *FFRAMETradeBarBinance);
  Fill(pnlLadder, FFRAMEPriceLadder);
  FFRAMETradeTape = new TFRAMETradeTape(FSymbol);
  Fill(pnlTape, FFRAMETradeTape);
  QToolBar* lBar = FFRAMEChartTicker->barChartTicker;
  lBar->addSeparator();
  btnLadder = lBar->addAction("Ladder");
  btnLadder->setCheckable(true);
  btnLadder->setToolTip("The whole order book as a ladder to trade from");
  btnTape = lBar->addAction("Tape");
  btnTape->setCheckable(true);
  btnTape->setToolTip("The trades as they come");
  connect(btnLadder, &QAction::toggled, this, [this](bool on) { ShowLadder(on); });
  connect(btnTape, &QAction::toggled, this, [this](bool on) { ShowTape(on); });
  btnLadder->setChecked(GetTraderSettings().ReadBool("TradingPage", "Ladder", true));
  btnTape->setChecked(GetTraderSettings().ReadBool("TradingPage", "Tape", true));
  splitMarket->setSizes({380, 265, 255});
  for (int k = 1; k <= 8; ++k) {
    auto* s = new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_0 + k)), this);
    s->setContext(Qt::WidgetWithChildrenShortcut);
    QToolButton* b = FFRAMETradeBarBinance->OrderButtons[static_cast<std::size_t>(k - 1)];
    connect(s, &QShortcut::activated, this, [this, b] { UIAction([&] { FFRAMETradeBarBinance->OrderClick(b); }); });
  }
  auto* lCancel = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_0), this);
  lCancel->setContext(Qt::WidgetWithChildrenShortcut);
  connect(lCancel, &QShortcut::activated, this, [this] {
    if (FFRAMETradeBarBinance->btnCancelOpenOrders->isEnabled() &&
        FFRAMETradeBarBinance->ToolAction("btnCancelOpenOrders")->isVisible())
      UIAction([this] { FFRAMETradeBarBinance->btnCancelOpenOrdersClick(); });
  });
}
