#include "frame/traceback.hpp"

#include <frameobject.h>

#include "frame/ref.hpp"

namespace morvane {

void add_traceback(const char* funcname, const char* file, int line, PyObject* globals) {
    // Building the code and frame objects must not see the pending exception.
    PyObject* exc = PyErr_GetRaisedException();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, funcname, line)));
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
