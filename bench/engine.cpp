// The column engine alone, without Python: label_encode on generated columns,
// median of 9 runs each. Built and run by scripts/bench-engine; with a
// number N, only N million 16-character hex ids, 90% of them distinct, so
// that each size can be timed in a process of its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/label_encode.hpp"
#include "engine/pool.hpp"

namespace {

std::vector<std::string> hex_ids(std::size_t distinct, std::mt19937_64& rng) {
  std::vector<std::string> ids(distinct);
  char buf[17];
  for (auto& id : ids) {
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    id = buf;
  }
  return ids;
}

void run(const char* name, std::size_t rows, std::vector<std::string> pool, std::mt19937_64& rng) {
  std::vector<std::string_view> column(rows);
  for (std::size_t i = 0; i < rows; ++i) column[i] = pool[i < pool.size() ? i : rng() % pool.size()];
  std::shuffle(column.begin(), column.end(), rng);
  std::vector<double> times;
  std::size_t size = 0;
  for (int k = 0; k < 9; ++k) {
    const auto t = std::chrono::steady_clock::now();
    dorvik::LabelEncoded e;
    dorvik::run_in_pool([&] { e = dorvik::label_encode(column); });
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
    size = e.dictionary.size();
  }
  std::sort(times.begin(), times.end());
  std::printf("%-28s %9zu rows %9zu distinct  %.4f s\n", name, rows, size, times[times.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  std::mt19937_64 rng(42);
  if (argc > 1) {
    const std::size_t millions = std::strtoul(argv[1], nullptr, 10);
    run("hex16, 90% distinct", millions * 1'000'000, hex_ids(millions * 900'000, rng), rng);
    return 0;
  }
  run("hex16, 900k of 1M", 1'000'000, hex_ids(900'000, rng), rng);
  run("hex16, 100k of 1M", 1'000'000, hex_ids(100'000, rng), rng);
  run("hex16, 1k of 5M", 5'000'000, hex_ids(1'000, rng), rng);
  std::vector<std::string> prefixed = hex_ids(900'000, rng);
  for (auto& s : prefixed) s = "customer/2024/" + s;
  run("prefixed, 900k of 1M", 1'000'000, prefixed, rng);
  return 0;
}
