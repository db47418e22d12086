#include "qmtOrderTicket.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>

#include "qmtTradeBar.h"
#include "qmtTraderClient_Binance.h"
#include "qmtDataTable.h"
#include "qmtTraderHelpers.h"
#include "qmtUIApplication.h"

namespace {

using T = TqmtTraderOrderType;

// The type list's entries, in order; the trailing stop only on futures.
const T kTypes[] = {T::totMarket, T::totLimit, T::totStop, T::totStopLimit, T::totTakeProfit, T::totTakeProfitLimit, T::totTrailingStop};
const char* kTypeNames[] = {"Market", "Limit", "Stop", "Stop Limit", "Take Profit", "Take Profit Limit", "Trailing Stop"};

}  // namespace

TFRAMEOrderTicket::TFRAMEOrderTicket(TFRAMETradeBar& aBar, bool aFutures, QWidget* aParent)
    : TFRAMEBase(aParent), FBar(aBar), FFutures(aFutures) {
  setObjectName("FRAMEOrderTicket");
  auto* g = new QGridLayout(this);
  g->setContentsMargins(6, 4, 6, 4);
  g->setVerticalSpacing(3);
  auto lLabel = [&](const char* aText, QWidget* aBuddy, int aRow, int aColumn) {
    auto* l = new QLabel(aText, this);
    l->setBuddy(aBuddy);
    g->addWidget(l, aRow, aColumn);
  };
  auto lPick = [this](const char* aText, const char* aTip) {
    auto* b = new QToolButton(this);
    b->setText(aText);
    b->setToolTip(aTip);
    b->setFocusPolicy(Qt::TabFocus);
    return b;
  };
  cboSide = new QComboBox(this);
  cboSide->addItems({"Buy", "Sell"});
  cboType = new QComboBox(this);
  for (int i = 0; i < (FFutures ? 7 : 6); ++i) cboType->addItem(kTypeNames[i]);
  cboType->setCurrentIndex(1);
  txtPrice = new QLineEdit(this);
  txtTrigger = new QLineEdit(this);
  txtSize = new QLineEdit(this);
  txtSize->setToolTip("0.5 (the base asset), 500 USDT (a value in the quote asset) or 10% (of the available balance)");
  txtCallback = new QLineEdit(this);
  txtCallback->setToolTip("The trailing stop's distance from the best price since activation, in percent");
  txtTakeProfit = new QLineEdit(this);
  txtTakeProfit->setObjectName("txtTakeProfit");
  txtTakeProfit->setToolTip("Placed once the order fills: a take-profit market order, reduce-only, at this trigger");
  txtStopLoss = new QLineEdit(this);
  txtStopLoss->setObjectName("txtStopLoss");
  txtStopLoss->setToolTip("Placed once the order fills: a stop market order, reduce-only, at this trigger; the first to trigger cancels the other");
  for (QLineEdit* e : {txtPrice, txtTrigger, txtSize, txtCallback, txtTakeProfit, txtStopLoss}) e->setAlignment(Qt::AlignRight);
  btnPriceLast = lPick("L", "The last price");
  btnPriceBid = lPick("B", "The bid");
  btnPriceAsk = lPick("A", "The ask");
  btnTriggerLast = lPick("L", "The last price");
  btnTriggerBid = lPick("B", "The bid");
  btnTriggerAsk = lPick("A", "The ask");
  cboTimeInForce = new QComboBox(this);
  cboTimeInForce->addItems({"GTC", "IOC", "FOK"});
  chkPostOnly = new QCheckBox("Post-only", this);
  chkReduceOnly = new QCheckBox("Reduce-only", this);
  chkReduceOnly->setVisible(FFutures);
  chkConfirm = new QCheckBox("Confirm", this);
  chkConfirm->setChecked(true);
  lblValue = new QLabel(this);
  btnPlace = new QPushButton("Place", this);
  btnPlace->setObjectName("btnPlace");
  lLabel("Side", cboSide, 0, 0), g->addWidget(cboSide, 0, 1);
  lLabel("Type", cboType, 0, 2), g->addWidget(cboType, 0, 3, 1, 2);
  lLabel("Price", txtPrice, 1, 0), g->addWidget(txtPrice, 1, 1);
  auto* lPrices = new QHBoxLayout();
  for (QToolButton* b : {btnPriceLast, btnPriceBid, btnPriceAsk}) lPrices->addWidget(b);
  g->addLayout(lPrices, 1, 2);
  lLabel("Trigger", txtTrigger, 1, 3), g->addWidget(txtTrigger, 1, 4);
  auto* lTriggers = new QHBoxLayout();
  for (QToolButton* b : {btnTriggerLast, btnTriggerBid, btnTriggerAsk}) lTriggers->addWidget(b);
  g->addLayout(lTriggers, 1, 5);
  lLabel("Size", txtSize, 2, 0), g->addWidget(txtSize, 2, 1), g->addWidget(lblValue, 2, 2);
  lLabel("Callback %", txtCallback, 2, 3), g->addWidget(txtCallback, 2, 4);
  lLabel("Time in force", cboTimeInForce, 3, 0), g->addWidget(cboTimeInForce, 3, 1);
  auto* lFlags = new QHBoxLayout();
  for (QWidget* w : std::initializer_list<QWidget*>{chkPostOnly, chkReduceOnly, chkConfirm}) lFlags->addWidget(w);
  g->addLayout(lFlags, 3, 2, 1, 3);
  g->addWidget(btnPlace, 3, 5);
  if (FFutures) {
    lLabel("Take profit", txtTakeProfit, 4, 0), g->addWidget(txtTakeProfit, 4, 1);
    lLabel("Stop loss", txtStopLoss, 4, 3), g->addWidget(txtStopLoss, 4, 4);
  } else {
    txtTakeProfit->hide(), txtStopLoss->hide();
  }
  g->setRowStretch(5, 1);
  g->setColumnStretch(6, 1);
  setTabOrder(cboSide, cboType);
  setTabOrder(cboType, txtPrice);
  setTabOrder(txtPrice, txtTrigger);
  setTabOrder(txtTrigger, txtSize);
  setTabOrder(txtSize, txtCallback);
  setTabOrder(txtCallback, txtTakeProfit);
  setTabOrder(txtTakeProfit, txtStopLoss);
  setTabOrder(txtStopLoss, cboTimeInForce);
  setTabOrder(cboTimeInForce, chkPostOnly);
  setTabOrder(chkPostOnly, chkReduceOnly);
  setTabOrder(chkReduceOnly, chkConfirm);
  setTabOrder(chkConfirm, btnPlace);
  connect(cboType, &QComboBox::currentIndexChanged, this, [this] { ShowFields(); });
  connect(chkPostOnly, &QCheckBox::toggled, this, [this] { ShowFields(); });
  connect(btnPriceLast, &QToolButton::clicked, this, [this] { Pick(txtPrice, 0); });
  connect(btnPriceBid, &QToolButton::clicked, this, [this] { Pick(txtPrice, 1); });
  connect(btnPriceAsk, &QToolButton::clicked, this, [this] { Pick(txtPrice, 2); });
  connect(btnTriggerLast, &QToolButton::clicked, this, [this] { Pick(txtTrigger, 0); });
  connect(btnTriggerBid, &QToolButton::clicked, this, [this] { Pick(txtTrigger, 1); });
  connect(btnTriggerAsk, &QToolButton::clicked, this, [this] { Pick(txtTrigger, 2); });
  connect(btnPlace, &QPushButton::clicked, this, [this] { UIAction([this] { Place(); }); });
  for (QLineEdit* e : {txtPrice, txtTrigger, txtSize, txtCallback, txtTakeProfit, txtStopLoss})
    connect(e, &QLineEdit::returnPressed, this, [this] { UIAction([this] { Place(); }); });
  connect(txtSize, &QLineEdit::textChanged, this, [this] {
    try {
      const long double lSize = FBar.SizeOf(txtSize->text().toStdString(), static_cast<std::uint8_t>(cboSide->currentIndex()));
      lblValue->setText(FBar.LastPrice() > 0 ? QString::fromStdString("= " + FormatFloat("0.00", lSize * FBar.LastPrice()) + " " +
                                                                          FBar.QuoteAsset())
                                             : QString());
    } catch (const std::exception&) {
      lblValue->setText(txtSize->text().trimmed().isEmpty() ? QString() : "?");
    }
  });
  txtSize->setText(FBar.txtSize->text());  // the bar's size to start with
  ShowFields();
}

