// The only source that includes the chart library's header (it is slow to compile).
#include "qmtTraderChart.h"

#include <qcustomplot.h>

#include <QActionGroup>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

#include "qmtTraderClient.h"
#include "qmtUIApplication.h"

namespace {

constexpr double kKeepSeconds = 24 * 3600;  // the full series' reach before their newest point
constexpr std::size_t kKeepPoints = 200000;

// Labels every minute, or every few minutes when a minute would crowd the axis.
class TMinuteTicker : public QCPAxisTickerDateTime {
protected:
  double getTickStep(const QCPRange& aRange) override {
    return 60.0 * std::max(1.0, std::ceil(aRange.size() / 60.0 / 8.0));
  }
};

}  // namespace

double ChartTime(TDateTime aDateTime) { return (aDateTime - 25569.0) * 86400.0; }

// ---- the queue between the listeners and the UI thread ---------------------------------------------

struct TFRAMEBaseChart::TLink {
  std::mutex Lock;
  TFRAMEBaseChart* Frame = nullptr;  // cut by StopChartData
  std::vector<TqmtChartItem> Queue;
  bool Posted = false;  // a drain is asked for and has not taken the queue yet
};

TFRAMEBaseChart::TFRAMEBaseChart(QWidget* aParent) : TFRAMEBase(aParent), FLink(std::make_shared<TLink>()) {
  auto* lLayout = new QVBoxLayout(this);
  lLayout->setContentsMargins(0, 0, 0, 0);
  lLayout->setSpacing(0);
  chart = new QCustomPlot(this);
  chart->setObjectName("chart");
  chart->setNoAntialiasingOnDrag(true);
  lLayout->addWidget(chart, 1);
  FLink->Frame = this;
  FTimer.setSingleShot(true);
  FTimer.setInterval(50);
  connect(&FTimer, &QTimer::timeout, this, &TFRAMEBaseChart::DrainChartData);
}

TFRAMEBaseChart::~TFRAMEBaseChart() { StopChartData(); }

void TFRAMEBaseChart::StopChartData() {
  std::lock_guard lGuard(FLink->Lock);
  FLink->Frame = nullptr;
  FLink->Queue.clear();
  FTimer.stop();
}

void TFRAMEBaseChart::AddChartData(TqmtChartItem&& aItem) {
  std::lock_guard lGuard(FLink->Lock);
  if (!FLink->Frame) return;
  FLink->Queue.push_back(std::move(aItem));
  if (FLink->Posted) return;
  FLink->Posted = true;
  QMetaObject::invokeMethod(this, &TFRAMEBaseChart::ArmDrain, Qt::QueuedConnection);
}

void TFRAMEBaseChart::ArmDrain() {
  if (!FTimer.isActive()) FTimer.start();
}

void TFRAMEBaseChart::DrainChartData() {
  FTimer.stop();
  {
    std::lock_guard lGuard(FLink->Lock);
    FBatch.swap(FLink->Queue);
    FLink->Posted = false;
  }
  if (FBatch.empty()) return;
  ++FBatches;
  FMaxBatch = std::max(FMaxBatch, FBatch.size());
  for (const TqmtChartItem& lItem : FBatch) {
    try {
      DoChartData(lItem);
    } catch (const std::exception& e) {
      ReportUIException(e.what());
    }
  }
  FBatch.clear();
  if (FChanged) {
    FChanged = false;
    DoAfterBatch();
    chart->replot(QCustomPlot::rpQueuedReplot);
  }
}

void TFRAMEBaseChart::ReplotNow() { chart->replot(QCustomPlot::rpImmediateRefresh); }

void TFRAMEBaseChart::BeginUpdate() { ++FUpdating; }

void TFRAMEBaseChart::EndUpdate() {
  if (--FUpdating == 0) FChanged = true;  // one replot for the whole batch
}

// ---- the ticker chart --------------------------------------------------------------------------

