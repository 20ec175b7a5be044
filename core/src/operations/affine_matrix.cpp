#include "affine_matrix.h"

#include <cmath>

namespace tessalumen {
namespace {

// pi / 180 rounded to f32.
constexpr float DEGREES_TO_RADIANS = 0.017453292f;

}  // namespace

CoreResult<AffineMatrix> inverse_affine_matrix(const AffineParameters& parameters, std::uint64_t height,
                                               std::uint64_t width) {
    const float theta = parameters.angle * DEGREES_TO_RADIANS;
    const float shear_x = parameters.shear_x * DEGREES_TO_RADIANS;
    const float shear_y = parameters.shear_y * DEGREES_TO_RADIANS;

    const float cos_rotated = cosf(theta - shear_y);
    const float sin_rotated = sinf(theta - shear_y);
    const float cos_shear_y = cosf(shear_y);
    const float tan_shear_x = tanf(shear_x);

    // Entries b and d of the forward matrix; the inverse needs only these two
    // besides the rotated column, which enters m3 and m4 directly.
    const float b = (tan_shear_x * (-cos_rotated)) / cos_shear_y - sinf(theta);
    const float d = (tan_shear_x * (-sin_rotated)) / cos_shear_y + cosf(theta);

    const float k = 1.0f / parameters.scale;
    AffineMatrix m{};
    m[0] = k * d;
    m[1] = k * (-b);
    m[3] = (-sin_rotated / cos_shear_y) * k;
    m[4] = (cos_rotated / cos_shear_y) * k;

    const float centre_x = (static_cast<float>(width) - 1.0f) * 0.5f;
    const float centre_y = (static_cast<float>(height) - 1.0f) * 0.5f;
    const float ex = -centre_x - parameters.translate_x;
    const float ey = -centre_y - parameters.translate_y;
    m[2] = centre_x + (m[1] * ey + m[0] * ex);
    m[5] = centre_y + (m[4] * ey + m[3] * ex);

    for (float entry : m) {
        if (!std::isfinite(entry)) return fail_invalid(AFFINE_NON_FINITE_MESSAGE);
    }
    return m;
}

}  // namespace tessalumen
