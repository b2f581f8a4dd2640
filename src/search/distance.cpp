#include "search/distance.h"

#include <algorithm>
#include <cstddef>

#include "base/cpu_features.h"
#include "search/distance_kernels.h"

namespace tessello {
namespace {

// 2^-23, the f32 machine epsilon: norms below it count as the zero vector.
constexpr float kMinNorm = 1.1920929e-7f;

template <int N, float (*kernel)(std::span<const float>, std::span<const float>)>
void each_of(std::span<const float> a, const float* const* b, float* out) {
    for (int j = 0; j < N; ++j) out[j] = kernel(a, std::span<const float>(b[j], a.size()));
}

// The grid as rows: each query against the vectors eight, then four, then
// one at a time.
template <float (*one)(std::span<const float>, std::span<const float>),
          void (*four)(std::span<const float>, const float* const*, float*),
          void (*eight)(std::span<const float>, const float* const*, float*)>
void grid_by_rows(const float* const* a, std::size_t queries, std::size_t n, const float* const* b, std::size_t count,
                  float* out, std::size_t stride) {
    for (std::size_t j = 0; j < queries; ++j) {
        const std::span<const float> q(a[j], n);
        float* row = out + j * stride;
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) eight(q, b + i, row + i);
        for (; i + 4 <= count; i += 4) four(q, b + i, row + i);
        for (; i < count; ++i) row[i] = one(q, std::span<const float>(b[i], n));
    }
}

}  // namespace

DistanceKernels distance_kernels(Metric metric) {
    const bool dot = higher_is_better(metric);
    if (cpu_has_avx2_fma()) {
        if (cpu_has_avx512f())
            return dot ? DistanceKernels{dot_product_avx2, dot_product_avx2_x4, dot_product_avx2_x8,
                                         dot_product_avx512_grid}
                       : DistanceKernels{l2_squared_avx2, l2_squared_avx2_x4, l2_squared_avx2_x8,
                                         l2_squared_avx512_grid};
        return dot ? DistanceKernels{dot_product_avx2, dot_product_avx2_x4, dot_product_avx2_x8,
                                     grid_by_rows<dot_product_avx2, dot_product_avx2_x4, dot_product_avx2_x8>}
                   : DistanceKernels{l2_squared_avx2, l2_squared_avx2_x4, l2_squared_avx2_x8,
                                     grid_by_rows<l2_squared_avx2, l2_squared_avx2_x4, l2_squared_avx2_x8>};
    }
    return dot ? DistanceKernels{dot_product_4lane, each_of<4, dot_product_4lane>, each_of<8, dot_product_4lane>,
                                 grid_by_rows<dot_product_4lane, each_of<4, dot_product_4lane>,
                                              each_of<8, dot_product_4lane>>}
               : DistanceKernels{l2_squared_4lane, each_of<4, l2_squared_4lane>, each_of<8, l2_squared_4lane>,
                                 grid_by_rows<l2_squared_4lane, each_of<4, l2_squared_4lane>,
                                              each_of<8, l2_squared_4lane>>};
}

float distance(Metric metric, std::span<const float> a, std::span<const float> b) {
    const bool dot = higher_is_better(metric);
    if (cpu_has_avx2_fma()) return dot ? dot_product_avx2(a, b) : l2_squared_avx2(a, b);
    return dot ? dot_product_4lane(a, b) : l2_squared_4lane(a, b);
}

void distance4(Metric metric, std::span<const float> a, const float* const* b, float* out) {
    distance_kernels(metric).four(a, b, out);
}

std::vector<float> normalize(Metric metric, std::span<const float> v) {
    std::vector<float> out(v.begin(), v.end());
    normalize_in_place(metric, out);
    return out;
}

void normalize_in_place(Metric metric, std::span<float> v) {
    if (metric != Metric::Cosine) return;
    const std::size_t n = v.size();
    if (n == 0) return;
    const float norm = cpu_has_avx2_fma() ? l2_norm_avx2(v) : l2_norm_scalar(v);
    // Ordered comparison: a NaN norm goes on and turns every component to NaN.
    if (norm < kMinNorm) {
        std::fill(v.begin(), v.end(), 0.0f);
        return;
    }
    const float inv = 1.0f / norm;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) v[i + j] *= inv;
    }
    for (; i < n; ++i) v[i] *= inv;
}

}  // namespace tessello
