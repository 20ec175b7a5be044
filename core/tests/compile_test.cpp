#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "engine.h"

namespace tessalumen {
namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float Inf = std::numeric_limits<float>::infinity();

// A valid step of every transform, with p = 1.
TransformSpec valid_step(TransformKind kind) {
    using I = Interpolation;
    using B = BorderMode;
    switch (kind) {
        case TransformKind::Resize: return config::Resize{1, 8, 8, I::Bilinear, true};
        case TransformKind::LongestMaxSize: return config::LongestMaxSize{1, 8, I::Bilinear, false};
        case TransformKind::RandomCrop: return config::RandomCrop{1, 4, 4};
        case TransformKind::RandomResizedCrop:
            return config::RandomResizedCrop{1, 8, 8, {0.08f, 1.0f}, {0.75f, 1.3333f}, I::Bilinear, true};
        case TransformKind::HorizontalFlip: return config::HorizontalFlip{1};
        case TransformKind::VerticalFlip: return config::VerticalFlip{1};
        case TransformKind::CenterCrop: return config::CenterCrop{1, 4, 4};
        case TransformKind::PadIfNeeded:
            return config::PadIfNeeded{1, 16, 16, std::nullopt, std::nullopt, PadPosition::Center, B::Constant, {0}};
        case TransformKind::CoarseDropout:
            return config::CoarseDropout{1, {1, 4}, FractionExtent{0.1f, 0.2f}, PixelExtent{2, 8}, {0}};
        case TransformKind::ColorJitter:
            return config::ColorJitter{1, {0.8f, 1.2f}, {0.8f, 1.2f}, {0.8f, 1.2f}, {-0.1f, 0.1f}};
        case TransformKind::Affine:
            return config::Affine{1, {-10, 10}, {0.1f, 0.1f}, {0.9f, 1.1f}, {-5, 5, -5, 5}, I::Bilinear, B::Constant, {0}};
        case TransformKind::RandomRotation: return config::RandomRotation{1, {-10, 10}, I::Bilinear, B::Constant, {0}};
        case TransformKind::GaussianNoise: return config::GaussianNoise{1, {0, 0}, {1, 5}, false};
        case TransformKind::Sharpen: return config::Sharpen{1, {0.2f, 0.5f}, {0.5f, 1.0f}};
        case TransformKind::Perspective: return config::Perspective{1, {0.05f, 0.1f}, I::Bilinear, B::Constant, {0}};
        case TransformKind::GridDistortion:
            return config::GridDistortion{1, 5, {-0.3f, 0.3f}, I::Bilinear, B::Constant, {0}};
        case TransformKind::GaussianBlur: return config::GaussianBlur{1, 3, {1, 1}};
        case TransformKind::Grayscale: return config::Grayscale{1};
        case TransformKind::Invert: return config::Invert{1};
        case TransformKind::Solarize: return config::Solarize{1, 128};
        case TransformKind::Posterize: return config::Posterize{1, 4};
        case TransformKind::Normalize: return config::Normalize{1, {0.5f}, {0.25f}, 255.0f};
    }
    return config::Invert{1};
}

template <class Step>
TransformSpec with(TransformKind kind, std::function<void(Step&)> change) {
    TransformSpec spec = valid_step(kind);
    change(std::get<Step>(spec));
    return spec;
}

PipelineSpec pipeline_of(std::vector<TransformSpec> steps, std::size_t image_targets = 1) {
    std::vector<TargetDescriptor> descriptors(image_targets, TargetDescriptor{TargetRole::Image, 0, true, false});
    return PipelineSpec::with_target_requirements(std::move(steps), std::move(descriptors));
}

CoreResult<CompiledPipeline> compile_steps(std::vector<TransformSpec> steps, ExecutionMode mode = ExecutionMode::Reference) {
    return ExecutionPlan::compile(pipeline_of(std::move(steps)), mode);
}

TEST(Compile, EveryTransformCompilesInEveryMode) {
    for (auto mode : {ExecutionMode::Reference, ExecutionMode::Compiled, ExecutionMode::StagedFresh,
                      ExecutionMode::StagedReuse}) {
        for (std::size_t k = 0; k < TRANSFORM_COUNT; ++k) {
            const auto kind = static_cast<TransformKind>(k);
            auto compiled = compile_steps({valid_step(kind)}, mode);
            ASSERT_TRUE(compiled.has_value()) << transform_name(kind) << ": " << compiled.error().message;
            ASSERT_EQ(compiled->plans.size(), 1u);
            EXPECT_EQ(kind_of(compiled->plans[0]), kind);
            EXPECT_EQ(compiled->mode, mode);
            EXPECT_EQ(compiled->lowering_rgb.nodes.size(), 1u);
            EXPECT_EQ(compiled->lowering_gray.nodes.size(), 1u);
            ASSERT_EQ(compiled->mask_plan.steps.size(), 1u);
            EXPECT_EQ(compiled->mask_plan.steps[0].name, transform_name(kind));
        }
    }
}

struct RejectCase {
    const char* name;
    TransformSpec step;
    const char* message;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class CompileRejects : public testing::TestWithParam<RejectCase> {};

TEST_P(CompileRejects, WithExactMessage) {
    const RejectCase& c = GetParam();
    auto compiled = compile_steps({c.step});
    ASSERT_FALSE(compiled.has_value()) << c.name;
    EXPECT_EQ(compiled.error().kind, CoreErrorKind::Invalid);
    EXPECT_EQ(compiled.error().message, c.message);
}

using K = TransformKind;
const char* const PROBABILITY = "probability must be in [0, 1]";
const char* const FILL = "fill requires one or three values";

INSTANTIATE_TEST_SUITE_P(
    Steps, CompileRejects,
    testing::Values(
        RejectCase{"resize zero height", with<config::Resize>(K::Resize, [](auto& s) { s.height = 0; }),
                   "dimensions must be positive"},
        RejectCase{"resize 2^32 width", with<config::Resize>(K::Resize, [](auto& s) { s.width = 1ull << 32; }),
                   "dimensions exceed the native backend limit"},
        RejectCase{"resize huge area",
                   with<config::Resize>(K::Resize, [](auto& s) { s.height = s.width = 0xFFFFFFFFull; }),
                   "image dimensions overflow"},
        // Sizes are checked before the probability.
        RejectCase{"resize zero size and bad p",
                   with<config::Resize>(K::Resize, [](auto& s) { s.height = 0; s.p = 2; }),
                   "dimensions must be positive"},
        RejectCase{"resize NaN p", with<config::Resize>(K::Resize, [](auto& s) { s.p = NaN; }), PROBABILITY},
        RejectCase{"resize negative p", with<config::Resize>(K::Resize, [](auto& s) { s.p = -0.01f; }), PROBABILITY},
        RejectCase{"longest zero", with<config::LongestMaxSize>(K::LongestMaxSize, [](auto& s) { s.max_size = 0; }),
                   "dimensions must be positive"},
        RejectCase{"longest 2^32",
                   with<config::LongestMaxSize>(K::LongestMaxSize, [](auto& s) { s.max_size = 1ull << 32; }),
                   "dimensions exceed the native backend limit"},
        RejectCase{"center crop zero", with<config::CenterCrop>(K::CenterCrop, [](auto& s) { s.width = 0; }),
                   "dimensions must be positive"},
        RejectCase{"random crop p above one", with<config::RandomCrop>(K::RandomCrop, [](auto& s) { s.p = 1.5f; }),
                   PROBABILITY},
        RejectCase{"rrc scale above one",
                   with<config::RandomResizedCrop>(K::RandomResizedCrop, [](auto& s) { s.scale = {0.5f, 1.5f}; }),
                   "scale must be an ordered finite positive range at most 1"},
        RejectCase{"rrc ratio from zero",
                   with<config::RandomResizedCrop>(K::RandomResizedCrop, [](auto& s) { s.ratio = {0, 1}; }),
                   "ratio must be an ordered finite positive range"},
        RejectCase{"rrc ratio reversed",
                   with<config::RandomResizedCrop>(K::RandomResizedCrop, [](auto& s) { s.ratio = {2, 1}; }),
                   "ratio must be an ordered finite positive range"},
        RejectCase{"hflip p", with<config::HorizontalFlip>(K::HorizontalFlip, [](auto& s) { s.p = Inf; }), PROBABILITY},
        RejectCase{"pad min zero", with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.min_height = 0; }),
                   "PadIfNeeded height requires exactly one positive minimum or divisor"},
        RejectCase{"pad min and divisor",
                   with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.min_height = 32; s.pad_height_divisor = 32; }),
                   "PadIfNeeded height requires exactly one positive minimum or divisor"},
        RejectCase{"pad neither width",
                   with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.min_width.reset(); }),
                   "PadIfNeeded width requires exactly one positive minimum or divisor"},
        RejectCase{"pad two fill values",
                   with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.fill = {1, 2}; }), FILL},
        RejectCase{"pad empty fill", with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.fill = {}; }), FILL},
        // The fill count is checked after the probability.
        RejectCase{"pad bad fill and p",
                   with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.fill = {}; s.p = 2; }), PROBABILITY},
        RejectCase{"dropout zero holes",
                   with<config::CoarseDropout>(K::CoarseDropout, [](auto& s) { s.num_holes_range = {0, 2}; }),
                   "CoarseDropout num_holes_range must be an ordered positive range"},
        RejectCase{"dropout fraction above one",
                   with<config::CoarseDropout>(K::CoarseDropout,
                                               [](auto& s) { s.hole_height_range = FractionExtent{0.5f, 1.5f}; }),
                   "CoarseDropout hole_height_range must be an ordered finite positive range at most 1"},
        RejectCase{"dropout pixels reversed",
                   with<config::CoarseDropout>(K::CoarseDropout,
                                               [](auto& s) { s.hole_width_range = PixelExtent{8, 2}; }),
                   "CoarseDropout hole_width_range must be an ordered positive range"},
        RejectCase{"jitter negative brightness",
                   with<config::ColorJitter>(K::ColorJitter, [](auto& s) { s.brightness = {-0.1f, 1}; }),
                   "ColorJitter brightness must be an ordered finite non-negative range"},
        RejectCase{"jitter infinite saturation",
                   with<config::ColorJitter>(K::ColorJitter, [](auto& s) { s.saturation = {1, Inf}; }),
                   "ColorJitter saturation must be an ordered finite non-negative range"},
        RejectCase{"jitter hue below -0.5",
                   with<config::ColorJitter>(K::ColorJitter, [](auto& s) { s.hue = {-0.6f, 0}; }),
                   "ColorJitter hue must be an ordered finite range in [-0.5, 0.5]"},
        RejectCase{"affine degrees NaN", with<config::Affine>(K::Affine, [](auto& s) { s.degrees = {NaN, 1}; }),
                   "Affine degrees must be a finite ordered range"},
        // A range whose width overflows f32 would make every draw from it infinite.
        RejectCase{"affine degrees width overflows",
                   with<config::Affine>(K::Affine, [](auto& s) { s.degrees = {-3e38f, 3e38f}; }),
                   "Affine degrees must be a finite ordered range"},
        RejectCase{"affine translate above one",
                   with<config::Affine>(K::Affine, [](auto& s) { s.translate = {0, 1.01f}; }),
                   "Affine translate values must be finite and in [0, 1]"},
        RejectCase{"affine scale zero", with<config::Affine>(K::Affine, [](auto& s) { s.scale = {0, 1}; }),
                   "Affine scale must be a finite ordered positive range"},
        RejectCase{"affine shear at -90",
                   with<config::Affine>(K::Affine, [](auto& s) { s.shear = {-90, 0, 0, 0}; }),
                   "Affine shear must contain finite ordered ranges within (-90, 90)"},
        RejectCase{"affine shear y reversed",
                   with<config::Affine>(K::Affine, [](auto& s) { s.shear = {0, 0, 5, 4}; }),
                   "Affine shear must contain finite ordered ranges within (-90, 90)"},
        RejectCase{"rotation reversed",
                   with<config::RandomRotation>(K::RandomRotation, [](auto& s) { s.degrees = {5, 4}; }),
                   "RandomRotation degrees must be a finite ordered range"},
        RejectCase{"rotation width overflows",
                   with<config::RandomRotation>(K::RandomRotation, [](auto& s) { s.degrees = {-2e38f, 2e38f}; }),
                   "RandomRotation degrees must be a finite ordered range"},
        RejectCase{"noise mean width overflows",
                   with<config::GaussianNoise>(K::GaussianNoise, [](auto& s) { s.mean = {-3e38f, 3e38f}; }),
                   "GaussianNoise mean must be an ordered finite range"},
        RejectCase{"noise negative std",
                   with<config::GaussianNoise>(K::GaussianNoise, [](auto& s) { s.std = {-1, 1}; }),
                   "GaussianNoise std must be an ordered finite non-negative range"},
        RejectCase{"sharpen alpha above one",
                   with<config::Sharpen>(K::Sharpen, [](auto& s) { s.alpha = {0.5f, 1.5f}; }),
                   "Sharpen alpha values must be in [0, 1]"},
        RejectCase{"sharpen lightness reversed",
                   with<config::Sharpen>(K::Sharpen, [](auto& s) { s.lightness = {2, 1}; }),
                   "Sharpen lightness must be an ordered finite non-negative range"},
        RejectCase{"perspective at 0.5",
                   with<config::Perspective>(K::Perspective, [](auto& s) { s.scale = {0, 0.5f}; }),
                   "Perspective scale values must be in [0, 0.5)"},
        RejectCase{"grid zero steps",
                   with<config::GridDistortion>(K::GridDistortion, [](auto& s) { s.num_steps = 0; }),
                   "GridDistortion num_steps must be positive"},
        RejectCase{"grid limit at -1",
                   with<config::GridDistortion>(K::GridDistortion, [](auto& s) { s.distort_limit = {-1, 0.5f}; }),
                   "GridDistortion distort_limit values must be within (-1, 1)"},
        RejectCase{"grid limit NaN",
                   with<config::GridDistortion>(K::GridDistortion, [](auto& s) { s.distort_limit = {0, NaN}; }),
                   "GridDistortion distort_limit must be an ordered finite range"},
        // The probability is checked first for the blur.
        RejectCase{"blur p before sigma",
                   with<config::GaussianBlur>(K::GaussianBlur, [](auto& s) { s.p = 2; s.sigma = {0, 0}; }), PROBABILITY},
        RejectCase{"blur zero sigma", with<config::GaussianBlur>(K::GaussianBlur, [](auto& s) { s.sigma = {0, 1}; }),
                   "GaussianBlur sigma must be an ordered finite positive range"},
        RejectCase{"blur even size", with<config::GaussianBlur>(K::GaussianBlur, [](auto& s) { s.kernel_size = 4; }),
                   "GaussianBlur requires an odd positive kernel_size and finite sigma > 0"},
        RejectCase{"blur even size sigma range",
                   with<config::GaussianBlur>(K::GaussianBlur, [](auto& s) { s.kernel_size = 4; s.sigma = {1, 2}; }),
                   "GaussianBlur requires an odd positive kernel_size and finite sigma > 0"},
        RejectCase{"blur size near 2^60",
                   with<config::GaussianBlur>(K::GaussianBlur, [](auto& s) { s.kernel_size = (1ull << 60) - 1; }),
                   "GaussianBlur kernel_size is too large"},
        RejectCase{"posterize zero bits", with<config::Posterize>(K::Posterize, [](auto& s) { s.bits = 0; }),
                   "Posterize bits must be in [1, 8]"},
        RejectCase{"posterize nine bits", with<config::Posterize>(K::Posterize, [](auto& s) { s.bits = 9; }),
                   "Posterize bits must be in [1, 8]"},
        RejectCase{"normalize zero std", with<config::Normalize>(K::Normalize, [](auto& s) { s.std = {0}; }),
                   "Normalize mean must be finite; std and max_pixel_value must be finite and positive"},
        RejectCase{"normalize NaN max",
                   with<config::Normalize>(K::Normalize, [](auto& s) { s.max_pixel_value = NaN; }),
                   "Normalize mean must be finite; std and max_pixel_value must be finite and positive"},
        RejectCase{"normalize two means",
                   with<config::Normalize>(K::Normalize, [](auto& s) { s.mean = {0.5f, 0.5f}; }),
                   "mean requires one or three values"},
        // Counts come after the finiteness and probability checks.
        RejectCase{"normalize two means bad p",
                   with<config::Normalize>(K::Normalize, [](auto& s) { s.mean = {0.5f, 0.5f}; s.p = -1; }), PROBABILITY},
        RejectCase{"normalize empty std", with<config::Normalize>(K::Normalize, [](auto& s) { s.std = {}; }),
                   "std requires one or three values"}));

