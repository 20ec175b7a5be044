#include "path_argument.h"

namespace tessalumen::py {

PyResult<PathArgument> to_path(PyObject* value) {
    PyRef path = PyRef::steal(PyOS_FSPath(value));
    if (!path) return raised();
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError, "expected a str path, not '%.200s'", Py_TYPE(path.get())->tp_name);
        return raised();
    }
    PyRef native = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!native) return raised();
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(native.get(), &bytes, &size) != 0) return raised();
    // A NUL byte is kept: the file operations refuse such a path when they
    // reach it, instead of letting the operating system cut it short.
    PathArgument result{std::string(bytes, static_cast<std::size_t>(size)), {}};

    PyRef lossy = PyRef::steal(PyUnicode_DecodeUTF8(bytes, size, "replace"));
    if (!lossy) return raised();
    Py_ssize_t display_size = 0;
    const char* display = PyUnicode_AsUTF8AndSize(lossy.get(), &display_size);
    if (display == nullptr) return raised();
    result.display.assign(display, static_cast<std::size_t>(display_size));
    return result;
}

}  // namespace tessalumen::py
