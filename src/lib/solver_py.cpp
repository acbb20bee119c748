// Solver: the Python face of one CDCL search core (src/solver).  The
// constructor reads the search options into a Config; clauses arrive one at
// a time, as lists or from a ClauseDb in place; solve() runs with or
// without the interpreter lock, within its conflict budget and deadline,
// and is stopped by Ctrl-C (a SignalCheck) or by interrupt() from another
// thread; proofs are kept in memory or written to a file whose write errors
// surface as OSError.  Conversions and exception mapping are binding.hpp's.
#include <atomic>
#include <memory>

#include "../solver/solver.hpp"
#include "binding.hpp"
#include "duration.hpp"
#include "module.hpp"
#include "options.hpp"

namespace nvpy {
namespace {

using nv::Solver;

Solver& solver(PyObject* self) { return *box<Solver>(self)->native; }
AccessState& access(PyObject* self) { return box<Solver>(self)->access; }

constexpr FunctionDescription kNew("__new__", "Solver",
                                   {"nvars", "restart", "ccmin", "phase_saving", "init_phase", "target_phase",
                                    "target_reset", "walk_flips", "walk_interval", "walk_patience",
                                    "walk_min_conflicts", "var_decay", "var_decay_max", "cla_decay", "luby_base",
                                    "first_reduce", "reduce_inc", "glue_keep", "block_restart", "rnd_freq",
                                    "rnd_seed"},
                                   0);
constexpr FunctionDescription kAddClause("add_clause", "Solver", {"lits"}, 1);
constexpr FunctionDescription kAddClauses("add_clauses", "Solver", {"clauses"}, 1);
constexpr FunctionDescription kEnableProof("enable_proof", "Solver", {"path", "binary"}, 0);
constexpr FunctionDescription kSolve("solve", "Solver", {"max_conflicts", "seconds", "assumptions", "release_gil"},
                                     0);
constexpr FunctionDescription kPropagate("propagate", "Solver", {"assumptions"}, 1);

PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a(kNew);
        bind_tuple(a, args, kwargs);
        nv::Config c;
        uint32_t nvars = a.get_or(0, conv::u32, 0u);
        std::string restart = a.get_or(1, conv::str, std::string("luby"));
        std::string ccmin = a.get_or(2, conv::str, std::string("deep"));
        c.phase_saving = a.get_or(3, conv::boolean, c.phase_saving);
        c.init_phase = a.get_or(4, conv::boolean, c.init_phase);
        c.target_phase = a.get_or(5, conv::boolean, c.target_phase);
        c.target_reset = a.get_or(6, conv::u64, c.target_reset);
        c.walk_flips = a.get_or(7, conv::u64, c.walk_flips);
        c.walk_interval = a.get_or(8, conv::u64, c.walk_interval);
        c.walk_patience = a.get_or(9, conv::u64, c.walk_patience);
        c.walk_min_conflicts = a.get_or(10, conv::u64, c.walk_min_conflicts);
        c.var_decay = a.get_or(11, conv::f64, c.var_decay);
        c.var_decay_max = a.get_or(12, conv::f64, c.var_decay_max);
        c.cla_decay = a.get_or(13, conv::f64, c.cla_decay);
        c.luby_base = a.get_or(14, conv::f64, c.luby_base);
        c.first_reduce = a.get_or(15, conv::u64, c.first_reduce);
        c.reduce_inc = a.get_or(16, conv::u64, c.reduce_inc);
        c.glue_keep = a.get_or(17, conv::u32, c.glue_keep);
        c.block_restart = a.get_or(18, conv::boolean, c.block_restart);
        c.rnd_freq = a.get_or(19, conv::f64, c.rnd_freq);
        c.rnd_seed = a.get_or(20, conv::u32, c.rnd_seed);
        c.restart = parse_restart(restart);
        c.ccmin = parse_ccmin(ccmin);
        auto s = std::make_unique<Solver>(nvars, c);
        s->set_stop(std::make_shared<std::atomic<bool>>(false));  // raised by interrupt()
        return new_box(type, std::move(s));
    });
}

