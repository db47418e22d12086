#include "qmtTraderMarketData.h"

#include <algorithm>

void TqmtTraderTicker::CopyFrom(const TqmtTraderTicker& aObject) {
  SetAsk(aObject.Ask());
  SetBid(aObject.Bid());
  SetHigh(aObject.High());
  SetLow(aObject.Low());
  SetOpen(aObject.Open());
  SetPrice(aObject.Price());
  SetSize(aObject.Size());
  SetSymbol(aObject.Symbol());
  SetDate(aObject.Date());
}

void TqmtTraderPosition::CopyFrom(const TqmtTraderPosition& aObject) {
  SetSymbol(aObject.Symbol());
  SetPosition(aObject.Position());
  SetEntryPrice(aObject.EntryPrice());
  SetMarketPrice(aObject.MarketPrice());
  SetUnRealizedProfit(aObject.UnRealizedProfit());
  SetLiquidationPrice(aObject.LiquidationPrice());
  SetLeverage(aObject.Leverage());
  SetMarginType(aObject.MarginType());
}

void TqmtTraderBalance::CopyFrom(const TqmtTraderBalance& aObject) {
  SetSymbol(aObject.Symbol());
  SetWalletBalance(aObject.WalletBalance());
  SetCrossWalletBalance(aObject.CrossWalletBalance());
  SetBalanceChange(aObject.BalanceChange());
  SetValue(aObject.Value());
}

void TqmtTraderOrder::CopyFrom(const TqmtTraderOrder& aObject) {
  SetSymbol(aObject.Symbol());
  SetDateTime(aObject.DateTime());
  SetOrderType(aObject.OrderType());
  SetOrderSide(aObject.OrderSide());
  SetPrice(aObject.Price());
  SetSize(aObject.Size());
  SetOrderStatus(aObject.OrderStatus());
  SetFilled(aObject.Filled());
  SetStopPrice(aObject.StopPrice());
  SetAveragePrice(aObject.AveragePrice());
  SetUpdateTime(aObject.UpdateTime());
}

void TqmtTraderTrade::CopyFrom(const TqmtTraderTrade& aObject) {
  SetSymbol(aObject.Symbol());
  SetPrice(aObject.Price());
  SetSize(aObject.Size());
  SetDate(aObject.Date());
  SetBuyerMaker(aObject.BuyerMaker());
  SetTradeId(aObject.TradeId());
}

TqmtTraderBookDepthValue& TqmtTraderBookDepthValues::Value(int aLevel) {
  if (aLevel < 1 || aLevel > kLevels)
    throw EListError("List index out of bounds (" + std::to_string(aLevel) + ")");
  return FValues[aLevel - 1];
}

const TqmtTraderBookDepthValue& TqmtTraderBookDepthValues::Value(int aLevel) const {
  return const_cast<TqmtTraderBookDepthValues*>(this)->Value(aLevel);
}

long double TqmtTraderBookDepthValues::GetPriceHigh() const {
  long double lHigh = FValues[0].Price();
  for (int i = 1; i < kLevels; ++i)
    if (FValues[i].Price() > lHigh) lHigh = FValues[i].Price();
  return lHigh;
}

long double TqmtTraderBookDepthValues::GetPriceLow() const {
  long double lLow = 0;
  if (FValues[0].Price() > 0) lLow = FValues[0].Price();
  for (int i = 1; i < kLevels; ++i)
    if (FValues[i].Price() > 0 && FValues[i].Price() < lLow) lLow = FValues[i].Price();
  return lLow;
}

long double TqmtTraderBookDepthValues::GetSizeSum() const {
  long double lSum = 0;
  for (const auto& lLevel : FValues) lSum += lLevel.Size();
  return lSum;
}

void TqmtTraderBookDepth::CopyFrom(const TqmtTraderBookDepth& aObject) {
  FAsks.CopyFrom(aObject.FAsks);
  FBids.CopyFrom(aObject.FBids);
  SetSymbol(aObject.Symbol());
}

