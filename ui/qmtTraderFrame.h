// The trading page: the symbol's chart (upper left), the trade bar (right, 130 pixels) and the
// account grids on tabbed pages along the bottom (270 pixels): the symbol's position, its open
// orders, its order history, and every balance of the account. Each grid reads its table through a
// clone cursor of its own, filtered to the symbol where the table concerns it. UI thread only.
#pragma once

#include <QShortcut>
#include <QTabWidget>

#include <string>

#include "qmtTraderGrid.h"

class TFRAMEChartTicker;
class TFRAMETradeBar;
class TFRAMETradeBarBinance;

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

class TFRAMEGridTradePosition : public TFRAMEGridTradeAccount {
public:
  explicit TFRAMEGridTradePosition(QWidget* aParent = nullptr);
  const std::string& Symbol() const { return FSymbol; }
  void SetSymbol(const std::string& aSymbol);

private:
  std::string FSymbol;
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
// triggered or finished) are history only.
class TFRAMEGridTradeOpenOrders : public TFRAMEGridTradeOrders {
public:
  using TFRAMEGridTradeOrders::TFRAMEGridTradeOrders;
  void DoGetFilter(std::string& aFilter) override;
};

class TFRAMEGridTradeOrdersHistory : public TFRAMEGridTradeOrders {
public:
  using TFRAMEGridTradeOrders::TFRAMEGridTradeOrders;
};

class TFRAMEGridTradeBalance : public TFRAMEGridTradeAccount {
public:
  explicit TFRAMEGridTradeBalance(QWidget* aParent = nullptr);
};

class TFRAMEBaseTrader : public TFRAMEBase {
public:
  explicit TFRAMEBaseTrader(QWidget* aParent = nullptr);

  QWidget* pnlChart;
  QWidget* pnlRight;
  QWidget* pnlBottom;
  QTabWidget* pageBottom;
  QWidget *tabPosition, *tabOpenOrders, *tabOrdersHistory, *tabBalance;

  TFRAMEChartTicker* FFRAMEChartTicker = nullptr;
  TFRAMEGridTradePosition* FFRAMEGridTradePosition = nullptr;
  TFRAMEGridTradeBalance* FFRAMEGridTradeBalance = nullptr;
  TFRAMEGridTradeOpenOrders* FFRAMEGridTradeOpenOrders = nullptr;
  TFRAMEGridTradeOrdersHistory* FFRAMEGridTradeOrdersHistory = nullptr;

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
  // Also the trade bar, and the keys: Ctrl+1 ... Ctrl+8 press the visible order buttons, Ctrl+0
  // "Cancel Orders" (on this page only).
  void SetSymbol(const std::string& aSymbol) override;
};
