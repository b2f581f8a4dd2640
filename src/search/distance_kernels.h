#pragma once
// The six scoring kernels behind `distance` and `normalize`. Each fixes its
// order of float arithmetic completely, so each family is deterministic:
//
// - portable dot / squared distance: four lane sums over 4-float chunks in
//   index order, reduced as (s0 + s2) + (s1 + s3), then the tail added singly;
//   every product (and difference) is rounded before it is added, no FMA;
// - wide dot / squared distance: eight lane sums over 8-float chunks fed by
//   FMA, reduced as u_l = t_l + t_(l+4), (u0 + u2) + (u1 + u3), then the tail
//   added singly and unfused;
// - norms: the wide norm is the wide sum of squares, the portable norm one
//   running sum in index order; both end in an f32 square root.
//
// The kernels run over the first min(|a|, |b|) values and never read past b.
// The `_x4` and `_x8` kernels score a against four (eight) vectors of a's
// length at once: out[j] is the single kernel's value for b[j], bit for bit.
// The `_avx2` kernels may only be called where cpu_has_avx2_fma() holds.
//
// The `_grid` kernels score queries a[0..queries) against vectors
// b[0..count), all read over the first n values: out[j * stride + i] is the
// wide kernel's value for a[j] and b[i], bit for bit. The `_avx512` ones may
// only be called where cpu_has_avx512f() holds as well.
#include <cstddef>
#include <span>

namespace tessello {

float dot_product_avx2(std::span<const float> a, std::span<const float> b);
float l2_squared_avx2(std::span<const float> a, std::span<const float> b);
float l2_norm_avx2(std::span<const float> v);
void dot_product_avx2_x4(std::span<const float> a, const float* const* b, float* out);
void l2_squared_avx2_x4(std::span<const float> a, const float* const* b, float* out);
void dot_product_avx2_x8(std::span<const float> a, const float* const* b, float* out);
void l2_squared_avx2_x8(std::span<const float> a, const float* const* b, float* out);
void dot_product_avx512_grid(const float* const* a, std::size_t queries, std::size_t n, const float* const* b,
                             std::size_t count, float* out, std::size_t stride);
void l2_squared_avx512_grid(const float* const* a, std::size_t queries, std::size_t n, const float* const* b,
                            std::size_t count, float* out, std::size_t stride);

float dot_product_4lane(std::span<const float> a, std::span<const float> b);
float l2_squared_4lane(std::span<const float> a, std::span<const float> b);
float l2_norm_scalar(std::span<const float> v);

}  // namespace tessello
