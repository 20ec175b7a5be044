#include "pipeline_call.h"

#include <new>
#include <string>

#include "core/src/workspace_pool.h"
#include "errors.h"
#include "file_io.h"
#include "numpy_api.h"
#include "owned_array.h"
#include "try.h"

namespace tessalumen::py {
namespace {

constexpr std::uint8_t JPEG_SIGNATURE[] = {0xFF, 0xD8};
constexpr std::uint8_t PNG_SIGNATURE[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr const char* OUTPUT_ALLOCATION_MESSAGE = "output allocation failed";

using RunResult = std::expected<void, PipelineRunError>;
template <class T>
using RunValue = std::expected<T, PipelineRunError>;

std::unexpected<PipelineRunError> fail(PipelineRunError error) { return std::unexpected(std::move(error)); }

bool starts_with(const Bytes& bytes, std::span<const std::uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

io::DecodeOptions decode_options(const TargetRoute& route, io::DecodeMode mode) {
    io::DecodeOptions options;
    if (route.max_pixels) options.max_pixels = static_cast<std::size_t>(*route.max_pixels);
    options.mode = mode;
    return options;
}

// Encoded bytes of one target become its owned raster.
RunValue<TargetInput> decode_target(const Bytes& bytes, const TargetRoute& route) {
    TargetInput input{Bytes{}, 2, 1, 0, 0, route.role, route.fill};
    if (route.role == TargetRole::Image) {
        auto decoded = io::decode_image(bytes, decode_options(route, route.decode_mode));
        if (!decoded) return fail(PipelineRunError::codec(decoded.error()));
        const bool gray = decoded->layout == io::PixelLayout::Gray;
        if (decoded->height == 0 || decoded->width == 0 || (!gray && decoded->layout != io::PixelLayout::Rgb)) {
            return fail(PipelineRunError::invalid_type("decoded pipeline input must be non-empty RGB or grayscale"));
        }
        auto* samples = std::get_if<io::U8Samples>(&decoded->samples);
        if (samples == nullptr) return fail(PipelineRunError::invalid_type("decoded pipeline input dtype must be uint8"));
        input.data = std::move(*samples);
        input.ndim = gray ? 2 : 3;
        input.channels = gray ? 1 : 3;
        input.height = decoded->height;
        input.width = decoded->width;
        return input;
    }

    // Masks are label maps: only gray or indexed PNG, whose raw samples are the labels.
    if (starts_with(bytes, JPEG_SIGNATURE)) {
        return fail(PipelineRunError::invalid_value("semantic masks must use PNG input"));
    }
    if (!starts_with(bytes, PNG_SIGNATURE)) {
        return fail(PipelineRunError::invalid_value("input is not a supported JPEG or PNG image"));
    }
    auto decoded = io::decode_image(bytes, decode_options(route, io::DecodeMode::Unchanged));
    if (!decoded) return fail(PipelineRunError::codec(decoded.error()));
    if (decoded->layout != io::PixelLayout::Gray || decoded->has_transparency) {
        return fail(PipelineRunError::invalid_value("semantic masks must use grayscale or indexed PNG without alpha"));
    }
    auto* samples = std::get_if<io::U8Samples>(&decoded->samples);
    if (samples == nullptr) {
        return fail(PipelineRunError::invalid_value("semantic masks must use 1, 2, 4, or 8-bit samples"));
    }
    input.data = std::move(*samples);
    input.height = decoded->height;
    input.width = decoded->width;
    return input;
}

RunValue<TargetInput> acquire_target(PreparedTarget& target, const TargetRoute& route) {
    const auto from_array = [&route](auto data, const ArrayShape& shape) {
        return TargetInput{std::move(data), shape.ndim, shape.channels, shape.height, shape.width, route.role, route.fill};
    };
    if (auto* borrowed = std::get_if<BorrowedArray>(&target.source)) {
        auto* array = reinterpret_cast<PyArrayObject*>(borrowed->array.get());
        if (!PyArray_IS_C_CONTIGUOUS(array)) {
            return fail(PipelineRunError::invalid_value(target.label + " validated NumPy source is not contiguous"));
        }
        const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(PyArray_DATA(array)),
                                                  static_cast<std::size_t>(PyArray_NBYTES(array)));
        return from_array(bytes, borrowed->shape);
    }
    if (auto* copied = std::get_if<CopiedArray>(&target.source)) return from_array(std::move(copied->data), copied->shape);
    if (auto* snapshot = std::get_if<EncodedSnapshot>(&target.source)) {
        auto input = decode_target(snapshot->data, route);
        if (!input) return fail(std::move(input.error()).in_target(target.label));
        return input;
    }
    const PathArgument& path = std::get<PathSource>(target.source).path;
    auto bytes = read_encoded(path.native, route.max_encoded_bytes);
    if (!bytes) {
        if (const auto* error = std::get_if<IoError>(&bytes.error())) {
            return fail(PipelineRunError::read_source(path.display, *error).in_target(target.label));
        }
        const auto& too_large = std::get<TooLarge>(bytes.error());
        return fail(PipelineRunError::encoded_too_large(too_large.count, too_large.limit).in_target(target.label));
    }
    auto input = decode_target(*bytes, route);
    if (!input) return fail(std::move(input.error()).in_target(target.label));
    return input;
}

RunValue<std::vector<TargetInput>> acquire(PipelineState& pipeline, PreparedCall& call) {
    std::vector<TargetInput> inputs;
    inputs.reserve(call.targets.size());
    for (std::size_t i = 0; i < call.targets.size(); ++i) {
        auto input = acquire_target(call.targets[i], pipeline.routes[i]);
        if (!input) return fail(std::move(input.error()));
        inputs.push_back(std::move(*input));
    }
    for (std::size_t i = 1; i < inputs.size(); ++i) {
        if (inputs[i].height != inputs[0].height || inputs[i].width != inputs[0].width) {
            return fail(PipelineRunError::invalid_value(call.targets[i].label +
                                                        " dimensions do not match the initial coordinate frame"));
        }
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].role != TargetRole::Image) continue;
        if (auto valid = pipeline.compiled.validate_image_channels(i, inputs[i].channels); !valid) {
            return fail(PipelineRunError::invalid_value(call.targets[i].label + ": " + valid.error().message));
        }
    }
    return inputs;
}

// The raster an encoder reads: an image's HWC uint8 result or a mask.
RunValue<io::ImageView> encoder_view(const TargetOutput& output) {
    if (const auto* mask = std::get_if<MaskOutput>(&output)) {
        return io::ImageView{io::U8SampleView(mask->data), mask->height, mask->width, io::PixelLayout::Gray};
    }
    const ImageOutput& image = std::get<ImageOutput>(output);
    if (!image.hwc || image.hwc->kind != RasterKind::U8Hwc) return fail(PipelineRunError::encoded_sink_contract());
    const Bytes& data = std::get<Bytes>(image.hwc->data);
    return io::ImageView{io::U8SampleView(data), image.hwc->height, image.hwc->width,
                         image.hwc->channels == 1 ? io::PixelLayout::Gray : io::PixelLayout::Rgb};
}

enum class RasterSlot : std::uint8_t { None, Hwc, Chw };

RasterSlot slot_of(const PreparedSink& sink) {
    if (std::holds_alternative<ReturnArray>(sink)) return RasterSlot::Hwc;
    if (std::holds_alternative<ReturnTensor>(sink)) return RasterSlot::Chw;
    return RasterSlot::None;
}

struct PendingWrite {
    std::size_t target;
    std::size_t output;
    const PathArgument* path;
};

// Encodes and lays out one target's outputs; writes are only recorded.
RunValue<std::vector<NativeOutput>> deliver_target(TargetOutput& output, const PreparedTarget& target,
                                                   std::size_t target_index, std::vector<PendingWrite>& writes) {
    std::vector<NativeOutput> delivered(target.sinks.size(), WrittenOutput{});
    for (std::size_t j = 0; j < target.sinks.size(); ++j) {
        const PreparedSink& sink = target.sinks[j];
        std::optional<std::pair<io::ImageFormat, std::uint8_t>> request;
        if (const auto* encode = std::get_if<EncodeBytes>(&sink)) request = {encode->format, encode->parameter};
        if (const auto* write = std::get_if<ResolvedWrite>(&sink)) request = {write->format, write->parameter};
        if (!request) continue;
        auto view = encoder_view(output);
        if (!view) return fail(std::move(view.error()));
        auto encoded = io::encode_image_view(*view, request->first, request->second);
        if (!encoded) return fail(PipelineRunError::codec(encoded.error()));
        delivered[j] = EncodedOutput{std::move(*encoded)};
        if (const auto* write = std::get_if<ResolvedWrite>(&sink)) writes.push_back({target_index, j, &write->path});
    }

    // The last sink that takes a raster receives it; earlier ones get copies.
    // A mask is the raster of both slots.
    const bool is_mask = std::holds_alternative<MaskOutput>(output);
    std::size_t last_hwc = target.sinks.size();
    std::size_t last_chw = target.sinks.size();
    for (std::size_t j = 0; j < target.sinks.size(); ++j) {
        const RasterSlot slot = slot_of(target.sinks[j]);
        if (slot == RasterSlot::Hwc || (is_mask && slot == RasterSlot::Chw)) last_hwc = j;
        if (slot == RasterSlot::Chw && !is_mask) last_chw = j;
    }
    for (std::size_t j = 0; j < target.sinks.size(); ++j) {
        const RasterSlot slot = slot_of(target.sinks[j]);
        if (slot == RasterSlot::None) continue;
        if (is_mask) {
            MaskOutput& mask = std::get<MaskOutput>(output);
            delivered[j] = MaskRasterOutput{j == last_hwc ? std::move(mask.data) : mask.data, mask.height, mask.width};
            continue;
        }
        ImageOutput& image = std::get<ImageOutput>(output);
        std::optional<OutputRaster>& raster = slot == RasterSlot::Hwc ? image.hwc : image.chw;
        if (!raster) return fail(PipelineRunError::encoded_sink_contract());
        const bool last = j == (slot == RasterSlot::Hwc ? last_hwc : last_chw);
        delivered[j] = last ? std::move(*raster) : OutputRaster(*raster);
    }
    return delivered;
}

PipelineRunError pool_error(const CoreError& error) {
    if (error.message == WORKSPACE_POOL_POISONED) return PipelineRunError::pool_poisoned();
    return PipelineRunError::core(error);
}

PipelineRunError allocation_failed() { return PipelineRunError::core(CoreError::runtime(OUTPUT_ALLOCATION_MESSAGE)); }

// The engine run, encoding and writes of one call under its key.
RunValue<std::vector<std::vector<NativeOutput>>> run_with_key(PipelineState& pipeline, PreparedCall& call,
                                                              std::vector<TargetInput> inputs, std::uint64_t call_key) {
    auto workspace = pipeline.workspaces.take();
    if (!workspace) return fail(pool_error(workspace.error()));
    auto outputs = pipeline.compiled.apply_targets(std::move(inputs), pipeline.seed, call_key, *workspace);
    if (auto returned = pipeline.workspaces.give_back(std::move(*workspace)); !returned) {
        return fail(pool_error(returned.error()));
    }
    if (!outputs) return fail(PipelineRunError::core(outputs.error()));

    // Every target is encoded before anything is written.
    std::vector<std::vector<NativeOutput>> delivered;
    std::vector<PendingWrite> writes;
    delivered.reserve(call.targets.size());
    for (std::size_t i = 0; i < call.targets.size(); ++i) {
        auto target = deliver_target((*outputs)[i], call.targets[i], i, writes);
        if (!target) return fail(std::move(target.error()));
        delivered.push_back(std::move(*target));
    }
    for (const PendingWrite& write : writes) {
        NativeOutput& slot = delivered[write.target][write.output];
        if (auto written = write_atomically(write.path->native, std::get<EncodedOutput>(slot).bytes); !written) {
            return fail(PipelineRunError::write_destination(write.path->display, written.error()));
        }
        slot = WrittenOutput{};
    }
    return delivered;
}

RunValue<std::vector<std::vector<NativeOutput>>> run_inputs(PipelineState& pipeline, PreparedCall& call,
                                                            std::vector<TargetInput> inputs,
                                                            std::optional<std::uint64_t> key) {
    // Implicit keys are consumed strictly in order: the sequence lock is held
    // through the engine run, the encoding and the writes.
    std::optional<PoisonableLock::Guard> sequence;
    std::uint64_t call_key = 0;
    if (key) {
        call_key = *key;
    } else {
        auto guard = pipeline.sequence_lock.lock();
        if (!guard) return fail(PipelineRunError::pool_poisoned());
        sequence.emplace(std::move(*guard));
        call_key = pipeline.next_key;
    }

    // An allocation failure is an ordinary failed call: caught here, while the
    // guard is alive, it releases the lock without poisoning it and leaves the
    // key to the next call.
    RunValue<std::vector<std::vector<NativeOutput>>> delivered;
    try {
        delivered = run_with_key(pipeline, call, std::move(inputs), call_key);
    } catch (const std::bad_alloc&) {
        delivered = fail(allocation_failed());
    }
    if (delivered && sequence) ++pipeline.next_key;  // wraps from 2^64 - 1 to 0
    return delivered;
}

PyResult<PyRef> raster_to_python(OutputRaster raster) {
    const auto h = static_cast<npy_intp>(raster.height);
    const auto w = static_cast<npy_intp>(raster.width);
    const auto c = static_cast<npy_intp>(raster.channels);
    const bool chw = raster.kind == RasterKind::U8Chw || raster.kind == RasterKind::F32Chw;
    return std::visit(
        [&](auto& data) -> PyResult<PyRef> {
            if (chw) return array_owning(std::move(data), {c, h, w});
            if (raster.ndim == 2) return array_owning(std::move(data), {h, w});
            return array_owning(std::move(data), {h, w, c});
        },
        raster.data);
}

PyResult<PyRef> output_to_python(NativeOutput output) {
    if (auto* raster = std::get_if<OutputRaster>(&output)) return raster_to_python(std::move(*raster));
    if (auto* mask = std::get_if<MaskRasterOutput>(&output)) {
        return array_owning(std::move(mask->data), {static_cast<npy_intp>(mask->height), static_cast<npy_intp>(mask->width)});
    }
    if (auto* encoded = std::get_if<EncodedOutput>(&output)) {
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoded->bytes.data()),
                                                             static_cast<Py_ssize_t>(encoded->bytes.size())));
        if (!bytes) return raised();
        return bytes;
    }
    return PyRef::borrow(Py_None);
}

}  // namespace

