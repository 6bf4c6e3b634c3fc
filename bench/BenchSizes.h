// The bitmap sizes a benchmark program registers. KQ_BENCH_SIZES, a
// comma-separated list of byte counts with optional K, M or G suffix
// ("4K,1M,1G"), replaces the program's defaults; otherwise KQ_BENCH_LARGE=1
// adds 256 MiB and 1 GiB to them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kqbench {

inline std::vector<int64_t> Sizes(std::vector<int64_t> defaults, bool largeToo = true) {
  constexpr int64_t kMiB = int64_t{1} << 20;
  const char* list = std::getenv("KQ_BENCH_SIZES");
  if (list == nullptr || *list == '\0') {
    if (largeToo && std::getenv("KQ_BENCH_LARGE") != nullptr) {
      defaults.push_back(256 * kMiB);
      defaults.push_back(1024 * kMiB);
    }
    return defaults;
  }
  std::vector<int64_t> sizes;
  for (const char* p = list; *p != '\0';) {
    char* end = nullptr;
    const long long n = std::strtoll(p, &end, 10);
    int shift = 0;
    if (end != p && (*end == 'K' || *end == 'k')) shift = 10;
    if (end != p && (*end == 'M' || *end == 'm')) shift = 20;
    if (end != p && (*end == 'G' || *end == 'g')) shift = 30;
    if (shift != 0) ++end;
    if (end == p || n <= 0 || (*end != ',' && *end != '\0')) {
      std::fprintf(stderr, "KQ_BENCH_SIZES: cannot read \"%s\"\n", list);
      std::exit(2);
    }
    sizes.push_back(static_cast<int64_t>(n) << shift);
    p = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

}  // namespace kqbench
