#pragma once
// Per-call scratch memory. One call uses exactly one `Workspace`, exclusively,
// from its first step to its last target; none of its operations lock. Between
// calls a workspace waits in its pipeline's pool (workspace_pool.h) so that
// the next call reuses its buffers instead of allocating them again.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error.h"
#include "model.h"
#include "resampler_state.h"
#include "validation.h"

namespace tessalumen {

inline constexpr std::string_view NOISE_WORKSPACE_ALLOCATION_FAILED =
    "noise workspace allocation failed";

// One bilinear axis entry of a remapping step: the source index of the lower
// neighbour and the 8-bit weight of the upper one. 16 bytes with padding.
struct BilinearAxisEntry {
    std::int64_t index;
    std::uint32_t fraction;
};
static_assert(sizeof(BilinearAxisEntry) == 16);

// Per-axis coordinate tables of remapping steps; filled per call, their
// capacity survives for later calls.
struct AxisRemapScratch {
    std::vector<std::int64_t> nearest_columns;
    std::vector<std::int64_t> nearest_rows;
    std::vector<BilinearAxisEntry> bilinear_columns;
    std::vector<BilinearAxisEntry> bilinear_rows;
};

// The capacities a workspace retains after a call, in elements; the input of
// the retention rule.
struct RetainedCapacities {
    std::uint64_t pooled_bytes = 0;      // sum over the byte-buffer pool (saturated)
    std::uint64_t blur_values = 0;       // u16 elements
    std::uint64_t noise_values = 0;      // f32 elements
    std::uint64_t remap_8_byte = 0;      // sum of the two 8-byte arrays (saturated)
    std::uint64_t remap_16_byte = 0;     // sum of the two 16-byte arrays (saturated)
};

// Retained size in bytes with saturating arithmetic, or nullopt when an
// element count is too large to convert to bytes at all.
[[nodiscard]] std::optional<std::uint64_t> retained_bytes(const RetainedCapacities& capacities);

// A workspace is kept for later calls only up to this many retained bytes
// (inclusive), so that one very large image does not pin its scratch memory.
inline constexpr std::uint64_t WORKSPACE_RETENTION_LIMIT = 32ull << 20;

[[nodiscard]] bool worth_retaining(const RetainedCapacities& capacities);

class Workspace {
public:
    // Spare working rasters kept between steps: a step takes one buffer for
    // its result and recycles the one it replaced, so two are enough.
    static constexpr std::size_t BYTE_POOL_LIMIT = 2;
    static constexpr std::size_t NOISE_BLOCK_LENGTH = 1024;

    Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    Workspace(Workspace&&) noexcept = default;
    Workspace& operator=(Workspace&&) noexcept = default;

    // A buffer of length `len`: the first pooled buffer whose capacity
    // suffices (first fit), else a new zero-filled one. Bytes beyond a reused
    // buffer's previous length are zeroed; bytes below it keep old contents,
    // so callers overwrite the whole buffer.
    [[nodiscard]] CoreResult<Bytes> take_u8(std::size_t len);
    // Keeps the buffer (with its capacity) if the pool has room, else frees it.
    void recycle_u8(Bytes buffer);

    // `take_u8`/`recycle_u8` when `reuse` is set; otherwise a fresh zeroed
    // buffer, and the recycled buffer is simply freed.
    [[nodiscard]] CoreResult<Bytes> take_staged_u8(std::size_t len, bool reuse);
    void recycle_staged_u8(Bytes buffer, bool reuse);

    // The noise block, exactly NOISE_BLOCK_LENGTH values; allocated on first use.
    [[nodiscard]] CoreResult<std::span<float>> noise_block();

    [[nodiscard]] std::span<const Bytes> pooled_u8() const { return {byte_pool_.data(), pooled_}; }
    [[nodiscard]] RetainedCapacities retained_capacities() const;

    ResamplerState resampler;
    std::vector<std::uint16_t> blur_temporary;
    AxisRemapScratch axis_remap;

private:
    std::vector<float> noise_block_;
    // The first `pooled_` entries are the pooled buffers; a fixed array, so
    // creating a workspace and recycling into it never allocate.
    std::array<Bytes, BYTE_POOL_LIMIT> byte_pool_;
    std::size_t pooled_ = 0;
};

}  // namespace tessalumen
