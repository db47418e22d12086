// What the user is told of an order: accepted, refused, or of unknown outcome and then settled by a
// look-up or by the account stream, never guessed. The command queue on its own with a scripted
// executor, then the trader client against the simulated exchange with every kind of failure.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "test_support.h"
#include "qmtHTTP_Client.h"
#include "qmtTraderClient_Binance.h"
#include "sim_exchange.h"
#include "trader_fixture.h"

using qmt_test::Eventually;

using namespace qmt_test;
using O = TqmtTraderOutcome;

namespace {

const char* kKey = "qmt-sim-key";
const char* kSecret = "qmt-sim-secret";

// Every result the queue told, in order.
class Results : public TObject {
public:
  void Add(const TqmtTraderCommandResult& r) {
    std::lock_guard g(FLock);
    FAll.push_back(r);
    FChanged.notify_all();
  }
  void OnResult(TObject*, const TqmtTraderCommandResult& r) { Add(r); }
  std::vector<O> Of(std::uint64_t aTicket) {
    std::lock_guard g(FLock);
    std::vector<O> lOutcomes;
    for (const auto& r : FAll)
      if (r.Ticket == aTicket) lOutcomes.push_back(r.Outcome);
    return lOutcomes;
  }
  TqmtTraderCommandResult Last(std::uint64_t aTicket) {
    std::lock_guard g(FLock);
    TqmtTraderCommandResult lLast;
    for (const auto& r : FAll)
      if (r.Ticket == aTicket) lLast = r;
    return lLast;
  }
  std::vector<std::uint64_t> Tickets() {
    std::lock_guard g(FLock);
    std::vector<std::uint64_t> t;
    for (const auto& r : FAll) t.push_back(r.Ticket);
    return t;
  }
  // Waits until aTicket has a final result (anything but unknown), or aMs passed.
  bool Final(std::uint64_t aTicket, int aMs = 15000) {
    std::unique_lock g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(aMs), [&] {
      for (const auto& r : FAll)
        if (r.Ticket == aTicket && r.Outcome != O::tocUnknown) return true;
      return false;
    });
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TqmtTraderCommandResult> FAll;
};

// An executor that answers from a script: each order's outcome, each look-up's answer.
class Scripted : public TqmtTraderCommands::Executor {
public:
  std::mutex Lock;
  std::deque<TqmtTraderExecution> Orders;
  std::deque<std::string> LookUps;  // "" cannot ask, "NOT_FOUND", or a status
  std::vector<std::string> Sent;     // symbols, in the order they were sent
  std::vector<std::string> Shown;    // "id status" rows the tables got
  TqmtTraderExecution ExecuteOrder(const TqmtTraderOrderRequest& r) override {
    std::lock_guard g(Lock);
    Sent.push_back(r.Symbol);
    TqmtTraderExecution e;
    e.Outcome = O::tocAccepted;
    if (!Orders.empty()) e = Orders.front(), Orders.pop_front();
    return e;
  }
  TqmtTraderExecution ExecuteCancel(const std::string&, const std::string&) override { return {}; }
  TqmtTraderExecution ExecuteCancelAll(const std::string&) override { return {O::tocAccepted, "", "", false}; }
  std::string LookUp(const std::string&, const std::string&, bool) override {
    std::lock_guard g(Lock);
    if (LookUps.empty()) return "";
    std::string s = LookUps.front();
    LookUps.pop_front();
    return s;
  }
  void ShowOrder(const TqmtTraderOrderRequest& r, const std::string& aStatus) override {
    std::lock_guard g(Lock);
    Shown.push_back(aStatus);
  }
};

TqmtTraderOrderRequest Limit(const std::string& aSymbol, long double aPrice = 1) {
  TqmtTraderOrderRequest r;
  r.Symbol = aSymbol;
  r.Type = TqmtTraderOrderType::totLimit;
  r.Size = 0.01L;
  r.Price = aPrice;
  return r;
}

TqmtTraderExecution Unknown() { return {O::tocUnknown, "", "no answer after the request was sent", false}; }

}  // namespace

