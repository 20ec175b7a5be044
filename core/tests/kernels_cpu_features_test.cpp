#include <gtest/gtest.h>

#include <atomic>

#include "cpu_feature_mask.h"
#include "cpu_features.h"

namespace {
std::atomic<std::uint32_t> cpu_feature_keep{tessalumen::testing_support::ALL_CPU_FEATURES};
}  // namespace

extern "C" std::uint32_t tessalumen_cpu_feature_mask() { return cpu_feature_keep.load(std::memory_order_relaxed); }

namespace tessalumen {

void testing_support::set_cpu_feature_mask(std::uint32_t keep) { cpu_feature_keep.store(keep, std::memory_order_relaxed); }

namespace {

TEST(CpuFeatures, DetectionIsCachedAndAgreesWithTheCompiler) {
    const CpuFeatures& first = detected_cpu_features();
    EXPECT_EQ(&first, &detected_cpu_features());
    // The compiler's own runtime check reads the same CPUID bits (and XGETBV for AVX2).
    __builtin_cpu_init();
    EXPECT_EQ(first.ssse3, __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(first.sse41, __builtin_cpu_supports("sse4.1") != 0);
    EXPECT_EQ(first.avx2, __builtin_cpu_supports("avx2") != 0);
}

TEST(CpuFeatures, TestMaskNarrowsButNeverWidens) {
    const CpuFeatures detected = detected_cpu_features();
    {
        testing_support::ScopedCpuFeatureMask scalar_only(0);
        const CpuFeatures forced = cpu_features();
        EXPECT_FALSE(forced.ssse3);
        EXPECT_FALSE(forced.sse41);
        EXPECT_FALSE(forced.avx2);
    }
    {
        testing_support::ScopedCpuFeatureMask no_avx2(CPU_FEATURE_SSSE3 | CPU_FEATURE_SSE41);
        EXPECT_FALSE(cpu_features().avx2);
        EXPECT_EQ(cpu_features().ssse3, detected.ssse3);
    }
    const CpuFeatures restored = cpu_features();
    EXPECT_EQ(restored.ssse3, detected.ssse3);
    EXPECT_EQ(restored.sse41, detected.sse41);
    EXPECT_EQ(restored.avx2, detected.avx2);
}

}  // namespace
}  // namespace tessalumen
