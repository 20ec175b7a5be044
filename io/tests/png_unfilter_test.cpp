// Unfiltering restores rows filtered by the textbook definitions of every
// filter type, for every pixel size and awkward widths.

#include "png_unfilter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace tessalumen::io::png {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes filter_reference(int type, const Bytes& row, const Bytes& prior, std::size_t bpp) {
    Bytes out(row.size());
    for (std::size_t i = 0; i < row.size(); ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0, b = prior[i], c = i >= bpp ? prior[i - bpp] : 0;
        int predicted = 0;
        switch (type) {
            case 1: predicted = a; break;
            case 2: predicted = b; break;
            case 3: predicted = (a + b) / 2; break;
            case 4: {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                break;
            }
            default: break;
        }
        out[i] = static_cast<std::uint8_t>(row[i] - predicted);
    }
    return out;
}

TEST(PngUnfilter, RestoresEveryFilterTypeAndPixelSize) {
    std::mt19937 rng(2024);
    for (std::size_t bpp = 1; bpp <= 8; ++bpp) {
        for (std::size_t width = 1; width <= 67; ++width) {
            const std::size_t n = width * bpp;
            for (int pattern = 0; pattern < 4; ++pattern) {
                Bytes row(n), prior(n);
                for (std::size_t i = 0; i < n; ++i) {
                    switch (pattern) {
                        case 0: row[i] = rng(); prior[i] = rng(); break;
                        case 1: row[i] = 255; prior[i] = 0; break;
                        case 2: row[i] = (i / bpp) % 2 ? 255 : 0; prior[i] = 255 - row[i]; break;
                        default: prior[i] = rng(); row[i] = static_cast<std::uint8_t>(prior[i] + rng() % 5); break;
                    }
                }
                for (int type = 0; type <= 4; ++type) {
                    Bytes work = filter_reference(type, row, prior, bpp);
                    unfilter_row(static_cast<std::uint8_t>(type), work.data(), prior.data(), n, bpp);
                    ASSERT_EQ(work, row) << "bpp " << bpp << " width " << width << " filter " << type
                                         << " pattern " << pattern;
                }
            }
        }
    }
}

}  // namespace
}  // namespace tessalumen::io::png