TFRAMEChartTicker::TFRAMEChartTicker(const std::string& aSymbol, QWidget* aParent)
    : TFRAMEBaseChart(aParent), FSymbol(aSymbol) {
  setObjectName("FRAMEChartTicker");
  barChartTicker = new QToolBar(this);
  barChartTicker->setObjectName("barChartTicker");
  barChartTicker->setToolButtonStyle(Qt::ToolButtonTextOnly);
  static_cast<QVBoxLayout*>(layout())->insertWidget(0, barChartTicker);
  auto lButton = [this](const char* aCaption) {
    QAction* a = barChartTicker->addAction(aCaption);
    a->setCheckable(true);
    return a;
  };
  btnView30sec = lButton("30s");
  btnView1min = lButton("1min");
  btnView5min = lButton("5min");
  btnView15min = lButton("15min");
  btnView30min = lButton("30min");
  btnView1hour = lButton("1hour");
  btnViewAll = lButton("All");
  barChartTicker->addSeparator();
  btnTrades = lButton("Trades");
  btnVolume = lButton("Volume");
  barChartTicker->addSeparator();
  btnBookDepth = lButton("Book");
  btnBookDepth5 = lButton("5");
  btnBookDepth10 = lButton("10");
  btnBookDepth20 = lButton("20");
  btnBookDepthSum = lButton("Sum");
  btnView5min->setChecked(true);
  btnBookDepth5->setChecked(true);

  // Pressing a button changes nothing by itself: the handlers set the pressed states.
  auto lOn = [this](QAction* a, auto aHandler) {
    connect(a, &QAction::triggered, this, [this, a, aHandler] {
      a->setChecked(!a->isChecked());
      UIAction([&] { aHandler(); });
    });
  };
  for (auto [a, s] : ViewButtons()) lOn(a, [this, s = s] { SetView(s); });
  for (auto [a, l] : LevelButtons()) lOn(a, [this, l = l] { SetBookDepthLevel(l); });
  lOn(btnBookDepth, [this] { btnBookDepthClick(); });
  lOn(btnTrades, [this] { btnTradesClick(); });
  lOn(btnVolume, [this] { btnVolumeClick(); });

  // Axes: time at the bottom, prices on the left ("#,##0.0000"), book and trade lengths on the top
  // axis over the leftmost fifth, volume on the right axis over the lowest fifth.
  chart->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
  auto lTicker = QSharedPointer<TMinuteTicker>::create();
  lTicker->setDateTimeFormat("hh:mm");
  lTicker->setDateTimeSpec(Qt::UTC);  // the keys are local wall-clock seconds already
  chart->xAxis->setTicker(lTicker);
  chart->yAxis->setNumberFormat("f");
  chart->yAxis->setNumberPrecision(4);
  chart->xAxis2->setVisible(false);
  chart->yAxis2->setVisible(false);
  chart->xAxis2->grid()->setVisible(false);
  chart->yAxis2->grid()->setVisible(false);
  chart->legend->setVisible(false);

  seriesPrice = chart->addGraph(chart->xAxis, chart->yAxis);
  seriesPrice->setLineStyle(QCPGraph::lsStepLeft);
  seriesPrice->setPen(QPen(QColor(0, 0, 255), 1));
  auto lBars = [this](QCPAxis* aKey, QCPAxis* aValue, QColor aColour, QCPBars::WidthType aType, double aWidth) {
    auto* b = new QCPBars(aKey, aValue);
    // Bars are axis-aligned rectangles: antialiasing only blurs their edges and costs most of a
    // replot with an hour of volume bars.
    b->setAntialiased(false);
    b->setAntialiasedFill(false);
    b->setPen(Qt::NoPen);
    b->setBrush(aColour);
    b->setWidthType(aType);
    b->setWidth(aWidth);
    b->setVisible(false);
    return b;
  };
  seriesBookBid = lBars(chart->yAxis, chart->xAxis2, QColor(0, 160, 0, 128), QCPBars::wtAbsolute, 2);
  seriesBookAsk = lBars(chart->yAxis, chart->xAxis2, QColor(220, 0, 0, 128), QCPBars::wtAbsolute, 2);
  seriesTrades = lBars(chart->yAxis, chart->xAxis2, QColor(220, 0, 0, 110), QCPBars::wtAbsolute, 6);
  seriesVolume = lBars(chart->xAxis, chart->yAxis2, QColor(0, 0, 255, 110), QCPBars::wtPlotCoords, 1.0);

  if (TqmtTraderClient* c = GetTraderClient()) {
    FHold = c->HoldStreams(FSymbol);
    FListening[0] = c->ListenTicker({this, &TFRAMEChartTicker::OnTickerEvent});
    FListening[1] = c->ListenTrade({this, &TFRAMEChartTicker::OnTradeEvent});
  }
}

