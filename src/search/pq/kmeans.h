#pragma once
// kmeans: deterministic k-means over points of d floats (no random numbers).
// Seeding picks centroid 0 = point 0, then each further centroid by walking
// the points' running sum of minimum squared distances up to (i / k) x total;
// when every point already lies on a centroid (total not above 0) centroid i
// repeats point i mod p. Then exactly `rounds` rounds of assignment (nearest
// centroid, ties to the lower index, NaN never wins) and update (mean of the
// assigned points; a centroid without points keeps its value).
#include <cstdint>
#include <span>
#include <vector>

namespace tessello {

// points: p x d floats, point j at j x d (p = points.size() / d). k is at
// most 256. Returns k x d floats; all zeros when there is no point.
std::vector<float> kmeans(std::span<const float> points, std::uint64_t k, std::uint64_t rounds, std::uint64_t d);

}  // namespace tessello
