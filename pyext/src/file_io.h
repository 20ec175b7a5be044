#pragma once
// File input and output of pipeline calls and the image functions: capped
// reads of encoded inputs, the atomic temporary-sibling write of pipeline
// outputs, and the plain write of write_image. Errors are values whose text
// ends with the operating system's description and " (os error N)", or is a
// fixed message of our own.

#include <atomic>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "core/src/model.h"

namespace tessalumen::py {

struct IoError {
    int code;             // errno, or 0 for an error of our own
    std::string message;  // the whole text, e.g. "No such file or directory (os error 2)"

    [[nodiscard]] static IoError from_errno(int code);
    [[nodiscard]] static IoError own(int code, std::string message);
};

// The file held more than the limit; `count` is limit + 1, never the real size.
struct TooLarge {
    std::uint64_t count;
    std::uint64_t limit;
};

using ReadFailure = std::variant<IoError, TooLarge>;

// Paths holding a NUL byte fail every file operation below with this message,
// since the operating system would read the path only up to that byte.
inline constexpr const char* NUL_IN_PATH_MESSAGE = "file name contained an unexpected NUL byte";

// Reads a whole file, or at most limit + 1 bytes when a limit is given.
[[nodiscard]] std::expected<Bytes, ReadFailure> read_encoded(const std::string& path,
                                                             std::optional<std::uint64_t> limit);

// Process-wide counter of attempts to create a temporary file; its value
// before the increment is part of the temporary name.
extern std::atomic<std::uint64_t> NEXT_TEMPORARY_FILE;

inline constexpr int TEMPORARY_FILE_ATTEMPTS = 32;

// Replaces `destination` by `bytes` through a temporary sibling
// ".{name}.tessalumen-{pid}-{n}" ({name} with invalid UTF-8 replaced by
// U+FFFD): exclusive creation, full write, fsync, rename. The destination is either unchanged or the complete new file, and
// no temporary file is left behind on failure.
[[nodiscard]] std::expected<void, IoError> write_atomically(const std::string& destination,
                                                            std::span<const std::uint8_t> bytes);

// Creates or truncates `path` and writes `bytes`; no temporary file, no fsync.
[[nodiscard]] std::expected<void, IoError> write_plainly(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace tessalumen::py
