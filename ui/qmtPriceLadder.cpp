#include "qmtPriceLadder.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "qmtTradeBar.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderSettings.h"
#include "qmtUIApplication.h"

namespace {

constexpr int kRowHeight = 18;
constexpr int kHeaderHeight = 18;  // the columns' names, painted above the rows
constexpr std::int64_t kUnit = 100000000;  // 1e8 units make 1

std::int64_t FloorTo(std::int64_t aValue, std::int64_t aStep) { return aValue / aStep * aStep; }
std::int64_t CeilTo(std::int64_t aValue, std::int64_t aStep) { return (aValue + aStep - 1) / aStep * aStep; }

// Decimals a price step needs: 0.01 -> 2, 0.5 -> 1, 10 -> 0.
int DecimalsOf(std::int64_t aTick) {
  int d = 8;
  while (d > 0 && aTick % 10 == 0) aTick /= 10, --d;
  return d;
}

QString PriceText(std::int64_t aUnits, int aDecimals) {
  std::string s = std::to_string(aUnits / kUnit);
  if (aDecimals > 0) {
    const std::string f = std::to_string(aUnits % kUnit + kUnit);  // "1" and 8 digits
    s.push_back('.');
    s.append(f, 1, static_cast<std::size_t>(aDecimals));
  }
  return QString::fromStdString(s);
}

QString SizeText(std::int64_t aUnits) { return aUnits ? QString::fromStdString(BookUnitsText(aUnits)) : QString(); }

QString OwnText(long double aSize) {
  if (aSize <= 0) return QString();
  return QString::fromStdString(BookUnitsText(static_cast<std::int64_t>(std::llround(aSize * kUnit))));
}

std::int64_t ToUnits(long double aValue) { return static_cast<std::int64_t>(std::llround(aValue * kUnit)); }

}  // namespace

void GroupLadder(const TqmtBookView& aView, std::int64_t aStep, std::int64_t aTop, int aCount, std::vector<TqmtLadderRow>& aRows) {
  aRows.assign(static_cast<std::size_t>(std::max(aCount, 0)), TqmtLadderRow());
  if (aCount <= 0 || aStep <= 0) return;
  for (int i = 0; i < aCount; ++i) aRows[static_cast<std::size_t>(i)].Price = aTop - i * aStep;
  const std::int64_t lBottom = aTop - (aCount - 1) * aStep;
  // Bids, best (highest) first: what lies above the top row still counts in the depth below it.
  std::int64_t lAbove = 0;
  for (const TqmtBookLevel& l : aView.Bids) {
    const std::int64_t lRow = FloorTo(l.Price, aStep);
    if (lRow > aTop)
      lAbove += l.Size;
    else if (lRow >= lBottom)
      aRows[static_cast<std::size_t>((aTop - lRow) / aStep)].Bid += l.Size;
  }
  std::int64_t lRunning = lAbove;
  for (auto& r : aRows) r.BidCum = (lRunning += r.Bid);
  // Asks, best (lowest) first: what lies below the bottom row counts in the depth above it.
  std::int64_t lBelow = 0;
  for (const TqmtBookLevel& l : aView.Asks) {
    const std::int64_t lRow = CeilTo(l.Price, aStep);
    if (lRow < lBottom)
      lBelow += l.Size;
    else if (lRow <= aTop)
      aRows[static_cast<std::size_t>((aTop - lRow) / aStep)].Ask += l.Size;
  }
  lRunning = lBelow;
  for (auto r = aRows.rbegin(); r != aRows.rend(); ++r) r->AskCum = (lRunning += r->Ask);
  // A bid's depth means nothing above the best bid, an ask's below the best ask.
  const std::int64_t lBestBid = aView.Bids.empty() ? 0 : FloorTo(aView.Bids.front().Price, aStep);
  const std::int64_t lBestAsk = aView.Asks.empty() ? 0 : CeilTo(aView.Asks.front().Price, aStep);
  for (auto& r : aRows) {
    if (aView.Bids.empty() || r.Price > lBestBid) r.BidCum = 0;
    if (aView.Asks.empty() || r.Price < lBestAsk) r.AskCum = 0;
  }
}

// ---- the painted rows ------------------------------------------------------------------------------

