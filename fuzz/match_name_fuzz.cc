// The name matcher with pattern and name both arbitrary (split at the first
// NUL byte of the input): no crash, the same answer twice, and no call
// longer than a bound (names and patterns on the wire hold at most 255
// bytes; the fuzzer's inputs may be much longer).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "files/search.h"

namespace {
// A generous bound for one call on an input of up to a few kilobytes, on a
// machine shared with other work; a matcher that backtracks through every
// way of placing its stars takes seconds or hours instead.
constexpr auto kBound = std::chrono::milliseconds(500);
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\0');
  const std::string_view pattern = input.substr(0, cut);
  const std::string_view name =
      cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
  const auto start = std::chrono::steady_clock::now();
  const bool first = tarnel::match_name(pattern, name);
  const auto took = std::chrono::steady_clock::now() - start;
  if (took > kBound) {
    std::fprintf(
        stderr, "match_name took %lld ms for a pattern of %zu and a name of %zu bytes\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        pattern.size(), name.size());
    std::abort();
  }
  if (tarnel::match_name(pattern, name) != first) std::abort();
  // A pattern without wildcards matches only its own name.
  if (pattern.find_first_of("*?") == std::string_view::npos && first != (pattern == name))
    std::abort();
  return 0;
}
