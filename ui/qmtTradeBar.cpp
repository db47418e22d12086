#include "qmtTradeBar.h"

#include <QStyle>

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <charconv>
#include <cmath>

#include "qmtDataTable.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderHelpers.h"
#include "qmtTraderSettings.h"
#include "qmtUIApplication.h"

// ---- numbers ---------------------------------------------------------------------------------------

std::string TradeBarNumberText(long double aValue) {
  // The shortest decimal that reads back to the same double, never in exponent form (0.00001244,
  // not 1.244e-05): this text is shown, stored and compared by people.
  char lText[400];
  const auto lEnd = std::to_chars(lText, lText + sizeof lText, static_cast<double>(aValue), std::chars_format::fixed).ptr;
  return std::string(lText, lEnd);
}

long double TradeBarTextToNumber(const std::string& aText) { return TraderStrToFloat(aText); }

long double RoundToStep(long double aValue, long double aStep) {
  if (aStep <= 0) return aValue;
  // Through the step's own decimal text, so 0.1 steps give 27000.1, not 27000.0999999.
  const long double lSteps = std::round(aValue / aStep);
  return TraderStrToFloat(TradeBarNumberText(lSteps * aStep));
}

long double RoundDownToStep(long double aValue, long double aStep) {
  if (aStep <= 0) return aValue;
  const long double lSteps = std::floor(aValue / aStep + 1e-9L);
  return TraderStrToFloat(TradeBarNumberText(lSteps * aStep));
}

namespace {

long double PriceOf(std::uint8_t aKind, std::uint8_t aOperator, long double aMargin, long double aLast) {
  if (aKind == tbopValue) return aMargin;
  if (aKind != tbopLast) return -1;
  if (aOperator == tbomSum) return aLast + aMargin;
  if (aOperator == tbomMinus) return aLast - aMargin;
  return aLast;
}

long double ReadMargin(TqmtIniFile& s, const std::string& aSection, const char* aKey) {
  try {
    return TradeBarTextToNumber(s.ReadString(aSection, aKey, "0.00"));
  } catch (const std::exception&) {
    return 0;  // not a number in the file: the key's default
  }
}

const char* TypeText(std::uint8_t aType) {
  switch (aType) {
    case tbotMarket:
      return "MARKET";
    case tbotLimit:
      return "LIMIT";
    case tbotStop:
      return "STOP";
    case tbotStopLimit:
      return "STOP LIMIT";
    default:
      return "";
  }
}

const char* SideText(std::uint8_t aSide) { return aSide == tbosBuy ? "BUY" : aSide == tbosSell ? "SELL" : ""; }

std::string Number(long double aValue) { return TradeBarNumberText(aValue); }

}  // namespace

// ---- definitions -------------------------------------------------------------------------------------

long double TqmtTradeBarOrder::GetLimitPrice(long double aLastPrice) const {
  return PriceOf(LimitPrice, LimitPriceOperator, LimitPriceMargin, aLastPrice);
}

long double TqmtTradeBarOrder::GetStopPrice(long double aLastPrice) const {
  return PriceOf(StopPrice, StopPriceOperator, StopPriceMargin, aLastPrice);
}

void TqmtTradeBarOrder::LoadSettings() {
  TqmtIniFile& s = GetTraderSettings();
  Description = s.ReadString(FID, "Description", "");
  OrderType = static_cast<std::uint8_t>(s.ReadInteger(FID, "OrderType", 0));
  Side = static_cast<std::uint8_t>(s.ReadInteger(FID, "Side", 0));
  Confirmation = s.ReadBool(FID, "Confirmation", true);
  auto lStop = [&] {
    StopPrice = static_cast<std::uint8_t>(s.ReadInteger(FID, "StopPrice", 0));
    StopPriceOperator = static_cast<std::uint8_t>(s.ReadInteger(FID, "StopPriceOperator", 0));
    StopPriceMargin = ReadMargin(s, FID, "StopPriceMargin");
  };
  auto lLimit = [&] {
    LimitPrice = static_cast<std::uint8_t>(s.ReadInteger(FID, "LimitPrice", 0));
    LimitPriceOperator = static_cast<std::uint8_t>(s.ReadInteger(FID, "LimitPriceOperator", 0));
    LimitPriceMargin = ReadMargin(s, FID, "LimitPriceMargin");
  };
  if (OrderType == tbotLimit) lLimit();
  if (OrderType == tbotStop) lStop();
  if (OrderType == tbotStopLimit) lStop(), lLimit();
}

