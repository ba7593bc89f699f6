// The definition of an extension module of the package.
#pragma once

#include <Python.h>

namespace morvane {

// A module of the given functions, started by its slots, with no state of its
// own (each keeps what it needs in statics: it lives in one interpreter).
constexpr PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* methods,
                                        PyModuleDef_Slot* slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, methods, slots, nullptr, nullptr, nullptr};
}

}  // namespace morvane
