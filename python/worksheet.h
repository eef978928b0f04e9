// kexio.Worksheet, the worksheet language in Python (worksheet.cpp), and what
// it shares with the module's functions (kexio_module.cpp).
#pragma once

#include <pybind11/pybind11.h>

#include "kexio/runtime/cvd.h"

// A host value as the module's functions give it: numpy arrays, numbers and
// strings.
pybind11::object kexio_python_value(const Cvd::Ref& v);

// Adds Worksheet and its Statement and Result to the module.
void add_worksheet(pybind11::module_& m);
