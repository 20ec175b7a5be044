#include "plan/sampling.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "engine.h"

namespace tessalumen {
namespace {

using I = Interpolation;
using B = BorderMode;

constexpr std::uint64_t SEED = 0x5eed;

TransformPlan compiled(TransformSpec spec) {
    auto plan = compile_one(std::move(spec));
    EXPECT_TRUE(plan.has_value()) << plan.error().message;
    return *plan;
}

std::vector<SampledTransform> sample_ok(const std::vector<TransformPlan>& plans, std::uint64_t h, std::uint64_t w,
                                        std::uint64_t seed = SEED) {
    auto samples = sample_plans(plans, h, w, seed);
    EXPECT_TRUE(samples.has_value()) << samples.error().message;
    if (!samples) return {};
    EXPECT_EQ(samples->size(), plans.size());
    return *samples;
}

void expect_error(const std::vector<TransformPlan>& plans, std::uint64_t h, std::uint64_t w, CoreErrorKind kind,
                  const std::string& message) {
    auto samples = sample_plans(plans, h, w, SEED);
    ASSERT_FALSE(samples.has_value());
    EXPECT_EQ(samples.error().kind, kind);
    EXPECT_EQ(samples.error().message, message);
}

// A step that draws exactly one raw word and records it: its noise seed
// tells how many words the steps before it consumed.
TransformPlan probe() { return config::GaussianNoise{1, {0, 0}, {0, 0}, false}; }

int words_before_probe(std::vector<TransformPlan> plans, std::uint64_t h, std::uint64_t w,
                       std::uint64_t seed = SEED) {
    plans.push_back(probe());
    const auto samples = sample_ok(plans, h, w, seed);
    if (samples.empty()) return -1;
    const std::uint64_t recorded = std::get<sampled::GaussianNoise>(samples.back()).noise_seed;
    StreamRng rng = StreamRng::from_seed(seed);
    for (int n = 0; n < 256; ++n) {
        if (rng.next_word() == recorded) return n;
    }
    return -1;
}

// A copy, so that it may outlive the sample list it came from.
template <class S>
S only(const std::vector<SampledTransform>& samples, std::size_t index = 0) {
    return std::get<S>(samples.at(index));
}

TEST(Sampling, EmptyPipelineGivesEmptyList) {
    auto samples = sample_plans({}, 4, 4, SEED);
    ASSERT_TRUE(samples.has_value());
    EXPECT_TRUE(samples->empty());
}

TEST(Sampling, WordsConsumedPerStep) {
    struct Case {
        const char* what;
        TransformPlan plan;
        std::uint64_t h, w;
        int words;
    };
    const Case cases[] = {
        {"p = 0 skips without a draw", config::RandomCrop{0, 2, 2}, 8, 8, 0},
        {"p = 1 gate draws nothing", config::HorizontalFlip{1}, 8, 8, 0},
        {"p = 0.5 gate draws once", config::HorizontalFlip{0.5f}, 8, 8, 1},
        {"crop equal to the size still draws twice", config::RandomCrop{1, 8, 6}, 8, 6, 2},
        {"random pad position without padding", compiled(config::PadIfNeeded{1, 4, 4, {}, {}, PadPosition::Random,
                                                                             B::Constant, {0}}),
         8, 8, 0},
        {"random pad position on both axes", compiled(config::PadIfNeeded{1, 10, 10, {}, {}, PadPosition::Random,
                                                                          B::Constant, {0}}),
         8, 8, 2},
        {"pixel holes: count, height, width, top, left",
         compiled(config::CoarseDropout{1, {1, 1}, PixelExtent{2, 2}, PixelExtent{3, 3}, {0}}), 8, 8, 5},
        {"fixed fraction holes: count, top, left",
         compiled(config::CoarseDropout{1, {1, 1}, FractionExtent{0.5f, 0.5f}, FractionExtent{0.25f, 0.25f}, {0}}), 8,
         8, 3},
        {"Affine with single-value ranges",
         compiled(config::Affine{1, {5, 5}, {0, 0}, {1, 1}, {2, 2, 3, 3}, I::Bilinear, B::Constant, {0}}), 8, 8, 0},
        {"Affine with every range open",
         compiled(config::Affine{1, {-5, 5}, {0.1f, 0.1f}, {0.9f, 1.1f}, {-2, 2, -3, 3}, I::Bilinear, B::Constant, {0}}),
         8, 8, 6},
        {"Perspective on a single row", compiled(config::Perspective{1, {0.1f, 0.2f}, I::Bilinear, B::Constant, {0}}), 1,
         8, 0},
        {"Perspective: scale draw plus eight displacements",
         compiled(config::Perspective{1, {0.1f, 0.2f}, I::Bilinear, B::Constant, {0}}), 8, 8, 9},
        {"Perspective with a fixed scale", compiled(config::Perspective{1, {0, 0}, I::Bilinear, B::Constant, {0}}), 8,
         8, 8},
        {"GridDistortion without distortion",
         compiled(config::GridDistortion{1, 5, {0, 0}, I::Bilinear, B::Constant, {0}}), 8, 8, 0},
        {"GridDistortion steps beyond the axis length",
         compiled(config::GridDistortion{1, 10, {-0.3f, 0.3f}, I::Bilinear, B::Constant, {0}}), 4, 5, 3 + 4},
        {"GaussianBlur sigma", compiled(config::GaussianBlur{1, 5, {0.5f, 2.0f}}), 8, 8, 1},
        {"RandomResizedCrop fallback after ten attempts",
         compiled(config::RandomResizedCrop{1, 4, 4, {1, 1}, {4, 5}, I::Bilinear, true}), 100, 100, 20},
    };
    for (const Case& c : cases) EXPECT_EQ(words_before_probe({c.plan}, c.h, c.w), c.words) << c.what;
}

TEST(Sampling, SkippedStepLeavesLaterSamplesUnchanged) {
    const TransformPlan crop = config::RandomCrop{1, 3, 3};
    const auto alone = sample_ok({crop, probe()}, 20, 20);
    const auto after_skip = sample_ok({config::RandomCrop{0, 2, 2}, crop, probe()}, 20, 20);
    EXPECT_EQ(tag_of(after_skip[0]), SampledTag::Skipped);
    EXPECT_EQ(after_skip[1], alone[0]);
    EXPECT_EQ(after_skip[2], alone[1]);
}

TEST(Sampling, SameSeedSameSamplesDifferentSeedDifferentSamples) {
    const std::vector<TransformPlan> plans = {
        compiled(config::RandomResizedCrop{1, 32, 32, {0.08f, 1.0f}, {0.75f, 1.3333f}, I::Bilinear, true}),
        config::HorizontalFlip{0.5f},
        compiled(config::ColorJitter{0.8f, {0.6f, 1.4f}, {0.6f, 1.4f}, {0.6f, 1.4f}, {-0.1f, 0.1f}}),
        compiled(config::GridDistortion{1, 5, {-0.3f, 0.3f}, I::Bilinear, B::Constant, {0}}),
        compiled(config::CoarseDropout{1, {1, 6}, FractionExtent{0.05f, 0.2f}, PixelExtent{2, 8}, {0}}),
    };
    EXPECT_EQ(sample_ok(plans, 64, 48, 1), sample_ok(plans, 64, 48, 1));
    EXPECT_NE(sample_ok(plans, 64, 48, 1), sample_ok(plans, 64, 48, 2));
}

TEST(Sampling, RunningSizeFollowsGeometricSteps) {
    // 40 x 30 -> crop 20 x 10 -> pad to 24 x 16 -> resized crop 8 x 9 -> resize 5 x 7.
    const std::vector<TransformPlan> plans = {
        config::RandomCrop{1, 20, 10},
        compiled(config::PadIfNeeded{1, {}, {}, 8, 8, PadPosition::Center, B::Constant, {0}}),
        compiled(config::RandomResizedCrop{1, 8, 9, {0.5f, 1.0f}, {0.75f, 1.3333f}, I::Bilinear, true}),
        config::Resize{1, 5, 7, I::Bilinear, false},
        config::CenterCrop{1, 5, 7},
    };
    const auto samples = sample_ok(plans, 40, 30);
    EXPECT_EQ(only<sampled::PadIfNeeded>(samples, 1), (sampled::PadIfNeeded{2, 3, 24, 16}));
    const auto& resized = only<sampled::RandomResizedCrop>(samples, 2);
    EXPECT_LE(resized.top + resized.crop_height, 24u);
    EXPECT_LE(resized.left + resized.crop_width, 16u);
    EXPECT_EQ(only<sampled::CenterCrop>(samples, 4), (sampled::CenterCrop{0, 0, 5, 7}));

    // The output size of a resized crop, not its window, bounds the next crop.
    expect_error({plans[2], config::RandomCrop{1, 9, 9}}, 100, 100, CoreErrorKind::Invalid, CROP_TOO_LARGE_MESSAGE);
}

TEST(Sampling, CropsBeyondTheRunningSizeFail) {
    expect_error({config::RandomCrop{1, 9, 4}}, 8, 8, CoreErrorKind::Invalid, "crop larger than input");
    expect_error({config::CenterCrop{1, 4, 9}}, 8, 8, CoreErrorKind::Invalid, "crop larger than input");
    // A skipped crop is not checked.
    EXPECT_EQ(tag_of(sample_ok({config::RandomCrop{0, 9, 9}}, 8, 8)[0]), SampledTag::Skipped);
}

TEST(Sampling, RandomCropStaysInside) {
    std::set<std::uint64_t> tops;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const auto crop = only<sampled::RandomCrop>(sample_ok({config::RandomCrop{1, 3, 5}}, 7, 5, seed));
        EXPECT_LE(crop.top, 4u);
        EXPECT_EQ(crop.left, 0u);
        tops.insert(crop.top);
    }
    EXPECT_EQ(tops.size(), 5u);
}

TEST(Sampling, CenterCropLeavesTheOddRemainderBottomRight) {
    EXPECT_EQ(only<sampled::CenterCrop>(sample_ok({config::CenterCrop{1, 2, 3}}, 5, 6)),
              (sampled::CenterCrop{1, 1, 2, 3}));
}

TEST(Sampling, LongestMaxSize) {
    struct Case {
        std::uint64_t h, w, max_size, out_h, out_w;
    };
    const Case cases[] = {
        {3, 4, 2, 2, 2},                      // 6 / 4 = 1 remainder 2: rounds up
        {3, 5, 10, 6, 10},                    // enlarges
        {5, 3, 10, 10, 6},                    // the height is the longer side
        {7, 7, 3, 3, 3},                      // square
        {1, 1000, 1, 1, 1},                   // 1/1000 rounds to 0 and becomes 1
        {2, 7, 5, 1, 5},                      // 10 / 7 = 1 remainder 3: rounds down
        {3, 2, 3, 3, 2},                      // unchanged
        {4294967295, 3, 4294967294, 4294967294, 3},  // exact arithmetic near the limit
    };
    for (const Case& c : cases) {
        const auto samples = sample_ok({config::LongestMaxSize{1, c.max_size, I::Bilinear, false}}, c.h, c.w);
        EXPECT_EQ(only<sampled::Resize>(samples), (sampled::Resize{c.out_h, c.out_w}))
            << c.h << "x" << c.w << " to " << c.max_size;
    }
    const TransformPlan longest = config::LongestMaxSize{1, 16, I::Bilinear, false};
    expect_error({longest}, 0, 4, CoreErrorKind::Invalid, "dimensions must be positive");
    expect_error({longest}, 4, 1ull << 32, CoreErrorKind::Invalid, "dimensions exceed the native backend limit");
    expect_error({longest}, 0xffffffff, 0xffffffff, CoreErrorKind::Invalid, "image dimensions overflow");
    expect_error({config::LongestMaxSize{1, 1ull << 32, I::Bilinear, false}}, 4, 4, CoreErrorKind::Invalid,
                 "dimensions exceed the native backend limit");
}

TEST(Sampling, RandomResizedCrop) {
    const TransformPlan plan =
        compiled(config::RandomResizedCrop{1, 16, 12, {0.08f, 1.0f}, {0.75f, 1.3333f}, I::Bilinear, true});
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const auto crop = only<sampled::RandomResizedCrop>(sample_ok({plan}, 60, 90, seed));
        EXPECT_EQ(crop.height, 16u);
        EXPECT_EQ(crop.width, 12u);
        ASSERT_GE(crop.crop_height, 1u);
        ASSERT_GE(crop.crop_width, 1u);
        EXPECT_LE(crop.top + crop.crop_height, 60u);
        EXPECT_LE(crop.left + crop.crop_width, 90u);
    }
    // Every attempt fails; the fallback keeps the ratio bound nearest to the raster.
    const auto too_wide = only<sampled::RandomResizedCrop>(
        sample_ok({compiled(config::RandomResizedCrop{1, 4, 4, {1, 1}, {4, 5}, I::Bilinear, true})}, 100, 100));
    EXPECT_EQ(too_wide, (sampled::RandomResizedCrop{4, 4, 37, 0, 25, 100}));
    const auto too_tall = only<sampled::RandomResizedCrop>(
        sample_ok({compiled(config::RandomResizedCrop{1, 4, 4, {1, 1}, {0.2f, 0.25f}, I::Bilinear, true})}, 100, 100));
    EXPECT_EQ(too_tall, (sampled::RandomResizedCrop{4, 4, 0, 37, 100, 25}));
    // A ratio range that holds the raster's ratio keeps the whole raster
    // (a whole-area crop fits only for an aspect within 1e-3 of 1).
    const auto holding = compiled(config::RandomResizedCrop{1, 4, 4, {1, 1}, {0.5f, 2.0f}, I::Bilinear, true});
    ASSERT_EQ(words_before_probe({holding}, 1000, 1000), 20);
    EXPECT_EQ(only<sampled::RandomResizedCrop>(sample_ok({holding}, 1000, 1000)),
              (sampled::RandomResizedCrop{4, 4, 0, 0, 1000, 1000}));
    // A raster wider than the range keeps its height and the widest allowed width.
    const auto wide = only<sampled::RandomResizedCrop>(sample_ok({holding}, 1, 1000));
    EXPECT_EQ(wide, (sampled::RandomResizedCrop{4, 4, 0, 499, 1, 2}));
}

