#pragma once
// The eight-lane forms of the product quantiser's kernels (AVX2). Each gives
// exactly what its pq_kernels.h counterpart gives: every lane adds its terms
// one at a time in component order, rounding every difference, product and
// sum (no fused multiply-add), so only the number of sums kept side by side
// differs. May only be called where cpu_has_avx2_fma() holds; pq_kernels.h
// picks them there.
#include <cstdint>

namespace tessello {

// As pq_nearest_centroid.
std::uint8_t pq_nearest_centroid_avx2(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d);

// As pq_squared_distances_transposed and pq_dot_products_transposed.
void pq_squared_distances_transposed_avx2(const float* x, const float* transposed, std::uint64_t k,
                                          std::uint64_t d, float* out);
void pq_dot_products_transposed_avx2(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d,
                                     float* out);

}  // namespace tessello
