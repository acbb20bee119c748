// Search options of one solver.  Copied into the solver at construction and
// never changed afterwards.  No range validation happens here: the Python
// layer (src/lib) checks ranges and parses the names of the enumerated
// options before a Config reaches a solver.
#pragma once

#include <cstdint>

namespace nv {

enum class Restart : uint8_t { Glucose = 0, Luby = 1, None = 2 };
enum class Ccmin : uint8_t { Deep = 0, Basic = 1, None = 2 };

struct Config {
    Restart restart = Restart::Luby;
    Ccmin ccmin = Ccmin::Deep;
    bool phase_saving = true;
    bool init_phase = false;
    bool target_phase = true;
    uint64_t target_reset = 0;
    uint64_t walk_flips = 20000;
    uint64_t walk_interval = 1;
    uint64_t walk_patience = 3;
    uint64_t walk_min_conflicts = 5000;
    double var_decay = 0.8;
    double var_decay_max = 0.95;
    double cla_decay = 0.999;
    double luby_base = 100.0;
    uint64_t first_reduce = 2000;
    uint64_t reduce_inc = 300;
    uint32_t glue_keep = 2;
    bool block_restart = true;
    double rnd_freq = 0.0;
    uint32_t rnd_seed = 91648253;
};

}  // namespace nv