TEST(Sampling, PadIfNeededPositions) {
    struct Case {
        PadPosition position;
        std::uint64_t top, left;
    };
    // 5 x 6 padded to 10 x 9: dy = 5, dx = 3.
    const Case cases[] = {
        {PadPosition::Center, 2, 1},     {PadPosition::TopLeft, 0, 0},     {PadPosition::TopRight, 0, 3},
        {PadPosition::BottomLeft, 5, 0}, {PadPosition::BottomRight, 5, 3},
    };
    for (const Case& c : cases) {
        const auto plan = compiled(config::PadIfNeeded{1, 10, 9, {}, {}, c.position, B::Constant, {0}});
        EXPECT_EQ(only<sampled::PadIfNeeded>(sample_ok({plan}, 5, 6)), (sampled::PadIfNeeded{c.top, c.left, 10, 9}))
            << static_cast<int>(c.position);
    }
    std::set<std::uint64_t> tops;
    for (std::uint64_t seed = 0; seed < 100; ++seed) {
        const auto plan = compiled(config::PadIfNeeded{1, 10, 9, {}, {}, PadPosition::Random, B::Constant, {0}});
        const auto pad = only<sampled::PadIfNeeded>(sample_ok({plan}, 5, 6, seed));
        EXPECT_LE(pad.top, 5u);
        EXPECT_LE(pad.left, 3u);
        tops.insert(pad.top);
    }
    EXPECT_EQ(tops.size(), 6u);

    // Divisors round up; a minimum below the size keeps the size.
    const auto divisor = compiled(config::PadIfNeeded{1, 3, {}, {}, 4, PadPosition::TopLeft, B::Constant, {0}});
    EXPECT_EQ(only<sampled::PadIfNeeded>(sample_ok({divisor}, 5, 8)), (sampled::PadIfNeeded{0, 0, 5, 8}));
    EXPECT_EQ(only<sampled::PadIfNeeded>(sample_ok({divisor}, 5, 9)), (sampled::PadIfNeeded{0, 0, 5, 12}));
}

