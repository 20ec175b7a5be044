#include "convert.h"

#include <new>
#include <string>

#include "errors.h"
#include "numpy_api.h"
#include "try.h"

namespace tessalumen::py {

namespace {

constexpr const char* SEQUENCE_TYPE = "Sequence";
constexpr std::string_view NOT_UNSIGNED_64 = " must be an unsigned 64-bit integer";
constexpr const char* STR_AS_LIST = "a str cannot be converted to a list of values";

// Items 0 .. N-1 of a sequence of exactly N items, each converted by `convert`.
template <std::size_t N, class T, class Convert>
PyResult<std::array<T, N>> fixed_sequence(PyObject* value, Convert convert) {
    if (!PySequence_Check(value)) return raise_type_conversion(value, SEQUENCE_TYPE);
    const Py_ssize_t length = PySequence_Size(value);
    PY_CHECK(length >= 0);
    if (length != static_cast<Py_ssize_t>(N)) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zu (got %zd)", N, length);
        return raised();
    }
    std::array<T, N> items{};
    for (std::size_t i = 0; i < N; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(value, static_cast<Py_ssize_t>(i)));
        PY_CHECK(item);
        PY_TRY(items[i], convert(item.get()));
    }
    return items;
}

// Every item of a non-str sequence, in iteration order.
template <class T, class Convert>
PyResult<std::vector<T>> any_length_sequence(PyObject* value, Convert convert) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, STR_AS_LIST);
        return raised();
    }
    if (!PySequence_Check(value)) return raise_type_conversion(value, SEQUENCE_TYPE);
    PyRef iterator = PyRef::steal(PyObject_GetIter(value));
    PY_CHECK(iterator);
    std::vector<T> items;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        PY_TRY(T converted, convert(item.get()));
        try {
            items.push_back(converted);
        } catch (const std::bad_alloc&) {
            return raise_no_memory();
        }
    }
    PY_CHECK(!PyErr_Occurred());
    return items;
}

}  // namespace

PyResult<std::string> to_string(PyObject* value) {
    if (!PyUnicode_Check(value)) return raise_type_conversion(value, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    PY_CHECK(text != nullptr);
    try {
        return std::string(text, static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
}

PyResult<std::uint64_t> to_size(PyObject* value) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    PY_CHECK(index);
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    PY_CHECK(!(converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()));
    return static_cast<std::uint64_t>(converted);
}

PyResult<std::optional<std::uint64_t>> to_optional_size(PyObject* value) {
    if (value == Py_None) return std::optional<std::uint64_t>();
    PY_TRY(std::uint64_t size, to_size(value));
    return std::optional<std::uint64_t>(size);
}

PyResult<std::uint8_t> to_byte(PyObject* value) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    PY_CHECK(index);
    int overflow = 0;
    const long long converted = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    PY_CHECK(!(converted == -1 && PyErr_Occurred()));
    if (overflow != 0 || converted < 0 || converted > 255) return raise_overflow_error(BYTE_OUT_OF_RANGE);
    return static_cast<std::uint8_t>(converted);
}

PyResult<float> to_real(PyObject* value) {
    const double converted = PyFloat_AsDouble(value);
    PY_CHECK(!(converted == -1.0 && PyErr_Occurred()));
    // Round to nearest; magnitudes beyond the f32 range become infinities.
    return static_cast<float>(converted);
}

PyResult<bool> to_flag(PyObject* value) {
    if (PyBool_Check(value)) return value == Py_True;
    if (PyArray_IsScalar(value, Bool)) {
        const int truth = PyObject_IsTrue(value);
        PY_CHECK(truth >= 0);
        return truth == 1;
    }
    return raise_type_conversion(value, "bool");
}

PyResult<RealRange> to_pair(PyObject* value) {
    PY_TRY(auto items, (fixed_sequence<2, float>(value, to_real)));
    return RealRange{items[0], items[1]};
}

PyResult<std::array<float, 4>> to_quad(PyObject* value) { return fixed_sequence<4, float>(value, to_real); }

PyResult<CountRange> to_count_pair(PyObject* value) {
    PY_TRY(auto items, (fixed_sequence<2, std::uint64_t>(value, to_size)));
    return CountRange{items[0], items[1]};
}

PyResult<Bytes> to_byte_list(PyObject* value) { return any_length_sequence<std::uint8_t>(value, to_byte); }

PyResult<std::vector<float>> to_real_list(PyObject* value) {
    return any_length_sequence<float>(value, to_real);
}

PyResult<std::uint64_t> argument_u64(PyObject* value, const char* name) {
    auto converted = to_size(value);
    if (!converted) prefix_argument_type_error(name);
    return converted;
}

PyResult<std::string> argument_string(PyObject* value, const char* name) {
    auto converted = to_string(value);
    if (!converted) prefix_argument_type_error(name);
    return converted;
}

PyResult<std::uint64_t> restore_u64(PyObject* value, std::string_view name) {
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        const unsigned long long converted = PyLong_AsUnsignedLongLong(value);
        if (!(converted == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            return static_cast<std::uint64_t>(converted);
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return raised();
        PyErr_Clear();
    }
    return raise_value_error(std::string(name) + std::string(NOT_UNSIGNED_64));
}

}  // namespace tessalumen::py
