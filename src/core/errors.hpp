// Error kinds the native cores raise.  The Python layer maps each to one
// Python exception with the same message:
//   Panic         -> PanicException  (a broken internal invariant)
//   ValueError    -> ValueError      (bad input detected by a body)
//   OverflowError -> OverflowError
//   IoError       -> OSError         (errno, its text and the file name)
//   MemoryError   -> MemoryError     (a demand refused before anything grew)
//   std::bad_alloc, std::length_error -> MemoryError
// No native error ends the process.
#pragma once

#include <stdexcept>
#include <string>

namespace nv {

struct Panic : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OverflowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct MemoryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failed file operation: `err` is the errno value, `path` the file.
struct IoError : std::runtime_error {
    IoError(int e, std::string p);
    int err;
    std::string path;
};

}  // namespace nv
