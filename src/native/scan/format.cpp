// Rows of text from the columns of a table, one call per table: integers in
// decimal, doubles as CPython's repr or its "%.Ng", strings in UTF-8 with the
// format's reserved characters replaced. Doubles are written from their shortest
// digits or, for "%.Ng", digits rounded exactly from the double (kernels/text): the
// very text CPython prints.
#include "scan/format.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/buffer.hpp"
#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/ref.hpp"
#include "kernels/text.hpp"

namespace morvane {

const char kFormatRowsDoc[] =
    "format_rows($module, pieces, n, /)\n--\n\n"
    "The text of n rows as bytes: each row is the pieces in turn, a piece being\n"
    "bytes (written as they are) or (column, arg), a one-dimensional column of\n"
    "n elements: int64 in decimal; float64 as repr() (arg 0) or format(x, '.{arg}g');\n"
    "bytes (S, taken as UTF-8) or str (U) in UTF-8, trailing NULs dropped, with arg 0 leaving\n"
    "them as they are, 1 turning tab, newline and carriage return into a space,\n"
    "2 percent-encoding what a GFF3 attribute value reserves and 3 turning those\n"
    "three and space into '_'. A piece (index, arg, texts) writes texts[index[i]]\n"
    "for an int32 or int64 column of indices into a list of bytes, escaped as\n"
    "arg says: each text made once, not once a row.";

namespace {

namespace text = kernels::text;

enum class Kind { Constant, Int, Double, Bytes, Ucs4, Lookup, Repeat };

// Rows this many are made without the GIL.
constexpr Py_ssize_t kReleasedRows = 256;

struct Piece {
    Kind kind = Kind::Constant;
    const char* data = nullptr;  // the constant, or the column's first element
    Py_ssize_t size = 0;         // the constant's length, or the column's element width in units
    Py_ssize_t step = 0;         // bytes from one element to the next
    int arg = 0;
    HeldBuffer buffer;
    std::vector<std::string> texts;  // Lookup: the texts, escaped
};

// A buffer's format past its native or little-endian byte-order prefix.
const char* unprefixed(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    while (*f == '@' || *f == '=' || *f == '<') ++f;
    return f;
}

// The text of one bytes or UCS4 element of `width` units, escaped as `arg` says.
std::string text_of(Kind kind, const char* data, std::size_t width, int arg) {
    std::string out(4 * width, '\0');
    text::Cursor at{out.data()};
    const auto escape = static_cast<text::Escape>(arg);
    if (kind == Kind::Bytes)
        text::put_bytes(at, data, width, escape);
    else
        text::put_ucs4(at, data, width, escape);
    out.resize(static_cast<std::size_t>(at.at - out.data()));
    return out;
}

// The kind of a column from its buffer format: native little-endian int64,
// float64, or fixed-width bytes or UCS4 ("5s", "3w"). Sets the width of strings.
bool column_kind(const Py_buffer& view, Piece* piece) {
    const char* f = unprefixed(view);
    Py_ssize_t count = 0;
    bool counted = false;
    while (std::isdigit(static_cast<unsigned char>(*f))) {
        count = count * 10 + (*f++ - '0');
        counted = true;
    }
    if (!counted) count = 1;
    if (f[0] == '\0' || f[1] != '\0') return false;
    switch (f[0]) {
        case 'q':
        case 'l':
            if (view.itemsize != 8 || counted) return false;
            piece->kind = Kind::Int;
            return true;
        case 'd':
            if (view.itemsize != 8 || counted) return false;
            piece->kind = Kind::Double;
            return true;
        case 's':
            piece->kind = Kind::Bytes;
            piece->size = count;
            return view.itemsize == count;
        case 'w':
            piece->kind = Kind::Ucs4;
            piece->size = count;
            return view.itemsize == 4 * count;
        default: return false;
    }
}

// An int32 or int64 element, aligned or not.
std::int64_t index_at(const char* at, Py_ssize_t width) {
    if (width == 4) {
        std::int32_t v;
        std::memcpy(&v, at, 4);
        return v;
    }
    std::int64_t v;
    std::memcpy(&v, at, 8);
    return v;
}

// A Lookup piece from its index column (parsed as a column already) and its texts, every index
// checked against them once here.
bool lookup_of(PyObject* texts, Py_ssize_t index, Py_ssize_t n, Piece* piece) {
    const Py_buffer& view = piece->buffer.view();
    const Py_ssize_t width = view.itemsize;
    const char* f = unprefixed(view);
    if (!((width == 4 && (*f == 'i' || *f == 'l')) || (width == 8 && (*f == 'l' || *f == 'q'))) || f[1] != '\0') {
        PyErr_Format(PyExc_TypeError, "format_rows(): index %zd has buffer format '%s'; expected int32 or int64", index,
                     view.format ? view.format : "B");
        return false;
    }
    if (piece->arg < 0 || piece->arg > 3) {
        PyErr_Format(PyExc_ValueError, "format_rows(): piece %zd: arg %d out of range 0 to 3", index, piece->arg);
        return false;
    }
    const Py_ssize_t count = PyList_GET_SIZE(texts);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* text = PyList_GET_ITEM(texts, k);
        if (!PyBytes_Check(text)) {
            PyErr_Format(PyExc_TypeError, "format_rows(): piece %zd: text %zd is a %.100s, not bytes", index, k,
                         Py_TYPE(text)->tp_name);
            return false;
        }
        piece->texts.push_back(text_of(Kind::Bytes, PyBytes_AS_STRING(text),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(text)), piece->arg));
    }
    const char* data = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const std::int64_t k = index_at(data + i * view.strides[0], width);
        if (k < 0 || k >= count) {
            PyErr_Format(PyExc_ValueError, "format_rows(): index %zd holds %lld at row %zd, past its %zd texts", index,
                         static_cast<long long>(k), i, count);
            return false;
        }
    }
    piece->kind = Kind::Lookup;
    piece->size = width;
    piece->data = data;
    piece->step = view.strides[0];
    return true;
}

