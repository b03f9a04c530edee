#include "engine/text_sort.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_arena.h>

namespace dorvik {

namespace {

static_assert(std::endian::native == std::endian::little, "prefixes are byte-swapped loads");

// Keys are first spread over at most this many buckets by their prefix, then
// each bucket is sorted on its own; smaller inputs are sorted in one piece.
constexpr std::size_t kBuckets = std::size_t{1} << 16;
constexpr std::size_t kSmall = std::size_t{1} << 14;
// How many keys are looked at to rank the bytes.
constexpr std::size_t kSample = std::size_t{1} << 16;
// How far ahead texts are prefetched: enough to cover a miss.
constexpr std::size_t kAhead = 16;

std::uint64_t prefix_at(std::string_view t, std::size_t from) {
  std::uint64_t v = 0;
  const std::size_t n = t.size() - from;
  std::memcpy(&v, t.data() + from, n < 8 ? n : 8);
  return __builtin_bswap64(v);
}

using Range = tbb::blocked_range<std::size_t>;

unsigned byte_at(std::uint64_t prefix, int p) { return static_cast<unsigned>(prefix >> (56 - 8 * p)) & 0xFF; }

// Which values the bytes of the prefixes take, at each of the 8 places: a
// flag per value, which a plain store sets, cheaper than setting a bit.
struct ByteSets {
  std::uint8_t seen[8][256] = {};

  void add(std::uint64_t prefix) {
    for (int p = 0; p < 8; ++p) seen[p][byte_at(prefix, p)] = 1;
  }
  void merge(const ByteSets& other) {
    for (int p = 0; p < 8; ++p) {
      for (int v = 0; v < 256; ++v) seen[p][v] |= other.seen[p][v];
    }
  }
  bool has(int p, unsigned byte) const { return seen[p][byte] != 0; }
  unsigned count(int p) const {
    unsigned n = 0;
    for (std::uint8_t f : seen[p]) n += f;
    return n;
  }
};

// Fills the keys with prefixes from byte `from` on and returns the bits in
// which some prefix differs from the first.
std::uint64_t fill_keys(const std::vector<std::string_view>& texts, std::size_t from, UnfilledVector<SortKey>& keys) {
  const std::uint64_t first = prefix_at(texts[0], from);
  return tbb::parallel_reduce(
      Range(0, texts.size()), std::uint64_t{0},
      [&](const Range& r, std::uint64_t diff) {
        for (std::size_t g = r.begin(); g != r.end(); ++g) {
          // The texts lie scattered in memory, and each is read once.
          if (g + kAhead < r.end()) __builtin_prefetch(texts[g + kAhead].data() + from);
          const std::size_t rest = texts[g].size() - from;
          keys[g] = {prefix_at(texts[g], from), static_cast<std::uint32_t>(g),
                     static_cast<std::uint32_t>(rest < kLongRest ? rest : kLongRest)};
          diff |= keys[g].prefix ^ first;
        }
        return diff;
      },
      [](std::uint64_t a, std::uint64_t b) { return a | b; });
}

// The byte values of every `step`-th key.
ByteSets byte_sets(const UnfilledVector<SortKey>& keys, std::size_t step) {
  return tbb::parallel_reduce(
      Range(0, (keys.size() + step - 1) / step), ByteSets{},
      [&](const Range& r, ByteSets seen) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) seen.add(keys[i * step].prefix);
        return seen;
      },
      [](ByteSets a, const ByteSets& b) {
        a.merge(b);
        return a;
      });
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

// A bucket number from the leading prefix bytes: each place's byte is
// ranked among the values that the keys (or a sample of them) hold there,
// and the ranks of successive places combined as digits while the buckets
// last. Every rank but the last stands for one byte value, so bucket order is
// key order; and texts from a small alphabet (digits, hex) spread over all
// the buckets, which a fixed run of bits would not. A byte the sample did not
// have has no rank: checked() tells of it.
class Bucketing {
 public:
  explicit Bucketing(const ByteSets& seen) {
    std::size_t room = kBuckets;
    for (int p = 0; p < 8 && room > 1; ++p) {
      // A place where every key looked at has the same byte still gets a
      // digit, of radix 1: checked() must notice a key with another byte
      // there, which belongs before or after all of them.
      const unsigned values = seen.count(p);
      Digit d{p, {}, 0};
      // Only part of the last place may fit: ranks scaled down, still in
      // order; no digit follows one that merges bytes.
      const std::size_t radix = values <= room ? values : room;
      unsigned rank = 0;
      for (unsigned v = 0; v < 256; ++v) {
        d.rank[v] = seen.has(p, v) ? static_cast<std::uint16_t>(rank++ * radix / values) : kUnranked;
      }
      d.radix = static_cast<std::uint32_t>(radix);
      room /= d.radix;
      digits_.push_back(d);
    }
  }

