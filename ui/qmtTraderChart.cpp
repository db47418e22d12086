// The only source that includes the chart library's header (it is slow to compile).
#include "qmtTraderChart.h"

#include <qcustomplot.h>

#include <QActionGroup>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

#include "qmtTraderClient.h"
#include "qmtTradeBar.h"
#include "qmtTraderData_Orders.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderHelpers.h"
#include "qmtTraderSettings.h"
#include "qmtUIApplication.h"

#include <QComboBox>
#include <QLabel>
#include <chrono>

namespace {

constexpr double kKeepSeconds = 24 * 3600;  // the full series' reach before their newest point
constexpr std::size_t kKeepPoints = 200000;

// About six labels on any window: seconds on short ones, minutes, hours, then days.
class TTimeTicker : public QCPAxisTickerDateTime {
protected:
  double getTickStep(const QCPRange& aRange) override {
    static const double kSteps[] = {1,    2,    5,     10,    15,    30,    60,    120,    300,    600,
                                    900,  1800, 3600,  7200,  10800, 21600, 43200, 86400,  172800, 604800};
    const double lWanted = aRange.size() / 6;
    double lStep = kSteps[std::size(kSteps) - 1];
    for (double k : kSteps)
      if (k >= lWanted) {
        lStep = k;
        break;
      }
    setDateTimeFormat(lStep < 60 ? "hh:mm:ss" : lStep < 86400 ? (aRange.size() > 86400 ? "dd.MM hh:mm" : "hh:mm") : "dd.MM");
    return lStep;
  }
  int getSubTickCount(double) override { return 0; }
};

// The volume's scale on the right: 0, half and the highest bar, in the lowest fifth where the bars are.
class TVolumeTicker : public QCPAxisTicker {
public:
  double Top = 0;

protected:
  QVector<double> createTickVector(double, const QCPRange&) override {
    if (Top <= 0) return {};
    return {0, Top / 2, Top};
  }
  QVector<double> createSubTickVector(int, const QVector<double>&) override { return {}; }
};

// UTC milliseconds as the chart's keys (local wall-clock seconds) and back.
double LocalOffset() {
  const std::int64_t lNow = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return ChartTime(TraderMillisecondsToDateTime(std::to_string(lNow))) - static_cast<double>(lNow) / 1000.0;
}
std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

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

std::function<void(TqmtChartItem&&)> TFRAMEBaseChart::Poster() const {
  return [lLink = std::weak_ptr<TLink>(FLink)](TqmtChartItem&& aItem) {
    std::shared_ptr<TLink> l = lLink.lock();
    if (!l) return;
    std::lock_guard lGuard(l->Lock);
    if (!l->Frame) return;  // cut: the frame is going or gone
    l->Queue.push_back(std::move(aItem));
    if (l->Posted) return;
    l->Posted = true;
    QMetaObject::invokeMethod(l->Frame, &TFRAMEBaseChart::ArmDrain, Qt::QueuedConnection);
  };
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
  FOffset = LocalOffset();
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
  auto lTicker = QSharedPointer<TTimeTicker>::create();
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
  // The book's bars as wide as its price step (set with each book), bids green, asks red; the trades'
  // profile on a length axis of its own, so that a deep book does not squeeze it; buy volume green over
  // the whole volume, whose rest (the sells) shows red.
  seriesBookBid = lBars(chart->yAxis, chart->xAxis2, QColor(0, 150, 60, 170), QCPBars::wtPlotCoords, 1);
  seriesBookAsk = lBars(chart->yAxis, chart->xAxis2, QColor(210, 40, 40, 170), QCPBars::wtPlotCoords, 1);
  FProfileAxis = chart->axisRect()->addAxis(QCPAxis::atTop);
  FProfileAxis->setVisible(false);
  seriesTrades = lBars(chart->yAxis, FProfileAxis, QColor(210, 40, 40, 120), QCPBars::wtAbsolute, 6);
  seriesTradesBuy = lBars(chart->yAxis, FProfileAxis, QColor(0, 150, 60, 150), QCPBars::wtAbsolute, 6);
  seriesVolume = lBars(chart->xAxis, chart->yAxis2, QColor(236, 160, 160), QCPBars::wtPlotCoords, 1.0);
  seriesVolumeBuy = lBars(chart->xAxis, chart->yAxis2, QColor(130, 200, 150), QCPBars::wtPlotCoords, 1.0);
  auto lVolumeTicker = QSharedPointer<TVolumeTicker>::create();
  chart->yAxis2->setTicker(lVolumeTicker);
  chart->yAxis2->setNumberFormat("g");
  chart->yAxis2->setNumberPrecision(3);
  chart->yAxis2->setTickLabelColor(QColor(90, 90, 90));
  seriesCandles = new QCPFinancial(chart->xAxis, chart->yAxis);
  seriesCandles->setChartStyle(QCPFinancial::csCandlestick);
  seriesCandles->setTwoColored(true);
  seriesCandles->setBrushPositive(QColor(0, 150, 60));
  seriesCandles->setBrushNegative(QColor(210, 40, 40));
  seriesCandles->setPenPositive(QPen(QColor(0, 110, 40)));
  seriesCandles->setPenNegative(QPen(QColor(160, 20, 20)));
  seriesCandles->setVisible(false);
  // Axis-aligned bodies and wicks: antialiasing only blurs them, and costs most of a replot.
  seriesCandles->setAntialiased(false);
  // The last price on the price axis's side, the crosshair and its reading.
  FPriceTag = new QCPItemText(chart);
  FPriceTag->setClipToAxisRect(false);
  FPriceTag->position->setTypeX(QCPItemPosition::ptAxisRectRatio);
  FPriceTag->position->setTypeY(QCPItemPosition::ptPlotCoords);
  FPriceTag->setPositionAlignment(Qt::AlignRight | Qt::AlignVCenter);
  FPriceTag->setColor(Qt::white);
  FPriceTag->setBrush(QColor(30, 60, 200));
  FPriceTag->setPadding(QMargins(3, 1, 3, 1));
  FPriceTag->setVisible(false);
  FCrossX = new QCPItemStraightLine(chart);
  FCrossY = new QCPItemStraightLine(chart);
  for (auto* l : {FCrossX, FCrossY}) {
    l->setPen(QPen(QColor(120, 120, 120), 1, Qt::DotLine));
    l->setVisible(false);
    l->setSelectable(false);
  }
  FCrossText = new QCPItemText(chart);
  FCrossText->position->setType(QCPItemPosition::ptAxisRectRatio);
  FCrossText->position->setCoords(0.01, 0.01);
  FCrossText->setPositionAlignment(Qt::AlignLeft | Qt::AlignTop);
  FCrossText->setBrush(QColor(255, 255, 255, 220));
  FCrossText->setPadding(QMargins(3, 1, 3, 1));
  FCrossText->setTextAlignment(Qt::AlignLeft);
  FCrossText->setVisible(false);
  // Wheel zooms time, a drag pans it, a double-click goes back to the newest data.
  chart->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  chart->axisRect()->setRangeDrag(Qt::Horizontal);
  chart->axisRect()->setRangeZoom(Qt::Horizontal);
  connect(chart, &QCustomPlot::mouseWheel, this, [this](QWheelEvent*) { FFollow = false; });
  connect(chart, &QCustomPlot::mouseMove, this, [this](QMouseEvent* e) {
    if (e->buttons() & Qt::LeftButton) FFollow = false;
    ShowCrosshair(e->position());
  });
  connect(chart, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent*) { SetFollowing(true); });
  chart->setMouseTracking(true);

