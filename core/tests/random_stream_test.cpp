#include "random_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <set>

namespace tessalumen {
namespace {

__extension__ typedef unsigned __int128 U128;

// How many words `rng` has consumed since it was seeded from `seed`.
int words_consumed(const StreamRng& rng, std::uint64_t seed) {
    StreamRng probe = StreamRng::from_seed(seed);
    for (int n = 0; n < 64; ++n) {
        if (probe.state() == rng.state()) return n;
        (void)probe.next_word();
    }
    return -1;
}

TEST(RandomStream, KnownVectors) {
    const std::uint64_t seed = stream_seed(0, 0);
    EXPECT_EQ(seed, 0xe220a8397b1dcdafull);
    StreamRng rng = StreamRng::from_seed(seed);
    const std::array<std::uint64_t, 4> expected_state = {0xa706dd2f4d197e6full, 0xb382a305f4414f5eull,
                                                         0x631a9154fbabf717ull, 0xa80aba8c86640906ull};
    EXPECT_EQ(rng.state(), expected_state);
    EXPECT_EQ(rng.next_word(), 0x84f09bf307c1073aull);

    // Neighbouring keys and neighbouring seeds give unrelated streams.
    EXPECT_NE(StreamRng::from_seed(stream_seed(0, 1)).next_word(), StreamRng::from_seed(seed).next_word());
    EXPECT_NE(stream_seed(1, 0), stream_seed(0, 0));
    EXPECT_NE(stream_seed(0, 1), stream_seed(1, 0));
}

TEST(RandomStream, DrawCounts) {
    constexpr std::uint64_t seed = 7;
    struct Case {
        const char* what;
        int words;
        void (*draw)(StreamRng&);
    };
    const Case cases[] = {
        {"p = 1", 0, [](StreamRng& r) { EXPECT_TRUE(r.passes_probability(1.0f)); }},
        {"p = 0", 0, [](StreamRng& r) { EXPECT_FALSE(r.passes_probability(0.0f)); }},
        {"p = 0.5", 1, [](StreamRng& r) { (void)r.passes_probability(0.5f); }},
        {"p = NaN", 1, [](StreamRng& r) { EXPECT_FALSE(r.passes_probability(std::nanf(""))); }},
        {"degenerate f32 range", 0, [](StreamRng& r) { EXPECT_EQ(r.sample_uniform(2.5f, 2.5f), 2.5f); }},
        {"f32 range", 1, [](StreamRng& r) { (void)r.sample_uniform(0.0f, 1.0f); }},
        {"degenerate f64 range", 1, [](StreamRng& r) { EXPECT_EQ(r.uniform_f64(3.0, 3.0), 3.0); }},
        {"single-value index", 1, [](StreamRng& r) { EXPECT_EQ(r.uniform_index(9, 9), 9u); }},
        {"single-value 64-bit index", 1,
         [](StreamRng& r) { EXPECT_EQ(r.uniform_index(1ull << 40, 1ull << 40), 1ull << 40); }},
        {"full 32-bit span", 1, [](StreamRng& r) { (void)r.uniform_index(0, 0xffffffffull); }},
        {"full 64-bit span", 1, [](StreamRng& r) { (void)r.uniform_index(0, ~0ull); }},
        {"bounded 1", 1, [](StreamRng& r) { EXPECT_EQ(r.bounded_u32(1), 0u); }},
    };
    for (const Case& c : cases) {
        StreamRng rng = StreamRng::from_seed(seed);
        c.draw(rng);
        EXPECT_EQ(words_consumed(rng, seed), c.words) << c.what;
    }
}

TEST(RandomStream, FullSpansReturnRawWords) {
    StreamRng a = StreamRng::from_seed(3);
    StreamRng b = StreamRng::from_seed(3);
    EXPECT_EQ(a.uniform_index(0, 0xffffffffull), b.next_half());
    EXPECT_EQ(a.uniform_index(0, ~0ull), b.next_word());
}

// The probability gate and the real draws, checked against the arithmetic
// meaning of their bit tricks: scaled top bits of the word.
TEST(RandomStream, RealDrawsUseTheTopBitsOfOneWord) {
    StreamRng rng = StreamRng::from_seed(11);
    StreamRng words = StreamRng::from_seed(11);
    for (int i = 0; i < 500; ++i) {
        const std::uint64_t w = words.next_word();
        const float p = 0.25f + 0.001f * static_cast<float>(i);
        EXPECT_EQ(rng.passes_probability(p), p > std::ldexp(static_cast<float>(w >> 40), -24));

        const std::uint64_t w32 = words.next_word();
        const float u32 = std::ldexp(static_cast<float>(w32 >> 41), -23);
        const float lo = -3.0f;
        const float hi = 5.0f;
        const float x = rng.sample_uniform(lo, hi);
        EXPECT_EQ(x, u32 * (hi - lo) + lo);
        EXPECT_TRUE(x >= lo && x <= hi);

        const std::uint64_t w64 = words.next_word();
        const double u64 = std::ldexp(static_cast<double>(w64 >> 12), -52);
        EXPECT_EQ(rng.uniform_f64(-1.5, 2.5), u64 * 4.0 + -1.5);
    }
}

// Every bounded integer draw equals floor(range * (x + x2 / 2^32) / 2^32)
// with x the first half word and x2 the second when one is drawn; the
// second is drawn exactly when the first leaves the result undecided.
TEST(RandomStream, BoundedIntegersMatchTheExtendedProduct) {
    StreamRng ranges = StreamRng::from_seed(99);
    int second_draws = 0;
    for (int i = 0; i < 20000; ++i) {
        // Ranges from tiny to nearly the full span, where second draws are common.
        const std::uint32_t bound = i % 2 == 0 ? 1 + ranges.next_half() % 1000 : 0x80000000u + ranges.next_half() / 2;
        const std::uint64_t seed = 1000 + static_cast<std::uint64_t>(i);

        StreamRng words = StreamRng::from_seed(seed);
        const std::uint64_t x = words.next_half();
        const std::uint64_t x2 = words.next_half();
        const auto with_second = static_cast<std::uint64_t>((U128{bound} * ((x << 32) | x2)) >> 64);
        const auto without_second = static_cast<std::uint64_t>((U128{bound} * (x << 32)) >> 64);

        StreamRng rng = StreamRng::from_seed(seed);
        const std::uint32_t v = rng.bounded_u32(bound);
        const int used = words_consumed(rng, seed);
        ASSERT_TRUE(used == 1 || used == 2);
        EXPECT_EQ(v, used == 2 ? with_second : without_second);
        // One draw is taken only when no second draw could change the result.
        if (used == 1) {
            EXPECT_EQ(with_second, without_second);
        }
        second_draws += used == 2;
        EXPECT_LT(v, bound);

        // The same arithmetic serves inclusive ranges offset by lo.
        const std::uint64_t lo = 17;
        StreamRng index_rng = StreamRng::from_seed(seed);
        const std::uint64_t r = index_rng.uniform_index(lo, lo + bound - 1);
        EXPECT_EQ(words_consumed(index_rng, seed), used);
        EXPECT_EQ(r, lo + v);
    }
    EXPECT_GT(second_draws, 0);
}

TEST(RandomStream, WideIndicesStayInRange) {
    StreamRng rng = StreamRng::from_seed(5);
    const std::uint64_t lo = 0xfffffff0ull;
    const std::uint64_t hi = 0x100000010ull;  // above 32 bits: the 64-bit path
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 4000; ++i) {
        const std::uint64_t v = rng.uniform_index(lo, hi);
        ASSERT_GE(v, lo);
        ASSERT_LE(v, hi);
        seen.insert(v);
    }
    EXPECT_EQ(seen.size(), hi - lo + 1);
    const std::uint64_t top = ~0ull;
    for (int i = 0; i < 1000; ++i) ASSERT_GE(rng.uniform_index(top - 2, top), top - 2);
}

TEST(RandomStream, ShuffleTakesAllIndicesFromOneChunk) {
    for (std::uint64_t seed = 0; seed < 64; ++seed) {
        StreamRng reference = StreamRng::from_seed(seed);
        std::uint32_t v = reference.bounded_u32(479001600);  // 2 * 3 * ... * 12
        std::array<std::uint8_t, 4> expected = {0, 1, 2, 3};
        for (std::uint32_t k = 2; k <= 4; ++k) {
            std::swap(expected[k - 1], expected[v % k]);
            v /= k;
        }
        StreamRng rng = StreamRng::from_seed(seed);
        std::array<std::uint8_t, 4> order = {0, 1, 2, 3};
        rng.shuffle_order(order);
        EXPECT_EQ(order, expected) << "seed " << seed;
        EXPECT_EQ(rng.state(), reference.state()) << "seed " << seed;

        StreamRng three = StreamRng::from_seed(seed);
        std::array<std::uint8_t, 3> first = {0, 1, 2};
        three.shuffle_order(first);
        EXPECT_EQ(three.state(), reference.state()) << "seed " << seed;
    }
}

TEST(RandomStream, ShuffleReachesEveryOrderEvenly) {
    std::map<std::array<std::uint8_t, 4>, int> counts;
    StreamRng rng = StreamRng::from_seed(1);
    constexpr int draws = 24000;
    for (int i = 0; i < draws; ++i) {
        std::array<std::uint8_t, 4> order = {0, 1, 2, 3};
        rng.shuffle_order(order);
        ++counts[order];
    }
    ASSERT_EQ(counts.size(), 24u);
    for (const auto& [order, count] : counts) {
        EXPECT_GT(count, 800);
        EXPECT_LT(count, 1200);
    }
}

TEST(RandomStream, ZigguratTablesFollowTheConstruction) {
    const ZigguratTables& t = ziggurat_tables();
    const auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-14 * std::fabs(b); };
    EXPECT_PRED2(near, t.x[0], 3.91075795953709);
    EXPECT_EQ(t.x[1], ZIGGURAT_TAIL_START);
    EXPECT_EQ(t.x[256], 0.0);
    EXPECT_PRED2(near, t.f[0], 0.000477467764586655);
    EXPECT_PRED2(near, t.f[1], 0.001260285930498598);
    EXPECT_EQ(t.f[256], 1.0);
    for (std::size_t i = 1; i < ZIGGURAT_LAYERS; ++i) {
        ASSERT_GT(t.x[i], t.x[i + 1]) << i;
        // Each layer rectangle has the common area; the topmost one takes
        // what is left, so it only comes close.
        EXPECT_NEAR(t.x[i] * (t.f[i + 1] - t.f[i]), ZIGGURAT_LAYER_AREA, i + 1 < ZIGGURAT_LAYERS ? 1e-12 : 1e-10) << i;
    }
}

