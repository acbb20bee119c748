// ClauseDb: the Python face of a ClauseArena (src/core/arena.hpp), a clause
// database living in native memory.  Clauses come in one at a time (internal
// or DIMACS literals) or from a DIMACS file or buffer through the one DIMACS
// reader (src/core/dimacs.hpp), read with the lock released and Ctrl-C
// polled; they go out as lists, or are checked against a model in place.
// Other entries (Solver.add_clauses, check_proof, the Preprocessor) read a
// ClauseDb in place through ClauseDbView (module.hpp) under a shared borrow.
#include <cstdint>
#include <memory>
#include <vector>

#include "../core/arena.hpp"
#include "../core/dimacs.hpp"
#include "binding.hpp"
#include "module.hpp"

namespace nvpy {
namespace {

using nv::ClauseArena;
using DbBox = Box<ClauseArena>;

ClauseArena& arena(PyObject* self) { return *box<ClauseArena>(self)->native; }
AccessState& access(PyObject* self) { return box<ClauseArena>(self)->access; }

constexpr FunctionDescription kNew("__new__", "ClauseDb", {"nvars"}, 0);
constexpr FunctionDescription kAddClause("add_clause", "ClauseDb", {"lits"}, 1);
constexpr FunctionDescription kAddDimacs("add_dimacs", "ClauseDb", {"lits"}, 1);
constexpr FunctionDescription kClause("clause", "ClauseDb", {"i"}, 1);
constexpr FunctionDescription kReadDimacs("read_dimacs", "ClauseDb", {"path"}, 1);
constexpr FunctionDescription kParseDimacs("parse_dimacs", "ClauseDb", {"data", "name"}, 1);
constexpr FunctionDescription kSatisfiedBy("satisfied_by", "ClauseDb", {"model"}, 1);

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a(kNew);
        bind_tuple(a, args, kwargs);
        uint32_t nvars = a.get_or(0, conv::u32, 0u);
        return new_box(type, std::make_unique<ClauseArena>(nvars));
    });
}

PyObject* db_add_clause(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kAddClause);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::vector<uint32_t> lits = a.get(0, conv::seq_u32);
        for (uint32_t l : lits) {
            if (l == 0xFFFFFFFFu) raise(PyExc_ValueError, "literal out of range");
        }
        return out::boolean(arena(self).add(lits));
    });
}

PyObject* db_add_dimacs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kAddDimacs);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::vector<int32_t> ds = a.get(0, conv::seq_i32);
        std::vector<uint32_t> lits;
        lits.reserve(ds.size());
        for (int32_t d : ds) {
            if (d == 0) raise(PyExc_ValueError, "0 is not a DIMACS literal (it terminates a clause)");
            lits.push_back(nv::from_dimacs(d));
        }
        return out::boolean(arena(self).add(lits));
    });
}

// How a path is named in messages: as os.fspath gives it, as UTF-8.
std::string display_name(PyObject* path) {
    Ref fs = check(PyOS_FSPath(path));
    Ref text = PyBytes_Check(fs.get())
                   ? check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(fs.get()), PyBytes_Size(fs.get())))
                   : std::move(fs);
    Ref utf8 = check(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    return std::string(PyBytes_AsString(utf8.get()), static_cast<size_t>(PyBytes_Size(utf8.get())));
}

// Bytes-like content (bytes, bytearray, memoryview, mmap, ...) or a str:
// the object whose memory is read, immutable while the lock is released.
struct Content {
    Ref holder;
    const char* data = nullptr;
    size_t size = 0;
};

Content dimacs_content(PyObject* o) {
    Content c;
    Py_ssize_t n = 0;
    if (PyUnicode_Check(o)) {
        c.data = PyUnicode_AsUTF8AndSize(o, &n);
        if (!c.data) throw_py();
        Py_INCREF(o);
        c.holder = Ref(o);
    } else if (PyBytes_Check(o)) {
        Py_INCREF(o);
        c.holder = Ref(o);
    } else {
        // Other buffers may change under us: read a copy.
        Ref view = check(PyMemoryView_FromObject(o));
        c.holder = check(PyBytes_FromObject(view.get()));
    }
    if (!c.data) {
        char* p = nullptr;
        if (PyBytes_AsStringAndSize(c.holder.get(), &p, &n) < 0) throw_py();
        c.data = p;
    }
    c.size = static_cast<size_t>(n);
    return c;
}

