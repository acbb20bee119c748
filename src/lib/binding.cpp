// The binding conventions of binding.hpp: argument binding with the
// interpreter's messages, the converters from Python objects to native
// values (long ones let signal handlers run), access states, the mapping of
// native exceptions to Python ones, and the conversions of results (models,
// proofs, statistics) back to Python objects.  The classes and functions
// that use them live in clausedb.cpp, solver_py.cpp, preprocessor_py.cpp,
// check_proof.cpp, portfolio_py.cpp and literals.cpp.
#include "binding.hpp"

#include <algorithm>
#include <cstring>

namespace nvpy {

// ---------------------------------------------------------------------------
// Binding

std::string FunctionDescription::full_name() const {
    std::string s;
    if (cls) {
        s += cls;
        s += '.';
    }
    s += func;
    s += "()";
    return s;
}

namespace {

[[noreturn]] void too_many_positional(const FunctionDescription& d, size_t given) {
    std::string msg = d.full_name() + " takes ";
    if (d.required == d.nparams) {
        msg += std::to_string(d.nparams);
    } else {
        msg += "from " + std::to_string(d.required) + " to " + std::to_string(d.nparams);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, msg);
}

std::string utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return "?";
    }
    return std::string(p, static_cast<size_t>(n));
}

size_t find_param(const FunctionDescription& d, PyObject* name) {
    if (!PyUnicode_Check(name)) return d.nparams;
    for (size_t i = 0; i < d.nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, d.params[i]) == 0) return i;
    }
    return d.nparams;
}

}  // namespace

// Fills one keyword; raises on an unknown or repeated name.
static void bind_keyword(const FunctionDescription& d, PyObject** slots, PyObject* name, PyObject* value) {
    size_t idx = find_param(d, name);
    if (idx == d.nparams) {
        raise(PyExc_TypeError, d.full_name() + " got an unexpected keyword argument '" + utf8(name) + "'");
    }
    if (slots[idx]) {
        raise(PyExc_TypeError, d.full_name() + " got multiple values for argument '" + utf8(name) + "'");
    }
    slots[idx] = value;
}

static void check_missing(const FunctionDescription& d, PyObject* const* slots) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < d.required; ++i) {
        if (!slots[i]) missing.push_back(d.params[i]);
    }
    if (missing.empty()) return;
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                names += " and ";
            } else {
                names += (i + 1 == missing.size()) ? ", and " : ", ";
            }
        }
        names += "'";
        names += missing[i];
        names += "'";
    }
    std::string msg = d.full_name() + " missing " + std::to_string(missing.size()) + " required positional argument" +
                      (missing.size() == 1 ? "" : "s") + ": " + names;
    raise(PyExc_TypeError, msg);
}

void bind_fast(Args& a, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FunctionDescription& d = *a.d_;
    size_t npos = static_cast<size_t>(nargs);
    if (npos > d.nparams) too_many_positional(d, npos);
    for (size_t i = 0; i < npos; ++i) a.v_[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        bind_keyword(d, a.v_, PyTuple_GetItem(kwnames, k), args[nargs + k]);
    }
    check_missing(d, a.v_);
}

void bind_tuple(Args& a, PyObject* args, PyObject* kwargs) {
    const FunctionDescription& d = *a.d_;
    size_t npos = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
    if (npos > d.nparams) too_many_positional(d, npos);
    for (size_t i = 0; i < npos; ++i) a.v_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(d, a.v_, key, value);
    }
    check_missing(d, a.v_);
}

void Args::add_param_note(const char* param) {
    // The exception keeps its type and message; add_note() may be missing
    // (older interpreters) or fail, in which case the note is skipped.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        std::string note = std::string("while processing '") + param + "'";
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r) {
            Py_DECREF(r);
        } else {
            PyErr_Clear();
        }
        if (tb) PyException_SetTraceback(value, tb);
    }
    PyErr_Restore(type, value, tb);
#pragma GCC diagnostic pop
}

// ---------------------------------------------------------------------------
// Conversions

