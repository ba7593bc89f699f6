// morvane._scan: the Python face of the fused scanning kernel. Arguments are
// checked and copied here, the scan itself runs without the GIL, and no C++
// exception leaves an entry point: each runs behind the same guard as the
// module's own callables (std::bad_alloc becomes MemoryError).
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL morvane_scan_ARRAY_API
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "common/buffer.hpp"
#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/module.hpp"
#include "common/ndarray.hpp"
#include "common/ref.hpp"
#include "kernels/cpu.hpp"
#include "kernels/dwm_scan.hpp"
#include "kernels/scan.hpp"
#include "scan/fasta.hpp"
#include "scan/format.hpp"

namespace morvane {
namespace {

namespace ks = kernels::scan;

// Texts this long are coded without the GIL.
constexpr Py_ssize_t kLongText = 1 << 16;

template <class Ch>
void encode_text(const void* text, Py_ssize_t n, std::uint8_t* out) {
    without_gil_if(n >= kLongText, [&] { kernels::encode(static_cast<const Ch*>(text), n, out); });
}

PyObject* encode(PyObject*, PyObject* text) {
    return guarded([&]() -> PyObject* {
        int kind = 1;
        const void* data;
        Py_ssize_t n;
        HeldBuffer buf;
        if (PyUnicode_Check(text)) {
            kind = PyUnicode_KIND(text);
            data = PyUnicode_DATA(text);
            n = PyUnicode_GET_LENGTH(text);
        } else if (PyObject_CheckBuffer(text)) {
            if (!buf.acquire(text, PyBUF_SIMPLE)) return nullptr;
            data = buf.view().buf;
            n = buf.view().len;
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

PyObject* de_bruijn(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const long L = PyLong_AsLong(arg);
        if (L == -1 && PyErr_Occurred()) return nullptr;
        if (L < 1 || L > 15)
            return PyErr_Format(PyExc_ValueError, "de_bruijn() takes a word length of 1 to 15, not %ld", L);
        const npy_intp n = (npy_intp{1} << (2 * L)) + L - 1;
        Ref out = new_array(n, NPY_UINT8);
        if (!out) return nullptr;
        std::uint8_t* o = data_of<std::uint8_t>(out);
        without_gil_if(L >= 8, [&] { kernels::de_bruijn(static_cast<std::int32_t>(L), o); });
        return out.release();
    });
}

// ---------------------------------------------------------------- Scanner

// Record buffers of hit arrays that died, kept for the scanner's next scans:
// writing into pages written before spares the kernel mapping fresh ones,
// which costs about as much as writing the records. Bounded: a few buffers
// of at least kLeast written bytes, kMost in all; smaller ones malloc reuses
// well by itself.
class RecordPool {
public:
    // The buffer given back last, or none.
    ks::Buffer take() {
        std::lock_guard<std::mutex> hold(lock_);
        if (kept_.empty()) return {};
        const ks::Buffer b = kept_.back();
        kept_.pop_back();
        written_ -= b.written;
        return b;
    }
    // Keeps b for a later scan, or frees it.
    void give(ks::Buffer b) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!closed_ && b.written >= kLeast && written_ + b.written <= kMost && kept_.size() < kCount) {
                kept_.push_back(b);
                written_ += b.written;
                return;
            }
        }
        std::free(b.data);
    }
    // The scanner is gone: no buffer is kept any more.
    void close() {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        for (const ks::Buffer& b : kept_) std::free(b.data);
        kept_.clear();
        written_ = 0;
    }
    ~RecordPool() { close(); }

private:
    static constexpr std::int64_t kLeast = std::int64_t{1} << 20, kMost = std::int64_t{1} << 28;
    static constexpr std::size_t kCount = 4;
    std::mutex lock_;
    std::vector<ks::Buffer> kept_;
    std::int64_t written_ = 0;
    bool closed_ = false;
};

// One of the two kernels, behind one face: the hits and records are the same kind.
struct ScannerObject {
    PyObject_HEAD
    ks::Scanner* scanner;               // PWMs, or
    ks::DwmScanner* dwm;                // DWMs
    PyObject* widths;                   // tuple of int
    PyArray_Descr* dtype;               // of the hit records
    std::shared_ptr<RecordPool>* pool;  // shared with the hit arrays alive
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

// The packed structured dtype of the scanner's hit records, at the offsets
// the kernel writes them.
PyArray_Descr* record_dtype(std::int64_t record_size) {
    namespace r = ks::record;
    const long long width = record_size - r::kWindow;
    Ref spec = Ref::steal(
        Py_BuildValue("{s:[sssss],s:[ssssN],s:[LLLLL],s:L}", "names", "motif", "start", "strand", "score", "window",
                      "formats", "i4", "i8", "i1", "f8", PyUnicode_FromFormat("S%lld", width), "offsets", r::kMotif,
                      r::kStart, r::kStrand, r::kScore, r::kWindow, "itemsize", static_cast<long long>(record_size)));
    PyArray_Descr* dtype = nullptr;
    if (!spec || !PyArray_DescrConverter(spec.get(), &dtype)) return nullptr;
    return dtype;
}

// The items of obj as a tuple: converting one runs Python code, which must
// not be able to change the sequence being read (a list could shrink under
// the loop). A TypeError with message when obj is not iterable.
Ref items(PyObject* obj, const char* message) {
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_SetString(PyExc_TypeError, message);
        return Ref();
    }
    return Ref::steal(PySequence_Tuple(it.get()));
}

// A 2-D view of a float64 array.
kernels::Grid2 grid2(PyArrayObject* arr) {
    kernels::Grid2 g;
    g.base = static_cast<char*>(PyArray_DATA(arr));
    for (int i = 0; i < 2; ++i) g.shape[i] = PyArray_DIMS(arr)[i], g.strides[i] = PyArray_STRIDES(arr)[i];
    return g;
}

kernels::Grid4 grid4(PyArrayObject* arr) {
    kernels::Grid4 g;
    g.base = static_cast<char*>(PyArray_DATA(arr));
    for (int i = 0; i < 4; ++i) g.shape[i] = PyArray_DIMS(arr)[i], g.strides[i] = PyArray_STRIDES(arr)[i];
    return g;
}

// The PWM of item k: a 2-D array of at least 4 rows and 1 column.
bool read_pwm(PyObject* item, Py_ssize_t k, std::vector<Ref>& arrays, kernels::Grid2* out) {
    PyObject* a = PyArray_FROMANY(item, NPY_DOUBLE, 0, 0, NPY_ARRAY_ALIGNED);
    if (!a) return false;
    arrays.push_back(Ref::steal(a));
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    if (PyArray_NDIM(arr) != 2) {
        PyErr_Format(PyExc_ValueError, "matrices[%zd] must be 2-D, not %d-D", k, PyArray_NDIM(arr));
        return false;
    }
    const npy_intp* shape = PyArray_SHAPE(arr);
    if (shape[0] < 4 || shape[1] < 1) {
        PyErr_Format(PyExc_ValueError, "matrices[%zd] must have at least 4 rows and 1 column, not shape (%zd, %zd)", k,
                     static_cast<Py_ssize_t>(shape[0]), static_cast<Py_ssize_t>(shape[1]));
        return false;
    }
    *out = grid2(arr);
    return true;
}

// The prepared DinucleotideMatrix of item k: its width and four log matrices,
// large enough for what scoring reads of them (codes 0..3, positions < L).
bool read_dwm(PyObject* item, Py_ssize_t k, std::vector<Ref>& arrays, ks::DwmModel* out) {
    Ref length = Ref::steal(PyObject_GetAttrString(item, "length"));
    if (!length) return false;
    const long L = PyLong_AsLong(length.get());
    if (L == -1 && PyErr_Occurred()) return false;
    if (L < 1 || L > 1024) {
        PyErr_Format(PyExc_ValueError, "matrices[%zd] has width %ld; a DWM needs 1 to 1024 positions", k, L);
        return false;
    }
    out->L = L;
    static const char* names[4] = {"bias_pwm_log", "bg_pwm_log", "bias_dwm_log", "bg_dwm_log"};
    for (int i = 0; i < 4; ++i) {
        const int ndim = i < 2 ? 2 : 4;
        Ref attr = Ref::steal(PyObject_GetAttrString(item, names[i]));
        if (!attr) return false;
        PyObject* a = PyArray_FROMANY(attr.get(), NPY_DOUBLE, ndim, ndim, NPY_ARRAY_ALIGNED);
        if (!a) return false;
        arrays.push_back(Ref::steal(a));
        auto* arr = reinterpret_cast<PyArrayObject*>(a);
        const npy_intp* shape = PyArray_SHAPE(arr);
        const bool fits =
            i < 2 ? shape[0] >= 4 && shape[1] >= L : shape[0] >= 4 && shape[1] >= 4 && shape[2] >= L && shape[3] >= L;
        if (!fits) {
            PyErr_Format(PyExc_ValueError, "matrices[%zd].%s is too small for width %ld", k, names[i], L);
            return false;
        }
        if (i == 0) out->bias_pwm = grid2(arr);
        if (i == 1) out->bg_pwm = grid2(arr);
        if (i == 2) out->bias_dwm = grid4(arr);
        if (i == 3) out->bg_dwm = grid4(arr);
    }
    return true;
}

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"matrices", "thresholds", "strand", "model", nullptr};
        PyObject *matrices_obj, *thresholds_obj;
        const char* strand = "both";
        const char* model = "pwm";
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|ss:Scanner", const_cast<char**>(kwlist), &matrices_obj,
                                         &thresholds_obj, &strand, &model))
            return nullptr;
        ks::Strands strands;
        if (!parse_strand(strand, &strands)) return nullptr;
        const bool dwm = std::strcmp(model, "dwm") == 0;
        if (!dwm && std::strcmp(model, "pwm") != 0)
            return PyErr_Format(PyExc_ValueError, "model must be 'pwm' or 'dwm', not '%s'", model);
        Ref matrices = items(matrices_obj, dwm ? "matrices must be a sequence of prepared DiNucleotideMatrix"
                                               : "matrices must be a sequence of 2-D arrays");
        if (!matrices) return nullptr;
        Ref thresholds = items(thresholds_obj, "thresholds must be a sequence of floats");
        if (!thresholds) return nullptr;
        const Py_ssize_t K = PyTuple_GET_SIZE(matrices.get());
        if (PyTuple_GET_SIZE(thresholds.get()) != K)
            return PyErr_Format(PyExc_ValueError, "%zd thresholds for %zd matrices", PyTuple_GET_SIZE(thresholds.get()),
                                K);

        std::vector<Ref> arrays;  // keep the converted matrices alive until they are copied
        std::vector<kernels::Grid2> views;
        std::vector<ks::DwmModel> models;
        std::vector<double> thr;
        for (Py_ssize_t k = 0; k < K; ++k) {
            PyObject* item = PyTuple_GET_ITEM(matrices.get(), k);
            if (dwm) {
                models.emplace_back();
                if (!read_dwm(item, k, arrays, &models.back())) return nullptr;
            } else {
                views.emplace_back();
                if (!read_pwm(item, k, arrays, &views.back())) return nullptr;
            }
            const double t = PyFloat_AsDouble(PyTuple_GET_ITEM(thresholds.get(), k));
            if (t == -1.0 && PyErr_Occurred()) return nullptr;
            if (std::isnan(t)) return PyErr_Format(PyExc_ValueError, "thresholds[%zd] is NaN", k);
            thr.push_back(t);
        }

        std::unique_ptr<ks::Scanner> scanner;
        std::unique_ptr<ks::DwmScanner> dwm_scanner;
        const std::vector<std::int64_t>* widths_of;
        std::int64_t record_size;
        if (dwm) {
            // the tables are made without the GIL: a long model takes a while
            without_gil_if(K > 0, [&] { dwm_scanner = std::make_unique<ks::DwmScanner>(models, thr, strands); });
            widths_of = &dwm_scanner->widths();
            record_size = dwm_scanner->record_size();
        } else {
            scanner = std::make_unique<ks::Scanner>(views, thr, strands);
            widths_of = &scanner->widths();
            record_size = scanner->record_size();
        }
        Ref widths = Ref::steal(PyTuple_New(K));
        if (!widths) return nullptr;
        for (Py_ssize_t k = 0; k < K; ++k) {
            PyObject* w = PyLong_FromLongLong((*widths_of)[k]);
            if (!w) return nullptr;
            PyTuple_SET_ITEM(widths.get(), k, w);
        }
        Ref dtype = Ref::steal(reinterpret_cast<PyObject*>(record_dtype(record_size)));
        if (!dtype) return nullptr;
        auto pool = std::make_unique<std::shared_ptr<RecordPool>>(std::make_shared<RecordPool>());
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* so = reinterpret_cast<ScannerObject*>(self);
        so->pool = pool.release();
        so->scanner = scanner.release();
        so->dwm = dwm_scanner.release();
        so->widths = widths.release();
        so->dtype = reinterpret_cast<PyArray_Descr*>(dtype.release());
        return self;
    });
}

