// Preprocessor: the Python face of the formula simplifier
// (src/preprocess).  Arguments are converted here, before the native object
// is touched, so a bad argument changes nothing.  run() keeps the
// interpreter lock and hands the native rounds a SignalCheck, so Ctrl-C
// stops it; a proof sent to a file is flushed at the end of every call that
// logged something, and a failed write surfaces there as OSError.
#include <memory>

#include "../preprocess/preprocessor.hpp"
#include "binding.hpp"
#include "module.hpp"
#include "signals.hpp"

namespace nvpy {
namespace {

using nv::Preprocessor;

Preprocessor& pre(PyObject* self) { return *box<Preprocessor>(self)->native; }
AccessState& access(PyObject* self) { return box<Preprocessor>(self)->access; }

constexpr FunctionDescription kNew("__new__", "Preprocessor",
                                   {"nvars", "do_bve", "max_resolvent_len", "with_proof", "proof_path", "proof_binary"},
                                   0);
constexpr FunctionDescription kFreeze("freeze", "Preprocessor", {"v"}, 1);
constexpr FunctionDescription kAddClause("add_clause", "Preprocessor", {"lits"}, 1);
constexpr FunctionDescription kAddClauses("add_clauses", "Preprocessor", {"clauses"}, 1);
constexpr FunctionDescription kRun("run", "Preprocessor", {"rounds"}, 0);
constexpr FunctionDescription kReconstruct("reconstruct", "Preprocessor", {"model"}, 1);

// Surfaces a failed write of a file log; `before` is the step count when
// the call began (nothing to do when the call logged nothing).
void flush_if_logged(Preprocessor& p, size_t before) {
    if (p.proof().to_file() && p.proof().num_steps() != before) p.flush_proof();
}

PyObject* pre_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a(kNew);
        bind_tuple(a, args, kwargs);
        uint32_t nvars = a.get_or(0, conv::u32, 0u);
        bool do_bve = a.get_or(1, conv::boolean, true);
        uint64_t max_len = a.get_or(2, conv::u64, uint64_t{20});
        bool with_proof = a.get_or(3, conv::boolean, false);
        std::optional<std::string> path;
        if (a.given(4) && a[4] != Py_None) path = a.get(4, conv::fs_path);
        bool binary = a.get_or(5, conv::boolean, false);
        auto native = std::make_unique<Preprocessor>(nvars, do_bve, max_len, with_proof);
        if (path) native->log_to_file(*path, binary ? nv::ProofFormat::Binary : nv::ProofFormat::Text);
        return new_box(type, std::move(native));
    });
}

PyObject* pre_freeze(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kFreeze);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        uint32_t v = a.get(0, conv::u32);
        const size_t before = pre(self).proof().num_steps();
        pre(self).freeze(v);
        flush_if_logged(pre(self), before);
        return out::none();
    });
}

PyObject* pre_add_clause(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kAddClause);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::vector<uint32_t> lits = a.get(0, conv::seq_u32);
        const size_t before = pre(self).proof().num_steps();
        pre(self).add_clause(lits.data(), lits.size());
        flush_if_logged(pre(self), before);
        return out::none();
    });
}

// Clauses from a ClauseDb are read in place under a shared borrow of it;
// anything else is converted as a clause list first, so that bad input
// raises before anything is stored.
PyObject* pre_add_clauses(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kAddClauses);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        Preprocessor& p = pre(self);
        const size_t before = p.proof().num_steps();
        size_t stored = 0;
        ClauseDbView view(a[0]);
        if (const nv::ClauseArena* db = view.arena()) {
            stored = p.add_clauses(db->num_clauses(), [db](size_t i) { return db->clause(i); });
        } else {
            nv::Cnf cnf = a.get(0, conv::clause_list);
            stored = p.add_clauses(cnf.size(), [&cnf](size_t i) { return cnf[i]; });
        }
        flush_if_logged(p, before);
        return out::u64(stored);
    });
}

PyObject* pre_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kRun);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        uint32_t rounds = a.get_or(0, conv::u32, 3u);
        SignalCheck signals;
        const bool ok = pre(self).run(rounds, &signals);
        if (signals.raised()) {
            // The interruption wins; a failed write shows again at the next flush.
            try {
                pre(self).flush_proof();
            } catch (const nv::IoError&) {
            }
            signals.rethrow();
        }
        pre(self).flush_proof();
        return out::boolean(ok);
    });
}

