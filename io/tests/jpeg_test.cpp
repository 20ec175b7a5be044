// JPEG codec: real files, agreement with TurboJPEG, CMYK and YCCK, the scan
// limit, encoder checks and the per-thread handles.

#include "jpeg.h"

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <random>
#include <thread>

#include "model.h"
#include "test_support.h"

namespace tessalumen::io {
namespace {

using testing::Bytes;
using testing::mode;
using testing::u8;

// ---- fixtures built with libjpeg directly -------------------------------------

// Compresses `pixels` (components per pixel given by the input colorspace)
// with the library defaults and then `configure`.
template <class Configure>
Bytes libjpeg_compress(const Bytes& pixels, int width, int height, int components, J_COLOR_SPACE in_space,
                       Configure configure) {
    jpeg_compress_struct info{};
    jpeg_error_mgr err{};
    info.err = jpeg_std_error(&err);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&info, &out, &out_size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = in_space;
    jpeg_set_defaults(&info);
    configure(info);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + info.next_scanline * width * components);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    Bytes file(out, out + out_size);
    std::free(out);
    jpeg_destroy_compress(&info);
    return file;
}

Bytes gradient(int width, int height, int components) {
    Bytes pixels(static_cast<std::size_t>(width * height * components));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c)
                pixels[(y * width + x) * components + c] = static_cast<std::uint8_t>((x * 7 + y * 3 + c * 50) & 255);
    return pixels;
}

// A progressive gray file with exactly `scans` scans: the DC scan, the 63 AC
// coefficients one per scan at reduced precision, then refinement scans.
Bytes progressive_gray(int scans) {
    std::vector<jpeg_scan_info> script;
    script.push_back({1, {0, 0, 0, 0}, 0, 0, 0, 0});
    for (int k = 1; k <= 63; ++k) script.push_back({1, {0, 0, 0, 0}, k, k, 0, 1});
    for (int k = 1; static_cast<int>(script.size()) < scans; ++k) script.push_back({1, {0, 0, 0, 0}, k, k, 1, 0});
    const Bytes pixels = gradient(32, 32, 1);
    return libjpeg_compress(pixels, 32, 32, 1, JCS_GRAYSCALE, [&](jpeg_compress_struct& info) {
        info.scan_info = script.data();
        info.num_scans = static_cast<int>(script.size());
    });
}

// What TurboJPEG itself returns for a file, or nothing when it refuses it.
std::optional<Bytes> turbojpeg_decode(const Bytes& file, int pixel_format, int components) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    std::optional<Bytes> result;
    if (tjDecompressHeader3(handle, file.data(), file.size(), &width, &height, &subsamp, &colorspace) == 0) {
        Bytes out(static_cast<std::size_t>(width * height * components));
        if (tjDecompress2(handle, file.data(), file.size(), out.data(), width, width * components, height,
                          pixel_format, TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING) == 0) {
            result = std::move(out);
        }
    }
    tjDestroy(handle);
    return result;
}

int turbojpeg_subsampling(const std::vector<std::uint8_t>& file) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsamp = -1, colorspace = 0;
    tjDecompressHeader3(handle, file.data(), file.size(), &width, &height, &subsamp, &colorspace);
    tjDestroy(handle);
    return subsamp;
}

// ---- decoding ---------------------------------------------------------------

