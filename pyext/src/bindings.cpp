#include "bindings.h"

#include <sys/stat.h>

#include <cstring>
#include <new>
#include <optional>

#include "destination_path.h"
#include "encoded_snapshot.h"
#include "encoder_options.h"
#include "errors.h"
#include "numpy_api.h"
#include "target_label.h"
#include "try.h"

namespace tessalumen::py {
namespace {

std::unexpected<Raised> raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return raised();
}

using Components = std::vector<std::string>;

// The binding's source and the destinations of its write outputs.
struct Binding {
    PyRef source;
    std::vector<PathArgument> destinations;
};

// The attribute, or nothing when it is missing (an AttributeError while
// looking), without building an exception on the common path of a plain
// source; any other error is raised.
PyResult<std::optional<PyRef>> optional_attribute(PyObject* object, const char* name) {
    PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    if (!key) return raised();
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int found = PyObject_GetOptionalAttr(object, key.get(), &value);
#else
    const int found = _PyObject_LookupAttr(object, key.get(), &value);
#endif
    if (found < 0) return raised();
    if (found == 0) return std::nullopt;
    return PyRef::steal(value);
}

PyResult<Binding> read_binding(PyObject* binding) {
    PY_TRY(std::optional<PyRef> found, optional_attribute(binding, "_source"));
    if (!found) return Binding{PyRef::borrow(binding), {}};
    PyRef source = std::move(*found);
    PyRef writes = PyRef::steal(PyObject_GetAttrString(binding, "_write_bindings"));
    if (!writes) return raised();
    if (!PyTuple_Check(writes.get())) return raise_type_conversion(writes.get(), "tuple");
    Binding result{std::move(source), {}};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(writes.get()); ++i) {
        PyRef destination = PyRef::steal(PyObject_GetAttrString(PyTuple_GET_ITEM(writes.get(), i), "_destination"));
        if (!destination) return raised();
        PY_TRY(PathArgument path, to_path(destination.get()));
        result.destinations.push_back(std::move(path));
    }
    return result;
}

// Elements of a strided uint8 array of 2 or 3 dimensions, in C order.
PyResult<Bytes> copy_in_c_order(PyArrayObject* array, const ArrayShape& shape) {
    Bytes data;
    try {
        data.resize(shape.height * shape.width * shape.channels);
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
    const auto* base = static_cast<const std::uint8_t*>(PyArray_DATA(array));
    const npy_intp* strides = PyArray_STRIDES(array);
    const npy_intp channel_stride = PyArray_NDIM(array) == 3 ? strides[2] : 0;
    std::size_t out = 0;
    for (npy_intp y = 0; y < static_cast<npy_intp>(shape.height); ++y) {
        for (npy_intp x = 0; x < static_cast<npy_intp>(shape.width); ++x) {
            const std::uint8_t* pixel = base + y * strides[0] + x * strides[1];
            for (npy_intp c = 0; c < static_cast<npy_intp>(shape.channels); ++c) data[out++] = pixel[c * channel_stride];
        }
    }
    return data;
}

PyResult<PreparedSource> prepare_array(PyObject* source, TargetRole role, const std::string& label) {
    if (!PyArray_Check(source) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(source)) != NPY_UINT8) {
        return raise_type_error(label + " must be a NumPy uint8 array");
    }
    auto* array = reinterpret_cast<PyArrayObject*>(source);
    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const bool image = role == TargetRole::Image;
    const bool valid = (ndim == 2 || (image && ndim == 3 && (dims[2] == 1 || dims[2] == 3))) && dims[0] >= 1 &&
                       dims[1] >= 1;
    if (!valid) {
        return raise_value_error(label + (image ? " must be a non-empty HW, HWC1, or HWC RGB array"
                                                : " must be a non-empty HW array"));
    }
    const ArrayShape shape{static_cast<std::uint64_t>(ndim), ndim == 3 ? static_cast<std::uint64_t>(dims[2]) : 1,
                           static_cast<std::uint64_t>(dims[0]), static_cast<std::uint64_t>(dims[1])};
    if (PyArray_IS_C_CONTIGUOUS(array)) return BorrowedArray{PyRef::borrow(source), shape};
    PY_TRY(Bytes data, copy_in_c_order(array, shape));
    return CopiedArray{std::move(data), shape};
}

