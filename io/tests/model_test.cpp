// Image model: format sniffing, limits, view validation and layout conversion.

#include <gtest/gtest.h>

#include <limits>

#include "model.h"
#include "test_support.h"

namespace tessalumen::io {
namespace {

using testing::Bytes;
using testing::make_png;
using testing::mode;

TEST(Sniffing, ShortOrForeignInputIsUnsupported) {
    const Bytes cases[] = {
        {},
        {0xFF},
        {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A},  // 7 bytes of the PNG signature
        {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0},
        {0xD8, 0xFF, 0, 0},
    };
    for (const Bytes& input : cases) {
        const auto result = decode_image(input, mode(DecodeMode::Rgb));
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, CodecErrorKind::Unsupported);
        EXPECT_EQ(result.error().message, "input is not a supported JPEG or PNG image");
    }
}

TEST(Sniffing, JpegMagicCommitsToTheJpegDecoder) {
    for (const Bytes& input : {Bytes{0xFF, 0xD8}, Bytes{0xFF, 0xD8, 'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}}) {
        const auto result = decode_image(input, mode(DecodeMode::Rgb));
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, CodecErrorKind::Decode);
        EXPECT_TRUE(result.error().message.starts_with("TurboJPEG error: ")) << result.error().message;
    }
}

TEST(Limits, PixelLimitCountsExactly) {
    const std::vector<Bytes> rows(3, Bytes(4, 7));
    const Bytes png = make_png(4, 3, 8, 0, rows);
    EXPECT_TRUE(decode_image(png, mode(DecodeMode::Gray, 12)));
    const auto over = decode_image(png, mode(DecodeMode::Gray, 11));
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().kind, CodecErrorKind::LimitExceeded);
    EXPECT_EQ(over.error().message, "image has 12 pixels, exceeding the configured limit");
}

TEST(Limits, ValidateDimensions) {
    constexpr std::size_t MAX = std::numeric_limits<std::size_t>::max();
    struct Case {
        std::size_t w, h, channels, sample_bytes;
        std::optional<std::size_t> max_pixels;
        std::optional<CodecErrorKind> kind;
        const char* message;
    };
    const Case cases[] = {
        {0, 5, 1, 1, {}, CodecErrorKind::Decode, "image dimensions must be positive"},
        {5, 0, 1, 1, {}, CodecErrorKind::Decode, "image dimensions must be positive"},
        {MAX, 2, 1, 1, {}, CodecErrorKind::LimitExceeded, "decoded image exceeds the supported memory limit"},
        // The pixel limit is checked before the memory ceiling.
        {1 << 20, 1 << 20, 4, 2, 1000, CodecErrorKind::LimitExceeded,
         "image has 1099511627776 pixels, exceeding the configured limit"},
        {1 << 15, 1 << 15, 1, 1, {}, std::nullopt, ""},  // exactly 2^30 bytes
        {1 << 14, 1 << 14, 4, 1, {}, std::nullopt, ""},
        {1 << 14, 1 << 14, 2, 2, {}, std::nullopt, ""},
        {(1 << 15) + 1, 1 << 15, 1, 1, {}, CodecErrorKind::LimitExceeded,
         "decoded image exceeds the supported memory limit"},
        {1 << 14, 1 << 14, 4, 2, {}, CodecErrorKind::LimitExceeded,
         "decoded image exceeds the supported memory limit"},
        {MAX / 4 + 1, 1, 4, 1, {}, CodecErrorKind::LimitExceeded,
         "decoded image exceeds the supported memory limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << "x" << c.channels << "x" << c.sample_bytes);
        const auto result = validate_dimensions(c.w, c.h, c.channels, c.sample_bytes, c.max_pixels);
        if (!c.kind) {
            EXPECT_TRUE(result);
            continue;
        }
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, *c.kind);
        EXPECT_EQ(result.error().message, c.message);
    }
}

TEST(ImageViewValidate, ShapeAndCeiling) {
    const U8Samples s17(17), s18(18), s19(19);
    EXPECT_TRUE((ImageView{U8SampleView(s18), 2, 3, PixelLayout::Rgb}.validate()));
    for (const U8Samples* s : {&s17, &s19}) {
        const auto result = ImageView{U8SampleView(*s), 2, 3, PixelLayout::Rgb}.validate();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, CodecErrorKind::InvalidInput);
        EXPECT_EQ(result.error().message, "pixel buffer length does not match image shape");
    }
    for (const auto& [h, w] : {std::pair<std::size_t, std::size_t>{0, 3}, {2, 0}}) {
        const auto result = ImageView{U8SampleView(s18), h, w, PixelLayout::Rgb}.validate();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, CodecErrorKind::InvalidInput);
        EXPECT_EQ(result.error().message, "image dimensions must be positive");
    }
    // Sizes beyond the ceiling are judged from the shape alone, so a fake span
    // of the right length never needs real memory behind it.
    const auto* fake = reinterpret_cast<const std::uint8_t*>(s18.data());
    const std::size_t limit = MAX_DECODED_BYTES;
    EXPECT_TRUE((ImageView{U8SampleView(fake, limit), 1 << 15, 1 << 15, PixelLayout::Gray}.validate()));
    const auto over = ImageView{U8SampleView(fake, limit + 1), 1, limit + 1, PixelLayout::Gray}.validate();
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().message, "decoded image exceeds the supported memory limit");
    const auto* fake16 = reinterpret_cast<const std::uint16_t*>(s18.data());
    const auto over16 = ImageView{U16SampleView(fake16, limit / 2 + 1), 1, limit / 2 + 1, PixelLayout::Gray}.validate();
    ASSERT_FALSE(over16);
    EXPECT_EQ(over16.error().kind, CodecErrorKind::LimitExceeded);
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    const auto overflow = ImageView{U8SampleView(fake, 1), huge, 4, PixelLayout::Rgb}.validate();
    ASSERT_FALSE(overflow);
    EXPECT_EQ(overflow.error().message, "decoded image exceeds the supported memory limit");
}

