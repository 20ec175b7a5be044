// Cost of drawing one call's parameters, against the size of the raster the
// call will then touch. Sampling runs once per call before any pixel work.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine.h"
#include "plan/sampling.h"
#include "workspace.h"

namespace tessalumen {
namespace {

using I = Interpolation;
using B = BorderMode;

TransformPlan compiled(TransformSpec spec) { return *compile_one(std::move(spec)); }

// A typical training pipeline of ten steps.
std::vector<TransformPlan> typical_pipeline() {
    return {
        compiled(config::RandomResizedCrop{1, 224, 224, {0.08f, 1.0f}, {0.75f, 1.3333f}, I::Bilinear, true}),
        compiled(config::HorizontalFlip{0.5f}),
        compiled(config::ColorJitter{0.8f, {0.6f, 1.4f}, {0.6f, 1.4f}, {0.6f, 1.4f}, {-0.1f, 0.1f}}),
        compiled(config::Affine{0.5f, {-15, 15}, {0.1f, 0.1f}, {0.9f, 1.1f}, {-5, 5, -5, 5}, I::Bilinear, B::Constant, {0}}),
        compiled(config::Perspective{0.3f, {0.05f, 0.1f}, I::Bilinear, B::Constant, {0}}),
        compiled(config::GaussianBlur{0.5f, 5, {0.1f, 2.0f}}),
        compiled(config::GaussianNoise{0.5f, {0, 0}, {1, 10}, false}),
        compiled(config::CoarseDropout{0.5f, {1, 8}, FractionExtent{0.05f, 0.15f}, FractionExtent{0.05f, 0.15f}, {0}}),
        compiled(config::Grayscale{0.1f}),
        compiled(config::Normalize{1, {0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f}, 255.0f}),
    };
}

void BM_SampleTypicalPipeline(benchmark::State& state) {
    const auto plans = typical_pipeline();
    std::uint64_t key = 0;
    for (auto _ : state) {
        auto samples = sample_plans(plans, 256, 256, stream_seed(42, key++));
        benchmark::DoNotOptimize(samples);
    }
}
BENCHMARK(BM_SampleTypicalPipeline);

// The same ten steps with every probability 1, so every procedure runs.
void BM_SampleTypicalPipelineAllApplied(benchmark::State& state) {
    auto plans = typical_pipeline();
    for (auto& plan : plans) std::visit([](auto& step) { step.p = 1.0f; }, plan);
    std::uint64_t key = 0;
    for (auto _ : state) {
        auto samples = sample_plans(plans, 256, 256, stream_seed(42, key++));
        benchmark::DoNotOptimize(samples);
    }
}
BENCHMARK(BM_SampleTypicalPipelineAllApplied);

// Both maps of a GridDistortion on an n x n raster: linear in W + H.
void BM_SampleGridDistortion(benchmark::State& state) {
    const auto n = static_cast<std::uint64_t>(state.range(0));
    const std::vector<TransformPlan> plans = {
        compiled(config::GridDistortion{1, 5, {-0.3f, 0.3f}, I::Bilinear, B::Constant, {0}})};
    std::uint64_t key = 0;
    for (auto _ : state) {
        auto samples = sample_plans(plans, n, n, stream_seed(42, key++));
        benchmark::DoNotOptimize(samples);
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SampleGridDistortion)->RangeMultiplier(4)->Range(64, 16384)->Complexity(benchmark::oN);

// A floor for executing any step on a 224 x 224 RGB image: one pass that
// reads and writes every byte.
void BM_OnePassOver224x224Rgb(benchmark::State& state) {
    std::vector<std::uint8_t> src(224 * 224 * 3, 7);
    std::vector<std::uint8_t> dst(src.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < src.size(); ++i) dst[i] = static_cast<std::uint8_t>(255 - src[i]);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_OnePassOver224x224Rgb);

// A whole call on a 224 x 224 RGB image with the cheapest geometric steps
// (every one a single copy-like pass), sampling included: another floor for
// what execution costs beside sampling.
void BM_CallOfCheapSteps224x224Rgb(benchmark::State& state) {
    std::vector<TransformSpec> steps = {
        config::HorizontalFlip{1},
        config::VerticalFlip{1},
        config::PadIfNeeded{1, 240, 240, std::nullopt, std::nullopt, PadPosition::Random, B::Reflect101, {0}},
        config::RandomCrop{1, 224, 224},
        config::HorizontalFlip{0.5f},
        config::PadIfNeeded{1, 232, 232, std::nullopt, std::nullopt, PadPosition::Center, B::Constant, {0}},
        config::CenterCrop{1, 224, 224},
        config::VerticalFlip{0.5f},
        config::RandomCrop{1, 200, 200},
        config::HorizontalFlip{1},
    };
    auto spec = PipelineSpec::with_target_requirements(std::move(steps), {{TargetRole::Image, 0, true, false}});
    auto pipeline = ExecutionPlan::compile(std::move(spec), ExecutionMode::Compiled);
    if (!pipeline) {
        state.SkipWithError(pipeline.error().message.c_str());
        return;
    }
    const Bytes image(224 * 224 * 3, 7);
    Workspace workspace;
    std::uint64_t key = 0;
    for (auto _ : state) {
        std::vector<TargetInput> inputs;
        inputs.push_back(TargetInput{std::span<const std::uint8_t>(image), 3, 3, 224, 224, TargetRole::Image, 0});
        auto outputs = pipeline->apply_targets(std::move(inputs), 42, key++, workspace);
        if (!outputs) {
            state.SkipWithError(outputs.error().message.c_str());
            return;
        }
        benchmark::DoNotOptimize(outputs);
    }
}
BENCHMARK(BM_CallOfCheapSteps224x224Rgb);

void BM_StandardNormal(benchmark::State& state) {
    StreamRng rng = StreamRng::from_seed(1);
    for (auto _ : state) benchmark::DoNotOptimize(rng.standard_normal());
}
BENCHMARK(BM_StandardNormal);

}  // namespace
}  // namespace tessalumen
