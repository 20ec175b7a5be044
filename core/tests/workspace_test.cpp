#include "workspace.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tessalumen {
namespace {

Bytes with_capacity(std::size_t capacity, std::uint8_t fill) {
    Bytes b;
    b.reserve(capacity);
    b.assign(capacity / 2, fill);
    return b;
}

std::vector<std::size_t> pooled_capacities(const Workspace& ws) {
    std::vector<std::size_t> out;
    for (const Bytes& b : ws.pooled_u8()) out.push_back(b.capacity());
    return out;
}

TEST(Workspace, TakeIsFirstFitAndMovesLastEntryIntoTheHole) {
    Workspace ws;
    ws.recycle_u8(with_capacity(200, 7));  // length 100, bytes 7
    ws.recycle_u8(with_capacity(50, 9));
    // pool: [200, 50]; 100 fits only the first.
    auto taken = ws.take_u8(150);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->size(), 150u);
    EXPECT_EQ(taken->capacity(), 200u);
    // Old bytes below the previous length survive; growth is zeroed.
    EXPECT_TRUE(std::all_of(taken->begin(), taken->begin() + 100, [](auto v) { return v == 7; }));
    EXPECT_TRUE(std::all_of(taken->begin() + 100, taken->end(), [](auto v) { return v == 0; }));
    EXPECT_EQ(pooled_capacities(ws), std::vector<std::size_t>{50});
}

TEST(Workspace, TakeLargerThanEveryPooledBufferAllocatesZeroedAndLeavesPool) {
    Workspace ws;
    ws.recycle_u8(with_capacity(50, 1));
    ws.recycle_u8(with_capacity(200, 1));
    auto fresh = ws.take_u8(300);
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(fresh->size(), 300u);
    EXPECT_TRUE(std::all_of(fresh->begin(), fresh->end(), [](auto v) { return v == 0; }));
    EXPECT_EQ(pooled_capacities(ws), (std::vector<std::size_t>{50, 200}));

    auto fit = ws.take_u8(100);
    ASSERT_TRUE(fit.has_value());
    EXPECT_EQ(fit->capacity(), 200u);
    EXPECT_EQ(pooled_capacities(ws), std::vector<std::size_t>{50});
}

TEST(Workspace, PoolKeepsAtMostTwoBuffers) {
    Workspace ws;
    ws.recycle_u8(with_capacity(10, 0));
    ws.recycle_u8(with_capacity(20, 0));
    ws.recycle_u8(with_capacity(30, 0));
    EXPECT_EQ(pooled_capacities(ws), (std::vector<std::size_t>{10, 20}));
}

TEST(Workspace, StagedWithoutReuseNeverTouchesThePool) {
    Workspace ws;
    ws.recycle_u8(with_capacity(64, 5));
    auto fresh = ws.take_staged_u8(32, /*reuse=*/false);
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(fresh->size(), 32u);
    EXPECT_TRUE(std::all_of(fresh->begin(), fresh->end(), [](auto v) { return v == 0; }));
    ws.recycle_staged_u8(with_capacity(16, 0), /*reuse=*/false);
    EXPECT_EQ(pooled_capacities(ws), std::vector<std::size_t>{64});

    auto reused = ws.take_staged_u8(32, /*reuse=*/true);
    ASSERT_TRUE(reused.has_value());
    EXPECT_EQ(reused->capacity(), 64u);
    ws.recycle_staged_u8(std::move(*reused), /*reuse=*/true);
    EXPECT_EQ(pooled_capacities(ws), std::vector<std::size_t>{64});
}

TEST(Workspace, ImpossibleAllocationIsARuntimeError) {
    Workspace ws;
    auto huge = ws.take_u8(static_cast<std::size_t>(-1));
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(huge.error().kind, CoreErrorKind::Runtime);
    EXPECT_EQ(huge.error().message, "output allocation failed");
}

TEST(Workspace, NoiseBlockHasExactly1024Values) {
    Workspace ws;
    EXPECT_EQ(ws.retained_capacities().noise_values, 0u);
    auto block = ws.noise_block();
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->size(), 1024u);
    EXPECT_EQ(ws.retained_capacities().noise_values, 1024u);
}

}  // namespace
}  // namespace tessalumen
