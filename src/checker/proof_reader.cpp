// The proof reader's two scanners: text DRAT token by token (comments,
// "d", signed literals, whitespace of any kind, line numbers kept for
// messages) and binary DRAT step by step through get_varint.  Each returns
// one step into a reused literal vector and fails with a ValueError naming
// the byte offset; the rules of the two encodings and how they are told
// apart are in proof_reader.hpp.  What a step means is check.cpp's affair.
#include "proof_reader.hpp"

#include <cstring>

#include "../core/errors.hpp"
#include "../core/varint.hpp"

namespace nv {

namespace {

bool is_space(uint8_t c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(uint8_t c) noexcept { return c >= '0' && c <= '9'; }

// "'x'" for a printable character, "byte 0x07" otherwise.
std::string describe(uint8_t c) {
    if (c > 0x20 && c < 0x7F) return std::string("character '") + static_cast<char>(c) + "'";
    static const char hex[] = "0123456789abcdef";
    return std::string("byte 0x") + hex[c >> 4] + hex[c & 15];
}

// The largest magnitude of a DIMACS literal: -2^31 (from_dimacs maps every
// non-zero 32-bit integer).
constexpr uint64_t kMaxMagnitude = uint64_t{1} << 31;
// The largest binary number of a literal: 32-bit literal + 2.
constexpr uint64_t kMaxBinary = uint64_t{0xFFFFFFFFu} + 2;

}  // namespace

ProofEncoding detect_encoding(std::span<const uint8_t> data) noexcept {
    if (data.empty()) return ProofEncoding::Text;
    if (data[0] == 'a') return ProofEncoding::Binary;
    if (data[0] == 'd' && std::memchr(data.data(), 0, data.size()) != nullptr) return ProofEncoding::Binary;
    return ProofEncoding::Text;
}

ProofReader::ProofReader(std::span<const uint8_t> data)
    : data_(data.data()), size_(data.size()), encoding_(detect_encoding(data)) {}

void ProofReader::rewind() {
    pos_ = 0;
    line_ = 1;
}

bool ProofReader::next(bool& is_deletion, std::span<const Lit>& lits) {
    const bool more = encoding_ == ProofEncoding::Text ? next_text(is_deletion) : next_binary(is_deletion);
    lits = lits_;
    return more;
}

void ProofReader::fail(size_t offset, const std::string& what) const {
    std::string msg = "malformed DRAT proof (";
    msg += encoding_ == ProofEncoding::Text ? "text" : "binary";
    msg += ") at byte offset " + std::to_string(offset);
    if (encoding_ == ProofEncoding::Text) msg += ", line " + std::to_string(line_);
    throw ValueError(msg + ": " + what);
}

bool ProofReader::next_text(bool& is_deletion) {
    const uint8_t* const s = data_;
    const size_t n = size_;
    size_t p = pos_;
    uint64_t line = line_;
    // Keeps line_ in step with p for messages.
    auto fail_at = [&](size_t offset, const std::string& what) {
        pos_ = p;
        line_ = line;
        fail(offset, what);
    };
    lits_.clear();
    is_deletion = false;
    bool open = false;  // inside a step: after "d" or a literal
    for (;;) {
        while (p < n && is_space(s[p])) {
            if (s[p] == '\n') ++line;
            ++p;
        }
        if (p == n) {
            if (open) fail_at(n, "proof ends inside a step");
            pos_ = p;
            line_ = line;
            return false;
        }
        const uint8_t c = s[p];
        if (!open && c == 'c') {
            while (p < n && s[p] != '\n') ++p;
            continue;
        }
        if (!open && c == 'd') {
            ++p;
            if (p == n) fail_at(n, "proof ends inside a step");
            if (!is_space(s[p])) fail_at(p, "unexpected " + describe(s[p]) + " after 'd'");
            is_deletion = true;
            open = true;
            continue;
        }
        const size_t token = p;
        const bool negative = c == '-';
        if (negative) ++p;
        if (p == n || !is_digit(s[p])) {
            if (negative) fail_at(p, p == n ? "proof ends inside a step" : "unexpected " + describe(s[p]) + " after '-'");
            fail_at(p, "unexpected " + describe(s[p]));
        }
        uint64_t v = 0;
        while (p < n && is_digit(s[p])) {
            v = v * 10 + (s[p] - '0');
            if (v > kMaxMagnitude) fail_at(token, "literal out of range");
            ++p;
        }
        if (p < n && !is_space(s[p])) fail_at(p, "unexpected " + describe(s[p]));
        if (v == 0) {
            pos_ = p;
            line_ = line;
            return true;
        }
        if (!negative && v == kMaxMagnitude) fail_at(token, "literal out of range");
        const int64_t d = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        lits_.push_back(from_dimacs(static_cast<int32_t>(d)));
        open = true;
    }
}

bool ProofReader::next_binary(bool& is_deletion) {
    const uint8_t* const s = data_;
    const size_t n = size_;
    size_t p = pos_;
    if (p >= n) return false;
    const uint8_t kind = s[p];
    if (kind != 'a' && kind != 'd') fail(p, "step kind must be 'a' or 'd', found " + describe(kind));
    is_deletion = kind == 'd';
    ++p;
    lits_.clear();
    for (;;) {
        if (p >= n) fail(n, "proof ends inside a step");
        const size_t start = p;
        uint64_t u = s[p];
        if (u < 0x80) {
            ++p;
        } else {
            const uint8_t* q = s + p;
            const VarintRead r = get_varint(q, s + n, u);
            if (r == VarintRead::Truncated) fail(n, "proof ends inside a step");
            if (r == VarintRead::Overflow) fail(start, "literal out of range");
            p = static_cast<size_t>(q - s);
        }
        if (u == 0) break;
        if (u == 1 || u > kMaxBinary) fail(start, "literal out of range");
        lits_.push_back(static_cast<Lit>(u - 2));
    }
    pos_ = p;
    return true;
}

}  // namespace nv
