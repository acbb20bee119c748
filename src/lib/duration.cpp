// Seconds as a float to a Duration, rounded to the nearest nanosecond with
// exact integer arithmetic on the float's mantissa, and deadlines that
// refuse to overflow (duration.hpp).
#include "duration.hpp"

#include <cmath>

#include "../core/errors.hpp"

namespace nvpy {

Duration duration_from_secs(double x) {
    if (x < 0.0) throw nv::ValueError("cannot convert float seconds to Duration: value is negative");
    if (!(x < 18446744073709551616.0)) {
        throw nv::ValueError("cannot convert float seconds to Duration: value is either too big or NaN");
    }
    if (x == 0.0) return {0, 0};
    // x = mant * 2^exp exactly, mant a 53-bit integer; x * 1e9 fits in 128 bits.
    int exp = 0;
    double frac = std::frexp(x, &exp);
    auto mant = static_cast<unsigned __int128>(static_cast<uint64_t>(std::ldexp(frac, 53)));
    int shift = exp - 53;
    unsigned __int128 ns = mant * 1000000000u;
    if (shift >= 0) {
        ns <<= shift;
    } else if (-shift >= 100) {
        ns = 0;
    } else {
        unsigned __int128 half = static_cast<unsigned __int128>(1) << (-shift - 1);
        ns = (ns + half) >> (-shift);
    }
    return {static_cast<uint64_t>(ns / 1000000000u), static_cast<uint32_t>(ns % 1000000000u)};
}

nv::Instant add_duration(nv::Instant from, Duration d) {
    constexpr const char* kOverflow = "overflow when adding duration to instant";
    if (d.secs > static_cast<uint64_t>(INT64_MAX)) throw nv::ValueError(kOverflow);
    int64_t sec = 0;
    if (__builtin_add_overflow(from.sec, static_cast<int64_t>(d.secs), &sec)) throw nv::ValueError(kOverflow);
    uint32_t nsec = from.nsec + d.nanos;
    if (nsec >= 1000000000u) {
        nsec -= 1000000000u;
        if (__builtin_add_overflow(sec, int64_t{1}, &sec)) throw nv::ValueError(kOverflow);
    }
    return {sec, nsec};
}

std::optional<nv::Instant> deadline_in(std::optional<double> seconds, nv::Instant from) {
    if (!seconds) return std::nullopt;
    return add_duration(from, duration_from_secs(*seconds));
}

}  // namespace nvpy
