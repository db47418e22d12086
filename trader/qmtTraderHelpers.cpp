#include "qmtTraderHelpers.h"

#include <charconv>
#include <string>

long double TraderStrToFloat(std::string_view aText) {
  long double lValue = 0;
  // from_chars takes no leading "+"; the exchange never writes one, but a text may.
  std::string_view lDigits = aText;
  if (!lDigits.empty() && lDigits.front() == '+') lDigits.remove_prefix(1);
  const auto r = std::from_chars(lDigits.data(), lDigits.data() + lDigits.size(), lValue);
  if (lDigits.empty() || r.ec != std::errc() || r.ptr != lDigits.data() + lDigits.size())
    throw EConvertError("'" + std::string(aText) + "' is not a valid floating point value");
  return lValue;
}

TDateTime TraderUnixToDateTime(std::int64_t aSeconds) { return UnixMsToLocalDateTime(aSeconds * 1000); }

TDateTime TraderMillisecondsToDateTime(std::string_view aText) {
  std::int64_t lMs = 0;
  const auto r = std::from_chars(aText.data(), aText.data() + aText.size(), lMs);
  if (aText.empty() || r.ec != std::errc() || r.ptr != aText.data() + aText.size())
    throw EConvertError("'" + std::string(aText) + "' is not a valid integer value");
  return TraderUnixToDateTime(lMs / 1000) + static_cast<double>(lMs % 1000) / 86400000.0;
}
