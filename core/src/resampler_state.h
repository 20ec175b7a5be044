#pragma once
// The image resampler's reusable state. It lives in a `Workspace` so that
// consecutive calls reuse its coefficient tables and intermediate buffers;
// the resize operations define what it holds. Its memory is not counted in
// the workspace retention budget.

#include <cstdint>
#include <vector>

namespace tessalumen {

struct ResamplerState {
    // Nearest neighbour: the source column of every output column.
    std::vector<std::uint32_t> nearest_columns;
};

}  // namespace tessalumen
