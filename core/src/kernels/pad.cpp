#include "kernels/pad.h"

#include <cstring>

namespace tessalumen::kernels::pad {
namespace {

constexpr std::uint64_t RGB = 3;

void fill_rgb_pixels(std::uint8_t* destination, std::uint64_t pixels, const std::array<std::uint8_t, 3>& fill) {
    for (std::uint64_t x = 0; x < pixels; ++x) {
        destination[x * RGB] = fill[0];
        destination[x * RGB + 1] = fill[1];
        destination[x * RGB + 2] = fill[2];
    }
}

// Fills `rows` whole rows: the first by `fill_row`, the rest as copies of it.
template <class FillRow>
void fill_rows(std::uint8_t* destination, std::uint64_t rows, std::uint64_t row_bytes, FillRow fill_row) {
    if (rows == 0 || row_bytes == 0) return;
    fill_row(destination);
    for (std::uint64_t r = 1; r < rows; ++r) std::memcpy(destination + r * row_bytes, destination, row_bytes);
}

}  // namespace

void crop_window(const std::uint8_t* source, std::uint64_t source_stride, std::uint64_t first, std::uint64_t rows,
                 std::uint64_t row_bytes, std::uint8_t* destination) {
    if (row_bytes == 0) return;
    for (std::uint64_t r = 0; r < rows; ++r)
        std::memcpy(destination + r * row_bytes, source + first + r * source_stride, row_bytes);
}

void constant(std::span<const std::uint8_t> source, std::uint64_t height, std::uint64_t width, std::uint64_t top,
              std::uint64_t left, std::uint64_t padded_width, std::uint8_t fill, std::span<std::uint8_t> destination) {
    if (padded_width == 0) return;
    std::uint8_t* out = destination.data();
    const std::uint64_t right = padded_width - left - width;
    std::memset(out, fill, top * padded_width);
    out += top * padded_width;
    for (std::uint64_t y = 0; y < height; ++y) {
        std::memset(out, fill, left);
        if (width != 0) std::memcpy(out + left, source.data() + y * width, width);
        std::memset(out + left + width, fill, right);
        out += padded_width;
    }
    const std::uint64_t written = static_cast<std::uint64_t>(out - destination.data());
    std::memset(out, fill, destination.size() - written);
}

void constant_rgb(std::span<const std::uint8_t> source, std::uint64_t height, std::uint64_t width,
                  std::uint64_t top, std::uint64_t left, std::uint64_t padded_width,
                  const std::array<std::uint8_t, 3>& fill, std::span<std::uint8_t> destination) {
    if (padded_width == 0) return;
    if (fill[0] == fill[1] && fill[1] == fill[2]) {
        // A single repeated byte: the gray layout with every width counted in bytes.
        constant(source, height, width * RGB, top, left * RGB, padded_width * RGB, fill[0], destination);
        return;
    }
    const std::uint64_t row_bytes = padded_width * RGB;
    const std::uint64_t padded_height = destination.size() / row_bytes;
    const std::uint64_t right = padded_width - left - width;
    std::uint8_t* out = destination.data();
    auto fill_row = [&](std::uint8_t* row) { fill_rgb_pixels(row, padded_width, fill); };
    fill_rows(out, top, row_bytes, fill_row);
    for (std::uint64_t y = 0; y < height; ++y) {
        std::uint8_t* row = out + (top + y) * row_bytes;
        fill_rgb_pixels(row, left, fill);
        if (width != 0) std::memcpy(row + left * RGB, source.data() + y * width * RGB, width * RGB);
        fill_rgb_pixels(row + (left + width) * RGB, right, fill);
    }
    fill_rows(out + (top + height) * row_bytes, padded_height - top - height, row_bytes, fill_row);
}

std::uint64_t reflect101_at(std::uint64_t i, std::uint64_t n) {
    if (n <= 1) return 0;
    const std::uint64_t period = 2 * n - 2;
    const std::uint64_t m = i % period;
    return m < n ? m : period - m;
}

std::uint64_t reflect101_before(std::uint64_t distance, std::uint64_t n) {
    if (n <= 1) return 0;
    const std::uint64_t period = 2 * n - 2;
    // -distance mod period, taken in [0, period).
    const std::uint64_t m = period - 1 - (distance - 1) % period;
    return m < n ? m : period - m;
}

void reflect101(const std::uint8_t* source, std::uint64_t height, std::uint64_t width, std::uint64_t channels,
                std::uint64_t top, std::uint64_t left, std::uint64_t padded_height, std::uint64_t padded_width,
                std::span<const std::uint64_t> border_columns, std::uint8_t* destination) {
    const std::uint64_t row_bytes = padded_width * channels;
    const std::uint64_t source_row_bytes = width * channels;
    if (row_bytes == 0 || height == 0) return;
    const std::uint64_t right = padded_width - left - width;
    const std::uint64_t* left_columns = border_columns.data();
    const std::uint64_t* right_columns = border_columns.data() + left;

    for (std::uint64_t y = 0; y < height; ++y) {
        const std::uint8_t* in = source + y * source_row_bytes;
        std::uint8_t* out = destination + (top + y) * row_bytes;
        if (channels == RGB) {
            for (std::uint64_t x = 0; x < left; ++x) {
                const std::uint8_t* pixel = in + left_columns[x];
                out[x * RGB] = pixel[0];
                out[x * RGB + 1] = pixel[1];
                out[x * RGB + 2] = pixel[2];
            }
            std::memcpy(out + left * RGB, in, source_row_bytes);
            std::uint8_t* tail = out + (left + width) * RGB;
            for (std::uint64_t x = 0; x < right; ++x) {
                const std::uint8_t* pixel = in + right_columns[x];
                tail[x * RGB] = pixel[0];
                tail[x * RGB + 1] = pixel[1];
                tail[x * RGB + 2] = pixel[2];
            }
        } else {
            for (std::uint64_t x = 0; x < left; ++x) out[x] = in[left_columns[x]];
            std::memcpy(out + left, in, source_row_bytes);
            std::uint8_t* tail = out + left + width;
            for (std::uint64_t x = 0; x < right; ++x) tail[x] = in[right_columns[x]];
        }
    }
    // Border rows copy the finished middle row their reflection selects.
    const std::uint8_t* middle = destination + top * row_bytes;
    for (std::uint64_t y = 0; y < top; ++y)
        std::memcpy(destination + y * row_bytes, middle + reflect101_before(top - y, height) * row_bytes, row_bytes);
    for (std::uint64_t y = top + height; y < padded_height; ++y)
        std::memcpy(destination + y * row_bytes, middle + reflect101_at(y - top, height) * row_bytes, row_bytes);
}

}  // namespace tessalumen::kernels::pad