PyObject* solver_new_var(PyObject* self, PyObject*) {
    return guarded([&] {
        Exclusive lock(access(self));
        return out::u64(solver(self).new_var());
    });
}

PyObject* solver_enable_proof(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kEnableProof);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::optional<std::string> path = a.get_or(0, conv::opt_fs_path, std::optional<std::string>());
        bool binary = a.get_or(1, conv::boolean, false);
        Solver& s = solver(self);
        bool done = path ? s.enable_proof(*path, binary ? nv::ProofFormat::Binary : nv::ProofFormat::Text)
                         : s.enable_proof();
        if (!done) {
            raise(PyExc_ValueError,
                  "enable_proof() must be called before any clause is added: a proof that starts midway through "
                  "the formula is not a proof");
        }
        return out::none();
    });
}

PyObject* solver_proof_steps(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared lock(access(self));
        return out::proof_kind_pairs(solver(self).proof());
    });
}

PyObject* solver_add_clause(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kAddClause);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::vector<uint32_t> lits = a.get(0, conv::seq_u32);
        return out::boolean(solver(self).add_clause(lits.data(), lits.size()));
    });
}

// A ClauseDb is read in place; anything else is converted whole, so a bad
// clause anywhere is refused before the first one goes in.
PyObject* solver_add_clauses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kAddClauses);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        ClauseDbView db(a[0]);
        if (db.arena()) return out::u64(solver(self).add_clauses(*db.arena()));
        nv::Cnf clauses = a.get(0, conv::clause_list);
        return out::u64(solver(self).add_clauses(clauses));
    });
}

// The limits of one search, cleared however it ends.
struct LimitsScope {
    Solver& s;
    LimitsScope(Solver& sv, std::optional<nv::Instant> d, nv::Interrupt* hook) : s(sv) {
        s.set_deadline(d);
        s.set_interrupt(hook);
    }
    ~LimitsScope() {
        s.set_deadline(std::nullopt);
        s.set_interrupt(nullptr);
    }
};

PyObject* solver_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kSolve);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::optional<uint64_t> max_conflicts = a.get_or(0, conv::opt_u64, std::optional<uint64_t>());
        std::optional<double> seconds = a.get_or(1, conv::opt_f64, std::optional<double>());
        std::vector<uint32_t> assumptions;
        if (a.given(2) && a[2] != Py_None) assumptions = a.get(2, conv::seq_u32);
        bool release_gil = a.get_or(3, conv::boolean, false);
        std::optional<nv::Instant> deadline = deadline_in(seconds);
        Solver& s = solver(self);
        // A stop request made before this call is for an earlier search.
        // Other threads can call interrupt() only once the search runs:
        // until then this thread holds the interpreter lock.
        s.clear_stop();
        SignalCheck signals;
        nv::SolveResult r;
        {
            LimitsScope scope(s, deadline, &signals);
            if (release_gil) {
                r = without_gil([&] { return s.solve(max_conflicts, assumptions); }, &signals);
            } else {
                r = s.solve(max_conflicts, assumptions);
            }
        }
        signals.rethrow();
        if (r == nv::SolveResult::Sat) return out::boolean(true);
        if (r == nv::SolveResult::Unsat) return out::boolean(false);
        return out::none();
    });
}

// No access taken: callable from any thread while solve() runs.
PyObject* solver_interrupt(PyObject* self, PyObject*) {
    return guarded([&] {
        solver(self).request_stop();
        return out::none();
    });
}

PyObject* solver_core(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared lock(access(self));
        return out::list_u32(solver(self).core());
    });
}

PyObject* solver_propagate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kPropagate);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::vector<uint32_t> lits = a.get(0, conv::seq_u32);
        std::vector<uint32_t> implied;
        bool ok = solver(self).propagate(lits, implied);
        out::Tuple t(2);
        t.put(out::boolean(ok)).put(out::list_u32(implied));
        return t.release();
    });
}

PyObject* solver_check_watch_invariant(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared lock(access(self));
        return out::list_str(solver(self).check_watch_invariant());
    });
}

