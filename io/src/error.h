#pragma once
// The error value of the codec library: every fallible codec operation returns
// its result or a CodecError; nothing is thrown out of the library.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tessalumen::io {

enum class CodecErrorKind : std::uint8_t {
    InvalidInput = 0,   // the caller's raster or parameter is unusable
    Unsupported = 1,    // a valid input the library does not handle
    LimitExceeded = 2,  // a pixel-count or memory limit would be crossed
    Decode = 3,         // the encoded input is corrupt or the decoder failed
    Encode = 4,         // the encoder failed
};

struct CodecError {
    CodecErrorKind kind;
    std::string message;  // displayed alone; the kind never reaches Python

    [[nodiscard]] const std::string& display() const noexcept { return message; }
};

template <class T>
using CodecResult = std::expected<T, CodecError>;

// A check that passes or fails: `CodecStatus{}` is success.
using CodecStatus = std::expected<void, CodecError>;

[[nodiscard]] inline std::unexpected<CodecError> fail_codec(CodecErrorKind kind,
                                                            std::string_view message) {
    return std::unexpected(CodecError{kind, std::string(message)});
}

inline constexpr std::string_view MSG_OUTPUT_TOO_LARGE =
    "decoded image exceeds the supported memory limit";

// The one builder of every memory-limit failure of the library.
[[nodiscard]] inline CodecError output_too_large() {
    return CodecError{CodecErrorKind::LimitExceeded, std::string(MSG_OUTPUT_TOO_LARGE)};
}

}  // namespace tessalumen::io
