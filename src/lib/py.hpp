// Python-facing plumbing shared by every entry of the module: owning
// references, the "Python error is set" signal, exception helpers and the
// process-wide PanicException.  This header is where Python.h comes in, on
// the limited API; only src/lib includes it.  The binding conventions built
// on it are binding.hpp's.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace nvpy {

// Thrown inside an entry once a Python exception has been set; the entry's
// wrapper turns it into a NULL return.
struct PyErrSet {};

[[noreturn]] inline void throw_py() { throw PyErrSet{}; }
[[noreturn]] void raise(PyObject* type, const char* msg);
[[noreturn]] void raise(PyObject* type, const std::string& msg);

// Owning reference.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A new reference, or throw if the call failed (p == NULL with an error set).
inline Ref check(PyObject* p) {
    if (!p) throw_py();
    return Ref(p);
}

// The exception class raised for internal faults: a BaseException subclass
// created once per process.
PyObject* panic_exception_type();
void set_panic(const char* msg);

// `__qualname__` of an object's type, for messages ("int", "list", ...).
std::string type_qualname(PyObject* obj);

}  // namespace nvpy