namespace conv {

void cast_error(PyObject* o, const char* target) {
    if (o == Py_None) raise(PyExc_TypeError, std::string("'None' is not an instance of '") + target + "'");
    raise(PyExc_TypeError, "'" + type_qualname(o) + "' object is not an instance of '" + target + "'");
}

static constexpr const char* kRange = "out of range integral type conversion attempted";

static long as_long(PyObject* o) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw_py();
    return v;
}

uint32_t u32(PyObject* o) {
    long v = as_long(o);
    if (v < 0 || v > 0xFFFFFFFFL) raise(PyExc_OverflowError, kRange);
    return static_cast<uint32_t>(v);
}

int32_t i32(PyObject* o) {
    long v = as_long(o);
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, kRange);
    return static_cast<int32_t>(v);
}

uint64_t u64(PyObject* o) {
    if (PyLong_Check(o)) {
        unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_py();
        return v;
    }
    Ref idx = check(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_py();
    return v;
}

double f64(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw_py();
    return v;
}

static bool attr_equals(PyObject* obj, const char* attr, const char* a, const char* b = nullptr) {
    PyObject* v = PyObject_GetAttrString(obj, attr);
    if (!v) {
        PyErr_Clear();
        return false;
    }
    bool eq = PyUnicode_Check(v) && (PyUnicode_CompareWithASCIIString(v, a) == 0 ||
                                     (b && PyUnicode_CompareWithASCIIString(v, b) == 0));
    if (PyErr_Occurred()) PyErr_Clear();
    Py_DECREF(v);
    return eq;
}

bool boolean(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (attr_equals(tp, "__module__", "numpy") && attr_equals(tp, "__name__", "bool_", "bool")) {
        PyObject* fn = PyObject_GetAttrString(tp, "__bool__");
        if (!fn) {
            PyErr_Clear();
            raise(PyExc_TypeError, "object of type '" + type_qualname(o) + "' does not define a '__bool__' conversion");
        }
        Ref f(fn);
        Ref r = check(PyObject_CallFunctionObjArgs(fn, o, nullptr));
        int t = PyObject_IsTrue(r.get());
        if (t < 0) throw_py();
        return t != 0;
    }
    cast_error(o, "bool");
}

std::string str(PyObject* o) {
    if (!PyUnicode_Check(o)) cast_error(o, "str");
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) throw_py();
    return std::string(p, static_cast<size_t>(n));
}

void require_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) cast_error(o, "Sequence");
}

size_t length_hint(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    // A reported length is only a hint for objects other than lists and
    // tuples; never let it reserve more than a modest amount up front.
    return static_cast<size_t>(n) < (size_t{1} << 16) ? static_cast<size_t>(n) : (size_t{1} << 16);
}

template <class T, class F>
static std::vector<T> seq_of(PyObject* o, F&& one) {
    std::vector<T> v;
    walk(o, [&](size_t n) { v.reserve(n); }, [&](PyObject* x) { v.push_back(one(x)); });
    return v;
}

std::vector<uint32_t> seq_u32(PyObject* o) { return seq_of<uint32_t>(o, u32); }
std::vector<int32_t> seq_i32(PyObject* o) { return seq_of<int32_t>(o, i32); }
std::vector<bool> seq_bool(PyObject* o) { return seq_of<bool>(o, boolean); }

// Append the u32 items of one clause to `out`.  Room for the clause is made
// geometrically: reserving exactly size + n for every clause would copy the
// whole flat vector once per clause.
static void append_u32(PyObject* o, std::vector<uint32_t>& out) {
    walk(
        o,
        [&](size_t n) {
            if (out.capacity() - out.size() < n) out.reserve(std::max(out.size() + n, 2 * out.capacity()));
        },
        [&](PyObject* x) { out.push_back(u32(x)); });
}

// Long conversions let the signal handlers run every few thousand items, so
// that Ctrl-C is not held up by a huge argument.
class SignalPoll {
public:
    void tick() {
        if (++n_ % 4096 == 0 && PyErr_CheckSignals() < 0) throw_py();
    }

private:
    unsigned n_ = 0;
};

