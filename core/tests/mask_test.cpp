// Mask geometry, the nearest-neighbour resampler and the affine inverse
// matrix that masks share with the image warps.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "mask.h"
#include "operations/affine_matrix.h"
#include "resampler.h"

namespace tessalumen {
namespace {

constexpr std::uint8_t CONSTANT = 0;
constexpr std::uint8_t REFLECT = 1;

// A mask whose bytes are 0, 1, 2, ... in row-major order (mod 256).
MaskRaster counting_mask(std::uint64_t height, std::uint64_t width) {
    Bytes data(height * width);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    return {std::move(data), height, width};
}

std::uint8_t at(const MaskRaster& mask, std::uint64_t row, std::uint64_t column) {
    return mask.data[row * mask.width + column];
}

MaskStep step(MaskAction action, std::uint8_t border = CONSTANT) { return {"step", 1.0f, action, border}; }

CoreResult<MaskRaster> run(std::vector<MaskStep> steps, std::vector<SampledTransform> samples, MaskRaster mask,
                           std::uint8_t fill = 0, bool reuse = true) {
    Workspace workspace;
    return MaskPlan{std::move(steps)}.apply_image(samples, std::move(mask), fill, workspace, reuse);
}

// ---- Nearest-neighbour resampler ----

TEST(NearestResampler, AxisIndicesFollowTheHalfStepRule) {
    struct Case {
        std::uint64_t source, output;
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {4, 2, {1, 3}},       {2, 4, {0, 0, 1, 1}}, {3, 3, {0, 1, 2}},
        {5, 3, {0, 2, 4}},    {1, 3, {0, 0, 0}},    {3, 1, {1}},
        {7, 4, {0, 2, 4, 6}}, {4, 6, {0, 1, 1, 2, 3, 3}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint32_t> indices;
        nearest_axis_indices(c.source, c.output, indices);
        EXPECT_EQ(indices, c.expected) << c.source << " -> " << c.output;
    }
    // Ratios where the product form trunc((t + 0.5) s) truncates the other
    // way: the sum 0.5 s + t s is what decides.
    struct Single {
        std::uint64_t source, output, t;
        std::uint32_t expected;
    };
    for (const Single& c : {Single{2, 29, 14, 0}, Single{2, 49, 24, 1}, Single{2, 79, 39, 0}}) {
        std::vector<std::uint32_t> indices;
        nearest_axis_indices(c.source, c.output, indices);
        EXPECT_EQ(indices[c.t], c.expected) << c.source << " -> " << c.output << " at " << c.t;
    }
}

TEST(NearestResampler, CopiesWholePixelsForBothLayouts) {
    // Independent reference: every output pixel from the formula, per channel.
    for (const ResamplePixel pixel : {ResamplePixel::U8x1, ResamplePixel::U8x3}) {
        const std::uint64_t channels = static_cast<std::uint64_t>(pixel);
        for (const auto [sh, sw, oh, ow] : {std::array<std::uint64_t, 4>{3, 5, 7, 2}, {4, 4, 4, 4}, {1, 9, 3, 4},
                                            std::array<std::uint64_t, 4>{6, 1, 2, 5}}) {
            Bytes source(sh * sw * channels);
            for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7 + 3);
            Bytes output(oh * ow * channels);
            auto src = resample_source(sw, sh, pixel, source);
            auto dst = resample_destination(ow, oh, pixel, output);
            ASSERT_TRUE(src && dst);
            ResamplerState state;
            ASSERT_TRUE(resample(state, *src, *dst, ResampleAlgorithm::Nearest));
            for (std::uint64_t y = 0; y < oh; ++y) {
                const auto sy = static_cast<std::uint64_t>(0.5 * (double(sh) / oh) + y * (double(sh) / oh));
                for (std::uint64_t x = 0; x < ow; ++x) {
                    const auto sx = static_cast<std::uint64_t>(0.5 * (double(sw) / ow) + x * (double(sw) / ow));
                    for (std::uint64_t c = 0; c < channels; ++c) {
                        ASSERT_EQ(output[(y * ow + x) * channels + c], source[(sy * sw + sx) * channels + c])
                            << sh << "x" << sw << " -> " << oh << "x" << ow << " at " << y << "," << x;
                    }
                }
            }
        }
    }
}

TEST(NearestResampler, RefusesBuffersThatDoNotHoldTheImage) {
    Bytes five(5);
    EXPECT_FALSE(resample_source(3, 2, ResamplePixel::U8x1, five));
    EXPECT_TRUE(resample_source(2, 2, ResamplePixel::U8x1, five));  // a longer source is accepted
    EXPECT_FALSE(resample_destination(2, 2, ResamplePixel::U8x1, five));
    EXPECT_FALSE(resample_source(0, 2, ResamplePixel::U8x1, five));
    EXPECT_FALSE(resample_source(std::uint64_t{1} << 32, 1, ResamplePixel::U8x1, five));
    const auto refused = resample_destination(1, 2, ResamplePixel::U8x3, five);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "destination buffer of 5 bytes does not hold 1 x 2 pixels of 3 bytes");
}

// ---- Affine inverse matrix ----

TEST(AffineMatrix, IdentityParametersGiveTheIdentityMap) {
    const auto m = inverse_affine_matrix({0, 0, 0, 0, 0, 1}, 7, 9);
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[0], 1.0f);
    EXPECT_EQ((*m)[1], 0.0f);
    EXPECT_EQ((*m)[2], 0.0f);
    EXPECT_EQ((*m)[3], 0.0f);
    EXPECT_EQ((*m)[4], 1.0f);
    EXPECT_EQ((*m)[5], 0.0f);
}