struct AcceptCase {
    const char* name;
    TransformSpec step;
};

void PrintTo(const AcceptCase& c, std::ostream* os) { *os << c.name; }

class CompileAccepts : public testing::TestWithParam<AcceptCase> {};

TEST_P(CompileAccepts, Boundary) {
    auto compiled = compile_steps({GetParam().step});
    EXPECT_TRUE(compiled.has_value()) << GetParam().name << ": " << compiled.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CompileAccepts,
    testing::Values(
        AcceptCase{"brightness zero", with<config::ColorJitter>(K::ColorJitter, [](auto& s) { s.brightness = {0, 0}; })},
        AcceptCase{"negative zero contrast",
                   with<config::ColorJitter>(K::ColorJitter, [](auto& s) { s.contrast = {-0.0f, 0}; })},
        AcceptCase{"translate bounds", with<config::Affine>(K::Affine, [](auto& s) { s.translate = {0, 1}; })},
        AcceptCase{"grid limit inside", with<config::GridDistortion>(
                                            K::GridDistortion, [](auto& s) { s.distort_limit = {-0.99f, 0.99f}; })},
        AcceptCase{"perspective just below half",
                   with<config::Perspective>(K::Perspective, [](auto& s) { s.scale = {0, 0.4999f}; })},
        AcceptCase{"posterize one bit", with<config::Posterize>(K::Posterize, [](auto& s) { s.bits = 1; })},
        AcceptCase{"posterize eight bits", with<config::Posterize>(K::Posterize, [](auto& s) { s.bits = 8; })},
        AcceptCase{"subnormal positive scale",
                   with<config::RandomResizedCrop>(K::RandomResizedCrop, [](auto& s) { s.scale = {1e-45f, 1}; })},
        AcceptCase{"largest finite noise mean width",
                   with<config::GaussianNoise>(K::GaussianNoise, [](auto& s) { s.mean = {-1.7e38f, 1.7e38f}; })},
        AcceptCase{"p zero and one", with<config::Invert>(K::Invert, [](auto& s) { s.p = 0; })},
        AcceptCase{"largest resize", with<config::Resize>(K::Resize, [](auto& s) { s.height = 0xFFFFFFFFull; s.width = 0x55555555ull; })}));

