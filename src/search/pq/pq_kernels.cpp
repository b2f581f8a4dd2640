// The sums must not be contracted into fused multiply-adds (that changes the
// rounding); the pragmas forbid it whatever flags the build adds. The block
// loops use 4-lane vectors (GCC/Clang vector extension): + - * act lane by
// lane with ordinary IEEE rounding, which is exactly the per-sum arithmetic
// required; on narrower targets they are lowered to narrower operations.
#include "search/pq/pq_kernels.h"

#include <cstring>

#include "base/cpu_features.h"
#include "search/pq/pq_kernels_avx2.h"

#include "search/no_fp_contract.h"
#include "search/kernel_terms.h"

namespace tessello {
namespace {

typedef float Vec4 __attribute__((vector_size(16)));
typedef std::int32_t IVec4 __attribute__((vector_size(16)));

inline Vec4 load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(float* p, Vec4 v) { std::memcpy(p, &v, sizeof v); }

// Lane-wise: v where v < best, else best (a NaN lane of v compares false).
inline Vec4 keep_smaller(Vec4 best, Vec4 v) {
    const IVec4 smaller = v < best;
    return reinterpret_cast<Vec4>((reinterpret_cast<IVec4>(v) & smaller) | (reinterpret_cast<IVec4>(best) & ~smaller));
}

}  // namespace

float pq_squared_distance(const float* a, const float* b, std::uint64_t d) {
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < d; ++i) {
        const float diff = a[i] - b[i];
        sum += diff * diff;
    }
    return sum;
}

float pq_dot_product(const float* a, const float* b, std::uint64_t d) {
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < d; ++i) sum += a[i] * b[i];
    return sum;
}

namespace {

// Scores eight, then four consecutive centroids at a time from their
// transposed components, each sum over its components in order:
// acc + term(x[t], column) per component, then one at a time for the
// centroids left over.
template <class Term, class One>
inline void score_transposed_4lane(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d,
                                   float* out, Term term, One one) {
    std::uint64_t c = 0;
    for (; c + 8 <= k; c += 8) {
        Vec4 acc_a = {0, 0, 0, 0};
        Vec4 acc_b = {0, 0, 0, 0};
        const float* column = transposed + c;
        for (std::uint64_t t = 0; t < d; ++t, column += k) {
            const float xt = x[t];
            const Vec4 xv = {xt, xt, xt, xt};
            acc_a = acc_a + term(xv, load4(column));
            acc_b = acc_b + term(xv, load4(column + 4));
        }
        store4(out + c, acc_a);
        store4(out + c + 4, acc_b);
    }
    for (; c + 4 <= k; c += 4) {
        Vec4 acc = {0, 0, 0, 0};
        const float* column = transposed + c;
        for (std::uint64_t t = 0; t < d; ++t, column += k) {
            const float xt = x[t];
            acc = acc + term(Vec4{xt, xt, xt, xt}, load4(column));
        }
        store4(out + c, acc);
    }
    for (; c < k; ++c) {
        float sum = 0.0f;
        for (std::uint64_t t = 0; t < d; ++t) sum += one(x[t], transposed[t * k + c]);
        out[c] = sum;
    }
}

}  // namespace

void pq_squared_distances_transposed(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d,
                                     float* out) {
    if (cpu_has_avx2_fma()) return pq_squared_distances_transposed_avx2(x, transposed, k, d, out);
    score_transposed_4lane(x, transposed, k, d, out, [](Vec4 xs, Vec4 cs) {
        const Vec4 diff = xs - cs;
        return diff * diff;
    }, squared_difference_term);
}

void pq_dot_products_transposed(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d,
                                float* out) {
    if (cpu_has_avx2_fma()) return pq_dot_products_transposed_avx2(x, transposed, k, d, out);
    score_transposed_4lane(x, transposed, k, d, out, [](Vec4 xs, Vec4 cs) { return xs * cs; }, product_term);
}

void pq_transpose(const float* centroids, std::uint64_t k, std::uint64_t d, float* out) {
    for (std::uint64_t c = 0; c < k; ++c) {
        for (std::uint64_t t = 0; t < d; ++t) out[t * k + c] = centroids[c * d + t];
    }
}

void pq_distances_to(const float* points_transposed, std::uint64_t p, const float* centroid, std::uint64_t d,
                     float* out) {
    std::memset(out, 0, p * sizeof(float));
    for (std::uint64_t t = 0; t < d; ++t) {
        const float* row = points_transposed + t * p;
        const float ct = centroid[t];
        const Vec4 cv = {ct, ct, ct, ct};
        std::uint64_t j = 0;
        for (; j + 4 <= p; j += 4) {
            const Vec4 diff = load4(row + j) - cv;
            store4(out + j, load4(out + j) + diff * diff);
        }
        for (; j < p; ++j) {
            const float diff = row[j] - ct;
            out[j] += diff * diff;
        }
    }
}

std::uint8_t pq_nearest_centroid(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d) {
    if (cpu_has_avx2_fma()) return pq_nearest_centroid_avx2(x, transposed, k, d);
    alignas(16) float dist[kMaxScanCentroids];
    const std::uint64_t stride = k;
    if (k > kMaxScanCentroids) k = kMaxScanCentroids;

    // Eight centroids at a time in two 4-lane sums kept in registers across
    // the components; alongside, the lane-wise smallest distance so far.
    const Vec4 largest = {kLargestFloat, kLargestFloat, kLargestFloat, kLargestFloat};
    Vec4 best_a = largest;
    Vec4 best_b = largest;
    std::uint64_t c = 0;
    for (; c + 8 <= k; c += 8) {
        Vec4 acc_a = {0, 0, 0, 0};
        Vec4 acc_b = {0, 0, 0, 0};
        const float* column = transposed + c;
        for (std::uint64_t t = 0; t < d; ++t, column += stride) {
            const float xt = x[t];
            const Vec4 xv = {xt, xt, xt, xt};
            const Vec4 diff_a = xv - load4(column);
            const Vec4 diff_b = xv - load4(column + 4);
            acc_a = acc_a + diff_a * diff_a;
            acc_b = acc_b + diff_b * diff_b;
        }
        store4(dist + c, acc_a);
        store4(dist + c + 4, acc_b);
        best_a = keep_smaller(best_a, acc_a);
        best_b = keep_smaller(best_b, acc_b);
    }
    const std::uint64_t vector_end = c;
    for (; c < k; ++c) {
        float sum = 0.0f;
        for (std::uint64_t t = 0; t < d; ++t) {
            const float diff = x[t] - transposed[t * stride + c];
            sum += diff * diff;
        }
        dist[c] = sum;
    }

    // The smallest distance below kLargestFloat, then the first index that
    // holds it: the same answer as the one-by-one scan with a strictly-smaller
    // rule (sums of squares are never -0, so equal means the same value).
    const Vec4 best4 = keep_smaller(best_a, best_b);
    float best = kLargestFloat;
    for (int lane = 0; lane < 4; ++lane) {
        if (best4[lane] < best) best = best4[lane];
    }
    for (c = vector_end; c < k; ++c) {
        if (dist[c] < best) best = dist[c];
    }
    if (!(best < kLargestFloat)) return 0;
    for (c = 0; c < k; ++c) {
        if (dist[c] == best) return static_cast<std::uint8_t>(c);
    }
    return 0;
}

}  // namespace tessello
