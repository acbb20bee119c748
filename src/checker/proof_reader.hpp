// DRAT proofs read from a byte buffer (a bytes object, a memory-mapped
// file), one step at a time, without building a step list.
//
// Two encodings, the ones ProofLog writes (src/core/proof_log.hpp):
//   * text: whitespace-separated DIMACS literals, each step ended by 0, a
//     deletion opened by the token "d"; lines that start with "c" are
//     comments;
//   * binary: a kind byte 'a' or 'd', each literal l as the variable-length
//     number l + 2 (src/core/varint.hpp), then a zero byte.
// The encoding is told apart by content: a binary proof starts with 'a' or
// 'd' and holds a zero byte (every binary step ends with one), which text
// never holds.  So a proof starting with 'a' is binary, one starting with
// 'd' is binary exactly when it holds a zero byte, and anything else is
// text.
//
// Malformed input throws ValueError naming the byte offset (and, for text,
// the line) of the fault.  The reader never reads outside the buffer, even
// when another thread changes its bytes meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "checker.hpp"

namespace nv {

enum class ProofEncoding : uint8_t { Text, Binary };

ProofEncoding detect_encoding(std::span<const uint8_t> data) noexcept;

class ProofReader final : public StepSource {
public:
    explicit ProofReader(std::span<const uint8_t> data);

    ProofEncoding encoding() const noexcept { return encoding_; }
    bool next(bool& is_deletion, std::span<const Lit>& lits) override;
    void rewind() override;

private:
    bool next_text(bool& is_deletion);
    bool next_binary(bool& is_deletion);
    [[noreturn]] void fail(size_t offset, const std::string& what) const;

    const uint8_t* data_;
    size_t size_;
    ProofEncoding encoding_;
    size_t pos_ = 0;
    uint64_t line_ = 1;  // text: line of pos_
    std::vector<Lit> lits_;
};

}  // namespace nv
