// Every vector kernel against its scalar reference: seeded random rasters of
// awkward sizes, both channel counts, extreme values and unaligned pointers.
// A mismatch reports the first differing sample.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cpu_features.h"
#include "kernels/flip.h"
#include "kernels/layout.h"

namespace tessalumen {
namespace {

using kernels::layout::NormalizeConstants;

constexpr std::uint64_t MAX_WIDTH = 67;
constexpr std::array<std::uint64_t, 4> HEIGHTS = {1, 2, 3, 5};

enum class Fill { Random, Zeros, Ones };
constexpr std::array<Fill, 3> FILLS = {Fill::Random, Fill::Zeros, Fill::Ones};

std::vector<std::uint8_t> make_bytes(std::uint64_t count, Fill fill, std::mt19937_64& rng) {
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) {
        switch (fill) {
            case Fill::Random: b = static_cast<std::uint8_t>(rng()); break;
            case Fill::Zeros: b = 0; break;
            case Fill::Ones: b = 255; break;
        }
    }
    return bytes;
}

// The first index where the two buffers differ (compared bit for bit), if any.
template <class T>
std::string first_difference(const std::vector<T>& expected, const std::vector<T>& actual) {
    if (expected.size() != actual.size()) return "sizes differ";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (std::memcmp(&expected[i], &actual[i], sizeof(T)) != 0) {
            std::ostringstream text;
            text << "first difference at element " << i << ": scalar " << +expected[i] << ", vector " << +actual[i];
            return text.str();
        }
    }
    return {};
}

bool has_avx2() { return detected_cpu_features().avx2; }
bool has_ssse3() { return detected_cpu_features().ssse3; }

using FlipKernel = void (*)(std::uint8_t*, std::uint64_t, std::uint64_t);

struct FlipPair {
    const char* name;
    std::uint64_t channels;
    FlipKernel scalar;
    FlipKernel vector;
};

