// SequenceMatrix (the factory and the count merge) and NucleotideMatrix.
#include "sequences/frame/buffer.hpp"
#include "sequences/frame/convert.hpp"
#include "kernels/kernels.hpp"
#include "sequences/matrix.hpp"
#include "sequences/units.hpp"

namespace morvane {

// ------------------------------------------------------------ shared matrix helpers

Ref np_attr(const Call& c, const char* name) {
    Ref np = c.global("np");
    return np ? getattr(np.get(), name) : Ref();
}

Ref zeros_shape(const Call& c, int fives, PyObject* length, int lengths) {
    Ref zeros = np_attr(c, "zeros");
    if (!zeros) return Ref();
    Ref shape = Ref::steal(PyTuple_New(fives + lengths));
    if (!shape) return Ref();
    for (int i = 0; i < fives + lengths; ++i) {
        PyObject* v = i < fives ? PyLong_FromLong(5) : Py_NewRef(length);
        if (!v) return Ref();
        PyTuple_SET_ITEM(shape.get(), i, v);
    }
    return call(zeros.get(), shape);
}

bool read_length(PyObject* self, std::int32_t* L) {
    Ref length = getattr(self, "length");
    return length && to_c_int(length.get(), L);
}

int CountedCodes::take(const Call& c, std::int32_t L, bool skip_n) {
    size_ = 0;
    if (L <= 0) return 1;
    auto seq = c.array(kSequenceArg).vec();
    if (seq.size < L) {
        PyErr_Format(PyExc_ValueError, "sequence has %lld elements; expected at least %d (the matrix length)",
                     static_cast<long long>(seq.size), static_cast<int>(L));
        return -1;
    }
    if (L > static_cast<std::int32_t>(sizeof local_ / sizeof local_[0])) {
        heap_.resize(static_cast<std::size_t>(L));
        data_ = heap_.data();
    }
    for (std::int32_t i = 0; i < L; ++i) data_[i] = seq.load(i);
    size_ = L;
    auto codes = view();
    // One pass in the common case: every code a base (or, when N is counted, up to 4).
    std::int64_t bad = kernels::find_outside(codes, L, 0, skip_n ? 3 : 4);
    if (bad >= 0 && skip_n && kernels::find_code(codes, L, 4) >= 0) return 0;  // N wins over a bad code
    if (bad >= 0) {
        PyErr_Format(PyExc_ValueError, "sequence[%lld] is %lld; expected a nucleotide code from 0 to 4",
                     static_cast<long long>(bad), static_cast<long long>(data_[bad]));
        return -1;
    }
    return 1;
}

bool add_total(PyObject* self, const char* total, double amount) {
    Ref value = getattr(self, total);
    if (!value) return false;
    if (PyFloat_CheckExact(value.get())) {  // float + float, without building the addend
        Ref sum = Ref::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(value.get()) + amount));
        return sum && setattr(self, total, sum.get());
    }
    Ref step = Ref::steal(PyFloat_FromDouble(amount));
    if (!step) return false;
    Ref sum = Ref::steal(PyNumber_InPlaceAdd(value.get(), step.get()));
    return sum && setattr(self, total, sum.get());
}

bool sequence_length(const Call& c, Py_ssize_t* n) {
    *n = PyObject_Length(c.object(kSequenceArg));
    if (*n < 0) return false;
    if (*n != c.array(kSequenceArg).shape(0)) {
        PyErr_Format(PyExc_ValueError, "len(sequence) is %zd but its buffer holds %lld elements", *n,
                     static_cast<long long>(c.array(kSequenceArg).shape(0)));
        return false;
    }
    return true;
}

bool score_buffer(const Ref& scores, Py_ssize_t n, BufferView& out) {
    if (!out.acquire(scores.get(), Elem::Float64, 1, true)) return false;
    auto o = out.vec();
    if (o.size != n || (n > 1 && o.step != sizeof(double))) {
        PyErr_SetString(PyExc_ValueError, "numpy.zeros() did not return a contiguous float64 array");
        return false;
    }
    return true;
}

kernels::Strided<std::int64_t> scored_codes(const Call& c, const BufferView& out, std::vector<std::int64_t>& copy) {
    auto seq = c.array(kSequenceArg).vec();
    if (!out.overlaps(c.array(kSequenceArg))) return seq;
    copy.resize(static_cast<std::size_t>(seq.size));
    for (std::int64_t i = 0; i < seq.size; ++i) copy[static_cast<std::size_t>(i)] = seq.load(i);
    return {reinterpret_cast<char*>(copy.data()), seq.size, 8};
}

