// The image step loop: one image target through the compiled steps of a call,
// with the entry rules of each execution mode, pooled or fresh step buffers,
// the terminal Normalize and the result layouts a target asks for.

#include "engine.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "operations/crop_pad_flip.h"
#include "operations/normalize.h"
#include "validation.h"

namespace tessalumen {
namespace {

constexpr const char* DIRECT_CHW_WITH_HWC_MESSAGE = "direct CHW output cannot satisfy an HWC requirement";
constexpr const char* SAMPLED_PLAN_MISMATCH_MESSAGE = "sampled plan does not match pipeline";
constexpr const char* BORROWED_MISMATCH_MESSAGE = "selected borrowed-to-owned lowering does not match sampled plan";
constexpr const char* UNAVAILABLE_SUFFIX = " is not available in this build";


// The sampled record a step of this kind produces (or Skipped, which fits any step).
bool sample_fits(const SampledTransform& sample, TransformKind kind) {
    const SampledTag tag = tag_of(sample);
    if (tag == SampledTag::Skipped) return true;
    switch (kind) {
        case TransformKind::Resize:
        case TransformKind::LongestMaxSize: return tag == SampledTag::Resize;
        case TransformKind::RandomCrop: return tag == SampledTag::RandomCrop;
        case TransformKind::RandomResizedCrop: return tag == SampledTag::RandomResizedCrop;
        case TransformKind::HorizontalFlip: return tag == SampledTag::HorizontalFlip;
        case TransformKind::VerticalFlip: return tag == SampledTag::VerticalFlip;
        case TransformKind::CenterCrop: return tag == SampledTag::CenterCrop;
        case TransformKind::PadIfNeeded: return tag == SampledTag::PadIfNeeded;
        case TransformKind::CoarseDropout: return tag == SampledTag::CoarseDropout;
        case TransformKind::ColorJitter: return tag == SampledTag::ColorJitter;
        case TransformKind::Affine: return tag == SampledTag::Affine;
        case TransformKind::RandomRotation: return tag == SampledTag::RandomRotation;
        case TransformKind::GaussianNoise: return tag == SampledTag::GaussianNoise;
        case TransformKind::Sharpen: return tag == SampledTag::Sharpen;
        case TransformKind::Perspective: return tag == SampledTag::Perspective;
        case TransformKind::GridDistortion: return tag == SampledTag::GridDistortion;
        case TransformKind::GaussianBlur: return tag == SampledTag::GaussianBlur;
        case TransformKind::Grayscale: return tag == SampledTag::Grayscale;
        case TransformKind::Invert: return tag == SampledTag::Invert;
        case TransformKind::Solarize: return tag == SampledTag::Solarize;
        case TransformKind::Posterize: return tag == SampledTag::Posterize;
        case TransformKind::Normalize: return tag == SampledTag::Normalize;
    }
    return false;
}

std::unexpected<CoreError> unavailable(TransformKind kind) { return std::unexpected(operation_unavailable(kind)); }

// The owned working raster of one run: exclusively the running loop's.
using Working = RasterBuffer;

CoreResult<Working> copy_of_input(std::span<const std::uint8_t> input, std::uint64_t height, std::uint64_t width) {
    try {
        return Working{Bytes(input.begin(), input.end()), height, width};
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
}

// Runs `kernel` from the working raster into a buffer of output_height x
// output_width, then hands the replaced buffer back. `kernel` takes (source
// bytes, height, width, destination) and returns the new raster.
template <std::uint64_t C, class Kernel>
CoreStatus out_of_place(Working& working, std::uint64_t output_height, std::uint64_t output_width,
                        Workspace& workspace, bool reuse, Kernel&& kernel) {
    const auto length = raster_sample_count(output_height, output_width, C);
    if (!length) return std::unexpected(length.error());
    auto destination = workspace.take_staged_u8(*length, reuse);
    if (!destination) return std::unexpected(std::move(destination.error()));
    CoreResult<Working> next = kernel(std::span<const std::uint8_t>(working.data), working.height, working.width,
                                      std::move(*destination));
    if (!next) return std::unexpected(std::move(next.error()));
    workspace.recycle_staged_u8(std::move(working.data), reuse);
    working = std::move(*next);
    return {};
}

template <std::uint64_t C>
CoreStatus crop_step(Working& working, CropWindow window, Workspace& workspace, bool reuse) {
    return out_of_place<C>(working, window.height, window.width, workspace, reuse,
                           [&](std::span<const std::uint8_t> source, std::uint64_t height, std::uint64_t width,
                               Bytes destination) {
                               return random_crop_raw_into(source, height, width, C, window, std::move(destination));
                           });
}

template <std::uint64_t C>
CoreStatus pad_step(Working& working, const plan::PadIfNeeded& step, const sampled::PadIfNeeded& pad,
                    Workspace& workspace, bool reuse) {
    if (pad.height == working.height && pad.width == working.width) return {};
    const PaddingGeometry geometry{pad.top, pad.left, pad.height, pad.width};
    return out_of_place<C>(working, pad.height, pad.width, workspace, reuse,
                           [&](std::span<const std::uint8_t> source, std::uint64_t height, std::uint64_t width,
                               Bytes destination) {
                               return pad_raw(source, height, width, C, geometry, step.border_mode, step.fill,
                                              std::move(destination));
                           });
}

// One applied, non-terminal step on the working raster.
template <std::uint64_t C>
CoreStatus apply_step(const TransformPlan& step, const SampledTransform& sample, Working& working,
                      Workspace& workspace, bool reuse) {
    const TransformKind kind = kind_of(step);
    switch (kind) {
        case TransformKind::RandomCrop: {
            const auto& s = std::get<sampled::RandomCrop>(sample);
            return crop_step<C>(working, CropWindow{s.top, s.left, s.height, s.width}, workspace, reuse);
        }
        case TransformKind::CenterCrop: {
            const auto& s = std::get<sampled::CenterCrop>(sample);
            return crop_step<C>(working, CropWindow{s.top, s.left, s.height, s.width}, workspace, reuse);
        }
        case TransformKind::HorizontalFlip: return horizontal_flip(working.data, working.height, working.width, C);
        case TransformKind::VerticalFlip: return vertical_flip(working.data, working.height, working.width, C);
        case TransformKind::PadIfNeeded:
            return pad_step<C>(working, std::get<plan::PadIfNeeded>(step), std::get<sampled::PadIfNeeded>(sample),
                               workspace, reuse);
        case TransformKind::Grayscale:
            // One channel is already gray.
            if constexpr (C == 1) return {};
            return unavailable(kind);
        case TransformKind::ColorJitter:
            if constexpr (C == 1) {
                // Saturation and hue are identities on one channel; with both
                // remaining factors exactly 1 the step changes nothing.
                const auto& s = std::get<sampled::ColorJitter>(sample);
                if (s.brightness == 1.0f && s.contrast == 1.0f) return {};
            }
            return unavailable(kind);
        case TransformKind::Normalize:
            // Terminal: handled by the loop before any step is dispatched here.
            return fail_runtime(SAMPLED_PLAN_MISMATCH_MESSAGE);
        // Operations of families this build does not contain yet.
        case TransformKind::Resize:
        case TransformKind::LongestMaxSize:
        case TransformKind::RandomResizedCrop:
        case TransformKind::CoarseDropout:
        case TransformKind::Affine:
        case TransformKind::RandomRotation:
        case TransformKind::GaussianNoise:
        case TransformKind::Sharpen:
        case TransformKind::Perspective:
        case TransformKind::GridDistortion:
        case TransformKind::GaussianBlur:
        case TransformKind::Invert:
        case TransformKind::Solarize:
        case TransformKind::Posterize: return unavailable(kind);
    }
    return fail_runtime(SAMPLED_PLAN_MISMATCH_MESSAGE);
}

// The first step of a compiled-mode run reading the caller's input directly
// into a workspace buffer, so that no entry copy is made.
template <std::uint64_t C>
CoreResult<Working> borrowed_first_step(const TransformPlan& step, const SampledTransform& sample,
                                        std::span<const std::uint8_t> input, std::uint64_t height,
                                        std::uint64_t width, Workspace& workspace) {
    const TransformKind kind = kind_of(step);
    if (!sample_fits(sample, kind)) return fail_runtime(BORROWED_MISMATCH_MESSAGE);
    const auto take = [&](std::uint64_t output_height, std::uint64_t output_width) -> CoreResult<Bytes> {
        const auto length = raster_sample_count(output_height, output_width, C);
        if (!length) return std::unexpected(length.error());
        return workspace.take_u8(*length);
    };
    const auto crop = [&](CropWindow window) -> CoreResult<Working> {
        auto destination = take(window.height, window.width);
        if (!destination) return std::unexpected(std::move(destination.error()));
        return random_crop_raw_into(input, height, width, C, window, std::move(*destination));
    };
    switch (kind) {
        case TransformKind::RandomCrop: {
            const auto& s = std::get<sampled::RandomCrop>(sample);
            return crop(CropWindow{s.top, s.left, s.height, s.width});
        }
        case TransformKind::CenterCrop: {
            const auto& s = std::get<sampled::CenterCrop>(sample);
            return crop(CropWindow{s.top, s.left, s.height, s.width});
        }
        case TransformKind::VerticalFlip: {
            auto destination = take(height, width);
            if (!destination) return std::unexpected(std::move(destination.error()));
            if (auto flipped = vertical_flip_into_channels(input, *destination, height, width, C); !flipped) {
                return std::unexpected(flipped.error());
            }
            return Working{std::move(*destination), height, width};
        }
        case TransformKind::PadIfNeeded: {
            const auto& s = std::get<sampled::PadIfNeeded>(sample);
            const auto& p = std::get<plan::PadIfNeeded>(step);
            auto destination = take(s.height, s.width);
            if (!destination) return std::unexpected(std::move(destination.error()));
            return pad_raw(input, height, width, C, PaddingGeometry{s.top, s.left, s.height, s.width}, p.border_mode,
                           p.fill, std::move(*destination));
        }
        case TransformKind::Resize:
        case TransformKind::LongestMaxSize:
        case TransformKind::RandomResizedCrop:
        case TransformKind::Sharpen:
        case TransformKind::Perspective:
        case TransformKind::GridDistortion:
        case TransformKind::Invert:
        case TransformKind::Solarize:
        case TransformKind::Posterize: return unavailable(kind);
        case TransformKind::HorizontalFlip:
        case TransformKind::CoarseDropout:
        case TransformKind::ColorJitter:
        case TransformKind::Affine:
        case TransformKind::RandomRotation:
        case TransformKind::GaussianNoise:
        case TransformKind::GaussianBlur:
        case TransformKind::Grayscale:
        case TransformKind::Normalize: break;
    }
    return fail_runtime(BORROWED_MISMATCH_MESSAGE);
}

bool every_step_skipped(std::span<const SampledTransform> samples) {
    return std::ranges::all_of(samples,
                               [](const SampledTransform& s) { return tag_of(s) == SampledTag::Skipped; });
}

OutputRaster u8_hwc_result(Working working, std::uint64_t channels) {
    return OutputRaster{RasterKind::U8Hwc, channels, 3, working.height, working.width, std::move(working.data)};
}

CoreResult<ImageOutput> deliver(OutputRaster result, bool need_hwc, bool need_chw) {
    ImageOutput output;
    switch (result.kind) {
        case RasterKind::U8Hwc: {
            if (need_chw) {
                const auto* bytes = std::get_if<Bytes>(&result.data);
                if (bytes == nullptr) return fail_invalid(INVALID_RASTER_BUFFER_MESSAGE);
                auto chw = u8_chw_raster(*bytes, result.height, result.width, result.channels);
                if (!chw) return std::unexpected(std::move(chw.error()));
                output.chw = std::move(*chw);
            }
            if (need_hwc) output.hwc = std::move(result);
            return output;
        }
        case RasterKind::F32Hwc: {
            if (need_chw) {
                const auto* values = std::get_if<std::vector<float>>(&result.data);
                if (values == nullptr) return fail_invalid(INVALID_RASTER_BUFFER_MESSAGE);
                auto chw = f32_chw_copy(*values, result.height, result.width, result.channels);
                if (!chw) return std::unexpected(std::move(chw.error()));
                output.chw = std::move(*chw);
            }
            if (need_hwc) output.hwc = std::move(result);
            return output;
        }
        case RasterKind::U8Chw:
        case RasterKind::F32Chw:
            if (need_hwc) return fail_runtime(DIRECT_CHW_WITH_HWC_MESSAGE);
            if (need_chw) output.chw = std::move(result);
            return output;
    }
    return fail_runtime(DIRECT_CHW_WITH_HWC_MESSAGE);
}

}  // namespace

CoreError operation_unavailable(TransformKind kind) {
    std::string message(transform_name(kind));
    message += UNAVAILABLE_SUFFIX;
    return CoreError::runtime(message);
}

template <std::uint64_t C>
CoreResult<OutputRaster> CompiledPipeline::run_image(std::span<const std::uint8_t> input, std::uint64_t height,
                                                     std::uint64_t width, std::span<const SampledTransform> samples,
                                                     Workspace& workspace, bool need_hwc, bool need_chw) const {
    static_assert(C == 1 || C == 3);
    const auto length = raster_sample_count(height, width, C);
    if (!length) return std::unexpected(length.error());
    if (input.size() != *length) return fail_invalid(INVALID_RASTER_BUFFER_MESSAGE);
    // One sample per step: a shorter list would silently drop the last steps.
    if (samples.size() != plans.size()) return fail_runtime(SAMPLED_PLAN_MISMATCH_MESSAGE);

    const LoweringPlan& lowering = C == 3 ? lowering_rgb : lowering_gray;
    const bool reuse = reuses_buffers(mode);
    const bool only_chw = need_chw && !need_hwc;
    const bool compiled = mode == ExecutionMode::Compiled;

    std::optional<Working> borrowed;
    if (compiled) {
        if (only_chw && every_step_skipped(samples)) return u8_chw_raster(input, height, width, C);
        if (lowering.nodes.size() == 1 && lowering.nodes[0].kernel_form == KernelForm::BorrowedToOwned &&
            plans.size() == 1 && kind_of(plans[0]) == TransformKind::Normalize &&
            tag_of(samples[0]) == SampledTag::Normalize) {
            return normalize_raster(input, height, width, C, std::get<plan::Normalize>(plans[0]),
                                    only_chw ? RasterKind::F32Chw : RasterKind::F32Hwc);
        }
        if (lowering.borrowed_prefix == 1 && !plans.empty() && tag_of(samples[0]) != SampledTag::Skipped) {
            auto first = borrowed_first_step<C>(plans[0], samples[0], input, height, width, workspace);
            if (!first) return std::unexpected(std::move(first.error()));
            borrowed = std::move(*first);
        }
    }
    std::size_t start = 0;
    Working working;
    if (borrowed) {
        working = std::move(*borrowed);
        start = 1;
    } else {
        auto copy = copy_of_input(input, height, width);
        if (!copy) return std::unexpected(std::move(copy.error()));
        working = std::move(*copy);
    }

    for (std::size_t i = start; i < plans.size(); ++i) {
        const TransformPlan& step = plans[i];
        const SampledTransform& sample = samples[i];
        if (!sample_fits(sample, kind_of(step))) return fail_runtime(SAMPLED_PLAN_MISMATCH_MESSAGE);
        if (tag_of(sample) == SampledTag::Skipped) continue;
        if (tag_of(sample) == SampledTag::Normalize) {
            const auto& normalize = std::get<plan::Normalize>(step);
            const RasterKind kind = compiled && only_chw ? RasterKind::F32Chw : RasterKind::F32Hwc;
            auto result = normalize_raster(working.data, working.height, working.width, C, normalize, kind);
            if (!result) return result;
            workspace.recycle_staged_u8(std::move(working.data), reuse);
            return result;
        }
        if (auto status = apply_step<C>(step, sample, working, workspace, reuse); !status) {
            return std::unexpected(std::move(status.error()));
        }
    }

    if (need_hwc || !need_chw) return u8_hwc_result(std::move(working), C);
    return u8_chw_raster(working.data, working.height, working.width, C);
}

template CoreResult<OutputRaster> CompiledPipeline::run_image<1>(std::span<const std::uint8_t>, std::uint64_t,
                                                                 std::uint64_t, std::span<const SampledTransform>,
                                                                 Workspace&, bool, bool) const;
template CoreResult<OutputRaster> CompiledPipeline::run_image<3>(std::span<const std::uint8_t>, std::uint64_t,
                                                                 std::uint64_t, std::span<const SampledTransform>,
                                                                 Workspace&, bool, bool) const;

CoreResult<ImageOutput> CompiledPipeline::run_selected_image(std::span<const std::uint8_t> input,
                                                             std::uint64_t height, std::uint64_t width,
                                                             std::span<const SampledTransform> samples,
                                                             Workspace& workspace, bool need_hwc, bool need_chw,
                                                             std::uint64_t channels) const {
    try {
        CoreResult<OutputRaster> result = fail_invalid(IMAGE_CHANNELS_MESSAGE);
        if (channels == 1) {
            result = run_image<1>(input, height, width, samples, workspace, need_hwc, need_chw);
        } else if (channels == 3) {
            result = run_image<3>(input, height, width, samples, workspace, need_hwc, need_chw);
        }
        if (!result) return std::unexpected(std::move(result.error()));
        return deliver(std::move(*result), need_hwc, need_chw);
    } catch (const std::bad_alloc&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    }
}

}  // namespace tessalumen