void TqmtTradeBarOrder::SaveSettings() {
  TqmtIniFile& s = GetTraderSettings();
  s.WriteString(FID, "Description", Description);
  s.WriteInteger(FID, "OrderType", OrderType);
  s.WriteInteger(FID, "Side", Side);
  s.WriteBool(FID, "Confirmation", Confirmation);
  // Margins as their shortest exact decimal: 0.126 stays 0.126 after a restart.
  auto lStop = [&] {
    s.WriteInteger(FID, "StopPrice", StopPrice);
    s.WriteInteger(FID, "StopPriceOperator", StopPriceOperator);
    s.WriteString(FID, "StopPriceMargin", TradeBarNumberText(StopPriceMargin));
  };
  auto lLimit = [&] {
    s.WriteInteger(FID, "LimitPrice", LimitPrice);
    s.WriteInteger(FID, "LimitPriceOperator", LimitPriceOperator);
    s.WriteString(FID, "LimitPriceMargin", TradeBarNumberText(LimitPriceMargin));
  };
  if (OrderType == tbotLimit) lLimit();
  if (OrderType == tbotStop) lStop();
  if (OrderType == tbotStopLimit) lStop(), lLimit();
}

void TqmtTradeBarOrders::DoInitialize(int aSize, const std::string& aSymbol) {
  if (Count() == aSize) return;
  FOrders.clear();
  for (int i = 1; i <= aSize; ++i) FOrders.push_back(std::make_unique<TqmtTradeBarOrder>(aSymbol + ".Order" + std::to_string(i)));
}

TqmtTradeBarOrder* TqmtTradeBarOrders::GetOrder(int aIndex) const {
  return aIndex >= 0 && aIndex < Count() ? FOrders[static_cast<std::size_t>(aIndex)].get() : nullptr;
}

void TqmtTradeBarOrders::LoadSettings() {
  for (auto& o : FOrders) o->LoadSettings();
}

// ---- confirmation ----------------------------------------------------------------------------------

