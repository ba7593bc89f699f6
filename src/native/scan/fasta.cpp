// FastaParser and decode_lines: the Python face of kernels/fasta. Texts and code
// buffers come through the buffer protocol; long pieces are read without the GIL,
// so a parser refuses a second caller while one is inside it.
#include "scan/fasta.hpp"

#include <memory>
#include <vector>

#include "common/buffer.hpp"
#include "common/gil.hpp"
#include "common/guard.hpp"
#include "common/ref.hpp"
#include "kernels/fasta.hpp"

namespace morvane {
namespace {

namespace kf = kernels::fasta;

// Pieces this long are read without the GIL.
constexpr Py_ssize_t kLongPiece = 1 << 16;

struct ParserObject {
    PyObject_HEAD
    kf::Reader* reader;
    bool busy;
};

// A writable byte buffer of at least n bytes for codes, held in out.
bool code_buffer(PyObject* obj, Py_ssize_t n, HeldBuffer& out) {
    if (!out.acquire(obj, PyBUF_WRITABLE)) return false;
    if (out.view().len < n) {
        PyErr_Format(PyExc_ValueError, "out holds %zd bytes; the text needs %zd", out.view().len, n);
        return false;
    }
    return true;
}

// The record's name as bytes (a new reference; Py_BuildValue's N takes it, and fails on NULL).
PyObject* name_of(const kf::Record& r) {
    return PyBytes_FromStringAndSize(r.name.data(), static_cast<Py_ssize_t>(r.name.size()));
}

ParserObject* claim(PyObject* self) {
    auto* po = reinterpret_cast<ParserObject*>(self);
    if (po->busy) {
        PyErr_SetString(PyExc_RuntimeError, "FastaParser is in use by another thread");
        return nullptr;
    }
    return po;
}

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":FastaParser", const_cast<char**>(kwlist))) return nullptr;
        auto reader = std::make_unique<kf::Reader>();
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* po = reinterpret_cast<ParserObject*>(self);
        po->reader = reader.release();
        po->busy = false;
        return self;
    });
}

void parser_dealloc(PyObject* self) {
    delete reinterpret_cast<ParserObject*>(self)->reader;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* parser_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2) return PyErr_Format(PyExc_TypeError, "feed() takes 2 arguments (%zd given)", nargs);
        ParserObject* po = claim(self);
        if (!po) return nullptr;
        HeldBuffer text, out;
        if (!text.acquire(args[0], PyBUF_SIMPLE)) return nullptr;
        const Py_ssize_t n = text.view().len;
        if (!code_buffer(args[1], n, out)) return nullptr;
        std::vector<std::int64_t> starts;
        const std::size_t first = po->reader->records().size();
        std::int64_t count = 0;
        po->busy = true;
        try {
            without_gil_if(n >= kLongPiece, [&] {
                count = po->reader->feed(static_cast<const std::uint8_t*>(text.view().buf), n,
                                         static_cast<std::uint8_t*>(out.view().buf), starts);
            });
        } catch (...) {
            po->busy = false;
            throw;
        }
        po->busy = false;
        if (count < 0)
            return PyErr_Format(PyExc_ValueError, "line %lld: a sequence line before the first '>' header",
                                static_cast<long long>(po->reader->line()));
        const auto& records = po->reader->records();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(starts.size())));
        if (!list) return nullptr;
        for (std::size_t j = 0; j < starts.size(); ++j) {
            const kf::Record& r = records[first + j];
            PyObject* item = Py_BuildValue("(LNL)", static_cast<long long>(starts[j]), name_of(r),
                                           static_cast<long long>(r.header_line));
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), item);
        }
        return Py_BuildValue("(LO)", static_cast<long long>(count), list.get());
    });
}

PyObject* parser_finish(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ParserObject* po = claim(self);
        if (!po) return nullptr;
        po->reader->finish();
        const auto& records = po->reader->records();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
        if (!list) return nullptr;
        for (std::size_t j = 0; j < records.size(); ++j) {
            const kf::Record& r = records[j];
            PyObject* item = Py_BuildValue("(NLLLLL)", name_of(r), static_cast<long long>(r.header_line),
                                           static_cast<long long>(r.offset), static_cast<long long>(r.length),
                                           static_cast<long long>(r.line_bases), static_cast<long long>(r.line_width));
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), item);
        }
        return list.release();
    });
}

PyMethodDef parser_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parser_feed)), METH_FASTCALL,
     "feed($self, text, out, /)\n--\n\n"
     "(count, starts): codes the bases of the next piece of FASTA text (bytes-like)\n"
     "into out (a writable byte buffer at least as long as text) and returns how\n"
     "many; starts holds (index in out of its first base, name, header line) for\n"
     "each record whose header line ends in this piece. ValueError when a base\n"
     "comes before the first header."},
    {"finish", parser_finish, METH_NOARGS,
     "finish($self, /)\n--\n\n"
     "Ends the text; every record read, as (name, header line, offset, length,\n"
     "line_bases, line_width): the fields of a samtools .fai line, line_bases 0 when\n"
     "the record is empty or its lines do not all have one length (blanks only at\n"
     "their ends, the last line maybe shorter)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_methods, parser_methods},
    {Py_tp_doc, const_cast<char*>("FastaParser()\n--\n\n"
                                  "Reads FASTA text handed in pieces, in order: every byte of a sequence line\n"
                                  "but ASCII whitespace is one base, coded A 0, T 1, C 2, G 3, else 4.")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "morvane._scan.FastaParser", sizeof(ParserObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, parser_slots,
};

bool as_int64(PyObject* obj, std::int64_t* out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    *out = PyLong_AsLongLong(index.get());
    return !(*out == -1 && PyErr_Occurred());
}

}  // namespace

int add_fasta_parser(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &parser_spec, nullptr);
    if (!type) return -1;
    return PyModule_AddObject(module, "FastaParser", type) < 0 ? (Py_DECREF(type), -1) : 0;
}

const char* const decode_lines_doc =
    "decode_lines($module, text, column, line_bases, line_width, out, /)\n--\n\n"
    "Codes len(out) bases of a record whose lines hold line_bases bases in\n"
    "line_width bytes into out (a writable byte buffer), from text, which starts at\n"
    "the base in column `column` of its line. False when the text does not have\n"
    "that layout (a blank or line end among the bases, a line end other than blanks\n"
    "closed by a newline, a line opening with '>', too little text).";

PyObject* decode_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 5) return PyErr_Format(PyExc_TypeError, "decode_lines() takes 5 arguments (%zd given)", nargs);
        std::int64_t column, line_bases, line_width;
        if (!as_int64(args[1], &column) || !as_int64(args[2], &line_bases) || !as_int64(args[3], &line_width))
            return nullptr;
        HeldBuffer text, out;
        if (!text.acquire(args[0], PyBUF_SIMPLE) || !out.acquire(args[4], PyBUF_WRITABLE)) return nullptr;
        bool ok = false;
        const Py_ssize_t n = out.view().len;
        without_gil_if(n >= kLongPiece, [&] {
            ok = kf::decode_lines(static_cast<const std::uint8_t*>(text.view().buf), text.view().len, column,
                                  line_bases, line_width, static_cast<std::uint8_t*>(out.view().buf), n);
        });
        return PyBool_FromLong(ok);
    });
}

}  // namespace morvane
