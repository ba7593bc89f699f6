#include "frame/ref.hpp"

namespace morvane::names {

const char* keys[kSlots];
PyObject* values[kSlots];

PyObject* probe(const char* literal) {
    // A literal seen in two places is simply kept twice.
    std::size_t i = slot(literal);
    for (std::size_t n = 0; n < kSlots; ++n, i = (i + 1) % kSlots) {
        if (keys[i] == literal) return values[i];
        if (keys[i] == nullptr) {
            PyObject* s = PyUnicode_InternFromString(literal);
            if (!s) return nullptr;
            keys[i] = literal;
            values[i] = s;  // kept for the life of the process, like the literal
            return s;
        }
    }
    PyErr_SetString(PyExc_SystemError, "morvane: attribute name table is full");
    return nullptr;
}

}  // namespace morvane::names
