// Guard against growth that the machine cannot hold.
//
// Linux overcommits: a huge allocation may succeed and the process is killed
// later when the pages are touched.  Growth that scales with a caller-given
// number (a literal naming variable 2^31, say) is therefore checked against
// the physical memory, and a large one also against the memory available at
// that moment, before anything grows; a growth that cannot fit is refused
// with std::bad_alloc, which the Python layer reports as MemoryError with
// nothing changed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nv {

// Total physical memory in bytes (cached after the first call).
uint64_t physical_memory_bytes() noexcept;

// Throws std::bad_alloc when `bytes` more bytes could not fit: more than the
// physical memory, or (for large growths) more than the memory available now.
void ensure_fits(uint64_t bytes);

// Same, for `count` items of `item_bytes` each, without overflow.
void ensure_fits(uint64_t count, uint64_t item_bytes);

}  // namespace nv