PipelineRunError PipelineRunError::pool_poisoned() {
    return {Kind::PoolPoisoned, CoreErrorKind::Runtime, std::string(WORKSPACE_POOL_POISONED)};
}

void raise_run_error(const PipelineRunError& error) {
    switch (error.kind) {
        case PipelineRunError::Kind::Core: raise_core_error({error.core_kind, error.message}); return;
        case PipelineRunError::Kind::PoolPoisoned: raise_runtime_error(error.message); return;
        case PipelineRunError::Kind::InvalidType: PyErr_SetString(PyExc_TypeError, error.message.c_str()); return;
        case PipelineRunError::Kind::ReadSource:
        case PipelineRunError::Kind::WriteDestination: raise_os_error(error.message); return;
        case PipelineRunError::Kind::Codec:
        case PipelineRunError::Kind::InvalidValue:
        case PipelineRunError::Kind::EncodedTooLarge:
        case PipelineRunError::Kind::EncodedSinkContract: raise_value_error(error.message); return;
    }
}

std::expected<std::vector<std::vector<NativeOutput>>, PipelineRunError> execute(PipelineState& pipeline,
                                                                                PreparedCall& call,
                                                                                std::optional<std::uint64_t> key) {
    try {
        auto inputs = acquire(pipeline, call);
        if (!inputs) return fail(std::move(inputs.error()));
        return run_inputs(pipeline, call, std::move(*inputs), key);
    } catch (const std::bad_alloc&) {
        return fail(allocation_failed());
    }
}

PyResult<PyRef> outputs_to_python(std::vector<std::vector<NativeOutput>> outputs) {
    PyRef result = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(outputs.size())));
    if (!result) return raised();
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        PyRef target = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(outputs[i].size())));
        if (!target) return raised();
        for (std::size_t j = 0; j < outputs[i].size(); ++j) {
            PY_TRY(PyRef value, output_to_python(std::move(outputs[i][j])));
            PyTuple_SET_ITEM(target.get(), static_cast<Py_ssize_t>(j), value.release());
        }
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), target.release());
    }
    return result;
}

}  // namespace tessalumen::py
