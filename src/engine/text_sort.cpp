#include "engine/text_sort.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <memory>
#include <span>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_arena.h>

namespace dorvik {

namespace {

static_assert(std::endian::native == std::endian::little, "prefixes are byte-swapped loads");

// Keys are first spread over buckets by their prefix, then each bucket is
// sorted on its own; smaller inputs are sorted in one piece. The buckets
// grow with the input, 4 to 8 keys in each, so that sorting within them
// costs the same per key at any size. A bucket number's high byte picks its
// part (see Spread), which the low bits then spread.
constexpr std::size_t kSmall = std::size_t{1} << 14;
constexpr std::size_t kPerBucket = 4;
constexpr int kMinBucketBits = 8;
constexpr int kMaxBucketBits = 22;
// How many keys are looked at to rank the bytes.
constexpr std::size_t kSample = std::size_t{1} << 16;
// How far ahead texts are prefetched: enough to cover a miss.
constexpr std::size_t kAhead = 16;
// Parts of the keys spread apart, for each thread.
constexpr std::size_t kPartsPerThread = 8;

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

// Fills prefix[g] with text g's prefix from byte `from` on, and returns the
// bits in which some prefix differs from the first.
std::uint64_t fill_prefixes(const std::vector<std::string_view>& texts, std::size_t from, std::uint64_t* prefix) {
  const std::uint64_t first = prefix_at(texts[0], from);
  return tbb::parallel_reduce(
      Range(0, texts.size()), std::uint64_t{0},
      [&](const Range& r, std::uint64_t diff) {
        for (std::size_t g = r.begin(); g != r.end(); ++g) {
          // The texts lie scattered in memory, and each is read once.
          if (g + kAhead < r.end()) __builtin_prefetch(texts[g + kAhead].data() + from);
          prefix[g] = prefix_at(texts[g], from);
          diff |= prefix[g] ^ first;
        }
        return diff;
      },
      [](std::uint64_t a, std::uint64_t b) { return a | b; });
}

// The bits in which some of the n prefixes differs from the first.
std::uint64_t prefix_diff(const std::uint64_t* prefix, std::size_t n) {
  return tbb::parallel_reduce(
      Range(0, n), std::uint64_t{0},
      [&](const Range& r, std::uint64_t diff) {
        for (std::size_t g = r.begin(); g != r.end(); ++g) diff |= prefix[g] ^ prefix[0];
        return diff;
      },
      [](std::uint64_t a, std::uint64_t b) { return a | b; });
}

// Text g's key; its length comes from the view, read in order.
SortKey key_of(const std::vector<std::string_view>& texts, std::size_t from, const std::uint64_t* prefix,
               std::size_t g) {
  const std::size_t rest = texts[g].size() - from;
  return {prefix[g], static_cast<std::uint32_t>(g), static_cast<std::uint32_t>(rest < kLongRest ? rest : kLongRest)};
}

// The byte values of every `step`-th of n prefixes.
ByteSets byte_sets(const std::uint64_t* prefix, std::size_t n, std::size_t step) {
  return tbb::parallel_reduce(
      Range(0, (n + step - 1) / step), ByteSets{},
      [&](const Range& r, ByteSets seen) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) seen.add(prefix[i * step]);
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
// have has no rank: checked() tells of it. Each place's table holds its
// ranks already multiplied by the digit's weight, so that a bucket number is
// a sum of lookups that do not wait on one another.
class Bucketing {
 public:
  Bucketing(const ByteSets& seen, std::size_t buckets) {
    std::size_t room = buckets;
    std::vector<std::uint32_t> radices;
    for (int p = 0; p < 8 && room > 1; ++p) {
      // A place where every key looked at has the same byte still gets a
      // digit, of radix 1: checked() must notice a key with another byte
      // there, which belongs before or after all of them.
      const unsigned values = seen.count(p);
      // Only part of the last place may fit: ranks scaled down, still in
      // order; no digit follows one that merges bytes.
      const std::size_t radix = values <= room ? values : room;
      Digit d{p, {}};
      unsigned rank = 0;
      for (unsigned v = 0; v < 256; ++v) {
        d.value[v] = seen.has(p, v) ? static_cast<std::uint32_t>(rank++ * radix / values) : kUnranked;
      }
      radices.push_back(static_cast<std::uint32_t>(radix));
      room /= radix;
      digits_.push_back(d);
    }
    std::uint32_t weight = 1;
    for (std::size_t i = digits_.size(); i-- > 0;) {
      for (std::uint32_t& v : digits_[i].value) {
        if (v != kUnranked) v *= weight;
      }
      weight *= radices[i];
    }
  }

  // For prefixes whose bytes all have a rank.
  std::size_t operator()(std::uint64_t prefix) const {
    std::uint32_t b = 0;
    for (const Digit& d : digits_) b += d.value[byte_at(prefix, d.position)];
    return b;
  }
  // The bucket, or kNoBucket for a prefix with a byte that has no rank.
  std::size_t checked(std::uint64_t prefix) const {
    const std::size_t b = (*this)(prefix);
    return b >= kUnranked ? kNoBucket : b;
  }
  static constexpr std::size_t kNoBucket = std::numeric_limits<std::size_t>::max();

 private:
  // Above any bucket number, and eight of them still fit in 32 bits.
  static constexpr std::uint32_t kUnranked = std::uint32_t{1} << 28;
  static_assert(kUnranked >> kMaxBucketBits > 0 && std::uint64_t{kUnranked} * 8 <= UINT32_MAX);
  struct Digit {
    int position;
    std::uint32_t value[256];  // the byte's rank times the digit's weight
  };
  std::vector<Digit> digits_;
};

// Sorts runs of tied keys in keys[from, to), which is in by_prefix()
// order, by their texts, and marks where the texts change; the caller knows
// whether keys[from] starts a text. Texts are read only for tied keys, at
// random addresses: the runs are listed first, so that their texts are
// loaded some runs ahead however sparse the runs are (duplicates of a few
// texts among many distinct ones), first the views, then the bytes they
// point to.
void sort_ties(UnfilledVector<SortKey>& keys, std::size_t from, std::size_t to, const KeyOrder& order,
               std::uint8_t* starts) {
  struct Run {
    std::size_t first, last;
  };
  std::vector<Run> runs;
  for (std::size_t i = from + 1; i < to; ++i) {
    if (order.tied(keys[i - 1], keys[i])) {
      if (!runs.empty() && runs.back().last == i) {
        runs.back().last = i + 1;
      } else {
        runs.push_back({i - 1, i + 1});
      }
    } else {
      // Not tied: same() reads no text, and sorting a run next to it
      // changes nothing here, as every key of a run ties with the others.
      starts[i] = !order.same(keys[i - 1], keys[i]);
    }
  }
  constexpr std::size_t kRunsAhead = 8, kLoaded = 8;  // keys of a run loaded ahead
  auto loaded = [&](std::size_t r) { return std::min(runs[r].last, runs[r].first + kLoaded); };
  for (std::size_t r = 0; r < runs.size(); ++r) {
    // The loads are written out here: GCC takes a function that does
    // nothing but prefetch for one without effect, and drops its calls.
    if (const std::size_t a = r + 2 * kRunsAhead; a < runs.size()) {
      for (std::size_t k = runs[a].first; k < loaded(a); ++k) order.prefetch_view(keys[k]);
    }
    if (const std::size_t a = r + kRunsAhead; a < runs.size()) {
      for (std::size_t k = runs[a].first; k < loaded(a); ++k) order.prefetch_rest(keys[k]);
    }
    const auto first = keys.begin() + static_cast<std::ptrdiff_t>(runs[r].first);
    const auto last = keys.begin() + static_cast<std::ptrdiff_t>(runs[r].last);
    std::sort(first, last, order);
    for (std::size_t i = runs[r].first + 1; i < runs[r].last; ++i) starts[i] = !order.same(keys[i - 1], keys[i]);
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

// The texts' keys, put in order of the high byte of their bucket number.
// Spreading them over all the buckets at once would write to too many
// places for the caches; each part of one high byte is spread by the low
// bits later (sort_parts), small enough to stay in cache.
struct Spread {
  Bucketing bucket;
  int low_bits;  // of the bucket number, below its high byte
  std::vector<std::size_t> start;  // part h is keys[start[h], start[h + 1])

  std::size_t high(std::uint64_t prefix) const { return bucket(prefix) >> low_bits; }
  std::size_t low(std::uint64_t prefix) const { return bucket(prefix) & ((std::size_t{1} << low_bits) - 1); }
};

// How many bits the bucket numbers of n keys take.
int bucket_bits(std::size_t n) {
  const int bits = std::bit_width(n / kPerBucket) - 1;
  return std::clamp(bits, kMinBucketBits, kMaxBucketBits);
}

// Makes the keys from the prefixes straight into their part of `keys`: the
// prefixes, a word per text, are all the room the spreading takes.
Spread spread_keys(const std::vector<std::string_view>& texts, std::size_t from, const std::uint64_t* prefix,
                   UnfilledVector<SortKey>& keys) {
  const std::size_t n = texts.size();
  const int bits = bucket_bits(n);
  const std::size_t buckets = std::size_t{1} << bits;
  Spread spread{Bucketing(byte_sets(prefix, n, std::max<std::size_t>(1, n / kSample)), buckets), bits - 8,
                std::vector<std::size_t>(257)};
  const std::size_t threads = static_cast<std::size_t>(tbb::this_task_arena::max_concurrency());
  // More parts than threads: a thread still busy with another column when
  // the spreading starts takes up the parts left when it is done.
  const std::size_t parts = std::max<std::size_t>(1, std::min(threads * kPartsPerThread, n / kSmall));
  auto bound = [&](std::size_t p) { return n * p / parts; };

  // next[p * 256 + h]: where part p puts its next key of high byte h.
  std::vector<std::size_t> next(parts * 256);
  auto count_all = [&] {
    std::atomic<bool> ranked = true;
    tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
      std::size_t* count = next.data() + p * 256;
      for (std::size_t g = bound(p); g < bound(p + 1); ++g) {
        const std::size_t b = spread.bucket.checked(prefix[g]);
        if (b == Bucketing::kNoBucket) {
          ranked = false;
          return;
        }
        ++count[b >> spread.low_bits];
      }
    });
    return ranked.load();
  };
  if (!count_all()) {
    // The sample missed a byte: rank every byte that occurs.
    spread.bucket = Bucketing(byte_sets(prefix, n, 1), buckets);
    std::fill(next.begin(), next.end(), 0);
    count_all();
  }
  std::size_t at = 0;
  for (std::size_t h = 0; h < 256; ++h) {
    spread.start[h] = at;
    for (std::size_t p = 0; p < parts; ++p) at += std::exchange(next[p * 256 + h], at);
  }
  spread.start[256] = n;
  tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
    std::size_t* put = next.data() + p * 256;
    for (std::size_t g = bound(p); g < bound(p + 1); ++g) {
      keys[put[spread.high(prefix[g])]++] = key_of(texts, from, prefix, g);
    }
  });
  return spread;
}

// Sorts the spread keys in place: each part is spread by the low bits of
// the bucket number, out of a copy of it, and what shares a bucket is
// sorted last.
void sort_parts(UnfilledVector<SortKey>& keys, const Spread& spread, const KeyOrder& order, std::uint8_t* starts) {
  const std::size_t lows = std::size_t{1} << spread.low_bits;
  tbb::parallel_for(std::size_t{0}, std::size_t{256}, [&](std::size_t h) {
    const std::size_t from = spread.start[h], to = spread.start[h + 1];
    if (from == to) return;
    const auto part = std::make_unique_for_overwrite<SortKey[]>(to - from);
    std::vector<std::size_t> low(lows + 1);
    for (std::size_t i = from; i < to; ++i) {
      part[i - from] = keys[i];
      ++low[spread.low(keys[i].prefix) + 1];
    }
    for (std::size_t l = 0; l < lows; ++l) low[l + 1] += low[l];
    std::vector<std::size_t> put(lows);
    for (std::size_t l = 0; l < lows; ++l) put[l] = from + low[l];
    for (std::size_t j = 0; j < to - from; ++j) keys[put[spread.low(part[j].prefix)]++] = part[j];
    for (std::size_t l = 0; l < lows; ++l) {
      auto first = keys.begin() + static_cast<std::ptrdiff_t>(from + low[l]);
      auto last = keys.begin() + static_cast<std::ptrdiff_t>(from + low[l + 1]);
      // A bucket holding much of the input is sorted by all threads.
      if (low[l + 1] - low[l] > kSmall) {
        tbb::parallel_sort(first, last, order);
      } else {
        std::sort(first, last, [&](const SortKey& a, const SortKey& b) { return order.by_prefix(a, b); });
      }
    }
    // Equal texts share a bucket, so this part's first key starts a text.
    starts[from] = 1;
    sort_ties(keys, from, to, order, starts);
  });
}

}  // namespace