template <class F>
PyObject* read(PyObject* self, F&& f) {
    return guarded([&] {
        Shared lock(access(self));
        return f(solver(self));
    });
}

#define NV_STAT_GETTER(name) \
    PyObject* get_##name(PyObject* self, void*) { \
        return read(self, [](const Solver& s) { return out::u64(s.stats().name); }); \
    }
NV_STAT_GETTER(conflicts)
NV_STAT_GETTER(decisions)
NV_STAT_GETTER(propagations)
NV_STAT_GETTER(restarts)
NV_STAT_GETTER(learned)
NV_STAT_GETTER(minimized_lits)
NV_STAT_GETTER(reductions)
NV_STAT_GETTER(blocked_restarts)
NV_STAT_GETTER(learned_lits)
NV_STAT_GETTER(deleted)
NV_STAT_GETTER(max_trail)
#undef NV_STAT_GETTER

PyObject* get_model(PyObject* self, void*) {
    return read(self, [](const Solver& s) { return out::list_bool(s.model()); });
}
PyObject* get_nvars(PyObject* self, void*) {
    return read(self, [](const Solver& s) { return out::u64(s.nvars()); });
}
PyObject* get_ok(PyObject* self, void*) {
    return read(self, [](const Solver& s) { return out::boolean(s.ok()); });
}

PyObject* solver_repr(PyObject* self) {
    return read(self, [](const Solver& s) {
        return out::str("<native.Solver vars=" + std::to_string(s.nvars()) +
                        " conflicts=" + std::to_string(s.stats().conflicts) + ">");
    });
}

