// The one error kind of errors.hpp that carries more than its message:
// IoError keeps errno and the file name for the Python layer's OSError.
#include "errors.hpp"

#include <cstring>

namespace nv {

IoError::IoError(int e, std::string p) : std::runtime_error(std::strerror(e)), err(e), path(std::move(p)) {}

}  // namespace nv
