// read_image, decode_image, encode_image and write_image: single images
// through the codecs, with the codec work done without the interpreter lock.

#include "image_functions.h"

#include <cstring>
#include <new>
#include <string>

#include "convert.h"
#include "encoded_snapshot.h"
#include "encoder_options.h"
#include "errors.h"
#include "file_io.h"
#include "io/src/model.h"
#include "numpy_api.h"
#include "owned_array.h"
#include "path_argument.h"
#include "try.h"

namespace tessalumen::py {
namespace {

constexpr std::uint64_t DEFAULT_MAX_PIXELS = 100'000'000;

constexpr const char* MAX_PIXELS_MESSAGE = "max_pixels must be positive or None";
constexpr const char* MODE_MESSAGE = "mode must be 'unchanged', 'gray', 'rgb', or 'rgba'";
constexpr const char* DTYPE_MESSAGE = "image dtype must be uint8 or uint16";
constexpr const char* SHAPE_MESSAGE = "image must have HW or HWC shape with positive dimensions";
constexpr const char* CHANNELS_MESSAGE = "image must have between one and four channels";
constexpr const char* CONTIGUOUS_MESSAGE = "image must be C-contiguous";
constexpr const char* FORMAT_MESSAGE = "format must be 'jpeg' or 'png'";

PyResult<PathArgument> path_argument(PyObject* value) {
    auto path = to_path(value);
    if (!path) prefix_argument_type_error("path");
    return path;
}

// An omitted argument (null) gives `omitted`; None gives no value.
PyResult<std::optional<std::uint64_t>> optional_u64_argument(PyObject* value, const char* name,
                                                             std::optional<std::uint64_t> omitted) {
    if (value == nullptr) return omitted;
    if (value == Py_None) return std::nullopt;
    PY_TRY(const std::uint64_t converted, argument_u64(value, name));
    return converted;
}

PyResult<std::optional<std::uint8_t>> optional_byte_argument(PyObject* value, const char* name) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    auto converted = to_byte(value);
    if (!converted) {
        prefix_argument_type_error(name);
        return raised();
    }
    return *converted;
}

struct DecodeArguments {
    io::DecodeOptions options;
    std::optional<std::uint64_t> max_encoded_bytes;
};

// Converts mode, max_pixels and max_encoded_bytes, then checks the pixel limit
// before the mode.
PyResult<DecodeArguments> decode_arguments(PyObject* mode, PyObject* max_pixels, PyObject* max_encoded_bytes) {
    std::string mode_text = "rgb";
    if (mode != nullptr) {
        PY_TRY(mode_text, argument_string(mode, "mode"));
    }
    PY_TRY(const auto pixels, optional_u64_argument(max_pixels, "max_pixels", DEFAULT_MAX_PIXELS));
    PY_TRY(const auto bytes, optional_u64_argument(max_encoded_bytes, "max_encoded_bytes", std::nullopt));
    if (pixels && *pixels == 0) return raise_value_error(MAX_PIXELS_MESSAGE);
    const std::optional<io::DecodeMode> decode_mode = io::parse_decode_mode(mode_text);
    if (!decode_mode) return raise_value_error(MODE_MESSAGE);
    DecodeArguments arguments;
    if (pixels) arguments.options.max_pixels = static_cast<std::size_t>(*pixels);
    arguments.options.mode = *decode_mode;
    arguments.max_encoded_bytes = bytes;
    return arguments;
}

PyResult<PyRef> decoded_to_python(io::DecodedImage image) {
    const auto h = static_cast<npy_intp>(image.height);
    const auto w = static_cast<npy_intp>(image.width);
    const auto c = static_cast<npy_intp>(io::channels_of(image.layout));
    return std::visit(
        [&](auto& samples) -> PyResult<PyRef> {
            if (image.layout == io::PixelLayout::Gray) return array_owning(std::move(samples), {h, w});
            return array_owning(std::move(samples), {h, w, c});
        },
        image.samples);
}

PyResult<PyRef> decode_to_python(const Bytes& encoded, const io::DecodeOptions& options) {
    io::CodecResult<io::DecodedImage> decoded;
    {
        GilRelease unlocked;
        decoded = io::decode_image(encoded, options);
    }
    if (!decoded) return raise_value_error(decoded.error().message);
    return decoded_to_python(std::move(*decoded));
}

// The caller's array copied into an owned raster, so encoding can run without
// the interpreter lock.
struct OwnedImage {
    io::Samples samples;
    std::size_t height;
    std::size_t width;
    io::PixelLayout layout;

