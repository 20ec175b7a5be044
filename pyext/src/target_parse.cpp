#include <new>
#include <string>

#include "convert.h"
#include "encoder_options.h"
#include "errors.h"
#include "target_route.h"
#include "transform_parse.h"
#include "try.h"

namespace tessalumen::py {

namespace {

constexpr std::string_view BAD_ROLE = "target role must be 'image' or 'mask'";
constexpr std::string_view BAD_MASK_FILL = "Mask fill must be an integer in [0, 255]";
constexpr std::string_view NO_OUTPUTS = "a target requires at least one output";
constexpr std::string_view ZERO_MAX_PIXELS = "max_pixels must be positive or None";
constexpr std::string_view ZERO_MAX_ENCODED_BYTES = "max_encoded_bytes must be positive or None";
constexpr std::string_view ARRAY_WITH_LIMITS = "Array does not accept decode limits";
constexpr std::string_view BAD_SOURCE = "source must be 'array', 'encoded', or 'path'";
constexpr std::string_view DECODE_MODE_NOT_DECODED = "decode_mode is only valid for encoded/path images";
constexpr std::string_view BAD_DECODE_MODE = "decode_mode must be rgb or gray";

constexpr std::string_view RETURN_WITH_CODEC_OPTIONS = "return outputs do not accept codec options";
constexpr std::string_view ENCODE_WITHOUT_FORMAT = "Encode requires a format";
constexpr std::string_view BAD_FORMAT = "format must be 'jpeg' or 'png'";
constexpr std::string_view MASK_ENCODE_NOT_PNG = "Mask Encode output must use PNG";
constexpr std::string_view MASK_WRITE_NOT_PNG = "Mask Write output must use PNG";
constexpr std::string_view BAD_OUTPUT_TYPE =
    "output type must be 'return_array', 'return_tensor', 'encode', or 'write'";

// An optional key: absent and None alike give nothing.
template <class Convert>
auto optional_key(PyObject* dict, std::string_view key, Convert convert)
    -> PyResult<std::optional<typename decltype(convert(nullptr))::value_type>> {
    using T = typename decltype(convert(nullptr))::value_type;
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    PY_CHECK(name);
    PyObject* found = PyDict_GetItemWithError(dict, name.get());
    if (found == nullptr && PyErr_Occurred()) return raised();
    if (found == nullptr || found == Py_None) return std::optional<T>();
    PyRef value = PyRef::borrow(found);
    PY_TRY(T converted, convert(value.get()));
    return std::optional<T>(std::move(converted));
}

PyResult<std::string> required_string(PyObject* dict, std::string_view key) {
    PY_TRY(PyRef value, required(dict, key));
    return to_string(value.get());
}

PyResult<io::ImageFormat> match_format(const std::string& text) {
    if (auto format = io::parse_image_format(text)) return *format;
    return raise_value_error(BAD_FORMAT);
}

PyResult<OutputRoute> parse_output(PyObject* declaration, TargetRole role) {
    if (!PyDict_Check(declaration)) return raise_type_conversion(declaration, "dict");
    PY_TRY(std::string type, required_string(declaration, "type"));
    PY_TRY(auto format, optional_key(declaration, "format", to_string));
    PY_TRY(auto quality, optional_key(declaration, "quality", to_byte));
    PY_TRY(auto compression, optional_key(declaration, "compression", to_byte));
    PY_TRY(auto name, optional_key(declaration, "name", to_string));

    if (type == "return_array" || type == "return_tensor") {
        if (format || quality || compression) return raise_value_error(RETURN_WITH_CODEC_OPTIONS);
        if (type == "return_array") return OutputRoute{std::move(name), ReturnArray{}};
        return OutputRoute{std::move(name), ReturnTensor{}};
    }
    if (type == "encode") {
        if (!format) return raise_value_error(ENCODE_WITHOUT_FORMAT);
        PY_TRY(io::ImageFormat matched, match_format(*format));
        if (role == TargetRole::Mask && matched != io::ImageFormat::Png) {
            return raise_value_error(MASK_ENCODE_NOT_PNG);
        }
        PY_TRY(const std::uint8_t parameter, encoder_parameter(matched, quality, compression));
        return OutputRoute{std::move(name), EncodeBytes{matched, parameter}};
    }
    if (type == "write") {
        std::optional<io::ImageFormat> matched;
        if (format) {
            PY_TRY(matched, match_format(*format));
            if (role == TargetRole::Mask && *matched != io::ImageFormat::Png) {
                return raise_value_error(MASK_WRITE_NOT_PNG);
            }
        }
        return OutputRoute{std::move(name), WriteFile{matched, quality, compression}};
    }
    return raise_value_error(BAD_OUTPUT_TYPE);
}

PyResult<TargetRoute> parse_target(PyObject* declaration) {
    if (!PyDict_Check(declaration)) return raise_type_conversion(declaration, "dict");
    TargetRoute route{};

    PY_TRY(std::string role, required_string(declaration, "role"));
    if (role == "image") {
        route.role = TargetRole::Image;
    } else if (role == "mask") {
        route.role = TargetRole::Mask;
    } else {
        return raise_value_error(BAD_ROLE);
    }

    if (route.role == TargetRole::Mask) {
        PY_TRY(PyRef fill, required(declaration, "fill"));
        // Whatever the conversion raised (also from a value's own __index__),
        // the declaration reports one message.
        auto converted = to_byte(fill.get());
        if (!converted) {
            PyErr_Clear();
            return raise_value_error(BAD_MASK_FILL);
        }
        route.fill = *converted;
    }

    PY_TRY(PyRef outputs, required(declaration, "outputs"));
    if (!PyList_Check(outputs.get())) return raise_type_conversion(outputs.get(), "list");
    if (PyList_GET_SIZE(outputs.get()) == 0) return raise_value_error(NO_OUTPUTS);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(outputs.get()); ++i) {
        // A new reference: parsing may run Python code that shrinks the list.
        PyRef element = PyRef::borrow(PyList_GET_ITEM(outputs.get(), i));
        PY_TRY(OutputRoute output, parse_output(element.get(), route.role));
        route.outputs.push_back(std::move(output));
    }

