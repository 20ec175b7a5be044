// PNG codec: raw and expanded decoding, unpacking, the adaptive filter
// choice, file structure of what we write, and the PngSuite conformance set.

#include "png_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "model.h"
#include "test_support.h"

namespace tessalumen::io {
namespace {

using testing::Bytes;
using testing::Chunk;
using testing::make_png;
using testing::mode;
using testing::u16;
using testing::u8;

// ---- decoding ---------------------------------------------------------------

TEST(PngUnpack, SamplesMostSignificantFirstPaddingIgnored) {
    struct Case {
        unsigned depth;
        std::size_t width, height;
        Bytes packed, expected;
    };
    const Case cases[] = {
        // Width 9 at 1 bit: two bytes per row, the last 7 bits are padding.
        {1, 9, 2, {0b10110001, 0b1111'1111, 0b0000'0000, 0b0111'1111},
         {1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {2, 5, 1, {0b00011011, 0b1100'0000}, {0, 1, 2, 3, 3}},
        {4, 3, 1, {0x3F, 0xA0}, {3, 15, 10}},
        {8, 2, 2, {1, 2, 3, 4}, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        const auto out = png::unpack_samples(c.packed, c.width, c.height, c.depth);
        ASSERT_TRUE(out) << out.error().message;
        EXPECT_EQ(*out, c.expected) << "depth " << c.depth;
    }
}

TEST(PngUnpack, LengthAndOverflowErrors) {
    struct Case {
        std::size_t width, height;
        unsigned depth;
        std::size_t length;
        const char* message;
    };
    constexpr std::size_t MAX = std::numeric_limits<std::size_t>::max();
    const Case cases[] = {
        {9, 2, 1, 3, "decoded PNG buffer has an invalid length"},
        {9, 2, 1, 5, "decoded PNG buffer has an invalid length"},
        {MAX, 1, 1, 0, "PNG row size overflow"},
        {MAX - 8, 16, 1, 0, "PNG buffer size overflow"},
        {MAX / 2, 3, 8, 0, "PNG buffer size overflow"},
    };
    const Bytes data(8);
    for (const Case& c : cases) {
        const auto out = png::unpack_samples(std::span(data).first(c.length), c.width, c.height, c.depth);
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, CodecErrorKind::Decode);
        EXPECT_EQ(out.error().message, c.message);
    }
}

const Bytes PLTE = {10, 20, 30, 40, 50, 60, 70, 80, 90};

TEST(PngDecode, RawAndExpandedSamples) {
    struct Case {
        const char* name;
        Bytes png;
        DecodeMode mode;
        PixelLayout layout;
        Samples samples;
        bool transparency;
    };
    const Bytes palette = make_png(3, 1, 8, 3, {{0, 2, 1}}, {{"PLTE", PLTE}});
    const Bytes palette_trns = make_png(3, 1, 8, 3, {{0, 2, 1}}, {{"PLTE", PLTE}, {"tRNS", {128}}});
    const Bytes palette_2bit = make_png(3, 1, 2, 3, {{0b00'10'01'00}}, {{"PLTE", PLTE}});
    const Bytes gray1 = make_png(9, 1, 1, 0, {{0b10000001, 0b1000'0000}});
    const Bytes gray2 = make_png(4, 1, 2, 0, {{0b00011011}});
    const Bytes gray4 = make_png(2, 1, 4, 0, {{0x3F}});
    const Bytes gray16 = make_png(2, 1, 16, 0, {{0x12, 0x34, 0xFF, 0xFE}});
    const Bytes gray_trns = make_png(2, 1, 8, 0, {{5, 9}}, {{"tRNS", {0, 9}}});
    const Bytes gray4_trns = make_png(2, 1, 4, 0, {{0x3F}}, {{"tRNS", {0, 3}}});
    const Bytes rgb_trns = make_png(2, 1, 8, 2, {{1, 2, 3, 4, 5, 6}}, {{"tRNS", {0, 4, 0, 5, 0, 6}}});
    const Bytes rgb16_trns =
        make_png(1, 2, 16, 2, {{1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 0, 1}}, {{"tRNS", {1, 2, 3, 4, 5, 6}}});
    const Bytes ga16 = make_png(1, 1, 16, 4, {{0xAB, 0xCD, 0x01, 0x02}});
    const Bytes rgba = make_png(1, 1, 8, 6, {{9, 8, 7, 6}});

    const Case cases[] = {
        {"palette unchanged", palette, DecodeMode::Unchanged, PixelLayout::Gray, U8Samples{0, 2, 1}, false},
        {"palette rgb", palette, DecodeMode::Rgb, PixelLayout::Rgb, U8Samples{10, 20, 30, 70, 80, 90, 40, 50, 60}, false},
        {"palette gray", palette, DecodeMode::Gray, PixelLayout::Gray, U8Samples{18, 78, 48}, false},
        {"palette+tRNS unchanged", palette_trns, DecodeMode::Unchanged, PixelLayout::Gray, U8Samples{0, 2, 1}, true},
        {"palette+tRNS rgba", palette_trns, DecodeMode::Rgba, PixelLayout::Rgba,
         U8Samples{10, 20, 30, 128, 70, 80, 90, 255, 40, 50, 60, 255}, true},
        {"palette 2-bit unchanged", palette_2bit, DecodeMode::Unchanged, PixelLayout::Gray, U8Samples{0, 2, 1}, false},
        {"1-bit unchanged", gray1, DecodeMode::Unchanged, PixelLayout::Gray, U8Samples{1, 0, 0, 0, 0, 0, 0, 1, 1}, false},
        {"1-bit gray", gray1, DecodeMode::Gray, PixelLayout::Gray,
         U8Samples{255, 0, 0, 0, 0, 0, 0, 255, 255}, false},
        {"2-bit gray", gray2, DecodeMode::Gray, PixelLayout::Gray, U8Samples{0, 85, 170, 255}, false},
        {"4-bit unchanged", gray4, DecodeMode::Unchanged, PixelLayout::Gray, U8Samples{3, 15}, false},
        {"4-bit gray", gray4, DecodeMode::Gray, PixelLayout::Gray, U8Samples{51, 255}, false},
        {"4-bit rgb", gray4, DecodeMode::Rgb, PixelLayout::Rgb, U8Samples{51, 51, 51, 255, 255, 255}, false},
        {"16-bit unchanged", gray16, DecodeMode::Unchanged, PixelLayout::Gray, U16Samples{0x1234, 0xFFFE}, false},
        {"16-bit gray", gray16, DecodeMode::Gray, PixelLayout::Gray, U16Samples{0x1234, 0xFFFE}, false},
        {"16-bit rgba", gray16, DecodeMode::Rgba, PixelLayout::Rgba,
         U16Samples{0x1234, 0x1234, 0x1234, 65535, 0xFFFE, 0xFFFE, 0xFFFE, 65535}, false},
        {"gray+tRNS unchanged", gray_trns, DecodeMode::Unchanged, PixelLayout::Gray, U8Samples{5, 9}, true},
        {"gray+tRNS rgba", gray_trns, DecodeMode::Rgba, PixelLayout::Rgba, U8Samples{5, 5, 5, 255, 9, 9, 9, 0}, true},
        {"4-bit gray+tRNS rgba", gray4_trns, DecodeMode::Rgba, PixelLayout::Rgba,
         U8Samples{51, 51, 51, 0, 255, 255, 255, 255}, true},
        {"rgb+tRNS unchanged", rgb_trns, DecodeMode::Unchanged, PixelLayout::Rgb, U8Samples{1, 2, 3, 4, 5, 6}, true},
        {"rgb+tRNS rgba", rgb_trns, DecodeMode::Rgba, PixelLayout::Rgba, U8Samples{1, 2, 3, 255, 4, 5, 6, 0}, true},
        {"rgb+tRNS rgb", rgb_trns, DecodeMode::Rgb, PixelLayout::Rgb, U8Samples{1, 2, 3, 4, 5, 6}, true},
        {"rgb16+tRNS rgba", rgb16_trns, DecodeMode::Rgba, PixelLayout::Rgba,
         U16Samples{0x0102, 0x0304, 0x0506, 0, 0, 0, 1, 65535}, true},
        {"ga16 unchanged", ga16, DecodeMode::Unchanged, PixelLayout::GrayAlpha, U16Samples{0xABCD, 0x0102}, true},
        {"rgba rgb", rgba, DecodeMode::Rgb, PixelLayout::Rgb, U8Samples{9, 8, 7}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = decode_image(c.png, mode(c.mode));
        ASSERT_TRUE(out) << out.error().message;
        EXPECT_EQ(out->layout, c.layout);
        EXPECT_EQ(out->samples, c.samples);
        EXPECT_EQ(out->has_transparency, c.transparency);
    }
}

TEST(PngDecode, AnimatedFilesAreRefused) {
    const Bytes actl = {0, 0, 0, 1, 0, 0, 0, 0};
    const Bytes apng = make_png(1, 1, 8, 0, {{7}}, {{"acTL", actl}});
    for (DecodeMode m : {DecodeMode::Unchanged, DecodeMode::Rgb}) {
        const auto out = decode_image(apng, mode(m));
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, CodecErrorKind::Unsupported);
        EXPECT_EQ(out.error().message, "animated PNG is not supported");
    }
    // Without the chunk the same file decodes, and so it does when the chunk
    // fails its checksum: the reader discards such ancillary chunks (a tRNS
    // among them).
    EXPECT_TRUE(decode_image(make_png(1, 1, 8, 0, {{7}}), mode(DecodeMode::Rgb)));
    for (const Chunk& chunk : {Chunk{"acTL", actl}, Chunk{"tRNS", {0, 7}}}) {
        SCOPED_TRACE(chunk.type);
        Bytes damaged = make_png(1, 1, 8, 0, {{7}}, {chunk});
        damaged[33 + 8 + chunk.data.size()] ^= 1;  // the chunk's CRC, right after IHDR
        const auto out = decode_image(damaged, mode(DecodeMode::Rgba));
        ASSERT_TRUE(out) << out.error().message;
        EXPECT_FALSE(out->has_transparency);
        EXPECT_EQ(out->samples, (Samples{U8Samples{7, 7, 7, 255}}));
    }
}

TEST(PngDecode, CorruptAndHostileInputs) {
    const Bytes good = make_png(4, 4, 8, 2, std::vector<Bytes>(4, Bytes(12, 200)));
    struct Case {
        const char* name;
        Bytes png;
        CodecErrorKind kind;
    };
    auto with = [&](std::size_t at, std::uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    // IHDR claiming 2^31-1 x 2^31-1 pixels over a handful of bytes.
    Bytes huge = make_png(0x7FFFFFFF, 0x7FFFFFFF, 8, 6, {});
    Bytes wide = make_png(1u << 20, 1u << 20, 16, 6, {});
    const Case cases[] = {
        {"signature only", Bytes(good.begin(), good.begin() + 8), CodecErrorKind::Decode},
        {"half an IHDR", Bytes(good.begin(), good.begin() + 20), CodecErrorKind::Decode},
        {"bad IHDR crc", with(29, good[29] ^ 1), CodecErrorKind::Decode},
        {"bad color type", with(25, 5), CodecErrorKind::Decode},
        {"truncated data", Bytes(good.begin(), good.end() - 20), CodecErrorKind::Decode},
        {"huge header", huge, CodecErrorKind::Decode},  // the reader refuses the size itself,
        {"wide header", wide, CodecErrorKind::LimitExceeded},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (DecodeMode m : {DecodeMode::Unchanged, DecodeMode::Rgba}) {
            const auto out = decode_image(c.png, mode(m));
            ASSERT_FALSE(out);
            EXPECT_EQ(out.error().kind, c.kind) << out.error().message;
            EXPECT_FALSE(out.error().message.empty());
        }
    }
    const auto limited = decode_image(make_png(1u << 16, 1u << 16, 1, 0, {}), mode(DecodeMode::Unchanged, 1000));
    ASSERT_FALSE(limited);
    EXPECT_EQ(limited.error().message, "image has 4294967296 pixels, exceeding the configured limit");
}

TEST(PngDecode, RowBudgetIsCheckedAfterTheHeaderChunksAndBeforeEverythingElse) {
    // The rows are never read: each case fails before the image data.
    const char* budget = "PNG row exceeds the reader's 64 MiB row buffer budget";
    struct Case {
        const char* name;
        std::uint32_t width;
        std::uint8_t depth, color_type;
        std::vector<Chunk> extra;
        DecodeMode mode;
        const char* message;  // nullptr: the pixel limit, so the budget passed
    };
    const std::vector<Chunk> trns = {{"tRNS", {0, 1, 0, 2, 0, 3}}};
    const std::vector<Chunk> actl = {{"acTL", {0, 0, 0, 1, 0, 0, 0, 0}}};
    const Case cases[] = {
        {"rgba8 row of exactly 64 MiB", 1u << 24, 8, 6, {}, DecodeMode::Unchanged, nullptr},
        {"rgba8 row one pixel over", (1u << 24) + 1, 8, 6, {}, DecodeMode::Unchanged, budget},
        {"rgb8+tRNS kept as rgb", (1u << 24) + 1, 8, 2, trns, DecodeMode::Unchanged, nullptr},
        {"rgb8+tRNS expanded to rgba", (1u << 24) + 1, 8, 2, trns, DecodeMode::Rgba, budget},
        {"1-bit raw row of exactly 64 MiB", 1u << 29, 1, 0, {}, DecodeMode::Unchanged, nullptr},
        {"1-bit raw row one byte over", (1u << 29) + 1, 1, 0, {}, DecodeMode::Unchanged, budget},
        {"1-bit expanded to 8 bits", 1u << 29, 1, 0, {}, DecodeMode::Gray, budget},
        {"animated and over budget", (1u << 24) + 1, 8, 6, actl, DecodeMode::Unchanged, budget},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = make_png(c.width, 1, c.depth, c.color_type, {}, c.extra);
        for (auto path : {png::ReadPath::Direct, png::ReadPath::Reader}) {
            const auto out = png::decode(file, mode(c.mode, 1), path);
            ASSERT_FALSE(out);
            if (c.message) {
                EXPECT_EQ(out.error().kind, CodecErrorKind::Decode);
                EXPECT_EQ(out.error().message, c.message);
            } else {
                EXPECT_EQ(out.error().message,
                          "image has " + std::to_string(c.width) + " pixels, exceeding the configured limit");
            }
        }
    }
}

TEST(PngDecode, ImageDataChecksumsAreCheckedWhenTheDataIsRead) {
    // Four Gray rows; the stream ends in the first of two image data chunks,
    // and the second, empty one carries a bad checksum.
    const Bytes good = make_png(4, 4, 8, 0, std::vector<Bytes>(4, Bytes{1, 2, 3, 4}));
    Bytes file(good.begin(), good.end() - 12);  // without IEND
    testing::put_chunk(file, "IDAT", {});
    file[file.size() - 1] ^= 1;
    testing::put_chunk(file, "IEND", {});
    for (auto path : {png::ReadPath::Direct, png::ReadPath::Reader}) {
        for (DecodeMode m : {DecodeMode::Unchanged, DecodeMode::Rgb}) {
            const auto out = png::decode(file, mode(m), path);
            ASSERT_FALSE(out);
            EXPECT_EQ(out.error().kind, CodecErrorKind::Decode);
            // Limits come first: nothing of the image data is read before them.
            const auto limited = png::decode(file, mode(m, 15), path);
            ASSERT_FALSE(limited);
            EXPECT_EQ(limited.error().message, "image has 16 pixels, exceeding the configured limit");
        }
    }
}

// ---- encoding ---------------------------------------------------------------

struct ParsedChunk {
    std::string type;
    Bytes data;
    bool crc_ok;
};

std::vector<ParsedChunk> parse_chunks(const Bytes& file) {
    std::vector<ParsedChunk> chunks;
    std::size_t pos = 8;
    while (pos + 12 <= file.size()) {
        const std::uint32_t length = (std::uint32_t{file[pos]} << 24) | (file[pos + 1] << 16) | (file[pos + 2] << 8) | file[pos + 3];
        if (pos + 12 + length > file.size()) break;
        ParsedChunk chunk{std::string(file.begin() + pos + 4, file.begin() + pos + 8),
                          Bytes(file.begin() + pos + 8, file.begin() + pos + 8 + length), false};
        const std::size_t crc_at = pos + 8 + length;
        const std::uint32_t stored = (std::uint32_t{file[crc_at]} << 24) | (file[crc_at + 1] << 16) | (file[crc_at + 2] << 8) | file[crc_at + 3];
        chunk.crc_ok = stored == crc32(0, file.data() + pos + 4, length + 4);
        chunks.push_back(std::move(chunk));
        pos += 12 + length;
    }
    EXPECT_EQ(pos, file.size()) << "bytes after the last chunk";
    return chunks;
}

Bytes inflate_all(const Bytes& z) {
    Bytes out(1 << 20);
    uLongf size = out.size();
    EXPECT_EQ(uncompress(out.data(), &size, z.data(), z.size()), Z_OK);
    out.resize(size);
    return out;
}

TEST(PngEncode, MinimalFileStructure) {
    const U8Samples rgba = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const auto file = encode_image_view(testing::view_of(rgba, 2, 2, PixelLayout::Rgba), ImageFormat::Png, 6);
    ASSERT_TRUE(file) << file.error().message;
    const Bytes signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    ASSERT_TRUE(std::equal(signature.begin(), signature.end(), file->begin()));
    const auto chunks = parse_chunks(*file);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(chunks[0].data, (Bytes{0, 0, 0, 2, 0, 0, 0, 2, 8, 6, 0, 0, 0}));
    EXPECT_EQ(chunks[1].type, "IDAT");
    EXPECT_EQ(chunks[2].type, "IEND");
    EXPECT_TRUE(chunks[2].data.empty());
    for (const auto& chunk : chunks) EXPECT_TRUE(chunk.crc_ok) << chunk.type;
    // zlib wrapper: CM 8, a 32 KiB window.
    EXPECT_EQ(chunks[1].data[0], 0x78);

    const auto back = decode_image(*file, mode(DecodeMode::Unchanged));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->layout, PixelLayout::Rgba);
    EXPECT_EQ(u8(*back), rgba);
}

TEST(PngEncode, LevelZeroWritesStoredBlocksAndLevelTenIsRefused) {
    const U8Samples gray(64 * 64, 17);
    const auto view = testing::view_of(gray, 64, 64, PixelLayout::Gray);
    const auto refused = encode_image_view(view, ImageFormat::Png, 10);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, CodecErrorKind::InvalidInput);
    EXPECT_EQ(refused.error().message, "PNG compression must be between 0 and 9");

    const auto stored = encode_image_view(view, ImageFormat::Png, 0);
    ASSERT_TRUE(stored);
    const auto chunks = parse_chunks(*stored);
    ASSERT_EQ(chunks.size(), 3u);
    const Bytes& z = chunks[1].data;
    // After the two-byte zlib header, the first block's type bits are 00.
    EXPECT_EQ((z[2] >> 1) & 3, 0);
    EXPECT_GT(z.size(), gray.size());
    const auto back = decode_image(*stored, mode(DecodeMode::Unchanged));
    ASSERT_TRUE(back);
    EXPECT_EQ(u8(*back), gray);
}

TEST(PngEncode, CmykHasNoPngForm) {
    const U8Samples cmyk(4, 0);
    const auto out = encode_image_view(testing::view_of(cmyk, 1, 1, PixelLayout::Cmyk), ImageFormat::Png, 6);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind, CodecErrorKind::InvalidInput);
    EXPECT_EQ(out.error().message, "PNG does not support CMYK pixels");
}

TEST(PngEncode, RoundTripsEveryLayoutDepthAndLevel) {
    std::mt19937 rng(1234);
    const PixelLayout layouts[] = {PixelLayout::Gray, PixelLayout::GrayAlpha, PixelLayout::Rgb, PixelLayout::Rgba};
    for (PixelLayout layout : layouts) {
        for (const auto& [h, w] : {std::pair<std::size_t, std::size_t>{1, 1}, {7, 13}, {33, 5}}) {
            const std::size_t n = h * w * channels_of(layout);
            U8Samples s8(n);
            U16Samples s16(n);
            for (std::size_t i = 0; i < n; ++i) {
                // Smooth ramps with noise so every filter gets chosen somewhere.
                s8[i] = static_cast<std::uint8_t>(i * 3 + (rng() % 4));
                s16[i] = static_cast<std::uint16_t>(i * 771 + (rng() % 300));
            }
            for (std::uint8_t level = 0; level <= 9; ++level) {
                SCOPED_TRACE(::testing::Message() << "layout " << int(layout) << " " << h << "x" << w << " level " << int(level));
                const auto f8 = encode_image_view(testing::view_of(s8, h, w, layout), ImageFormat::Png, level);
                ASSERT_TRUE(f8);
                // Read back by the library reader alone, independent of our own
                // image data path.
                const auto d8 = png::decode(*f8, mode(DecodeMode::Unchanged), png::ReadPath::Reader);
                ASSERT_TRUE(d8);
                EXPECT_EQ(d8->layout, layout);
                EXPECT_EQ(d8->samples, Samples(s8));
                const auto f16 = encode_image_view(testing::view_of(s16, h, w, layout), ImageFormat::Png, level);
                ASSERT_TRUE(f16);
                EXPECT_EQ(parse_chunks(*f16)[0].data[8], 16);
                const auto d16 = png::decode(*f16, mode(DecodeMode::Unchanged), png::ReadPath::Reader);
                ASSERT_TRUE(d16);
                EXPECT_EQ(d16->samples, Samples(s16));
            }
        }
    }
}

// Textbook filters and the stated choice, written independently of the codec.
std::pair<png::Filter, Bytes> reference_filter(const Bytes& row, const Bytes& prior, std::size_t bpp) {
    const std::size_t n = row.size();
    auto left = [&](const Bytes& r, std::size_t i) -> int { return i >= bpp ? r[i - bpp] : 0; };
    auto filtered = [&](png::Filter f) {
        Bytes out(n);
        for (std::size_t i = 0; i < n; ++i) {
            const int a = left(row, i), b = prior[i], c = left(prior, i);
            int predicted = 0;
            switch (f) {
                case png::Filter::None: predicted = 0; break;
                case png::Filter::Sub: predicted = a; break;
                case png::Filter::Up: predicted = b; break;
                case png::Filter::Average: predicted = (a + b) / 2; break;
                case png::Filter::Paeth: {
                    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                    predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                    break;
                }
            }
            out[i] = static_cast<std::uint8_t>(row[i] - predicted);
        }
        return out;
    };
    auto score = [](const Bytes& r) {
        long s = 0;
        for (std::uint8_t b : r) s += std::abs(static_cast<int>(static_cast<std::int8_t>(b)));
        return s;
    };
    png::Filter best = png::Filter::None;
    long best_score = 0;
    for (png::Filter f : {png::Filter::Up, png::Filter::Sub, png::Filter::Average, png::Filter::Paeth}) {
        const long s = score(filtered(f));
        if (s == 0) return {f, filtered(f)};
        if (best == png::Filter::None || s <= best_score) {
            best = f;
            best_score = s;
        }
    }
    return {best, filtered(best)};
}

TEST(PngFilter, ChoiceMatchesTheReferenceOnRandomAndEdgeRows) {
    std::mt19937 rng(99);
    std::map<png::Filter, int> seen;
    for (std::size_t bpp : {1, 2, 3, 4, 6, 8}) {
        for (std::size_t width = 1; width <= 67; ++width) {
            const std::size_t n = width * bpp;
            for (int pattern = 0; pattern < 6; ++pattern) {
                Bytes row(n), prior(n);
                for (std::size_t i = 0; i < n; ++i) {
                    switch (pattern) {
                        case 0: row[i] = rng(); prior[i] = rng(); break;                      // noise
                        case 1: row[i] = prior[i] = rng(); break;                             // Up is 0
                        case 2: row[i] = static_cast<std::uint8_t>(i / bpp * 5); prior[i] = rng(); break;  // ramp
                        case 3: row[i] = 255; prior[i] = 0; break;                             // extremes
                        case 4: prior[i] = static_cast<std::uint8_t>(i * 7); row[i] = prior[i] + 1 + rng() % 2; break;
                        case 5: row[i] = static_cast<std::uint8_t>((i % bpp) * 40 + rng() % 3); prior[i] = row[i] + rng() % 5; break;
                    }
                }
                Bytes scratch(n), out(n);
                const png::Filter got = png::filter_row(row, prior, bpp, scratch, out);
                const auto [want, want_bytes] = reference_filter(row, prior, bpp);
                ASSERT_EQ(got, want) << "bpp " << bpp << " width " << width << " pattern " << pattern;
                ASSERT_EQ(out, want_bytes) << "bpp " << bpp << " width " << width << " pattern " << pattern;
                ++seen[got];
            }
        }
    }
    for (png::Filter f : {png::Filter::Up, png::Filter::Sub, png::Filter::Average, png::Filter::Paeth}) {
        EXPECT_GT(seen[f], 0) << "filter " << int(f) << " never chosen";
    }
    EXPECT_EQ(seen[png::Filter::None], 0);
}

std::vector<int> filter_bytes(const Bytes& file, std::size_t row_bytes) {
    const Bytes raw = inflate_all(parse_chunks(file)[1].data);
    std::vector<int> filters;
    for (std::size_t at = 0; at < raw.size(); at += row_bytes + 1) filters.push_back(raw[at]);
    return filters;
}

TEST(PngFilter, ConstantImagesUseUpAfterTheFirstRow) {
    const U8Samples constant(5 * 6 * 3, 200);
    const auto file = encode_image_view(testing::view_of(constant, 5, 6, PixelLayout::Rgb), ImageFormat::Png, 6);
    ASSERT_TRUE(file);
    const auto filters = filter_bytes(*file, 18);
    ASSERT_EQ(filters.size(), 5u);
    // First row: Up scores 18 * 56; Sub and Paeth both 3 * 56, and the tie
    // goes to Paeth, tried later.
    EXPECT_EQ(filters[0], 4);
    for (std::size_t y = 1; y < filters.size(); ++y) EXPECT_EQ(filters[y], 2);

    const U8Samples zeros(4 * 9, 0);
    const auto zfile = encode_image_view(testing::view_of(zeros, 4, 9, PixelLayout::Gray), ImageFormat::Png, 6);
    ASSERT_TRUE(zfile);
    EXPECT_EQ(filter_bytes(*zfile, 9), (std::vector<int>{2, 2, 2, 2}));
}

// ---- PngSuite ---------------------------------------------------------------

TEST(PngSuite, ValidFilesDecodeCorruptFilesFail) {
    const auto dir = testing::testdata_dir("pngsuite");
    SKIP_WITHOUT_TESTDATA(dir);
    int valid = 0, corrupt = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".png") continue;
        const std::string name = entry.path().filename().string();
        const Bytes data = testing::read_file(entry.path());
        SCOPED_TRACE(name);
        for (DecodeMode m : {DecodeMode::Unchanged, DecodeMode::Gray, DecodeMode::Rgb, DecodeMode::Rgba}) {
            const auto out = decode_image(data, mode(m));
            if (name.starts_with("x")) {
                ASSERT_FALSE(out) << "corrupt file decoded";
                // Files with a damaged signature are not recognised as PNG.
                const bool not_png = out.error().kind == CodecErrorKind::Unsupported &&
                                     out.error().message == "input is not a supported JPEG or PNG image";
                EXPECT_TRUE(out.error().kind == CodecErrorKind::Decode || not_png) << out.error().message;
            } else {
                ASSERT_TRUE(out) << out.error().message;
                EXPECT_EQ(sample_count(out->samples), out->height * out->width * channels_of(out->layout));
            }
        }
        (name.starts_with("x") ? corrupt : valid) += 1;
    }
    EXPECT_GT(valid, 150);
    EXPECT_GT(corrupt, 10);
}

TEST(PngSuite, InterlacedFilesEqualTheirTwins) {
    const auto dir = testing::testdata_dir("pngsuite");
    SKIP_WITHOUT_TESTDATA(dir);
    int pairs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("x") || entry.path().extension() != ".png") continue;
        const Bytes data = testing::read_file(entry.path());
        if (data.size() < 29 || data[28] != 1) continue;  // IHDR interlace method
        // basi0g01 <-> basn0g01, s05i3p02 <-> s05n3p02, ...
        std::string twin = name;
        const std::size_t at = name.starts_with("bas") ? 3 : name.find('i', 1);
        ASSERT_NE(at, std::string::npos);
        twin[at] = 'n';
        if (!std::filesystem::exists(dir / twin)) continue;
        SCOPED_TRACE(name);
        const Bytes twin_data = testing::read_file(dir / twin);
        for (DecodeMode m : {DecodeMode::Unchanged, DecodeMode::Rgba}) {
            const auto a = decode_image(data, mode(m));
            const auto b = decode_image(twin_data, mode(m));
            ASSERT_TRUE(a && b);
            EXPECT_EQ(a->layout, b->layout);
            EXPECT_EQ(a->samples, b->samples);
        }
        ++pairs;
    }
    EXPECT_GT(pairs, 20);
}

}  // namespace
}  // namespace tessalumen::io

namespace tessalumen::io {
namespace {

// ---- direct image data reading ------------------------------------------------

void expect_same_outcome(const Bytes& file, DecodeMode m, const std::string& what) {
    const auto direct = png::decode(file, mode(m), png::ReadPath::Direct);
    const auto reader = png::decode(file, mode(m), png::ReadPath::Reader);
    ASSERT_EQ(direct.has_value(), reader.has_value()) << what;
    if (direct) {
        EXPECT_EQ(direct->layout, reader->layout) << what;
        EXPECT_TRUE(direct->samples == reader->samples) << what;
        EXPECT_EQ(direct->has_transparency, reader->has_transparency) << what;
    } else {
        EXPECT_EQ(direct.error().message, reader.error().message) << what;
        EXPECT_EQ(direct.error().kind, reader.error().kind) << what;
    }
}

TEST(PngDirectRead, ReadsWellFormedStreamsAndRefusesOthers) {
    // Two RGB rows: Sub then Paeth, split over three chunks.
    const Bytes raw = {1, 10, 20, 30, 1, 1, 1, 4, 5, 5, 5, 2, 2, 2};
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(size);
    compress(z.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    z.resize(size);
    const std::span<const std::uint8_t> all(z);
    const std::vector<std::span<const std::uint8_t>> chunks = {all.first(3), all.subspan(3, 4), all.subspan(7)};
    Bytes out(12);
    ASSERT_TRUE(png::read_image_data(chunks, 6, 2, 3, out.data()));
    // Row 0: 10 20 30 11 21 31. Row 1 (Paeth over row 0): the first pixel
    // predicts from above, the second from its left neighbour.
    EXPECT_EQ(out, (Bytes{10, 20, 30, 11, 21, 31, 15, 25, 35, 17, 27, 37}));
    EXPECT_FALSE(png::read_image_data(chunks, 6, 3, 3, out.data()));  // rows missing
    EXPECT_FALSE(png::read_image_data(chunks, 6, 1, 3, out.data()));  // rows left over
    EXPECT_FALSE(png::read_image_data({all.first(z.size() - 1)}, 6, 2, 3, out.data()));  // no checksum end
    EXPECT_FALSE(png::read_image_data({}, 6, 2, 3, out.data()));
}

TEST(PngDirectRead, SameResultAsTheReaderOnSuiteAndDamagedStreams) {
    // Hand-made streams around the edges of the image data.
    const std::vector<Bytes> rows(4, Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    Bytes raw;
    for (const Bytes& row : rows) {
        raw.push_back(4);  // Paeth
        raw.insert(raw.end(), row.begin(), row.end());
    }
    uLongf zsize = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(zsize);
    compress(z.data(), &zsize, raw.data(), static_cast<uLong>(raw.size()));
    z.resize(zsize);
    auto file_with = [](const Bytes& ihdr_tail_rows, const std::vector<testing::Chunk>& chunks) {
        Bytes out = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
        Bytes ihdr;
        testing::put_be32(ihdr, 4);
        testing::put_be32(ihdr, ihdr_tail_rows[0]);
        ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
        testing::put_chunk(out, "IHDR", ihdr);
        for (const auto& c : chunks) testing::put_chunk(out, c.type.c_str(), c.data);
        return out;
    };
    const Bytes no_adler(z.begin(), z.end() - 4);
    Bytes bad_adler = z;
    bad_adler.back() ^= 1;
    Bytes bad_filter_raw = raw;
    bad_filter_raw[13] = 5;
    uLongf bsize = compressBound(static_cast<uLong>(raw.size()));
    Bytes bad_filter(bsize);
    compress(bad_filter.data(), &bsize, bad_filter_raw.data(), static_cast<uLong>(raw.size()));
    bad_filter.resize(bsize);
    const std::vector<std::pair<std::string, Bytes>> cases = {
        {"whole", file_with({4}, {{"IDAT", z}, {"IEND", {}}})},
        {"split", file_with({4}, {{"IDAT", Bytes(z.begin(), z.begin() + 5)}, {"IDAT", Bytes(z.begin() + 5, z.end())}, {"IEND", {}}})},
        {"no IEND", file_with({4}, {{"IDAT", z}})},
        {"no checksum", file_with({4}, {{"IDAT", no_adler}, {"IEND", {}}})},
        {"bad checksum", file_with({4}, {{"IDAT", bad_adler}, {"IEND", {}}})},
        {"surplus rows", file_with({3}, {{"IDAT", z}, {"IEND", {}}})},
        {"missing rows", file_with({5}, {{"IDAT", z}, {"IEND", {}}})},
        {"bytes after stream", file_with({4}, {{"IDAT", [&] { Bytes b = z; b.push_back(7); return b; }()}, {"IEND", {}}})},
        {"extra IDAT", file_with({4}, {{"IDAT", z}, {"IDAT", {1, 2, 3}}, {"IEND", {}}})},
        {"bad filter type", file_with({4}, {{"IDAT", bad_filter}, {"IEND", {}}})},
        {"truncated IDAT", [&] { Bytes b = file_with({4}, {{"IDAT", z}}); b.resize(b.size() - 9); return b; }()},
    };
    for (const auto& [name, file] : cases) {
        for (DecodeMode m : {DecodeMode::Unchanged, DecodeMode::Rgba}) expect_same_outcome(file, m, name);
    }

    const auto dir = testing::testdata_dir("pngsuite");
    SKIP_WITHOUT_TESTDATA(dir);
    std::mt19937 rng(5);
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".png") continue;
        const Bytes data = testing::read_file(entry.path());
        const std::string name = entry.path().filename().string();
        for (DecodeMode m : {DecodeMode::Unchanged, DecodeMode::Gray, DecodeMode::Rgb, DecodeMode::Rgba}) {
            expect_same_outcome(data, m, name);
        }
        // Damage a few bytes of the image data area and compare again.
        for (int trial = 0; trial < 4 && data.size() > 60; ++trial) {
            Bytes damaged = data;
            damaged[50 + rng() % (damaged.size() - 50)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            expect_same_outcome(damaged, DecodeMode::Unchanged, name + " damaged");
        }
    }
}

}  // namespace
}  // namespace tessalumen::io
