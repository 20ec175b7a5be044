#include "jpeg.h"

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace tessalumen::io::jpeg {
namespace {

constexpr std::string_view MSG_LIBRARY_PREFIX = "TurboJPEG error: ";
constexpr std::string_view MSG_DECODER_IN_USE = "JPEG decoder is already in use";
constexpr std::string_view MSG_DIMENSIONS_OVERFLOW = "JPEG dimensions overflow";
constexpr std::string_view MSG_QUALITY_RANGE = "JPEG quality must be between 1 and 100";
constexpr std::string_view MSG_REQUIRES_U8 = "JPEG encoding requires uint8 pixels";
constexpr std::string_view MSG_NO_ALPHA = "JPEG does not support alpha channels";
constexpr std::string_view MSG_NO_CMYK_ENCODING = "CMYK JPEG encoding is not supported";
constexpr std::string_view MSG_ENCODER_IN_USE = "JPEG encoder is already in use";
constexpr std::string_view MSG_ENCODER_INIT = "JPEG encoder initialization failed";
constexpr std::string_view MSG_ALLOCATION_FAILED = "image allocation failed";
// Library-level texts (each reported after the "TurboJPEG error: " prefix).
// The header reader names itself in its own refusals.
constexpr const char* TEXT_UNKNOWN_COLORSPACE =
    "tj3DecompressHeader(): Could not determine colorspace of JPEG image";
constexpr const char* TEXT_SCAN_LIMIT_FORMAT = "Progressive JPEG image has more than %d scans";
constexpr const char* TEXT_OUTPUT_TOO_SMALL_FORMAT = "output image is too small for image of size %ux%u";

// The library reports failures by jumping out of its own frames: every
// function below that sets a jump point keeps only trivially destructible
// locals between the jump point and the library calls.
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
    // A warning (corrupt data, a premature end of the file) was raised during
    // the current call. The call still runs to its end and then fails.
    bool warned;
};

[[noreturn]] void fail_with_library_message(j_common_ptr info) {
    auto* err = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, err->text);
    std::longjmp(err->jump, 1);
}

// A warning lets the library go on and marks the call as failed; the text
// kept is that of the first warning since the header was read, unless a
// fatal error replaces it later. Trace messages are ignored and nothing is
// ever printed.
void on_message(j_common_ptr info, int level) {
    if (level >= 0) return;
    auto* err = reinterpret_cast<ErrorManager*>(info->err);
    if (err->base.num_warnings == 0) (*info->err->format_message)(info, err->text);
    ++err->base.num_warnings;
    err->warned = true;
}
void on_output(j_common_ptr) {}

void install_error_manager(ErrorManager& err) {
    jpeg_std_error(&err.base);
    err.base.error_exit = fail_with_library_message;
    err.base.emit_message = on_message;
    err.base.output_message = on_output;
    err.text[0] = '\0';
    err.warned = false;
}

struct Decompressor {
    jpeg_decompress_struct info{};
    ErrorManager err{};
    jpeg_progress_mgr progress{};
    int scan_limit = SCAN_LIMIT;
    // Scaling factor: always 1/1, no scaling is ever requested.
    unsigned scale_num = 1, scale_denom = 1;

    ~Decompressor() { jpeg_destroy_decompress(&info); }
};

struct Compressor {
    jpeg_compress_struct info{};
    ErrorManager err{};

    ~Compressor() { jpeg_destroy_compress(&info); }
};

void check_scan_limit(j_common_ptr common) {
    auto* info = reinterpret_cast<j_decompress_ptr>(common);
    auto* owner = static_cast<Decompressor*>(info->client_data);
    if (info->input_scan_number > owner->scan_limit) {
        std::snprintf(owner->err.text, sizeof owner->err.text, TEXT_SCAN_LIMIT_FORMAT,
                      owner->scan_limit);
        std::longjmp(owner->err.jump, 1);
    }
}

// One per thread, never shared: the handle (absent until first use) and the
// in-use mark that turns reentrant use into an orderly error.
struct DecoderCell {
    std::unique_ptr<Decompressor> handle;
    bool in_use = false;
};
struct EncoderCell {
    std::unique_ptr<Compressor> handle;
    bool in_use = false;
};
thread_local DecoderCell DECODER;
thread_local EncoderCell ENCODER;