  // For keys whose bytes all have a rank.
  std::size_t operator()(const SortKey& k) const {
    std::size_t b = 0;
    for (const Digit& d : digits_) b = b * d.radix + d.rank[byte_at(k.prefix, d.position)];
    return b;
  }
  // The bucket, or kNoBucket for a key with a byte that has no rank.
  std::size_t checked(const SortKey& k) const {
    std::size_t b = 0;
    unsigned unranked = 0;
    for (const Digit& d : digits_) {
      const std::uint16_t r = d.rank[byte_at(k.prefix, d.position)];
      unranked |= r == kUnranked;
      b = b * d.radix + r;
    }
    return unranked ? kNoBucket : b;
  }
  static constexpr std::size_t kNoBucket = std::numeric_limits<std::size_t>::max();

 private:
  static constexpr std::uint16_t kUnranked = 0xFFFF;  // above any rank: buckets are 16 bits
  struct Digit {
    int position;
    std::uint16_t rank[256];
    std::uint32_t radix;
  };
  std::vector<Digit> digits_;
};

// Sorts runs of tied keys in keys[from, to), which is in by_prefix()
// order, by their texts. Those are read only here, at random addresses, and
// loaded ahead: first the views, then the bytes they point to.
void sort_ties(UnfilledVector<SortKey>& keys, std::size_t from, std::size_t to, const KeyOrder& order) {
  std::size_t views = from + 1, rests = from + 1;  // the next pairs of keys to load the texts of
  for (std::size_t i = from; i < to;) {
    for (; views < std::min(to, i + 2 * kAhead); ++views) {
      if (order.tied(keys[views - 1], keys[views])) {
        order.prefetch_view(keys[views - 1]);
        order.prefetch_view(keys[views]);
      }
    }
    for (; rests < std::min(to, i + kAhead); ++rests) {
      if (order.tied(keys[rests - 1], keys[rests])) {
        order.prefetch_rest(keys[rests - 1]);
        order.prefetch_rest(keys[rests]);
      }
    }
    std::size_t j = i + 1;
    while (j < to && order.tied(keys[j - 1], keys[j])) ++j;
    const auto first = keys.begin() + static_cast<std::ptrdiff_t>(i);
    if (j - i > 1) std::sort(first, first + static_cast<std::ptrdiff_t>(j - i), order);
    i = j;
  }
}

// Marks where the texts change in keys[from, to), which is in order; the
// caller knows whether keys[from] starts a text. The bytes are read only
// for keys whose prefixes tie, at random addresses, and loaded ahead.
void mark_starts(const UnfilledVector<SortKey>& keys, std::size_t from, std::size_t to, const KeyOrder& order,
                 std::uint8_t* starts) {
  for (std::size_t i = from + 1; i < to; ++i) {
    if (const std::size_t a = i + 2 * kAhead; a < to && order.reads_texts(keys[a - 1], keys[a])) {
      order.prefetch_view(keys[a - 1]);
      order.prefetch_view(keys[a]);
    }
    if (const std::size_t a = i + kAhead; a < to && order.reads_texts(keys[a - 1], keys[a])) {
      order.prefetch_rest(keys[a - 1]);
      order.prefetch_rest(keys[a]);
    }
    starts[i] = !order.same(keys[i - 1], keys[i]);
  }
}

// Sorts the keys in place. Spreading them over all the buckets at once would
// write to too many places for the caches; so they are spread by the high
// byte of their bucket number first, then each such part, small enough to
// stay in cache, by the low byte, and what shares a bucket is sorted last.
void bucket_sort(UnfilledVector<SortKey>& keys, const KeyOrder& order, std::uint8_t* starts) {
  const std::size_t n = keys.size();
  Bucketing bucket(byte_sets(keys, std::max<std::size_t>(1, n / kSample)));
  auto high = [&](const SortKey& k) { return bucket(k) >> 8; };
  const std::size_t threads = static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
  const std::size_t parts = std::max<std::size_t>(1, std::min(threads, n / kSmall));
  auto bound = [&](std::size_t p) { return n * p / parts; };

  // next[p * 256 + h]: where part p puts its next key of high byte h.
  std::vector<std::size_t> next(parts * 256);
  auto count_all = [&] {
    std::atomic<bool> ranked = true;
    tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
      std::size_t* count = next.data() + p * 256;
      for (std::size_t i = bound(p); i < bound(p + 1); ++i) {
        const std::size_t b = bucket.checked(keys[i]);
        if (b == Bucketing::kNoBucket) {
          ranked = false;
          return;
        }
        ++count[b >> 8];
      }
    });
    return ranked.load();
  };
  if (!count_all()) {
    // The sample missed a byte: rank every byte that occurs.
    bucket = Bucketing(byte_sets(keys, 1));
    std::fill(next.begin(), next.end(), 0);
    count_all();
  }
  std::vector<std::size_t> start(257);
  std::size_t at = 0;
  for (std::size_t h = 0; h < 256; ++h) {
    start[h] = at;
    for (std::size_t p = 0; p < parts; ++p) at += std::exchange(next[p * 256 + h], at);
  }
  start[256] = n;
  const auto spread = std::make_unique_for_overwrite<SortKey[]>(n);  // every key is written before read
  tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
    std::size_t* put = next.data() + p * 256;
    for (std::size_t i = bound(p); i < bound(p + 1); ++i) spread[put[high(keys[i])]++] = keys[i];
  });

  tbb::parallel_for(std::size_t{0}, std::size_t{256}, [&](std::size_t h) {
    const std::size_t from = start[h], to = start[h + 1];
    std::size_t low[257] = {};
    for (std::size_t i = from; i < to; ++i) ++low[(bucket(spread[i]) & 0xFF) + 1];
    for (std::size_t l = 0; l < 256; ++l) low[l + 1] += low[l];
    std::size_t put[256];
    for (std::size_t l = 0; l < 256; ++l) put[l] = from + low[l];
    for (std::size_t i = from; i < to; ++i) keys[put[bucket(spread[i]) & 0xFF]++] = spread[i];
    for (std::size_t l = 0; l < 256; ++l) {
      auto first = keys.begin() + static_cast<std::ptrdiff_t>(from + low[l]);
      auto last = keys.begin() + static_cast<std::ptrdiff_t>(from + low[l + 1]);
      // A bucket holding much of the input is sorted by all threads.
      if (low[l + 1] - low[l] > kSmall) {
        tbb::parallel_sort(first, last, order);
      } else {
        std::sort(first, last, [&](const SortKey& a, const SortKey& b) { return order.by_prefix(a, b); });
      }
    }
    sort_ties(keys, from, to, order);
    // While the texts sort_ties() read are at hand. Equal texts share a
    // bucket, so this part's first key starts a text.
    if (from < to) {
      starts[from] = 1;
      mark_starts(keys, from, to, order, starts);
    }
  });
}

}  // namespace

