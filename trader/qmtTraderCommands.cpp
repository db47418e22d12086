#include "qmtTraderCommands.h"

#include <charconv>

#include "qmtBase_Helpers.h"
#include "qmtHTTP_API_Binance.h"

namespace {

// The shortest text that reads back as the number, "." whatever the locale.
std::string Shortest(long double aValue) {
  char lBuffer[64];
  const auto r = std::to_chars(lBuffer, lBuffer + sizeof lBuffer, aValue);
  return std::string(lBuffer, r.ptr);
}

constexpr std::size_t kReportedKept = 256;

}  // namespace

std::string TraderOrderTypeText(TqmtTraderOrderType aType) {
  switch (aType) {
    case TqmtTraderOrderType::totMarket: return "MARKET";
    case TqmtTraderOrderType::totLimit: return "LIMIT";
    case TqmtTraderOrderType::totStop: return "STOP";
    case TqmtTraderOrderType::totStopLimit: return "STOP_LIMIT";
    case TqmtTraderOrderType::totTakeProfit: return "TAKE_PROFIT";
    case TqmtTraderOrderType::totTakeProfitLimit: return "TAKE_PROFIT_LIMIT";
    case TqmtTraderOrderType::totTrailingStop: return "TRAILING_STOP";
  }
  return "";
}

bool TraderOrderHasLimit(TqmtTraderOrderType aType) {
  return aType == TqmtTraderOrderType::totLimit || aType == TqmtTraderOrderType::totStopLimit ||
         aType == TqmtTraderOrderType::totTakeProfitLimit;
}

bool TraderOrderHasTrigger(TqmtTraderOrderType aType) {
  return aType != TqmtTraderOrderType::totMarket && aType != TqmtTraderOrderType::totLimit;
}

std::string TraderSideText(TqmtTraderOrderSide aSide) { return aSide == TqmtTraderOrderSide::stosBuy ? "BUY" : "SELL"; }

std::string TraderOutcomeText(TqmtTraderOutcome aOutcome) {
  switch (aOutcome) {
    case TqmtTraderOutcome::tocAccepted: return "accepted";
    case TqmtTraderOutcome::tocRefused: return "refused";
    case TqmtTraderOutcome::tocUnknown: return "outcome unknown";
    case TqmtTraderOutcome::tocSettled: return "found on the exchange";
    case TqmtTraderOutcome::tocNotPlaced: return "not placed";
  }
  return "";
}

std::string TqmtTraderOrderRequest::Text() const {
  std::string lText = TraderSideText(Side) + " " + TraderOrderTypeText(Type) + " " + Shortest(Size) + " " + Symbol;
  if (TraderOrderHasLimit(Type)) lText += " at " + Shortest(Price);
  if (Type == TqmtTraderOrderType::totTrailingStop) {
    lText += " trailing " + Shortest(CallbackRate) + "%";
    if (StopPrice > 0) lText += " from " + Shortest(StopPrice);
  } else if (TraderOrderHasTrigger(Type)) {
    lText += (Type == TqmtTraderOrderType::totTakeProfit || Type == TqmtTraderOrderType::totTakeProfitLimit ? " trigger " : " stop ") +
             Shortest(StopPrice);
  }
  if (!TimeInForce.empty() && TimeInForce != "GTC") lText += " " + TimeInForce;
  if (PostOnly) lText += " post-only";
  if (ReduceOnly) lText += " reduce-only";
  return lText;
}

std::string TqmtTraderCommandResult::Text() const {
  std::string lWhat;
  switch (Kind) {
    case TqmtTraderCommandKind::tckOrder: lWhat = "Order "; break;
    case TqmtTraderCommandKind::tckCancel:
    case TqmtTraderCommandKind::tckCancelAll: lWhat = "Cancel "; break;
    case TqmtTraderCommandKind::tckTask: lWhat = ""; break;
    case TqmtTraderCommandKind::tckModify: lWhat = "Change "; break;
  }
  // What matters first: the outcome, the order, its status or the reason; the client order id last.
  std::string lText = lWhat + TraderOutcomeText(Outcome) + ": " + Description;
  if (!Status.empty() || !Way.empty())
    lText += " (" + Status + (Status.empty() || Way.empty() ? "" : ", ") + (Way.empty() ? "" : "by " + Way) + ")";
  if (!Message.empty()) lText += ": " + Message;
  if (!ClientOrderId.empty() && (Kind == TqmtTraderCommandKind::tckOrder || Kind == TqmtTraderCommandKind::tckModify))
    lText += " [" + ClientOrderId + "]";
  if (lWhat.empty() && !lText.empty()) lText[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(lText[0])));
  return lText;
}

