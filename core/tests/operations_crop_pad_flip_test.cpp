// Crop, pad and flip against straightforward per-pixel references written
// from the definitions, for both channel counts, plus every error path.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cpu_feature_mask.h"
#include "operations/crop_pad_flip.h"

namespace tessalumen {
namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

Bytes random_raster(std::uint64_t height, std::uint64_t width, std::uint64_t channels, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes bytes(height * width * channels);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// Reflect-101 written directly from its definition, on signed coordinates.
std::int64_t reference_reflect(std::int64_t i, std::int64_t n) {
    if (n == 1) return 0;
    const std::int64_t period = 2 * n - 2;
    const std::int64_t m = ((i % period) + period) % period;
    return m < n ? m : period - m;
}

Bytes reference_pad(const Bytes& src, std::uint64_t h, std::uint64_t w, std::uint64_t c, PaddingGeometry g,
                    BorderMode mode, const Fill& fill) {
    Bytes out(g.padded_height * g.padded_width * c);
    for (std::uint64_t y = 0; y < g.padded_height; ++y) {
        for (std::uint64_t x = 0; x < g.padded_width; ++x) {
            const auto sy = static_cast<std::int64_t>(y) - static_cast<std::int64_t>(g.top);
            const auto sx = static_cast<std::int64_t>(x) - static_cast<std::int64_t>(g.left);
            const bool inside = sy >= 0 && sx >= 0 && sy < static_cast<std::int64_t>(h) && sx < static_cast<std::int64_t>(w);
            for (std::uint64_t k = 0; k < c; ++k) {
                std::uint8_t value;
                if (mode == BorderMode::Constant && !inside) {
                    value = c == 1 ? fill[0] : fill[k];
                } else {
                    const auto ry = static_cast<std::uint64_t>(reference_reflect(sy, static_cast<std::int64_t>(h)));
                    const auto rx = static_cast<std::uint64_t>(reference_reflect(sx, static_cast<std::int64_t>(w)));
                    value = src[(ry * w + rx) * c + k];
                }
                out[(y * g.padded_width + x) * c + k] = value;
            }
        }
    }
    return out;
}

Bytes reference_flip(const Bytes& src, std::uint64_t h, std::uint64_t w, std::uint64_t c, bool horizontal) {
    Bytes out(src.size());
    for (std::uint64_t y = 0; y < h; ++y)
        for (std::uint64_t x = 0; x < w; ++x)
            for (std::uint64_t k = 0; k < c; ++k) {
                const std::uint64_t sy = horizontal ? y : h - 1 - y;
                const std::uint64_t sx = horizontal ? w - 1 - x : x;
                out[(y * w + x) * c + k] = src[(sy * w + sx) * c + k];
            }
    return out;
}

// ---- crop ----

TEST(Crop, CopiesTheWindowForBothChannelCounts) {
    struct Case {
        std::uint64_t h, w;
        CropWindow window;
    };
    const Case cases[] = {
        {4, 5, {0, 0, 4, 5}},  // the whole raster, unchanged
        {4, 5, {1, 2, 2, 3}},  // interior, touching the right edge
        {4, 5, {3, 4, 1, 1}},  // the last pixel
        {7, 1, {2, 0, 3, 1}},  // a single column
        {1, 9, {0, 3, 1, 4}},  // a single row
    };
    for (std::uint64_t c : {1u, 3u}) {
        for (const Case& t : cases) {
            const Bytes src = random_raster(t.h, t.w, c, t.h * 31 + t.w);
            Bytes expected;
            for (std::uint64_t y = 0; y < t.window.height; ++y)
                for (std::uint64_t x = 0; x < t.window.width * c; ++x)
                    expected.push_back(src[((t.window.top + y) * t.w + t.window.left) * c + x]);
            // A destination of any prior length is resized to exactly the window.
            for (std::uint64_t prior : {0u, 3u, 500u}) {
                auto out = random_crop_raw_into(src, t.h, t.w, c, t.window, Bytes(prior, 0xEE));
                ASSERT_TRUE(out.has_value()) << out.error().message;
                EXPECT_EQ(out->height, t.window.height);
                EXPECT_EQ(out->width, t.window.width);
                EXPECT_EQ(out->data, expected) << "channels " << c << ", prior length " << prior;
            }
        }
    }
}

struct ErrorCase {
    const char* label;
    std::uint64_t h, w, c;
    std::uint64_t source_length;
    CropWindow window;
    CoreErrorKind kind;
    const char* message;
};

TEST(Crop, RejectsWindowsAndRastersThatDoNotFit) {
    const ErrorCase cases[] = {
        {"rows past the bottom", 4, 4, 3, 48, {2, 0, 3, 4}, CoreErrorKind::Runtime, "sampled crop exceeds input"},
        {"columns past the right", 4, 4, 1, 16, {0, 1, 4, 4}, CoreErrorKind::Runtime, "sampled crop exceeds input"},
        {"top + height wraps", 4, 4, 1, 16, {U64_MAX, 0, 2, 1}, CoreErrorKind::Runtime, "sampled crop exceeds input"},
        {"left + width wraps", 4, 4, 1, 16, {0, 2, 1, U64_MAX - 1}, CoreErrorKind::Runtime,
         "sampled crop exceeds input"},
        {"short source", 4, 4, 3, 47, {0, 0, 1, 1}, CoreErrorKind::Invalid, "invalid raster buffer"},
        {"two channels", 4, 4, 2, 32, {0, 0, 1, 1}, CoreErrorKind::Invalid, "image requires one or three channels"},
        {"size overflow", U64_MAX / 2, 4, 1, 0, {0, 0, 1, 1}, CoreErrorKind::Invalid, "image dimensions overflow"},
    };
    for (const ErrorCase& t : cases) {
        const Bytes src(t.source_length, 1);
        auto out = random_crop_raw_into(src, t.h, t.w, t.c, t.window, Bytes(16));
        ASSERT_FALSE(out.has_value()) << t.label;
        EXPECT_EQ(out.error().kind, t.kind) << t.label;
        EXPECT_EQ(out.error().message, t.message) << t.label;
    }
}

// ---- pad ----

TEST(Pad, MatchesTheDefinitionOverAGridOfGeometries) {
    const Fill fill = {7, 8, 9};
    for (std::uint64_t c : {1u, 3u}) {
        for (BorderMode mode : {BorderMode::Constant, BorderMode::Reflect101}) {
            for (std::uint64_t h : {1u, 2u, 3u, 5u}) {
                for (std::uint64_t w : {1u, 2u, 4u}) {
                    const Bytes src = random_raster(h, w, c, h * 100 + w);
                    for (std::uint64_t top : {0u, 1u, 4u, 11u}) {
                        for (std::uint64_t left : {0u, 2u, 9u}) {
                            for (std::uint64_t extra : {0u, 3u, 8u}) {
                                const PaddingGeometry g{top, left, top + h + extra, left + w + (extra + 1) / 2};
                                auto out = pad_raw(src, h, w, c, g, mode, fill, Bytes{});
                                ASSERT_TRUE(out.has_value()) << out.error().message;
                                ASSERT_EQ(out->data, reference_pad(src, h, w, c, g, mode, fill))
                                    << "c=" << c << " mode=" << static_cast<int>(mode) << " " << h << "x" << w
                                    << " top=" << top << " left=" << left << " extra=" << extra;
                                EXPECT_EQ(out->height, g.padded_height);
                                EXPECT_EQ(out->width, g.padded_width);
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(Pad, SmallExamples) {
    // A 1x1 raster mirrored to 3x3 repeats its value.
    auto single = pad_raw(Bytes{42}, 1, 1, 1, {1, 1, 3, 3}, BorderMode::Reflect101, {0, 0, 0}, Bytes{});
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->data, Bytes(9, 42));
    // [a, b, c] with four columns mirrored in on the left.
    auto row = pad_raw(Bytes{1, 2, 3}, 1, 3, 1, {0, 4, 1, 7}, BorderMode::Reflect101, {0, 0, 0}, Bytes{});
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->data, (Bytes{1, 2, 3, 2, 1, 2, 3}));
    // A gray raster pads with the first fill byte; RGB with the triple.
    auto gray = pad_raw(Bytes{5}, 1, 1, 1, {0, 1, 1, 3}, BorderMode::Constant, {200, 200, 200}, Bytes{});
    ASSERT_TRUE(gray.has_value());
    EXPECT_EQ(gray->data, (Bytes{200, 5, 200}));
    auto rgb = pad_raw(Bytes{1, 2, 3}, 1, 1, 3, {0, 0, 1, 2}, BorderMode::Constant, {10, 20, 30}, Bytes{});
    ASSERT_TRUE(rgb.has_value());
    EXPECT_EQ(rgb->data, (Bytes{1, 2, 3, 10, 20, 30}));
}

struct PadErrorCase {
    const char* label;
    std::uint64_t h, w, c;
    std::uint64_t source_length;
    PaddingGeometry padding;
    BorderMode mode;
    CoreErrorKind kind;
    const char* message;
};

TEST(Pad, RejectsGeometryThatDoesNotFit) {
    const std::uint64_t signed_past = std::uint64_t{1} << 63;
    const PadErrorCase cases[] = {
        {"padded size overflows", 2, 2, 3, 12, {0, 0, U64_MAX / 2, 4}, BorderMode::Constant, CoreErrorKind::Invalid,
         "image dimensions overflow"},
        {"source size overflows", U64_MAX / 2, 4, 1, 0, {0, 0, 2, 2}, BorderMode::Constant, CoreErrorKind::Invalid,
         "image dimensions overflow"},
        {"source taller than padded", 3, 2, 1, 6, {1, 0, 3, 2}, BorderMode::Constant, CoreErrorKind::Runtime,
         "invalid sampled padding geometry"},
        {"source wider than padded", 2, 3, 3, 18, {0, 0, 2, 2}, BorderMode::Reflect101, CoreErrorKind::Runtime,
         "invalid sampled padding geometry"},
        {"top + height wraps", 2, 2, 1, 4, {U64_MAX, 0, 4, 4}, BorderMode::Constant, CoreErrorKind::Runtime,
         "invalid sampled padding geometry"},
        {"source length wrong", 2, 2, 3, 11, {0, 0, 2, 2}, BorderMode::Constant, CoreErrorKind::Runtime,
         "invalid sampled padding geometry"},
        {"nothing to mirror", 0, 2, 1, 0, {1, 0, 1, 2}, BorderMode::Reflect101, CoreErrorKind::Runtime,
         "invalid sampled padding geometry"},
        {"left beyond signed range", 0, 1, 1, 0, {0, signed_past, 0, signed_past + 1}, BorderMode::Reflect101,
         CoreErrorKind::Invalid, "padding dimensions overflow"},
        {"two channels", 1, 1, 2, 2, {0, 0, 1, 1}, BorderMode::Constant, CoreErrorKind::Invalid,
         "image requires one or three channels"},
    };
    for (const PadErrorCase& t : cases) {
        const Bytes src(t.source_length, 1);
        auto out = pad_raw(src, t.h, t.w, t.c, t.padding, t.mode, {0, 0, 0}, Bytes{});
        ASSERT_FALSE(out.has_value()) << t.label;
        EXPECT_EQ(out.error().kind, t.kind) << t.label;
        EXPECT_EQ(out.error().message, t.message) << t.label;
    }
}

// ---- flips ----

TEST(Flip, MatchesTheDefinitionOnEveryTier) {
    for (std::uint32_t keep : {testing_support::ALL_CPU_FEATURES, 0u}) {
        testing_support::ScopedCpuFeatureMask mask(keep);
        for (std::uint64_t c : {1u, 3u}) {
            for (std::uint64_t h : {1u, 2u, 3u}) {
                for (std::uint64_t w : {1u, 2u, 3u, 16u, 31u, 32u, 33u, 64u, 65u, 70u}) {
                    const Bytes src = random_raster(h, w, c, w * 7 + h);
                    Bytes horizontal = src;
                    ASSERT_TRUE(horizontal_flip(horizontal, h, w, c).has_value());
                    EXPECT_EQ(horizontal, reference_flip(src, h, w, c, true)) << c << "ch " << h << "x" << w;
                    Bytes vertical = src;
                    ASSERT_TRUE(vertical_flip(vertical, h, w, c).has_value());
                    EXPECT_EQ(vertical, reference_flip(src, h, w, c, false)) << c << "ch " << h << "x" << w;
                    Bytes into(src.size());
                    ASSERT_TRUE(vertical_flip_into_channels(src, into, h, w, c).has_value());
                    EXPECT_EQ(into, vertical);
                }
            }
        }
    }
}

TEST(Flip, KeepsChannelOrderAndLeavesDegenerateAxesAlone) {
    Bytes rgb = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(horizontal_flip(rgb, 1, 2, 3).has_value());
    EXPECT_EQ(rgb, (Bytes{4, 5, 6, 1, 2, 3}));
    Bytes column = {1, 2, 3};
    ASSERT_TRUE(horizontal_flip(column, 3, 1, 1).has_value());
    EXPECT_EQ(column, (Bytes{1, 2, 3}));
    Bytes row = {1, 2, 3};
    ASSERT_TRUE(vertical_flip(row, 1, 3, 1).has_value());
    EXPECT_EQ(row, (Bytes{1, 2, 3}));
}

TEST(Flip, RejectsRastersThatDoNotMatchTheirSize) {
    Bytes short_raster(11, 9);
    const Bytes untouched = short_raster;
    for (auto status : {horizontal_flip(short_raster, 2, 2, 3), vertical_flip(short_raster, 2, 2, 3)}) {
        ASSERT_FALSE(status.has_value());
        EXPECT_EQ(status.error().kind, CoreErrorKind::Runtime);
        EXPECT_EQ(status.error().message, "flip raster does not match its dimensions");
    }
    EXPECT_EQ(short_raster, untouched);
    Bytes destination(12);
    auto into = vertical_flip_into_channels(short_raster, destination, 2, 2, 3);
    ASSERT_FALSE(into.has_value());
    EXPECT_EQ(destination, Bytes(12, 0));
}

}  // namespace
}  // namespace tessalumen
