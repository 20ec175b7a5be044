// The _tessalumen extension module: registration of the class and the
// module-level functions.

#define TESSALUMEN_IMPORT_NUMPY
#include "numpy_api.h"

#include "core/src/model.h"
#include "errors.h"
#include "image_functions.h"
#include "pipeline.h"
#include "try.h"

namespace tessalumen::py {

namespace {

PyObject* registered_transform_names(PyObject*, PyObject*) {
    PyRef names = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(REGISTERED_TRANSFORM_NAMES.size())));
    if (!names) return nullptr;
    for (std::size_t i = 0; i < REGISTERED_TRANSFORM_NAMES.size(); ++i) {
        const std::string_view name = REGISTERED_TRANSFORM_NAMES[i];
        PyRef item = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!item) return nullptr;
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return names.release();
}

// Keyword calls of vectorcall functions go through the interpreter's own
// argument parser, so errors read as for any built-in function.
PyObject* boundary_with_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyRef positional = PyRef::steal(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, PyRef::borrow(args[i]).release());
    }
    PyRef keywords;
    if (kwnames != nullptr) {
        keywords = PyRef::steal(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    static const char* names[] = {"value", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(positional.get(), keywords.get(), "O:boundary", const_cast<char**>(names),
                                     &value)) {
        return nullptr;
    }
    return PyRef::borrow(value).release();
}

// One round trip across the native boundary: the argument itself, untouched.
PyObject* boundary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 1 && kwnames == nullptr) return PyRef::borrow(args[0]).release();
    return boundary_with_keywords(args, nargs, kwnames);
}

// Registration order after the Pipeline class.
PyMethodDef FUNCTIONS[] = {
    {"registered_transform_names", registered_transform_names, METH_NOARGS, "registered_transform_names()\n--\n\n"},
    {"boundary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary)), METH_FASTCALL | METH_KEYWORDS,
     "boundary(value)\n--\n\n"},
    READ_IMAGE_METHOD,
    DECODE_IMAGE_METHOD,
    ENCODE_IMAGE_METHOD,
    WRITE_IMAGE_METHOD,
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_tessalumen",
    "",
    -1,
    nullptr,  // functions are added after the class, in registration order
};

PyResult<PyRef> create_module() {
    if (_import_array() < 0) return raised();
    PyRef module = PyRef::steal(PyModule_Create(&MODULE_DEF));
    PY_CHECK(module);
    PY_TRY(PyRef pipeline, make_pipeline_type());
    PY_CHECK(PyModule_AddObjectRef(module.get(), "Pipeline", pipeline.get()) == 0);
    PY_CHECK(PyModule_AddFunctions(module.get(), FUNCTIONS) == 0);
    return module;
}

}  // namespace

}  // namespace tessalumen::py

PyMODINIT_FUNC PyInit__tessalumen() {
    auto module = tessalumen::py::create_module();
    return module ? module->release() : nullptr;
}
