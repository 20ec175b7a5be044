#pragma once
// Transform dictionaries: one Python dict per pipeline step, turned into the
// `TransformSpec` the core compiles. Only presence, Python types and the
// spelling of enumerated strings are checked here; ranges and consistency are
// the compiler's business.

#include <string_view>

#include "core/src/model.h"
#include "py_ref.h"

namespace tessalumen::py {

inline constexpr std::string_view MISSING_FIELD = "missing transform field: ";

// The value stored under `key` (a new reference), or ValueError
// "missing transform field: {key}". Target declarations use it as well.
[[nodiscard]] PyResult<PyRef> required(PyObject* dict, std::string_view key);

// Parses one step dictionary (the caller has checked that it is a dict).
[[nodiscard]] PyResult<TransformSpec> parse_spec(PyObject* dict);

}  // namespace tessalumen::py
