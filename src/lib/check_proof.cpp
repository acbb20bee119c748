// check_proof: verify a DRAT proof with the interpreter lock released.
#include "../checker/checker.hpp"
#include "binding.hpp"
#include "module.hpp"

namespace nvpy {
namespace {

constexpr FunctionDescription kCheck("check_proof", nullptr,
                                     {"nvars", "clauses", "steps", "check_rat", "apply_deletions"}, 3);

PyObject* py_check_proof(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kCheck);
        bind_fast(a, args, nargs, kw);
        uint32_t nvars = a.get(0, conv::u32);
        nv::Cnf clauses = a.get(1, conv::clause_list);
        nv::StepList steps = a.get(2, conv::step_list);
        bool check_rat = a.get_or(3, conv::boolean, true);
        bool apply_deletions = a.get_or(4, conv::boolean, true);

        nv::CheckReport r =
            without_gil([&] { return nv::check_proof(nvars, clauses, steps, check_rat, apply_deletions); });

        out::Tuple t(10);
        t.put(out::boolean(r.ok)).put(out::str(r.message)).put(out::u64(r.steps)).put(out::u64(r.rup));
        t.put(out::u64(r.rat)).put(out::u64(r.deleted)).put(out::u64(r.skipped)).put(out::u64(r.rat_checks));
        t.put(out::i64(r.failed_step)).put(out::boolean(r.empty_derived));
        return t.release();
    });
}

}  // namespace

PyMethodDef check_proof_def = {
    "check_proof", NV_METH(py_check_proof), METH_FASTCALL | METH_KEYWORDS,
    "check_proof(nvars, clauses, steps, check_rat=True, apply_deletions=True)\n--\n\n"
    "Check a DRAT proof against a formula.\n\nReturns the same shape `norvane.proof.CheckResult` carries, so the "
    "Python\nwrapper can present one interface over either implementation."};

}  // namespace nvpy
