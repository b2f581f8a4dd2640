#include "search/pq/codebook.h"

#include <algorithm>

#include "search/pq/kmeans.h"
#include "search/pq/pq_kernels.h"

namespace tessello {

std::vector<float> transposed_centroids(const PqCodebook& codebook) {
    const std::uint64_t k = codebook.num_centroids;
    const std::uint64_t d = codebook.subspace_dim;
    std::vector<float> out(codebook.centroids.size());
    for (std::uint64_t s = 0; s < codebook.num_subquantizers; ++s) {
        pq_transpose(codebook.centroid(s, 0), k, d, out.data() + s * k * d);
    }
    return out;
}

std::uint64_t choose_num_subquantizers(std::uint64_t dimensions) {
    for (const std::uint64_t m : {48u, 32u, 16u, 8u}) {
        if (dimensions % m == 0) return m;
    }
    return dimensions;
}

std::vector<const float*> rows_of(std::span<const float> vectors, std::uint64_t dimensions) {
    const std::uint64_t n = dimensions == 0 ? 0 : vectors.size() / dimensions;
    std::vector<const float*> rows(n);
    for (std::uint64_t i = 0; i < n; ++i) rows[i] = vectors.data() + i * dimensions;
    return rows;
}

std::vector<float> train_subspace(std::span<const float* const> training, std::uint64_t s,
                                  std::uint64_t subspace_dim, const PqConfig& config) {
    const std::uint64_t count = training.size();
    std::vector<float> points(count * subspace_dim);
    for (std::uint64_t j = 0; j < count; ++j) {
        std::copy_n(training[j] + s * subspace_dim, subspace_dim, points.data() + j * subspace_dim);
    }
    return kmeans(points, config.num_centroids, config.kmeans_iterations, subspace_dim);
}

PqCodebook train_codebook(std::span<const float> vectors, std::uint64_t dimensions, Metric metric, WorkerPool& pool) {
    const std::vector<const float*> rows = rows_of(vectors, dimensions);
    return train_codebook(std::span<const float* const>(rows), dimensions, metric, pool);
}

PqCodebook train_codebook(std::span<const float* const> rows, std::uint64_t dimensions, Metric metric,
                          WorkerPool& pool) {
    PqConfig config;
    config.num_subquantizers = choose_num_subquantizers(dimensions);
    const std::uint64_t m = config.num_subquantizers;
    const std::uint64_t subspace_dim = m == 0 ? 0 : dimensions / m;

    // No sampling: the first vectors in node order are the training set.
    const std::uint64_t used = dimensions == 0 ? 0 : std::min<std::uint64_t>(rows.size(), config.max_training_samples);
    const std::span<const float* const> training = rows.first(used);

    std::vector<std::vector<float>> per_subspace(m);
    pool.parallel_for(m, [&](std::uint64_t s) { per_subspace[s] = train_subspace(training, s, subspace_dim, config); });

    PqCodebook book;
    book.num_subquantizers = m;
    book.num_centroids = config.num_centroids;
    book.subspace_dim = subspace_dim;
    book.inner_product = metric == Metric::Cosine || metric == Metric::Dot;
    book.centroids.reserve(m * config.num_centroids * subspace_dim);
    for (const auto& part : per_subspace) book.centroids.insert(book.centroids.end(), part.begin(), part.end());
    return book;
}

}  // namespace tessello
