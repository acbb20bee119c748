// solve_portfolio: worker configurations read from Python mappings (the
// option names and parsing of options.hpp), the formulas converted, then
// the threaded race of src/portfolio with the interpreter lock released,
// within the call's limits and stopped by Ctrl-C (the wait for the first
// answer polls for signals).  A failed worker's exception reaches the
// caller as the Python exception it maps to (binding.hpp).
#include "../portfolio/portfolio.hpp"
#include "binding.hpp"
#include "duration.hpp"
#include "module.hpp"
#include "options.hpp"

namespace nvpy {
namespace {

// One worker's options as read from its mapping, before the option strings
// are parsed.
struct WorkerConfig {
    std::string restart;
    std::string ccmin;
    nv::Config rest;  // every field but restart and ccmin

    nv::Config to_config() const {
        nv::Config c = rest;
        c.restart = parse_restart(restart);
        c.ccmin = parse_ccmin(ccmin);
        return c;
    }
};

// obj[key], converted with `conv`.  A failed lookup propagates unchanged; a
// failed conversion becomes TypeError "failed to extract field
// WorkerConfig.<key>" caused by the conversion's own exception.
template <class Conv>
auto field(PyObject* obj, const char* key, Conv&& convert) -> decltype(convert(obj)) {
    Ref k = check(PyUnicode_FromString(key));
    Ref value = check(PyObject_GetItem(obj, k.get()));
    try {
        return convert(value.get());
    } catch (const PyErrSet&) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyObject *type = nullptr, *cause = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &cause, &tb);
        PyErr_NormalizeException(&type, &cause, &tb);
        if (cause && tb) PyException_SetTraceback(cause, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
#pragma GCC diagnostic pop
        std::string msg = std::string("failed to extract field WorkerConfig.") + key;
        PyObject* err = PyObject_CallFunction(PyExc_TypeError, "s", msg.c_str());
        if (!err) {
            Py_XDECREF(cause);
            throw;
        }
        PyException_SetCause(err, cause);  // steals cause
        PyErr_SetObject(PyExc_TypeError, err);
        Py_DECREF(err);
        throw;
    }
}

WorkerConfig worker_config(PyObject* obj) {
    WorkerConfig w;
    nv::Config& c = w.rest;
    w.restart = field(obj, "restart", conv::str);
    w.ccmin = field(obj, "ccmin", conv::str);
    c.phase_saving = field(obj, "phase_saving", conv::boolean);
    c.init_phase = field(obj, "init_phase", conv::boolean);
    c.target_phase = field(obj, "target_phase", conv::boolean);
    c.target_reset = field(obj, "target_reset", conv::u64);
    c.walk_flips = field(obj, "walk_flips", conv::u64);
    c.walk_interval = field(obj, "walk_interval", conv::u64);
    c.walk_patience = field(obj, "walk_patience", conv::u64);
    c.walk_min_conflicts = field(obj, "walk_min_conflicts", conv::u64);
    c.var_decay = field(obj, "var_decay", conv::f64);
    c.var_decay_max = field(obj, "var_decay_max", conv::f64);
    c.cla_decay = field(obj, "cla_decay", conv::f64);
    c.luby_base = field(obj, "luby_base", conv::f64);
    c.first_reduce = field(obj, "first_reduce", conv::u64);
    c.reduce_inc = field(obj, "reduce_inc", conv::u64);
    c.glue_keep = field(obj, "glue_keep", conv::u32);
    c.block_restart = field(obj, "block_restart", conv::boolean);
    c.rnd_freq = field(obj, "rnd_freq", conv::f64);
    c.rnd_seed = field(obj, "rnd_seed", conv::u32);
    return w;
}

std::vector<WorkerConfig> worker_configs(PyObject* o) {
    std::vector<WorkerConfig> v;
    conv::walk(o, [&](size_t n) { v.reserve(n); }, [&](PyObject* x) { v.push_back(worker_config(x)); });
    return v;
}

constexpr FunctionDescription kPortfolio("solve_portfolio", nullptr,
                                         {"nvars", "clauses", "configs", "alt", "alt_threads", "want_proof",
                                          "max_conflicts", "seconds"},
                                         3);

PyObject* py_solve_portfolio(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    // `seconds` bounds the whole call, the conversion of the arguments too.
    nv::Instant start = nv::Instant::now();
    return guarded([&] {
        Args a(kPortfolio);
        bind_fast(a, args, nargs, kw);
        uint32_t nvars = a.get(0, conv::u32);
        nv::Cnf clauses = a.get(1, conv::clause_list);
        std::vector<WorkerConfig> workers = a.get(2, worker_configs);
        std::optional<nv::Cnf> alt = a.get_or(3, conv::opt_clause_list, std::optional<nv::Cnf>());
        uint64_t alt_threads = a.get_or(4, conv::u64, uint64_t{0});
        bool want_proof = a.get_or(5, conv::boolean, false);
        std::optional<uint64_t> max_conflicts = a.get_or(6, conv::opt_u64, std::optional<uint64_t>());
        std::optional<double> seconds = a.get_or(7, conv::opt_f64, std::optional<double>());

        std::vector<nv::Config> configs;
        configs.reserve(workers.size());
        for (const WorkerConfig& w : workers) configs.push_back(w.to_config());
        workers.clear();

        SignalCheck signals;
        nv::RunLimits limits{max_conflicts, deadline_in(seconds, start), &signals};
        std::optional<nv::PortfolioOutcome> outcome = without_gil(
            [&] {
                return nv::solve_portfolio(nvars, clauses, alt ? &*alt : nullptr, configs, alt_threads, want_proof,
                                           limits);
            },
            &signals);
        signals.rethrow();
        if (!outcome) return out::none();

        // Without an answer: worker -1, formula 0, sat None, no model, the
        // counters added up over every worker, no proof.
        const nv::PortfolioOutcome& o = *outcome;
        out::Tuple t(9);
        if (o.unknown) {
            t.put(out::i64(-1)).put(out::u64(0)).put(out::none()).put(out::list_bool({}));
        } else {
            t.put(out::u64(o.worker)).put(out::u64(o.formula)).put(out::boolean(o.sat)).put(out::list_bool(o.model));
        }
        t.put(out::u64(o.stats.conflicts)).put(out::u64(o.stats.decisions));
        t.put(out::u64(o.stats.propagations)).put(out::u64(o.stats.restarts));
        t.put(out::proof_flag_pairs(o.proof));
        return t.release();
    });
}

}  // namespace

PyMethodDef solve_portfolio_def = {
    "solve_portfolio", NV_METH(py_solve_portfolio), METH_FASTCALL | METH_KEYWORDS,
    "solve_portfolio(nvars, clauses, configs, alt=None, alt_threads=0, want_proof=False, max_conflicts=None, "
    "seconds=None)\n--\n\n"
    "Run a threaded portfolio over one formula and return the first answer.\n\n"
    "Releases the GIL for the duration: without that the Python interpreter lock\n"
    "would be held across the whole solve and the threads would serialise, which\n"
    "would make the entire exercise pointless."};

}  // namespace nvpy
