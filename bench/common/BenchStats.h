#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace tonvale_bench {

/** A duration in microseconds. */
inline double micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

/** The p-quantile (0 to 1) of the samples, 0 when there are none. */
inline double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(p * (samples.size() - 1))];
}

}  // namespace tonvale_bench