TEST(Compile, PlansExpandFillsMeansAndKernels) {
    auto compiled = compile_steps({with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.fill = {7}; }),
                                   with<config::Affine>(K::Affine, [](auto& s) { s.fill = {1, 2, 3}; }),
                                   valid_step(K::GaussianBlur),
                                   with<config::GaussianBlur>(K::GaussianBlur, [](auto& s) { s.sigma = {1, 2}; }),
                                   with<config::Normalize>(K::Normalize, [](auto& s) { s.mean = {0.1f, 0.2f, 0.3f}; })});
    ASSERT_TRUE(compiled.has_value()) << compiled.error().message;
    const auto& plans = compiled->plans;
    EXPECT_EQ(std::get<plan::PadIfNeeded>(plans[0]).fill, (Fill{7, 7, 7}));
    EXPECT_EQ(std::get<plan::Affine>(plans[1]).fill, (Fill{1, 2, 3}));
    EXPECT_EQ(std::get<plan::GaussianBlur>(plans[2]).kernel, (GaussianKernel{70, 116, 70}));
    EXPECT_FALSE(std::get<plan::GaussianBlur>(plans[3]).kernel.has_value());
    const auto& normalize = std::get<plan::Normalize>(plans[4]);
    EXPECT_EQ(normalize.mean, (std::array<float, 3>{0.1f, 0.2f, 0.3f}));
    EXPECT_EQ(normalize.std, (std::array<float, 3>{0.25f, 0.25f, 0.25f}));
    EXPECT_EQ(normalize.max_pixel_value, 255.0f);
}

