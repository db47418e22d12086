// The trader client's command queue: everything the user asks of the exchange (orders, cancels,
// cancel-all, look-ups, connecting) runs on one worker thread, never on the thread that asked, and
// its result comes back as an event.
//
// Order. Commands leave in the order they were submitted; a symbol whose earlier order has an
// unknown outcome holds its later commands back until that order is settled, while other symbols'
// commands go on.
//
// Outcomes. An order is accepted (the exchange's status), refused (the exchange's reason, or never
// sent), or of unknown outcome: the request may have reached the exchange but no answer says what
// happened. An unknown order is looked up by its client order id on a schedule of about ten
// seconds, and the account stream settles it at once when it reports that id. Not found at the end
// of the schedule, it is "not placed"; not reachable, it stays unknown, and the symbol's next
// command looks it up once more before anything is sent.
//
// Threads. Submit* and OrderReported may be called from any thread (the user interface, the
// account stream's reading thread); the executor and the listener are called on the worker thread,
// except that OrderReported calls the listener on its caller's thread. The destructor stops the
// worker and reports every command still queued as refused ("not sent").
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qmtTraderMarketData.h"

// Take-profit orders trigger as a stop does, on the other side of the market; a trailing stop
// (futures) follows the price by CallbackRate percent once activated at StopPrice (0: at once).
enum class TqmtTraderOrderType : std::uint8_t {
  totMarket, totLimit, totStop, totStopLimit, totTakeProfit, totTakeProfitLimit, totTrailingStop
};
// tckModify: a limit order's price or size changed (the futures' modify; cancel-replace on spot).
enum class TqmtTraderCommandKind : std::uint8_t { tckOrder, tckCancel, tckCancelAll, tckTask, tckModify };
enum class TqmtTraderOutcome : std::uint8_t {
  tocAccepted,   // carried out; Status is the exchange's
  tocRefused,    // not carried out: the exchange refused it (its reason) or it was never sent
  tocUnknown,    // may or may not have been carried out: being looked up
  tocSettled,    // an order of unknown outcome found on the exchange (its Status)
  tocNotPlaced,  // an order of unknown outcome that the exchange does not have
};

// "MARKET", "LIMIT", "STOP", "STOP_LIMIT", "TAKE_PROFIT", "TAKE_PROFIT_LIMIT", "TRAILING_STOP"
std::string TraderOrderTypeText(TqmtTraderOrderType aType);
bool TraderOrderHasLimit(TqmtTraderOrderType aType);    // a limit price is sent
bool TraderOrderHasTrigger(TqmtTraderOrderType aType);  // a stop (trigger) price is sent
std::string TraderSideText(TqmtTraderOrderSide aSide);     // "BUY", "SELL"
std::string TraderOutcomeText(TqmtTraderOutcome aOutcome);   // "accepted", "refused", ...

struct TqmtTraderOrderRequest {
  TqmtTraderOrderSide Side = TqmtTraderOrderSide::stosBuy;
  TqmtTraderOrderType Type = TqmtTraderOrderType::totMarket;
  std::string Symbol;
  long double Size = 0, Price = 0, StopPrice = 0;
  std::string ClientOrderId;  // given when submitted (a fresh one when empty)
  std::string TimeInForce;    // "GTC" (also when empty), "IOC", "FOK": limit types only
  bool PostOnly = false;      // a limit order that must not take: LIMIT_MAKER on spot, GTX on futures
  bool ReduceOnly = false;    // futures: may only reduce the position
  long double CallbackRate = 0;  // trailing stop, percent
  std::string Replaces;       // a change (tckModify): the client order id of the order changed
  // "BUY LIMIT 0.5 BTCUSDT at 27000 IOC post-only", for messages.
  std::string Text() const;
};

struct TqmtTraderCommandResult {
  TqmtTraderCommandKind Kind = TqmtTraderCommandKind::tckOrder;
  TqmtTraderOutcome Outcome = TqmtTraderOutcome::tocRefused;
  std::uint64_t Ticket = 0;  // what Submit* returned
  std::string Symbol, ClientOrderId;
  std::string Description;   // what was asked ("BUY LIMIT 0.5 BTCUSDT at 27000", "cancel every BTCUSDT order")
  std::string Status;        // the exchange's ("NEW", "FILLED", ...)
  std::string Message;       // the reason of a refusal or an unknown outcome
  bool Algo = false;         // a conditional order of the futures (looked up by its client algo id)
  std::string Way;           // how a change was made: "modify" (in place) or "cancel-replace"
  // One line for the status bar: "Order accepted: BUY LIMIT 0.5 BTCUSDT at 27000 (NEW)".
  std::string Text() const;
};

// What carrying out one command gave.
struct TqmtTraderExecution {
  TqmtTraderOutcome Outcome = TqmtTraderOutcome::tocRefused;
  std::string Status, Message;
  bool Algo = false;  // a conditional order, looked up by its client algo id
  bool Unsent = false;  // refused because it never left this way: another way may carry it
  std::string Way;      // a change: "modify" (in place, the order kept its ids) or "cancel-replace" (a new order)
};

