#pragma once
// The one parameter an encoder receives: PNG takes the compression level and
// refuses a quality, JPEG takes the quality and refuses a compression level.
// Shared by encode outputs, write outputs and the image functions.

#include <cstdint>
#include <optional>

#include "io/src/model.h"
#include "py_ref.h"

namespace tessalumen::py {

inline constexpr std::uint8_t DEFAULT_JPEG_QUALITY = 95;
inline constexpr std::uint8_t DEFAULT_PNG_COMPRESSION = 6;

// Raises ValueError "quality is only valid for JPEG" or "compression is only
// valid for PNG"; ranges are left to the encoders.
[[nodiscard]] PyResult<std::uint8_t> encoder_parameter(io::ImageFormat format, std::optional<std::uint8_t> quality,
                                                       std::optional<std::uint8_t> compression);

}  // namespace tessalumen::py