class TqmtLadderView : public QWidget {
public:
  explicit TqmtLadderView(TFRAMEPriceLadder& aLadder) : QWidget(&aLadder), FLadder(aLadder) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setMinimumSize(240, kHeaderHeight + 8 * kRowHeight);
  }

  // The columns' left edges: own buys, bids, price, asks, own sells.
  std::array<int, 6> Edges() const {
    const int w = width();
    const int lOwn = w * 16 / 100, lSize = w * 22 / 100;
    return {0, lOwn, lOwn + lSize, w - lOwn - lSize, w - lOwn, w};
  }

  static int RowAtY(int aY) { return aY < kHeaderHeight ? -1 : (aY - kHeaderHeight) / kRowHeight; }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), QColor(250, 250, 250));
    const auto e = Edges();
    const auto& lRows = FLadder.FRows;
    const TqmtBookView& b = FLadder.FBest;
    p.fillRect(QRect(0, 0, width(), kHeaderHeight), QColor(235, 235, 235));
    p.setPen(QColor(90, 90, 90));
    static const char* kNames[] = {"Buy", "Bids", "Price", "Asks", "Sell"};
    for (int c = 0; c < 5; ++c)
      p.drawText(QRect(e[static_cast<std::size_t>(c)], 0, e[static_cast<std::size_t>(c) + 1] - e[static_cast<std::size_t>(c)], kHeaderHeight),
                 Qt::AlignCenter, kNames[c]);
    p.translate(0, kHeaderHeight);
    if (!b.Live || lRows.empty()) {
      p.setPen(QColor(120, 120, 120));
      p.drawText(QRect(0, 0, width(), height() - kHeaderHeight), Qt::AlignCenter, FLadder.lblStatus->text());
      return;
    }
    const bool lCumulative = FLadder.chkCumulative->isChecked();
    std::int64_t lMax = 1, lMaxCum = 1;
    for (const auto& r : lRows) {
      lMax = std::max({lMax, r.Bid, r.Ask});
      lMaxCum = std::max({lMaxCum, r.BidCum, r.AskCum});
    }
    const std::int64_t lStep = FLadder.Step();
    const std::int64_t lBestBid = b.Bids.empty() ? 0 : FloorTo(b.Bids.front().Price, lStep);
    const std::int64_t lBestAsk = b.Asks.empty() ? 0 : CeilTo(b.Asks.front().Price, lStep);
    const std::int64_t lLast = FLadder.FLast.load();
    const std::int64_t lLastRow = lLast ? FloorTo(lLast, lStep) : -1;
    const int lDecimals = DecimalsOf(lStep);
    QFont lBold = font();
    lBold.setBold(true);
    for (std::size_t i = 0; i < lRows.size(); ++i) {
      const TqmtLadderRow& r = lRows[i];
      const int y = static_cast<int>(i) * kRowHeight;
      auto lCell = [&](int c) { return QRect(e[static_cast<std::size_t>(c)], y, e[static_cast<std::size_t>(c) + 1] - e[static_cast<std::size_t>(c)], kRowHeight); };
      const bool lInSpread = lBestBid && lBestAsk && r.Price > lBestBid && r.Price < lBestAsk;
      if (lInSpread) p.fillRect(QRect(0, y, width(), kRowHeight), QColor(236, 236, 236));
      // Depth behind, the row's size in front, from the price column outwards.
      auto lBar = [&](int c, std::int64_t aCum, std::int64_t aSize, QColor aLight, QColor aStrong, bool aFromRight) {
        const QRect cell = lCell(c).adjusted(1, 2, -1, -2);
        auto lPart = [&](std::int64_t v, std::int64_t m) {
          const int w = static_cast<int>(cell.width() * static_cast<double>(v) / static_cast<double>(m));
          return aFromRight ? QRect(cell.right() - w + 1, cell.top(), w, cell.height()) : QRect(cell.left(), cell.top(), w, cell.height());
        };
        if (aCum) p.fillRect(lPart(aCum, lMaxCum), aLight);
        if (aSize) p.fillRect(lPart(aSize, lMax), aStrong);
      };
      lBar(1, r.BidCum, r.Bid, QColor(214, 238, 218), QColor(120, 196, 132), true);
      lBar(3, r.AskCum, r.Ask, QColor(246, 218, 218), QColor(226, 130, 130), false);
      p.setPen(Qt::black);
      p.setFont(font());
      const QString lBid = lCumulative ? SizeText(r.BidCum) : SizeText(r.Bid);
      const QString lAsk = lCumulative ? SizeText(r.AskCum) : SizeText(r.Ask);
      p.drawText(lCell(1).adjusted(2, 0, -3, 0), Qt::AlignRight | Qt::AlignVCenter, lBid);
      p.drawText(lCell(3).adjusted(3, 0, -2, 0), Qt::AlignLeft | Qt::AlignVCenter, lAsk);
      // The price: best bid green, best ask red, the last trade boxed.
      const QRect lPrice = lCell(2);
      if (r.Price == lBestBid) p.fillRect(lPrice, QColor(190, 230, 196));
      if (r.Price == lBestAsk) p.fillRect(lPrice, QColor(242, 196, 196));
      if (r.Price == lLastRow) {
        p.setPen(QPen(QColor(200, 150, 0), 2));
        p.drawRect(lPrice.adjusted(1, 1, -2, -2));
        p.setFont(lBold);
      }
      p.setPen(Qt::black);
      p.drawText(lPrice, Qt::AlignCenter, PriceText(r.Price, lDecimals));
      p.setFont(font());
      // Own orders, their remaining size, on a coloured tag.
      auto lOwn = [&](int c, long double aSize, QColor aColour) {
        if (aSize <= 0) return;
        const QRect cell = lCell(c).adjusted(2, 2, -2, -2);
        p.fillRect(cell, aColour);
        p.setPen(Qt::white);
        p.setFont(lBold);
        p.drawText(cell, Qt::AlignCenter, OwnText(aSize));
        p.setFont(font());
        p.setPen(Qt::black);
      };
      lOwn(0, r.MyBuy, QColor(40, 140, 60));
      lOwn(4, r.MySell, QColor(190, 50, 50));
      p.setPen(QColor(228, 228, 228));
      p.drawLine(0, y + kRowHeight - 1, width(), y + kRowHeight - 1);
    }
    p.setPen(QColor(200, 200, 200));
    for (int c = 1; c < 5; ++c) p.drawLine(e[static_cast<std::size_t>(c)], -kHeaderHeight, e[static_cast<std::size_t>(c)], height());
  }

  void mousePressEvent(QMouseEvent* aEvent) override {
    setFocus();
    if (aEvent->button() != Qt::LeftButton) return;
    const int lRow = RowAtY(static_cast<int>(aEvent->position().y()));
    const auto lColumn = FLadder.ColumnAt(static_cast<int>(aEvent->position().x()));
    const bool lStop = aEvent->modifiers() & Qt::ControlModifier;
    UIAction([&] { FLadder.Click(lRow, lColumn, lStop); });
  }

  void wheelEvent(QWheelEvent* aEvent) override {
    const int lNotches = aEvent->angleDelta().y() / 120;
    if (lNotches) FLadder.Scroll(-3 * lNotches);
    aEvent->accept();
  }

  void keyPressEvent(QKeyEvent* aEvent) override {
    switch (aEvent->key()) {
      case Qt::Key_Space:
      case Qt::Key_Home: FLadder.Centre(); break;
      case Qt::Key_Up: FLadder.Scroll(-1); break;
      case Qt::Key_Down: FLadder.Scroll(1); break;
      case Qt::Key_PageUp: FLadder.Scroll(-FLadder.VisibleRows()); break;
      case Qt::Key_PageDown: FLadder.Scroll(FLadder.VisibleRows()); break;
      default: QWidget::keyPressEvent(aEvent); return;
    }
    aEvent->accept();
  }

  void resizeEvent(QResizeEvent*) override { FLadder.Refresh(); }

  void mouseMoveEvent(QMouseEvent* aEvent) override {
    const int lRow = RowAtY(static_cast<int>(aEvent->position().y()));
    const auto& lRows = FLadder.FRows;
    if (lRow < 0 || lRow >= static_cast<int>(lRows.size())) return setToolTip(QString());
    const TqmtLadderRow& r = lRows[static_cast<std::size_t>(lRow)];
    const int lDecimals = DecimalsOf(FLadder.Step());
    setToolTip(QString("%1\nBids %2, depth %3\nAsks %4, depth %5")
                   .arg(PriceText(r.Price, lDecimals), SizeText(r.Bid), SizeText(r.BidCum), SizeText(r.Ask), SizeText(r.AskCum)));
  }

