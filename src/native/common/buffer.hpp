// A buffer held through the buffer protocol.
#pragma once

#include <Python.h>

namespace morvane {

// Holds at most one Py_buffer and releases it when it goes.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { release(); }

    // obj's buffer as the protocol's flags ask for it; false with the Python error set.
    bool acquire(PyObject* obj, int flags) {
        release();
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace morvane
