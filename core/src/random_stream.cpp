#include "random_stream.h"

#include <bit>
#include <cassert>
#include <cmath>
#include <utility>

namespace tessalumen {
namespace {

__extension__ typedef unsigned __int128 U128;

constexpr std::uint32_t F32_ONE_BITS = 0x3f800000u;
constexpr std::uint64_t F64_ONE_BITS = 0x3ff0000000000000ull;
constexpr std::uint64_t F64_TWO_BITS = 0x4000000000000000ull;
// 2^-24: scales the top 24 bits of a word into [0, 1), exact in f32.
constexpr float UNIT_24 = 1.0f / 16777216.0f;
// 2^-53: scales the top 53 bits of a word into [0, 1), exact in f64.
constexpr double UNIT_53 = 1.0 / 9007199254740992.0;

[[maybe_unused]] constexpr const char* EMPTY_RANGE_MESSAGE = "cannot sample empty range";

// Layer edges from the tail start R and the common layer area V: each layer
// rectangle [0, X[i]] x [f(X[i]), f(X[i + 1])] has area V, and the base strip
// (rectangle plus tail) has the same area, which gives X[0] = V / f(R). The
// tables are built by the compiler, so every process sees the same bits.
constexpr ZigguratTables build_ziggurat_tables() {
    ZigguratTables t{};
    const double r = ZIGGURAT_TAIL_START;
    const double v = ZIGGURAT_LAYER_AREA;
    double f = std::exp(-0.5 * r * r);
    t.x[0] = v / f;
    t.x[1] = r;
    for (std::size_t i = 2; i < ZIGGURAT_LAYERS; ++i) {
        t.x[i] = std::sqrt(-2.0 * std::log(v / t.x[i - 1] + f));
        f = std::exp(-0.5 * t.x[i] * t.x[i]);
    }
    t.x[ZIGGURAT_LAYERS] = 0.0;
    for (std::size_t i = 0; i < ZIGGURAT_LAYERS; ++i) t.f[i] = std::exp(-0.5 * t.x[i] * t.x[i]);
    t.f[ZIGGURAT_LAYERS] = 1.0;
    return t;
}

constexpr ZigguratTables ZIGGURAT = build_ziggurat_tables();

// A unit value in the open interval (0, 1) from the top 52 bits of a word.
double open_unit(std::uint64_t word) {
    return std::bit_cast<double>((word >> 12) | F64_ONE_BITS) - (1.0 - 0x1.0p-53);
}

}  // namespace

const ZigguratTables& ziggurat_tables() { return ZIGGURAT; }

StreamRng StreamRng::from_seed(std::uint64_t seed) {
    std::array<std::uint64_t, 4> state{};
    for (std::uint64_t i = 0; i < 4; ++i) state[i] = mix64(seed + (i + 1) * GOLDEN_GAMMA);
    return StreamRng(state);
}

std::uint64_t StreamRng::next_word() {
    auto& s = s_;
    const std::uint64_t result = std::rotl(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = std::rotl(s[3], 45);
    return result;
}

bool StreamRng::passes_probability(float p) {
    if (p == 1.0f) return true;
    if (p == 0.0f) return false;
    const float u = static_cast<float>(next_word() >> 40) * UNIT_24;
    return p > u;
}

float StreamRng::sample_uniform(float lo, float hi) {
    assert(lo <= hi && EMPTY_RANGE_MESSAGE);
    if (lo == hi) return lo;
    const float width = hi - lo;
    assert(std::isfinite(width));
    const float unit = std::bit_cast<float>(static_cast<std::uint32_t>(next_word() >> 41) | F32_ONE_BITS) - 1.0f;
    return unit * width + lo;
}

double StreamRng::uniform_f64(double lo, double hi) {
    assert(lo <= hi && EMPTY_RANGE_MESSAGE);
    const double unit = std::bit_cast<double>((next_word() >> 12) | F64_ONE_BITS) - 1.0;
    return unit * (hi - lo) + lo;
}

std::uint64_t StreamRng::uniform_index(std::uint64_t lo, std::uint64_t hi) {
    assert(lo <= hi && EMPTY_RANGE_MESSAGE);
    if (hi <= 0xffffffffull) {
        const auto lo32 = static_cast<std::uint32_t>(lo);
        const auto range = static_cast<std::uint32_t>(static_cast<std::uint32_t>(hi) - lo32 + 1u);
        if (range == 0) return next_half();
        const std::uint64_t m = std::uint64_t{next_half()} * range;
        const auto high = static_cast<std::uint32_t>(m >> 32);
        const auto low = static_cast<std::uint32_t>(m);
        // The low half leaves room for any carry from a second draw: no need for one.
        if (std::uint64_t{low} + (range - 1u) <= 0xffffffffull) return std::uint64_t{lo32} + high;
        const std::uint64_t m2 = std::uint64_t{next_half()} * range;
        const bool carry = std::uint64_t{low} + (m2 >> 32) > 0xffffffffull;
        return std::uint64_t{lo32} + high + (carry ? 1u : 0u);
    }
    const std::uint64_t range = hi - lo + 1;
    if (range == 0) return next_word();
    const U128 m = static_cast<U128>(next_word()) * range;
    const auto high = static_cast<std::uint64_t>(m >> 64);
    const auto low = static_cast<std::uint64_t>(m);
    if (low <= ~std::uint64_t{0} - (range - 1)) return lo + high;
    const U128 m2 = static_cast<U128>(next_word()) * range;
    const auto low_sum = low + static_cast<std::uint64_t>(m2 >> 64);
    const bool carry = low_sum < low;
    return lo + high + (carry ? 1u : 0u);
}

std::uint32_t StreamRng::bounded_u32(std::uint32_t bound) {
    assert(bound >= 1 && EMPTY_RANGE_MESSAGE);
    const std::uint64_t m = std::uint64_t{next_half()} * bound;
    const auto high = static_cast<std::uint32_t>(m >> 32);
    const auto low = static_cast<std::uint32_t>(m);
    if (low <= static_cast<std::uint32_t>(0u - bound)) return high;
    const std::uint64_t m2 = std::uint64_t{next_half()} * bound;
    const bool carry = std::uint64_t{low} + (m2 >> 32) > 0xffffffffull;
    return high + (carry ? 1u : 0u);
}

void StreamRng::shuffle_order(std::span<std::uint8_t> slice) {
    // Indices for positions k - 1, k, ... come packed in one draw below
    // k * (k + 1) * ..., as long as that product fits 32 bits.
    std::uint32_t chunk_left = 1;
    std::uint32_t chunk = 0;
    for (std::size_t i = 0; i < slice.size(); ++i) {
        const auto k = static_cast<std::uint32_t>(i + 1);
        if (chunk_left > 0) {
            --chunk_left;
        } else {
            std::uint64_t bound = k;
            std::uint32_t factors = 1;
            while (bound * (k + factors) <= 0xffffffffull) {
                bound *= k + factors;
                ++factors;
            }
            chunk = bounded_u32(static_cast<std::uint32_t>(bound));
            chunk_left = factors - 1;
        }
        std::uint32_t j = chunk;
        if (chunk_left != 0) {
            j = chunk % k;
            chunk /= k;
        }
        std::swap(slice[i], slice[j]);
    }
}

double StreamRng::standard_normal() {
    const ZigguratTables& t = ZIGGURAT;
    for (;;) {
        const std::uint64_t bits = next_word();
        const std::size_t i = bits & 0xff;
        // [2, 4) from the top 52 bits, shifted to [-1, 1).
        const double u = std::bit_cast<double>((bits >> 12) | F64_TWO_BITS) - 3.0;
        const double x = u * t.x[i];
        if (std::fabs(x) < t.x[i + 1]) return x;
        if (i == 0) {
            // The tail beyond R, by Marsaglia's exponential rejection.
            double xt = 1.0;
            double y = 0.0;
            do {
                const double a = open_unit(next_word());
                const double b = open_unit(next_word());
                xt = std::log(a) / ZIGGURAT_TAIL_START;
                y = std::log(b);
            } while (!(xt * xt <= -2.0 * y));
            return u < 0.0 ? xt - ZIGGURAT_TAIL_START : ZIGGURAT_TAIL_START - xt;
        }
        const double v = static_cast<double>(next_word() >> 11) * UNIT_53;
        if (t.f[i + 1] + (t.f[i] - t.f[i + 1]) * v < std::exp(-x * x / 2.0)) return x;
    }
}

}  // namespace tessalumen
