// SignalCheck::pending (signals.hpp): throttled by the monotonic clock,
// with the interpreter lock taken back for the moment of a check when the
// entry released it; with the lock released, a thread found not to be the
// main one (where the interpreter never runs signal handlers) stops
// checking for good.
#include "signals.hpp"

namespace nvpy {

namespace {

// Pause between two real checks for pending signals, with the interpreter
// lock held and with it released.
constexpr uint64_t kCheckEveryNs = 10'000'000;
constexpr uint64_t kReleasedCheckEveryNs = 50'000'000;

// Is the calling thread (holding the lock) the interpreter's main thread?
// Read from threading's record of the main thread through plain attribute
// lookups: running Python code here could run a signal handler and lose its
// exception.  When that cannot be told, the thread is taken to be the main
// one: checking too often costs a little time, never a missed Ctrl-C.
bool on_main_thread() noexcept {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    PyObject* threading = modules ? PyMapping_GetItemString(modules, "threading") : nullptr;
    if (!threading) {
        // Without the threading module loaded, no thread but the main one
        // can have been started the usual way.
        PyErr_Clear();
        return true;
    }
    bool main = true;
    PyObject* thread = PyObject_GetAttrString(threading, "_main_thread");
    PyObject* ident = thread ? PyObject_GetAttrString(thread, "_ident") : nullptr;
    if (ident && PyLong_Check(ident)) {
        unsigned long id = PyLong_AsUnsignedLong(ident);
        if (!PyErr_Occurred()) main = id == PyThread_get_thread_ident();
    }
    PyErr_Clear();
    Py_XDECREF(ident);
    Py_XDECREF(thread);
    Py_DECREF(threading);
    return main;
}

}  // namespace

bool SignalCheck::pending() noexcept {
    if (raised_) return true;
    if (released && thread_ == Thread::Other) return false;
    nv::Instant now = nv::Instant::now();
    if (!(next_ <= now)) return false;
    next_ = now.plus_ns(released ? kReleasedCheckEveryNs : kCheckEveryNs);
    if (released) PyEval_RestoreThread(released);
    int rc = PyErr_CheckSignals();
    if (released && rc == 0 && thread_ == Thread::Unknown) thread_ = on_main_thread() ? Thread::Main : Thread::Other;
    if (released) released = PyEval_SaveThread();
    if (rc < 0) raised_ = true;
    return raised_;
}

}  // namespace nvpy
