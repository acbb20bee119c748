// Solver: the Python face of one CDCL search core (src/solver).  The
// constructor reads the search options into a Config; clauses arrive one at
// a time, as lists or from a ClauseDb in place; solve() runs with or
// without the interpreter lock, within its conflict budget and deadline,
// and is stopped by Ctrl-C (a SignalCheck) or by interrupt() from another
// thread; proofs are kept in memory or written to a file whose write errors
// surface as OSError.  Conversions and exception mapping are binding.hpp's.
#include <atomic>
#include <memory>
#include <new>
#include <string>

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

// The constructor's parameters: nvars, then every option in table order.
#define NV_OPTION_NAME(name, type, dflt, help) , #name
constexpr const char* kNewParams[] = {"nvars" NV_SOLVER_OPTIONS(NV_OPTION_NAME)};
#undef NV_OPTION_NAME
constexpr FunctionDescription kNew("__new__", "Solver", kNewParams, 0);
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
        uint32_t nvars = a.get_or(0, conv::u32, 0u);
        // Every value is converted before any word is parsed.
        RawOptions raw = raw_defaults();
        size_t i = 1;
#define NV_READ(name, type, dflt, help) \
    raw.name = a.get_or(i++, option_value<decltype(raw.name)>, raw.name);
        NV_SOLVER_OPTIONS(NV_READ)
#undef NV_READ
        nv::Config c = to_config(raw);
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

#define NV_STAT_GETTER(name, combine) \
    PyObject* get_##name(PyObject* self, void*) { \
        return read(self, [](const Solver& s) { return out::u64(s.stats().name); }); \
    }
NV_SOLVER_COUNTERS(NV_STAT_GETTER)
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

#define NV_GETSET(name) {#name, get_##name, nullptr, nullptr, nullptr},
#define NV_COUNTER_GETSET(name, combine) NV_GETSET(name)
PyGetSetDef getset[] = {
    NV_GETSET(model) NV_GETSET(nvars) NV_GETSET(ok)
    NV_SOLVER_COUNTERS(NV_COUNTER_GETSET)
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef NV_COUNTER_GETSET
#undef NV_GETSET

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(solver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<Solver>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_box)},
    {Py_tp_repr, reinterpret_cast<void*>(solver_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, nullptr},  // solver_doc(), set by solver_type()
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

// The class docstring: the text signature, generated from the option table,
// then the description.
std::string solver_doc() {
    return "Solver(nvars=0, " + options_signature() +
           ")\n--\n\n"
           "The native CDCL search core (Sprint 2).\n\nDeliberately mirrors `norvane.solver.Solver` so the two can be "
           "compared\nbit-for-bit while the port is intentionally faithful.";
}

}  // namespace

PyObject* solver_type() {
    // The type copies its docstring; the text only has to live until then.
    if (!cache) {
        std::string doc;
        try {
            doc = solver_doc();
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        for (PyType_Slot* slot = slots; slot->slot; ++slot) {
            if (slot->slot == Py_tp_doc) slot->pfunc = doc.data();
        }
        PyObject* type = cached_type(cache, type_spec);
        for (PyType_Slot* slot = slots; slot->slot; ++slot) {
            if (slot->slot == Py_tp_doc) slot->pfunc = nullptr;
        }
        return type;
    }
    return cached_type(cache, type_spec);
}

PyObject* counters_table() {
    constexpr Py_ssize_t n = 0
#define NV_COUNT(name, combine) +1
        NV_SOLVER_COUNTERS(NV_COUNT);
#undef NV_COUNT
    out::Tuple t(n);
#define NV_NAME(name, combine) t.put(out::str(#name));
    NV_SOLVER_COUNTERS(NV_NAME)
#undef NV_NAME
    return t.release();
}

}  // namespace nvpy
