#pragma once
// Path rules for write destinations: the file name, the parent directory, the
// format named by the suffix, and component-wise comparison. Components are
// read as on any POSIX path: repeated separators and interior "." components
// make no difference, a leading "." is kept, and nothing is resolved against
// the file system.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/src/model.h"

namespace tessalumen::py {

// The last component when it is a normal file name (not empty, "/", "." or "..").
[[nodiscard]] std::optional<std::string_view> file_name_of(std::string_view path);

// The path without its last component, "." when that leaves nothing.
[[nodiscard]] std::string parent_of(std::string_view path);

// "jpeg"/"jpg" and "png" suffixes, compared case-insensitively; none for any
// other suffix, no ".", a name whose only "." is its first character, or a
// suffix that is not valid UTF-8.
[[nodiscard]] std::optional<io::ImageFormat> format_from_suffix(std::string_view path);

// The path as a list of components, for comparing destinations.
[[nodiscard]] std::vector<std::string_view> path_components(std::string_view path);

// The text with each ill-formed UTF-8 subsequence replaced by U+FFFD: one
// replacement per maximal subpart, as text decoders conventionally do.
[[nodiscard]] std::string replace_invalid_utf8(std::string_view text);

}  // namespace tessalumen::py
