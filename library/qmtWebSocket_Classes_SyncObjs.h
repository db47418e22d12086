// The re-entrant lock and the lock-guarded list that the socket threads, timer threads and the user
// interface share. The list never owns its items.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "qmtSystem.h"

// Re-entrant: the holder may acquire again and must release as often. Errors of the underlying
// calls are swallowed, as callers never expect these to fail.
class TqmtCriticalSection {
public:
  TqmtCriticalSection() = default;
  TqmtCriticalSection(const TqmtCriticalSection&) = delete;
  TqmtCriticalSection& operator=(const TqmtCriticalSection&) = delete;

  void Acquire();
  void Release();
  bool TryAcquire();
  // BasicLockable, so std::lock_guard/std::unique_lock work with it.
  void lock() { Acquire(); }
  void unlock() { Release(); }

private:
  std::recursive_mutex FMutex;
};

enum class TDuplicates : std::uint8_t { dupIgnore, dupAccept, dupError };
enum class TqmtThreadListType : std::uint8_t { tdlThreadDictionary, tdlOnlyThread, tdlOnlyDictionary };
enum class TDirection : std::uint8_t { FromBeginning, FromEnd };
enum class TListNotification : std::uint8_t { lnAdded, lnDeleted };

// A list of untyped item references guarded by its own re-entrant lock. Every operation holds the
// lock for exactly its own step; a caller that walks the list brackets the walk with
// LockList/UnlockList.
class TqmtThreadList {
public:
  using TList = std::vector<void*>;

  TqmtThreadList() = default;
  TqmtThreadList(const TqmtThreadList&) = delete;
  TqmtThreadList& operator=(const TqmtThreadList&) = delete;
  virtual ~TqmtThreadList();

  TList& LockList();
  void UnlockList();

  // Raises EListError "List does not allow duplicates ($0%x)" with dupError and an item present.
  void Add(void* Item);
  void AddKey(void* Item, const std::string& aKey);
  // Raises EListError "List index out of bounds (%d)" outside 0..Count-1.
  void Delete(int Index);
  void DeleteKey(int Index, const std::string& aKey);
  void Remove(void* Item);
  void RemoveItem(void* Item, TDirection Direction);
  virtual void Clear();
  void* GetValue(const std::string& aKey) const;
  // Read without taking the lock.
  bool IsEmpty() const { return FCount.load(std::memory_order_relaxed) == 0; }

  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates aValue) { FDuplicates = aValue; }
  TqmtThreadListType ListType() const { return TqmtThreadListType::tdlOnlyThread; }
  void SetListType(TqmtThreadListType) { FListType = TqmtThreadListType::tdlOnlyThread; }

protected:
  // Called under the lock after an item entered the list or after it left it (before a queue that
  // owns it frees it). Subclasses keep indexes with it. Direct edits between LockList and UnlockList
  // are not reported.
  virtual void Notify(void* Item, TListNotification Action) {}
  // Callers hold the lock.
  void SyncCount() { FCount.store(FList.size(), std::memory_order_relaxed); }
  [[noreturn]] static void IndexError(long long aIndex);

  TList FList;
  mutable TqmtCriticalSection FLock;

private:
  TDuplicates FDuplicates = TDuplicates::dupIgnore;
  TqmtThreadListType FListType = TqmtThreadListType::tdlOnlyThread;
  std::atomic<std::size_t> FCount{0};
};