bool parse_piece(PyObject* item, Py_ssize_t index, Py_ssize_t n, Piece* piece) {
    if (PyBytes_Check(item)) {
        piece->data = PyBytes_AS_STRING(item);
        piece->size = PyBytes_GET_SIZE(item);
        return true;
    }
    PyObject *column, *texts = nullptr;
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "Oi|O!", &column, &piece->arg, &PyList_Type, &texts)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "format_rows(): piece %zd is a %.100s; expected bytes, (column, int) or (index, int, texts)",
                     index, Py_TYPE(item)->tp_name);
        return false;
    }
    if (!piece->buffer.acquire(column, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& view = piece->buffer.view();
    if (view.ndim != 1 || view.shape[0] != n) {
        PyErr_Format(PyExc_ValueError, "format_rows(): column %zd must be one-dimensional with %zd elements", index, n);
        return false;
    }
    if (texts) return lookup_of(texts, index, n, piece);
    if (!column_kind(view, piece)) {
        PyErr_Format(PyExc_TypeError,
                     "format_rows(): column %zd has buffer format '%s'; expected int64, float64, bytes or str", index,
                     view.format ? view.format : "B");
        return false;
    }
    const int most = piece->kind == Kind::Double ? 17 : piece->kind == Kind::Int ? 0 : 3;
    if (piece->arg < 0 || piece->arg > most) {
        PyErr_Format(PyExc_ValueError, "format_rows(): piece %zd: arg %d out of range 0 to %d", index, piece->arg,
                     most);
        return false;
    }
    piece->data = static_cast<const char*>(view.buf);
    piece->step = view.strides[0];
    return true;
}

// False with the Python error set (only on running out of memory). Infinities, NaN and the
// rare p-values too far from 1 for exact 128-bit scaling whose shortest digits cannot decide their
// rounding take CPython's own way.
bool put_double(text::Cursor& out, double v, int digits, Released* released) {
    if (std::isfinite(v)) {
        if (!digits) {
            text::put_repr(out, v);
            return true;
        }
        if (text::put_general(out, v, digits)) return true;
    }
    if (released) return released->held([&] { return put_double(out, v, digits, nullptr); });
    char* s = digits ? PyOS_double_to_string(v, 'g', digits, 0, nullptr)
                     : PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) return false;
    out.append(s);  // "inf", "nan" or at most 17 digits: within kDoubleRoom
    PyMem_Free(s);
    return true;
}

}  // namespace

