#pragma once
// The processor features the kernels choose their code by, read once per
// process from CPUID (and XGETBV, so that AVX2 counts only when the operating
// system saves the YMM registers). Every vector kernel has a scalar form that
// gives the same bytes; the features only decide which one runs.

#include <cstdint>

namespace tessalumen {

struct CpuFeatures {
    bool ssse3 = false;
    bool sse41 = false;
    bool avx2 = false;
};

// What the processor reports, detected on first use and cached for the life
// of the process.
[[nodiscard]] const CpuFeatures& detected_cpu_features();

// The features the kernels may use: the detected ones, narrowed by the test
// hook below when a test binary provides it.
[[nodiscard]] CpuFeatures cpu_features();

}  // namespace tessalumen

// Test hook. A test binary may define this function; it returns a bit mask of
// features to keep (bit 0 SSSE3, bit 1 SSE4.1, bit 2 AVX2), which lets a test
// force the scalar forms. The library never defines it, so outside tests the
// detected features are used unchanged.
extern "C" std::uint32_t tessalumen_cpu_feature_mask() __attribute__((weak));

namespace tessalumen {
inline constexpr std::uint32_t CPU_FEATURE_SSSE3 = 1u << 0;
inline constexpr std::uint32_t CPU_FEATURE_SSE41 = 1u << 1;
inline constexpr std::uint32_t CPU_FEATURE_AVX2 = 1u << 2;
}  // namespace tessalumen
