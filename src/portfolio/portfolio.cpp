#include "portfolio.hpp"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "../core/errors.hpp"
#include "channel.hpp"

namespace nv {

namespace testing {
int fail_spawn_at = -1;
}

PortfolioOutcome run_one(uint64_t worker, uint32_t nvars, const Cnf& formula, const Config& config,
                         const StopFlag& stop, bool want_proof) {
    Solver s(nvars, config);
    if (stop) s.set_stop(stop);
    if (want_proof) s.enable_proof();
    bool ok = true;
    for (size_t i = 0; i < formula.size() && ok; ++i) {
        auto c = formula[i];
        ok = s.add_clause(c.data(), c.size());
    }
    SolveResult r = ok ? s.solve(std::nullopt) : SolveResult::Unsat;
    PortfolioOutcome o;
    o.worker = worker;
    o.stats = s.stats();
    if (r == SolveResult::Sat) {
        o.sat = true;
        o.model = s.take_model();
    } else if (r == SolveResult::Unsat && want_proof) {
        o.proof = s.take_proof();
    }
    return o;
}

namespace {

enum class Fault : uint8_t { None, Panic, NoMemory };

struct Race {
    uint32_t nvars;
    const Cnf& main;
    const Cnf* alt;
    const std::vector<Config>& configs;
    size_t first_alt;  // workers from here on solve the alternative formula
    bool want_proof;
    StopFlag stop;
    Channel<PortfolioOutcome> chan;
    std::unique_ptr<std::atomic<Fault>[]> faults;

    Race(uint32_t n, const Cnf& m, const Cnf* a, const std::vector<Config>& c, size_t fa, bool wp)
        : nvars(n), main(m), alt(a), configs(c), first_alt(fa), want_proof(wp),
          stop(std::make_shared<std::atomic<bool>>(false)), chan(c.size() + 1),
          faults(new std::atomic<Fault>[c.size()]) {
        for (size_t i = 0; i < c.size(); ++i) faults[i].store(Fault::None);
    }

    void work(size_t i) {
        try {
            bool on_alt = i >= first_alt;
            PortfolioOutcome o = run_one(i, nvars, on_alt ? *alt : main, configs[i], stop, want_proof);
            o.formula = on_alt ? 1 : 0;
            // A plain read then a plain write: two workers finishing together
            // may both send; the receiver takes whichever arrived first.
            if (!stop->load(std::memory_order_relaxed)) {
                stop->store(true, std::memory_order_relaxed);
                chan.send(std::move(o));
            }
        } catch (const std::bad_alloc&) {
            faults[i].store(Fault::NoMemory);
        } catch (const std::length_error&) {
            faults[i].store(Fault::NoMemory);
        } catch (...) {
            faults[i].store(Fault::Panic);
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
                                                bool want_proof) {
    const size_t n = configs.size();
    if (n == 0) return std::nullopt;
    const uint64_t k = alt ? (alt_threads < n ? alt_threads : n) : 0;
    if (n == 1) {
        bool on_alt = k >= 1;
        PortfolioOutcome o = run_one(0, nvars, on_alt ? *alt : main, configs[0], StopFlag(), want_proof);
        o.formula = on_alt ? 1 : 0;
        return o;
    }

    Race race(nvars, main, alt, configs, static_cast<size_t>(n - k), want_proof);
    std::vector<pthread_t> threads;
    threads.reserve(n);
    int spawn_error = 0;
    for (size_t i = 0; i < n; ++i) {
        pthread_t t;
        int rc = spawn(t, race, i);
        if (rc != 0) {
            spawn_error = rc;
            // Workers that will never exist give up their sending ends.
            for (size_t j = i; j < n; ++j) race.chan.drop_sender();
            break;
        }
        threads.push_back(t);
    }
    race.chan.drop_sender();  // the calling thread's own end

    std::optional<PortfolioOutcome> first;
    if (spawn_error == 0) first = race.chan.recv();
    for (pthread_t t : threads) pthread_join(t, nullptr);

    if (spawn_error != 0) {
        throw Panic(std::string("failed to spawn thread: ") + std::strerror(spawn_error) + " (os error " +
                    std::to_string(spawn_error) + ")");
    }
    bool panicked = false, no_memory = false;
    for (size_t i = 0; i < n; ++i) {
        Fault f = race.faults[i].load();
        panicked |= f == Fault::Panic;
        no_memory |= f == Fault::NoMemory;
    }
    if (panicked) throw Panic("a scoped thread panicked");
    if (no_memory) throw std::bad_alloc();
    return first;
}

}  // namespace nv