  // Candles and their interval, and the state of the history.
  barChartTicker->addSeparator();
  btnCandles = lButton("Candles");
  cboInterval = new QComboBox(barChartTicker);
  TqmtTraderClient_Binance* lBinance = dynamic_cast<TqmtTraderClient_Binance*>(GetTraderClient());
  const bool lSpot = !lBinance || lBinance->History().Spot();
  for (const TqmtKlineInterval& i : ChartKlineIntervals())
    if (lSpot || i.Ms >= 60000) cboInterval->addItem(i.Name);
  cboInterval->setToolTip("Candle interval");
  barChartTicker->addWidget(cboInterval);
  lblHistory = new QLabel(barChartTicker);
  lblHistory->setContentsMargins(6, 0, 6, 0);
  barChartTicker->addWidget(lblHistory);

  if (TqmtTraderClient* c = GetTraderClient()) {
    FHold = c->HoldStreams(FSymbol);
    FListening[0] = c->ListenTicker({this, &TFRAMEChartTicker::OnTickerEvent});
    FListening[1] = c->ListenTrade({this, &TFRAMEChartTicker::OnTradeEvent});
  }
  if (lBinance) FKlineListening = lBinance->ListenKline({this, &TFRAMEChartTicker::OnKlineEvent});
  connect(btnCandles, &QAction::triggered, this, [this] {
    btnCandles->setChecked(!btnCandles->isChecked());
    UIAction([&] { SetCandles(!FCandles); });
  });
  connect(cboInterval, &QComboBox::textActivated, this, [this](const QString& t) { UIAction([&] { SetInterval(t.toStdString()); }); });
  // The account's orders and position as lines, twice a second.
  FAccountTimer.setInterval(500);
  connect(&FAccountTimer, &QTimer::timeout, this, [this] { ReadAccountLines(); });
  FAccountTimer.start();

