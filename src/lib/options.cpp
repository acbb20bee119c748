// Search options from Python: the raw record, word parsing, the signature
// text and the exported table, each generated from the option table.
#include "options.hpp"

#include <charconv>

#include "../core/errors.hpp"

namespace nvpy {
namespace {

template <class E>
const char* word_of(E value) {
    for (const nv::Word<E>& w : nv::words_of(value)) {
        if (w.value == value) return w.word;
    }
    return "";
}

template <class T>
RawType<T> raw_value(T value) {
    if constexpr (std::is_enum_v<T>) {
        return word_of(value);
    } else {
        return value;
    }
}

template <class T>
T parse_value(const char* option, const RawType<T>& raw) {
    if constexpr (std::is_enum_v<T>) {
        for (const nv::Word<T>& w : nv::words_of(T{})) {
            if (raw == w.word) return w.value;
        }
        throw nv::ValueError("unknown " + std::string(option) + " " + quote_debug(raw));
    } else {
        return raw;
    }
}

template <class T>
const char* kind_of() {
    if constexpr (std::is_enum_v<T>) {
        return "str";
    } else if constexpr (std::is_same_v<T, bool>) {
        return "bool";
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        return "u32";
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        return "u64";
    } else {
        static_assert(std::is_same_v<T, double>, "an option type without a conversion kind");
        return "f64";
    }
}

// A default as Python's repr() writes it.
template <class T>
std::string python_literal(T value) {
    if constexpr (std::is_enum_v<T>) {
        return std::string("\"") + word_of(value) + "\"";
    } else if constexpr (std::is_same_v<T, bool>) {
        return value ? "True" : "False";
    } else if constexpr (std::is_same_v<T, double>) {
        char buf[32];
        auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
        std::string s(buf, end);
        if (s.find_first_of(".en") == std::string::npos) s += ".0";  // 100 -> 100.0, as repr does
        return s;
    } else {
        return std::to_string(value);
    }
}

template <class T>
PyObject* python_value(T value) {
    if constexpr (std::is_enum_v<T>) {
        return out::str(word_of(value));
    } else if constexpr (std::is_same_v<T, bool>) {
        return out::boolean(value);
    } else if constexpr (std::is_same_v<T, double>) {
        return check(PyFloat_FromDouble(value)).release();
    } else {
        return out::u64(value);
    }
}

template <class T>
PyObject* python_words(T value) {
    if constexpr (std::is_enum_v<T>) {
        auto words = nv::words_of(value);
        out::Tuple t(static_cast<Py_ssize_t>(words.size()));
        for (const nv::Word<T>& w : words) t.put(out::str(w.word));
        return t.release();
    } else {
        return out::Tuple(0).release();
    }
}

}  // namespace

RawOptions raw_defaults() {
    const nv::Config c;
    RawOptions r;
#define NV_RAW_DEFAULT(name, type, dflt, help) r.name = raw_value(c.name);
    NV_SOLVER_OPTIONS(NV_RAW_DEFAULT)
#undef NV_RAW_DEFAULT
    return r;
}

nv::Config to_config(const RawOptions& raw) {
    nv::Config c;
#define NV_PARSE(name, type, dflt, help) c.name = parse_value<decltype(c.name)>(#name, raw.name);
    NV_SOLVER_OPTIONS(NV_PARSE)
#undef NV_PARSE
    return c;
}

std::string options_signature() {
    const nv::Config c;
    std::string s;
#define NV_SIGNATURE(name, type, dflt, help) \
    s += (s.empty() ? "" : ", ") + std::string(#name) + "=" + python_literal(c.name);
    NV_SOLVER_OPTIONS(NV_SIGNATURE)
#undef NV_SIGNATURE
    return s;
}

PyObject* options_table() {
    const nv::Config c;
    constexpr Py_ssize_t n = 0
#define NV_COUNT(name, type, dflt, help) +1
        NV_SOLVER_OPTIONS(NV_COUNT);
#undef NV_COUNT
    out::Tuple table(n);
#define NV_ROW(name, type, dflt, help)                                                                  \
    {                                                                                                   \
        out::Tuple row(5);                                                                              \
        row.put(out::str(#name)).put(out::str(kind_of<decltype(c.name)>())).put(python_value(c.name)); \
        row.put(python_words(c.name)).put(out::str(help));                                             \
        table.put(row.release());                                                                       \
    }
    NV_SOLVER_OPTIONS(NV_ROW)
#undef NV_ROW
    return table.release();
}

}  // namespace nvpy
