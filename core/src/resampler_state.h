#pragma once
// The image resampler's reusable state. It lives in a `Workspace` so that
// consecutive calls reuse its coefficient tables and intermediate buffers;
// the resize operations define what it holds. Its memory is not counted in
// the workspace retention budget.

namespace tessalumen {

struct ResamplerState {};

}  // namespace tessalumen
