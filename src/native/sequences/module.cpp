// Start-up of morvane.utils.sequences: the module object, its namespace, the
// four classes and the table of the sixteen callables.
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL morvane_ARRAY_API
#include <numpy/arrayobject.h>

#include "common/guard.hpp"
#include "common/module.hpp"
#include "sequences/frame/function.hpp"
#include "sequences/frame/runtime.hpp"
#include "sequences/frame/traceback.hpp"
#include "sequences/units.hpp"

namespace morvane {

const char kTableFile[] = __FILE__;  // relative to the source tree (-fmacro-prefix-map)

Runtime& runtime() {
    static Runtime rt;
    return rt;
}

namespace {

constexpr Param kSelf{"self"};
constexpr Param kSequence{"sequence", Kind::Int64Array};
constexpr Param kAmount{"amount", Kind::Double, true, 1.0};

// The callables: name, qualified name, parameters, docstring, body, and the
// binding of static methods.
// clang-format off
const Callable kCreate{"create", "SequenceMatrix.create", {{"length"}, {"stype"}}, nullptr, matrix_create,
                       __LINE__, Binding::Static};
const Callable kAddCounts{"add_counts", "SequenceMatrix.add_counts", {kSelf, {"obj"}}, nullptr, matrix_add_counts,
                          __LINE__};

const Callable kPwmInit{"__init__", "NucleotideMatrix.__init__", {kSelf, {"length"}}, nullptr, pwm_init, __LINE__};
const Callable kPwmAddSequence{"add_sequence", "NucleotideMatrix.add_sequence", {kSelf, kSequence, kAmount},
                               " Adds sequence to SequenceMatrix the number of times specified in amount ",
                               pwm_add_sequence, __LINE__};
const Callable kPwmAddBackground{"add_background", "NucleotideMatrix.add_background", {kSelf, kSequence, kAmount},
                                 " Adds sequence to count of background nucleotides ", pwm_add_background, __LINE__};
const Callable kPwmPrepare{"prepare_mat", "NucleotideMatrix.prepare_mat", {kSelf},
                           " Prepare matrices for scoring with score_sequence ", pwm_prepare_mat, __LINE__};
const Callable kPwmScore{"score_sequence", "NucleotideMatrix.score_sequence", {kSelf, kSequence},
                         " Score nucleotide sequence against motif ", pwm_score_sequence, __LINE__};

const Callable kDwmInit{"__init__", "DiNucleotideMatrix.__init__", {kSelf, {"length"}}, nullptr, dwm_init, __LINE__};
const Callable kDwmAddSequence{"add_sequence", "DiNucleotideMatrix.add_sequence", {kSelf, kSequence, kAmount},
                               nullptr, dwm_add_sequence, __LINE__};
const Callable kDwmAddBackground{"add_background", "DiNucleotideMatrix.add_background", {kSelf, kSequence, kAmount},
                                 " Adds sequence to count of background nucleotides ", dwm_add_background, __LINE__};
const Callable kDwmPrepare{"prepare_mat", "DiNucleotideMatrix.prepare_mat", {kSelf}, nullptr, dwm_prepare_mat,
                           __LINE__};
const Callable kDwmScore{"score_sequence", "DiNucleotideMatrix.score_sequence", {kSelf, kSequence}, nullptr,
                         dwm_score_sequence, __LINE__};

const Callable kNucToNum{"nuc_to_num", "nuc_to_num", {{"sequence", Kind::ExactStr}},
                         " Convert DNA sequence string to internal number format ", nuc_to_num, __LINE__};

const Callable kGenomicInit{"__init__", "GenomicSequence.__init__", {kSelf, {"region"}}, nullptr, genomic_init,
                            __LINE__};
const Callable kFromFasta{"from_fasta", "GenomicSequence.from_fasta", {kSelf, {"fasta_obj"}},
                          " Fill sequence from fasta object ", genomic_from_fasta, __LINE__};

const Callable kGcContent{"get_gc_content", "get_gc_content", {{"regions"}, {"fasta"}},
                          " Get GC content from regions in fasta ", get_gc_content, __LINE__};

struct ClassDef {
    const char* name;
    const char* doc;            // nullptr: the class has no docstring
    const char* base;           // a class defined before, or nullptr for object
    const Callable* methods[6];  // in definition order
};

const ClassDef kSequenceMatrix{"SequenceMatrix", " Class-builder ", nullptr, {&kCreate, &kAddCounts}};
const ClassDef kNucleotideMatrix{
    "NucleotideMatrix", nullptr, "SequenceMatrix",
    {&kPwmInit, &kPwmAddSequence, &kPwmAddBackground, &kPwmPrepare, &kPwmScore}};
const ClassDef kDiNucleotideMatrix{
    "DiNucleotideMatrix", " Dinucleotide matrix ", "SequenceMatrix",
    {&kDwmInit, &kDwmAddSequence, &kDwmAddBackground, &kDwmPrepare, &kDwmScore}};
const ClassDef kGenomicSequence{"GenomicSequence", " Used in drellow for fast scoring of PWM/DWM ", nullptr,
                                {&kGenomicInit, &kFromFasta}};
// clang-format on

PyObject* the_module = nullptr;  // the one module object of this process
std::int64_t the_interpreter = -1;

bool define_function(PyObject* dict, PyObject* modname, const Callable& c) {
    Ref f = Ref::steal(make_function(c, dict, modname));
    return f && PyDict_SetItemString(dict, c.name, f.get()) == 0;
}

bool define_class(PyObject* dict, PyObject* modname, const ClassDef& c) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__module__", modname) < 0) return false;
    Ref qualname = Ref::steal(PyUnicode_FromString(c.name));
    if (!qualname || PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) return false;
    if (c.doc) {
        Ref doc = Ref::steal(PyUnicode_FromString(c.doc));
        if (!doc || PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) return false;
    }
    for (const Callable* m : c.methods) {
        if (!m) break;
        Ref f = Ref::steal(make_function(*m, dict, modname));
        if (f && m->binding == Binding::Static) f = Ref::steal(PyObject_CallOneArg(runtime().staticmethod, f.get()));
        if (!f || PyDict_SetItemString(ns.get(), m->name, f.get()) < 0) return false;
    }
    Ref bases;
    if (c.base) {
        PyObject* base = PyDict_GetItemString(dict, c.base);
        if (!base) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", c.base);
            return false;
        }
        bases = Ref::steal(PyTuple_Pack(1, base));
    } else {
        bases = Ref::steal(PyTuple_New(0));
    }
    if (!bases) return false;
    Ref cls = Ref::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", c.name, bases.get(), ns.get()));
    return cls && PyDict_SetItemString(dict, c.name, cls.get()) == 0;
}

