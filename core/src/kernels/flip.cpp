#include "kernels/flip.h"

#include <immintrin.h>

#include <array>
#include <cstring>
#include <utility>

namespace tessalumen::kernels::flip {
namespace {

constexpr std::uint64_t RGB = 3;
// Pixels swapped from each end of a row per AVX2 step: 48 bytes, three 16-byte chunks.
constexpr std::uint64_t RGB_BLOCK_PIXELS = 16;
constexpr std::uint64_t GRAY_BLOCK_BYTES = 32;

void swap_rgb_pixels(std::uint8_t* a, std::uint8_t* b) {
    std::swap(a[0], b[0]);
    std::swap(a[1], b[1]);
    std::swap(a[2], b[2]);
}

// Reverses the pixels [first, width - first) of one RGB row in place.
void flip_rgb_row_middle(std::uint8_t* row, std::uint64_t width, std::uint64_t first) {
    for (std::uint64_t x = first; x < width / 2; ++x) swap_rgb_pixels(row + x * RGB, row + (width - 1 - x) * RGB);
}

void flip_gray_row_middle(std::uint8_t* row, std::uint64_t width, std::uint64_t first) {
    for (std::uint64_t x = first; x < width / 2; ++x) std::swap(row[x], row[width - 1 - x]);
}

// Shuffle controls that reverse the 16 pixels of a 48-byte block: output chunk
// o takes from input chunk s the bytes masks[o][s] selects (0x80 writes 0), so
// output chunk o is the OR of pshufb(input chunk s, masks[o][s]) over s.
// Output byte j holds byte j % 3 of pixel 15 - j / 3, i.e. input byte
// 45 - 3 * (j / 3) + j % 3.
using ChunkMasks = std::array<std::array<std::array<std::uint8_t, 16>, 3>, 3>;

constexpr ChunkMasks make_rgb_reverse_masks() {
    ChunkMasks masks{};
    for (std::uint64_t o = 0; o < 3; ++o) {
        for (std::uint64_t s = 0; s < 3; ++s) {
            for (std::uint64_t t = 0; t < 16; ++t) {
                const std::uint64_t j = o * 16 + t;
                const std::uint64_t i = 45 - 3 * (j / 3) + j % 3;
                masks[o][s][t] = (i / 16 == s) ? static_cast<std::uint8_t>(i % 16) : 0x80;
            }
        }
    }
    return masks;
}
constexpr ChunkMasks RGB_REVERSE_MASKS = make_rgb_reverse_masks();

constexpr bool mask_selects_any(const std::array<std::uint8_t, 16>& mask) {
    for (std::uint8_t byte : mask)
        if (byte != 0x80) return true;
    return false;
}

__attribute__((target("avx2"))) inline __m256i load_two_lanes(const std::uint8_t* low, const std::uint8_t* high) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

__attribute__((target("avx2"))) inline void store_two_lanes(std::uint8_t* low, std::uint8_t* high, __m256i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(v, 1));
}

__attribute__((target("avx2"))) inline __m256i broadcast_mask(const std::array<std::uint8_t, 16>& mask) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask.data())));
}

}  // namespace

void horizontal_flip_scalar(std::uint8_t* data, std::uint64_t height, std::uint64_t width) {
    if (width < 2) return;
    for (std::uint64_t y = 0; y < height; ++y) flip_rgb_row_middle(data + y * width * RGB, width, 0);
}

