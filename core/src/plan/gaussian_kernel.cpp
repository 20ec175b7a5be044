#include "gaussian_kernel.h"

#include <bit>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <new>

namespace tessalumen {
namespace {

constexpr std::uint64_t MAX_KERNEL_SIZE = std::uint64_t{1} << 60;
constexpr double MAX_WEIGHT = 65535.0;

// Key that orders doubles by the IEEE total order (-0 below +0).
std::int64_t total_order_key(double value) {
    auto bits = std::bit_cast<std::int64_t>(value);
    if (bits < 0) bits ^= std::numeric_limits<std::int64_t>::max();
    return bits;
}

bool fits_weight(std::int64_t value) { return value >= 0 && value <= static_cast<std::int64_t>(MAX_WEIGHT); }

bool is_valid_kernel(const GaussianKernel& weights) {
    std::uint64_t sum = 0;
    const std::size_t k = weights.size();
    for (std::size_t j = 0; j < k; ++j) {
        if (weights[j] > 256 || weights[j] != weights[k - 1 - j]) return false;
        sum += weights[j];
    }
    return sum == 256;
}

}  // namespace

CoreError invalid_gaussian_kernel() { return CoreError::invalid(GAUSSIAN_QUANTIZATION_MESSAGE); }

CoreStatus distribute_gaussian_residual(GaussianKernel& weights, std::span<double> residuals, std::int64_t delta) {
    const std::size_t k = weights.size();
    // Without a centre weight, or with fewer residuals than weights, there is
    // nothing safe to adjust.
    if (k == 0 || residuals.size() < k) return std::unexpected(invalid_gaussian_kernel());
    const std::size_t h = k / 2;
    const std::int64_t d = delta < 0 ? -1 : 1;
    std::uint64_t n = delta < 0 ? 0 - static_cast<std::uint64_t>(delta) : static_cast<std::uint64_t>(delta);

    if (n % 2 == 1) {
        const std::int64_t centre = std::int64_t{weights[h]} + d;
        if (!fits_weight(centre)) return std::unexpected(invalid_gaussian_kernel());
        weights[h] = static_cast<std::uint16_t>(centre);
        --n;
    }
    const double sentinel = d > 0 ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
    while (n > 0) {
        std::size_t best = h;  // h means "no candidate yet"
        std::int64_t best_key = 0;
        for (std::size_t j = 0; j < h; ++j) {
            if (d < 0 && weights[j] == 0) continue;
            const std::int64_t key = total_order_key(residuals[j] * static_cast<double>(d));
            if (best == h || key > best_key) {
                best = j;
                best_key = key;
            }
        }
        if (best == h) return std::unexpected(invalid_gaussian_kernel());
        const std::int64_t value = std::int64_t{weights[best]} + d;
        if (!fits_weight(value)) return std::unexpected(invalid_gaussian_kernel());
        weights[best] = static_cast<std::uint16_t>(value);
        weights[k - 1 - best] = static_cast<std::uint16_t>(value);
        residuals[best] = sentinel;
        n -= 2;
    }
    return {};
}

CoreResult<GaussianKernel> make_gaussian_kernel(std::uint64_t kernel_size, float sigma) {
    if (kernel_size % 2 == 0 || !std::isfinite(sigma) || !(sigma > 0.0f)) {
        return fail_invalid(GAUSSIAN_ODD_KERNEL_MESSAGE);
    }
    if (kernel_size >= MAX_KERNEL_SIZE) return fail_invalid(GAUSSIAN_KERNEL_TOO_LARGE_MESSAGE);
    const auto k = static_cast<std::size_t>(kernel_size);

    // The f64 list is the larger of the two; asking for it without throwing
    // lets an absurd size fail cleanly before anything else is attempted.
    std::unique_ptr<double[]> scaled(new (std::nothrow) double[k]);
    if (scaled == nullptr) return fail_invalid(GAUSSIAN_KERNEL_TOO_LARGE_MESSAGE);
    GaussianKernel weights;
    try {
        weights.resize(k);
    } catch (const std::exception&) {
        return fail_invalid(GAUSSIAN_KERNEL_TOO_LARGE_MESSAGE);
    }

    const std::size_t h = k / 2;
    const double sigma_wide = static_cast<double>(sigma);
    double sum = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t distance = j > h ? j - h : h - j;
        const double m = static_cast<double>(distance) / sigma_wide;
        scaled[j] = std::exp((m * -0.5) * m);
        sum += scaled[j];
    }

    // `scaled` becomes the residual list once each weight is rounded.
    std::int64_t total = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const double u = (scaled[j] / sum) * 256.0;
        const double q = std::fmin(std::fmax(std::round(u), 0.0), MAX_WEIGHT);
        weights[j] = static_cast<std::uint16_t>(q);
        scaled[j] = u - q;
        total += weights[j];
    }

    const std::int64_t delta = 256 - total;
    if (delta >= -1 && delta <= 1) {
        const std::int64_t centre = std::int64_t{weights[h]} + delta;
        if (!fits_weight(centre)) return std::unexpected(invalid_gaussian_kernel());
        weights[h] = static_cast<std::uint16_t>(centre);
    } else if (auto distributed = distribute_gaussian_residual(weights, std::span(scaled.get(), k), delta);
               !distributed) {
        return std::unexpected(std::move(distributed.error()));
    }

    if (!is_valid_kernel(weights)) return std::unexpected(invalid_gaussian_kernel());
    return weights;
}

}  // namespace tessalumen
