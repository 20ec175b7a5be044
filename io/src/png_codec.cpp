#include "png_codec.h"

#include "png_unfilter.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace tessalumen::io::png {
namespace {

constexpr std::string_view MSG_ANIMATED = "animated PNG is not supported";
constexpr std::string_view MSG_DIMENSIONS_OVERFLOW = "PNG dimensions overflow";
constexpr std::string_view MSG_PALETTE_NOT_EXPANDED = "PNG decoder did not expand the color palette";
constexpr std::string_view MSG_PACKED_NOT_EXPANDED = "PNG decoder did not expand packed samples";
constexpr std::string_view MSG_UNSUPPORTED_DEPTH = "PNG decoder returned an unsupported bit depth";
constexpr std::string_view MSG_ROW_SIZE_OVERFLOW = "PNG row size overflow";
constexpr std::string_view MSG_BUFFER_SIZE_OVERFLOW = "PNG buffer size overflow";
constexpr std::string_view MSG_INVALID_LENGTH = "decoded PNG buffer has an invalid length";
constexpr std::string_view MSG_ALLOCATION_FAILED = "image allocation failed";
constexpr std::string_view MSG_CMYK = "PNG does not support CMYK pixels";
constexpr std::string_view MSG_COMPRESSION_RANGE = "PNG compression must be between 0 and 9";
constexpr std::string_view MSG_WIDTH_U32 = "PNG width exceeds u32";
constexpr std::string_view MSG_HEIGHT_U32 = "PNG height exceeds u32";
constexpr std::string_view MSG_SHAPE_MISMATCH = "pixel buffer length does not match image shape";

constexpr std::uint8_t SIGNATURE[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::size_t SIGNATURE_SIZE = sizeof SIGNATURE;

// Budget for ancillary chunk data the reader keeps (text, profiles, each
// chunk and all of them together): none of it is used here, so a file cannot
// make the reader hold more. Image data is streamed and not counted.
constexpr std::size_t READER_CHUNK_LIMIT = std::size_t{64} << 20;
// Budget for the reader's row buffers: a file whose single decoded row (in
// the format asked for) is larger is refused once the chunks before the
// image data have been read, before anything is allocated for it.
constexpr std::uint64_t READER_ROW_BUDGET = std::uint64_t{64} << 20;
constexpr std::string_view MSG_ROW_BUDGET = "PNG row exceeds the reader's 64 MiB row buffer budget";
// Largest chunk the PNG standard allows.
constexpr std::size_t MAX_CHUNK_LENGTH = 0x7FFFFFFF;

// Hash-chain probe limit of each compression level 0 to 9.
constexpr int PROBE_LIMITS[10] = {0, 1, 6, 32, 16, 32, 128, 256, 512, 768};
// zlib's own good, lazy and nice lengths per level, kept as they are; only
// the probe limit differs from zlib's table. Levels 1 to 3 run zlib's greedy
// matcher, 4 to 9 its lazy one, and level 0 stored blocks.
struct MatchTuning {
    int good_length, max_lazy, nice_length;
};
constexpr MatchTuning ZLIB_TUNING[10] = {
    {0, 0, 0},     {4, 4, 8},      {4, 5, 16},     {4, 6, 32},     {4, 4, 16},
    {8, 16, 32},   {8, 16, 128},   {8, 32, 128},   {32, 128, 258}, {32, 258, 258},
};
constexpr int WINDOW_BITS = 15;  // a 32 KiB window with the zlib wrapper
constexpr int MEMORY_LEVEL = 8;

struct ContextFree {
    void operator()(spng_ctx* ctx) const noexcept { spng_ctx_free(ctx); }
};
using Reader = std::unique_ptr<spng_ctx, ContextFree>;

[[nodiscard]] std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// The PNG Paeth predictor of a (left), b (above) and c (above left), with
// the standard's tie order a, b, c.
[[nodiscard]] inline std::uint8_t paeth_predictor(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int ab = (pb < pa) ? b : a;
    const int pab = (pb < pa) ? pb : pa;
    return static_cast<std::uint8_t>(pc < pab ? c : ab);
}

struct ChunkScan {
    bool animated = false;    // an acTL chunk precedes the image data
    bool idat_crc_ok = true;  // every image data chunk carries its CRC
    std::vector<std::span<const std::uint8_t>> image_data;  // the IDAT run, in order
};

// Walks the chunk list: notes an acTL chunk before the first IDAT, and checks
// the CRC of every IDAT in the image data run, which the reader does not
// always reach before it has all the pixels. An acTL whose CRC is wrong is
// discarded, as the reader discards every ancillary chunk that fails its
// CRC. The reader has already walked the chunks before the image data, but
// every step is bounded by the input anyway.
[[nodiscard]] ChunkScan scan_chunks(std::span<const std::uint8_t> data) {
    ChunkScan scan;
    std::size_t pos = SIGNATURE_SIZE;
    bool in_image_data = false;
    while (data.size() - pos >= 12) {
        const std::size_t length = load_be32(data.data() + pos);
        const std::uint8_t* type = data.data() + pos + 4;
        const bool idat = std::memcmp(type, "IDAT", 4) == 0;
        const bool actl = std::memcmp(type, "acTL", 4) == 0;
        if (!idat && in_image_data) break;
        // The reader reports truncation, and lengths the standard forbids.
        if (length > data.size() - pos - 12 || length > MAX_CHUNK_LENGTH) break;
        const auto crc_ok = [&] {
            return crc32_z(crc32_z(0L, Z_NULL, 0), type, length + 4) == load_be32(type + 4 + length);
        };
        if (actl && crc_ok()) scan.animated = true;
        if (idat) {
            in_image_data = true;
            if (!crc_ok()) {
                scan.idat_crc_ok = false;
                break;
            }
            scan.image_data.emplace_back(type + 4, length);
        }
        pos += length + 12;
    }
    return scan;
}

template <class Buffer>
[[nodiscard]] CodecStatus allocate(Buffer& buffer, std::size_t count) {
    try {
        buffer.resize(count);
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    return {};
}

// The decoded layout and the reader format that produces it with expansion:
// palettes become RGB (RGBA with tRNS), low-bit gray becomes scaled 8-bit
// gray, tRNS becomes alpha, 16-bit samples stay 16-bit (native order).
struct ExpandedFormat {
    int reader_format;
    int reader_flags;
    ColorType color_type;
    unsigned bit_depth;
};

[[nodiscard]] ExpandedFormat expanded_format(const spng_ihdr& ihdr, bool has_trns) {
    const int trns_flags = has_trns ? SPNG_DECODE_TRNS : 0;
    switch (static_cast<ColorType>(ihdr.color_type)) {
        case ColorType::Indexed:
            return has_trns ? ExpandedFormat{SPNG_FMT_RGBA8, trns_flags, ColorType::TruecolorAlpha, 8}
                            : ExpandedFormat{SPNG_FMT_RGB8, 0, ColorType::Truecolor, 8};
        case ColorType::Grayscale:
            if (ihdr.bit_depth == 16) {
                return has_trns ? ExpandedFormat{SPNG_FMT_GA16, trns_flags, ColorType::GrayscaleAlpha, 16}
                                : ExpandedFormat{SPNG_FMT_PNG, 0, ColorType::Grayscale, 16};
            }
            if (has_trns) return {SPNG_FMT_GA8, trns_flags, ColorType::GrayscaleAlpha, 8};
            return {ihdr.bit_depth == 8 ? SPNG_FMT_PNG : SPNG_FMT_G8, 0, ColorType::Grayscale, 8};
        case ColorType::Truecolor:
            if (!has_trns) return {SPNG_FMT_PNG, 0, ColorType::Truecolor, ihdr.bit_depth};
            return {ihdr.bit_depth == 16 ? SPNG_FMT_RGBA16 : SPNG_FMT_RGBA8, trns_flags,
                    ColorType::TruecolorAlpha, ihdr.bit_depth};
        case ColorType::GrayscaleAlpha:
        case ColorType::TruecolorAlpha:
            break;
    }
    return {SPNG_FMT_PNG, 0, static_cast<ColorType>(ihdr.color_type), ihdr.bit_depth};
}

// The format the file already has, for decoding without expansion.
[[nodiscard]] ExpandedFormat native_format(const spng_ihdr& ihdr) {
    return {SPNG_FMT_PNG, 0, static_cast<ColorType>(ihdr.color_type), ihdr.bit_depth};
}

[[nodiscard]] std::size_t samples_per_pixel(ColorType type) {
    switch (type) {
        case ColorType::Grayscale: return 1;
        case ColorType::Indexed: return 1;
        case ColorType::GrayscaleAlpha: return 2;
        case ColorType::Truecolor: return 3;
        case ColorType::TruecolorAlpha: return 4;
    }
    return 1;
}

// ---- direct reading of the image data ------------------------------------------
//
// Non-interlaced files asked for in their own sample format (no expansion)
// are read here: inflate the IDAT run row by row straight into the output
// buffer and reverse the row filters in place. Anything unexpected (a zlib
// error, a bad filter type, missing or surplus data, a stream without its
// end) makes this give up, and the reader then decodes the whole frame and
// reports its own error; so this path only ever returns what the reader
// would, faster.

// Inflated bytes gathered before unfiltering: large enough for zlib's fast
// loop, small enough to stay in cache.
constexpr std::size_t INFLATE_BLOCK_BYTES = std::size_t{64} << 10;

struct InflateEnd {
    void operator()(z_stream* stream) const noexcept { inflateEnd(stream); }
};

}  // namespace

bool read_image_data(const std::vector<std::span<const std::uint8_t>>& image_data,
                                   std::size_t row_bytes, std::size_t height, std::size_t bpp,
                                   std::uint8_t* out) {
    if (image_data.empty() || row_bytes == 0) return false;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    const std::unique_ptr<z_stream, InflateEnd> guard(&stream);
    std::size_t next_chunk = 0;
    bool ended = false;
    // Fills exactly `count` bytes; a stream that ends earlier fails.
    auto fill = [&](std::uint8_t* dst, std::size_t count) -> bool {
        while (count > 0) {
            if (ended) return false;
            if (stream.avail_in == 0) {
                if (next_chunk == image_data.size()) return false;
                const auto chunk = image_data[next_chunk++];
                stream.next_in = const_cast<Bytef*>(chunk.data());
                stream.avail_in = static_cast<uInt>(chunk.size());  // chunks are below 2^31
                continue;
            }
            const std::size_t room = std::min<std::size_t>(count, std::size_t{1} << 30);
            stream.next_out = dst;
            stream.avail_out = static_cast<uInt>(room);
            const int status = inflate(&stream, Z_NO_FLUSH);
            const std::size_t produced = room - stream.avail_out;
            dst += produced;
            count -= produced;
            if (status == Z_STREAM_END) {
                ended = true;
            } else if (status != Z_OK && status != Z_BUF_ERROR) {
                return false;
            }
        }
        return true;
    };
    // Rows are inflated a block at a time into a cache-sized buffer, so that
    // zlib works with large output windows, then unfiltered into place.
    const std::size_t line = row_bytes + 1;
    const std::size_t block_rows = std::clamp<std::size_t>(INFLATE_BLOCK_BYTES / line, 1, height);
    std::vector<std::uint8_t> zeros, block;
    try {
        zeros.assign(row_bytes, 0);
        block.resize(block_rows * line);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::size_t y = 0; y < height; y += block_rows) {
        const std::size_t rows = std::min(block_rows, height - y);
        if (!fill(block.data(), rows * line)) return false;
        for (std::size_t k = 0; k < rows; ++k) {
            const std::uint8_t filter = block[k * line];
            if (filter > static_cast<std::uint8_t>(Filter::Paeth)) return false;
            std::uint8_t* row = out + (y + k) * row_bytes;
            std::memcpy(row, block.data() + k * line + 1, row_bytes);
            unfilter_row(filter, row, y + k == 0 ? zeros.data() : row - row_bytes, row_bytes, bpp);
        }
    }
    // The stream must end here (checksum verified), with nothing after it.
    std::uint8_t surplus = 0;
    while (!ended) {
        if (stream.avail_in == 0) {
            if (next_chunk == image_data.size()) return false;
            const auto chunk = image_data[next_chunk++];
            stream.next_in = const_cast<Bytef*>(chunk.data());
            stream.avail_in = static_cast<uInt>(chunk.size());
            continue;
        }
        stream.next_out = &surplus;
        stream.avail_out = 1;
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (stream.avail_out == 0) return false;  // more data than rows
        if (status == Z_STREAM_END) {
            ended = true;
        } else if (status != Z_OK) {
            return false;
        }
    }
    if (stream.avail_in != 0) return false;
    for (; next_chunk < image_data.size(); ++next_chunk) {
        if (!image_data[next_chunk].empty()) return false;
    }
    return true;
}

namespace {

// Decodes the frame into `out` (`size` bytes) in the reader format `format`
// with `flags`; returns the reader's status (0 on success).
struct FrameSource {
    spng_ctx* ctx;
    const spng_ihdr& ihdr;
    const ChunkScan& scan;
    ReadPath path;

    [[nodiscard]] int decode(void* out, std::size_t size, int format, int flags) const {
        // Checked as the image data is read, as the reader checks the others.
        if (!scan.idat_crc_ok) return SPNG_ECHUNK_CRC;
        if (path == ReadPath::Direct && format == SPNG_FMT_PNG && flags == 0 && ihdr.interlace_method == 0) {
            const std::size_t bits = samples_per_pixel(static_cast<ColorType>(ihdr.color_type)) * ihdr.bit_depth;
            const std::size_t bpp = std::max<std::size_t>(1, bits / 8);
            // The caller sized `out` from the reader's own row size.
            const std::size_t row_bytes = (std::size_t{ihdr.width} * bits + 7) / 8;
            if (row_bytes * ihdr.height == size &&
                read_image_data(scan.image_data, row_bytes, ihdr.height, bpp, static_cast<std::uint8_t*>(out))) {
                if (ihdr.bit_depth == 16) {
                    // Big-endian in the file, native order out, as the reader gives.
                    auto* samples = static_cast<std::uint8_t*>(out);
                    for (std::size_t i = 0; i + 1 < size; i += 2) std::swap(samples[i], samples[i + 1]);
                }
                return 0;
            }
        }
        return spng_decode_image(ctx, out, size, format, flags);
    }
};

CodecResult<DecodedImage> decode_raw(const FrameSource& source, bool transparency,
                                     const DecodeOptions& options) {
    spng_ctx* ctx = source.ctx;
    const spng_ihdr& ihdr = source.ihdr;
    if (auto ok = validate_dimensions(ihdr.width, ihdr.height, 1, 1, options.max_pixels); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    std::size_t size = 0;
    if (const int status = spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size); status != 0) {
        if (status == SPNG_EOVERFLOW) return fail_codec(CodecErrorKind::Decode, MSG_DIMENSIONS_OVERFLOW);
        return std::unexpected(map_decode_error(status));
    }
    if (size > MAX_DECODED_BYTES) return std::unexpected(output_too_large());
    U8Samples packed;
    if (auto ok = allocate(packed, size); !ok) return std::unexpected(std::move(ok.error()));
    if (const int status = source.decode(packed.data(), size, SPNG_FMT_PNG, 0); status != 0) {
        return std::unexpected(map_decode_error(status));
    }
    DecodedImage image{{}, ihdr.height, ihdr.width, transparency, PixelLayout::Gray};
    if (ihdr.bit_depth == 8) {
        // Already one byte per pixel: unpacking would only copy.
        if (packed.size() != image.width * image.height) {
            return fail_codec(CodecErrorKind::Decode, MSG_INVALID_LENGTH);
        }
        image.samples = std::move(packed);
        return image;
    }
    auto unpacked = unpack_samples(packed, image.width, image.height, ihdr.bit_depth);
    if (!unpacked) return std::unexpected(std::move(unpacked.error()));
    image.samples = std::move(*unpacked);
    return image;
}

CodecResult<DecodedImage> decode_expanded(const FrameSource& source, bool has_trns, bool transparency,
                                          const DecodeOptions& options) {
    spng_ctx* ctx = source.ctx;
    const spng_ihdr& ihdr = source.ihdr;
    const ExpandedFormat format =
        options.mode == DecodeMode::Unchanged ? native_format(ihdr) : expanded_format(ihdr, has_trns);
    PixelLayout layout = PixelLayout::Gray;
    switch (format.color_type) {
        case ColorType::Indexed: return fail_codec(CodecErrorKind::Decode, MSG_PALETTE_NOT_EXPANDED);
        case ColorType::Grayscale: layout = PixelLayout::Gray; break;
        case ColorType::GrayscaleAlpha: layout = PixelLayout::GrayAlpha; break;
        case ColorType::Truecolor: layout = PixelLayout::Rgb; break;
        case ColorType::TruecolorAlpha: layout = PixelLayout::Rgba; break;
    }
    if (format.bit_depth != 8 && format.bit_depth != 16) {
        return fail_codec(CodecErrorKind::Decode, MSG_PACKED_NOT_EXPANDED);
    }
    const std::size_t sample_bytes = format.bit_depth / 8;
    const std::size_t channels = channels_of(layout);
    if (auto ok = validate_dimensions(ihdr.width, ihdr.height, channels, sample_bytes, options.max_pixels);
        !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    std::size_t row_bytes = 0, size = 0;
    if (__builtin_mul_overflow(std::size_t{ihdr.width}, channels * sample_bytes, &row_bytes) ||
        __builtin_mul_overflow(row_bytes, std::size_t{ihdr.height}, &size)) {
        return fail_codec(CodecErrorKind::Decode, MSG_DIMENSIONS_OVERFLOW);
    }
    if (size > MAX_DECODED_BYTES) return std::unexpected(output_too_large());
    std::size_t reader_size = 0;
    if (const int status = spng_decoded_image_size(ctx, format.reader_format, &reader_size); status != 0) {
        if (status == SPNG_EOVERFLOW) return fail_codec(CodecErrorKind::Decode, MSG_DIMENSIONS_OVERFLOW);
        return std::unexpected(map_decode_error(status));
    }
    if (reader_size != size) return fail_codec(CodecErrorKind::Decode, MSG_INVALID_LENGTH);

    DecodedImage image{{}, ihdr.height, ihdr.width, transparency, layout};
    // 16-bit samples are delivered in native order straight into the final
    // buffer, which holds the same values as reassembling big-endian pairs.
    auto fill = [&](auto& buffer) -> CodecStatus {
        if (auto ok = allocate(buffer, size / sample_bytes); !ok) return ok;
        const int status = source.decode(buffer.data(), size, format.reader_format, format.reader_flags);
        if (status != 0) return std::unexpected(map_decode_error(status));
        return {};
    };
    if (sample_bytes == 1) {
        U8Samples buffer;
        if (auto ok = fill(buffer); !ok) return std::unexpected(std::move(ok.error()));
        image.samples = std::move(buffer);
    } else {
        U16Samples buffer;
        if (auto ok = fill(buffer); !ok) return std::unexpected(std::move(ok.error()));
        image.samples = std::move(buffer);
    }
    return DecodedImage::convert(std::move(image), options.mode);
}

// ---- encoding ----------------------------------------------------------------

// A byte read as a signed value, in absolute terms.
[[nodiscard]] inline std::uint32_t signed_magnitude(std::uint8_t b) {
    return b < 128 ? b : 256u - b;
}


// Each filter writes its row and returns the row's score. The loops are
// branch-free so the compiler vectorizes them.
std::uint64_t filter_up(const std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
                        std::uint8_t* out) {
    std::uint64_t score = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(row[i] - prior[i]);
        score += signed_magnitude(out[i]);
    }
    return score;
}

std::uint64_t filter_sub(const std::uint8_t* row, std::size_t n, std::size_t bpp,
                         std::uint8_t* out) {
    std::uint64_t score = 0;
    const std::size_t head = std::min(bpp, n);
    for (std::size_t i = 0; i < head; ++i) {
        out[i] = row[i];
        score += signed_magnitude(out[i]);
    }
    for (std::size_t i = head; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(row[i] - row[i - bpp]);
        score += signed_magnitude(out[i]);
    }
    return score;
}

std::uint64_t filter_average(const std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
                             std::size_t bpp, std::uint8_t* out) {
    std::uint64_t score = 0;
    const std::size_t head = std::min(bpp, n);
    for (std::size_t i = 0; i < head; ++i) {
        out[i] = static_cast<std::uint8_t>(row[i] - (prior[i] >> 1));
        score += signed_magnitude(out[i]);
    }
    for (std::size_t i = head; i < n; ++i) {
        const unsigned mean = (unsigned{row[i - bpp]} + prior[i]) >> 1;
        out[i] = static_cast<std::uint8_t>(row[i] - mean);
        score += signed_magnitude(out[i]);
    }
    return score;
}

std::uint64_t filter_paeth(const std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
                           std::size_t bpp, std::uint8_t* out) {
    std::uint64_t score = 0;
    const std::size_t head = std::min(bpp, n);
    // With a and c zero the predictor is b.
    for (std::size_t i = 0; i < head; ++i) {
        out[i] = static_cast<std::uint8_t>(row[i] - prior[i]);
        score += signed_magnitude(out[i]);
    }
    for (std::size_t i = head; i < n; ++i) {
        const std::uint8_t predicted = paeth_predictor(row[i - bpp], prior[i], prior[i - bpp]);
        out[i] = static_cast<std::uint8_t>(row[i] - predicted);
        score += signed_magnitude(out[i]);
    }
    return score;
}

void append_chunk_header(std::vector<std::uint8_t>& file, std::uint32_t length, const char* type) {
    std::uint8_t header[8];
    store_be32(header, length);
    std::memcpy(header + 4, type, 4);
    file.insert(file.end(), header, header + 8);
}

// CRC-32 of the chunk type and data that start at `start` and end at the
// current end of the file, appended.
void append_chunk_crc(std::vector<std::uint8_t>& file, std::size_t start) {
    uLong crc = crc32_z(0L, Z_NULL, 0);
    crc = crc32_z(crc, file.data() + start, file.size() - start);
    std::uint8_t tail[4];
    store_be32(tail, static_cast<std::uint32_t>(crc));
    file.insert(file.end(), tail, tail + 4);
}

void append_chunk(std::vector<std::uint8_t>& file, const char* type,
                  std::span<const std::uint8_t> data) {
    append_chunk_header(file, static_cast<std::uint32_t>(data.size()), type);
    const std::size_t start = file.size() - 4;
    file.insert(file.end(), data.begin(), data.end());
    append_chunk_crc(file, start);
}

struct DeflateEnd {
    void operator()(z_stream* stream) const noexcept { deflateEnd(stream); }
};

// Filters every row and compresses the filtered rows into `out` after its
// current end, growing it as needed.
CodecStatus compress_rows(std::span<const std::uint8_t> samples, std::size_t row_bytes,
                          std::size_t height, std::size_t bpp, int level,
                          std::vector<std::uint8_t>& out) {
    z_stream stream{};
    if (const int status = deflateInit2(&stream, level, Z_DEFLATED, WINDOW_BITS, MEMORY_LEVEL,
                                        Z_DEFAULT_STRATEGY);
        status != Z_OK) {
        return std::unexpected(map_encode_error(status));
    }
    const std::unique_ptr<z_stream, DeflateEnd> guard(&stream);
    if (level > 0) {
        const MatchTuning& t = ZLIB_TUNING[level];
        if (const int status =
                deflateTune(&stream, t.good_length, t.max_lazy, t.nice_length, PROBE_LIMITS[level]);
            status != Z_OK) {
            return std::unexpected(map_encode_error(status));
        }
    }

    std::vector<std::uint8_t> line, scratch, zeros;
    const std::size_t start = out.size();
    try {
        line.resize(row_bytes + 1);
        scratch.resize(row_bytes);
        zeros.resize(row_bytes);
        // A first guess at the compressed size; the buffer grows when it fills.
        out.resize(start + std::max<std::size_t>(row_bytes * height / 4, 1024));
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    std::size_t written = start;

    auto pump = [&](int flush) -> CodecStatus {
        for (;;) {
            if (written == out.size()) {
                try {
                    out.resize(out.size() + std::max<std::size_t>(out.size() - start, 1024));
                } catch (const std::bad_alloc&) {
                    return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
                }
            }
            // zlib counts in 32-bit units; feed it at most 1 GiB of room at once.
            const std::size_t room = std::min<std::size_t>(out.size() - written, std::size_t{1} << 30);
            stream.next_out = out.data() + written;
            stream.avail_out = static_cast<uInt>(room);
            const int status = deflate(&stream, flush);
            written += room - stream.avail_out;
            if (status == Z_STREAM_END) return {};
            if (status != Z_OK && status != Z_BUF_ERROR) return std::unexpected(map_encode_error(status));
            if (flush == Z_NO_FLUSH && stream.avail_in == 0) return {};
        }
    };

    for (std::size_t y = 0; y < height; ++y) {
        const std::span<const std::uint8_t> row = samples.subspan(y * row_bytes, row_bytes);
        const std::span<const std::uint8_t> prior =
            y == 0 ? std::span<const std::uint8_t>(zeros) : samples.subspan((y - 1) * row_bytes, row_bytes);
        const Filter chosen =
            filter_row(row, prior, bpp, scratch, std::span<std::uint8_t>(line).subspan(1));
        line[0] = static_cast<std::uint8_t>(chosen);
        stream.next_in = line.data();
        stream.avail_in = static_cast<uInt>(line.size());
        if (row_bytes + 1 > (std::size_t{1} << 31)) {
            // A row longer than zlib's input counter: feed it in pieces.
            std::size_t offset = 0;
            while (offset < line.size()) {
                const std::size_t piece = std::min<std::size_t>(line.size() - offset, std::size_t{1} << 30);
                stream.next_in = line.data() + offset;
                stream.avail_in = static_cast<uInt>(piece);
                if (auto ok = pump(Z_NO_FLUSH); !ok) return ok;
                offset += piece;
            }
            continue;
        }
        if (auto ok = pump(Z_NO_FLUSH); !ok) return ok;
    }
    stream.next_in = nullptr;
    stream.avail_in = 0;
    if (auto ok = pump(Z_FINISH); !ok) return ok;
    out.resize(written);
    return {};
}

}  // namespace

CodecError map_decode_error(int reader_status) {
    return CodecError{CodecErrorKind::Decode, std::string(spng_strerror(reader_status))};
}

CodecError map_encode_error(int zlib_status) {
    std::string text;
    switch (zlib_status) {
        case Z_MEM_ERROR: text = "deflate: insufficient memory"; break;
        case Z_STREAM_ERROR: text = "deflate: invalid compressor state or parameter"; break;
        case Z_VERSION_ERROR: text = "deflate: incompatible zlib version"; break;
        case Z_BUF_ERROR: text = "deflate: no progress possible"; break;
        case Z_DATA_ERROR: text = "deflate: invalid data"; break;
        default: text = "deflate: error " + std::to_string(zlib_status); break;
    }
    return CodecError{CodecErrorKind::Encode, std::move(text)};
}

CodecResult<DecodedImage> decode(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    return decode(data, options, ReadPath::Direct);
}

CodecResult<DecodedImage> decode(std::span<const std::uint8_t> data, const DecodeOptions& options,
                                 ReadPath path) {
    const Reader reader(spng_ctx_new(0));
    if (!reader) return std::unexpected(map_decode_error(SPNG_EMEM));
    spng_ctx* ctx = reader.get();
    if (const int status = spng_set_chunk_limits(ctx, READER_CHUNK_LIMIT, READER_CHUNK_LIMIT);
        status != 0) {
        return std::unexpected(map_decode_error(status));
    }
    if (const int status = spng_set_png_buffer(ctx, data.data(), data.size()); status != 0) {
        return std::unexpected(map_decode_error(status));
    }
    spng_ihdr ihdr{};
    if (const int status = spng_get_ihdr(ctx, &ihdr); status != 0) {
        return std::unexpected(map_decode_error(status));
    }
    // Reading the transparency chunk reads every chunk up to the image data.
    spng_trns trns{};
    const int trns_status = spng_get_trns(ctx, &trns);
    if (trns_status != 0 && trns_status != SPNG_ECHUNKAVAIL) {
        return std::unexpected(map_decode_error(trns_status));
    }
    const bool has_trns = trns_status == 0;
    const auto color_type = static_cast<ColorType>(ihdr.color_type);
    const bool raw = options.mode == DecodeMode::Unchanged &&
                     (color_type == ColorType::Grayscale || color_type == ColorType::Indexed) &&
                     ihdr.bit_depth != 16;
    const ExpandedFormat format = raw || options.mode == DecodeMode::Unchanged
                                      ? native_format(ihdr)
                                      : expanded_format(ihdr, has_trns);
    // Sides are below 2^31 and a pixel has at most 64 bits: no overflow.
    const std::uint64_t row_bits =
        std::uint64_t{ihdr.width} * samples_per_pixel(format.color_type) * format.bit_depth;
    if ((row_bits + 7) / 8 > READER_ROW_BUDGET) return fail_codec(CodecErrorKind::Decode, MSG_ROW_BUDGET);

    const ChunkScan scan = scan_chunks(data);
    if (scan.animated) return fail_codec(CodecErrorKind::Unsupported, MSG_ANIMATED);

    const bool transparency = has_trns || color_type == ColorType::GrayscaleAlpha ||
                              color_type == ColorType::TruecolorAlpha;
    if (raw) return decode_raw(FrameSource{ctx, ihdr, scan, path}, transparency, options);
    return decode_expanded(FrameSource{ctx, ihdr, scan, path}, has_trns, transparency, options);
}

CodecResult<std::vector<std::uint8_t>> unpack_samples(std::span<const std::uint8_t> packed,
                                                      std::size_t width, std::size_t height,
                                                      unsigned bit_depth) {
    if (bit_depth != 1 && bit_depth != 2 && bit_depth != 4 && bit_depth != 8) {
        return fail_codec(CodecErrorKind::Decode, MSG_UNSUPPORTED_DEPTH);
    }
    const std::size_t per_byte = 8 / bit_depth;
    std::size_t padded = 0;
    if (__builtin_add_overflow(width, per_byte - 1, &padded)) {
        return fail_codec(CodecErrorKind::Decode, MSG_ROW_SIZE_OVERFLOW);
    }
    const std::size_t row_bytes = padded / per_byte;
    std::size_t expected = 0;
    if (__builtin_mul_overflow(row_bytes, height, &expected)) {
        return fail_codec(CodecErrorKind::Decode, MSG_BUFFER_SIZE_OVERFLOW);
    }
    if (packed.size() != expected) return fail_codec(CodecErrorKind::Decode, MSG_INVALID_LENGTH);
    std::vector<std::uint8_t> out;
    try {
        if (bit_depth == 8) {
            out.assign(packed.begin(), packed.end());
            return out;
        }
        out.resize(width * height);  // no overflow: at most 8 * packed.size()
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    const unsigned mask = (1u << bit_depth) - 1;
    std::uint8_t* dst = out.data();
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* row = packed.data() + y * row_bytes;
        for (std::size_t x = 0; x < width; ++x) {
            const unsigned shift = 8 - static_cast<unsigned>((x % per_byte) + 1) * bit_depth;
            *dst++ = static_cast<std::uint8_t>((row[x / per_byte] >> shift) & mask);
        }
    }
    return out;
}

Filter filter_row(std::span<const std::uint8_t> row, std::span<const std::uint8_t> prior,
                  std::size_t bytes_per_pixel, std::span<std::uint8_t> scratch,
                  std::span<std::uint8_t> out) {
    const std::size_t n = row.size();
    std::uint8_t* best = out.data();
    std::uint8_t* trial = scratch.data();
    Filter chosen = Filter::Up;
    std::uint64_t best_score = filter_up(row.data(), prior.data(), n, best);
    if (best_score == 0) return chosen;
    // Ties go to the candidate tried later.
    auto consider = [&](Filter filter, std::uint64_t score) {
        if (score <= best_score) {
            std::swap(best, trial);
            best_score = score;
            chosen = filter;
        }
        return score == 0;
    };
    if (!consider(Filter::Sub, filter_sub(row.data(), n, bytes_per_pixel, trial)) &&
        !consider(Filter::Average, filter_average(row.data(), prior.data(), n, bytes_per_pixel, trial))) {
        consider(Filter::Paeth, filter_paeth(row.data(), prior.data(), n, bytes_per_pixel, trial));
    }
    if (best != out.data()) std::memcpy(out.data(), best, n);
    return chosen;
}

CodecResult<std::vector<std::uint8_t>> encode_bytes(std::span<const std::uint8_t> sample_bytes,
                                                    std::size_t width, std::size_t height,
                                                    ColorType color_type, std::uint8_t bit_depth,
                                                    std::uint8_t compression_level) {
    if (compression_level > 9) return fail_codec(CodecErrorKind::InvalidInput, MSG_COMPRESSION_RANGE);
    if (width > 0xFFFFFFFFu) return fail_codec(CodecErrorKind::Encode, MSG_WIDTH_U32);
    if (height > 0xFFFFFFFFu) return fail_codec(CodecErrorKind::Encode, MSG_HEIGHT_U32);
    // The caller validated the view, so these products stay below 2^31.
    const std::size_t bpp = samples_per_pixel(color_type) * (bit_depth / 8);
    const std::size_t row_bytes = width * bpp;
    if (row_bytes * height != sample_bytes.size()) {
        return fail_codec(CodecErrorKind::InvalidInput, MSG_SHAPE_MISMATCH);
    }

    std::vector<std::uint8_t> file;
    try {
        file.reserve(SIGNATURE_SIZE + 25 + 12 + 12);
        file.insert(file.end(), SIGNATURE, SIGNATURE + SIGNATURE_SIZE);
        std::uint8_t ihdr[13];
        store_be32(ihdr, static_cast<std::uint32_t>(width));
        store_be32(ihdr + 4, static_cast<std::uint32_t>(height));
        ihdr[8] = bit_depth;
        ihdr[9] = static_cast<std::uint8_t>(color_type);
        ihdr[10] = 0;  // compression method
        ihdr[11] = 0;  // filter method
        ihdr[12] = 0;  // interlace method
        append_chunk(file, "IHDR", ihdr);
        append_chunk_header(file, 0, "IDAT");  // length patched below
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    const std::size_t idat_length_at = file.size() - 8;
    const std::size_t stream_at = file.size();
    if (auto ok = compress_rows(sample_bytes, row_bytes, height, bpp, compression_level, file); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    const std::size_t stream_size = file.size() - stream_at;
    try {
        if (stream_size <= MAX_CHUNK_LENGTH) {
            store_be32(file.data() + idat_length_at, static_cast<std::uint32_t>(stream_size));
            append_chunk_crc(file, idat_length_at + 4);
        } else {
            // Only a stream longer than one chunk may hold is split.
            std::vector<std::uint8_t> stream(file.begin() + static_cast<std::ptrdiff_t>(stream_at), file.end());
            file.resize(idat_length_at);
            for (std::size_t offset = 0; offset < stream.size(); offset += MAX_CHUNK_LENGTH) {
                const std::size_t piece = std::min(MAX_CHUNK_LENGTH, stream.size() - offset);
                append_chunk(file, "IDAT", std::span<const std::uint8_t>(stream).subspan(offset, piece));
            }
        }
        append_chunk(file, "IEND", {});
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    return file;
}

CodecResult<std::vector<std::uint8_t>> encode_view(const ImageView& view,
                                                   std::uint8_t compression_level) {
    ColorType color_type = ColorType::Grayscale;
    switch (view.layout) {
        case PixelLayout::Gray: color_type = ColorType::Grayscale; break;
        case PixelLayout::GrayAlpha: color_type = ColorType::GrayscaleAlpha; break;
        case PixelLayout::Rgb: color_type = ColorType::Truecolor; break;
        case PixelLayout::Rgba: color_type = ColorType::TruecolorAlpha; break;
        case PixelLayout::Cmyk: return fail_codec(CodecErrorKind::InvalidInput, MSG_CMYK);
    }
    if (const auto* u8 = std::get_if<U8SampleView>(&view.samples)) {
        return encode_bytes(*u8, view.width, view.height, color_type, 8, compression_level);
    }
    const U16SampleView u16 = std::get<U16SampleView>(view.samples);
    std::vector<std::uint8_t> big_endian;
    try {
        big_endian.resize(u16.size() * 2);
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    for (std::size_t i = 0; i < u16.size(); ++i) {
        big_endian[2 * i] = static_cast<std::uint8_t>(u16[i] >> 8);
        big_endian[2 * i + 1] = static_cast<std::uint8_t>(u16[i]);
    }
    return encode_bytes(big_endian, view.width, view.height, color_type, 16, compression_level);
}

}  // namespace tessalumen::io::png