private:
  TFRAMEPriceLadder& FLadder;
};

// ---- the frame ---------------------------------------------------------------------------------------

TFRAMEPriceLadder::TFRAMEPriceLadder(const std::string& aSymbol, TFRAMETradeBar& aBar, QWidget* aParent)
    : TFRAMEBase(aParent), FSymbol(aSymbol), FBar(aBar) {
  setObjectName("FRAMEPriceLadder");
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  lLayout->setSpacing(2);
  auto* lHead = new QHBoxLayout();
  lHead->setContentsMargins(2, 2, 2, 0);
  cboGrouping = new QComboBox(this);
  for (int g : kGroupings) cboGrouping->addItem(g == 1 ? QString("1 tick") : QString("%1 ticks").arg(g), g);
  cboGrouping->setToolTip("Ticks per row");
  btnCentre = new QToolButton(this);
  btnCentre->setText("Centre");
  btnCentre->setToolTip("The market in the middle (Space)");
  chkConfirm = new QCheckBox("Confirm", this);
  chkConfirm->setToolTip("Ask before a click places an order");
  chkCumulative = new QCheckBox("Σ", this);
  chkCumulative->setToolTip("Show the depth from the best price instead of each row's size");
  lHead->addWidget(cboGrouping);
  lHead->addWidget(btnCentre);
  lHead->addWidget(chkConfirm);
  lHead->addWidget(chkCumulative);
  lHead->addStretch(1);
  lLayout->addLayout(lHead);
  lblStatus = new QLabel("waiting for the book", this);
  lblStatus->setContentsMargins(4, 0, 4, 0);
  lLayout->addWidget(lblStatus);
  FView = new TqmtLadderView(*this);
  lLayout->addWidget(FView, 1);

  TqmtIniFile& s = GetTraderSettings();
  chkConfirm->setChecked(s.ReadBool("Ladder", "Confirm", true));
  chkCumulative->setChecked(s.ReadBool("Ladder", "Cumulative", false));
  const int lGrouping = s.ReadInteger(FSymbol + ".Ladder", "Grouping", 1);
  FGrouping = std::find(std::begin(kGroupings), std::end(kGroupings), lGrouping) != std::end(kGroupings) ? lGrouping : 1;
  cboGrouping->setCurrentIndex(cboGrouping->findData(FGrouping));
  connect(cboGrouping, &QComboBox::currentIndexChanged, this,
          [this](int) { UIAction([&] { SetGrouping(cboGrouping->currentData().toInt()); }); });
  connect(btnCentre, &QToolButton::clicked, this, [this] { Centre(); });
  connect(chkConfirm, &QCheckBox::toggled, this, [](bool on) { GetTraderSettings().WriteBool("Ladder", "Confirm", on); });
  connect(chkCumulative, &QCheckBox::toggled, this, [this](bool on) {
    GetTraderSettings().WriteBool("Ladder", "Cumulative", on);
    FView->update();
  });

  if (auto* c = dynamic_cast<TqmtTraderClient_Binance*>(GetTraderClient())) {
    FHold = c->HoldOrderBook(FSymbol);
    FTradeListening = c->ListenTrade({this, &TFRAMEPriceLadder::OnTradeEvent});
  }
  FTimer.setInterval(100);
  connect(&FTimer, &QTimer::timeout, this, [this] {
    // The orders five times a second, the book whenever it changed.
    if (++FTicks % 2 == 0) ReadOrders();
    if (!FHold || FHold->Version() != FSeen || FTicks % 2 == 0) Refresh();
  });
  FTimer.start();
}

