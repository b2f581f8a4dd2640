#pragma once
// The one scoring function and the one vector-preparation function of the
// system. A score is the raw kernel value: the dot product for Cosine and Dot,
// the squared Euclidean distance for L2 (and for any value beyond the three).
// Each call picks the wide kernels when the kept processor features have AVX2
// and FMA, the portable ones otherwise; within one process a pair of vectors
// always gets the same score. NaN and infinity flow through by the float rules.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "storage/metric.h"

namespace tessello {

// Scores a against b over the length of a. Callers pass vectors of equal
// length; should b be shorter, only its values are read. Allocates nothing.
float distance(Metric metric, std::span<const float> a, std::span<const float> b);

// Scores a against four vectors b[0..3], each holding a.size() values:
// out[j] = distance(metric, a, b[j]) bit for bit, computed side by side.
void distance4(Metric metric, std::span<const float> a, const float* const* b, float* out);

// The kernels distance and distance4 pick for metric, chosen once, so that a
// scan of many vectors asks for the processor features once rather than per
// vector: one(a, b) == distance(metric, a, b) and four(a, b, out) matches
// distance4(metric, a, b, out), bit for bit, in this process; eight(a, b,
// out) gives out[j] = one(a, b[j]) for eight vectors of a's length; grid(a,
// queries, n, b, count, out, stride) gives out[j * stride + i] =
// one(a[j] over n values, b[i]) for every query and vector, each vector
// holding at least n values (a scan of many queries loads each vector once
// for all of them where the processor allows).
struct DistanceKernels {
    float (*one)(std::span<const float> a, std::span<const float> b);
    void (*four)(std::span<const float> a, const float* const* b, float* out);
    void (*eight)(std::span<const float> a, const float* const* b, float* out);
    void (*grid)(const float* const* a, std::size_t queries, std::size_t n, const float* const* b, std::size_t count,
                 float* out, std::size_t stride);
};
DistanceKernels distance_kernels(Metric metric);

// A new vector of v's length: for Cosine v scaled by the reciprocal of its
// norm, or all zeros when the norm is below 2^-23 (a NaN norm gives all NaNs);
// for every other metric an exact copy of v.
std::vector<float> normalize(Metric metric, std::span<const float> v);
// The same values as normalize, written over v itself.
void normalize_in_place(Metric metric, std::span<float> v);

}  // namespace tessello
