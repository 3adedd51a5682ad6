// Wall-clock timestamps and their text form.
#pragma once

#include <string>

namespace kavex {

// Seconds since the Unix epoch with sub-second precision; 0.0 if the clock
// reads earlier than the epoch.
double unix_now() noexcept;

// The shortest decimal text that reads back to the same double, in plain
// positional notation (never an exponent), without a fractional part when
// the value is integral: 0.0 -> "0", 12.25 -> "12.25", 1e21 -> "1000...0".
std::string format_timestamp(double seconds);

}  // namespace kavex