TFRMTradeBarConfirmation::TFRMTradeBarConfirmation(QWidget* aParent) : QDialog(aParent) {
  setWindowTitle("TradeBar - Confirmation");
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setFixedSize(258, 216);
  setModal(true);
  auto* lLayout = new QVBoxLayout(this);
  auto* lForm = new QFormLayout();
  auto lField = [&](const char* aLabel, bool aNumber, QLabel** aLabelOut = nullptr) {
    auto* e = new QLineEdit(aNumber ? "0.00" : "", this);
    e->setReadOnly(true);
    if (aNumber) e->setAlignment(Qt::AlignRight);
    auto* l = new QLabel(aLabel, this);
    lForm->addRow(l, e);
    if (aLabelOut) *aLabelOut = l;
    return e;
  };
  txtSymbol = lField("Symbol", false);
  txtOrderType = lField("Order Type", false);
  txtOrderSide = lField("Order Side", false);
  txtSize = lField("Size", true);
  txtLimitPrice = lField("Limit Price", true, &lblLimitPrice);
  txtStopPrice = lField("Stop Price", true, &lblStopPrice);
  lLayout->addLayout(lForm);
  auto* lBottom = new QHBoxLayout();
  lBottom->addStretch(1);
  btnOk = new QPushButton("Ok", this);
  btnCancel = new QPushButton("Cancel", this);
  // Neither is the default: Enter must not place an order by accident.
  for (QPushButton* b : {btnOk, btnCancel}) b->setAutoDefault(false), b->setDefault(false);
  lBottom->addWidget(btnOk);
  lBottom->addWidget(btnCancel);
  lLayout->addLayout(lBottom);
  connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool ShowTradeBarConfirmation(const std::string& aSymbol, const std::string& aOrderType, std::uint8_t aSide,
                              long double aSize, long double aLimitPrice, long double aStopPrice) {
  TFRMTradeBarConfirmation d(QApplication::activeWindow());
  d.txtSymbol->setText(QString::fromStdString(aSymbol));
  d.txtOrderType->setText(QString::fromStdString(aOrderType));
  d.txtOrderSide->setText(SideText(aSide));
  d.txtSize->setText(QString::fromStdString(Number(aSize)));
  d.txtLimitPrice->setText(QString::fromStdString(Number(aLimitPrice)));
  d.txtStopPrice->setText(QString::fromStdString(Number(aStopPrice)));
  const bool lLimit = aOrderType != "MARKET" && aOrderType != "STOP";
  const bool lStop = aOrderType != "MARKET" && aOrderType != "LIMIT";
  d.lblLimitPrice->setVisible(lLimit), d.txtLimitPrice->setVisible(lLimit);
  d.lblStopPrice->setVisible(lStop), d.txtStopPrice->setVisible(lStop);
  CentreOnScreen(&d);
  return d.exec() == QDialog::Accepted;
}

// ---- the bar -----------------------------------------------------------------------------------------

TFRAMETradeBar::TFRAMETradeBar(QWidget* aParent) : TFRAMEBase(aParent) {
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  toolTradeBar = new QToolBar("Tool Trade Bar", this);
  toolTradeBar->setObjectName("toolTradeBar");
  toolTradeBar->setOrientation(Qt::Vertical);
  toolTradeBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  lLayout->addWidget(toolTradeBar);
  // A button whose order awaits the exchange's answer.
  setStyleSheet("QToolButton[inFlight=\"true\"] { background: #ffd966; font-style: italic; }");

  txtSymbol = new QLineEdit(this);
  txtSymbol->setReadOnly(true);
  txtSymbol->setToolTip("Symbol Name");
  txtSymbol->setStyleSheet("QLineEdit { background: #202830; color: white; font-weight: bold; font-size: 13pt; }");
  txtLast = new QLineEdit("0.00", this);
  txtLast->setReadOnly(true);
  txtLast->setToolTip("Last price");
  txtLast->setAlignment(Qt::AlignRight);
  txtLast->setStyleSheet("QLineEdit { background: #b8f0b0; }");
  txtSize = new QLineEdit("1.00", this);
  txtSize->setToolTip("Size");
  txtSize->setAlignment(Qt::AlignRight);
  toolTradeBar->addWidget(txtSymbol);
  AddSeparator("ToolButton2");
  toolTradeBar->addWidget(txtLast);
  AddSeparator("ToolButton3");
  toolTradeBar->addWidget(txtSize);
  AddSeparator("ToolButton4");
  const char* lDividers[] = {"ToolButton5", "ToolButton1", "ToolButton8"};
  for (int k = 1; k <= 8; ++k) {
    OrderButtons.push_back(AddButton(QString("Order%1").arg(k), "Order" + std::to_string(k), k));
    if (k % 2 == 0 && k < 8) AddSeparator(lDividers[k / 2 - 1]);
  }
  AddSeparator("ToolButton7");
  btnCancelOpenOrders = AddButton("Cancel Orders", "btnCancelOpenOrders", 99);
  AddSeparator("ToolButton9");
  btnReset = new QToolButton(this);
  btnReset->setObjectName("btnReset");
  btnReset->setText("...");
  FItems.emplace_back("btnReset", toolTradeBar->addWidget(btnReset));
  popupMenuForm = new QMenu(this);
  mnuFormResetButtons = popupMenuForm->addAction("Reset Buttons");
  connect(btnReset, &QToolButton::clicked, this, [this] { popupMenuForm->popup(QCursor::pos()); });
  connect(mnuFormResetButtons, &QAction::triggered, this, [this] { UIAction([this] { ResetButtons(); }); });
  // Never folded behind an extension button: the page scrolls the bar instead.
  toolTradeBar->setMinimumHeight(toolTradeBar->sizeHint().height());
  for (QToolButton* b : OrderButtons)
    connect(b, &QToolButton::clicked, this, [this, b] { UIAction([this, b] { OrderClick(b); }); });
  // The size is written when editing ends (not per keystroke: each write replaces the file on disk),
  // and read back with the symbol.
  connect(txtSize, &QLineEdit::editingFinished, this, [this] {
    if (!FSymbol.empty())
      UIAction([&] { GetTraderSettings().WriteString(Section(objectName().toStdString()), "Size", txtSize->text().toStdString()); });
  });
}

TFRAMETradeBar::~TFRAMETradeBar() {
  // First of all: no listener call may reach a bar being taken apart.
  FTickerRegistration.Reset();
  FCommandsRegistration.Reset();
}

void TFRAMETradeBar::SubmitFor(const std::function<std::uint64_t()>& aSubmit) {
  {
    std::lock_guard g(FTicketLock);
    FTickets[aSubmit()] = FPressedTag;
  }
  ShowInFlight(FPressedTag);
}

int TFRAMETradeBar::InFlight(int aTag) const {
  std::lock_guard g(FTicketLock);
  int n = 0;
  for (const auto& [t, lTag] : FTickets) n += lTag == aTag ? 1 : 0;
  return n;
}

void TFRAMETradeBar::ShowInFlight(int aTag) {
  QToolButton* b = aTag == 99 ? btnCancelOpenOrders
                   : aTag >= 1 && aTag <= static_cast<int>(OrderButtons.size()) ? OrderButtons[static_cast<std::size_t>(aTag - 1)]
                                                                              : nullptr;
  if (!b) return;
  const int n = InFlight(aTag);
  b->setProperty("inFlight", n > 0);
  b->setToolTip(n > 0 ? QString("%1 in flight: waiting for the exchange's answer").arg(n == 1 ? "One order" : QString::number(n) + " orders")
                      : QString());
  // A dynamic property takes effect in the style sheet once the button is polished again.
  b->style()->unpolish(b);
  b->style()->polish(b);
}

void TFRAMETradeBar::OnCommandResult(TObject*, const TqmtTraderCommandResult& aResult) {
  {
    std::lock_guard g(FTicketLock);
    if (!FTickets.count(aResult.Ticket)) return;
  }
  QMetaObject::invokeMethod(this, [this, aResult] { ApplyResult(aResult); }, Qt::QueuedConnection);
}

void TFRAMETradeBar::ApplyResult(const TqmtTraderCommandResult& aResult) {
  int lTag = 0;
  {
    std::lock_guard g(FTicketLock);
    auto lIt = FTickets.find(aResult.Ticket);
    if (lIt == FTickets.end()) return;
    lTag = lIt->second;
    // An unknown outcome stays followed (without the button) until it is settled.
    if (aResult.Outcome == TqmtTraderOutcome::tocUnknown && aResult.Kind == TqmtTraderCommandKind::tckOrder)
      lIt->second = 0;
    else
      FTickets.erase(lIt);
  }
  if (lTag) ShowInFlight(lTag);
  ReportUIMessage(aResult.Text());
}

void TFRAMETradeBar::AddSeparator(const std::string& aName) {
  QAction* a = toolTradeBar->addSeparator();
  a->setObjectName(QString::fromStdString(aName));
  FItems.emplace_back(aName, a);
}

QToolButton* TFRAMETradeBar::AddButton(const QString& aCaption, const std::string& aName, int aTag) {
  auto* b = new QToolButton(this);
  b->setObjectName(QString::fromStdString(aName));
  b->setText(aCaption);
  b->setProperty("tag", aTag);
  b->setPopupMode(QToolButton::MenuButtonPopup);
  b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  // The button's own menu: it acts on this button, whichever the mouse entered last.
  auto* m = new QMenu(b);
  QAction* lEdit = m->addAction("Edit Order");
  m->addSeparator();
  QAction* lEnabled = m->addAction("Enabled");
  QAction* lVisible = m->addAction("Visible");
  lEnabled->setCheckable(true);
  lVisible->setCheckable(true);
  lEdit->setVisible(aTag != 99);
  connect(m, &QMenu::aboutToShow, b, [b, lEnabled, lVisible] {
    lEnabled->setChecked(b->isEnabled());
    lVisible->setChecked(b->isVisible());
  });
  connect(lEdit, &QAction::triggered, this, [this, b] { UIAction([this, b] { DoEditOrder(b); }); });
  connect(lEnabled, &QAction::triggered, this, [this, b, aName] {
    UIAction([&] {
      SetButtonState(b, !b->isEnabled(), ToolAction(aName)->isVisible());
      GetTraderSettings().WriteBool(Section(aName), "Enabled", b->isEnabled());
    });
  });
  connect(lVisible, &QAction::triggered, this, [this, b, aName] {
    UIAction([&] {
      QAction* a = ToolAction(aName);
      a->setVisible(!a->isVisible());
      GetTraderSettings().WriteBool(Section(aName), "Visible", a->isVisible());
    });
  });
  b->setMenu(m);
  FItems.emplace_back(aName, toolTradeBar->addWidget(b));
  return b;
}

void TFRAMETradeBar::SetButtonState(QToolButton* aButton, bool aEnabled, bool aVisible) {
  aButton->setEnabled(aEnabled);
  ToolAction(aButton->objectName().toStdString())->setVisible(aVisible);
}

QAction* TFRAMETradeBar::ToolAction(const std::string& aName) const {
  for (const auto& [n, a] : FItems)
    if (n == aName) return a;
  return nullptr;
}

void TFRAMETradeBar::SetSymbol(const std::string& aSymbol) {
  TqmtTraderClient* c = GetTraderClient();
  FTickerRegistration.Reset();
  FSymbol = aSymbol;
  DoLoadOrders(aSymbol);
  DoLoadButtons();
  // The size the user left here last time: a click after a restart sends what was shown then.
  if (!aSymbol.empty()) {
    const std::string lSize = GetTraderSettings().ReadString(Section(objectName().toStdString()), "Size", "");
    if (!lSize.empty()) txtSize->setText(QString::fromStdString(lSize));
  }
  if (!aSymbol.empty() && c) {
    FTickerRegistration = c->ListenTicker({this, &TFRAMETradeBar::OnTickerEvent});
    if (!FCommandsRegistration.Active()) FCommandsRegistration = c->ListenCommandResult({this, &TFRAMETradeBar::OnCommandResult});
    // The steps for rounding, read off this thread when the market's list lacks them.
    TqmtTraderSymbol* s = c->Broker().Symbols().GetSymbol(aSymbol);
    if ((!s || s->PriceStep() <= 0) && !FAskedSymbols) {
      FAskedSymbols = true;
      c->SubmitTask(aSymbol, "read the symbols' price and lot steps", [c] { c->GetSymbols(); });
    }
  }
}

void TFRAMETradeBar::DoLoadOrders(const std::string& aSymbol) {
  FTradeBarOrders.DoInitialize(8, aSymbol);
  FTradeBarOrders.LoadSettings();
  for (int i = 0; i < 8; ++i) {
    const TqmtTradeBarOrder* o = FTradeBarOrders.GetOrder(i);
    OrderButtons[static_cast<std::size_t>(i)]->setText(
        QString::fromStdString(o->OrderType != tbotNone ? o->Description : aSymbol + "Order" + std::to_string(i)));
  }
}

void TFRAMETradeBar::DoLoadButtons() {
  TqmtIniFile& s = GetTraderSettings();
  for (const auto& [lName, lAction] : FItems) {
    const bool lEnabled = s.ReadBool(Section(lName), "Enabled", true);
    const bool lVisible = s.ReadBool(Section(lName), "Visible", true);
    if (auto* w = toolTradeBar->widgetForAction(lAction)) w->setEnabled(lEnabled);
    lAction->setEnabled(lEnabled);
    lAction->setVisible(lVisible);
  }
}

void TFRAMETradeBar::ResetButtons() {
  TqmtIniFile& s = GetTraderSettings();
  for (const auto& [lName, lAction] : FItems) {
    if (auto* w = toolTradeBar->widgetForAction(lAction)) w->setEnabled(true);
    lAction->setEnabled(true);
    lAction->setVisible(true);
    s.WriteBool(Section(lName), "Enabled", true);
    s.WriteBool(Section(lName), "Visible", true);
  }
}

void TFRAMETradeBar::OnTickerEvent(TObject*, const TqmtTraderTicker& aTicker) {
  if (aTicker.Symbol() != FSymbol) return;
  std::lock_guard lGuard(FTickLock);
  FPendingPrice = aTicker.Price();
  if (FPosted) return;
  FPosted = true;
  QMetaObject::invokeMethod(this, &TFRAMETradeBar::ApplyTicker, Qt::QueuedConnection);
}

void TFRAMETradeBar::ApplyTicker() {
  {
    std::lock_guard lGuard(FTickLock);
    FLastPrice = FPendingPrice;
    FPosted = false;
  }
  FHasLast = true;
  txtSymbol->setText(QString::fromStdString(FSymbol));
  txtLast->setText(QString::fromStdString(FormatFloat("0.0000", FLastPrice)));
}

void TFRAMETradeBar::SetStale(bool aStale, const QString& aSince) {
  FStale = aStale;
  FStaleSince = aSince;
  txtLast->setStyleSheet(aStale ? "QLineEdit { background: #d8d8d8; color: #707070; }" : "QLineEdit { background: #b8f0b0; }");
  txtLast->setToolTip(aStale ? "Not live: the last price came before " + aSince : QString());
}

void TFRAMETradeBar::OrderClick(QToolButton* aButton) {
  if (!aButton || !aButton->isEnabled() || !ToolAction(aButton->objectName().toStdString())->isVisible()) return;
  DoTradeBarOrder(FTradeBarOrders.GetOrder(aButton->property("tag").toInt() - 1));
}

void TFRAMETradeBar::GetSteps(long double& aPriceStep, long double& aLotStep) {
  aPriceStep = aLotStep = 0;
  TqmtTraderClient* c = GetTraderClient();
  if (!c) return;
  // The steps are read when the bar gets its symbol (on the command queue, never here).
  TqmtTraderSymbol* s = c->Broker().Symbols().GetSymbol(FSymbol);
  if (s) aPriceStep = s->PriceStep(), aLotStep = s->LotStep();
}

void TFRAMETradeBar::DoTradeBarOrder(TqmtTradeBarOrder* aOrder) {
  if (!aOrder) return;
  const std::uint8_t lType = aOrder->OrderType;
  if (lType < tbotMarket || lType > tbotStopLimit) {
    ReportUIMessage("Order refused: the button has no order type (\"Edit Order\" defines it)");
    return;
  }
  auto lRefuse = [](const std::string& aWhy) { ReportUIMessage("Order refused: " + aWhy); };
  if (aOrder->Side != tbosBuy && aOrder->Side != tbosSell) return lRefuse("the order side is not set");
  const long double lAsked = TradeBarTextToNumber(txtSize->text().trimmed().toStdString());
  if (!(lAsked > 0)) return lRefuse("the size must be a positive number");
  if (!FHasLast) return lRefuse("no price for " + FSymbol + " has come yet");
  const bool lFollows = ((lType == tbotLimit || lType == tbotStopLimit) && aOrder->LimitPrice == tbopLast) ||
                        ((lType == tbotStop || lType == tbotStopLimit) && aOrder->StopPrice == tbopLast);
  if (FStale && lFollows)
    return lRefuse("its price follows the last price, which is not live (disconnected before " + FStaleSince.toStdString() + ")");
  long double lPriceStep, lLotStep;
  GetSteps(lPriceStep, lLotStep);
  const long double lSize = RoundDownToStep(lAsked, lLotStep);
  if (!(lSize > 0)) return lRefuse("the size is below the symbol's lot step " + Number(lLotStep));
  const std::string lSymbol = txtSymbol->text().toStdString();
  long double lLimit = 0, lStop = 0;
  auto lPrice = [&](long double aPrice, const char* aWhat) {
    if (!(aPrice > 0)) {
      lRefuse(std::string("the ") + aWhat + " price " + Number(aPrice) + " is not positive (is its price kind set?)");
      return false;
    }
    return true;
  };
  if (lType == tbotLimit || lType == tbotStopLimit) {
    lLimit = aOrder->GetLimitPrice(FLastPrice);
    if (lType == tbotLimit && !lPrice(lLimit, "limit")) return;
    lLimit = RoundToStep(lLimit, lPriceStep);
  }
  if (lType == tbotStop || lType == tbotStopLimit) {
    lStop = aOrder->GetStopPrice(FLastPrice);
    if (!lPrice(lStop, "stop")) return;
    lStop = RoundToStep(lStop, lPriceStep);
  }
  // A stop-limit whose limit is exactly 0 goes as a plain stop; a negative one is refused.
  if (lType == tbotStopLimit && lLimit < 0 && !lPrice(lLimit, "limit")) return;
  const char* lText = TypeText(lType);
  if (aOrder->Confirmation && !ShowTradeBarConfirmation(lSymbol, lText, aOrder->Side, lSize, lLimit, lStop)) return;
  for (int i = 0; i < FTradeBarOrders.Count(); ++i)
    if (FTradeBarOrders.GetOrder(i) == aOrder) FPressedTag = i + 1;
  switch (lType) {
    case tbotMarket:
      DoPlaceMarketOrder(aOrder->Side, lSymbol, lSize);
      break;
    case tbotLimit:
      DoPlaceLimitOrder(aOrder->Side, lSymbol, lSize, lLimit);
      break;
    case tbotStop:
      DoPlaceStopOrder(aOrder->Side, lSymbol, lSize, lStop);
      break;
    case tbotStopLimit:
      DoPlaceStopLimitOrder(aOrder->Side, lSymbol, lSize, lStop, lLimit);
      break;
  }
  std::string lSent = std::string("Order sent: ") + SideText(aOrder->Side) + " " + lText + " " + Number(lSize) + " " + lSymbol;
  if (lType == tbotLimit || (lType == tbotStopLimit && lLimit != 0)) lSent += " at " + Number(lLimit);
  if (lType == tbotStop || lType == tbotStopLimit) lSent += " stop " + Number(lStop);
  ReportUIMessage(lSent);
}

// ---- the definition dialog ---------------------------------------------------------------------------

TFRMTradeBarOrder::TFRMTradeBarOrder(QWidget* aParent) : QDialog(aParent) {
  setWindowTitle("Order");
  setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
  setFixedSize(258, 249);
  setModal(true);
  auto* lOuter = new QVBoxLayout(this);
  auto* lGroup = new QGroupBox("Order", this);
  lOuter->addWidget(lGroup);
  auto* lForm = new QGridLayout(lGroup);
  lForm->setVerticalSpacing(3);
  txtDescription = new QLineEdit(lGroup);
  cboOrderType = new QComboBox(lGroup);
  cboOrderType->addItems({"None", "Market", "Limit", "Stop", "Stop Limit"});
  chkConfirmation = new QCheckBox("Confirmation", lGroup);
  cboOrderSide = new QComboBox(lGroup);
  cboOrderSide->addItems({"Buy", "Sell"});
  lForm->addWidget(new QLabel("Description", lGroup), 0, 0);
  lForm->addWidget(txtDescription, 0, 1);
  lForm->addWidget(new QLabel("Order Type", lGroup), 1, 0);
  lForm->addWidget(cboOrderType, 1, 1);
  lForm->addWidget(chkConfirmation, 2, 1);
  lForm->addWidget(new QLabel("Order Side", lGroup), 3, 0);
  lForm->addWidget(cboOrderSide, 3, 1);
  pageOrderType = new QStackedWidget(lGroup);
  lForm->addWidget(pageOrderType, 4, 0, 1, 2);
  auto lPriceList = [](QWidget* p) {
    auto* c = new QComboBox(p);
    c->addItems({"Fixed Price", "<Last>"});
    c->setCurrentIndex(-1);
    return c;
  };
  auto lOperator = [](QWidget* p) {
    auto* c = new QComboBox(p);
    c->addItems({"+", "-"});
    return c;
  };
  auto lMargin = [](QWidget* p) {
    auto* e = new QLineEdit("0.00", p);
    e->setAlignment(Qt::AlignRight);
    return e;
  };
  auto lPage = [&](const char* aTitle, int aRows) {
    auto* w = new QWidget(pageOrderType);
    auto* g = new QGroupBox(aTitle, w);
    auto* l = new QVBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(g);
    auto* grid = new QGridLayout(g);
    grid->setVerticalSpacing(2);
    (void)aRows;
    pageOrderType->addWidget(w);
    return std::pair{w, grid};
  };
  tabOrderNone = new QWidget(pageOrderType);
  pageOrderType->addWidget(tabOrderNone);
  {
    auto [w, g] = lPage("Limit", 2);
    tabOrderLimit = w;
    cboLimitPrice = lPriceList(w), cboLimitMarginOperator = lOperator(w), txtLimitMarginValue = lMargin(w);
    g->addWidget(new QLabel("Price", w), 0, 0), g->addWidget(cboLimitPrice, 0, 1, 1, 2);
    g->addWidget(new QLabel("Margin", w), 1, 0), g->addWidget(cboLimitMarginOperator, 1, 1), g->addWidget(txtLimitMarginValue, 1, 2);
  }
  {
    auto [w, g] = lPage("Stop", 2);
    tabOrderStop = w;
    cboStopPrice = lPriceList(w), cboStopMarginOperator = lOperator(w), txtStopMarginValue = lMargin(w);
    g->addWidget(new QLabel("Price", w), 0, 0), g->addWidget(cboStopPrice, 0, 1, 1, 2);
    g->addWidget(new QLabel("Margin", w), 1, 0), g->addWidget(cboStopMarginOperator, 1, 1), g->addWidget(txtStopMarginValue, 1, 2);
  }
  {
    auto [w, g] = lPage("Stop Limit", 4);
    tabOrderStopLimit = w;
    cboStopLimitStopPrice = lPriceList(w), cboStopLimitStopPriceMarginOperator = lOperator(w);
    txtStopLimitStopPriceMarginValue = lMargin(w);
    cboStopLimitLimitPrice = lPriceList(w), cboStopLimitLimitPriceMarginOperator = lOperator(w);
    txtStopLimitLimitPriceMarginValue = lMargin(w);
    g->addWidget(new QLabel("Stop Price", w), 0, 0), g->addWidget(cboStopLimitStopPrice, 0, 1, 1, 2);
    g->addWidget(new QLabel("Stop Margin", w), 1, 0), g->addWidget(cboStopLimitStopPriceMarginOperator, 1, 1);
    g->addWidget(txtStopLimitStopPriceMarginValue, 1, 2);
    g->addWidget(new QLabel("Limit Price", w), 2, 0), g->addWidget(cboStopLimitLimitPrice, 2, 1, 1, 2);
    g->addWidget(new QLabel("Limit Margin", w), 3, 0), g->addWidget(cboStopLimitLimitPriceMarginOperator, 3, 1);
    g->addWidget(txtStopLimitLimitPriceMarginValue, 3, 2);
  }
  connect(cboOrderType, &QComboBox::currentIndexChanged, this, [this] { ShowOrderTypePage(); });
  connect(cboOrderSide, &QComboBox::currentIndexChanged, this, [this] { ShowOrderTypePage(); });
  ShowOrderTypePage();
}

void TFRMTradeBarOrder::ShowOrderTypePage() {
  switch (cboOrderType->currentIndex()) {
    case tbotLimit:
      pageOrderType->setCurrentWidget(tabOrderLimit);
      break;
    case tbotStop:
      pageOrderType->setCurrentWidget(tabOrderStop);
      break;
    case tbotStopLimit:
      pageOrderType->setCurrentWidget(tabOrderStopLimit);
      break;
    default:
      pageOrderType->setCurrentWidget(tabOrderNone);
  }
}

void TFRMTradeBarOrder::SetOrder(TqmtTradeBarOrder* aOrder) {
  FOrder = aOrder;
  if (FOrder) DoLoadOrder();
}

namespace {
int ListIndex(std::uint8_t aValue, const QComboBox* aList) { return aValue < aList->count() ? aValue : -1; }
std::uint8_t ListValue(const QComboBox* aList) { return aList->currentIndex() < 0 ? 255 : static_cast<std::uint8_t>(aList->currentIndex()); }
// Margins show with two decimals unless they have more (0.126 shows as 0.126, not 0.13).
QString MarginText(long double aValue) {
  const std::string lMasked = FormatFloat("0.00", aValue);
  return QString::fromStdString(TraderStrToFloat(lMasked) == aValue ? lMasked : TradeBarNumberText(aValue));
}
}  // namespace

void TFRMTradeBarOrder::DoLoadOrder() {
  txtDescription->setText(QString::fromStdString(FOrder->Description));
  cboOrderType->setCurrentIndex(ListIndex(FOrder->OrderType, cboOrderType));
  ShowOrderTypePage();
  cboOrderSide->setCurrentIndex(ListIndex(FOrder->Side, cboOrderSide));
  chkConfirmation->setChecked(FOrder->Confirmation);
  auto lFill = [](QComboBox* aKind, QComboBox* aOperator, QLineEdit* aMargin, std::uint8_t k, std::uint8_t o, long double m) {
    aKind->setCurrentIndex(ListIndex(k, aKind));
    aOperator->setCurrentIndex(ListIndex(o, aOperator));
    aMargin->setText(MarginText(m));
  };
  const auto& o = *FOrder;
  if (o.OrderType == tbotLimit) lFill(cboLimitPrice, cboLimitMarginOperator, txtLimitMarginValue, o.LimitPrice, o.LimitPriceOperator, o.LimitPriceMargin);
  if (o.OrderType == tbotStop) lFill(cboStopPrice, cboStopMarginOperator, txtStopMarginValue, o.StopPrice, o.StopPriceOperator, o.StopPriceMargin);
  if (o.OrderType == tbotStopLimit) {
    lFill(cboStopLimitStopPrice, cboStopLimitStopPriceMarginOperator, txtStopLimitStopPriceMarginValue, o.StopPrice,
          o.StopPriceOperator, o.StopPriceMargin);
    lFill(cboStopLimitLimitPrice, cboStopLimitLimitPriceMarginOperator, txtStopLimitLimitPriceMarginValue, o.LimitPrice,
          o.LimitPriceOperator, o.LimitPriceMargin);
  }
}

void TFRMTradeBarOrder::DoSaveOrder() {
  if (!FOrder) return;
  auto& o = *FOrder;
  o.Description = txtDescription->text().toStdString();
  o.OrderType = ListValue(cboOrderType);
  o.Side = ListValue(cboOrderSide);
  o.Confirmation = chkConfirmation->isChecked();
  auto lMargin = [](QLineEdit* e) { return TradeBarTextToNumber(e->text().trimmed().toStdString()); };
  switch (cboOrderType->currentIndex()) {
    case tbotLimit:
      o.LimitPrice = ListValue(cboLimitPrice), o.LimitPriceOperator = ListValue(cboLimitMarginOperator);
      o.LimitPriceMargin = lMargin(txtLimitMarginValue);
      break;
    case tbotStop:
      o.StopPrice = ListValue(cboStopPrice), o.StopPriceOperator = ListValue(cboStopMarginOperator);
      o.StopPriceMargin = lMargin(txtStopMarginValue);
      break;
    case tbotStopLimit:
      o.StopPrice = ListValue(cboStopLimitStopPrice), o.StopPriceOperator = ListValue(cboStopLimitStopPriceMarginOperator);
      o.StopPriceMargin = lMargin(txtStopLimitStopPriceMarginValue);
      o.LimitPrice = ListValue(cboStopLimitLimitPrice), o.LimitPriceOperator = ListValue(cboStopLimitLimitPriceMarginOperator);
      o.LimitPriceMargin = lMargin(txtStopLimitLimitPriceMarginValue);
      break;
  }
}

void TFRMTradeBarOrder::done(int aResult) {
  try {
    DoSaveOrder();
  } catch (const std::exception& e) {
    ReportUIException(e.what());  // a margin that is no number: the dialog stays open
    return;
  }
  QDialog::done(aResult);
}

// ---- the Binance bar ---------------------------------------------------------------------------------

TFRAMETradeBarBinance::TFRAMETradeBarBinance(QWidget* aParent) : TFRAMETradeBar(aParent) {
  setObjectName("FRAMETradeBarBinance");
  connect(btnCancelOpenOrders, &QToolButton::clicked, this, [this] {
    if (btnCancelOpenOrders->isEnabled()) UIAction([this] { btnCancelOpenOrdersClick(); });
  });
}

void TFRAMETradeBarBinance::btnCancelOpenOrdersClick() {
  const std::string lSymbol = txtSymbol->text().toStdString();
  FPressedTag = 99;
  SubmitFor([&] { return GetTraderClientBinance().SubmitCancelAll(lSymbol); });
  ReportUIMessage("Cancel sent: every open order of " + lSymbol);
}

void TFRAMETradeBarBinance::DoEditOrder(QToolButton* aButton) {
  TqmtTradeBarOrder* o = GetTradeBarOrders().GetOrder(aButton->property("tag").toInt() - 1);
  if (!o) return;
  TFRMTradeBarOrder d(window());
  d.SetOrder(o);
  CentreOnScreen(&d);
  d.exec();
  o->SaveSettings();
  aButton->setText(QString::fromStdString(o->Description));
}

namespace {
bool BinanceSide(std::uint8_t aSide, TqmtTraderOrderSide& aOut) {
  if (aSide == tbosBuy) return aOut = TqmtTraderOrderSide::stosBuy, true;
  if (aSide == tbosSell) return aOut = TqmtTraderOrderSide::stosSell, true;
  return false;
}
}  // namespace

void TFRAMETradeBarBinance::DoPlaceMarketOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize) {
  Submit(aSide, TqmtTraderOrderType::totMarket, aSymbol, aSize, 0, 0);
}