TEST(Sampling, PadIfNeededFailures) {
    const auto pad = [](std::optional<std::uint64_t> min_h, std::optional<std::uint64_t> div_h) -> TransformPlan {
        return plan::PadIfNeeded{1, min_h, 4, div_h, {}, PadPosition::Center, B::Constant, {0, 0, 0}};
    };
    expect_error({pad(1ull << 32, {})}, 4, 4, CoreErrorKind::Invalid, "dimensions exceed the native backend limit");
    expect_error({pad({}, ~0ull)}, 4, 4, CoreErrorKind::Invalid, "padded dimensions overflow");
    expect_error({pad({}, {})}, 4, 4, CoreErrorKind::Invalid, "missing pad divisor");
}

TEST(Sampling, CoarseDropoutHoles) {
    const auto dropout = compiled(config::CoarseDropout{1, {3, 3}, FractionExtent{0.01f, 0.01f},
                                                        PixelExtent{50, 60}, {7, 8, 9}});
    const auto& sample = only<sampled::CoarseDropout>(sample_ok({dropout}, 10, 40));
    EXPECT_EQ(sample.fill, (Fill{7, 8, 9}));
    ASSERT_EQ(sample.holes.size(), 3u);
    for (const auto& hole : sample.holes) {
        EXPECT_EQ(hole.height, 1u);  // floor(0.01 * 10) = 0 becomes 1
        EXPECT_EQ(hole.width, 40u);  // pixel sizes are clipped to the side
        EXPECT_LE(hole.top, 9u);
        EXPECT_EQ(hole.left, 0u);
    }
    for (std::uint64_t seed = 0; seed < 100; ++seed) {
        const auto plan = compiled(config::CoarseDropout{1, {1, 5}, FractionExtent{0.1f, 0.5f}, PixelExtent{1, 9}, {0}});
        const auto& holes = only<sampled::CoarseDropout>(sample_ok({plan}, 17, 13, seed)).holes;
        ASSERT_GE(holes.size(), 1u);
        ASSERT_LE(holes.size(), 5u);
        for (const auto& hole : holes) {
            EXPECT_GE(hole.height, 1u);
            EXPECT_LE(hole.height, 8u);  // floor(0.5 * 17)
            EXPECT_LE(hole.top + hole.height, 17u);
            EXPECT_LE(hole.left + hole.width, 13u);
        }
    }
    // Counts the compiler would reject: none records an empty list; a count
    // beyond any list fails without touching memory.
    const TransformPlan none = plan::CoarseDropout{1, {0, 0}, PixelExtent{1, 1}, PixelExtent{1, 1}, {0, 0, 0}};
    EXPECT_TRUE(only<sampled::CoarseDropout>(sample_ok({none}, 4, 4)).holes.empty());
    EXPECT_EQ(words_before_probe({none}, 4, 4), 1);
    const TransformPlan huge = plan::CoarseDropout{1, {1ull << 62, 1ull << 62}, PixelExtent{1, 1}, PixelExtent{1, 1}, {}};
    expect_error({huge}, 4, 4, CoreErrorKind::Runtime, "dropout sample allocation failed");
}

