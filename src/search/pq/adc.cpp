#include "search/pq/adc.h"

#include <cstring>

#include "search/pq/pq_kernels.h"

namespace tessello {

AdcTable build_adc_table(const PqCodebook& codebook, std::span<const float> query) {
    AdcTable table(codebook.num_subquantizers * codebook.num_centroids);
    build_adc_table(codebook, transposed_centroids(codebook), query, table.data());
    return table;
}

void build_adc_table(const PqCodebook& codebook, std::span<const float> transposed, std::span<const float> query,
                     float* out) {
    const std::uint64_t m = codebook.num_subquantizers;
    const std::uint64_t k = codebook.num_centroids;
    const std::uint64_t d = codebook.subspace_dim;
    for (std::uint64_t s = 0; s < m; ++s) {
        const float* sub = query.data() + s * d;
        const float* centroids = transposed.data() + s * k * d;
        float* row = out + s * k;
        if (codebook.inner_product) {
            pq_dot_products_transposed(sub, centroids, k, d, row);
        } else {
            pq_squared_distances_transposed(sub, centroids, k, d, row);
        }
    }
}

void adc_scores(std::span<const float> table, const PqCodes& codes, std::span<const std::uint32_t> nodes, float* out) {
    // Eight independent sums hide the latency of each one's chain of
    // additions, and codes are read eight at a time; every sum still takes
    // its subspaces in order from 0.
    constexpr std::size_t kLanes = 8;
    const std::size_t m = codes.num_subquantizers;
    const float* t = table.data();
    std::size_t i = 0;
    for (; i + kLanes <= nodes.size(); i += kLanes) {
        const std::uint8_t* row[kLanes];
        float sum[kLanes];
#pragma GCC unroll 8
        for (std::size_t j = 0; j < kLanes; ++j) {
            row[j] = codes.codes.data() + static_cast<std::size_t>(nodes[i + j]) * m;
            sum[j] = 0.0f;
        }
        std::size_t s = 0;
        for (; s + 8 <= m; s += 8) {
            std::uint64_t word[kLanes];
#pragma GCC unroll 8
            for (std::size_t j = 0; j < kLanes; ++j) std::memcpy(&word[j], row[j] + s, 8);
#pragma GCC unroll 8
            for (std::size_t b = 0; b < 8; ++b) {
                const float* part = t + (s + b) * kPqCentroids;
#pragma GCC unroll 8
                for (std::size_t j = 0; j < kLanes; ++j) sum[j] += part[(word[j] >> (8 * b)) & 0xFF];
            }
        }
        for (; s < m; ++s) {
            const float* part = t + s * kPqCentroids;
#pragma GCC unroll 8
            for (std::size_t j = 0; j < kLanes; ++j) sum[j] += part[row[j][s]];
        }
#pragma GCC unroll 8
        for (std::size_t j = 0; j < kLanes; ++j) out[i + j] = sum[j];
    }
    for (; i < nodes.size(); ++i) out[i] = adc_score(table, codes.row(nodes[i]));
}

}  // namespace tessello
