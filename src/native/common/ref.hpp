// Owned references: one Ref owns one strong reference and drops it when it goes.
#pragma once

#include <Python.h>

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

}  // namespace morvane
