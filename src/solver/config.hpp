// Search options of one solver, written once as a table.  Copied into the
// solver at construction and never changed afterwards; no range validation
// happens here.
//
// NV_SOLVER_OPTIONS is the single list of the twenty options, in their
// order: the Config struct below is generated from it, and so are, in
// src/lib, the Solver constructor's parameters and their conversion, its
// text signature, the portfolio's reading of worker mappings and the
// engine's exported option table; tools/gen_stub.py reads this file to
// write the options into the type stub.  An option that takes a word has an
// enumeration whose words are listed beside it (NV_RESTART_WORDS, ...); its
// codes follow the order of those words.  Parsing words from Python and the
// messages for unknown ones stay in src/lib/options.cpp.
//
// Row format (kept to one line per option, tools/gen_stub.py parses it):
//   X(name, C++ type, default, "one line of help")
#pragma once

#include <cstdint>
#include <span>

namespace nv {

#define NV_SOLVER_OPTIONS(X)                                                                                      \
    X(restart, Restart, Restart::Luby, "restart policy: glucose (glue averages), luby (Luby sequence) or none")   \
    X(ccmin, Ccmin, Ccmin::Deep, "learned-clause minimisation: deep (recursive), basic (one level) or none")      \
    X(phase_saving, bool, true, "remember each variable's last value when backtracking")                          \
    X(init_phase, bool, false, "initial saved value of every variable (true = positive)")                         \
    X(target_phase, bool, true, "decide with the target phase of the best trail seen")                            \
    X(target_reset, uint64_t, 0, "forget the best trail every N-th restart (0 = never)")                          \
    X(walk_flips, uint64_t, 20000, "flip budget of one local-search phase walk (0 = no walk)")                    \
    X(walk_interval, uint64_t, 1, "consider a walk at every N-th restart")                                        \
    X(walk_patience, uint64_t, 3, "stop walking after this many walks in a row without a new best")               \
    X(walk_min_conflicts, uint64_t, 5000, "no walk before this many conflicts")                                   \
    X(var_decay, double, 0.8, "starting variable activity decay factor")                                          \
    X(var_decay_max, double, 0.95, "largest variable activity decay factor")                                      \
    X(cla_decay, double, 0.999, "learned-clause activity decay factor")                                           \
    X(luby_base, double, 100.0, "conflicts per Luby unit")                                                        \
    X(first_reduce, uint64_t, 2000, "conflicts before the first learned-clause reduction")                        \
    X(reduce_inc, uint64_t, 300, "growth step of the reduction schedule")                                         \
    X(glue_keep, uint32_t, 2, "never reduce learned clauses of at most this glue")                                \
    X(block_restart, bool, true, "block restarts while the trail is unusually long")                              \
    X(rnd_freq, double, 0.0, "probability of a random decision")                                                  \
    X(rnd_seed, uint32_t, 91648253, "seed of the random generator")

// Words of the options that take one, in code order: X(enumerator, "word").
#define NV_RESTART_WORDS(X) X(Glucose, "glucose") X(Luby, "luby") X(None, "none")
#define NV_CCMIN_WORDS(X) X(Deep, "deep") X(Basic, "basic") X(None, "none")

#define NV_ENUMERATOR(e, word) e,
enum class Restart : uint8_t { NV_RESTART_WORDS(NV_ENUMERATOR) };
enum class Ccmin : uint8_t { NV_CCMIN_WORDS(NV_ENUMERATOR) };
#undef NV_ENUMERATOR

// An enumerator and its word; words_of(E{}) lists every word of E.
template <class E>
struct Word {
    E value;
    const char* word;
};

#define NV_WORD(e, word) {E::e, word},
inline std::span<const Word<Restart>> words_of(Restart) {
    using E = Restart;
    static constexpr Word<E> words[] = {NV_RESTART_WORDS(NV_WORD)};
    return words;
}
inline std::span<const Word<Ccmin>> words_of(Ccmin) {
    using E = Ccmin;
    static constexpr Word<E> words[] = {NV_CCMIN_WORDS(NV_WORD)};
    return words;
}
#undef NV_WORD

struct Config {
#define NV_CONFIG_FIELD(name, type, dflt, help) type name = dflt;
    NV_SOLVER_OPTIONS(NV_CONFIG_FIELD)
#undef NV_CONFIG_FIELD
};

}  // namespace nv
