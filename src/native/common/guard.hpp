// The door from Python into C++: whatever the code behind it throws becomes a
// Python exception there, since an exception crossing into CPython aborts.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace morvane {

// Runs body(); a C++ exception leaves it as the Python exception of its kind and
// the value-initialised result (nullptr, false) is returned.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a table larger than any allocation can be
        PyErr_NoMemory();
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return {};
}

}  // namespace morvane
