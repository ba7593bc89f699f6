// Typed views of NumPy arrays through the buffer protocol, validated with the
// module's messages. Every array the module reads or writes goes through here.
#pragma once

#include <Python.h>

#include <cstdint>

#include "frame/ref.hpp"
#include "kernels/kernels.hpp"

namespace morvane {

enum class Elem { Int64, Float64 };

class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    // Takes obj's buffer as `ndim` dimensions of `elem`, writable when asked;
    // on failure sets the Python error and returns false.
    bool acquire(PyObject* obj, Elem elem, int ndim, bool writable);
    void release();

    std::int64_t shape(int d) const { return shape_[d]; }
    kernels::Strided<std::int64_t> vec() const;
    kernels::Grid2 grid2() const;
    kernels::Grid4 grid4() const;

private:
    bool take_array(PyObject* obj, Elem elem, int ndim, bool writable);
    void keep(char* base, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides);

    Py_buffer view_{};
    bool held_ = false;  // view_ holds a buffer to release
    char* base_ = nullptr;
    std::int64_t shape_[4] = {0, 0, 0, 0};
    std::int64_t strides_[4] = {0, 0, 0, 0};
};

// True when o is a numpy.ndarray (or subclass) instance.
bool is_ndarray(PyObject* o);

// Reads obj.<name> as an array attribute: it must be a numpy.ndarray (not None)
// whose buffer validates as above. `value` keeps the object alive for the view.
bool read_array_attr(PyObject* obj, const char* name, Elem elem, int ndim, bool writable, Ref& value,
                     BufferView& view);

// Refuses an array attribute smaller than the loops need: at least min[d] along
// each of its ndim axes. Returns false with a ValueError naming the attribute.
bool require_extent(const char* name, const BufferView& view, int ndim, const std::int64_t* min);

}  // namespace morvane
