#include "signals.hpp"

namespace nvpy {

namespace {

// Pause between two real checks for pending signals.
constexpr uint64_t kCheckEveryNs = 10'000'000;

}  // namespace

bool SignalCheck::pending() noexcept {
    if (raised_) return true;
    nv::Instant now = nv::Instant::now();
    if (!(next_ <= now)) return false;
    next_ = now.plus_ns(kCheckEveryNs);
    if (released) PyEval_RestoreThread(released);
    int rc = PyErr_CheckSignals();
    if (released) released = PyEval_SaveThread();
    if (rc < 0) raised_ = true;
    return raised_;
}

}  // namespace nvpy
