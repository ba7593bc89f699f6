// morvane._scan: the Python face of the fused scanning kernel. Arguments are
// checked and copied here, the scan itself runs without the GIL, and no C++
// exception leaves an entry point: each runs behind the same guard as the
// module's own callables (std::bad_alloc becomes MemoryError).
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL morvane_scan_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/guard.hpp"
#include "common/ref.hpp"
#include "kernels/lattice.hpp"
#include "kernels/scan.hpp"

namespace morvane {
namespace {

namespace ks = kernels::scan;

// Runs work with the GIL released; whatever it throws is thrown again once
// the GIL is back, so the caller's guard sees it with the lock held. Only the
// kind and text travel: std::exception_ptr would ask for a newer C++ runtime
// than the oldest Linux a wheel of this module installs on.
template <class F>
void without_gil(F&& work) {
    enum class Failure { None, Memory, Other } failure = Failure::None;
    std::string what;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (const std::bad_alloc&) {
        failure = Failure::Memory;
    } catch (const std::exception& e) {
        failure = Failure::Other;
        try {
            what = e.what();
        } catch (...) {
        }
    } catch (...) {
        failure = Failure::Other;
    }
    Py_END_ALLOW_THREADS
    if (failure == Failure::Memory) throw std::bad_alloc();
    if (failure == Failure::Other) throw std::runtime_error(what.empty() ? "unexpected C++ exception" : what);
}

// A held buffer, released when it goes.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    bool acquire(PyObject* o, int flags) {
        held = PyObject_GetBuffer(o, &view, flags) == 0;
        return held;
    }
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
};

Ref new_array(npy_intp n, int type) { return Ref::steal(PyArray_SimpleNew(1, &n, type)); }

template <class T>
T* data_of(const Ref& a) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

// Texts this long are coded without the GIL.
constexpr Py_ssize_t kLongText = 1 << 16;

template <class Ch>
void encode_text(const void* text, Py_ssize_t n, std::uint8_t* out) {
    auto run = [&] { ks::encode(static_cast<const Ch*>(text), n, out); };
    if (n >= kLongText)
        without_gil(run);
    else
        run();
}

PyObject* encode(PyObject*, PyObject* text) {
    return guarded([&]() -> PyObject* {
        int kind = 1;
        const void* data;
        Py_ssize_t n;
        Buffer buf;
        if (PyUnicode_Check(text)) {
            kind = PyUnicode_KIND(text);
            data = PyUnicode_DATA(text);
            n = PyUnicode_GET_LENGTH(text);
        } else if (PyObject_CheckBuffer(text)) {
            if (!buf.acquire(text, PyBUF_SIMPLE)) return nullptr;
            data = buf.view.buf;
            n = buf.view.len;
        } else {
            return PyErr_Format(PyExc_TypeError, "encode() takes a str or a bytes-like object, not %.100s",
                                Py_TYPE(text)->tp_name);
        }
        Ref out = new_array(n, NPY_UINT8);
        if (!out) return nullptr;
        std::uint8_t* o = data_of<std::uint8_t>(out);
        if (kind == PyUnicode_1BYTE_KIND)
            encode_text<std::uint8_t>(data, n, o);
        else if (kind == PyUnicode_2BYTE_KIND)
            encode_text<std::uint16_t>(data, n, o);
        else
            encode_text<std::uint32_t>(data, n, o);
        return out.release();
    });
}

// ---------------------------------------------------------------- Scanner

struct ScannerObject {
    PyObject_HEAD
    ks::Scanner* scanner;
    PyObject* widths;  // tuple of int
};

