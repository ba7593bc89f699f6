// Traceback entries for native callables, so a Python traceback names the
// callable that failed (and start-up failures name the module's init).
#pragma once

#include <Python.h>

namespace morvane {

// Adds an entry named `funcname` at file:line to the exception being raised.
void add_traceback(const char* funcname, const char* file, int line, PyObject* globals);

}  // namespace morvane
