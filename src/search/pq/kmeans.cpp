// Every sum takes its terms in point or component order in f32, unfused, so
// the centroids are the same bits on every build.
#include "search/pq/kmeans.h"

#include <algorithm>

#include "search/pq/pq_kernels.h"

#include "search/no_fp_contract.h"

namespace tessello {
namespace {

void copy_point(std::span<const float> points, std::uint64_t j, std::uint64_t d, float* out) {
    std::copy_n(points.data() + j * d, d, out);
}

// Fills centroids 0..k-1 by the running-sum rule.
void seed_centroids(std::span<const float> points, std::uint64_t p, std::uint64_t k, std::uint64_t d,
                    std::vector<float>& centroids) {
    copy_point(points, 0, d, centroids.data());
    std::vector<float> transposed(p * d);
    pq_transpose(points.data(), p, d, transposed.data());
    std::vector<float> min_dist(p, kLargestFloat);
    std::vector<float> dist(p);
    // running[j]: the running sum of the minima up to point j, the one chain
    // of additions both the total and the walk need. Every minimum is at
    // least 0 (a sum of squares, or the starting largest float), so the
    // running sum never decreases and the walk's first point at or above the
    // target can be found by bisection.
    std::vector<float> running(p);
    for (std::uint64_t i = 1; i < k; ++i) {
        pq_distances_to(transposed.data(), p, centroids.data() + (i - 1) * d, d, dist.data());
        float sum = 0.0f;
        for (std::uint64_t j = 0; j < p; ++j) {
            if (dist[j] < min_dist[j]) min_dist[j] = dist[j];  // NaN leaves it as it was
            sum += min_dist[j];
            running[j] = sum;
        }
        const float total = sum;

        std::uint64_t chosen;
        if (!(total > 0.0f)) {
            chosen = i % p;
        } else {
            const float target = (static_cast<float>(i) / static_cast<float>(k)) * total;
            const auto reached = std::partition_point(running.begin(), running.end(),
                                                      [target](float r) { return !(r >= target); });
            // p - 1 when rounding (or a NaN total) keeps the sum below the target.
            chosen = reached == running.end() ? p - 1 : static_cast<std::uint64_t>(reached - running.begin());
        }
        copy_point(points, chosen, d, centroids.data() + i * d);
    }
}

void assign_and_update(std::span<const float> points, std::uint64_t p, std::uint64_t k, std::uint64_t d,
                       std::vector<float>& centroids, std::vector<float>& transposed,
                       std::vector<std::uint8_t>& assignment, std::vector<float>& sums,
                       std::vector<std::uint64_t>& counts) {
    pq_transpose(centroids.data(), k, d, transposed.data());
    for (std::uint64_t j = 0; j < p; ++j) {
        assignment[j] = pq_nearest_centroid(points.data() + j * d, transposed.data(), k, d);
    }
    std::fill(sums.begin(), sums.end(), 0.0f);
    std::fill(counts.begin(), counts.end(), 0);
    for (std::uint64_t j = 0; j < p; ++j) {
        const std::uint64_t c = assignment[j];
        const float* point = points.data() + j * d;
        float* sum = sums.data() + c * d;
        for (std::uint64_t t = 0; t < d; ++t) sum[t] += point[t];
        ++counts[c];
    }
    for (std::uint64_t c = 0; c < k; ++c) {
        if (counts[c] == 0) continue;
        const float count = static_cast<float>(counts[c]);
        for (std::uint64_t t = 0; t < d; ++t) centroids[c * d + t] = sums[c * d + t] / count;
    }
}

}  // namespace

std::vector<float> kmeans(std::span<const float> points, std::uint64_t k, std::uint64_t rounds, std::uint64_t d) {
    std::vector<float> centroids(k * d, 0.0f);
    const std::uint64_t p = d == 0 ? 0 : points.size() / d;
    if (p == 0 || k == 0) return centroids;

    seed_centroids(points, p, k, d, centroids);

    std::vector<std::uint8_t> assignment(p);
    std::vector<float> transposed(k * d);
    std::vector<float> sums(k * d);
    std::vector<std::uint64_t> counts(k);
    for (std::uint64_t r = 0; r < rounds; ++r) {
        assign_and_update(points, p, k, d, centroids, transposed, assignment, sums, counts);
    }
    return centroids;
}

}  // namespace tessello
