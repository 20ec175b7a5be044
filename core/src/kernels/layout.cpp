#include "kernels/layout.h"

#include <immintrin.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <new>
#include <string_view>

#include "cpu_features.h"

#include "validation.h"

namespace tessalumen::kernels::layout {
namespace {

constexpr std::uint64_t RGB = 3;

// Deinterleaving 16 RGB pixels (48 bytes, three 16-byte chunks c0, c1, c2).
// Byte p of chunk s is sample (16 s + p) mod 3 of its pixel, and for each
// channel k the positions p that hold channel k in the three chunks are
// disjoint and together cover 0..15. So one channel is gathered by selecting
// each position from the chunk that holds channel k there
//   scrambled_k = (c0 & select[k][0]) | (c1 & select[k][1]) | (c2 & select[k][2])
// and one shuffle puts it in pixel order: pixel t's sample k is byte 3t + k
// of the block, found at position (3t + k) mod 16 of scrambled_k.
struct DeinterleaveMasks {
    std::array<std::array<std::array<std::uint8_t, 16>, 3>, 3> select;
    std::array<std::array<std::uint8_t, 16>, 3> order;
};

constexpr DeinterleaveMasks make_deinterleave_masks() {
    DeinterleaveMasks masks{};
    for (std::uint64_t k = 0; k < 3; ++k) {
        for (std::uint64_t s = 0; s < 3; ++s)
            for (std::uint64_t p = 0; p < 16; ++p) masks.select[k][s][p] = (16 * s + p) % 3 == k ? 0xFF : 0x00;
        for (std::uint64_t t = 0; t < 16; ++t) masks.order[k][t] = static_cast<std::uint8_t>((3 * t + k) % 16);
    }
    return masks;
}
constexpr DeinterleaveMasks DEINTERLEAVE_MASKS = make_deinterleave_masks();

// Every position is selected from exactly one chunk, and that chunk holds the
// sample the order mask expects there.
constexpr bool deinterleave_masks_are_exact() {
    for (std::uint64_t k = 0; k < 3; ++k) {
        for (std::uint64_t t = 0; t < 16; ++t) {
            const std::uint64_t byte = 3 * t + k;
            for (std::uint64_t s = 0; s < 3; ++s) {
                const bool selected = DEINTERLEAVE_MASKS.select[k][s][DEINTERLEAVE_MASKS.order[k][t]] != 0;
                if (selected != (s == byte / 16)) return false;
            }
        }
    }
    return true;
}
static_assert(deinterleave_masks_are_exact());

// Shuffle controls that gather 8 RGB pixels (24 bytes: a 16-byte chunk and
// an 8-byte chunk) into R in bytes 0-7 and G in bytes 8-15 of one register
// (`red_green`), and B in bytes 0-7 of another (`blue`).
struct EightPixelMasks {
    std::array<std::array<std::uint8_t, 16>, 2> red_green;
    std::array<std::array<std::uint8_t, 16>, 2> blue;
};

constexpr EightPixelMasks make_eight_pixel_masks() {
    EightPixelMasks masks{};
    for (std::uint64_t s = 0; s < 2; ++s)
        for (std::uint64_t t = 0; t < 16; ++t) {
            const std::uint64_t rg = 3 * (t % 8) + t / 8;  // R for t < 8, G for t >= 8
            masks.red_green[s][t] = (rg / 16 == s) ? static_cast<std::uint8_t>(rg % 16) : 0x80;
            const std::uint64_t b = 3 * (t % 8) + 2;
            masks.blue[s][t] = (t < 8 && b / 16 == s) ? static_cast<std::uint8_t>(b % 16) : 0x80;
        }
    return masks;
}
constexpr EightPixelMasks EIGHT_PIXEL_MASKS = make_eight_pixel_masks();

inline __m128i load_mask(const std::array<std::uint8_t, 16>& mask) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask.data()));
}

__attribute__((target("avx2"))) inline __m256i broadcast(const std::array<std::uint8_t, 16>& mask) {
    return _mm256_broadcastsi128_si256(load_mask(mask));
}

// (c0 & s0) | (c1 & s1) | (c2 & s2)
__attribute__((target("avx2"))) inline __m256i select3(__m256i c0, __m256i c1, __m256i c2, __m256i s0, __m256i s1,
                                                      __m256i s2) {
    return _mm256_or_si256(_mm256_or_si256(_mm256_and_si256(c0, s0), _mm256_and_si256(c1, s1)),
                           _mm256_and_si256(c2, s2));
}


void hwc_u8_to_chw_from(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixel_count, std::uint64_t first) {
    std::uint8_t* red = dst;
    std::uint8_t* green = dst + pixel_count;
    std::uint8_t* blue = dst + 2 * pixel_count;
    for (std::uint64_t i = first; i < pixel_count; ++i) {
        red[i] = src[i * RGB];
        green[i] = src[i * RGB + 1];
        blue[i] = src[i * RGB + 2];
    }
}

