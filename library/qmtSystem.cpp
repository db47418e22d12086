#include "qmtSystem.h"

#include <cmath>
#include <limits>

TqmtCurrency TqmtCurrency::FromFloat(long double aValue) {
  // nearbyintl follows the default rounding mode, round-half-to-even.
  const long double lScaled = std::nearbyintl(aValue * 10000.0L);
  if (!(lScaled >= static_cast<long double>(std::numeric_limits<std::int64_t>::min()) &&
        lScaled <= static_cast<long double>(std::numeric_limits<std::int64_t>::max())))
    throw Exception("Value out of range for a currency");
  return TqmtCurrency{static_cast<std::int64_t>(lScaled)};
}