    [[nodiscard]] io::ImageView view() const {
        const auto sample_view = std::visit(
            [](const auto& buffer) -> io::SampleView { return std::span(buffer.data(), buffer.size()); }, samples);
        return {sample_view, height, width, layout};
    }
};

PyResult<OwnedImage> owned_image(PyObject* object) {
    if (!PyArray_Check(object)) return raise_value_error(DTYPE_MESSAGE);
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const int type = PyArray_TYPE(array);
    // Only native byte order matches the samples the codecs read.
    const bool native = PyArray_ISNOTSWAPPED(array);
    const bool is_u8 = type == NPY_UINT8;
    const bool is_u16 = type == NPY_UINT16 && native;
    if (!is_u8 && !is_u16) return raise_value_error(DTYPE_MESSAGE);

    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    if (ndim != 2 && ndim != 3) return raise_value_error(SHAPE_MESSAGE);
    if (dims[0] < 1 || dims[1] < 1) return raise_value_error(SHAPE_MESSAGE);
    io::PixelLayout layout = io::PixelLayout::Gray;
    if (ndim == 3) {
        switch (dims[2]) {
            case 1: layout = io::PixelLayout::Gray; break;
            case 2: layout = io::PixelLayout::GrayAlpha; break;
            case 3: layout = io::PixelLayout::Rgb; break;
            case 4: layout = io::PixelLayout::Rgba; break;
            default: return raise_value_error(CHANNELS_MESSAGE);
        }
    }
    if (!PyArray_IS_C_CONTIGUOUS(array)) return raise_value_error(CONTIGUOUS_MESSAGE);

    OwnedImage image{{}, static_cast<std::size_t>(dims[0]), static_cast<std::size_t>(dims[1]), layout};
    const auto count = static_cast<std::size_t>(PyArray_SIZE(array));
    try {
        if (is_u8) {
            const auto* data = static_cast<const std::uint8_t*>(PyArray_DATA(array));
            image.samples = io::U8Samples(data, data + count);
        } else {
            const auto* data = static_cast<const std::uint16_t*>(PyArray_DATA(array));
            image.samples = io::U16Samples(data, data + count);
        }
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
    return image;
}

struct EncodeRequest {
    io::ImageFormat format;
    std::uint8_t parameter;
};

PyResult<EncodeRequest> encode_request(const std::string& format, std::optional<std::uint8_t> quality,
                                       std::optional<std::uint8_t> compression) {
    const std::optional<io::ImageFormat> parsed = io::parse_image_format(format);
    if (!parsed) return raise_value_error(FORMAT_MESSAGE);
    PY_TRY(const std::uint8_t parameter, encoder_parameter(*parsed, quality, compression));
    return EncodeRequest{*parsed, parameter};
}

// Steps shared by encode_image and write_image: the image, then the request,
// then the encoder without the interpreter lock.
PyResult<Bytes> encode_arguments(PyObject* image_object, const std::string& format,
                                 std::optional<std::uint8_t> quality, std::optional<std::uint8_t> compression) {
    PY_TRY(const OwnedImage image, owned_image(image_object));
    PY_TRY(const EncodeRequest request, encode_request(format, quality, compression));
    io::CodecResult<std::vector<std::uint8_t>> encoded;
    {
        GilRelease unlocked;
        encoded = io::encode_image_view(image.view(), request.format, request.parameter);
    }
    if (!encoded) return raise_value_error(encoded.error().message);
    return std::move(*encoded);
}

PyResult<PyRef> read_image(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "mode", "max_pixels", "max_encoded_bytes", nullptr};
    PyObject* path_object = nullptr;
    PyObject* mode = nullptr;
    PyObject* max_pixels = nullptr;
    PyObject* max_encoded_bytes = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:read_image", const_cast<char**>(keywords), &path_object,
                                     &mode, &max_pixels, &max_encoded_bytes)) {
        return raised();
    }
    PY_TRY(const PathArgument path, path_argument(path_object));
    PY_TRY(const DecodeArguments arguments, decode_arguments(mode, max_pixels, max_encoded_bytes));
    if (arguments.max_encoded_bytes && *arguments.max_encoded_bytes == 0) {
        return raise_value_error(MAX_ENCODED_BYTES_MESSAGE);
    }
    std::expected<Bytes, ReadFailure> read;
    {
        GilRelease unlocked;
        read = read_encoded(path.native, arguments.max_encoded_bytes);
    }
    if (!read) {
        if (const auto* io_error = std::get_if<IoError>(&read.error())) {
            return raise_os_error("failed to read source '" + path.display + "': " + io_error->message);
        }
        const auto& too_large = std::get<TooLarge>(read.error());
        return raise_value_error("encoded image has " + std::to_string(too_large.count) +
                                 " bytes, exceeding the configured limit of " + std::to_string(too_large.limit));
    }
    return decode_to_python(*read, arguments.options);
}

