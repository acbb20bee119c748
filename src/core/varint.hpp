// Variable-length numbers of the binary DRAT encoding: 7 bits a byte, low
// bits first, the high bit set on every byte but the last.
//
// ProofLog (proof_log.*) writes proofs with put_varint and reads its own
// memory log back with get_varint; the checker's proof reader
// (src/checker/proof_reader.*) reads binary proofs from untrusted buffers
// with the same get_varint, which never reads past the end it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nv {

// Appends the encoding of u to `out`.
inline void put_varint(std::vector<uint8_t>& out, uint64_t u) {
    while (u >= 0x80u) {
        out.push_back(static_cast<uint8_t>(u | 0x80u));
        u >>= 7;
    }
    out.push_back(static_cast<uint8_t>(u));
}

// Outcome of reading one number.
enum class VarintRead : uint8_t { Ok, Truncated, Overflow };

// Reads the number that starts at `p` into `out` and advances `p` past it.
// Truncated: [p, end) ends inside the number (p is left at `end`).
// Overflow: the number does not fit in 64 bits (p is left at the byte that
// overflowed).
inline VarintRead get_varint(const uint8_t*& p, const uint8_t* end, uint64_t& out) noexcept {
    uint64_t u = 0;
    unsigned shift = 0;
    while (p < end) {
        const uint8_t b = *p;
        const uint64_t bits = b & 0x7Fu;
        if (shift == 63 ? bits > 1 : shift > 63) return VarintRead::Overflow;
        u |= bits << shift;
        ++p;
        if (!(b & 0x80u)) {
            out = u;
            return VarintRead::Ok;
        }
        shift += 7;
    }
    return VarintRead::Truncated;
}

}  // namespace nv