void scanner_dealloc(PyObject* self) {
    auto* so = reinterpret_cast<ScannerObject*>(self);
    delete so->scanner;
    delete so->dwm;
    if (so->pool) (*so->pool)->close();
    delete so->pool;
    Py_XDECREF(so->widths);
    Py_XDECREF(so->dtype);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* scanner_widths(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<ScannerObject*>(self)->widths); }

PyObject* scanner_dtype(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(reinterpret_cast<ScannerObject*>(self)->dtype));
}

bool is_uint8_format(const char* f) {
    if (!f) return true;  // no format given means unsigned bytes
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    return std::strcmp(f, "B") == 0;
}

// The codes the scanner reads: a 1-D C-contiguous uint8 buffer, held in buf; false with the error set.
bool hold_codes(PyObject* obj, HeldBuffer& buf) {
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "codes must be a 1-D uint8 array, not %.100s", Py_TYPE(obj)->tp_name);
        return false;
    }
    if (!buf.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& v = buf.view();
    if (v.itemsize != 1 || !is_uint8_format(v.format)) {
        PyErr_Format(PyExc_TypeError, "codes must hold uint8 values, not format '%s'", v.format ? v.format : "B");
        return false;
    }
    if (v.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "codes must be 1-D, not %d-D", v.ndim);
        return false;
    }
    if (v.shape[0] > 1 && v.strides[0] != 1) {
        PyErr_SetString(PyExc_ValueError, "codes must be C-contiguous");
        return false;
    }
    return true;
}

