// The trading page: the symbol's chart (upper left), the trade bar (right, 130 pixels) and the
// account grids on tabbed pages along the bottom (190 pixels at first): the symbol's position, its open
// orders, its order history, and every balance of the account. Each grid reads its table through a
// clone cursor of its own, filtered to the symbol where the table concerns it. UI thread only.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>

#include <string>

#include "qmtTraderGrid.h"

class TFRAMEChartTicker;
class TFRAMETradeBar;
class TFRAMETradeBarBinance;
class TFRAMEOrderTicket;
class TFRAMEPriceLadder;
class TFRAMETradeTape;
class QSplitter;

// The filter text "SYMBOL = '<symbol>'", each quote inside doubled.
std::string SymbolFilter(const std::string& aSymbol);

// An account grid: no tool bar, its own clone cursor of aTable's data under its Guid.
class TFRAMEGridTradeAccount : public TFRAMEBaseGrid {
public:
  ~TFRAMEGridTradeAccount() override;

protected:
  TFRAMEGridTradeAccount(class TqmtTraderData& aData, std::vector<TqmtGridColumn> aColumns, QWidget* aParent);

private:
  class TqmtTraderData& FData;
};

// The symbol's position with its liquidation price, leverage and margin mode. Its menu (futures)
// closes or reverses it at market (asked first), sets the leverage and the margin mode; each goes
// through the command queue and its result to the status bar.
class TFRAMEGridTradePosition : public TFRAMEGridTradeAccount {
public:
  explicit TFRAMEGridTradePosition(QWidget* aParent = nullptr);
  const std::string& Symbol() const { return FSymbol; }
  void SetSymbol(const std::string& aSymbol);

  QMenu* popupPosition;
  QAction *mnuClose, *mnuReverse, *mnuLeverage, *mnuIsolated, *mnuCross;
  // Close (or reverse) the position at market; aAsk: after the question. False with the reason.
  bool ClosePosition(bool aReverse, bool aAsk, std::string& aWhy);

private:
  std::string FSymbol;
  void Report(std::uint64_t aTicket, const std::string& aSent, const std::string& aWhy);
};

class TFRAMEGridTradeOrders : public TFRAMEGridTradeAccount {
public:
  explicit TFRAMEGridTradeOrders(QWidget* aParent = nullptr);
  const std::string& Symbol() const { return FSymbol; }
  virtual void SetSymbol(const std::string& aSymbol);

private:
  std::string FSymbol;
};

// Orders that can still fill: new, partially filled, and conditional orders not yet triggered.
// Filled, cancelled, expired, expired-in-match and rejected orders (and conditional orders that
// triggered or finished) are history only. An order of unknown outcome is marked (yellow) until
// it is settled. One order at a time is cancelled (Delete, or the row's menu) or changed ("Change
// Order...", or Enter: a limit order's price and size), through the command queue; the status bar
// tells the results.
class TFRAMEGridTradeOpenOrders : public TFRAMEGridTradeOrders {
public:
  explicit TFRAMEGridTradeOpenOrders(QWidget* aParent = nullptr);
  void DoGetFilter(std::string& aFilter) override;

  QMenu* popupOrder;
  QAction *mnuCancelOrder, *mnuChangeOrder;
  // The selected order: cancelled; its change asked in a dialog. Nothing when no row is selected.
  void CancelSelected();
  void ChangeSelected();
  // The change the dialog sends: the order in model row aRow to aPrice and aSize, rounded to the
  // symbol's steps. False, with the reason, when refused before anything is sent.
  bool SubmitChange(int aRow, long double aPrice, long double aSize, std::string& aWhy);

private:
  int SelectedRow() const;  // the model's row of the selection, or -1
};

// A limit order's new price and size. Enter (or "Ok") sends, Escape (or "Cancel") sends nothing.
class TFRMChangeOrder : public QDialog {
public:
  explicit TFRMChangeOrder(QWidget* aParent = nullptr);
  QLabel* lblOrder;
  QLineEdit *txtPrice, *txtSize;
  QPushButton *btnOk, *btnCancel;
};

class TFRAMEGridTradeOrdersHistory : public TFRAMEGridTradeOrders {
public:
  using TFRAMEGridTradeOrders::TFRAMEGridTradeOrders;
};

// The symbol's fills heard this run, newest first: price, size, fee and its asset, and on futures
// the profit each realised.
class TFRAMEGridTradeFills : public TFRAMEGridTradeAccount {
public:
  explicit TFRAMEGridTradeFills(QWidget* aParent = nullptr);
  void SetSymbol(const std::string& aSymbol);
};

class TFRAMEGridTradeBalance : public TFRAMEGridTradeAccount {
public:
  explicit TFRAMEGridTradeBalance(QWidget* aParent = nullptr);
};

class TFRAMEBaseTrader : public TFRAMEBase {
public:
  explicit TFRAMEBaseTrader(QWidget* aParent = nullptr);

  QSplitter* splitMarket;  // chart | ladder | tape
  QSplitter* splitMain;    // the market above, the account's grids below
  QWidget* pnlChart;
  QWidget *pnlLadder, *pnlTape;
  QWidget* pnlRight;
  QWidget* pnlBottom;
  QTabWidget* pageBottom;
  QWidget *tabPosition, *tabOpenOrders, *tabOrdersHistory, *tabFills, *tabBalance;

  TFRAMEChartTicker* FFRAMEChartTicker = nullptr;
  TFRAMEGridTradePosition* FFRAMEGridTradePosition = nullptr;
  TFRAMEGridTradeBalance* FFRAMEGridTradeBalance = nullptr;
  TFRAMEGridTradeOpenOrders* FFRAMEGridTradeOpenOrders = nullptr;
  TFRAMEGridTradeOrdersHistory* FFRAMEGridTradeOrdersHistory = nullptr;
  TFRAMEGridTradeFills* FFRAMEGridTradeFills = nullptr;

  const std::string& Symbol() const { return FSymbol; }
  // Builds the page; called once, before the frame is placed.
  virtual void SetSymbol(const std::string& aSymbol);

protected:
  std::string FSymbol;
};

class TFRAMETraderBinance : public TFRAMEBaseTrader {
public:
  explicit TFRAMETraderBinance(QWidget* aParent = nullptr) : TFRAMEBaseTrader(aParent) {}
  TFRAMETradeBarBinance* FFRAMETradeBarBinance = nullptr;
  TFRAMEOrderTicket* FFRAMEOrderTicket = nullptr;  // on the "Order Ticket" tab
  QWidget* tabOrderTicket = nullptr;
  TFRAMEPriceLadder* FFRAMEPriceLadder = nullptr;
  TFRAMETradeTape* FFRAMETradeTape = nullptr;
  // On the chart's tool bar: the ladder and the tape shown or not (remembered for every page).
  QAction *btnLadder = nullptr, *btnTape = nullptr;
  void ShowLadder(bool aShow);
  void ShowTape(bool aShow);
  // Also the trade bar, the ladder and the tape, and the keys: Ctrl+1 ... Ctrl+8 press the visible order buttons, Ctrl+0
  // "Cancel Orders" (on this page only).
  void SetSymbol(const std::string& aSymbol) override;
};
