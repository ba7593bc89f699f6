#include "frame/ref.hpp"

#include <string_view>
#include <unordered_map>

namespace morvane {

PyObject* interned(const char* name) {
    // The keys view the UTF-8 text of the interned strs themselves, which never go.
    static std::unordered_map<std::string_view, PyObject*> table;
    const auto hit = table.find(name);
    if (hit != table.end()) return hit->second;
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) return nullptr;
    Py_ssize_t n;
    const char* text = PyUnicode_AsUTF8AndSize(s, &n);
    if (!text) {
        Py_DECREF(s);
        return nullptr;
    }
    try {
        table.emplace(std::string_view(text, static_cast<std::size_t>(n)), s);
    } catch (...) {
        Py_DECREF(s);
        return PyErr_NoMemory();
    }
    return s;
}

}  // namespace morvane
