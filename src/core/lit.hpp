// Literal encoding shared by every native component.
//
// An internal literal is 2*v + s for variable v, s = 1 when negated.  DIMACS
// literals are signed and 1-based: +(v+1) or -(v+1).  Both mappings are
// computed in 32-bit arithmetic, including their behaviour at the edges.
#pragma once

#include <cstdint>
#include <vector>

namespace nv {

using Lit = uint32_t;
using Var = uint32_t;

inline constexpr Var var_of(Lit l) noexcept { return l >> 1; }
inline constexpr Lit neg(Lit l) noexcept { return l ^ 1u; }
inline constexpr bool is_neg(Lit l) noexcept { return (l & 1u) != 0; }
inline constexpr Lit mk_lit(uint32_t v, bool negated) noexcept {
    return (v << 1) | (negated ? 1u : 0u);
}

// Internal -> DIMACS.  Variable 2^31-1 has no DIMACS form; both of its
// literals wrap to INT32_MIN.
inline constexpr int32_t to_dimacs(Lit l) noexcept {
    uint32_t v = l >> 1;
    if (l & 1u) return static_cast<int32_t>(~v);
    return static_cast<int32_t>(v + 1u);
}

// DIMACS -> internal, for d != 0.  Exact for every non-zero int32.
inline constexpr Lit from_dimacs(int32_t d) noexcept {
    uint32_t sign = static_cast<uint32_t>(d) >> 31;
    uint32_t mag = sign ? (0u - static_cast<uint32_t>(d)) : static_cast<uint32_t>(d);
    return ((mag << 1) | sign) - 2u;
}

// One step of a clausal (DRAT) proof: a clause added or deleted.
struct ProofStep {
    bool is_deletion = false;
    std::vector<Lit> lits;
};

}  // namespace nv
