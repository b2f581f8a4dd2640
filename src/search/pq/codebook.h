#pragma once
// The product quantiser's shape and its training. A vector of `dimensions`
// floats is cut into num_subquantizers subspaces of subspace_dim consecutive
// components; each subspace gets 256 centroids, trained by kmeans on the
// first (at most) 10000 vectors only, so training cost is bounded whatever
// the collection's size. Subspaces train in parallel on the worker pool and
// are collected in subspace order: the codebook depends only on the vectors
// and their order, never on the pool size.
//
// Vectors are passed as one flat row-major array: vector i is the floats
// [i x dimensions, (i + 1) x dimensions).
#include <cstdint>
#include <span>
#include <vector>

#include "base/worker_pool.h"
#include "storage/metric.h"

namespace tessello {

inline constexpr std::uint64_t kPqCentroids = 256;

struct PqConfig {
    std::uint64_t num_subquantizers = 0;
    std::uint64_t num_centroids = kPqCentroids;
    std::uint64_t kmeans_iterations = 10;
    std::uint64_t max_training_samples = 10000;
};

struct PqCodebook {
    // Subspace-major: centroid c of subspace s is the subspace_dim floats
    // from (s x 256 + c) x subspace_dim.
    std::vector<float> centroids;
    std::uint64_t num_subquantizers = 0;
    std::uint64_t num_centroids = kPqCentroids;
    std::uint64_t subspace_dim = 0;
    bool inner_product = false;  // Cosine and Dot score by dot product, L2 by squared distance

    std::uint64_t dimensions() const { return num_subquantizers * subspace_dim; }
    const float* centroid(std::uint64_t s, std::uint64_t c) const {
        return centroids.data() + (s * num_centroids + c) * subspace_dim;
    }
};

// The centroids of every subspace laid out component-major for the scans of
// pq_kernels.h: subspace s's block of num_centroids x subspace_dim floats from
// s x num_centroids x subspace_dim, component t of centroid c at t x
// num_centroids + c within it.
std::vector<float> transposed_centroids(const PqCodebook& codebook);

// The first of 48, 32, 16 and 8 that divides the dimensions, else the
// dimensions themselves (one component per subspace). Always a divisor.
std::uint64_t choose_num_subquantizers(std::uint64_t dimensions);

// The codebook for the vectors (n x dimensions floats, in node order).
PqCodebook train_codebook(std::span<const float> vectors, std::uint64_t dimensions, Metric metric,
                          WorkerPool& pool = WorkerPool::global());
// The same for vectors wherever they lie: rows[i] points at vector i's
// `dimensions` floats.
PqCodebook train_codebook(std::span<const float* const> rows, std::uint64_t dimensions, Metric metric,
                          WorkerPool& pool = WorkerPool::global());

// The 256 x subspace_dim centroids of subspace s, trained on the subspace-s
// slices of the training vectors (each num_subquantizers x subspace_dim
// floats); zeros when there is no training vector.
std::vector<float> train_subspace(std::span<const float* const> training, std::uint64_t s,
                                  std::uint64_t subspace_dim, const PqConfig& config);

// Pointers to the rows of n x dimensions floats (none when dimensions is 0).
std::vector<const float*> rows_of(std::span<const float> vectors, std::uint64_t dimensions);

}  // namespace tessello
