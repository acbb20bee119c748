// ProofLog (proof_log.hpp): each step is encoded once, as binary DRAT into
// the memory log or into the file buffer, or as DRAT text into the file
// buffer; the buffer goes to the file in large writes.  A failed write is
// remembered and reported as IoError by the next flush() or check(), so the
// search that produced the step never sees an error mid-way.
#include "proof_log.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "errors.hpp"

namespace nv {

namespace {

// File mode writes once this many bytes are buffered.
constexpr size_t kFileBuffer = size_t{1} << 20;

// Decimal text of a DIMACS literal, appended to `out`.
void put_decimal(std::vector<uint8_t>& out, int64_t d) {
    char tmp[24];
    size_t n = 0;
    uint64_t m = d < 0 ? static_cast<uint64_t>(-d) : static_cast<uint64_t>(d);
    do {
        tmp[n++] = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    if (d < 0) out.push_back('-');
    while (n > 0) out.push_back(static_cast<uint8_t>(tmp[--n]));
}

}  // namespace

ProofLog::~ProofLog() { close(); }

ProofLog::ProofLog(ProofLog&& o) noexcept
    : mode_(std::exchange(o.mode_, Mode::Off)),
      format_(o.format_),
      buf_(std::move(o.buf_)),
      steps_(std::exchange(o.steps_, 0)),
      lits_(std::exchange(o.lits_, 0)),
      fd_(std::exchange(o.fd_, -1)),
      error_(std::exchange(o.error_, 0)),
      path_(std::move(o.path_)) {}

ProofLog& ProofLog::operator=(ProofLog&& o) noexcept {
    if (this != &o) {
        close();
        mode_ = std::exchange(o.mode_, Mode::Off);
        format_ = o.format_;
        buf_ = std::move(o.buf_);
        steps_ = std::exchange(o.steps_, 0);
        lits_ = std::exchange(o.lits_, 0);
        fd_ = std::exchange(o.fd_, -1);
        error_ = std::exchange(o.error_, 0);
        path_ = std::move(o.path_);
    }
    return *this;
}

void ProofLog::keep_in_memory() noexcept {
    if (mode_ == Mode::Memory) return;
    close();
    buf_ = {};
    steps_ = 0;
    lits_ = 0;
    error_ = 0;
    mode_ = Mode::Memory;
}

void ProofLog::open(const std::string& path, ProofFormat format) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw IoError(errno, path);
    close();
    buf_.clear();
    buf_.reserve(kFileBuffer + 4096);
    mode_ = Mode::File;
    format_ = format;
    fd_ = fd;
    path_ = path;
    error_ = 0;
    steps_ = 0;
    lits_ = 0;
}

void ProofLog::step(char kind, const Lit* lits, size_t n) {
    if (mode_ == Mode::Off) return;
    if (mode_ == Mode::File && error_ != 0) {
        steps_ += 1;
        lits_ += n;
        return;
    }
    // Room for the whole step first (at most 12 bytes a literal in text, 5
    // in binary), so that a step is written whole or, when memory runs out,
    // not at all.
    const size_t room = 4 + 12 * n;
    if (buf_.capacity() - buf_.size() < room) buf_.reserve(std::max(buf_.size() + room, 2 * buf_.capacity()));
    steps_ += 1;
    lits_ += n;
    if (mode_ == Mode::File) {
        if (format_ == ProofFormat::Text) {
            if (kind == 'd') {
                buf_.push_back('d');
                buf_.push_back(' ');
            }
            for (size_t i = 0; i < n; ++i) {
                put_decimal(buf_, to_dimacs(lits[i]));
                buf_.push_back(' ');
            }
            buf_.push_back('0');
            buf_.push_back('\n');
        } else {
            buf_.push_back(static_cast<uint8_t>(kind));
            for (size_t i = 0; i < n; ++i) put_varint(buf_, uint64_t{lits[i]} + 2);
            buf_.push_back(0);
        }
        if (buf_.size() >= kFileBuffer) write_out();
        return;
    }
    buf_.push_back(static_cast<uint8_t>(kind));
    for (size_t i = 0; i < n; ++i) put_varint(buf_, uint64_t{lits[i]} + 2);
    buf_.push_back(0);
}

void ProofLog::write_out() noexcept {
    size_t done = 0;
    while (error_ == 0 && done < buf_.size()) {
        ssize_t w = ::write(fd_, buf_.data() + done, buf_.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
        } else {
            done += static_cast<size_t>(w);
        }
    }
    buf_.clear();
}

void ProofLog::flush() {
    if (mode_ != Mode::File) return;
    write_out();
    if (error_ != 0) throw IoError(error_, path_);
}

void ProofLog::check() const {
    if (error_ != 0) throw IoError(error_, path_);
}

void ProofLog::close() noexcept {
    if (mode_ != Mode::File) return;
    write_out();
    ::close(fd_);
    fd_ = -1;
    buf_ = {};
    mode_ = Mode::Off;
}

std::vector<ProofStep> ProofLog::steps() const {
    std::vector<ProofStep> out;
    out.reserve(steps_);
    for_each([&](bool del, std::span<const Lit> c) { out.push_back(ProofStep{del, {c.begin(), c.end()}}); });
    return out;
}

std::vector<uint8_t> ProofLog::take_encoded() noexcept {
    steps_ = 0;
    lits_ = 0;
    return std::exchange(buf_, {});
}

}  // namespace nv
