// The bytes of a bytes-like object (bytes, bytearray, mmap, memoryview, ...)
// borrowed through the buffer protocol, so that a native core can read them
// in place with the interpreter lock released.
//
// The buffer protocol (Py_buffer, PyObject_GetBuffer, PyBuffer_Release)
// joined the limited API only in 3.11, while this module is built for the
// 3.10 stable ABI.  The functions and the struct are much older than that:
// every CPython 3 release exports both functions, the struct has kept this
// layout since 3.3, and 3.11 took them into the stable ABI as they were
// ("the struct layout and size must not be changed in any way, as it would
// break the ABI").  When the limited
// API in force predates 3.11, the declarations below restate them exactly
// as the 3.11 headers give them; the symbols are then resolved from the
// running interpreter at import, as every other C API function is on POSIX
// systems.  (Windows resolves abi3 modules against python3.dll, which
// exports these functions only from 3.11 on; a Windows build would have to
// target the 3.11 limited API.)  Under a newer limited API, or none, the
// interpreter's own declarations are used.
#pragma once

#include <cstdint>
#include <span>

#include "py.hpp"

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030B0000
extern "C" {
typedef struct {
    void* buf;
    PyObject* obj;
    Py_ssize_t len;
    Py_ssize_t itemsize;
    int readonly;
    int ndim;
    char* format;
    Py_ssize_t* shape;
    Py_ssize_t* strides;
    Py_ssize_t* suboffsets;
    void* internal;
} Py_buffer;
PyAPI_FUNC(int) PyObject_GetBuffer(PyObject* obj, Py_buffer* view, int flags);
PyAPI_FUNC(void) PyBuffer_Release(Py_buffer* view);
}
#define NV_PYBUF_SIMPLE 0
#else
#define NV_PYBUF_SIMPLE PyBUF_SIMPLE
#endif

namespace nvpy {

// One export of an object's bytes, held for the lifetime of this object:
// while it is held the exporter keeps the bytes in place (a bytearray cannot
// be resized, an mmap cannot be closed).  Release it with the interpreter
// lock held.
class ByteBuffer {
public:
    // Borrows the bytes of `obj` when it exports one contiguous block of
    // single-byte items; otherwise holds nothing (and leaves no exception).
    explicit ByteBuffer(PyObject* obj);
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    bool held() const noexcept { return held_; }
    std::span<const uint8_t> bytes() const noexcept {
        return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace nvpy