void TqmtTraderSymbol::CopyFrom(const TqmtTraderSymbol& aObject) {
  SetCommission(aObject.Commission());
  SetSymbol(aObject.Symbol());
  SetTickSize(aObject.TickSize());
  SetTickValue(aObject.TickValue());
  SetTimeEnd(aObject.TimeEnd());
  SetTimeStart(aObject.TimeStart());
  SetPriceStep(aObject.PriceStep());
  SetLotStep(aObject.LotStep());
}

const std::string& TqmtTraderSymbol::ID() const {
  FID = Symbol();
  return FID;
}

// ---- the symbol list ----------------------------------------------------------------------------

void TqmtTraderSymbols::Notify(void* Item, TListNotification Action) {
  auto* lSymbol = static_cast<TqmtTraderSymbol*>(Item);
  if (Action == TListNotification::lnAdded) {
    // Appends only: pushing to the back keeps each bucket in list order.
    FIndex[lSymbol->ID()].push_back(lSymbol);
  } else {
    IndexRemove(lSymbol);
  }
}

void TqmtTraderSymbols::IndexRemove(TqmtTraderSymbol* aItem) {
  auto lErase = [aItem](TIndex::iterator aBucket, TIndex& aIndex) {
    auto& lItems = aBucket->second;
    auto lIt = std::find(lItems.begin(), lItems.end(), aItem);
    if (lIt == lItems.end()) return false;
    lItems.erase(lIt);
    if (lItems.empty()) aIndex.erase(aBucket);
    return true;
  };
  if (auto lBucket = FIndex.find(aItem->Symbol()); lBucket != FIndex.end() && lErase(lBucket, FIndex)) return;
  // The holder's symbol changed while it was listed: find it the slow way.
  for (auto lBucket = FIndex.begin(); lBucket != FIndex.end(); ++lBucket)
    if (lErase(lBucket, FIndex)) return;
}

void TqmtTraderSymbols::DoSorted() {
  FIndex.clear();
  for (void* lEntry : FList) {
    auto* lSymbol = static_cast<TqmtTraderSymbol*>(lEntry);
    FIndex[lSymbol->ID()].push_back(lSymbol);
  }
}

void TqmtTraderSymbols::AddSymbol(const TqmtTraderSymbol& aSymbol) {
  std::lock_guard lLock(FLock);
  if (TqmtTraderSymbol* lKnown = GetSymbol(aSymbol.Symbol())) {
    // Made earlier by a ticker: the exchange's information fills in its steps.
    lKnown->SetPriceStep(aSymbol.PriceStep());
    lKnown->SetLotStep(aSymbol.LotStep());
    return;
  }
  auto* lSymbol = new TqmtTraderSymbol();
  lSymbol->CopyFrom(aSymbol);
  AddItem(lSymbol);
}

TqmtTraderSymbol* TqmtTraderSymbols::GetSymbol(std::string_view aSymbol) const {
  std::lock_guard lLock(FLock);
  auto lBucket = FIndex.find(aSymbol);
  return lBucket == FIndex.end() ? nullptr : lBucket->second.front();
}

void TqmtTraderSymbols::UpdateTicker(const TqmtTraderTicker& aTicker) {
  if (auto* lSymbol = GetSymbol(aTicker.Symbol())) lSymbol->Ticker().CopyFrom(aTicker);
}

void TqmtTraderSymbols::UpdatePosition(const TqmtTraderPosition& aPosition) {
  if (auto* lSymbol = GetSymbol(aPosition.Symbol())) lSymbol->Position().CopyFrom(aPosition);
}

void TqmtTraderSymbols::UpdateBookDepth(const TqmtTraderBookDepth& aBookDepth) {
  if (auto* lSymbol = GetSymbol(aBookDepth.Symbol())) lSymbol->BookDepth().CopyFrom(aBookDepth);
}

void TqmtTraderSymbols::UpdateTrade(const TqmtTraderTrade& aTrade) {
  if (auto* lSymbol = GetSymbol(aTrade.Symbol())) lSymbol->Trade().CopyFrom(aTrade);
}

void TqmtTraderSymbols::UpdateOrder(const TqmtTraderOrder& aOrder) {
  if (auto* lSymbol = GetSymbol(aOrder.Symbol())) lSymbol->TraderOrder().CopyFrom(aOrder);
}