bool parse_strand(const char* s, ks::Strands* out) {
    if (std::strcmp(s, "+") == 0)
        *out = ks::kForward;
    else if (std::strcmp(s, "-") == 0)
        *out = ks::kReverse;
    else if (std::strcmp(s, "both") == 0)
        *out = ks::kBoth;
    else {
        PyErr_Format(PyExc_ValueError, "strand must be '+', '-' or 'both', not '%s'", s);
        return false;
    }
    return true;
}

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"matrices", "thresholds", "strand", nullptr};
        PyObject *matrices_obj, *thresholds_obj;
        const char* strand = "both";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|s:Scanner", const_cast<char**>(kwlist), &matrices_obj,
                                         &thresholds_obj, &strand))
            return nullptr;
        ks::Strands strands;
        if (!parse_strand(strand, &strands)) return nullptr;
        Ref matrices = Ref::steal(PySequence_Fast(matrices_obj, "matrices must be a sequence of 2-D arrays"));
        if (!matrices) return nullptr;
        Ref thresholds = Ref::steal(PySequence_Fast(thresholds_obj, "thresholds must be a sequence of floats"));
        if (!thresholds) return nullptr;
        const Py_ssize_t K = PySequence_Fast_GET_SIZE(matrices.get());
        if (PySequence_Fast_GET_SIZE(thresholds.get()) != K)
            return PyErr_Format(PyExc_ValueError, "%zd thresholds for %zd matrices",
                                PySequence_Fast_GET_SIZE(thresholds.get()), K);

        std::vector<Ref> arrays;  // keep the converted matrices alive until they are copied
        std::vector<kernels::Grid2> views;
        std::vector<double> thr;
        for (Py_ssize_t k = 0; k < K; ++k) {
            PyObject* a = PyArray_FROMANY(PySequence_Fast_GET_ITEM(matrices.get(), k), NPY_DOUBLE, 0, 0,
                                          NPY_ARRAY_ALIGNED);
            if (!a) return nullptr;
            arrays.push_back(Ref::steal(a));
            auto* arr = reinterpret_cast<PyArrayObject*>(a);
            if (PyArray_NDIM(arr) != 2)
                return PyErr_Format(PyExc_ValueError, "matrices[%zd] must be 2-D, not %d-D", k, PyArray_NDIM(arr));
            const npy_intp* shape = PyArray_SHAPE(arr);
            if (shape[0] < 4 || shape[1] < 1)
                return PyErr_Format(PyExc_ValueError,
                                    "matrices[%zd] must have at least 4 rows and 1 column, not shape (%zd, %zd)", k,
                                    static_cast<Py_ssize_t>(shape[0]), static_cast<Py_ssize_t>(shape[1]));
            kernels::Grid2 g;
            g.base = static_cast<char*>(PyArray_DATA(arr));
            g.shape[0] = shape[0];
            g.shape[1] = shape[1];
            g.strides[0] = PyArray_STRIDES(arr)[0];
            g.strides[1] = PyArray_STRIDES(arr)[1];
            views.push_back(g);

            const double t = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(thresholds.get(), k));
            if (t == -1.0 && PyErr_Occurred()) return nullptr;
            if (std::isnan(t)) return PyErr_Format(PyExc_ValueError, "thresholds[%zd] is NaN", k);
            thr.push_back(t);
        }

        auto scanner = std::make_unique<ks::Scanner>(views, thr, strands);
        Ref widths = Ref::steal(PyTuple_New(K));
        if (!widths) return nullptr;
        for (Py_ssize_t k = 0; k < K; ++k) {
            PyObject* w = PyLong_FromLongLong(scanner->widths()[k]);
            if (!w) return nullptr;
            PyTuple_SET_ITEM(widths.get(), k, w);
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* so = reinterpret_cast<ScannerObject*>(self);
        so->scanner = scanner.release();
        so->widths = widths.release();
        return self;
    });
}

void scanner_dealloc(PyObject* self) {
    auto* so = reinterpret_cast<ScannerObject*>(self);
    delete so->scanner;
    Py_XDECREF(so->widths);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* scanner_widths(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<ScannerObject*>(self)->widths); }

bool is_uint8_format(const char* f) {
    if (!f) return true;  // no format given means unsigned bytes
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    return std::strcmp(f, "B") == 0;
}

