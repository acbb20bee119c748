// Extension of a model of the reduced formula to the input formula.
//
// Values fixed by propagation come first; then the reconstruction stack
// (reactivate.cpp) is walked newest entry first, each eliminated variable
// keeping its value when its saved clauses are satisfied and flipping
// otherwise.  Entries of reactivated variables are passed over: their
// clauses are back in the store, so the model already satisfies them.  The
// walk only reads the preprocessor.
#include <string>

#include "../core/errors.hpp"
#include "preprocessor.hpp"

namespace nv {

namespace {

bool satisfied(std::span<const Lit> c, const std::vector<uint8_t>& vals) {
    for (Lit l : c)
        if ((vals[l >> 1] != 0) != is_neg(l)) return true;
    return false;
}

}  // namespace

std::vector<bool> Preprocessor::reconstruct(const std::vector<bool>& model) const {
    std::vector<uint8_t> vals(nvars_, 0);
    for (size_t v = 0; v < nvars_ && v < model.size(); ++v) vals[v] = model[v] ? 1 : 0;
    for (size_t v = 0; v < nvars_; ++v) {
        if (assign_[v] == 1) vals[v] = 1;
        else if (assign_[v] == 2) vals[v] = 0;
    }
    // Newest elimination first: each variable sees the final values of the
    // variables eliminated after it.
    for (size_t i = stack_var_.size(); i-- > 0;) {
        if (!stack_live_[i]) continue;
        const Var x = stack_var_[i];
        const size_t b = stack_first_[i], e = entry_end(i);
        bool all = true, want_true = false;
        for (size_t k = b; k < e; ++k) {
            std::span<const Lit> c = stack_cls_[k];
            if (satisfied(c, vals)) continue;
            all = false;
            for (Lit l : c)
                if (l == mk_lit(x, false)) want_true = true;
        }
        if (all) continue;
        vals[x] = want_true ? 1 : 0;
        for (size_t k = b; k < e; ++k)
            if (!satisfied(stack_cls_[k], vals))
                throw ValueError("reconstruction failed for x" + std::to_string(x));
    }
    return std::vector<bool>(vals.begin(), vals.end());
}

}  // namespace nv
