#include "transform_parse.h"

#include <string>

#include "convert.h"
#include "errors.h"
#include "try.h"

namespace tessalumen::py {

namespace {

constexpr std::string_view UNKNOWN_TRANSFORM = "unknown transform type: ";
constexpr std::string_view BAD_INTERPOLATION = "interpolation must be 'nearest' or 'bilinear'";
constexpr std::string_view BAD_BORDER_MODE = "border_mode must be 'constant' or 'reflect101'";
constexpr std::string_view BAD_POSITION =
    "position must be 'center', 'top_left', 'top_right', 'bottom_left', 'bottom_right', or 'random'";
constexpr std::string_view BAD_HOLE_UNIT = " must be 'fraction' or 'pixels'";

constexpr float DEFAULT_P = 1.0f;
constexpr float DEFAULT_HORIZONTAL_FLIP_P = 0.5f;
constexpr float DEFAULT_MAX_PIXEL_VALUE = 255.0f;

PyResult<PyRef> optional_value(PyObject* dict, std::string_view key) {
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    PY_CHECK(name);
    PyObject* value = PyDict_GetItemWithError(dict, name.get());
    if (value == nullptr && PyErr_Occurred()) return raised();
    return PyRef::borrow(value);
}

// Reads the keys of one dictionary, converting each value as soon as it is read.
class Fields {
public:
    explicit Fields(PyObject* dict) : dict_(dict) {}

    template <class Convert>
    auto get(std::string_view key, Convert convert) -> decltype(convert(nullptr)) {
        PY_TRY(PyRef value, required(dict_, key));
        return convert(value.get());
    }

    PyResult<std::uint64_t> size(std::string_view key) { return get(key, to_size); }
    PyResult<std::optional<std::uint64_t>> optional_size(std::string_view key) {
        return get(key, to_optional_size);
    }
    PyResult<std::uint8_t> byte(std::string_view key) { return get(key, to_byte); }
    PyResult<bool> flag(std::string_view key) { return get(key, to_flag); }
    PyResult<RealRange> pair(std::string_view key) { return get(key, to_pair); }
    PyResult<std::array<float, 4>> quad(std::string_view key) { return get(key, to_quad); }
    PyResult<Bytes> byte_list(std::string_view key) { return get(key, to_byte_list); }
    PyResult<std::vector<float>> real_list(std::string_view key) { return get(key, to_real_list); }
    PyResult<std::string> string(std::string_view key) { return get(key, to_string); }

    PyResult<Interpolation> interpolation() {
        PY_TRY(std::string text, string("interpolation"));
        if (text == "nearest") return Interpolation::Nearest;
        if (text == "bilinear") return Interpolation::Bilinear;
        return raise_value_error(BAD_INTERPOLATION);
    }

    PyResult<BorderMode> border_mode() {
        PY_TRY(std::string text, string("border_mode"));
        if (text == "constant") return BorderMode::Constant;
        if (text == "reflect101") return BorderMode::Reflect101;
        return raise_value_error(BAD_BORDER_MODE);
    }

    PyResult<PadPosition> position() {
        PY_TRY(std::string text, string("position"));
        if (text == "center") return PadPosition::Center;
        if (text == "top_left") return PadPosition::TopLeft;
        if (text == "top_right") return PadPosition::TopRight;
        if (text == "bottom_left") return PadPosition::BottomLeft;
        if (text == "bottom_right") return PadPosition::BottomRight;
        if (text == "random") return PadPosition::Random;
        return raise_value_error(BAD_POSITION);
    }

    // The unit is matched before the range key is read.
    PyResult<HoleExtent> hole_extent(std::string_view unit_key, std::string_view range_key) {
        PY_TRY(std::string unit, string(unit_key));
        if (unit == "pixels") {
            PY_TRY(CountRange range, get(range_key, to_count_pair));
            return HoleExtent(PixelExtent{range.lo, range.hi});
        }
        if (unit == "fraction") {
            PY_TRY(RealRange range, pair(range_key));
            return HoleExtent(FractionExtent{range.lo, range.hi});
        }
        return raise_value_error(std::string(unit_key) + std::string(BAD_HOLE_UNIT));
    }

