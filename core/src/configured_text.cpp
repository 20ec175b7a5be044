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

// Exponent form "<digits>e<exponent>" from the shortest scientific form,
// whose exponent to_chars writes with a sign and at least two digits.
std::string exponent_form(float value) {
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    std::string result(text.substr(0, e));
    result += 'e';
    std::string_view exponent = text.substr(e + 1);
    if (exponent.front() == '-') result += '-';
    if (exponent.front() == '-' || exponent.front() == '+') exponent.remove_prefix(1);
    while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
    result += exponent;
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
    const float magnitude = std::fabs(value);
    if (magnitude != 0.0f && (magnitude >= 1e16f || magnitude < 1e-4f)) return exponent_form(value);
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed).ptr;
    std::string text(buffer, static_cast<std::size_t>(end - buffer));
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
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