TqmtTraderCommands::TqmtTraderCommands(Executor& aExecutor, Listener aListener)
    : FExecutor(aExecutor), FListener(std::move(aListener)) {
  FWorker = std::thread([this] { Loop(); });
}

TqmtTraderCommands::~TqmtTraderCommands() {
  std::deque<TCommand> lDropped;
  {
    std::lock_guard g(FLock);
    FStop = true;
    lDropped.swap(FQueue);
  }
  FWake.notify_all();
  if (FWorker.joinable()) FWorker.join();
  for (const TCommand& c : lDropped) {
    TqmtTraderCommandResult r = ResultOf(c);
    r.Outcome = TqmtTraderOutcome::tocRefused;
    r.Message = "not sent: the session ended";
    Emit(r);
  }
}

void TqmtTraderCommands::SetLookUpSchedule(std::vector<int> aScheduleMs) {
  std::lock_guard g(FLock);
  FScheduleMs = std::move(aScheduleMs);
}

std::uint64_t TqmtTraderCommands::SubmitOrder(TqmtTraderOrderRequest& aRequest) {
  if (aRequest.ClientOrderId.empty()) aRequest.ClientOrderId = NewClientOrderId();
  TCommand c;
  c.Kind = TqmtTraderCommandKind::tckOrder;
  c.Order = aRequest;
  c.Description = aRequest.Text();
  std::lock_guard g(FLock);
  c.Ticket = ++FNextTicket;
  FQueue.push_back(std::move(c));
  FWake.notify_all();
  return FNextTicket;
}

std::uint64_t TqmtTraderCommands::SubmitModify(TqmtTraderOrderRequest& aRequest) {
  if (aRequest.ClientOrderId.empty()) aRequest.ClientOrderId = NewClientOrderId();
  TCommand c;
  c.Kind = TqmtTraderCommandKind::tckModify;
  c.Order = aRequest;
  c.Description = "order " + aRequest.Replaces + " to " + aRequest.Text();
  std::lock_guard g(FLock);
  c.Ticket = ++FNextTicket;
  FQueue.push_back(std::move(c));
  FWake.notify_all();
  return FNextTicket;
}

std::uint64_t TqmtTraderCommands::SubmitCancel(const std::string& aSymbol, const std::string& aClientOrderId) {
  TCommand c;
  c.Kind = TqmtTraderCommandKind::tckCancel;
  c.Order.Symbol = aSymbol;
  c.Order.ClientOrderId = aClientOrderId;
  c.Description = "cancel " + aSymbol + " order " + aClientOrderId;
  std::lock_guard g(FLock);
  c.Ticket = ++FNextTicket;
  FQueue.push_back(std::move(c));
  FWake.notify_all();
  return FNextTicket;
}

std::uint64_t TqmtTraderCommands::SubmitCancelAll(const std::string& aSymbol) {
  TCommand c;
  c.Kind = TqmtTraderCommandKind::tckCancelAll;
  c.Order.Symbol = aSymbol;
  c.Description = "every open order of " + aSymbol;
  std::lock_guard g(FLock);
  c.Ticket = ++FNextTicket;
  FQueue.push_back(std::move(c));
  FWake.notify_all();
  return FNextTicket;
}

std::uint64_t TqmtTraderCommands::SubmitTask(const std::string& aSymbol, const std::string& aDescription,
                                             std::function<void()> aWork) {
  TCommand c;
  c.Kind = TqmtTraderCommandKind::tckTask;
  c.Order.Symbol = aSymbol;
  c.Description = aDescription;
  c.Work = std::move(aWork);
  std::lock_guard g(FLock);
  c.Ticket = ++FNextTicket;
  FQueue.push_back(std::move(c));
  FWake.notify_all();
  return FNextTicket;
}

std::size_t TqmtTraderCommands::Busy() const {
  std::lock_guard g(FLock);
  return FQueue.size() + FRunning;
}

std::vector<std::string> TqmtTraderCommands::UnknownOrders() const {
  std::lock_guard g(FLock);
  std::vector<std::string> lIds;
  for (const auto& [lId, u] : FUnknown) lIds.push_back(lId);
  return lIds;
}