TEST(JpegFiles, EachDecodesOrFailsCleanlyAndMatchesTurboJpeg) {
    const auto dir = testing::testdata_dir("jpeg");
    SKIP_WITHOUT_TESTDATA(dir);
    // Files whose outcome is known; every other file must decode.
    const std::map<std::string, PixelLayout> gray = {
        {"bricks-gray.jpeg", PixelLayout::Gray}, {"peacock.grayscale.jpeg", PixelLayout::Gray}};
    const std::set<std::string> failing = {
        "monkey12.jpg",                        // 12-bit samples
        "peacock.default.truncated.jpeg",      // ends inside the scan data
        "peacock.progressive.truncated.jpeg",  // (a warning, taken as a failure)
    };
    int decoded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name == "PROVENANCE.md") continue;
        SCOPED_TRACE(name);
        const Bytes file = testing::read_file(entry.path());
        const auto out = decode_image(file, mode(DecodeMode::Unchanged));
        if (!out) {
            EXPECT_EQ(out.error().kind, CodecErrorKind::Decode);
            EXPECT_TRUE(out.error().message.starts_with("TurboJPEG error: ")) << out.error().message;
            EXPECT_TRUE(failing.contains(name)) << "unexpected failure: " << out.error().message;
            continue;
        }
        EXPECT_FALSE(failing.contains(name)) << "expected a failure";
        ++decoded;
        const PixelLayout want = gray.contains(name) ? PixelLayout::Gray : PixelLayout::Rgb;
        EXPECT_EQ(out->layout, want);
        EXPECT_FALSE(out->has_transparency);
        const int components = static_cast<int>(channels_of(want));
        const auto reference = turbojpeg_decode(file, want == PixelLayout::Gray ? TJPF_GRAY : TJPF_RGB, components);
        if (reference) {
            EXPECT_TRUE(u8(*out) == *reference) << "differs from TurboJPEG";
        }
        // Every mode of the same file agrees with converting the unchanged result.
        for (DecodeMode m : {DecodeMode::Gray, DecodeMode::Rgb, DecodeMode::Rgba}) {
            const auto direct = decode_image(file, mode(m));
            const auto converted = DecodedImage::convert(*out, m);
            ASSERT_TRUE(direct && converted);
            EXPECT_EQ(direct->samples, converted->samples);
        }
    }
    EXPECT_GE(decoded, 20);
}

TEST(JpegDecode, GrayAndColorLayoutsPerMode) {
    const Bytes gray_file = libjpeg_compress(gradient(9, 5, 1), 9, 5, 1, JCS_GRAYSCALE, [](auto&) {});
    const auto gray = decode_image(gray_file, mode(DecodeMode::Unchanged));
    ASSERT_TRUE(gray);
    EXPECT_EQ(gray->layout, PixelLayout::Gray);
    const auto gray_rgb = decode_image(gray_file, mode(DecodeMode::Rgb));
    ASSERT_TRUE(gray_rgb);
    ASSERT_EQ(u8(*gray_rgb).size(), 9u * 5 * 3);
    for (std::size_t i = 0; i < 45; ++i) {
        EXPECT_EQ(u8(*gray_rgb)[3 * i], u8(*gray)[i]);
        EXPECT_EQ(u8(*gray_rgb)[3 * i + 2], u8(*gray)[i]);
    }
    const Bytes color_file = libjpeg_compress(gradient(9, 5, 3), 9, 5, 3, JCS_RGB, [](auto&) {});
    const auto rgba = decode_image(color_file, mode(DecodeMode::Rgba));
    ASSERT_TRUE(rgba);
    EXPECT_EQ(rgba->layout, PixelLayout::Rgba);
    for (std::size_t i = 3; i < u8(*rgba).size(); i += 4) ASSERT_EQ(u8(*rgba)[i], 255);
}

