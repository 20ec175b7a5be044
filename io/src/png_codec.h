#pragma once
// PNG decoding through libspng and PNG writing around zlib.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.h"
#include "model.h"

namespace tessalumen::io::png {

// The IHDR color types the encoder writes and the decoder reports.
enum class ColorType : std::uint8_t {
    Grayscale = 0,
    Truecolor = 2,
    Indexed = 3,
    GrayscaleAlpha = 4,
    TruecolorAlpha = 6,
};

// Row filter types; the encoder chooses among Sub, Up, Average and Paeth.
enum class Filter : std::uint8_t { None = 0, Sub = 1, Up = 2, Average = 3, Paeth = 4 };

[[nodiscard]] CodecResult<DecodedImage> decode(std::span<const std::uint8_t> data,
                                               const DecodeOptions& options);

// How the pixels of a frame are read. `Direct` inflates and unfilters
// non-interlaced files kept in their own sample format without the reader's
// per-row machinery, and hands every other case, and every failure, to the
// reader; `Reader` always uses the reader. Both give the same result.
enum class ReadPath : std::uint8_t { Direct = 0, Reader = 1 };
[[nodiscard]] CodecResult<DecodedImage> decode(std::span<const std::uint8_t> data,
                                               const DecodeOptions& options, ReadPath path);

// Inflates the image data chunks (in order) into `height` rows of
// `row_bytes` bytes at `out`, reversing each row's filter. False unless the
// data is exactly one valid zlib stream of those filtered rows.
[[nodiscard]] bool read_image_data(const std::vector<std::span<const std::uint8_t>>& image_data,
                                   std::size_t row_bytes, std::size_t height, std::size_t bytes_per_pixel,
                                   std::uint8_t* out);

// One byte per pixel from rows packed at 1, 2, 4 or 8 bits per sample, most
// significant bits first, each row padded to a whole byte. Values are kept.
[[nodiscard]] CodecResult<std::vector<std::uint8_t>> unpack_samples(
    std::span<const std::uint8_t> packed, std::size_t width, std::size_t height,
    unsigned bit_depth);

// The complete PNG file for rows of `sample_bytes` (big-endian for depth 16).
[[nodiscard]] CodecResult<std::vector<std::uint8_t>> encode_bytes(
    std::span<const std::uint8_t> sample_bytes, std::size_t width, std::size_t height,
    ColorType color_type, std::uint8_t bit_depth, std::uint8_t compression_level);

// Maps the view's layout and sample width and encodes it; the view is valid.
[[nodiscard]] CodecResult<std::vector<std::uint8_t>> encode_view(const ImageView& view,
                                                                 std::uint8_t compression_level);

// Filters one row with the adaptive choice and writes the filtered bytes to
// `out`; `prior` is the unfiltered row above (zeros for the first row) and
// `scratch` holds a trial row. `out`, `prior` and `scratch` have row.size()
// bytes. Returns the filter chosen.
Filter filter_row(std::span<const std::uint8_t> row, std::span<const std::uint8_t> prior,
                  std::size_t bytes_per_pixel, std::span<std::uint8_t> scratch,
                  std::span<std::uint8_t> out);

// The reader's and writer's own error descriptions.
[[nodiscard]] CodecError map_decode_error(int reader_status);
[[nodiscard]] CodecError map_encode_error(int zlib_status);

}  // namespace tessalumen::io::png