TqmtTraderOrderType TFRAMEOrderTicket::Type() const {
  const int i = cboType->currentIndex();
  return i >= 0 && i < 7 ? kTypes[i] : T::totMarket;
}

void TFRAMEOrderTicket::ShowFields() {
  const T t = Type();
  const bool lLimit = TraderOrderHasLimit(t), lTrigger = TraderOrderHasTrigger(t);
  txtPrice->setEnabled(lLimit);
  for (QToolButton* b : {btnPriceLast, btnPriceBid, btnPriceAsk}) b->setEnabled(lLimit);
  txtTrigger->setEnabled(lTrigger);
  for (QToolButton* b : {btnTriggerLast, btnTriggerBid, btnTriggerAsk}) b->setEnabled(lTrigger);
  txtTrigger->setPlaceholderText(t == T::totTrailingStop ? "activation (optional)" : QString());
  txtCallback->setEnabled(t == T::totTrailingStop);
  cboTimeInForce->setEnabled(lLimit && !chkPostOnly->isChecked());
  chkPostOnly->setEnabled(t == T::totLimit);
}

void TFRAMEOrderTicket::Pick(QLineEdit* aField, int aWhich) {
  const TqmtTradeBarQuote q = FBar.Quote();
  const long double lPrice = aWhich == 1 ? q.Bid : aWhich == 2 ? q.Ask : q.Last;
  if (!(lPrice > 0)) {
    ReportUIMessage(std::string("No ") + (aWhich == 1 ? "bid" : aWhich == 2 ? "ask" : "price") + " for " + FBar.Symbol() + " has come yet");
    return;
  }
  aField->setText(QString::fromStdString(TradeBarNumberText(lPrice)));
  aField->setFocus();
}

