// What both matrix kinds share (matrix.hpp).
#include "sequences/matrix.hpp"

#include "sequences/frame/convert.hpp"

namespace morvane {

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

Ref mean_base_weight(const Call& c, const Ref& array) {
    if (!array) return Ref();
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!four) return Ref();
    Ref rows = Ref::steal(
        Py_BuildValue("(NN)", PySlice_New(nullptr, four.get(), nullptr), PySlice_New(nullptr, nullptr, nullptr)));
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

}  // namespace morvane
