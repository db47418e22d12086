#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "qmtWebSocket_Classes_Queues.h"
#include "qmtWebSocket_Classes_SyncObjs.h"

namespace {

// Asks another thread whether it can take the lock right now.
bool OtherThreadCanAcquire(TqmtCriticalSection& aLock) {
  return std::async(std::launch::async, [&aLock] {
           const bool lGot = aLock.TryAcquire();
           if (lGot) aLock.Release();
           return lGot;
         }).get();
}

struct Item : TqmtQueueItemBase {
  Item(const std::string& aID, std::int64_t aOrder = 0, bool* aFreed = nullptr) : FFreed(aFreed) {
    SetID(aID);
    SetOrder(aOrder);
  }
  ~Item() override {
    if (FFreed) *FFreed = true;
  }
  bool* FFreed;
};

}  // namespace

TEST(CriticalSection, ReentrantForHolderAndExclusiveForOthers) {
  TqmtCriticalSection lLock;
  lLock.Acquire();
  lLock.Acquire();
  EXPECT_TRUE(lLock.TryAcquire());  // the holder may take it again
  lLock.Release();
  EXPECT_FALSE(OtherThreadCanAcquire(lLock));
  lLock.Release();
  EXPECT_FALSE(OtherThreadCanAcquire(lLock)) << "released once of twice: still held";
  lLock.Release();
  EXPECT_TRUE(OtherThreadCanAcquire(lLock));
}

TEST(ThreadList, DuplicatesModes) {
  int a = 0, b = 0;
  TqmtThreadList lList;
  EXPECT_EQ(lList.Duplicates(), TDuplicates::dupIgnore);
  lList.Add(&a);
  lList.Add(&a);
  lList.Add(&b);
  EXPECT_EQ(lList.LockList().size(), 2u);
  lList.UnlockList();

  lList.SetDuplicates(TDuplicates::dupAccept);
  lList.Add(&a);
  EXPECT_EQ(lList.LockList().size(), 3u);
  lList.UnlockList();

  lList.SetDuplicates(TDuplicates::dupError);
  try {
    lList.Add(&b);
    FAIL() << "expected a duplicate error";
  } catch (const EListError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("List does not allow duplicates ($0", 0), 0u) << e.what();
  }
  // The failed step released the lock.
  TqmtThreadList* lPtr = &lList;
  EXPECT_TRUE(std::async(std::launch::async, [lPtr, &b] {
                lPtr->Remove(&b);
                return true;
              }).get());
}

TEST(ThreadList, RemoveDeleteAndFixedProperties) {
  int a = 0, b = 0;
  TqmtThreadList lList;
  lList.SetDuplicates(TDuplicates::dupAccept);
  lList.Add(&a);
  lList.Add(&b);
  lList.Add(&a);
  lList.RemoveItem(&a, TDirection::FromEnd);
  {
    auto& lItems = lList.LockList();
    ASSERT_EQ(lItems.size(), 2u);
    EXPECT_EQ(lItems[0], &a);
    EXPECT_EQ(lItems[1], &b);
    lList.UnlockList();
  }
  lList.Remove(&a);
  lList.Remove(&a);  // absent: nothing
  EXPECT_FALSE(lList.IsEmpty());
  EXPECT_THROW(lList.Delete(1), EListError);
  try {
    lList.Delete(-1);
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (-1)");
  }
  lList.Delete(0);
  EXPECT_TRUE(lList.IsEmpty());
  EXPECT_EQ(lList.GetValue("x"), nullptr);
  lList.SetListType(TqmtThreadListType::tdlOnlyDictionary);
  EXPECT_EQ(lList.ListType(), TqmtThreadListType::tdlOnlyThread);
}

