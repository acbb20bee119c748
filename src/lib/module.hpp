// What the module's initialisation (module.cpp) adds, in order.  Each class
// or function lives in a file of its own and hands out its type object or
// method definition here.  Also ClauseDbView, through which an entry reads a
// ClauseDb passed as an argument in place, under a shared borrow.
#pragma once

#include <optional>

#include "../core/arena.hpp"
#include "binding.hpp"
#include "py.hpp"

// Casts a fast-call or no-argument method to the generic PyCFunction slot type.
#define NV_METH(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

namespace nvpy {

// Classes: a new reference to the type, created on first use and kept for
// the life of the process; nullptr with an exception set on failure.
PyObject* clausedb_type();
PyObject* solver_type();
PyObject* preprocessor_type();

// The solver's exported tables (new tuples; they throw on failure):
// options_table() in options.hpp, and the counter names in their order.
PyObject* counters_table();

// Module functions.
extern PyMethodDef solve_portfolio_def;
extern PyMethodDef check_proof_def;
extern PyMethodDef neg_def;
extern PyMethodDef var_of_def;
extern PyMethodDef is_neg_def;
extern PyMethodDef mk_lit_def;
extern PyMethodDef from_dimacs_def;
extern PyMethodDef to_dimacs_def;

// Read access to the clauses of a ClauseDb passed as an argument (bulk
// loading, proof checking): holds a shared access for its lifetime, so a
// re-entrant change of that ClauseDb is refused while it is read.  arena()
// is nullptr when `obj` is not a ClauseDb.
class ClauseDbView {
public:
    explicit ClauseDbView(PyObject* obj);
    const nv::ClauseArena* arena() const noexcept { return arena_; }

private:
    std::optional<Shared> access_;
    const nv::ClauseArena* arena_ = nullptr;
};

// Creates a heap type from its PyType_Spec, once per process.
PyObject* cached_type(PyObject*& cache, PyType_Spec& type_spec);

}  // namespace nvpy
