#include "cpu_features.h"

#include <cpuid.h>

namespace tessalumen {
namespace {

// XCR0 bits 1 (SSE state) and 2 (AVX state): both must be enabled by the
// operating system before YMM registers may be used.
constexpr std::uint64_t XCR0_SSE_AND_AVX = 0x6;

std::uint64_t read_xcr0() {
    std::uint32_t eax = 0;
    std::uint32_t edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

CpuFeatures detect() {
    CpuFeatures features;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
    features.ssse3 = (ecx & bit_SSSE3) != 0;
    features.sse41 = (ecx & bit_SSE4_1) != 0;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    const bool avx = (ecx & bit_AVX) != 0;
    if (!osxsave || !avx || (read_xcr0() & XCR0_SSE_AND_AVX) != XCR0_SSE_AND_AVX) return features;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return features;
    features.avx2 = (ebx & bit_AVX2) != 0;
    return features;
}

}  // namespace

const CpuFeatures& detected_cpu_features() {
    static const CpuFeatures DETECTED = detect();
    return DETECTED;
}

CpuFeatures cpu_features() {
    CpuFeatures features = detected_cpu_features();
    if (tessalumen_cpu_feature_mask != nullptr) {
        const std::uint32_t keep = tessalumen_cpu_feature_mask();
        features.ssse3 = features.ssse3 && (keep & CPU_FEATURE_SSSE3) != 0;
        features.sse41 = features.sse41 && (keep & CPU_FEATURE_SSE41) != 0;
        features.avx2 = features.avx2 && (keep & CPU_FEATURE_AVX2) != 0;
    }
    return features;
}

}  // namespace tessalumen
