#include "sequences/frame/function.hpp"

#include <structmember.h>

#include "common/guard.hpp"
#include "sequences/frame/convert.hpp"
#include "sequences/frame/runtime.hpp"
#include "sequences/frame/traceback.hpp"

namespace morvane {

namespace {

struct FunctionObject {
    PyObject_HEAD
    const Callable* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* code;
    PyObject* globals;
    PyObject* annotations;
    PyObject* weakrefs;
    PyObject* traceback_name;  // "morvane.utils.sequences." + qualname, made with the object
};

int count_params(const Callable& d) {
    int n = 0;
    while (n < kMaxParams && d.params[n].name) ++n;
    return n;
}

void raise_arg_count(const Callable& d, const char* how, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", d.name, how, expected,
                 expected == 1 ? "" : "s", given);
}

// Fills call.args from positional and keyword arguments, converts and type-tests
// them into the slots their kinds declare, and takes the buffers of array parameters.
bool bind(Call& call, PyObject* args, PyObject* kwargs) {
    const Callable& d = call.def;
    const int n = count_params(d);
    int required = 0;
    for (int i = 0; i < n; ++i) required += !d.params[i].optional;
    const bool defaults = required < n;

    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > n) {
        raise_arg_count(d, defaults ? "at most" : "exactly", n, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) call.args[i].object = PyTuple_GET_ITEM(args, i);

    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d.name);
                return false;
            }
            int i = 0;
            while (i < n && PyUnicode_CompareWithASCIIString(key, d.params[i].name) != 0) ++i;
            if (i == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d.name, key);
                return false;
            }
            if (i < given) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", d.name, key);
                return false;
            }
            call.args[i].object = value;
        }
    }
    for (int i = 0; i < n; ++i) {
        if (!call.args[i].object && !d.params[i].optional) {
            raise_arg_count(d, defaults ? "at least" : "exactly", required, i);
            return false;
        }
    }
    for (int i = 0; i < n; ++i) {
        if (d.params[i].kind != Kind::Double) continue;
        Arg& a = call.args[i];
        a.real = d.params[i].fallback;
        if (a.object && !to_c_double(a.object, &a.real)) return false;
    }

    for (int i = 0; i < n; ++i) {
        PyObject* v = call.args[i].object;
        const char* expected = nullptr;
        if (d.params[i].kind == Kind::Int64Array && v != Py_None && !is_ndarray(v)) expected = "numpy.ndarray";
        if (d.params[i].kind == Kind::ExactStr && v != Py_None && !PyUnicode_CheckExact(v)) expected = "str";
        if (expected) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         d.params[i].name, expected, Py_TYPE(v)->tp_name);
            return false;
        }
    }
    for (int i = 0; i < n; ++i) {
        if (d.params[i].kind != Kind::Int64Array) continue;
        // A None array has no elements to read; refuse it here rather than in every body.
        if (call.args[i].object == Py_None) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", d.params[i].name);
            return false;
        }
        if (!call.args[i].array.acquire(call.args[i].object, Elem::Int64, 1, false)) return false;
    }
    return true;
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* result = guarded([&] {
        Call call{*f->def, f->globals};
        return bind(call, args, kwargs) ? f->def->body(call) : nullptr;
    });
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        // Its UTF-8 form was made with it, so reading it cannot fail.
        if (f->traceback_name) add_traceback(PyUnicode_AsUTF8(f->traceback_name), kTableFile, f->def->line, f->globals);
    }
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

// Pickled by reference, like a Python function: the qualified name is looked up
// again in the module when unpickling.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->traceback_name);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->traceback_name);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<FunctionObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* FunctionType = nullptr;

// A code object whose argument names are the parameters, so that signature
// introspection reports them; it is never run.
PyObject* make_code(const Callable& d) {
    const int n = count_params(d);
    Ref varnames = Ref::steal(PyTuple_New(n));
    if (!varnames) return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject* s = PyUnicode_FromString(d.params[i].name);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, s);
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kTableFile, d.name, d.line)));
    if (!empty) return nullptr;
    Ref replace = getattr(empty.get(), "replace");
    Ref kw = Ref::steal(Py_BuildValue("{s:i,s:i,s:O,s:s}", "co_argcount", n, "co_nlocals", n, "co_varnames",
                                      varnames.get(), "co_qualname", d.qualname));
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!replace || !kw || !noargs) return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kw.get());
}

}  // namespace

Ref Call::global(const char* name) const {
    PyObject* v = PyDict_GetItemString(globals, name);
    if (!v) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins) v = PyDict_GetItemString(builtins, name);
    }
    if (!v) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return Ref::borrow(v);
}

bool ready_function_type() {
    if (FunctionType) return true;
    // tp_call, not vectorcall: with vectorcall the interpreter itself refuses a
    // keyword that is not a string, and the binder's own message for it (naming
    // the callable) could never be reached.
    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(function_call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {Py_tp_methods, function_methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {"morvane.utils.sequences.function", sizeof(FunctionObject), 0,
                               // Immutable like Python's own function type: no caller may rebind a slot
                               // such as __call__ for every callable at once.
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                   Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    FunctionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return FunctionType != nullptr;
}

PyObject* make_function(const Callable& def, PyObject* globals, PyObject* module_name) {
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, FunctionType)));
    if (!self) return nullptr;
    auto* f = reinterpret_cast<FunctionObject*>(self.get());
    f->def = &def;
    f->name = f->qualname = f->module = f->doc = f->defaults = f->code = f->globals = f->annotations = nullptr;
    f->weakrefs = f->traceback_name = nullptr;
    f->name = PyUnicode_FromString(def.name);
    f->qualname = PyUnicode_FromString(def.qualname);
    f->module = Py_NewRef(module_name);
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals);
    f->annotations = PyDict_New();
    f->code = make_code(def);
    // Made here, so that a failing call never formats text with its error pending.
    f->traceback_name = PyUnicode_FromFormat("morvane.utils.sequences.%s", def.qualname);
    if (f->traceback_name && !PyUnicode_AsUTF8(f->traceback_name)) Py_CLEAR(f->traceback_name);
    const int n = count_params(def);
    int ndefaults = 0;
    for (int i = 0; i < n; ++i) ndefaults += def.params[i].optional;
    if (ndefaults) {
        Ref defaults = Ref::steal(PyTuple_New(ndefaults));
        for (int i = 0, k = 0; defaults && i < n; ++i) {
            if (!def.params[i].optional) continue;
            PyObject* v = PyFloat_FromDouble(def.params[i].fallback);
            if (!v)
                defaults = Ref();
            else
                PyTuple_SET_ITEM(defaults.get(), k++, v);
        }
        f->defaults = defaults.release();
    } else {
        f->defaults = Py_NewRef(Py_None);
    }
    PyObject_GC_Track(self.get());
    if (!f->name || !f->qualname || !f->doc || !f->annotations || !f->code || !f->defaults || !f->traceback_name)
        return nullptr;
    return self.release();
}

}  // namespace morvane