bool TqmtTraderCommands::Held(const std::string& aSymbol) const {
  if (aSymbol.empty()) return false;
  for (const auto& [lId, u] : FUnknown)
    if (u.Order.Symbol == aSymbol && !u.Exhausted) return true;
  return false;
}

std::uint64_t TqmtTraderCommands::NextDueAt() const {
  std::uint64_t lDue = 0;
  for (const auto& [lId, u] : FUnknown) {
    if (u.Exhausted || u.Busy || u.Next >= FScheduleMs.size()) continue;
    const std::uint64_t t = u.SentAt + static_cast<std::uint64_t>(FScheduleMs[u.Next]);
    if (lDue == 0 || t < lDue) lDue = t;
  }
  return lDue;
}

void TqmtTraderCommands::Loop() {
  std::unique_lock lGuard(FLock);
  while (!FStop) {
    // Look-ups that are due come first: they may free a held symbol.
    const std::uint64_t lNow = GetTicks();
    std::string lDue;
    for (auto& [lId, u] : FUnknown)
      if (!u.Exhausted && !u.Busy && u.Next < FScheduleMs.size() &&
          u.SentAt + static_cast<std::uint64_t>(FScheduleMs[u.Next]) <= lNow) {
        lDue = lId;
        u.Busy = true;
        break;
      }
    if (!lDue.empty()) {
      lGuard.unlock();
      LookUpDue(lDue);
      lGuard.lock();
      continue;
    }
    // The first command whose symbol is not held back.
    auto lIt = FQueue.begin();
    while (lIt != FQueue.end() && Held(lIt->Order.Symbol)) ++lIt;
    if (lIt != FQueue.end()) {
      TCommand c = std::move(*lIt);
      FQueue.erase(lIt);
      ++FRunning;
      lGuard.unlock();
      TqmtTraderCommandResult r = Run(c);
      Emit(r);
      // Followed once told, so that its settlement never comes before the news that it is unknown.
      // A replacement whose answer did not come is an order of unknown outcome like any other.
      const bool lPlacing = r.Kind == TqmtTraderCommandKind::tckOrder ||
                            (r.Kind == TqmtTraderCommandKind::tckModify && r.Way == "cancel-replace");
      if (lPlacing && r.Outcome == TqmtTraderOutcome::tocUnknown) Track(c.Order, c.Ticket, r);
      lGuard.lock();
      --FRunning;
      continue;
    }
    const std::uint64_t lNext = NextDueAt();
    if (lNext == 0)
      FWake.wait(lGuard);
    else
      FWake.wait_for(lGuard, std::chrono::milliseconds(lNext > lNow ? lNext - lNow : 1));
  }
}

bool TqmtTraderCommands::SettleBefore(const std::string& aSymbol) {
  TUnknown lEarlier;
  {
    std::lock_guard g(FLock);
    auto lIt = FUnknown.begin();
    while (lIt != FUnknown.end() && lIt->second.Order.Symbol != aSymbol) ++lIt;
    if (lIt == FUnknown.end()) return true;
    lEarlier = lIt->second;
  }
  const std::string lStatus = FExecutor.LookUp(aSymbol, lEarlier.Order.ClientOrderId, lEarlier.Algo);
  if (lStatus.empty()) return false;
  if (lStatus == "NOT_FOUND") {
    // Not there yet proves nothing before its look-up window has passed: it may still show.
    std::lock_guard g(FLock);
    const std::uint64_t lWindow = FScheduleMs.empty() ? 0 : static_cast<std::uint64_t>(FScheduleMs.back());
    if (!lEarlier.Exhausted && GetTicks() - lEarlier.SentAt < lWindow) return false;
  }
  {
    std::lock_guard g(FLock);
    if (!FUnknown.erase(lEarlier.Order.ClientOrderId)) return true;  // the stream settled it meanwhile
  }
  Settle(lEarlier, lStatus == "NOT_FOUND" ? TqmtTraderOutcome::tocNotPlaced : TqmtTraderOutcome::tocSettled,
         lStatus == "NOT_FOUND" ? std::string() : lStatus);
  return true;
}

