// The race of a portfolio: worker threads (pthreads, for a stack size of our
// choosing and a start failure reported as an error code), one channel on
// which the first answer arrives, a shared stop flag, and the calling
// thread's wait.  A worker that throws keeps its exception, which the
// calling thread raises again once every worker has ended; a worker that
// ends without an answer leaves its counters for the total of a run without
// one.  Each worker builds and runs its solver through run_one; the search
// itself is src/solver's, the channel is channel.hpp's.
#include "portfolio.hpp"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "../core/errors.hpp"
#include "../core/thread_storage.hpp"
#include "channel.hpp"

namespace nv {

namespace testing {
int fail_spawn_at = -1;
void (*on_worker_start)() = nullptr;
}  // namespace testing

namespace {

// Loading looks at the limits once per this many literals.
constexpr uint64_t kLoadPollEvery = uint64_t{1} << 16;

// The calling thread's wait for the first answer, in slices.
constexpr std::chrono::milliseconds kWaitSlice{5};

constexpr size_t kNoFault = SIZE_MAX;

bool limits_hit(const StopFlag& stop, const RunLimits& limits) noexcept {
    return (stop && stop->load(std::memory_order_relaxed)) ||
           (limits.deadline.has_value() && *limits.deadline <= Instant::now()) ||
           (limits.interrupt && limits.interrupt->pending());
}

PortfolioOutcome no_answer(const Stats& total) {
    PortfolioOutcome o;
    o.worker = NO_WORKER;
    o.stats = total;
    o.unknown = true;
    return o;
}

}  // namespace

PortfolioOutcome run_one(uint64_t worker, uint32_t nvars, const Cnf& formula, const Config& config,
                         const StopFlag& stop, bool want_proof, const RunLimits& limits) {
    Solver s(nvars, config);
    if (stop) s.set_stop(stop);
    if (want_proof) s.enable_proof();
    s.set_deadline(limits.deadline);
    s.set_interrupt(limits.interrupt);
    bool ok = true, halted = false;
    uint64_t loaded = 0;
    for (size_t i = 0; i < formula.size() && ok; ++i) {
        auto c = formula[i];
        loaded += c.size() + 1;
        if (loaded >= kLoadPollEvery) {
            loaded = 0;
            if (limits_hit(stop, limits)) {
                halted = true;
                break;
            }
        }
        ok = s.add_clause(c.data(), c.size());
    }
    SolveResult r = halted ? SolveResult::Unknown : ok ? s.solve(limits.max_conflicts) : SolveResult::Unsat;
    PortfolioOutcome o;
    o.worker = worker;
    o.stats = s.stats();
    if (r == SolveResult::Sat) {
        o.sat = true;
        o.model = s.take_model();
    } else if (r == SolveResult::Unsat && want_proof) {
        o.proof = s.take_proof();
    } else if (r == SolveResult::Unknown) {
        o.unknown = true;
    }
    return o;
}

namespace {

struct Race {
    uint32_t nvars;
    const Cnf& main;
    const Cnf* alt;
    const std::vector<Config>& configs;
    size_t first_alt;  // workers from here on solve the alternative formula
    bool want_proof;
    RunLimits limits;  // without the hook: workers never touch it
    StopFlag stop;
    Channel<PortfolioOutcome> chan;
    // A failed worker's exception, kept to be raised again on the calling
    // thread; the first worker to fail is the one reported.
    std::unique_ptr<std::exception_ptr[]> faults;
    std::atomic<size_t> first_fault{kNoFault};
    std::unique_ptr<Stats[]> spent;  // each worker's counters when it sent nothing

    Race(uint32_t n, const Cnf& m, const Cnf* a, const std::vector<Config>& c, size_t fa, bool wp,
         const RunLimits& l)
        : nvars(n), main(m), alt(a), configs(c), first_alt(fa), want_proof(wp),
          limits{l.max_conflicts, l.deadline, nullptr}, stop(std::make_shared<std::atomic<bool>>(false)),
          chan(c.size() + 1), faults(new std::exception_ptr[c.size()]), spent(new Stats[c.size()]) {}

