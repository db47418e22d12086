// The chart frame: one symbol's last price as a step line over a time window (or candles of an
// interval), the order book as horizontal bars at their prices, a volume-at-price profile of the
// trades, and trade volume as bars over time (QCustomPlot); the symbol's open orders and position as
// lines.
//
// History. The window is filled from the exchange's klines when the frame opens and when a longer
// window needs more: the requests go to the client's history worker (never this thread), and their
// answers come back through the same queue as the stream's data, through a link that ends with the
// frame. At the seam the live data wins: history is taken only from before the first live point, so
// the line has neither a gap nor a point twice. Candles come from the newest page of their interval
// and the kline stream (held while shown), merged by open time.
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
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "qmtSystem.h"
#include "qmtTraderFormBase.h"
#include "qmtTraderClient.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderKlines.h"
#include "qmtTraderMarketData.h"

class QCustomPlot;
class QCPFinancial;
class QCPItemText;
class QCPItemStraightLine;
class QCPAxis;
class QComboBox;
class QLabel;
class QCPGraph;
class QCPBars;

enum class TqmtChartMethod : std::uint8_t { scmTicker, scmVolume, scmTrades, scmBook };

// What the listeners queue: copies of the needed fields (times in seconds of local wall-clock time).
struct TqmtChartTick {
  double Time, Price;
};
struct TqmtChartTrade {
  double Time, Price, Size;
  bool Buy = true;  // the taker bought
};
struct TqmtChartBook {
  std::array<double, 20> BidPrice, BidSize, AskPrice, AskSize;
  double BidLow, BidSum, AskHigh, AskSum;  // for "Sum"
};
struct TqmtChartView {
  TqmtChartMethod Method;
  int Value;
};
// Klines from history (a REST page, Live false) or the stream (one kline, Live true) of an interval;
// Problem says why a page could not be had.
struct TqmtChartKlines {
  std::string Interval;
  std::vector<TqmtKline> Klines;
  bool Live = false;
  std::string Problem;
  bool Candles = false;  // asked for the candles (else for the line's history)
};
using TqmtChartItem = std::variant<TqmtChartTick, TqmtChartTrade, TqmtChartBook, TqmtChartView, TqmtChartKlines>;

// A TDateTime (local days) as the chart's time unit (seconds, shown as wall-clock time).
double ChartTime(TDateTime aDateTime);

class TFRAMEBaseChart : public TFRAMEBase {
public:
  explicit TFRAMEBaseChart(QWidget* aParent = nullptr);
  ~TFRAMEBaseChart() override;

  QCustomPlot* chart;

  // Any thread: appends the item; the UI thread applies it with the next batch.
  void AddChartData(TqmtChartItem&& aItem);
  // The same for a caller that may outlive the frame (a history answer): does nothing once the
  // frame is gone. The owner, while it lives, keeps the frame's queue (not the frame) alive.
  std::function<void(TqmtChartItem&&)> Poster() const;
  std::weak_ptr<void> QueueOwner() const { return FLink; }
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
  int ViewSeconds() const;  // the window chosen (0: "All")
  int BookLevel() const;    // 5, 10, 20, 0 for "Sum"
  bool Trades() const { return FTrades; }
  bool Volume() const { return FVolume; }

  QToolBar* barChartTicker;
  QAction *btnView30sec, *btnView1min, *btnView5min, *btnView15min, *btnView30min, *btnView1hour, *btnViewAll;
  QAction *btnTrades, *btnVolume;
  QAction *btnBookDepth, *btnBookDepth5, *btnBookDepth10, *btnBookDepth20, *btnBookDepthSum;

  QAction* btnCandles;      // candles of cboInterval instead of the step line
  QComboBox* cboInterval;   // 1s (spot), 1m, 3m, 5m, 15m, 1h, 4h, 1d
  QLabel* lblHistory;       // "loading history", or why it could not be had