TEST(AffineMatrix, TranslationAndScaleAboutTheCentre) {
    // Shift by (2, -1): output (x, y) reads source (x - 2, y + 1).
    const auto shifted = inverse_affine_matrix({2, -1, 0, 0, 0, 1}, 5, 5);
    ASSERT_TRUE(shifted);
    EXPECT_EQ((*shifted)[2], -2.0f);
    EXPECT_EQ((*shifted)[5], 1.0f);
    // Scale 2 about the centre (2, 2) of a 5 x 5 raster: source = centre + (x - centre) / 2.
    const auto scaled = inverse_affine_matrix({0, 0, 0, 0, 0, 2}, 5, 5);
    ASSERT_TRUE(scaled);
    EXPECT_EQ((*scaled)[0], 0.5f);
    EXPECT_EQ((*scaled)[4], 0.5f);
    EXPECT_EQ((*scaled)[2], 1.0f);
    EXPECT_EQ((*scaled)[5], 1.0f);
}

// Rotation, shear, translation and scale together: the entries are pinned to
// the bits of an independent step-by-step f32 evaluation with the
// single-precision sine, cosine and tangent, so any change in the order of
// operations (which would move masks and nearest warps by a pixel at some
// positions) shows up here.
TEST(AffineMatrix, EntriesMatchTheStepwiseSinglePrecisionEvaluation) {
    struct Case {
        AffineParameters parameters;
        std::uint64_t height, width;
        std::array<std::uint32_t, 6> bits;
    };
    const Case cases[] = {
        {{1.5f, -2.25f, 10.0f, 5.0f, -47.5f, 1.3f}, 7, 9,
         {0x3f20b128, 0xbef7efbe, 0x3f692b8c, 0x3f1cd38c, 0x3ef0ac97, 0xbf38cc38}},
        {{0, 0, 0, 0, 30.0f, 1.0f}, 16, 16, {0x3f5db3d7, 0x3f000000, 0xc02fb134, 0xbf000000, 0x3f5db3d7, 0x40982766}},
        {{3.0f, 0.5f, -33.0f, 20.0f, 181.0f, 0.7f}, 13, 8,
         {0xbf8daff3, 0x3f689668, 0x409943b7, 0xbefd6997, 0xbfb7fda7, 0x41947bc6}},
        // Reassociating b, m0, m2 or m3 changes at least one of these bits.
        {{3.83f, -5.89f, -21.8f, -3.1f, 62.1f, 1.92f}, 157, 206,
         {0x3eddbef2, 0x3ebeddee, 0x41ec8964, 0xbef26dc4, 0x3e600922, 0x42e123d8}},
    };
    for (const Case& c : cases) {
        const auto m = inverse_affine_matrix(c.parameters, c.height, c.width);
        ASSERT_TRUE(m);
        for (std::size_t i = 0; i < 6; ++i) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &(*m)[i], sizeof bits);
            EXPECT_EQ(bits, c.bits[i]) << "m" << i << " for angle " << c.parameters.angle;
        }
    }
}