bool TFRAMEOrderTicket::BuildRequest(TqmtTraderOrderRequest& r, std::string& aWhy) {
  const T t = Type();
  const TqmtTradeBarQuote q = FBar.Quote();
  auto lNumber = [&](QLineEdit* e, const char* aWhat, long double& aOut) {
    const std::string lText = e->text().trimmed().toStdString();
    try {
      aOut = lText.empty() ? 0 : TradeBarTextToNumber(lText);
    } catch (const std::exception&) {
      aWhy = std::string("the ") + aWhat + " \"" + lText + "\" is not a number";
      return false;
    }
    return true;
  };
  r = TqmtTraderOrderRequest();
  r.Symbol = FBar.Symbol();
  r.Side = cboSide->currentIndex() == 1 ? TqmtTraderOrderSide::stosSell : TqmtTraderOrderSide::stosBuy;
  r.Type = t;
  if (r.Symbol.empty()) return aWhy = "the page has no symbol", false;
  long double lSize = 0;
  try {
    lSize = FBar.SizeOf(txtSize->text().toStdString(), static_cast<std::uint8_t>(cboSide->currentIndex()));
  } catch (const std::exception& e) {
    return aWhy = e.what(), false;
  }
  if (!(lSize > 0)) return aWhy = "the size must be a positive number", false;
  r.Size = RoundDownToStep(lSize, FBar.LotStepNow());
  if (!(r.Size > 0)) return aWhy = "the size is below the symbol's lot step " + TradeBarNumberText(FBar.LotStepNow()), false;
  if (TraderOrderHasLimit(t)) {
    if (!lNumber(txtPrice, "price", r.Price)) return false;
    if (!(r.Price > 0)) return aWhy = "the limit price must be a positive number", false;
    r.Price = RoundToStep(r.Price, q.Tick);
  }
  if (TraderOrderHasTrigger(t)) {
    if (!lNumber(txtTrigger, "trigger", r.StopPrice)) return false;
    // A trailing stop without an activation price starts at once.
    if (!(r.StopPrice > 0) && (t != T::totTrailingStop || r.StopPrice < 0)) return aWhy = "the trigger price must be a positive number", false;
    r.StopPrice = RoundToStep(r.StopPrice, q.Tick);
  }
  if (t == T::totTrailingStop) {
    if (!lNumber(txtCallback, "callback rate", r.CallbackRate)) return false;
    if (!(r.CallbackRate > 0)) return aWhy = "a trailing stop needs its callback rate in percent", false;
  }
  r.PostOnly = t == T::totLimit && chkPostOnly->isChecked();
  if (TraderOrderHasLimit(t) && !r.PostOnly) r.TimeInForce = cboTimeInForce->currentText().toStdString();
  r.ReduceOnly = FFutures && chkReduceOnly->isChecked();
  return true;
}

