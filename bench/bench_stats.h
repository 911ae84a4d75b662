#pragma once
// Figures shared by the benchmarks.

#include <algorithm>
#include <cstddef>
#include <vector>

// The value at fraction (0 to 1) of an ascending, non-empty sample.
inline double percentile(const std::vector<double>& sorted, double fraction) {
    const size_t index =
        static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}
