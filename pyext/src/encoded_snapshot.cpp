#include "encoded_snapshot.h"

#include <cstring>
#include <new>
#include <string>

#include "errors.h"

namespace tessalumen::py {
namespace {

constexpr const char* ENCODED_TYPE_MESSAGE = "encoded data must be bytes, bytearray, or memoryview";

PyResult<Bytes> copy_bytes(const char* data, std::size_t size) {
    try {
        return Bytes(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + size);
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
}

}  // namespace

PyResult<Bytes> snapshot_encoded(PyObject* object, std::optional<std::uint64_t> limit, std::string_view label) {
    if (limit && *limit == 0) return raise_value_error(MAX_ENCODED_BYTES_MESSAGE);

    std::uint64_t size = 0;
    const bool is_bytes = PyBytes_Check(object);
    const bool is_bytearray = PyByteArray_Check(object);
    const bool is_memoryview = Py_IS_TYPE(object, &PyMemoryView_Type);
    if (is_bytes) {
        size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(object));
    } else if (is_bytearray) {
        size = static_cast<std::uint64_t>(PyByteArray_GET_SIZE(object));
    } else if (is_memoryview) {
        PyRef nbytes = PyRef::steal(PyObject_GetAttrString(object, "nbytes"));
        if (!nbytes) return raised();
        size = PyLong_AsUnsignedLongLong(nbytes.get());
        if (PyErr_Occurred()) return raised();
    } else {
        PyErr_SetString(PyExc_TypeError, ENCODED_TYPE_MESSAGE);
        return raised();
    }

    // Checked before any copy, so an oversized input is never copied.
    if (limit && size > *limit) {
        return raise_value_error("encoded " + std::string(label) + " has " + std::to_string(size) +
                                 " bytes, exceeding the configured limit of " + std::to_string(*limit));
    }

    if (is_bytes) return copy_bytes(PyBytes_AS_STRING(object), static_cast<std::size_t>(size));
    if (is_bytearray) return copy_bytes(PyByteArray_AS_STRING(object), static_cast<std::size_t>(size));
    PyRef bytes = PyRef::steal(PyObject_CallMethod(object, "tobytes", nullptr));
    if (!bytes) return raised();
    if (!PyBytes_Check(bytes.get())) {
        PyErr_SetString(PyExc_TypeError, "memoryview.tobytes() did not return bytes");
        return raised();
    }
    return copy_bytes(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace tessalumen::py
