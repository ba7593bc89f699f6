// The module's function objects and their argument binding.
//
// Each callable is one row of a declarative table (name, qualified name,
// parameters, docstring, body). One function type serves every row: it binds
// as a method like a Python function, exposes the attributes that signature
// introspection reads, pickles by qualified name and names the callable in
// tracebacks. One binder turns a call into bound, converted arguments before
// the body runs, so no body parses arguments.
#pragma once

#include <Python.h>

#include <cstdint>

#include "frame/buffer.hpp"
#include "frame/ref.hpp"

namespace morvane {

enum class Kind {
    Object,      // passed on unchanged
    Int64Array,  // numpy.ndarray taken as a one-dimensional int64 buffer, read only
    Double,      // converted with Python's float conversion; default 1.0
    ExactStr,    // exactly str, or None
};

struct Param {
    const char* name;
    Kind kind = Kind::Object;
};

struct Call;
using Body = PyObject* (*)(Call&);

constexpr int kMaxParams = 3;

struct Callable {
    const char* name;
    const char* qualname;
    Param params[kMaxParams];
    const char* doc;  // nullptr: no docstring
    Body body;
    int line;  // where the row is declared, for tracebacks
};

// A call with its arguments bound and converted, as a body receives it.
struct Call {
    Call(const Callable& d, PyObject* g) : def(d), globals(g) {}

    const Callable& def;
    PyObject* globals;                  // the module's namespace
    PyObject* arg[kMaxParams] = {};     // borrowed, in parameter order
    double amount = 1.0;                // the Double parameter, when the callable has one
    BufferView sequence;                // the Int64Array parameter, when the callable has one

    PyObject* self() const { return arg[0]; }
    // A module global, looked up at each use as Python code would; NameError if absent.
    Ref global(const char* name) const;
};

// Creates the function type; once, at start-up.
bool ready_function_type();
// A new function object for `def`, whose globals are the module namespace `globals`.
PyObject* make_function(const Callable& def, PyObject* globals, PyObject* module_name);

}  // namespace morvane