TEST(Sampling, ColorJitterOrder) {
    std::set<std::array<std::uint8_t, 4>> orders;
    const auto still_hue = compiled(config::ColorJitter{1, {0.5f, 1.5f}, {1, 1}, {0, 2}, {0, -0.0f}});
    const auto moving_hue = compiled(config::ColorJitter{1, {0.5f, 1.5f}, {1, 1}, {0, 2}, {-0.1f, 0.1f}});
    std::set<std::uint8_t> hue_positions;
    for (std::uint64_t seed = 0; seed < 300; ++seed) {
        const auto jitter = only<sampled::ColorJitter>(sample_ok({still_hue}, 4, 4, seed));
        EXPECT_FALSE(jitter.hue_active);
        EXPECT_EQ(jitter.order[3], sampled::JITTER_HUE);
        EXPECT_EQ(jitter.contrast, 1.0f);
        EXPECT_EQ(jitter.hue, 0.0f);
        EXPECT_TRUE(jitter.brightness >= 0.5f && jitter.brightness <= 1.5f);
        orders.insert(jitter.order);

        const auto active = only<sampled::ColorJitter>(sample_ok({moving_hue}, 4, 4, seed));
        EXPECT_TRUE(active.hue_active);
        EXPECT_TRUE(active.hue >= -0.1f && active.hue <= 0.1f);
        for (std::uint8_t i = 0; i < 4; ++i) {
            if (active.order[i] == sampled::JITTER_HUE) hue_positions.insert(i);
        }
    }
    EXPECT_EQ(orders.size(), 6u);
    EXPECT_EQ(hue_positions.size(), 4u);
}

