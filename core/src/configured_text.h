#pragma once
// Texts that describe a step's configuration as given, before validation:
// the (key, value) pairs the explanation reports, and the reason, if any, why
// a pipeline cannot run on gray images.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model.h"

namespace tessalumen {

using ConfiguredTexts = std::vector<std::pair<std::string_view, std::string>>;

// "fill" for the six steps with a fill ("[255,0,0]"), "mean" then "std" for
// Normalize ("[0.485, 0.456, 0.406]"), nothing for every other step.
[[nodiscard]] ConfiguredTexts configured_texts(const TransformSpec& spec);

// The shortest decimal that reads back to the same f32, with at least one
// fractional digit ("2.0") and exponent form ("1e-5", "1e16") when the
// magnitude is at least 1e16 or below 1e-4 and not zero.
[[nodiscard]] std::string format_real(float value);

// "<label> has three values and requires RGB" for the first step applied with
// some probability (p > 0) that has a three-value fill, mean or std.
[[nodiscard]] std::optional<std::string> rgb_requirement(std::span<const TransformSpec> transforms);

}  // namespace tessalumen
