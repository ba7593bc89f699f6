// morvane._scan's FASTA reading: FastaParser and decode_lines, registered by module.cpp.
#pragma once

#include <Python.h>

namespace morvane {

// Adds the type FastaParser to the module; -1 with the Python error set.
int add_fasta_parser(PyObject* module);

PyObject* decode_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char* const decode_lines_doc;

}  // namespace morvane
