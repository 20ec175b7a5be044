#pragma once
// One-dimensional Gaussian kernels in 8-bit fixed point for the separable blur.
//
// Invariants of every kernel this file returns: odd length k, weights summing
// to exactly 256, every weight at most 256, and a palindrome (weight j equals
// weight k - 1 - j), so a uniform raster stays uniform under the blur.

#include <cstdint>
#include <span>
#include <vector>

#include "../error.h"

namespace tessalumen {

using GaussianKernel = std::vector<std::uint16_t>;

inline constexpr const char* GAUSSIAN_ODD_KERNEL_MESSAGE =
    "GaussianBlur requires an odd positive kernel_size and finite sigma > 0";
inline constexpr const char* GAUSSIAN_KERNEL_TOO_LARGE_MESSAGE = "GaussianBlur kernel_size is too large";
inline constexpr const char* GAUSSIAN_QUANTIZATION_MESSAGE = "GaussianBlur kernel could not be quantized safely";

[[nodiscard]] CoreResult<GaussianKernel> make_gaussian_kernel(std::uint64_t kernel_size, float sigma);

// Spreads `delta` (256 minus the current weight sum) over the weights, the odd
// unit to the centre and the rest pairwise to the pairs whose rounding left
// the largest residual in delta's direction. `residuals` is consumed.
[[nodiscard]] CoreStatus distribute_gaussian_residual(GaussianKernel& weights, std::span<double> residuals,
                                                      std::int64_t delta);

[[nodiscard]] CoreError invalid_gaussian_kernel();

}  // namespace tessalumen
