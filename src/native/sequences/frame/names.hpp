// Names and calls of the module's Python-level work: attribute and global
// names interned once, attribute access and calls through owned references.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/ref.hpp"

namespace morvane {

// The interned str of an attribute or global name, made once per distinct text
// and kept for the life of the process: names are looked up on every call, so
// they are not rebuilt each time. Keyed by the text, so any string may be
// passed. nullptr with a Python error when the str cannot be made.
PyObject* interned(const char* name);

// Attribute access by name, as the classes' state lives in ordinary instance dicts.
inline Ref getattr(PyObject* o, const char* name) {
    PyObject* key = interned(name);
    return Ref::steal(key ? PyObject_GetAttr(o, key) : nullptr);
}
inline bool setattr(PyObject* o, const char* name, PyObject* v) {
    PyObject* key = interned(name);
    return key && PyObject_SetAttr(o, key, v) == 0;
}

// callable(*args): a failed argument (nullptr) makes the call fail with its error.
template <class... A>
Ref call(PyObject* callable, const A&... args) {
    PyObject* a[] = {args.get()..., nullptr};
    for (std::size_t i = 0; i < sizeof...(A); ++i)
        if (!a[i]) return Ref();
    if (!callable) return Ref();
    return Ref::steal(PyObject_Vectorcall(callable, a, sizeof...(A), nullptr));
}

// callable(*args, name=value) with one keyword argument.
template <class... A>
Ref call_kw(PyObject* callable, const char* name, const Ref& value, const A&... args) {
    PyObject* a[] = {args.get()..., value.get()};
    for (std::size_t i = 0; i <= sizeof...(A); ++i)
        if (!a[i]) return Ref();
    if (!callable) return Ref();
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", name));
    if (!kwnames) return Ref();
    return Ref::steal(PyObject_Vectorcall(callable, a, sizeof...(A), kwnames.get()));
}

}  // namespace morvane
