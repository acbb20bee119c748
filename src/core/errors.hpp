// Error kinds the native cores raise.  The Python layer maps each to one
// Python exception with the same message:
//   Panic         -> PanicException  (a broken internal invariant)
//   ValueError    -> ValueError      (bad input detected by a body)
//   OverflowError -> OverflowError
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

}  // namespace nv
