#include "plan/gaussian_kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tessalumen {
namespace {

struct KernelCase {
    std::uint64_t size;
    float sigma;
    GaussianKernel expected;
};

void PrintTo(const KernelCase& c, std::ostream* os) { *os << "size " << c.size << " sigma " << c.sigma; }

class GaussianKernelVectors : public testing::TestWithParam<KernelCase> {};

TEST_P(GaussianKernelVectors, BuildsExactWeights) {
    const KernelCase& c = GetParam();
    auto kernel = make_gaussian_kernel(c.size, c.sigma);
    ASSERT_TRUE(kernel.has_value()) << kernel.error().message;
    EXPECT_EQ(*kernel, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, GaussianKernelVectors,
    testing::Values(KernelCase{1, 0.3f, {256}}, KernelCase{1, 100.0f, {256}}, KernelCase{3, 1.0f, {70, 116, 70}},
                    KernelCase{5, 1.0f, {14, 63, 102, 63, 14}}, KernelCase{7, 1.5f, {9, 29, 55, 70, 55, 29, 9}},
                    KernelCase{5, 0.5f, {0, 27, 202, 27, 0}}, KernelCase{3, 0.1f, {0, 256, 0}},
                    // Rounded sum 254: the two missing units go to the pair rounded down the most.
                    KernelCase{5, 2.7f, {44, 55, 58, 55, 44}},
                    // Rounded sum 258: two units come off the non-zero pair rounded up the most.
                    KernelCase{5, 2.05f, {40, 56, 64, 56, 40}}));

struct BadKernelCase {
    std::uint64_t size;
    float sigma;
    const char* message;
};

void PrintTo(const BadKernelCase& c, std::ostream* os) { *os << "size " << c.size << " sigma " << c.sigma; }

class GaussianKernelErrors : public testing::TestWithParam<BadKernelCase> {};

TEST_P(GaussianKernelErrors, FailsWithMessage) {
    const BadKernelCase& c = GetParam();
    auto kernel = make_gaussian_kernel(c.size, c.sigma);
    ASSERT_FALSE(kernel.has_value());
    EXPECT_EQ(kernel.error().kind, CoreErrorKind::Invalid);
    EXPECT_EQ(kernel.error().message, c.message);
}

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float Inf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Errors, GaussianKernelErrors,
    testing::Values(BadKernelCase{4, 1.0f, GAUSSIAN_ODD_KERNEL_MESSAGE}, BadKernelCase{0, 1.0f, GAUSSIAN_ODD_KERNEL_MESSAGE},
                    BadKernelCase{3, 0.0f, GAUSSIAN_ODD_KERNEL_MESSAGE}, BadKernelCase{3, -1.0f, GAUSSIAN_ODD_KERNEL_MESSAGE},
                    BadKernelCase{3, NaN, GAUSSIAN_ODD_KERNEL_MESSAGE}, BadKernelCase{3, Inf, GAUSSIAN_ODD_KERNEL_MESSAGE},
                    // Fails at once, before any allocation is attempted.
                    BadKernelCase{(std::uint64_t{1} << 60) + 1, 1.0f, GAUSSIAN_KERNEL_TOO_LARGE_MESSAGE},
                    BadKernelCase{std::numeric_limits<std::uint64_t>::max(), 1.0f, GAUSSIAN_KERNEL_TOO_LARGE_MESSAGE},
                    // Below the size bound, but far beyond any memory.
                    BadKernelCase{(std::uint64_t{1} << 59) + 1, 1.0f, GAUSSIAN_KERNEL_TOO_LARGE_MESSAGE}));

TEST(GaussianKernel, InvariantsHoldAcrossSizesAndSigmas) {
    for (std::uint64_t size = 1; size <= 61; size += 2) {
        for (float sigma : {0.05f, 0.3f, 0.8f, 1.0f, 2.5f, 7.0f, 40.0f, 1e6f}) {
            auto kernel = make_gaussian_kernel(size, sigma);
            ASSERT_TRUE(kernel.has_value()) << size << " " << sigma << ": " << kernel.error().message;
            unsigned sum = 0;
            for (std::size_t j = 0; j < kernel->size(); ++j) {
                sum += (*kernel)[j];
                EXPECT_LE((*kernel)[j], 256u);
                EXPECT_EQ((*kernel)[j], (*kernel)[kernel->size() - 1 - j]);
            }
            EXPECT_EQ(sum, 256u) << size << " " << sigma;
        }
    }
}

TEST(GaussianKernel, ResidualDistributionFailsWithoutCandidates) {
    // A single weight has no pair to take an even delta.
    GaussianKernel single{254};
    std::vector<double> residuals{0.0};
    auto status = distribute_gaussian_residual(single, residuals, 2);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message, GAUSSIAN_QUANTIZATION_MESSAGE);

    // A negative delta finds only zero pairs to take from.
    GaussianKernel zeros{0, 258, 0};
    residuals = {0.0, 0.0, 0.0};
    status = distribute_gaussian_residual(zeros, residuals, -2);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(invalid_gaussian_kernel().message, GAUSSIAN_QUANTIZATION_MESSAGE);

    // No centre weight to take an odd unit, or residuals missing for the
    // weights: refused without touching either list.
    GaussianKernel empty;
    std::vector<double> no_residuals;
    status = distribute_gaussian_residual(empty, no_residuals, 1);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message, GAUSSIAN_QUANTIZATION_MESSAGE);
    GaussianKernel five{10, 20, 30, 20, 10};
    std::vector<double> short_residuals{0.1};
    status = distribute_gaussian_residual(five, short_residuals, 4);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(five, (GaussianKernel{10, 20, 30, 20, 10}));
}

TEST(GaussianKernel, ResidualDistributionCyclesThroughPairs) {
    // Delta 6 over two pairs: the sentinel sends the third unit pair back to the lowest index.
    GaussianKernel weights{10, 20, 30, 20, 10};
    std::vector<double> residuals{0.1, 0.4, 0.0, 0.4, 0.1};
    ASSERT_TRUE(distribute_gaussian_residual(weights, residuals, 6).has_value());
    EXPECT_EQ(weights, (GaussianKernel{12, 21, 30, 21, 12}));
}

}  // namespace
}  // namespace tessalumen
