#include "workspace.h"

#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace tessalumen {

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > U64_MAX - a ? U64_MAX : a + b;
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t factor) {
    return a > U64_MAX / factor ? U64_MAX : a * factor;
}

CoreResult<Bytes> zeroed_buffer(std::size_t len) {
    try {
        return Bytes(len);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
}

}  // namespace

std::optional<std::uint64_t> retained_bytes(const RetainedCapacities& c) {
    // Element counts this large cannot be expressed in bytes.
    if (c.noise_values >= (1ull << 62) || c.remap_8_byte >= (1ull << 61) ||
        c.remap_16_byte >= (1ull << 60)) {
        return std::nullopt;
    }
    std::uint64_t total = c.pooled_bytes;
    total = saturating_add(total, saturating_mul(c.blur_values, 2));
    total = saturating_add(total, c.noise_values * 4);
    total = saturating_add(total, c.remap_8_byte * 8);
    total = saturating_add(total, c.remap_16_byte * 16);
    return total;
}

bool worth_retaining(const RetainedCapacities& capacities) {
    const auto bytes = retained_bytes(capacities);
    return bytes.has_value() && *bytes <= WORKSPACE_RETENTION_LIMIT;
}

CoreResult<Bytes> Workspace::take_u8(std::size_t len) {
    for (std::size_t i = 0; i < pooled_; ++i) {
        if (byte_pool_[i].capacity() < len) {
            continue;
        }
        Bytes taken = std::move(byte_pool_[i]);
        --pooled_;
        if (i != pooled_) {
            byte_pool_[i] = std::move(byte_pool_[pooled_]);
        }
        byte_pool_[pooled_] = Bytes();
        taken.resize(len);  // within capacity: no allocation, zero-fills only the growth
        return taken;
    }
    return zeroed_buffer(len);
}

void Workspace::recycle_u8(Bytes buffer) {
    if (pooled_ < BYTE_POOL_LIMIT) {
        byte_pool_[pooled_++] = std::move(buffer);
    }
}

CoreResult<Bytes> Workspace::take_staged_u8(std::size_t len, bool reuse) {
    if (reuse) {
        return take_u8(len);
    }
    return zeroed_buffer(len);
}

void Workspace::recycle_staged_u8(Bytes buffer, bool reuse) {
    if (reuse) {
        recycle_u8(std::move(buffer));
    }
}

CoreResult<std::span<float>> Workspace::noise_block() {
    if (noise_block_.size() != NOISE_BLOCK_LENGTH) {
        try {
            noise_block_.reserve(NOISE_BLOCK_LENGTH);
            noise_block_.resize(NOISE_BLOCK_LENGTH);
        } catch (const std::bad_alloc&) {
            return fail_runtime(NOISE_WORKSPACE_ALLOCATION_FAILED);
        }
    }
    return std::span<float>(noise_block_);
}

RetainedCapacities Workspace::retained_capacities() const {
    RetainedCapacities c;
    for (const Bytes& buffer : pooled_u8()) {
        c.pooled_bytes = saturating_add(c.pooled_bytes, buffer.capacity());
    }
    c.blur_values = blur_temporary.capacity();
    c.noise_values = noise_block_.capacity();
    c.remap_8_byte =
        saturating_add(axis_remap.nearest_columns.capacity(), axis_remap.nearest_rows.capacity());
    c.remap_16_byte =
        saturating_add(axis_remap.bilinear_columns.capacity(), axis_remap.bilinear_rows.capacity());
    return c;
}

}  // namespace tessalumen
