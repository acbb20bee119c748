// Points on the monotonic clock, for deadlines.
//
// An Instant is kept as seconds + nanoseconds of CLOCK_MONOTONIC, so that a
// deadline decades away stays representable.  The solver compares the clock
// with its deadline while it searches; the Python layer turns a `seconds`
// argument into an Instant (src/lib/duration.*).
#pragma once

#include <cstdint>

namespace nv {

struct Instant {
    int64_t sec = 0;
    uint32_t nsec = 0;
    static Instant now() noexcept;
    friend bool operator<=(const Instant& a, const Instant& b) noexcept {
        return a.sec < b.sec || (a.sec == b.sec && a.nsec <= b.nsec);
    }
    // This instant moved by `ns` nanoseconds (saturating at the far end).
    Instant plus_ns(uint64_t ns) const noexcept;
};

}  // namespace nv
