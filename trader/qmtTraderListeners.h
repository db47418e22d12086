// A listener list of the trader client: registration from the user-interface thread, notification
// passes on the stream thread, no data race between them.
//
// A pass calls the listeners registered when it started, in registration order, each once; a
// listener that raises is skipped silently. The list itself is copied on change (registrations
// are rare, passes are many), so a pass never holds a lock while it calls out. Unregistering waits
// for passes running on other threads to end, so once UnRegister returns the listener is never
// called again and its object may be destroyed. A listener may unregister itself (or others) from
// inside a pass on the stream thread without waiting.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace qmt_detail {
// Passes running on this thread (any list): such a thread must not wait for passes to end.
inline thread_local int tNotifyDepth = 0;
// Whether a list still lives: a registration that outlives its list finds it gone.
struct TListAlive {
  std::mutex Lock;
  bool Alive = true;
};
}  // namespace qmt_detail

// A registration that ends with its owner: made by TqmtListenerList::Listen (or the trader
// client's Listen... calls), it unregisters in its destructor, waiting as UnRegister does for
// passes that still see it, so an object that keeps its registrations as members (or a local
// that leaves its scope, by return or by exception) is never called after it is gone. One that
// outlives its list does nothing. Move-only; Reset ends it early.
class TqmtRegistration {
public:
  TqmtRegistration() = default;
  TqmtRegistration(std::weak_ptr<qmt_detail::TListAlive> aAlive, std::function<void()> aEnd)
      : FAlive(std::move(aAlive)), FEnd(std::move(aEnd)) {}
  ~TqmtRegistration() { Reset(); }
  TqmtRegistration(TqmtRegistration&& aOther) noexcept : FAlive(std::move(aOther.FAlive)), FEnd(std::move(aOther.FEnd)) {
    aOther.FEnd = nullptr;
  }
  TqmtRegistration& operator=(TqmtRegistration&& aOther) noexcept {
    if (this != &aOther) {
      Reset();
      FAlive = std::move(aOther.FAlive);
      FEnd = std::move(aOther.FEnd);
      aOther.FEnd = nullptr;
    }
    return *this;
  }
  TqmtRegistration(const TqmtRegistration&) = delete;
  TqmtRegistration& operator=(const TqmtRegistration&) = delete;
  bool Active() const { return FEnd != nullptr; }
  void Reset() {
    std::function<void()> lEnd = std::move(FEnd);
    FEnd = nullptr;
    if (!lEnd) return;
    if (std::shared_ptr<qmt_detail::TListAlive> a = FAlive.lock()) {
      std::lock_guard g(a->Lock);
      if (a->Alive) lEnd();
    }
  }

private:
  std::weak_ptr<qmt_detail::TListAlive> FAlive;
  std::function<void()> FEnd;
};

template <typename Event>
class TqmtListenerList {
public:
  TqmtListenerList() = default;
  ~TqmtListenerList() {
    std::lock_guard g(FAlive->Lock);
    FAlive->Alive = false;
  }
  TqmtListenerList(const TqmtListenerList&) = delete;
  TqmtListenerList& operator=(const TqmtListenerList&) = delete;

  // Registers aEvent for as long as the returned object lives.
  [[nodiscard]] TqmtRegistration Listen(const Event& aEvent) {
    Register(aEvent);
    return TqmtRegistration(FAlive, [this, aEvent] { UnRegister(aEvent); });
  }

  // Removes an equal entry first, then appends: a callback is listed once, and registering it again
  // moves it to the end.
  void Register(const Event& aEvent) {
    std::lock_guard lGuard(FLock);
    auto lEntries = std::make_shared<std::vector<Event>>(FEntries ? *FEntries : std::vector<Event>());
    Erase(*lEntries, aEvent);
    lEntries->push_back(aEvent);
    FEntries = std::move(lEntries);
  }

  void UnRegister(const Event& aEvent) {
    {
      std::lock_guard lGuard(FLock);
      if (!FEntries) return;
      auto lEntries = std::make_shared<std::vector<Event>>(*FEntries);
      if (!Erase(*lEntries, aEvent)) return;
      FEntries = std::move(lEntries);
    }
    if (qmt_detail::tNotifyDepth == 0) std::unique_lock lWait(FPasses);  // passes that still see it end
  }

  template <typename... Args>
  void Notify(Args&&... aArgs) {
    std::shared_lock lPass(FPasses);
    std::shared_ptr<const std::vector<Event>> lEntries;
    {
      std::lock_guard lGuard(FLock);
      lEntries = FEntries;
    }
    if (!lEntries) return;
    ++qmt_detail::tNotifyDepth;
    for (const Event& lEvent : *lEntries) {
      try {
        lEvent(aArgs...);
      } catch (...) {
        // A failing listener neither stops the others nor reaches the caller.
      }
    }
    --qmt_detail::tNotifyDepth;
  }

  std::size_t Count() const {
    std::lock_guard lGuard(FLock);
    return FEntries ? FEntries->size() : 0;
  }

private:
  static bool Erase(std::vector<Event>& aEntries, const Event& aEvent) {
    for (auto lIt = aEntries.begin(); lIt != aEntries.end(); ++lIt) {
      if (*lIt == aEvent) {
        aEntries.erase(lIt);
        return true;
      }
    }
    return false;
  }

  mutable std::mutex FLock;
  std::shared_ptr<const std::vector<Event>> FEntries;
  std::shared_mutex FPasses;
  std::shared_ptr<qmt_detail::TListAlive> FAlive = std::make_shared<qmt_detail::TListAlive>();
};