// The capsule that owns a records buffer the scan wrote, the base of its hits
// array: it gives the buffer back to the scanner's pool when the array dies.
constexpr const char* kRecordsCapsule = "morvane._scan.records";

struct RecordsOwner {
    std::shared_ptr<RecordPool> pool;
    ks::Buffer buffer;
};

void free_records(PyObject* capsule) {
    if (auto* owner = static_cast<RecordsOwner*>(PyCapsule_GetContext(capsule))) {
        owner->pool->give(owner->buffer);
        delete owner;
    }
}

// Bytes a hits array may hold beyond its records, written by earlier scans,
// before they are copied into a buffer of their own.
constexpr std::int64_t kSpareBytes = std::int64_t{1} << 20;

PyObject* scanner_scan(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"codes", "limit", "offset", nullptr};
        PyObject* codes_obj;
        PyObject* limit_obj = Py_None;
        long long offset = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OL:scan", const_cast<char**>(kwlist), &codes_obj, &limit_obj,
                                         &offset))
            return nullptr;
        HeldBuffer buf;
        if (!hold_codes(codes_obj, buf)) return nullptr;
        const Py_buffer& v = buf.view();
        const std::int64_t n = v.shape[0];
        std::int64_t limit = n;
        if (limit_obj != Py_None) {
            Ref index = Ref::steal(PyNumber_Index(limit_obj));
            if (!index) return nullptr;
            int overflow = 0;  // beyond long long: past either end
            const long long l = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (l == -1 && PyErr_Occurred()) return nullptr;
            limit = overflow > 0 ? n : overflow < 0 || l < 0 ? 0 : l > n ? n : l;
        }
        if (offset > INT64_MAX - n)
            return PyErr_Format(PyExc_OverflowError, "offset %lld puts window starts past the int64 range", offset);

        auto* so = reinterpret_cast<ScannerObject*>(self);
        const npy_intp K = PyTuple_GET_SIZE(so->widths);
        Ref tested = new_array(K, NPY_INT64);
        if (!tested) return nullptr;
        std::int64_t* t = data_of<std::int64_t>(tested);
        std::fill(t, t + K, 0);
        const auto* codes = static_cast<const std::uint8_t*>(v.buf);
        const std::shared_ptr<RecordPool>& pool = *so->pool;
        ks::Records records(so->dwm ? so->dwm->widths() : so->scanner->widths(), offset, pool->take());
        without_gil([&] {
            if (so->dwm)
                so->dwm->scan(codes, n, limit, records, t);
            else
                so->scanner->scan(codes, n, limit, records, t);
        });

        // The records become the array's memory as they are, written once; with none, NumPy's own.
        // A kept buffer far larger than these records goes back to the pool, the records copied out.
        npy_intp h = static_cast<npy_intp>(records.count());
        const std::int64_t used = h * records.record_size();
        ks::Buffer buffer = records.release();
        if (h == 0 || buffer.written > 2 * used + kSpareBytes) {
            char* own = h == 0 ? nullptr : static_cast<char*>(std::malloc(static_cast<std::size_t>(used)));
            if (h > 0 && !own) {
                pool->give(buffer);
                return PyErr_NoMemory();
            }
            if (own) std::memcpy(own, buffer.data, static_cast<std::size_t>(used));
            pool->give(buffer);
            buffer = {own, used, used};
        }
        char* data = buffer.data;
        Ref owner;
        if (data) {
            auto held = std::make_unique<RecordsOwner>(RecordsOwner{pool, buffer});
            owner = Ref::steal(PyCapsule_New(data, kRecordsCapsule, free_records));
            if (!owner) {
                pool->give(buffer);
                return nullptr;
            }
            if (PyCapsule_SetContext(owner.get(), held.release()) < 0) return nullptr;
        }
        Py_INCREF(so->dtype);  // the new array takes this reference
        Ref hits = Ref::steal(
            PyArray_NewFromDescr(&PyArray_Type, so->dtype, 1, &h, nullptr, data, NPY_ARRAY_WRITEABLE, nullptr));
        if (!hits) return nullptr;
        if (owner && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(hits.get()), owner.release()) < 0)
            return nullptr;
        return PyTuple_Pack(2, hits.get(), tested.get());
    });
}

