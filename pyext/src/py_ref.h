#pragma once
// Owned Python references as a type, and the one scope that releases the
// interpreter lock. Every reference the extension keeps is a `PyRef`;
// `steal`, `borrow` and `release` make the ownership visible at each call
// site, and no other file touches reference counts directly.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <utility>

namespace tessalumen::py {

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { reset(); }

    // Takes over a new reference (may be null after a failed API call).
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference to a borrowed object.
    [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (typically as a return value to Python).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    void reset() noexcept { Py_CLEAR(object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Native work without the interpreter lock, for the lifetime of the scope.
class [[nodiscard]] GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// A Python exception has been set; the caller returns null to the interpreter.
struct Raised {};
template <class T>
using PyResult = std::expected<T, Raised>;
using PyStatus = std::expected<void, Raised>;

[[nodiscard]] inline std::unexpected<Raised> raised() noexcept { return std::unexpected(Raised{}); }

}  // namespace tessalumen::py
