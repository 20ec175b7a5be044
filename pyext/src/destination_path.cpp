#include "destination_path.h"

#include <algorithm>
#include <cctype>

namespace tessalumen::py {
namespace {

// Raw parts between separators, empty parts dropped.
std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string_view> path_components(std::string_view path) {
    std::vector<std::string_view> components;
    if (path.starts_with('/')) components.push_back("/");
    const std::vector<std::string_view> parts = split(path);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        // Only a leading "." of a relative path counts as a component.
        if (parts[i] == "." && !(i == 0 && !path.starts_with('/'))) continue;
        components.push_back(parts[i]);
    }
    return components;
}

std::optional<std::string_view> file_name_of(std::string_view path) {
    const std::vector<std::string_view> components = path_components(path);
    if (components.empty()) return std::nullopt;
    const std::string_view last = components.back();
    if (last == "/" || last == "." || last == "..") return std::nullopt;
    return last;
}

std::string parent_of(std::string_view path) {
    std::string_view rest = path;
    // Drop trailing separators and "." parts, then the last component itself,
    // then the separators and "." parts before it; a root or a leading "." stays.
    const auto trim_back = [&rest](bool keep_leading_dot) {
        while (!rest.empty()) {
            if (rest.size() > 1 && rest.back() == '/') {
                rest.remove_suffix(1);
            } else if (rest.ends_with("/.")) {
                rest.remove_suffix(1);
            } else if (rest == "." && !keep_leading_dot) {
                rest = {};
            } else {
                break;
            }
        }
    };
    trim_back(false);
    if (rest == "/" || rest.empty()) return rest.empty() ? "." : std::string(rest);
    const std::size_t slash = rest.rfind('/');
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(0, slash + 1);
    trim_back(true);
    return rest.empty() ? "." : std::string(rest);
}

std::optional<io::ImageFormat> format_from_suffix(std::string_view path) {
    const std::optional<std::string_view> name = file_name_of(path);
    if (!name) return std::nullopt;
    const std::size_t dot = name->rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    const std::string_view suffix = name->substr(dot + 1);
    // A suffix that is not valid UTF-8 cannot spell any of these ASCII names.
    if (equals_ignoring_case(suffix, "jpeg") || equals_ignoring_case(suffix, "jpg")) return io::ImageFormat::Jpeg;
    if (equals_ignoring_case(suffix, "png")) return io::ImageFormat::Png;
    return std::nullopt;
}

std::string replace_invalid_utf8(std::string_view text) {
    constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
    const auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = byte(i);
        // Continuation bytes after the lead, and the range allowed for the
        // first of them (which excludes overlong forms, surrogates and values
        // above U+10FFFF).
        std::size_t extra = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
            result += static_cast<char>(lead);
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            result += REPLACEMENT;
            ++i;
            continue;
        }
        std::size_t valid = 1;  // the lead and the continuation bytes accepted so far
        while (valid <= extra && i + valid < text.size()) {
            const unsigned char next = byte(i + valid);
            const bool first = valid == 1;
            if (next < (first ? low : 0x80) || next > (first ? high : 0xBF)) break;
            ++valid;
        }
        if (valid == extra + 1) {
            result.append(text.substr(i, valid));
        } else {
            result += REPLACEMENT;
        }
        i += valid;
    }
    return result;
}

}  // namespace tessalumen::py
