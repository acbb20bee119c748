// Cooperative interruption of long native work.
//
// The native cores never see Python.  Long work -- a search, simplification
// rounds, a proof check, a portfolio's wait for its first answer -- polls an
// Interrupt every few thousand units of work (propagated literals, proof
// steps, walk flips) and, when it reports a pending interruption, stops at
// the next point where its state is consistent and returns as it would on a
// spent budget.  The Python layer implements the hook by checking for
// pending signals (src/lib/signals.*), so Ctrl-C reaches every long call.
//
// Polling never changes a result by itself: a hook that never fires leaves
// every counter, model and proof exactly as without it.
#pragma once

namespace nv {

class Interrupt {
public:
    // True when the work should stop.  Once it has returned true it keeps
    // returning true.  Cheap enough to call every few thousand steps; an
    // implementation throttles any costly check itself.
    virtual bool pending() noexcept = 0;

protected:
    ~Interrupt() = default;
};

// Polls `hook` (when there is one) once every `every` calls of tick().
class PollCounter {
public:
    explicit PollCounter(Interrupt* hook, unsigned every = 4096) noexcept : hook_(hook), every_(every) {}
    // True when the hook reports an interruption at this tick.
    bool tick(unsigned units = 1) noexcept {
        if (!hook_) return false;
        count_ += units;
        if (count_ < every_) return false;
        count_ = 0;
        return hook_->pending();
    }
    bool pending() noexcept { return hook_ && hook_->pending(); }

private:
    Interrupt* hook_;
    unsigned every_;
    unsigned count_ = 0;
};

}  // namespace nv
