// One pipeline call over all of its targets: the signature checks, the one
// sampling of the call, then every target in order with that one sample list,
// so that masks stay pixel-aligned with their images.

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine.h"
#include "random_stream.h"
#include "validation.h"

namespace tessalumen {
namespace {

constexpr const char* INPUT_COUNT_MESSAGE = "target input count does not match the pipeline signature";
constexpr const char* REQUIREMENT_COUNT_MESSAGE = "target requirements do not match the pipeline signature";
constexpr const char* NO_TARGET_MESSAGE = "a pipeline call requires at least one target";
constexpr const char* NON_POSITIVE_DIMENSIONS_MESSAGE = "target dimensions must be positive";
constexpr const char* ROLE_MISMATCH_SUFFIX = " role does not match the pipeline signature";
constexpr const char* FRAME_MISMATCH_SUFFIX = " dimensions do not match the initial coordinate frame";
constexpr const char* CHANNELS_AND_RANK_SUFFIX = " has incompatible channels and rank";
constexpr const char* BUFFER_MISMATCH_SUFFIX = " buffer does not match its role and shape";
constexpr const char* NO_LAYOUT_SUFFIX = " requires at least one image layout";
constexpr const char* UNSUPPORTED_CHANNELS_SUFFIX = ": image requires one or three supported channels";
constexpr const char* GRAY_NOT_CONFIGURED_SUFFIX = ": grayscale is not configured for this target";
constexpr const char* MASK_DIMENSIONS_OVERFLOW_MESSAGE = "mask dimensions overflow";
constexpr const char* MASK_BUFFER_SHAPE_MESSAGE = "expected a non-empty HW uint8 mask buffer";
constexpr const char* OUTPUT_LIST_ALLOCATION_MESSAGE = "target output allocation failed";

std::string target_message(std::size_t index, std::string_view suffix) {
    std::string message = "target " + std::to_string(index);
    message += suffix;
    return message;
}

bool shape_fits_role(const TargetInput& input) {
    if (input.role == TargetRole::Mask) return input.channels == 1 && input.ndim == 2;
    if (input.channels == 1) return input.ndim == 2 || input.ndim == 3;
    if (input.channels == 3) return input.ndim == 3;
    return false;
}

// The signature checks in order; the first failure wins and nothing is sampled.
CoreStatus check_signature(const CompiledPipeline& pipeline, const std::vector<TargetInput>& inputs) {
    if (inputs.size() != pipeline.targets.size()) return fail_invalid(INPUT_COUNT_MESSAGE);
    if (inputs.size() != pipeline.requirements.size()) return fail_runtime(REQUIREMENT_COUNT_MESSAGE);
    if (inputs.empty()) return fail_invalid(NO_TARGET_MESSAGE);
    const std::uint64_t height = inputs.front().height;
    const std::uint64_t width = inputs.front().width;
    if (height == 0 || width == 0) return fail_invalid(NON_POSITIVE_DIMENSIONS_MESSAGE);

    for (std::size_t j = 0; j < inputs.size(); ++j) {
        const TargetInput& input = inputs[j];
        const TargetSpec& target = pipeline.targets[j];
        const bool is_mask = input.role == TargetRole::Mask;
        if (input.role != target.role || (is_mask && input.fill != target.fill)) {
            return fail_invalid(target_message(j, ROLE_MISMATCH_SUFFIX));
        }
        if (input.height != height || input.width != width) {
            return fail_invalid(target_message(j, FRAME_MISMATCH_SUFFIX));
        }
        if (!shape_fits_role(input)) return fail_invalid(target_message(j, CHANNELS_AND_RANK_SUFFIX));
        if (!is_mask) {
            if (auto channels = pipeline.validate_image_channels(j, input.channels); !channels) return channels;
        }
        std::uint64_t expected = 0;
        if (__builtin_mul_overflow(height, width, &expected)) {
            return fail_invalid(is_mask ? MASK_DIMENSIONS_OVERFLOW_MESSAGE : DIMENSIONS_OVERFLOW_MESSAGE);
        }
        if (!is_mask && __builtin_mul_overflow(expected, input.channels, &expected)) {
            return fail_invalid(DIMENSIONS_OVERFLOW_MESSAGE);
        }
        if (input.bytes().size() != expected) return fail_invalid(target_message(j, BUFFER_MISMATCH_SUFFIX));
        const TargetRequirements& needs = pipeline.requirements[j];
        if (!is_mask && !needs.hwc && !needs.chw) return fail_invalid(target_message(j, NO_LAYOUT_SUFFIX));
    }
    return {};
}

// The mask as an owned buffer: an owned input is adopted, a borrowed one copied.
CoreResult<MaskRaster> owned_mask(TargetInput& input) {
    std::uint64_t length = 0;
    if (__builtin_mul_overflow(input.height, input.width, &length)) {
        return fail_invalid(MASK_DIMENSIONS_OVERFLOW_MESSAGE);
    }
    if (input.height == 0 || input.width == 0 || input.bytes().size() != length) {
        return fail_invalid(MASK_BUFFER_SHAPE_MESSAGE);
    }
    if (auto* owned = std::get_if<Bytes>(&input.data)) return MaskRaster{std::move(*owned), input.height, input.width};
    const auto borrowed = std::get<std::span<const std::uint8_t>>(input.data);
    try {
        return MaskRaster{Bytes(borrowed.begin(), borrowed.end()), input.height, input.width};
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
}

CoreResult<std::vector<TargetOutput>> run_targets(const CompiledPipeline& pipeline, std::vector<TargetInput> inputs,
                                                  std::uint64_t seed, std::uint64_t key, Workspace& workspace) {
    if (auto signature = check_signature(pipeline, inputs); !signature) {
        return std::unexpected(std::move(signature.error()));
    }
    const std::uint64_t height = inputs.front().height;
    const std::uint64_t width = inputs.front().width;
    auto samples = sample_plans(pipeline.plans, height, width, stream_seed(seed, key));
    if (!samples) return std::unexpected(std::move(samples.error()));

    std::vector<TargetOutput> outputs;
    try {
        outputs.reserve(inputs.size());
    } catch (const std::exception&) {
        return fail_runtime(OUTPUT_LIST_ALLOCATION_MESSAGE);
    }

    const bool reuse = reuses_buffers(pipeline.mode);
    for (std::size_t j = 0; j < inputs.size(); ++j) {
        TargetInput& input = inputs[j];
        if (input.role == TargetRole::Mask) {
            auto mask = owned_mask(input);
            if (!mask) return std::unexpected(std::move(mask.error()));
            auto result = pipeline.mask_plan.apply_image(*samples, std::move(*mask), input.fill, workspace, reuse);
            if (!result) return std::unexpected(std::move(result.error()));
            outputs.emplace_back(MaskOutput{std::move(result->data), result->height, result->width});
            continue;
        }
        const TargetRequirements& needs = pipeline.requirements[j];
        auto image = pipeline.run_selected_image(input.bytes(), input.height, input.width, *samples, workspace,
                                                 needs.hwc, needs.chw, input.channels);
        // The engine only read the input; an owned one is released now.
        input.data = Bytes{};
        if (!image) return std::unexpected(std::move(image.error()));
        if (image->hwc) image->hwc->ndim = input.ndim;
        outputs.emplace_back(std::move(*image));
    }
    return outputs;
}

}  // namespace

CoreStatus CompiledPipeline::validate_image_channels(std::size_t target_index, std::uint64_t channels) const {
    if (target_index < channel_alternatives.size()) {
        const auto& accepted = channel_alternatives[target_index];
        if (std::ranges::find(accepted, channels) != accepted.end()) return {};
    }
    if (channels != 1) return fail_invalid(target_message(target_index, UNSUPPORTED_CHANNELS_SUFFIX));
    if (!rgb_requirement) return fail_invalid(target_message(target_index, GRAY_NOT_CONFIGURED_SUFFIX));
    return fail_invalid(target_message(target_index, ": ") + *rgb_requirement);
}

CoreResult<std::vector<TargetOutput>> CompiledPipeline::apply_targets(std::vector<TargetInput> inputs,
                                                                      std::uint64_t seed, std::uint64_t key,
                                                                      Workspace& workspace) const {
    try {
        return run_targets(*this, std::move(inputs), seed, key, workspace);
    } catch (const std::bad_alloc&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    }
}

}  // namespace tessalumen