TEST(Compile, PipelineChecksComeBeforeStepChecks) {
    // A non-terminal Normalize is reported even though the Resize after it is invalid.
    auto compiled = compile_steps({valid_step(K::Normalize), with<config::Resize>(K::Resize, [](auto& s) { s.height = 0; })});
    ASSERT_FALSE(compiled.has_value());
    EXPECT_EQ(compiled.error().message, "Normalize must be terminal");

    // Two Normalize steps: the first one is not last.
    compiled = compile_steps({valid_step(K::Normalize), valid_step(K::Normalize)});
    ASSERT_FALSE(compiled.has_value());
    EXPECT_EQ(compiled.error().message, "Normalize must be terminal");

    // No targets wins over everything else.
    compiled = ExecutionPlan::compile(pipeline_of({valid_step(K::Normalize), valid_step(K::Resize)}, 0),
                                      ExecutionMode::Reference);
    ASSERT_FALSE(compiled.has_value());
    EXPECT_EQ(compiled.error().kind, CoreErrorKind::Invalid);
    EXPECT_EQ(compiled.error().message, "a pipeline requires at least one target");

    // Steps are validated in order: the first bad step is reported.
    compiled = compile_steps({with<config::Posterize>(K::Posterize, [](auto& s) { s.bits = 0; }),
                              with<config::Resize>(K::Resize, [](auto& s) { s.height = 0; })});
    ASSERT_FALSE(compiled.has_value());
    EXPECT_EQ(compiled.error().message, "Posterize bits must be in [1, 8]");
}