SortedKeys sorted_keys(const std::vector<std::string_view>& texts, std::span<std::uint64_t> scratch, bool prefixed) {
  SortedKeys sorted;
  UnfilledVector<SortKey>& keys = sorted.keys;
  const std::size_t n = texts.size();
  keys.resize(n);
  if (n == 0) return sorted;
  prefixed = prefixed && scratch.size() >= n;
  Words prefixes(scratch, n);
  std::uint64_t* prefix = prefixes.data();
  std::uint64_t diff = prefixed ? prefix_diff(prefix, n) : fill_prefixes(texts, 0, prefix);
  if (diff == 0 && n > 1) {
    // Every text starts with the same 8 bytes, or is shorter: prefixes from
    // where the texts part tell them apart, and order them as the whole texts.
    if (const std::size_t common = common_prefix(texts); common > 0) {
      sorted.from = common;
      diff = fill_prefixes(texts, common, prefix);
    }
  }
  const KeyOrder order(texts, sorted.from);
  sorted.starts.resize(n);
  std::uint8_t* starts = sorted.starts.data();
  if (diff == 0 || n < kSmall) {
    tbb::parallel_for(Range(0, n), [&](const Range& r) {
      for (std::size_t g = r.begin(); g != r.end(); ++g) keys[g] = key_of(texts, sorted.from, prefix, g);
    });
    prefixes.release();
    tbb::parallel_sort(keys.begin(), keys.end(), order);
    starts[0] = 1;
    tbb::parallel_for(Range(0, n), [&](const Range& r) {
      if (r.begin() > 0) starts[r.begin()] = !order.same(keys[r.begin() - 1], keys[r.begin()]);
      mark_starts(keys, r.begin(), r.end(), order, starts);
    });
  } else {
    const Spread spread = spread_keys(texts, sorted.from, prefix, keys);
    prefixes.release();  // the keys hold them now
    sort_parts(keys, spread, order, starts);
  }
  return sorted;
}

}  // namespace dorvik
