#include "search/pq/codebook.h"

#include <algorithm>

#include "search/pq/kmeans.h"

namespace tessello {

std::uint64_t choose_num_subquantizers(std::uint64_t dimensions) {
    for (const std::uint64_t m : {48u, 32u, 16u, 8u}) {
        if (dimensions % m == 0) return m;
    }
    return dimensions;
}

std::vector<float> train_subspace(std::span<const float> training, std::uint64_t s, std::uint64_t subspace_dim,
                                  const PqConfig& config) {
    const std::uint64_t row = config.num_subquantizers * subspace_dim;
    const std::uint64_t count = row == 0 ? 0 : training.size() / row;
    std::vector<float> points(count * subspace_dim);
    for (std::uint64_t j = 0; j < count; ++j) {
        std::copy_n(training.data() + j * row + s * subspace_dim, subspace_dim, points.data() + j * subspace_dim);
    }
    return kmeans(points, config.num_centroids, config.kmeans_iterations, subspace_dim);
}

PqCodebook train_codebook(std::span<const float> vectors, std::uint64_t dimensions, Metric metric, WorkerPool& pool) {
    PqConfig config;
    config.num_subquantizers = choose_num_subquantizers(dimensions);
    const std::uint64_t m = config.num_subquantizers;
    const std::uint64_t subspace_dim = m == 0 ? 0 : dimensions / m;

    // No sampling: the first vectors in node order are the training set.
    const std::uint64_t n = dimensions == 0 ? 0 : vectors.size() / dimensions;
    const std::uint64_t used = std::min(n, config.max_training_samples);
    const std::span<const float> training = vectors.first(used * dimensions);

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
