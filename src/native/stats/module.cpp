// morvane._stats: the lattice recursions behind morvane.stats's exact
// p-values and thresholds, and the read of a scan's p-values off the tables
// they leave. Arguments are checked here, the work runs without the GIL,
// behind the guard of every entry point.
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL morvane_stats_ARRAY_API
#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/module.hpp"
#include "common/ndarray.hpp"
#include "common/ref.hpp"
#include "kernels/lattice.hpp"
#include "kernels/tails.hpp"

namespace morvane {
namespace {

namespace kl = kernels::lattice;

// The thread whose signal handlers run Ctrl-C (Python runs them on the main thread only).
unsigned long main_thread = 0;

// Between bounded pieces of a recursion, the kernel asks this poll whether to stop; on the main
// thread it takes the GIL back for a moment every 20 ms to run the signal handlers, so a long
// call answers Ctrl-C with the handler's exception (KeyboardInterrupt), left set for the return.
class Interrupts {
public:
    Interrupts() : main_(PyThread_get_thread_ident() == main_thread) {}
    kl::Poll poll() { return main_ ? kl::Poll{&Interrupts::check, this} : kl::Poll{}; }
    // Runs work without the GIL; false with the handler's exception set when it was stopped.
    template <class F>
    bool run(F&& work) {
        bool stopped = false;
        without_gil([&] {
            try {
                work(poll());
            } catch (const kl::Stopped&) {
                stopped = true;
            }
        });
        return !stopped;
    }

private:
    static bool check(void* self) {
        auto& me = *static_cast<Interrupts*>(self);
        const auto now = std::chrono::steady_clock::now();
        if (now < me.next_) return false;
        me.next_ = now + std::chrono::milliseconds(20);
        const PyGILState_STATE gil = PyGILState_Ensure();
        const bool raised = PyErr_CheckSignals() != 0;
        PyGILState_Release(gil);
        return raised;
    }
    bool main_;
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
};

// obj as an array of type, ndim dimensions and `size` elements (any number for -1), or null with
// an error set: C-contiguous, or with `strided` as it is (hit records' fields read in place,
// aligned or not).
Ref checked_array(PyObject* obj, int type, const char* name, npy_intp size, int ndim = 1, bool strided = false) {
    Ref a = Ref::steal(PyArray_FROMANY(obj, type, ndim, ndim, strided ? 0 : NPY_ARRAY_IN_ARRAY));
    if (!a) return a;
    if (size >= 0 && PyArray_SIZE(reinterpret_cast<PyArrayObject*>(a.get())) != size) {
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
bool lattice_of(PyObject* q_obj, PyObject* reach_obj, PyObject* bg_obj, Ref* q, Ref* reach, Ref* bg, npy_intp* L) {
    *q = Ref::steal(PyArray_FROMANY(q_obj, NPY_INT64, 2, 2, NPY_ARRAY_IN_ARRAY));
    if (!*q) return false;
    const npy_intp* shape = PyArray_SHAPE(reinterpret_cast<PyArrayObject*>(q->get()));
    if (shape[0] != 4 || shape[1] < 1) {
        PyErr_SetString(PyExc_ValueError, "q must have shape (4, L) with L >= 1");
        return false;
    }
    *L = shape[1];
    *reach = checked_array(reach_obj, NPY_INT64, "reach", *L + 1);
    if (!*reach) return false;
    *bg = checked_array(bg_obj, NPY_DOUBLE, "bg", 4);
    return static_cast<bool>(*bg);
}

// The score matrix beside q: 4 by L doubles.
Ref matrix_of(PyObject* m_obj, npy_intp L) {
    Ref matrix = checked_array(m_obj, NPY_DOUBLE, "matrix", 4 * L, 2);
    if (matrix && PyArray_DIM(reinterpret_cast<PyArrayObject*>(matrix.get()), 0) != 4) {
        PyErr_SetString(PyExc_ValueError, "matrix must have the shape of q");
        return Ref();
    }
    return matrix;
}

PyObject* lattice_bracket(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *q_obj, *bg_obj, *reach_obj, *tilt_obj = Py_None;
        long long lo, hi;
        int count_words = 1;
        if (!PyArg_ParseTuple(args, "OOOLL|pO:lattice_bracket", &q_obj, &bg_obj, &reach_obj, &lo, &hi, &count_words,
                              &tilt_obj))
            return nullptr;
        Ref q, reach, bg, tilt;
        npy_intp L;
        if (!lattice_of(q_obj, reach_obj, bg_obj, &q, &reach, &bg, &L)) return nullptr;
        if (tilt_obj != Py_None && !(tilt = matrix_of(tilt_obj, L))) return nullptr;
        kl::Band band;
        Interrupts interrupts;
        if (!interrupts.run([&](const kl::Poll& poll) {
                band = kl::bracket(data_of<std::int64_t>(q), L, data_of<double>(bg), data_of<std::int64_t>(reach), lo,
                                   hi, poll, count_words != 0, tilt ? data_of<double>(tilt) : nullptr);
            }))
            return nullptr;
        const npy_intp n_words = count_words || tilt ? band.n : 0;
        Ref prob = new_array(band.n, NPY_DOUBLE), words = new_array(n_words, NPY_DOUBLE);
        if (prob && words && band.n) {
            std::memcpy(data_of<double>(prob), band.prob, static_cast<std::size_t>(band.n) * sizeof(double));
            if (n_words)
                std::memcpy(data_of<double>(words), band.words, static_cast<std::size_t>(n_words) * sizeof(double));
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
        if (!PyArg_ParseTuple(args, "OOOOLLLLL|Lp:lattice_words", &q_obj, &m_obj, &bg_obj, &reach_obj, &lo, &hi,
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
        const auto room =
            static_cast<std::size_t>(std::clamp<long long>(std::min(expect, work_limit - work), 0, 1LL << 28));
        words.score.reserve(room);
        words.prob.reserve(room);
        if (keep_sums) words.sum.reserve(room);
        std::int64_t w = work;
        bool done = false;
        Interrupts interrupts;
        if (!interrupts.run([&](const kl::Poll& poll) {
                done = kl::list_words(data_of<std::int64_t>(q), data_of<double>(matrix), L, data_of<double>(bg),
                                      data_of<std::int64_t>(reach), lo, hi, level_limit, w, work_limit, words, poll);
            }))
            return nullptr;
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
        if (!PyArg_ParseTuple(args, "OOOOLO:lattice_tails", &q_obj, &m_obj, &bg_obj, &reach_obj, &lo, &x_obj))
            return nullptr;
        Ref q, reach, bg, x, tail;
        npy_intp L;
        if (!lattice_of(q_obj, reach_obj, bg_obj, &q, &reach, &bg, &L)) return nullptr;
        Ref matrix = matrix_of(m_obj, L);
        if (!matrix || !queries_of(x_obj, &x, &tail)) return nullptr;
        Interrupts interrupts;
        if (!interrupts.run([&](const kl::Poll& poll) {
                kl::tails_of_words(data_of<std::int64_t>(q), data_of<double>(matrix), L, data_of<double>(bg),
                                   data_of<std::int64_t>(reach), lo, data_of<double>(x),
                                   PyArray_SIZE(reinterpret_cast<PyArrayObject*>(x.get())), data_of<double>(tail),
                                   poll);
            }))
            return nullptr;
        return tail.release();
    });
}

PyObject* best_first(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *x_obj, *p_obj;
        if (!PyArg_ParseTuple(args, "OO:best_first", &x_obj, &p_obj)) return nullptr;
        Ref x = Ref::steal(PyArray_FROMANY(x_obj, NPY_DOUBLE, 1, 1, NPY_ARRAY_IN_ARRAY));
        if (!x) return nullptr;
        const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(x.get()));
        Ref p = checked_array(p_obj, NPY_DOUBLE, "p", n);
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

PyObject* fine_table(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *prob_obj, *tilt_obj;
        long long pad, n;
        if (!PyArg_ParseTuple(args, "OOLL:fine_table", &prob_obj, &tilt_obj, &pad, &n)) return nullptr;
        Ref prob = checked_array(prob_obj, NPY_DOUBLE, "prob", -1);
        if (!prob) return nullptr;
        const npy_intp m = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(prob.get()));
        Ref tilt = checked_array(tilt_obj, NPY_DOUBLE, "tilt", m);
        if (!tilt) return nullptr;
        if (pad < 0 || n < 0 || n > pad + m)
            return PyErr_Format(PyExc_ValueError, "fine_table(): needs 0 <= pad, 0 <= n <= pad + %zd", m);
        Ref tails = new_array(static_cast<npy_intp>(n + 1), NPY_DOUBLE),
            ratio = new_array(static_cast<npy_intp>(n), NPY_FLOAT32);
        if (!tails || !ratio) return nullptr;
        without_gil([&] {
            kernels::tails::fine_table(data_of<double>(prob), data_of<double>(tilt), m, pad, n, data_of<double>(tails),
                                       data_of<float>(ratio));
        });
        return PyTuple_Pack(2, tails.get(), ratio.get());
    });
}

// One null's kept tables, as PwmNull.kept_tables gives them; the arrays are held in `held`.
bool table_of(PyObject* item, Py_ssize_t k, kernels::tails::Table* t, std::vector<Ref>& held) {
    PyObject *neg_d_obj, *cum_obj, *tails_obj, *ratio_obj, *rise_obj;
    long long words_b, fine_b;
    if (!PyTuple_Check(item) ||
        !PyArg_ParseTuple(item, "dddddOOLdddOOOLddd", &t->tau_factor, &t->abs, &t->min_score, &t->max_score,
                          &t->listed_from, &neg_d_obj, &cum_obj, &words_b, &t->coarse.lo, &t->coarse.r_max,
                          &t->coarse.eps, &tails_obj, &ratio_obj, &rise_obj, &fine_b, &t->fine.lo, &t->fine.r_max,
                          &t->fine.eps)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "read_off(): tables[%zd] is not a null's kept tables", k);
        return false;
    }
    t->words_b = words_b;
    if (neg_d_obj != Py_None) {
        Ref neg_d = checked_array(neg_d_obj, NPY_DOUBLE, "neg_d", -1);
        if (!neg_d) return false;
        t->n_listed = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(neg_d.get()));
        Ref cum = checked_array(cum_obj, NPY_DOUBLE, "cum", t->n_listed + 1);
        if (!cum) return false;
        t->neg_d = data_of<double>(neg_d);
        t->cum = data_of<double>(cum);
        held.push_back(std::move(neg_d));
        held.push_back(std::move(cum));
    }
    if (tails_obj != Py_None) {
        Ref tails = checked_array(tails_obj, NPY_DOUBLE, "tails", -1);
        if (!tails) return false;
        t->n_fine = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(tails.get())) - 1;
        if (t->n_fine < 0) {
            PyErr_Format(PyExc_ValueError, "read_off(): tables[%zd] has empty tails", k);
            return false;
        }
        Ref ratio = checked_array(ratio_obj, NPY_FLOAT32, "ratio", t->n_fine);
        Ref rise = ratio ? checked_array(rise_obj, NPY_DOUBLE, "rise", -1) : Ref();
        if (!rise) return false;
        t->n_rise = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(rise.get()));
        // sums and substeps stay far from the integers' ends
        if (!t->n_rise || fine_b < 0 || fine_b > (1LL << 40) || t->n_fine > (1LL << 40)) {
            PyErr_Format(PyExc_ValueError, "read_off(): tables[%zd] has an empty or misplaced bound", k);
            return false;
        }
        t->fine_b = fine_b;
        t->tails = data_of<double>(tails);
        t->ratio = data_of<float>(ratio);
        t->rise = data_of<double>(rise);
        for (Ref* r : {&tails, &ratio, &rise}) held.push_back(std::move(*r));
    }
    const double steps[] = {t->tau_factor, t->abs, t->coarse.lo, t->coarse.r_max, t->fine.lo, t->fine.r_max};
    for (const double v : steps)
        if (!std::isfinite(v)) {
            PyErr_Format(PyExc_ValueError, "read_off(): tables[%zd] holds a value that is not finite", k);
            return false;
        }
    if (!(t->coarse.eps > 0.0) || !(t->fine.eps > 0.0) || std::isinf(t->coarse.eps) || std::isinf(t->fine.eps)) {
        PyErr_Format(PyExc_ValueError, "read_off(): tables[%zd] has a step that is not positive and finite", k);
        return false;
    }
    return true;
}

