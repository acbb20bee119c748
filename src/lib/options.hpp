// Search options shared by the Solver constructor (solver_py.cpp) and the
// portfolio's worker mappings (portfolio_py.cpp): the two enumerated
// options are passed as names and parsed here into src/solver/config.hpp's
// values.
#pragma once

#include <string>

#include "../solver/config.hpp"

namespace nvpy {

// Throw nv::ValueError `unknown restart "<name>"` / `unknown ccmin "<name>"`.
nv::Restart parse_restart(const std::string& name);
nv::Ccmin parse_ccmin(const std::string& name);

}  // namespace nvpy
