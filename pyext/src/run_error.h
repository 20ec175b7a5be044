#pragma once
// The error of a call's native part, and the Python exception it becomes.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/src/error.h"
#include "file_io.h"
#include "io/src/error.h"

namespace tessalumen::py {

struct PipelineRunError {
    enum class Kind : std::uint8_t {
        Core,                 // ValueError for Invalid, RuntimeError for Runtime
        Codec,                // ValueError
        PoolPoisoned,         // RuntimeError
        InvalidType,          // TypeError
        InvalidValue,         // ValueError
        ReadSource,           // OSError
        WriteDestination,     // OSError
        EncodedTooLarge,      // ValueError
        EncodedSinkContract,  // ValueError
    };

    Kind kind;
    CoreErrorKind core_kind = CoreErrorKind::Invalid;  // for Core
    std::string message;  // the whole text, target label included where one applies

    [[nodiscard]] static PipelineRunError core(const CoreError& error) { return {Kind::Core, error.kind, error.message}; }
    [[nodiscard]] static PipelineRunError codec(const io::CodecError& error) {
        return {Kind::Codec, CoreErrorKind::Invalid, error.message};
    }
    [[nodiscard]] static PipelineRunError pool_poisoned();
    [[nodiscard]] static PipelineRunError invalid_type(std::string message) {
        return {Kind::InvalidType, CoreErrorKind::Invalid, std::move(message)};
    }
    [[nodiscard]] static PipelineRunError invalid_value(std::string message) {
        return {Kind::InvalidValue, CoreErrorKind::Invalid, std::move(message)};
    }
    [[nodiscard]] static PipelineRunError read_source(std::string_view path, const IoError& error) {
        return {Kind::ReadSource, CoreErrorKind::Invalid,
                "failed to read source '" + std::string(path) + "': " + error.message};
    }
    [[nodiscard]] static PipelineRunError write_destination(std::string_view path, const IoError& error) {
        return {Kind::WriteDestination, CoreErrorKind::Invalid,
                "failed to write destination '" + std::string(path) + "': " + error.message};
    }
    [[nodiscard]] static PipelineRunError encoded_too_large(std::uint64_t count, std::uint64_t limit) {
        return {Kind::EncodedTooLarge, CoreErrorKind::Invalid,
                "encoded image has " + std::to_string(count) + " bytes, exceeding the configured limit of " +
                    std::to_string(limit)};
    }
    [[nodiscard]] static PipelineRunError encoded_sink_contract() {
        return {Kind::EncodedSinkContract, CoreErrorKind::Invalid,
                "pipeline output does not satisfy the HWC RGB uint8 encoded-sink contract"};
    }

    // The same error about one target: "{label}: {message}", same exception type.
    [[nodiscard]] PipelineRunError in_target(std::string_view label) && {
        message = std::string(label) + ": " + message;
        return std::move(*this);
    }
};

// Raises the exception of the error's kind with its message.
void raise_run_error(const PipelineRunError& error);

}  // namespace tessalumen::py
