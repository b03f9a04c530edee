// Big unfilled vectors inside and outside a BlockReuse scope: a block freed
// in a scope comes back for a request of nearly its size, keeps its own size
// when it serves a smaller one, a fresh one is mapped before it is handed
// out, and every block is freed once (the sanitizer reports a leak, a double
// free or a write past a block).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "engine/fault_in.hpp"
#include "engine/no_fill.hpp"

namespace {

using dorvik::BlockReuse;
using dorvik::UnfilledVector;

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

constexpr std::size_t kWords = BlockReuse::kBig / 8 + 1;  // just big

template <class T>
void fill(UnfilledVector<T>& v) {
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<T>(i * 7 + 1);
}

template <class T>
bool filled(const UnfilledVector<T>& v) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != static_cast<T>(i * 7 + 1)) return false;
  }
  return true;
}

// Whether every whole page of the vector's memory is mapped.
template <class T>
bool resident(const UnfilledVector<T>& v) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(v.data()) + page - 1) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(v.data() + v.size()) / page * page;
  std::vector<unsigned char> pages((end - begin) / page);
  if (mincore(reinterpret_cast<void*>(begin), end - begin, pages.data()) != 0) return false;
  for (unsigned char p : pages) {
    if (!(p & 1)) return false;
  }
  return true;
}

bool fault_in_works() {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* p = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  const bool works = dorvik::fault_in(p, page);
  munmap(p, page);
  return works;
}

}  // namespace

int main() {
  {
    // Outside a scope a big block is freed at once.
    UnfilledVector<std::uint64_t> words(kWords);
    // Mapped as it is made, unless the kernel cannot (before Linux 5.14).
    if (fault_in_works()) check(resident(words), "a fresh big block is mapped");
    fill(words);
    check(filled(words), "a big vector outside a scope holds its words");
  }
  {
    const BlockReuse scope;
    const void* first = nullptr;
    {
      UnfilledVector<std::uint64_t> words(2 * kWords);
      fill(words);
      first = words.data();
    }
    // Bytes of about the same size take the freed words' block...
    UnfilledVector<char> bytes(2 * kWords * 8 - 100);
    check(bytes.data() == static_cast<const void*>(first), "the freed block is handed out again");
    fill(bytes);
    check(filled(bytes), "a reused block holds what is written to it");
    // ...which, freed again, still serves a request of its full size.
    bytes = UnfilledVector<char>();
    UnfilledVector<std::uint64_t> again(2 * kWords);
    check(again.data() == first, "a block keeps its own size when it served a smaller request");
    fill(again);
    check(filled(again), "the block holds its full size");
  }
  {
    const BlockReuse scope;
    UnfilledVector<std::uint64_t> small(kWords), big(kWords * 2);
    const void* bigger = big.data();
    { auto gone = std::move(big); }
    { auto gone = std::move(small); }
    // Of two freed blocks the bigger stays; a request under 3/4 of it gets
    // one of its own.
    UnfilledVector<std::uint64_t> half(kWords);
    check(half.data() != bigger, "a request well under the kept block's size is not given it");
    UnfilledVector<std::uint64_t> most(kWords * 2 - 1);
    check(most.data() == bigger, "the bigger of two freed blocks is kept");
  }
  {
    // A nested scope's end leaves the outer scope's block kept; a block
    // freed on a thread without a scope is freed there.
    const BlockReuse outer;
    const void* kept = nullptr;
    {
      const BlockReuse inner;
      UnfilledVector<std::uint64_t> words(kWords);
      kept = words.data();
    }
    UnfilledVector<std::uint64_t> words(kWords);
    check(words.data() == kept, "an inner scope's end keeps the block for the outer scope");
    std::thread([w = std::move(words)]() mutable { w = UnfilledVector<std::uint64_t>(); }).join();
  }
  return failures == 0 ? 0 : 1;
}
