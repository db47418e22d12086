// The account's state: snapshots and reconciliation, balances and positions in the exchange's
// order, live valuation at the mark price, the user-data subscription's retries.
#include <algorithm>
#include <cmath>

#include "qmtBase_Helpers.h"
#include "qmtHTTP_Client.h"
#include "qmtTraderClient_Binance.h"
#include "qmtTraderData_Balance.h"
#include "qmtTraderData_Log.h"
#include "qmtTraderData_Position.h"
#include "qmtTraderHelpers.h"

namespace {

std::string_view Text(const TqmtObjectJSON* aMember) { return aMember ? aMember->ValueView() : std::string_view(); }

long double Num(const TqmtObjectJSON* aMember) {
  if (!aMember || aMember->ValueView().empty()) return 0;
  try {
    return TraderStrToFloat(aMember->ValueView());
  } catch (const std::exception&) {
    return 0;
  }
}

std::int64_t Millis(const TqmtObjectJSON* aMember) { return static_cast<std::int64_t>(Num(aMember)); }

// The server's clock now (ms), as the REST client measures it.
std::int64_t ServerNow(TqmtHTTP_API_Binance& aREST) {
  try {
    return std::stoll(aREST.GetTimestamp());
  } catch (const std::exception&) {
    return 0;
  }
}

// A snapshot's state is at least as new as its request: a balance or position never changed
// (updateTime 0) or changed long ago is still the state when the request left, and an event
// older than that is older than the snapshot.
std::int64_t SnapshotTime(const TqmtObjectJSON* aUpdateTime, std::int64_t aSent) {
  return std::max(Millis(aUpdateTime), aSent);
}

bool ConditionalType(std::string_view aType) {
  return aType == "STOP" || aType == "STOP_MARKET" || aType == "TAKE_PROFIT" || aType == "TAKE_PROFIT_MARKET" ||
         aType == "TRAILING_STOP_MARKET";
}

// An order as REST tells it: plain ({"clientOrderId", "status", ...}) or conditional
// ({"clientAlgoId", "algoStatus", ...}).
template <typename TNode>
TqmtTraderOrder OrderOf(const TNode& e) {
  TqmtTraderOrder o;
  o.SetDateTime(NowLocal());
  const bool lAlgo = e.Find("clientAlgoId") != nullptr;
  o.SetId(std::string(Text(e.Find(lAlgo ? "clientAlgoId" : "clientOrderId"))));
  o.SetSymbol(std::string(Text(e.Find("symbol"))));
  o.SetOrderSide(std::string(Text(e.Find("side"))));
  o.SetOrderType(std::string(Text(e.Find(lAlgo ? "orderType" : "type"))));
  long double lPrice = Num(e.Find("price"));
  if (lPrice == 0) lPrice = Num(e.Find(lAlgo ? "triggerPrice" : "stopPrice"));
  o.SetPrice(lPrice);
  o.SetSize(Num(e.Find(lAlgo ? "quantity" : "origQty")));
  if (!lAlgo) o.SetFilled(Num(e.Find("executedQty")));
  o.SetStopPrice(Num(e.Find(lAlgo ? "triggerPrice" : "stopPrice")));
  // Futures say the average; spot the cumulative quote quantity.
  long double lAverage = Num(e.Find("avgPrice"));
  if (lAverage == 0 && o.Filled() > 0) lAverage = Num(e.Find("cummulativeQuoteQty")) / o.Filled();
  o.SetAveragePrice(lAverage);
  o.SetOrderStatus(std::string(Text(e.Find(lAlgo ? "algoStatus" : "status"))));
  std::int64_t lTime = Millis(e.Find("updateTime"));
  if (lTime == 0) lTime = Millis(e.Find("time"));
  o.SetUpdateTime(lTime);
  return o;
}

// The exchange's code of a refusal (0 when the failure is not one).
int RefusalCode(const std::exception& e) {
  std::string lBody;
  if (const auto* h = dynamic_cast<const EIdHTTPProtocolException*>(&e))
    lBody = h->ErrorMessage();
  else
    lBody = e.what();
  const auto lAt = lBody.find("\"code\":");
  if (lAt == std::string::npos) return 0;
  try {
    return std::stoi(lBody.substr(lAt + 7));
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

std::string BinanceRefusalWords(const std::string& aText) {
  // {"code":-2015,"msg":"Invalid API-key, IP, or permissions for action."} -> "-2015 Invalid API-key, ..."
  const auto lCode = aText.find("\"code\":");
  const auto lMsg = aText.find("\"msg\":\"");
  if (lCode == std::string::npos || lMsg == std::string::npos) return aText;
  std::string lNumber;
  for (std::size_t i = lCode + 7; i < aText.size() && (aText[i] == '-' || std::isdigit(static_cast<unsigned char>(aText[i]))); ++i)
    lNumber += aText[i];
  const auto lEnd = aText.find('"', lMsg + 7);
  return lNumber + " " + aText.substr(lMsg + 7, lEnd == std::string::npos ? std::string::npos : lEnd - lMsg - 7);
}

namespace {

std::string Words(const std::exception& e) {
  if (const auto* h = dynamic_cast<const EIdHTTPProtocolException*>(&e); h && !h->ErrorMessage().empty())
    return BinanceRefusalWords(h->ErrorMessage());
  return BinanceRefusalWords(e.what());
}

}  // namespace

// ---- the worker and its REST clients ---------------------------------------------------------------

void TqmtTraderClient_Binance::PostAccountJob(const std::string& aKey, int aDelayMs, std::function<void()> aWork) {
  {
    std::shared_lock g(FAccountWorkerLock);
    if (FAccountStopped) return;
    if (FAccount) {
      FAccount->Schedule(aKey, aDelayMs, std::move(aWork));
      return;
    }
  }
  std::unique_lock g(FAccountWorkerLock);
  if (FAccountStopped) return;
  if (!FAccount) FAccount = std::make_unique<TqmtTraderAccountWorker>();
  FAccount->Schedule(aKey, aDelayMs, std::move(aWork));
}

void TqmtTraderClient_Binance::StopAccountWorker(bool aRestart) {
  std::unique_ptr<TqmtTraderAccountWorker> lWorker;
  {
    std::unique_lock g(FAccountWorkerLock);
    FAccountStopped = true;
    lWorker.swap(FAccount);
  }
  lWorker.reset();  // joins it, outside the lock: a job may still be asking for another
  std::unique_lock g(FAccountWorkerLock);
  FAccountStopped = !aRestart;
}

void TqmtTraderClient_Binance::MakeAccountREST() {
  // Short time-outs: a snapshot that cannot finish is tried again, it never holds anything up.
  FAccountSpot.reset();
  FAccountFutures.reset();
  FPositionREST.reset();
  if (FClient) {
    FAccountSpot = std::make_unique<TqmtHTTP_API_Binance_Rest>();
    FAccountSpot->BinanceOptions() = FClient->REST_API().BinanceOptions();
    FAccountSpot->TLSOptions = FClient->REST_API().TLSOptions;
    ConfigureRequests(*FAccountSpot);
    FAccountSpot->ConnectTimeout = std::min(FAccountSpot->ConnectTimeout, 3000);
    FAccountSpot->ReadTimeout = std::min(FAccountSpot->ReadTimeout, 5000);
  } else if (FClient_Futures) {
    FAccountFutures = std::make_unique<TqmtHTTP_API_Binance_Futures_Rest>();
    FClient_Futures->ConfigureREST(*FAccountFutures);
    FAccountFutures->OnHTTPAPIException = nullptr;
    ConfigureRequests(*FAccountFutures);
    FAccountFutures->ConnectTimeout = std::min(FAccountFutures->ConnectTimeout, 3000);
    FAccountFutures->ReadTimeout = std::min(FAccountFutures->ReadTimeout, 5000);
  }
}

void TqmtTraderClient_Binance::RequestAccountSnapshot() {
  if (!FHasAccount) return;
  PostAccountJob("snapshot", 0, [this] {
    try {
      ReadAccountSnapshot();
      std::lock_guard g(FAccountLock);
      FRetryMs = 0;
    } catch (const std::exception& e) {
      int lWait;
      {
        std::lock_guard g(FAccountLock);
        FRetryMs = FRetryMs == 0 ? AccountRetryMs.load() : std::min(30000, FRetryMs * 2);
        lWait = FRetryMs;
      }
      SetAccountProblem("account not read: " + Words(e));
      GetTraderDataLog().Notice("account not read (tried again in " + std::to_string(lWait) + " ms): " + Words(e));
      PostAccountJob("snapshot", lWait, [this] { RequestAccountSnapshot(); });
    }
  });
}

std::string TqmtTraderClient_Binance::AccountProblem() {
  std::lock_guard g(FAccountLock);
  return FAccountProblem;
}

void TqmtTraderClient_Binance::SetAccountProblem(const std::string& aText) {
  {
    std::lock_guard g(FAccountLock);
    FAccountProblem = aText;
  }
  if (!aText.empty()) RecordConnectionError(aText);
}

std::string TqmtTraderClient_Binance::MarketName() const {
  std::string lName;
  if (FClient)
    lName = "Spot";
  else if (FClient_Futures)
    lName = FClient_Futures->FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN ? "COIN-M futures" : "USDⓈ-M futures";
  else
    return std::string();
  if (FTestNet) lName += ", test network";
  return lName;
}

// ---- the snapshot ------------------------------------------------------------------------------------

void TqmtTraderClient_Binance::ReadAccountSnapshot() {
  const std::uint64_t lStarted = GetTicks();
  if (FClient)
    ReadSpotSnapshot();
  else if (FClient_Futures)
    ReadFuturesSnapshot();
  else
    return;
  FLastSnapshotMs = GetTicks() - lStarted;
  ++FSnapshots;
  SetAccountProblem(std::string());
  GetTraderDataLog().Notice("account read in " + std::to_string(FLastSnapshotMs.load()) + " ms");
}

void TqmtTraderClient_Binance::ReadSpotSnapshot() {
  if (!FAccountSpot) MakeAccountREST();
  TqmtJSON lAccount;
  const std::int64_t lSent = ServerNow(*FAccountSpot);
  lAccount.Read(FAccountSpot->GetAccountInformation());
  const std::int64_t lTime = SnapshotTime(lAccount.Find("updateTime"), lSent);
  std::vector<std::string> lHeld;
  if (const TqmtObjectJSON* B = lAccount.Find("balances")) {
    for (int i = 0; i < B->Count(); ++i) {
      const TqmtObjectJSON* b = B->At(i);
      const std::string lAsset(Text(b->Find("asset")));
      const long double lFree = Num(b->Find("free")), lLocked = Num(b->Find("locked"));
      if (lAsset.empty() || lFree + lLocked == 0) continue;
      lHeld.push_back(lAsset);
      {
        std::lock_guard g(FAccountLock);
        auto& k = FSpotBalances[lAsset];
        const auto lKnown = FBalanceTimes.find(lAsset);
        if (lKnown == FBalanceTimes.end() || lTime == 0 || lTime >= lKnown->second) k = {lFree + lLocked, lFree};
      }
      ApplyBalance(lAsset, lFree + lLocked, lFree, 0, lTime, lFree, std::string());
    }
  }
  GetTraderDataBalance().KeepOnly(lHeld);
  UpdateValueStreams();
  TqmtJSON lOrders;
  lOrders.Read(FAccountSpot->GetOpenOrders(std::string()));
  std::set<std::string> lOpen;
  for (int i = 0; i < lOrders.Count(); ++i) {
    const TqmtTraderOrder o = OrderOf(*lOrders.At(i));
    if (o.Id().empty()) continue;
    lOpen.insert(o.Id());
    DoOrder(o);
  }
  ReconcileOrders(lOpen);
}

void TqmtTraderClient_Binance::ReadFuturesSnapshot() {
  if (!FAccountFutures) MakeAccountREST();
  const bool lUSDT = FClient_Futures->FuturesContracts == TqmtWSBinanceFuturesContracts::bfcUSDT;
  bool lSizesKnown;
  {
    std::lock_guard g(FAccountLock);
    lSizesKnown = !FContractSizes.empty();
  }
  if (!lUSDT && !lSizesKnown) {
    // Inverse contracts are valued by their size in USD, which only the symbol list tells.
    TqmtJSON lInfo;
    lInfo.Read(FAccountFutures->GetExchangeInformation());
    if (const TqmtObjectJSON* lSymbols = lInfo.Find("symbols")) {
      std::lock_guard g(FAccountLock);
      for (int i = 0; i < lSymbols->Count(); ++i)
        if (const TqmtObjectJSON* c = lSymbols->At(i)->Find("contractSize"))
          FContractSizes[std::string(Text(lSymbols->At(i)->Find("symbol")))] = Num(c);
    }
  }
  TqmtJSON lBalances;
  std::int64_t lSent = ServerNow(*FAccountFutures);
  lBalances.Read(FAccountFutures->GetAccountBalance());
  std::vector<std::string> lHeld;
  for (int i = 0; i < lBalances.Count(); ++i) {
    const TqmtObjectJSON* b = lBalances.At(i);
    const std::string lAsset(Text(b->Find("asset")));
    const long double lWallet = Num(b->Find("balance"));
    if (lAsset.empty() || lWallet == 0) continue;
    lHeld.push_back(lAsset);
    ApplyBalance(lAsset, lWallet, Num(b->Find("crossWalletBalance")), 0, SnapshotTime(b->Find("updateTime"), lSent),
                 Num(b->Find("availableBalance")), std::string());
  }
  GetTraderDataBalance().KeepOnly(lHeld);
  TqmtJSON lPositions;
  lSent = ServerNow(*FAccountFutures);
  lPositions.Read(FAccountFutures->GetPositionInformation(std::string()));
  std::vector<std::string> lOpenPositions;
  for (int i = 0; i < lPositions.Count(); ++i) {
    const TqmtObjectJSON* p = lPositions.At(i);
    const std::string lSymbol(Text(p->Find("symbol")));
    const long double lAmount = Num(p->Find("positionAmt"));
    bool lKnown;
    {
      std::lock_guard g(FAccountLock);
      lKnown = FPositions.count(lSymbol) > 0;
    }
    if (lSymbol.empty() || (lAmount == 0 && !lKnown)) continue;
    if (lAmount != 0) lOpenPositions.push_back(lSymbol);
    TakePositionDetails(lSymbol, *p);
    ApplyPosition(lSymbol, lAmount, Num(p->Find("entryPrice")), Num(p->Find("markPrice")), SnapshotTime(p->Find("updateTime"), lSent),
                  std::string());
  }
  GetTraderDataPosition().KeepOnly(lOpenPositions);
  std::set<std::string> lOpen;
  auto lTake = [&](const std::string& aAnswer) {
    TqmtJSON lOrders;
    lOrders.Read(aAnswer);
    for (int i = 0; i < lOrders.Count(); ++i) {
      const TqmtTraderOrder o = OrderOf(*lOrders.At(i));
      if (o.Id().empty()) continue;
      lOpen.insert(o.Id());
      DoOrder(o);
    }
  };
  lTake(FAccountFutures->GetOpenOrders(std::string()));
  // Conditional orders of today's USDT-margined futures live in the Algo Order API.
  if (lUSDT) lTake(FAccountFutures->GetOpenAlgoOrders(std::string()));
  ReconcileOrders(lOpen);
}

void TqmtTraderClient_Binance::ReconcileOrders(const std::set<std::string>& aOpen) {
  for (const TqmtTraderData_Orders::TOpen& o : GetTraderDataOrders().OpenOrders()) {
    if (aOpen.count(o.Id)) continue;
    DoOrder(LookUpFinal(o));
  }
}

TqmtTraderOrder TqmtTraderClient_Binance::LookUpFinal(const TqmtTraderData_Orders::TOpen& aOrder) {
  // An order that left the open list filled, was cancelled or expired: its own record says which.
  const bool lAlgo = FClient_Futures && FClient_Futures->FuturesContracts == TqmtWSBinanceFuturesContracts::bfcUSDT &&
                     ConditionalType(aOrder.Type);
  try {
    TqmtJSON lAnswer;
    lAnswer.Read(FClient ? FAccountSpot->QueryOrder(aOrder.Symbol, 0, aOrder.Id)
                 : lAlgo ? FAccountFutures->QueryAlgoOrder(aOrder.Id)
                         : FAccountFutures->QueryOrder(aOrder.Symbol, 0, aOrder.Id));
    TqmtTraderOrder o = OrderOf(lAnswer);
    if (o.Id().empty()) o.SetId(aOrder.Id);
    if (o.Symbol().empty()) o.SetSymbol(aOrder.Symbol);
    return o;
  } catch (const std::exception& e) {
    if (RefusalCode(e) != -2013) throw;
  }
  // The exchange has no such order (another account, or an exchange that started afresh).
  TqmtTraderOrder o;
  o.SetDateTime(NowLocal());
  o.SetId(aOrder.Id);
  o.SetSymbol(aOrder.Symbol);
  o.SetOrderType(aOrder.Type);
  o.SetOrderStatus("NOT_FOUND");
  GetTraderDataLog().Notice("order " + aOrder.Id + " (" + aOrder.Symbol + ") is not known to the exchange: shown as NOT_FOUND");
  return o;
}

// ---- balances and positions in the exchange's order ------------------------------------------------

void TqmtTraderClient_Binance::ApplyBalance(const std::string& aAsset, long double aWallet, long double aCross,
                                            long double aChange, std::int64_t aTime, long double aAvailable,
                                            const std::string& aRaw) {
  std::lock_guard g(FAccountLock);
  std::int64_t& lShown = FBalanceTimes[aAsset];
  if (aTime != 0 && aTime < lShown) return;
  if (aTime != 0) lShown = aTime;
  if (aAvailable >= 0) FAvailable[aAsset] = aAvailable;
  FLastChanges[aAsset] = aChange;
  TqmtTraderBalance b;
  b.SetSymbol(aAsset);
  b.SetWalletBalance(aWallet);
  b.SetCrossWalletBalance(aCross);
  b.SetBalanceChange(aChange);
  if (FClient) b.SetValue(SpotValueOf(aAsset, aWallet));
  b.SetRaw(aRaw);
  DoBalance(b);
}

namespace {
bool QuoteAsset(std::string_view aAsset) { return aAsset == "USDT" || aAsset == "USDC" || aAsset == "FDUSD" || aAsset == "BUSD"; }
}  // namespace

long double TqmtTraderClient_Binance::SpotValueOf(const std::string& aAsset, long double aWallet) const {
  if (QuoteAsset(aAsset)) return aWallet;
  const auto lPrice = FSpotPrices.find(aAsset);
  return lPrice == FSpotPrices.end() ? 0 : aWallet * lPrice->second;
}

void TqmtTraderClient_Binance::UpdateValueStreams() {
  if (!FClient) return;
  std::vector<std::string> lNew;
  {
    std::lock_guard g(FAccountLock);
    for (const auto& [lAsset, lWallet] : FSpotBalances) {
      if (lWallet.first == 0 || !FValueChecked.insert(lAsset).second) continue;
      if (QuoteAsset(lAsset) || !Broker().Symbols().GetSymbol(lAsset + "USDT")) continue;
      std::string lStream = lAsset + "usdt@miniTicker";
      for (std::size_t i = 0; i < lAsset.size(); ++i) lStream[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lStream[i])));
      if (FValueStreams.insert(lStream).second) {
        FSpotPrices.emplace(lAsset, 0);
        lNew.push_back(lStream);
      }
    }
  }
  if (!lNew.empty()) FClient->Subscribe(lNew);
}

void TqmtTraderClient_Binance::DoReadMiniTicker(TqmtJSON& aJSON) {
  // {"e":"24hrMiniTicker","s":"BTCUSDT","c":"27001.5",...}: the value of the asset held, anew.
  const std::string_view lSymbol = Text(aJSON.Find("s"));
  if (lSymbol.size() <= 4 || lSymbol.substr(lSymbol.size() - 4) != "USDT") return;
  const std::string_view lAsset = lSymbol.substr(0, lSymbol.size() - 4);
  const long double lPrice = Num(aJSON.Find("c"));
  std::lock_guard g(FAccountLock);
  const auto lIt = FSpotPrices.find(lAsset);
  if (lIt == FSpotPrices.end() || lPrice <= 0 || lIt->second == lPrice) return;
  lIt->second = lPrice;
  const auto lHeld = FSpotBalances.find(lIt->first);
  if (lHeld == FSpotBalances.end()) return;
  TqmtTraderBalance b;
  b.SetSymbol(lIt->first);
  b.SetWalletBalance(lHeld->second.first);
  b.SetCrossWalletBalance(lHeld->second.second);
  b.SetBalanceChange(FLastChanges[lIt->first]);
  b.SetValue(lHeld->second.first * lPrice);
  // Only its value moved: the table shows it; the listeners hear of balances, not of prices.
  GetTraderDataBalance().UpdateBalance(b);
}

std::string TqmtTraderClient_Binance::MarginAsset(const std::string& aSymbol) const {
  if (FClient_Futures && FClient_Futures->FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN)
    return aSymbol.substr(0, aSymbol.find("USD"));
  for (const char* q : {"USDT", "USDC", "BUSD"})
    if (aSymbol.size() > 4 && aSymbol.compare(aSymbol.size() - 4, 4, q) == 0) return q;
  return "USDT";
}

long double TqmtTraderClient_Binance::UnrealizedOf(const std::string& aSymbol, const TPositionState& p) const {
  if (p.Amount == 0 || p.Entry == 0 || p.Mark == 0) return 0;
  if (FClient_Futures && FClient_Futures->FuturesContracts == TqmtWSBinanceFuturesContracts::bfcCOIN) {
    // Inverse contracts: a contract is worth its size in USD, the profit is in the coin.
    const auto lSize = FContractSizes.find(aSymbol);
    const long double lContract = lSize == FContractSizes.end() ? 1 : lSize->second;
    return p.Amount * lContract * (1 / p.Entry - 1 / p.Mark);
  }
  return p.Amount * (p.Mark - p.Entry);
}

void TqmtTraderClient_Binance::ApplyPosition(const std::string& aSymbol, long double aAmount, long double aEntry,
                                             long double aMark, std::int64_t aTime, const std::string& aRaw) {
  std::string lSubscribe, lUnSubscribe;
  {
    std::lock_guard g(FAccountLock);
    TPositionState& p = FPositions[aSymbol];
    if (aTime != 0 && aTime < p.Time) return;
    if (aTime != 0) p.Time = aTime;
    p.Amount = aAmount;
    p.Entry = aEntry;
    if (aMark > 0) p.Mark = aMark;
    TqmtTraderPosition r = PositionRecord(aSymbol, p);
    r.SetRaw(aRaw);
    DoPosition(r);
    // The mark price of every symbol held streams while it is held.
    std::string lStream = aSymbol;
    for (char& c : lStream) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    lStream += "@markPrice@1s";
    if (aAmount != 0 && FMarkStreams.insert(lStream).second) lSubscribe = lStream;
    if (aAmount == 0 && FMarkStreams.erase(lStream)) lUnSubscribe = lStream;
  }
  if (FClient_Futures && !lSubscribe.empty()) FClient_Futures->Subscribe(std::vector<std::string>{lSubscribe});
  if (FClient_Futures && !lUnSubscribe.empty()) FClient_Futures->UnSubscribe(std::vector<std::string>{lUnSubscribe});
}

void TqmtTraderClient_Binance::DoReadMarkPrice(TqmtJSON& aJSON) {
  // {"e":"markPriceUpdate","s":"BTCUSDT","p":"27001.5",...}: the position of the symbol, valued anew.
  const std::string_view lSymbol = Text(aJSON.Find("s"));
  const long double lMark = Num(aJSON.Find("p"));
  if (lSymbol.empty() || lMark <= 0) return;
  std::lock_guard g(FAccountLock);
  const auto lIt = FPositions.find(lSymbol);
  if (lIt == FPositions.end() || lIt->second.Amount == 0) return;
  TPositionState& p = lIt->second;
  p.Mark = lMark;
  DoPosition(PositionRecord(lIt->first, p));
}

TqmtTraderPosition TqmtTraderClient_Binance::PositionRecord(const std::string& aSymbol, const TPositionState& p) const {
  TqmtTraderPosition r;
  r.SetSymbol(aSymbol);
  r.SetPosition(p.Amount);
  r.SetEntryPrice(p.Entry);
  r.SetMarketPrice(p.Mark);
  r.SetUnRealizedProfit(UnrealizedOf(aSymbol, p));
  r.SetLiquidationPrice(p.Amount != 0 ? p.Liquidation : 0);
  r.SetLeverage(p.Leverage);
  r.SetMarginType(p.MarginType);
  return r;
}

void TqmtTraderClient_Binance::TakePositionDetails(const std::string& aSymbol, const TqmtObjectJSON& e) {
  std::lock_guard g(FAccountLock);
  TPositionState& p = FPositions[aSymbol];
  p.Liquidation = Num(e.Find("liquidationPrice"));
  if (const long double l = Num(e.Find("leverage")); l > 0) p.Leverage = l;
  // "cross" or "isolated" (the exchange's own words, lower case); an older answer says isolated as a flag.
  std::string lType(Text(e.Find("marginType")));
  if (lType.empty() && e.Find("isolated")) lType = Text(e.Find("isolated")) == "true" ? "isolated" : "cross";
  if (!lType.empty()) p.MarginType = lType;
}

std::vector<TqmtTraderAccountTotal> TqmtTraderClient_Binance::AccountTotals() {
  std::lock_guard g(FAccountLock);
  std::map<std::string, TqmtTraderAccountTotal> lTotals;
  for (const auto& [lAsset, lAvailable] : FAvailable) {
    if (FClient && lAsset != "USDT" && lAsset != "USDC" && lAsset != "FDUSD") continue;  // spot: the quote assets
    lTotals[lAsset].Asset = lAsset;
    lTotals[lAsset].Available = lAvailable;
  }
  for (const auto& [lSymbol, p] : FPositions) {
    if (p.Amount == 0) continue;
    TqmtTraderAccountTotal& t = lTotals[MarginAsset(lSymbol)];
    t.Asset = MarginAsset(lSymbol);
    t.UnrealizedProfit += UnrealizedOf(lSymbol, p);
  }
  if (FClient) {
    long double lValue = 0;
    for (const auto& [lAsset, lWallet] : FSpotBalances) lValue += SpotValueOf(lAsset, lWallet.first);
    lTotals["USDT"].Asset = "USDT";
    lTotals["USDT"].Value = lValue;
  }
  std::vector<TqmtTraderAccountTotal> lList;
  for (auto& [k, t] : lTotals) lList.push_back(t);
  return lList;
}

// ---- refreshes asked for by stream events ----------------------------------------------------------

void TqmtTraderClient_Binance::UpdateSymbolPosition(const std::string& aSymbol) {
  if (aSymbol.empty() || !FClient_Futures) return;
  if (!FPositionREST) {
    FPositionREST = std::make_unique<TqmtHTTP_API_Binance_Futures_Rest>();
    FPositionREST->ConnectTimeout = 3000;
    FPositionREST->ReadTimeout = 5000;
  }
  FClient_Futures->ConfigureREST(*FPositionREST);
  std::string lAnswer;
  TqmtJSON lDocument;
  std::int64_t lSent = 0;
  try {
    // While the exchange asks us to wait this automatic request waits for the next account
    // update; a failed one is logged. Neither is a fault of the stream, which goes on.
    const TqmtBinanceHostState lHost = BinanceHostState(BinanceHostOf(FPositionREST->GetBaseURL()));
    if (lHost.BlockedUntil > GetTicks()) return;
    lSent = ServerNow(*FPositionREST);
    lAnswer = FPositionREST->GetPositionInformation(aSymbol);
    lDocument.Read(lAnswer);
  } catch (const std::exception& e) {
    GetTraderDataLog().Notice("position of " + aSymbol + " not refreshed: " + e.what());
    return;
  }
  if (lDocument.Count() != 1) return;
  const TqmtObjectJSON* e = lDocument.At(0);
  TakePositionDetails(aSymbol, *e);
  ApplyPosition(aSymbol, Num(e->Find("positionAmt")), Num(e->Find("entryPrice")), Num(e->Find("markPrice")),
                SnapshotTime(e->Find("updateTime"), lSent), lAnswer);
}

void TqmtTraderClient_Binance::RefreshBalances() {
  // The available balance moves with margin and orders: the account event does not carry it.
  if (!FClient_Futures) return;
  try {
    if (!FAccountFutures) MakeAccountREST();
    TqmtJSON lBalances;
    lBalances.Read(FAccountFutures->GetAccountBalance());
    for (int i = 0; i < lBalances.Count(); ++i) {
      const TqmtObjectJSON* b = lBalances.At(i);
      const std::string lAsset(Text(b->Find("asset")));
      std::lock_guard g(FAccountLock);
      if (!lAsset.empty() && FAvailable.count(lAsset)) FAvailable[lAsset] = Num(b->Find("availableBalance"));
    }
  } catch (const std::exception& e) {
    GetTraderDataLog().Notice("balances not refreshed: " + std::string(e.what()));
  }
}

// ---- the spot user-data subscription -----------------------------------------------------------------

void TqmtTraderClient_Binance::RetryUserData() {
  TqmtWSAPI_Binance_UserData* lApi = FUser.API.get();
  if (!lApi) return;
  int lWait;
  {
    std::lock_guard g(FAccountLock);
    FUserRetryMs = FUserRetryMs == 0 ? AccountRetryMs.load() : std::min(30000, FUserRetryMs * 2);
    lWait = FUserRetryMs;
  }
  const bool lLate = lApi->Refusal().find("-1021") != std::string::npos;
  PostAccountJob("user-data", lWait, [this, lLate] {
    // The server's clock measured again when the exchange called the request late.
    if (lLate) FUserClock.SyncServerTime();
    if (FUser.API && FUser.API->Up()) FUser.API->Resubscribe();
  });
}

// ---- position tools ---------------------------------------------------------------------------------

long double TqmtTraderClient_Binance::PositionAmount(const std::string& aSymbol) {
  std::lock_guard g(FAccountLock);
  const auto lIt = FPositions.find(aSymbol);
  return lIt == FPositions.end() ? 0 : lIt->second.Amount;
}

std::uint64_t TqmtTraderClient_Binance::SubmitClosePosition(const std::string& aSymbol, bool aReverse, std::string& aWhy) {
  if (!FClient_Futures) return aWhy = "positions are for futures", 0;
  const long double lAmount = PositionAmount(aSymbol);
  if (lAmount == 0) return aWhy = "there is no " + aSymbol + " position", 0;
  TqmtTraderOrderRequest r;
  r.Symbol = aSymbol;
  r.Type = TqmtTraderOrderType::totMarket;
  r.Side = lAmount > 0 ? TqmtTraderOrderSide::stosSell : TqmtTraderOrderSide::stosBuy;
  r.Size = (aReverse ? 2 : 1) * (lAmount > 0 ? lAmount : -lAmount);
  // Closing must never open the other way, whatever filled meanwhile; a reversal must.
  r.ReduceOnly = !aReverse;
  return SubmitOrder(r);
}

std::uint64_t TqmtTraderClient_Binance::SubmitLeverage(const std::string& aSymbol, int aLeverage, std::string& aWhy) {
  if (!FClient_Futures) return aWhy = "leverage is for futures", 0;
  if (aLeverage < 1 || aLeverage > 125) return aWhy = "the leverage is a whole number from 1 to 125", 0;
  return SubmitTask(aSymbol, "set the " + aSymbol + " leverage to " + std::to_string(aLeverage) + "x", [this, aSymbol, aLeverage] {
    FClient_Futures->REST_API().ChangeInitialLeverage(aSymbol, aLeverage);
    PostAccountJob("position:" + aSymbol, 0, [this, aSymbol] { UpdateSymbolPosition(aSymbol); });
  });
}

std::uint64_t TqmtTraderClient_Binance::SubmitMarginType(const std::string& aSymbol, bool aIsolated, std::string& aWhy) {
  if (!FClient_Futures) return aWhy = "margin modes are for futures", 0;
  const std::string lType = aIsolated ? "ISOLATED" : "CROSSED";
  return SubmitTask(aSymbol, "set the " + aSymbol + " margin mode to " + (aIsolated ? "isolated" : "cross"), [this, aSymbol, lType] {
    try {
      FClient_Futures->REST_API().ChangeMarginType(aSymbol, lType);
    } catch (const std::exception& e) {
      // Already so: nothing to change, which is what was asked.
      if (std::string(e.what()).find("-4046") == std::string::npos) throw;
    }
    PostAccountJob("position:" + aSymbol, 0, [this, aSymbol] { UpdateSymbolPosition(aSymbol); });
  });
}

// ---- brackets ---------------------------------------------------------------------------------------

std::uint64_t TqmtTraderClient_Binance::SubmitBracketOrder(TqmtTraderOrderRequest& aRequest, long double aTakeProfit,
                                                           long double aStopLoss, std::string& aWhy) {
  if (!FClient_Futures) return aWhy = "an attached take-profit and stop-loss are for futures orders", 0;
  if (aWhy = BracketProblem(aRequest, aTakeProfit, aStopLoss); !aWhy.empty()) return 0;
  if (aRequest.ClientOrderId.empty()) aRequest.ClientOrderId = NewClientOrderId();
  if (aTakeProfit > 0 || aStopLoss > 0) {
    std::lock_guard g(FBracketLock);
    TBracket& b = FBrackets[aRequest.ClientOrderId];
    b.Parent = aRequest;
    b.TakeProfit = aTakeProfit;
    b.StopLoss = aStopLoss;
  }
  return SubmitOrder(aRequest);
}

std::string TqmtTraderClient_Binance::BracketProblem(const TqmtTraderOrderRequest& aRequest, long double aTakeProfit,
                                                    long double aStopLoss) {
  if (aTakeProfit < 0 || aStopLoss < 0) return "the take-profit and stop-loss triggers are positive prices";
  const bool lBuy = aRequest.Side == TqmtTraderOrderSide::stosBuy;
  if (aTakeProfit > 0 && aStopLoss > 0 && (lBuy ? aTakeProfit <= aStopLoss : aTakeProfit >= aStopLoss))
    return std::string("the take-profit of a ") + (lBuy ? "buy lies above" : "sell lies below") + " its stop-loss";
  if (aRequest.ReduceOnly && (aTakeProfit > 0 || aStopLoss > 0)) return "a reduce-only order opens nothing to protect";
  return std::string();
}

std::vector<std::string> TqmtTraderClient_Binance::Brackets() {
  std::lock_guard g(FBracketLock);
  std::vector<std::string> lIds;
  for (const auto& [lId, b] : FBrackets) lIds.push_back(lId);
  return lIds;
}

void TqmtTraderClient_Binance::DoOrder(const TqmtTraderOrder& aOrder) {
  TqmtTraderClient::DoOrder(aOrder);
  FollowBracket(aOrder);
}

void TqmtTraderClient_Binance::FollowBracket(const TqmtTraderOrder& aOrder) {
  const std::string& lStatus = aOrder.OrderStatus();
  std::vector<TqmtTraderOrderRequest> lPlace;
  std::vector<std::pair<std::string, std::string>> lCancel;  // symbol, id
  {
    std::lock_guard g(FBracketLock);
    if (FBrackets.empty()) return;
    if (auto lIt = FBrackets.find(aOrder.Id()); lIt != FBrackets.end()) {
      TBracket& b = lIt->second;
      const bool lFinal = TqmtTraderData_Orders::FinalStatus(lStatus);
      if (b.Placed || !lFinal) return;
      const long double lFilled = lStatus == "FILLED" && aOrder.Filled() <= 0 ? b.Parent.Size : aOrder.Filled();
      if (!(lFilled > 0)) {
        FBrackets.erase(lIt);  // ended without a fill: nothing to protect
        return;
      }
      b.Placed = true;
      TqmtTraderOrderRequest lChild;
      lChild.Symbol = b.Parent.Symbol;
      lChild.Side = b.Parent.Side == TqmtTraderOrderSide::stosBuy ? TqmtTraderOrderSide::stosSell : TqmtTraderOrderSide::stosBuy;
      lChild.Size = lFilled;
      lChild.ReduceOnly = true;
      for (const bool lTakeProfit : {true, false}) {
        const long double lTrigger = lTakeProfit ? b.TakeProfit : b.StopLoss;
        if (!(lTrigger > 0)) {
          ++b.ChildrenDone;
          continue;
        }
        TqmtTraderOrderRequest r = lChild;
        r.Type = lTakeProfit ? TqmtTraderOrderType::totTakeProfit : TqmtTraderOrderType::totStop;
        r.StopPrice = lTrigger;
        r.ClientOrderId = NewClientOrderId();
        (lTakeProfit ? b.TakeProfitId : b.StopLossId) = r.ClientOrderId;
        FBracketChildren[r.ClientOrderId] = aOrder.Id();
        lPlace.push_back(r);
      }
    } else if (auto lChild = FBracketChildren.find(aOrder.Id()); lChild != FBracketChildren.end()) {
      const auto lParent = FBrackets.find(lChild->second);
      if (lParent == FBrackets.end()) return;
      TBracket& b = lParent->second;
      // A child that triggered or filled closes the position: its sibling goes.
      const bool lHit = lStatus == "FILLED" || lStatus == "TRIGGERED" || lStatus == "FINISHED" || lStatus == "TRIGGERING";
      const bool lGone = TqmtTraderData_Orders::FinalStatus(lStatus);
      if (!lHit && !lGone) return;
      const std::string lSibling = aOrder.Id() == b.TakeProfitId ? b.StopLossId : b.TakeProfitId;
      FBracketChildren.erase(lChild);
      if (lHit && !lSibling.empty() && FBracketChildren.count(lSibling)) lCancel.push_back({b.Parent.Symbol, lSibling});
      if (++b.ChildrenDone >= 2 || (lHit && !FBracketChildren.count(lSibling))) {
        FBracketChildren.erase(lSibling);
        FBrackets.erase(lParent);
      }
    } else {
      return;
    }
  }
  // Outside the lock: the queue takes them (its worker may be reporting an order now).
  for (TqmtTraderOrderRequest& r : lPlace) SubmitOrder(r);
  for (const auto& [lSymbol, lId] : lCancel) SubmitCancel(lSymbol, lId);
}
