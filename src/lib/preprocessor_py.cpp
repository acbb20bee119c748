// Preprocessor: the Python face of the formula simplifier.
#include <memory>

#include "../preprocess/preprocessor.hpp"
#include "binding.hpp"
#include "module.hpp"

namespace nvpy {
namespace {

using nv::Preprocessor;

Preprocessor& pre(PyObject* self) { return *box<Preprocessor>(self)->native; }
AccessState& access(PyObject* self) { return box<Preprocessor>(self)->access; }

constexpr FunctionDescription kNew("__new__", "Preprocessor", {"nvars", "do_bve", "max_resolvent_len", "with_proof"},
                                   0);
constexpr FunctionDescription kFreeze("freeze", "Preprocessor", {"v"}, 1);
constexpr FunctionDescription kAddClause("add_clause", "Preprocessor", {"lits"}, 1);
constexpr FunctionDescription kRun("run", "Preprocessor", {"rounds"}, 0);
constexpr FunctionDescription kReconstruct("reconstruct", "Preprocessor", {"model"}, 1);

PyObject* pre_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a(kNew);
        bind_tuple(a, args, kwargs);
        uint32_t nvars = a.get_or(0, conv::u32, 0u);
        bool do_bve = a.get_or(1, conv::boolean, true);
        uint64_t max_len = a.get_or(2, conv::u64, uint64_t{20});
        bool with_proof = a.get_or(3, conv::boolean, false);
        return new_box(type, std::make_unique<Preprocessor>(nvars, do_bve, max_len, with_proof));
    });
}

PyObject* pre_freeze(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kFreeze);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        pre(self).freeze(a.get(0, conv::u32));
        return out::none();
    });
}

PyObject* pre_add_clause(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kAddClause);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::vector<uint32_t> lits = a.get(0, conv::seq_u32);
        pre(self).add_clause(lits.data(), lits.size());
        return out::none();
    });
}

PyObject* pre_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kRun);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        uint32_t rounds = a.get_or(0, conv::u32, 3u);
        return out::boolean(pre(self).run(rounds));
    });
}

PyObject* pre_reduced(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared lock(access(self));
        nv::Cnf cnf = pre(self).reduced();
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(cnf.size())));
        for (size_t i = 0; i < cnf.size(); ++i) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), out::list_u32(cnf[i]));
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
        return read(self, [](const Preprocessor& p) { return out::u64(p.name()); }); \
    }
NV_COUNTER(nvars)
NV_COUNTER(units)
NV_COUNTER(subsumed)
NV_COUNTER(strengthened)
NV_COUNTER(eliminated_vars)
NV_COUNTER(resolvents)
NV_COUNTER(pure)
#undef NV_COUNTER

PyObject* get_unsat(PyObject* self, void*) {
    return read(self, [](const Preprocessor& p) { return out::boolean(p.unsat()); });
}

PyObject* pre_repr(PyObject* self) {
    return read(self, [](const Preprocessor& p) {
        return out::str("<native.Preprocessor vars=" + std::to_string(p.nvars()) + " eliminated=" +
                        std::to_string(p.eliminated_vars()) + " subsumed=" + std::to_string(p.subsumed()) + ">");
    });
}

PyMethodDef methods[] = {
    {"freeze", NV_METH(pre_freeze), METH_FASTCALL | METH_KEYWORDS, "freeze($self, v)\n--\n\n"},
    {"add_clause", NV_METH(pre_add_clause), METH_FASTCALL | METH_KEYWORDS, "add_clause($self, lits)\n--\n\n"},
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
    {Py_tp_doc, const_cast<char*>("Preprocessor(nvars=0, do_bve=True, max_resolvent_len=20, with_proof=False)\n--\n\n"
                                  "Native preprocessor: subsumption, self-subsuming resolution, pure literals\n"
                                  "and bounded variable elimination.")},
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