TqmtTraderCommandResult TqmtTraderCommands::Run(TCommand& c) {
  TqmtTraderCommandResult r = ResultOf(c);
  // An earlier order of this symbol whose outcome is still unknown after its look-ups: asked once
  // more, and nothing new is sent while it cannot be (another order could double the position).
  if (c.Kind != TqmtTraderCommandKind::tckTask && !SettleBefore(c.Order.Symbol)) {
    r.Outcome = TqmtTraderOutcome::tocRefused;
    r.Message = "not sent: the outcome of the earlier " + c.Order.Symbol + " order is still unknown (the exchange cannot be asked)";
    return r;
  }
  TqmtTraderExecution e;
  try {
    switch (c.Kind) {
      case TqmtTraderCommandKind::tckOrder: e = FExecutor.ExecuteOrder(c.Order); break;
      case TqmtTraderCommandKind::tckCancel: e = FExecutor.ExecuteCancel(c.Order.Symbol, c.Order.ClientOrderId); break;
      case TqmtTraderCommandKind::tckCancelAll: e = FExecutor.ExecuteCancelAll(c.Order.Symbol); break;
      case TqmtTraderCommandKind::tckModify: e = FExecutor.ExecuteModify(c.Order); break;
      case TqmtTraderCommandKind::tckTask:
        if (c.Work) c.Work();
        e.Outcome = TqmtTraderOutcome::tocAccepted;
        break;
    }
  } catch (const std::exception& x) {
    e.Outcome = TqmtTraderOutcome::tocRefused;
    e.Message = x.what();
  }
  r.Outcome = e.Outcome;
  r.Status = e.Status;
  r.Message = e.Message;
  r.Algo = e.Algo;
  r.Way = e.Way;
  // A change that kept the order's ids is about that order; a replacement about the new one.
  if (c.Kind == TqmtTraderCommandKind::tckModify && e.Way == "modify") r.ClientOrderId = c.Order.Replaces;
  return r;
}

void TqmtTraderCommands::Track(const TqmtTraderOrderRequest& aOrder, std::uint64_t aTicket, const TqmtTraderCommandResult& aResult) {
  TUnknown u;
  u.Order = aOrder;
  u.Ticket = aTicket;
  u.Algo = aResult.Algo;
  u.SentAt = GetTicks();
  u.Why = aResult.Message;
  std::string lReported;
  {
    std::lock_guard g(FLock);
    for (const auto& [lId, lStatus] : FReported)
      if (lId == aOrder.ClientOrderId) lReported = lStatus;
    if (lReported.empty()) FUnknown[aOrder.ClientOrderId] = u;
  }
  if (!lReported.empty()) {
    // The stream told before the answer failed: no "unknown" row over its news.
    Settle(u, TqmtTraderOutcome::tocSettled, lReported);
    return;
  }
  FExecutor.ShowOrder(aOrder, "UNKNOWN");
  FWake.notify_all();
}

void TqmtTraderCommands::LookUpDue(const std::string& aClientOrderId) {
  TUnknown u;
  std::size_t lScheduleSize = 0;
  {
    std::lock_guard g(FLock);
    auto lIt = FUnknown.find(aClientOrderId);
    if (lIt == FUnknown.end()) return;
    u = lIt->second;
    lScheduleSize = FScheduleMs.size();
  }
  const std::string lStatus = FExecutor.LookUp(u.Order.Symbol, aClientOrderId, u.Algo);
  const bool lLast = u.Next + 1 >= lScheduleSize;
  TqmtTraderOutcome lOutcome = TqmtTraderOutcome::tocUnknown;
  {
    std::lock_guard g(FLock);
    auto lIt = FUnknown.find(aClientOrderId);
    if (lIt == FUnknown.end()) return;  // the stream settled it meanwhile
    TUnknown& lEntry = lIt->second;
    lEntry.Busy = false;
    ++lEntry.Next;
    if (!lStatus.empty() && lStatus != "NOT_FOUND") {
      lOutcome = TqmtTraderOutcome::tocSettled;
    } else if (lStatus == "NOT_FOUND" && lLast) {
      // Not there after the whole schedule, past the request's receive window: never placed.
      lOutcome = TqmtTraderOutcome::tocNotPlaced;
    } else if (lLast) {
      lEntry.Exhausted = true;  // unreachable: the symbol's next command asks once more
    }
    if (lOutcome != TqmtTraderOutcome::tocUnknown) FUnknown.erase(lIt);
  }
  if (lOutcome != TqmtTraderOutcome::tocUnknown) {
    Settle(u, lOutcome, lOutcome == TqmtTraderOutcome::tocSettled ? lStatus : std::string());
  } else if (lLast) {
    TqmtTraderCommandResult r = ResultOf(u, TqmtTraderOutcome::tocUnknown);
    r.Message = "still unknown: the exchange could not be asked (" + u.Why + "); look at the exchange before trading " +
                u.Order.Symbol + " again";
    Finish(r);
  }
  FWake.notify_all();
}

