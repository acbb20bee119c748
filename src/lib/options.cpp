// The names of the two enumerated search options, as Python passes them,
// to their native values (options.hpp).
#include "options.hpp"

#include "../core/errors.hpp"
#include "binding.hpp"

namespace nvpy {

nv::Restart parse_restart(const std::string& name) {
    if (name == "glucose") return nv::Restart::Glucose;
    if (name == "luby") return nv::Restart::Luby;
    if (name == "none") return nv::Restart::None;
    throw nv::ValueError("unknown restart " + quote_debug(name));
}

nv::Ccmin parse_ccmin(const std::string& name) {
    if (name == "deep") return nv::Ccmin::Deep;
    if (name == "basic") return nv::Ccmin::Basic;
    if (name == "none") return nv::Ccmin::None;
    throw nv::ValueError("unknown ccmin " + quote_debug(name));
}

}  // namespace nvpy