    void work(size_t i) {
        prime_thread_storage();
        try {
            if (testing::on_worker_start) testing::on_worker_start();
            bool on_alt = i >= first_alt;
            PortfolioOutcome o = run_one(i, nvars, on_alt ? *alt : main, configs[i], stop, want_proof, limits);
            o.formula = on_alt ? 1 : 0;
            // A plain read then a plain write: two workers finishing together
            // may both send; the receiver takes whichever arrived first.
            if (!o.unknown && !stop->load(std::memory_order_relaxed)) {
                stop->store(true, std::memory_order_relaxed);
                chan.send(std::move(o));
            } else {
                spent[i] = o.stats;
            }
        } catch (...) {
            // The run fails whatever the others find: stop them now.  Taking
            // the exception allocates nothing, so this works when memory ran out.
            faults[i] = std::current_exception();
            size_t none = kNoFault;
            first_fault.compare_exchange_strong(none, i);
            stop->store(true, std::memory_order_relaxed);
        }
        chan.drop_sender();
    }
};

struct WorkerArg {
    Race* race;
    size_t index;
};

void* worker_main(void* p) {
    std::unique_ptr<WorkerArg> arg(static_cast<WorkerArg*>(p));
    arg->race->work(arg->index);
    return nullptr;
}

constexpr size_t kWorkerStack = size_t{2} << 20;

// Starts one worker thread with a 2 MiB stack; returns 0 or an errno value.
int spawn(pthread_t& t, Race& race, size_t i) {
    if (testing::fail_spawn_at >= 0 && static_cast<size_t>(testing::fail_spawn_at) == i) return EAGAIN;
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_attr_setstacksize(&attr, kWorkerStack);
    WorkerArg* arg = nullptr;
    if (rc == 0) {
        arg = new (std::nothrow) WorkerArg{&race, i};
        if (!arg) rc = ENOMEM;
    }
    if (rc == 0) {
        rc = pthread_create(&t, &attr, worker_main, arg);
        if (rc != 0) delete arg;
    }
    pthread_attr_destroy(&attr);
    return rc;
}

}  // namespace

std::optional<PortfolioOutcome> solve_portfolio(uint32_t nvars, const Cnf& main, const Cnf* alt,
                                                const std::vector<Config>& configs, uint64_t alt_threads,
                                                bool want_proof, const RunLimits& limits) {
    const size_t n = configs.size();
    if (n == 0) return std::nullopt;
    const uint64_t k = alt ? (alt_threads < n ? alt_threads : n) : 0;
    if (n == 1) {
        bool on_alt = k >= 1;
        PortfolioOutcome o = run_one(0, nvars, on_alt ? *alt : main, configs[0], StopFlag(), want_proof, limits);
        if (o.unknown) return no_answer(o.stats);
        o.formula = on_alt ? 1 : 0;
        return o;
    }

    Race race(nvars, main, alt, configs, static_cast<size_t>(n - k), want_proof, limits);
    std::vector<pthread_t> threads;
    threads.reserve(n);
    int spawn_error = 0;
    for (size_t i = 0; i < n; ++i) {
        pthread_t t;
        int rc = spawn(t, race, i);
        if (rc != 0) {
            spawn_error = rc;
            // Workers that will never exist give up their sending ends, and
            // those already running are stopped.
            for (size_t j = i; j < n; ++j) race.chan.drop_sender();
            race.stop->store(true, std::memory_order_relaxed);
            break;
        }
        threads.push_back(t);
    }
    race.chan.drop_sender();  // the calling thread's own end

    std::optional<PortfolioOutcome> first;
    if (spawn_error == 0) {
        if (!limits.interrupt && !limits.deadline) {
            first = race.chan.recv();
        } else {
            for (;;) {
                bool timed_out = false;
                first = race.chan.recv_for(kWaitSlice, timed_out);
                if (!timed_out) break;
                if (limits.interrupt && limits.interrupt->pending()) {
                    race.stop->store(true, std::memory_order_relaxed);
                    break;
                }
                // Past the deadline the workers are stopped and the wait goes
                // on until they have all ended (an answer sent before that
                // still wins).
                if (limits.deadline && *limits.deadline <= Instant::now()) {
                    race.stop->store(true, std::memory_order_relaxed);
                }
            }
        }
    }
    for (pthread_t t : threads) pthread_join(t, nullptr);

    if (spawn_error != 0) {
        throw Panic(std::string("failed to spawn thread: ") + std::strerror(spawn_error) + " (os error " +
                    std::to_string(spawn_error) + ")");
    }
    // Every worker has been joined: its exception is safe to read here.
    const size_t failed = race.first_fault.load();
    if (failed != kNoFault) std::rethrow_exception(race.faults[failed]);
    if (first) return first;
    Stats total;
    for (size_t i = 0; i < n; ++i) add_up(total, race.spent[i]);
    return no_answer(total);
}

}  // namespace nv
