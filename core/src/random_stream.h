#pragma once
// The call stream: every random decision of a pipeline call comes from one
// `StreamRng` seeded from the pipeline seed and the call key. Every primitive
// below consumes and transforms generator words in a fixed way, so the same
// seed, key, pipeline and input size give the same values bit for bit on
// every processor. `GaussianNoise` expands a seed drawn from the call stream
// into a second stream of the same kind.
//
// The primitives assume their preconditions (lo <= hi, a finite width);
// compilation rejects every range that could violate them, so a violation is
// an internal assertion failure, never a result.

#include <array>
#include <cstdint>
#include <span>

namespace tessalumen {

// The golden-ratio increment of SplitMix64.
inline constexpr std::uint64_t GOLDEN_GAMMA = 0x9e3779b97f4a7c15ull;

// The SplitMix64 finalizer.
[[nodiscard]] constexpr std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// The seed of a call's stream from the pipeline seed and the call key.
[[nodiscard]] constexpr std::uint64_t stream_seed(std::uint64_t seed, std::uint64_t key) {
    return mix64((key + GOLDEN_GAMMA) ^ seed);
}

// xoshiro256++ (Blackman and Vigna). A plain value: owned by whoever samples,
// never shared between threads.
class StreamRng {
public:
    // Four SplitMix64 outputs; the state can never be all zero.
    [[nodiscard]] static StreamRng from_seed(std::uint64_t seed);

    [[nodiscard]] std::uint64_t next_word();
    // The upper 32 bits of one word.
    [[nodiscard]] std::uint32_t next_half() { return static_cast<std::uint32_t>(next_word() >> 32); }

    // True with probability p; p of exactly 0 or 1 draws nothing.
    [[nodiscard]] bool passes_probability(float p);
    // A value in [lo, hi] from 23 random mantissa bits; lo == hi draws nothing.
    [[nodiscard]] float sample_uniform(float lo, float hi);
    // A value in [lo, hi] from 52 random bits; always draws.
    [[nodiscard]] double uniform_f64(double lo, double hi);
    // Inclusive [lo, hi]; one draw, sometimes two. A single value still draws.
    [[nodiscard]] std::uint64_t uniform_index(std::uint64_t lo, std::uint64_t hi);
    // Half-open [0, bound) with bound >= 1; one draw, sometimes two.
    [[nodiscard]] std::uint32_t bounded_u32(std::uint32_t bound);
    // Forward Fisher-Yates over a slice of at most 12 elements, all indices
    // taken from one packed chunk.
    void shuffle_order(std::span<std::uint8_t> slice);
    // Ziggurat sample of N(0, 1); one word or more.
    [[nodiscard]] double standard_normal();

    [[nodiscard]] const std::array<std::uint64_t, 4>& state() const { return s_; }

private:
    explicit StreamRng(const std::array<std::uint64_t, 4>& state) : s_(state) {}
    std::array<std::uint64_t, 4> s_;
};

// The 256-layer Ziggurat tables: layer edges X[0..256] (X[0] the base strip's
// virtual edge, X[1] the tail start, X[256] = 0) and F[i] = exp(-X[i]^2 / 2).
inline constexpr std::size_t ZIGGURAT_LAYERS = 256;
inline constexpr double ZIGGURAT_TAIL_START = 3.654152885361009;
inline constexpr double ZIGGURAT_LAYER_AREA = 0.00492867323399;
struct ZigguratTables {
    std::array<double, ZIGGURAT_LAYERS + 1> x;
    std::array<double, ZIGGURAT_LAYERS + 1> f;
};
[[nodiscard]] const ZigguratTables& ziggurat_tables();

}  // namespace tessalumen
