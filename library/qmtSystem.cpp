#include "qmtSystem.h"

#include <sys/prctl.h>

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

#include <chrono>
#include <ctime>

TDateTime UnixMsToLocalDateTime(std::int64_t aMilliseconds) {
  // Whole seconds through the time zone database, the milliseconds added as a fraction of a day.
  const std::time_t lSeconds = static_cast<std::time_t>(aMilliseconds >= 0 ? aMilliseconds / 1000
                                                                           : (aMilliseconds - 999) / 1000);
  const std::int64_t lMillis = aMilliseconds - static_cast<std::int64_t>(lSeconds) * 1000;
  std::tm lLocal{};
  localtime_r(&lSeconds, &lLocal);
  // Days from 1899-12-30 to the local calendar date (proleptic Gregorian), via days from civil.
  const int y = lLocal.tm_year + 1900 - (lLocal.tm_mon < 2 ? 1 : 0);
  const int m = lLocal.tm_mon + 1;
  const int lEra = (y >= 0 ? y : y - 399) / 400;
  const unsigned lYoe = static_cast<unsigned>(y - lEra * 400);
  const unsigned lDoy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(lLocal.tm_mday) - 1;
  const unsigned lDoe = lYoe * 365 + lYoe / 4 - lYoe / 100 + lDoy;
  const std::int64_t lDaysFromUnix = static_cast<std::int64_t>(lEra) * 146097 + lDoe - 719468;
  const double lDays = static_cast<double>(lDaysFromUnix + 25569);  // 1970-01-01 is day 25569
  const double lTime = (lLocal.tm_hour * 3600.0 + lLocal.tm_min * 60.0 + lLocal.tm_sec + lMillis / 1000.0) / 86400.0;
  return lDays + lTime;
}

TDateTime NowLocal() {
  const auto lNow = std::chrono::system_clock::now().time_since_epoch();
  return UnixMsToLocalDateTime(std::chrono::duration_cast<std::chrono::milliseconds>(lNow).count());
}

void MakeProcessNonDumpable() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}