PyObject* read_off(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *motif_obj, *score_obj, *tables_obj;
        if (!PyArg_ParseTuple(args, "OOO!:read_off", &motif_obj, &score_obj, &PyList_Type, &tables_obj)) return nullptr;
        Ref score = checked_array(score_obj, NPY_DOUBLE, "read_off(): scores", -1, 1, true);
        if (!score) return nullptr;
        auto* sa = reinterpret_cast<PyArrayObject*>(score.get());
        const npy_intp n = PyArray_SIZE(sa);
        Ref motif;
        if (motif_obj != Py_None && !(motif = checked_array(motif_obj, NPY_INT32, "read_off(): motif", n, 1, true)))
            return nullptr;
        const Py_ssize_t count = PyList_GET_SIZE(tables_obj);
        if (!motif && count != 1) return PyErr_Format(PyExc_ValueError, "read_off(): without motif, one table");
        std::vector<kernels::tails::Table> tables(static_cast<std::size_t>(count));
        std::vector<char> kept(static_cast<std::size_t>(count), 0);
        std::vector<Ref> held;
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* item = PyList_GET_ITEM(tables_obj, k);
            if (item == Py_None) continue;
            if (!table_of(item, k, &tables[k], held)) return nullptr;
            kept[k] = 1;
        }
        const char* s_at = PyArray_BYTES(sa);
        const npy_intp s_step = PyArray_STRIDE(sa, 0);
        const char* m_at = motif ? PyArray_BYTES(reinterpret_cast<PyArrayObject*>(motif.get())) : nullptr;
        const npy_intp m_step = motif ? PyArray_STRIDE(reinterpret_cast<PyArrayObject*>(motif.get()), 0) : 0;
        Ref p = new_array(n, NPY_DOUBLE);
        if (!p) return nullptr;
        double* out = data_of<double>(p);
        // Each motif's scores in turn, gathered by a counting sort: its tables (up to a MB) then
        // stay in cache for all of them, where the hits in genome order would go from one
        // motif's tables to another's at every hit. Their p-values take the scores' place.
        std::vector<std::int64_t> first(static_cast<std::size_t>(count) + 1, 0), row(static_cast<std::size_t>(n));
        std::vector<double> grouped(static_cast<std::size_t>(n));
        npy_intp bad = -1;  // the first row whose motif has no table
        std::int32_t bad_motif = 0;
        without_gil([&] {
            auto motif_of = [&](npy_intp i) {
                std::int32_t k = 0;
                if (m_at) std::memcpy(&k, m_at + i * m_step, 4);
                return k;
            };
            for (npy_intp i = 0; i < n; ++i) {  // counted and checked in one pass
                const std::int32_t k = motif_of(i);
                if (k < 0 || k >= count) {
                    bad = i;
                    bad_motif = k;
                    return;
                }
                ++first[static_cast<std::size_t>(k) + 1];
            }
            for (std::size_t k = 0; k < tables.size(); ++k) first[k + 1] += first[k];
            std::vector<std::int64_t> next(first.begin(), first.end() - 1);
            for (npy_intp i = 0; i < n; ++i) {
                const auto at = static_cast<std::size_t>(next[static_cast<std::size_t>(motif_of(i))]++);
                row[at] = i;
                std::memcpy(&grouped[at], s_at + i * s_step, 8);
            }
            for (std::size_t k = 0; k < tables.size(); ++k) {
                double* const g = grouped.data() + first[k];
                const std::int64_t m = first[k + 1] - first[k];
                if (kept[k])
                    kernels::tails::read_off(tables[k], g, m, g);
                else
                    std::fill(g, g + m, std::numeric_limits<double>::quiet_NaN());
            }
            for (npy_intp i = 0; i < n; ++i)
                out[row[static_cast<std::size_t>(i)]] = grouped[static_cast<std::size_t>(i)];
        });
        if (bad >= 0) return PyErr_Format(PyExc_ValueError, "read_off(): motif[%zd] = %d has no table", bad, bad_motif);
        return p.release();
    });
}

