#include "model.h"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "jpeg.h"
#include "png_codec.h"

namespace tessalumen::io {
namespace {

constexpr std::string_view MSG_NOT_SUPPORTED_FORMAT = "input is not a supported JPEG or PNG image";
constexpr std::string_view MSG_DIMENSIONS_NOT_POSITIVE = "image dimensions must be positive";
constexpr std::string_view MSG_BUFFER_SHAPE_MISMATCH = "pixel buffer length does not match image shape";
constexpr std::string_view MSG_CMYK16_UNSUPPORTED = "16-bit CMYK conversion is unsupported";
constexpr std::string_view MSG_CONVERSION_UNSUPPORTED = "requested color conversion is unsupported";
constexpr std::string_view MSG_ALLOCATION_FAILED = "image allocation failed";

constexpr std::uint8_t JPEG_MAGIC[2] = {0xFF, 0xD8};
constexpr std::uint8_t PNG_MAGIC[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

[[nodiscard]] bool multiply(std::size_t a, std::size_t b, std::size_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}

[[nodiscard]] std::optional<PixelLayout> layout_for(DecodeMode mode) {
    switch (mode) {
        case DecodeMode::Unchanged: return std::nullopt;
        case DecodeMode::Gray: return PixelLayout::Gray;
        case DecodeMode::Rgb: return PixelLayout::Rgb;
        case DecodeMode::Rgba: return PixelLayout::Rgba;
    }
    return std::nullopt;
}

// BT.601 luma with integer weights; the sum of the weights is 1000, so the
// result never exceeds the largest input and 65535 * 1000 + 500 fits 32 bits.
template <class T>
[[nodiscard]] inline T luma(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return static_cast<T>((299u * r + 587u * g + 114u * b + 500u) / 1000u);
}

// Ink amounts to light: both factors are at most 255, so the product and the
// rounding term stay below 2^16.
[[nodiscard]] inline std::uint8_t cmyk_channel(std::uint32_t ink, std::uint32_t black) {
    return static_cast<std::uint8_t>(((255u - ink) * (255u - black) + 127u) / 255u);
}

template <class T>
CodecResult<std::vector<T>> convert_samples(const std::vector<T>& in, std::size_t pixels,
                                            PixelLayout from, PixelLayout to) {
    constexpr std::uint32_t max = std::numeric_limits<T>::max();
    const std::size_t out_channels = channels_of(to);
    if (to != PixelLayout::Gray && to != PixelLayout::Rgb && to != PixelLayout::Rgba) {
        return fail_codec(CodecErrorKind::Unsupported, MSG_CONVERSION_UNSUPPORTED);
    }
    std::vector<T> out;
    try {
        out.resize(pixels * out_channels);
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    const T* src = in.data();
    T* dst = out.data();
    const std::size_t in_channels = channels_of(from);
    for (std::size_t i = 0; i < pixels; ++i, src += in_channels, dst += out_channels) {
        std::uint32_t r = 0, g = 0, b = 0, a = max;
        switch (from) {
            case PixelLayout::Gray: r = g = b = src[0]; break;
            case PixelLayout::GrayAlpha: r = g = b = src[0]; a = src[1]; break;
            case PixelLayout::Rgb: r = src[0]; g = src[1]; b = src[2]; break;
            case PixelLayout::Rgba: r = src[0]; g = src[1]; b = src[2]; a = src[3]; break;
            case PixelLayout::Cmyk:
                r = cmyk_channel(src[0], src[3]);
                g = cmyk_channel(src[1], src[3]);
                b = cmyk_channel(src[2], src[3]);
                a = 255;
                break;
        }
        switch (to) {
            case PixelLayout::Gray: dst[0] = luma<T>(r, g, b); break;
            case PixelLayout::Rgb:
                dst[0] = static_cast<T>(r); dst[1] = static_cast<T>(g); dst[2] = static_cast<T>(b);
                break;
            case PixelLayout::Rgba:
                dst[0] = static_cast<T>(r); dst[1] = static_cast<T>(g); dst[2] = static_cast<T>(b);
                dst[3] = static_cast<T>(a);
                break;
            case PixelLayout::GrayAlpha:
            case PixelLayout::Cmyk: break;  // rejected above
        }
    }
    return out;
}

}  // namespace

CodecStatus validate_dimensions(std::size_t width, std::size_t height, std::size_t channels,
                                std::size_t bytes_per_sample,
                                std::optional<std::size_t> max_pixels) {
    if (width == 0 || height == 0) {
        return fail_codec(CodecErrorKind::Decode, MSG_DIMENSIONS_NOT_POSITIVE);
    }
    std::size_t pixels = 0;
    if (!multiply(width, height, pixels)) return std::unexpected(output_too_large());
    if (max_pixels && pixels > *max_pixels) {
        return fail_codec(CodecErrorKind::LimitExceeded,
                          "image has " + std::to_string(pixels) +
                              " pixels, exceeding the configured limit");
    }
    std::size_t samples = 0, bytes = 0;
    if (!multiply(pixels, channels, samples) || !multiply(samples, bytes_per_sample, bytes) ||
        bytes > MAX_DECODED_BYTES) {
        return std::unexpected(output_too_large());
    }
    return {};
}

CodecStatus ImageView::validate() const {
    if (height == 0 || width == 0) {
        return fail_codec(CodecErrorKind::InvalidInput, MSG_DIMENSIONS_NOT_POSITIVE);
    }
    std::size_t pixels = 0, expected = 0;
    if (!multiply(height, width, pixels) || !multiply(pixels, channels_of(layout), expected)) {
        return std::unexpected(output_too_large());
    }
    const std::size_t count = std::visit([](const auto& view) { return view.size(); }, samples);
    if (count != expected) {
        return fail_codec(CodecErrorKind::InvalidInput, MSG_BUFFER_SHAPE_MISMATCH);
    }
    const std::size_t sample_bytes = std::holds_alternative<U16SampleView>(samples) ? 2 : 1;
    std::size_t bytes = 0;
    if (!multiply(expected, sample_bytes, bytes) || bytes > MAX_DECODED_BYTES) {
        return std::unexpected(output_too_large());
    }
    return {};
}

CodecResult<DecodedImage> DecodedImage::convert(DecodedImage image, DecodeMode mode) {
    const std::optional<PixelLayout> target = layout_for(mode);
    if (!target || *target == image.layout) return image;
    if (is_u16(image.samples) && image.layout == PixelLayout::Cmyk) {
        return fail_codec(CodecErrorKind::Unsupported, MSG_CMYK16_UNSUPPORTED);
    }
    const std::size_t pixels = image.height * image.width;
    auto converted = std::visit(
        [&](const auto& buffer) -> CodecResult<Samples> {
            auto out = convert_samples(buffer, pixels, image.layout, *target);
            if (!out) return std::unexpected(std::move(out.error()));
            return Samples(std::move(*out));
        },
        image.samples);
    if (!converted) return std::unexpected(std::move(converted.error()));
    image.samples = std::move(*converted);  // releases the input buffer
    image.layout = *target;
    return image;
}

CodecResult<DecodedImage> decode_image(std::span<const std::uint8_t> data,
                                       const DecodeOptions& options) {
    if (data.size() >= sizeof JPEG_MAGIC &&
        std::memcmp(data.data(), JPEG_MAGIC, sizeof JPEG_MAGIC) == 0) {
        return jpeg::decode(data, options);
    }
    if (data.size() >= sizeof PNG_MAGIC &&
        std::memcmp(data.data(), PNG_MAGIC, sizeof PNG_MAGIC) == 0) {
        return png::decode(data, options);
    }
    return fail_codec(CodecErrorKind::Unsupported, MSG_NOT_SUPPORTED_FORMAT);
}

CodecResult<std::vector<std::uint8_t>> encode_image_view(const ImageView& view, ImageFormat format,
                                                         std::uint8_t parameter) {
    if (auto valid = view.validate(); !valid) return std::unexpected(std::move(valid.error()));
    switch (format) {
        case ImageFormat::Png: return png::encode_view(view, parameter);
        case ImageFormat::Jpeg: return jpeg::encode(view, parameter);
    }
    return fail_codec(CodecErrorKind::InvalidInput, MSG_NOT_SUPPORTED_FORMAT);
}

}  // namespace tessalumen::io