TEST(AffineMatrix, NonFiniteEntriesAreRefused) {
    for (const AffineParameters& p : {AffineParameters{0, 0, 0, 0, 0, 0},
                                      AffineParameters{0, 0, 0, 0, std::numeric_limits<float>::infinity(), 1},
                                      AffineParameters{std::numeric_limits<float>::quiet_NaN(), 0, 0, 0, 0, 1},
                                      AffineParameters{0, 0, 0, 0, 0, 1e-45f}}) {
        const auto m = inverse_affine_matrix(p, 4, 4);
        ASSERT_FALSE(m);
        EXPECT_EQ(m.error().kind, CoreErrorKind::Invalid);
        EXPECT_EQ(m.error().message, "Affine parameters produce non-finite coordinates");
    }
}

// ---- Mask plan ----

TEST(MaskPlan, PhotometricStepsReturnTheVeryBufferThatCameIn) {
    MaskRaster mask = counting_mask(3, 4);
    const std::uint8_t* original = mask.data.data();
    const Bytes expected = mask.data;
    auto out = run({step(MaskAction::ImageOnly), step(MaskAction::ImageOnly), step(MaskAction::ImageOnly)},
                   {sampled::ColorJitter{1.1f, 0.9f, 1.0f, 0.0f, {0, 1, 2, 3}, false}, sampled::GaussianBlur{1.0f},
                    sampled::Normalize{}},
                   std::move(mask));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->data.data(), original);
    EXPECT_EQ(out->data, expected);
}

TEST(MaskPlan, SkippedGeometryLeavesTheMaskAlone) {
    MaskRaster mask = counting_mask(4, 5);
    const Bytes expected = mask.data;
    auto out = run({step(MaskAction::RandomCropGeometry), step(MaskAction::FlipHorizontal),
                    step(MaskAction::AffineGeometry)},
                   {sampled::Skipped{}, sampled::Skipped{}, sampled::Skipped{}}, std::move(mask));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->data, expected);
    EXPECT_EQ(out->height, 4u);
    EXPECT_EQ(out->width, 5u);
}

TEST(MaskPlan, RefusesSamplesThatDoNotFitItsSteps) {
    struct Case {
        std::vector<MaskStep> steps;
        std::vector<SampledTransform> samples;
    };
    std::vector<Case> cases;
    cases.push_back({{step(MaskAction::FlipHorizontal)}, {}});
    cases.push_back({{step(MaskAction::FlipHorizontal)}, {sampled::VerticalFlip{}}});
    cases.push_back({{step(MaskAction::ImageOnly)}, {sampled::HorizontalFlip{}}});
    cases.push_back({{step(MaskAction::ResizeGeometry)}, {sampled::RandomCrop{0, 0, 1, 1}}});
    cases.push_back({{step(MaskAction::GridGeometry)}, {sampled::Perspective{}}});
    for (Case& c : cases) {
        auto out = run(c.steps, std::move(c.samples), counting_mask(2, 2));
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, CoreErrorKind::Runtime);
        EXPECT_EQ(out.error().message, "sampled mask plan does not match pipeline");
    }
}

TEST(MaskPlan, CropFlipsAndCentreCrop) {
    // 4 x 5 counting mask; crop rows 1..2, columns 2..4, then mirror both ways.
    auto out = run({step(MaskAction::RandomCropGeometry), step(MaskAction::FlipHorizontal),
                    step(MaskAction::FlipVertical)},
                   {sampled::RandomCrop{1, 2, 2, 3}, sampled::HorizontalFlip{}, sampled::VerticalFlip{}},
                   counting_mask(4, 5));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->height, 2u);
    EXPECT_EQ(out->width, 3u);
    EXPECT_EQ(out->data, (Bytes{14, 13, 12, 9, 8, 7}));

    auto centre = run({step(MaskAction::CenterCropGeometry)}, {sampled::CenterCrop{1, 1, 2, 2}}, counting_mask(4, 4));
    ASSERT_TRUE(centre);
    EXPECT_EQ(centre->data, (Bytes{5, 6, 9, 10}));
}