TFRAMEPriceLadder::~TFRAMEPriceLadder() {
  FTimer.stop();
  FTradeListening.Reset();  // waits for a running notification
}

void TFRAMEPriceLadder::OnTradeEvent(TObject*, const TqmtTraderTrade& aTrade) {
  if (aTrade.Symbol() != FSymbol) return;
  FLast.store(ToUnits(aTrade.Price()), std::memory_order_relaxed);
}

std::int64_t TFRAMEPriceLadder::TickUnits() const {
  if (TqmtTraderClient* c = GetTraderClient())
    if (TqmtTraderSymbol* s = c->Broker().Symbols().GetSymbol(FSymbol); s && s->PriceStep() > 0) return ToUnits(s->PriceStep());
  // Not known (yet): the finest step the book's prices share.
  std::int64_t g = 0;
  for (const auto* lSide : {&FBook.Bids, &FBook.Asks})
    for (std::size_t i = 1; i < lSide->size() && i < 50; ++i) g = std::gcd(g, std::llabs((*lSide)[i].Price - (*lSide)[i - 1].Price));
  return g;
}

int TFRAMEPriceLadder::VisibleRows() const { return std::max(1, (FView->height() - kHeaderHeight) / kRowHeight + 1); }

void TFRAMEPriceLadder::SetGrouping(int aTicks) {
  if (std::find(std::begin(kGroupings), std::end(kGroupings), aTicks) == std::end(kGroupings)) return;
  FGrouping = aTicks;
  GetTraderSettings().WriteInteger(FSymbol + ".Ladder", "Grouping", aTicks);
  if (cboGrouping->currentData().toInt() != aTicks) cboGrouping->setCurrentIndex(cboGrouping->findData(aTicks));
  FTop = 0;  // centred again at the new step
  Refresh();
}

