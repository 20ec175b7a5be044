#include "png_unfilter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>


namespace tessalumen::io::png {
namespace {

constexpr std::uint8_t FILTER_NONE = 0, FILTER_SUB = 1, FILTER_UP = 2, FILTER_AVERAGE = 3, FILTER_PAETH = 4;

// The Paeth predictor with the standard's tie order (a, then b, then c),
// written without branches: the rows are noise to a branch predictor.
[[nodiscard]] inline int paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    const int ab = pb < pa ? b : a;
    const int pab = pb < pa ? pb : pa;
    return pc < pab ? c : ab;
}

template <std::size_t Bpp>
void unfilter_bpp(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
                     std::size_t bpp_runtime) {
    const std::size_t bpp = Bpp != 0 ? Bpp : bpp_runtime;
    const std::size_t head = std::min(bpp, n);
    switch (filter) {
        case FILTER_SUB:
            for (std::size_t i = bpp; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + row[i - bpp]);
            return;
        case FILTER_UP:
            for (std::size_t i = 0; i < n; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
            return;
        case FILTER_AVERAGE:
            for (std::size_t i = 0; i < head; ++i) row[i] = static_cast<std::uint8_t>(row[i] + (prior[i] >> 1));
            for (std::size_t i = head; i < n; ++i) {
                row[i] = static_cast<std::uint8_t>(row[i] + ((row[i - bpp] + prior[i]) >> 1));
            }
            return;
        case FILTER_PAETH:
            for (std::size_t i = 0; i < head; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
            for (std::size_t i = head; i < n; ++i) {
                row[i] = static_cast<std::uint8_t>(row[i] + paeth(row[i - bpp], prior[i], prior[i - bpp]));
            }
            return;
        default:
            return;
    }
}

}  // namespace

void unfilter_row(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
                  std::size_t bpp) {
    switch (bpp) {
        case 1: unfilter_bpp<1>(filter, row, prior, n, 1); return;
        case 3: unfilter_bpp<3>(filter, row, prior, n, 3); return;
        case 4: unfilter_bpp<4>(filter, row, prior, n, 4); return;
        case 6: unfilter_bpp<6>(filter, row, prior, n, 6); return;
        case 8: unfilter_bpp<8>(filter, row, prior, n, 8); return;
        default: unfilter_bpp<0>(filter, row, prior, n, bpp); return;
    }
}

}  // namespace tessalumen::io::png
