// What the module keeps from its start-up: the built-ins it captured, so later
// changes to builtins do not reach it.
#pragma once

#include <Python.h>

namespace morvane {

struct Runtime {
    PyObject* staticmethod = nullptr;
    PyObject* range = nullptr;
};

Runtime& runtime();

}  // namespace morvane