  // The page's choices as last left for this symbol, then the window's history.
  TqmtIniFile& lSettings = GetTraderSettings();
  const std::string lSection = FSymbol + ".Chart";
  const int lWindow = lSettings.ReadInteger(lSection, "Window", 300);
  for (auto [a, w] : ViewButtons())
    if (w == lWindow) FViewSeconds = lWindow;
  for (auto [a, w] : ViewButtons()) a->setChecked(w == FViewSeconds);
  const std::string lInterval = lSettings.ReadString(lSection, "Interval", "1m");
  if (cboInterval->findText(QString::fromStdString(lInterval)) >= 0) FInterval = lInterval;
  cboInterval->setCurrentText(QString::fromStdString(FInterval));
  const std::int64_t lNow = NowMs();
  RequestHistory(lNow - static_cast<std::int64_t>(FViewSeconds > 0 ? FViewSeconds : kKeepSeconds) * 1000, lNow, false);
  if (lSettings.ReadString(lSection, "View", "Line") == "Candles") SetCandles(true);
}

TFRAMEChartTicker::~TFRAMEChartTicker() {
  for (TqmtRegistration& r : FListening) r.Reset();
  FKlineListening.Reset();
  FAccountTimer.stop();
  StopChartData();
}

// ---- listeners (stream thread): copy and queue only ----------------------------------------------

void TFRAMEChartTicker::OnTickerEvent(TObject*, const TqmtTraderTicker& aTicker) {
  if (aTicker.Symbol() != FSymbol) return;
  AddChartData(TqmtChartTick{ChartTime(aTicker.Date()), static_cast<double>(aTicker.Price())});
}

void TFRAMEChartTicker::OnTradeEvent(TObject*, const TqmtTraderTrade& aTrade) {
  if (aTrade.Symbol() != FSymbol) return;
  AddChartData(TqmtChartTrade{ChartTime(aTrade.Date()), static_cast<double>(aTrade.Price()), static_cast<double>(aTrade.Size()),
                              !aTrade.BuyerMaker()});
}

void TFRAMEChartTicker::OnKlineEvent(TObject*, const std::string& aSymbol, const std::string& aInterval, const TqmtKline& aKline) {
  if (aSymbol != FSymbol) return;
  AddChartData(TqmtChartKlines{aInterval, {aKline}, true, std::string(), true});
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
        else if constexpr (std::is_same_v<T, TqmtChartKlines>)
          DoChartKlines(x);
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
  while (!FPriceAll.empty() && (FPriceAll.front().first < lOldest || FPriceAll.size() > kKeepPoints)) FPriceAll.pop_front();
  while (!FVolumeAll.empty() && (FVolumeAll.front().Time < lOldest || FVolumeAll.size() > kKeepPoints)) FVolumeAll.pop_front();
  seriesPrice->data()->removeBefore(lOldest);
  if (!FCandles) {
    seriesVolume->data()->removeBefore(lOldest);
    seriesVolumeBuy->data()->removeBefore(lOldest);
  }
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
  if (FLiveFrom == 0) FLiveFrom = aTicker.Time;
  FLastPrice = aTicker.Price;
  FPriceAll.emplace_back(aTicker.Time, aTicker.Price);
  TrimFull(FNewest);
  if (FViewSeconds > 0) seriesPrice->data()->removeBefore(ViewStart());
  seriesPrice->addData(aTicker.Time, aTicker.Price);
  EndUpdate();
}

