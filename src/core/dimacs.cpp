// The DIMACS reader of dimacs.hpp: a Parser that takes blocks of whole lines
// and keeps its position (line, column) for messages, fed either from a
// file read through a growing buffer (an unfinished line is carried over)
// or from text already in memory.  Tokens are scanned by hand against the
// strict rules; clauses go into a ClauseArena (arena.hpp) as they end, and
// the interrupt hook is polled between blocks.
#include "dimacs.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <vector>

#include "memory.hpp"

namespace nv {

namespace {

// Lines are handed to the parser in blocks of about this many bytes.
constexpr size_t kBlock = size_t{1} << 20;
// The largest DIMACS variable: literals are signed 32-bit.
constexpr uint64_t kMaxVars = 0x7FFFFFFF;

bool blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool space(char c) noexcept { return blank(c) || c == '\n'; }
bool digit(char c) noexcept { return c >= '0' && c <= '9'; }

struct FreeDeleter {
    void operator()(uint8_t* p) const noexcept { std::free(p); }
};

class Parser {
public:
    explicit Parser(const std::string& name) : name_(name) {}

    // Parses [b, e), which holds whole lines (the last one may lack its
    // '\n' only at the end of the input).  False once the formula has ended.
    bool lines(const char* b, const char* e);
    // At the end of the input: the checks only the end can make.
    DimacsFormula finish();

private:
    [[noreturn]] void fail(uint64_t line, uint64_t col, const std::string& what) const {
        throw DimacsError(name_ + ":" + std::to_string(line) + ":" + std::to_string(col) + ": " + what);
    }
    [[noreturn]] void fail_at(const char* p, const std::string& what) const {
        fail(line_, static_cast<uint64_t>(p - line_start_) + 1, what);
    }
    static std::string shown(const char* b, const char* e);
    static const char* token_end(const char* p, const char* e) {
        while (p < e && !space(*p)) ++p;
        return p;
    }
    const char* header(const char* p, const char* e);
    const char* count(const char* p, const char* e, const char* what, uint64_t& value);
    void literal(const char* tok, const char* p, bool negative, uint64_t value);
    void end_clause(const char* tok);

