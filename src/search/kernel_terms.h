#pragma once
// What the scoring kernels of every width share, written once so that they
// agree bit for bit: the unfused term of one component, and the reduction of
// an 8-lane sum that the 256-bit and 512-bit distance kernels both end with.
// Include it after search/no_fp_contract.h, whose per-file option these
// definitions must be compiled under like the kernels that inline them.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tessello {

inline float product_term(float a, float b) { return a * b; }
inline float squared_difference_term(float a, float b) {
    const float d = a - b;
    return d * d;
}

#if defined(__x86_64__) || defined(__i386__)
// u_l = t_l + t_(l+4), then (u0 + u2) + (u1 + u3). Callers carry the AVX2
// code-generation target or a wider one.
__attribute__((target("avx2,fma"))) inline float reduce8(__m256 t) {
    alignas(16) float u[4];
    _mm_store_ps(u, _mm_add_ps(_mm256_castps256_ps128(t), _mm256_extractf128_ps(t, 1)));
    return (u[0] + u[2]) + (u[1] + u[3]);
}
#endif

}  // namespace tessello
