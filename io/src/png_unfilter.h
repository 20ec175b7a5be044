#pragma once
// Reversing PNG row filters in place.

#include <cstddef>
#include <cstdint>

namespace tessalumen::io::png {

// `row` holds `n` filtered bytes and becomes the reconstructed row; `prior` is
// the reconstructed row above (zeros for the first row); `bpp` is the bytes
// per complete pixel (at least 1), and `n` is a multiple of it when bpp > 1.
// Filter types above 4 leave the row as it is (callers reject them first).
void unfilter_row(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* prior, std::size_t n,
                  std::size_t bpp);

}  // namespace tessalumen::io::png
