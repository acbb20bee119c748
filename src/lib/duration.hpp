// Turning a float number of seconds into a deadline on the monotonic clock
// (src/core/clock.hpp), with the messages Python callers see for negative,
// NaN, infinite and overflowing values.  The entries with a `seconds` or
// time-limit argument (solver_py.cpp, portfolio_py.cpp) call deadline_in.
#pragma once

#include <cstdint>
#include <optional>

#include "../solver/solver.hpp"

namespace nvpy {

struct Duration {
    uint64_t secs;
    uint32_t nanos;
};

// Rounded to the nearest nanosecond; -0.0 is zero.  Throws nv::ValueError
// "cannot convert float seconds to Duration: value is negative" or
// "... value is either too big or NaN" (NaN, infinities, 2^64 s or more).
Duration duration_from_secs(double secs);

// `from` + `d`; throws nv::ValueError "overflow when adding duration to
// instant".
nv::Instant add_duration(nv::Instant from, Duration d);

// The deadline `seconds` after `from`; none without `seconds`.
std::optional<nv::Instant> deadline_in(std::optional<double> seconds, nv::Instant from = nv::Instant::now());

}  // namespace nvpy
