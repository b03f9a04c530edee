// New pandas DataFrames around arrays the caller has just made.
#pragma once

#include <string>
#include <vector>

#include "bind/ref.hpp"

namespace dorvik {

// A DataFrame with the columns `labels` over the 2-D array `values`, which
// it keeps without a copy. `objects` keeps an object array's cells as they
// are, with no inference of a text dtype.
Ref new_frame(Ref values, const std::vector<std::string>& labels, bool objects = false);

}  // namespace dorvik