class TqmtTraderCommands {
public:
  // The exchange's part, called on the worker thread (or RunOrder's caller).
  class Executor {
  public:
    virtual ~Executor() = default;
    virtual TqmtTraderExecution ExecuteOrder(const TqmtTraderOrderRequest& aRequest) = 0;
    virtual TqmtTraderExecution ExecuteCancel(const std::string& aSymbol, const std::string& aClientOrderId) = 0;
    virtual TqmtTraderExecution ExecuteCancelAll(const std::string& aSymbol) = 0;
    // aRequest is the order as it is to be (limit price and size); aRequest.Replaces names it.
    virtual TqmtTraderExecution ExecuteModify(const TqmtTraderOrderRequest& aRequest) {
      TqmtTraderExecution e;
      e.Message = "changing an order is not possible here";
      return e;
    }
    // An order's status by its client order id; "NOT_FOUND" when the exchange does not have it, ""
    // when it could not be asked.
    virtual std::string LookUp(const std::string& aSymbol, const std::string& aClientOrderId, bool aAlgo) = 0;
    // An order of unknown outcome was registered ("UNKNOWN") or settled (aStatus): the tables show it.
    virtual void ShowOrder(const TqmtTraderOrderRequest& aRequest, const std::string& aStatus) {}
  };
  using Listener = std::function<void(const TqmtTraderCommandResult&)>;

  TqmtTraderCommands(Executor& aExecutor, Listener aListener);
  ~TqmtTraderCommands();
  TqmtTraderCommands(const TqmtTraderCommands&) = delete;
  TqmtTraderCommands& operator=(const TqmtTraderCommands&) = delete;

  // Each returns the command's ticket at once; the result comes as an event.
  std::uint64_t SubmitOrder(TqmtTraderOrderRequest& aRequest);
  std::uint64_t SubmitCancel(const std::string& aSymbol, const std::string& aClientOrderId);
  std::uint64_t SubmitCancelAll(const std::string& aSymbol);
  // A limit order's new price and size: aRequest as the order is to be, aRequest.Replaces its client
  // order id (aRequest.ClientOrderId, fresh when empty, is the new order's where it is replaced).
  std::uint64_t SubmitModify(TqmtTraderOrderRequest& aRequest);
  // Any other work (a look-up, connecting); what it raises is its refusal. aSymbol may be empty.
  std::uint64_t SubmitTask(const std::string& aSymbol, const std::string& aDescription, std::function<void()> aWork);

  // The order on the caller's thread, with the same rules (an earlier unknown order of the symbol
  // looked up first); an unknown outcome is followed until settled or the schedule ends.
  TqmtTraderCommandResult RunOrder(TqmtTraderOrderRequest& aRequest);

  // The account stream reported an order (any thread): an unknown one with this id is settled.
  void OrderReported(const std::string& aClientOrderId, const std::string& aStatus);
  // Client order ids of the orders whose outcome is unknown now.
  std::vector<std::string> UnknownOrders() const;
  // Commands queued or running.
  std::size_t Busy() const;

  // When an unknown order is looked up, in ms after it was sent; "not found" counts only at the last.
  void SetLookUpSchedule(std::vector<int> aScheduleMs);

private:
  struct TCommand {
    std::uint64_t Ticket = 0;
    TqmtTraderCommandKind Kind = TqmtTraderCommandKind::tckOrder;
    TqmtTraderOrderRequest Order;  // Symbol and ClientOrderId for the other kinds too
    std::string Description;
    std::function<void()> Work;
  };
  struct TUnknown {
    TqmtTraderOrderRequest Order;
    std::uint64_t Ticket = 0;
    bool Algo = false;
    std::uint64_t SentAt = 0;  // GetTicks
    std::size_t Next = 0;      // index into the schedule
    bool Exhausted = false;    // the schedule ended without an answer
    bool Busy = false;         // a look-up is running
    std::string Why;
  };

  void Loop();
  TqmtTraderCommandResult Run(TCommand& aCommand);
  // An earlier unknown order of aSymbol, looked up once more: true when it is settled now.
  bool SettleBefore(const std::string& aSymbol);
  void LookUpDue(const std::string& aClientOrderId);
  // Registers an unknown order (or settles it at once when the stream already told).
  void Track(const TqmtTraderOrderRequest& aOrder, std::uint64_t aTicket, const TqmtTraderCommandResult& aResult);
  void Settle(TUnknown aUnknown, TqmtTraderOutcome aOutcome, const std::string& aStatus);
  bool Held(const std::string& aSymbol) const;  // under FLock
  std::uint64_t NextDueAt() const;               // under FLock; 0: none
  void Emit(const TqmtTraderCommandResult& aResult);
  // A result that names the command, or the followed order, it is about.
  static TqmtTraderCommandResult ResultOf(const TCommand& aCommand);
  static TqmtTraderCommandResult ResultOf(const TUnknown& aUnknown, TqmtTraderOutcome aOutcome);
  // A final result of an unknown order: told to the listener and to a RunOrder waiting for it.
  void Finish(const TqmtTraderCommandResult& aResult);

  Executor& FExecutor;
  Listener FListener;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TCommand> FQueue;
  std::map<std::string, TUnknown> FUnknown;     // by client order id
  std::deque<std::pair<std::string, std::string>> FReported;  // recent (id, status) from the stream
  std::map<std::string, TqmtTraderCommandResult> FWaited;  // "<id>?" marks a waiter, "<id>" its result
  std::vector<int> FScheduleMs = {500, 1000, 2000, 3500, 5000, 7500, 10000};
  std::uint64_t FNextTicket = 0;
  std::size_t FRunning = 0;
  bool FStop = false;
  std::thread FWorker;
};
