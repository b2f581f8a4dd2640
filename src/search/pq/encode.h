#pragma once
// Encoding vectors into product-quantiser codes: code s of a vector is the
// index of the centroid of subspace s nearest to the vector's subspace s by
// squared distance, whatever the metric (ties to the lower index; NaN
// distances never win, so a subspace with only NaN distances gets code 0).
// pq_encode_all encodes on the worker pool and stores row i at i x m, so the
// codes never depend on the pool size.
#include <cstdint>
#include <span>
#include <vector>

#include "base/worker_pool.h"
#include "search/pq/codebook.h"

namespace tessello {

struct PqCodes {
    std::vector<std::uint8_t> codes;  // row-major: vector i's m codes at i x m
    std::uint64_t num_vectors = 0;
    std::uint64_t num_subquantizers = 0;

    std::span<const std::uint8_t> row(std::uint64_t i) const {
        return {codes.data() + i * num_subquantizers, static_cast<std::size_t>(num_subquantizers)};
    }
};

// The m codes of one vector of the codebook's dimensions.
std::vector<std::uint8_t> pq_encode(const PqCodebook& codebook, std::span<const float> vector);

// The codes of n vectors (n x dimensions floats, row-major).
PqCodes pq_encode_all(const PqCodebook& codebook, std::span<const float> vectors,
                      WorkerPool& pool = WorkerPool::global());
// The same for vectors wherever they lie: rows[i] points at vector i's floats.
PqCodes pq_encode_all(const PqCodebook& codebook, std::span<const float* const> rows,
                      WorkerPool& pool = WorkerPool::global());

}  // namespace tessello