    PyResult<float> max_pixel_value() {
        PY_TRY(PyRef value, optional_value(dict_, "max_pixel_value"));
        if (!value) return DEFAULT_MAX_PIXEL_VALUE;
        return to_real(value.get());
    }

private:
    PyObject* dict_;
};

PyResult<TransformSpec> parse_fields(TransformKind kind, float p, Fields& f) {
    using namespace config;
    switch (kind) {
        case TransformKind::Resize: {
            PY_TRY(auto height, f.size("height"));
            PY_TRY(auto width, f.size("width"));
            PY_TRY(auto interpolation, f.interpolation());
            PY_TRY(auto antialias, f.flag("antialias"));
            return Resize{p, height, width, interpolation, antialias};
        }
        case TransformKind::LongestMaxSize: {
            PY_TRY(auto max_size, f.size("max_size"));
            PY_TRY(auto interpolation, f.interpolation());
            PY_TRY(auto antialias, f.flag("antialias"));
            return LongestMaxSize{p, max_size, interpolation, antialias};
        }
        case TransformKind::RandomCrop: {
            PY_TRY(auto height, f.size("height"));
            PY_TRY(auto width, f.size("width"));
            return RandomCrop{p, height, width};
        }
        case TransformKind::RandomResizedCrop: {
            PY_TRY(auto height, f.size("height"));
            PY_TRY(auto width, f.size("width"));
            PY_TRY(auto scale, f.pair("scale"));
            PY_TRY(auto ratio, f.pair("ratio"));
            PY_TRY(auto interpolation, f.interpolation());
            PY_TRY(auto antialias, f.flag("antialias"));
            return RandomResizedCrop{p, height, width, scale, ratio, interpolation, antialias};
        }
        case TransformKind::HorizontalFlip: return HorizontalFlip{p};
        case TransformKind::VerticalFlip: return VerticalFlip{p};
        case TransformKind::CenterCrop: {
            PY_TRY(auto height, f.size("height"));
            PY_TRY(auto width, f.size("width"));
            return CenterCrop{p, height, width};
        }
        case TransformKind::PadIfNeeded: {
            PY_TRY(auto min_height, f.optional_size("min_height"));
            PY_TRY(auto min_width, f.optional_size("min_width"));
            PY_TRY(auto pad_height_divisor, f.optional_size("pad_height_divisor"));
            PY_TRY(auto pad_width_divisor, f.optional_size("pad_width_divisor"));
            PY_TRY(auto position, f.position());
            PY_TRY(auto border_mode, f.border_mode());
            PY_TRY(auto fill, f.byte_list("fill"));
            return PadIfNeeded{p,        min_height,  min_width,      pad_height_divisor, pad_width_divisor,
                               position, border_mode, std::move(fill)};
        }
        case TransformKind::CoarseDropout: {
            PY_TRY(auto num_holes_range, f.get("num_holes_range", to_count_pair));
            PY_TRY(auto hole_height_range, f.hole_extent("hole_height_unit", "hole_height_range"));
            PY_TRY(auto hole_width_range, f.hole_extent("hole_width_unit", "hole_width_range"));
            PY_TRY(auto fill, f.byte_list("fill"));
            return CoarseDropout{p, num_holes_range, hole_height_range, hole_width_range, std::move(fill)};
        }
        case TransformKind::ColorJitter: {
            PY_TRY(auto brightness, f.pair("brightness"));
            PY_TRY(auto contrast, f.pair("contrast"));
            PY_TRY(auto saturation, f.pair("saturation"));
            PY_TRY(auto hue, f.pair("hue"));
            return ColorJitter{p, brightness, contrast, saturation, hue};
        }
        case TransformKind::Affine: {
            PY_TRY(auto degrees, f.pair("degrees"));
            PY_TRY(auto translate, f.pair("translate"));
            PY_TRY(auto scale, f.pair("scale"));
            PY_TRY(auto shear, f.quad("shear"));
            PY_TRY(auto interpolation, f.interpolation());
            PY_TRY(auto border_mode, f.border_mode());
            PY_TRY(auto fill, f.byte_list("fill"));
            return Affine{p,     degrees,       {translate.lo, translate.hi},
                          scale, shear,         interpolation,
                          border_mode, std::move(fill)};
        }
        case TransformKind::RandomRotation: {
            PY_TRY(auto degrees, f.pair("degrees"));
            PY_TRY(auto interpolation, f.interpolation());
            PY_TRY(auto border_mode, f.border_mode());
            PY_TRY(auto fill, f.byte_list("fill"));
            return RandomRotation{p, degrees, interpolation, border_mode, std::move(fill)};
        }
        case TransformKind::GaussianNoise: {
            PY_TRY(auto mean, f.pair("mean"));
            PY_TRY(auto std, f.pair("std"));
            PY_TRY(auto per_channel, f.flag("per_channel"));
            return GaussianNoise{p, mean, std, per_channel};
        }
        case TransformKind::Sharpen: {
            PY_TRY(auto alpha, f.pair("alpha"));
            PY_TRY(auto lightness, f.pair("lightness"));
            return Sharpen{p, alpha, lightness};
        }
        case TransformKind::Perspective: {
            PY_TRY(auto scale, f.pair("scale"));
            PY_TRY(auto interpolation, f.interpolation());
            PY_TRY(auto border_mode, f.border_mode());
            PY_TRY(auto fill, f.byte_list("fill"));
            return Perspective{p, scale, interpolation, border_mode, std::move(fill)};
        }
        case TransformKind::GridDistortion: {
            PY_TRY(auto num_steps, f.size("num_steps"));
            PY_TRY(auto distort_limit, f.pair("distort_limit"));
            PY_TRY(auto interpolation, f.interpolation());
            PY_TRY(auto border_mode, f.border_mode());
            PY_TRY(auto fill, f.byte_list("fill"));
            return GridDistortion{p, num_steps, distort_limit, interpolation, border_mode, std::move(fill)};
        }
        case TransformKind::GaussianBlur: {
            PY_TRY(auto kernel_size, f.size("kernel_size"));
            PY_TRY(auto sigma, f.pair("sigma"));
            return GaussianBlur{p, kernel_size, sigma};
        }
        case TransformKind::Grayscale: return Grayscale{p};
        case TransformKind::Invert: return Invert{p};
        case TransformKind::Solarize: {
            PY_TRY(auto threshold, f.byte("threshold"));
            return Solarize{p, threshold};
        }
        case TransformKind::Posterize: {
            PY_TRY(auto bits, f.byte("bits"));
            return Posterize{p, bits};
        }
        case TransformKind::Normalize: {
            PY_TRY(auto mean, f.real_list("mean"));
            PY_TRY(auto std, f.real_list("std"));
            PY_TRY(auto max_pixel_value, f.max_pixel_value());
            return Normalize{p, std::move(mean), std::move(std), max_pixel_value};
        }
    }
    return raise_runtime_error("unhandled transform kind");
}

}  // namespace

PyResult<PyRef> required(PyObject* dict, std::string_view key) {
    PY_TRY(PyRef value, optional_value(dict, key));
    if (!value) {
        return raise_value_error(std::string(MISSING_FIELD) + std::string(key));
    }
    return value;
}

PyResult<TransformSpec> parse_spec(PyObject* dict) {
    Fields fields(dict);
    PY_TRY(std::string type, fields.string("type"));

    float p = type == "HorizontalFlip" ? DEFAULT_HORIZONTAL_FLIP_P : DEFAULT_P;
    PY_TRY(PyRef given_p, optional_value(dict, "p"));
    if (given_p) {
        PY_TRY(p, to_real(given_p.get()));
    }

    for (std::size_t i = 0; i < REGISTERED_TRANSFORM_NAMES.size(); ++i) {
        if (REGISTERED_TRANSFORM_NAMES[i] != type) continue;
        try {
            return parse_fields(static_cast<TransformKind>(i), p, fields);
        } catch (const std::bad_alloc&) {
            return raise_no_memory();
        }
    }
    try {
        return raise_value_error(std::string(UNKNOWN_TRANSFORM) + type);
    } catch (const std::bad_alloc&) {
        return raise_no_memory();
    }
}

}  // namespace tessalumen::py