// One sample down each path of the sampler, worked out separately from the
// published layer tables: its bits, and the word that follows it (so the
// words each path consumes are pinned too).
TEST(RandomStream, NormalSamplesMatchIndependentlyComputedBits) {
    struct Case {
        const char* path;
        std::uint64_t seed;
        std::uint64_t bits;
        std::uint64_t next_word;
    };
    const Case cases[] = {
        {"tail beyond R", 1716, 0x400d83616634c8beull, 2112054608681179622ull},
        {"wedge accepted", 44, 0xbff99910269b9470ull, 15996771196310720948ull},
        {"wedge rejected, then inside a layer", 363, 0x3fdd248d88a5ec13ull, 5555351435643971286ull},
    };
    for (const Case& c : cases) {
        StreamRng rng = StreamRng::from_seed(c.seed);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(rng.standard_normal()), c.bits) << c.path;
        EXPECT_EQ(rng.next_word(), c.next_word) << c.path;
    }
}

TEST(RandomStream, NormalSamplesHaveUnitMomentsAndATail) {
    StreamRng rng = StreamRng::from_seed(2024);
    constexpr int n = 1000000;
    double sum = 0.0;
    double squares = 0.0;
    int tail = 0;
    for (int i = 0; i < n; ++i) {
        const double x = rng.standard_normal();
        ASSERT_TRUE(std::isfinite(x));
        sum += x;
        squares += x * x;
        tail += std::fabs(x) > ZIGGURAT_TAIL_START;
    }
    EXPECT_NEAR(sum / n, 0.0, 0.005);
    EXPECT_NEAR(squares / n, 1.0, 0.01);
    // P(|x| > 3.654) is about 2.58e-4.
    EXPECT_GT(tail, 180);
    EXPECT_LT(tail, 340);

    StreamRng again = StreamRng::from_seed(2024);
    StreamRng first = StreamRng::from_seed(2024);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(again.standard_normal(), first.standard_normal());
}

}  // namespace
}  // namespace tessalumen