TEST(JpegDecode, CmykAndYcckAreInvertedInkAmounts) {
    // Adobe files store inverted CMYK: 255 means no ink.
    Bytes stored(16 * 8 * 4);
    for (std::size_t i = 0; i < stored.size(); i += 4) {
        stored[i] = 255;      // no cyan
        stored[i + 1] = 127;  // half magenta
        stored[i + 2] = 0;    // full yellow
        stored[i + 3] = 255;  // no black
    }
    for (J_COLOR_SPACE space : {JCS_CMYK, JCS_YCCK}) {
        SCOPED_TRACE(space == JCS_CMYK ? "CMYK" : "YCCK");
        const Bytes file = libjpeg_compress(stored, 16, 8, 4, JCS_CMYK, [&](jpeg_compress_struct& info) {
            jpeg_set_colorspace(&info, space);
            jpeg_set_quality(&info, 100, TRUE);
        });
        const auto reference = turbojpeg_decode(file, TJPF_CMYK, 4);
        ASSERT_TRUE(reference);
        const auto cmyk = decode_image(file, mode(DecodeMode::Unchanged));
        ASSERT_TRUE(cmyk) << cmyk.error().message;
        EXPECT_EQ(cmyk->layout, PixelLayout::Cmyk);
        ASSERT_EQ(u8(*cmyk).size(), reference->size());
        for (std::size_t i = 0; i < reference->size(); ++i) ASSERT_EQ(u8(*cmyk)[i], 255 - (*reference)[i]);
        EXPECT_NEAR(u8(*cmyk)[0], 0, 2);
        EXPECT_NEAR(u8(*cmyk)[1], 128, 2);
        EXPECT_NEAR(u8(*cmyk)[2], 255, 2);

        const auto rgb = decode_image(file, mode(DecodeMode::Rgb));
        ASSERT_TRUE(rgb);
        EXPECT_EQ(rgb->samples, DecodedImage::convert(*cmyk, DecodeMode::Rgb)->samples);
        EXPECT_NEAR(u8(*rgb)[0], 255, 2);  // red: no cyan
        EXPECT_NEAR(u8(*rgb)[1], 127, 2);  // green: half magenta
        EXPECT_NEAR(u8(*rgb)[2], 0, 2);    // blue: full yellow
    }
}

TEST(JpegDecode, ScanLimit) {
    const Bytes within = progressive_gray(jpeg::SCAN_LIMIT);
    const auto ok = decode_image(within, mode(DecodeMode::Unchanged));
    ASSERT_TRUE(ok) << ok.error().message;
    EXPECT_EQ(ok->width, 32u);
    const auto over = decode_image(progressive_gray(jpeg::SCAN_LIMIT + 1), mode(DecodeMode::Unchanged));
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().kind, CodecErrorKind::Decode);
    EXPECT_EQ(over.error().message, "TurboJPEG error: Progressive JPEG image has more than 100 scans");
}

TEST(JpegDecode, CorruptInputsFailAndLeaveTheHandleUsable) {
    const Bytes good = libjpeg_compress(gradient(40, 24, 3), 40, 24, 3, JCS_RGB, [](auto&) {});
    // Extraneous bytes between two markers: a warning, taken as a failure.
    Bytes extraneous = good;
    for (std::size_t i = 2; i + 1 < extraneous.size(); ++i) {
        if (extraneous[i] == 0xFF && extraneous[i + 1] == 0xDB) {
            extraneous.insert(extraneous.begin() + static_cast<std::ptrdiff_t>(i), {1, 2, 3});
            break;
        }
    }
    const Bytes cases[] = {
        {0xFF, 0xD8, 0xFF, 0xD8, 0, 0},
        Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)),
        Bytes(good.begin(), good.begin() + 20),
        extraneous,
    };
    for (const Bytes& file : cases) {
        const auto out = decode_image(file, mode(DecodeMode::Rgb));
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, CodecErrorKind::Decode);
        EXPECT_TRUE(out.error().message.starts_with("TurboJPEG error: ")) << out.error().message;
        EXPECT_FALSE(jpeg::decoder_slot().in_use);
        ASSERT_TRUE(decode_image(good, mode(DecodeMode::Rgb)));
    }
}

// A copy of `file` with `bytes` inserted just before the first marker `marker`.
Bytes insert_before_marker(Bytes file, std::uint8_t marker, const Bytes& bytes) {
    for (std::size_t i = 2; i + 1 < file.size(); ++i) {
        if (file[i] == 0xFF && file[i + 1] == marker) {
            file.insert(file.begin() + static_cast<std::ptrdiff_t>(i), bytes.begin(), bytes.end());
            return file;
        }
    }
    ADD_FAILURE() << "marker not found";
    return file;
}

