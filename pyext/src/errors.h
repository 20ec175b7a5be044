#pragma once
// Raising Python exceptions. This is the only place that maps the core's
// error values to exception types.

#include <string_view>

#include "core/src/error.h"
#include "py_ref.h"

namespace tessalumen::py {

// TypeError "'{type of object}' object cannot be converted to '{expected}'".
std::unexpected<Raised> raise_type_conversion(PyObject* object, const char* expected);
std::unexpected<Raised> raise_value_error(std::string_view message);
std::unexpected<Raised> raise_runtime_error(std::string_view message);
std::unexpected<Raised> raise_overflow_error(std::string_view message);
std::unexpected<Raised> raise_no_memory();
// File input and output failures; the message already ends with the system's
// description and " (os error {code})".
std::unexpected<Raised> raise_os_error(std::string_view message);

// `Invalid` becomes ValueError, `Runtime` RuntimeError; the text is the
// error's message unchanged.
std::unexpected<Raised> raise_core_error(const CoreError& error);

// If the pending exception is a TypeError, replaces it by one whose message
// starts with "argument '{name}': ". Other exceptions are left as they are.
void prefix_argument_type_error(const char* name);

}  // namespace tessalumen::py
