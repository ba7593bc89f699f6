#include "sequences/frame/buffer.hpp"

#include <cctype>
#include <cstring>
#include <string>

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL morvane_ARRAY_API
#include <numpy/arrayobject.h>

namespace morvane {

namespace {

struct ElemInfo {
    const char* name;
    char group;  // 'I' signed integer, 'R' real floating point
};

ElemInfo info(Elem e) { return e == Elem::Int64 ? ElemInfo{"int64_t", 'I'} : ElemInfo{"float64_t", 'R'}; }

// What the buffer holds, read off its struct-module style format string.
struct Found {
    const char* describe = "end";  // how the element is named in the mismatch message
    char group = 0;                // 'I', 'U', 'R' or 0 for anything the module never accepts
    Py_ssize_t size = 0;
    bool big_endian = false;
};

const char* describe_char(char c, bool complex) {
    switch (c) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P':
            return "a pointer";
            // clang-format off
        case 's': case 'p': return "a string";
        // clang-format on
        default: return "unparsable format string";
    }
}

// Size of a type character: native sizes after '@', '^' or no prefix, the struct
// module's standard sizes after '=', '<', '>' and '!'.
Py_ssize_t size_of_char(char c, bool native) {
    switch (c) {
            // clang-format off
        case '?': case 'c': case 'b': case 'B': return 1;
        case 'h': case 'H': return 2;
        case 'i': case 'I': case 'f': return 4;
        case 'l': case 'L': return native ? static_cast<Py_ssize_t>(sizeof(long)) : 4;
        case 'q': case 'Q': case 'd': return 8;
        // clang-format on
        case 'g': return static_cast<Py_ssize_t>(sizeof(long double));
        default: return 0;
    }
}

char group_of_char(char c) {
    switch (c) {
            // clang-format off
        case 'b': case 'h': case 'i': case 'l': case 'q': return 'I';
        case 'B': case 'H': case 'I': case 'L': case 'Q': case '?': return 'U';
        case 'f': case 'd': case 'g': return 'R';
        // clang-format on
        default: return 0;
    }
}

void skip_digits(const char*& p) {
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
}

// Parses one element starting at p (byte order, repeat count, type), leaving p
// after it. A struct of exactly one field is read as that field, so its item
// size decides; any other struct is reported as "a struct".
Found parse_element(const char*& p, bool native) {
    Found f;
    switch (*p) {
            // clang-format off
        case '@': case '^': native = true; ++p; break;
        case '=': case '<': native = false; ++p; break;
        case '>': case '!': f.big_endian = true; return f;
        // clang-format on
        default: break;
    }
    if (*p == 0) return f;  // "end"
    Py_ssize_t count = 1;
    if (std::isdigit(static_cast<unsigned char>(*p))) {
        count = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) count = count * 10 + (*p++ - '0');
    }
    if (*p == 'T') {
        ++p;
        if (*p != '{') return Found{"unparsable format string"};
        ++p;
        Found field;
        int fields = 0;
        while (*p && *p != '}') {
            const char* q = p;
            skip_digits(q);
            if (*q == 'x') {  // padding between or after fields
                p = q + 1;
                continue;
            }
            field = parse_element(p, native);
            if (field.big_endian) return field;
            ++fields;
            if (*p == ':') {  // field name
                const char* end = std::strchr(p + 1, ':');
                if (!end) return Found{"unparsable format string"};
                p = end + 1;
            }
        }
        if (*p == '}') ++p;
        if (fields != 1 || count != 1) return Found{"a struct"};
        return field;
    }
    bool complex = false;
    if (*p == 'Z') {
        complex = true;
        ++p;
    }
    char c = *p;
    if (c == 0) return Found{"unparsable format string"};
    ++p;
    f.describe = describe_char(c, complex);
    f.size = size_of_char(c, native);
    f.group = (complex || count != 1) ? 0 : group_of_char(c);
    if (complex && c != 'f' && c != 'd' && c != 'g') f.describe = "unparsable format string";
    return f;
}

bool check_format(const Py_buffer& b, Elem elem) {
    ElemInfo want = info(elem);
    const char* p = b.format ? b.format : "B";
    Found f = parse_element(p, true);
    if (f.big_endian) {
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    if (*p != 0 && f.group) f = Found{"unparsable format string"};  // trailing elements
    if (f.group != want.group || f.size != 8) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", want.name, "'",
                     f.describe);
        return false;
    }
    if (b.itemsize != 8) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     b.itemsize, b.itemsize > 1 ? "s" : "", want.name, static_cast<Py_ssize_t>(8), "s");
        return false;
    }
    return true;
}

}  // namespace

bool BufferView::acquire(PyObject* obj, Elem elem, int ndim, bool writable) {
    release();
    switch (take_array(obj, elem, ndim, writable)) {
        case Taken::Yes: return true;
        case Taken::Failed: return false;
        case Taken::No: break;
    }
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    if (!held_.acquire(obj, flags)) return false;
    const Py_buffer& view = held_.view();
    if (view.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, view.ndim);
        release();
        return false;
    }
    if (!check_format(view, elem)) {
        release();
        return false;
    }
    keep(static_cast<char*>(view.buf), ndim, view.shape, view.strides);
    return true;
}

