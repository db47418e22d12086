#include "qmtWebSocket_Classes_Queues.h"

#include <algorithm>

TqmtQueueCommon::~TqmtQueueCommon() { TqmtQueueCommon::Clear(); }

void TqmtQueueCommon::FreeItem(TqmtQueueItemBase* aItem) {
  try {
    delete aItem;
  } catch (...) {
  }
}

void TqmtQueueCommon::Clear() {
  std::lock_guard lLock(FLock);
  while (!FList.empty()) {
    auto* lItem = AsItem(FList.back());
    FList.pop_back();
    SyncCount();
    Notify(lItem, TListNotification::lnDeleted);
    if (FOwnObjects) FreeItem(lItem);
  }
  TqmtThreadList::Clear();
}

int TqmtQueueCommon::Count() const {
  std::lock_guard lLock(FLock);
  return static_cast<int>(FList.size());
}

void TqmtQueueBase::AddItem(TqmtQueueItemBase* aItem) {
  std::lock_guard lLock(FLock);
  FList.push_back(aItem);
  SyncCount();
  Notify(aItem, TListNotification::lnAdded);
}

bool TqmtQueueBase::DeleteItem(const std::string& aID) {
  std::lock_guard lLock(FLock);
  for (std::size_t i = 0; i < FList.size(); ++i) {
    if (AsItem(FList[i])->ID() == aID) return DeleteItem(static_cast<int>(i));
  }
  return false;
}

bool TqmtQueueBase::DeleteItem(int Index) {
  std::lock_guard lLock(FLock);
  if (Index < 0) IndexError(Index);
  if (static_cast<std::size_t>(Index) >= FList.size()) return false;
  auto* lItem = AsItem(FList[Index]);
  FList.erase(FList.begin() + Index);
  SyncCount();
  Notify(lItem, TListNotification::lnDeleted);
  if (OwnObjects()) FreeItem(lItem);
  return true;
}

TqmtQueueItemBase* TqmtQueueBase::GetItem(const std::string& aID) const {
  std::lock_guard lLock(FLock);
  for (void* lEntry : FList) {
    if (AsItem(lEntry)->ID() == aID) return AsItem(lEntry);
  }
  return nullptr;
}

TqmtQueueItemBase* TqmtQueueBase::GetItemByIndex(int Index) const {
  std::lock_guard lLock(FLock);
  if (Index < 0) IndexError(Index);
  if (static_cast<std::size_t>(Index) >= FList.size()) return nullptr;
  return AsItem(FList[Index]);
}

void TqmtQueue::SortByOrder(bool aAscending) {
  std::lock_guard lLock(FLock);
  std::sort(FList.begin(), FList.end(), [aAscending](void* a, void* b) {
    return aAscending ? AsItem(a)->Order() < AsItem(b)->Order() : AsItem(a)->Order() > AsItem(b)->Order();
  });
  DoSorted();
}

void TqmtFIFOQueue::AddItem(TqmtQueueItemBase* aItem) {
  std::lock_guard lLock(FLock);
  if (FMaxItems > 0 && static_cast<int>(FList.size()) >= FMaxItems) {
    const std::string lID = AsItem(FList.front())->ID();
    DeleteItem(lID);
  }
  TqmtQueueBase::AddItem(aItem);
}

void TqmtDelimitedStringList::SetDelimitedText(const std::string& aText) {
  FItems.clear();
  if (aText.empty()) return;
  std::size_t lStart = 0;
  for (;;) {
    const std::size_t lEnd = aText.find(FDelimiter, lStart);
    FItems.push_back(aText.substr(lStart, lEnd == std::string::npos ? std::string::npos : lEnd - lStart));
    if (lEnd == std::string::npos) break;
    lStart = lEnd + 1;
  }
}

std::string TqmtDelimitedStringList::DelimitedText() const {
  std::string lText;
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (i > 0) lText += FDelimiter;
    lText += FItems[i];
  }
  return lText;
}

const std::string& TqmtDelimitedStringList::operator[](int Index) const {
  if (Index < 0 || Index >= Count()) throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
  return FItems[Index];
}
