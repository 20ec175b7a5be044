#pragma once
// The compiled pipeline: validated steps, the lowering of each channel
// variant, the mask plan and the per-target channel alternatives. Built once by
// `ExecutionPlan::compile` and never modified afterwards, so any number of
// calls may share it without locking; all per-call state lives in workspaces.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "configured_text.h"
#include "error.h"
#include "execution_mode.h"
#include "mask.h"
#include "model.h"
#include "optimization.h"
#include "plan.h"
#include "plan/sampling.h"
#include "workspace.h"

namespace tessalumen {

struct CompiledPipeline {
    std::vector<TransformPlan> plans;  // one per step
    LoweringPlan lowering_rgb;         // for 3-channel images
    LoweringPlan lowering_gray;        // for 1-channel images
    // Per target, the channel counts its image may have at call time, in order.
    std::vector<std::vector<std::uint64_t>> channel_alternatives;
    std::vector<ConfiguredTexts> configured_texts;  // one list per step
    MaskPlan mask_plan;
    std::vector<TargetSpec> targets;
    std::vector<TargetRequirements> requirements;
    // Why the pipeline cannot run on gray images, if it cannot.
    std::optional<std::string> rgb_requirement;
    ExecutionMode mode;

    [[nodiscard]] const LoweringPlan& lowering_for(std::uint64_t channels) const {
        return channels == 1 ? lowering_gray : lowering_rgb;
    }

    // One pipeline call: checks the inputs against the pipeline's signature,
    // samples the call's parameters once from (seed, key) over the first
    // target's size, and applies them to every target in order, images
    // through the step loop and masks through the mask plan. Consumes the
    // inputs; the first failing target ends the call and nothing partial is
    // returned.
    [[nodiscard]] CoreResult<std::vector<TargetOutput>> apply_targets(std::vector<TargetInput> inputs,
                                                                      std::uint64_t seed, std::uint64_t key,
                                                                      Workspace& workspace) const;

    // Whether target `target_index` accepts an image of `channels` channels;
    // the error (Invalid) names the target and the reason.
    [[nodiscard]] CoreStatus validate_image_channels(std::size_t target_index, std::uint64_t channels) const;

    // Runs one image (HWC bytes, read only, never retained) through the
    // channel variant that `channels` selects and delivers the layouts the
    // target needs: `hwc` when need_hwc, `chw` when need_chw.
    [[nodiscard]] CoreResult<ImageOutput> run_selected_image(std::span<const std::uint8_t> input,
                                                             std::uint64_t height, std::uint64_t width,
                                                             std::span<const SampledTransform> samples,
                                                             Workspace& workspace, bool need_hwc, bool need_chw,
                                                             std::uint64_t channels) const;

    // The step loop of one channel variant (Channels 1 or 3, with the
    // matching lowering plan). The result is a U8Hwc, F32Hwc, U8Chw or F32Chw
    // raster with ndim 3.
    template <std::uint64_t Channels>
    [[nodiscard]] CoreResult<OutputRaster> run_image(std::span<const std::uint8_t> input, std::uint64_t height,
                                                     std::uint64_t width, std::span<const SampledTransform> samples,
                                                     Workspace& workspace, bool need_hwc, bool need_chw) const;
};

struct ExecutionPlan {
    // Validates every step in order (the first failing check wins) and builds
    // the compiled pipeline. Consumes the specification either way.
    [[nodiscard]] static CoreResult<CompiledPipeline> compile(PipelineSpec spec, ExecutionMode mode);
};

// Converts one configured step into its plan, running its checks in order.
[[nodiscard]] CoreResult<TransformPlan> compile_one(TransformSpec spec);

// The error of a step whose operation this build does not contain yet:
// "<registered name> is not available in this build" (Runtime).
[[nodiscard]] CoreError operation_unavailable(TransformKind kind);

}  // namespace tessalumen