TEST(MaskPlan, GeometryThatDoesNotFitTheMaskIsAnError) {
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        MaskStep step;
        SampledTransform sample;
        CoreErrorKind kind;
        const char* message;
        std::uint64_t width = 4;  // of a 3-row counting mask
    };
    const Case cases[] = {
        {step(MaskAction::RandomCropGeometry), sampled::RandomCrop{3, 0, 2, 1}, CoreErrorKind::Runtime,
         "sampled crop exceeds mask input"},
        {step(MaskAction::CenterCropGeometry), sampled::CenterCrop{0, huge, 1, 2}, CoreErrorKind::Runtime,
         "sampled crop exceeds mask input"},
        {step(MaskAction::PadGeometry), sampled::PadIfNeeded{3, 0, 5, 4}, CoreErrorKind::Runtime,
         "invalid sampled mask padding geometry"},
        {step(MaskAction::PadGeometry), sampled::PadIfNeeded{huge, 0, 4, 4}, CoreErrorKind::Runtime,
         "invalid sampled mask padding geometry"},
        {step(MaskAction::PadGeometry), sampled::PadIfNeeded{0, 0, huge, 8}, CoreErrorKind::Invalid,
         "mask dimensions overflow"},
        {step(MaskAction::PadGeometry, REFLECT), sampled::PadIfNeeded{std::uint64_t{1} << 63, 0, huge, 1},
         CoreErrorKind::Invalid, "padding dimensions overflow", 1},
        {step(MaskAction::ResizeGeometry), sampled::Resize{huge, 3}, CoreErrorKind::Invalid,
         "mask dimensions overflow"},
        {step(MaskAction::ResizeGeometry), sampled::Resize{0, 3}, CoreErrorKind::Runtime,
         "invalid mask resize destination: image width and height must be positive"},
        {step(MaskAction::ResizeGeometry), sampled::Resize{1, std::uint64_t{1} << 32}, CoreErrorKind::Runtime,
         "invalid mask resize destination: image width and height must be below 4294967296"},
        {step(MaskAction::GridGeometry), sampled::GridDistortion{{0, 1, 2}, {0, 1, 2}}, CoreErrorKind::Runtime,
         "grid maps must match the mask dimensions"},
        {step(MaskAction::AffineGeometry), sampled::Affine{0, 0, 0, 0, 0, 0}, CoreErrorKind::Invalid,
         "Affine parameters produce non-finite coordinates"},
    };
    for (const Case& c : cases) {
        auto out = run({c.step}, {c.sample}, counting_mask(3, c.width));
        ASSERT_FALSE(out) << c.message;
        EXPECT_EQ(out.error().kind, c.kind) << c.message;
        EXPECT_EQ(out.error().message, c.message);
    }
}

TEST(MaskPlan, ConstantPaddingUsesTheMaskFillAndReflectMirrors) {
    // 2 x 3 mask [[0, 1, 2], [3, 4, 5]] padded to 4 x 6 at (1, 2).
    auto constant = run({step(MaskAction::PadGeometry, CONSTANT)}, {sampled::PadIfNeeded{1, 2, 4, 6}},
                        counting_mask(2, 3), 255);
    ASSERT_TRUE(constant);
    EXPECT_EQ(constant->data, (Bytes{255, 255, 255, 255, 255, 255,  //
                                     255, 255, 0,   1,   2,   255,  //
                                     255, 255, 3,   4,   5,   255,  //
                                     255, 255, 255, 255, 255, 255}));
    auto reflect = run({step(MaskAction::PadGeometry, REFLECT)}, {sampled::PadIfNeeded{1, 2, 4, 6}},
                       counting_mask(2, 3), 255);
    ASSERT_TRUE(reflect);
    // Rows: reflect(-1, 2) = 1, 0, 1, reflect(2, 2) = 0; columns: 2, 1, 0, 1, 2, 1.
    EXPECT_EQ(reflect->data, (Bytes{5, 4, 3, 4, 5, 4,  //
                                    2, 1, 0, 1, 2, 1,  //
                                    5, 4, 3, 4, 5, 4,  //
                                    2, 1, 0, 1, 2, 1}));
}

TEST(MaskPlan, PaddingToTheCurrentSizeKeepsTheBuffer) {
    MaskRaster mask = counting_mask(3, 3);
    const std::uint8_t* original = mask.data.data();
    auto out = run({step(MaskAction::PadGeometry)}, {sampled::PadIfNeeded{0, 0, 3, 3}}, std::move(mask));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->data.data(), original);
}

