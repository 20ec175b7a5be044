#include "configured_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tessalumen {
namespace {

std::string format_bytes(const Bytes& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ',';
        text += std::to_string(values[i]);
    }
    text += ']';
    return text;
}

std::string format_reals(const std::vector<float>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ", ";
        text += format_real(values[i]);
    }
    text += ']';
    return text;
}

// The shortest round-trip digits of a finite value, as to_chars writes them in
// scientific form: sign, digits without the point, and the decimal exponent.
struct ShortestDigits {
    bool negative;
    std::string digits;
    int exponent;
};

ShortestDigits shortest_digits(float value) {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    ShortestDigits result{false, {}, 0};
    if (text.front() == '-') {
        result.negative = true;
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    for (char c : text.substr(0, e)) {
        if (c != '.') result.digits += c;
    }
    std::string_view exponent = text.substr(e + 1);
    if (exponent.front() == '+') exponent.remove_prefix(1);
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), result.exponent);
    return result;
}

const Bytes* fill_of(const TransformSpec& spec) {
    return std::visit(
        [](const auto& step) -> const Bytes* {
            if constexpr (requires { step.fill; }) {
                return &step.fill;
            } else {
                return nullptr;
            }
        },
        spec);
}

}  // namespace

std::string format_real(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const ShortestDigits s = shortest_digits(value);
    std::string text = s.negative ? "-" : "";
    const float magnitude = std::fabs(value);
    if (magnitude != 0.0f && (magnitude >= 1e16f || magnitude < 1e-4f)) {
        text += s.digits.substr(0, 1);
        if (s.digits.size() > 1) text += "." + s.digits.substr(1);
        return text + "e" + std::to_string(s.exponent);
    }
    if (s.exponent < 0) return text + "0." + std::string(static_cast<std::size_t>(-s.exponent - 1), '0') + s.digits;
    const auto integral = static_cast<std::size_t>(s.exponent) + 1;
    if (s.digits.size() <= integral) return text + s.digits + std::string(integral - s.digits.size(), '0') + ".0";
    return text + s.digits.substr(0, integral) + "." + s.digits.substr(integral);
}

ConfiguredTexts configured_texts(const TransformSpec& spec) {
    ConfiguredTexts texts;
    if (const Bytes* fill = fill_of(spec)) {
        texts.emplace_back("fill", format_bytes(*fill));
    } else if (const auto* normalize = std::get_if<config::Normalize>(&spec)) {
        texts.emplace_back("mean", format_reals(normalize->mean));
        texts.emplace_back("std", format_reals(normalize->std));
    }
    return texts;
}

std::optional<std::string> rgb_requirement(std::span<const TransformSpec> transforms) {
    for (const TransformSpec& spec : transforms) {
        if (!(probability_of(spec) > 0.0f)) continue;
        std::string_view name = transform_name(kind_of(spec));
        std::optional<std::string> label;
        if (const Bytes* fill = fill_of(spec); fill != nullptr && fill->size() == 3) {
            label = std::string(name) + " fill";
        } else if (const auto* normalize = std::get_if<config::Normalize>(&spec)) {
            if (normalize->mean.size() == 3) {
                label = "Normalize mean";
            } else if (normalize->std.size() == 3) {
                label = "Normalize std";
            }
        }
        if (label) return *label + " has three values and requires RGB";
    }
    return std::nullopt;
}

}  // namespace tessalumen
