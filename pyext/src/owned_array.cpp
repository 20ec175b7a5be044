#include "owned_array.h"

#include <new>

#include "errors.h"

namespace tessalumen::py {
namespace {

constexpr const char* CAPSULE_NAME = "tessalumen.buffer";

template <class T>
struct NumpyType;
template <>
struct NumpyType<std::uint8_t> {
    static constexpr int value = NPY_UINT8;
};
template <>
struct NumpyType<std::uint16_t> {
    static constexpr int value = NPY_UINT16;
};
template <>
struct NumpyType<float> {
    static constexpr int value = NPY_FLOAT32;
};

template <class T>
void release_buffer(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

template <class T>
PyResult<PyRef> make_array(std::vector<T> data, std::initializer_list<npy_intp> shape) {
    auto* buffer = new (std::nothrow) std::vector<T>(std::move(data));
    if (buffer == nullptr) return raise_no_memory();
    PyRef capsule = PyRef::steal(PyCapsule_New(buffer, CAPSULE_NAME, release_buffer<T>));
    if (!capsule) {
        delete buffer;
        return raised();
    }
    // An empty vector may have no storage; NumPy needs some address.
    static T empty_storage{};
    T* storage = buffer->empty() ? &empty_storage : buffer->data();
    std::vector<npy_intp> dims(shape);
    PyRef array = PyRef::steal(PyArray_SimpleNewFromData(static_cast<int>(dims.size()), dims.data(),
                                                         NumpyType<T>::value, storage));
    if (!array) return raised();
    // PyArray_SetBaseObject takes the capsule's reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) != 0) return raised();
    return array;
}

}  // namespace

PyResult<PyRef> array_owning(std::vector<std::uint8_t> data, std::initializer_list<npy_intp> shape) {
    return make_array(std::move(data), shape);
}
PyResult<PyRef> array_owning(std::vector<std::uint16_t> data, std::initializer_list<npy_intp> shape) {
    return make_array(std::move(data), shape);
}
PyResult<PyRef> array_owning(std::vector<float> data, std::initializer_list<npy_intp> shape) {
    return make_array(std::move(data), shape);
}

}  // namespace tessalumen::py