void TFRAMEOrderTicket::Place() {
  TqmtTraderOrderRequest r;
  std::string lWhy;
  if (!BuildRequest(r, lWhy)) {
    ReportUIMessage("Order refused: " + lWhy);
    return;
  }
  TqmtTraderClient* c = GetTraderClient();
  if (!c) {
    ReportUIMessage("Order refused: not signed in");
    return;
  }
  long double lTakeProfit = 0, lStopLoss = 0;
  if (FFutures) {
    try {
      const std::string lTp = txtTakeProfit->text().trimmed().toStdString(), lSl = txtStopLoss->text().trimmed().toStdString();
      lTakeProfit = lTp.empty() ? 0 : RoundToStep(TradeBarTextToNumber(lTp), FBar.Quote().Tick);
      lStopLoss = lSl.empty() ? 0 : RoundToStep(TradeBarTextToNumber(lSl), FBar.Quote().Tick);
    } catch (const std::exception&) {
      ReportUIMessage("Order refused: the take-profit and stop-loss are prices (or empty)");
      return;
    }
  }
  if (const std::string lProblem = TqmtTraderClient_Binance::BracketProblem(r, lTakeProfit, lStopLoss); !lProblem.empty()) {
    ReportUIMessage("Order refused: " + lProblem);
    return;
  }
  const long double lValue = r.Size * (r.Price > 0 ? r.Price : r.StopPrice > 0 ? r.StopPrice : FBar.LastPrice());
  if (chkConfirm->isChecked() &&
      !ShowTradeBarConfirmation(r.Symbol, TraderOrderTypeText(r.Type), r.Side == TqmtTraderOrderSide::stosSell ? tbosSell : tbosBuy, r.Size,
                                r.Price, r.StopPrice, lValue, FBar.QuoteAsset()))
    return;
  if (lTakeProfit > 0 || lStopLoss > 0) {
    auto* b = dynamic_cast<TqmtTraderClient_Binance*>(c);
    lWhy = "an attached take-profit and stop-loss are for futures orders";
    if (!b || !b->SubmitBracketOrder(r, lTakeProfit, lStopLoss, lWhy)) {
      ReportUIMessage("Order refused: " + lWhy);
      return;
    }
    std::string lText = "Order sent: " + r.Text();
    if (lTakeProfit > 0) lText += ", take-profit " + TradeBarNumberText(lTakeProfit);
    if (lStopLoss > 0) lText += ", stop-loss " + TradeBarNumberText(lStopLoss);
    ReportUIMessage(lText + " once it fills");
    return;
  }
  c->SubmitOrder(r);
  ReportUIMessage("Order sent: " + r.Text());
}
