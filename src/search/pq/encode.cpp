#include "search/pq/encode.h"

#include "search/pq/pq_kernels.h"

namespace tessello {
namespace {

void encode_into(const PqCodebook& codebook, const std::vector<float>& transposed, const float* vector,
                 std::uint8_t* out) {
    const std::uint64_t k = codebook.num_centroids;
    const std::uint64_t d = codebook.subspace_dim;
    for (std::uint64_t s = 0; s < codebook.num_subquantizers; ++s) {
        out[s] = pq_nearest_centroid(vector + s * d, transposed.data() + s * k * d, k, d);
    }
}

}  // namespace

std::vector<std::uint8_t> pq_encode(const PqCodebook& codebook, std::span<const float> vector) {
    std::vector<std::uint8_t> codes(codebook.num_subquantizers);
    encode_into(codebook, transposed_centroids(codebook), vector.data(), codes.data());
    return codes;
}

PqCodes pq_encode_all(const PqCodebook& codebook, std::span<const float> vectors, WorkerPool& pool) {
    const std::vector<const float*> rows = rows_of(vectors, codebook.dimensions());
    return pq_encode_all(codebook, std::span<const float* const>(rows), pool);
}

PqCodes pq_encode_all(const PqCodebook& codebook, std::span<const float* const> rows, WorkerPool& pool) {
    const std::uint64_t m = codebook.num_subquantizers;
    PqCodes out;
    out.num_vectors = rows.size();
    out.num_subquantizers = m;
    out.codes.resize(out.num_vectors * m);
    const std::vector<float> transposed = transposed_centroids(codebook);
    // Each task writes only its own row.
    pool.parallel_for(out.num_vectors, [&](std::uint64_t i) {
        encode_into(codebook, transposed, rows[i], out.codes.data() + i * m);
    });
    return out;
}

}  // namespace tessello
