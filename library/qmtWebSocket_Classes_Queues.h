// Keyed queues on the guarded list: items carry a text identifier and a 64-bit sort key. Lookups by
// identifier walk the list (first exact, case-sensitive match); a subclass that needs constant-time
// lookups keeps its own index through Notify (the trading core's symbol list does).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qmtWebSocket_Classes_SyncObjs.h"

class TqmtQueueItemBase {
public:
  TqmtQueueItemBase() = default;
  virtual ~TqmtQueueItemBase() = default;
  TqmtQueueItemBase(const TqmtQueueItemBase&) = delete;
  TqmtQueueItemBase& operator=(const TqmtQueueItemBase&) = delete;

  virtual std::int64_t Order() const { return FOrder; }
  virtual const std::string& ID() const { return FID; }
  void SetOrder(std::int64_t aValue) { FOrder = aValue; }
  void SetID(const std::string& aValue) { FID = aValue; }

protected:
  std::int64_t FOrder = 0;
  mutable std::string FID;
};

class TqmtQueueNameItemBase : public TqmtQueueItemBase {
public:
  const std::string& Queue() const { return FQueue; }
  void SetQueue(const std::string& aValue) { FQueue = aValue; }

private:
  std::string FQueue;
};

class TqmtQueueCommon : public TqmtThreadList {
public:
  ~TqmtQueueCommon() override;
  // From the last item to the first: free it when the queue owns its items, then drop the entry.
  void Clear() override;
  int Count() const;
  bool OwnObjects() const { return FOwnObjects; }
  void SetOwnObjects(bool aValue) { FOwnObjects = aValue; }

protected:
  void FreeItem(TqmtQueueItemBase* aItem);
  static TqmtQueueItemBase* AsItem(void* aEntry) { return static_cast<TqmtQueueItemBase*>(aEntry); }

private:
  bool FOwnObjects = false;
};

class TqmtQueueBase : public TqmtQueueCommon {
public:
  // Appends without any duplicate check.
  virtual void AddItem(TqmtQueueItemBase* aItem);
  bool DeleteItem(const std::string& aID);
  // False for Index >= Count; a negative Index raises the list's index error.
  bool DeleteItem(int Index);
  TqmtQueueItemBase* GetItem(const std::string& aID) const;
  TqmtQueueItemBase* GetItem(int Index) const { return GetItemByIndex(Index); }
  virtual TqmtQueueItemBase* GetItemByIndex(int Index) const;
};

class TqmtQueue : public TqmtQueueBase {
public:
  // Equal keys keep no particular relative order.
  void SortByOrder(bool aAscending);

protected:
  // Called under the lock after the items were reordered.
  virtual void DoSorted() {}
};

class TqmtFIFOQueue : public TqmtQueueBase {
public:
  // Drops the oldest item (by its identifier) once MaxItems is reached.
  void AddItem(TqmtQueueItemBase* aItem) override;
  int MaxItems() const { return FMaxItems; }
  void SetMaxItems(int aValue) { FMaxItems = aValue; }

private:
  int FMaxItems = 0;
};

// A string list split strictly at "," (blanks and quotes are ordinary characters).
class TqmtDelimitedStringList {
public:
  char Delimiter() const { return FDelimiter; }
  void SetDelimitedText(const std::string& aText);
  std::string DelimitedText() const;
  void Add(const std::string& aText) { FItems.push_back(aText); }
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& operator[](int Index) const;
  const std::vector<std::string>& Items() const { return FItems; }

private:
  char FDelimiter = ',';
  std::vector<std::string> FItems;
};