void normalize_hwc_to_chw_from(const std::uint8_t* src, float* dst, std::uint64_t pixel_count, std::uint64_t first,
                               const NormalizeConstants& k) {
    float* red = dst;
    float* green = dst + pixel_count;
    float* blue = dst + 2 * pixel_count;
    for (std::uint64_t i = first; i < pixel_count; ++i) {
        red[i] = static_cast<float>(src[i * RGB]) * k.scale[0] + k.offset[0];
        green[i] = static_cast<float>(src[i * RGB + 1]) * k.scale[1] + k.offset[1];
        blue[i] = static_cast<float>(src[i * RGB + 2]) * k.scale[2] + k.offset[2];
    }
}

void normalize_hwc_from(const std::uint8_t* src, float* dst, std::uint64_t sample_count, std::uint64_t first,
                        const NormalizeConstants& k) {
    for (std::uint64_t i = first; i < sample_count; ++i) {
        const std::uint64_t c = i % RGB;
        dst[i] = static_cast<float>(src[i]) * k.scale[c] + k.offset[c];
    }
}

// ---- shared checks of the allocating kernels ----

constexpr std::string_view INVALID_RGB_BUFFER = "invalid RGB buffer";
// f32 outputs of 2^61 elements or more cannot be addressed in bytes.
constexpr std::uint64_t MAX_F32_ELEMENTS = std::uint64_t{1} << 61;

template <class T>
CoreResult<std::vector<T>> allocate(std::uint64_t elements) {
    if constexpr (sizeof(T) == sizeof(float)) {
        if (elements >= MAX_F32_ELEMENTS) return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    }
    try {
        return std::vector<T>(elements);
    } catch (const std::bad_alloc&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    } catch (const std::length_error&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    }
}

}  // namespace

NormalizeConstants normalize_constants(const std::array<float, 3>& mean, const std::array<float, 3>& std,
                                       float max_pixel_value) {
    NormalizeConstants constants{};
    for (std::uint64_t c = 0; c < RGB; ++c) {
        const float range = max_pixel_value * std[c];
        constants.scale[c] = 1.0f / range;
        constants.offset[c] = (-mean[c]) / std[c];
    }
    return constants;
}

void hwc_u8_to_chw_scalar(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixel_count) {
    hwc_u8_to_chw_from(src, dst, pixel_count, 0);
}

__attribute__((target("ssse3"))) void hwc_u8_to_chw_ssse3(const std::uint8_t* src, std::uint8_t* dst,
                                                         std::uint64_t pixel_count) {
    constexpr std::uint64_t STEP = 16;
    __m128i select[3][3];
    __m128i order[3];
    for (std::uint64_t k = 0; k < 3; ++k) {
        for (std::uint64_t s = 0; s < 3; ++s) select[k][s] = load_mask(DEINTERLEAVE_MASKS.select[k][s]);
        order[k] = load_mask(DEINTERLEAVE_MASKS.order[k]);
    }
    std::uint64_t i = 0;
    for (; i + STEP <= pixel_count; i += STEP) {
        const std::uint8_t* block = src + i * RGB;
        const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16));
        const __m128i c2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 32));
        for (std::uint64_t k = 0; k < 3; ++k) {
            const __m128i scrambled = _mm_or_si128(
                _mm_or_si128(_mm_and_si128(c0, select[k][0]), _mm_and_si128(c1, select[k][1])),
                _mm_and_si128(c2, select[k][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + k * pixel_count + i),
                             _mm_shuffle_epi8(scrambled, order[k]));
        }
    }
    hwc_u8_to_chw_from(src, dst, pixel_count, i);
}

