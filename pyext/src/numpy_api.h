#pragma once
// The NumPy C API, shared by every file of the module. module.cpp defines
// TESSALUMEN_IMPORT_NUMPY before including this header and imports the API
// table once at initialisation; every other file only refers to it.

#include "py_ref.h"

#define PY_ARRAY_UNIQUE_SYMBOL TESSALUMEN_NUMPY_API
#ifndef TESSALUMEN_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
