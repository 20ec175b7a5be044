#pragma once
// Test-only narrowing of the processor features the kernels may use. The
// test binary defines `tessalumen_cpu_feature_mask` (see cpu_features.h);
// while a `ScopedCpuFeatureMask` lives, only the features it keeps are used,
// so a test can run whole operations on their scalar forms.

#include <cstdint>

#include "cpu_features.h"

namespace tessalumen::testing_support {

inline constexpr std::uint32_t ALL_CPU_FEATURES = CPU_FEATURE_SSSE3 | CPU_FEATURE_SSE41 | CPU_FEATURE_AVX2;

void set_cpu_feature_mask(std::uint32_t keep);

class ScopedCpuFeatureMask {
public:
    explicit ScopedCpuFeatureMask(std::uint32_t keep) { set_cpu_feature_mask(keep); }
    ~ScopedCpuFeatureMask() { set_cpu_feature_mask(ALL_CPU_FEATURES); }
    ScopedCpuFeatureMask(const ScopedCpuFeatureMask&) = delete;
    ScopedCpuFeatureMask& operator=(const ScopedCpuFeatureMask&) = delete;
};

}  // namespace tessalumen::testing_support