void TFRAMEChartTicker::DoChartTrade(const TqmtChartTrade& aTrade) {
  BeginUpdate();
  FNewest = std::max(FNewest, aTrade.Time);
  FLastPrice = aTrade.Price;
  // The profile: one bar per exact price, never trimmed; its buy part over it.
  auto lAddAt = [](QCPBars* aBars, double aKey, double aValue) {
    auto lProfile = aBars->data();
    auto lAt = std::lower_bound(lProfile->begin(), lProfile->end(), aKey, [](const QCPBarsData& d, double k) { return d.key < k; });
    if (lAt != lProfile->end() && lAt->key == aKey)
      lAt->value += aValue;
    else
      lProfile->add(QCPBarsData(aKey, aValue));
  };
  lAddAt(seriesTrades, aTrade.Price, aTrade.Size);
  lAddAt(seriesTradesBuy, aTrade.Price, aTrade.Buy ? aTrade.Size : 0);
  // Volume over time: trades of one second make one bar (trade times carry milliseconds; the bar
  // is the whole second's).
  const double lSecond = std::floor(aTrade.Time);
  const bool lNewBar = !FHasLastTrade || lSecond != FLastTradeTime;
  const double lBuy = aTrade.Buy ? aTrade.Size : 0;
  if (lNewBar || FVolumeAll.empty())
    FVolumeAll.push_back({lSecond, aTrade.Size, lBuy});
  else
    FVolumeAll.back().Size += aTrade.Size, FVolumeAll.back().Buy += lBuy;
  TrimFull(FNewest);
  if (FVolume && !FCandles) {
    if (FViewSeconds > 0) {
      seriesVolume->data()->removeBefore(ViewStart());
      seriesVolumeBuy->data()->removeBefore(ViewStart());
    }
    auto lVolume = seriesVolume->data();
    // An empty series gets a bar even when this trade's second already has one elsewhere.
    if (lNewBar || lVolume->isEmpty()) {
      seriesVolume->addData(lSecond, aTrade.Size);
      seriesVolumeBuy->addData(lSecond, lBuy);
    } else {
      (lVolume->end() - 1)->value += aTrade.Size;
      if (!seriesVolumeBuy->data()->isEmpty()) (seriesVolumeBuy->data()->end() - 1)->value += lBuy;
    }
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
  // Each bar as thick as the closest two levels are apart (or a tenth of the spread for "Sum"):
  // neighbours touch but never merge, bids and asks never overlap.
  double lGap = std::numeric_limits<double>::infinity();
  for (const auto* p : {&aBook.BidPrice, &aBook.AskPrice})
    for (int i = 1; i < 20; ++i)
      if ((*p)[i] > 0 && (*p)[i - 1] > 0) lGap = std::min(lGap, std::abs((*p)[i] - (*p)[i - 1]));
  if (aBook.BidPrice[0] > 0 && aBook.AskPrice[0] > 0) lGap = std::min(lGap, aBook.AskPrice[0] - aBook.BidPrice[0]);
  if (std::isfinite(lGap) && lGap > 0) {
    seriesBookBid->setWidth(lGap * 0.8);
    seriesBookAsk->setWidth(lGap * 0.8);
  }
  EndUpdate();
}

void TFRAMEChartTicker::DoChartView(const TqmtChartView& aView) {
  BeginUpdate();
  switch (aView.Method) {
    case TqmtChartMethod::scmTicker: {
      FViewSeconds = aView.Value;
      // A longer window: what its history lacks is asked for (and only that).
      const double lNewest = FNewest > 0 ? FNewest : NowMs() / 1000.0 + FOffset;
      const double lFrom = lNewest - (FViewSeconds > 0 ? FViewSeconds : kKeepSeconds);
      if (FHistoryFromMs > 0 && lFrom < FHistoryFrom - 1)
        RequestHistory(static_cast<std::int64_t>(std::floor((lFrom - FOffset) * 1000)), FHistoryFromMs - 1, false);
      if (!FCandles) DoPriceView();
      break;
    }
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
  if (FVolume && !FCandles) AddVolumeView();
}

void TFRAMEChartTicker::DoVolumeView() {
  if (FCandles) return;  // the candles' own volume is shown
  const double t0 = ViewStart();
  QVector<QCPBarsData> lBars, lBuys;
  for (const TVolume& v : FVolumeAll)
    if (v.Time >= t0) lBars.append(QCPBarsData(v.Time, v.Size)), lBuys.append(QCPBarsData(v.Time, v.Buy));
  seriesVolume->setWidth(1.0);
  seriesVolumeBuy->setWidth(1.0);
  seriesVolume->data()->set(lBars, true);
  seriesVolumeBuy->data()->set(lBuys, true);
}

void TFRAMEChartTicker::AddVolumeView() { AddChartData(TqmtChartView{TqmtChartMethod::scmTrades, 0}); }

void TFRAMEChartTicker::DoAfterBatch() {
  // Time: the window back from the newest data (candles: the last hundred), unless the user moved it.
  if (FFollow) {
    if (FCandles && !FCandleSeries.Empty()) {
      const double lInterval = static_cast<double>(KlineIntervalMs(FInterval)) / 1000.0;
      const double lEnd = FCandleSeries.Newest() / 1000.0 + FOffset + lInterval;
      chart->xAxis->setRange(lEnd - 100 * lInterval, lEnd + 2 * lInterval);
    } else if (!FCandles && (!seriesPrice->data()->isEmpty() || !seriesVolume->data()->isEmpty())) {
      double lLow = FViewSeconds > 0 ? ViewStart() : std::numeric_limits<double>::infinity();
      if (FViewSeconds <= 0) {
        if (!seriesPrice->data()->isEmpty()) lLow = seriesPrice->data()->constBegin()->key;
        if (!seriesVolume->data()->isEmpty()) lLow = std::min(lLow, seriesVolume->data()->constBegin()->key);
      }
      const double lSpan = std::max(FNewest - lLow, 10.0);
      chart->xAxis->setRange(FNewest - lSpan, FNewest + lSpan * 0.02);
    }
  }
  const QCPRange lShown = chart->xAxis->range();
  // Prices: what is visible of the line or the candles and, when shown, the book.
  double lMin = std::numeric_limits<double>::infinity(), lMax = -lMin;
  if (FCandles) {
    for (auto it = seriesCandles->data()->constBegin(); it != seriesCandles->data()->constEnd(); ++it)
      if (lShown.contains(it->key)) lMin = std::min(lMin, it->low), lMax = std::max(lMax, it->high);
  } else {
    for (auto it = seriesPrice->data()->constBegin(); it != seriesPrice->data()->constEnd(); ++it)
      if ((FFollow || lShown.contains(it->key)) && std::isfinite(it->value)) lMin = std::min(lMin, it->value), lMax = std::max(lMax, it->value);
  }
  double lLength = 0, lProfile = 0;
  for (QCPBars* b : {seriesBookBid, seriesBookAsk, seriesTrades}) {
    if (!b->visible()) continue;
    for (auto it = b->data()->constBegin(); it != b->data()->constEnd(); ++it) {
      (b == seriesTrades ? lProfile : lLength) = std::max(b == seriesTrades ? lProfile : lLength, it->value);
      if (b != seriesTrades) lMin = std::min(lMin, it->key), lMax = std::max(lMax, it->key);
    }
  }
  if (lMin <= lMax) {
    const double lPad = std::max((lMax - lMin) * 0.05, std::abs(lMax) * 1e-4);
    chart->yAxis->setRange(lMin - lPad, lMax + lPad);
  }
  // Lengths over the leftmost fifth (the book and the profile each on its own scale), volume over
  // the lowest fifth with its scale on the right.
  if (lLength > 0) chart->xAxis2->setRange(0, lLength * 5);
  if (lProfile > 0) FProfileAxis->setRange(0, lProfile * 5);
  double lVolume = 0;
  for (auto it = seriesVolume->data()->constBegin(); it != seriesVolume->data()->constEnd(); ++it)
    if (lShown.contains(it->key)) lVolume = std::max(lVolume, it->value);
  if (lVolume > 0) chart->yAxis2->setRange(0, lVolume * 5);
  static_cast<TVolumeTicker*>(chart->yAxis2->ticker().data())->Top = lVolume;
  chart->yAxis2->setVisible(FVolume && lVolume > 0);
  // The last price's tag at the axis.
  const double lLast = FCandles && !FCandleSeries.Empty() ? FCandleSeries.Items().back().Close : FLastPrice;
  FPriceTag->setVisible(lLast > 0);
  if (lLast > 0) {
    FPriceTag->position->setCoords(1.0, lLast);
    FPriceTag->setText(LastPriceTag());
  }
}

QString TFRAMEChartTicker::LastPriceTag() const {
  const double lLast = FCandles && !FCandleSeries.Empty() ? FCandleSeries.Items().back().Close : FLastPrice;
  return lLast > 0 ? QString::number(lLast, 'f', chart->yAxis->numberPrecision()) : QString();
}

int TFRAMEChartTicker::ViewSeconds() const {
  for (auto [a, w] : ViewButtons())
    if (a->isChecked()) return w;
  return FViewSeconds;
}

int TFRAMEChartTicker::BookLevel() const {
  for (auto [a, l] : LevelButtons())
    if (a->isChecked()) return l;
  return FBookLevel;
}

void TFRAMEChartTicker::SetTimeRange(double aFrom, double aTo) {
  FFollow = false;
  chart->xAxis->setRange(aFrom, aTo);
  Redraw();
}

void TFRAMEChartTicker::SetFollowing(bool aFollow) {
  FFollow = aFollow;
  Redraw();
}

// ---- history and candles -----------------------------------------------------------------------------

void TFRAMEChartTicker::RequestHistory(std::int64_t aFromMs, std::int64_t aToMs, bool aCandles) {
  auto* c = dynamic_cast<TqmtTraderClient_Binance*>(GetTraderClient());
  if (!c || aToMs <= aFromMs) return;
  TqmtTraderHistory& h = c->History();
  auto lPost = Poster();
  auto lAsk = [&](const std::string& aInterval, std::int64_t aStart, std::int64_t aEnd, int aLimit) {
    FAsked.push_back({aInterval, aStart, aEnd});
    ++FPending;
    TqmtTraderHistory::TRequest r{FSymbol, aInterval, aStart, aEnd, aLimit};
    h.Request(r, QueueOwner(), [lPost, aInterval, aCandles](const TqmtTraderHistory::TRequest&, const std::vector<TqmtKline>& k, const std::string& p) {
      lPost(TqmtChartKlines{aInterval, k, false, p, aCandles});
    });
  };
  if (aCandles) {
    // The newest 500 candles (weight 2 on every market).
    lAsk(FInterval, 0, 0, 500);
  } else {
    const TqmtKlinePlan p = PlanKlines(aToMs - aFromMs, h.Spot());
    const std::int64_t lPage = static_cast<std::int64_t>(p.Limit) * p.IntervalMs;
    const std::int64_t lStart = aFromMs / p.IntervalMs * p.IntervalMs;
    for (std::int64_t t = lStart; t <= aToMs; t += lPage) lAsk(p.Interval, t, std::min(aToMs, t + lPage - 1), p.Limit);
    FHistoryFromMs = FHistoryFromMs > 0 ? std::min(FHistoryFromMs, lStart) : lStart;
    FHistoryFrom = static_cast<double>(FHistoryFromMs) / 1000.0 + FOffset;
  }
  ShowHistoryState();
}

void TFRAMEChartTicker::ShowHistoryState() {
  if (FPending > 0)
    lblHistory->setText("loading history…");
  else if (!FHistoryProblem.empty())
    lblHistory->setText("no history: " + QString::fromStdString(FHistoryProblem).left(80));
  else
    lblHistory->clear();
  lblHistory->setToolTip(QString::fromStdString(FHistoryProblem));
}

void TFRAMEChartTicker::DoChartKlines(const TqmtChartKlines& aKlines) {
  BeginUpdate();
  if (!aKlines.Live) {
    FPending = std::max(0, FPending - 1);
    if (!aKlines.Problem.empty()) FHistoryProblem = aKlines.Problem;
    ShowHistoryState();
  }
  const double lOffset = FOffset;
  if (aKlines.Candles) {
    if (aKlines.Interval == FInterval && FCandles) {
      if (aKlines.Live)
        for (const TqmtKline& k : aKlines.Klines) FCandleSeries.Apply(k);
      else
        FCandleSeries.Merge(aKlines.Klines);
      FCandleSeries.Trim(2000);
      DoCandleView();
    }
  } else if (!aKlines.Klines.empty()) {
    // The line's history: each kline's close at its open time, and its volume, but only where no live
    // data is yet: at the seam the live points win, so nothing is drawn twice and nothing is missing.
    const double lLive = FLiveFrom > 0 ? FLiveFrom : std::numeric_limits<double>::infinity();
    const double lLiveVolume = !FVolumeAll.empty() && FHasLastTrade ? FVolumeAll.front().Time : std::numeric_limits<double>::infinity();
    std::vector<std::pair<double, double>> lPoints;
    std::vector<TVolume> lVolumes;
    const double lSeconds = static_cast<double>(KlineIntervalMs(aKlines.Interval)) / 1000.0;
    for (const TqmtKline& k : aKlines.Klines) {
      const double lKey = static_cast<double>(k.OpenTime) / 1000.0 + lOffset;
      if (lKey < lLive) lPoints.emplace_back(lKey, k.Close);
      // A volume bar per kline, at its first second (one-second klines: just as the live bars).
      if (lKey + lSeconds <= lLiveVolume) lVolumes.push_back({lKey, k.Volume, k.TakerBuyVolume});
    }
    std::deque<std::pair<double, double>> lMerged;
    std::merge(lPoints.begin(), lPoints.end(), FPriceAll.begin(), FPriceAll.end(), std::back_inserter(lMerged),
               [](const auto& a, const auto& b) { return a.first < b.first; });
    // One point a time: a page overlapping what is held adds nothing twice.
    lMerged.erase(std::unique(lMerged.begin(), lMerged.end(), [](const auto& a, const auto& b) { return a.first == b.first; }), lMerged.end());
    FPriceAll.swap(lMerged);
    std::deque<TVolume> lVolumeMerged;
    std::merge(lVolumes.begin(), lVolumes.end(), FVolumeAll.begin(), FVolumeAll.end(), std::back_inserter(lVolumeMerged),
               [](const TVolume& a, const TVolume& b) { return a.Time < b.Time; });
    lVolumeMerged.erase(std::unique(lVolumeMerged.begin(), lVolumeMerged.end(), [](const TVolume& a, const TVolume& b) { return a.Time == b.Time; }),
                        lVolumeMerged.end());
    FVolumeAll.swap(lVolumeMerged);
    if (!FPriceAll.empty()) {
      FNewest = std::max(FNewest, FPriceAll.back().first);
      if (FLastPrice == 0) FLastPrice = FPriceAll.back().second;
    }
    TrimFull(FNewest);
    if (!FCandles) DoPriceView();
  }
  EndUpdate();
}

void TFRAMEChartTicker::DoCandleView() {
  const double lOffset = FOffset;
  const double lSeconds = static_cast<double>(KlineIntervalMs(FInterval)) / 1000.0;
  QVector<QCPFinancialData> lCandles;
  QVector<QCPBarsData> lBars, lBuys;
  lCandles.reserve(static_cast<qsizetype>(FCandleSeries.Items().size()));
  for (const TqmtKline& k : FCandleSeries.Items()) {
    // Drawn in the middle of its interval.
    const double lKey = static_cast<double>(k.OpenTime) / 1000.0 + lOffset + lSeconds / 2;
    lCandles.append(QCPFinancialData(lKey, k.Open, k.High, k.Low, k.Close));
    lBars.append(QCPBarsData(lKey, k.Volume));
    lBuys.append(QCPBarsData(lKey, k.TakerBuyVolume));
  }
  seriesCandles->data()->set(lCandles, true);
  seriesCandles->setWidth(lSeconds * 0.8);
  seriesVolume->setWidth(lSeconds * 0.8);
  seriesVolumeBuy->setWidth(lSeconds * 0.8);
  seriesVolume->data()->set(lBars, true);
  seriesVolumeBuy->data()->set(lBuys, true);
  if (!FCandleSeries.Empty()) FNewest = std::max(FNewest, static_cast<double>(FCandleSeries.Newest()) / 1000.0 + lOffset);
}

void TFRAMEChartTicker::SetCandles(bool aOn) {
  FCandles = aOn;
  btnCandles->setChecked(aOn);
  seriesCandles->setVisible(aOn);
  seriesPrice->setVisible(!aOn);
  FKlineHold.reset();
  FCandleSeries.Clear();
  seriesCandles->data()->clear();
  if (aOn) {
    if (auto* c = dynamic_cast<TqmtTraderClient_Binance*>(GetTraderClient())) FKlineHold = c->HoldKlines(FSymbol, FInterval);
    RequestHistory(0, 1, true);
    seriesVolume->data()->clear();
    seriesVolumeBuy->data()->clear();
  } else {
    DoPriceView();
    DoVolumeView();
  }
  FFollow = true;
  SaveChoices();
  Redraw();
}

void TFRAMEChartTicker::SetInterval(const std::string& aInterval) {
  if (cboInterval->findText(QString::fromStdString(aInterval)) < 0) return;
  FInterval = aInterval;
  cboInterval->setCurrentText(QString::fromStdString(aInterval));
  if (FCandles)
    SetCandles(true);  // the new interval's stream and history
  else
    SaveChoices();
}

void TFRAMEChartTicker::SaveChoices() const {
  TqmtIniFile& s = GetTraderSettings();
  const std::string lSection = FSymbol + ".Chart";
  s.WriteString(lSection, "View", FCandles ? "Candles" : "Line");
  s.WriteString(lSection, "Interval", FInterval);
  int lWindow = 300;
  for (auto [a, w] : ViewButtons())
    if (a->isChecked()) lWindow = w;
  s.WriteInteger(lSection, "Window", lWindow);
}

// ---- the account on the chart, the crosshair ---------------------------------------------------------

void TFRAMEChartTicker::ReadAccountLines() {
  std::vector<std::pair<double, std::string>> lValues;
  std::vector<QColor> lColours;
  for (const auto& o : GetTraderDataOrders().OpenOrders(FSymbol)) {
    const long double lPrice = o.Price > 0 ? o.Price : o.StopPrice;
    if (lPrice <= 0) continue;
    lValues.emplace_back(static_cast<double>(lPrice), o.Side + " " + TradeBarNumberText(o.Size - o.Filled) + " " + o.Type);
    lColours.push_back(o.Side == "SELL" ? QColor(210, 40, 40) : QColor(0, 150, 60));
  }
  {
    auto lCursor = GetTraderDataPosition().CDSPosition().CloneCursor();
    lCursor->SetFiltered(false);
    if (lCursor->FindKey(TqmtValue(FSymbol))) {
      const long double lAmount = lCursor->FieldByName("POSITION").AsExtended(), lEntry = lCursor->FieldByName("ENTRY_PRICE").AsExtended();
      if (lAmount != 0 && lEntry > 0) {
        lValues.emplace_back(static_cast<double>(lEntry), "Position " + TradeBarNumberText(lAmount));
        lColours.push_back(QColor(30, 60, 200));
      }
    }
  }
  if (lValues == FLineValues) return;
  FLineValues = lValues;
  while (FLines.size() < lValues.size()) {
    TLine l{new QCPItemStraightLine(chart), new QCPItemText(chart)};
    l.Label->position->setTypeX(QCPItemPosition::ptAxisRectRatio);
    l.Label->position->setTypeY(QCPItemPosition::ptPlotCoords);
    l.Label->setPositionAlignment(Qt::AlignRight | Qt::AlignBottom);
    l.Label->setClipToAxisRect(true);
    FLines.push_back(l);
  }
  for (std::size_t i = 0; i < FLines.size(); ++i) {
    const bool lUsed = i < lValues.size();
    FLines[i].Line->setVisible(lUsed);
    FLines[i].Label->setVisible(lUsed);
    if (!lUsed) continue;
    const double lPrice = lValues[i].first;
    const bool lPosition = lValues[i].second.rfind("Position", 0) == 0;
    FLines[i].Line->point1->setCoords(0, lPrice);
    FLines[i].Line->point2->setCoords(1, lPrice);
    FLines[i].Line->setPen(QPen(lColours[i], 1, lPosition ? Qt::DashLine : Qt::SolidLine));
    FLines[i].Label->position->setCoords(0.97, lPrice);
    FLines[i].Label->setText(QString::fromStdString(lValues[i].second));
    FLines[i].Label->setColor(lColours[i]);
  }
  chart->replot(QCustomPlot::rpQueuedReplot);
}

std::vector<std::pair<double, std::string>> TFRAMEChartTicker::Lines() const { return FLineValues; }

QString TFRAMEChartTicker::ReadOut(double aKey, double aValue) const {
  const QString lTime = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(aKey * 1000), QTimeZone::utc()).toString("yyyy-MM-dd hh:mm:ss");
  QString lText = lTime + "  " + QString::number(aValue, 'f', chart->yAxis->numberPrecision());
  if (FCandles && !FCandleSeries.Empty()) {
    const double lSeconds = static_cast<double>(KlineIntervalMs(FInterval)) / 1000.0;
    const std::int64_t lMs = static_cast<std::int64_t>(std::floor((aKey - FOffset) * 1000));
    const auto& lItems = FCandleSeries.Items();
    auto lAt = std::upper_bound(lItems.begin(), lItems.end(), lMs, [](std::int64_t t, const TqmtKline& k) { return t < k.OpenTime; });
    if (lAt != lItems.begin()) {
      const TqmtKline& k = *(lAt - 1);
      if (lMs < k.OpenTime + static_cast<std::int64_t>(lSeconds * 1000)) {
        const int d = chart->yAxis->numberPrecision();
        lText += QString("\nO %1  H %2  L %3  C %4  V %5")
                     .arg(k.Open, 0, 'f', d)
                     .arg(k.High, 0, 'f', d)
                     .arg(k.Low, 0, 'f', d)
                     .arg(k.Close, 0, 'f', d)
                     .arg(k.Volume, 0, 'g', 6);
      }
    }
  }
  return lText;
}

void TFRAMEChartTicker::ShowCrosshair(const QPointF& aAt) {
  const bool lInside = chart->axisRect()->rect().contains(aAt.toPoint());
  for (QCPAbstractItem* i : {static_cast<QCPAbstractItem*>(FCrossX), static_cast<QCPAbstractItem*>(FCrossY),
                             static_cast<QCPAbstractItem*>(FCrossText)})
    i->setVisible(lInside);
  if (lInside) {
    const double lKey = chart->xAxis->pixelToCoord(aAt.x()), lValue = chart->yAxis->pixelToCoord(aAt.y());
    FCrossX->point1->setCoords(lKey, 0), FCrossX->point2->setCoords(lKey, 1);
    FCrossY->point1->setCoords(0, lValue), FCrossY->point2->setCoords(1, lValue);
    FCrossText->setText(ReadOut(lKey, lValue));
  }
  chart->replot(QCustomPlot::rpQueuedReplot);
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
  FFollow = true;
  SaveChoices();
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
  seriesTradesBuy->setVisible(FTrades);
  Redraw();
}

void TFRAMEChartTicker::btnVolumeClick() {
  FVolume = !FVolume;
  btnVolume->setChecked(FVolume);
  if (FVolume) AddVolumeView();
  seriesVolume->setVisible(FVolume);
  seriesVolumeBuy->setVisible(FVolume);
  Redraw();
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
      for (const TVolume& v : FVolumeAll) r.emplace_back(v.Time, v.Size);
      break;
    case TSeries::VolumeBuy:
      lFrom(seriesVolumeBuy->data());
      break;
    case TSeries::TradesBuy:
      lFrom(seriesTradesBuy->data());
      break;
    case TSeries::Candles:
      for (auto it = seriesCandles->data()->constBegin(); it != seriesCandles->data()->constEnd(); ++it) r.emplace_back(it->key, it->close);
      break;
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