PyObject* scanner_scan(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"codes", "limit", nullptr};
        PyObject* codes_obj;
        PyObject* limit_obj = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:scan", const_cast<char**>(kwlist), &codes_obj,
                                         &limit_obj))
            return nullptr;
        Buffer buf;
        if (!PyObject_CheckBuffer(codes_obj))
            return PyErr_Format(PyExc_TypeError, "codes must be a 1-D uint8 array, not %.100s",
                                Py_TYPE(codes_obj)->tp_name);
        if (!buf.acquire(codes_obj, PyBUF_RECORDS_RO)) return nullptr;
        const Py_buffer& v = buf.view;
        if (v.itemsize != 1 || !is_uint8_format(v.format))
            return PyErr_Format(PyExc_TypeError, "codes must hold uint8 values, not format '%s'",
                                v.format ? v.format : "B");
        if (v.ndim != 1) return PyErr_Format(PyExc_ValueError, "codes must be 1-D, not %d-D", v.ndim);
        const std::int64_t n = v.shape[0];
        if (n > 1 && v.strides[0] != 1) {
            PyErr_SetString(PyExc_ValueError, "codes must be C-contiguous");
            return nullptr;
        }
        std::int64_t limit = n;
        if (limit_obj != Py_None) {
            Ref index = Ref::steal(PyNumber_Index(limit_obj));
            if (!index) return nullptr;
            int overflow = 0;  // beyond long long: past either end
            const long long l = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (l == -1 && PyErr_Occurred()) return nullptr;
            limit = overflow > 0 ? n : overflow < 0 || l < 0 ? 0 : l > n ? n : l;
        }

        const ks::Scanner& scanner = *reinterpret_cast<ScannerObject*>(self)->scanner;
        const npy_intp K = scanner.count();
        Ref tested = new_array(K, NPY_INT64);
        if (!tested) return nullptr;
        std::int64_t* t = data_of<std::int64_t>(tested);
        std::fill(t, t + K, 0);
        std::vector<ks::Hit> hits;
        const auto* codes = static_cast<const std::uint8_t*>(v.buf);
        without_gil([&] { scanner.scan(codes, n, limit, hits, t); });

        const npy_intp h = static_cast<npy_intp>(hits.size());
        Ref motif = new_array(h, NPY_INT32), start = new_array(h, NPY_INT64), strand = new_array(h, NPY_INT8),
            score = new_array(h, NPY_DOUBLE);
        if (!motif || !start || !strand || !score) return nullptr;
        auto* mo = data_of<std::int32_t>(motif);
        auto* st = data_of<std::int64_t>(start);
        auto* sd = data_of<std::int8_t>(strand);
        auto* sc = data_of<double>(score);
        for (npy_intp i = 0; i < h; ++i) {
            mo[i] = hits[i].motif;
            st[i] = hits[i].start;
            sd[i] = hits[i].strand;
            sc[i] = hits[i].score;
        }
        return PyTuple_Pack(5, motif.get(), start.get(), strand.get(), score.get(), tested.get());
    });
}

PyGetSetDef scanner_getset[] = {
    {"widths", scanner_widths, nullptr, "Width of each matrix, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef scanner_methods[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scanner_scan)), METH_VARARGS | METH_KEYWORDS,
     "scan(codes, limit=None) -> (motif, start, strand, score, tested)\n\n"
     "Every window at or above its matrix's threshold among the windows of codes\n"
     "(uint8, values above 3 are N) that start before limit, on the strands chosen."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {Py_tp_doc, const_cast<char*>("Scanner(matrices, thresholds, strand='both')\n\n"
                                  "Matrices (rows A, T, C, G; any further rows ignored) prepared for fused\n"
                                  "scanning of one-byte codes on one or both strands.")},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "morvane._scan.Scanner",
    sizeof(ScannerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    scanner_slots,
};

// ---------------------------------------------------------------- lattices

namespace kl = kernels::lattice;

// obj as a C-contiguous array of type, ndim dimensions and `size` elements, or null with an error set.
Ref contiguous(PyObject* obj, int type, const char* name, npy_intp size, int ndim = 1) {
    Ref a = Ref::steal(PyArray_FROMANY(obj, type, ndim, ndim, NPY_ARRAY_IN_ARRAY));
    if (!a) return a;
    if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(a.get())) != size) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zd values", name, static_cast<Py_ssize_t>(size));
        return Ref();
    }
    return a;
}

template <class T>
Ref array_of(const std::vector<T>& v, int type) {
    Ref a = new_array(static_cast<npy_intp>(v.size()), type);
    if (a && !v.empty()) std::memcpy(data_of<T>(a), v.data(), v.size() * sizeof(T));
    return a;
}

// The integer matrix q (4 by L) and its reach (L + 1), shared by both recursions.
bool lattice_of(PyObject* q_obj, PyObject* reach_obj, PyObject* bg_obj, Ref* q, Ref* reach, Ref* bg,
                npy_intp* L) {
    *q = Ref::steal(PyArray_FROMANY(q_obj, NPY_INT64, 2, 2, NPY_ARRAY_IN_ARRAY));
    if (!*q) return false;
    const npy_intp* shape = PyArray_SHAPE(reinterpret_cast<PyArrayObject*>(q->get()));
    if (shape[0] != 4 || shape[1] < 1) {
        PyErr_SetString(PyExc_ValueError, "q must have shape (4, L) with L >= 1");
        return false;
    }
    *L = shape[1];
    *reach = contiguous(reach_obj, NPY_INT64, "reach", *L + 1);
    if (!*reach) return false;
    *bg = contiguous(bg_obj, NPY_DOUBLE, "bg", 4);
    return static_cast<bool>(*bg);
}