// The common case, an aligned array in native byte order of exactly the
// element type, read straight from the array: what the buffer protocol would
// hand out, without building its format string on every call. Anything else
// takes the protocol, which also words the errors.
BufferView::Taken BufferView::take_array(PyObject* obj, Elem elem, int ndim, bool writable) {
    if (!PyArray_Check(obj)) return Taken::No;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* d = PyArray_DESCR(a);
    const int t = d->type_num;
    const bool kind = elem == Elem::Int64 ? (t == NPY_LONG || t == NPY_LONGLONG) : t == NPY_DOUBLE;
    if (!kind || PyDataType_ISBYTESWAPPED(d) || PyArray_NDIM(a) != ndim || !PyArray_ISALIGNED(a) ||
        (writable && !PyArray_ISWRITEABLE(a)))
        return Taken::No;
    // NumPy's own check for a write, as the protocol makes it: it also warns for
    // arrays that NumPy flags to warn on write (views from broadcast_arrays).
    if (writable && PyArray_FailUnlessWriteable(a, "buffer source array") < 0) return Taken::Failed;
    keep(static_cast<char*>(PyArray_DATA(a)), ndim, PyArray_DIMS(a), PyArray_STRIDES(a));
    return Taken::Yes;
}

void BufferView::keep(char* base, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides) {
    base_ = base;
    ndim_ = ndim;
    for (int d = 0; d < ndim && d < 4; ++d) {
        shape_[d] = shape[d];
        strides_[d] = strides[d];
    }
}

// Compared as byte ranges from the lowest to the highest element: views that
// interleave without sharing a byte count as overlapping, which only costs the
// careful path.
bool BufferView::overlaps(const BufferView& o) const {
    auto span = [](const BufferView& v, std::uintptr_t& lo, std::uintptr_t& hi) {
        std::int64_t first = 0, last = 0;
        for (int d = 0; d < v.ndim_; ++d) {
            if (v.shape_[d] == 0) return false;
            const std::int64_t reach = (v.shape_[d] - 1) * v.strides_[d];
            (reach < 0 ? first : last) += reach;
        }
        lo = reinterpret_cast<std::uintptr_t>(v.base_) + first;
        hi = reinterpret_cast<std::uintptr_t>(v.base_) + last + 8;
        return true;
    };
    std::uintptr_t a0, a1, b0, b1;
    if (!base_ || !o.base_ || !span(*this, a0, a1) || !span(o, b0, b1)) return false;
    return a0 < b1 && b0 < a1;
}

void BufferView::release() {
    held_.release();
    base_ = nullptr;
}

kernels::Strided<std::int64_t> BufferView::vec() const { return {base_, shape_[0], strides_[0]}; }

kernels::Grid2 BufferView::grid2() const {
    kernels::Grid2 g;
    g.base = base_;
    for (int d = 0; d < 2; ++d) {
        g.shape[d] = shape_[d];
        g.strides[d] = strides_[d];
    }
    return g;
}

kernels::Grid4 BufferView::grid4() const {
    kernels::Grid4 g;
    g.base = base_;
    for (int d = 0; d < 4; ++d) {
        g.shape[d] = shape_[d];
        g.strides[d] = strides_[d];
    }
    return g;
}

bool is_ndarray(PyObject* o) { return PyArray_Check(o); }

bool view_array(const char* name, PyObject* value, Elem elem, int ndim, bool writable, BufferView& view) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "attribute '%s' is None; expected a numpy.ndarray", name);
        return false;
    }
    if (!is_ndarray(value)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name, "numpy.ndarray");
        return false;
    }
    return view.acquire(value, elem, ndim, writable);
}

bool read_array_attr(PyObject* obj, const char* name, Elem elem, int ndim, bool writable, Ref& value,
                     BufferView& view) {
    value = getattr(obj, name);
    return value && view_array(name, value.get(), elem, ndim, writable, view);
}

bool real_elements(const char* name, PyObject* value) {
    if (!PyArray_Check(value)) return true;
    auto* a = reinterpret_cast<PyArrayObject*>(value);
    PyArray_Descr* d = PyArray_DESCR(a);
    if (PyDataType_ISBOOL(d) || PyDataType_ISINTEGER(d) || d->type_num == NPY_DOUBLE) return true;
    PyErr_Format(PyExc_TypeError, "attribute '%s' holds %S elements; expected integers or float64", name,
                 reinterpret_cast<PyObject*>(d));
    return false;
}

Ref as_float64(Ref value) {
    if (!value || !PyArray_Check(value.get())) return value;
    auto* a = reinterpret_cast<PyArrayObject*>(value.get());
    PyArray_Descr* d = PyArray_DESCR(a);
    if (d->type_num == NPY_DOUBLE && !PyDataType_ISBYTESWAPPED(d)) return value;
    return Ref::steal(PyArray_Cast(a, NPY_DOUBLE));
}

bool require_extent(const char* name, const BufferView& view, int ndim, const std::int64_t* min) {
    bool ok = true;
    for (int d = 0; d < ndim; ++d) ok = ok && view.shape(d) >= min[d];
    if (ok) return true;
    std::string have, need;
    for (int d = 0; d < ndim; ++d) {
        have += (d ? ", " : "") + std::to_string(view.shape(d));
        need += (d ? ", " : "") + std::to_string(min[d]);
    }
    PyErr_Format(PyExc_ValueError, "attribute '%s' has shape (%s); expected at least (%s)", name, have.c_str(),
                 need.c_str());
    return false;
}

}  // namespace morvane
