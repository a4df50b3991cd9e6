// The fairness figures of one run: Jain's index over the threads' shares
// and percentiles of the acquisitions' waits.
#pragma once
#include <algorithm>
#include <cmath>
#include <vector>

// (sum x)^2 / (n sum x^2): 1 when every thread got the same share, 1/n when
// one thread got everything; 0 when nobody got anything.
inline double jain(const std::vector<long>& x) {
  double sum = 0, squares = 0;
  for (long v : x) {
    sum += v;
    squares += double(v) * v;
  }
  return squares > 0 ? sum * sum / (x.size() * squares) : 0;
}

// The p-quantile (0 < p <= 1) by nearest rank: the smallest sample that at
// least a share p of the samples do not exceed. Reorders v; 0 when empty.
template <class T>
T percentile(std::vector<T>& v, double p) {
  if (v.empty()) return 0;
  std::size_t rank = std::size_t(std::ceil(p * v.size()));
  auto at = v.begin() + (std::clamp<std::size_t>(rank, 1, v.size()) - 1);
  std::nth_element(v.begin(), at, v.end());
  return *at;
}