TEST(Compile, MaskPlanCarriesActionsAndBorders) {
    auto compiled = compile_steps({valid_step(K::Resize), valid_step(K::LongestMaxSize),
                                   with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.border_mode = BorderMode::Reflect101; }),
                                   with<config::GridDistortion>(K::GridDistortion, [](auto& s) { s.border_mode = BorderMode::Reflect101; s.p = 0.25f; }),
                                   valid_step(K::ColorJitter), valid_step(K::Normalize)});
    ASSERT_TRUE(compiled.has_value());
    const auto& steps = compiled->mask_plan.steps;
    EXPECT_EQ(steps[0].action, MaskAction::ResizeGeometry);
    EXPECT_EQ(steps[1].action, MaskAction::ResizeGeometry);
    EXPECT_EQ(steps[2].action, MaskAction::PadGeometry);
    EXPECT_EQ(steps[2].border, 1);
    EXPECT_EQ(steps[3].action, MaskAction::GridGeometry);
    EXPECT_EQ(steps[3].border, 1);
    EXPECT_EQ(steps[3].p, 0.25f);
    EXPECT_EQ(steps[4].action, MaskAction::ImageOnly);
    EXPECT_EQ(steps[4].border, 0);
    EXPECT_EQ(steps[5].action, MaskAction::ImageOnly);
}

