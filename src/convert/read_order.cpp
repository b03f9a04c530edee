#include "convert/read_order.hpp"

#include <algorithm>
#include <cstdint>

#include "engine/hash.hpp"

namespace dorvik {

namespace {

// Enough cells to tell tens or thousands of texts from many more (of 256
// cells drawn from 1,000 texts about 30 repeat one drawn before), few enough
// to cost next to nothing against reading the column.
constexpr std::size_t kSample = 256;

// The texts' hashes among `count` cells spread evenly over the column. Equal
// texts hash alike: a str keeps its characters in the narrowest kind that
// holds them all, and the kind seeds the hash. Texts that collide are
// counted once, which costs nothing but a little of the estimate.
std::vector<std::uint64_t> sample(const PoolColumn& column, std::size_t rows, std::size_t count) {
  std::vector<std::uint64_t> hashes;
  hashes.reserve(count);
  auto row = [&](std::size_t k) { return rows * k / count; };  // rows < 2^32
  if (column.arrow == nullptr) {
    for (std::size_t k = 0; k < count; ++k) {
      PyObject* o = column.objects.at(row(k));
      if (!PyUnicode_CheckExact(o)) continue;
      const unsigned kind = PyUnicode_KIND(o);
      const std::string_view bytes(static_cast<const char*>(PyUnicode_DATA(o)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)) * kind);
      hashes.push_back(hash_bytes(bytes, kind));
    }
    return hashes;
  }
  std::size_t first = 0;  // the chunk's first row
  auto chunk = column.arrow->begin();
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t r = row(k);
    while (chunk != column.arrow->end() && r >= first + chunk->length) first += (chunk++)->length;
    if (chunk == column.arrow->end()) break;
    const std::size_t at = chunk->offset + (r - first);
    if (chunk->valid(at)) hashes.push_back(hash_bytes(chunk->bytes(at), 0));
  }
  return hashes;
}

std::size_t distinct(std::vector<std::uint64_t> hashes) {
  std::sort(hashes.begin(), hashes.end());
  return static_cast<std::size_t>(std::unique(hashes.begin(), hashes.end()) - hashes.begin());
}

}  // namespace

std::vector<std::size_t> costliest_first(const std::vector<PoolColumn>& columns, std::size_t rows) {
  std::vector<std::size_t> order(columns.size());
  std::vector<std::size_t> cost(columns.size());
  const std::size_t count = std::min(rows, kSample);
  for (std::size_t j = 0; j < columns.size(); ++j) {
    order[j] = j;
    if (count != 0) cost[j] = distinct(sample(columns[j], rows, count));
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return cost[a] > cost[b]; });
  return order;
}

}  // namespace dorvik
