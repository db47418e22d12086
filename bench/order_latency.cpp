// From an order button press to the exchange's answer (scripts/order-bench.sh): a trade bar signed
// in on the simulated exchange, a limit button without confirmation pressed N times, each press
// waiting for the answer of the one before. Measured per press: the press itself (the UI thread's
// work until it returns), and the press to the acknowledgement reaching the client (the command
// queue's result); the connections the orders opened; and how late the UI thread's event loop ran
// meanwhile.
//
//   order_latency spot|usdm PRESSES [answer|slow|silent]
//     answer  presses one after another, each waiting for its answer (default)
//     slow    a press every 100 ms for 6 s against an exchange that answers late: only the
//             event-loop latency counts (the answers come when they come)
//     silent  the same against an exchange that never answers (QMT_BENCH_FREEZE_PID is stopped
//             after the sign-in and resumed at the end)
// QMT_BENCH_CA: a root certificate to trust (the TLS chain of the simulated exchange).
#include <QElapsedTimer>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "bench_util.h"
#include "qmtHTTP_Client.h"
#include "qmtTradeBar.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData.h"
#include "qmtUIApplication.h"

namespace {

using Clock = std::chrono::steady_clock;

// When each order's first result arrived (the worker thread's listener call).
class Arrivals : public TObject {
public:
  void OnResult(TObject*, const TqmtTraderCommandResult& r) {
    if (r.Kind != TqmtTraderCommandKind::tckOrder) return;
    std::lock_guard g(FLock);
    if (FFirst.count(r.Ticket)) return;
    FFirst[r.Ticket] = Clock::now();
    if (r.Outcome != TqmtTraderOutcome::tocAccepted) FFailure = r.Text();
    ++FCount;
  }
  int Count() const { return FCount.load(); }
  std::string Failure() {
    std::lock_guard g(FLock);
    return FFailure;
  }
  Clock::time_point Last() {
    std::lock_guard g(FLock);
    Clock::time_point t{};
    for (const auto& [k, v] : FFirst) t = std::max(t, v);
    return t;
  }

private:
  std::mutex FLock;
  std::map<std::uint64_t, Clock::time_point> FFirst;
  std::atomic<int> FCount{0};
  std::string FFailure;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const std::string lMarket = argc > 1 ? argv[1] : "usdm";
  const int lPresses = argc > 2 ? std::atoi(argv[2]) : 200;
  const std::string lPhase = argc > 3 ? argv[3] : "answer";
  SetTraderDataStorage(false);
  int lStatus = 0;
  {
    TqmtApplication lApp(argc, argv);
    TqmtQtDispatcher lDispatcher;
    TqmtTraderClient_Binance& c = GetTraderClientBinance();
    if (const char* lCA = std::getenv("QMT_BENCH_CA")) c.GetWSClient().TLSOptions.RootCertFile = lCA;
    const bool lFutures = lMarket != "spot";
    if (!c.Initialize("qmt-sim-key", "qmt-sim-secret", lFutures, 0, false)) {
      std::fprintf(stderr, "order_latency: cannot sign in: %s\n", c.LastConnectionError().c_str());
      return 1;
    }
    c.SubscribeTicker("BTCUSDT");  // as the watch list would
    Arrivals lArrivals;
    c.RegisterOnCommandResult({&lArrivals, &Arrivals::OnResult});
    TFRAMETradeBarBinance b;
    b.SetSymbol("BTCUSDT");
    TqmtTradeBarOrder& o = *b.GetTradeBarOrders().GetOrder(0);
    o.OrderType = tbotLimit, o.Side = tbosBuy, o.Confirmation = false;
    o.LimitPrice = tbopLast, o.LimitPriceOperator = tbomMinus, o.LimitPriceMargin = 1000;
    b.txtSize->setText("0.001");
    QElapsedTimer lWait;
    lWait.start();
    while (!b.HasLastPrice() && lWait.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // The steps, read on the queue when the bar got its symbol, before the first press.
    while (c.Commands().Busy() > 0 && lWait.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    SetUIExceptionHandler([](const std::string&) {});  // the status-bar lines
    const char* lVia = c.OrderChannel() ? "the WebSocket API" : "REST";
    std::printf("%s on the simulated exchange, orders over %s, limit button without confirmation\n",
                lFutures ? "USDT-margined futures" : "spot", lVia);

    if (lPhase == "answer") {
      std::vector<double> lPress, lAnswer;
      const std::uint64_t lOpened = TqmtIdHTTP::ConnectionsOpened();
      // The WebSocket API's connection object now: another one at the end means it was opened again.
      TqmtWebSocketClient* lWS = lFutures ? c.OrdersWSClient() : c.UserWSClient();
      const auto lWSBefore = lWS ? lWS->Connection() : nullptr;
      for (int i = 0; i < lPresses; ++i) {
        const int lBefore = lArrivals.Count();
        const auto t0 = Clock::now();
        b.OrderClick(b.OrderButtons[0]);
        lPress.push_back(Ms(Clock::now() - t0));
        while (lArrivals.Count() == lBefore && Ms(Clock::now() - t0) < 15000) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (lArrivals.Count() == lBefore) break;
        lAnswer.push_back(Ms(lArrivals.Last() - t0));
      }
      if (!lArrivals.Failure().empty()) std::printf("  a failed order: %s\n", lArrivals.Failure().c_str());
      std::printf("  %zu presses, each after the answer to the one before\n", lAnswer.size());
      std::printf("  the press on the UI thread: median %.3f ms, p99 %.3f ms\n", Percentile(lPress, 0.5), Percentile(lPress, 0.99));
      std::printf("  press to the exchange's answer: median %.3f ms, p99 %.3f ms\n", Percentile(lAnswer, 0.5),
                  Percentile(lAnswer, 0.99));
      const int lWSConnects = lWS && lWS->Connection() != lWSBefore ? 1 : 0;
      const std::uint64_t lREST = TqmtIdHTTP::ConnectionsOpened() - lOpened;
      std::printf("  new connections per order: %.2f (REST %llu, WebSocket API %s)\n",
                  lAnswer.empty() ? 0.0 : static_cast<double>(lREST + lWSConnects) / lAnswer.size(),
                  static_cast<unsigned long long>(lREST), lWSConnects ? "opened again" : "the one of the sign-in");
      if (lAnswer.size() != static_cast<std::size_t>(lPresses)) lStatus = 1;
    } else {
      const char* lFreeze = std::getenv("QMT_BENCH_FREEZE_PID");
      const int lPid = lFreeze ? std::atoi(lFreeze) : 0;
      if (lPhase == "silent" && lPid > 0) ::kill(lPid, SIGSTOP);
      TqmtLatencyProbe lProbe(10);
      lProbe.Start();
      int lSent = 0;
      QElapsedTimer lNext;
      lNext.start();
      while (lProbe.Elapsed() < 6.0) {
        if (lNext.elapsed() >= 100) {
          lNext.restart();
          b.OrderClick(b.OrderButtons[0]);
          ++lSent;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      }
      std::printf("  %d presses in 6 s against an exchange that %s; %d answers came meanwhile\n", lSent,
                  lPhase == "silent" ? "never answers" : "answers after 2 s", lArrivals.Count());
      lProbe.Print();
      if (lPhase == "silent" && lPid > 0) ::kill(lPid, SIGCONT);
    }
    SetUIExceptionHandler(nullptr);
    c.UnRegisterOnCommandResult({&lArrivals, &Arrivals::OnResult});
    // What is still queued is dropped with the client; what is open is cancelled when it can be.
    c.RequestTimeoutMs = 2000;
  }
  FreeTraderData();
  return lStatus;
}