// Clears the in-use mark on every way out of a call.
template <class Cell>
class CellUse {
public:
    explicit CellUse(Cell& cell) noexcept : cell_(cell) { cell_.in_use = true; }
    ~CellUse() { cell_.in_use = false; }
    CellUse(const CellUse&) = delete;
    CellUse& operator=(const CellUse&) = delete;

private:
    Cell& cell_;
};

// Creates the library object inside an allocated handle; false with the
// library's text in `err.text` when the library fails.
bool create_decompress(Decompressor& d) {
    install_error_manager(d.err);
    d.info.err = &d.err.base;
    d.info.client_data = &d;  // kept by the library across creation
    if (setjmp(d.err.jump)) return false;
    jpeg_create_decompress(&d.info);
    d.progress.progress_monitor = check_scan_limit;
    d.info.progress = &d.progress;
    return true;
}

bool create_compress(Compressor& c) {
    install_error_manager(c.err);
    c.info.err = &c.err.base;
    if (setjmp(c.err.jump)) return false;
    jpeg_create_compress(&c.info);
    return true;
}

struct HeaderInfo {
    JDIMENSION width, height;
    J_COLOR_SPACE colorspace;
};

// Reads the header over the whole input, and the embedded color profile if
// there is one, whose malformed markers are a warning. False on a fatal
// error; warnings are left in `d.err.warned` for the caller, which reports
// them after its own checks of the header.
bool read_header(Decompressor& d, const std::uint8_t* data, std::size_t size, HeaderInfo& out) {
    d.err.warned = false;
    if (setjmp(d.err.jump)) {
        jpeg_abort_decompress(&d.info);
        return false;
    }
    jpeg_abort_decompress(&d.info);
    d.info.mem->max_memory_to_use = 0;  // no limit, whatever the environment says
    jpeg_mem_src(&d.info, data, static_cast<unsigned long>(size));
    jpeg_save_markers(&d.info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&d.info, TRUE);
    JOCTET* profile = nullptr;
    unsigned profile_size = 0;
    if (jpeg_read_icc_profile(&d.info, &profile, &profile_size)) std::free(profile);
    out = {d.info.image_width, d.info.image_height, d.info.jpeg_color_space};
    return true;
}

// Decompresses the image whose header was read into `pixels`, rows of
// `pitch` bytes, in `color_space`; the handle is left idle either way.
bool decompress(Decompressor& d, J_COLOR_SPACE color_space, std::uint8_t* pixels,
                std::size_t pitch, std::size_t buffer_size) {
    if (setjmp(d.err.jump)) {
        jpeg_abort_decompress(&d.info);
        return false;
    }
    d.info.out_color_space = color_space;
    d.info.scale_num = d.scale_num;
    d.info.scale_denom = d.scale_denom;
    d.info.dct_method = JDCT_ISLOW;
    d.info.do_fancy_upsampling = TRUE;
    d.info.buffered_image = FALSE;
    jpeg_start_decompress(&d.info);
    if (std::size_t{d.info.output_height} * pitch > buffer_size ||
        std::size_t{d.info.output_width} * static_cast<std::size_t>(d.info.output_components) > pitch) {
        std::snprintf(d.err.text, sizeof d.err.text, TEXT_OUTPUT_TOO_SMALL_FORMAT,
                      d.info.output_width, d.info.output_height);
        jpeg_abort_decompress(&d.info);
        return false;
    }
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW rows[1] = {pixels + std::size_t{d.info.output_scanline} * pitch};
        jpeg_read_scanlines(&d.info, rows, 1);
    }
    jpeg_finish_decompress(&d.info);
    return !d.err.warned;
}

