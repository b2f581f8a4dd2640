// The portable kernels. Scores must be the same bits on every build, so the
// compiler may neither fuse a product into its addition (FMA contraction) nor
// reorder the sums; the pragmas below forbid the first, and no fast-math flag
// is ever used for the second. The manual unrolling only groups chunks per
// loop iteration: each lane sum still takes its terms in index order.
#include "search/distance_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "search/no_fp_contract.h"

namespace tessello {
namespace {

// The four lane sums live in one 4-float vector (GCC/Clang vector extension):
// its + and * act lane by lane with ordinary IEEE rounding, which is exactly the
// per-lane arithmetic required, and it keeps the code generator from
// re-vectorising the lanes in some other shape. On targets without SIMD it is
// lowered to four scalar operations.
typedef float Vec4 __attribute__((vector_size(16)));

inline Vec4 load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

struct Lanes4 {
    Vec4 s = {0.0f, 0.0f, 0.0f, 0.0f};

    float reduce() const { return (s[0] + s[2]) + (s[1] + s[3]); }
};

inline void dot_chunk(Lanes4& lanes, const float* a, const float* b) {
    lanes.s = lanes.s + load4(a) * load4(b);
}

inline float square_of_difference(float x, float y) {
    const float d = x - y;
    return d * d;
}

inline void l2_chunk(Lanes4& lanes, const float* a, const float* b) {
    const Vec4 d = load4(a) - load4(b);
    lanes.s = lanes.s + d * d;
}

inline float product(float x, float y) { return x * y; }

// Both pair kernels: `chunk` feeds one 4-float chunk into the lanes, `term`
// is one tail term; `unroll` chunks per iteration while they fit.
template <void (*chunk)(Lanes4&, const float*, const float*), float (*term)(float, float), std::size_t unroll>
inline float pair_kernel(std::span<const float> a, std::span<const float> b) {
    const std::size_t n = std::min(a.size(), b.size());
    const float* pa = a.data();
    const float* pb = b.data();
    const std::size_t whole = n - n % 4;
    Lanes4 s;
    std::size_t i = 0;
    for (; i + 4 * unroll <= whole; i += 4 * unroll)
        for (std::size_t c = 0; c < unroll; ++c) chunk(s, pa + i + 4 * c, pb + i + 4 * c);
    for (; i < whole; i += 4) chunk(s, pa + i, pb + i);
    float h = s.reduce();
    for (; i < n; ++i) h = h + term(pa[i], pb[i]);
    return h;
}

}  // namespace

float dot_product_4lane(std::span<const float> a, std::span<const float> b) {
    return pair_kernel<dot_chunk, product, 4>(a, b);
}

float l2_squared_4lane(std::span<const float> a, std::span<const float> b) {
    return pair_kernel<l2_chunk, square_of_difference, 2>(a, b);
}

float l2_norm_scalar(std::span<const float> v) {
    const std::size_t n = v.size();
    const float* p = v.data();
    float s = 0.0f;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        s = s + p[i] * p[i];
        s = s + p[i + 1] * p[i + 1];
        s = s + p[i + 2] * p[i + 2];
        s = s + p[i + 3] * p[i + 3];
        s = s + p[i + 4] * p[i + 4];
        s = s + p[i + 5] * p[i + 5];
        s = s + p[i + 6] * p[i + 6];
        s = s + p[i + 7] * p[i + 7];
    }
    for (; i < n; ++i) s = s + p[i] * p[i];
    return std::sqrt(s);
}

}  // namespace tessello