nv::Cnf clause_list(PyObject* o) {
    nv::Cnf cnf;
    SignalPoll poll;
    walk(
        o, [&](size_t n) { cnf.ends.reserve(n); },
        [&](PyObject* c) {
            poll.tick();
            append_u32(c, cnf.lits);
            cnf.close();
        });
    return cnf;
}

nv::StepList step_list(PyObject* o) {
    nv::StepList steps;
    SignalPoll poll;
    walk(
        o,
        [&](size_t n) {
            steps.clauses.ends.reserve(n);
            steps.is_deletion.reserve(n);
        },
        [&](PyObject* t) {
            poll.tick();
            if (!PyTuple_Check(t)) cast_error(t, "tuple");
            Py_ssize_t n = PyTuple_Size(t);
            if (n != 2) {
                raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(n));
            }
            bool del = boolean(PyTuple_GetItem(t, 0));
            size_t mark = steps.clauses.lits.size();
            try {
                append_u32(PyTuple_GetItem(t, 1), steps.clauses.lits);
            } catch (...) {
                steps.clauses.lits.resize(mark);
                throw;
            }
            steps.clauses.close();
            steps.is_deletion.push_back(del);
        });
    return steps;
}

std::optional<uint64_t> opt_u64(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return u64(o);
}

std::optional<double> opt_f64(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return f64(o);
}

std::string fs_path(PyObject* o) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(o, &raw)) throw_py();
    Ref bytes(raw);
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &p, &n) < 0) throw_py();
    return std::string(p, static_cast<size_t>(n));
}

std::optional<std::string> opt_fs_path(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return fs_path(o);
}

}  // namespace conv

// ---------------------------------------------------------------------------
// Access state

Shared::Shared(AccessState& s) : s_(s) {
    int64_t cur = s_.load(std::memory_order_acquire);
    do {
        if (cur < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!s_.compare_exchange_weak(cur, cur + 1, std::memory_order_acq_rel));
}

Exclusive::Exclusive(AccessState& s) : s_(s) {
    int64_t expected = 0;
    if (!s_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
        raise(PyExc_RuntimeError, "Already borrowed");
    }
}

int traverse_box(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

// ---------------------------------------------------------------------------
// Exceptions

void translate_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
        if (!PyErr_Occurred()) set_panic("an error was signalled without an exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const nv::ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const nv::OverflowError& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const nv::MemoryError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const nv::IoError& e) {
        // OSError(errno, text, filename) picks the matching subclass
        // (FileNotFoundError, PermissionError, ...).
        // The file name is decoded as the operating system's names are, so
        // that a name that is not UTF-8 still comes back as it was given.
        PyObject* name = PyUnicode_DecodeFSDefaultAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size()));
        PyObject* err = name ? PyObject_CallFunction(PyExc_OSError, "isO", e.err, e.what(), name) : nullptr;
        Py_XDECREF(name);
        if (err) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err)), err);
            Py_DECREF(err);
        }
    } catch (const nv::Panic& e) {
        set_panic(e.what());
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal fault");
    }
}

// ---------------------------------------------------------------------------
// Results

namespace out {

PyObject* boolean(bool b) {
    PyObject* r = b ? Py_True : Py_False;
    Py_INCREF(r);
    return r;
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* u64(uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)).release(); }
PyObject* i64(int64_t v) { return check(PyLong_FromLongLong(v)).release(); }

PyObject* str(const std::string& s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))).release();
}

template <class F>
static PyObject* list_of(size_t n, F&& item) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) {
        PyObject* x = item(i);
        if (!x) throw_py();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), x);  // steals x
    }
    return list.release();
}

PyObject* list_u32(std::span<const uint32_t> v) {
    return list_of(v.size(), [&](size_t i) { return PyLong_FromUnsignedLong(v[i]); });
}

