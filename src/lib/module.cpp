// The module's definition and its multi-phase initialisation: every class
// and function declared in module.hpp is added in order, each listed in
// __all__, together with the version and PanicException.  The classes and
// functions themselves live in a file each.
#include "module.hpp"

#include "options.hpp"

namespace nvpy {

PyObject* cached_type(PyObject*& cache, PyType_Spec& type_spec) {
    if (!cache) {
        cache = PyType_FromSpec(&type_spec);
        if (!cache) return nullptr;
    }
    Py_INCREF(cache);
    return cache;
}

namespace {

// Appends `name` to the module's __all__ (creating it first when missing),
// then sets the attribute.  Steals `value`.
int add(PyObject* module, const char* name, PyObject* value) {
    if (!value) return -1;
    Ref v(value);
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    }
    Ref all_ref(all);
    Ref name_obj(PyUnicode_FromString(name));
    if (!name_obj || PyList_Append(all, name_obj.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, v.get());
}

int add_function(PyObject* module, PyObject* modname, PyMethodDef& def) {
    return add(module, def.ml_name, PyCFunction_NewEx(&def, module, modname));
}

int exec_module(PyObject* module) {
    if (add(module, "__doc__", PyUnicode_FromString("Native engine for norvane (clause arena + CDCL search core)")) < 0)
        return -1;
    if (add(module, "__version__", PyUnicode_FromString(NORVANE_VERSION)) < 0) return -1;
    if (add(module, "ClauseDb", clausedb_type()) < 0) return -1;
    if (add(module, "Solver", solver_type()) < 0) return -1;
    if (add(module, "Preprocessor", preprocessor_type()) < 0) return -1;
    Ref modname(PyUnicode_FromString("norvane_native"));
    if (!modname) return -1;
    PyMethodDef* functions[] = {&solve_portfolio_def, &check_proof_def, &neg_def,         &var_of_def,
                                &is_neg_def,          &mk_lit_def,      &from_dimacs_def, &to_dimacs_def};
    for (PyMethodDef* def : functions) {
        if (add_function(module, modname.get(), *def) < 0) return -1;
    }
    // The internal-fault class, so that callers can name it in an `except` clause.  It stays
    // out of __all__, which lists the engine's own entries.
    PyObject* panic = panic_exception_type();
    if (!panic || PyObject_SetAttrString(module, "PanicException", panic) < 0) return -1;
    // The solver's option and counter tables, for code that builds on the engine (the package
    // reads its option names, words and help from here); outside __all__ as well.
    PyObject* options = guarded([] { return options_table(); });
    if (!options || PyObject_SetAttrString(module, "SOLVER_OPTIONS", Ref(options).get()) < 0) return -1;
    PyObject* counters = guarded([] { return counters_table(); });
    if (!counters || PyObject_SetAttrString(module, "SOLVER_COUNTERS", Ref(counters).get()) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "norvane_native",
    nullptr,  // __doc__ is added by exec_module
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace nvpy

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_norvane_native(void) {
    return PyModuleDef_Init(&nvpy::module_def);
}
