// GenomicSequence (a region's codes on both strands) and get_gc_content.
#include "kernels/kernels.hpp"
#include "sequences/coding.hpp"
#include "sequences/frame/convert.hpp"
#include "sequences/frame/function.hpp"
#include "sequences/units.hpp"

namespace morvane {

namespace {

// fetch(region.chrom, region.start, region.end) on a reader; `region_of`
// gives the region object anew for each coordinate, as each is read through it.
template <class RegionOf>
Ref fetch_region(PyObject* reader, RegionOf region_of) {
    Ref fetch = getattr(reader, "fetch");
    if (!fetch) return Ref();
    Ref coord[3];
    const char* names[3] = {"chrom", "start", "end"};
    for (int i = 0; i < 3; ++i) {
        Ref region = region_of();
        if (!region) return Ref();
        coord[i] = getattr(region.get(), names[i]);
        if (!coord[i]) return Ref();
    }
    return call(fetch.get(), coord[0], coord[1], coord[2]);
}

// region.end and region.start, end read first.
bool region_bounds(PyObject* region, Ref& end, Ref& start) {
    end = getattr(region, "end");
    if (end) start = getattr(region, "start");
    return end && start;
}

// region.end - region.start.
Ref region_length(PyObject* region) {
    Ref end, start;
    if (!region_bounds(region, end, start)) return Ref();
    return Ref::steal(PyNumber_Subtract(end.get(), start.get()));
}

}  // namespace

PyObject* genomic_init(Call& c) {
    PyObject* self = c.self();
    if (!setattr(self, "region", c.object(1))) return nullptr;
    Ref length = region_length(c.object(1));
    if (!length || !setattr(self, "length", length.get())) return nullptr;
    for (const char* name : {"sequence", "revcomp"}) {
        Ref zeros = zeros_int(c, getattr(self, "length"));
        if (!zeros || !setattr(self, name, zeros.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* genomic_from_fasta(Call& c) {
    PyObject* self = c.self();
    Ref text = fetch_region(c.object(1), [&] { return getattr(self, "region"); });
    if (!text) return nullptr;
    if (text.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "fetch() returned None; expected the region's sequence as a str");
        return nullptr;
    }
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(text.get())->tp_name);
        return nullptr;
    }
    Ref length_attr = getattr(self, "length");
    std::int32_t L;
    if (!length_attr || !to_c_int(length_attr.get(), &L)) return nullptr;
    Ref seq_obj, rev_obj;
    BufferView seq, rev;
    if (!read_array_attr(self, "sequence", Elem::Int64, 1, true, seq_obj, seq) ||
        !read_array_attr(self, "revcomp", Elem::Int64, 1, true, rev_obj, rev))
        return nullptr;

    // Everything is checked before the first element is written.
    const std::int64_t n = L > 0 ? L : 0;
    if (PyUnicode_GET_LENGTH(text.get()) < n) {
        PyErr_Format(PyExc_ValueError, "fetch() returned %zd characters for a region of length %d",
                     PyUnicode_GET_LENGTH(text.get()), static_cast<int>(L));
        return nullptr;
    }
    for (auto [name, view] : {std::pair<const char*, BufferView*>{"sequence", &seq}, {"revcomp", &rev}}) {
        if (view->shape(0) < n) {
            PyErr_Format(PyExc_ValueError, "attribute '%s' has %lld elements; expected at least %d (the region length)",
                         name, static_cast<long long>(view->shape(0)), static_cast<int>(L));
            return nullptr;
        }
    }
    with_text(text.get(), [&](auto* units, std::int64_t) { kernels::encode_both(units, n, seq.vec(), rev.vec()); });
    seq.release();
    rev.release();
    if (!setattr(self, "sequence", seq_obj.get()) || !setattr(self, "revcomp", rev_obj.get())) return nullptr;
    return Py_NewRef(self);
}

namespace {

// The G/C count of one fetched text: natively for a str, element by element
// (comparing with "G", "g", "C", "c" in turn) for any other iterable.
bool count_gc(PyObject* seq, std::int64_t* count) {
    if (PyUnicode_CheckExact(seq)) {
        *count = with_text(seq, [](auto* units, std::int64_t n) { return kernels::count_gc(units, n); });
        return true;
    }
    static const char* letters[] = {"G", "g", "C", "c"};
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    *count = 0;
    while (Ref nuc = Ref::steal(PyIter_Next(it.get()))) {
        for (const char* letter : letters) {
            Ref s = Ref::steal(PyUnicode_FromString(letter));
            if (!s) return false;
            int eq = PyObject_RichCompareBool(nuc.get(), s.get(), Py_EQ);
            if (eq < 0) return false;
            if (eq) {
                ++*count;
                break;
            }
        }
    }
    return !PyErr_Occurred();
}

// A running total that starts as the int 0 and grows by Python's in-place
// addition. While every addend is an exact int and the sum fits in 64 bits it
// is kept as a C integer, which gives the same value without an object per
// step; the first other addend (or an overflow) turns it into the Python object
// and Python's arithmetic from then on.
class Tally {
public:
    bool add(std::int64_t v) {
        std::int64_t next;
        if (!obj_ && !__builtin_add_overflow(sum_, v, &next)) {
            sum_ = next;
            return true;
        }
        return add(Ref::steal(PyLong_FromLongLong(v)));
    }
    bool add(const Ref& v) {
        if (!v) return false;
        if (!obj_) {
            obj_ = Ref::steal(PyLong_FromLongLong(sum_));
            if (!obj_) return false;
        }
        obj_ = Ref::steal(PyNumber_InPlaceAdd(obj_.get(), v.get()));
        return static_cast<bool>(obj_);
    }
    // end - start of a region (end read first), as Python computes it.
    bool add_length(PyObject* region) {
        Ref end, start;
        if (!region_bounds(region, end, start)) return false;
        if (!obj_ && PyLong_CheckExact(end.get()) && PyLong_CheckExact(start.get())) {
            int o1 = 0, o2 = 0;
            const long long e = PyLong_AsLongLongAndOverflow(end.get(), &o1);
            const long long b = PyLong_AsLongLongAndOverflow(start.get(), &o2);
            std::int64_t d;
            if (!o1 && !o2 && !__builtin_sub_overflow(e, b, &d)) return add(d);
        }
        return add(Ref::steal(PyNumber_Subtract(end.get(), start.get())));
    }
    Ref value() const { return obj_ ? obj_ : Ref::steal(PyLong_FromLongLong(sum_)); }

private:
    std::int64_t sum_ = 0;
    Ref obj_;  // the total as a Python object, once it has left C integers
};

}  // namespace

PyObject* get_gc_content(Call& c) {
    Tally gc, total;
    Ref pysam = c.global("pysam");
    if (!pysam) return nullptr;
    Ref fasta_obj = call(getattr(pysam.get(), "FastaFile").get(), Ref::borrow(c.object(1)));
    if (!fasta_obj) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(c.object(0)));
    if (!it) return nullptr;
    while (Ref region = Ref::steal(PyIter_Next(it.get()))) {
        Ref seq = fetch_region(fasta_obj.get(), [&] { return region; });
        std::int64_t count;
        if (!seq || !count_gc(seq.get(), &count)) return nullptr;
        if (!gc.add(count) || !total.add_length(region.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    if (!call(getattr(fasta_obj.get(), "close").get())) return nullptr;
    Ref sum = total.value(), count = gc.value();
    if (!sum || !count) return nullptr;
    Ref denominator = PyFloat_CheckExact(sum.get()) ? sum : Ref::steal(PyNumber_Float(sum.get()));
    if (!denominator) return nullptr;
    return PyNumber_TrueDivide(count.get(), denominator.get());
}

}  // namespace morvane
