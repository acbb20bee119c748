// A clausal (DRAT) proof as it is produced.
//
// The solver and the preprocessor log every clause they add or delete here.
// A log is off, kept in memory, or streamed to a file:
//
//   * in memory, steps are stored in the binary DRAT encoding -- a kind byte
//     ('a' or 'd'), each literal as a variable-length number (varint.hpp)
//     and a zero byte -- which costs one to five bytes a literal instead of
//     a vector per step;
//   * to a file, steps go through a buffer to the file as DRAT text
//     ("1 -2 0", "d 1 -2 0") or binary DRAT, and are not kept.
//
// Internal literal l is the binary number l + 2 (2 * (v + 1) + sign) and the
// DIMACS literal to_dimacs(l) in text.  Writing never throws while a search
// or a simplification is under way: a failed write is remembered, later
// steps are dropped, and flush() or check() -- called where the caller's
// state is consistent -- raises it as IoError.  The checker reads both
// encodings back (src/checker); for_each_step() decodes the in-memory form,
// also after it was handed over with take_encoded().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lit.hpp"
#include "varint.hpp"

namespace nv {

enum class ProofFormat : uint8_t { Text, Binary };

class ProofLog {
public:
    ProofLog() = default;
    ~ProofLog();
    ProofLog(const ProofLog&) = delete;
    ProofLog& operator=(const ProofLog&) = delete;
    ProofLog(ProofLog&& o) noexcept;
    ProofLog& operator=(ProofLog&& o) noexcept;

    bool on() const noexcept { return mode_ != Mode::Off; }
    bool to_file() const noexcept { return mode_ == Mode::File; }

    // Turns logging on with the steps kept in memory (a file opened before
    // is closed first).
    void keep_in_memory() noexcept;
    // Turns logging on with the steps written to `path` (created or
    // truncated).  Throws IoError when the file cannot be opened; the log is
    // then unchanged.
    void open(const std::string& path, ProofFormat format);

    void add(const Lit* lits, size_t n) { step('a', lits, n); }
    void del(const Lit* lits, size_t n) { step('d', lits, n); }
    void add(std::span<const Lit> c) { step('a', c.data(), c.size()); }
    void del(std::span<const Lit> c) { step('d', c.data(), c.size()); }

    // File mode: writes out what is buffered, then throws IoError if any
    // write so far has failed (again at every later flush).  Memory mode and
    // off: nothing.
    void flush();
    // File mode: flushes and closes the file, dropping any error; the log is
    // then off.  Other modes: nothing.
    void close() noexcept;
    // Throws IoError when a write has failed, without writing anything.
    void check() const;
    bool failed() const noexcept { return error_ != 0; }

    // Steps and literals logged so far (in every mode).
    size_t num_steps() const noexcept { return steps_; }
    uint64_t num_lits() const noexcept { return lits_; }
    const std::vector<uint8_t>& encoded() const noexcept { return buf_; }
    std::vector<ProofStep> steps() const;
    // Memory mode: calls f(is_deletion, std::span<const Lit>) for every
    // step, in order (file mode: none are kept).
    template <class F>
    void for_each(F&& f) const;
    // Hands the memory-mode encoding over (the log keeps its mode, emptied).
    std::vector<uint8_t> take_encoded() noexcept;

    // Bytes of memory the log holds (buffer capacity).
    size_t memory_bytes() const noexcept { return buf_.capacity(); }
    const std::string& path() const noexcept { return path_; }

private:
    enum class Mode : uint8_t { Off, Memory, File };

    void step(char kind, const Lit* lits, size_t n);
    void write_out() noexcept;

    Mode mode_ = Mode::Off;
    ProofFormat format_ = ProofFormat::Text;
    std::vector<uint8_t> buf_;  // memory mode: every step; file mode: unwritten bytes
    size_t steps_ = 0;
    uint64_t lits_ = 0;
    int fd_ = -1;
    int error_ = 0;             // errno of the first failed write
    std::string path_;
};

// Calls f(is_deletion, std::span<const Lit>) for every step of an in-memory
// encoding (ProofLog::encoded() or take_encoded()), in order.
template <class F>
void for_each_step(std::span<const uint8_t> enc, F&& f) {
    std::vector<Lit> lits;
    const uint8_t* p = enc.data();
    const uint8_t* const end = p + enc.size();
    while (p < end) {
        bool del = *p++ == 'd';
        lits.clear();
        uint64_t u = 0;
        while (get_varint(p, end, u) == VarintRead::Ok && u != 0) lits.push_back(static_cast<Lit>(u - 2));
        f(del, std::span<const Lit>(lits));
    }
}

template <class F>
void ProofLog::for_each(F&& f) const {
    if (mode_ == Mode::Memory) for_each_step(buf_, std::forward<F>(f));
}

}  // namespace nv