TEST(Sampling, AffineDrawOrderAndTranslationBounds) {
    const auto plan =
        compiled(config::Affine{1, {-30, 30}, {0.25f, 0.5f}, {0.5f, 2.0f}, {-10, 10, -20, 20}, I::Bilinear, B::Constant, {0}});
    const auto affine = only<sampled::Affine>(sample_ok({plan}, 40, 80));
    StreamRng rng = StreamRng::from_seed(SEED);
    EXPECT_EQ(affine.angle, rng.sample_uniform(-30, 30));
    EXPECT_EQ(affine.translate_x, rng.sample_uniform(-20, 20));  // 80 * 0.25
    EXPECT_EQ(affine.translate_y, rng.sample_uniform(-20, 20));  // 40 * 0.5
    EXPECT_EQ(affine.scale, rng.sample_uniform(0.5f, 2.0f));
    EXPECT_EQ(affine.shear_x, rng.sample_uniform(-10, 10));
    EXPECT_EQ(affine.shear_y, rng.sample_uniform(-20, 20));

    const auto fixed = compiled(config::Affine{1, {0, 0}, {0, 0}, {1, 1}, {0, 0, 0, 0}, I::Bilinear, B::Constant, {0}});
    const auto still = only<sampled::Affine>(sample_ok({fixed}, 40, 80));
    EXPECT_TRUE(std::signbit(still.translate_x));
    EXPECT_TRUE(std::signbit(still.translate_y));
}