    const std::string& name_;
    DimacsFormula out_;
    uint64_t line_ = 1;
    const char* line_start_ = nullptr;
    bool have_header_ = false;
    uint64_t vars_ = 0, declared_ = 0;
    uint64_t header_line_ = 0, declared_col_ = 0;
    std::string declared_text_;
    std::unique_ptr<uint8_t, FreeDeleter> marks_;  // one byte per literal
    std::vector<Lit> clause_;                       // its distinct literals so far
    bool tautology_ = false;
    bool open_ = false;                             // a clause has literals but no 0 yet
    uint64_t last_line_ = 0, last_col_ = 0;         // just past the last literal read
    uint64_t end_line_ = 1, end_col_ = 1;           // where the formula ended
};

std::string Parser::shown(const char* b, const char* e) {
    static const char* hex = "0123456789abcdef";
    std::string s = "'";
    size_t n = 0;
    for (const char* p = b; p < e; ++p, ++n) {
        if (n == 24) {
            s += "...";
            break;
        }
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7f && c != '\'' && c != '\\') {
            s += static_cast<char>(c);
        } else {
            s += "\\x";
            s += hex[c >> 4];
            s += hex[c & 15];
        }
    }
    return s + "'";
}

// One header count: a plain unsigned decimal; saturates at UINT64_MAX.
const char* Parser::count(const char* p, const char* e, const char* what, uint64_t& value) {
    while (p < e && blank(*p)) ++p;
    const char* t = token_end(p, e);
    if (p == t) fail_at(p, std::string("the header ends before its ") + what + " count");
    value = 0;
    for (const char* q = p; q < t; ++q) {
        if (!digit(*q)) {
            fail_at(p, std::string("expected the ") + what + " count of the header, found " + shown(p, t));
        }
        uint64_t d = static_cast<uint64_t>(*q - '0');
        value = value > (UINT64_MAX - d) / 10 ? UINT64_MAX : value * 10 + d;
    }
    return t;
}

const char* Parser::header(const char* p, const char* e) {
    const char* t = token_end(p, e);
    if (have_header_) fail_at(p, "a second 'p' header line");
    if (t - p != 1) fail_at(p, "expected 'p cnf VARIABLES CLAUSES', found " + shown(p, t));
    p = t;
    while (p < e && blank(*p)) ++p;
    t = token_end(p, e);
    if (t - p != 3 || std::memcmp(p, "cnf", 3) != 0) {
        fail_at(p, p == t ? std::string("the header ends before 'cnf'") : "expected 'cnf' after 'p', found " + shown(p, t));
    }
    while (t < e && blank(*t)) ++t;
    const char* vars_at = t;
    p = count(t, e, "variable", vars_);
    const std::string vars_text(vars_at, p);
    while (p < e && blank(*p)) ++p;
    header_line_ = line_;
    declared_col_ = static_cast<uint64_t>(p - line_start_) + 1;
    const char* declared_at = p;
    p = count(p, e, "clause", declared_);
    declared_text_.assign(declared_at, p);
    while (p < e && blank(*p)) ++p;
    if (p < e && *p != '\n') fail_at(p, "unexpected " + shown(p, token_end(p, e)) + " after the header");

    // The mark table makes the variable count a real demand on memory.
    bool fits = vars_ <= kMaxVars;
    if (fits && vars_ > 0) {
        try {
            ensure_fits(2 * vars_);
            marks_.reset(static_cast<uint8_t*>(std::calloc(2 * vars_, 1)));
        } catch (const std::bad_alloc&) {
        }
        fits = marks_ != nullptr;
    }
    if (!fits) {
        throw MemoryError(name_ + ":" + std::to_string(line_) + ":" + std::to_string(vars_at - line_start_ + 1) +
                          ": the header asks for " + vars_text + " variables: more than memory holds");
    }
    out_.clauses.note_num_vars(static_cast<uint32_t>(vars_));
    have_header_ = true;
    return p;
}

void Parser::literal(const char* tok, const char* p, bool negative, uint64_t value) {
    if (!have_header_) fail_at(tok, "a clause before the 'p cnf' header");
    if (!open_ && out_.read == declared_) {
        fail_at(tok, "more clauses than the " + declared_text_ + " the header declares");
    }
    if (value > vars_) {
        fail_at(tok, "literal " + std::string(tok, p) + " is beyond the header's " + std::to_string(vars_) +
                         " variables");
    }
    open_ = true;
    last_line_ = line_;
    last_col_ = static_cast<uint64_t>(p - line_start_) + 1;
    if (tautology_) return;
    Lit l = static_cast<Lit>(2 * (value - 1) + (negative ? 1 : 0));
    uint8_t* m = marks_.get();
    if (m[l]) return;
    if (m[l ^ 1u]) {
        // Stored as ClauseArena::add would treat it: the literals before the
        // complementary pair, then the pair's second literal (nothing is
        // stored; num_vars and capacity move as they would).
        tautology_ = true;
        clause_.push_back(l);
        return;
    }
    m[l] = 1;
    clause_.push_back(l);
}

void Parser::end_clause(const char* tok) {
    if (!have_header_) fail_at(tok, "a clause before the 'p cnf' header");
    if (!open_ && out_.read == declared_) {
        fail_at(tok, "more clauses than the " + declared_text_ + " the header declares");
    }
    uint8_t* m = marks_.get();
    size_t marked = clause_.size() - (tautology_ ? 1 : 0);
    for (size_t i = 0; i < marked; ++i) m[clause_[i]] = 0;
    if (tautology_) {
        out_.clauses.add(clause_);
    } else {
        out_.clauses.add_distinct(clause_);
    }
    clause_.clear();
    tautology_ = false;
    open_ = false;
    out_.read += 1;
}

bool Parser::lines(const char* b, const char* e) {
    const char* p = b;
    while (p < e) {
        line_start_ = p;
        while (p < e && blank(*p)) ++p;
        if (p < e && *p == 'c') {
            const void* nl = std::memchr(p, '\n', static_cast<size_t>(e - p));
            if (!nl) {
                p = e;
                break;
            }
            p = static_cast<const char*>(nl) + 1;
            line_ += 1;
            line_start_ = p;
            continue;
        }
        if (p < e && *p == '%') {
            end_line_ = line_;
            end_col_ = static_cast<uint64_t>(p - line_start_) + 1;
            return false;
        }
        if (p < e && *p == 'p') p = header(p, e);
        while (p < e && *p != '\n') {
            if (blank(*p)) {
                ++p;
                continue;
            }
            const char* tok = p;
            bool negative = false;
            if (*p == '-' || *p == '+') {
                negative = *p == '-';
                ++p;
            }
            const char* digits = p;
            uint64_t value = 0;
            while (p < e && digit(*p)) {
                if (value <= kMaxVars) value = value * 10 + static_cast<uint64_t>(*p - '0');
                ++p;
            }
            if (p == digits || (p < e && !space(*p))) {
                fail_at(tok, "expected a literal (a decimal integer), found " + shown(tok, token_end(p, e)));
            }
            if (value == 0) {
                end_clause(tok);
            } else {
                literal(tok, p, negative, value);
            }
        }
        if (p < e) {
            ++p;  // the '\n'
            line_ += 1;
            line_start_ = p;
        }
    }
    end_line_ = line_;
    end_col_ = static_cast<uint64_t>(e - line_start_) + 1;
    return true;
}

DimacsFormula Parser::finish() {
    if (!have_header_) fail(end_line_, end_col_, "no 'p cnf' header");
    if (open_) fail(last_line_, last_col_, "the last clause has no final 0");
    if (out_.read != declared_) {
        fail(header_line_, declared_col_, "the header declares " + declared_text_ +
                                              " clauses but the formula has " + std::to_string(out_.read));
    }
    return std::move(out_);
}

// Where the block of lines that starts at b and holds at least kBlock bytes
// ends: just past a '\n', or at e.
const char* block_end(const char* b, const char* e) {
    if (static_cast<size_t>(e - b) <= kBlock) return e;
    const void* nl = std::memchr(b + kBlock, '\n', static_cast<size_t>(e - b) - kBlock);
    return nl ? static_cast<const char*>(nl) + 1 : e;
}

}  // namespace

