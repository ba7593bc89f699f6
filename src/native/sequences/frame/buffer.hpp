// Typed views of NumPy arrays through the buffer protocol, validated with the
// module's messages. Every array the module reads or writes goes through here.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/buffer.hpp"
#include "kernels/kernels.hpp"
#include "sequences/frame/names.hpp"

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
    // True when some byte of this view's elements is also a byte of o's.
    bool overlaps(const BufferView& o) const;
    kernels::Strided<std::int64_t> vec() const;
    kernels::Grid2 grid2() const;
    kernels::Grid4 grid4() const;

private:
    enum class Taken { Yes, No, Failed };
    Taken take_array(PyObject* obj, Elem elem, int ndim, bool writable);
    void keep(char* base, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides);

    HeldBuffer held_;  // the protocol's buffer, when the view came through it
    char* base_ = nullptr;
    int ndim_ = 0;
    std::int64_t shape_[4] = {0, 0, 0, 0};
    std::int64_t strides_[4] = {0, 0, 0, 0};
};

// True when o is a numpy.ndarray (or subclass) instance.
bool is_ndarray(PyObject* o);

// Reads obj.<name> as an array attribute: it must be a numpy.ndarray (not None)
// whose buffer validates as above. `value` keeps the object alive for the view.
bool read_array_attr(PyObject* obj, const char* name, Elem elem, int ndim, bool writable, Ref& value, BufferView& view);

// The checks of read_array_attr for a value already read from obj.<name>.
bool view_array(const char* name, PyObject* value, Elem elem, int ndim, bool writable, BufferView& view);

// Numbers read element by element, as NumPy arithmetic with float64 reads
// them. An ndarray of booleans, integers or float64 (either byte order)
// converts to exactly the doubles that arithmetic would use; anything else
// (narrower or wider reals, whose arithmetic runs in their own precision,
// complex, text, objects) is refused with a TypeError naming obj.<name>.
// Objects that are not ndarrays are left to the code that uses them.
bool real_elements(const char* name, PyObject* value);
// value as a float64 array of those doubles (value itself when it is one).
Ref as_float64(Ref value);

// Refuses an array attribute smaller than the loops need: at least min[d] along
// each of its ndim axes. Returns false with a ValueError naming the attribute.
bool require_extent(const char* name, const BufferView& view, int ndim, const std::int64_t* min);

}  // namespace morvane