  enum class TSeries { PriceAll, Price, BookBid, BookAsk, Trades, VolumeAll, Volume, VolumeBuy, TradesBuy, Candles };
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

  // History: the requests sent for the window, as (interval, start, end) in ms, for tests.
  struct TAsked {
    std::string Interval;
    std::int64_t Start, End;
  };
  const std::vector<TAsked>& Asked() const { return FAsked; }
  bool HistoryLoading() const { return FPending > 0; }
  // Candles: the view on, its interval, and the series as drawn.
  bool CandlesShown() const { return FCandles; }
  const std::string& Interval() const { return FInterval; }
  const TqmtKlineSeries& CandleSeries() const { return FCandleSeries; }
  void SetCandles(bool aOn);
  void SetInterval(const std::string& aInterval);
  // Following the newest data (false once the user panned or zoomed; a double-click follows again).
  bool Following() const { return FFollow; }
  void SetFollowing(bool aFollow);
  // Shows the time from aFrom to aTo (chart keys) and stops following, as a pan or zoom does.
  void SetTimeRange(double aFrom, double aTo);
  // The lines of the symbol's open orders and position: price and label ("BUY 0.5", "Position 2").
  std::vector<std::pair<double, std::string>> Lines() const;
  void ReadAccountLines();
  // The crosshair's reading at a point of the plot ("" off the plot).
  QString ReadOut(double aKey, double aValue) const;
  QString LastPriceTag() const;

  // The kline listener (stream thread).
  void OnKlineEvent(TObject* Sender, const std::string& aSymbol, const std::string& aInterval, const TqmtKline& aKline);

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
  virtual void DoChartKlines(const TqmtChartKlines& aKlines);
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

  // History: the window's missing part asked for (in pages of the plan's interval).
  void RequestHistory(std::int64_t aFromMs, std::int64_t aToMs, bool aCandles);
  void ShowHistoryState();
  void DoCandleView();
  void SaveChoices() const;
  void ShowCrosshair(const QPointF& aAt);
  struct TVolume {
    double Time, Size, Buy;
  };

  const std::string FSymbol;
  bool FBookDepth = false, FVolume = false, FTrades = false;
  bool FCandles = false, FFollow = true;
  std::string FInterval = "1m";
  TqmtKlineSeries FCandleSeries;
  std::vector<TAsked> FAsked;
  int FPending = 0;               // history pages asked and not answered
  std::string FHistoryProblem;
  double FHistoryFrom = 0;        // the oldest time the line's history reaches (0: none asked)
  std::int64_t FHistoryFromMs = 0;  // the same in the exchange's ms (exact: the next request ends there)
  double FOffset = 0;             // chart keys (local wall-clock seconds) less UTC seconds, taken once
  double FLiveFrom = 0;           // the first live price's time (0: none yet)
  double FLastPrice = 0;
  QCPFinancial* seriesCandles;
  QCPBars *seriesVolumeBuy, *seriesTradesBuy;
  QCPAxis* FProfileAxis;          // the trades profile's own lengths (top, hidden)
  QCPItemText* FPriceTag;
  QCPItemStraightLine *FCrossX, *FCrossY;
  QCPItemText* FCrossText;
  struct TLine {
    QCPItemStraightLine* Line;
    QCPItemText* Label;
  };
  std::vector<TLine> FLines;
  std::vector<std::pair<double, std::string>> FLineValues;
  QTimer FAccountTimer;
  std::unique_ptr<TqmtTraderClient_Binance::TKlineHold> FKlineHold;
  TqmtRegistration FKlineListening;
  int FViewSeconds = 300;  // the window as the queue has applied it
  int FBookLevel = 5;      // the book display as the queue has applied it
  double FNewest = 0;      // newest data time seen
  double FLastTradeTime = 0;
  bool FHasLastTrade = false;
  std::deque<std::pair<double, double>> FPriceAll;
  std::deque<TVolume> FVolumeAll;
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
