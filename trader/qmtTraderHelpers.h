// Conversions of the exchange's texts, independent of the user's locale.
#pragma once

#include <cstdint>
#include <string_view>

#include "qmtSystem.h"

// A number text that does not convert.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// "." is the decimal separator whatever the locale; an exponent is accepted; the value is the
// extended number nearest the decimal text. Raises EConvertError for anything else.
long double TraderStrToFloat(std::string_view aText);
// Whole seconds since 1970-01-01 UTC to a local date-time.
TDateTime TraderUnixToDateTime(std::int64_t aSeconds);
// A millisecond timestamp text: the whole second in local time plus the milliseconds.
TDateTime TraderMillisecondsToDateTime(std::string_view aText);