// Compresses `height` rows of `pitch` bytes; on success the library-allocated
// output is in `*out`/`*out_size` (the caller frees it with free()).
bool compress(Compressor& c, const std::uint8_t* pixels, JDIMENSION width, JDIMENSION height,
              std::size_t pitch, int components, J_COLOR_SPACE color_space, int quality,
              unsigned char** out, unsigned long* out_size) {
    c.err.warned = false;
    if (setjmp(c.err.jump)) {
        jpeg_abort_compress(&c.info);
        return false;
    }
    jpeg_abort_compress(&c.info);
    c.info.mem->max_memory_to_use = 0;
    jpeg_mem_dest(&c.info, out, out_size);
    c.info.image_width = width;
    c.info.image_height = height;
    c.info.input_components = components;
    c.info.in_color_space = color_space;
    // Defaults: the standard Huffman tables, baseline sequential, JFIF header,
    // 2x2 luma sampling for color (4:2:0) and one component for gray.
    jpeg_set_defaults(&c.info);
    jpeg_set_quality(&c.info, quality, TRUE);
    c.info.dct_method = JDCT_ISLOW;
    c.info.optimize_coding = FALSE;
    c.info.arith_code = FALSE;
    c.info.restart_interval = 0;
    c.info.restart_in_rows = 0;
    if (color_space == JCS_RGB) {
        c.info.comp_info[0].h_samp_factor = 2;
        c.info.comp_info[0].v_samp_factor = 2;
        for (int i = 1; i < c.info.num_components; ++i) {
            c.info.comp_info[i].h_samp_factor = 1;
            c.info.comp_info[i].v_samp_factor = 1;
        }
    }
    jpeg_start_compress(&c.info, TRUE);
    while (c.info.next_scanline < c.info.image_height) {
        JSAMPROW rows[1] = {const_cast<JSAMPROW>(pixels + std::size_t{c.info.next_scanline} * pitch)};
        jpeg_write_scanlines(&c.info, rows, 1);
    }
    jpeg_finish_compress(&c.info);
    return !c.err.warned;
}

[[nodiscard]] std::string library_text(const char* text) {
    // The library's texts are ASCII; anything else is replaced rather than
    // passed on as invalid UTF-8.
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

}  // namespace

CodecError map_decode_error(std::string_view library_text_value) {
    std::string message(MSG_LIBRARY_PREFIX);
    message += library_text_value;
    return CodecError{CodecErrorKind::Decode, std::move(message)};
}

CodecError map_encode_error(std::string_view library_text_value) {
    std::string message(MSG_LIBRARY_PREFIX);
    message += library_text_value;
    return CodecError{CodecErrorKind::Encode, std::move(message)};
}

SlotState decoder_slot() noexcept { return {DECODER.handle.get(), DECODER.in_use}; }
SlotState encoder_slot() noexcept { return {ENCODER.handle.get(), ENCODER.in_use}; }

SlotHold::SlotHold(Slot slot) noexcept : slot_(slot), held_(false) {
    bool& mark = slot == Slot::Decoder ? DECODER.in_use : ENCODER.in_use;
    if (!mark) held_ = mark = true;
}

SlotHold::~SlotHold() {
    if (!held_) return;
    (slot_ == Slot::Decoder ? DECODER.in_use : ENCODER.in_use) = false;
}

