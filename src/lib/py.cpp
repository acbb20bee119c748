// The exception plumbing of py.hpp: raising a Python exception from inside
// an entry, the module's PanicException class (created once), and type
// names for messages.
#include "py.hpp"

namespace nvpy {

void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw PyErrSet{};
}

void raise(PyObject* type, const std::string& msg) { raise(type, msg.c_str()); }

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "norvane_native.PanicException",
            "Raised when the native code hits an internal fault.\n\n"
            "Like SystemExit, it derives from BaseException (not Exception), so that it\n"
            "usually propagates to the top and ends the interpreter instead of being\n"
            "swallowed by an ordinary `except Exception` clause.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void set_panic(const char* msg) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // creating the class failed: that error stays set
    PyObject* arg = PyUnicode_FromString(msg);
    if (!arg) return;
    PyErr_SetObject(type, arg);
    Py_DECREF(arg);
}

std::string type_qualname(PyObject* obj) {
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    PyObject* name = PyObject_GetAttrString(tp, "__qualname__");
    if (name) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &n) : nullptr;
        std::string out = s ? std::string(s, static_cast<size_t>(n)) : std::string("?");
        Py_DECREF(name);
        if (!s) PyErr_Clear();
        return out;
    }
    PyErr_Clear();
    return "?";
}

}  // namespace nvpy