// The RGB requirement and the channel alternatives it implies.
struct RgbCase {
    const char* name;
    float p;
    std::optional<std::string> requirement;
};

void PrintTo(const RgbCase& c, std::ostream* os) { *os << c.name; }

class RgbRequirement : public testing::TestWithParam<RgbCase> {};

TEST_P(RgbRequirement, FollowsProbability) {
    const RgbCase& c = GetParam();
    const auto affine = with<config::Affine>(K::Affine, [&](auto& s) { s.fill = {255, 0, 0}; s.p = c.p; });

    // Targets: an array-fed image, a mask, a gray-decoded image (only when no requirement exists).
    std::vector<TargetDescriptor> descriptors = {{TargetRole::Image, 0, true, false}, {TargetRole::Mask, 3, true, false}};
    PipelineSpec spec = PipelineSpec::with_target_requirements({affine}, descriptors);
    spec.channel_choices = {{false, 0}, {false, 0}};
    auto compiled = ExecutionPlan::compile(std::move(spec), ExecutionMode::Reference);
    ASSERT_TRUE(compiled.has_value()) << compiled.error().message;
    EXPECT_EQ(compiled->rgb_requirement, c.requirement);
    const std::vector<std::uint64_t> image_alternatives =
        c.requirement ? std::vector<std::uint64_t>{3} : std::vector<std::uint64_t>{1, 3};
    EXPECT_EQ(compiled->channel_alternatives[0], image_alternatives);
    EXPECT_EQ(compiled->channel_alternatives[1], (std::vector<std::uint64_t>{1}));

    PipelineSpec gray = PipelineSpec::with_target_requirements({affine}, {{TargetRole::Image, 0, true, false}});
    gray.channel_choices = {{true, 1}};
    auto gray_compiled = ExecutionPlan::compile(std::move(gray), ExecutionMode::Reference);
    if (c.requirement) {
        ASSERT_FALSE(gray_compiled.has_value());
        EXPECT_EQ(gray_compiled.error().message, "target 0: " + *c.requirement);
    } else {
        ASSERT_TRUE(gray_compiled.has_value());
        EXPECT_EQ(gray_compiled->channel_alternatives[0], (std::vector<std::uint64_t>{1}));
    }
}

INSTANTIATE_TEST_SUITE_P(Probabilities, RgbRequirement,
                         testing::Values(RgbCase{"never applied", 0.0f, std::nullopt},
                                         RgbCase{"half", 0.5f, "Affine fill has three values and requires RGB"},
                                         RgbCase{"always", 1.0f, "Affine fill has three values and requires RGB"}));

