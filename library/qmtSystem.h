// Small base pieces shared by every layer: the root object, method callbacks that compare equal by
// bound object and function (listener lists rely on that), and the exception base with its message.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

// Root of the classes that are passed around as a plain "Sender".
class TObject {
public:
  virtual ~TObject() = default;
};

// Failure raised by the library and the trading core; what() carries the message text.
class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& aMessage) : std::runtime_error(aMessage) {}
  std::string Message() const { return what(); }
};

// List index and duplicate errors of the guarded lists.
class EListError : public Exception {
public:
  using Exception::Exception;
};

// A method callback: a member function plus the object it is bound to. Two callbacks are equal when
// both the object and the member function are equal, so a listener can unregister with a fresh
// callback built from the same object and method. A default-constructed callback is empty.
template <typename Signature>
class TqmtMethod;

template <typename R, typename... Args>
class TqmtMethod<R(Args...)> {
public:
  TqmtMethod() = default;

  template <typename C>
  TqmtMethod(C* aObject, R (C::*aMethod)(Args...)) {
    Bind(aObject, aMethod);
  }

  template <typename C>
  TqmtMethod(const C* aObject, R (C::*aMethod)(Args...) const) {
    Bind(const_cast<C*>(aObject), aMethod);
  }

  explicit operator bool() const { return FInvoke != nullptr; }

  R operator()(Args... aArgs) const { return FInvoke(FObject, FMethod, static_cast<Args&&>(aArgs)...); }

  bool operator==(const TqmtMethod& aOther) const {
    return FObject == aOther.FObject && FInvoke == aOther.FInvoke &&
           std::memcmp(FMethod, aOther.FMethod, sizeof FMethod) == 0;
  }

  const void* Object() const { return FObject; }

private:
  // Large enough for a member-function pointer of any class (two words on the Itanium ABI).
  using Storage = unsigned char[2 * sizeof(void*)];
  using Invoker = R (*)(void*, const unsigned char*, Args&&...);

  template <typename C, typename M>
  void Bind(C* aObject, M aMethod) {
    static_assert(sizeof(M) <= sizeof(Storage), "member function pointer does not fit");
    FObject = aObject;
    std::memcpy(FMethod, &aMethod, sizeof aMethod);
    FInvoke = [](void* aObj, const unsigned char* aBytes, Args&&... aArgs) -> R {
      M lMethod;
      std::memcpy(&lMethod, aBytes, sizeof lMethod);
      return (static_cast<C*>(aObj)->*lMethod)(static_cast<Args&&>(aArgs)...);
    };
  }

  void* FObject = nullptr;
  Storage FMethod{};
  Invoker FInvoke = nullptr;
};

// The plain notification: Sender only (connect and disconnect listeners, timers).
using TNotifyEvent = TqmtMethod<void(TObject*)>;

// A date-time: days since 1899-12-30 with the time of day as the fraction, local time.
using TDateTime = double;

// Four-decimal fixed point held as a signed count of 1/10000, exact for sums and comparisons.
struct TqmtCurrency {
  std::int64_t Raw = 0;

  // Rounds to the nearest 1/10000, a tie to the even count.
  static TqmtCurrency FromFloat(long double aValue);
  long double ToFloat() const { return static_cast<long double>(Raw) / 10000.0L; }
  friend bool operator==(TqmtCurrency a, TqmtCurrency b) { return a.Raw == b.Raw; }
  friend auto operator<=>(TqmtCurrency a, TqmtCurrency b) { return a.Raw <=> b.Raw; }
};

// A read accessor named like the property, a SetX writer, and the F-named field behind them.
#define QMT_PROPERTY(Type, Name)                                 \
public:                                                          \
  const Type& Name() const { return F##Name; }                   \
  void Set##Name(const Type& aValue) { F##Name = aValue; }       \
                                                                 \
private:                                                         \
  Type F##Name {}

// The local date-time now, and a local date-time from Unix milliseconds (both as TDateTime).
TDateTime NowLocal();
TDateTime UnixMsToLocalDateTime(std::int64_t aMilliseconds);

// Keeps the process's memory (and the secrets in it) out of core dumps and away from other
// processes of the user (no ptrace attach): the trading programs call it first. Sanitizer builds
// are left dumpable, as their leak checker attaches to the process at exit.
void MakeProcessNonDumpable();
