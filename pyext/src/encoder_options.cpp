#include "encoder_options.h"

#include "errors.h"

namespace tessalumen::py {

PyResult<std::uint8_t> encoder_parameter(io::ImageFormat format, std::optional<std::uint8_t> quality,
                                         std::optional<std::uint8_t> compression) {
    switch (format) {
        case io::ImageFormat::Png:
            if (quality) return raise_value_error("quality is only valid for JPEG");
            return compression.value_or(DEFAULT_PNG_COMPRESSION);
        case io::ImageFormat::Jpeg:
            if (compression) return raise_value_error("compression is only valid for PNG");
            return quality.value_or(DEFAULT_JPEG_QUALITY);
    }
    return raise_value_error("format must be 'jpeg' or 'png'");
}

}  // namespace tessalumen::py
