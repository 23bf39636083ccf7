#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace orvent::test {

// The q-quantile by the nearest rank (q = 1 gives the largest); -1 for no values.
inline double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

}  // namespace orvent::test
