#include "search/distance.h"

#include <cstddef>

#include "base/cpu_features.h"
#include "search/distance_kernels.h"

namespace tessello {
namespace {

// 2^-23, the f32 machine epsilon: norms below it count as the zero vector.
constexpr float kMinNorm = 1.1920929e-7f;

}  // namespace

float distance(Metric metric, std::span<const float> a, std::span<const float> b) {
    const bool dot = higher_is_better(metric);
    if (cpu_has_avx2_fma()) return dot ? dot_product_avx2(a, b) : l2_squared_avx2(a, b);
    return dot ? dot_product_4lane(a, b) : l2_squared_4lane(a, b);
}

void distance4(Metric metric, std::span<const float> a, const float* const* b, float* out) {
    const bool dot = higher_is_better(metric);
    if (cpu_has_avx2_fma()) {
        if (dot) {
            dot_product_avx2_x4(a, b, out);
        } else {
            l2_squared_avx2_x4(a, b, out);
        }
        return;
    }
    for (int j = 0; j < 4; ++j) {
        const std::span<const float> bj(b[j], a.size());
        out[j] = dot ? dot_product_4lane(a, bj) : l2_squared_4lane(a, bj);
    }
}

std::vector<float> normalize(Metric metric, std::span<const float> v) {
    if (metric != Metric::Cosine) return std::vector<float>(v.begin(), v.end());
    const std::size_t n = v.size();
    if (n == 0) return {};
    const float norm = cpu_has_avx2_fma() ? l2_norm_avx2(v) : l2_norm_scalar(v);
    // Ordered comparison: a NaN norm goes on and turns every component to NaN.
    if (norm < kMinNorm) return std::vector<float>(n, 0.0f);
    const float inv = 1.0f / norm;
    std::vector<float> out(n);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) out[i + j] = v[i + j] * inv;
    }
    for (; i < n; ++i) out[i] = v[i] * inv;
    return out;
}

}  // namespace tessello
