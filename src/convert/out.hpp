// The output kind of one call: which container output conversion builds.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace dorvik {

struct Numpy {};
struct Pandas {
  std::vector<std::string> labels;  // UTF-8, in column order
};
using OUT = std::variant<Numpy, Pandas>;

}  // namespace dorvik
