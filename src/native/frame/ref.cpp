#include "frame/ref.hpp"

#include <cstdint>

namespace morvane {

PyObject* interned(const char* literal) {
    // Keyed by the literal's address; a literal seen in two places is simply kept twice.
    constexpr std::size_t kSlots = 256;
    static const char* keys[kSlots];
    static PyObject* values[kSlots];
    std::size_t i = (reinterpret_cast<std::uintptr_t>(literal) >> 3) % kSlots;
    for (std::size_t probe = 0; probe < kSlots; ++probe, i = (i + 1) % kSlots) {
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

}  // namespace morvane
