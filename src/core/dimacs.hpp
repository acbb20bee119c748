// DIMACS CNF reader: the one parser of formula files.
//
// The text is read a block of whole lines at a time -- a file through a
// 1 MiB buffer, never whole in memory -- and scanned once.  The accepted
// form is strict: comment lines start with 'c'; one header line
// "p cnf VARIABLES CLAUSES" comes before any clause; every other token is a
// plain, optionally signed decimal integer (no "1_0", "--5", "+-3", "1.0");
// a clause ends with 0 and may span lines; a line starting with '%' ends the
// formula (old benchmark files put one before a stray "0").  Literals beyond
// the header's variables, more or fewer clauses than it declares and a last
// clause without its 0 are errors.  Every error is a DimacsError whose
// message starts with "NAME:LINE:COLUMN: ", pointing at the offending token.
//
// Clauses come out cleaned, as ClauseArena::add would store them: a
// duplicate literal is dropped (its first occurrence stays) and a tautology
// is not stored.  Both are found with one mark byte per literal, sized from
// the header: a header asking for more variables than memory holds is a
// MemoryError before anything is read.  Storing into a ClauseDb is left to
// the caller (src/lib/clausedb.cpp), which keeps its store unchanged on
// error by reading into a fresh arena first.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "arena.hpp"
#include "errors.hpp"
#include "interrupt.hpp"

namespace nv {

struct DimacsError : ValueError {
    using ValueError::ValueError;
};

struct DimacsFormula {
    ClauseArena clauses;       // cleaned; num_vars at least the header's count
    uint64_t read = 0;         // clauses read, tautologies included
    bool interrupted = false;  // the hook fired: the formula is incomplete
};

// Parses DIMACS CNF held in memory; `name` stands for it in messages.
// Polls `stop` (may be null) between blocks of lines.
DimacsFormula parse_dimacs(std::span<const char> text, const std::string& name, Interrupt* stop);

// Reads the DIMACS CNF file at `path` (named `name` in messages).  Throws
// IoError when it cannot be opened or read.
DimacsFormula read_dimacs_file(const std::string& path, const std::string& name, Interrupt* stop);

}  // namespace nv
