// nuc_to_num: DNA text to a coded sequence.
#include "sequences/coding.hpp"

#include "kernels/kernels.hpp"
#include "sequences/frame/function.hpp"
#include "sequences/units.hpp"

namespace morvane {

Ref zeros_int(const Call& call, const Ref& length) {
    Ref np = call.global("np");
    if (!np) return Ref();
    Ref zeros = getattr(np.get(), "zeros");
    return call_kw(zeros.get(), "dtype", Ref::borrow(reinterpret_cast<PyObject*>(&PyLong_Type)), length);
}

PyObject* nuc_to_num(Call& c) {
    PyObject* text = c.object(0);
    Py_ssize_t n = PyObject_Length(text);  // None fails here, as len(None) does
    if (n < 0) return nullptr;
    // Lengths are 32-bit signed integers throughout the module.
    if (n > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "nuc_to_num() converts at most 2147483647 characters, got a string of %zd",
                     n);
        return nullptr;
    }
    Ref result = zeros_int(c, Ref::steal(PyLong_FromSsize_t(n)));
    if (!result) return nullptr;
    BufferView out;
    if (!out.acquire(result.get(), Elem::Int64, 1, true)) return nullptr;
    if (out.shape(0) < n) {
        PyErr_Format(PyExc_ValueError, "numpy.zeros(%zd) returned %lld elements", n,
                     static_cast<long long>(out.shape(0)));
        return nullptr;
    }
    with_text(text, [&](auto* units, std::int64_t len) { kernels::encode(units, len, out.vec()); });
    return result.release();
}

}  // namespace morvane