// A 1-D array of n int64 (or, for motif, int32) values read from obj, as a new reference.
Ref index_array(PyObject* obj, int type, const char* name) {
    Ref a = Ref::steal(PyArray_FROMANY(obj, type, 1, 1, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!a) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a 1-D array of integers", name);
        }
    }
    return a;
}

// Queries this many are answered without the GIL.
constexpr npy_intp kManyQueries = 1 << 10;

PyObject* scanner_best(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"codes", "first", "count", "motif", nullptr};
        PyObject *codes_obj, *first_obj, *count_obj, *motif_obj;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:best", const_cast<char**>(kwlist), &codes_obj, &first_obj,
                                         &count_obj, &motif_obj))
            return nullptr;
        auto* so = reinterpret_cast<ScannerObject*>(self);
        if (so->scanner == nullptr)
            return PyErr_Format(PyExc_ValueError, "best() scores PWMs: this scanner holds DWMs");
        HeldBuffer buf;
        if (!hold_codes(codes_obj, buf)) return nullptr;
        const Py_buffer& v = buf.view();
        const std::int64_t n = v.shape[0];
        Ref first = index_array(first_obj, NPY_INT64, "first");
        if (!first) return nullptr;
        Ref count = index_array(count_obj, NPY_INT64, "count");
        if (!count) return nullptr;
        Ref motif = index_array(motif_obj, NPY_INT32, "motif");
        if (!motif) return nullptr;
        const npy_intp q = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(first.get()));
        if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(count.get())) != q ||
            PyArray_SIZE(reinterpret_cast<PyArrayObject*>(motif.get())) != q)
            return PyErr_Format(PyExc_ValueError, "first, count and motif must have one length");
        const auto* f = data_of<std::int64_t>(first);
        const auto* c = data_of<std::int64_t>(count);
        const auto* k = data_of<std::int32_t>(motif);
        const auto& widths = so->scanner->widths();
        for (npy_intp i = 0; i < q; ++i) {
            if (k[i] < 0 || k[i] >= so->scanner->count())
                return PyErr_Format(PyExc_ValueError, "motif[%zd] = %d is not a matrix of this scanner", i, k[i]);
            const std::int64_t L = widths[static_cast<std::size_t>(k[i])];
            if (c[i] < 0 || (c[i] > 0 && (f[i] < 0 || f[i] > n - L + 1 - c[i])))
                return PyErr_Format(PyExc_ValueError,
                                    "query %zd: %lld windows of width %lld from %lld do not lie "
                                    "within the %lld codes",
                                    i, static_cast<long long>(c[i]), static_cast<long long>(L),
                                    static_cast<long long>(f[i]), static_cast<long long>(n));
        }
        Ref score = new_array(q, NPY_DOUBLE), start = new_array(q, NPY_INT64), strand = new_array(q, NPY_INT8),
            windows = new_array(q, NPY_INT64);
        if (!score || !start || !strand || !windows) return nullptr;
        double* so_score = data_of<double>(score);
        std::int64_t* so_start = data_of<std::int64_t>(start);
        std::int8_t* so_strand = data_of<std::int8_t>(strand);
        std::int64_t* so_windows = data_of<std::int64_t>(windows);
        const auto* codes = static_cast<const std::uint8_t*>(v.buf);
        without_gil_if(q >= kManyQueries, [&] {
            for (npy_intp i = 0; i < q; ++i) {
                const ks::Scanner::Best b = so->scanner->best(codes, f[i], c[i], k[i]);
                so_score[i] = b.score, so_start[i] = b.start, so_strand[i] = b.strand, so_windows[i] = b.windows;
            }
        });
        return PyTuple_Pack(4, score.get(), start.get(), strand.get(), windows.get());
    });
}