TEST(MaskPlan, ResizeAndResizedCropNeverBlend) {
    auto resized = run({step(MaskAction::ResizeGeometry)}, {sampled::Resize{7, 3}}, counting_mask(4, 5));
    ASSERT_TRUE(resized);
    EXPECT_EQ(resized->height, 7u);
    EXPECT_EQ(resized->width, 3u);
    // Columns 0, 2, 4 (trunc(5/6 + x * 5/3)); rows 0, 0, 1, 2, 2, 3, 3 (trunc(2/7 + y * 4/7),
    // where y = 3 lands exactly on 2 in f64).
    EXPECT_EQ(resized->data, (Bytes{0, 2, 4, 0, 2, 4, 5, 7, 9, 10, 12, 14, 10, 12, 14, 15, 17, 19, 15, 17, 19}));

    // Crop the 2 x 2 window at (1, 1) of a 4 x 4 mask, then enlarge it to 4 x 4.
    auto resized_crop = run({step(MaskAction::ResizedCropGeometry)}, {sampled::RandomResizedCrop{4, 4, 1, 1, 2, 2}},
                            counting_mask(4, 4));
    ASSERT_TRUE(resized_crop);
    EXPECT_EQ(resized_crop->data, (Bytes{5, 5, 6, 6, 5, 5, 6, 6, 9, 9, 10, 10, 9, 9, 10, 10}));
}

TEST(MaskPlan, RotationsOfASquareMoveEveryByte) {
    const std::uint64_t n = 5;
    for (const float angle : {90.0f, 180.0f, -90.0f}) {
        auto out = run({step(MaskAction::RotationGeometry, CONSTANT)}, {sampled::RandomRotation{angle}},
                       counting_mask(n, n), 200);
        ASSERT_TRUE(out);
        const MaskRaster source = counting_mask(n, n);
        std::set<std::uint8_t> seen(out->data.begin(), out->data.end());
        EXPECT_EQ(seen.size(), n * n) << angle;  // a permutation: no fill, no duplicate
        EXPECT_FALSE(seen.contains(200)) << angle;
        for (std::uint64_t y = 0; y < n; ++y) {
            for (std::uint64_t x = 0; x < n; ++x) {
                const std::uint8_t got = at(*out, y, x);
                if (angle == 90.0f) {
                    EXPECT_EQ(got, at(source, n - 1 - x, y));
                } else if (angle == 180.0f) {
                    EXPECT_EQ(got, at(source, n - 1 - y, n - 1 - x));
                }
            }
        }
    }
}

TEST(MaskPlan, AffineKeepsLabelsAndFillsOrMirrorsOutside) {
    // Shifting right by 2 uncovers two columns: fill in constant mode, mirrored labels in reflect mode.
    const sampled::Affine shift{2, 0, 0, 0, 0, 1};
    auto constant = run({step(MaskAction::AffineGeometry, CONSTANT)}, {shift}, counting_mask(2, 4), 9);
    ASSERT_TRUE(constant);
    EXPECT_EQ(constant->data, (Bytes{9, 9, 0, 1, 9, 9, 4, 5}));
    auto reflect = run({step(MaskAction::AffineGeometry, REFLECT)}, {shift}, counting_mask(2, 4), 9);
    ASSERT_TRUE(reflect);
    EXPECT_EQ(reflect->data, (Bytes{2, 1, 0, 1, 6, 5, 4, 5}));

    // A generic warp only ever produces input labels or the fill.
    MaskRaster labels{Bytes(24 * 31), 24, 31};
    for (std::size_t i = 0; i < labels.data.size(); ++i) labels.data[i] = static_cast<std::uint8_t>((i / 7) % 3 * 50);
    auto warped = run({step(MaskAction::AffineGeometry)}, {sampled::Affine{3.5f, -2.25f, 7.0f, -4.0f, 33.0f, 1.3f}},
                      std::move(labels), 77);
    ASSERT_TRUE(warped);
    for (const std::uint8_t v : warped->data) EXPECT_TRUE(v == 0 || v == 50 || v == 100 || v == 77) << int(v);
}

TEST(MaskPlan, AffineRefusesMasksWiderThanTheAxisLimit) {
    MaskRaster wide{Bytes((std::uint64_t{1} << 24) + 1), 1, (std::uint64_t{1} << 24) + 1};
    auto out = run({step(MaskAction::RotationGeometry)}, {sampled::RandomRotation{10.0f}}, std::move(wide));
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind, CoreErrorKind::Invalid);
    EXPECT_EQ(out.error().message, "Affine mask dimensions must not exceed 16777216 per axis");
}