void TqmtTraderCommands::Settle(TUnknown u, TqmtTraderOutcome aOutcome, const std::string& aStatus) {
  FExecutor.ShowOrder(u.Order, aOutcome == TqmtTraderOutcome::tocNotPlaced ? "REJECTED" : aStatus);
  TqmtTraderCommandResult r = ResultOf(u, aOutcome);
  r.Status = aStatus;
  if (aOutcome == TqmtTraderOutcome::tocNotPlaced) r.Message = "the exchange does not have it (" + u.Why + ")";
  Finish(r);
}

void TqmtTraderCommands::OrderReported(const std::string& aClientOrderId, const std::string& aStatus) {
  if (aClientOrderId.empty()) return;
  TUnknown u;
  {
    std::lock_guard g(FLock);
    auto lIt = FUnknown.find(aClientOrderId);
    if (lIt == FUnknown.end()) {
      FReported.emplace_back(aClientOrderId, aStatus);
      if (FReported.size() > kReportedKept) FReported.pop_front();
      return;
    }
    u = lIt->second;
    FUnknown.erase(lIt);
  }
  // The stream's own event already wrote the tables: only the result is told.
  TqmtTraderCommandResult r = ResultOf(u, TqmtTraderOutcome::tocSettled);
  r.Status = aStatus;
  Finish(r);
}

TqmtTraderCommandResult TqmtTraderCommands::RunOrder(TqmtTraderOrderRequest& aRequest) {
  if (aRequest.ClientOrderId.empty()) aRequest.ClientOrderId = NewClientOrderId();
  TCommand c;
  c.Kind = TqmtTraderCommandKind::tckOrder;
  c.Order = aRequest;
  c.Description = aRequest.Text();
  {
    std::lock_guard g(FLock);
    c.Ticket = ++FNextTicket;
  }
  {
    std::lock_guard g(FLock);
    FWaited.erase(aRequest.ClientOrderId);
    FWaited[aRequest.ClientOrderId + "?"];  // marks the id as waited for; its final result lands beside
  }
  TqmtTraderCommandResult lResult = Run(c);
  if (lResult.Outcome != TqmtTraderOutcome::tocUnknown) {
    std::lock_guard g(FLock);
    FWaited.erase(aRequest.ClientOrderId + "?");
    return lResult;
  }
  Emit(lResult);
  Track(c.Order, c.Ticket, lResult);
  // Followed by the worker's look-ups and the stream until settled or given up.
  std::unique_lock lGuard(FLock);
  FWake.wait(lGuard, [&] { return FStop || FWaited.count(aRequest.ClientOrderId) > 0; });
  FWaited.erase(aRequest.ClientOrderId + "?");
  auto lIt = FWaited.find(aRequest.ClientOrderId);
  if (lIt != FWaited.end()) {
    lResult = lIt->second;
    FWaited.erase(lIt);
  }
  return lResult;
}

void TqmtTraderCommands::Finish(const TqmtTraderCommandResult& aResult) {
  {
    std::lock_guard g(FLock);
    if (FWaited.count(aResult.ClientOrderId + "?")) FWaited[aResult.ClientOrderId] = aResult;
  }
  FWake.notify_all();
  Emit(aResult);
}

TqmtTraderCommandResult TqmtTraderCommands::ResultOf(const TCommand& c) {
  TqmtTraderCommandResult r;
  r.Kind = c.Kind;
  r.Ticket = c.Ticket;
  r.Symbol = c.Order.Symbol;
  r.ClientOrderId = c.Order.ClientOrderId;
  r.Description = c.Description;
  return r;
}

TqmtTraderCommandResult TqmtTraderCommands::ResultOf(const TUnknown& u, TqmtTraderOutcome aOutcome) {
  TqmtTraderCommandResult r;
  r.Kind = TqmtTraderCommandKind::tckOrder;
  r.Outcome = aOutcome;
  r.Ticket = u.Ticket;
  r.Symbol = u.Order.Symbol;
  r.ClientOrderId = u.Order.ClientOrderId;
  r.Description = u.Order.Text();
  r.Algo = u.Algo;
  return r;
}

void TqmtTraderCommands::Emit(const TqmtTraderCommandResult& aResult) {
  if (FListener) FListener(aResult);
}