TFRAMEChartTicker::~TFRAMEChartTicker() {
  for (TqmtRegistration& r : FListening) r.Reset();
  StopChartData();
}

// ---- listeners (stream thread): copy and queue only ----------------------------------------------

void TFRAMEChartTicker::OnTickerEvent(TObject*, const TqmtTraderTicker& aTicker) {
  if (aTicker.Symbol() != FSymbol) return;
  AddChartData(TqmtChartTick{ChartTime(aTicker.Date()), static_cast<double>(aTicker.Price())});
}

void TFRAMEChartTicker::OnTradeEvent(TObject*, const TqmtTraderTrade& aTrade) {
  if (aTrade.Symbol() != FSymbol) return;
  AddChartData(TqmtChartTrade{ChartTime(aTrade.Date()), static_cast<double>(aTrade.Price()), static_cast<double>(aTrade.Size())});
}

void TFRAMEChartTicker::OnBookDepthEvent(TObject*, const TqmtTraderBookDepth& aBook) {
  if (aBook.Symbol() != FSymbol) return;
  TqmtChartBook b;
  for (int i = 0; i < 20; ++i) {
    const auto& lBid = aBook.Bids().Value(i + 1);
    const auto& lAsk = aBook.Asks().Value(i + 1);
    b.BidPrice[i] = static_cast<double>(lBid.Price()), b.BidSize[i] = static_cast<double>(lBid.Size());
    b.AskPrice[i] = static_cast<double>(lAsk.Price()), b.AskSize[i] = static_cast<double>(lAsk.Size());
  }
  b.BidLow = static_cast<double>(aBook.Bids().GetPriceLow());
  b.BidSum = static_cast<double>(aBook.Bids().GetSizeSum());
  b.AskHigh = static_cast<double>(aBook.Asks().GetPriceHigh());
  b.AskSum = static_cast<double>(aBook.Asks().GetSizeSum());
  AddChartData(b);
}

// ---- applying items (UI thread) --------------------------------------------------------------------

void TFRAMEChartTicker::DoChartData(const TqmtChartItem& aItem) {
  std::visit(
      [this](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, TqmtChartTick>)
          DoChartTicker(x);
        else if constexpr (std::is_same_v<T, TqmtChartTrade>)
          DoChartTrade(x);
        else if constexpr (std::is_same_v<T, TqmtChartBook>)
          DoChartBookDepth(x);
        else
          DoChartView(x);
      },
      aItem);
}

double TFRAMEChartTicker::ViewStart() const {
  // Half a millisecond of slack: a point exactly one window before the newest stays in, whatever
  // the rounding of the times.
  return FViewSeconds > 0 ? FNewest - FViewSeconds - 0.0005 : -std::numeric_limits<double>::infinity();
}

void TFRAMEChartTicker::TrimFull(double aNewest) {
  const double lOldest = aNewest - kKeepSeconds;
  for (auto* d : {&FPriceAll, &FVolumeAll})
    while (!d->empty() && (d->front().first < lOldest || d->size() > kKeepPoints)) d->pop_front();
  seriesPrice->data()->removeBefore(lOldest);
  seriesVolume->data()->removeBefore(lOldest);
}

