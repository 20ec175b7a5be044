// The image step loop: equal results in every execution mode and on every
// kernel tier, the buffer discipline of each mode, the terminal Normalize
// paths, and the errors of samples that do not fit the pipeline or raster.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cpu_feature_mask.h"
#include "engine.h"
#include "random_stream.h"

namespace tessalumen {
namespace {

constexpr ExecutionMode ALL_MODES[] = {ExecutionMode::Reference, ExecutionMode::Compiled, ExecutionMode::StagedFresh,
                                       ExecutionMode::StagedReuse};

CompiledPipeline compile(std::vector<TransformSpec> steps, ExecutionMode mode) {
    auto spec = PipelineSpec::with_target_requirements(std::move(steps),
                                                       {TargetDescriptor{TargetRole::Image, 0, true, true}});
    auto compiled = ExecutionPlan::compile(std::move(spec), mode);
    EXPECT_TRUE(compiled) << compiled.error().message;
    return std::move(*compiled);
}

std::vector<SampledTransform> sample(const CompiledPipeline& pipeline, std::uint64_t height, std::uint64_t width,
                                     std::uint64_t key) {
    auto samples = sample_plans(pipeline.plans, height, width, stream_seed(1234, key));
    EXPECT_TRUE(samples) << samples.error().message;
    return std::move(*samples);
}

Bytes random_bytes(std::size_t length, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
    return bytes;
}

const Bytes& u8(const OutputRaster& raster) { return std::get<Bytes>(raster.data); }
const std::vector<float>& f32(const OutputRaster& raster) { return std::get<std::vector<float>>(raster.data); }

// Rasters compared element for element; floats by their bits.
void expect_same_raster(const std::optional<OutputRaster>& a, const std::optional<OutputRaster>& b,
                        const std::string& label) {
    ASSERT_EQ(a.has_value(), b.has_value()) << label;
    if (!a) return;
    EXPECT_EQ(a->kind, b->kind) << label;
    EXPECT_EQ(a->channels, b->channels) << label;
    EXPECT_EQ(a->ndim, b->ndim) << label;
    EXPECT_EQ(a->height, b->height) << label;
    EXPECT_EQ(a->width, b->width) << label;
    ASSERT_EQ(a->data.index(), b->data.index()) << label;
    if (a->data.index() == 0) {
        EXPECT_EQ(u8(*a), u8(*b)) << label;
    } else {
        const auto& x = f32(*a);
        const auto& y = f32(*b);
        ASSERT_EQ(x.size(), y.size()) << label;
        EXPECT_EQ(std::memcmp(x.data(), y.data(), x.size() * sizeof(float)), 0) << label;
    }
}

// Pipelines whose first step takes each borrowed form of compiled mode (crop,
// vertical flip, pad) or none (horizontal flip), with optional Normalize.
std::vector<std::vector<TransformSpec>> pipelines_under_test(bool normalize) {
    const auto reflect_pad = config::PadIfNeeded{1.0f, 12, 20, std::nullopt, std::nullopt, PadPosition::Random,
                                                 BorderMode::Reflect101, {7}};
    const auto divisor_pad = config::PadIfNeeded{1.0f, std::nullopt, std::nullopt, 8, 8, PadPosition::Center,
                                                 BorderMode::Constant, {1, 2, 3}};
    std::vector<std::vector<TransformSpec>> pipelines{
        {config::RandomCrop{1.0f, 9, 13}, config::HorizontalFlip{1.0f}, config::VerticalFlip{0.5f}, reflect_pad,
         config::CenterCrop{0.7f, 11, 17}, divisor_pad},
        {config::VerticalFlip{0.5f}, config::HorizontalFlip{0.5f}, config::RandomCrop{0.5f, 7, 7}},
        {divisor_pad, config::CenterCrop{0.5f, 8, 8}, reflect_pad},
        {config::CenterCrop{1.0f, 5, 7}, config::VerticalFlip{1.0f}},
        {config::HorizontalFlip{1.0f}, config::PadIfNeeded{0.5f, 40, 9, std::nullopt, std::nullopt,
                                                           PadPosition::BottomLeft, BorderMode::Reflect101, {0}}},
    };
    if (normalize) {
        for (auto& steps : pipelines) steps.push_back(config::Normalize{1.0f, {0.485f}, {0.229f}, 255.0f});
    }
    return pipelines;
}

// Every mode, on the scalar tier and the dispatched tier, gives the result of
// reference mode on the scalar tier, for every layout a target may ask for.
TEST(Engine, EveryModeAndTierGivesTheSameResult) {
    struct Layouts {
        bool hwc, chw;
    };
    std::vector<std::vector<TransformSpec>> pipelines = pipelines_under_test(false);
    for (auto& steps : pipelines_under_test(true)) pipelines.push_back(std::move(steps));
    for (std::size_t p = 0; p < pipelines.size(); ++p) {
        for (const std::uint64_t channels : {1u, 3u}) {
            for (const auto& [height, width] : {std::pair<std::uint64_t, std::uint64_t>{17, 23}, {9, 67}, {31, 13}}) {
                const Bytes input = random_bytes(height * width * channels, static_cast<std::uint32_t>(height * width));
                for (const std::uint64_t key : {0u, 1u, 2u, 3u}) {
                    for (const Layouts need : {Layouts{true, false}, Layouts{false, true}, Layouts{true, true}}) {
                        const std::string label = "pipeline " + std::to_string(p) + ", channels " +
                                                  std::to_string(channels) + ", " + std::to_string(height) + "x" +
                                                  std::to_string(width) + ", key " + std::to_string(key) +
                                                  ", hwc " + std::to_string(need.hwc) + ", chw " +
                                                  std::to_string(need.chw);
                        std::optional<ImageOutput> baseline;
                        for (const std::uint32_t keep : {0u, testing_support::ALL_CPU_FEATURES}) {
                            testing_support::ScopedCpuFeatureMask tier(keep);
                            for (const ExecutionMode mode : ALL_MODES) {
                                const CompiledPipeline pipeline = compile(pipelines[p], mode);
                                const auto samples = sample(pipeline, height, width, key);
                                Workspace workspace;
                                auto out = pipeline.run_selected_image(input, height, width, samples, workspace,
                                                                       need.hwc, need.chw, channels);
                                ASSERT_TRUE(out) << label << ": " << out.error().message;
                                EXPECT_EQ(out->hwc.has_value(), need.hwc) << label;
                                EXPECT_EQ(out->chw.has_value(), need.chw) << label;
                                if (!baseline) {
                                    baseline = std::move(*out);
                                    continue;
                                }
                                const std::string where = label + ", mode " + std::string(execution_mode_name(mode)) +
                                                          ", features " + std::to_string(keep);
                                expect_same_raster(out->hwc, baseline->hwc, where + " (hwc)");
                                expect_same_raster(out->chw, baseline->chw, where + " (chw)");
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(Engine, BothLayoutsHoldTheSameSamples) {
    const CompiledPipeline pipeline = compile({config::HorizontalFlip{1.0f}}, ExecutionMode::Compiled);
    const Bytes input = random_bytes(4 * 5 * 3, 9);
    Workspace workspace;
    auto out = pipeline.run_selected_image(input, 4, 5, sample(pipeline, 4, 5, 0), workspace, true, true, 3);
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->hwc && out->chw);
    EXPECT_EQ(out->hwc->kind, RasterKind::U8Hwc);
    EXPECT_EQ(out->chw->kind, RasterKind::U8Chw);
    for (std::uint64_t y = 0; y < 4; ++y) {
        for (std::uint64_t x = 0; x < 5; ++x) {
            for (std::uint64_t c = 0; c < 3; ++c) {
                const std::uint8_t original = input[(y * 5 + (4 - x)) * 3 + c];
                EXPECT_EQ(u8(*out->hwc)[(y * 5 + x) * 3 + c], original);
                EXPECT_EQ(u8(*out->chw)[c * 20 + y * 5 + x], original);
            }
        }
    }
}

// What a run takes from and gives back to the workspace's byte pool, which
// starts with one spare buffer of 64 KiB.
TEST(Engine, BufferDisciplineOfEachMode) {
    constexpr std::uint64_t H = 16, W = 16, C = 3;
    const Bytes input = random_bytes(H * W * C, 5);
    struct Case {
        const char* label;
        ExecutionMode mode;
        std::vector<TransformSpec> steps;
        std::vector<SampledTransform> samples;
        bool hwc, chw;
        std::size_t pooled_after;
        bool spare_untouched;  // the spare buffer is still pooled, at the same address
        RasterKind result_kind;
    };
    const auto crop = [](float p) { return config::RandomCrop{p, 8, 8}; };
    const sampled::RandomCrop window{2, 3, 8, 8};
    const config::PadIfNeeded pad_to_16{1.0f, 16, 16, std::nullopt, std::nullopt, PadPosition::Center,
                                        BorderMode::Constant, {0}};
    std::vector<Case> cases;
    // The crop reads the caller's input: one buffer taken, none given back.
    cases.push_back({"compiled crop applied", ExecutionMode::Compiled, {crop(1.0f)}, {window}, true, false, 0, false,
                     RasterKind::U8Hwc});
    // Skipped: the input is copied, the pool is not touched.
    cases.push_back({"compiled crop skipped", ExecutionMode::Compiled, {crop(0.0f)}, {sampled::Skipped{}}, true, false,
                     1, true, RasterKind::U8Hwc});
    // Entry copy, the crop takes the spare and the copy goes back to the pool.
    cases.push_back({"reference crop", ExecutionMode::Reference, {crop(1.0f)}, {window}, true, false, 1, false,
                     RasterKind::U8Hwc});
    cases.push_back({"staged-reuse crop", ExecutionMode::StagedReuse, {crop(1.0f)}, {window}, true, false, 1, false,
                     RasterKind::U8Hwc});
    // Fresh buffers for every step: the pool is left exactly as it was.
    cases.push_back({"staged-fresh crop, flip, pad, normalize", ExecutionMode::StagedFresh,
                     {crop(1.0f), config::HorizontalFlip{1.0f}, pad_to_16,
                      config::Normalize{1.0f, {0.5f}, {0.5f}, 255.0f}},
                     {window, sampled::HorizontalFlip{}, sampled::PadIfNeeded{4, 4, 16, 16}, sampled::Normalize{}},
                     true, true, 1, true, RasterKind::F32Hwc});
    // A pad to the current size does nothing at all.
    cases.push_back({"reference pad to the same size", ExecutionMode::Reference, {pad_to_16},
                     {sampled::PadIfNeeded{0, 0, 16, 16}}, true, false, 1, true, RasterKind::U8Hwc});
    // Every step skipped with only CHW wanted: converted straight from the input.
    cases.push_back({"compiled all skipped, chw only", ExecutionMode::Compiled,
                     {config::HorizontalFlip{0.0f}, crop(0.0f)}, {sampled::Skipped{}, sampled::Skipped{}}, false, true,
                     1, true, RasterKind::U8Chw});
    // The lone Normalize reads the input directly.
    cases.push_back({"compiled single normalize", ExecutionMode::Compiled,
                     {config::Normalize{1.0f, {0.5f}, {0.5f}, 255.0f}}, {sampled::Normalize{}}, false, true, 1, true,
                     RasterKind::F32Chw});

    for (const Case& c : cases) {
        const CompiledPipeline pipeline = compile(c.steps, c.mode);
        Workspace workspace;
        workspace.recycle_u8(Bytes(1 << 16));
        const std::uint8_t* spare = workspace.pooled_u8()[0].data();
        auto result = pipeline.run_image<C>(input, H, W, c.samples, workspace, c.hwc, c.chw);
        ASSERT_TRUE(result) << c.label << ": " << result.error().message;
        EXPECT_EQ(result->kind, c.result_kind) << c.label;
        EXPECT_EQ(result->ndim, 3u) << c.label;
        const auto pooled = workspace.pooled_u8();
        EXPECT_EQ(pooled.size(), c.pooled_after) << c.label;
        const bool spare_kept = !pooled.empty() && pooled[0].data() == spare && pooled[0].capacity() == (1u << 16);
        EXPECT_EQ(spare_kept, c.spare_untouched) << c.label;
        if (const Bytes* data = std::get_if<Bytes>(&result->data)) {
            EXPECT_NE(data->data(), input.data()) << c.label;
        }
    }
}

TEST(Engine, AllSkippedReturnsACopyOfTheInputInEveryMode) {
    const Bytes input = random_bytes(5 * 7 * 3, 3);
    for (const ExecutionMode mode : ALL_MODES) {
        const CompiledPipeline pipeline = compile(
            {config::RandomCrop{0.0f, 2, 2}, config::HorizontalFlip{0.0f}, config::Normalize{0.0f, {0.5f}, {0.5f}, 255}},
            mode);
        Workspace workspace;
        auto out = pipeline.run_selected_image(input, 5, 7, sample(pipeline, 5, 7, 0), workspace, true, true, 3);
        ASSERT_TRUE(out);
        ASSERT_TRUE(out->hwc && out->chw);
        EXPECT_EQ(u8(*out->hwc), input);
        EXPECT_NE(u8(*out->hwc).data(), input.data());
        EXPECT_EQ(u8(*out->chw)[35], input[1]);  // green plane starts with pixel 0's green
    }
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// The exact f32 bits of Normalize through each path of the engine: the lone
// Normalize read from the input, the terminal step after a flip, HWC results
// and CHW results (direct in compiled mode, copied otherwise).
TEST(Engine, NormalizeBitsThroughEveryPath) {
    struct Case {
        float mean, std;
        std::uint8_t byte;
        std::uint32_t expected;
    };
    const Case cases[] = {{0.5f, 0.5f, 128, 0x3b808100}, {0.0f, 1.0f, 3, 0x3c40c0c2}, {0.0f, 1.0f, 0, 0x00000000}};
    for (const Case& c : cases) {
        for (const ExecutionMode mode : ALL_MODES) {
            for (const bool lone : {true, false}) {
                std::vector<TransformSpec> steps;
                if (!lone) steps.push_back(config::HorizontalFlip{1.0f});
                steps.push_back(config::Normalize{1.0f, {c.mean}, {c.std}, 255.0f});
                const CompiledPipeline pipeline = compile(std::move(steps), mode);
                const auto samples = sample(pipeline, 3, 3, 0);
                for (const std::uint64_t channels : {1u, 3u}) {
                    const Bytes input(9 * channels, c.byte);
                    for (const bool hwc : {true, false}) {
                        Workspace workspace;
                        auto out = pipeline.run_selected_image(input, 3, 3, samples, workspace, hwc, true, channels);
                        ASSERT_TRUE(out) << out.error().message;
                        ASSERT_TRUE(out->chw);
                        EXPECT_EQ(out->chw->kind, RasterKind::F32Chw);
                        std::vector<const OutputRaster*> rasters{&*out->chw};
                        if (hwc) rasters.push_back(&*out->hwc);
                        for (const OutputRaster* raster : rasters) {
                            ASSERT_EQ(f32(*raster).size(), 9 * channels);
                            for (const float v : f32(*raster)) ASSERT_EQ(bits(v), c.expected) << c.expected;
                        }
                    }
                }
            }
        }
    }
}

TEST(Engine, GrayIdentitiesNeedNoKernel) {
    const Bytes input = random_bytes(4 * 6, 11);
    const CompiledPipeline pipeline =
        compile({config::Grayscale{1.0f}, config::ColorJitter{1.0f, {1, 1}, {1, 1}, {0.5f, 1.5f}, {-0.2f, 0.2f}}},
                ExecutionMode::Reference);
    const auto samples = sample(pipeline, 4, 6, 0);
    Workspace workspace;
    auto gray = pipeline.run_selected_image(input, 4, 6, samples, workspace, true, false, 1);
    ASSERT_TRUE(gray) << gray.error().message;
    EXPECT_EQ(u8(*gray->hwc), input);
}

TEST(Engine, ErrorsOfSamplesRastersAndMissingOperations) {
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        const char* label;
        ExecutionMode mode;
        std::vector<TransformSpec> steps;
        std::vector<SampledTransform> samples;  // empty: sampled from the pipeline
        std::uint64_t channels;
        CoreErrorKind kind;
        std::string message;
        std::size_t input_length = 4 * 4 * 3;
    };
    const auto ref = ExecutionMode::Reference;
    const auto compiled = ExecutionMode::Compiled;
    std::vector<Case> cases = {
        {"two channels", ref, {config::HorizontalFlip{1}}, {}, 2, CoreErrorKind::Invalid,
         "image requires one or three channels"},
        {"short input", ref, {config::HorizontalFlip{1}}, {}, 3, CoreErrorKind::Invalid, "invalid raster buffer", 47},
        {"foreign sample", ref, {config::HorizontalFlip{1}}, {sampled::VerticalFlip{}}, 3, CoreErrorKind::Runtime,
         "sampled plan does not match pipeline"},
        {"missing sample", ref, {config::HorizontalFlip{1}, config::VerticalFlip{1}}, {sampled::HorizontalFlip{}}, 3,
         CoreErrorKind::Runtime, "sampled plan does not match pipeline"},
        {"extra sample", compiled, {config::HorizontalFlip{1}}, {sampled::HorizontalFlip{}, sampled::Normalize{}}, 3,
         CoreErrorKind::Runtime, "sampled plan does not match pipeline"},
        {"foreign first sample", compiled, {config::RandomCrop{1, 2, 2}}, {sampled::CenterCrop{0, 0, 2, 2}}, 3,
         CoreErrorKind::Runtime, "selected borrowed-to-owned lowering does not match sampled plan"},
        {"crop outside the raster", ref, {config::RandomCrop{1, 2, 2}}, {sampled::RandomCrop{3, 0, 2, 2}}, 3,
         CoreErrorKind::Runtime, "sampled crop exceeds input"},
        {"borrowed crop outside the raster", compiled, {config::RandomCrop{1, 2, 2}},
         {sampled::RandomCrop{0, huge, 2, 2}}, 3, CoreErrorKind::Runtime, "sampled crop exceeds input"},
        {"crop size overflows", ref, {config::RandomCrop{1, 2, 2}}, {sampled::RandomCrop{0, 0, huge, 2}}, 3,
         CoreErrorKind::Invalid, "image dimensions overflow"},
        {"pad size overflows", ref,
         {config::PadIfNeeded{1, 8, 8, std::nullopt, std::nullopt, PadPosition::Center, BorderMode::Constant, {0}}},
         {sampled::PadIfNeeded{0, 0, huge / 2, 3}}, 3, CoreErrorKind::Invalid, "image dimensions overflow"},
        {"pad that cuts the raster", ref,
         {config::PadIfNeeded{1, 8, 8, std::nullopt, std::nullopt, PadPosition::Center, BorderMode::Constant, {0}}},
         {sampled::PadIfNeeded{6, 0, 8, 8}}, 3, CoreErrorKind::Runtime, "invalid sampled padding geometry"},
        {"missing operation", ref, {config::HorizontalFlip{1}, config::Invert{1}}, {}, 3, CoreErrorKind::Runtime,
         "Invert is not available in this build"},
        {"missing borrowed operation", compiled, {config::Solarize{1, 100}}, {}, 1, CoreErrorKind::Runtime,
         "Solarize is not available in this build", 16},
        {"missing resize", ref, {config::Resize{1, 2, 2, Interpolation::Nearest, false}}, {}, 3,
         CoreErrorKind::Runtime, "Resize is not available in this build"},
        {"missing gray jitter", ref, {config::ColorJitter{1, {1.5f, 1.5f}, {1, 1}, {1, 1}, {0, 0}}}, {}, 1,
         CoreErrorKind::Runtime, "ColorJitter is not available in this build", 16},
        {"missing RGB grayscale", ref, {config::Grayscale{1}}, {}, 3, CoreErrorKind::Runtime,
         "Grayscale is not available in this build"},
    };
    for (Case& c : cases) {
        const CompiledPipeline pipeline = compile(c.steps, c.mode);
        if (c.samples.empty()) c.samples = sample(pipeline, 4, 4, 0);
        const Bytes input = random_bytes(c.input_length, 1);
        Workspace workspace;
        auto out = pipeline.run_selected_image(input, 4, 4, c.samples, workspace, true, false, c.channels);
        ASSERT_FALSE(out) << c.label;
        EXPECT_EQ(out.error().kind, c.kind) << c.label;
        EXPECT_EQ(out.error().message, c.message) << c.label;
    }
}

}  // namespace
}  // namespace tessalumen