// An APP2 color profile marker holding `payload` as chunk `seq` of `count`.
Bytes icc_marker(std::uint8_t seq, std::uint8_t count, const Bytes& payload) {
    const std::size_t length = 2 + 12 + 2 + payload.size();
    Bytes out = {0xFF, 0xE2, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
                 'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, seq, count};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TEST(JpegDecode, LibraryMessagesAreTheFirstWarningUnlessAFatalErrorFollows) {
    const Bytes good = libjpeg_compress(gradient(40, 24, 3), 40, 24, 3, JCS_RGB, [](auto&) {});
    const Bytes two_components = libjpeg_compress(gradient(8, 8, 2), 8, 8, 2, JCS_UNKNOWN, [](auto&) {});
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    };
    const Case cases[] = {
        // A warning alone fails the call with its own text.
        {"extraneous bytes", insert_before_marker(good, 0xDB, {1, 2, 3}),
         "TurboJPEG error: Corrupt JPEG data: 3 extraneous bytes before marker 0xdb"},
        {"cut in the scan data", Bytes(good.begin(), good.end() - 20), "TurboJPEG error: Premature end of JPEG file"},
        {"bad color profile", insert_before_marker(good, 0xDB, icc_marker(0, 1, {1, 2, 3})),
         "TurboJPEG error: Corrupt JPEG data: bad ICC marker"},
        // A fatal error after a warning replaces the warning's text.
        {"extraneous bytes, then a reserved marker", insert_before_marker(good, 0xDB, {1, 2, 3, 0xFF, 0x02}),
         "TurboJPEG error: Unsupported marker type 0x02"},
        {"cut in the header", Bytes(good.begin(), good.begin() + 300),
         "TurboJPEG error: Invalid JPEG file structure: missing SOS marker"},
        {"no image", {0xFF, 0xD8, 0xFF, 0xD9}, "TurboJPEG error: JPEG datastream contains no image"},
        {"no image, only zeros", {0xFF, 0xD8, 0, 0, 0, 0}, "TurboJPEG error: JPEG datastream contains no image"},
        // The header reader's own refusal outranks a warning.
        {"two components", two_components,
         "TurboJPEG error: tj3DecompressHeader(): Could not determine colorspace of JPEG image"},
        {"two components after extraneous bytes", insert_before_marker(two_components, 0xDB, {1, 2, 3}),
         "TurboJPEG error: tj3DecompressHeader(): Could not determine colorspace of JPEG image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = decode_image(c.file, mode(DecodeMode::Unchanged));
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, CodecErrorKind::Decode);
        EXPECT_EQ(out.error().message, c.message);
    }
    // A well-formed profile is no warning.
    EXPECT_TRUE(decode_image(insert_before_marker(good, 0xDB, icc_marker(1, 1, {1, 2, 3})), mode(DecodeMode::Rgb)));
}

TEST(JpegDecode, HugeHeaderFailsBeforeAllocating) {
    Bytes file = libjpeg_compress(gradient(8, 8, 3), 8, 8, 3, JCS_RGB, [](auto&) {});
    // Patch the frame header to 65000 x 65000.
    for (std::size_t i = 0; i + 8 < file.size(); ++i) {
        if (file[i] == 0xFF && file[i + 1] == 0xC0) {
            file[i + 5] = 0xFD, file[i + 6] = 0xE8, file[i + 7] = 0xFD, file[i + 8] = 0xE8;
            break;
        }
    }
    const auto out = decode_image(file, mode(DecodeMode::Rgb));
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().message, "decoded image exceeds the supported memory limit");
    const auto limited = decode_image(file, mode(DecodeMode::Rgb, 1000));
    ASSERT_FALSE(limited);
    EXPECT_EQ(limited.error().message, "image has 4225000000 pixels, exceeding the configured limit");
}

