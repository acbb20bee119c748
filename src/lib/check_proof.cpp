// check_proof: verify a DRAT proof with the interpreter lock released.
//
// The formula is a sequence of clauses (converted first) or a ClauseDb (read
// in place under a shared borrow).  The proof is a sequence of
// (is_deletion, literals) steps (converted first) or a bytes-like object
// holding a DRAT proof, text or binary, which the checker parses step by step
// as it goes (src/checker/proof_reader.*), so no step list is ever built.
// Ctrl-C reaches the check through a SignalCheck.
#include <optional>

#include "../checker/checker.hpp"
#include "../checker/proof_reader.hpp"
#include "binding.hpp"
#include "buffer.hpp"
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
        ClauseDbView db(a[1]);
        std::optional<nv::Cnf> clauses;
        if (!db.arena()) clauses = a.get(1, conv::clause_list);
        ByteBuffer proof(a[2]);
        std::optional<nv::StepList> steps;
        if (!proof.held()) steps = a.get(2, conv::step_list);
        nv::CheckOptions options;
        options.check_rat = a.get_or(3, conv::boolean, true);
        options.apply_deletions = a.get_or(4, conv::boolean, true);

        SignalCheck signals;
        options.interrupt = &signals;
        auto work = [&] {
            std::optional<nv::ProofReader> reader;
            std::optional<nv::StepListSource> list;
            nv::StepSource* source;
            if (proof.held()) {
                source = &reader.emplace(proof.bytes());
            } else {
                source = &list.emplace(*steps);
            }
            if (db.arena()) return nv::check_proof(nvars, *db.arena(), *source, options);
            return nv::check_proof(nvars, *clauses, *source, options);
        };
        nv::CheckReport r;
        try {
            r = without_gil(work, &signals);
        } catch (const nv::ValueError&) {
            // A malformed proof, found while checking: name the parameter as
            // conversion errors do.
            translate_exception();
            Args::add_param_note("steps");
            throw PyErrSet{};
        }
        signals.rethrow();

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
    "Python\nwrapper can present one interface over either implementation.\n\n"
    "`clauses` may also be a ClauseDb, read in place.  `steps` may also be a\n"
    "bytes-like object (bytes, bytearray, mmap, memoryview) holding a DRAT\n"
    "proof, text or binary (told apart by content), parsed as the check goes;\n"
    "a malformed proof raises ValueError naming its byte offset (and line)."};

}  // namespace nvpy