void TFRAMEPriceLadder::Centre() {
  FTop = 0;
  FScrolled = false;
  Refresh();
}

void TFRAMEPriceLadder::Scroll(int aRows) {
  if (FTop == 0 || Step() == 0) return;
  FScrolled = true;
  FTop -= static_cast<std::int64_t>(aRows) * Step();
  FTop = std::max(FTop, Step() * VisibleRows());  // never below a price of 0 at the bottom
  Refresh();
}

int TFRAMEPriceLadder::RowOf(std::int64_t aPrice) const {
  for (std::size_t i = 0; i < FRows.size(); ++i)
    if (FRows[i].Price == aPrice) return static_cast<int>(i);
  return -1;
}

QWidget* TFRAMEPriceLadder::RowsView() const { return FView; }

TFRAMEPriceLadder::TColumn TFRAMEPriceLadder::ColumnAt(int aX) const {
  const auto e = FView->Edges();
  for (int c = 0; c < 5; ++c)
    if (aX < e[static_cast<std::size_t>(c) + 1]) return static_cast<TColumn>(c);
  return TColumn::MySell;
}

void TFRAMEPriceLadder::ReadOrders() {
  FOwn.clear();
  for (const auto& o : GetTraderDataOrders().OpenOrders(FSymbol)) {
    // A stop or take-profit rests at its trigger until it fires.
    const long double lPrice = o.Price > 0 ? o.Price : o.StopPrice;
    if (lPrice <= 0) continue;
    FOwn.push_back({ToUnits(lPrice), o.Side != "SELL", std::max<long double>(0, o.Size - o.Filled), o.Id});
  }
}

