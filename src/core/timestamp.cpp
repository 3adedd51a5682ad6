#include "core/timestamp.hpp"

#include <charconv>
#include <chrono>

namespace kavex {

double unix_now() noexcept {
  using namespace std::chrono;
  auto since_epoch = duration<double>(system_clock::now().time_since_epoch()).count();
  return since_epoch < 0.0 ? 0.0 : since_epoch;
}

std::string format_timestamp(double seconds) {
  // Fixed notation of the largest double has 309 integral digits; the
  // shortest round-trip form of a tiny one has a few hundred fractional ones.
  char buffer[800];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

}  // namespace kavex
