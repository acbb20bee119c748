// The binding conventions of every Python entry, in one place:
//
//   * FunctionDescription + bind(): positional-or-keyword parameters with the
//     interpreter-style messages for missing, surplus, repeated and unknown
//     arguments;
//   * converters (namespace conv) for every parameter kind, with their exact
//     messages;
//   * Args::get(): converts one bound value and, on failure, adds the note
//     "while processing '<param>'" to the exception;
//   * Access: the shared / exclusive access state of an instance;
//   * guarded(): runs an entry body and turns every C++ exception into the
//     matching Python exception (nothing C++ ever crosses into CPython);
//     it first makes sure the thread can throw when memory runs out
//     (src/core/thread_storage.hpp);
//   * results (namespace out): fresh Python objects built from native values.
//
// A new function or method declares its FunctionDescription, binds, takes its
// access, and converts each argument with the kind it needs.
#pragma once

#include <atomic>
#include <exception>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../core/cnf.hpp"
#include "../core/errors.hpp"
#include "../core/lit.hpp"
#include "../core/proof_log.hpp"
#include "../core/thread_storage.hpp"
#include "py.hpp"
#include "signals.hpp"

namespace nvpy {

// ---------------------------------------------------------------------------
// Argument binding

struct FunctionDescription {
    static constexpr size_t kMaxParams = 24;
    const char* func;  // "mk_lit", "__new__", ...
    const char* cls;   // class of a method or constructor; nullptr for module functions
    const char* params[kMaxParams];
    size_t nparams;
    size_t required;   // the first `required` parameters have no default

    template <size_t N>
    constexpr FunctionDescription(const char* f, const char* c, const char* const (&names)[N], size_t req)
        : func(f), cls(c), params{}, nparams(N), required(req) {
        static_assert(N <= kMaxParams);
        for (size_t i = 0; i < N; ++i) params[i] = names[i];
    }

    std::string full_name() const;  // "Solver.__new__()" or "neg()"
};

// Bound values: borrowed references, nullptr where no value was given.
class Args {
public:
    explicit Args(const FunctionDescription& d) : d_(&d) {}
    PyObject* operator[](size_t i) const noexcept { return v_[i]; }
    bool given(size_t i) const noexcept { return v_[i] != nullptr; }

    // Convert parameter i with `conv`; on failure the exception gets the
    // parameter note and propagates.
    template <class Conv>
    auto get(size_t i, Conv&& conv) const -> decltype(conv(static_cast<PyObject*>(nullptr))) {
        try {
            return conv(v_[i]);
        } catch (const PyErrSet&) {
            add_param_note(d_->params[i]);
            throw;
        }
    }
    // Same, with a default for an absent argument (the default is not converted).
    template <class Conv, class T>
    auto get_or(size_t i, Conv&& conv, T dflt) const -> decltype(conv(static_cast<PyObject*>(nullptr))) {
        if (!v_[i]) return dflt;
        return get(i, std::forward<Conv>(conv));
    }

