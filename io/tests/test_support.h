#pragma once
// Helpers shared by the codec tests: test data files and hand-built PNGs.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "model.h"

namespace tessalumen::io::testing {

using Bytes = std::vector<std::uint8_t>;

inline std::filesystem::path testdata_dir(const char* sub) {
    return std::filesystem::path(TESSALUMEN_TESTDATA_DIR) / sub;
}

// Skips the calling test when a shared test data folder is absent.
#define SKIP_WITHOUT_TESTDATA(dir)                                                      \
    do {                                                                                \
        if (!std::filesystem::is_directory(dir))                                        \
            GTEST_SKIP() << "test data folder " << (dir) << " is absent";               \
    } while (0)

inline Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void put_be32(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

inline void put_chunk(Bytes& out, const char* type, const Bytes& data) {
    put_be32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put_be32(out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

struct Chunk {
    std::string type;
    Bytes data;
};

// A non-interlaced PNG whose rows (packed, without filter bytes) are stored
// with filter None, with `extra` chunks placed between IHDR and IDAT.
inline Bytes make_png(std::uint32_t width, std::uint32_t height, std::uint8_t depth,
                      std::uint8_t color_type, const std::vector<Bytes>& rows,
                      const std::vector<Chunk>& extra = {}) {
    Bytes out = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes ihdr;
    put_be32(ihdr, width);
    put_be32(ihdr, height);
    ihdr.insert(ihdr.end(), {depth, color_type, 0, 0, 0});
    put_chunk(out, "IHDR", ihdr);
    for (const Chunk& chunk : extra) put_chunk(out, chunk.type.c_str(), chunk.data);
    Bytes raw;
    for (const Bytes& row : rows) {
        raw.push_back(0);
        raw.insert(raw.end(), row.begin(), row.end());
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes z(size);
    compress(z.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    z.resize(size);
    put_chunk(out, "IDAT", z);
    put_chunk(out, "IEND", {});
    return out;
}

inline const U8Samples& u8(const DecodedImage& image) { return std::get<U8Samples>(image.samples); }
inline const U16Samples& u16(const DecodedImage& image) { return std::get<U16Samples>(image.samples); }

inline ImageView view_of(const U8Samples& s, std::size_t h, std::size_t w, PixelLayout layout) {
    return ImageView{U8SampleView(s), h, w, layout};
}
inline ImageView view_of(const U16Samples& s, std::size_t h, std::size_t w, PixelLayout layout) {
    return ImageView{U16SampleView(s), h, w, layout};
}

inline DecodeOptions mode(DecodeMode m, std::optional<std::size_t> max_pixels = std::nullopt) {
    return DecodeOptions{max_pixels, m};
}

}  // namespace tessalumen::io::testing
