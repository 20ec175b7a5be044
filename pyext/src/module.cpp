// The _tessalumen extension module.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_tessalumen",
    "Reproducible image-augmentation pipelines and JPEG/PNG codecs.",
    -1,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tessalumen() { return PyModule_Create(&MODULE_DEF); }