DimacsFormula parse_dimacs(std::span<const char> text, const std::string& name, Interrupt* stop) {
    Parser parser(name);
    const char* p = text.data();
    const char* e = p + text.size();
    while (p < e) {
        if (stop && stop->pending()) return DimacsFormula{ClauseArena(), 0, true};
        const char* q = block_end(p, e);
        if (!parser.lines(p, q)) break;
        p = q;
    }
    return parser.finish();
}

DimacsFormula read_dimacs_file(const std::string& path, const std::string& name, Interrupt* stop) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw IoError(errno, path);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    Parser parser(name);
    std::vector<char> buf(kBlock + 4096);
    size_t have = 0;  // bytes in buf: an unfinished line carried over, then new data
    bool eof = false, ended = false;
    while (!eof && !ended) {
        if (stop && stop->pending()) return DimacsFormula{ClauseArena(), 0, true};
        if (buf.size() - have < 4096) buf.resize(buf.size() * 2);  // one very long line
        ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError(errno, path);
        }
        if (n == 0) eof = true;
        size_t old = have;
        have += static_cast<size_t>(n);
        // Parse up to the last '\n' (everything at the end of the file).
        size_t upto = have;
        if (!eof) {
            // The carried part holds no '\n': look in the new data only.
            const char* b = buf.data();
            size_t k = have;
            while (k > old && b[k - 1] != '\n') --k;
            upto = k == old ? 0 : k;
        }
        if (upto > 0) {
            ended = !parser.lines(buf.data(), buf.data() + upto);
            std::memmove(buf.data(), buf.data() + upto, have - upto);
            have -= upto;
        }
    }
    return parser.finish();
}

}  // namespace nv