// Stores a formula read into a fresh arena: taken over whole by an arena
// that never held anything, appended otherwise.
uint64_t store(ClauseArena& db, nv::DimacsFormula&& f) {
    if (db.num_clauses() == 0 && db.memory_bytes() == 0) {
        f.clauses.note_num_vars(db.num_vars());
        db = std::move(f.clauses);
    } else {
        db.append(f.clauses);
    }
    return f.read;
}

PyObject* db_read_dimacs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kReadDimacs);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        std::string path = a.get(0, conv::fs_path);
        std::string name = display_name(a[0]);
        ClauseArena& db = arena(self);
        SignalCheck signals;
        uint64_t read = without_gil(
            [&] {
                nv::DimacsFormula f = nv::read_dimacs_file(path, name, &signals);
                return f.interrupted ? 0 : store(db, std::move(f));
            },
            &signals);
        signals.rethrow();
        return out::u64(read);
    });
}

PyObject* db_parse_dimacs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kParseDimacs);
        bind_fast(a, args, nargs, kw);
        Exclusive lock(access(self));
        Content text = a.get(0, dimacs_content);
        std::string name = a.get_or(1, conv::str, std::string("<data>"));
        ClauseArena& db = arena(self);
        SignalCheck signals;
        uint64_t read = without_gil(
            [&] {
                nv::DimacsFormula f = nv::parse_dimacs({text.data, text.size}, name, &signals);
                return f.interrupted ? 0 : store(db, std::move(f));
            },
            &signals);
        signals.rethrow();
        return out::u64(read);
    });
}

PyObject* db_clause(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kClause);
        bind_fast(a, args, nargs, kw);
        Shared lock(access(self));
        uint64_t i = a.get(0, conv::u64);
        const ClauseArena& db = arena(self);
        if (i >= db.num_clauses()) {
            raise(PyExc_ValueError, "clause index " + std::to_string(i) + " out of range (" +
                                        std::to_string(db.num_clauses()) + " clauses)");
        }
        return out::list_u32(db.clause(static_cast<size_t>(i)));
    });
}

PyObject* db_clauses(PyObject* self, PyObject*) {
    return guarded([&] {
        Shared lock(access(self));
        const ClauseArena& db = arena(self);
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(db.num_clauses())));
        for (size_t i = 0; i < db.num_clauses(); ++i) {
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), out::list_u32(db.clause(i)));
        }
        return list.release();
    });
}

// Whether every clause has a literal of the model: a table of the model's
// literals, then one pass over the arena.
PyObject* db_satisfied_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&] {
        Args a(kSatisfiedBy);
        bind_fast(a, args, nargs, kw);
        Shared lock(access(self));
        std::vector<int32_t> ds = a.get(0, conv::seq_i32);
        const ClauseArena& db = arena(self);
        std::vector<uint8_t> is_true(2 * static_cast<size_t>(db.num_vars()), 0);
        for (int32_t d : ds) {
            if (d == 0) raise(PyExc_ValueError, "0 is not a DIMACS literal (it terminates a clause)");
            nv::Lit l = nv::from_dimacs(d);
            if (l < is_true.size()) is_true[l] = 1;  // a variable beyond the formula's satisfies nothing
        }
        for (size_t i = 0; i < db.num_clauses(); ++i) {
            bool satisfied = false;
            for (nv::Lit l : db.clause(i)) {
                if (l < is_true.size() && is_true[l]) {
                    satisfied = true;
                    break;
                }
            }
            if (!satisfied) return out::boolean(false);
        }
        return out::boolean(true);
    });
}

template <class F>
PyObject* getter(PyObject* self, F&& f) {
    return guarded([&] {
        Shared lock(access(self));
        return out::u64(f(arena(self)));
    });
}

PyObject* get_num_vars(PyObject* self, void*) {
    return getter(self, [](const ClauseArena& d) { return d.num_vars(); });
}
PyObject* get_num_clauses(PyObject* self, void*) {
    return getter(self, [](const ClauseArena& d) { return d.num_clauses(); });
}
PyObject* get_num_lits(PyObject* self, void*) {
    return getter(self, [](const ClauseArena& d) { return d.num_lits(); });
}
PyObject* get_memory_bytes(PyObject* self, void*) {
    return getter(self, [](const ClauseArena& d) { return d.memory_bytes(); });
}

