#include "sequences/frame/convert.hpp"

#include "sequences/frame/names.hpp"

namespace morvane {

bool to_c_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

static bool long_to_int(PyObject* o, std::int32_t* out) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v > INT32_MAX || v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<std::int32_t>(v);
    return true;
}

bool to_c_int(PyObject* o, std::int32_t* out) {
    if (PyLong_Check(o)) return long_to_int(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref r = Ref::steal(nb->nb_int(o));
    if (!r) return false;
    if (!PyLong_CheckExact(r.get())) {
        if (!PyLong_Check(r.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            return false;
    }
    return long_to_int(r.get(), out);
}

}  // namespace morvane