// ---- encoding ---------------------------------------------------------------

TEST(JpegEncode, ParameterChecksInOrder) {
    const U8Samples rgba(4 * 4 * 4), rgb(4 * 4 * 3), cmyk(4 * 4 * 4);
    const U16Samples rgba16(4 * 4 * 4);
    struct Case {
        ImageView view;
        std::uint8_t quality;
        CodecErrorKind kind;
        const char* message;
    };
    const Case cases[] = {
        {testing::view_of(rgb, 4, 4, PixelLayout::Rgb), 0, CodecErrorKind::InvalidInput, "JPEG quality must be between 1 and 100"},
        {testing::view_of(rgba16, 4, 4, PixelLayout::Rgba), 101, CodecErrorKind::InvalidInput, "JPEG quality must be between 1 and 100"},
        {testing::view_of(rgba16, 4, 4, PixelLayout::Rgba), 90, CodecErrorKind::InvalidInput, "JPEG encoding requires uint8 pixels"},
        {testing::view_of(rgba, 4, 4, PixelLayout::Rgba), 90, CodecErrorKind::InvalidInput, "JPEG does not support alpha channels"},
        {testing::view_of(U8Samples(32), 4, 4, PixelLayout::GrayAlpha), 90, CodecErrorKind::InvalidInput, "JPEG does not support alpha channels"},
        {testing::view_of(cmyk, 4, 4, PixelLayout::Cmyk), 90, CodecErrorKind::Unsupported, "CMYK JPEG encoding is not supported"},
    };
    for (const Case& c : cases) {
        const auto out = encode_image_view(c.view, ImageFormat::Jpeg, c.quality);
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, c.kind);
        EXPECT_EQ(out.error().message, c.message);
    }
    for (std::uint8_t q : {1, 100}) EXPECT_TRUE(encode_image_view(testing::view_of(rgb, 4, 4, PixelLayout::Rgb), ImageFormat::Jpeg, q));
}

TEST(JpegEncode, SameBytesAsTurboJpegAndRoundTrips) {
    // Environment switches of TurboJPEG would change its output; keep them off.
    for (const char* name : {"TJ_OPTIMIZE", "TJ_ARITHMETIC", "TJ_RESTART", "TJ_PROGRESSIVE"}) unsetenv(name);
    for (const auto& [h, w] : {std::pair<int, int>{1, 1}, {17, 31}, {64, 48}}) {
        for (PixelLayout layout : {PixelLayout::Gray, PixelLayout::Rgb}) {
            const int components = static_cast<int>(channels_of(layout));
            const Bytes pixels = gradient(w, h, components);
            for (std::uint8_t quality : {1, 75, 95, 100}) {
                SCOPED_TRACE(::testing::Message() << w << "x" << h << " layout " << int(layout) << " q" << int(quality));
                const auto ours = encode_image_view(testing::view_of(pixels, h, w, layout), ImageFormat::Jpeg, quality);
                ASSERT_TRUE(ours) << ours.error().message;

                tjhandle handle = tjInitCompress();
                unsigned char* theirs = nullptr;
                unsigned long size = 0;
                ASSERT_EQ(tjCompress2(handle, pixels.data(), w, w * components, h,
                                      layout == PixelLayout::Gray ? TJPF_GRAY : TJPF_RGB, &theirs, &size,
                                      layout == PixelLayout::Gray ? TJSAMP_GRAY : TJSAMP_420, quality,
                                      TJFLAG_ACCURATEDCT),
                          0);
                EXPECT_TRUE(Bytes(theirs, theirs + size) == *ours);
                tjFree(theirs);
                tjDestroy(handle);

                EXPECT_EQ(turbojpeg_subsampling(*ours), layout == PixelLayout::Gray ? TJSAMP_GRAY : TJSAMP_420);
                const auto back = decode_image(*ours, mode(DecodeMode::Unchanged));
                ASSERT_TRUE(back);
                EXPECT_EQ(back->layout, layout);
                EXPECT_EQ(back->width, static_cast<std::size_t>(w));
                EXPECT_EQ(back->height, static_cast<std::size_t>(h));
                if (quality == 100) {
                    // The test pattern has sharp wraps, which 4:2:0 chroma blurs.
                    double error = 0;
                    for (std::size_t i = 0; i < pixels.size(); ++i) error += std::abs(int(pixels[i]) - int(u8(*back)[i]));
                    EXPECT_LT(error / static_cast<double>(pixels.size()), layout == PixelLayout::Gray ? 1.0 : 10.0);
                }
            }
        }
    }
}

