// morvane._scan.format_rows: the text of output rows, built from columns.
#pragma once

#include <Python.h>

namespace morvane {

PyObject* format_rows(PyObject* module, PyObject* args);

extern const char kFormatRowsDoc[];

}  // namespace morvane
