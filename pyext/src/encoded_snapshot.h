#pragma once
// Call-owned copies of encoded inputs given as bytes, bytearray or memoryview,
// checked against their byte limit before anything is copied.

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/src/model.h"
#include "py_ref.h"

namespace tessalumen::py {

inline constexpr std::string_view MAX_ENCODED_BYTES_MESSAGE = "max_encoded_bytes must be positive or None";

// `label` names the input in the too-large message ("encoded {label} has ...").
[[nodiscard]] PyResult<Bytes> snapshot_encoded(PyObject* object, std::optional<std::uint64_t> limit,
                                               std::string_view label);

}  // namespace tessalumen::py