PyObject* list_i32(std::span<const int32_t> v) {
    return list_of(v.size(), [&](size_t i) { return PyLong_FromLong(v[i]); });
}

PyObject* list_bool(const std::vector<bool>& v) {
    return list_of(v.size(), [&](size_t i) {
        PyObject* b = v[i] ? Py_True : Py_False;
        Py_INCREF(b);
        return b;
    });
}

PyObject* list_str(const std::vector<std::string>& v) {
    return list_of(v.size(), [&](size_t i) {
        return PyUnicode_FromStringAndSize(v[i].data(), static_cast<Py_ssize_t>(v[i].size()));
    });
}

static PyObject* dimacs_list(std::span<const nv::Lit> lits) {
    return list_of(lits.size(), [&](size_t i) { return PyLong_FromLong(nv::to_dimacs(lits[i])); });
}

template <class Head>
static PyObject* proof_pair(bool del, std::span<const nv::Lit> lits, Head&& head) {
    Ref h(head(del));
    if (!h) return nullptr;
    Ref l(dimacs_list(lits));
    return PyTuple_Pack(2, h.get(), l.get());
}

static PyObject* kind(bool del) { return PyUnicode_FromString(del ? "d" : "a"); }

PyObject* proof_kind_pairs(const std::vector<nv::ProofStep>& steps) {
    return list_of(steps.size(), [&](size_t i) { return proof_pair(steps[i].is_deletion, steps[i].lits, kind); });
}

// Decodes step after step into a list that starts at the step count and
// is filled in place.
template <class Head>
static PyObject* decoded_pairs(size_t nsteps, std::span<const uint8_t> encoded, Head&& head) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(nsteps)));
    size_t k = 0;
    bool failed = false;
    nv::for_each_step(encoded, [&](bool del, std::span<const nv::Lit> lits) {
        if (failed) return;
        PyObject* pair = proof_pair(del, lits, head);
        if (!pair || k >= nsteps) {
            Py_XDECREF(pair);
            failed = true;
            return;
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k++), pair);  // steals pair
    });
    if (failed && PyErr_Occurred()) throw_py();
    if (failed || k != nsteps) throw nv::Panic("proof encoding does not match its step count");
    return list.release();
}

PyObject* proof_kind_pairs(const nv::ProofLog& log) {
    if (!log.on() || log.to_file()) return check(PyList_New(0)).release();
    return decoded_pairs(log.num_steps(), log.encoded(), kind);
}

PyObject* proof_flag_pairs(std::span<const uint8_t> encoded) {
    size_t nsteps = 0;
    nv::for_each_step(encoded, [&](bool, std::span<const nv::Lit>) { nsteps += 1; });
    return decoded_pairs(nsteps, encoded, [](bool del) { return boolean(del); });
}

}  // namespace out

// ---------------------------------------------------------------------------
// Option names in messages: a double-quoted literal with quotes, backslashes
// and control characters escaped.

std::string quote_debug(const std::string& s) {
    std::string o = "\"";
    static const char* hex = "0123456789abcdef";
    auto unicode_escape = [&](uint32_t cp) {
        o += "\\u{";
        char buf[8];
        int n = 0;
        do {
            buf[n++] = hex[cp & 15];
            cp >>= 4;
        } while (cp);
        while (n) o += buf[--n];
        o += '}';
    };
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': o += "\\\""; break;
                case '\\': o += "\\\\"; break;
                case '\t': o += "\\t"; break;
                case '\r': o += "\\r"; break;
                case '\n': o += "\\n"; break;
                default:
                    if (c < 0x20 || c == 0x7f) {
                        unicode_escape(c);
                    } else {
                        o += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        // Multi-byte UTF-8 sequence (the text came from a Python str, so it
        // is well formed).  C1 control characters are escaped.
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        uint32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (cp >= 0x80 && cp < 0xA0) {
            unicode_escape(cp);
        } else {
            o.append(s, i, len);
        }
        i += len;
    }
    o += '"';
    return o;
}

}  // namespace nvpy
