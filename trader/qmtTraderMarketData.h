// The records the trading core speaks in (ticker, book, trade, order, position, balance), the
// per-symbol holder kept by the broker and its list, and the listener event types.
//
// A record handed to a listener belongs to the caller and is valid only during the call: copy it
// with CopyFrom into a record of your own to keep it or to hand it to another thread. Records carry
// no lock; the symbol list guards only the list itself.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qmtSystem.h"
#include "qmtWebSocket_Classes_Queues.h"

enum class TqmtTraderOrderSide : std::uint8_t { stosBuy, stosSell };

class TqmtTraderMarketData {
  QMT_PROPERTY(std::string, Raw);     // the message (or part) the record was read from; diagnostics
  QMT_PROPERTY(std::string, Symbol);  // exchange symbol; for a balance the asset
};

class TqmtTraderTicker : public TqmtTraderMarketData {
public:
  // Copies everything but Raw.
  void CopyFrom(const TqmtTraderTicker& aObject);
  QMT_PROPERTY(long double, Ask);
  QMT_PROPERTY(long double, Bid);
  QMT_PROPERTY(TDateTime, Date);
  QMT_PROPERTY(long double, High);
  QMT_PROPERTY(long double, Low);
  QMT_PROPERTY(long double, Open);
  QMT_PROPERTY(long double, Price);
  QMT_PROPERTY(long double, Size);
};

class TqmtTraderPosition : public TqmtTraderMarketData {
public:
  // Copies everything but Raw.
  void CopyFrom(const TqmtTraderPosition& aObject);
  QMT_PROPERTY(long double, EntryPrice);
  QMT_PROPERTY(long double, MarketPrice);
  QMT_PROPERTY(long double, Position);  // negative for a short position
  QMT_PROPERTY(long double, UnRealizedProfit);
  QMT_PROPERTY(long double, LiquidationPrice);  // 0: none or not said
  QMT_PROPERTY(long double, Leverage);          // 0: not said
  QMT_PROPERTY(std::string, MarginType);        // "cross" or "isolated" ("": not said)
};

class TqmtTraderBalance : public TqmtTraderMarketData {
public:
  // Copies everything but Raw.
  void CopyFrom(const TqmtTraderBalance& aObject);
  QMT_PROPERTY(long double, BalanceChange);
  QMT_PROPERTY(long double, CrossWalletBalance);
  QMT_PROPERTY(long double, WalletBalance);
  QMT_PROPERTY(long double, Value);  // the wallet at the last price, in the quote asset (spot; 0 not known)
};

class TqmtTraderOrder : public TqmtTraderMarketData {
public:
  // Copies everything but Raw and Id.
  void CopyFrom(const TqmtTraderOrder& aObject);
  QMT_PROPERTY(TDateTime, DateTime);  // when the update was received, local clock
  QMT_PROPERTY(std::string, Id);      // the exchange's client order id
  QMT_PROPERTY(std::string, OrderSide);
  QMT_PROPERTY(std::string, OrderStatus);
  QMT_PROPERTY(std::string, OrderType);
  QMT_PROPERTY(long double, Price);
  QMT_PROPERTY(long double, Size);
  QMT_PROPERTY(long double, Filled);           // the executed quantity, when the exchange said
  QMT_PROPERTY(long double, StopPrice);        // the trigger of a stop, take-profit or trailing order (0: none said)
  QMT_PROPERTY(long double, AveragePrice);     // of the fills so far (0: none, or not said)
  QMT_PROPERTY(std::int64_t, UpdateTime);      // the exchange's time of this state (ms; 0: not said)
};

class TqmtTraderTrade : public TqmtTraderMarketData {
public:
  // Copies everything but Raw.
  void CopyFrom(const TqmtTraderTrade& aObject);
  QMT_PROPERTY(TDateTime, Date);
  QMT_PROPERTY(long double, Price);
  QMT_PROPERTY(long double, Size);
  // The buyer was the maker: the taker sold (the exchange's "m"). A buy otherwise.
  QMT_PROPERTY(bool, BuyerMaker);
  QMT_PROPERTY(std::int64_t, TradeId);  // the exchange's (aggregate) trade id; 0 not said
};

// One price level; Price 0 means the level is empty.
class TqmtTraderBookDepthValue {
  QMT_PROPERTY(long double, Price);
  QMT_PROPERTY(long double, Size);
};

// One side of the book as exactly 20 levels; level 1 is the best price. The levels live inside the
// side (no allocation per level), which is what a record copied on every book event wants.
class TqmtTraderBookDepthValues {
public:
  static constexpr int kLevels = 20;

  // 1-based, as the exchange's list is read: Value(1) … Value(20). Raises EListError outside.
  TqmtTraderBookDepthValue& Value(int aLevel);
  const TqmtTraderBookDepthValue& Value(int aLevel) const;

  void CopyFrom(const TqmtTraderBookDepthValues& aObject) { FValues = aObject.FValues; }
  // Highest price of the 20 levels (0 when all are empty).
  long double GetPriceHigh() const;
  // Lowest positive price; 0 when level 1 is empty, whatever the other levels hold.
  long double GetPriceLow() const;
  long double GetSizeSum() const;

private:
  std::array<TqmtTraderBookDepthValue, kLevels> FValues{};
};

class TqmtTraderBookDepthBids : public TqmtTraderBookDepthValues {};
class TqmtTraderBookDepthAsks : public TqmtTraderBookDepthValues {};

class TqmtTraderBookDepth : public TqmtTraderMarketData {
public:
  // Copies both sides, all 20 levels each, and Symbol; not Raw.
  void CopyFrom(const TqmtTraderBookDepth& aObject);
  TqmtTraderBookDepthAsks& Asks() { return FAsks; }
  const TqmtTraderBookDepthAsks& Asks() const { return FAsks; }
  TqmtTraderBookDepthBids& Bids() { return FBids; }
  const TqmtTraderBookDepthBids& Bids() const { return FBids; }

private:
  TqmtTraderBookDepthAsks FAsks;
  TqmtTraderBookDepthBids FBids;
};

