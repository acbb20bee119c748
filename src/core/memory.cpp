#include "memory.hpp"

#include <new>
#include <unistd.h>

namespace nv {

uint64_t physical_memory_bytes() noexcept {
    static const uint64_t total = [] {
        long pages = sysconf(_SC_PHYS_PAGES);
        long page = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page <= 0) return UINT64_MAX;
        return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
    }();
    return total;
}

void ensure_fits(uint64_t bytes) {
    if (bytes > physical_memory_bytes()) throw std::bad_alloc();
}

void ensure_fits(uint64_t count, uint64_t item_bytes) {
    if (item_bytes != 0 && count > UINT64_MAX / item_bytes) throw std::bad_alloc();
    ensure_fits(count * item_bytes);
}

}  // namespace nv
