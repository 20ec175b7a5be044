// Feeds arbitrary bytes to decode_image in every mode; whatever decodes is
// written back as PNG (and JPEG where it can be) and the PNG read again, which
// must give the same samples. PNG input is also decoded through the reader
// alone, which must agree with the direct image data path.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "model.h"
#include "png_codec.h"

using namespace tessalumen::io;

namespace {

// Large enough for every real test image, small enough that a hostile header
// cannot push the fuzzer into its memory limit through a legitimate buffer.
constexpr std::size_t FUZZ_MAX_PIXELS = std::size_t{1} << 24;
constexpr std::size_t ROUND_TRIP_MAX_PIXELS = 1 << 16;

ImageView view_of(const DecodedImage& image) {
    if (const auto* s = std::get_if<U8Samples>(&image.samples)) {
        return ImageView{U8SampleView(*s), image.height, image.width, image.layout};
    }
    return ImageView{U16SampleView(std::get<U16Samples>(image.samples)), image.height, image.width,
                     image.layout};
}

void round_trip(const DecodedImage& image, std::uint8_t knob) {
    if (image.layout == PixelLayout::Cmyk || image.height * image.width > ROUND_TRIP_MAX_PIXELS) return;
    const ImageView view = view_of(image);
    const auto png = encode_image_view(view, ImageFormat::Png, static_cast<std::uint8_t>(knob % 10));
    if (!png) std::abort();
    const auto back = decode_image(*png, DecodeOptions{std::nullopt, DecodeMode::Unchanged});
    if (!back || back->layout != image.layout || back->samples != image.samples) std::abort();
    const auto jpeg = encode_image_view(view, ImageFormat::Jpeg, static_cast<std::uint8_t>(1 + knob % 100));
    // JPEG sides are at most 65500 pixels.
    const bool jpeg_expected = !is_u16(image.samples) && image.width <= 65500 && image.height <= 65500 &&
                               (image.layout == PixelLayout::Gray || image.layout == PixelLayout::Rgb);
    if (jpeg_expected != jpeg.has_value()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const DecodeMode mode = static_cast<DecodeMode>(size % 4);
    const DecodeOptions options{FUZZ_MAX_PIXELS, mode};
    const auto image = decode_image(input, options);
    constexpr std::uint8_t PNG_SIGNATURE[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (size >= 8 && std::memcmp(data, PNG_SIGNATURE, 8) == 0) {
        const auto reader = png::decode(input, options, png::ReadPath::Reader);
        if (image.has_value() != reader.has_value()) std::abort();
        if (image && (image->samples != reader->samples || image->layout != reader->layout)) std::abort();
        if (!image && image.error().message != reader.error().message) std::abort();
    }
    if (!image) {
        if (image.error().message.empty()) std::abort();
        return 0;
    }
    if (image->height == 0 || image->width == 0 ||
        sample_count(image->samples) != image->height * image->width * channels_of(image->layout)) {
        std::abort();
    }
    round_trip(*image, size > 0 ? data[size / 2] : 0);
    return 0;
}