    PY_TRY(std::string carrier, required_string(declaration, "carrier"));
    PY_TRY(route.max_pixels, optional_key(declaration, "max_pixels", to_size));
    PY_TRY(route.max_encoded_bytes, optional_key(declaration, "max_encoded_bytes", to_size));
    if (route.max_pixels == 0u) return raise_value_error(ZERO_MAX_PIXELS);
    if (route.max_encoded_bytes == 0u) return raise_value_error(ZERO_MAX_ENCODED_BYTES);

    if (carrier == "path") {
        route.source = SourceKind::Path;
    } else if (carrier == "encoded") {
        route.source = SourceKind::Encoded;
    } else if (carrier == "array") {
        if (route.max_pixels || route.max_encoded_bytes) return raise_value_error(ARRAY_WITH_LIMITS);
        route.source = SourceKind::Array;
    } else {
        return raise_value_error(BAD_SOURCE);
    }

    PY_TRY(auto decode_mode, optional_key(declaration, "decode_mode", to_string));
    route.decode_mode = io::DecodeMode::Rgb;
    if (decode_mode) {
        if (route.source == SourceKind::Array || route.role == TargetRole::Mask) {
            return raise_value_error(DECODE_MODE_NOT_DECODED);
        }
        if (*decode_mode == "gray") {
            route.decode_mode = io::DecodeMode::Gray;
        } else if (*decode_mode != "rgb") {
            return raise_value_error(BAD_DECODE_MODE);
        }
    }

    PY_TRY(route.name, optional_key(declaration, "name", to_string));
    return route;
}

}  // namespace

TargetDescriptor TargetRoute::descriptor() const {
    bool any_tensor = false;
    bool any_other = false;
    for (const OutputRoute& output : outputs) {
        (std::holds_alternative<ReturnTensor>(output.kind) ? any_tensor : any_other) = true;
    }
    const bool mask = role == TargetRole::Mask;
    return TargetDescriptor{role, mask ? fill : std::uint8_t{0}, mask || any_other, !mask && any_tensor};
}

ChannelChoice TargetRoute::channel_choice() const {
    const bool decoded = role == TargetRole::Image && source != SourceKind::Array;
    return ChannelChoice{decoded, decode_mode == io::DecodeMode::Gray ? 1u : 3u};
}

bool TargetRoute::encodes_image() const {
    if (role != TargetRole::Image) return false;
    for (const OutputRoute& output : outputs) {
        if (std::holds_alternative<EncodeBytes>(output.kind) || std::holds_alternative<WriteFile>(output.kind)) {
            return true;
        }
    }
    return false;
}

PyResult<std::vector<TargetRoute>> parse_targets(PyObject* targets) {
    std::vector<TargetRoute> routes;
    try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets); ++i) {
            PyRef element = PyRef::borrow(PyList_GET_ITEM(targets, i));
            PY_TRY(TargetRoute route, parse_target(element.get()));
            routes.push_back(std::move(route));
        }
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
    return routes;
}

}  // namespace tessalumen::py
