// Reading CLOCK_MONOTONIC, and deadline arithmetic that saturates instead
// of overflowing (clock.hpp).
#include "clock.hpp"

#include <ctime>

namespace nv {

Instant Instant::now() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Instant{static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

Instant Instant::plus_ns(uint64_t ns) const noexcept {
    uint64_t total = uint64_t{nsec} + ns % 1000000000u;
    int64_t add = static_cast<int64_t>(ns / 1000000000u + total / 1000000000u);
    Instant r;
    if (__builtin_add_overflow(sec, add, &r.sec)) return Instant{INT64_MAX, 999999999u};
    r.nsec = static_cast<uint32_t>(total % 1000000000u);
    return r;
}

}  // namespace nv
