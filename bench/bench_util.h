// Small helpers the real-time measurement programs share.
#pragma once

#include <algorithm>
#include <vector>

// The value below which a fraction aP of the samples lie (0 for no samples).
inline double Percentile(std::vector<double> aSamples, double aP) {
  if (aSamples.empty()) return 0;
  std::sort(aSamples.begin(), aSamples.end());
  return aSamples[std::min(aSamples.size() - 1, static_cast<std::size_t>(aP * static_cast<double>(aSamples.size())))];
}
