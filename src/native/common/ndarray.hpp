// New NumPy arrays, for the modules that build their results through NumPy's C
// API. The including file names its API table first (PY_ARRAY_UNIQUE_SYMBOL).
#pragma once

#ifndef PY_ARRAY_UNIQUE_SYMBOL
#error "define PY_ARRAY_UNIQUE_SYMBOL, the module's own NumPy API table, before common/ndarray.hpp"
#endif

#include <Python.h>

#include <numpy/arrayobject.h>

#include "common/ref.hpp"

namespace morvane {

// A new one-dimensional array of n elements of NumPy type `type`, uninitialised.
inline Ref new_array(npy_intp n, int type) { return Ref::steal(PyArray_SimpleNew(1, &n, type)); }

template <class T>
T* data_of(const Ref& a) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

}  // namespace morvane