bool import_as(PyObject* dict, const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m && PyDict_SetItemString(dict, name, m.get()) == 0;
}

bool capture_builtin(PyObject* builtins, const char* name, PyObject** slot) {
    PyObject* v = PyDict_GetItemString(builtins, name);
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return false;
    }
    if (slot) Py_XSETREF(*slot, Py_NewRef(v));
    return true;
}

bool start_up(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module || PyDict_SetItemString(dict, "__builtins__", builtins_module.get()) < 0) return false;

    if (PyArray_ImportNumPyAPI() < 0) return false;
    if (PyArray_GetNDArrayCFeatureVersion() < NPY_1_25_API_VERSION) {
        PyErr_Format(PyExc_ImportError, "morvane needs NumPy's C API version %d (NumPy 1.25) or later, found %d",
                     NPY_1_25_API_VERSION, static_cast<int>(PyArray_GetNDArrayCFeatureVersion()));
        return false;
    }

    PyObject* builtins = PyModule_GetDict(builtins_module.get());
    Runtime& rt = runtime();
    // sum is looked up with the others, though no body calls it.
    if (!capture_builtin(builtins, "staticmethod", &rt.staticmethod) ||
        !capture_builtin(builtins, "range", &rt.range) || !capture_builtin(builtins, "sum", nullptr))
        return false;

    if (!ready_function_type()) return false;
    PyObject* modname = PyDict_GetItemString(dict, "__name__");
    if (!modname) {
        PyErr_SetString(PyExc_ImportError, "init morvane.utils.sequences");
        return false;
    }

    // The namespace, in the order the module's users see it built.
    if (!import_as(dict, "numpy", "np") || !import_as(dict, "sys", "sys") || !import_as(dict, "pysam", "pysam"))
        return false;
    Ref complement = Ref::steal(Py_BuildValue("{i:i,i:i,i:i,i:i}", 0, 1, 1, 0, 2, 3, 3, 2));
    if (!complement || PyDict_SetItemString(dict, "complement", complement.get()) < 0) return false;
    if (!define_class(dict, modname, kSequenceMatrix) || !define_class(dict, modname, kNucleotideMatrix) ||
        !define_class(dict, modname, kDiNucleotideMatrix) || !define_function(dict, modname, kNucToNum) ||
        !define_class(dict, modname, kGenomicSequence) || !define_function(dict, modname, kGcContent))
        return false;
    Ref test = Ref::steal(PyDict_New());
    return test && PyDict_SetItemString(dict, "__test__", test.get()) == 0;
}

bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    Ref v = getattr(spec, from);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (v.get() == Py_None && !allow_none) return true;
    return PyDict_SetItemString(dict, to, v.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (the_interpreter == -1) {
        the_interpreter = id;
    } else if (id != the_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);
    Ref name = getattr(spec, "name");
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

int module_exec(PyObject* module) noexcept {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sequences' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    if (guarded([module] { return start_up(module); })) return 0;
    if (PyErr_Occurred())
        add_traceback("init morvane.utils.sequences", kTableFile, __LINE__, PyModule_GetDict(module));
    else
        PyErr_SetString(PyExc_ImportError, "init morvane.utils.sequences");
    Py_CLEAR(the_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = module_definition(
    "sequences", "Sequence utilities for counting and scoring with PWMs and DWMs.", nullptr, module_slots);

}  // namespace

}  // namespace morvane

PyMODINIT_FUNC PyInit_sequences() { return PyModuleDef_Init(&morvane::module_def); }
