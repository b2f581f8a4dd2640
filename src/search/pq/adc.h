#pragma once
// Asymmetric distance computation: one query vector stays exact and is
// compared once with every centroid of every subspace (the table, m x 256
// values, entry s x 256 + c); a coded vector's score is then the sum of m
// table entries, in subspace order in f32 from 0. For Cosine and Dot the
// entries are dot products and the score approximates the query's dot
// product with the vector (higher is better); for L2 they are squared
// distances (lower is better).
#include <cstdint>
#include <span>
#include <vector>

#include "search/pq/codebook.h"
#include "search/pq/encode.h"

namespace tessello {

using AdcTable = std::vector<float>;

AdcTable build_adc_table(const PqCodebook& codebook, std::span<const float> query);

// The same table into out (m x 256 floats), from the codebook's transposed
// centroids (transposed_centroids), made once for many tables: no allocation.
void build_adc_table(const PqCodebook& codebook, std::span<const float> transposed, std::span<const float> query,
                     float* out);

// codes: one vector's row of m codes. The table has 256 entries per subspace.
inline float adc_score(std::span<const float> table, std::span<const std::uint8_t> codes) {
    float sum = 0.0f;
    for (std::size_t s = 0; s < codes.size(); ++s) sum += table[s * kPqCentroids + codes[s]];
    return sum;
}

// out[i] = adc_score of node nodes[i]'s row, for every i: the same values,
// computed several rows side by side.
void adc_scores(std::span<const float> table, const PqCodes& codes, std::span<const std::uint32_t> nodes, float* out);

}  // namespace tessello