TEST(RgbRequirementText, NanProbabilityDoesNotCount) {
    const auto affine = with<config::Affine>(K::Affine, [](auto& s) { s.fill = {255, 0, 0}; s.p = NaN; });
    EXPECT_EQ(rgb_requirement(std::vector<TransformSpec>{affine}), std::nullopt);
}

TEST(RgbRequirementText, FirstStepAndMeanBeforeStd) {
    const std::vector<TransformSpec> steps = {
        with<config::PadIfNeeded>(K::PadIfNeeded, [](auto& s) { s.fill = {1}; }),
        with<config::Perspective>(K::Perspective, [](auto& s) { s.fill = {1, 2, 3}; s.p = 0; }),
        with<config::Normalize>(K::Normalize, [](auto& s) { s.mean = {1, 2, 3}; s.std = {1, 2, 3}; })};
    EXPECT_EQ(rgb_requirement(steps), "Normalize mean has three values and requires RGB");
    const std::vector<TransformSpec> std_only = {
        with<config::Normalize>(K::Normalize, [](auto& s) { s.std = {1, 2, 3}; })};
    EXPECT_EQ(rgb_requirement(std_only), "Normalize std has three values and requires RGB");
    const std::vector<TransformSpec> grid_first = {
        with<config::GridDistortion>(K::GridDistortion, [](auto& s) { s.fill = {1, 2, 3}; s.p = 1e-30f; }),
        with<config::CoarseDropout>(K::CoarseDropout, [](auto& s) { s.fill = {1, 2, 3}; })};
    EXPECT_EQ(rgb_requirement(grid_first), "GridDistortion fill has three values and requires RGB");
}

TEST(Compile, ChannelChoices) {
    const auto descriptors = std::vector<TargetDescriptor>{{TargetRole::Image, 0, true, false},
                                                           {TargetRole::Image, 0, false, true}};
    PipelineSpec mismatched = PipelineSpec::with_target_requirements({}, descriptors);
    mismatched.channel_choices = {{true, 3}};
    auto compiled = ExecutionPlan::compile(std::move(mismatched), ExecutionMode::Reference);
    ASSERT_FALSE(compiled.has_value());
    EXPECT_EQ(compiled.error().message, "channel choices must match targets");

    PipelineSpec unsupported = PipelineSpec::with_target_requirements({}, descriptors);
    unsupported.channel_choices = {{true, 3}, {true, 4}};
    compiled = ExecutionPlan::compile(std::move(unsupported), ExecutionMode::Reference);
    ASSERT_FALSE(compiled.has_value());
    EXPECT_EQ(compiled.error().message, "target 1: unsupported image channels");

    PipelineSpec fixed = PipelineSpec::with_target_requirements({}, descriptors);
    fixed.channel_choices = {{true, 3}, {true, 1}};
    compiled = ExecutionPlan::compile(std::move(fixed), ExecutionMode::Compiled);
    ASSERT_TRUE(compiled.has_value());
    EXPECT_EQ(compiled->channel_alternatives, (std::vector<std::vector<std::uint64_t>>{{3}, {1}}));
    EXPECT_EQ(compiled->requirements[1].chw, true);
    EXPECT_EQ(compiled->requirements[1].hwc, false);
}

TEST(PipelineModel, DescriptorsBecomeTargetsAndRequirements) {
    auto spec = PipelineSpec::with_target_requirements(
        {valid_step(K::Invert)},
        {{TargetRole::Mask, 5, true, false}, {TargetRole::Image, 0, true, true}, {TargetRole::Image, 0, true, false}});
    ASSERT_EQ(spec.targets.size(), 3u);
    EXPECT_EQ(spec.targets[0].role, TargetRole::Mask);
    EXPECT_EQ(spec.targets[0].fill, 5);
    EXPECT_TRUE(spec.requirements[0].hwc);
    EXPECT_TRUE(spec.requirements[1].hwc && spec.requirements[1].chw);
    EXPECT_TRUE(spec.requirements[2].hwc && !spec.requirements[2].chw);
    EXPECT_TRUE(spec.channel_choices.empty());
    EXPECT_EQ(spec.transforms.size(), 1u);
}

}  // namespace
}  // namespace tessalumen
