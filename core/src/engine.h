#pragma once
// The compiled pipeline: validated steps, the lowering of each channel
// variant, the mask plan and the per-target channel alternatives. Built once by
// `ExecutionPlan::compile` and never modified afterwards, so any number of
// calls may share it without locking; all per-call state lives in workspaces.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "configured_text.h"
#include "error.h"
#include "execution_mode.h"
#include "mask.h"
#include "model.h"
#include "optimization.h"
#include "plan.h"

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
};

struct ExecutionPlan {
    // Validates every step in order (the first failing check wins) and builds
    // the compiled pipeline. Consumes the specification either way.
    [[nodiscard]] static CoreResult<CompiledPipeline> compile(PipelineSpec spec, ExecutionMode mode);
};

// Converts one configured step into its plan, running its checks in order.
[[nodiscard]] CoreResult<TransformPlan> compile_one(TransformSpec spec);

}  // namespace tessalumen
