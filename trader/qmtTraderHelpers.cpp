#include "qmtTraderHelpers.h"

#include <charconv>
#include <string>

namespace {

// Plain decimals ("27123.45000000", "-0.001") with at most 19 significant digits: the digits as one
// exact integer divided by an exact power of ten. One correctly rounded division gives the same
// nearest extended value as a full conversion, many times faster (the general path of the standard
// library switches locales per call).
bool FastDecimal(std::string_view aText, long double& aValue) {
  static constexpr long double kPow10[] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
                                           1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L};
  std::size_t i = 0;
  const bool lNegative = !aText.empty() && aText[0] == '-';
  if (lNegative) ++i;
  std::uint64_t lDigits = 0;
  int lCount = 0, lFraction = -1;
  bool lAny = false;
  for (; i < aText.size(); ++i) {
    const char c = aText[i];
    if (c >= '0' && c <= '9') {
      lAny = true;
      if (lDigits == 0 && c == '0') {
        if (lFraction >= 0) ++lFraction;
        continue;  // leading zeros carry no significant digit
      }
      if (++lCount > 19) return false;
      lDigits = lDigits * 10 + static_cast<std::uint64_t>(c - '0');
      if (lFraction >= 0) ++lFraction;
    } else if (c == '.' && lFraction < 0) {
      lFraction = 0;
    } else {
      return false;  // exponents and anything else take the general path
    }
  }
  if (!lAny || (lFraction == 0 && aText.back() == '.')) return false;
  const int lScale = lFraction < 0 ? 0 : lFraction;
  if (lScale > 19) return false;
  const long double lResult = static_cast<long double>(lDigits) / kPow10[lScale];
  aValue = lNegative ? -lResult : lResult;
  return true;
}

}  // namespace

long double TraderStrToFloat(std::string_view aText) {
  long double lValue = 0;
  if (FastDecimal(aText, lValue)) return lValue;
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
