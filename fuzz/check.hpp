// A failed property aborts, which libFuzzer reports as a crash with the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (!(cond)) {                                                           \
      std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                          \
    }                                                                        \
  } while (0)