void TFRAMEPriceLadder::Refresh() {
  if (!FTick) FTick = TickUnits();
  const int lCount = VisibleRows();
  FBest = TqmtBookView();
  if (FHold) {
    // The best prices first (two levels' copy): where the market is, and the spread.
    FHold->Read(FBest, 1);
    FSeen = FBest.Version;
  }
  if (!FTick && FHold) {
    FHold->Read(FBook, 50);
    FTick = TickUnits();
  }
  const std::int64_t lStep = Step();
  const bool lBid = !FBest.Bids.empty(), lAsk = !FBest.Asks.empty();
  if (FBest.Live && lStep && (lBid || lAsk)) {
    const std::int64_t lBestBid = lBid ? FBest.Bids[0].Price : FBest.Asks[0].Price;
    const std::int64_t lBestAsk = lAsk ? FBest.Asks[0].Price : FBest.Bids[0].Price;
    const std::int64_t lBottom = FTop - (lCount - 1) * lStep;
    // Placed once, then left alone while the market moves inside the view. Unless the user scrolled
    // away, a best price that leaves the view brings the market back to the middle; scrolled, only
    // a market gone from the view entirely does (the ladder would show an empty book otherwise).
    const bool lGone = lBestAsk < lBottom || lBestBid > FTop;
    const bool lEdge = lBestBid < lBottom || lBestAsk > FTop;
    if (FTop == 0 || lGone || (!FScrolled && lEdge)) {
      const std::int64_t lMid = (lBestBid + lBestAsk) / 2;
      FTop = std::max(FloorTo(lMid, lStep) + (lCount / 2) * lStep, lStep * lCount);
    }
    // Only the visible range is copied (and what lies between it and the best prices, for the depth).
    FHold->Read(FBook, 0, FTop - (lCount - 1) * lStep, FTop);
    GroupLadder(FBook, lStep, FTop, lCount, FRows);
  } else {
    FBook = FBest;
    FRows.clear();
  }
  for (const TOwn& o : FOwn) {
    if (!lStep || FRows.empty()) break;
    const std::int64_t lRow = o.Buy ? FloorTo(o.Price, lStep) : CeilTo(o.Price, lStep);
    const int i = RowOf(lRow);
    if (i < 0) continue;
    TqmtLadderRow& r = FRows[static_cast<std::size_t>(i)];
    (o.Buy ? r.MyBuy : r.MySell) += o.Left;
    (o.Buy ? r.MyBuyIds : r.MySellIds).push_back(o.Id);
  }
  ShowStatus();
  FView->update();
}

void TFRAMEPriceLadder::ShowStatus() {
  QString lText;
  if (FStale)
    lText = "disconnected since " + FStaleSince;
  else if (!FHold)
    lText = "no order book without a sign-in";
  else if (!FBest.Live)
    lText = FBest.Version == 0 ? "waiting for the book" : "resynchronising";
  else if (FBest.Bids.empty() || FBest.Asks.empty())
    lText = "one side of the book is empty";
  else if (FTick) {
    // The spread in the book's own terms, whatever the grouping.
    const std::int64_t lBid = FBest.Bids[0].Price, lAsk = FBest.Asks[0].Price, lTicks = (lAsk - lBid) / FTick;
    const double lBp = 2.0 * static_cast<double>(lAsk - lBid) / static_cast<double>(lAsk + lBid) * 10000.0;
    lText = QString("Spread %1 tick%2 · %3 bp").arg(lTicks).arg(lTicks == 1 ? "" : "s").arg(lBp, 0, 'f', 1);
  }
  if (!FBest.Problem.empty() && !FBest.Live) lText += " (" + QString::fromStdString(FBest.Problem) + ")";
  lblStatus->setText(lText);
}

void TFRAMEPriceLadder::Click(int aRow, TColumn aColumn, bool aStop) {
  if (aRow < 0 || aRow >= static_cast<int>(FRows.size())) return;
  const TqmtLadderRow& r = FRows[static_cast<std::size_t>(aRow)];
  // One's own orders there: cancelled.
  static const std::vector<std::string> kNone;
  const std::vector<std::string>& lIds = aColumn == TColumn::MyBuy ? r.MyBuyIds : aColumn == TColumn::MySell ? r.MySellIds : kNone;
  if (!lIds.empty()) {
    TqmtTraderClient* c = GetTraderClient();
    if (!c) return;
    for (const std::string& lId : lIds) c->SubmitCancel(FSymbol, lId);
    std::string lWhat = lIds.size() == 1 ? "order " + lIds[0] : std::to_string(lIds.size()) + " orders";
    ReportUIMessage("Cancel sent: " + FSymbol + " " + lWhat + " at " + BookUnitsText(r.Price));
    return;
  }
  if (aColumn == TColumn::Price) return;
  const bool lBuy = aColumn == TColumn::MyBuy || aColumn == TColumn::Bids;
  FBar.PlaceAtPrice(lBuy ? tbosBuy : tbosSell, aStop, static_cast<long double>(r.Price) / kUnit, chkConfirm->isChecked());
}

void TFRAMEPriceLadder::SetStale(bool aStale, const QString& aSince) {
  FStale = aStale;
  FStaleSince = aSince;
  ShowStatus();
}