PyResult<PreparedSource> prepare_source(PyObject* source, const TargetRoute& route, const std::string& label) {
    switch (route.source) {
        case SourceKind::Array: return prepare_array(source, route.role, label);
        case SourceKind::Encoded: {
            PY_TRY(Bytes data, snapshot_encoded(source, route.max_encoded_bytes, label));
            return EncodedSnapshot{std::move(data)};
        }
        case SourceKind::Path: {
            auto path = to_path(source);
            if (!path) {
                PyErr_Clear();
                return raise_type_error(label + " source must be a local path");
            }
            return PathSource{std::move(*path)};
        }
    }
    return raise_runtime_error("unknown source kind");
}

PyResult<ResolvedWrite> resolve_write(const WriteFile& write, PathArgument path, TargetRole role,
                                      const std::string& label) {
    const std::optional<io::ImageFormat> suffix = format_from_suffix(path.native);
    const std::optional<io::ImageFormat> format = write.format ? write.format : suffix;
    if (!format) return raise_value_error("format is required for " + label + " destination without a JPEG or PNG suffix");
    if (write.format && suffix && *write.format != *suffix) {
        return raise_value_error(label + " output format conflicts with the destination suffix");
    }
    if (role == TargetRole::Mask && *format == io::ImageFormat::Jpeg) {
        return raise_value_error("Mask Write output must use PNG");
    }
    PY_TRY(const std::uint8_t parameter, encoder_parameter(*format, write.quality, write.compression));
    return ResolvedWrite{std::move(path), *format, parameter};
}

// A path holding a NUL byte names no directory (the system would read only
// the part before it).
bool is_directory(const std::string& path) {
    struct stat info {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

PyStatus check_destination(const PathArgument& path, const std::string& label, std::vector<Components>& used) {
    if (!file_name_of(path.native)) return raise_value_error(label + " destination must have a file name");
    if (!is_directory(parent_of(path.native))) {
        return raise_value_error(label + " destination parent '" + parent_of(path.display) + "' is not a directory");
    }
    if (is_directory(path.native)) return raise_value_error(label + " destination '" + path.display + "' is a directory");
    const std::vector<std::string_view> parts = path_components(path.native);
    Components components(parts.begin(), parts.end());
    for (const Components& earlier : used) {
        if (earlier == components) return raise_value_error("duplicate target destination '" + path.display + "'");
    }
    used.push_back(std::move(components));
    return {};
}

}  // namespace

PyResult<PreparedCall> preflight(const std::vector<TargetRoute>& routes, PyObject* bindings) {
    if (!PyTuple_Check(bindings)) return raise_type_conversion(bindings, "tuple");
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(bindings));
    if (count != routes.size()) {
        return raise_type_error("expected " + std::to_string(routes.size()) + " target bindings, received " +
                                std::to_string(count));
    }

    PreparedCall call{{}, false};
    call.targets.reserve(routes.size());
    std::vector<Components> used_destinations;  // of every destination so far, all targets
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const TargetRoute& route = routes[i];
        PY_TRY(Binding binding, read_binding(PyTuple_GET_ITEM(bindings, static_cast<Py_ssize_t>(i))));
        std::string label = target_label(i, route.name);
        PY_TRY(PreparedSource source, prepare_source(binding.source.get(), route, label));

        std::size_t writes = 0;
        for (const OutputRoute& output : route.outputs) writes += std::holds_alternative<WriteFile>(output.kind) ? 1 : 0;
        if (binding.destinations.size() != writes) {
            return raise_type_error("expected " + std::to_string(writes) + " Write bindings for " + label + ", received " +
                                    std::to_string(binding.destinations.size()));
        }

        std::vector<PreparedSink> sinks;
        sinks.reserve(route.outputs.size());
        std::size_t next_destination = 0;
        for (const OutputRoute& output : route.outputs) {
            if (const auto* write = std::get_if<WriteFile>(&output.kind)) {
                PY_TRY(ResolvedWrite resolved,
                       resolve_write(*write, std::move(binding.destinations[next_destination++]), route.role, label));
                sinks.emplace_back(std::move(resolved));
            } else {
                std::visit(
                    [&sinks](const auto& kind) {
                        if constexpr (!std::is_same_v<std::decay_t<decltype(kind)>, WriteFile>) sinks.emplace_back(kind);
                    },
                    output.kind);
            }
        }
        for (const PreparedSink& sink : sinks) {
            if (const auto* write = std::get_if<ResolvedWrite>(&sink)) {
                PY_CHECK(check_destination(write->path, label, used_destinations));
            }
        }

        call.requires_interpreter_lock |= std::holds_alternative<BorrowedArray>(source);
        call.targets.push_back({std::move(label), std::move(source), std::move(sinks)});
    }
    return call;
}

}  // namespace tessalumen::py