PyMethodDef methods[] = {
    {"new_var", NV_METH(solver_new_var), METH_NOARGS, "new_var($self)\n--\n\n"},
    {"enable_proof", NV_METH(solver_enable_proof), METH_FASTCALL | METH_KEYWORDS,
     "enable_proof($self, path=None, binary=False)\n--\n\nTurn on DRAT proof logging.  Must be called before any "
     "clause is added,\nsince a proof that starts midway through is not a proof.\n\n"
     "Without a path the proof is kept in memory, compactly encoded, and\nproof_steps() returns it.  With a path "
     "(str, bytes or os.PathLike) the\nfile is created or truncated and every step is written to it as it is\n"
     "made, as DRAT text or, with binary=True, binary DRAT; nothing is kept\nin memory and proof_steps() returns "
     "[].  The file is written out at the\nend of every add_clause, add_clauses and solve call and closed when "
     "the\nsolver is released.  A file that cannot be opened raises OSError and\nchanges nothing; a failed write "
     "raises OSError from the call that hit\nit and from every later add_clause, add_clauses or solve call."},
    {"proof_steps", NV_METH(solver_proof_steps), METH_NOARGS,
     "proof_steps($self)\n--\n\nThe recorded proof as (kind, dimacs_literals) pairs, kind in {\"a\",\"d\"}."},
    {"add_clause", NV_METH(solver_add_clause), METH_FASTCALL | METH_KEYWORDS, "add_clause($self, lits)\n--\n\n"},
    {"add_clauses", NV_METH(solver_add_clauses), METH_FASTCALL | METH_KEYWORDS,
     "add_clauses($self, clauses)\n--\n\nAdd many clauses: a sequence of clauses of internal literals, or a "
     "ClauseDb\n(read natively, no Python objects made).  The same as add_clause on each\nclause in order, except "
     "that every clause is converted and room is made\nfor all of them first: bad input anywhere changes nothing.  "
     "Returns the\nnumber of clauses kept, that is, not dropped as tautologies, as already\nsatisfied, or for "
     "arriving once the formula is unsatisfiable."},
    {"solve", NV_METH(solver_solve), METH_FASTCALL | METH_KEYWORDS,
     "solve($self, max_conflicts=None, seconds=None, assumptions=None, release_gil=False)\n--\n\n"
     "Search for a model: True (see `model`), False (unsatisfiable) or None (a limit ran out, or\n"
     "interrupt() was called).\n\n"
     "`seconds` is a finite number of seconds, 0 or more; the call returns within about 0.1 s of\n"
     "it.  With release_gil=True the search runs with the interpreter lock released: other Python\n"
     "threads run meanwhile, and their calls on this solver raise RuntimeError until it returns.\n"
     "Ctrl-C raises KeyboardInterrupt within a fraction of a second; the solver stays usable.\n\n"
     "`assumptions` are literals decided first, one decision level each, in the given order;\n"
     "restarts keep them.  With assumptions, True means a model that makes every one of them\n"
     "true, and False that the formula and the assumptions have no common model: `ok` stays\n"
     "True, `core()` names the failed assumptions, and a proof records the clause of their\n"
     "negations.  A literal over a variable the solver lacks creates it."},
    {"interrupt", NV_METH(solver_interrupt), METH_NOARGS,
     "interrupt($self)\n--\n\n"
     "Ask a running solve() to stop: it returns None at its next check, within milliseconds.\n"
     "Safe to call from any thread (or a signal handler) while solve() runs; a request made while\n"
     "no search runs is dropped when the next solve() starts."},
    {"core", NV_METH(solver_core), METH_NOARGS,
     "core($self)\n--\n\n"
     "The failed assumptions of the last solve: after False under assumptions, a subset of them,\n"
     "in the order given, with which the formula alone is unsatisfiable.  Empty after True or\n"
     "None, and when the formula itself is unsatisfiable."},
    {"propagate", NV_METH(solver_propagate), METH_FASTCALL | METH_KEYWORDS,
     "propagate($self, assumptions)\n--\n\n"
     "Unit propagation of `assumptions` on top of level 0, without search: (ok, implied).\n\n"
     "The assumptions are made true in order, each followed by what it implies through the clauses\n"
     "given and learned; `implied` lists every literal this made true (assumptions included, each\n"
     "once) in that order, and `ok` is False when a conflict was met, `implied` then ending where it\n"
     "stopped.  Literals already true at level 0 are not listed.  Nothing else changes: no variable\n"
     "is created, and statistics, phases, variable order and proof stay as they were, so later\n"
     "searches are the same as without the call (a solver left at a model is first backtracked, as\n"
     "add_clause does)."},
    {"check_watch_invariant", NV_METH(solver_check_watch_invariant), METH_NOARGS,
     "check_watch_invariant($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#define NV_GETSET(name) {#name, get_##name, nullptr, nullptr, nullptr}
PyGetSetDef getset[] = {
    NV_GETSET(model),        NV_GETSET(nvars),          NV_GETSET(ok),
    NV_GETSET(conflicts),    NV_GETSET(decisions),      NV_GETSET(propagations),
    NV_GETSET(restarts),     NV_GETSET(learned),        NV_GETSET(minimized_lits),
    NV_GETSET(reductions),   NV_GETSET(blocked_restarts), NV_GETSET(learned_lits),
    NV_GETSET(deleted),      NV_GETSET(max_trail),      {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef NV_GETSET

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<Solver>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_box)},
    {Py_tp_repr, reinterpret_cast<void*>(solver_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc,
     const_cast<char*>(
         "Solver(nvars=0, restart=\"luby\", ccmin=\"deep\", phase_saving=True, init_phase=False, target_phase=True, "
         "target_reset=0, walk_flips=20000, walk_interval=1, walk_patience=3, walk_min_conflicts=5000, "
         "var_decay=0.8, var_decay_max=0.95, cla_decay=0.999, luby_base=100.0, first_reduce=2000, "
         "reduce_inc=300, glue_keep=2, block_restart=True, rnd_freq=0.0, rnd_seed=91648253)\n--\n\n"
         "The native CDCL search core (Sprint 2).\n\nDeliberately mirrors `norvane.solver.Solver` so the two can be "
         "compared\nbit-for-bit while the port is intentionally faithful.")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "builtins.Solver",
    static_cast<int>(sizeof(Box<Solver>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

PyObject* cache = nullptr;

}  // namespace

PyObject* solver_type() { return cached_type(cache, type_spec); }

}  // namespace nvpy
