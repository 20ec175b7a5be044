#include "target_label.h"

#include <cstdint>
#include <cstdio>

namespace tessalumen::py {
namespace {

// Decodes one UTF-8 sequence at `i` (names come from Python text, so they are
// valid UTF-8; a truncated sequence decodes byte by byte).
std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    const std::size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 0;
    if (extra == 0 || i + extra >= text.size()) {
        ++i;
        return lead;
    }
    std::uint32_t code = lead & (0x7F >> (extra + 1));
    for (std::size_t k = 1; k <= extra; ++k) code = (code << 6) | (byte(i + k) & 0x3F);
    i += extra + 1;
    return code;
}

// Control characters and the invisible formatting characters a reader could
// not see in a message.
bool is_printable(std::uint32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
    if (c == 0xAD || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
        c == 0xFEFF) {
        return false;
    }
    return true;
}

}  // namespace

std::string quoted_name(std::string_view name) {
    std::string quoted = "\"";
    std::size_t i = 0;
    while (i < name.size()) {
        const std::size_t start = i;
        const std::uint32_t c = next_code_point(name, i);
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            case '\0': quoted += "\\0"; break;
            default:
                if (is_printable(c)) {
                    quoted.append(name.substr(start, i - start));
                } else {
                    char escape[16];
                    std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
                    quoted += escape;
                }
        }
    }
    quoted += '"';
    return quoted;
}

std::string target_label(std::size_t index, const std::optional<std::string>& name) {
    std::string label = "target " + std::to_string(index);
    if (name) label += " (" + quoted_name(*name) + ")";
    return label;
}

}  // namespace tessalumen::py
