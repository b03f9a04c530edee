// Faulting in a block that starts and ends inside pages: the whole pages
// within it are mapped, the pages it only touches are left alone, and no
// byte changes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "engine/fault_in.hpp"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (page != 4096) return 0;  // the rounding assumes 4 KiB pages
  constexpr std::size_t kPages = 6;
  auto* base = static_cast<unsigned char*>(
      mmap(nullptr, kPages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  check(base != MAP_FAILED, "mapping");
  if (base == MAP_FAILED) return 1;
  // The block starts inside page 0, written, and ends inside page 4, not.
  std::memset(base + 100, 0xab, page - 100);
  if (!dorvik::fault_in(base + 100, 4 * page - 50)) return 0;  // a kernel before 5.14: nothing mapped
  unsigned char resident[kPages];
  check(mincore(base, kPages * page, resident) == 0, "mincore");
  for (std::size_t i = 1; i < 4; ++i) check(resident[i] & 1, "whole pages mapped");
  check(!(resident[4] & 1), "page the block ends in left alone");
  bool same = base[99] == 0;
  for (std::size_t i = 100; i < page; ++i) same = same && base[i] == 0xab;
  for (std::size_t i = page; i < 5 * page; ++i) same = same && base[i] == 0;
  check(same, "bytes unchanged");
  check(dorvik::fault_in(base + 10, 20), "a block within one page");
  munmap(base, kPages * page);
  return failures == 0 ? 0 : 1;
}
