// Conversions of Python objects to C numbers, with the module's messages.
#pragma once

#include <Python.h>

#include <cstdint>

namespace morvane {

// Python's float conversion (float used directly; __float__ or __index__ otherwise).
bool to_c_double(PyObject* o, double* out);

// A 32-bit signed C int: ints are range-checked, other objects go through __int__.
bool to_c_int(PyObject* o, std::int32_t* out);

}  // namespace morvane
