// The six literal functions of the module: neg, var_of, is_neg, mk_lit,
// from_dimacs, to_dimacs.  Each binds its arguments like every other entry
// (binding.hpp) and computes with the encoding of src/core/lit.hpp, so
// Python and the native cores agree on every literal, edges included.
#include "binding.hpp"
#include "module.hpp"

namespace nvpy {
namespace {

template <const FunctionDescription& D, class Body>
PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return guarded([&] {
        Args a(D);
        bind_fast(a, args, nargs, kwnames);
        return body(a);
    });
}

constexpr FunctionDescription kNeg("neg", nullptr, {"l"}, 1);
constexpr FunctionDescription kVarOf("var_of", nullptr, {"l"}, 1);
constexpr FunctionDescription kIsNeg("is_neg", nullptr, {"l"}, 1);
constexpr FunctionDescription kMkLit("mk_lit", nullptr, {"v", "negated"}, 1);
constexpr FunctionDescription kFromDimacs("from_dimacs", nullptr, {"d"}, 1);
constexpr FunctionDescription kToDimacs("to_dimacs", nullptr, {"l"}, 1);

PyObject* py_neg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call<kNeg>(args, nargs, kw, [](Args& a) { return out::u64(nv::neg(a.get(0, conv::u32))); });
}

PyObject* py_var_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call<kVarOf>(args, nargs, kw, [](Args& a) { return out::u64(nv::var_of(a.get(0, conv::u32))); });
}

PyObject* py_is_neg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call<kIsNeg>(args, nargs, kw, [](Args& a) { return out::boolean(nv::is_neg(a.get(0, conv::u32))); });
}

PyObject* py_mk_lit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call<kMkLit>(args, nargs, kw, [](Args& a) {
        uint32_t v = a.get(0, conv::u32);
        bool negated = a.get_or(1, conv::boolean, false);
        return out::u64(nv::mk_lit(v, negated));
    });
}

PyObject* py_from_dimacs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call<kFromDimacs>(args, nargs, kw, [](Args& a) {
        int32_t d = a.get(0, conv::i32);
        if (d == 0) raise(PyExc_ValueError, "0 is not a DIMACS literal (it terminates a clause)");
        return out::u64(nv::from_dimacs(d));
    });
}

PyObject* py_to_dimacs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return call<kToDimacs>(args, nargs, kw, [](Args& a) { return out::i64(nv::to_dimacs(a.get(0, conv::u32))); });
}

}  // namespace

PyMethodDef neg_def = {"neg", NV_METH(py_neg), METH_FASTCALL | METH_KEYWORDS, "neg(l)\n--\n\n"};
PyMethodDef var_of_def = {"var_of", NV_METH(py_var_of), METH_FASTCALL | METH_KEYWORDS, "var_of(l)\n--\n\n"};
PyMethodDef is_neg_def = {"is_neg", NV_METH(py_is_neg), METH_FASTCALL | METH_KEYWORDS, "is_neg(l)\n--\n\n"};
PyMethodDef mk_lit_def = {"mk_lit", NV_METH(py_mk_lit), METH_FASTCALL | METH_KEYWORDS,
                          "mk_lit(v, negated=False)\n--\n\n"};
PyMethodDef from_dimacs_def = {"from_dimacs", NV_METH(py_from_dimacs), METH_FASTCALL | METH_KEYWORDS,
                               "from_dimacs(d)\n--\n\n"};
PyMethodDef to_dimacs_def = {"to_dimacs", NV_METH(py_to_dimacs), METH_FASTCALL | METH_KEYWORDS,
                             "to_dimacs(l)\n--\n\n"};

}  // namespace nvpy
