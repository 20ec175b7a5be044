#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "engine.h"
#include "optimization.h"

namespace tessalumen {
namespace {

using enum KernelForm;
using enum InputMaterialization;
using enum ExecutionMode;
using Slot = OutputSlot;

TransformPlan crop(float p) { return plan::RandomCrop{p, 4, 4}; }
TransformPlan hflip(float p) { return plan::HorizontalFlip{p}; }
TransformPlan affine(float p) {
    return plan::Affine{p, {0, 0}, {0, 0}, {1, 1}, {0, 0, 0, 0}, Interpolation::Bilinear, BorderMode::Constant, {0, 0, 0}};
}
TransformPlan rotation(float p) { return plan::RandomRotation{p, {-5, 5}, Interpolation::Nearest, BorderMode::Constant, {}}; }
TransformPlan jitter(RealRange hue) { return plan::ColorJitter{1, {1, 1}, {1, 1}, {1, 1}, hue}; }
TransformPlan normalize(float p) { return plan::Normalize{p, {0, 0, 0}, {1, 1, 1}, 255}; }
TransformPlan invert(float p) { return plan::Invert{p}; }
TransformPlan vflip(float p) { return plan::VerticalFlip{p}; }
TransformPlan grid() { return plan::GridDistortion{1, 4, {0, 0}, Interpolation::Nearest, BorderMode::Constant, {}}; }
TransformPlan blur() { return plan::GaussianBlur{1, 3, {1, 1}, GaussianKernel{70, 116, 70}}; }
TransformPlan noise() { return plan::GaussianNoise{1, {0, 0}, {1, 1}, false}; }
TransformPlan rrc() { return plan::RandomResizedCrop{1, 4, 4, {0.5f, 1}, {1, 1}, Interpolation::Bilinear, true}; }

struct NodeExpectation {
    KernelForm form;
    InputMaterialization input;
    OutputSlot slot;
    std::string_view reason;
    std::optional<std::string_view> kernel_name = std::nullopt;
};

struct PlanExpectation {
    std::string_view count;
    std::string_view condition;
    bool elided;
    std::uint64_t prefix;
};

constexpr PlanExpectation NO_ELISION{"1", "always", false, 0};

struct LoweringCase {
    const char* name;
    std::vector<TransformPlan> plans;
    ExecutionMode mode;
    std::uint64_t channels;
    std::size_t node;  // which node to check
    NodeExpectation expected;
    PlanExpectation plan;
};

void PrintTo(const LoweringCase& c, std::ostream* os) { *os << c.name; }

class Lowering : public testing::TestWithParam<LoweringCase> {};

TEST_P(Lowering, ChoosesFormAndPlanFields) {
    const LoweringCase& c = GetParam();
    auto lowering = LoweringPlan::compile_channels(c.plans, c.mode, c.channels);
    ASSERT_TRUE(lowering.has_value()) << lowering.error().message;
    ASSERT_EQ(lowering->nodes.size(), c.plans.size());
    const LoweringNode& node = lowering->nodes[c.node];
    EXPECT_EQ(node.kernel_form, c.expected.form);
    EXPECT_EQ(node.input_materialization, c.expected.input);
    EXPECT_EQ(node.output_slot, c.expected.slot);
    EXPECT_EQ(node.selection_reason, c.expected.reason);
    EXPECT_EQ(node.kernel_name, c.expected.kernel_name);
    EXPECT_EQ(lowering->entry_copy_count, c.plan.count);
    EXPECT_EQ(lowering->entry_copy_condition, c.plan.condition);
    EXPECT_EQ(lowering->input_copy_elided, c.plan.elided);
    EXPECT_EQ(lowering->borrowed_prefix, c.plan.prefix);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Lowering,
    testing::Values(
        LoweringCase{"compiled crop half", {crop(0.5f), hflip(1)}, Compiled, 3, 0,
                     {BorrowedToOwned, BorrowedInput, Slot::WorkingU8, "benchmark-policy:elide-entry-copy"},
                     {"0-or-1", "sample-dependent", true, 1}},
        LoweringCase{"reference crop half", {crop(0.5f), hflip(1)}, Reference, 3, 0,
                     {OwnedToOwned, OwnedInputCopy, Slot::ScratchU8, "semantic-legality:owned-to-owned"}, NO_ELISION},
        LoweringCase{"later steps read the previous output", {crop(0.5f), hflip(1)}, Compiled, 3, 1,
                     {OwnedInPlace, PreviousOutput, Slot::WorkingU8, "semantic-legality:owned-in-place"},
                     {"0-or-1", "sample-dependent", true, 1}},
        LoweringCase{"compiled hflip first", {hflip(1)}, Compiled, 3, 0,
                     {OwnedInPlace, OwnedInputCopy, Slot::WorkingU8, "semantic-legality:owned-in-place"}, NO_ELISION},
        LoweringCase{"compiled affine first", {affine(1)}, Compiled, 3, 0,
                     {OwnedToOwned, OwnedInputCopy, Slot::ScratchU8, "benchmark-policy:affine-copy-then-transform"},
                     NO_ELISION},
        LoweringCase{"rotation later", {invert(1), rotation(1)}, StagedReuse, 1, 1,
                     {OwnedToOwned, PreviousOutput, Slot::ScratchU8, "benchmark-policy:affine-copy-then-transform"},
                     NO_ELISION},
        LoweringCase{"compiled first step never applied", {crop(0)}, Compiled, 3, 0,
                     {BorrowedToOwned, BorrowedInput, Slot::WorkingU8, "benchmark-policy:elide-entry-copy"},
                     {"1", "always", false, 1}},
        LoweringCase{"compiled first step always applied", {invert(1)}, Compiled, 1, 0,
                     {BorrowedToOwned, BorrowedInput, Slot::WorkingU8, "benchmark-policy:elide-entry-copy"},
                     {"0", "always-elided", true, 1}},
        LoweringCase{"invert in place outside compiled", {invert(1)}, Reference, 3, 0,
                     {OwnedInPlace, OwnedInputCopy, Slot::WorkingU8, "semantic-legality:owned-in-place"}, NO_ELISION},
        LoweringCase{"vflip in place later", {crop(1), vflip(1)}, Compiled, 3, 1,
                     {OwnedInPlace, PreviousOutput, Slot::WorkingU8, "semantic-legality:owned-in-place"},
                     {"0", "always-elided", true, 1}},
        LoweringCase{"staged-reuse composed jitter drops its name", {jitter({0, 0})}, StagedReuse, 3, 0,
                     {OwnedInPlace, OwnedInputCopy, Slot::WorkingU8, "benchmark-policy:composed-color-matrix"},
                     NO_ELISION},
        LoweringCase{"reference composed jitter", {jitter({-0.0f, 0})}, Reference, 3, 0,
                     {OwnedInPlace, OwnedInputCopy, Slot::WorkingU8, "benchmark-policy:composed-color-matrix",
                      "ColorJitter:composed-color-matrix"},
                     NO_ELISION},
        LoweringCase{"gray composed jitter", {jitter({0, 0})}, Compiled, 1, 0,
                     {OwnedInPlace, OwnedInputCopy, Slot::WorkingU8, "benchmark-policy:composed-color-matrix",
                      "ColorJitter:gray-q14-composition"},
                     NO_ELISION},
        LoweringCase{"jitter with hue", {jitter({-0.1f, 0.1f})}, Compiled, 3, 0,
                     {OwnedInPlace, OwnedInputCopy, Slot::WorkingU8, "semantic-legality:owned-in-place"}, NO_ELISION},
        LoweringCase{"gray normalize alone", {normalize(1)}, Compiled, 1, 0,
                     {BorrowedToOwned, BorrowedInput, Slot::OutputF32Hwc, "benchmark-policy:composed-color-matrix",
                      "single-channel-normalize"},
                     {"0", "always-elided", true, 1}},
        LoweringCase{"rgb normalize alone", {normalize(1)}, Compiled, 3, 0,
                     {BorrowedToOwned, BorrowedInput, Slot::OutputF32Hwc, "benchmark-policy:elide-entry-copy"},
                     {"0", "always-elided", true, 1}},
        LoweringCase{"staged gray normalize keeps the reason", {normalize(0)}, StagedFresh, 1, 0,
                     {OwnedToOwned, OwnedInputCopy, Slot::WorkingU8, "benchmark-policy:composed-color-matrix"},
                     NO_ELISION},
        LoweringCase{"normalize half after others", {hflip(1), normalize(0.5f)}, Compiled, 3, 1,
                     {OwnedToOwned, PreviousOutput, Slot::OutputF32HwcOrWorkingU8, "semantic-legality:owned-to-owned"},
                     NO_ELISION}));

TEST(LoweringPlan, EmptyPipelineInEveryMode) {
    for (auto mode : {Reference, Compiled, StagedFresh, StagedReuse}) {
        for (std::uint64_t channels : {1u, 3u}) {
            auto lowering = LoweringPlan::compile_channels({}, mode, channels);
            ASSERT_TRUE(lowering.has_value());
            EXPECT_TRUE(lowering->nodes.empty());
            EXPECT_EQ(lowering->entry_copy_count, "1");
            EXPECT_EQ(lowering->entry_copy_condition, "always");
            EXPECT_FALSE(lowering->input_copy_elided);
            EXPECT_EQ(lowering->borrowed_prefix, 0u);
        }
    }
}

TEST(LoweringPlan, StaticFieldsFollowTheTransformTable) {
    const std::vector<TransformPlan> plans = {rrc(), grid(), blur(), noise(), jitter({0, 0}), normalize(1)};
    auto lowering = LoweringPlan::compile_channels(plans, Reference, 3);
    ASSERT_TRUE(lowering.has_value());
    const auto& n = lowering->nodes;
    EXPECT_EQ(n[0].scratch_slots, (std::vector<OutputSlot>{Slot::ScratchU8}));
    EXPECT_EQ(n[0].shape_rule, ShapeRule::FixedByConfiguration);
    EXPECT_EQ(n[0].operation_class, OperationClass::ResamplingOrConvolution);
    EXPECT_EQ(n[1].scratch_slots, (std::vector<OutputSlot>{Slot::AxisRemap}));
    EXPECT_EQ(n[1].operation_class, OperationClass::CoordinateRemapping);
    EXPECT_EQ(n[1].legal_forms.size(), 2u);
    EXPECT_EQ(n[2].scratch_slots, (std::vector<OutputSlot>{Slot::BlurTemp}));
    EXPECT_EQ(n[2].kernel_form, OwnedInPlace);
    ASSERT_EQ(n[2].legal_forms.size(), 1u);
    EXPECT_EQ(n[3].scratch_slots, (std::vector<OutputSlot>{Slot::NoiseF32Block}));
    EXPECT_EQ(n[4].operation_class, OperationClass::MultiStageColor);
    EXPECT_TRUE(n[4].scratch_slots.empty());
    EXPECT_EQ(n[5].shape_rule, ShapeRule::FloatOutput);

    EXPECT_EQ(kernel_form_text(BorrowedToOwned), "borrowed-to-owned");
    EXPECT_EQ(input_materialization_text(OwnedInputCopy), "owned-input-copy");
    EXPECT_EQ(output_slot_text(Slot::OutputF32HwcOrWorkingU8), "output-f32-hwc-or-working-u8");
    EXPECT_EQ(output_slot_text(Slot::NoiseF32Block), "noise-f32-block");
}

TEST(LoweringPlan, CompilationStoresBothVariants) {
    const std::vector<TransformSpec> steps = {config::ColorJitter{1, {1, 1}, {1, 1}, {1, 1}, {0, 0}}};
    auto compiled = ExecutionPlan::compile(
        PipelineSpec::with_target_requirements(steps, {{TargetRole::Image, 0, true, false}}), Compiled);
    ASSERT_TRUE(compiled.has_value());
    EXPECT_EQ(compiled->lowering_for(3).nodes[0].kernel_name, "ColorJitter:composed-color-matrix");
    EXPECT_EQ(compiled->lowering_for(1).nodes[0].kernel_name, "ColorJitter:gray-q14-composition");
}

}  // namespace
}  // namespace tessalumen