// ---- per-thread handles -------------------------------------------------------

TEST(JpegHandles, ReusedOnAThreadSeparateAcrossThreads) {
    const Bytes file = libjpeg_compress(gradient(16, 16, 3), 16, 16, 3, JCS_RGB, [](auto&) {});
    const U8Samples pixels = gradient(16, 16, 3);
    ASSERT_TRUE(decode_image(file, mode(DecodeMode::Rgb)));
    ASSERT_TRUE(encode_image_view(testing::view_of(pixels, 16, 16, PixelLayout::Rgb), ImageFormat::Jpeg, 90));
    const void* decoder = jpeg::decoder_slot().handle;
    const void* encoder = jpeg::encoder_slot().handle;
    ASSERT_NE(decoder, nullptr);
    ASSERT_NE(encoder, nullptr);
    ASSERT_TRUE(decode_image(file, mode(DecodeMode::Rgb)));
    ASSERT_TRUE(encode_image_view(testing::view_of(pixels, 16, 16, PixelLayout::Rgb), ImageFormat::Jpeg, 90));
    EXPECT_EQ(jpeg::decoder_slot().handle, decoder);
    EXPECT_EQ(jpeg::encoder_slot().handle, encoder);

    std::vector<const void*> seen(2);
    std::vector<bool> ok(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            EXPECT_EQ(jpeg::decoder_slot().handle, nullptr);  // a fresh thread starts empty
            bool good = true;
            for (int i = 0; i < 50; ++i) good = good && decode_image(file, mode(DecodeMode::Rgb)).has_value();
            ok[t] = good;
            seen[t] = jpeg::decoder_slot().handle;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(ok[0] && ok[1]);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_NE(seen[0], decoder);
    EXPECT_NE(seen[1], decoder);
}

TEST(JpegHandles, BusySlotsRefuseReentrantUse) {
    const Bytes file = libjpeg_compress(gradient(8, 8, 1), 8, 8, 1, JCS_GRAYSCALE, [](auto&) {});
    const U8Samples pixels(64, 9);
    {
        const jpeg::SlotHold hold(jpeg::SlotHold::Slot::Decoder);
        ASSERT_TRUE(hold.held());
        const auto out = decode_image(file, mode(DecodeMode::Gray));
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, CodecErrorKind::Decode);
        EXPECT_EQ(out.error().message, "JPEG decoder is already in use");
        // The encoder is a separate slot.
        EXPECT_TRUE(encode_image_view(testing::view_of(pixels, 8, 8, PixelLayout::Gray), ImageFormat::Jpeg, 80));
    }
    {
        const jpeg::SlotHold hold(jpeg::SlotHold::Slot::Encoder);
        const auto out = encode_image_view(testing::view_of(pixels, 8, 8, PixelLayout::Gray), ImageFormat::Jpeg, 80);
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, CodecErrorKind::Encode);
        EXPECT_EQ(out.error().message, "JPEG encoder is already in use");
    }
    EXPECT_TRUE(decode_image(file, mode(DecodeMode::Gray)));
}

}  // namespace
}  // namespace tessalumen::io
