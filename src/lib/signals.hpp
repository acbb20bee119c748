// Ctrl-C for long native calls.
//
// SignalCheck is the nv::Interrupt (src/core/interrupt.hpp) that every long
// entry hands to its native core.  When polled it lets the interpreter run
// its signal handlers (PyErr_CheckSignals); a handler that raises -- the
// default SIGINT handler raises KeyboardInterrupt -- leaves its exception
// set on the calling thread and makes the hook report an interruption, so
// the core stops at its next consistent point and the entry raises that
// exception.  Real checks are throttled, so polling mostly costs a clock
// read: one every 10 ms while the entry holds the interpreter lock.  Where
// the entry runs with the lock released (without_gil), the check takes the
// lock back for that moment, one every 50 ms, so that busy Python threads
// cost the search little; and only on the main thread, the one the
// interpreter runs signal handlers on -- elsewhere the lock is never taken
// back.
//
// Only the thread that made the call polls its SignalCheck (worker threads
// of a portfolio watch a stop flag instead).
#pragma once

#include "../core/clock.hpp"
#include "../core/interrupt.hpp"
#include "py.hpp"

namespace nvpy {

class SignalCheck final : public nv::Interrupt {
public:
    bool pending() noexcept override;
    // A signal handler raised: its exception is set on this thread.
    bool raised() const noexcept { return raised_; }
    // Raises the handler's exception (PyErrSet) when one was raised.  Call
    // with the interpreter lock held.
    void rethrow() const {
        if (raised_) throw_py();
    }

    // While the lock is released (without_gil), the thread state to take it
    // back with.
    PyThreadState* released = nullptr;

private:
    enum class Thread : uint8_t { Unknown, Main, Other };
    bool raised_ = false;
    Thread thread_ = Thread::Unknown;
    nv::Instant next_{};
};

}  // namespace nvpy