void TFRAMEChartTicker::SetStale(bool aStale, const QString&) {
  if (!aStale || FInGap) return;
  DrainChartData();  // what came before the drop is drawn before the line ends
  if (FPriceAll.empty()) return;
  // A point of no value ends the line: nothing is drawn across the time with no data.
  FInGap = true;
  FGapStart = FNewest;
  const double lBreak = FNewest + 0.001;
  FPriceAll.emplace_back(lBreak, std::numeric_limits<double>::quiet_NaN());
  seriesPrice->addData(lBreak, std::numeric_limits<double>::quiet_NaN());
  Redraw();
}

void TFRAMEChartTicker::DoChartTicker(const TqmtChartTick& aTicker) {
  BeginUpdate();
  if (FInGap && aTicker.Time > FGapStart) {
    // Data again: the gap is marked from where it stopped to here.
    FInGap = false;
    FGaps.emplace_back(FGapStart, aTicker.Time);
    auto* lBand = new QCPItemRect(chart);
    lBand->setClipToAxisRect(true);
    lBand->topLeft->setTypeX(QCPItemPosition::ptPlotCoords);
    lBand->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
    lBand->bottomRight->setTypeX(QCPItemPosition::ptPlotCoords);
    lBand->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
    lBand->topLeft->setCoords(FGapStart, 0);
    lBand->bottomRight->setCoords(aTicker.Time, 1);
    lBand->setPen(Qt::NoPen);
    lBand->setBrush(QColor(128, 128, 128, 50));
  }
  FNewest = std::max(FNewest, aTicker.Time);
  FPriceAll.emplace_back(aTicker.Time, aTicker.Price);
  TrimFull(FNewest);
  if (FViewSeconds > 0) seriesPrice->data()->removeBefore(ViewStart());
  seriesPrice->addData(aTicker.Time, aTicker.Price);
  EndUpdate();
}

void TFRAMEChartTicker::DoChartTrade(const TqmtChartTrade& aTrade) {
  BeginUpdate();
  FNewest = std::max(FNewest, aTrade.Time);
  // The profile: one bar per exact price, never trimmed.
  auto lProfile = seriesTrades->data();
  auto lAt = std::lower_bound(lProfile->begin(), lProfile->end(), aTrade.Price,
                              [](const QCPBarsData& d, double k) { return d.key < k; });
  if (lAt != lProfile->end() && lAt->key == aTrade.Price)
    lAt->value += aTrade.Size;
  else
    lProfile->add(QCPBarsData(aTrade.Price, aTrade.Size));
  // Volume over time: trades of one second make one bar (trade times carry milliseconds; the bar
  // is the whole second's).
  const double lSecond = std::floor(aTrade.Time);
  const bool lNewBar = !FHasLastTrade || lSecond != FLastTradeTime;
  if (lNewBar || FVolumeAll.empty())
    FVolumeAll.emplace_back(lSecond, aTrade.Size);
  else
    FVolumeAll.back().second += aTrade.Size;
  TrimFull(FNewest);
  if (FVolume) {
    if (FViewSeconds > 0) seriesVolume->data()->removeBefore(ViewStart());
    auto lVolume = seriesVolume->data();
    // An empty series gets a bar even when this trade's second already has one elsewhere.
    if (lNewBar || lVolume->isEmpty())
      seriesVolume->addData(lSecond, aTrade.Size);
    else
      (lVolume->end() - 1)->value += aTrade.Size;
  }
  FLastTradeTime = lSecond;
  FHasLastTrade = true;
  EndUpdate();
}

void TFRAMEChartTicker::DoChartBookDepth(const TqmtChartBook& aBook) {
  if (!FBookDepth) return;  // a book queued just before "Book" went off
  BeginUpdate();
  seriesBookBid->data()->clear();
  seriesBookAsk->data()->clear();
  if (FBookLevel == 0) {
    // One bar a side; a side without size draws nothing.
    if (aBook.BidSum > 0) seriesBookBid->addData(aBook.BidLow, aBook.BidSum);
    if (aBook.AskSum > 0) seriesBookAsk->addData(aBook.AskHigh, aBook.AskSum);
  } else {
    const int lLevels = FBookLevel >= 20 ? 20 : FBookLevel >= 10 ? 10 : 5;
    for (int i = 0; i < lLevels; ++i) {
      if (aBook.BidSize[i] > 0) seriesBookBid->addData(aBook.BidPrice[i], aBook.BidSize[i]);
      if (aBook.AskSize[i] > 0) seriesBookAsk->addData(aBook.AskPrice[i], aBook.AskSize[i]);
    }
  }
  EndUpdate();
}