TEST(MaskPlan, PerspectiveWritesTheFillWhereTheMapBreaksDown) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::array<float, 9> identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    auto same = run({step(MaskAction::PerspectiveGeometry, REFLECT)}, {sampled::Perspective{identity}},
                    counting_mask(3, 4), 99);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->data, counting_mask(3, 4).data);

    // Denominator x - 1: zero in column 1 (fill even in reflect mode); elsewhere
    // the source column is x / (x - 1), rounded.
    const std::array<float, 9> pole{1, 0, 0, 0, 0, 0, 1, 0, -1};
    auto broken = run({step(MaskAction::PerspectiveGeometry, REFLECT)}, {sampled::Perspective{pole}},
                      counting_mask(1, 4), 99);
    ASSERT_TRUE(broken);
    // x = 0: 0 / -1 = -0 -> column 0; x = 1: fill; x = 2: 2 -> 2; x = 3: 1.5 -> 2.
    EXPECT_EQ(broken->data, (Bytes{0, 99, 2, 2}));

    const std::array<float, 9> poisoned{nan, 0, 0, 0, 1, 0, 0, 0, 1};
    auto filled = run({step(MaskAction::PerspectiveGeometry, REFLECT)}, {sampled::Perspective{poisoned}},
                      counting_mask(2, 2), 42);
    ASSERT_TRUE(filled);
    EXPECT_EQ(filled->data, (Bytes{42, 42, 42, 42}));
}

// The source point is evaluated in f32 in a fixed association:
// den = (g x + h y) + i, X = ((a x + b y) + c) / den. Grouping either sum the
// other way moves some of these pixels to a neighbouring source pixel.
TEST(MaskPlan, PerspectiveKeepsTheSinglePrecisionOrderOfOperations) {
    const std::array<float, 9> matrix{0.23f, -1.39f, 0.188f, -0.114f, -0.13f, 0.24f, 0.023f, -0.045f, 1.0f};
    auto out = run({step(MaskAction::PerspectiveGeometry, CONSTANT)}, {sampled::Perspective{matrix}},
                   counting_mask(4, 5), 99);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->data, (Bytes{0, 0, 1, 1, 1, 99, 99, 99, 0, 0, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99}));
}

TEST(MaskPlan, GridRoundsHalfAwayFromZeroWithTheBorderRule) {
    // x map [-1.5, 0.4, 2.5, 3.5] rounds to columns -2, 0, 3, 4; y map [0.5, -0.4] to rows 1, 0.
    const sampled::GridDistortion grid{{-1.5f, 0.4f, 2.5f, 3.5f}, {0.5f, -0.4f}};
    auto constant = run({step(MaskAction::GridGeometry, CONSTANT)}, {grid}, counting_mask(2, 4), 8);
    ASSERT_TRUE(constant);
    EXPECT_EQ(constant->data, (Bytes{8, 4, 7, 8, 8, 0, 3, 8}));
    auto reflect = run({step(MaskAction::GridGeometry, REFLECT)}, {grid}, counting_mask(2, 4), 8);
    ASSERT_TRUE(reflect);
    // Columns reflect to 2, 0, 3, 2.
    EXPECT_EQ(reflect->data, (Bytes{6, 4, 7, 6, 2, 0, 3, 2}));
}

TEST(MaskPlan, StagedFreshNeverTouchesTheBytePool) {
    Workspace workspace;
    workspace.recycle_u8(Bytes(1000));
    const std::uint8_t* pooled = workspace.pooled_u8()[0].data();
    const MaskPlan plan{{step(MaskAction::RandomCropGeometry), step(MaskAction::PadGeometry),
                         step(MaskAction::ResizeGeometry), step(MaskAction::RotationGeometry)}};
    const std::vector<SampledTransform> samples{sampled::RandomCrop{1, 1, 3, 3}, sampled::PadIfNeeded{1, 1, 5, 5},
                                                sampled::Resize{4, 6}, sampled::RandomRotation{30.0f}};
    auto fresh = plan.apply_image(samples, counting_mask(6, 6), 0, workspace, false);
    ASSERT_TRUE(fresh);
    ASSERT_EQ(workspace.pooled_u8().size(), 1u);
    EXPECT_EQ(workspace.pooled_u8()[0].data(), pooled);

    // Pooled buffers hold stale bytes; the result must not depend on them.
    auto pooled_run = plan.apply_image(samples, counting_mask(6, 6), 0, workspace, true);
    ASSERT_TRUE(pooled_run);
    EXPECT_EQ(pooled_run->data, fresh->data);
}

}  // namespace
}  // namespace tessalumen