PyObject* format_rows(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* list;
        Py_ssize_t n;
        if (!PyArg_ParseTuple(args, "O!n:format_rows", &PyList_Type, &list, &n)) return nullptr;
        if (n < 0) return PyErr_Format(PyExc_ValueError, "format_rows(): n must not be negative, got %zd", n);
        // held for the call: the pieces point into these objects
        Ref held = Ref::steal(PySequence_Tuple(list));
        if (!held) return nullptr;
        const Py_ssize_t count = PyTuple_GET_SIZE(held.get());
        std::vector<Piece> pieces(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k)
            if (!parse_piece(PyTuple_GET_ITEM(held.get(), k), k, n, &pieces[k])) return nullptr;

        // The pieces as a program of steps, a column's text each (or none, before a first column)
        // and the constant bytes after it, a column that is an earlier one again (BED's thickStart
        // and thickEnd) copying that one's text in the row; the constants in one block with room
        // past its end, so that one of up to 16 bytes is copied in a single unconditional move.
        struct Step {
            Kind kind = Kind::Constant;
            int arg = 0;
            const char* data = nullptr;
            Py_ssize_t step = 0;
            std::size_t size = 0;
            std::size_t same = 0;  // Repeat: the step whose text this repeats
            bool kept = false;     // repeated later: where its text lies in the row is noted
            const char* begin = nullptr;
            const char* end = nullptr;
            std::size_t tail_at = 0, tail_size = 0;           // the constant bytes after it in `constants`
            const std::vector<std::string>* texts = nullptr;  // Lookup
        };
        constexpr std::size_t kMove = 16;
        std::vector<Step> steps;
        std::string constants;
        for (const Piece& p : pieces) {
            // a text column broadcast (the command's chromosome) is written once, as a constant
            const bool broadcast = (p.kind == Kind::Bytes || p.kind == Kind::Ucs4) && p.step == 0 && n > 0;
            if (p.kind == Kind::Constant || broadcast) {
                const std::string text = broadcast ? text_of(p.kind, p.data, static_cast<std::size_t>(p.size), p.arg)
                                                   : std::string(p.data, static_cast<std::size_t>(p.size));
                if (steps.empty()) steps.emplace_back();
                constants.append(text);
                steps.back().tail_size += text.size();
                continue;
            }
            Step s;
            s.kind = p.kind;
            s.arg = p.arg;
            s.data = p.data;
            s.step = p.step;
            s.size = static_cast<std::size_t>(p.size);
            s.texts = &p.texts;
            s.tail_at = constants.size();
            for (std::size_t k = 0; k < steps.size(); ++k) {
                Step& o = steps[k];
                if (o.kind == s.kind && o.arg == s.arg && o.data == s.data && o.step == s.step && o.size == s.size &&
                    (s.kind != Kind::Lookup || *o.texts == *s.texts)) {
                    s.kind = Kind::Repeat;
                    s.same = k;
                    o.kept = true;
                    break;
                }
            }
            steps.push_back(s);
        }
        constants.append(kMove, '\0');

        // the most a row can take; room for it is made before each row
        std::size_t row = kMove;
        for (const Step& s : steps) {
            const Step& o = s.kind == Kind::Repeat ? steps[s.same] : s;  // whose text it is
            row += s.tail_size;
            switch (o.kind) {
                case Kind::Constant:
                case Kind::Repeat: break;
                case Kind::Int: row += text::kIntRoom; break;
                case Kind::Double: row += text::kDoubleRoom; break;
                case Kind::Bytes: row += 3 * o.size; break;
                case Kind::Ucs4: row += 4 * o.size; break;
                case Kind::Lookup: {
                    std::size_t most = 0;
                    for (const std::string& t : *o.texts) most = std::max(most, t.size());
                    row += most;
                    break;
                }
            }
        }
        // the rows are written into the bytes object itself, from a few MiB (a bound is no
        // estimate: one long name bounds every row) doubled as it fills
        const std::size_t start = std::size_t{1} << 22;
        const auto rows = static_cast<std::size_t>(n);
        std::size_t room = row >= start ? row : rows < start / row ? rows * row : start;
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room)));
        if (!bytes) return nullptr;
        text::Cursor out{PyBytes_AS_STRING(bytes.get())};
        auto used = [&] { return static_cast<std::size_t>(out.at - PyBytes_AS_STRING(bytes.get())); };
        auto resize = [&](std::size_t size) {
            const std::size_t at = used();
            PyObject* b = bytes.release();
            if (_PyBytes_Resize(&b, static_cast<Py_ssize_t>(size)) < 0) return false;  // b freed
            bytes = Ref::steal(b);
            out.at = PyBytes_AS_STRING(b) + at;
            room = size;
            return true;
        };
        // the rows are made without the GIL (the command makes them on a thread of its own, beside
        // the scan), taking it back only to grow the bytes or for CPython's rare doubles
        std::optional<Released> released;
        if (n >= kReleasedRows) released.emplace();
        Released* const r = released ? &*released : nullptr;
        auto grow = [&] {
            const std::size_t size = 2 * room > used() + row ? 2 * room : used() + row;
            return r ? r->held([&] { return resize(size); }) : resize(size);
        };
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (room - used() < row && !grow()) return nullptr;
            for (Step& s : steps) {
                const char* at = s.data + i * s.step;
                char* const begin = out.at;
                switch (s.kind) {
                    case Kind::Constant: break;
                    case Kind::Int: {
                        std::int64_t v;
                        std::memcpy(&v, at, 8);
                        text::put_int(out, v);
                        break;
                    }
                    case Kind::Double: {
                        double v;
                        std::memcpy(&v, at, 8);
                        if (!put_double(out, v, s.arg, r)) return nullptr;
                        break;
                    }
                    case Kind::Bytes: text::put_bytes(out, at, s.size, static_cast<text::Escape>(s.arg)); break;
                    case Kind::Ucs4: text::put_ucs4(out, at, s.size, static_cast<text::Escape>(s.arg)); break;
                    case Kind::Lookup: {
                        // checked before the rows, and bounded again: without the GIL another
                        // thread may write to the index meanwhile, which must not read out of bounds
                        const auto k = static_cast<std::uint64_t>(index_at(at, s.size));
                        const std::string& t = (*s.texts)[std::min<std::uint64_t>(k, s.texts->size() - 1)];
                        out.append(t.data(), t.size());
                        break;
                    }
                    case Kind::Repeat: {
                        const Step& o = steps[s.same];
                        out.append(o.begin, static_cast<std::size_t>(o.end - o.begin));
                        break;
                    }
                }
                if (s.kept) {
                    s.begin = begin;
                    s.end = out.at;
                }
                const char* tail = constants.data() + s.tail_at;
                if (s.tail_size <= kMove) {
                    std::memcpy(out.at, tail, kMove);
                    out.at += s.tail_size;
                } else {
                    out.append(tail, s.tail_size);
                }
            }
        }
        released.reset();
        if (!resize(used())) return nullptr;
        return bytes.release();
    });
}

}  // namespace morvane