// Both ends of a row travel together: the left block sits in the low 128-bit
// lane, the right block in the high lane, so one set of in-lane shuffles
// reverses both; the reversed right block is stored on the left and the
// reversed left block on the right.
__attribute__((target("avx2"))) void horizontal_flip_avx2(std::uint8_t* data, std::uint64_t height,
                                                         std::uint64_t width) {
    if (width < 2) return;
    // Output chunk 0 draws on input chunks 1 and 2, chunk 1 on all three, chunk 2 on 0 and 1.
    static_assert(!mask_selects_any(RGB_REVERSE_MASKS[0][0]) && !mask_selects_any(RGB_REVERSE_MASKS[2][2]));
    const __m256i m01 = broadcast_mask(RGB_REVERSE_MASKS[0][1]);
    const __m256i m02 = broadcast_mask(RGB_REVERSE_MASKS[0][2]);
    const __m256i m10 = broadcast_mask(RGB_REVERSE_MASKS[1][0]);
    const __m256i m11 = broadcast_mask(RGB_REVERSE_MASKS[1][1]);
    const __m256i m12 = broadcast_mask(RGB_REVERSE_MASKS[1][2]);
    const __m256i m20 = broadcast_mask(RGB_REVERSE_MASKS[2][0]);
    const __m256i m21 = broadcast_mask(RGB_REVERSE_MASKS[2][1]);

    for (std::uint64_t y = 0; y < height; ++y) {
        std::uint8_t* row = data + y * width * RGB;
        std::uint64_t x = 0;
        // The left block [x, x + 16) and the right block [width - x - 16, width - x) must not overlap.
        while (2 * (x + RGB_BLOCK_PIXELS) <= width) {
            std::uint8_t* left = row + x * RGB;
            std::uint8_t* right = row + (width - x - RGB_BLOCK_PIXELS) * RGB;
            const __m256i c0 = load_two_lanes(left, right);
            const __m256i c1 = load_two_lanes(left + 16, right + 16);
            const __m256i c2 = load_two_lanes(left + 32, right + 32);
            const __m256i o0 = _mm256_or_si256(_mm256_shuffle_epi8(c1, m01), _mm256_shuffle_epi8(c2, m02));
            const __m256i o1 = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(c0, m10), _mm256_shuffle_epi8(c1, m11)),
                _mm256_shuffle_epi8(c2, m12));
            const __m256i o2 = _mm256_or_si256(_mm256_shuffle_epi8(c0, m20), _mm256_shuffle_epi8(c1, m21));
            store_two_lanes(right, left, o0);
            store_two_lanes(right + 16, left + 16, o1);
            store_two_lanes(right + 32, left + 32, o2);
            x += RGB_BLOCK_PIXELS;
        }
        flip_rgb_row_middle(row, width, x);
    }
}

void horizontal_flip_gray_scalar(std::uint8_t* data, std::uint64_t height, std::uint64_t width) {
    if (width < 2) return;
    for (std::uint64_t y = 0; y < height; ++y) flip_gray_row_middle(data + y * width, width, 0);
}

__attribute__((target("avx2"))) void horizontal_flip_gray_avx2(std::uint8_t* data, std::uint64_t height,
                                                              std::uint64_t width) {
    if (width < 2) return;
    // Reverses the bytes inside each 128-bit lane; the lane swap completes a 32-byte reversal.
    const __m256i reverse_in_lane =
        _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                         5, 4, 3, 2, 1, 0);
    constexpr int SWAP_LANES = 0x4E;
    for (std::uint64_t y = 0; y < height; ++y) {
        std::uint8_t* row = data + y * width;
        std::uint64_t x = 0;
        while (2 * (x + GRAY_BLOCK_BYTES) <= width) {
            std::uint8_t* left = row + x;
            std::uint8_t* right = row + width - x - GRAY_BLOCK_BYTES;
            const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(left));
            const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right));
            const __m256i l_reversed = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(l, reverse_in_lane), SWAP_LANES);
            const __m256i r_reversed = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(r, reverse_in_lane), SWAP_LANES);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(left), r_reversed);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(right), l_reversed);
            x += GRAY_BLOCK_BYTES;
        }
        flip_gray_row_middle(row, width, x);
    }
}

void vertical_flip_in_place(std::uint8_t* data, std::uint64_t height, std::uint64_t row_bytes) {
    // Rows are exchanged through a small stack buffer, a chunk at a time.
    constexpr std::uint64_t CHUNK = 1024;
    std::array<std::uint8_t, CHUNK> temporary;
    for (std::uint64_t r = 0; r < height / 2; ++r) {
        std::uint8_t* top = data + r * row_bytes;
        std::uint8_t* bottom = data + (height - 1 - r) * row_bytes;
        for (std::uint64_t offset = 0; offset < row_bytes; offset += CHUNK) {
            const std::uint64_t n = row_bytes - offset < CHUNK ? row_bytes - offset : CHUNK;
            std::memcpy(temporary.data(), top + offset, n);
            std::memcpy(top + offset, bottom + offset, n);
            std::memcpy(bottom + offset, temporary.data(), n);
        }
    }
}

void vertical_flip_into(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t height, std::uint64_t row_bytes) {
    if (row_bytes == 0) return;
    for (std::uint64_t r = 0; r < height; ++r) std::memcpy(dst + r * row_bytes, src + (height - 1 - r) * row_bytes, row_bytes);
}

}  // namespace tessalumen::kernels::flip
