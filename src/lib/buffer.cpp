// ByteBuffer (buffer.hpp): a one-byte-item buffer export is held for the
// object's lifetime; anything else (lists, tuples, wider items, objects
// without the buffer protocol) is left for the caller's other conversions.
#include "buffer.hpp"

namespace nvpy {

ByteBuffer::ByteBuffer(PyObject* obj) {
    // Lists and tuples are the common arguments and never export a buffer.
    if (PyList_Check(obj) || PyTuple_Check(obj)) return;
    if (PyObject_GetBuffer(obj, &view_, NV_PYBUF_SIMPLE) != 0) {
        PyErr_Clear();
        return;
    }
    // A simple request still reports the exporter's item size: arrays of
    // wider items are not bytes.
    if (view_.itemsize != 1) {
        PyBuffer_Release(&view_);
        return;
    }
    held_ = true;
}

ByteBuffer::~ByteBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

}  // namespace nvpy
