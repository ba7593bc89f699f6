// Owned references: one Ref owns one strong reference and drops it when it goes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

namespace morvane {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return steal(p);
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

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
