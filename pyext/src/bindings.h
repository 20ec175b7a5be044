#pragma once
// Validation of a call's bindings against the pipeline's target routes, with
// the interpreter lock held: each target's source becomes a borrowed array, a
// call-owned copy or snapshot, or a path; each output becomes a sink.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "core/src/model.h"
#include "io/src/model.h"
#include "path_argument.h"
#include "py_ref.h"
#include "target_route.h"

namespace tessalumen::py {

// The shape of an array source: (H, W) has ndim 2 and 1 channel, (H, W, 1)
// ndim 3 and 1 channel, (H, W, 3) ndim 3 and 3 channels.
struct ArrayShape {
    std::uint64_t ndim;
    std::uint64_t channels;
    std::uint64_t height;
    std::uint64_t width;
};

// A C-contiguous array read in place; the call keeps a reference to it and
// holds the interpreter lock for its whole native part.
struct BorrowedArray {
    PyRef array;
    ArrayShape shape;
};
// A strided array's elements, copied in C order.
struct CopiedArray {
    Bytes data;
    ArrayShape shape;
};
struct EncodedSnapshot {
    Bytes data;
};
struct PathSource {
    PathArgument path;
};
using PreparedSource = std::variant<BorrowedArray, CopiedArray, EncodedSnapshot, PathSource>;

// A write output with its destination and the encoder's parameter resolved.
struct ResolvedWrite {
    PathArgument path;
    io::ImageFormat format;
    std::uint8_t parameter;
};
using PreparedSink = std::variant<ReturnArray, ReturnTensor, EncodeBytes, ResolvedWrite>;

struct PreparedTarget {
    std::string label;
    PreparedSource source;
    std::vector<PreparedSink> sinks;  // in output order
};

struct PreparedCall {
    std::vector<PreparedTarget> targets;  // in target order
    bool requires_interpreter_lock;       // some target borrows an array
};

[[nodiscard]] PyResult<PreparedCall> preflight(const std::vector<TargetRoute>& routes, PyObject* bindings);

}  // namespace tessalumen::py
