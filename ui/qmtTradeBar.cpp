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
#include "qmtTraderData_Balance.h"
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

long double PriceOf(std::uint8_t aKind, std::uint8_t aOperator, long double aMargin, std::uint8_t aUnit, const TqmtTradeBarQuote& q) {
  if (aKind == tbopValue) return aMargin;
  const long double lBase = aKind == tbopLast ? q.Last : aKind == tbopBid ? q.Bid : aKind == tbopAsk ? q.Ask : -1;
  if (!(lBase > 0)) return -1;
  const long double lDelta = aUnit == tbouTicks ? aMargin * q.Tick : aUnit == tbouPercent ? lBase * aMargin / 100 : aMargin;
  if (aOperator == tbomSum) return lBase + lDelta;
  if (aOperator == tbomMinus) return lBase - lDelta;
  return lBase;
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

TqmtTradeBarOrder::TqmtTradeBarOrder(std::string aID) : FID(std::move(aID)) {
  const auto lDot = FID.rfind('.');
  FSharedID = lDot == std::string::npos ? FID : FID.substr(lDot + 1);
}

long double TqmtTradeBarOrder::GetLimitPrice(const TqmtTradeBarQuote& aQuote) const {
  return PriceOf(LimitPrice, LimitPriceOperator, LimitPriceMargin, LimitPriceUnit, aQuote);
}

long double TqmtTradeBarOrder::GetStopPrice(const TqmtTradeBarQuote& aQuote) const {
  return PriceOf(StopPrice, StopPriceOperator, StopPriceMargin, StopPriceUnit, aQuote);
}

void TqmtTradeBarOrder::LoadSettings() {
  TqmtIniFile& s = GetTraderSettings();
  // A symbol's own definition is one with an order type; its buttons' Enabled and Visible live in
  // the same section and do not make one.
  Own = !s.ReadString(FID, "OrderType", "").empty();
  const std::string& lSection = ID();
  Description = s.ReadString(lSection, "Description", "");
  OrderType = static_cast<std::uint8_t>(s.ReadInteger(lSection, "OrderType", 0));
  Side = static_cast<std::uint8_t>(s.ReadInteger(lSection, "Side", 0));
  Confirmation = s.ReadBool(lSection, "Confirmation", true);
  auto lStop = [&] {
    StopPrice = static_cast<std::uint8_t>(s.ReadInteger(lSection, "StopPrice", 0));
    StopPriceOperator = static_cast<std::uint8_t>(s.ReadInteger(lSection, "StopPriceOperator", 0));
    StopPriceMargin = ReadMargin(s, lSection, "StopPriceMargin");
    StopPriceUnit = static_cast<std::uint8_t>(s.ReadInteger(lSection, "StopPriceUnit", tbouAmount));
  };
  auto lLimit = [&] {
    LimitPrice = static_cast<std::uint8_t>(s.ReadInteger(lSection, "LimitPrice", 0));
    LimitPriceOperator = static_cast<std::uint8_t>(s.ReadInteger(lSection, "LimitPriceOperator", 0));
    LimitPriceMargin = ReadMargin(s, lSection, "LimitPriceMargin");
    LimitPriceUnit = static_cast<std::uint8_t>(s.ReadInteger(lSection, "LimitPriceUnit", tbouAmount));
  };
  if (OrderType == tbotLimit) lLimit();
  if (OrderType == tbotStop) lStop();
  if (OrderType == tbotStopLimit) lStop(), lLimit();
}

void TqmtTradeBarOrder::SaveSettings() {
  TqmtIniFile& s = GetTraderSettings();
  // Made shared: the symbol's own definition goes (an empty order type is none).
  if (!Own && !s.ReadString(FID, "OrderType", "").empty()) s.WriteString(FID, "OrderType", "");
  const std::string& lSection = ID();
  s.WriteString(lSection, "Description", Description);
  s.WriteInteger(lSection, "OrderType", OrderType);
  s.WriteInteger(lSection, "Side", Side);
  s.WriteBool(lSection, "Confirmation", Confirmation);
  // Margins as their shortest exact decimal: 0.126 stays 0.126 after a restart.
  auto lStop = [&] {
    s.WriteInteger(lSection, "StopPrice", StopPrice);
    s.WriteInteger(lSection, "StopPriceOperator", StopPriceOperator);
    s.WriteString(lSection, "StopPriceMargin", TradeBarNumberText(StopPriceMargin));
    if (StopPriceUnit != tbouAmount || !s.ReadString(lSection, "StopPriceUnit", "").empty()) s.WriteInteger(lSection, "StopPriceUnit", StopPriceUnit);
  };
  auto lLimit = [&] {
    s.WriteInteger(lSection, "LimitPrice", LimitPrice);
    s.WriteInteger(lSection, "LimitPriceOperator", LimitPriceOperator);
    s.WriteString(lSection, "LimitPriceMargin", TradeBarNumberText(LimitPriceMargin));
    if (LimitPriceUnit != tbouAmount || !s.ReadString(lSection, "LimitPriceUnit", "").empty())
      s.WriteInteger(lSection, "LimitPriceUnit", LimitPriceUnit);
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
  setFixedSize(258, 244);
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
  txtValue = lField("Value", true);
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
                              long double aSize, long double aLimitPrice, long double aStopPrice, long double aValue,
                              const std::string& aQuote) {
  TFRMTradeBarConfirmation d(QApplication::activeWindow());
  d.txtSymbol->setText(QString::fromStdString(aSymbol));
  d.txtOrderType->setText(QString::fromStdString(aOrderType));
  d.txtOrderSide->setText(SideText(aSide));
  d.txtSize->setText(QString::fromStdString(Number(aSize)));
  d.txtLimitPrice->setText(QString::fromStdString(Number(aLimitPrice)));
  d.txtStopPrice->setText(QString::fromStdString(Number(aStopPrice)));
  d.txtValue->setText(aValue > 0 ? QString::fromStdString(FormatFloat("0.00", aValue) + (aQuote.empty() ? "" : " " + aQuote)) : QString());
  const bool lLimit = aOrderType == "LIMIT" || aOrderType == "STOP LIMIT" || aLimitPrice > 0;
  const bool lStop = aOrderType == "STOP" || aOrderType == "STOP LIMIT" || aStopPrice > 0;
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
  lblValue = new QLabel(this);
  lblValue->setObjectName("lblValue");
  lblValue->setAlignment(Qt::AlignRight);
  lblValue->setToolTip("The size in the base asset and its value in the quote asset, at the last price");
  QFont lSmall = lblValue->font();
  lSmall.setPointSizeF(lSmall.pointSizeF() * 0.85);
  lblValue->setFont(lSmall);
  toolTradeBar->addWidget(lblValue);
  txtSize->setToolTip("Size: 0.5 (the base asset), 500 USDT (a value in the quote asset) or 10% (of the available balance)."
                      " Right-click for presets.");
  txtSize->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(txtSize, &QLineEdit::customContextMenuRequested, this, [this](const QPoint& aAt) { ShowSizePresets(txtSize->mapToGlobal(aAt)); });
  connect(txtSize, &QLineEdit::textChanged, this, [this] { ShowValue(); });
  AddSeparator("ToolButton4");
  // The eight buttons two by two (a buy beside its sell, as they are usually defined), so that all
  // of them and "Cancel Orders" fit beside the chart at the window's first size.
  pnlOrderButtons = new QWidget(this);
  pnlOrderButtons->setObjectName("pnlOrderButtons");
  auto* lButtons = new QGridLayout(pnlOrderButtons);
  lButtons->setContentsMargins(0, 2, 0, 2);
  lButtons->setHorizontalSpacing(2);
  lButtons->setVerticalSpacing(2);
  const char* lDividers[] = {"ToolButton5", "ToolButton1", "ToolButton8"};
  for (int k = 1; k <= 8; ++k) {
    const int lRow = (k - 1) / 2 * 2;  // a divider row after each pair
    OrderButtons.push_back(AddButton(QString::number(k), "Order" + std::to_string(k), k, lButtons, lRow, (k - 1) % 2));
    if (k % 2 == 0 && k < 8) {
      auto* lLine = new QFrame(pnlOrderButtons);
      lLine->setFrameShape(QFrame::HLine);
      lLine->setFrameShadow(QFrame::Sunken);
      lButtons->addWidget(lLine, lRow + 1, 0, 1, 2);
      AddStateItem(lDividers[k / 2 - 1], lLine);
    }
  }
  toolTradeBar->addWidget(pnlOrderButtons);
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

QAction* TFRAMETradeBar::AddStateItem(const std::string& aName, QWidget* aWidget) {
  // An item of the button grid: its action holds the Enabled and Visible state the settings keep,
  // and the widget follows it.
  auto* a = new QAction(this);
  a->setObjectName(QString::fromStdString(aName));
  connect(a, &QAction::changed, aWidget, [a, aWidget] { aWidget->setVisible(a->isVisible()); });
  FItems.emplace_back(aName, a);
  FItemWidgets[aName] = aWidget;
  return a;
}

QWidget* TFRAMETradeBar::ItemWidget(const std::string& aName, QAction* aAction) const {
  if (QWidget* w = toolTradeBar->widgetForAction(aAction)) return w;
  const auto lIt = FItemWidgets.find(aName);
  return lIt == FItemWidgets.end() ? nullptr : lIt->second;
}

QToolButton* TFRAMETradeBar::AddButton(const QString& aCaption, const std::string& aName, int aTag, QGridLayout* aGrid, int aRow,
                                       int aColumn) {
  auto* b = new QToolButton(aGrid ? aGrid->parentWidget() : this);
  b->setObjectName(QString::fromStdString(aName));
  b->setText(aCaption);
  b->setProperty("tag", aTag);
  // The button's menu on a right-click (or a press held): no arrow takes room from the caption.
  b->setPopupMode(QToolButton::DelayedPopup);
  b->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(b, &QToolButton::customContextMenuRequested, b, [b](const QPoint& aAt) { b->menu()->popup(b->mapToGlobal(aAt)); });
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
  if (aGrid) {
    aGrid->addWidget(b, aRow, aColumn);
    AddStateItem(aName, b);
  } else {
    FItems.emplace_back(aName, toolTradeBar->addWidget(b));
  }
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
  for (int i = 0; i < 8; ++i) ShowCaption(i);
}

void TFRAMETradeBar::ShowCaption(int aIndex) {
  // Undefined: the number of its key (Ctrl+N); defined: its description, or what it does.
  const TqmtTradeBarOrder* o = FTradeBarOrders.GetOrder(aIndex);
  QToolButton* b = OrderButtons[static_cast<std::size_t>(aIndex)];
  const QString lKey = QString("Ctrl+%1").arg(aIndex + 1);
  if (!o || !o->Defined()) {
    b->setText(QString::number(aIndex + 1));
    b->setToolTip(QString("Not defined (%1): \"Edit Order\" in its menu defines it").arg(lKey));
    return;
  }
  std::string lText = o->Description;
  if (lText.empty()) lText = std::string(o->Side == tbosSell ? "Sell " : "Buy ") + TypeText(o->OrderType);
  b->setText(QString::fromStdString(lText));
  b->setToolTip(QString::fromStdString(lText) + " (" + lKey + (o->Own ? ", this symbol's own)" : ", for every symbol)"));
}

void TFRAMETradeBar::DoLoadButtons() {
  TqmtIniFile& s = GetTraderSettings();
  for (const auto& [lName, lAction] : FItems) {
    const bool lEnabled = s.ReadBool(Section(lName), "Enabled", true);
    const bool lVisible = s.ReadBool(Section(lName), "Visible", true);
    if (auto* w = ItemWidget(lName, lAction)) w->setEnabled(lEnabled);
    lAction->setEnabled(lEnabled);
    lAction->setVisible(lVisible);
  }
}

void TFRAMETradeBar::ResetButtons() {
  TqmtIniFile& s = GetTraderSettings();
  for (const auto& [lName, lAction] : FItems) {
    if (auto* w = ItemWidget(lName, lAction)) w->setEnabled(true);
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
  if (aTicker.Bid() > 0) FPendingBid = aTicker.Bid();
  if (aTicker.Ask() > 0) FPendingAsk = aTicker.Ask();
  if (FPosted) return;
  FPosted = true;
  QMetaObject::invokeMethod(this, &TFRAMETradeBar::ApplyTicker, Qt::QueuedConnection);
}

void TFRAMETradeBar::ApplyTicker() {
  {
    std::lock_guard lGuard(FTickLock);
    FLastPrice = FPendingPrice;
    FBid = FPendingBid;
    FAsk = FPendingAsk;
    FPosted = false;
  }
  FHasLast = true;
  ShowValue();
  txtSymbol->setText(QString::fromStdString(FSymbol));
  txtLast->setText(QString::fromStdString(FormatFloat("0.0000", FLastPrice)));
}

TqmtTradeBarQuote TFRAMETradeBar::Quote() {
  TqmtTradeBarQuote q{FLastPrice, FBid, FAsk, 0};
  long double lLot;
  GetSteps(q.Tick, lLot);
  return q;
}

std::string TFRAMETradeBar::QuoteAsset() const {
  // The symbol's quote, from its name: the exchange's usual quotes, longest first.
  for (const char* q : {"FDUSD", "USDT", "USDC", "BUSD", "TUSD", "BTC", "ETH", "BNB", "EUR", "TRY", "USD"}) {
    const std::string lQuote = q;
    if (FSymbol.size() > lQuote.size() && FSymbol.compare(FSymbol.size() - lQuote.size(), lQuote.size(), lQuote) == 0) return lQuote;
  }
  return std::string();
}

long double TFRAMETradeBar::Available(const std::string& aAsset) const {
  auto c = GetTraderDataBalance().GetTable().CloneCursor();
  c->SetFiltered(false);
  return c->FindKey(aAsset) ? c->FieldByName("WALLET_BALANCE").AsExtended() : 0;
}

long double TFRAMETradeBar::SizeOf(const std::string& aText, std::uint8_t aSide) const {
  std::string lText = aText;
  while (!lText.empty() && lText.back() == ' ') lText.pop_back();
  while (!lText.empty() && lText.front() == ' ') lText.erase(0, 1);
  if (lText.empty()) throw Exception("the size is empty");
  if (lText.back() == '%') {
    // A share of what the order would spend: the quote on a buy (and on futures, the margin), the
    // base asset on a spot sell.
    const long double lPercent = TradeBarTextToNumber(lText.substr(0, lText.size() - 1));
    if (!(lPercent > 0 && lPercent <= 100)) throw Exception("a size in percent is above 0 and at most 100");
    const std::string lQuote = QuoteAsset();
    const bool lFutures = GetTraderClient() && GetTraderClient()->FuturesMarket();
    if (aSide == tbosSell && !lFutures) return Available(FSymbol.substr(0, FSymbol.size() - lQuote.size())) * lPercent / 100;
    if (!(FLastPrice > 0)) throw Exception("no price for " + FSymbol + " has come yet");
    return Available(lQuote) * lPercent / 100 / FLastPrice;
  }
  const auto lSpace = lText.find_first_not_of("0123456789.");
  if (lSpace != std::string::npos) {
    // A value in the quote asset: "500 USDT".
    std::string lAsset = lText.substr(lSpace);
    while (!lAsset.empty() && lAsset.front() == ' ') lAsset.erase(0, 1);
    for (char& ch : lAsset) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (lAsset != QuoteAsset())
      throw Exception("the size \"" + lText + "\" is neither a number, a value in " + (QuoteAsset().empty() ? "the quote" : QuoteAsset()) +
                      " nor a percentage");
    if (!(FLastPrice > 0)) throw Exception("no price for " + FSymbol + " has come yet");
    return TradeBarTextToNumber(lText.substr(0, lSpace)) / FLastPrice;
  }
  return TradeBarTextToNumber(lText);
}

void TFRAMETradeBar::ShowValue() {
  long double lSize = 0;
  try {
    lSize = SizeOf(txtSize->text().toStdString(), tbosBuy);
  } catch (const std::exception&) {
    lblValue->setText("?");
    return;
  }
  long double lTick, lLot;
  GetSteps(lTick, lLot);
  lSize = RoundDownToStep(lSize, lLot);
  const std::string lBase = FSymbol.substr(0, FSymbol.size() - QuoteAsset().size());
  QString lText = QString::fromStdString(TradeBarNumberText(lSize) + " " + lBase);
  if (FLastPrice > 0) lText += QString::fromStdString(" = " + FormatFloat("0.00", lSize * FLastPrice));
  lblValue->setText(lText);
}

void TFRAMETradeBar::ShowSizePresets(const QPoint& aAt) {
  // Per symbol, kept with the bar's size: "0.01,0.1,500 USDT,25%".
  TqmtIniFile& s = GetTraderSettings();
  const std::string lSection = Section(objectName().toStdString());
  std::vector<std::string> lPresets;
  std::string lList = s.ReadString(lSection, "SizePresets", "");
  for (std::size_t lAt = 0; !lList.empty();) {
    lAt = lList.find(',');
    lPresets.push_back(lList.substr(0, lAt));
    lList = lAt == std::string::npos ? std::string() : lList.substr(lAt + 1);
  }
  QMenu m(this);
  for (const std::string& p : lPresets)
    connect(m.addAction(QString::fromStdString(p)), &QAction::triggered, this, [this, p] {
      txtSize->setText(QString::fromStdString(p));
      GetTraderSettings().WriteString(Section(objectName().toStdString()), "Size", p);
    });
  if (!lPresets.empty()) m.addSeparator();
  const std::string lNow = txtSize->text().trimmed().toStdString();
  QAction* lKeep = m.addAction("Keep \"" + QString::fromStdString(lNow) + "\" as a preset");
  lKeep->setEnabled(!lNow.empty() && lNow.find(',') == std::string::npos &&
                    std::find(lPresets.begin(), lPresets.end(), lNow) == lPresets.end());
  connect(lKeep, &QAction::triggered, this, [this, lPresets, lNow] {
    std::string lJoined;
    for (const std::string& p : lPresets) lJoined += p + ",";
    GetTraderSettings().WriteString(Section(objectName().toStdString()), "SizePresets", lJoined + lNow);
  });
  QAction* lClear = m.addAction("Forget the presets");
  lClear->setEnabled(!lPresets.empty());
  connect(lClear, &QAction::triggered, this,
          [this] { GetTraderSettings().WriteString(Section(objectName().toStdString()), "SizePresets", ""); });
  m.exec(aAt);
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

void TFRAMETradeBar::PlaceAtPrice(std::uint8_t aSide, bool aStop, long double aPrice, bool aConfirm) {
  // A definition of the moment, never stored: a fixed price is its margin.
  TqmtTradeBarOrder lOrder(Section("Ladder"));
  lOrder.OrderType = aStop ? tbotStop : tbotLimit;
  lOrder.Side = aSide;
  lOrder.LimitPrice = lOrder.StopPrice = tbopValue;
  lOrder.LimitPriceMargin = lOrder.StopPriceMargin = aPrice;
  lOrder.Confirmation = aConfirm;
  FPressedTag = 0;
  DoTradeBarOrder(&lOrder);
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
  if (!FHasLast) return lRefuse("no price for " + FSymbol + " has come yet");
  long double lAsked = 0;
  try {
    lAsked = SizeOf(txtSize->text().toStdString(), aOrder->Side);
  } catch (const std::exception& e) {
    return lRefuse(e.what());
  }
  if (!(lAsked > 0)) return lRefuse("the size must be a positive number");
  const TqmtTradeBarQuote lQuote = Quote();
  auto lHeard = [&](std::uint8_t aKind) {
    return (aKind != tbopBid || lQuote.Bid > 0) && (aKind != tbopAsk || lQuote.Ask > 0);
  };
  // Only the prices this type sends: a kind left from another type says nothing.
  const bool lUsesLimit = lType == tbotLimit || lType == tbotStopLimit, lUsesStop = lType == tbotStop || lType == tbotStopLimit;
  for (const auto& [lUsed, lKind] : {std::pair{lUsesLimit, aOrder->LimitPrice}, std::pair{lUsesStop, aOrder->StopPrice}})
    if (lUsed && !lHeard(lKind))
      return lRefuse(std::string("no ") + (lKind == tbopBid ? "bid" : "ask") + " for " + FSymbol + " has come yet");
  const bool lFollows = ((lType == tbotLimit || lType == tbotStopLimit) && aOrder->LimitPrice != tbopValue) ||
                        ((lType == tbotStop || lType == tbotStopLimit) && aOrder->StopPrice != tbopValue);
  if (FStale && lFollows)
    return lRefuse("its price follows the market's, which is not live (disconnected before " + FStaleSince.toStdString() + ")");
  const long double lPriceStep = lQuote.Tick;
  long double lUnused, lLotStep;
  GetSteps(lUnused, lLotStep);
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
    lLimit = aOrder->GetLimitPrice(lQuote);
    if (lType == tbotLimit && !lPrice(lLimit, "limit")) return;
    lLimit = RoundToStep(lLimit, lPriceStep);
  }
  if (lType == tbotStop || lType == tbotStopLimit) {
    lStop = aOrder->GetStopPrice(lQuote);
    if (!lPrice(lStop, "stop")) return;
    lStop = RoundToStep(lStop, lPriceStep);
  }
  // A stop-limit whose limit is exactly 0 goes as a plain stop; a negative one is refused.
  if (lType == tbotStopLimit && lLimit < 0 && !lPrice(lLimit, "limit")) return;
  const char* lText = TypeText(lType);
  // The value at the price it would fill near: its limit, else its stop, else the last price.
  const long double lValue = lSize * (lLimit > 0 ? lLimit : lStop > 0 ? lStop : FLastPrice);
  if (aOrder->Confirmation && !ShowTradeBarConfirmation(lSymbol, lText, aOrder->Side, lSize, lLimit, lStop, lValue, QuoteAsset()))
    return;
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
  // Sized by its rows: the stop-limit page, its largest, is never squeezed.
  setMinimumWidth(330);
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
  chkOwn = new QCheckBox("Only for this symbol", lGroup);
  chkOwn->setObjectName("chkOwn");
  chkOwn->setToolTip("Unchecked, the definition applies to every symbol that has none of its own");
  lForm->addWidget(chkOwn, 4, 1);
  pageOrderType = new QStackedWidget(lGroup);
  lForm->addWidget(pageOrderType, 5, 0, 1, 2);
  auto lPriceList = [](QWidget* p) {
    auto* c = new QComboBox(p);
    c->addItems({"Fixed Price", "<Last>", "<Bid>", "<Ask>"});
    c->setCurrentIndex(-1);
    return c;
  };
  auto lUnit = [](QWidget* p) {
    auto* c = new QComboBox(p);
    c->addItems({"amount", "ticks", "%"});
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
    cboLimitUnit = lUnit(w);
    g->addWidget(cboLimitUnit, 1, 3);
  }
  {
    auto [w, g] = lPage("Stop", 2);
    tabOrderStop = w;
    cboStopPrice = lPriceList(w), cboStopMarginOperator = lOperator(w), txtStopMarginValue = lMargin(w);
    g->addWidget(new QLabel("Price", w), 0, 0), g->addWidget(cboStopPrice, 0, 1, 1, 2);
    g->addWidget(new QLabel("Margin", w), 1, 0), g->addWidget(cboStopMarginOperator, 1, 1), g->addWidget(txtStopMarginValue, 1, 2);
    cboStopUnit = lUnit(w);
    g->addWidget(cboStopUnit, 1, 3);
  }
  {
    auto [w, g] = lPage("Stop Limit", 4);
    tabOrderStopLimit = w;
    cboStopLimitStopPrice = lPriceList(w), cboStopLimitStopPriceMarginOperator = lOperator(w);
    txtStopLimitStopPriceMarginValue = lMargin(w);
    cboStopLimitLimitPrice = lPriceList(w), cboStopLimitLimitPriceMarginOperator = lOperator(w);
    txtStopLimitLimitPriceMarginValue = lMargin(w);
    g->addWidget(new QLabel("Stop Price", w), 0, 0), g->addWidget(cboStopLimitStopPrice, 0, 1, 1, 3);
    g->addWidget(new QLabel("Stop Margin", w), 1, 0), g->addWidget(cboStopLimitStopPriceMarginOperator, 1, 1);
    g->addWidget(txtStopLimitStopPriceMarginValue, 1, 2);
    g->addWidget(new QLabel("Limit Price", w), 2, 0), g->addWidget(cboStopLimitLimitPrice, 2, 1, 1, 3);
    g->addWidget(new QLabel("Limit Margin", w), 3, 0), g->addWidget(cboStopLimitLimitPriceMarginOperator, 3, 1);
    g->addWidget(txtStopLimitLimitPriceMarginValue, 3, 2);
    cboStopLimitStopUnit = lUnit(w), cboStopLimitLimitUnit = lUnit(w);
    g->addWidget(cboStopLimitStopUnit, 1, 3), g->addWidget(cboStopLimitLimitUnit, 3, 3);
    g->setVerticalSpacing(4);
  }
  auto* lBottom = new QHBoxLayout();
  lBottom->addStretch(1);
  btnOk = new QPushButton("Ok", this);
  btnOk->setObjectName("btnOk");
  btnCancel = new QPushButton("Cancel", this);
  btnCancel->setObjectName("btnCancel");
  btnOk->setDefault(true);
  lBottom->addWidget(btnOk);
  lBottom->addWidget(btnCancel);
  lOuter->addLayout(lBottom);
  connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
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

void TFRMTradeBarOrder::SetOrder(TqmtTradeBarOrder* aOrder, const std::string& aSymbol) {
  FOrder = aOrder;
  chkOwn->setText(aSymbol.empty() ? QString("Only for this symbol") : QString::fromStdString("Only for " + aSymbol));
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
  chkOwn->setChecked(FOrder->Own);
  auto lFill = [](QComboBox* aKind, QComboBox* aOperator, QLineEdit* aMargin, QComboBox* aUnit, std::uint8_t k, std::uint8_t o,
                  long double m, std::uint8_t u) {
    aKind->setCurrentIndex(ListIndex(k, aKind));
    aOperator->setCurrentIndex(ListIndex(o, aOperator));
    aMargin->setText(MarginText(m));
    aUnit->setCurrentIndex(u < aUnit->count() ? u : 0);
  };
  const auto& o = *FOrder;
  if (o.OrderType == tbotLimit)
    lFill(cboLimitPrice, cboLimitMarginOperator, txtLimitMarginValue, cboLimitUnit, o.LimitPrice, o.LimitPriceOperator, o.LimitPriceMargin,
          o.LimitPriceUnit);
  if (o.OrderType == tbotStop)
    lFill(cboStopPrice, cboStopMarginOperator, txtStopMarginValue, cboStopUnit, o.StopPrice, o.StopPriceOperator, o.StopPriceMargin,
          o.StopPriceUnit);
  if (o.OrderType == tbotStopLimit) {
    lFill(cboStopLimitStopPrice, cboStopLimitStopPriceMarginOperator, txtStopLimitStopPriceMarginValue, cboStopLimitStopUnit,
          o.StopPrice, o.StopPriceOperator, o.StopPriceMargin, o.StopPriceUnit);
    lFill(cboStopLimitLimitPrice, cboStopLimitLimitPriceMarginOperator, txtStopLimitLimitPriceMarginValue, cboStopLimitLimitUnit,
          o.LimitPrice, o.LimitPriceOperator, o.LimitPriceMargin, o.LimitPriceUnit);
  }
}

void TFRMTradeBarOrder::DoSaveOrder() {
  if (!FOrder) return;
  // Every margin is read before anything changes: one that is no number leaves all as it was.
  auto lMarginOf = [](QLineEdit* e) { return TradeBarTextToNumber(e->text().trimmed().toStdString()); };
  for (QLineEdit* e : {txtLimitMarginValue, txtStopMarginValue, txtStopLimitStopPriceMarginValue, txtStopLimitLimitPriceMarginValue})
    if (e->isVisibleTo(this) || pageOrderType->currentWidget()->isAncestorOf(e)) lMarginOf(e);
  auto& o = *FOrder;
  o.Own = chkOwn->isChecked();
  o.Description = txtDescription->text().toStdString();
  o.OrderType = ListValue(cboOrderType);
  o.Side = ListValue(cboOrderSide);
  o.Confirmation = chkConfirmation->isChecked();
  auto lMargin = [](QLineEdit* e) { return TradeBarTextToNumber(e->text().trimmed().toStdString()); };
  switch (cboOrderType->currentIndex()) {
    case tbotLimit:
      o.LimitPrice = ListValue(cboLimitPrice), o.LimitPriceOperator = ListValue(cboLimitMarginOperator);
      o.LimitPriceMargin = lMargin(txtLimitMarginValue), o.LimitPriceUnit = ListValue(cboLimitUnit);
      break;
    case tbotStop:
      o.StopPrice = ListValue(cboStopPrice), o.StopPriceOperator = ListValue(cboStopMarginOperator);
      o.StopPriceMargin = lMargin(txtStopMarginValue), o.StopPriceUnit = ListValue(cboStopUnit);
      break;
    case tbotStopLimit:
      o.StopPrice = ListValue(cboStopLimitStopPrice), o.StopPriceOperator = ListValue(cboStopLimitStopPriceMarginOperator);
      o.StopPriceMargin = lMargin(txtStopLimitStopPriceMarginValue), o.StopPriceUnit = ListValue(cboStopLimitStopUnit);
      o.LimitPrice = ListValue(cboStopLimitLimitPrice), o.LimitPriceOperator = ListValue(cboStopLimitLimitPriceMarginOperator);
      o.LimitPriceMargin = lMargin(txtStopLimitLimitPriceMarginValue), o.LimitPriceUnit = ListValue(cboStopLimitLimitUnit);
      break;
  }
}

void TFRMTradeBarOrder::done(int aResult) {
  if (aResult == QDialog::Accepted) {
    try {
      DoSaveOrder();
    } catch (const std::exception& e) {
      ReportUIException(e.what());  // a margin that is no number: the dialog stays open
      return;
    }
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
  d.SetOrder(o, Symbol());
  d.adjustSize();
  CentreOnScreen(&d);
  if (d.exec() != QDialog::Accepted) return;  // Cancel, Escape, the close box: as it was
  o->SaveSettings();
  // A shared definition shows on every symbol's bar that has none of its own: each reads it again
  // when its symbol is set; this one at once.
  ShowCaption(aButton->property("tag").toInt() - 1);
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
