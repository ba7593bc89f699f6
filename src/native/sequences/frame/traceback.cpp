#include "sequences/frame/traceback.hpp"

#include <frameobject.h>

#include "sequences/frame/names.hpp"

namespace morvane {

namespace {

// One code object per entry, made at its first error and kept for the process (the
// module lives in one interpreter only): a new code object interns its names, and
// one per error would churn the interpreter's table of interned strings, whose
// resizes then show as memory growth that no call of ours holds.
PyObject* code_for(const char* funcname, const char* file, int line) {
    static PyObject* made = PyDict_New();
    if (!made) return nullptr;
    Ref key = Ref::steal(PyUnicode_FromFormat("%s:%s:%d", file, funcname, line));
    if (!key) return nullptr;
    if (PyObject* code = PyDict_GetItemWithError(made, key.get())) return Py_NewRef(code);
    if (PyErr_Occurred()) return nullptr;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, funcname, line)));
    if (!code || PyDict_SetItem(made, key.get(), code.get()) < 0) return nullptr;
    return code.release();
}

}  // namespace

void add_traceback(const char* funcname, const char* file, int line, PyObject* globals) {
    // Building the code and frame objects must not see the pending exception.
    PyObject* exc = PyErr_GetRaisedException();
    Ref code = Ref::steal(code_for(funcname, file, line));
    Ref frame;
    if (code) {
        Ref g = Ref::borrow(globals);
        if (!g) g = Ref::steal(PyDict_New());
        if (g)
            frame = Ref::steal(reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), g.get(), nullptr)));
    }
    if (PyErr_Occurred()) PyErr_Clear();  // an entry we cannot build is left out, the error stays
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace morvane