DecodedImage one_pixel(Samples samples, PixelLayout layout, bool transparency = false) {
    return DecodedImage{std::move(samples), 1, 1, transparency, layout};
}

TEST(Convert, GrayWeights) {
    struct Case {
        std::uint8_t r, g, b, gray;
    };
    const Case cases[] = {{255, 0, 0, 76}, {0, 255, 0, 150}, {0, 0, 255, 29}, {255, 255, 255, 255}, {128, 128, 128, 128}};
    for (const Case& c : cases) {
        const auto out = DecodedImage::convert(one_pixel(U8Samples{c.r, c.g, c.b}, PixelLayout::Rgb), DecodeMode::Gray);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->layout, PixelLayout::Gray);
        EXPECT_EQ(testing::u8(*out), U8Samples{c.gray}) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
    const auto red16 = DecodedImage::convert(one_pixel(U16Samples{65535, 0, 0}, PixelLayout::Rgb), DecodeMode::Gray);
    ASSERT_TRUE(red16);
    EXPECT_EQ(testing::u16(*red16), U16Samples{19595});
    const auto white16 =
        DecodedImage::convert(one_pixel(U16Samples{65535, 65535, 65535, 1}, PixelLayout::Rgba), DecodeMode::Gray);
    ASSERT_TRUE(white16);
    EXPECT_EQ(testing::u16(*white16), U16Samples{65535});
}

TEST(Convert, CmykInksToRgb) {
    struct Case {
        U8Samples cmyk, rgb;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, {255, 255, 255}},
        {{0, 0, 0, 128}, {127, 127, 127}},
        {{128, 0, 0, 128}, {63, 127, 127}},
        {{0, 77, 200, 255}, {0, 0, 0}},
        {{255, 255, 255, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        const auto out = DecodedImage::convert(one_pixel(c.cmyk, PixelLayout::Cmyk), DecodeMode::Rgb);
        ASSERT_TRUE(out);
        EXPECT_EQ(testing::u8(*out), c.rgb);
    }
    const auto rgba = DecodedImage::convert(one_pixel(U8Samples{0, 0, 0, 128}, PixelLayout::Cmyk), DecodeMode::Rgba);
    ASSERT_TRUE(rgba);
    EXPECT_EQ(testing::u8(*rgba), (U8Samples{127, 127, 127, 255}));
    const auto wide = DecodedImage::convert(one_pixel(U16Samples{1, 2, 3, 4}, PixelLayout::Cmyk), DecodeMode::Rgb);
    ASSERT_FALSE(wide);
    EXPECT_EQ(wide.error().kind, CodecErrorKind::Unsupported);
    EXPECT_EQ(wide.error().message, "16-bit CMYK conversion is unsupported");
    // Unchanged and the same layout keep the image as it is, 16-bit CMYK included.
    EXPECT_TRUE(DecodedImage::convert(one_pixel(U16Samples{1, 2, 3, 4}, PixelLayout::Cmyk), DecodeMode::Unchanged));
}

TEST(Convert, AlphaAddedAndDroppedAndTransparencyKept) {
    const DecodedImage gray{U8Samples{10, 20}, 1, 2, true, PixelLayout::Gray};
    const auto rgba = DecodedImage::convert(gray, DecodeMode::Rgba);
    ASSERT_TRUE(rgba);
    EXPECT_EQ(testing::u8(*rgba), (U8Samples{10, 10, 10, 255, 20, 20, 20, 255}));
    EXPECT_TRUE(rgba->has_transparency);
    EXPECT_EQ(rgba->height, 1u);
    EXPECT_EQ(rgba->width, 2u);

    const auto rgba16 = DecodedImage::convert(DecodedImage{U16Samples{300}, 1, 1, false, PixelLayout::Gray}, DecodeMode::Rgba);
    ASSERT_TRUE(rgba16);
    EXPECT_EQ(testing::u16(*rgba16), (U16Samples{300, 300, 300, 65535}));

    const auto rgb = DecodedImage::convert(DecodedImage{U8Samples{1, 2, 3, 0}, 1, 1, true, PixelLayout::Rgba}, DecodeMode::Rgb);
    ASSERT_TRUE(rgb);
    EXPECT_EQ(testing::u8(*rgb), (U8Samples{1, 2, 3}));
    EXPECT_TRUE(rgb->has_transparency);

    const auto ga = DecodedImage::convert(DecodedImage{U8Samples{9, 40}, 1, 1, true, PixelLayout::GrayAlpha}, DecodeMode::Rgba);
    ASSERT_TRUE(ga);
    EXPECT_EQ(testing::u8(*ga), (U8Samples{9, 9, 9, 40}));
}

TEST(Parsing, ModeAndFormatSpellings) {
    EXPECT_EQ(parse_decode_mode("unchanged"), DecodeMode::Unchanged);
    EXPECT_EQ(parse_decode_mode("gray"), DecodeMode::Gray);
    EXPECT_EQ(parse_decode_mode("rgb"), DecodeMode::Rgb);
    EXPECT_EQ(parse_decode_mode("rgba"), DecodeMode::Rgba);
    EXPECT_EQ(parse_decode_mode("RGB"), std::nullopt);
    EXPECT_EQ(parse_image_format("jpeg"), ImageFormat::Jpeg);
    EXPECT_EQ(parse_image_format("png"), ImageFormat::Png);
    EXPECT_EQ(parse_image_format("jpg"), std::nullopt);
}

}  // namespace
}  // namespace tessalumen::io
