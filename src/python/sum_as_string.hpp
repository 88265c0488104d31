// The module-level demonstration function `sum_as_string(a, b)`.
#pragma once

#include <Python.h>

namespace corvalex::python {

extern PyMethodDef sum_as_string_def;

}  // namespace corvalex::python
