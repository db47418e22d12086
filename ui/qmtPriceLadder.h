// The price ladder of a trading page: the symbol's full order book as one column of prices, a row
// per price step (1, 2, 5, 10, 50 or 100 ticks), the bid and ask sizes with bars (the lighter bar
// behind is the depth from the best price to the row), the user's own open orders at their rows,
// the best prices and the last trade marked, and the spread in ticks and basis points.
//
// Trading from it: a click in the buy half (the left "Buy" or "Bids" column) places a limit buy at
// the row's price with the trade bar's size, in the sell half ("Asks", "Sell") a limit sell; with
// Ctrl held, a stop at that price instead. The trade bar's refusals, rounding and confirmation
// ("Confirm" on the ladder) apply, and the order goes through the command queue, never waiting
// here. A click on one's own orders (the outer columns, where they show) cancels them.
//
// Scrolling. The rows stay where they are while the market moves inside the view: the wheel, the
// arrow keys and Page Up/Down scroll; Space, Home or "Centre" put the market back in the middle.
// The first book is centred; unless the user scrolled away, so is a market whose best bid or ask
// left the view, and even then one that left it entirely. A book that is not in step is not shown: the ladder says "resynchronising".
//
// Threads. The book is read on the user interface's thread through the client's hold on it (a copy
// of the visible range only, when its version changed, at most ten times a second); the trade
// listener (stream thread) leaves the last price in an atomic; the own orders are read from the
// orders table five times a second. The hold and the listener end with the frame.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qmtTraderBookKeeper.h"
#include "qmtTraderClient.h"
#include "qmtTraderFormBase.h"

class TFRAMETradeBar;

// One row: a price step and what rests there (sizes in 1e-8 of the base, as the book keeps them).
struct TqmtLadderRow {
  std::int64_t Price = 0;
  std::int64_t Bid = 0, Ask = 0;        // resting in the row
  std::int64_t BidCum = 0, AskCum = 0;  // from the best price up to and including this row
  long double MyBuy = 0, MySell = 0;    // what the user's open orders there still want
  std::vector<std::string> MyBuyIds, MySellIds;
};

// The rows from aTop (a multiple of aStep) down, aCount of them. Bids go to the row at or below
// their price, asks to the row at or above it, so a row never shows a better price than the book
// has; sums are exact.
void GroupLadder(const TqmtBookView& aView, std::int64_t aStep, std::int64_t aTop, int aCount, std::vector<TqmtLadderRow>& aRows);

class TqmtLadderView;

class TFRAMEPriceLadder : public TFRAMEBase {
public:
  // aBar places the orders (its size field, its refusals). Holds the symbol's book from the start.
  TFRAMEPriceLadder(const std::string& aSymbol, TFRAMETradeBar& aBar, QWidget* aParent = nullptr);
  ~TFRAMEPriceLadder() override;

  enum class TColumn { MyBuy, Bids, Price, Asks, MySell };
  static constexpr int kGroupings[] = {1, 2, 5, 10, 50, 100};

  QComboBox* cboGrouping;
  QToolButton* btnCentre;
  QCheckBox *chkConfirm, *chkCumulative;
  QLabel* lblStatus;  // "Spread 2 ticks · 0.7 bp", "resynchronising", "waiting for the book"

  const std::string& Symbol() const { return FSymbol; }
  int Grouping() const { return FGrouping; }
  void SetGrouping(int aTicks);
  // Reads the book and the orders now and repaints (the timer does this by itself).
  void Refresh();
  // The market in the middle.
  void Centre();
  // Rows up (negative) or down.
  void Scroll(int aRows);
  const std::vector<TqmtLadderRow>& Rows() const { return FRows; }
  int VisibleRows() const;
  std::int64_t TopPrice() const { return FTop; }
  std::int64_t Step() const { return FTick * FGrouping; }
  // The row showing aPrice (1e-8), or -1.
  int RowOf(std::int64_t aPrice) const;
  // What a click in row aRow, column aColumn does (tests press here as the mouse does).
  void Click(int aRow, TColumn aColumn, bool aStop);
  TColumn ColumnAt(int aX) const;
  // The painted rows (mouse and keys go there).
  QWidget* RowsView() const;
  std::int64_t LastPrice() const { return FLast.load(); }
  void SetStale(bool aStale, const QString& aSince) override;

  // The trade listener (stream thread).
  void OnTradeEvent(TObject* Sender, const TqmtTraderTrade& aTrade);

private:
  friend class TqmtLadderView;
  void ReadOrders();
  void ShowStatus();
  std::int64_t TickUnits() const;

  const std::string FSymbol;
  TFRAMETradeBar& FBar;
  TqmtLadderView* FView;
  std::unique_ptr<TqmtTraderBookKeeper::THold> FHold;
  TqmtBookView FBook;  // the visible range (and the depth up to it)
  TqmtBookView FBest;  // the best level of each side: where the market is
  std::uint64_t FSeen = ~0ull;
  std::vector<TqmtLadderRow> FRows;
  struct TOwn {
    std::int64_t Price;
    bool Buy;
    long double Left;
    std::string Id;
  };
  std::vector<TOwn> FOwn;
  std::int64_t FTick = 0;     // the price step in 1e-8 (0 until known)
  int FGrouping = 1;
  std::int64_t FTop = 0;      // the top row's price (0: not placed yet: centred on the first book)
  bool FScrolled = false;     // the user scrolled away from the market (until Centre)
  std::atomic<std::int64_t> FLast{0};
  bool FStale = false;
  QString FStaleSince;
  QTimer FTimer;
  int FTicks = 0;
  TqmtRegistration FTradeListening;
};
