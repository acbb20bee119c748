// Search options as Python hands them over: everything the Solver
// constructor and the portfolio's worker mappings need, generated from the
// option table (src/solver/config.hpp).
//
// Options are read in two steps.  First every value is converted to a
// RawOptions, where an option that takes a word is still the word; then
// to_config() parses the words in table order, so that a bad conversion
// anywhere is reported before an unknown word.  The binding conventions
// (argument binding, conversion kinds, notes) are in binding.hpp; the
// constructor itself is in solver_py.cpp, the worker reader in
// portfolio_py.cpp.
#pragma once

#include <string>
#include <type_traits>

#include "../solver/config.hpp"
#include "binding.hpp"

namespace nvpy {

// The type an option has before its word is parsed.
template <class T>
using RawType = std::conditional_t<std::is_enum_v<T>, std::string, T>;

struct RawOptions {
#define NV_RAW_FIELD(name, type, dflt, help) RawType<decltype(nv::Config::name)> name;
    NV_SOLVER_OPTIONS(NV_RAW_FIELD)
#undef NV_RAW_FIELD
};

// The defaults of the option table, words as words.
RawOptions raw_defaults();

// Parse the words (ValueError `unknown <option> "<word>"` for the first
// unknown one) and build the Config.
nv::Config to_config(const RawOptions& raw);

// Conversion of one option value from Python, by its raw type (the
// conversion kinds of binding.hpp: conv::boolean, u32, u64, f64, str).
template <class T>
T option_value(PyObject* o);
template <>
inline bool option_value<bool>(PyObject* o) { return conv::boolean(o); }
template <>
inline uint32_t option_value<uint32_t>(PyObject* o) { return conv::u32(o); }
template <>
inline uint64_t option_value<uint64_t>(PyObject* o) { return conv::u64(o); }
template <>
inline double option_value<double>(PyObject* o) { return conv::f64(o); }
template <>
inline std::string option_value<std::string>(PyObject* o) { return conv::str(o); }

// "name=default, ..." for every option, each default as Python writes it
// (True, 0.8, "luby"): the options' part of a text signature.
std::string options_signature();

// The exported table: a tuple of (name, kind, default, words, help) per
// option, kind one of "str", "bool", "u32", "u64", "f64", and words the
// accepted words of a "str" option (an empty tuple otherwise).
PyObject* options_table();

}  // namespace nvpy
