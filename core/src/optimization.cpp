#include "optimization.h"

#include <array>
#include <exception>

namespace tessalumen {
namespace {

constexpr const char* LOWERING_ALLOCATION_MESSAGE = "lowering plan allocation failed";
constexpr const char* CATALOG_CONTRADICTION_MESSAGE = "kernel catalog contradicts transform capabilities";
constexpr const char* NO_KERNEL_MESSAGE = "no selected kernel implementation for ";

constexpr std::string_view COMPOSED_COLOR_MATRIX = "ColorJitter:composed-color-matrix";
constexpr std::string_view GRAY_Q14_COMPOSITION = "ColorJitter:gray-q14-composition";
constexpr std::string_view SINGLE_CHANNEL_NORMALIZE = "single-channel-normalize";

using enum KernelForm;
constexpr std::array<KernelForm, 2> BORROWED_OR_OWNED = {BorrowedToOwned, OwnedToOwned};
constexpr std::array<KernelForm, 1> IN_PLACE = {OwnedInPlace};
constexpr std::array<KernelForm, 2> BORROWED_OR_IN_PLACE = {BorrowedToOwned, OwnedInPlace};

struct Candidate {
    std::optional<std::string_view> kernel_name;
    KernelForm form;
};

// The static capabilities of one transform.
struct TransformTraits {
    std::span<const KernelForm> legal_forms;
    std::optional<OutputSlot> scratch_slot;
    ShapeRule shape_rule;
    OperationClass operation_class;
};

TransformTraits traits_of(TransformKind kind) {
    using enum ShapeRule;
    using enum OperationClass;
    switch (kind) {
        case TransformKind::Resize: return {BORROWED_OR_OWNED, {}, FixedByConfiguration, ResamplingOrConvolution};
        case TransformKind::LongestMaxSize: return {BORROWED_OR_OWNED, {}, ComputedFromInput, ResamplingOrConvolution};
        case TransformKind::RandomCrop: return {BORROWED_OR_OWNED, {}, FixedByConfiguration, IndexOrPoint};
        case TransformKind::RandomResizedCrop:
            return {BORROWED_OR_OWNED, OutputSlot::ScratchU8, FixedByConfiguration, ResamplingOrConvolution};
        case TransformKind::HorizontalFlip: return {IN_PLACE, {}, SameAsInput, IndexOrPoint};
        case TransformKind::VerticalFlip: return {BORROWED_OR_IN_PLACE, {}, SameAsInput, IndexOrPoint};
        case TransformKind::CenterCrop: return {BORROWED_OR_OWNED, {}, FixedByConfiguration, IndexOrPoint};
        case TransformKind::PadIfNeeded: return {BORROWED_OR_OWNED, {}, ComputedFromInput, IndexOrPoint};
        case TransformKind::CoarseDropout: return {IN_PLACE, {}, SameAsInput, IndexOrPoint};
        case TransformKind::ColorJitter: return {IN_PLACE, {}, SameAsInput, MultiStageColor};
        case TransformKind::Affine: return {BORROWED_OR_OWNED, {}, SameAsInput, CoordinateRemapping};
        case TransformKind::RandomRotation: return {BORROWED_OR_OWNED, {}, SameAsInput, CoordinateRemapping};
        case TransformKind::GaussianNoise: return {IN_PLACE, OutputSlot::NoiseF32Block, SameAsInput, IndexOrPoint};
        case TransformKind::Sharpen: return {BORROWED_OR_OWNED, {}, SameAsInput, ResamplingOrConvolution};
        case TransformKind::Perspective: return {BORROWED_OR_OWNED, {}, SameAsInput, CoordinateRemapping};
        case TransformKind::GridDistortion:
            return {BORROWED_OR_OWNED, OutputSlot::AxisRemap, SameAsInput, CoordinateRemapping};
        case TransformKind::GaussianBlur: return {IN_PLACE, OutputSlot::BlurTemp, SameAsInput, ResamplingOrConvolution};
        case TransformKind::Grayscale: return {IN_PLACE, {}, SameAsInput, IndexOrPoint};
        case TransformKind::Invert:
        case TransformKind::Solarize:
        case TransformKind::Posterize: return {BORROWED_OR_IN_PLACE, {}, SameAsInput, IndexOrPoint};
        case TransformKind::Normalize: return {BORROWED_OR_OWNED, {}, FloatOutput, IndexOrPoint};
    }
    return {};
}

bool has_zero_hue_range(const TransformPlan& plan) {
    const auto& hue = std::get<plan::ColorJitter>(plan).hue;
    return hue.lo == 0.0f && hue.hi == 0.0f;  // -0 counts as zero
}

// The candidate kernels of one step, in preference order ("none" is the generic kernel).
std::vector<Candidate> catalog_of(const TransformPlan& plan, std::uint64_t channels) {
    const TransformKind kind = kind_of(plan);
    if (kind == TransformKind::ColorJitter) {
        if (has_zero_hue_range(plan)) {
            return {{channels == 3 ? COMPOSED_COLOR_MATRIX : GRAY_Q14_COMPOSITION, OwnedInPlace}};
        }
        return {{std::nullopt, OwnedInPlace}};
    }
    if (kind == TransformKind::Normalize && channels == 1) {
        return {{SINGLE_CHANNEL_NORMALIZE, BorrowedToOwned}, {SINGLE_CHANNEL_NORMALIZE, OwnedToOwned}};
    }
    // Every other transform offers its generic kernel in each of its legal forms.
    std::vector<Candidate> candidates;
    for (KernelForm form : traits_of(kind).legal_forms) candidates.push_back({std::nullopt, form});
    return candidates;
}

bool is_warp(TransformKind kind) { return kind == TransformKind::Affine || kind == TransformKind::RandomRotation; }

const Candidate* first_with_form(const std::vector<Candidate>& candidates, KernelForm form) {
    for (const Candidate& c : candidates) {
        if (c.form == form) return &c;
    }
    return nullptr;
}

const Candidate* choose_candidate(const std::vector<Candidate>& candidates, TransformKind kind, ExecutionMode mode,
                                  std::size_t index) {
    if (mode == ExecutionMode::Compiled && index == 0 && !is_warp(kind)) {
        if (const Candidate* c = first_with_form(candidates, BorrowedToOwned)) return c;
    }
    if (is_warp(kind)) return first_with_form(candidates, OwnedToOwned);
    if (const Candidate* c = first_with_form(candidates, OwnedInPlace)) return c;
    return first_with_form(candidates, OwnedToOwned);
}

OutputSlot output_slot_of(const TransformPlan& plan, KernelForm form) {
    if (kind_of(plan) == TransformKind::Normalize) {
        const float p = probability_of(plan);
        if (p == 1.0f) return OutputSlot::OutputF32Hwc;
        if (p == 0.0f) return OutputSlot::WorkingU8;
        return OutputSlot::OutputF32HwcOrWorkingU8;
    }
    return form == OwnedToOwned ? OutputSlot::ScratchU8 : OutputSlot::WorkingU8;
}

std::string_view selection_reason_of(TransformKind kind, const Candidate& chosen) {
    if (is_warp(kind) && chosen.form == OwnedToOwned) return "benchmark-policy:affine-copy-then-transform";
    if (chosen.kernel_name) return "benchmark-policy:composed-color-matrix";
    switch (chosen.form) {
        case BorrowedToOwned: return "benchmark-policy:elide-entry-copy";
        case OwnedToOwned: return "semantic-legality:owned-to-owned";
        case OwnedInPlace: return "semantic-legality:owned-in-place";
    }
    return {};
}

bool is_legal(std::span<const KernelForm> legal, KernelForm form) {
    for (KernelForm f : legal) {
        if (f == form) return true;
    }
    return false;
}

CoreResult<LoweringNode> lower_step(const TransformPlan& plan, std::size_t index, ExecutionMode mode,
                                    std::uint64_t channels) {
    const TransformKind kind = kind_of(plan);
    const TransformTraits traits = traits_of(kind);
    const std::vector<Candidate> candidates = catalog_of(plan, channels);
    for (const Candidate& c : candidates) {
        if (!is_legal(traits.legal_forms, c.form)) return fail_runtime(CATALOG_CONTRADICTION_MESSAGE);
    }
    const Candidate* chosen = choose_candidate(candidates, kind, mode, index);
    if (chosen == nullptr) return fail_runtime(std::string(NO_KERNEL_MESSAGE) + std::string(transform_name(kind)));

    LoweringNode node{};
    if (traits.scratch_slot) node.scratch_slots.push_back(*traits.scratch_slot);
    node.legal_forms = traits.legal_forms;
    node.shape_rule = traits.shape_rule;
    node.operation_class = traits.operation_class;
    node.selection_reason = selection_reason_of(kind, *chosen);
    const bool staged = mode == ExecutionMode::StagedFresh || mode == ExecutionMode::StagedReuse;
    node.kernel_name = staged ? std::nullopt : chosen->kernel_name;
    node.kernel_form = chosen->form;
    node.input_materialization = chosen->form == BorrowedToOwned ? InputMaterialization::BorrowedInput
                                 : index == 0                    ? InputMaterialization::OwnedInputCopy
                                                                 : InputMaterialization::PreviousOutput;
    node.output_slot = output_slot_of(plan, chosen->form);
    return node;
}

}  // namespace

std::string_view kernel_form_text(KernelForm form) {
    switch (form) {
        case BorrowedToOwned: return "borrowed-to-owned";
        case OwnedToOwned: return "owned-to-owned";
        case OwnedInPlace: return "owned-in-place";
    }
    return {};
}

std::string_view input_materialization_text(InputMaterialization input) {
    switch (input) {
        case InputMaterialization::BorrowedInput: return "borrowed-input";
        case InputMaterialization::OwnedInputCopy: return "owned-input-copy";
        case InputMaterialization::PreviousOutput: return "previous-output";
    }
    return {};
}

std::string_view output_slot_text(OutputSlot slot) {
    switch (slot) {
        case OutputSlot::WorkingU8: return "working-u8";
        case OutputSlot::ScratchU8: return "scratch-u8";
        case OutputSlot::BlurTemp: return "blur-temp";
        case OutputSlot::NoiseF32Block: return "noise-f32-block";
        case OutputSlot::AxisRemap: return "axis-remap";
        case OutputSlot::OutputF32Hwc: return "output-f32-hwc";
        case OutputSlot::OutputF32HwcOrWorkingU8: return "output-f32-hwc-or-working-u8";
    }
    return {};
}

CoreResult<LoweringPlan> LoweringPlan::compile_channels(std::span<const TransformPlan> plans, ExecutionMode mode,
                                                        std::uint64_t channels) {
    LoweringPlan lowering{{}, "1", "always", false, 0};
    if (plans.empty()) return lowering;
    try {
        lowering.nodes.reserve(plans.size());
        for (std::size_t i = 0; i < plans.size(); ++i) {
            auto node = lower_step(plans[i], i, mode, channels);
            if (!node) return std::unexpected(std::move(node.error()));
            lowering.nodes.push_back(std::move(*node));
        }
    } catch (const std::exception&) {
        return fail_runtime(LOWERING_ALLOCATION_MESSAGE);
    }

    if (mode == ExecutionMode::Compiled && lowering.nodes.front().kernel_form == BorrowedToOwned) {
        lowering.borrowed_prefix = 1;
        const float p = probability_of(plans.front());
        if (p == 1.0f) {
            lowering.entry_copy_count = "0";
            lowering.entry_copy_condition = "always-elided";
            lowering.input_copy_elided = true;
        } else if (p != 0.0f) {
            lowering.entry_copy_count = "0-or-1";
            lowering.entry_copy_condition = "sample-dependent";
            lowering.input_copy_elided = true;
        }
    }
    return lowering;
}

}  // namespace tessalumen
