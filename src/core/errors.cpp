#include "errors.hpp"

#include <cstring>

namespace nv {

IoError::IoError(int e, std::string p) : std::runtime_error(std::strerror(e)), err(e), path(std::move(p)) {}

}  // namespace nv