TEST(Sampling, NoiseSharpenBlurAndCopiedValues) {
    const std::vector<TransformPlan> plans = {
        compiled(config::GaussianNoise{1, {-2, 2}, {1, 5}, true}),
        compiled(config::Sharpen{1, {0.2f, 0.5f}, {0.5f, 1.0f}}),
        compiled(config::GaussianBlur{1, 5, {0.5f, 2.0f}}),
        config::Solarize{1, 77},
        compiled(config::Posterize{1, 3}),
    };
    const auto samples = sample_ok(plans, 8, 8);
    StreamRng rng = StreamRng::from_seed(SEED);
    const auto& noise = only<sampled::GaussianNoise>(samples, 0);
    EXPECT_EQ(noise.mean, rng.sample_uniform(-2, 2));
    EXPECT_EQ(noise.std, rng.sample_uniform(1, 5));
    EXPECT_EQ(noise.noise_seed, rng.next_word());
    EXPECT_TRUE(noise.per_channel);
    const auto& sharpen = only<sampled::Sharpen>(samples, 1);
    EXPECT_EQ(sharpen.alpha, rng.sample_uniform(0.2f, 0.5f));
    EXPECT_EQ(sharpen.lightness, rng.sample_uniform(0.5f, 1.0f));
    EXPECT_EQ(only<sampled::GaussianBlur>(samples, 2).sigma, rng.sample_uniform(0.5f, 2.0f));
    EXPECT_EQ(only<sampled::Solarize>(samples, 3).threshold, 77);
    EXPECT_EQ(only<sampled::Posterize>(samples, 4).bits, 3);
}

std::array<double, 2> apply_homography(const std::array<float, 9>& m, double x, double y) {
    const double w = m[6] * x + m[7] * y + 1.0;
    return {(m[0] * x + m[1] * y + m[2]) / w, (m[3] * x + m[4] * y + m[5]) / w};
}

TEST(Sampling, PerspectiveMapsDisplacedCornersToSourceCorners) {
    constexpr float scale = 0.3f;
    const auto plan = compiled(config::Perspective{1, {scale, scale}, I::Bilinear, B::Constant, {0}});
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const auto matrix = only<sampled::Perspective>(sample_ok({plan}, 50, 70, seed)).matrix;
        EXPECT_EQ(matrix[8], 1.0f);
        StreamRng rng = StreamRng::from_seed(seed);
        std::array<double, 8> d{};
        for (double& v : d) v = rng.uniform_f64(0, scale);
        const double x = 69;
        const double y = 49;
        const double displaced[4][2] = {
            {d[0] * x, d[1] * y}, {x - d[2] * x, d[3] * y}, {x - d[4] * x, y - d[5] * y}, {d[6] * x, y - d[7] * y}};
        const double source[4][2] = {{0, 0}, {x, 0}, {x, y}, {0, y}};
        for (int c = 0; c < 4; ++c) {
            const auto mapped = apply_homography(matrix, displaced[c][0], displaced[c][1]);
            EXPECT_NEAR(mapped[0], source[c][0], 1e-3) << "seed " << seed << " corner " << c;
            EXPECT_NEAR(mapped[1], source[c][1], 1e-3) << "seed " << seed << " corner " << c;
        }
    }
    const std::array<float, 9> identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const auto undisplaced = compiled(config::Perspective{1, {0, 0}, I::Bilinear, B::Constant, {0}});
    const auto square = only<sampled::Perspective>(sample_ok({undisplaced}, 50, 70)).matrix;
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(square[i], identity[i], 1e-6) << i;
    EXPECT_EQ(only<sampled::Perspective>(sample_ok({plan}, 50, 1)).matrix, identity);
}

