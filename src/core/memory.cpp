// The physical memory (once, from sysconf) and the memory available now
// (MemAvailable + SwapFree from /proc/meminfo, read only for large growths)
// that memory.hpp's checks compare a growth with.
#include "memory.hpp"

#include <cstdio>
#include <cstring>
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

namespace {

// Memory the kernel could still hand out now (MemAvailable + SwapFree), or
// UINT64_MAX when that cannot be read.
uint64_t available_memory_bytes() noexcept {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return UINT64_MAX;
    char line[256];
    uint64_t avail = 0, swap = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long kb = 0;
        if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
            avail = kb * 1024;
            found = true;
        } else if (std::sscanf(line, "SwapFree: %llu kB", &kb) == 1) {
            swap = kb * 1024;
        }
    }
    std::fclose(f);
    return found ? avail + swap : UINT64_MAX;
}

// Growths below this size are not worth a look at /proc/meminfo.
constexpr uint64_t kLargeGrowth = uint64_t{256} << 20;

}  // namespace

void ensure_fits(uint64_t bytes) {
    if (bytes > physical_memory_bytes()) throw std::bad_alloc();
    if (bytes >= kLargeGrowth && bytes > available_memory_bytes()) throw std::bad_alloc();
}

void ensure_fits(uint64_t count, uint64_t item_bytes) {
    if (item_bytes != 0 && count > UINT64_MAX / item_bytes) throw std::bad_alloc();
    ensure_fits(count * item_bytes);
}

}  // namespace nv
