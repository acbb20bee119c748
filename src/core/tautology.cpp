// The sort-based scan of tautology.hpp: keys literal << 32 | position, one
// sort, one pass over the groups.
#include "tautology.hpp"

#include <algorithm>
#include <new>

namespace nv {

size_t tautology_position(const Lit* lits, size_t n, std::vector<uint64_t>& scratch) {
    if (n > UINT32_MAX) throw std::bad_alloc();
    scratch.clear();
    scratch.reserve(n);
    for (size_t i = 0; i < n; ++i) scratch.push_back((uint64_t{lits[i]} << 32) | i);
    std::sort(scratch.begin(), scratch.end());
    auto lit_at = [&scratch](size_t k) { return static_cast<Lit>(scratch[k] >> 32); };
    auto pos_at = [&scratch](size_t k) { return static_cast<size_t>(static_cast<uint32_t>(scratch[k])); };
    size_t stop = n;
    for (size_t a = 0; a < n;) {
        const Lit l = lit_at(a);
        size_t b = a;
        while (b < n && lit_at(b) == l) ++b;
        // The negative group of l's variable, if any, starts at b.
        if (!is_neg(l) && b < n && lit_at(b) == neg(l)) stop = std::min(stop, std::max(pos_at(a), pos_at(b)));
        a = b;
    }
    return stop;
}

}  // namespace nv