TEST(Sampling, GridMapsRunFromZeroToTheLastIndex) {
    for (std::uint64_t size : {2u, 3u, 7u, 224u, 1001u}) {
        for (std::uint64_t steps : {1u, 5u, 300u}) {
            for (std::uint64_t seed = 0; seed < 8; ++seed) {
                StreamRng rng = StreamRng::from_seed(seed);
                const auto map = sample_grid_map(size, steps, {-0.95f, 0.95f}, rng);
                ASSERT_TRUE(map.has_value());
                ASSERT_EQ(map->size(), size);
                EXPECT_EQ(map->front(), 0.0f);
                EXPECT_EQ(map->back(), static_cast<float>(size - 1));
                for (std::size_t i = 1; i < size; ++i) {
                    ASSERT_LT((*map)[i - 1], (*map)[i]) << size << " " << steps << " " << i;
                }
                StreamRng count = StreamRng::from_seed(seed);
                for (std::uint64_t j = 0; j < std::min(steps, size - 1); ++j) (void)count.next_word();
                EXPECT_EQ(rng.state(), count.state());
            }
        }
    }
    StreamRng rng = StreamRng::from_seed(1);
    EXPECT_EQ(*sample_grid_map(1, 4, {-0.5f, 0.5f}, rng), std::vector<float>{0.0f});
    EXPECT_EQ(*sample_grid_map(4, 4, {-0.0f, 0.0f}, rng), (std::vector<float>{0, 1, 2, 3}));
    EXPECT_EQ(rng.state(), StreamRng::from_seed(1).state());
    // Zero steps would leave a single anchor to interpolate between: refused, nothing drawn.
    const auto no_steps = sample_grid_map(6, 0, {-0.5f, 0.5f}, rng);
    ASSERT_FALSE(no_steps.has_value());
    EXPECT_EQ(no_steps.error().kind, CoreErrorKind::Invalid);
    EXPECT_EQ(no_steps.error().message, "GridDistortion num_steps must be positive");
    EXPECT_EQ(rng.state(), StreamRng::from_seed(1).state());
}

TEST(Sampling, GridDistortionRecordsBothAxes) {
    const auto plan = compiled(config::GridDistortion{1, 4, {-0.3f, 0.3f}, I::Bilinear, B::Constant, {0}});
    const auto& grid = only<sampled::GridDistortion>(sample_ok({plan}, 6, 9));
    StreamRng rng = StreamRng::from_seed(SEED);
    EXPECT_EQ(grid.x_map, *sample_grid_map(9, 4, {-0.3f, 0.3f}, rng));
    EXPECT_EQ(grid.y_map, *sample_grid_map(6, 4, {-0.3f, 0.3f}, rng));
}

std::vector<float> floats_from_bits(std::initializer_list<std::uint32_t> bits) {
    std::vector<float> values;
    for (std::uint32_t b : bits) values.push_back(std::bit_cast<float>(b));
    return values;
}

// Values worked out by a separate model of the stream and the procedures
// (integer draws, f32 and f64 arithmetic in the stated order), bit for bit:
// a change in any rounding or any draw order shows here.
TEST(Sampling, MatchesIndependentlyComputedValues) {
    const std::vector<TransformPlan> plans = {
        compiled(config::RandomResizedCrop{1, 9, 7, {0.08f, 1.0f}, {0.75f, 1.3333334f}, I::Bilinear, true}),
        compiled(config::CoarseDropout{1, {1, 3}, FractionExtent{0.1f, 0.5f}, PixelExtent{1, 4}, {0}}),
        compiled(config::ColorJitter{1, {0.6f, 1.4f}, {0.7f, 1.3f}, {0, 2}, {-0.1f, 0.1f}}),
        compiled(config::Perspective{1, {0.05f, 0.3f}, I::Bilinear, B::Constant, {0}}),
        compiled(config::GridDistortion{1, 3, {-0.3f, 0.3f}, I::Bilinear, B::Constant, {0}}),
        probe(),
    };
    const auto samples = sample_ok(plans, 60, 90, stream_seed(7, 3));
    ASSERT_EQ(samples.size(), plans.size());
    EXPECT_EQ(only<sampled::RandomResizedCrop>(samples, 0), (sampled::RandomResizedCrop{9, 7, 22, 19, 23, 21}));
    EXPECT_EQ(only<sampled::CoarseDropout>(samples, 1).holes,
              (std::vector<sampled::DropoutHole>{{8, 4, 1, 3}, {6, 1, 1, 4}, {4, 1, 3, 1}}));
    const auto jitter = only<sampled::ColorJitter>(samples, 2);
    EXPECT_EQ(floats_from_bits({0x3fb0b6f8, 0x3f8c65cd, 0x3eb73950, 0xbda3110d}),
              (std::vector<float>{jitter.brightness, jitter.contrast, jitter.saturation, jitter.hue}));
    EXPECT_EQ(jitter.order, (std::array<std::uint8_t, 4>{0, 3, 1, 2}));
    const auto matrix = only<sampled::Perspective>(samples, 3).matrix;
    EXPECT_EQ(std::vector<float>(matrix.begin(), matrix.end()),
              floats_from_bits({0x3f9ad4b0, 0xbd1634da, 0xbf493201, 0x3c61ecdf, 0x3f838a77, 0xbf44a808, 0xb990a368,
                                0xbc3a0997, 0x3f800000}));
    const auto& grid = only<sampled::GridDistortion>(samples, 4);
    EXPECT_EQ(grid.x_map,
              floats_from_bits({0x00000000, 0x3f85e1be, 0x4005e1be, 0x4042e42a, 0x407fe697, 0x409ff9a6, 0x40c00000}));
    EXPECT_EQ(grid.y_map, floats_from_bits({0x00000000, 0x3fa557fc, 0x402557fc, 0x407040b5, 0x4095d172, 0x40b38288,
                                            0x40ce0e2c, 0x40e70716, 0x41000000}));
    EXPECT_EQ(only<sampled::GaussianNoise>(samples, 5).noise_seed, 13714074956834435883ull);

    // Ten failed attempts on a 3 x 500 strip, then the widest allowed centred window.
    const auto strip = sample_ok({plans[0], probe()}, 3, 500, stream_seed(7, 4));
    EXPECT_EQ(only<sampled::RandomResizedCrop>(strip, 0), (sampled::RandomResizedCrop{9, 7, 0, 248, 3, 4}));
    EXPECT_EQ(only<sampled::GaussianNoise>(strip, 1).noise_seed, 13634190039212774047ull);
}

