#include "engine/hash.hpp"

#include <atomic>
#include <chrono>
#include <random>

namespace dorvik {

std::uint64_t random_seed() {
  // One draw from the OS per process; every map then takes the next value of
  // a counter, mixed, so that seeds are cheap and all different.
  static const std::uint64_t base = [] {
    std::random_device rd;
    std::uint64_t s = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    return s ^ static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  static std::atomic<std::uint64_t> counter{0};
  return mix(base ^ counter.fetch_add(1, std::memory_order_relaxed), kHashK1);
}

}  // namespace dorvik
