// A portfolio worker that runs out of memory reports std::bad_alloc (Python's MemoryError) instead of
// aborting: under an address-space cap, each worker exhausts the memory as it starts, then builds its
// solver.  Without the per-thread storage set up at worker start, the first throw would abort ("cannot
// allocate memory for thread-local data"); that storage is allocated lazily only for a library loaded at
// run time, so this test is a shared library that a Python process loads and runs through run_test().
// Under the sanitizer runtimes (far more address space reserved than any cap) it does nothing.
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "../../src/core/thread_storage.hpp"
#include "../../src/portfolio/portfolio.hpp"
#include "check.hpp"

using namespace nv;

namespace {

std::mutex held_lock;
std::vector<void*> held;  // capacity reserved before the cap
std::atomic<int> started{0};
std::atomic<bool> drained{false};

// The second worker to start takes every byte malloc can still give; the
// first waits for that, so both threads exist before memory runs out.
[[maybe_unused]] void exhaust_memory() {
    if (started.fetch_add(1) == 0) {
        while (!drained.load()) std::this_thread::yield();
        return;
    }
    std::lock_guard<std::mutex> g(held_lock);
    for (size_t size = size_t{1} << 26; size >= 16 && held.size() < held.capacity();) {
        void* p = std::malloc(size);
        if (p) {
            held.push_back(p);
        } else {
            size /= 2;
        }
    }
    drained.store(true);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int run_test() {
#if defined(__SANITIZE_ADDRESS__)
    return tl::finish("dl_worker_memory (skipped under the sanitizer)");
#else
    prime_thread_storage();
    const Cnf f = tl::cnf_of(tl::random_3sat(11, 300, 1200));
    held.reserve(size_t{1} << 20);
    uint64_t pages = 0;  // the address space in use
    std::ifstream("/proc/self/statm") >> pages;
    rlimit cap{};
    cap.rlim_cur = cap.rlim_max = pages * 4096 + (uint64_t{256} << 20);
    CHECK(setrlimit(RLIMIT_AS, &cap) == 0);

    testing::on_worker_start = exhaust_memory;
    bool no_memory = false;
    try {
        solve_portfolio(300, f, nullptr, {Config{}, Config{}}, 0, false);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    testing::on_worker_start = nullptr;
    for (void* p : held) std::free(p);
    CHECK(no_memory && drained.load());

    // Nothing is left behind: the next run answers.
    auto again = solve_portfolio(300, f, nullptr, {Config{}, Config{}}, 0, false);
    CHECK(again.has_value() && !again->unknown);
    return tl::finish("dl_worker_memory");
#endif
}
