#pragma once
// Conversions from Python values to native ones. Each either returns the
// native value or raises exactly one Python exception; the conversions never
// keep a reference to their argument.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/src/model.h"
#include "py_ref.h"

namespace tessalumen::py {

inline constexpr std::string_view BYTE_OUT_OF_RANGE = "out of range integral type conversion attempted";

// Values of transform dictionaries and target declarations.
[[nodiscard]] PyResult<std::string> to_string(PyObject* value);
// An int, a bool or an object with __index__, in 0 .. 2^64 - 1.
[[nodiscard]] PyResult<std::uint64_t> to_size(PyObject* value);
// None, or a size.
[[nodiscard]] PyResult<std::optional<std::uint64_t>> to_optional_size(PyObject* value);
// An integer in 0 .. 255.
[[nodiscard]] PyResult<std::uint8_t> to_byte(PyObject* value);
// Anything float() accepts, rounded to the nearest f32.
[[nodiscard]] PyResult<float> to_real(PyObject* value);
// A bool or a NumPy bool scalar; integers are refused.
[[nodiscard]] PyResult<bool> to_flag(PyObject* value);
// A sequence of exactly 2 (or 4) reals, read by position.
[[nodiscard]] PyResult<RealRange> to_pair(PyObject* value);
[[nodiscard]] PyResult<std::array<float, 4>> to_quad(PyObject* value);
// A sequence of exactly 2 sizes.
[[nodiscard]] PyResult<CountRange> to_count_pair(PyObject* value);
// A non-str sequence of any length, items taken by iteration.
[[nodiscard]] PyResult<Bytes> to_byte_list(PyObject* value);
[[nodiscard]] PyResult<std::vector<float>> to_real_list(PyObject* value);

// Function arguments. TypeErrors carry the prefix "argument '{name}': ".
[[nodiscard]] PyResult<std::uint64_t> argument_u64(PyObject* value, const char* name);
[[nodiscard]] PyResult<std::string> argument_string(PyObject* value, const char* name);
// The strict rule of restored state: an int (not a bool) in 0 .. 2^64 - 1,
// else ValueError "{name} must be an unsigned 64-bit integer".
[[nodiscard]] PyResult<std::uint64_t> restore_u64(PyObject* value, std::string_view name);

}  // namespace tessalumen::py
