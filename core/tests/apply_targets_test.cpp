// Whole pipeline calls: the signature checks and their order, one sampling
// shared by every target, the ndim rule, and adoption of owned masks.

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine.h"

namespace tessalumen {
namespace {

constexpr std::uint64_t SEED = 77;

TargetDescriptor image_target(bool hwc = true, bool chw = false) { return {TargetRole::Image, 0, hwc, chw}; }
TargetDescriptor mask_target(std::uint8_t fill) { return {TargetRole::Mask, fill, true, false}; }

CompiledPipeline compile(std::vector<TransformSpec> steps, std::vector<TargetDescriptor> targets,
                         ExecutionMode mode = ExecutionMode::Reference, std::vector<ChannelChoice> choices = {}) {
    auto spec = PipelineSpec::with_target_requirements(std::move(steps), std::move(targets));
    spec.channel_choices = std::move(choices);
    auto compiled = ExecutionPlan::compile(std::move(spec), mode);
    EXPECT_TRUE(compiled) << compiled.error().message;
    return std::move(*compiled);
}

Bytes random_bytes(std::size_t length, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(generator() % 7 * 30);
    return bytes;
}

TargetInput image_input(Bytes data, std::uint64_t height, std::uint64_t width, std::uint64_t channels,
                        std::uint64_t ndim = 3) {
    return {std::move(data), ndim, channels, height, width, TargetRole::Image, 0};
}

TargetInput mask_input(Bytes data, std::uint64_t height, std::uint64_t width, std::uint8_t fill) {
    return {std::move(data), 2, 1, height, width, TargetRole::Mask, fill};
}

const Bytes& u8(const OutputRaster& raster) { return std::get<Bytes>(raster.data); }

TEST(ApplyTargets, SignatureChecksInOrder) {
    struct Case {
        const char* label;
        CompiledPipeline pipeline;
        std::vector<TargetInput> inputs;
        CoreErrorKind kind;
        std::string message;
    };
    const std::vector<TransformSpec> flip{config::HorizontalFlip{1}};
    const auto image_and_mask = [&] { return compile(flip, {image_target(), mask_target(5)}); };
    const auto rgb = [](std::uint64_t h, std::uint64_t w) { return image_input(Bytes(h * w * 3), h, w, 3); };
    const auto mask = [](std::uint64_t h, std::uint64_t w, std::uint8_t fill = 5) {
        return mask_input(Bytes(h * w), h, w, fill);
    };
    const auto vec = [](auto... inputs) {
        std::vector<TargetInput> v;
        (v.push_back(std::move(inputs)), ...);
        return v;
    };

    std::vector<Case> cases;
    cases.push_back({"too many inputs", compile(flip, {image_target()}), vec(rgb(4, 4), rgb(4, 4)),
                     CoreErrorKind::Invalid, "target input count does not match the pipeline signature"});
    {
        CompiledPipeline lost_requirement = image_and_mask();
        lost_requirement.requirements.pop_back();
        cases.push_back({"requirements", std::move(lost_requirement), vec(rgb(4, 4), mask(4, 4)),
                         CoreErrorKind::Runtime, "target requirements do not match the pipeline signature"});
        CompiledPipeline no_targets = image_and_mask();
        no_targets.targets.clear();
        no_targets.requirements.clear();
        cases.push_back({"no targets", std::move(no_targets), {}, CoreErrorKind::Invalid,
                         "a pipeline call requires at least one target"});
    }
    cases.push_back({"empty frame", image_and_mask(), vec(rgb(0, 4), mask(0, 4)), CoreErrorKind::Invalid,
                     "target dimensions must be positive"});
    cases.push_back({"image for a mask", image_and_mask(), vec(rgb(4, 4), rgb(4, 4)), CoreErrorKind::Invalid,
                     "target 1 role does not match the pipeline signature"});
    cases.push_back({"other mask fill", image_and_mask(), vec(rgb(4, 4), mask(4, 4, 6)), CoreErrorKind::Invalid,
                     "target 1 role does not match the pipeline signature"});
    cases.push_back({"one pixel narrower", image_and_mask(), vec(rgb(4, 4), mask(4, 3)), CoreErrorKind::Invalid,
                     "target 1 dimensions do not match the initial coordinate frame"});
    {
        TargetInput deep_mask = mask(4, 4);
        deep_mask.ndim = 3;
        cases.push_back({"mask of rank 3", image_and_mask(), vec(rgb(4, 4), std::move(deep_mask)),
                         CoreErrorKind::Invalid, "target 1 has incompatible channels and rank"});
        TargetInput flat_rgb = rgb(4, 4);
        flat_rgb.ndim = 2;
        cases.push_back({"RGB of rank 2", image_and_mask(), vec(std::move(flat_rgb), mask(4, 4)),
                         CoreErrorKind::Invalid, "target 0 has incompatible channels and rank"});
        cases.push_back({"two channels", image_and_mask(), vec(image_input(Bytes(32), 4, 4, 2), mask(4, 4)),
                         CoreErrorKind::Invalid, "target 0 has incompatible channels and rank"});
    }
    cases.push_back({"gray under an RGB normalize",
                     compile({config::Normalize{1, {0.1f, 0.2f, 0.3f}, {1}, 255}}, {image_target()}),
                     vec(image_input(Bytes(16), 4, 4, 1, 2)), CoreErrorKind::Invalid,
                     "target 0: Normalize mean has three values and requires RGB"});
    cases.push_back({"RGB where decoding fixed gray",
                     compile(flip, {image_target()}, ExecutionMode::Reference, {ChannelChoice{true, 1}}),
                     vec(rgb(4, 4)), CoreErrorKind::Invalid, "target 0: image requires one or three supported channels"});
    cases.push_back({"gray where decoding fixed RGB",
                     compile(flip, {image_target()}, ExecutionMode::Reference, {ChannelChoice{true, 3}}),
                     vec(image_input(Bytes(16), 4, 4, 1, 2)), CoreErrorKind::Invalid,
                     "target 0: grayscale is not configured for this target"});
    cases.push_back({"short image buffer", image_and_mask(), vec(image_input(Bytes(47), 4, 4, 3), mask(4, 4)),
                     CoreErrorKind::Invalid, "target 0 buffer does not match its role and shape"});
    cases.push_back({"long mask buffer", image_and_mask(), vec(rgb(4, 4), mask_input(Bytes(17), 4, 4, 5)),
                     CoreErrorKind::Invalid, "target 1 buffer does not match its role and shape"});
    cases.push_back({"no layout", compile(flip, {image_target(false, false)}), vec(rgb(4, 4)),
                     CoreErrorKind::Invalid, "target 0 requires at least one image layout"});
    // The first failing check wins: the frame mismatch of target 1 comes before
    // the buffer of target 2.
    cases.push_back({"first failure wins", compile(flip, {image_target(), image_target(), mask_target(5)}),
                     vec(rgb(4, 4), rgb(4, 5), mask_input(Bytes(3), 4, 4, 5)), CoreErrorKind::Invalid,
                     "target 1 dimensions do not match the initial coordinate frame"});

    for (Case& c : cases) {
        Workspace workspace;
        auto out = c.pipeline.apply_targets(std::move(c.inputs), SEED, 0, workspace);
        ASSERT_FALSE(out) << c.label;
        EXPECT_EQ(out.error().kind, c.kind) << c.label;
        EXPECT_EQ(out.error().message, c.message) << c.label;
    }
}

// An RGB image whose red channel equals a gray image and a mask: after any
// call, in any mode, the three outputs must still agree, because all targets
// follow the one sample of the call.
TEST(ApplyTargets, EveryTargetFollowsTheSameSample) {
    constexpr std::uint64_t H = 13, W = 19;
    const std::vector<TransformSpec> steps{
        config::RandomCrop{0.8f, 9, 11},
        config::HorizontalFlip{0.5f},
        config::VerticalFlip{0.5f},
        config::PadIfNeeded{0.7f, 12, 16, std::nullopt, std::nullopt, PadPosition::Random, BorderMode::Reflect101, {9}},
        config::PadIfNeeded{1.0f, std::nullopt, std::nullopt, 8, 8, PadPosition::Random, BorderMode::Constant, {9}},
    };
    const Bytes labels = random_bytes(H * W, 4);
    Bytes rgb(H * W * 3);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        rgb[i * 3] = labels[i];
        rgb[i * 3 + 1] = static_cast<std::uint8_t>(i);
        rgb[i * 3 + 2] = static_cast<std::uint8_t>(255 - labels[i]);
    }
    for (const ExecutionMode mode :
         {ExecutionMode::Reference, ExecutionMode::Compiled, ExecutionMode::StagedFresh, ExecutionMode::StagedReuse}) {
        const CompiledPipeline pipeline =
            compile(steps, {image_target(), image_target(true, true), mask_target(9)}, mode);
        Workspace workspace;  // shared across calls: stale pooled bytes must not leak into results
        std::set<std::pair<std::uint64_t, std::uint64_t>> sizes;
        for (std::uint64_t key = 0; key < 24; ++key) {
            std::vector<TargetInput> inputs;
            inputs.push_back(image_input(rgb, H, W, 3));
            inputs.push_back(image_input(labels, H, W, 1, 2));
            inputs.push_back(mask_input(labels, H, W, 9));
            auto out = pipeline.apply_targets(std::move(inputs), SEED, key, workspace);
            ASSERT_TRUE(out) << out.error().message;
            ASSERT_EQ(out->size(), 3u);
            const auto& color = std::get<ImageOutput>((*out)[0]);
            const auto& gray = std::get<ImageOutput>((*out)[1]);
            const auto& mask = std::get<MaskOutput>((*out)[2]);
            ASSERT_TRUE(color.hwc && !color.chw && gray.hwc && gray.chw);
            EXPECT_EQ(color.hwc->ndim, 3u);
            EXPECT_EQ(gray.hwc->ndim, 2u);  // the input's rank
            EXPECT_EQ(gray.chw->ndim, 3u);
            EXPECT_EQ(mask.height, gray.hwc->height);
            EXPECT_EQ(mask.width, gray.hwc->width);
            EXPECT_EQ(mask.data, u8(*gray.hwc)) << "key " << key;
            EXPECT_EQ(mask.data, u8(*gray.chw)) << "key " << key;
            const Bytes& color_bytes = u8(*color.hwc);
            ASSERT_EQ(color_bytes.size(), mask.data.size() * 3);
            for (std::size_t i = 0; i < mask.data.size(); ++i) {
                ASSERT_EQ(color_bytes[i * 3], mask.data[i]) << "key " << key << " pixel " << i;
            }
            sizes.insert({mask.height, mask.width});
        }
        EXPECT_GT(sizes.size(), 1u);  // the keys really sampled different geometry
    }
}

TEST(ApplyTargets, SameKeySameOutputs) {
    const CompiledPipeline pipeline =
        compile({config::RandomCrop{1, 5, 5}, config::HorizontalFlip{0.5f}}, {image_target(), mask_target(0)});
    const Bytes image = random_bytes(8 * 8 * 3, 1);
    const Bytes mask = random_bytes(8 * 8, 2);
    std::vector<Bytes> first;
    for (int call = 0; call < 2; ++call) {
        Workspace workspace;
        std::vector<TargetInput> inputs;
        inputs.push_back(image_input(image, 8, 8, 3));
        inputs.push_back(mask_input(mask, 8, 8, 0));
        auto out = pipeline.apply_targets(std::move(inputs), SEED, 41, workspace);
        ASSERT_TRUE(out);
        const Bytes& a = u8(*std::get<ImageOutput>((*out)[0]).hwc);
        const Bytes& b = std::get<MaskOutput>((*out)[1]).data;
        if (call == 0) {
            first = {a, b};
        } else {
            EXPECT_EQ(a, first[0]);
            EXPECT_EQ(b, first[1]);
        }
    }
}

TEST(ApplyTargets, OwnedMasksAreAdoptedAndBorrowedOnesCopied) {
    const CompiledPipeline pipeline =
        compile({config::Normalize{1, {0.5f}, {0.5f}, 255}}, {image_target(false, true), mask_target(3), mask_target(3)});
    Bytes owned = random_bytes(6 * 4, 7);
    const std::uint8_t* owned_address = owned.data();
    const Bytes borrowed = random_bytes(6 * 4, 8);
    const Bytes image = random_bytes(6 * 4 * 3, 9);
    std::vector<TargetInput> inputs;
    inputs.push_back({std::span<const std::uint8_t>(image), 3, 3, 6, 4, TargetRole::Image, 0});
    inputs.push_back(mask_input(std::move(owned), 6, 4, 3));
    inputs.push_back({std::span<const std::uint8_t>(borrowed), 2, 1, 6, 4, TargetRole::Mask, 3});
    Workspace workspace;
    auto out = pipeline.apply_targets(std::move(inputs), SEED, 0, workspace);
    ASSERT_TRUE(out) << out.error().message;
    EXPECT_EQ(std::get<MaskOutput>((*out)[1]).data.data(), owned_address);
    const Bytes& copied = std::get<MaskOutput>((*out)[2]).data;
    EXPECT_EQ(copied, borrowed);
    EXPECT_NE(copied.data(), borrowed.data());
    EXPECT_EQ(std::get<ImageOutput>((*out)[0]).chw->kind, RasterKind::F32Chw);
}

TEST(ApplyTargets, AFailingTargetEndsTheCall) {
    const CompiledPipeline pipeline =
        compile({config::HorizontalFlip{1}, config::Invert{1}}, {mask_target(0), image_target(), mask_target(0)});
    std::vector<TargetInput> inputs;
    inputs.push_back(mask_input(Bytes(12), 3, 4, 0));
    inputs.push_back(image_input(Bytes(36), 3, 4, 3));
    inputs.push_back(mask_input(Bytes(12), 3, 4, 0));
    Workspace workspace;
    auto out = pipeline.apply_targets(std::move(inputs), SEED, 0, workspace);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind, CoreErrorKind::Runtime);
    EXPECT_EQ(out.error().message, "Invert is not available in this build");
}

}  // namespace
}  // namespace tessalumen
