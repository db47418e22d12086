// The chart frame: one symbol's last price as a step line over a time window, the order book as
// horizontal bars at their prices, a volume-at-price profile of the trades, and trade volume as bars
// over time (QCustomPlot).
//
// Threads. The trader client calls the listeners on a stream thread. A listener only checks the
// symbol, copies what the chart needs into a small item and appends it to the frame's queue under a
// short lock; the first item of a batch posts one call to the UI thread, which arms a 50 ms timer.
// When it fires, the UI thread takes the whole queue at once, applies every item in order to the
// series and asks for one replot: at most 20 repaints a second however fast data comes, and the
// plot is only ever touched on the UI thread. View changes (time window, book level) travel through
// the same queue, so every data item is drawn with the window and level that were chosen before it
// was queued. A handler that fails is reported and the next item goes on.
//
// Lifetime. Teardown unregisters the listeners first (UnRegister waits for a running
// notification), then cuts the queue's link to the frame (a notice still running finds no frame),
// then the series go with the widget. A window is measured back from the newest data time, so a local
// clock that differs from the exchange's does not empty the line. The full series keep 24 hours
// before their newest point and at most 200,000 points each.
#pragma once

#include <QAction>
#include <QTimer>
#include <QToolBar>

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "qmtSystem.h"
#include "qmtTraderFormBase.h"
#include "qmtTraderClient.h"
#include "qmtTraderMarketData.h"

class QCustomPlot;
class QCPGraph;
class QCPBars;

enum class TqmtChartMethod : std::uint8_t { scmTicker, scmVolume, scmTrades, scmBook };

// What the listeners queue: copies of the needed fields (times in seconds of local wall-clock time).
struct TqmtChartTick {
  double Time, Price;
};
struct TqmtChartTrade {
  double Time, Price, Size;
};
struct TqmtChartBook {
  std::array<double, 20> BidPrice, BidSize, AskPrice, AskSize;
  double BidLow, BidSum, AskHigh, AskSum;  // for "Sum"
};
struct TqmtChartView {
  TqmtChartMethod Method;
  int Value;
};
using TqmtChartItem = std::variant<TqmtChartTick, TqmtChartTrade, TqmtChartBook, TqmtChartView>;

// A TDateTime (local days) as the chart's time unit (seconds, shown as wall-clock time).
double ChartTime(TDateTime aDateTime);

class TFRAMEBaseChart : public TFRAMEBase {
public:
  explicit TFRAMEBaseChart(QWidget* aParent = nullptr);
  ~TFRAMEBaseChart() override;

  QCustomPlot* chart;

  // Any thread: appends the item; the UI thread applies it with the next batch.
  void AddChartData(TqmtChartItem&& aItem);
  // UI thread: applies what is queued now and replots (the timer does this by itself).
  void DrainChartData();
  // The largest batch one paint cycle took, and the number of paint cycles (measurements, tests).
  std::size_t MaxBatch() const { return FMaxBatch; }
  std::uint64_t Batches() const { return FBatches; }
  // Draws the chart at once (measurements); the frame itself only ever queues a replot.
  void ReplotNow();

protected:
  virtual void DoChartData(const TqmtChartItem& aItem) = 0;
  // After a batch: axes follow the data.
  virtual void DoAfterBatch() {}
  // Cuts the listeners' path into the frame; a derived destructor calls it after unregistering.
  void StopChartData();
  void BeginUpdate();
  void EndUpdate();

private:
  struct TLink;
  void ArmDrain();
  std::shared_ptr<TLink> FLink;
  std::vector<TqmtChartItem> FBatch;  // reused: no allocation per batch once grown
  QTimer FTimer;
  std::size_t FMaxBatch = 0;
  std::uint64_t FBatches = 0;
  int FUpdating = 0;
  bool FChanged = false;
};