Py_ssize_t db_len(PyObject* self) {
    try {
        Shared lock(access(self));
        return static_cast<Py_ssize_t>(arena(self).num_clauses());
    } catch (...) {
        translate_exception();
        return -1;
    }
}

PyObject* db_repr(PyObject* self) {
    return guarded([&] {
        Shared lock(access(self));
        const ClauseArena& d = arena(self);
        std::string s = "<ClauseDb vars=" + std::to_string(d.num_vars()) + " clauses=" +
                        std::to_string(d.num_clauses()) + " lits=" + std::to_string(d.num_lits()) +
                        " bytes=" + std::to_string(d.memory_bytes()) + ">";
        return out::str(s);
    });
}

PyMethodDef methods[] = {
    {"add_clause", NV_METH(db_add_clause), METH_FASTCALL | METH_KEYWORDS,
     "add_clause($self, lits)\n--\n\nAdd a clause of internal literals.  False means it was a tautology."},
    {"add_dimacs", NV_METH(db_add_dimacs), METH_FASTCALL | METH_KEYWORDS,
     "add_dimacs($self, lits)\n--\n\nAdd a clause of signed 1-based DIMACS literals."},
    {"clause", NV_METH(db_clause), METH_FASTCALL | METH_KEYWORDS,
     "clause($self, i)\n--\n\nLiterals of clause `i`."},
    {"clauses", NV_METH(db_clauses), METH_NOARGS,
     "clauses($self)\n--\n\nEvery clause, as a list of lists -- the round-trip out of the arena."},
    {"satisfied_by", NV_METH(db_satisfied_by), METH_FASTCALL | METH_KEYWORDS,
     "satisfied_by($self, model)\n--\n\nWhether every clause has a literal of `model` (signed 1-based DIMACS\n"
     "literals, as Solver.model gives them).  0 raises ValueError."},
    {"read_dimacs", NV_METH(db_read_dimacs), METH_FASTCALL | METH_KEYWORDS,
     "read_dimacs($self, path)\n--\n\nRead a DIMACS CNF file (plain text; str, bytes or os.PathLike path) and add\n"
     "its clauses, as add_dimacs would add each.  Returns the number of clauses\nread (the header's count).  "
     "num_vars rises to the header's variable count.\n\nThe format is checked strictly: comment lines start with "
     "'c'; one\n'p cnf VARIABLES CLAUSES' header comes first; every other token is a\ndecimal integer, optionally "
     "signed; each clause ends with 0; a line\nstarting with '%' ends the formula.  Malformed input, a literal "
     "beyond\nthe header's variables and more or fewer clauses than it declares raise\nValueError "
     "'FILE:LINE:COLUMN: problem'; a header asking for more\nvariables than memory holds raises MemoryError at "
     "once; a file that\ncannot be read raises OSError.  On any error nothing is added.  The\ninterpreter lock is "
     "released while the file is read; Ctrl-C stops it."},
    {"parse_dimacs", NV_METH(db_parse_dimacs), METH_FASTCALL | METH_KEYWORDS,
     "parse_dimacs($self, data, name=\"<data>\")\n--\n\nThe same as read_dimacs, for DIMACS CNF content held in "
     "memory: bytes,\nbytearray, memoryview, mmap or any other bytes-like object, or a str\n(decompressed files, "
     "standard input).  `name` stands for the content in\nerror messages.  Returns the number of clauses read."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"num_vars", get_num_vars, nullptr, nullptr, nullptr},
    {"num_clauses", get_num_clauses, nullptr, nullptr, nullptr},
    {"num_lits", get_num_lits, nullptr, nullptr, nullptr},
    {"memory_bytes", get_memory_bytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_box<ClauseArena>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_box)},
    {Py_tp_repr, reinterpret_cast<void*>(db_repr)},
    {Py_mp_length, reinterpret_cast<void*>(db_len)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("ClauseDb(nvars=0)\n--\n\nA clause database living in native memory.")},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "builtins.ClauseDb",
    static_cast<int>(sizeof(DbBox)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

PyObject* cache = nullptr;

}  // namespace

PyObject* clausedb_type() { return cached_type(cache, type_spec); }

ClauseDbView::ClauseDbView(PyObject* obj) {
    if (!cache || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cache))) return;
    access_.emplace(box<ClauseArena>(obj)->access);
    arena_ = box<ClauseArena>(obj)->native;
}

}  // namespace nvpy
