#pragma once
// The inverse map of the affine warps: for an output pixel (x, y) the source
// point is (m0*x + m1*y + m2, m3*x + m4*y + m5). Images and masks warped by
// the same parameters share this one computation, so a mask and a nearest
// image warp agree pixel for pixel.

#include <array>
#include <cstdint>

#include "../error.h"

namespace tessalumen {

inline constexpr const char* AFFINE_NON_FINITE_MESSAGE = "Affine parameters produce non-finite coordinates";

// Translations in pixels, shears and angle in degrees; in the order a sample
// carries them.
struct AffineParameters {
    float translate_x;
    float translate_y;
    float shear_x;
    float shear_y;
    float angle;
    float scale;
};

// m0..m5, single precision.
using AffineMatrix = std::array<float, 6>;

// The inverse of: translate by (tx, ty) after rotating by the angle, scaling
// and shearing about the raster centre ((width - 1) / 2, (height - 1) / 2).
// Every operation is one f32 operation in a fixed order with the
// single-precision sine, cosine and tangent, so the matrix is reproducible bit
// for bit. Fails (Invalid) when an entry is infinite or NaN.
[[nodiscard]] CoreResult<AffineMatrix> inverse_affine_matrix(const AffineParameters& parameters,
                                                             std::uint64_t height, std::uint64_t width);

}  // namespace tessalumen
