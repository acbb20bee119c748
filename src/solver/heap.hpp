// Binary max-heap of variables ordered by activity, ties to the lower index:
// the decision order of the search (search.cpp takes the best unassigned
// variable; backtracking in propagate.cpp puts variables back; activity
// bumps (state.hpp) move them up).  Positions are kept per
// variable, so membership tests and updates take no search.
#pragma once

#include <cstdint>
#include <vector>

namespace nv {

class VarHeap {
public:
    explicit VarHeap(const std::vector<double>& activity) : act_(activity) {}

    std::vector<uint32_t> heap;     // heap[0] is the best variable
    std::vector<int32_t> indices;   // position of each variable in heap, -1 when absent

    bool empty() const noexcept { return heap.empty(); }
    size_t size() const noexcept { return heap.size(); }
    bool contains(uint32_t v) const noexcept { return v < indices.size() && indices[v] >= 0; }

    // a is better than b.
    bool better(uint32_t a, uint32_t b) const noexcept {
        double x = act_[a], y = act_[b];
        return x > y || (x == y && a < b);
    }

    // Requires indices to hold an entry for v and heap to have room for one
    // more entry (the solver reserves both with its per-variable vectors).
    void insert(uint32_t v) {
        if (indices.size() < static_cast<size_t>(v) + 1) indices.resize(static_cast<size_t>(v) + 1, -1);
        if (indices[v] >= 0) return;
        heap.push_back(v);
        indices[v] = static_cast<int32_t>(heap.size() - 1);
        up(static_cast<uint32_t>(heap.size() - 1));
    }

    void up(uint32_t i) noexcept {
        uint32_t* const h = heap.data();
        int32_t* const idx = indices.data();
        const double* const act = act_.data();
        uint32_t v = h[i];
        const double av = act[v];
        while (i > 0) {
            uint32_t p = (i - 1) / 2;
            uint32_t pv = h[p];
            double ap = act[pv];
            if (!(av > ap || (av == ap && v < pv))) break;
            h[i] = pv;
            idx[pv] = static_cast<int32_t>(i);
            i = p;
        }
        h[i] = v;
        idx[v] = static_cast<int32_t>(i);
    }

    void down(uint32_t i) noexcept {
        uint32_t v = heap[i];
        size_t n = heap.size();
        for (;;) {
            size_t c = 2 * static_cast<size_t>(i) + 1;
            if (c >= n) break;
            if (c + 1 < n && better(heap[c + 1], heap[c])) c += 1;
            uint32_t cv = heap[c];
            if (!better(cv, v)) break;
            heap[i] = cv;
            indices[cv] = static_cast<int32_t>(i);
            i = static_cast<uint32_t>(c);
        }
        heap[i] = v;
        indices[v] = static_cast<int32_t>(i);
    }

    // Removes and returns the best variable; the heap must not be empty.
    uint32_t remove_best() noexcept {
        uint32_t v = heap[0];
        indices[v] = -1;
        uint32_t last = heap.back();
        heap.pop_back();
        if (!heap.empty()) {
            heap[0] = last;
            indices[last] = 0;
            down(0);
        }
        return v;
    }

private:
    const std::vector<double>& act_;
};

}  // namespace nv
