#pragma once
// How call-time messages name a target: "target {index}", or
// "target {index} ({quoted name})" when the target was declared with a name.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessalumen::py {

// The name between double quotes, with backslash escapes for double quotes,
// backslashes and non-printable characters (\n, \r, \t, \0, else \u{hex}).
[[nodiscard]] std::string quoted_name(std::string_view name);

[[nodiscard]] std::string target_label(std::size_t index, const std::optional<std::string>& name);

}  // namespace tessalumen::py