PyGetSetDef scanner_getset[] = {
    {"widths", scanner_widths, nullptr, "Width of each matrix, in order.", nullptr},
    {"dtype", scanner_dtype, nullptr,
     "The packed structured dtype of the hits scan returns: motif (int32), start\n"
     "(int64), strand (int8, +1 or -1), score (float64) and window (bytes as wide\n"
     "as the widest matrix).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef scanner_methods[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scanner_scan)), METH_VARARGS | METH_KEYWORDS,
     "scan($self, /, codes, limit=None, offset=0)\n--\n\n"
     "(hits, tested): every window at or above its matrix's threshold among the\n"
     "windows of codes (uint8, values above 3 are N) that start before limit, on\n"
     "the strands chosen, as one array of Scanner.dtype ordered by start, motif,\n"
     "then '+' before '-'; starts are window starts in forward coordinates plus\n"
     "offset, windows as read on their strand in upper case (the reverse\n"
     "complement on '-'). tested[k]: matrix k's N-free windows starting before\n"
     "limit, once for each strand scanned."},
    {"best", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scanner_best)), METH_VARARGS | METH_KEYWORDS,
     "best($self, /, codes, first, count, motif)\n--\n\n"
     "(score, start, strand, windows), one element per query i: the best of the\n"
     "count[i] windows of matrix motif[i] starting at codes[first[i]], on both\n"
     "strands, whatever the thresholds: the highest score, as scan scores it,\n"
     "the lowest start and '+' (1) before '-' (-1) among equal ones (a NaN score,\n"
     "from infinite or NaN entries, below every number). Windows with N\n"
     "are passed over; windows[i] counts the others, once per strand. With none,\n"
     "score is NaN, start -1 and strand 0. PWMs only."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {Py_tp_doc, const_cast<char*>("Scanner(matrices, thresholds, strand='both', model='pwm')\n--\n\n"
                                  "Matrices (rows A, T, C, G; any further rows ignored) prepared for fused\n"
                                  "scanning of one-byte codes on one or both strands. With model='dwm',\n"
                                  "the matrices are prepared DiNucleotideMatrix objects (their length and\n"
                                  "four log matrices are read once), scored as their score_sequence\n"
                                  "scores the codes of each strand.")},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "morvane._scan.Scanner", sizeof(ScannerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, scanner_slots,
};

