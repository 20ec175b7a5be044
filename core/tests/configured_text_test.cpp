#include <gtest/gtest.h>

#include <limits>

#include "configured_text.h"

namespace tessalumen {
namespace {

struct RealCase {
    float value;
    const char* text;
};

class FormatReal : public testing::TestWithParam<RealCase> {};

TEST_P(FormatReal, ShortestRoundTrip) { EXPECT_EQ(format_real(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, FormatReal,
    testing::Values(RealCase{2.0f, "2.0"}, RealCase{0.0f, "0.0"}, RealCase{-0.0f, "-0.0"}, RealCase{0.485f, "0.485"},
                    RealCase{0.1f, "0.1"}, RealCase{-1.5f, "-1.5"}, RealCase{255.0f, "255.0"},
                    RealCase{0.0001f, "0.0001"}, RealCase{0.00009999f, "9.999e-5"}, RealCase{1e-5f, "1e-5"},
                    RealCase{1.5e-7f, "1.5e-7"}, RealCase{1e15f, "1000000000000000.0"}, RealCase{1e16f, "1e16"},
                    RealCase{-2.5e20f, "-2.5e20"}, RealCase{3.4028235e38f, "3.4028235e38"},
                    RealCase{1e-45f, "1e-45"}, RealCase{16777216.0f, "16777216.0"},
                    RealCase{std::numeric_limits<float>::infinity(), "inf"},
                    RealCase{std::numeric_limits<float>::quiet_NaN(), "NaN"}));

TEST(ConfiguredTexts, FillsAndNormalizeLists) {
    const TransformSpec pad = config::PadIfNeeded{1, 4, 4, {}, {}, PadPosition::Center, BorderMode::Constant, {255, 0, 0}};
    EXPECT_EQ(configured_texts(pad), (ConfiguredTexts{{"fill", "[255,0,0]"}}));
    const TransformSpec dropout = config::CoarseDropout{1, {1, 1}, PixelExtent{1, 1}, PixelExtent{1, 1}, {0}};
    EXPECT_EQ(configured_texts(dropout), (ConfiguredTexts{{"fill", "[0]"}}));
    // Texts are made from the lists as configured, even invalid ones.
    const TransformSpec empty_fill = config::RandomRotation{1, {0, 0}, Interpolation::Nearest, BorderMode::Constant, {}};
    EXPECT_EQ(configured_texts(empty_fill), (ConfiguredTexts{{"fill", "[]"}}));
    const TransformSpec normalize = config::Normalize{1, {0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f}, 255};
    EXPECT_EQ(configured_texts(normalize),
              (ConfiguredTexts{{"mean", "[0.485, 0.456, 0.406]"}, {"std", "[0.229, 0.224, 0.225]"}}));
    const TransformSpec integral = config::Normalize{1, {2}, {1e-5f}, 255};
    EXPECT_EQ(configured_texts(integral), (ConfiguredTexts{{"mean", "[2.0]"}, {"std", "[1e-5]"}}));
    EXPECT_TRUE(configured_texts(TransformSpec{config::Invert{1}}).empty());
    EXPECT_TRUE(configured_texts(TransformSpec{config::Resize{1, 2, 2, Interpolation::Nearest, false}}).empty());
}

}  // namespace
}  // namespace tessalumen