CodecResult<DecodedImage> decode(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    if (DECODER.in_use) return fail_codec(CodecErrorKind::Decode, MSG_DECODER_IN_USE);
    const CellUse use(DECODER);

    if (!DECODER.handle) {
        std::unique_ptr<Decompressor> created;
        try {
            created = std::make_unique<Decompressor>();
        } catch (const std::bad_alloc&) {
            return std::unexpected(map_decode_error("Insufficient memory"));
        }
        if (!create_decompress(*created)) {
            return std::unexpected(map_decode_error(library_text(created->err.text)));
        }
        DECODER.handle = std::move(created);
    }
    Decompressor& d = *DECODER.handle;
    d.scan_limit = SCAN_LIMIT;

    HeaderInfo header{};
    if (!read_header(d, data.data(), data.size(), header)) {
        return std::unexpected(map_decode_error(library_text(d.err.text)));
    }

    J_COLOR_SPACE out_space = JCS_RGB;
    PixelLayout layout = PixelLayout::Rgb;
    // The library's colorspace enumeration also lists output-only layouts, so
    // this is a chain of tests rather than a switch over every value.
    if (header.colorspace == JCS_CMYK || header.colorspace == JCS_YCCK) {
        out_space = JCS_CMYK;
        layout = PixelLayout::Cmyk;
    } else if (header.colorspace == JCS_GRAYSCALE) {
        out_space = JCS_GRAYSCALE;
        layout = PixelLayout::Gray;
    } else if (header.colorspace == JCS_RGB || header.colorspace == JCS_YCbCr) {
        out_space = JCS_RGB;
        layout = PixelLayout::Rgb;
    } else {
        jpeg_abort_decompress(&d.info);
        return std::unexpected(map_decode_error(TEXT_UNKNOWN_COLORSPACE));
    }
    if (d.err.warned) {
        jpeg_abort_decompress(&d.info);
        return std::unexpected(map_decode_error(library_text(d.err.text)));
    }
    const std::size_t bytes_per_pixel = channels_of(layout);
    if (auto ok = validate_dimensions(header.width, header.height, bytes_per_pixel, 1, options.max_pixels);
        !ok) {
        jpeg_abort_decompress(&d.info);
        return std::unexpected(std::move(ok.error()));
    }
    std::size_t pitch = 0, size = 0;
    if (__builtin_mul_overflow(std::size_t{header.width}, bytes_per_pixel, &pitch) ||
        __builtin_mul_overflow(pitch, std::size_t{header.height}, &size)) {
        jpeg_abort_decompress(&d.info);
        return fail_codec(CodecErrorKind::Decode, MSG_DIMENSIONS_OVERFLOW);
    }
    U8Samples pixels;
    try {
        pixels.resize(size);
    } catch (const std::bad_alloc&) {
        jpeg_abort_decompress(&d.info);
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    if (!decompress(d, out_space, pixels.data(), pitch, size)) {
        return std::unexpected(map_decode_error(library_text(d.err.text)));
    }
    if (layout == PixelLayout::Cmyk) {
        // The library returns the stored (Adobe, inverted) values; ink amounts
        // are their complement.
        for (std::uint8_t& v : pixels) v = static_cast<std::uint8_t>(255 - v);
    }
    DecodedImage image{std::move(pixels), header.height, header.width, false, layout};
    return DecodedImage::convert(std::move(image), options.mode);
}

CodecResult<std::vector<std::uint8_t>> encode(const ImageView& view, std::uint8_t quality) {
    if (quality < 1 || quality > 100) return fail_codec(CodecErrorKind::InvalidInput, MSG_QUALITY_RANGE);
    const auto* samples = std::get_if<U8SampleView>(&view.samples);
    if (samples == nullptr) return fail_codec(CodecErrorKind::InvalidInput, MSG_REQUIRES_U8);
    J_COLOR_SPACE color_space = JCS_RGB;
    switch (view.layout) {
        case PixelLayout::Gray: color_space = JCS_GRAYSCALE; break;
        case PixelLayout::Rgb: color_space = JCS_RGB; break;
        case PixelLayout::Cmyk: return fail_codec(CodecErrorKind::Unsupported, MSG_NO_CMYK_ENCODING);
        case PixelLayout::GrayAlpha:
        case PixelLayout::Rgba: return fail_codec(CodecErrorKind::InvalidInput, MSG_NO_ALPHA);
    }
    // A validated view holds at most 2^30 samples, so its dimensions fit the
    // library's 32-bit type; the library itself refuses any above 65500.
    const std::size_t components = channels_of(view.layout);

    if (ENCODER.in_use) return fail_codec(CodecErrorKind::Encode, MSG_ENCODER_IN_USE);
    const CellUse use(ENCODER);
    if (!ENCODER.handle) {
        std::unique_ptr<Compressor> created;
        try {
            created = std::make_unique<Compressor>();
        } catch (const std::bad_alloc&) {
            return std::unexpected(map_encode_error("Insufficient memory"));
        }
        if (!create_compress(*created)) {
            return std::unexpected(map_encode_error(library_text(created->err.text)));
        }
        ENCODER.handle = std::move(created);
    }
    if (!ENCODER.handle) return fail_codec(CodecErrorKind::Encode, MSG_ENCODER_INIT);
    Compressor& c = *ENCODER.handle;

    unsigned char* output = nullptr;
    unsigned long output_size = 0;
    const bool ok = compress(c, samples->data(), static_cast<JDIMENSION>(view.width),
                             static_cast<JDIMENSION>(view.height), view.width * components,
                             static_cast<int>(components), color_space, quality, &output, &output_size);
    // The destination buffer belongs to us once the library has allocated it.
    const std::unique_ptr<unsigned char, decltype(&std::free)> owned(output, &std::free);
    if (!ok) return std::unexpected(map_encode_error(library_text(c.err.text)));
    std::vector<std::uint8_t> file;
    try {
        file.assign(output, output + output_size);
    } catch (const std::bad_alloc&) {
        return fail_codec(CodecErrorKind::LimitExceeded, MSG_ALLOCATION_FAILED);
    }
    return file;
}

}  // namespace tessalumen::io::jpeg