// The score matrix beside q: 4 by L doubles.
Ref matrix_of(PyObject* m_obj, npy_intp L) {
    Ref matrix = contiguous(m_obj, NPY_DOUBLE, "matrix", 4 * L, 2);
    if (matrix && PyArray_DIM(reinterpret_cast<PyArrayObject*>(matrix.get()), 0) != 4) {
        PyErr_SetString(PyExc_ValueError, "matrix must have the shape of q");
        return Ref();
    }
    return matrix;
}

PyObject* lattice_bracket(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *q_obj, *bg_obj, *reach_obj;
        long long lo, hi;
        if (!PyArg_ParseTuple(args, "OOOLL:_lattice_bracket", &q_obj, &bg_obj, &reach_obj, &lo, &hi)) return nullptr;
        Ref q, reach, bg;
        npy_intp L;
        if (!lattice_of(q_obj, reach_obj, bg_obj, &q, &reach, &bg, &L)) return nullptr;
        kl::Band band;
        without_gil([&] {
            band = kl::bracket(data_of<std::int64_t>(q), L, data_of<double>(bg), data_of<std::int64_t>(reach), lo, hi);
        });
        Ref prob = new_array(band.n, NPY_DOUBLE), words = new_array(band.n, NPY_DOUBLE);
        if (prob && words && band.n) {
            std::memcpy(data_of<double>(prob), band.prob, static_cast<std::size_t>(band.n) * sizeof(double));
            std::memcpy(data_of<double>(words), band.words, static_cast<std::size_t>(band.n) * sizeof(double));
        }
        if (!prob || !words) return nullptr;
        return Py_BuildValue("LOOdL", static_cast<long long>(band.base), prob.get(), words.get(), band.above,
                             static_cast<long long>(band.cells));
    });
}

PyObject* lattice_words(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *q_obj, *m_obj, *bg_obj, *reach_obj;
        long long lo, hi, level_limit, work, work_limit, expect = 0;
        int keep_sums = 1;
        if (!PyArg_ParseTuple(args, "OOOOLLLLL|Lp:_lattice_words", &q_obj, &m_obj, &bg_obj, &reach_obj, &lo, &hi,
                              &level_limit, &work, &work_limit, &expect, &keep_sums))
            return nullptr;
        Ref q, reach, bg;
        npy_intp L;
        if (!lattice_of(q_obj, reach_obj, bg_obj, &q, &reach, &bg, &L)) return nullptr;
        Ref matrix = matrix_of(m_obj, L);
        if (!matrix) return nullptr;
        kl::Words words;
        words.keep_sums = keep_sums != 0;
        // room for the words the caller expects, within the limits: growing would copy them all again
        const auto room = static_cast<std::size_t>(std::clamp<long long>(std::min(expect, work_limit - work), 0, 1LL << 28));
        words.score.reserve(room);
        words.prob.reserve(room);
        if (keep_sums) words.sum.reserve(room);
        std::int64_t w = work;
        bool done = false;
        without_gil([&] {
            done = kl::list_words(data_of<std::int64_t>(q), data_of<double>(matrix), L, data_of<double>(bg),
                                  data_of<std::int64_t>(reach), lo, hi, level_limit, w, work_limit, words);
        });
        if (!done) return Py_BuildValue("OL", Py_None, static_cast<long long>(w));
        Ref score = array_of(words.score, NPY_DOUBLE), prob = array_of(words.prob, NPY_DOUBLE);
        if (!score || !prob) return nullptr;
        if (!keep_sums) return Py_BuildValue("(OO)L", score.get(), prob.get(), static_cast<long long>(w));
        Ref sum = array_of(words.sum, NPY_INT64);
        if (!sum) return nullptr;
        return Py_BuildValue("(OOO)L", score.get(), prob.get(), sum.get(), static_cast<long long>(w));
    });
}

