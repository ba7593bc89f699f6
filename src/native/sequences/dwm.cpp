// DiNucleotideMatrix: pair counting, preparation and conditional-probability scoring.
#include "kernels/kernels.hpp"
#include "sequences/frame/buffer.hpp"
#include "sequences/frame/convert.hpp"
#include "sequences/frame/runtime.hpp"
#include "sequences/matrix.hpp"
#include "sequences/units.hpp"

namespace morvane {

PyObject* dwm_init(Call& c) {
    PyObject* self = c.self();
    PyObject* length = c.object(1);
    if (!setattr(self, "length", length)) return nullptr;
    struct Attr {
        const char* name;
        int fives, lengths;  // shape: that many 5s, then that many copies of length
    };
    static const Attr arrays[] = {{"counts", 2, 2}, {"neg_counts", 1, 1}, {"bg_counts", 2, 2}};
    for (const Attr& a : arrays) {
        Ref zeros = zeros_shape(c, a.fives, length, a.lengths);
        if (!zeros || !setattr(self, a.name, zeros.get())) return nullptr;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || !setattr(self, "no_bias", zero.get()) || !setattr(self, "no_bg", zero.get())) return nullptr;
    static const Attr prepared[] = {
        {"pssm", 1, 1}, {"bias_pwm", 2, 2}, {"bg_pwm", 2, 2}, {"bias_dwm", 2, 2}, {"bg_dwm", 2, 2}};
    for (const Attr& a : prepared) {
        Ref zeros = zeros_shape(c, a.fives, length, a.lengths);
        if (!zeros || !setattr(self, a.name, zeros.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

PyObject* count_pairs(Call& c, const char* counts_name, const char* total) {
    PyObject* self = c.self();
    Ref counts_obj;
    BufferView counts;
    if (!read_array_attr(self, counts_name, Elem::Float64, 4, true, counts_obj, counts)) return nullptr;
    std::int32_t L;
    if (!read_length(self, &L)) return nullptr;
    const std::int64_t w = L > 0 ? L : 0;
    const std::int64_t min[4] = {5, 5, w, w};
    if (!require_extent(counts_name, counts, 4, min)) return nullptr;
    CountedCodes codes;
    int take = codes.take(c, L, true);
    if (take < 0) return nullptr;
    if (take == 0) Py_RETURN_NONE;  // an N in the window: the sequence is not counted at all
    const double amount = c.real(kAmountArg);
    kernels::dwm_count(codes.view(), L, counts.grid4(), amount);
    counts.release();
    if (!add_total(self, total, amount) || !setattr(self, counts_name, counts_obj.get())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* dwm_add_sequence(Call& c) { return count_pairs(c, "counts", "no_bias"); }
PyObject* dwm_add_background(Call& c) { return count_pairs(c, "bg_counts", "no_bg"); }

namespace {

struct Model {
    const char* counts;
    const char* total;
    const char* pwm;
    const char* dwm;
};

const Model kBias{"counts", "no_bias", "bias_pwm", "bias_dwm"};
const Model kBackground{"bg_counts", "no_bg", "bg_pwm", "bg_dwm"};

// Per-position code weights: numpy.sum(self.<counts>, axis=(0, 2)) / float(L).
Ref position_weights(const Call& c, const Model& m, const Ref& L) {
    Ref sum = np_attr(c, "sum");
    if (!sum) return Ref();
    // A count array that no arithmetic can use is refused by name where it is first read.
    Ref counts = getattr(c.self(), m.counts);
    if (!counts || !real_elements(m.counts, counts.get())) return Ref();
    Ref sums = call_kw(sum.get(), "axis", Ref::steal(Py_BuildValue("(ii)", 0, 2)), counts);
    if (!sums) return Ref();
    Ref width = Ref::steal(PyNumber_Float(L.get()));
    return width ? Ref::steal(PyNumber_TrueDivide(sums.get(), width.get())) : Ref();
}

// Steps that derive the total and the smoothed position matrix of one model.
bool position_matrix(const Call& c, const Model& m, const Ref& L) {
    PyObject* self = c.self();
    Ref cm = position_weights(c, m, L);
    if (!cm) return false;
    Ref total = mean_base_weight(c, cm);
    if (!total || !setattr(self, m.total, total.get())) return false;
    Ref pwm = smoothed(c, cm, m.total);
    return pwm && setattr(self, m.pwm, pwm.get());
}

// The pseudo-count weight of a model: its total when above 16, else 16.
Ref pseudo_count(PyObject* self, const Model& m) {
    Ref total = getattr(self, m.total);
    if (!total) return Ref();
    Ref sixteen = Ref::steal(PyLong_FromLong(16));
    if (!sixteen) return Ref();
    int above = PyObject_RichCompareBool(total.get(), sixteen.get(), Py_GT);
    if (above < 0) return Ref();
    return above ? total : sixteen;
}

// What the pair step reads and writes for one model, taken before any element
// is written.
struct PairOperands {
    Ref counts_obj, pwm_obj, dwm_obj;
    BufferView counts, pwm, dwm;
    kernels::PairModel model;

    bool read(PyObject* self, const Model& m, const Ref& pseudo, std::int64_t L) {
        if (!to_c_double(pseudo.get(), &model.pseudo)) return false;
        Ref total = getattr(self, m.total);
        if (!total) return false;
        Ref sum = Ref::steal(PyNumber_Add(total.get(), pseudo.get()));
        if (!sum || !to_c_double(sum.get(), &model.denom)) return false;
        // Counts of any integer or real type enter the sums as the doubles NumPy would use.
        counts_obj = getattr(self, m.counts);
        if (!counts_obj || !real_elements(m.counts, counts_obj.get())) return false;
        counts_obj = as_float64(counts_obj);
        if (!counts_obj || !view_array(m.counts, counts_obj.get(), Elem::Float64, 4, false, counts) ||
            !read_array_attr(self, m.pwm, Elem::Float64, 2, false, pwm_obj, pwm) ||
            !read_array_attr(self, m.dwm, Elem::Float64, 4, true, dwm_obj, dwm))
            return false;
        const std::int64_t pairs[4] = {5, 5, L, L};
        const std::int64_t positions[2] = {5, L};
        struct Extent {
            const char* name;
            const BufferView* view;
            int ndim;
            const std::int64_t* min;
        };
        const Extent extents[] = {{m.counts, &counts, 4, pairs}, {m.pwm, &pwm, 2, positions}, {m.dwm, &dwm, 4, pairs}};
        for (const Extent& e : extents) {
            if (!require_extent(e.name, *e.view, e.ndim, e.min)) {
                // Indexing past an array's end is an IndexError, as element indexing would raise.
                Ref exc = Ref::steal(PyErr_GetRaisedException());
                Ref text = Ref::steal(PyObject_Str(exc.get()));
                if (text) PyErr_SetObject(PyExc_IndexError, text.get());
                return false;
            }
        }
        model.counts = counts.grid4();
        model.pwm = pwm.grid2();
        model.dwm = dwm.grid4();
        return true;
    }

    // True when this model's writes can reach what either model reads or writes.
    bool writes_into(const PairOperands& o) const {
        return dwm.overlaps(counts) || dwm.overlaps(pwm) || dwm.overlaps(o.counts) || dwm.overlaps(o.pwm) ||
               dwm.overlaps(o.dwm);
    }
};

// Rewrites self.bias_dwm and self.bg_dwm in place. Runs natively: every element
// is (counts + (pseudo * pwm[Sn, n]) * pwm[Sm, m]) / denom in double arithmetic,
// the order that fixes its rounding. Arrays that share memory take the element
// loop literally, since then the order of the writes decides what is read.
bool pair_matrices(PyObject* self, const Ref& pseudo_bias, const Ref& pseudo_bg, std::int64_t L) {
    PairOperands bias, bg;
    if (!bias.read(self, kBias, pseudo_bias, L) || !bg.read(self, kBackground, pseudo_bg, L)) return false;
    if (bias.writes_into(bg) || bg.writes_into(bias)) {
        kernels::dwm_pairs_interleaved(bias.model, bg.model, L);
    } else {
        for (const PairOperands* p : {&bias, &bg})
            kernels::dwm_pairs(p->model.counts, p->model.pwm, p->model.pseudo, p->model.denom, L, p->model.dwm);
    }
    return true;
}

}  // namespace

PyObject* dwm_prepare_mat(Call& c) {
    PyObject* self = c.self();
    Ref L = getattr(self, "length");
    if (!L) return nullptr;
    if (!position_matrix(c, kBias, L) || !position_matrix(c, kBackground, L)) return nullptr;

    if (!set_log_odds(c)) return nullptr;

    Ref pseudo_bias = pseudo_count(self, kBias);
    if (!pseudo_bias) return nullptr;
    Ref pseudo_bg = pseudo_count(self, kBackground);
    if (!pseudo_bg) return nullptr;

    // The position loops run over range(L), so L must be an integer here.
    Ref positions = call(runtime().range, L);
    if (!positions) return nullptr;
    Py_ssize_t n = PyObject_Length(positions.get());
    if (n < 0) return nullptr;
    if (n > 0 && !pair_matrices(self, pseudo_bias, pseudo_bg, n)) return nullptr;

    for (auto [from, to] : {std::pair<const char*, const char*>{"bias_pwm", "bias_pwm_log"},
                            {"bg_pwm", "bg_pwm_log"},
                            {"bias_dwm", "bias_dwm_log"},
                            {"bg_dwm", "bg_dwm_log"}}) {
        Ref fn = np_attr(c, "log2");
        if (!fn) return nullptr;
        Ref value = getattr(self, from);
        if (!value) return nullptr;
        Ref logs = call(fn.get(), value);
        if (!logs || !setattr(self, to, logs.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* dwm_score_sequence(Call& c) {
    PyObject* self = c.self();
    struct Log {
        const char* name;
        int ndim;
    };
    static const Log logs[4] = {{"bias_pwm_log", 2}, {"bg_pwm_log", 2}, {"bias_dwm_log", 4}, {"bg_dwm_log", 4}};
    Ref objs[4];
    BufferView views[4];
    for (int i = 0; i < 4; ++i)
        if (!read_array_attr(self, logs[i].name, Elem::Float64, logs[i].ndim, false, objs[i], views[i])) return nullptr;
    std::int32_t L;
    if (!read_length(self, &L)) return nullptr;
    Py_ssize_t n;
    if (!sequence_length(c, &n)) return nullptr;
    if (L < 0) {
        PyErr_Format(PyExc_ValueError, "length is %d; a matrix width cannot be negative", static_cast<int>(L));
        return nullptr;
    }
    Ref scores = call(np_attr(c, "zeros").get(), Ref::steal(PyLong_FromSsize_t(n)));
    if (!scores) return nullptr;
    // Width 0: every window is empty and scores 0.0, which the zeros already hold.
    if (L == 0) return scores.release();
    // Scored windows hold only base codes: the position matrices are read at rows
    // 0 to 3, the pair matrices at codes 0 to 3 (the first axis keeps its N row).
    const std::int64_t pwm_min[2] = {4, L};
    const std::int64_t dwm_min[4] = {5, 4, L, L};
    for (int i = 0; i < 4; ++i)
        if (!require_extent(logs[i].name, views[i], logs[i].ndim, logs[i].ndim == 2 ? pwm_min : dwm_min))
            return nullptr;
    BufferView out;
    if (!score_buffer(scores, n, out)) return nullptr;
    std::vector<std::int64_t> copy;
    auto seq = scored_codes(c, out, copy);
    std::int64_t bad = kernels::dwm_score(seq, L, views[0].grid2(), views[1].grid2(), views[2].grid4(),
                                          views[3].grid4(), reinterpret_cast<double*>(out.vec().base));
    if (bad >= 0) return raise_negative_code(seq, bad);
    return scores.release();
}

}  // namespace morvane
