#pragma once
// The native part of `apply_targets`: acquisition and decoding of the inputs,
// the engine run under the call key with a pooled workspace, encoding, and
// the atomic file writes; then the conversion of the outputs to Python.

#include <cstdint>
#include <expected>
#include <optional>
#include <variant>
#include <vector>

#include "bindings.h"
#include "pipeline.h"
#include "run_error.h"

namespace tessalumen::py {

struct EncodedOutput {
    Bytes bytes;
};
struct WrittenOutput {};
struct MaskRasterOutput {
    Bytes data;
    std::uint64_t height;
    std::uint64_t width;
};
using NativeOutput = std::variant<OutputRaster, MaskRasterOutput, EncodedOutput, WrittenOutput>;

// Runs with the interpreter lock held when the call borrows an array and
// released otherwise; touches no Python object in the latter case.
[[nodiscard]] std::expected<std::vector<std::vector<NativeOutput>>, PipelineRunError> execute(
    PipelineState& pipeline, PreparedCall& call, std::optional<std::uint64_t> key);

// With the interpreter lock held: a tuple per target of the outputs' values.
[[nodiscard]] PyResult<PyRef> outputs_to_python(std::vector<std::vector<NativeOutput>> outputs);

}  // namespace tessalumen::py
