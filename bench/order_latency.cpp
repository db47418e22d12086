// From an order button press to the exchange's answer (scripts/order-bench.sh): a trade bar signed
// in on the simulated exchange (USDT-margined futures), a limit button without confirmation pressed
// N times. The time of the press up to the place call (the bar's own work: definition, price, steps)
// and of the whole press including the request and the local exchange's answer (an upper bound of
// press-to-request) are reported.
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "qmtTradeBar.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "bench_util.h"
#include "qmtUIApplication.h"

namespace {

// The Binance bar, timing the moment its place call starts.
class TimedBar : public TFRAMETradeBarBinance {
public:
  QElapsedTimer* Clock = nullptr;
  std::vector<double> ToPlace;

protected:
  void DoPlaceLimitOrder(std::uint8_t s, const std::string& sym, long double size, long double price) override {
    ToPlace.push_back(Clock->nsecsElapsed() / 1e6);
    TFRAMETradeBarBinance::DoPlaceLimitOrder(s, sym, size, price);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int lPresses = argc > 1 ? std::atoi(argv[1]) : 200;
  SetTraderDataStorage(false);
  {
    TqmtApplication lApp(argc, argv);
    TqmtQtDispatcher lDispatcher;
    if (!GetTraderClientBinance().Initialize("qmt-sim-key", "qmt-sim-secret", true, 0, false)) {
      std::fprintf(stderr, "order_latency: cannot sign in: %s\n", GetTraderClientBinance().LastConnectionError().c_str());
      return 1;
    }
    GetTraderClientBinance().SubscribeTicker("BTCUSDT");  // as the watch list would
    TimedBar b;
    b.SetSymbol("BTCUSDT");
    TqmtTradeBarOrder& o = *b.GetTradeBarOrders().GetOrder(0);
    o.OrderType = tbotLimit, o.Side = tbosBuy, o.Confirmation = false;
    o.LimitPrice = tbopLast, o.LimitPriceOperator = tbomMinus, o.LimitPriceMargin = 1000;
    b.txtSize->setText("0.001");
    QElapsedTimer lWait;
    lWait.start();
    while (!b.HasLastPrice() && lWait.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::string lLast;
    SetUIExceptionHandler([&](const std::string& m) { lLast = m; });  // the "Order sent" lines
    std::vector<double> lWhole;
    for (int i = 0; i < lPresses; ++i) {
      QElapsedTimer lClock;
      b.Clock = &lClock;
      lClock.start();
      b.OrderClick(b.OrderButtons[0]);
      lWhole.push_back(lClock.nsecsElapsed() / 1e6);
      QCoreApplication::processEvents();
    }
    SetUIExceptionHandler(nullptr);
    if (b.ToPlace.size() != static_cast<std::size_t>(lPresses)) {
      std::fprintf(stderr, "order_latency: only %zu orders were placed: %s\n", b.ToPlace.size(), lLast.c_str());
      return 1;
    }
    std::printf("%d presses of a limit button (no confirmation), USDT-margined futures on the simulated exchange\n", lPresses);
    std::printf("  press to the place call: median %.3f ms, p99 %.3f ms\n", Percentile(b.ToPlace, 0.5), Percentile(b.ToPlace, 0.99));
    std::printf("  press to the exchange's answer: median %.3f ms, p99 %.3f ms\n", Percentile(lWhole, 0.5), Percentile(lWhole, 0.99));
    GetTraderClientBinance().CancelAllOpenOrders("BTCUSDT");
  }
  FreeTraderData();
  return 0;
}
