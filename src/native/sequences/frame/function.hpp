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

#include "sequences/frame/buffer.hpp"
#include "sequences/frame/names.hpp"

namespace morvane {

// How an argument is converted before the body runs; the kind also names the
// slot of Arg that holds the result.
enum class Kind {
    Object,      // passed on unchanged: Arg::object
    Int64Array,  // numpy.ndarray taken as a one-dimensional int64 buffer, read only: Arg::array
    Double,      // Python's float conversion: Arg::real
    ExactStr,    // exactly str, or None: Arg::object
};

struct Param {
    const char* name;
    Kind kind = Kind::Object;
    bool optional = false;  // may be omitted; only Double parameters have a default
    double fallback = 0.0;  // that default, also shown in __defaults__
};

// A static method is wrapped in staticmethod in its class and receives no instance.
enum class Binding { Function, Static };

struct Call;
using Body = PyObject* (*)(Call&);

constexpr int kMaxParams = 3;

// One row of the table of callables: adding a callable is a row and a body.
struct Callable {
    const char* name;
    const char* qualname;
    Param params[kMaxParams];
    const char* doc;  // nullptr: no docstring
    Body body;
    int line;  // where the row is declared, for tracebacks
    Binding binding = Binding::Function;
};

// One bound argument, in the slot its parameter's kind declares.
struct Arg {
    PyObject* object = nullptr;  // as passed (borrowed); nullptr when omitted
    double real = 0.0;           // Double: the converted value, or the default
    BufferView array;            // Int64Array: the validated buffer
};

// A call with its arguments bound and converted, as a body receives it.
struct Call {
    Call(const Callable& d, PyObject* g) : def(d), globals(g) {}

    const Callable& def;
    PyObject* globals;  // the module's namespace
    Arg args[kMaxParams];

    PyObject* self() const { return args[0].object; }
    PyObject* object(int i) const { return args[i].object; }
    double real(int i) const { return args[i].real; }
    const BufferView& array(int i) const { return args[i].array; }
    // A module global, looked up at each use as Python code would; NameError if absent.
    Ref global(const char* name) const;
};

// The source file that declares the table of callables (module.cpp): with each
// row's line, where tracebacks place a callable.
extern const char kTableFile[];

// Creates the function type; once, at start-up.
bool ready_function_type();
// A new function object for `def`, whose globals are the module namespace `globals`.
PyObject* make_function(const Callable& def, PyObject* globals, PyObject* module_name);

}  // namespace morvane