// Pixels 0-15 of a 32-pixel step go to the low lanes and pixels 16-31 to the
// high lanes, so the in-lane masks of the SSSE3 form deinterleave both halves
// at once and each plane's 32 bytes come out in order. The 96 bytes are read
// as three 32-byte loads and rearranged into those lanes.
__attribute__((target("avx2"))) void hwc_u8_to_chw_avx2(const std::uint8_t* src, std::uint8_t* dst,
                                                       std::uint64_t pixel_count) {
    constexpr std::uint64_t STEP = 32;
    constexpr int HIGH_LANE_FROM_SECOND = 0xF0;  // vpblendd: dwords 4-7 from the second operand
    constexpr int HIGH_OF_FIRST_LOW_OF_SECOND = 0x21;
    const auto& m = DEINTERLEAVE_MASKS;
    const __m256i r0 = broadcast(m.select[0][0]), r1 = broadcast(m.select[0][1]), r2 = broadcast(m.select[0][2]);
    const __m256i g0 = broadcast(m.select[1][0]), g1 = broadcast(m.select[1][1]), g2 = broadcast(m.select[1][2]);
    const __m256i b0 = broadcast(m.select[2][0]), b1 = broadcast(m.select[2][1]), b2 = broadcast(m.select[2][2]);
    const __m256i red_order = broadcast(m.order[0]);
    const __m256i green_order = broadcast(m.order[1]);
    const __m256i blue_order = broadcast(m.order[2]);
    std::uint8_t* red = dst;
    std::uint8_t* green = dst + pixel_count;
    std::uint8_t* blue = dst + 2 * pixel_count;
    std::uint64_t i = 0;
    for (; i + STEP <= pixel_count; i += STEP) {
        const std::uint8_t* block = src + i * RGB;
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));       // bytes 0-31
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));  // bytes 32-63
        const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 64));  // bytes 64-95
        const __m256i c0 = _mm256_blend_epi32(x, y, HIGH_LANE_FROM_SECOND);         // bytes 0-15 | 48-63
        const __m256i c1 = _mm256_permute2x128_si256(x, z, HIGH_OF_FIRST_LOW_OF_SECOND);  // 16-31 | 64-79
        const __m256i c2 = _mm256_blend_epi32(y, z, HIGH_LANE_FROM_SECOND);         // bytes 32-47 | 80-95
        const __m256i r = select3(c0, c1, c2, r0, r1, r2);
        const __m256i g = select3(c0, c1, c2, g0, g1, g2);
        const __m256i b = select3(c0, c1, c2, b0, b1, b2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(red + i), _mm256_shuffle_epi8(r, red_order));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(green + i), _mm256_shuffle_epi8(g, green_order));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(blue + i), _mm256_shuffle_epi8(b, blue_order));
    }
    hwc_u8_to_chw_from(src, dst, pixel_count, i);
}

void normalize_hwc_to_chw_scalar(const std::uint8_t* src, float* dst, std::uint64_t pixel_count,
                                 const NormalizeConstants& constants) {
    normalize_hwc_to_chw_from(src, dst, pixel_count, 0, constants);
}

__attribute__((target("avx2"))) void normalize_hwc_to_chw_avx2(const std::uint8_t* src, float* dst,
                                                              std::uint64_t pixel_count,
                                                              const NormalizeConstants& k) {
    constexpr std::uint64_t STEP = 8;
    const __m128i rg0 = load_mask(EIGHT_PIXEL_MASKS.red_green[0]);
    const __m128i rg1 = load_mask(EIGHT_PIXEL_MASKS.red_green[1]);
    const __m128i b0 = load_mask(EIGHT_PIXEL_MASKS.blue[0]);
    const __m128i b1 = load_mask(EIGHT_PIXEL_MASKS.blue[1]);
    const __m256 scale[3] = {_mm256_set1_ps(k.scale[0]), _mm256_set1_ps(k.scale[1]), _mm256_set1_ps(k.scale[2])};
    const __m256 offset[3] = {_mm256_set1_ps(k.offset[0]), _mm256_set1_ps(k.offset[1]), _mm256_set1_ps(k.offset[2])};
    float* planes[3] = {dst, dst + pixel_count, dst + 2 * pixel_count};
    std::uint64_t i = 0;
    for (; i + STEP <= pixel_count; i += STEP) {
        const std::uint8_t* block = src + i * RGB;
        const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        const __m128i c1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(block + 16));
        const __m128i red_green = _mm_or_si128(_mm_shuffle_epi8(c0, rg0), _mm_shuffle_epi8(c1, rg1));
        const __m128i blue = _mm_or_si128(_mm_shuffle_epi8(c0, b0), _mm_shuffle_epi8(c1, b1));
        const __m128i bytes[3] = {red_green, _mm_srli_si128(red_green, 8), blue};
        for (std::uint64_t c = 0; c < 3; ++c) {
            const __m256 values = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes[c]));
            const __m256 normalized = _mm256_add_ps(_mm256_mul_ps(values, scale[c]), offset[c]);
            _mm256_storeu_ps(planes[c] + i, normalized);
        }
    }
    normalize_hwc_to_chw_from(src, dst, pixel_count, i, k);
}

void normalize_hwc_scalar(const std::uint8_t* src, float* dst, std::uint64_t sample_count,
                          const NormalizeConstants& constants) {
    normalize_hwc_from(src, dst, sample_count, 0, constants);
}