// Compilation keeps every range that reaches a draw finite in width, so no
// draw can produce a non-finite value; the widest accepted ranges still do not.
TEST(Sampling, WidestAcceptedRangesDrawFiniteValues) {
    constexpr float big = 1.7e38f;
    constexpr float max = std::numeric_limits<float>::max();
    const std::vector<TransformPlan> plans = {
        compiled(config::Affine{1, {-big, big}, {1, 1}, {1e-30f, max}, {-89, 89, -89, 89}, I::Bilinear, B::Constant, {0}}),
        compiled(config::RandomRotation{1, {-big, big}, I::Bilinear, B::Constant, {0}}),
        compiled(config::GaussianNoise{1, {-big, big}, {0, max}, false}),
        compiled(config::ColorJitter{1, {0, max}, {0, max}, {0, max}, {-0.5f, 0.5f}}),
        compiled(config::Sharpen{1, {0, 1}, {0, max}}),
        compiled(config::GaussianBlur{1, 3, {1e-3f, 1e3f}}),
    };
    for (std::uint64_t seed = 0; seed < 50; ++seed) {
        for (const auto& sample : sample_ok(plans, 0xffffffff, 0xffffffff, seed)) {
            std::visit(
                [](const auto& s) {
                    if constexpr (requires { s.angle; }) {
                        EXPECT_TRUE(std::isfinite(s.angle));
                    }
                    if constexpr (requires { s.translate_x; }) {
                        EXPECT_TRUE(std::isfinite(s.translate_x) && std::isfinite(s.translate_y));
                        EXPECT_TRUE(std::isfinite(s.scale) && std::isfinite(s.shear_x));
                    }
                    if constexpr (requires { s.mean; }) {
                        EXPECT_TRUE(std::isfinite(s.mean) && std::isfinite(s.std));
                    }
                    if constexpr (requires { s.brightness; }) {
                        EXPECT_TRUE(std::isfinite(s.brightness) && std::isfinite(s.saturation));
                    }
                    if constexpr (requires { s.lightness; }) {
                        EXPECT_TRUE(std::isfinite(s.lightness));
                    }
                },
                sample);
        }
    }
    // One step wider and the width overflows: compilation names the range.
    struct Case {
        TransformSpec spec;
        const char* message;
    };
    const Case rejected[] = {
        {config::Affine{1, {-3e38f, 3e38f}, {0, 0}, {1, 1}, {0, 0, 0, 0}, I::Bilinear, B::Constant, {0}},
         "Affine degrees must be a finite ordered range"},
        {config::RandomRotation{1, {-3e38f, 3e38f}, I::Bilinear, B::Constant, {0}},
         "RandomRotation degrees must be a finite ordered range"},
        {config::GaussianNoise{1, {-3e38f, 3e38f}, {0, 1}, false}, "GaussianNoise mean must be an ordered finite range"},
    };
    for (const Case& c : rejected) {
        auto plan = compile_one(c.spec);
        ASSERT_FALSE(plan.has_value()) << c.message;
        EXPECT_EQ(plan.error().kind, CoreErrorKind::Invalid);
        EXPECT_EQ(plan.error().message, c.message);
    }
}

}  // namespace
}  // namespace tessalumen
