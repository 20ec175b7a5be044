#include "errors.h"

#include <string>

namespace tessalumen::py {

namespace {

std::unexpected<Raised> raise(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return raised();
}

}  // namespace

std::unexpected<Raised> raise_type_conversion(PyObject* object, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(object)->tp_name,
                 expected);
    return raised();
}

std::unexpected<Raised> raise_value_error(std::string_view message) { return raise(PyExc_ValueError, message); }
std::unexpected<Raised> raise_runtime_error(std::string_view message) {
    return raise(PyExc_RuntimeError, message);
}
std::unexpected<Raised> raise_overflow_error(std::string_view message) {
    return raise(PyExc_OverflowError, message);
}

std::unexpected<Raised> raise_os_error(std::string_view message) { return raise(PyExc_OSError, message); }

std::unexpected<Raised> raise_no_memory() {
    PyErr_NoMemory();
    return raised();
}

std::unexpected<Raised> raise_core_error(const CoreError& error) {
    switch (error.kind) {
        case CoreErrorKind::Invalid: return raise_value_error(error.message);
        case CoreErrorKind::Runtime: return raise_runtime_error(error.message);
    }
    return raise_runtime_error(error.message);
}

void prefix_argument_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(owned_value.get()));
    if (!text) return;  // the failure of str() is the pending exception now
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

}  // namespace tessalumen::py
