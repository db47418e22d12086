#include "qmtWebSocket_Classes_SyncObjs.h"

#include <algorithm>
#include <cstdio>

void TqmtCriticalSection::Acquire() {
  try {
    FMutex.lock();
  } catch (...) {
  }
}

void TqmtCriticalSection::Release() {
  try {
    FMutex.unlock();
  } catch (...) {
  }
}

bool TqmtCriticalSection::TryAcquire() { return FMutex.try_lock(); }

TqmtThreadList::~TqmtThreadList() {
  std::lock_guard lLock(FLock);
  FList.clear();
}

TqmtThreadList::TList& TqmtThreadList::LockList() {
  FLock.Acquire();
  return FList;
}

void TqmtThreadList::UnlockList() {
  SyncCount();
  FLock.Release();
}

void TqmtThreadList::IndexError(long long aIndex) {
  throw EListError("List index out of bounds (" + std::to_string(aIndex) + ")");
}

void TqmtThreadList::Add(void* Item) {
  std::lock_guard lLock(FLock);
  if (FDuplicates == TDuplicates::dupAccept || std::find(FList.begin(), FList.end(), Item) == FList.end()) {
    FList.push_back(Item);
    SyncCount();
    Notify(Item, TListNotification::lnAdded);
  } else if (FDuplicates == TDuplicates::dupError) {
    char lText[64];
    std::snprintf(lText, sizeof lText, "List does not allow duplicates ($0%lX)",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(Item)));
    throw EListError(lText);
  }
}

void TqmtThreadList::AddKey(void* Item, const std::string&) { Add(Item); }

void TqmtThreadList::Delete(int Index) {
  std::lock_guard lLock(FLock);
  if (Index < 0 || static_cast<std::size_t>(Index) >= FList.size()) IndexError(Index);
  void* lItem = FList[Index];
  FList.erase(FList.begin() + Index);
  SyncCount();
  Notify(lItem, TListNotification::lnDeleted);
}

void TqmtThreadList::DeleteKey(int Index, const std::string&) { Delete(Index); }

void TqmtThreadList::Remove(void* Item) { RemoveItem(Item, TDirection::FromBeginning); }

void TqmtThreadList::RemoveItem(void* Item, TDirection Direction) {
  std::lock_guard lLock(FLock);
  if (Direction == TDirection::FromBeginning) {
    auto lIt = std::find(FList.begin(), FList.end(), Item);
    if (lIt == FList.end()) return;
    FList.erase(lIt);
  } else {
    auto lIt = std::find(FList.rbegin(), FList.rend(), Item);
    if (lIt == FList.rend()) return;
    FList.erase(std::next(lIt).base());
  }
  SyncCount();
  Notify(Item, TListNotification::lnDeleted);
}

void TqmtThreadList::Clear() {
  std::lock_guard lLock(FLock);
  TList lOld;
  lOld.swap(FList);
  SyncCount();
  for (void* lItem : lOld) Notify(lItem, TListNotification::lnDeleted);
}

void* TqmtThreadList::GetValue(const std::string&) const { return nullptr; }
