#pragma once
// Target declarations: for every target of a pipeline, where its input comes
// from, its decoding limits, its role and the outputs it delivers. Parsed once
// at construction; calls acquire inputs and deliver outputs by these routes.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/src/model.h"
#include "io/src/model.h"
#include "py_ref.h"

namespace tessalumen::py {

enum class SourceKind : std::uint8_t { Array = 0, Encoded = 1, Path = 2 };

struct ReturnArray {};
// A CHW array for hand-off to a tensor library.
struct ReturnTensor {};
// Encoded bytes; `parameter` is the JPEG quality or the PNG compression level.
struct EncodeBytes {
    io::ImageFormat format;
    std::uint8_t parameter;
};
// A file written atomically; format and options are resolved against the
// destination at call time.
struct WriteFile {
    std::optional<io::ImageFormat> format;
    std::optional<std::uint8_t> quality;
    std::optional<std::uint8_t> compression;
};
using OutputKind = std::variant<ReturnArray, ReturnTensor, EncodeBytes, WriteFile>;

struct OutputRoute {
    std::optional<std::string> name;
    OutputKind kind;
};

// Invariants: limits are absent or at least 1; an Array source has no
// limits; only an image with an Encoded or Path source has a Gray decode mode.
struct TargetRoute {
    SourceKind source;
    std::optional<std::uint64_t> max_pixels;
    std::optional<std::uint64_t> max_encoded_bytes;
    std::vector<OutputRoute> outputs;  // at least one, in delivery order
    std::optional<std::string> name;
    TargetRole role;
    std::uint8_t fill;  // mask label for uncovered pixels; 0 for images
    io::DecodeMode decode_mode;  // Gray or Rgb

    // What the core needs to know of this target.
    [[nodiscard]] TargetDescriptor descriptor() const;
    [[nodiscard]] ChannelChoice channel_choice() const;
    // An image target whose results leave as encoded bytes or files.
    [[nodiscard]] bool encodes_image() const;
};

// Parses the declarations in list order (the caller has checked that
// `targets` is a non-empty list); the first invalid one raises.
[[nodiscard]] PyResult<std::vector<TargetRoute>> parse_targets(PyObject* targets);

}  // namespace tessalumen::py
