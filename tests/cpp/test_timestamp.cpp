#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/timestamp.hpp"

namespace kavex {
namespace {

TEST(FormatTimestamp, ShortestPlainDecimal) {
  EXPECT_EQ(format_timestamp(0.0), "0");
  EXPECT_EQ(format_timestamp(12.25), "12.25");
  EXPECT_EQ(format_timestamp(12.5), "12.5");
  EXPECT_EQ(format_timestamp(1700000000.0), "1700000000");
  EXPECT_EQ(format_timestamp(0.1), "0.1");
  EXPECT_EQ(format_timestamp(1e21), "1000000000000000000000");
  EXPECT_EQ(format_timestamp(1e-7), "0.0000001");
}

TEST(FormatTimestamp, RoundTripsWithoutExponent) {
  const double samples[] = {1733932800.123456, 0.30000000000000004, 5e-324,
                            std::numeric_limits<double>::max(), 123456789.987654321};
  for (double value : samples) {
    std::string text = format_timestamp(value);
    EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
}

TEST(UnixNow, IsAfterTheEpoch) { EXPECT_GT(unix_now(), 1.6e9); }

}  // namespace
}  // namespace kavex