PyObject* raise_negative_code(kernels::Strided<std::int64_t> seq, std::int64_t index) {
    PyErr_Format(PyExc_ValueError, "sequence[%lld] is %lld; expected a nucleotide code, 0 or more",
                 static_cast<long long>(index), static_cast<long long>(seq.load(index)));
    return nullptr;
}

// numpy.mean(numpy.sum(array[:4, :], axis=0)): the mean base weight per position.
Ref mean_base_weight(const Call& c, const Ref& array) {
    if (!array) return Ref();
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!four) return Ref();
    Ref rows = Ref::steal(Py_BuildValue("(NN)", PySlice_New(nullptr, four.get(), nullptr),
                                        PySlice_New(nullptr, nullptr, nullptr)));
    if (!rows) return Ref();
    Ref sum_fn = np_attr(c, "sum");
    Ref sums = call_kw(sum_fn.get(), "axis", Ref::steal(PyLong_FromLong(0)),
                       Ref::steal(PyObject_GetItem(array.get(), rows.get())));
    if (!sums) return Ref();
    return call(np_attr(c, "mean").get(), sums);
}

Ref plus(const Ref& a, long b) {
    if (!a) return Ref();
    Ref k = Ref::steal(PyLong_FromLong(b));
    return k ? Ref::steal(PyNumber_Add(a.get(), k.get())) : Ref();
}

Ref smoothed(const Call& c, const Ref& counts, const char* total) {
    Ref divide = np_attr(c, "true_divide");
    if (!divide || !counts) return Ref();
    Ref num = plus(counts, 1);
    if (!num) return Ref();
    return call(divide.get(), num, plus(getattr(c.self(), total), 4));
}

bool set_log_odds(const Call& c) {
    PyObject* self = c.self();
    Ref log2 = np_attr(c, "log2");
    if (!log2) return false;
    Ref divide = np_attr(c, "true_divide");
    if (!divide) return false;
    Ref bias_pwm = getattr(self, "bias_pwm");
    if (!bias_pwm) return false;
    Ref ratio = call(divide.get(), bias_pwm, getattr(self, "bg_pwm"));
    Ref pssm = ratio ? call(log2.get(), ratio) : Ref();
    return pssm && setattr(self, "pssm", pssm.get());
}

// ------------------------------------------------------------ SequenceMatrix