TEST(SimdEquivalence, HorizontalFlipMatchesScalar) {
    if (!has_avx2()) GTEST_SKIP() << "no AVX2";
    const std::array<FlipPair, 2> pairs = {{
        {"rgb", 3, kernels::flip::horizontal_flip_scalar, kernels::flip::horizontal_flip_avx2},
        {"gray", 1, kernels::flip::horizontal_flip_gray_scalar, kernels::flip::horizontal_flip_gray_avx2},
    }};
    std::mt19937_64 rng(0x5eed'f11b);
    for (const FlipPair& pair : pairs) {
        // Widths past 67 reach several full vector blocks per row for both forms.
        for (std::uint64_t width = 1; width <= MAX_WIDTH + 70; ++width) {
            for (std::uint64_t height : HEIGHTS) {
                for (Fill fill : FILLS) {
                    const auto input = make_bytes(height * width * pair.channels, fill, rng);
                    auto scalar = input;
                    auto vector = input;
                    pair.scalar(scalar.data(), height, width);
                    pair.vector(vector.data(), height, width);
                    ASSERT_EQ(first_difference(scalar, vector), "")
                        << pair.name << " " << height << "x" << width;
                }
            }
        }
    }
}

TEST(SimdEquivalence, HwcToChwU8MatchesScalar) {
    if (!has_ssse3()) GTEST_SKIP() << "no SSSE3";
    using Kernel = void (*)(const std::uint8_t*, std::uint8_t*, std::uint64_t);
    std::vector<std::pair<const char*, Kernel>> forms = {{"ssse3", kernels::layout::hwc_u8_to_chw_ssse3}};
    if (has_avx2()) forms.emplace_back("avx2", kernels::layout::hwc_u8_to_chw_avx2);
    std::mt19937_64 rng(0x1a70'0750);
    for (const auto& [name, form] : forms)
    for (std::uint64_t pixels = 0; pixels <= MAX_WIDTH * 3; ++pixels) {
        for (std::uint64_t misalign = 0; misalign < 3; ++misalign) {
            for (Fill fill : FILLS) {
                const auto storage = make_bytes(pixels * 3 + misalign, fill, rng);
                const std::uint8_t* src = storage.data() + misalign;
                std::vector<std::uint8_t> scalar(pixels * 3);
                std::vector<std::uint8_t> vector(pixels * 3);
                kernels::layout::hwc_u8_to_chw_scalar(src, scalar.data(), pixels);
                form(src, vector.data(), pixels);
                ASSERT_EQ(first_difference(scalar, vector), "") << name << ", " << pixels << " pixels, offset " << misalign;
            }
        }
    }
}

// Constant sets: the common ones, a zero mean (offset -0.0), odd max values
// and tiny or huge std values that push results far from 1.
std::vector<NormalizeConstants> constant_sets() {
    using kernels::layout::normalize_constants;
    return {
        normalize_constants({0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}, 255.0f),
        normalize_constants({0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f}, 255.0f),
        normalize_constants({0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f}, 255.0f),
        normalize_constants({-3.0f, 7.25f, 1e-3f}, {1e-4f, 3e3f, 0.7f}, 1.0f),
        normalize_constants({123.0f, -0.0f, 42.5f}, {0.001f, 17.0f, 1e6f}, 4095.0f),
    };
}

// Every byte value in every channel: 256 pixels whose channels hold b, 255 - b, b * 7.
std::vector<std::uint8_t> all_byte_values() {
    std::vector<std::uint8_t> bytes;
    for (int b = 0; b < 256; ++b) {
        bytes.push_back(static_cast<std::uint8_t>(b));
        bytes.push_back(static_cast<std::uint8_t>(255 - b));
        bytes.push_back(static_cast<std::uint8_t>(b * 7));
    }
    return bytes;
}

TEST(SimdEquivalence, NormalizeToChwMatchesScalarBitForBit) {
    if (!has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937_64 rng(0x0a11'f10a);
    for (const NormalizeConstants& constants : constant_sets()) {
        const auto exhaustive = all_byte_values();
        std::vector<float> scalar(exhaustive.size());
        std::vector<float> vector(exhaustive.size());
        kernels::layout::normalize_hwc_to_chw_scalar(exhaustive.data(), scalar.data(), 256, constants);
        kernels::layout::normalize_hwc_to_chw_avx2(exhaustive.data(), vector.data(), 256, constants);
        ASSERT_EQ(first_difference(scalar, vector), "") << "all byte values";
        for (std::uint64_t pixels = 0; pixels <= MAX_WIDTH * 2; ++pixels) {
            for (Fill fill : FILLS) {
                const auto src = make_bytes(pixels * 3, fill, rng);
                std::vector<float> s(pixels * 3);
                std::vector<float> v(pixels * 3);
                kernels::layout::normalize_hwc_to_chw_scalar(src.data(), s.data(), pixels, constants);
                kernels::layout::normalize_hwc_to_chw_avx2(src.data(), v.data(), pixels, constants);
                ASSERT_EQ(first_difference(s, v), "") << pixels << " pixels";
            }
        }
    }
}

TEST(SimdEquivalence, NormalizeHwcMatchesScalarBitForBit) {
    if (!has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937_64 rng(0x4e0c'0001);
    for (const NormalizeConstants& constants : constant_sets()) {
        const auto exhaustive = all_byte_values();
        std::vector<float> scalar(exhaustive.size());
        std::vector<float> vector(exhaustive.size());
        kernels::layout::normalize_hwc_scalar(exhaustive.data(), scalar.data(), exhaustive.size(), constants);
        kernels::layout::normalize_hwc_avx2(exhaustive.data(), vector.data(), exhaustive.size(), constants);
        ASSERT_EQ(first_difference(scalar, vector), "") << "all byte values";
        // Sample counts that are not multiples of 8, 24 or even 3.
        for (std::uint64_t samples = 0; samples <= MAX_WIDTH * 3 + 2; ++samples) {
            for (Fill fill : FILLS) {
                const auto src = make_bytes(samples, fill, rng);
                std::vector<float> s(samples);
                std::vector<float> v(samples);
                kernels::layout::normalize_hwc_scalar(src.data(), s.data(), samples, constants);
                kernels::layout::normalize_hwc_avx2(src.data(), v.data(), samples, constants);
                ASSERT_EQ(first_difference(s, v), "") << samples << " samples";
            }
        }
    }
}

}  // namespace
}  // namespace tessalumen
