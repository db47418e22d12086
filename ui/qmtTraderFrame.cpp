#include "qmtTraderFrame.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QVBoxLayout>

#include "qmtTradeBar.h"
#include "qmtTraderChart.h"
#include "qmtTraderData_Balance.h"
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

const std::vector<TqmtGridColumn> kOrderColumns = {{"DATE_TIME", "Time", 122}, {"SYMBOL", "Symbol", 120},
                                                   {"ORDER_SIDE", "Side", 97}, {"ORDER_TYPE", "Type", 126},
                                                   {"SIZE", "Size", 104},      {"PRICE", "Price", 112},
                                                   {"ORDER_STATUS", "Status", 120}};
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
                              {"UNREALIZED_PROFIT", "UnRealized Profit", 142}},
                             aParent) {}

void TFRAMEGridTradePosition::SetSymbol(const std::string& aSymbol) {
  FSymbol = aSymbol;
  SetFilter(SymbolFilter(aSymbol));
}

TFRAMEGridTradeOrders::TFRAMEGridTradeOrders(QWidget* aParent)
    : TFRAMEGridTradeAccount(GetTraderDataOrders(), kOrderColumns, aParent) {}

void TFRAMEGridTradeOrders::SetSymbol(const std::string& aSymbol) {
  FSymbol = aSymbol;
  SetFilter(SymbolFilter(aSymbol));
}

void TFRAMEGridTradeOpenOrders::DoGetFilter(std::string& aFilter) {
  if (aFilter.empty()) return;
  aFilter += " AND (ORDER_STATUS <> 'FILLED' and ORDER_STATUS <> 'CANCELED' and ORDER_STATUS <> 'EXPIRED' and "
             "ORDER_STATUS <> 'EXPIRED_IN_MATCH' and ORDER_STATUS <> 'REJECTED' and ORDER_STATUS <> 'TRIGGERED' and "
             "ORDER_STATUS <> 'FINISHED')";
}

TFRAMEGridTradeBalance::TFRAMEGridTradeBalance(QWidget* aParent)
    : TFRAMEGridTradeAccount(GetTraderDataBalance(),
                             {{"ASSET", "Asset", 110},
                              {"WALLET_BALANCE", "Wallet Balance", 140},
                              {"CROSS_WALLET_BALANCE", "Cross Wallet Balance", 145},
                              {"BALANCE_CHANGE", "Balance Change", 135},
                              {"VALUE", "Value", 120}},
                             aParent) {}

// ---- the trader frame --------------------------------------------------------------------------------

TFRAMEBaseTrader::TFRAMEBaseTrader(QWidget* aParent) : TFRAMEBase(aParent) {
  setObjectName("FRAMETrader");
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  // Chart and bar above, grids below, 270 pixels at first; the user can move the divider (at the
  // window's first size the trade bar would not fit otherwise, and it scrolls when it still does not).
  auto* lSplitter = new QSplitter(Qt::Vertical, this);
  lSplitter->setChildrenCollapsible(false);
  lLayout->addWidget(lSplitter);
  auto* lTopPanel = new QWidget(lSplitter);
  auto* lTop = new QHBoxLayout(lTopPanel);
  lTop->setContentsMargins(0, 0, 0, 0);
  lTop->setSpacing(0);
  pnlChart = new QWidget(lTopPanel);
  auto* lRightScroll = new QScrollArea(lTopPanel);
  lRightScroll->setFixedWidth(130 + lRightScroll->verticalScrollBar()->sizeHint().width());
  lRightScroll->setWidgetResizable(true);
  lRightScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  lRightScroll->setFrameShape(QFrame::NoFrame);
  pnlRight = new QWidget();
  pnlRight->setFixedWidth(130);
  lRightScroll->setWidget(pnlRight);
  lTop->addWidget(pnlChart, 1);
  lTop->addWidget(lRightScroll);
  pnlBottom = new QWidget(lSplitter);
  pnlBottom->setMinimumHeight(80);
  lSplitter->addWidget(lTopPanel);
  lSplitter->addWidget(pnlBottom);
  lSplitter->setStretchFactor(0, 1);
  lSplitter->setStretchFactor(1, 0);
  lSplitter->setSizes({400, 270});
  pageBottom = new QTabWidget(pnlBottom);
  Fill(pnlBottom, pageBottom);
  tabPosition = new QWidget(), tabOpenOrders = new QWidget(), tabOrdersHistory = new QWidget(), tabBalance = new QWidget();
  pageBottom->addTab(tabPosition, "Position");
  pageBottom->addTab(tabOpenOrders, "Open Orders");
  pageBottom->addTab(tabOrdersHistory, "Order History");
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
  FFRAMEGridTradeBalance = new TFRAMEGridTradeBalance();
  Fill(tabBalance, FFRAMEGridTradeBalance);
}

void TFRAMETraderBinance::SetSymbol(const std::string& aSymbol) {
  TFRAMEBaseTrader::SetSymbol(aSymbol);
  FFRAMETradeBarBinance = new TFRAMETradeBarBinance();
  FFRAMETradeBarBinance->SetSymbol(FSymbol);
  Fill(pnlRight, FFRAMETradeBarBinance);
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