    static void add_param_note(const char* param);

private:
    friend void bind_fast(Args&, PyObject* const*, Py_ssize_t, PyObject*);
    friend void bind_tuple(Args&, PyObject*, PyObject*);
    const FunctionDescription* d_;
    PyObject* v_[FunctionDescription::kMaxParams] = {};
};

// Fast-call convention (positional array + tuple of keyword names).
void bind_fast(Args& a, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Classic convention (tuple + dict), used by constructors.
void bind_tuple(Args& a, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// Conversions.  Each returns the native value or throws PyErrSet with a
// Python exception set.

namespace conv {

uint32_t u32(PyObject* o);
int32_t i32(PyObject* o);
uint64_t u64(PyObject* o);
double f64(PyObject* o);
bool boolean(PyObject* o);
std::string str(PyObject* o);

std::vector<uint32_t> seq_u32(PyObject* o);
std::vector<int32_t> seq_i32(PyObject* o);
std::vector<bool> seq_bool(PyObject* o);
nv::Cnf clause_list(PyObject* o);                     // sequence of sequences of u32
nv::StepList step_list(PyObject* o);                  // sequence of (bool, sequence of u32)
std::optional<uint64_t> opt_u64(PyObject* o);
std::optional<double> opt_f64(PyObject* o);
// A file-system path: str, bytes or os.PathLike, as the bytes the operating
// system sees (the interpreter's own TypeError or ValueError otherwise).
std::string fs_path(PyObject* o);
std::optional<std::string> opt_fs_path(PyObject* o);

// Cast failure message: "'T' object is not an instance of 'target'".
[[noreturn]] void cast_error(PyObject* o, const char* target);

// Refuse what is not a sequence: a str ("Can't extract `str` to `Vec`") or an
// object failing the interpreter's sequence check.
void require_sequence(PyObject* o);
// Length of `o` for reserving room; errors are discarded (0 then).
size_t length_hint(PyObject* o);

// Walk a sequence: refuse str and non-sequences, report the length hint,
// then call `item(obj)` for each element in iteration order.  Exact lists and
// tuples are walked by index, which is what their iterators do; a list is
// re-measured at every step in case an item's conversion changes it.
template <class Hint, class Item>
void walk(PyObject* o, Hint&& hint, Item&& item) {
    require_sequence(o);
    if (PyList_CheckExact(o)) {
        hint(static_cast<size_t>(PyList_Size(o)));
        for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
            PyObject* x = PyList_GetItem(o, i);
            if (PyLong_CheckExact(x)) {
                item(x);  // converting an exact int runs no Python code
            } else {
                Ref hold(x);
                Py_INCREF(x);
                item(x);
            }
        }
        return;
    }
    if (PyTuple_CheckExact(o)) {
        Py_ssize_t n = PyTuple_Size(o);
        hint(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) item(PyTuple_GetItem(o, i));
        return;
    }
    hint(length_hint(o));
    Ref it = check(PyObject_GetIter(o));
    while (true) {
        Ref x(PyIter_Next(it.get()));
        if (!x) {
            if (PyErr_Occurred()) throw_py();
            return;
        }
        item(x.get());
    }
}

}  // namespace conv

// ---------------------------------------------------------------------------
// Access state of an instance: 0 idle, >0 shared readers, -1 one writer.

using AccessState = std::atomic<int64_t>;

class Shared {
public:
    explicit Shared(AccessState& s);
    ~Shared() { s_.fetch_sub(1, std::memory_order_acq_rel); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

private:
    AccessState& s_;
};

class Exclusive {
public:
    explicit Exclusive(AccessState& s);
    ~Exclusive() { s_.store(0, std::memory_order_release); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    AccessState& s_;
};

// ---------------------------------------------------------------------------
// Instances of the module's classes: object header, access state, native state.

template <class T>
struct Box {
    PyObject_HEAD
    AccessState access;
    T* native;
};

template <class T>
inline Box<T>* box(PyObject* self) noexcept {
    return reinterpret_cast<Box<T>*>(self);
}

// Allocate an instance of `type` owning `native` (taken over even on failure).
template <class T>
PyObject* new_box(PyTypeObject* type, std::unique_ptr<T> native) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw_py();  // `native` is released by its unique_ptr
    auto* b = box<T>(self);
    new (&b->access) AccessState(0);
    b->native = native.release();
    return self;
}

template <class T>
void dealloc_box(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete box<T>(self)->native;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(self);
    Py_DECREF(reinterpret_cast<PyObject*>(tp));
}

int traverse_box(PyObject* self, visitproc visit, void* arg);

// ---------------------------------------------------------------------------
// Running an entry body.

// Translate the C++ exception in flight into a Python exception.
void translate_exception() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
    nv::prime_thread_storage();  // a later MemoryError must not find it missing
    try {
        return body();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

template <class F>
int guarded_int(F&& body) noexcept {
    nv::prime_thread_storage();
    try {
        return body();
    } catch (...) {
        translate_exception();
        return -1;
    }
}

// Runs `work` with the interpreter lock released and returns its result; the
// lock is taken back before anything (result or exception) reaches Python.
// `work` must not touch Python objects.  A SignalCheck given here may be
// polled by `work` on this thread: it takes the lock back for its check.
template <class F>
auto without_gil(F&& work, SignalCheck* signals = nullptr) -> decltype(work()) {
    std::exception_ptr failure;
    std::optional<decltype(work())> result;
    PyThreadState* ts = PyEval_SaveThread();
    if (signals) signals->released = ts;
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    if (signals) {
        ts = signals->released;
        signals->released = nullptr;
    }
    PyEval_RestoreThread(ts);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// ---------------------------------------------------------------------------
// Results

namespace out {

PyObject* boolean(bool b);
PyObject* none();
PyObject* u64(uint64_t v);
PyObject* i64(int64_t v);
PyObject* str(const std::string& s);
PyObject* list_u32(std::span<const uint32_t> v);
PyObject* list_i32(std::span<const int32_t> v);
PyObject* list_bool(const std::vector<bool>& v);
PyObject* list_str(const std::vector<std::string>& v);
// Proof steps with DIMACS literals: (kind "a"/"d", [lits]) or (is_deletion,
// [lits]); from a list of steps, or straight from the in-memory encoding of
// a ProofLog (no step list is built in between).
PyObject* proof_kind_pairs(const std::vector<nv::ProofStep>& steps);
PyObject* proof_kind_pairs(const nv::ProofLog& log);
PyObject* proof_flag_pairs(std::span<const uint8_t> encoded);

// Fills a new tuple item by item; items already placed are released with
// the tuple if a later one fails.
class Tuple {
public:
    explicit Tuple(Py_ssize_t n) : t_(check(PyTuple_New(n))) {}
    Tuple& put(PyObject* item) {
        if (!item) throw_py();
        PyTuple_SetItem(t_.get(), k_++, item);  // steals item
        return *this;
    }
    PyObject* release() noexcept { return t_.release(); }

private:
    Ref t_;
    Py_ssize_t k_ = 0;
};

}  // namespace out

// A word as messages show it: between double quotes, with quotes, backslashes
// and control characters escaped (the unknown-word messages of options.cpp).
std::string quote_debug(const std::string& s);

}  // namespace nvpy
