// Search options shared by the Solver constructor and portfolio workers.
#pragma once

#include <string>

#include "../solver/config.hpp"

namespace nvpy {

// Throw nv::ValueError `unknown restart "<name>"` / `unknown ccmin "<name>"`.
nv::Restart parse_restart(const std::string& name);
nv::Ccmin parse_ccmin(const std::string& name);

}  // namespace nvpy
