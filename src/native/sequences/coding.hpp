// Nucleotide text as the kernels see it: the code units of a str, whatever its
// storage width, so that every code point is one element.
#pragma once

#include <Python.h>

#include <cstdint>

#include "sequences/frame/names.hpp"

namespace morvane {

// Calls f(units, n) with the str's code units (uint8_t, uint16_t or uint32_t).
template <class F>
auto with_text(PyObject* str, F f) {
    const std::int64_t n = PyUnicode_GET_LENGTH(str);
    void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const std::uint8_t*>(data), n);
        case PyUnicode_2BYTE_KIND: return f(static_cast<const std::uint16_t*>(data), n);
        default: return f(static_cast<const std::uint32_t*>(data), n);
    }
}

// numpy.zeros(length, dtype=int), with numpy taken from the module global `np`.
struct Call;
Ref zeros_int(const Call& call, const Ref& length);

}  // namespace morvane