// ---------------------------------------------------------------- module

PyMethodDef module_methods[] = {
    {"lattice_bracket", lattice_bracket, METH_VARARGS,
     "lattice_bracket($module, q, bg, reach, lo, hi, count_words=True, tilt=None, /)\n--\n\n"
     "(base, prob, words, above, cells): the distribution of lattice sums kept\n"
     "within [lo, hi), with the probability folded in from hi on; words is\n"
     "empty without count_words. q is the\n"
     "integer matrix (4, L) of a lattice, reach its (L + 1) suffix maxima, bg\n"
     "the background (4). With tilt (4, L), words holds each sum's total of\n"
     "the products of tilt[base, column] over its words instead of their count."},
    {"lattice_words", lattice_words, METH_VARARGS,
     "lattice_words($module, q, matrix, bg, reach, lo, hi, level_limit, work, work_limit, expect=0,\n"
     "              keep_sums=True, /)\n--\n\n"
     "((score, prob[, sum]) or None, work): every word with lattice sum in\n"
     "[lo, hi), in lexicographic order of its codes; sum (int64) only with\n"
     "keep_sums. Room is made for `expect` words at once."},
    {"lattice_tails", lattice_tails, METH_VARARGS,
     "lattice_tails($module, q, matrix, bg, reach, lo, x, /)\n--\n\n"
     "tails[i]: the probability of the words with lattice sum >= lo scoring at or\n"
     "above x[i], for ascending scores x, correctly rounded."},
    {"best_first", best_first, METH_VARARGS,
     "best_first($module, x, p, /)\n--\n\n"
     "Scores x best first (ties in their given order), and the running sums of\n"
     "their probabilities p in that order."},
    {"fine_table", fine_table, METH_VARARGS,
     "fine_table($module, prob, tilt, pad, n, /)\n--\n\n"
     "(tails, ratio): the fine bound's table of the n sums from pad below a\n"
     "recursion's first: the tails from each sum on (n + 1, summed from the\n"
     "top), and each sum's tilted weight over its probability (float32, rounded\n"
     "up; 1 where the weight is below 2**-1000, the sum holds no word or the\n"
     "ratio is 1 or more)."},
    {"read_off", read_off, METH_VARARGS,
     "read_off($module, motif, scores, tables, /)\n--\n\n"
     "The p-value of each score, read off the kept tables of its motif's null\n"
     "(tables[motif[i]], as PwmNull.kept_tables gives them, or None); NaN where\n"
     "they do not serve it. motif (int32) may be None with one table; both\n"
     "columns may be strided fields of hit records."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* m) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    // the substeps of the fine bound, which its tables' rises are made for
    if (PyModule_AddIntConstant(m, "SUBSTEPS", kernels::tails::kSubsteps) < 0) return -1;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident) return -1;
    main_thread = PyLong_AsUnsignedLong(ident.get());
    return PyErr_Occurred() ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def =
    module_definition("_stats", "The lattice recursions and table reads of morvane.stats, without the GIL.",
                      module_methods, module_slots);

}  // namespace
}  // namespace morvane

PyMODINIT_FUNC PyInit__stats() { return PyModuleDef_Init(&morvane::module_def); }
