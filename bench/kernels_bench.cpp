// Layout kernels against memcpy of the same output bytes, on 224 x 224 and
// 1024 x 1024 RGB rasters. Each iteration times the kernel and then a memcpy
// of the kernel's output size between two preallocated buffers; the counter
// `vs_memcpy` is the ratio of the two totals (1.0 means as fast as memcpy).
// The reported time is the kernel's alone.
//
// Variants: `Op` is the operation the engine calls (dispatched at run time,
// allocating its result where the operation does); `Loop` is the dispatched
// inner loop writing into a preallocated buffer.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "cpu_features.h"
#include "kernels/layout.h"
#include "operations/crop_pad_flip.h"
#include "operations/normalize.h"

namespace tessalumen {
namespace {

using Clock = std::chrono::steady_clock;

Bytes random_rgb(std::uint64_t side) {
    std::mt19937_64 rng(side);
    Bytes bytes(side * side * 3);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

template <class Kernel>
void against_memcpy(benchmark::State& state, std::uint64_t output_bytes, Kernel&& kernel) {
    std::vector<std::uint8_t> from(output_bytes, 1);
    std::vector<std::uint8_t> to(output_bytes, 2);
    double kernel_seconds = 0;
    double memcpy_seconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        kernel();
        benchmark::ClobberMemory();
        const auto t1 = Clock::now();
        std::memcpy(to.data(), from.data(), output_bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
        const auto t2 = Clock::now();
        const double k = std::chrono::duration<double>(t1 - t0).count();
        kernel_seconds += k;
        memcpy_seconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(k);
    }
    state.counters["vs_memcpy"] = kernel_seconds / memcpy_seconds;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * output_bytes));
}

void BM_HorizontalFlipRgbInPlace(benchmark::State& state) {
    const auto side = static_cast<std::uint64_t>(state.range(0));
    Bytes raster = random_rgb(side);
    against_memcpy(state, raster.size(), [&] {
        auto status = horizontal_flip(raster, side, side, 3);
        benchmark::DoNotOptimize(status);
    });
}

void BM_HwcToChwU8Op(benchmark::State& state) {
    const auto side = static_cast<std::uint64_t>(state.range(0));
    const Bytes raster = random_rgb(side);
    against_memcpy(state, raster.size(), [&] {
        auto planar = kernels::layout::channels_u8_to_chw(raster, side, side, 3);
        benchmark::DoNotOptimize(planar);
    });
}

void BM_HwcToChwU8Loop(benchmark::State& state) {
    const auto side = static_cast<std::uint64_t>(state.range(0));
    const Bytes raster = random_rgb(side);
    Bytes planar(raster.size());
    const CpuFeatures features = cpu_features();
    against_memcpy(state, raster.size(), [&] {
        if (features.avx2) {
            kernels::layout::hwc_u8_to_chw_avx2(raster.data(), planar.data(), side * side);
        } else if (features.ssse3) {
            kernels::layout::hwc_u8_to_chw_ssse3(raster.data(), planar.data(), side * side);
        } else {
            kernels::layout::hwc_u8_to_chw_scalar(raster.data(), planar.data(), side * side);
        }
        benchmark::DoNotOptimize(planar.data());
    });
}

constexpr std::array<float, 3> MEAN = {0.485f, 0.456f, 0.406f};
constexpr std::array<float, 3> STD = {0.229f, 0.224f, 0.225f};

void BM_NormalizeToChwF32Op(benchmark::State& state) {
    const auto side = static_cast<std::uint64_t>(state.range(0));
    const Bytes raster = random_rgb(side);
    against_memcpy(state, raster.size() * sizeof(float), [&] {
        auto values = kernels::layout::normalize_channels_to_chw(raster, side, side, MEAN, 255.0f, STD);
        benchmark::DoNotOptimize(values);
    });
}

void BM_NormalizeToChwF32Loop(benchmark::State& state) {
    const auto side = static_cast<std::uint64_t>(state.range(0));
    const Bytes raster = random_rgb(side);
    std::vector<float> values(raster.size());
    const auto constants = kernels::layout::normalize_constants(MEAN, STD, 255.0f);
    const bool avx2 = cpu_features().avx2;
    against_memcpy(state, raster.size() * sizeof(float), [&] {
        if (avx2) {
            kernels::layout::normalize_hwc_to_chw_avx2(raster.data(), values.data(), side * side, constants);
        } else {
            kernels::layout::normalize_hwc_to_chw_scalar(raster.data(), values.data(), side * side, constants);
        }
        benchmark::DoNotOptimize(values.data());
    });
}

void sizes(benchmark::internal::Benchmark* b) { b->Arg(224)->Arg(1024)->UseManualTime(); }

BENCHMARK(BM_HorizontalFlipRgbInPlace)->Apply(sizes);
BENCHMARK(BM_HwcToChwU8Op)->Apply(sizes);
BENCHMARK(BM_HwcToChwU8Loop)->Apply(sizes);
BENCHMARK(BM_NormalizeToChwF32Op)->Apply(sizes);
BENCHMARK(BM_NormalizeToChwF32Loop)->Apply(sizes);

}  // namespace
}  // namespace tessalumen
