// solve_portfolio: worker configurations read from Python mappings (the
// option names and parsing of options.hpp), the formulas converted (a
// sequence of clauses, or a ClauseDb whose clauses are copied out natively,
// without a Python object per clause), then the threaded race of
// src/portfolio with the interpreter lock released, within the call's
// limits and stopped by Ctrl-C (the wait for the first answer polls for
// signals).  A failed worker's exception reaches the caller as the Python
// exception it maps to (binding.hpp).
#include "../portfolio/portfolio.hpp"
#include "binding.hpp"
#include "duration.hpp"
#include "module.hpp"
#include "options.hpp"

namespace nvpy {
namespace {

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

// One worker's options, every key of the option table looked up in order
// (no defaults); the words are parsed later, once every worker is read.
RawOptions worker_config(PyObject* obj) {
    RawOptions w;
#define NV_FIELD(name, type, dflt, help) w.name = field(obj, #name, option_value<decltype(w.name)>);
    NV_SOLVER_OPTIONS(NV_FIELD)
#undef NV_FIELD
    return w;
}

// A formula argument: a ClauseDb's clauses, copied under a shared borrow, or
// a sequence of clauses converted.
nv::Cnf formula(PyObject* o) {
    ClauseDbView db(o);
    const nv::ClauseArena* arena = db.arena();
    if (!arena) return conv::clause_list(o);
    nv::Cnf cnf;
    cnf.lits.reserve(arena->num_lits());
    cnf.ends.reserve(arena->num_clauses());
    for (size_t i = 0; i < arena->num_clauses(); ++i) cnf.push(arena->clause(i));
    return cnf;
}

std::optional<nv::Cnf> opt_formula(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return formula(o);
}

std::vector<RawOptions> worker_configs(PyObject* o) {
    std::vector<RawOptions> v;
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
        nv::Cnf clauses = a.get(1, formula);
        std::vector<RawOptions> workers = a.get(2, worker_configs);
        std::optional<nv::Cnf> alt = a.get_or(3, opt_formula, std::optional<nv::Cnf>());
        uint64_t alt_threads = a.get_or(4, conv::u64, uint64_t{0});
        bool want_proof = a.get_or(5, conv::boolean, false);
        std::optional<uint64_t> max_conflicts = a.get_or(6, conv::opt_u64, std::optional<uint64_t>());
        std::optional<double> seconds = a.get_or(7, conv::opt_f64, std::optional<double>());

        std::vector<nv::Config> configs;
        configs.reserve(workers.size());
        for (const RawOptions& w : workers) configs.push_back(to_config(w));
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