// ---------------------------------------------------------------- instruction-set level

namespace cpu = kernels::cpu;

PyObject* simd_level(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* { return PyUnicode_FromString(cpu::name(cpu::table().level)); });
}

PyObject* force_simd_level(PyObject*, PyObject* name) {
    return guarded([&]() -> PyObject* {
        cpu::Level level = cpu::widest();
        if (name != Py_None) {
            if (!PyUnicode_Check(name))
                return PyErr_Format(PyExc_TypeError, "_force_simd_level() takes a str or None, not %.100s",
                                    Py_TYPE(name)->tp_name);
            const char* text = PyUnicode_AsUTF8(name);
            if (!text) return nullptr;
            if (!cpu::parse(text, &level))
                return PyErr_Format(PyExc_ValueError, "unknown SIMD level %R; the levels are" MORVANE_LEVEL_NAMES,
                                    name);
        }
        return PyUnicode_FromString(cpu::name(cpu::limit(level)));
    });
}

// ---------------------------------------------------------------- module

PyMethodDef module_methods[] = {
    {"encode", encode, METH_O,
     "encode($module, text, /)\n--\n\n"
     "One-byte codes (numpy.uint8) of a str or bytes-like text: A 0, T 1, C 2,\n"
     "G 3, anything else 4, upper and lower case alike."},
    {"de_bruijn", de_bruijn, METH_O,
     "de_bruijn($module, L, /)\n--\n\n"
     "Codes (numpy.uint8, 0 to 3) of length 4**L + L - 1 whose windows of width L\n"
     "are every word of length L, each once (1 <= L <= 15)."},
    {"format_rows", format_rows, METH_VARARGS, kFormatRowsDoc},
    {"_simd_level", simd_level, METH_NOARGS,
     "_simd_level($module, /)\n--\n\n"
     "The instruction-set level the scanner's kernels run, one of:" MORVANE_LEVEL_NAMES "."},
    {"_force_simd_level", force_simd_level, METH_O,
     "_force_simd_level($module, name, /)\n--\n\n"
     "Caps the scanner's instruction-set level at name (None: the widest this\n"
     "processor has) and returns the level now in effect. For tests and\n"
     "benchmarks; not to be called while scans run on other threads."},
    {"decode_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_lines)), METH_FASTCALL,
     decode_lines_doc},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (add_fasta_parser(module) < 0) return -1;
    PyObject* type = PyType_FromModuleAndSpec(module, &scanner_spec, nullptr);
    if (!type) return -1;
    return PyModule_AddObject(module, "Scanner", type) < 0 ? (Py_DECREF(type), -1) : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def =
    module_definition("_scan", "Fused multi-motif scanning of nucleotide codes on both strands, without the GIL.",
                      module_methods, module_slots);

}  // namespace
}  // namespace morvane

PyMODINIT_FUNC PyInit__scan() { return PyModuleDef_Init(&morvane::module_def); }