// A sub-record created on first access and owned by its holder. Creation is race-free when two
// threads reach a fresh holder at once (the stream thread writing, the user interface reading).
template <typename T>
class TqmtLazyRecord {
public:
  TqmtLazyRecord() = default;
  TqmtLazyRecord(const TqmtLazyRecord&) = delete;
  TqmtLazyRecord& operator=(const TqmtLazyRecord&) = delete;
  ~TqmtLazyRecord() { delete FRecord.load(std::memory_order_relaxed); }

  T& Get() {
    T* lRecord = FRecord.load(std::memory_order_acquire);
    if (lRecord) return *lRecord;
    auto* lFresh = new T();
    if (FRecord.compare_exchange_strong(lRecord, lFresh, std::memory_order_acq_rel)) return *lFresh;
    delete lFresh;
    return *lRecord;
  }
  bool Assigned() const { return FRecord.load(std::memory_order_acquire) != nullptr; }

private:
  std::atomic<T*> FRecord{nullptr};
};

// The per-symbol holder: latest records of one symbol plus its trading parameters. Its queue
// identifier is its Symbol.
class TqmtTraderSymbol : public TqmtQueueItemBase {
public:
  // Copies Commission, Symbol, TickSize, TickValue, TimeEnd, TimeStart, PriceStep, LotStep; not the sub-records, the
  // identifier or the sort key.
  void CopyFrom(const TqmtTraderSymbol& aObject);
  // Copies Symbol into the identifier first, so the list is keyed by Symbol.
  const std::string& ID() const override;

  TqmtTraderTicker& Ticker() { return FTicker.Get(); }
  TqmtTraderPosition& Position() { return FPosition.Get(); }
  // Named apart from the inherited sort key Order().
  TqmtTraderOrder& TraderOrder() { return FOrderRecord.Get(); }
  TqmtTraderBookDepth& BookDepth() { return FBookDepth.Get(); }
  TqmtTraderTrade& Trade() { return FTrade.Get(); }

  QMT_PROPERTY(TqmtCurrency, Commission);
  QMT_PROPERTY(std::string, Symbol);
  QMT_PROPERTY(TqmtCurrency, TickSize);  // price step, rounded to four decimals (0.00001 becomes 0)
  // The exchange's exact price step and quantity step (PRICE_FILTER tickSize, LOT_SIZE stepSize);
  // 0 when unknown. Orders are rounded to them.
  QMT_PROPERTY(long double, PriceStep);
  QMT_PROPERTY(long double, LotStep);
  QMT_PROPERTY(TqmtCurrency, TickValue);
  QMT_PROPERTY(TDateTime, TimeEnd);
  QMT_PROPERTY(TDateTime, TimeStart);

private:
  TqmtLazyRecord<TqmtTraderTicker> FTicker;
  TqmtLazyRecord<TqmtTraderPosition> FPosition;
  TqmtLazyRecord<TqmtTraderOrder> FOrderRecord;
  TqmtLazyRecord<TqmtTraderBookDepth> FBookDepth;
  TqmtLazyRecord<TqmtTraderTrade> FTrade;
};

// The symbol list: an ordered, locked queue of holders, at most one per symbol text when filled
// through AddSymbol. Lookups by symbol go through a hash index kept beside the list (first match in
// list order, exact and case-sensitive), so a lookup costs the same for 10 symbols as for 5,000.
class TqmtTraderSymbols : public TqmtQueue {
public:
  // Appends a copy unless the symbol is present already, which is never replaced: only its price and
  // lot steps are taken (a holder made by a ticker before the exchange information came lacks them).
  void AddSymbol(const TqmtTraderSymbol& aSymbol);
  // The first holder whose identifier equals aSymbol, or nullptr.
  TqmtTraderSymbol* GetSymbol(std::string_view aSymbol) const;

  // Copy the record into the matching sub-record of the symbol it names; unknown symbols are ignored.
  void UpdateTicker(const TqmtTraderTicker& aTicker);
  void UpdatePosition(const TqmtTraderPosition& aPosition);
  void UpdateBookDepth(const TqmtTraderBookDepth& aBookDepth);
  void UpdateTrade(const TqmtTraderTrade& aTrade);
  void UpdateOrder(const TqmtTraderOrder& aOrder);

protected:
  void Notify(void* Item, TListNotification Action) override;
  void DoSorted() override;

private:
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view a) const { return std::hash<std::string_view>{}(a); }
  };
  // Holders per identifier in list order; more than one only when items bypass AddSymbol.
  using TIndex = std::unordered_map<std::string, std::vector<TqmtTraderSymbol*>, TextHash, std::equal_to<>>;

  void IndexRemove(TqmtTraderSymbol* aItem);

  TIndex FIndex;
};

// Listener event types: the Sender is the trader client; the record is valid during the call only.
using TqmtTraderTickerEvent = TqmtMethod<void(TObject* Sender, const TqmtTraderTicker& aTicker)>;
using TqmtTraderPositionEvent = TqmtMethod<void(TObject* Sender, const TqmtTraderPosition& aPosition)>;
using TqmtTraderBookDepthEvent = TqmtMethod<void(TObject* Sender, const TqmtTraderBookDepth& aDepth)>;
using TqmtTraderTradeEvent = TqmtMethod<void(TObject* Sender, const TqmtTraderTrade& aTrade)>;
using TqmtTraderBalanceEvent = TqmtMethod<void(TObject* Sender, const TqmtTraderBalance& aBalance)>;
