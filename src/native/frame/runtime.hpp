// What the module keeps from its start-up: NumPy's array type and the
// built-ins it captured, so later changes to builtins do not reach it.
#pragma once

#include <Python.h>

namespace morvane {

struct Runtime {
    PyTypeObject* ndarray = nullptr;
    PyObject* staticmethod = nullptr;
    PyObject* range = nullptr;
    PyObject* sum = nullptr;
};

Runtime& runtime();

}  // namespace morvane
