// Per-thread storage of the C++ runtime, set up before memory can run out.
//
// Throwing an exception needs the runtime's per-thread exception record,
// which the loader allocates on the thread's first use of it (the runtime
// library is loaded along with this module, after the process started).
// If that first use is a std::bad_alloc thrown when memory is exhausted, the
// allocation fails and the process is aborted instead of the exception being
// raised.  Every thread that runs our code therefore touches that record
// first: each Python entry (cheap after the first time on a thread) and each
// portfolio worker as it starts.  The module has no thread_local of its own.
#pragma once

#include <exception>

namespace nv {

// The call reads that record.  The library declares it pure, so its result
// goes to a volatile: a discarded result would let the call be dropped.
inline void prime_thread_storage() noexcept {
    volatile int in_flight = std::uncaught_exceptions();
    (void)in_flight;
}

}  // namespace nv
