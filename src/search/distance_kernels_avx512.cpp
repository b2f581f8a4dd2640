// The grid kernels on 512-bit registers. A register holds the eight lane sums
// of two pairs side by side (lanes 0-7 one vector, lanes 8-15 the next, both
// against the same query), so every lane takes exactly the operations the
// wide kernel's 8-lane accumulator takes, in the same order: the halves are
// then reduced and the tail added as the wide kernel does, bit for bit. Only
// the instruction count per pair halves, and a tile of queries and vectors
// reuses each load many times over.
//
// Only these functions carry the AVX-512 code-generation target; callers
// reach them only after cpu_has_avx512f().
#include <algorithm>
#include <cstddef>

#include "search/distance_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
// GCC 12's 512-bit insert, broadcast and extract intrinsics pass an undefined
// register as the unused merge source, and its flow analysis then warns about
// that register once they are inlined here: no value of ours is read unset.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

#include "search/no_fp_contract.h"
#include "search/kernel_terms.h"

namespace tessello {

#if defined(__x86_64__) || defined(__i386__)

#define TESSELLO_WIDER __attribute__((target("avx2,fma,avx512f")))

namespace {

TESSELLO_WIDER inline __m512 dot_step(__m512 t, __m512 q, __m512 v) { return _mm512_fmadd_ps(q, v, t); }
TESSELLO_WIDER inline __m512 l2_step(__m512 t, __m512 q, __m512 v) {
    const __m512 d = _mm512_sub_ps(q, v);
    return _mm512_fmadd_ps(d, d, t);
}

// The chunk at i of x and y in one register, x in the low half.
TESSELLO_WIDER inline __m512 two(const float* x, const float* y, std::size_t i) {
    return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(_mm512_castps256_ps512(_mm256_loadu_ps(x + i))),
                                               _mm256_castps_pd(_mm256_loadu_ps(y + i)), 1));
}
// The chunk at i of x in both halves.
TESSELLO_WIDER inline __m512 both(const float* x, std::size_t i) {
    return _mm512_castpd_ps(_mm512_broadcast_f64x4(_mm256_castps_pd(_mm256_loadu_ps(x + i))));
}

// Queries a[0..Q) against the vector pairs (b[2p], b[2p + 1]), p < P, all of
// length n: r[j][2p + h] = the wide kernel's value for a[j] and b[2p + h].
template <int Q, int P, __m512 (*step)(__m512, __m512, __m512), float (*term)(float, float)>
TESSELLO_WIDER inline void tile(const float* const* a, const float* const* b, std::size_t n, float (*r)[2 * P]) {
    const std::size_t whole = n - n % 8;
    __m512 t[Q][P];
#pragma GCC unroll 8
    for (int j = 0; j < Q; ++j)
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) t[j][p] = _mm512_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) {
        __m512 v[P];
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) v[p] = two(b[2 * p], b[2 * p + 1], i);
#pragma GCC unroll 8
        for (int j = 0; j < Q; ++j) {
            const __m512 q = both(a[j], i);
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p) t[j][p] = step(t[j][p], q, v[p]);
        }
    }
    for (int j = 0; j < Q; ++j)
        for (int p = 0; p < P; ++p) {
            const __m512d lanes = _mm512_castps_pd(t[j][p]);
            float lo = reduce8(_mm256_castpd_ps(_mm512_castpd512_pd256(lanes)));
            float hi = reduce8(_mm256_castpd_ps(_mm512_extractf64x4_pd(lanes, 1)));
            for (std::size_t i = whole; i < n; ++i) {
                lo = lo + term(a[j][i], b[2 * p][i]);
                hi = hi + term(a[j][i], b[2 * p + 1][i]);
            }
            r[j][2 * p] = lo;
            r[j][2 * p + 1] = hi;
        }
}

// Q queries against every vector: tiles of 2P vectors, then pairs, then a
// last vector scored as a pair with itself.
template <int Q, int P, __m512 (*step)(__m512, __m512, __m512), float (*term)(float, float)>
TESSELLO_WIDER inline void rows(const float* const* a, std::size_t n, const float* const* b, std::size_t count,
                                float* out, std::size_t stride) {
    std::size_t i = 0;
    for (; i + 2 * P <= count; i += 2 * P) {
        float r[Q][2 * P];
        tile<Q, P, step, term>(a, b + i, n, r);
        for (int j = 0; j < Q; ++j) std::copy_n(r[j], 2 * P, out + j * stride + i);
    }
    for (; i < count; i += 2) {
        const float* pair[2] = {b[i], i + 1 < count ? b[i + 1] : b[i]};
        float r[Q][2];
        tile<Q, 1, step, term>(a, pair, n, r);
        for (int j = 0; j < Q; ++j) std::copy_n(r[j], std::min<std::size_t>(2, count - i), out + j * stride + i);
    }
}

// Eight queries at a time share each vector load; fewer queries take more
// vectors per tile, so that enough independent sums keep the FMA units busy.
template <__m512 (*step)(__m512, __m512, __m512), float (*term)(float, float)>
TESSELLO_WIDER inline void grid(const float* const* a, std::size_t queries, std::size_t n, const float* const* b,
                                std::size_t count, float* out, std::size_t stride) {
    std::size_t j = 0;
    for (; j + 8 <= queries; j += 8) rows<8, 2, step, term>(a + j, n, b, count, out + j * stride, stride);
    if (j + 4 <= queries) {
        rows<4, 4, step, term>(a + j, n, b, count, out + j * stride, stride);
        j += 4;
    }
    if (j + 2 <= queries) {
        rows<2, 4, step, term>(a + j, n, b, count, out + j * stride, stride);
        j += 2;
    }
    if (j < queries) rows<1, 4, step, term>(a + j, n, b, count, out + j * stride, stride);
}

}  // namespace

TESSELLO_WIDER void dot_product_avx512_grid(const float* const* a, std::size_t queries, std::size_t n,
                                            const float* const* b, std::size_t count, float* out, std::size_t stride) {
    grid<dot_step, product_term>(a, queries, n, b, count, out, stride);
}

TESSELLO_WIDER void l2_squared_avx512_grid(const float* const* a, std::size_t queries, std::size_t n,
                                           const float* const* b, std::size_t count, float* out, std::size_t stride) {
    grid<l2_step, squared_difference_term>(a, queries, n, b, count, out, stride);
}

#undef TESSELLO_WIDER

#else  // no x86: never selected; keep the symbols total.

void dot_product_avx512_grid(const float* const* a, std::size_t queries, std::size_t n, const float* const* b,
                             std::size_t count, float* out, std::size_t stride) {
    for (std::size_t j = 0; j < queries; ++j)
        for (std::size_t i = 0; i < count; ++i) out[j * stride + i] = dot_product_4lane({a[j], n}, {b[i], n});
}
void l2_squared_avx512_grid(const float* const* a, std::size_t queries, std::size_t n, const float* const* b,
                            std::size_t count, float* out, std::size_t stride) {
    for (std::size_t j = 0; j < queries; ++j)
        for (std::size_t i = 0; i < count; ++i) out[j * stride + i] = l2_squared_4lane({a[j], n}, {b[i], n});
}

#endif

}  // namespace tessello
