#pragma once
// The error value of the core: every fallible core operation returns its
// result or a CoreError; nothing is thrown across the layer.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tessalumen {

enum class CoreErrorKind : std::uint8_t {
    Invalid = 0,  // bad specification or bad input (ValueError in Python)
    Runtime = 1,  // exhausted memory or an internal inconsistency (RuntimeError)
};

struct CoreError {
    CoreErrorKind kind;
    std::string message;  // shown as is, without a kind prefix

    [[nodiscard]] static CoreError invalid(std::string_view message) {
        return {CoreErrorKind::Invalid, std::string(message)};
    }
    [[nodiscard]] static CoreError runtime(std::string_view message) {
        return {CoreErrorKind::Runtime, std::string(message)};
    }
};

template <class T>
using CoreResult = std::expected<T, CoreError>;

// A check that passes or fails: `CoreStatus{}` is success.
using CoreStatus = std::expected<void, CoreError>;

[[nodiscard]] inline std::unexpected<CoreError> fail_invalid(std::string_view message) {
    return std::unexpected(CoreError::invalid(message));
}
[[nodiscard]] inline std::unexpected<CoreError> fail_runtime(std::string_view message) {
    return std::unexpected(CoreError::runtime(message));
}

}  // namespace tessalumen
