// Only these functions carry the AVX2 code-generation target, so the library
// as a whole stays runnable on processors without it. The target leaves out
// FMA on purpose, and contraction is off: a difference, a product and a sum
// each round on their own, as in the four-lane forms.
#include "search/pq/pq_kernels_avx2.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "search/pq/pq_kernels.h"

#include "search/no_fp_contract.h"
#include "search/kernel_terms.h"

namespace tessello {

#if defined(__x86_64__) || defined(__i386__)

#define TESSELLO_PQ_WIDE __attribute__((target("avx2")))

namespace {

TESSELLO_PQ_WIDE inline __m256 squared_difference(__m256 x, __m256 c) {
    const __m256 diff = _mm256_sub_ps(x, c);
    return _mm256_mul_ps(diff, diff);
}

TESSELLO_PQ_WIDE inline __m256 product(__m256 x, __m256 c) { return _mm256_mul_ps(x, c); }

// out[c] = the sum over t < d of term(x[t], component t of centroid c), in
// component order from 0, for k centroids laid out component-major. Four
// blocks of eight centroids go side by side, then single blocks, then the
// centroids left over one at a time.
template <__m256 (*term)(__m256, __m256), float (*one)(float, float)>
TESSELLO_PQ_WIDE inline void score_transposed(const float* x, const float* transposed, std::uint64_t k,
                                              std::uint64_t d, float* out) {
    std::uint64_t c = 0;
    for (; c + 32 <= k; c += 32) {
        __m256 acc0 = _mm256_setzero_ps();
        __m256 acc1 = _mm256_setzero_ps();
        __m256 acc2 = _mm256_setzero_ps();
        __m256 acc3 = _mm256_setzero_ps();
        const float* column = transposed + c;
        for (std::uint64_t t = 0; t < d; ++t, column += k) {
            const __m256 xv = _mm256_set1_ps(x[t]);
            acc0 = _mm256_add_ps(acc0, term(xv, _mm256_loadu_ps(column)));
            acc1 = _mm256_add_ps(acc1, term(xv, _mm256_loadu_ps(column + 8)));
            acc2 = _mm256_add_ps(acc2, term(xv, _mm256_loadu_ps(column + 16)));
            acc3 = _mm256_add_ps(acc3, term(xv, _mm256_loadu_ps(column + 24)));
        }
        _mm256_storeu_ps(out + c, acc0);
        _mm256_storeu_ps(out + c + 8, acc1);
        _mm256_storeu_ps(out + c + 16, acc2);
        _mm256_storeu_ps(out + c + 24, acc3);
    }
    for (; c + 8 <= k; c += 8) {
        __m256 acc = _mm256_setzero_ps();
        const float* column = transposed + c;
        for (std::uint64_t t = 0; t < d; ++t, column += k) {
            acc = _mm256_add_ps(acc, term(_mm256_set1_ps(x[t]), _mm256_loadu_ps(column)));
        }
        _mm256_storeu_ps(out + c, acc);
    }
    for (; c < k; ++c) {
        float sum = 0.0f;
        for (std::uint64_t t = 0; t < d; ++t) sum += one(x[t], transposed[t * k + c]);
        out[c] = sum;
    }
}

// Lane-wise: where v is strictly below best (never for a NaN), best takes v
// and at takes index.
TESSELLO_PQ_WIDE inline void keep_smaller(__m256& best, __m256i& at, __m256 v, __m256i index) {
    const __m256 smaller = _mm256_cmp_ps(v, best, _CMP_LT_OQ);
    best = _mm256_blendv_ps(best, v, smaller);
    at = _mm256_blendv_epi8(at, index, _mm256_castps_si256(smaller));
}

// The squared distances of x to the eight centroids from `column` (component
// t at column + t x stride).
TESSELLO_PQ_WIDE inline __m256 distances8(const float* x, const float* column, std::uint64_t stride,
                                          std::uint64_t d) {
    __m256 acc = _mm256_setzero_ps();
    for (std::uint64_t t = 0; t < d; ++t, column += stride) {
        acc = _mm256_add_ps(acc, squared_difference(_mm256_set1_ps(x[t]), _mm256_loadu_ps(column)));
    }
    return acc;
}

}  // namespace

// Each lane keeps the smallest distance it has seen below kLargestFloat and
// the first centroid that gave it (centroids come in increasing order, and
// only a strictly smaller one replaces). The answer is the smallest of the
// lanes' values and, among the lanes holding it, the lowest centroid: the
// first centroid with the smallest distance, as the one-by-one scan finds.
TESSELLO_PQ_WIDE std::uint8_t pq_nearest_centroid_avx2(const float* x, const float* transposed, std::uint64_t k,
                                                       std::uint64_t d) {
    const std::uint64_t stride = k;
    if (k > kMaxScanCentroids) k = kMaxScanCentroids;
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256 best_a = _mm256_set1_ps(kLargestFloat);
    __m256 best_b = best_a;
    __m256i at_a = _mm256_setzero_si256();
    __m256i at_b = at_a;
    std::uint64_t c = 0;
    for (; c + 16 <= k; c += 16) {
        // Two blocks of eight side by side, their sums independent.
        __m256 acc_a = _mm256_setzero_ps();
        __m256 acc_b = _mm256_setzero_ps();
        const float* column = transposed + c;
        for (std::uint64_t t = 0; t < d; ++t, column += stride) {
            const __m256 xv = _mm256_set1_ps(x[t]);
            acc_a = _mm256_add_ps(acc_a, squared_difference(xv, _mm256_loadu_ps(column)));
            acc_b = _mm256_add_ps(acc_b, squared_difference(xv, _mm256_loadu_ps(column + 8)));
        }
        const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(c)));
        keep_smaller(best_a, at_a, acc_a, index);
        keep_smaller(best_b, at_b, acc_b, _mm256_add_epi32(index, _mm256_set1_epi32(8)));
    }
    if (c + 8 <= k) {
        const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(c)));
        keep_smaller(best_a, at_a, distances8(x, transposed + c, stride, d), index);
        c += 8;
    }
    alignas(32) float value[17];
    alignas(32) std::int32_t at[17];
    _mm256_store_ps(value, best_a);
    _mm256_store_ps(value + 8, best_b);
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), at_a);
    _mm256_store_si256(reinterpret_cast<__m256i*>(at + 8), at_b);
    // The centroids left over, one by one, as a seventeenth lane.
    value[16] = kLargestFloat;
    at[16] = 0;
    for (; c < k; ++c) {
        float sum = 0.0f;
        for (std::uint64_t t = 0; t < d; ++t) sum += squared_difference_term(x[t], transposed[t * stride + c]);
        if (sum < value[16]) {
            value[16] = sum;
            at[16] = static_cast<std::int32_t>(c);
        }
    }

    float best = kLargestFloat;
    for (const float v : value) {
        if (v < best) best = v;
    }
    if (!(best < kLargestFloat)) return 0;
    std::int32_t code = static_cast<std::int32_t>(kMaxScanCentroids);
    for (int lane = 0; lane < 17; ++lane) {
        if (value[lane] == best && at[lane] < code) code = at[lane];
    }
    return static_cast<std::uint8_t>(code);
}

TESSELLO_PQ_WIDE void pq_squared_distances_transposed_avx2(const float* x, const float* transposed,
                                                           std::uint64_t k, std::uint64_t d, float* out) {
    score_transposed<squared_difference, squared_difference_term>(x, transposed, k, d, out);
}

TESSELLO_PQ_WIDE void pq_dot_products_transposed_avx2(const float* x, const float* transposed, std::uint64_t k,
                                                      std::uint64_t d, float* out) {
    score_transposed<product, product_term>(x, transposed, k, d, out);
}

#else

// Never called off x86: cpu_has_avx2_fma() is false there.
std::uint8_t pq_nearest_centroid_avx2(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d) {
    return pq_nearest_centroid(x, transposed, k, d);
}

void pq_squared_distances_transposed_avx2(const float* x, const float* transposed, std::uint64_t k,
                                          std::uint64_t d, float* out) {
    pq_squared_distances_transposed(x, transposed, k, d, out);
}

void pq_dot_products_transposed_avx2(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d,
                                     float* out) {
    pq_dot_products_transposed(x, transposed, k, d, out);
}

#endif

}  // namespace tessello
