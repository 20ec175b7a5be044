// Normalize and layout results: exact f32 bit patterns of the two-step
// rounding, planar orders, result kinds, and the error paths.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cpu_feature_mask.h"
#include "kernels/layout.h"
#include "operations/normalize.h"

namespace tessalumen {
namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

plan::Normalize normalize_step(std::array<float, 3> mean, std::array<float, 3> std, float max_pixel_value = 255.0f) {
    return plan::Normalize{1.0f, mean, std, max_pixel_value};
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

const std::vector<float>& floats(const OutputRaster& raster) { return std::get<std::vector<float>>(raster.data); }
const Bytes& bytes(const OutputRaster& raster) { return std::get<Bytes>(raster.data); }

struct BitCase {
    const char* label;
    float mean, std;
    std::uint8_t byte;
    std::uint32_t expected_bits;
};

// Each value is checked through every public path: gray, RGB interleaved and
// RGB planar, on the vector and the scalar tier.
TEST(Normalize, ProducesTheTwoStepRoundingBitForBit) {
    const BitCase cases[] = {
        {"mean 0.5: byte 128", 0.5f, 0.5f, 128, 0x3b808100},
        {"mean 0.5: byte 0 is -1", 0.5f, 0.5f, 0, bits(-1.0f)},
        {"mean 0.5: byte 255 is 1", 0.5f, 0.5f, 255, bits(1.0f)},
        {"imagenet red: byte 0", 0.485f, 0.229f, 0, bits(-2.1179039f)},
        {"imagenet red: byte 255", 0.485f, 0.229f, 255, bits(2.2489083f)},
        // 3 / 255 rounded once would be 0x3c40c0c1.
        {"mean 0: byte 3", 0.0f, 1.0f, 3, 0x3c40c0c2},
        // The offset is -0.0 and +0.0 + -0.0 is +0.0.
        {"mean 0: byte 0 is +0.0", 0.0f, 1.0f, 0, 0x00000000},
    };
    for (std::uint32_t keep : {testing_support::ALL_CPU_FEATURES, 0u}) {
        testing_support::ScopedCpuFeatureMask mask(keep);
        for (const BitCase& t : cases) {
            const auto step = normalize_step({t.mean, t.mean, t.mean}, {t.std, t.std, t.std});
            // Nine pixels so the vector loops see a full block of 8 and a tail.
            constexpr std::uint64_t PIXELS = 9;
            const Bytes gray(PIXELS, t.byte);
            const Bytes rgb(PIXELS * 3, t.byte);
            for (RasterKind kind : {RasterKind::F32Hwc, RasterKind::F32Chw}) {
                auto g = normalize_raster(gray, 3, 3, 1, step, kind);
                auto c = normalize_raster(rgb, 3, 3, 3, step, kind);
                ASSERT_TRUE(g.has_value() && c.has_value());
                for (float v : floats(*g)) ASSERT_EQ(bits(v), t.expected_bits) << t.label << " (gray)";
                for (float v : floats(*c)) ASSERT_EQ(bits(v), t.expected_bits) << t.label << " (rgb)";
            }
        }
    }
}

TEST(Normalize, UsesEachChannelsConstantsInBothLayouts) {
    const auto step = normalize_step({0.0f, 0.5f, 1.0f}, {1.0f, 0.5f, 0.25f}, 1.0f);
    // One pixel per value: out = b / std_c - mean_c / std_c exactly for these constants.
    const Bytes src = {0, 1, 2, 3, 4, 5};  // two pixels (0,1,2), (3,4,5)
    auto hwc = normalize_raster(src, 1, 2, 3, step, RasterKind::F32Hwc);
    auto chw = normalize_raster(src, 1, 2, 3, step, RasterKind::F32Chw);
    ASSERT_TRUE(hwc.has_value() && chw.has_value());
    EXPECT_EQ(floats(*hwc), (std::vector<float>{0.0f, 1.0f, 4.0f, 3.0f, 7.0f, 16.0f}));
    EXPECT_EQ(floats(*chw), (std::vector<float>{0.0f, 3.0f, 1.0f, 7.0f, 4.0f, 16.0f}));
    EXPECT_EQ(hwc->kind, RasterKind::F32Hwc);
    EXPECT_EQ(chw->kind, RasterKind::F32Chw);
    EXPECT_EQ(chw->ndim, 3u);
    EXPECT_EQ(chw->channels, 3u);

    // The planar copy of the HWC result equals the direct planar result.
    auto copy = f32_chw_copy(floats(*hwc), 1, 2, 3);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(floats(*copy), floats(*chw));
}

TEST(Normalize, VectorAndScalarTiersAgreeOnLargeRasters) {
    std::mt19937_64 rng(0xbeef);
    constexpr std::uint64_t H = 37;
    constexpr std::uint64_t W = 61;
    Bytes src(H * W * 3);
    for (auto& b : src) b = static_cast<std::uint8_t>(rng());
    const auto step = normalize_step({0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f});
    std::vector<std::vector<float>> results;
    std::vector<Bytes> planar;
    for (std::uint32_t keep : {testing_support::ALL_CPU_FEATURES, 0u}) {
        testing_support::ScopedCpuFeatureMask mask(keep);
        for (RasterKind kind : {RasterKind::F32Hwc, RasterKind::F32Chw}) {
            auto out = normalize_raster(src, H, W, 3, step, kind);
            ASSERT_TRUE(out.has_value());
            results.push_back(floats(*out));
        }
        auto u8 = u8_chw_raster(src, H, W, 3);
        ASSERT_TRUE(u8.has_value());
        planar.push_back(bytes(*u8));
    }
    auto bitwise_equal = [](const std::vector<float>& a, const std::vector<float>& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](float x, float y) {
                   return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
               });
    };
    EXPECT_TRUE(bitwise_equal(results[0], results[2]));
    EXPECT_TRUE(bitwise_equal(results[1], results[3]));
    EXPECT_EQ(planar[0], planar[1]);
}