PyObject* matrix_create(Call& c) {
    PyObject* length = c.object(0);
    PyObject* stype = c.object(1);
    for (auto [name, cls] : {std::pair<const char*, const char*>{"PWM", "NucleotideMatrix"},
                             {"DWM", "DiNucleotideMatrix"}}) {
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (!text) return nullptr;
        int eq = PyObject_RichCompareBool(stype, text.get(), Py_EQ);
        if (eq < 0) return nullptr;
        if (eq) return call(c.global(cls).get(), Ref::borrow(length)).release();
    }
    Ref sys = c.global("sys");
    if (!sys) return nullptr;
    Ref exit = getattr(sys.get(), "exit");
    if (!exit) return nullptr;
    Ref format = Ref::steal(PyUnicode_FromString("Unkown score type {0}"));
    if (!format) return nullptr;
    // stype is the one argument, a tuple included.
    Ref message = call(getattr(format.get(), "format").get(), Ref::borrow(stype));
    if (!message || !call(exit.get(), message)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* matrix_add_counts(Call& c) {
    PyObject* self = c.self();
    PyObject* other = c.object(1);
    for (const char* name : {"counts", "bg_counts", "neg_counts", "no_bias", "no_bg"}) {
        Ref mine = getattr(self, name);
        if (!mine) return nullptr;
        Ref theirs = getattr(other, name);
        if (!theirs) return nullptr;
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(mine.get(), theirs.get()));
        if (!sum || !setattr(self, name, sum.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

// ------------------------------------------------------------ NucleotideMatrix

PyObject* pwm_init(Call& c) {
    PyObject* self = c.self();
    PyObject* length = c.object(1);
    if (!setattr(self, "length", length)) return nullptr;
    for (const char* name : {"counts", "neg_counts", "bg_counts"}) {
        Ref zeros = zeros_shape(c, 1, length, 1);
        if (!zeros || !setattr(self, name, zeros.get())) return nullptr;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || !setattr(self, "no_bias", zero.get()) || !setattr(self, "no_bg", zero.get())) return nullptr;
    Ref pssm = zeros_shape(c, 1, length, 1);
    if (!pssm || !setattr(self, "pssm", pssm.get())) return nullptr;
    Py_RETURN_NONE;
}

namespace {

// Reads a (5, L) count attribute for writing, with the extent the loops need.
bool count_array(PyObject* self, const char* name, std::int32_t L, Ref& obj, BufferView& view) {
    const std::int64_t min[2] = {5, L > 0 ? L : 0};
    return read_array_attr(self, name, Elem::Float64, 2, true, obj, view) && require_extent(name, view, 2, min);
}

}  // namespace

PyObject* pwm_add_sequence(Call& c) {
    PyObject* self = c.self();
    std::int32_t L;
    if (!read_length(self, &L)) return nullptr;
    Ref counts_obj, neg_obj;
    BufferView counts, neg;
    if (!count_array(self, "counts", L, counts_obj, counts) || !count_array(self, "neg_counts", L, neg_obj, neg))
        return nullptr;
    CountedCodes codes;
    int take = codes.take(c, L, true);
    if (take < 0) return nullptr;
    if (take == 0) Py_RETURN_NONE;  // an N in the window: the sequence is not counted at all
    // Non-positive amounts (NaN included) are kept apart from the counts.
    const double amount = c.real(kAmountArg);
    kernels::pwm_count(codes.view(), L, amount > 0 ? counts.grid2() : neg.grid2(), amount);
    counts.release();
    neg.release();
    if (!setattr(self, "counts", counts_obj.get()) || !setattr(self, "neg_counts", neg_obj.get())) return nullptr;
    if (!add_total(self, "no_bias", amount)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* pwm_add_background(Call& c) {
    PyObject* self = c.self();
    std::int32_t L;
    if (!read_length(self, &L)) return nullptr;
    Ref bg_obj;
    BufferView bg;
    if (!count_array(self, "bg_counts", L, bg_obj, bg)) return nullptr;
    CountedCodes codes;
    if (codes.take(c, L, false) < 0) return nullptr;
    const double amount = c.real(kAmountArg);
    kernels::pwm_count(codes.view(), L, bg.grid2(), amount);
    bg.release();
    if (!setattr(self, "bg_counts", bg_obj.get()) || !add_total(self, "no_bg", amount)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* pwm_prepare_mat(Call& c) {
    PyObject* self = c.self();
    Ref no_bias = mean_base_weight(c, getattr(self, "counts"));
    if (!no_bias || !setattr(self, "no_bias", no_bias.get())) return nullptr;
    Ref no_bg = mean_base_weight(c, getattr(self, "bg_counts"));
    if (!no_bg || !setattr(self, "no_bg", no_bg.get())) return nullptr;
    Ref bias_pwm = smoothed(c, getattr(self, "counts"), "no_bias");
    if (!bias_pwm || !setattr(self, "bias_pwm", bias_pwm.get())) return nullptr;
    Ref bg_pwm = smoothed(c, getattr(self, "bg_counts"), "no_bg");
    if (!bg_pwm || !setattr(self, "bg_pwm", bg_pwm.get())) return nullptr;
    if (!set_log_odds(c)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* pwm_score_sequence(Call& c) {
    Ref pssm_obj;
    BufferView pssm;
    if (!read_array_attr(c.self(), "pssm", Elem::Float64, 2, false, pssm_obj, pssm)) return nullptr;
    Py_ssize_t n;
    if (!sequence_length(c, &n)) return nullptr;
    // Scored windows read the four base rows; windows holding N read nothing.
    const std::int64_t min[2] = {4, 0};
    if (!require_extent("pssm", pssm, 2, min)) return nullptr;
    Ref scores = call(np_attr(c, "zeros").get(), Ref::steal(PyLong_FromSsize_t(n)));
    if (!scores) return nullptr;
    BufferView out;
    if (!score_buffer(scores, n, out)) return nullptr;
    std::vector<std::int64_t> copy;
    auto seq = scored_codes(c, out, copy);
    std::int64_t bad = kernels::pwm_score(seq, pssm.grid2(), reinterpret_cast<double*>(out.vec().base));
    if (bad >= 0) return raise_negative_code(seq, bad);
    return scores.release();
}

}  // namespace morvane