void TFRAMEChartTicker::DoChartView(const TqmtChartView& aView) {
  BeginUpdate();
  switch (aView.Method) {
    case TqmtChartMethod::scmTicker:
      FViewSeconds = aView.Value;
      DoPriceView();
      break;
    case TqmtChartMethod::scmTrades:
      DoVolumeView();
      break;
    case TqmtChartMethod::scmBook:
      FBookLevel = aView.Value;
      break;
    case TqmtChartMethod::scmVolume:
      break;
  }
  EndUpdate();
}

void TFRAMEChartTicker::DoPriceView() {
  const double t0 = ViewStart();
  QVector<QCPGraphData> lPoints;
  lPoints.reserve(static_cast<qsizetype>(FPriceAll.size()));
  for (const auto& [t, p] : FPriceAll)
    if (t >= t0) lPoints.append(QCPGraphData(t, p));
  seriesPrice->data()->set(lPoints, true);
  if (FVolume) AddVolumeView();
}

void TFRAMEChartTicker::DoVolumeView() {
  const double t0 = ViewStart();
  QVector<QCPBarsData> lBars;
  for (const auto& [t, v] : FVolumeAll)
    if (t >= t0) lBars.append(QCPBarsData(t, v));
  seriesVolume->data()->set(lBars, true);
}

void TFRAMEChartTicker::AddVolumeView() { AddChartData(TqmtChartView{TqmtChartMethod::scmTrades, 0}); }

void TFRAMEChartTicker::DoAfterBatch() {
  // Time: the window back from the newest data.
  if (!seriesPrice->data()->isEmpty() || !seriesVolume->data()->isEmpty()) {
    double lLow = FViewSeconds > 0 ? ViewStart() : std::numeric_limits<double>::infinity();
    if (FViewSeconds <= 0) {
      if (!seriesPrice->data()->isEmpty()) lLow = seriesPrice->data()->constBegin()->key;
      if (!seriesVolume->data()->isEmpty()) lLow = std::min(lLow, seriesVolume->data()->constBegin()->key);
    }
    const double lSpan = std::max(FNewest - lLow, 10.0);
    chart->xAxis->setRange(FNewest - lSpan, FNewest + lSpan * 0.02);
  }
  // Prices: the visible line and, when shown, the book.
  double lMin = std::numeric_limits<double>::infinity(), lMax = -lMin;
  for (auto it = seriesPrice->data()->constBegin(); it != seriesPrice->data()->constEnd(); ++it)
    lMin = std::min(lMin, it->value), lMax = std::max(lMax, it->value);
  double lLength = 0;
  for (QCPBars* b : {seriesBookBid, seriesBookAsk, seriesTrades}) {
    if (!b->visible()) continue;
    for (auto it = b->data()->constBegin(); it != b->data()->constEnd(); ++it) {
      lLength = std::max(lLength, it->value);
      if (b != seriesTrades) lMin = std::min(lMin, it->key), lMax = std::max(lMax, it->key);
    }
  }
  if (lMin <= lMax) {
    const double lPad = std::max((lMax - lMin) * 0.05, std::abs(lMax) * 1e-4);
    chart->yAxis->setRange(lMin - lPad, lMax + lPad);
  }
  // Lengths over the leftmost fifth, volume over the lowest fifth.
  if (lLength > 0) chart->xAxis2->setRange(0, lLength * 5);
  double lVolume = 0;
  for (auto it = seriesVolume->data()->constBegin(); it != seriesVolume->data()->constEnd(); ++it) lVolume = std::max(lVolume, it->value);
  if (lVolume > 0) chart->yAxis2->setRange(0, lVolume * 5);
}

