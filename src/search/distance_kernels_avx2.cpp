// The wide kernels. Only these functions carry the AVX2/FMA code-generation
// target, so the library as a whole stays runnable on processors without it;
// callers reach them only after cpu_has_avx2_fma().
//
// One 8-lane accumulator is fed chunk by chunk in index order: the unrolling
// by four chunks keeps that single dependency chain (the order of the sums is
// what fixes the score), it only trims loop overhead. Contraction is switched
// off so the tails stay an unfused multiply and add.
#include "search/distance_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "search/no_fp_contract.h"
#include "search/kernel_terms.h"

namespace tessello {

#if defined(__x86_64__) || defined(__i386__)

#define TESSELLO_WIDE __attribute__((target("avx2,fma")))

namespace {

TESSELLO_WIDE inline __m256 dot_step(__m256 t, const float* a, const float* b) {
    return _mm256_fmadd_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b), t);
}

TESSELLO_WIDE inline __m256 l2_step(__m256 t, const float* a, const float* b) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
    return _mm256_fmadd_ps(d, d, t);
}

TESSELLO_WIDE inline __m256 square_step(__m256 t, const float* v) {
    const __m256 x = _mm256_loadu_ps(v);
    return _mm256_fmadd_ps(x, x, t);
}

// Both pair kernels: `step` feeds one 8-float chunk of the pair into the
// lanes, `term` is one unfused tail term.
template <__m256 (*step)(__m256, const float*, const float*), float (*term)(float, float)>
TESSELLO_WIDE inline float pair_kernel(std::span<const float> a, std::span<const float> b) {
    const std::size_t n = std::min(a.size(), b.size());
    const float* pa = a.data();
    const float* pb = b.data();
    const std::size_t whole = n - n % 8;
    __m256 t = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= whole; i += 32) {
        t = step(t, pa + i, pb + i);
        t = step(t, pa + i + 8, pb + i + 8);
        t = step(t, pa + i + 16, pb + i + 16);
        t = step(t, pa + i + 24, pb + i + 24);
    }
    for (; i < whole; i += 8) t = step(t, pa + i, pb + i);
    float h = reduce8(t);
    for (; i < n; ++i) h = h + term(pa[i], pb[i]);
    return h;
}

// N pairs side by side (four or eight): a against b[0..N-1], each b[j]
// holding a.size() values. Each lane sum takes its chunks in the same order
// as pair_kernel and is reduced the same way, so out[j] is
// pair_kernel(a, b[j]) bit for bit; the N independent chains only keep the
// FMA units busy (eight cover the FMA latency twice over what four do).
template <int N, __m256 (*step)(__m256, const float*, const float*), float (*term)(float, float)>
TESSELLO_WIDE inline void pair_kernel_n(std::span<const float> a, const float* const* b, float* out) {
    const std::size_t n = a.size();
    const float* pa = a.data();
    const std::size_t whole = n - n % 8;
    __m256 t[N];
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) t[j] = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i < whole; i += 8) {
#pragma GCC unroll 8
        for (int j = 0; j < N; ++j) t[j] = step(t[j], pa + i, b[j] + i);
    }
    float h[N];
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) h[j] = reduce8(t[j]);
    for (; i < n; ++i) {
#pragma GCC unroll 8
        for (int j = 0; j < N; ++j) h[j] = h[j] + term(pa[i], b[j][i]);
    }
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) out[j] = h[j];
}

}  // namespace

TESSELLO_WIDE float dot_product_avx2(std::span<const float> a, std::span<const float> b) {
    return pair_kernel<dot_step, product_term>(a, b);
}

TESSELLO_WIDE float l2_squared_avx2(std::span<const float> a, std::span<const float> b) {
    return pair_kernel<l2_step, squared_difference_term>(a, b);
}

TESSELLO_WIDE void dot_product_avx2_x4(std::span<const float> a, const float* const* b, float* out) {
    pair_kernel_n<4, dot_step, product_term>(a, b, out);
}

TESSELLO_WIDE void l2_squared_avx2_x4(std::span<const float> a, const float* const* b, float* out) {
    pair_kernel_n<4, l2_step, squared_difference_term>(a, b, out);
}

TESSELLO_WIDE void dot_product_avx2_x8(std::span<const float> a, const float* const* b, float* out) {
    pair_kernel_n<8, dot_step, product_term>(a, b, out);
}

TESSELLO_WIDE void l2_squared_avx2_x8(std::span<const float> a, const float* const* b, float* out) {
    pair_kernel_n<8, l2_step, squared_difference_term>(a, b, out);
}

TESSELLO_WIDE float l2_norm_avx2(std::span<const float> v) {
    const std::size_t n = v.size();
    const float* p = v.data();
    const std::size_t whole = n - n % 8;
    __m256 t = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= whole; i += 32) {
        t = square_step(t, p + i);
        t = square_step(t, p + i + 8);
        t = square_step(t, p + i + 16);
        t = square_step(t, p + i + 24);
    }
    for (; i < whole; i += 8) t = square_step(t, p + i);
    float h = reduce8(t);
    for (; i < n; ++i) h = h + p[i] * p[i];
    return std::sqrt(h);
}

#undef TESSELLO_WIDE

#else  // no x86: the wide family is never selected; keep the symbols total.

float dot_product_avx2(std::span<const float> a, std::span<const float> b) {
    return dot_product_4lane(a, b);
}
float l2_squared_avx2(std::span<const float> a, std::span<const float> b) {
    return l2_squared_4lane(a, b);
}
float l2_norm_avx2(std::span<const float> v) { return l2_norm_scalar(v); }
void dot_product_avx2_x4(std::span<const float> a, const float* const* b, float* out) {
    for (int j = 0; j < 4; ++j) out[j] = dot_product_4lane(a, {b[j], a.size()});
}
void l2_squared_avx2_x4(std::span<const float> a, const float* const* b, float* out) {
    for (int j = 0; j < 4; ++j) out[j] = l2_squared_4lane(a, {b[j], a.size()});
}
void dot_product_avx2_x8(std::span<const float> a, const float* const* b, float* out) {
    for (int j = 0; j < 8; ++j) out[j] = dot_product_4lane(a, {b[j], a.size()});
}
void l2_squared_avx2_x8(std::span<const float> a, const float* const* b, float* out) {
    for (int j = 0; j < 8; ++j) out[j] = l2_squared_4lane(a, {b[j], a.size()});
}

#endif

}  // namespace tessello
