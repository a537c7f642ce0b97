// pairfit._core's functions for pairfit-lines (lines_module.cpp), added to the module.
#pragma once

#include <pybind11/pybind11.h>

void add_lines_functions(pybind11::module_& module);
