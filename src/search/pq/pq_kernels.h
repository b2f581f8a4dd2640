#pragma once
// The arithmetic shared by training, encoding and scoring. Every sum here is
// taken one term at a time in index order in f32, never fused or reordered,
// so a codebook and its codes are the same bits on every build and machine.
// The block forms compute many such sums side by side (one lane each); each
// lane still adds its terms in the same order as the one-at-a-time form. They
// run eight lanes wide where cpu_has_avx2_fma() holds and four otherwise,
// with the same results.
#include <cstdint>

namespace tessello {

// The largest finite f32, the starting "best" of every nearest-centroid scan
// and the starting minimum distance of the seeding.
inline constexpr float kLargestFloat = 3.4028235e38f;
// The most centroids one scan handles (codes are one byte).
inline constexpr std::uint64_t kMaxScanCentroids = 256;

// Sum over i < d of (a[i] - b[i])^2.
float pq_squared_distance(const float* a, const float* b, std::uint64_t d);

// Sum over i < d of a[i] x b[i].
float pq_dot_product(const float* a, const float* b, std::uint64_t d);

// k centroids of d floats (centroid c at c x d) laid out component-major into
// out (component t of centroid c at t x k + c), for the scans below.
void pq_transpose(const float* centroids, std::uint64_t k, std::uint64_t d, float* out);

// out[c] = pq_squared_distance(x, centroid c, d) and
// out[c] = pq_dot_product(x, centroid c, d), for every c < k, with the k
// centroids transposed (pq_transpose): the same bits, several centroids side
// by side.
void pq_squared_distances_transposed(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d,
                                     float* out);
void pq_dot_products_transposed(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d,
                                float* out);

// The index of the centroid nearest to x among k <= 256 transposed centroids,
// by squared distance: the result of scanning c upwards with a best value
// starting at kLargestFloat, replaced only when strictly smaller. So ties go
// to the lower index, NaN never wins, and 0 is returned when no distance is
// below kLargestFloat.
std::uint8_t pq_nearest_centroid(const float* x, const float* transposed, std::uint64_t k, std::uint64_t d);

// out[j] = squared distance of point j to `centroid`, for p points laid out
// component-major (component t of point j at t x p + j).
void pq_distances_to(const float* points_transposed, std::uint64_t p, const float* centroid, std::uint64_t d,
                     float* out);

}  // namespace tessello