PyResult<PyRef> decode_image(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "mode", "max_pixels", "max_encoded_bytes", nullptr};
    PyObject* data = nullptr;
    PyObject* mode = nullptr;
    PyObject* max_pixels = nullptr;
    PyObject* max_encoded_bytes = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:decode_image", const_cast<char**>(keywords), &data, &mode,
                                     &max_pixels, &max_encoded_bytes)) {
        return raised();
    }
    PY_TRY(const DecodeArguments arguments, decode_arguments(mode, max_pixels, max_encoded_bytes));
    PY_TRY(const Bytes snapshot, snapshot_encoded(data, arguments.max_encoded_bytes, "image"));
    return decode_to_python(snapshot, arguments.options);
}

struct EncoderArguments {
    std::string format;
    std::optional<std::uint8_t> quality;
    std::optional<std::uint8_t> compression;
};

PyResult<EncoderArguments> encoder_arguments(PyObject* format, PyObject* quality, PyObject* compression) {
    EncoderArguments arguments;
    PY_TRY(arguments.format, argument_string(format, "format"));
    PY_TRY(arguments.quality, optional_byte_argument(quality, "quality"));
    PY_TRY(arguments.compression, optional_byte_argument(compression, "compression"));
    return arguments;
}

PyResult<PyRef> encode_image(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"image", "format", "quality", "compression", nullptr};
    PyObject* image = nullptr;
    PyObject* format = nullptr;
    PyObject* quality = nullptr;
    PyObject* compression = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:encode_image", const_cast<char**>(keywords), &image,
                                     &format, &quality, &compression)) {
        return raised();
    }
    PY_TRY(const EncoderArguments arguments, encoder_arguments(format, quality, compression));
    PY_TRY(const Bytes encoded, encode_arguments(image, arguments.format, arguments.quality, arguments.compression));
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoded.data()),
                                                         static_cast<Py_ssize_t>(encoded.size())));
    if (!bytes) return raised();
    return bytes;
}

PyResult<PyRef> write_image(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "image", "format", "quality", "compression", nullptr};
    PyObject* path_object = nullptr;
    PyObject* image = nullptr;
    PyObject* format = nullptr;
    PyObject* quality = nullptr;
    PyObject* compression = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OO:write_image", const_cast<char**>(keywords), &path_object,
                                     &image, &format, &quality, &compression)) {
        return raised();
    }
    PY_TRY(const PathArgument path, path_argument(path_object));
    PY_TRY(const EncoderArguments arguments, encoder_arguments(format, quality, compression));
    PY_TRY(const Bytes encoded, encode_arguments(image, arguments.format, arguments.quality, arguments.compression));
    std::expected<void, IoError> written;
    {
        GilRelease unlocked;
        written = write_plainly(path.native, encoded);
    }
    if (!written) return raise_os_error("failed to write destination '" + path.display + "': " + written.error().message);
    return PyRef::borrow(Py_None);
}

// No C++ exception may reach the interpreter: an allocation that fails
// outside the guarded copies (a message, a path) becomes MemoryError.
template <PyResult<PyRef> (*Function)(PyObject*, PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    try {
        auto result = Function(args, kwargs);
        return result ? result->release() : nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace

const PyMethodDef READ_IMAGE_METHOD = {
    "read_image", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<read_image>)),
    METH_VARARGS | METH_KEYWORDS,
    "read_image(path, mode=\"rgb\", max_pixels=..., max_encoded_bytes=None)\n--\n\n"};
const PyMethodDef DECODE_IMAGE_METHOD = {
    "decode_image", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<decode_image>)),
    METH_VARARGS | METH_KEYWORDS,
    "decode_image(data, mode=\"rgb\", max_pixels=..., max_encoded_bytes=None)\n--\n\n"};
const PyMethodDef ENCODE_IMAGE_METHOD = {
    "encode_image", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<encode_image>)),
    METH_VARARGS | METH_KEYWORDS, "encode_image(image, format, quality=None, compression=None)\n--\n\n"};
const PyMethodDef WRITE_IMAGE_METHOD = {
    "write_image", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<write_image>)),
    METH_VARARGS | METH_KEYWORDS, "write_image(path, image, format, quality=None, compression=None)\n--\n\n"};

}  // namespace tessalumen::py