__attribute__((target("avx2"))) void normalize_hwc_avx2(const std::uint8_t* src, float* dst,
                                                       std::uint64_t sample_count, const NormalizeConstants& k) {
    constexpr std::uint64_t STEP = 8;
    // Step j of every 24 samples starts at channel (8 j) mod 3: 0, 2, 1.
    __m256 scale[3];
    __m256 offset[3];
    for (std::uint64_t phase = 0; phase < 3; ++phase) {
        alignas(32) float s[STEP];
        alignas(32) float o[STEP];
        for (std::uint64_t t = 0; t < STEP; ++t) {
            const std::uint64_t c = (phase * STEP + t) % RGB;
            s[t] = k.scale[c];
            o[t] = k.offset[c];
        }
        scale[phase] = _mm256_load_ps(s);
        offset[phase] = _mm256_load_ps(o);
    }
    std::uint64_t i = 0;
    std::uint64_t phase = 0;
    for (; i + STEP <= sample_count; i += STEP) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + i));
        const __m256 values = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
        _mm256_storeu_ps(dst + i, _mm256_add_ps(_mm256_mul_ps(values, scale[phase]), offset[phase]));
        phase = phase == 2 ? 0 : phase + 1;
    }
    normalize_hwc_from(src, dst, sample_count, i, k);
}

void normalize_gray(const std::uint8_t* src, float* dst, std::uint64_t sample_count, float scale,
                    float mean_over_std) {
    constexpr std::uint64_t STEP = 8;
    std::uint64_t i = 0;
    for (; i + STEP <= sample_count; i += STEP)
        for (std::uint64_t t = 0; t < STEP; ++t)
            dst[i + t] = static_cast<float>(src[i + t]) * scale - mean_over_std;
    for (; i < sample_count; ++i) dst[i] = static_cast<float>(src[i]) * scale - mean_over_std;
}

CoreResult<Bytes> channels_u8_to_chw(std::span<const std::uint8_t> bytes, std::uint64_t height,
                                     std::uint64_t width, std::uint64_t channels) {
    if (channels != 1 && channels != RGB) return fail_invalid(IMAGE_CHANNELS_MESSAGE);
    const auto samples = raster_sample_count(height, width, channels);
    if (!samples) return std::unexpected(samples.error());
    if (bytes.size() != *samples) return fail_invalid(channels == RGB ? INVALID_RGB_BUFFER : INVALID_RASTER_BUFFER_MESSAGE);
    if (*samples == 0) return Bytes{};
    auto out = allocate<std::uint8_t>(*samples);
    if (!out) return out;
    const CpuFeatures features = cpu_features();
    if (channels == 1) {
        std::copy(bytes.begin(), bytes.end(), out->begin());
    } else if (features.avx2) {
        hwc_u8_to_chw_avx2(bytes.data(), out->data(), height * width);
    } else if (features.ssse3) {
        hwc_u8_to_chw_ssse3(bytes.data(), out->data(), height * width);
    } else {
        hwc_u8_to_chw_scalar(bytes.data(), out->data(), height * width);
    }
    return out;
}

CoreResult<std::vector<float>> normalize_channels(std::span<const std::uint8_t> bytes, float mean, float std,
                                                  float max_pixel_value) {
    if (bytes.empty()) return std::vector<float>{};
    auto out = allocate<float>(bytes.size());
    if (!out) return out;
    const float scale = 1.0f / (max_pixel_value * std);
    const float mean_over_std = mean / std;
    normalize_gray(bytes.data(), out->data(), bytes.size(), scale, mean_over_std);
    return out;
}

CoreResult<std::vector<float>> normalize_channels(std::span<const std::uint8_t> bytes,
                                                  const std::array<float, 3>& mean, const std::array<float, 3>& std,
                                                  float max_pixel_value) {
    if (bytes.empty()) return std::vector<float>{};
    auto out = allocate<float>(bytes.size());
    if (!out) return out;
    const NormalizeConstants constants = normalize_constants(mean, std, max_pixel_value);
    if (cpu_features().avx2) {
        normalize_hwc_avx2(bytes.data(), out->data(), bytes.size(), constants);
    } else {
        normalize_hwc_scalar(bytes.data(), out->data(), bytes.size(), constants);
    }
    return out;
}

CoreResult<std::vector<float>> normalize_channels_to_chw(std::span<const std::uint8_t> bytes, std::uint64_t height,
                                                         std::uint64_t width, const std::array<float, 3>& mean,
                                                         float max_pixel_value, const std::array<float, 3>& std) {
    const auto samples = raster_sample_count(height, width, RGB);
    if (!samples) return std::unexpected(samples.error());
    if (bytes.size() != *samples) return fail_invalid(INVALID_RGB_BUFFER);
    if (*samples == 0) return std::vector<float>{};
    auto out = allocate<float>(*samples);
    if (!out) return out;
    const NormalizeConstants constants = normalize_constants(mean, std, max_pixel_value);
    if (cpu_features().avx2) {
        normalize_hwc_to_chw_avx2(bytes.data(), out->data(), height * width, constants);
    } else {
        normalize_hwc_to_chw_scalar(bytes.data(), out->data(), height * width, constants);
    }
    return out;
}

}  // namespace tessalumen::kernels::layout