PyObject* pre_reduced(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared lock(access(self));
        nv::Cnf cnf = pre(self).reduced();
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(cnf.size())));
        for (size_t i = 0; i < cnf.size(); ++i) {
            PyObject* c = out::list_u32(cnf[i]);
            if (!c) throw_py();
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), c);
        }
        return list.release();
    });
}

PyObject* pre_reconstruct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kReconstruct);
        bind_fast(a, args, nargs, kw);
        Shared lock(access(self));
        std::vector<bool> model = a.get(0, conv::seq_bool);
        return out::list_bool(pre(self).reconstruct(model));
    });
}

PyObject* pre_proof_steps(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared lock(access(self));
        return out::proof_kind_pairs(pre(self).proof());
    });
}

template <class F>
PyObject* read(PyObject* self, F&& f) {
    return guarded([&] {
        Shared lock(access(self));
        return f(pre(self));
    });
}

#define NV_COUNTER(name) \
    PyObject* get_##name(PyObject* self, void*) { \
        return read(self, [](const Preprocessor& p) { return out::u64(p.stats().name); }); \
    }
NV_COUNTER(units)
NV_COUNTER(subsumed)
NV_COUNTER(strengthened)
NV_COUNTER(eliminated_vars)
NV_COUNTER(resolvents)
NV_COUNTER(pure)
NV_COUNTER(reactivated)
#undef NV_COUNTER

PyObject* get_nvars(PyObject* self, void*) {
    return read(self, [](const Preprocessor& p) { return out::u64(p.nvars()); });
}

PyObject* get_unsat(PyObject* self, void*) {
    return read(self, [](const Preprocessor& p) { return out::boolean(p.unsat()); });
}

PyObject* pre_repr(PyObject* self) {
    return read(self, [](const Preprocessor& p) {
        return out::str("<native.Preprocessor vars=" + std::to_string(p.nvars()) + " eliminated=" +
                        std::to_string(p.stats().eliminated_vars) + " subsumed=" +
                        std::to_string(p.stats().subsumed) + ">");
    });
}

PyMethodDef methods[] = {
    {"freeze", NV_METH(pre_freeze), METH_FASTCALL | METH_KEYWORDS, "freeze($self, v)\n--\n\n"},
    {"add_clause", NV_METH(pre_add_clause), METH_FASTCALL | METH_KEYWORDS, "add_clause($self, lits)\n--\n\n"},
    {"add_clauses", NV_METH(pre_add_clauses), METH_FASTCALL | METH_KEYWORDS,
     "add_clauses($self, clauses)\n--\n\n"
     "Add every clause of `clauses` (a sequence of clauses, or a ClauseDb,\n"
     "copied natively) as add_clause would, in order; return how many were\n"
     "stored (tautologies are not).  Bad input raises before any is added."},
    {"run", NV_METH(pre_run), METH_FASTCALL | METH_KEYWORDS, "run($self, rounds=3)\n--\n\n"},
    {"reduced", NV_METH(pre_reduced), METH_NOARGS, "reduced($self)\n--\n\n"},
    {"reconstruct", NV_METH(pre_reconstruct), METH_FASTCALL | METH_KEYWORDS, "reconstruct($self, model)\n--\n\n"},
    {"proof_steps", NV_METH(pre_proof_steps), METH_NOARGS, "proof_steps($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#define NV_GETSET(name) {#name, get_##name, nullptr, nullptr, nullptr}
PyGetSetDef getset[] = {
    NV_GETSET(nvars),           NV_GETSET(unsat),      NV_GETSET(units), NV_GETSET(subsumed),
    NV_GETSET(strengthened),    NV_GETSET(eliminated_vars), NV_GETSET(resolvents), NV_GETSET(pure),
    NV_GETSET(reactivated),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef NV_GETSET

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pre_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<Preprocessor>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_box)},
    {Py_tp_repr, reinterpret_cast<void*>(pre_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("Preprocessor(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False, "
                                  "proof_path=None, proof_binary=False)\n--\n\n"
                                  "Native preprocessor: subsumption, self-subsuming resolution, pure literals\n"
                                  "and bounded variable elimination.\n\n"
                                  "With proof_path (str, bytes or os.PathLike) the proof log goes to that file\n"
                                  "as it is produced, as DRAT text or, with proof_binary=True, binary DRAT,\n"
                                  "instead of being kept (proof_steps() is then empty); it implies with_proof.")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "builtins.Preprocessor",
    static_cast<int>(sizeof(Box<Preprocessor>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

PyObject* cache = nullptr;

}  // namespace

PyObject* preprocessor_type() { return cached_type(cache, type_spec); }

}  // namespace nvpy