void TFRAMETradeBarBinance::DoPlaceLimitOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aLimitPrice) {
  Submit(aSide, TqmtTraderOrderType::totLimit, aSymbol, aSize, aLimitPrice, 0);
}

void TFRAMETradeBarBinance::DoPlaceStopOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize, long double aStopPrice) {
  Submit(aSide, TqmtTraderOrderType::totStop, aSymbol, aSize, 0, aStopPrice);
}

void TFRAMETradeBarBinance::DoPlaceStopLimitOrder(std::uint8_t aSide, const std::string& aSymbol, long double aSize,
                                                  long double aStopPrice, long double aLimitPrice) {
  // A limit of exactly 0 goes as a plain stop.
  Submit(aSide, aLimitPrice == 0 ? TqmtTraderOrderType::totStop : TqmtTraderOrderType::totStopLimit, aSymbol, aSize, aLimitPrice,
         aStopPrice);
}

void TFRAMETradeBarBinance::Submit(std::uint8_t aSide, TqmtTraderOrderType aType, const std::string& aSymbol, long double aSize,
                                   long double aPrice, long double aStopPrice) {
  TqmtTraderOrderSide s;
  if (!BinanceSide(aSide, s)) return;
  TqmtTraderOrderRequest r;
  r.Side = s;
  r.Type = aType;
  r.Symbol = aSymbol;
  r.Size = aSize;
  r.Price = aPrice;
  r.StopPrice = aStopPrice;
  SubmitFor([&] { return GetTraderClientBinance().SubmitOrder(r); });
}