SortedKeys sorted_keys(const std::vector<std::string_view>& texts) {
  SortedKeys sorted;
  UnfilledVector<SortKey>& keys = sorted.keys;
  keys.resize(texts.size());
  if (texts.empty()) return sorted;
  std::uint64_t diff = fill_keys(texts, 0, keys);
  if (diff == 0 && texts.size() > 1) {
    // Every text starts with the same 8 bytes, or is shorter: prefixes from
    // where the texts part tell them apart, and order them as the whole texts.
    if (const std::size_t common = common_prefix(texts); common > 0) {
      sorted.from = common;
      diff = fill_keys(texts, common, keys);
    }
  }
  const KeyOrder order(texts, sorted.from);
  sorted.starts.resize(keys.size());
  std::uint8_t* starts = sorted.starts.data();
  if (diff == 0 || keys.size() < kSmall) {
    tbb::parallel_sort(keys.begin(), keys.end(), order);
    starts[0] = 1;
    tbb::parallel_for(Range(0, keys.size()), [&](const Range& r) {
      if (r.begin() > 0) starts[r.begin()] = !order.same(keys[r.begin() - 1], keys[r.begin()]);
      mark_starts(keys, r.begin(), r.end(), order, starts);
    });
  } else {
    bucket_sort(keys, order, starts);
  }
  return sorted;
}

}  // namespace dorvik