TEST(Queue, LookupDeleteAndOwnership) {
  bool lFreed1 = false, lFreed2 = false, lFreed3 = false;
  TqmtQueue lQueue;
  lQueue.SetDuplicates(TDuplicates::dupError);  // ignored by AddItem
  auto* lFirst = new Item("A", 0, &lFreed1);
  auto* lSecond = new Item("A", 0, &lFreed2);
  lQueue.AddItem(lFirst);
  lQueue.AddItem(lSecond);
  lQueue.AddItem(lFirst);
  EXPECT_EQ(lQueue.Count(), 3);
  EXPECT_EQ(lQueue.GetItem("A"), lFirst);
  EXPECT_EQ(lQueue.GetItem("a"), nullptr);
  EXPECT_EQ(lQueue.GetItem(3), nullptr);
  EXPECT_THROW(lQueue.GetItem(-1), EListError);

  // Not owning: the item only leaves the queue.
  EXPECT_TRUE(lQueue.DeleteItem(2));
  EXPECT_TRUE(lQueue.DeleteItem("A"));
  EXPECT_FALSE(lFreed1);
  EXPECT_EQ(lQueue.GetItem("A"), lSecond);
  delete lFirst;

  // Owning: deleting and clearing free.
  lQueue.SetOwnObjects(true);
  EXPECT_TRUE(lQueue.DeleteItem("A"));
  EXPECT_TRUE(lFreed2);
  EXPECT_FALSE(lQueue.DeleteItem("A"));
  EXPECT_FALSE(lQueue.DeleteItem(0));
  EXPECT_THROW(lQueue.DeleteItem(-1), EListError);
  lQueue.AddItem(new Item("C", 0, &lFreed3));
  lQueue.Clear();
  EXPECT_TRUE(lFreed3);
  EXPECT_EQ(lQueue.Count(), 0);
}

TEST(Queue, SortByOrder) {
  TqmtQueue lQueue;
  lQueue.SetOwnObjects(true);
  lQueue.AddItem(new Item("x", 7));
  lQueue.AddItem(new Item("y", -5));
  lQueue.AddItem(new Item("z", 0));
  lQueue.SortByOrder(true);
  EXPECT_EQ(lQueue.GetItem(0)->Order(), -5);
  EXPECT_EQ(lQueue.GetItem(1)->Order(), 0);
  EXPECT_EQ(lQueue.GetItem(2)->Order(), 7);
  lQueue.SortByOrder(false);
  EXPECT_EQ(lQueue.GetItem(0)->Order(), 7);
  EXPECT_EQ(lQueue.GetItem(2)->Order(), -5);
}

TEST(FIFOQueue, DropsOldestAtMaxItems) {
  bool lFreedA = false;
  TqmtFIFOQueue lQueue;
  lQueue.SetOwnObjects(true);
  lQueue.SetMaxItems(2);
  lQueue.AddItem(new Item("A", 0, &lFreedA));
  lQueue.AddItem(new Item("B"));
  lQueue.AddItem(new Item("C"));
  EXPECT_TRUE(lFreedA);
  ASSERT_EQ(lQueue.Count(), 2);
  EXPECT_EQ(lQueue.GetItem(0)->ID(), "B");
  EXPECT_EQ(lQueue.GetItem(1)->ID(), "C");
}

TEST(Queue, ConcurrentAddersAndReaders) {
  TqmtQueue lQueue;
  lQueue.SetOwnObjects(true);
  std::atomic<bool> lStop{false};
  std::thread lReader([&] {
    while (!lStop) {
      lQueue.GetItem("none");
      auto& lItems = lQueue.LockList();
      for (void* p : lItems) static_cast<TqmtQueueItemBase*>(p)->Order();
      lQueue.UnlockList();
    }
  });
  std::vector<std::thread> lWriters;
  for (int t = 0; t < 3; ++t)
    lWriters.emplace_back([&lQueue, t] {
      for (int i = 0; i < 500; ++i) lQueue.AddItem(new Item(std::to_string(t) + ":" + std::to_string(i), i));
    });
  for (auto& w : lWriters) w.join();
  lStop = true;
  lReader.join();
  EXPECT_EQ(lQueue.Count(), 1500);
  EXPECT_NE(lQueue.GetItem("2:499"), nullptr);
}

TEST(DelimitedStringList, SplitsOnlyAtTheComma) {
  TqmtDelimitedStringList lList;
  lList.SetDelimitedText("a, b,\"c,d\" e,,");
  ASSERT_EQ(lList.Count(), 6);
  EXPECT_EQ(lList[0], "a");
  EXPECT_EQ(lList[1], " b");
  EXPECT_EQ(lList[2], "\"c");
  EXPECT_EQ(lList[3], "d\" e");
  EXPECT_EQ(lList[4], "");
  EXPECT_EQ(lList[5], "");
  EXPECT_EQ(lList.DelimitedText(), "a, b,\"c,d\" e,,");
  lList.SetDelimitedText("");
  EXPECT_EQ(lList.Count(), 0);
}
