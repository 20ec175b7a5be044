#pragma once
// Decoded images, borrowed views, pixel layouts, decode modes and limits shared
// by the JPEG and PNG codecs, and the two entry points of the library.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "error.h"

namespace tessalumen::io {

// Codes index the channel-count table and shape arrays in the Python layer.
enum class PixelLayout : std::uint8_t {
    Gray = 0,       // gray
    GrayAlpha = 1,  // gray, alpha
    Rgb = 2,        // red, green, blue
    Rgba = 3,       // red, green, blue, alpha
    Cmyk = 4,       // cyan, magenta, yellow, black as ink amounts (0 = no ink)
};

[[nodiscard]] constexpr std::size_t channels_of(PixelLayout layout) noexcept {
    switch (layout) {
        case PixelLayout::Gray: return 1;
        case PixelLayout::GrayAlpha: return 2;
        case PixelLayout::Rgb: return 3;
        case PixelLayout::Rgba: return 4;
        case PixelLayout::Cmyk: return 4;
    }
    return 0;
}

// `Unchanged` keeps the decoder's layout; the others request that layout.
enum class DecodeMode : std::uint8_t { Unchanged = 0, Gray = 1, Rgb = 2, Rgba = 3 };

// "unchanged", "gray", "rgb", "rgba" (exact spelling), or nothing.
[[nodiscard]] constexpr std::optional<DecodeMode> parse_decode_mode(std::string_view text) noexcept {
    if (text == "unchanged") return DecodeMode::Unchanged;
    if (text == "gray") return DecodeMode::Gray;
    if (text == "rgb") return DecodeMode::Rgb;
    if (text == "rgba") return DecodeMode::Rgba;
    return std::nullopt;
}

enum class ImageFormat : std::uint8_t { Jpeg = 0, Png = 1 };

// "jpeg" or "png" (exact spelling), or nothing.
[[nodiscard]] constexpr std::optional<ImageFormat> parse_image_format(std::string_view text) noexcept {
    if (text == "jpeg") return ImageFormat::Jpeg;
    if (text == "png") return ImageFormat::Png;
    return std::nullopt;
}

// The largest buffer a decoder may produce before conversion, and the largest
// view the encoders accept: exactly 2^30 bytes passes, one more does not.
inline constexpr std::size_t MAX_DECODED_BYTES = std::size_t{1} << 30;

// Interleaved samples, rows without padding: sample (y, x, c) sits at
// (y * width + x) * channels + c. U16 samples are in native byte order.
using U8Samples = std::vector<std::uint8_t>;
using U16Samples = std::vector<std::uint16_t>;
using Samples = std::variant<U8Samples, U16Samples>;

[[nodiscard]] inline std::size_t sample_count(const Samples& samples) noexcept {
    return std::visit([](const auto& buffer) { return buffer.size(); }, samples);
}
[[nodiscard]] inline bool is_u16(const Samples& samples) noexcept {
    return std::holds_alternative<U16Samples>(samples);
}

struct DecodeOptions {
    std::optional<std::size_t> max_pixels;  // absent: no pixel-count limit
    DecodeMode mode = DecodeMode::Unchanged;
};

// The owned result of decoding.
// Invariant: sample_count(samples) == height * width * channels_of(layout),
// height >= 1 and width >= 1.
struct DecodedImage {
    Samples samples;
    std::size_t height = 0;
    std::size_t width = 0;
    // A PNG source declared alpha (color type 4 or 6) or carried tRNS; always
    // false for JPEG. Conversion keeps it, also when it drops alpha.
    bool has_transparency = false;
    PixelLayout layout = PixelLayout::Gray;

    // Consumes the image and returns it in the layout the mode names; U8 stays
    // U8 and U16 stays U16.
    [[nodiscard]] static CodecResult<DecodedImage> convert(DecodedImage image, DecodeMode mode);
};

using U8SampleView = std::span<const std::uint8_t>;
using U16SampleView = std::span<const std::uint16_t>;
using SampleView = std::variant<U8SampleView, U16SampleView>;

// A borrowed raster handed to the encoders; the caller keeps the samples
// alive and unchanged for the duration of the call.
struct ImageView {
    SampleView samples;
    std::size_t height = 0;
    std::size_t width = 0;
    PixelLayout layout = PixelLayout::Gray;

    [[nodiscard]] CodecStatus validate() const;
};

// Checks the dimensions of a raster a decoder is about to allocate, in the
// channels and sample width it produces before conversion.
[[nodiscard]] CodecStatus validate_dimensions(std::size_t width, std::size_t height,
                                              std::size_t channels,
                                              std::size_t bytes_per_sample,
                                              std::optional<std::size_t> max_pixels);

// Sniffs JPEG (FF D8) or PNG (the 8-byte signature) and decodes.
[[nodiscard]] CodecResult<DecodedImage> decode_image(std::span<const std::uint8_t> data,
                                                     const DecodeOptions& options);

// Validates the view and encodes it as a complete file. `parameter` is the
// JPEG quality (1 to 100) or the PNG compression level (0 to 9).
[[nodiscard]] CodecResult<std::vector<std::uint8_t>> encode_image_view(const ImageView& view,
                                                                       ImageFormat format,
                                                                       std::uint8_t parameter);

}  // namespace tessalumen::io