TEST(CommandQueue, UnknownOrdersAreFollowedUntilSettledAndHoldOnlyTheirSymbol) {
  Scripted x;
  Results lResults;
  {
    TqmtTraderCommands q(x, [&](const TqmtTraderCommandResult& r) { lResults.Add(r); });
    q.SetLookUpSchedule({50, 100, 300});
    // BTCUSDT's first order is unknown; two look-ups do not find it yet (it may still show), the
    // last one does not either: not placed. Its second order waits for that; ETHUSDT's goes at once.
    x.Orders = {Unknown()};
    x.LookUps = {"NOT_FOUND", "NOT_FOUND", "NOT_FOUND"};
    auto a = Limit("BTCUSDT"), b = Limit("BTCUSDT"), c = Limit("ETHUSDT");
    const auto ta = q.SubmitOrder(a), tb = q.SubmitOrder(b), tc = q.SubmitOrder(c);
    ASSERT_TRUE(lResults.Final(tb));
    EXPECT_EQ(lResults.Of(ta), std::vector<O>({O::tocUnknown, O::tocNotPlaced}));
    EXPECT_EQ(lResults.Of(tb), std::vector<O>({O::tocAccepted}));
    EXPECT_EQ(lResults.Of(tc), std::vector<O>({O::tocAccepted}));
    const auto t = lResults.Tickets();
    EXPECT_LT(std::find(t.begin(), t.end(), tc), std::find(t.begin(), t.end(), tb)) << "ETHUSDT did not wait";
    EXPECT_EQ(x.Sent, std::vector<std::string>({"BTCUSDT", "ETHUSDT", "BTCUSDT"}));
    EXPECT_EQ(x.Shown, std::vector<std::string>({"UNKNOWN", "REJECTED"}));
    EXPECT_NE(lResults.Last(ta).Message.find("does not have it"), std::string::npos);
  }
  {
    // The account stream tells first: settled at once, whatever the look-ups would say.
    Results r2;
    TqmtTraderCommands q(x, [&](const TqmtTraderCommandResult& r) { r2.Add(r); });
    q.SetLookUpSchedule({5000});
    x.Orders = {Unknown()};
    auto a = Limit("BTCUSDT");
    const auto ta = q.SubmitOrder(a);
    while (q.UnknownOrders().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    q.OrderReported(a.ClientOrderId, "FILLED");
    ASSERT_TRUE(r2.Final(ta, 2000));
    EXPECT_EQ(r2.Of(ta), std::vector<O>({O::tocUnknown, O::tocSettled}));
    EXPECT_EQ(r2.Last(ta).Status, "FILLED");
    EXPECT_TRUE(q.UnknownOrders().empty());
    // The stream may even be first of all: no "UNKNOWN" row over its news.
    x.Shown.clear();
    x.Orders = {Unknown()};
    auto b = Limit("BTCUSDT");
    b.ClientOrderId = "early";
    q.OrderReported("early", "NEW");
    const auto tb = q.SubmitOrder(b);
    ASSERT_TRUE(r2.Final(tb, 2000));
    EXPECT_EQ(r2.Of(tb), std::vector<O>({O::tocUnknown, O::tocSettled}));
    EXPECT_EQ(x.Shown, std::vector<std::string>({"NEW"}));
  }
  {
    // Nobody can be asked: still unknown at the end, and the symbol's next order is refused without
    // being sent until a look-up answers.
    Results r3;
    TqmtTraderCommands q(x, [&](const TqmtTraderCommandResult& r) { r3.Add(r); });
    q.SetLookUpSchedule({20, 40});
    x.Sent.clear();
    x.Orders = {Unknown()};
    x.LookUps = {"", "", ""};
    auto a = Limit("BTCUSDT"), b = Limit("BTCUSDT");
    const auto ta = q.SubmitOrder(a);
    while (r3.Of(ta).size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(r3.Of(ta), std::vector<O>({O::tocUnknown, O::tocUnknown}));
    EXPECT_NE(r3.Last(ta).Message.find("still unknown"), std::string::npos);
    const auto tb = q.SubmitOrder(b);
    ASSERT_TRUE(r3.Final(tb, 2000));
    EXPECT_EQ(r3.Of(tb), std::vector<O>({O::tocRefused}));
    EXPECT_EQ(x.Sent, std::vector<std::string>({"BTCUSDT"})) << "the second was not sent";
    x.LookUps = {"FILLED"};  // the exchange answers again
    auto c = Limit("BTCUSDT");
    const auto tc = q.SubmitOrder(c);
    ASSERT_TRUE(r3.Final(tc, 2000));
    EXPECT_EQ(r3.Of(ta).back(), O::tocSettled);
    EXPECT_EQ(r3.Of(tc), std::vector<O>({O::tocAccepted}));
  }
  {
    // Commands still queued when the queue ends are told they were not sent.
    Results r4;
    std::uint64_t t = 0;
    {
      TqmtTraderCommands q(x, [&](const TqmtTraderCommandResult& r) { r4.Add(r); });
      q.SetLookUpSchedule({60000});
      x.Orders = {Unknown()};
      auto a = Limit("BTCUSDT"), b = Limit("BTCUSDT");
      q.SubmitOrder(a);
      t = q.SubmitOrder(b);  // held behind the unknown one
      while (q.UnknownOrders().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(r4.Of(t), std::vector<O>({O::tocRefused}));
    EXPECT_NE(r4.Last(t).Message.find("not sent"), std::string::npos);
  }
}

// ---- against the simulated exchange ---------------------------------------------------------------

class OrderOutcomes : public TraderDataTest {};

TEST_F(OrderOutcomes, EveryKindOfFailureEndsInTheRightOutcome) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string symbol;
    std::vector<O> outcomes;
  };
  const std::vector<Case> lCases = {
      {"accepted", {}, "BTCUSDT", {O::tocAccepted}},
      {"refused by the exchange", {}, "NOSUCHSYMBOL", {O::tocRefused}},
      {"placed, answered 503", {"--orders-503", "1"}, "BTCUSDT", {O::tocUnknown, O::tocSettled}},
      {"placed, answered 408", {"--orders-408", "1"}, "BTCUSDT", {O::tocUnknown, O::tocSettled}},
      {"placed, connection closed", {"--close-after-order", "placed:1"}, "BTCUSDT", {O::tocUnknown, O::tocSettled}},
      {"not placed, connection closed", {"--close-after-order", "unplaced:1"}, "BTCUSDT", {O::tocUnknown, O::tocNotPlaced}},
  };
  for (bool lFutures : {false, true}) {
    for (const Case& c : lCases) {
      SCOPED_TRACE(std::string(lFutures ? "USDT-margined: " : "spot: ") + c.name);
      ResetBinanceHostStates();
      SimExchange lExchange(c.args);
      lExchange.PointAt();
      Results lResults;
      TqmtTraderClient_Binance t;
      t.Commands().SetLookUpSchedule({200, 400, 800, 1600, 2500});
      t.RegisterOnCommandResult({&lResults, &Results::OnResult});
      ASSERT_TRUE(t.Initialize(kKey, kSecret, lFutures, 0, false));
      ASSERT_NE(t.OrderChannel(), nullptr) << "orders go over the WebSocket API";
      auto r = Limit(c.symbol);
      const auto lTicket = t.SubmitOrder(r);
      ASSERT_TRUE(lResults.Final(lTicket));
      EXPECT_EQ(lResults.Of(lTicket), c.outcomes) << lResults.Last(lTicket).Text();
      if (c.outcomes.back() == O::tocSettled || c.outcomes.back() == O::tocAccepted) {
        EXPECT_EQ(lResults.Last(lTicket).Status, "NEW") << lResults.Last(lTicket).Text();
      }
      t.UnRegisterOnCommandResult({&lResults, &Results::OnResult});
    }
  }
}

TEST_F(OrderOutcomes, NotYetVisibleIsNotNotPlaced) {
  // Over REST alone (no account stream to tell): the exchange places the order, answers 503 and
  // shows it to queries only 700 ms later. The first look-ups find nothing; that is no proof.
  SimExchange lExchange({"--orders-503", "1", "--order-visible-after-ms", "700"});
  lExchange.PointAt();
  TqmtTraderClient_Binance t;
  t.Client().Binance().ApiKey = kKey;
  t.Client().Binance().ApiSecret = kSecret;
  t.ConfigureRequests(t.Client().REST_API());
  t.Commands().SetLookUpSchedule({100, 300, 600, 1000, 1500});
  Results lResults;
  t.RegisterOnCommandResult({&lResults, &Results::OnResult});
  auto r = Limit("BTCUSDT");
  const auto lTicket = t.SubmitOrder(r);
  ASSERT_TRUE(lResults.Final(lTicket));
  EXPECT_EQ(lResults.Of(lTicket), std::vector<O>({O::tocUnknown, O::tocSettled}));
  EXPECT_EQ(lResults.Last(lTicket).Status, "NEW");
  t.UnRegisterOnCommandResult({&lResults, &Results::OnResult});
}

TEST_F(OrderOutcomes, TheAccountStreamSettlesAnUnknownOrderAtOnce) {
  SimExchange lExchange({"--orders-503", "1"});
  lExchange.PointAt();
  TqmtTraderClient_Binance t;
  t.Commands().SetLookUpSchedule({8000, 10000});  // far later than the stream
  Results lResults;
  t.RegisterOnCommandResult({&lResults, &Results::OnResult});
  ASSERT_TRUE(t.Initialize(kKey, kSecret, true, 0, false));
  auto r = Limit("BTCUSDT");
  const auto lTicket = t.SubmitOrder(r);
  ASSERT_TRUE(lResults.Final(lTicket, 4000)) << "settled before the first look-up";
  EXPECT_EQ(lResults.Of(lTicket), std::vector<O>({O::tocUnknown, O::tocSettled}));
  t.UnRegisterOnCommandResult({&lResults, &Results::OnResult});
}

TEST_F(OrderOutcomes, AnOrderHeldUpLongerThanItsReceiveWindowIsRefusedNotExecuted) {
  // The exchange freezes with the order in its socket: when it wakes, the order is past its
  // recvWindow (3 s) and refused as late; nothing sends it again.
  for (bool lFutures : {false, true}) {
    SCOPED_TRACE(lFutures ? "USDT-margined" : "spot");
    ResetBinanceHostStates();
    SimExchange lExchange;
    lExchange.PointAt();
    TqmtTraderClient_Binance t;
    t.OrderTimeoutMs = 8000;
    Results lResults;
    t.RegisterOnCommandResult({&lResults, &Results::OnResult});
    ASSERT_TRUE(t.Initialize(kKey, kSecret, lFutures, 0, false));
    lExchange.Signal(SIGSTOP);
    auto r = Limit("BTCUSDT");
    const auto lTicket = t.SubmitOrder(r);
    std::this_thread::sleep_for(std::chrono::milliseconds(3600));
    lExchange.Signal(SIGCONT);
    ASSERT_TRUE(lResults.Final(lTicket));
    EXPECT_EQ(lResults.Of(lTicket), std::vector<O>({O::tocRefused}));
    EXPECT_NE(lResults.Last(lTicket).Message.find("refused as late"), std::string::npos) << lResults.Last(lTicket).Text();
    EXPECT_NE(lResults.Last(lTicket).Message.find("-1021"), std::string::npos);
    t.UnRegisterOnCommandResult({&lResults, &Results::OnResult});
  }
}

TEST_F(OrderOutcomes, OrdersGoOverRESTWhileTheWebSocketAPIIsDown) {
  SimExchange lExchange;
  lExchange.PointAt();
  TqmtTraderClient_Binance t;
  Results lResults;
  t.RegisterOnCommandResult({&lResults, &Results::OnResult});
  ASSERT_TRUE(t.Initialize(kKey, kSecret, true, 0, false));
  ASSERT_NE(t.OrderChannel(), nullptr);
  t.OrdersWSClient()->Disconnect(5000);
  EXPECT_EQ(t.OrderChannel(), nullptr);
  auto r = Limit("BTCUSDT");
  const auto lTicket = t.SubmitOrder(r);
  ASSERT_TRUE(lResults.Final(lTicket));
  EXPECT_EQ(lResults.Of(lTicket), std::vector<O>({O::tocAccepted}));
  EXPECT_EQ(lResults.Last(lTicket).Status, "NEW") << "the REST answer's status";
  // And back on the WebSocket API once it is open again.
  ASSERT_TRUE(t.OrdersWSClient()->Connect(5000));
  EXPECT_NE(t.OrderChannel(), nullptr);
  auto r2 = Limit("BTCUSDT");
  const auto lSecond = t.SubmitOrder(r2);
  ASSERT_TRUE(lResults.Final(lSecond));
  EXPECT_EQ(lResults.Of(lSecond), std::vector<O>({O::tocAccepted}));
  t.UnRegisterOnCommandResult({&lResults, &Results::OnResult});
}

TEST_F(OrderOutcomes, AClosedRESTConnectionIsOpenedAgainBeforeTheNextOrder) {
  // The kept connection goes (as when the server closes an idle one); the keeper opens a new one in
  // the background, and the next order over REST opens none.
  SimExchange lExchange;
  lExchange.PointAt();
  TqmtTraderClient_Binance t;
  t.KeepWarmMs = 150;
  Results lResults;
  t.RegisterOnCommandResult({&lResults, &Results::OnResult});
  ASSERT_TRUE(t.Initialize(kKey, kSecret, true, 0, false));
  t.OrdersWSClient()->Disconnect(5000);  // orders over REST
  // The sign-in's account snapshot done: none of its connections is busy when they are closed.
  ASSERT_TRUE(Eventually([&] { return t.AccountSnapshots() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  TqmtIdHTTP::CloseKeptConnections();
  const std::uint64_t lBefore = TqmtIdHTTP::ConnectionsOpened();
  const auto lEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (TqmtIdHTTP::ConnectionsOpened() == lBefore && std::chrono::steady_clock::now() < lEnd)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(TqmtIdHTTP::ConnectionsOpened(), lBefore) << "opened again with no order asking";
  // No ping beside the order from here on (a busy kept connection would make the order open another).
  t.KeepWarmMs = 60000;
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const std::uint64_t lWarm = TqmtIdHTTP::ConnectionsOpened();
  auto r = Limit("BTCUSDT");
  const auto lTicket = t.SubmitOrder(r);
  ASSERT_TRUE(lResults.Final(lTicket));
  EXPECT_EQ(lResults.Of(lTicket), std::vector<O>({O::tocAccepted}));
  EXPECT_EQ(TqmtIdHTTP::ConnectionsOpened(), lWarm) << "the order used the kept connection";
  t.UnRegisterOnCommandResult({&lResults, &Results::OnResult});
}