class TFRAMEChartTicker : public TFRAMEBaseChart {
public:
  // The symbol is fixed for the frame's life: the listeners compare with it from the stream thread.
  explicit TFRAMEChartTicker(const std::string& aSymbol, QWidget* aParent = nullptr);
  ~TFRAMEChartTicker() override;

  const std::string& Symbol() const { return FSymbol; }
  bool BookDepth() const { return FBookDepth; }
  bool Trades() const { return FTrades; }
  bool Volume() const { return FVolume; }

  QToolBar* barChartTicker;
  QAction *btnView30sec, *btnView1min, *btnView5min, *btnView15min, *btnView30min, *btnView1hour, *btnViewAll;
  QAction *btnTrades, *btnVolume;
  QAction *btnBookDepth, *btnBookDepth5, *btnBookDepth10, *btnBookDepth20, *btnBookDepthSum;

  enum class TSeries { PriceAll, Price, BookBid, BookAsk, Trades, VolumeAll, Volume };
  // A series' points (key, value) and whether it is shown, for tests and measurements.
  std::vector<std::pair<double, double>> SeriesData(TSeries aSeries) const;
  bool SeriesVisible(TSeries aSeries) const;

  // Listeners (stream thread).
  virtual void OnTickerEvent(TObject* Sender, const TqmtTraderTicker& aTicker);
  virtual void OnBookDepthEvent(TObject* Sender, const TqmtTraderBookDepth& aBookDepth);
  virtual void OnTradeEvent(TObject* Sender, const TqmtTraderTrade& aTrade);

  // Disconnected: the price line ends where the data stopped; the first price after the connection
  // is back starts it again, and the time between is marked as a grey band ("no data").
  void SetStale(bool aStale, const QString& aSince) override;
  // The gaps marked so far (start, end), for tests.
  std::vector<std::pair<double, double>> Gaps() const { return FGaps; }

  // The buttons' handlers (UI thread).
  void SetView(int aSeconds);
  void SetBookDepthLevel(int aLevel);  // 5, 10, 20, or 0 for "Sum"
  void btnBookDepthClick();
  void btnTradesClick();
  void btnVolumeClick();

protected:
  void DoChartData(const TqmtChartItem& aItem) override;
  void DoAfterBatch() override;
  virtual void DoChartTicker(const TqmtChartTick& aTicker);
  virtual void DoChartBookDepth(const TqmtChartBook& aBook);
  virtual void DoChartTrade(const TqmtChartTrade& aTrade);
  virtual void DoChartView(const TqmtChartView& aView);
  void AddVolumeView();

private:
  double ViewStart() const;  // -infinity for "All"
  // The time buttons with their seconds (0 for "All") and the book buttons with their levels (0 for "Sum").
  std::array<std::pair<QAction*, int>, 7> ViewButtons() const;
  std::array<std::pair<QAction*, int>, 4> LevelButtons() const;
  // Axes to the data, then one queued replot.
  void Redraw();
  void DoPriceView();
  void DoVolumeView();
  void TrimFull(double aNewest);

  const std::string FSymbol;
  bool FBookDepth = false, FVolume = false, FTrades = false;
  int FViewSeconds = 300;  // the window as the queue has applied it
  int FBookLevel = 5;      // the book display as the queue has applied it
  double FNewest = 0;      // newest data time seen
  double FLastTradeTime = 0;
  bool FHasLastTrade = false;
  std::deque<std::pair<double, double>> FPriceAll, FVolumeAll;
  QCPGraph* seriesPrice;
  QCPBars *seriesBookBid, *seriesBookAsk, *seriesTrades, *seriesVolume;
  std::atomic<bool> FBookRegistered{false};
  bool FInGap = false;
  double FGapStart = 0;
  std::vector<std::pair<double, double>> FGaps;
  // The page's hold on its symbol's streams, whatever happens to the watch list.
  std::unique_ptr<TqmtTraderStreamHold> FHold;
  std::array<TqmtRegistration, 3> FListening;  // tickers, trades, the book while shown
};