// ---- buttons (UI thread) ---------------------------------------------------------------------------

std::array<std::pair<QAction*, int>, 7> TFRAMEChartTicker::ViewButtons() const {
  return {{{btnView30sec, 30}, {btnView1min, 60}, {btnView5min, 300}, {btnView15min, 900}, {btnView30min, 1800},
           {btnView1hour, 3600}, {btnViewAll, 0}}};
}

std::array<std::pair<QAction*, int>, 4> TFRAMEChartTicker::LevelButtons() const {
  return {{{btnBookDepth5, 5}, {btnBookDepth10, 10}, {btnBookDepth20, 20}, {btnBookDepthSum, 0}}};
}

void TFRAMEChartTicker::Redraw() {
  DoAfterBatch();
  chart->replot(QCustomPlot::rpQueuedReplot);
}

void TFRAMEChartTicker::SetView(int aSeconds) {
  for (auto [a, s] : ViewButtons()) a->setChecked(s == aSeconds);
  AddChartData(TqmtChartView{TqmtChartMethod::scmTicker, aSeconds});
}

void TFRAMEChartTicker::SetBookDepthLevel(int aLevel) {
  for (auto [a, l] : LevelButtons()) a->setChecked(l == aLevel);
  AddChartData(TqmtChartView{TqmtChartMethod::scmBook, aLevel});
}

void TFRAMEChartTicker::btnBookDepthClick() {
  FBookDepth = !FBookDepth;
  btnBookDepth->setChecked(FBookDepth);
  seriesBookBid->data()->clear();
  seriesBookAsk->data()->clear();
  TqmtTraderClient* c = GetTraderClient();
  if (FBookDepth) {
    if (c) FListening[2] = c->ListenBookDepth({this, &TFRAMEChartTicker::OnBookDepthEvent});
  } else {
    FListening[2].Reset();
  }
  seriesBookBid->setVisible(FBookDepth);
  seriesBookAsk->setVisible(FBookDepth);
  Redraw();
}

void TFRAMEChartTicker::btnTradesClick() {
  FTrades = !FTrades;
  btnTrades->setChecked(FTrades);
  seriesTrades->setVisible(FTrades);
  Redraw();
}

void TFRAMEChartTicker::btnVolumeClick() {
  FVolume = !FVolume;
  btnVolume->setChecked(FVolume);
  if (FVolume) AddVolumeView();
  seriesVolume->setVisible(FVolume);
  chart->replot(QCustomPlot::rpQueuedReplot);
}

std::vector<std::pair<double, double>> TFRAMEChartTicker::SeriesData(TSeries aSeries) const {
  std::vector<std::pair<double, double>> r;
  auto lFrom = [&r](const auto& aContainer) {
    for (auto it = aContainer->constBegin(); it != aContainer->constEnd(); ++it) r.emplace_back(it->mainKey(), it->mainValue());
  };
  switch (aSeries) {
    case TSeries::PriceAll:
      return {FPriceAll.begin(), FPriceAll.end()};
    case TSeries::VolumeAll:
      return {FVolumeAll.begin(), FVolumeAll.end()};
    case TSeries::Price:
      lFrom(seriesPrice->data());
      break;
    case TSeries::BookBid:
      lFrom(seriesBookBid->data());
      break;
    case TSeries::BookAsk:
      lFrom(seriesBookAsk->data());
      break;
    case TSeries::Trades:
      lFrom(seriesTrades->data());
      break;
    case TSeries::Volume:
      lFrom(seriesVolume->data());
      break;
  }
  return r;
}

bool TFRAMEChartTicker::SeriesVisible(TSeries aSeries) const {
  switch (aSeries) {
    case TSeries::Price:
      return seriesPrice->visible();
    case TSeries::BookBid:
      return seriesBookBid->visible();
    case TSeries::BookAsk:
      return seriesBookAsk->visible();
    case TSeries::Trades:
      return seriesTrades->visible();
    case TSeries::Volume:
      return seriesVolume->visible();
    default:
      return false;
  }
}