TEST(Layout, U8PlanarCopy) {
    auto single = u8_chw_raster(Bytes{10, 20, 30}, 1, 1, 3);
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(bytes(*single), (Bytes{10, 20, 30}));
    auto two = u8_chw_raster(Bytes{1, 2, 3, 4, 5, 6}, 2, 1, 3);
    ASSERT_TRUE(two.has_value());
    EXPECT_EQ(bytes(*two), (Bytes{1, 4, 2, 5, 3, 6}));
    EXPECT_EQ(two->kind, RasterKind::U8Chw);
    EXPECT_EQ(two->height, 2u);
    EXPECT_EQ(two->width, 1u);
    auto gray = u8_chw_raster(Bytes{7, 8}, 1, 2, 1);
    ASSERT_TRUE(gray.has_value());
    EXPECT_EQ(bytes(*gray), (Bytes{7, 8}));
    // An empty raster gives an empty result.
    auto empty = u8_chw_raster(Bytes{}, 0, 5, 3);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(bytes(*empty).empty());
}

TEST(Layout, F32PlanarCopyOfOneChannelEqualsTheData) {
    const std::vector<float> values = {0.5f, -1.0f, 2.0f};
    auto copy = f32_chw_copy(values, 3, 1, 1);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(floats(*copy), values);
}

struct LayoutErrorCase {
    const char* label;
    std::function<CoreError()> run;
    CoreErrorKind kind;
    const char* message;
};

template <class T>
CoreError error_of(const CoreResult<T>& result) {
    return result.has_value() ? CoreError{CoreErrorKind::Runtime, "<succeeded>"} : result.error();
}

TEST(Layout, ReportsShapeAndSizeErrors) {
    const auto step = normalize_step({0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f});
    const Bytes eleven(11, 1);
    const LayoutErrorCase cases[] = {
        {"11 bytes for 2x2 RGB", [&] { return error_of(u8_chw_raster(eleven, 2, 2, 3)); }, CoreErrorKind::Invalid,
         "invalid RGB buffer"},
        {"gray length", [&] { return error_of(u8_chw_raster(eleven, 2, 2, 1)); }, CoreErrorKind::Invalid,
         "invalid raster buffer"},
        {"u8 overflow", [&] { return error_of(u8_chw_raster(eleven, U64_MAX / 2, 2, 3)); }, CoreErrorKind::Invalid,
         "image dimensions overflow"},
        {"normalize RGB length",
         [&] { return error_of(normalize_raster(eleven, 2, 2, 3, step, RasterKind::F32Chw)); },
         CoreErrorKind::Invalid, "invalid RGB buffer"},
        {"normalize overflow",
         [&] { return error_of(normalize_raster(eleven, U64_MAX, 2, 3, step, RasterKind::F32Hwc)); },
         CoreErrorKind::Invalid, "image dimensions overflow"},
        {"normalize into bytes",
         [&] { return error_of(normalize_raster(eleven, 1, 11, 1, step, RasterKind::U8Hwc)); },
         CoreErrorKind::Runtime, "normalize result must be a float raster"},
        {"four channels", [&] { return error_of(u8_chw_raster(Bytes(16), 2, 2, 4)); }, CoreErrorKind::Invalid,
         "image requires one or three channels"},
        {"f32 copy length", [&] { return error_of(f32_chw_copy(std::vector<float>(5), 1, 2, 3)); },
         CoreErrorKind::Invalid, "invalid raster buffer"},
        {"f32 copy overflow", [&] { return error_of(f32_chw_copy(std::vector<float>(5), U64_MAX, 2, 3)); },
         CoreErrorKind::Invalid, "image dimensions overflow"},
        {"kernel to_chw length",
         [&] {
             return error_of(kernels::layout::normalize_channels_to_chw(eleven, 2, 2, step.mean, 255.0f, step.std));
         },
         CoreErrorKind::Invalid, "invalid RGB buffer"},
    };
    for (const LayoutErrorCase& t : cases) {
        const CoreError error = t.run();
        EXPECT_EQ(error.kind, t.kind) << t.label;
        EXPECT_EQ(error.message, t.message) << t.label;
    }
}

TEST(Layout, InterleavedNormalizeConvertsExactlyTheBytesGiven) {
    // No shape check: a trailing partial pixel is converted channel by channel.
    const std::array<float, 3> mean = {0.0f, 0.0f, 0.0f};
    const std::array<float, 3> std = {1.0f, 0.5f, 0.25f};
    auto out = kernels::layout::normalize_channels(Bytes{1, 1, 1, 1, 1}, mean, std, 1.0f);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, (std::vector<float>{1.0f, 2.0f, 4.0f, 1.0f, 2.0f}));
    auto empty = kernels::layout::normalize_channels(Bytes{}, mean, std, 1.0f);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

}  // namespace
}  // namespace tessalumen
