// The elided entry copy of compiled mode: RandomCrop + HorizontalFlip +
// Normalize with a CHW-only target on a 512 x 512 RGB input, one call per
// iteration through `apply_targets` with the caller's array borrowed, in
// compiled mode (the crop reads the input, Normalize writes CHW directly) and
// in reference mode (entry copy, HWC normalize, then the CHW copy).
//
// `BM_CompiledVersusReference` alternates the two modes call by call and
// reports `compiled_vs_reference`, the ratio of their total times (below 1
// means compiled mode is faster).

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

#include "engine.h"

namespace tessalumen {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t SIDE = 512;
constexpr std::uint64_t CROP = 448;

CompiledPipeline crop_flip_normalize(ExecutionMode mode) {
    std::vector<TransformSpec> steps{
        config::RandomCrop{1.0f, CROP, CROP},
        config::HorizontalFlip{0.5f},
        config::Normalize{1.0f, {0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f}, 255.0f},
    };
    auto spec = PipelineSpec::with_target_requirements(std::move(steps),
                                                       {TargetDescriptor{TargetRole::Image, 0, false, true}});
    auto compiled = ExecutionPlan::compile(std::move(spec), mode);
    if (!compiled) std::abort();
    return std::move(*compiled);
}

const Bytes& input_raster() {
    static const Bytes raster = [] {
        std::mt19937_64 rng(SIDE);
        Bytes bytes(SIDE * SIDE * 3);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
        return bytes;
    }();
    return raster;
}

std::vector<TargetInput> borrowed_input() {
    std::vector<TargetInput> inputs;
    inputs.push_back({std::span<const std::uint8_t>(input_raster()), 3, 3, SIDE, SIDE, TargetRole::Image, 0});
    return inputs;
}

void call(const CompiledPipeline& pipeline, Workspace& workspace, std::uint64_t key) {
    auto outputs = pipeline.apply_targets(borrowed_input(), 42, key, workspace);
    if (!outputs) std::abort();
    benchmark::DoNotOptimize(outputs->data());
}

void BM_CropFlipNormalizeChw(benchmark::State& state) {
    const auto mode = static_cast<ExecutionMode>(state.range(0));
    const CompiledPipeline pipeline = crop_flip_normalize(mode);
    Workspace workspace;
    std::uint64_t key = 0;
    for (auto _ : state) call(pipeline, workspace, key++);
    state.SetLabel(std::string(execution_mode_name(mode)));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CropFlipNormalizeChw)
    ->Arg(static_cast<int>(ExecutionMode::Reference))
    ->Arg(static_cast<int>(ExecutionMode::Compiled))
    ->Unit(benchmark::kMicrosecond);

void BM_CompiledVersusReference(benchmark::State& state) {
    const CompiledPipeline compiled = crop_flip_normalize(ExecutionMode::Compiled);
    const CompiledPipeline reference = crop_flip_normalize(ExecutionMode::Reference);
    Workspace compiled_workspace;
    Workspace reference_workspace;
    double compiled_seconds = 0;
    double reference_seconds = 0;
    std::uint64_t key = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        call(compiled, compiled_workspace, key);
        const auto t1 = Clock::now();
        call(reference, reference_workspace, key);
        const auto t2 = Clock::now();
        compiled_seconds += std::chrono::duration<double>(t1 - t0).count();
        reference_seconds += std::chrono::duration<double>(t2 - t1).count();
        ++key;
    }
    state.counters["compiled_vs_reference"] = compiled_seconds / reference_seconds;
}
BENCHMARK(BM_CompiledVersusReference)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessalumen
