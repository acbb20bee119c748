// Stable orders for the passes of the preprocessor: the subsumption pass
// walks clauses by length and the elimination pass variables by occurrence
// product, ties in ascending id order.  On large formulas such a sort is
// itself long work, so it is done here in steps that poll for an
// interruption: a counting sort when the keys are small, otherwise a
// bottom-up merge sort (short runs sorted with the standard stable sort,
// then merged pairwise by hand).  The result is the one std::stable_sort
// gives (a stable order is unique); the callers
// (rounds.cpp, elimination.cpp) abandon their pass when it is interrupted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nv {

// Sorts `ids` stably by key(id) ascending, with `tmp` as scratch.  `poll(n)`
// is told of every n units of work and returns true to interrupt; the sort
// then returns false and leaves `ids` in some order.
template <class Key, class Poll>
bool stable_order(std::vector<uint32_t>& ids, std::vector<uint32_t>& tmp, const Key& key, Poll&& poll) {
    constexpr size_t kRun = size_t{1} << 12;
    const size_t n = ids.size();
    // Small keys (clause lengths, most occurrence products): a counting sort,
    // one pass to count and one to place.
    uint64_t top = 0;
    for (uint32_t id : ids) top = std::max<uint64_t>(top, key(id));
    if (n > 0 && top <= 4 * uint64_t{n} + 1024) {
        std::vector<size_t> at(static_cast<size_t>(top) + 2, 0);
        for (size_t i = 0; i < n; ++i) {
            ++at[static_cast<size_t>(key(ids[i])) + 1];
            if ((i & (kRun - 1)) == kRun - 1 && poll(kRun)) return false;
        }
        for (size_t k = 1; k < at.size(); ++k) at[k] += at[k - 1];
        tmp.resize(n);
        for (size_t i = 0; i < n; ++i) {
            tmp[at[static_cast<size_t>(key(ids[i]))]++] = ids[i];
            if ((i & (kRun - 1)) == kRun - 1 && poll(kRun)) return false;
        }
        ids.swap(tmp);
        return true;
    }
    auto less = [&](uint32_t a, uint32_t b) { return key(a) < key(b); };
    for (size_t b = 0; b < n; b += kRun) {
        std::stable_sort(ids.begin() + static_cast<ptrdiff_t>(b),
                         ids.begin() + static_cast<ptrdiff_t>(std::min(n, b + kRun)), less);
        if (poll(kRun)) return false;
    }
    if (n <= kRun) return true;
    tmp.resize(n);
    std::vector<uint32_t>* in = &ids;
    std::vector<uint32_t>* out = &tmp;
    for (size_t width = kRun; width < n; width *= 2) {
        const uint32_t* src = in->data();
        uint32_t* dst = out->data();
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            const size_t mid = std::min(n, lo + width), hi = std::min(n, lo + 2 * width);
            size_t i = lo, j = mid, k = lo;
            // The left run wins ties: that keeps the order stable.
            while (i < mid && j < hi) {
                dst[k++] = key(src[j]) < key(src[i]) ? src[j++] : src[i++];
                if ((k & (kRun - 1)) == 0 && poll(kRun)) return false;
            }
            while (i < mid) dst[k++] = src[i++];
            while (j < hi) dst[k++] = src[j++];
        }
        std::swap(in, out);
    }
    if (in != &ids) ids.swap(tmp);
    return true;
}

}  // namespace nv
