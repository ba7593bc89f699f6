// SequenceMatrix (the factory and the count merge) and NucleotideMatrix.
#include "kernels/kernels.hpp"
#include "sequences/frame/buffer.hpp"
#include "sequences/matrix.hpp"
#include "sequences/units.hpp"

namespace morvane {

// ------------------------------------------------------------ SequenceMatrix

PyObject* matrix_create(Call& c) {
    PyObject* length = c.object(0);
    PyObject* stype = c.object(1);
    for (auto [name, cls] :
         {std::pair<const char*, const char*>{"PWM", "NucleotideMatrix"}, {"DWM", "DiNucleotideMatrix"}}) {
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
