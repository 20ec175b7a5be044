#pragma once
// The four execution strategies. They change buffer handling and fused code
// paths, never the sampled parameters or the bytes of a result.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessalumen {

enum class ExecutionMode : std::uint8_t {
    Reference = 0,    // "reference": entry copy, recycled buffers, fused kernels
    Compiled = 1,     // "compiled": like reference, and the first step may read the caller's input
    StagedFresh = 2,  // "staged-fresh": a fresh buffer per step, stages run one by one
    StagedReuse = 3,  // "staged-reuse": recycled buffers, stages run one by one
};

[[nodiscard]] constexpr std::string_view execution_mode_name(ExecutionMode mode) {
    switch (mode) {
        case ExecutionMode::Reference: return "reference";
        case ExecutionMode::Compiled: return "compiled";
        case ExecutionMode::StagedFresh: return "staged-fresh";
        case ExecutionMode::StagedReuse: return "staged-reuse";
    }
    return "reference";
}

[[nodiscard]] constexpr std::optional<ExecutionMode> parse_execution_mode(std::string_view text) {
    for (auto mode : {ExecutionMode::Reference, ExecutionMode::Compiled, ExecutionMode::StagedFresh,
                      ExecutionMode::StagedReuse}) {
        if (execution_mode_name(mode) == text) return mode;
    }
    return std::nullopt;
}

// Working byte buffers are recycled through the workspace in every mode but staged-fresh.
[[nodiscard]] constexpr bool reuses_buffers(ExecutionMode mode) { return mode != ExecutionMode::StagedFresh; }

}  // namespace tessalumen
