#include "pool.hpp"

#include <algorithm>
#include <cmath>

#ifdef __linux__
#include <sched.h>
#endif

namespace kelvo {

int available_cores() {
#ifdef __linux__
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
        const int count = CPU_COUNT(&cpus);
        if (count > 0) return count;
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

int threads_for(int requested, double work, double work_per_thread, std::int64_t most) {
    int threads = requested;
    if (threads <= 0) {
        const int cores = available_cores();
        const double paying = std::floor(work / work_per_thread);  // NaN-free: both finite
        threads = paying >= cores ? cores : paying >= 1 ? static_cast<int>(paying) : 1;
    }
    if (most < threads) threads = most > 1 ? static_cast<int>(most) : 1;
    return threads;
}

namespace {

// Elements holding about `ns` of work at element_ns each, at least 1.
std::int64_t elements_for(double ns, double element_ns) {
    const double count = std::floor(ns / element_ns);
    return count >= 1 ? static_cast<std::int64_t>(std::min(count, 1e15)) : 1;
}

}  // namespace

std::int64_t smallest_chunk(double element_ns) { return elements_for(20e3, element_ns); }

std::int64_t chunk_size(std::int64_t n, int threads, double element_ns) {
    if (threads <= 1) return n > 0 ? n : 1;
    const std::int64_t smallest = smallest_chunk(element_ns);
    const std::int64_t largest = std::max(smallest, elements_for(2e6, element_ns));
    return std::clamp(n / (16 * static_cast<std::int64_t>(threads)), smallest, largest);
}

}  // namespace kelvo