// Ascending finite scores x, and an array for their n tails; nulls with an error set.
bool queries_of(PyObject* x_obj, Ref* x, Ref* tail) {
    *x = Ref::steal(PyArray_FROMANY(x_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!*x) return false;
    const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(x->get()));
    const double* v = data_of<double>(*x);
    for (npy_intp i = 0; i < n; ++i)
        if (!std::isfinite(v[i]) || (i > 0 && !(v[i - 1] < v[i]))) {
            PyErr_Format(PyExc_ValueError, "x must be finite and strictly ascending (at %zd)", i);
            return false;
        }
    *tail = new_array(n, NPY_DOUBLE);
    return static_cast<bool>(*tail);
}

PyObject* lattice_tails(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *q_obj, *m_obj, *bg_obj, *reach_obj, *x_obj;
        long long lo;
        if (!PyArg_ParseTuple(args, "OOOOLO:_lattice_tails", &q_obj, &m_obj, &bg_obj, &reach_obj, &lo, &x_obj))
            return nullptr;
        Ref q, reach, bg, x, tail;
        npy_intp L;
        if (!lattice_of(q_obj, reach_obj, bg_obj, &q, &reach, &bg, &L)) return nullptr;
        Ref matrix = matrix_of(m_obj, L);
        if (!matrix || !queries_of(x_obj, &x, &tail)) return nullptr;
        without_gil([&] {
            kl::tails_of_words(data_of<std::int64_t>(q), data_of<double>(matrix), L, data_of<double>(bg),
                               data_of<std::int64_t>(reach), lo, data_of<double>(x),
                               PyArray_SIZE(reinterpret_cast<PyArrayObject*>(x.get())), data_of<double>(tail));
        });
        return tail.release();
    });
}

PyObject* best_first(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *x_obj, *p_obj;
        if (!PyArg_ParseTuple(args, "OO:_best_first", &x_obj, &p_obj)) return nullptr;
        Ref x = Ref::steal(PyArray_FROMANY(x_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_IN_ARRAY));
        if (!x) return nullptr;
        const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(x.get()));
        Ref p = contiguous(p_obj, NPY_DOUBLE, "p", n);
        if (!p) return nullptr;
        const double* v = data_of<double>(x);
        for (npy_intp i = 0; i < n; ++i)
            if (std::isnan(v[i])) return PyErr_Format(PyExc_ValueError, "x holds NaN at %zd", i);
        Ref sorted = new_array(n, NPY_DOUBLE), cum = new_array(n, NPY_DOUBLE);
        if (!sorted || !cum) return nullptr;
        without_gil([&] { kl::best_first(v, data_of<double>(p), n, data_of<double>(sorted), data_of<double>(cum)); });
        return PyTuple_Pack(2, sorted.get(), cum.get());
    });
}

// ---------------------------------------------------------------- module

PyMethodDef module_methods[] = {
    {"encode", encode, METH_O,
     "encode(text) -> numpy.ndarray[uint8]\n\n"
     "One-byte codes of a str or bytes-like text: A 0, T 1, C 2, G 3, anything\n"
     "else 4, upper and lower case alike."},
    {"_lattice_bracket", lattice_bracket, METH_VARARGS,
     "_lattice_bracket(q, bg, reach, lo, hi) -> (base, prob, words, above, cells)\n\n"
     "The distribution of lattice sums kept within [lo, hi) (see morvane.stats)."},
    {"_lattice_words", lattice_words, METH_VARARGS,
     "_lattice_words(q, matrix, bg, reach, lo, hi, level_limit, work, work_limit,\n"
     "               expect=0, keep_sums=True) -> ((score, prob[, sum]) or None, work)\n\n"
     "Every word with lattice sum in [lo, hi), in lexicographic order of its codes."},
    {"_lattice_tails", lattice_tails, METH_VARARGS,
     "_lattice_tails(q, matrix, bg, reach, lo, x) -> tails\n\n"
     "tails[i]: the probability of the words with lattice sum >= lo scoring at or\n"
     "above x[i], for ascending scores x, correctly rounded."},
    {"_best_first", best_first, METH_VARARGS,
     "_best_first(x, p) -> (sorted, cum)\n\n"
     "Scores x best first (ties in their given order), and the running sums of\n"
     "their probabilities p in that order."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    PyObject* type = PyType_FromModuleAndSpec(module, &scanner_spec, nullptr);
    if (!type) return -1;
    return PyModule_AddObject(module, "Scanner", type) < 0 ? (Py_DECREF(type), -1) : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_scan",
    "Fused multi-motif scanning of nucleotide codes on both strands, without the GIL.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace morvane

PyMODINIT_FUNC PyInit__scan() { return PyModuleDef_Init(&morvane::module_def); }
