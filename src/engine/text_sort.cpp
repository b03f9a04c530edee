#include "engine/text_sort.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_arena.h>

namespace dorvik {

namespace {

static_assert(std::endian::native == std::endian::little, "prefixes are byte-swapped loads");

// Keys are first spread over buckets by 16 bits of their prefix, then each
// bucket is sorted on its own; smaller inputs are sorted in one piece.
constexpr int kBucketBits = 16;
constexpr std::size_t kBuckets = std::size_t{1} << kBucketBits;
constexpr std::size_t kSmall = std::size_t{1} << 14;
// How far ahead texts are prefetched: enough to cover a miss.
constexpr std::size_t kAhead = 16;

std::uint64_t prefix_at(std::string_view t, std::size_t from) {
  std::uint64_t v = 0;
  const std::size_t n = t.size() - from;
  std::memcpy(&v, t.data() + from, n < 8 ? n : 8);
  return __builtin_bswap64(v);
}

using Range = tbb::blocked_range<std::size_t>;

// Fills the keys with prefixes from byte `from` on and returns the bits in
// which some prefix differs from the first.
std::uint64_t fill_keys(const std::vector<std::string_view>& texts, std::size_t from, std::vector<SortKey>& keys) {
  const std::uint64_t first = prefix_at(texts[0], from);
  return tbb::parallel_reduce(
      Range(0, texts.size()), std::uint64_t{0},
      [&](const Range& r, std::uint64_t diff) {
        for (std::size_t g = r.begin(); g != r.end(); ++g) {
          // The texts lie scattered in memory, and each is read once.
          if (g + kAhead < r.end()) __builtin_prefetch(texts[g + kAhead].data() + from);
          const std::size_t tail = texts[g].size() - from;
          keys[g] = {prefix_at(texts[g], from), static_cast<std::uint32_t>(g),
                     static_cast<std::uint32_t>(tail < 9 ? tail : 9)};
          diff |= keys[g].prefix ^ first;
        }
        return diff;
      },
      [](std::uint64_t a, std::uint64_t b) { return a | b; });
}

// How many leading bytes every text shares with the first.
std::size_t common_prefix(const std::vector<std::string_view>& texts) {
  const std::string_view first = texts[0];
  return tbb::parallel_reduce(
      Range(0, texts.size()), first.size(),
      [&](const Range& r, std::size_t common) {
        for (std::size_t g = r.begin(); g != r.end(); ++g) {
          const std::string_view t = texts[g].substr(0, common);
          common = static_cast<std::size_t>(std::mismatch(t.begin(), t.end(), first.begin()).first - t.begin());
        }
        return common;
      },
      [](std::size_t a, std::size_t b) { return a < b ? a : b; });
}

// Buckets by the 16 bits that follow the `lead` bits every prefix shares
// (lead < 64), so that keys spread even where all texts start alike.
std::vector<SortKey> bucket_sort(const std::vector<SortKey>& keys, int lead, const KeyOrder& order) {
  const std::size_t n = keys.size();
  auto bucket = [lead](const SortKey& k) { return static_cast<std::size_t>((k.prefix << lead) >> (64 - kBucketBits)); };
  const std::size_t threads = static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
  const std::size_t parts = std::max<std::size_t>(1, std::min(threads, n / kSmall));
  auto bound = [&](std::size_t p) { return n * p / parts; };

  // next[p * kBuckets + b]: where part p puts its next key of bucket b.
  std::vector<std::size_t> next(parts * kBuckets);
  tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
    std::size_t* count = next.data() + p * kBuckets;
    for (std::size_t i = bound(p); i < bound(p + 1); ++i) ++count[bucket(keys[i])];
  });
  std::vector<std::size_t> start(kBuckets + 1);
  std::size_t at = 0;
  for (std::size_t b = 0; b < kBuckets; ++b) {
    start[b] = at;
    for (std::size_t p = 0; p < parts; ++p) at += std::exchange(next[p * kBuckets + b], at);
  }
  start[kBuckets] = n;

  std::vector<SortKey> out(n);
  tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
    std::size_t* put = next.data() + p * kBuckets;
    for (std::size_t i = bound(p); i < bound(p + 1); ++i) out[put[bucket(keys[i])]++] = keys[i];
  });
  tbb::parallel_for(Range(0, kBuckets, 256), [&](const Range& r) {
    for (std::size_t b = r.begin(); b != r.end(); ++b) {
      auto from = out.begin() + static_cast<std::ptrdiff_t>(start[b]);
      auto to = out.begin() + static_cast<std::ptrdiff_t>(start[b + 1]);
      // A bucket holding much of the input is sorted by all threads.
      if (start[b + 1] - start[b] > kSmall) {
        tbb::parallel_sort(from, to, order);
      } else {
        std::sort(from, to, order);
      }
    }
  });
  return out;
}

}  // namespace

std::vector<SortKey> sorted_keys(const std::vector<std::string_view>& texts) {
  std::vector<SortKey> keys(texts.size());
  if (texts.empty()) return keys;
  std::uint64_t diff = fill_keys(texts, 0, keys);
  if (diff == 0 && texts.size() > 1) {
    // Every text starts with the same 8 bytes, or is shorter: prefixes from
    // where the texts part tell them apart, and order them as the whole texts.
    if (const std::size_t common = common_prefix(texts); common > 0) diff = fill_keys(texts, common, keys);
  }
  const KeyOrder order(texts);
  if (diff == 0 || keys.size() < kSmall) {
    tbb::parallel_sort(keys.begin(), keys.end(), order);
    return keys;
  }
  return bucket_sort(keys, std::countl_zero(diff), order);
}

}  // namespace dorvik
