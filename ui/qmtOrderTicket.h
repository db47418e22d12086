// The order ticket of a trading page: one order typed in full. Side, type (market, limit, stop,
// stop-limit, take-profit, take-profit limit; on futures also a trailing stop), limit price and
// trigger (typed, or picked from the last price, the bid or the ask), size (as the trade bar reads
// it: base units, a value in the quote, or a percentage), time in force (GTC, IOC, FOK), post-only,
// reduce-only (futures) and the trailing stop's callback rate; on futures a take-profit and a
// stop-loss placed once the order fills (see the trader client's brackets). The fields a type does not use are
// disabled. Enter in any field (or "Place") places it, after the confirmation when "Confirm" is on.
// The same refusals and rounding as the trade bar's buttons, said in the status bar before anything
// is sent; the order goes to the trader client's command queue and its result comes to the status
// bar as every result does.
//
// Threads: UI thread only; the prices it picks are the trade bar's (which takes them from the
// stream thread). The ticket does not own the bar; both live on the same page and go with it.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <string>

#include "qmtTraderCommands.h"
#include "qmtTraderFormBase.h"

class TFRAMETradeBar;

class TFRAMEOrderTicket : public TFRAMEBase {
public:
  TFRAMEOrderTicket(TFRAMETradeBar& aBar, bool aFutures, QWidget* aParent = nullptr);

  QComboBox *cboSide, *cboType, *cboTimeInForce;
  QLineEdit *txtPrice, *txtTrigger, *txtSize, *txtCallback;
  QLineEdit *txtTakeProfit, *txtStopLoss;  // futures: the attached bracket's triggers (empty: none)
  QToolButton *btnPriceLast, *btnPriceBid, *btnPriceAsk, *btnTriggerLast, *btnTriggerBid, *btnTriggerAsk;
  QCheckBox *chkPostOnly, *chkReduceOnly, *chkConfirm;
  QLabel* lblValue;
  QPushButton* btnPlace;

  // The request the fields describe, rounded to the symbol's steps; false with the reason.
  bool BuildRequest(TqmtTraderOrderRequest& aRequest, std::string& aWhy);
  // "Place": refused in the status bar, or confirmed (when asked) and submitted.
  void Place();

private:
  TqmtTraderOrderType Type() const;
  void ShowFields();
  void Pick(QLineEdit* aField, int aWhich);  // 0 last, 1 bid, 2 ask
  TFRAMETradeBar& FBar;
  bool FFutures;
};
