#include "workspace.h"
#include "workspace_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

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


TEST(Retention, BoundIsInclusiveAndEveryAreaIsWeighted) {
    struct Case {
        const char* name;
        RetainedCapacities capacities;
        std::optional<std::uint64_t> bytes;
        bool kept;
    };
    constexpr std::uint64_t LIMIT = 33'554'432;
    const Case cases[] = {
        {"empty", {}, 0, true},
        {"exactly the limit", {.pooled_bytes = LIMIT}, LIMIT, true},
        {"one byte over", {.pooled_bytes = LIMIT + 1}, LIMIT + 1, false},
        {"all areas weighted",
         {.pooled_bytes = 1, .blur_values = 1, .noise_values = 1, .remap_8_byte = 1, .remap_16_byte = 1},
         1 + 2 + 4 + 8 + 16, true},
        {"limit from a mix", {.pooled_bytes = LIMIT - 4096 - 16, .noise_values = 1024, .remap_16_byte = 1}, LIMIT, true},
        {"blur saturates", {.blur_values = ~0ull}, ~0ull, false},
        {"sum saturates", {.pooled_bytes = ~0ull, .remap_8_byte = 1}, ~0ull, false},
        {"noise cannot be converted", {.noise_values = 1ull << 62}, std::nullopt, false},
        {"noise just convertible", {.noise_values = (1ull << 62) - 1}, ((1ull << 62) - 1) * 4, false},
        {"8-byte arrays cannot be converted", {.remap_8_byte = 1ull << 61}, std::nullopt, false},
        {"16-byte arrays cannot be converted", {.remap_16_byte = 1ull << 60}, std::nullopt, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(retained_bytes(c.capacities), c.bytes) << c.name;
        EXPECT_EQ(worth_retaining(c.capacities), c.kept) << c.name;
    }
}

TEST(Retention, WorkspaceReportsTheCapacitiesOfEveryArea) {
    Workspace ws;
    ws.recycle_u8(with_capacity(100, 0));
    ws.recycle_u8(with_capacity(28, 0));
    ws.blur_temporary.reserve(10);
    ASSERT_TRUE(ws.noise_block().has_value());
    ws.axis_remap.nearest_columns.reserve(3);
    ws.axis_remap.nearest_rows.reserve(4);
    ws.axis_remap.bilinear_columns.reserve(5);
    ws.axis_remap.bilinear_rows.reserve(6);
    const RetainedCapacities c = ws.retained_capacities();
    EXPECT_EQ(c.pooled_bytes, 128u);
    EXPECT_EQ(c.blur_values, 10u);
    EXPECT_EQ(c.noise_values, 1024u);
    EXPECT_EQ(c.remap_8_byte, 7u);
    EXPECT_EQ(c.remap_16_byte, 11u);
    EXPECT_EQ(retained_bytes(c), 128u + 20 + 4096 + 56 + 176);
}

std::size_t idle(WorkspacePool& pool) {
    auto count = pool.idle_count();
    EXPECT_TRUE(count.has_value());
    return count.value_or(0);
}

TEST(WorkspacePool, ReusesTheMostRecentlyReturnedWorkspace) {
    WorkspacePool pool;
    auto first = pool.take();
    auto second = pool.take();
    ASSERT_TRUE(first && second);
    first->recycle_u8(with_capacity(11, 0));
    second->recycle_u8(with_capacity(22, 0));
    ASSERT_TRUE(pool.give_back(std::move(*first)));
    ASSERT_TRUE(pool.give_back(std::move(*second)));
    EXPECT_EQ(idle(pool), 2u);
    auto again = pool.take();
    ASSERT_TRUE(again);
    EXPECT_EQ(pooled_capacities(*again), std::vector<std::size_t>{22});
    EXPECT_EQ(idle(pool), 1u);
}

TEST(WorkspacePool, RetentionBoundDecidesWhetherAWorkspaceReturns) {
    for (auto [pooled, kept] : {std::pair<std::size_t, bool>{33'554'432, true}, {33'554'433, false}}) {
        WorkspacePool pool;
        auto ws = pool.take();
        ASSERT_TRUE(ws);
        Bytes big;
        big.reserve(pooled);
        ASSERT_EQ(big.capacity(), pooled);
        ws->recycle_u8(std::move(big));
        ASSERT_TRUE(pool.give_back(std::move(*ws)));
        EXPECT_EQ(idle(pool), kept ? 1u : 0u) << pooled;
    }
}

TEST(WorkspacePool, KeepsAtMostEightAfterNineConcurrentCalls) {
    WorkspacePool pool;
    std::vector<std::thread> calls;
    std::vector<Workspace> in_use;
    for (int i = 0; i < 9; ++i) {
        auto ws = pool.take();
        ASSERT_TRUE(ws);
        in_use.push_back(std::move(*ws));
    }
    for (Workspace& ws : in_use) {
        calls.emplace_back([&pool, &ws] { EXPECT_TRUE(pool.give_back(std::move(ws))); });
    }
    for (auto& t : calls) t.join();
    EXPECT_EQ(idle(pool), 8u);
}

TEST(WorkspacePool, AFailedHolderPoisonsEveryLaterAccess) {
    WorkspacePool pool;
    auto held = pool.take();
    ASSERT_TRUE(held);
    pool.fail_while_holding_for_testing();

    auto taken = pool.take();
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().kind, CoreErrorKind::Runtime);
    EXPECT_EQ(taken.error().message, "workspace pool poisoned");
    auto returned = pool.give_back(std::move(*held));
    ASSERT_FALSE(returned);
    EXPECT_EQ(returned.error().message, "workspace pool poisoned");
    EXPECT_FALSE(pool.idle_count());
}

TEST(PoisonableLock, UnwindingOrAnExplicitPoisonMarksTheLock) {
    PoisonableLock unwound;
    try {
        auto guard = unwound.lock();
        ASSERT_TRUE(guard);
        throw std::runtime_error("broken invariant");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(unwound.poisoned());
    EXPECT_FALSE(unwound.lock());

    PoisonableLock flagged;
    {
        auto guard = flagged.lock();
        ASSERT_TRUE(guard);
        guard->poison();
    }
    EXPECT_FALSE(flagged.lock());
}

}  // namespace
}  // namespace tessalumen
