#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "base/cpu_features.h"
#include "base/worker_pool.h"
#include "search/pq/adc.h"
#include "search/pq/codebook.h"
#include "search/pq/encode.h"
#include "search/pq/kmeans.h"
#include "search/pq/pq_kernels.h"

// The reference sums below must round like the code under test: no fused
// multiply-adds.
#include "search/no_fp_contract.h"

namespace tessello {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<float> random_vectors(std::uint64_t n, std::uint64_t d, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(n * d);
    for (float& x : v) x = normal(rng);
    return v;
}

// Bit-for-bit equality of float lists (NaN included).
// Bit for bit, except that any NaN matches any NaN: which of two NaN operands
// a sum passes on (and so its sign) follows the operand order the compiler
// picks, which differs between optimised and unoptimised builds of the plain
// sums themselves, and nothing reads a NaN's sign or payload.
bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i])) continue;
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) return false;
    }
    return true;
}

// The nearest-centroid rule written the plain way: scan upwards from
// the largest finite float, replacing only on strictly smaller.
std::uint8_t plain_nearest(const PqCodebook& book, std::uint64_t s, const float* sub) {
    float best = 3.4028235e38f;
    std::uint8_t code = 0;
    for (std::uint64_t c = 0; c < book.num_centroids; ++c) {
        float sum = 0.0f;
        for (std::uint64_t t = 0; t < book.subspace_dim; ++t) {
            const float diff = sub[t] - book.centroid(s, c)[t];
            sum += diff * diff;
        }
        if (sum < best) {
            best = sum;
            code = static_cast<std::uint8_t>(c);
        }
    }
    return code;
}

// The kernel families this machine can run: the four-lane one always, the
// eight-lane one where AVX2 and FMA are there. Each entry is a feature word
// for exchange_cpu_features_for_testing.
std::vector<std::uint32_t> kernel_families() {
    std::vector<std::uint32_t> families = {0};
    const std::uint32_t wide = kCpuAvx2 | kCpuFma;
    if ((detect_cpu_features() & wide) == wide) families.push_back(wide);
    return families;
}

// Forces the kept feature word for one scope.
class ScopedCpuFeatures {
public:
    explicit ScopedCpuFeatures(std::uint32_t features) : saved_(exchange_cpu_features_for_testing(features)) {}
    ~ScopedCpuFeatures() { exchange_cpu_features_for_testing(saved_); }
    ScopedCpuFeatures(const ScopedCpuFeatures&) = delete;
    ScopedCpuFeatures& operator=(const ScopedCpuFeatures&) = delete;

private:
    std::uint32_t saved_;
};

// A one-subspace codebook of one-component centroids with the given values
// (the rest of the 256 far away at 1000).
PqCodebook line_codebook(std::initializer_list<std::pair<int, float>> values) {
    PqCodebook book;
    book.num_subquantizers = 1;
    book.subspace_dim = 1;
    book.centroids.assign(kPqCentroids, 1000.0f);
    for (const auto& [c, v] : values) book.centroids[c] = v;
    return book;
}

TEST(PqShapeTest, SubquantizersFromDimensions) {
    struct Case {
        std::uint64_t dims, m;
    };
    const Case cases[] = {{1536, 48}, {768, 48}, {384, 48}, {96, 48}, {1024, 32}, {512, 32}, {256, 32},
                          {128, 32},  {64, 32},  {80, 16},  {16, 16}, {40, 8},    {24, 8},   {8, 8},
                          {100, 100}, {3, 3},    {1, 1},    {7, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dims);
        EXPECT_EQ(choose_num_subquantizers(c.dims), c.m);
        EXPECT_EQ(c.dims % c.m, 0u);
    }
    // The codebook takes the shape: 768 -> 48 x 16, 128 -> 32 x 4, 24 -> 8 x 3, 100 -> 100 x 1.
    WorkerPool pool(2);
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{768, 16}, {128, 4}, {24, 3}, {100, 1}};
    for (const auto& [dims, sub] : shapes) {
        const PqCodebook book = train_codebook(random_vectors(3, dims, 1), dims, Metric::L2, pool);
        EXPECT_EQ(book.subspace_dim, sub);
        EXPECT_EQ(book.num_subquantizers * book.subspace_dim, dims);
        EXPECT_EQ(book.centroids.size(), book.num_subquantizers * 256 * sub);
    }
}

TEST(KmeansTest, SeedingWalksTheRunningSumThenRepeatsPoints) {
    const std::vector<float> points = {0.0f, 1.0f, 10.0f};
    // Centroid 0 = point 0; then the target 1/3 x 101 is first reached at
    // point 2; then 2/3 x 1 at point 1; then every point lies on a centroid
    // and centroids 3 and 4 repeat points 3 mod 3 and 4 mod 3.
    EXPECT_EQ(kmeans(points, 5, 0, 1), (std::vector<float>{0.0f, 10.0f, 1.0f, 0.0f, 1.0f}));
}

// The seeding written the plain way: the minima summed for the total, then
// summed again point by point until the target is reached.
std::vector<float> plain_seeds(const std::vector<float>& points, std::uint64_t k, std::uint64_t d) {
    const std::uint64_t p = points.size() / d;
    std::vector<float> centroids(k * d);
    std::copy_n(points.begin(), d, centroids.begin());
    std::vector<float> min_dist(p, 3.4028235e38f);
    for (std::uint64_t i = 1; i < k; ++i) {
        for (std::uint64_t j = 0; j < p; ++j) {
            float dist = 0.0f;
            for (std::uint64_t t = 0; t < d; ++t) {
                const float diff = points[j * d + t] - centroids[(i - 1) * d + t];
                dist += diff * diff;
            }
            if (dist < min_dist[j]) min_dist[j] = dist;
        }
        float total = 0.0f;
        for (const float m : min_dist) total += m;
        std::uint64_t chosen = i % p;
        if (total > 0.0f) {
            const float target = (static_cast<float>(i) / static_cast<float>(k)) * total;
            chosen = p - 1;
            float running = 0.0f;
            for (std::uint64_t j = 0; j < p; ++j) {
                running += min_dist[j];
                if (running >= target) {
                    chosen = j;
                    break;
                }
            }
        }
        std::copy_n(points.begin() + chosen * d, d, centroids.begin() + i * d);
    }
    return centroids;
}

TEST(KmeansTest, SeedingMatchesTheOneByOneWalk) {
    // Random points, points that repeat (minima of 0, so the running sum
    // stays level over stretches), and huge ones (the total overflows).
    struct Case {
        std::uint64_t p, k, d;
        int repeat_every;
        float scale;
    };
    const Case cases[] = {{1000, 256, 4, 0, 1.0f}, {700, 256, 2, 3, 1.0f}, {300, 256, 1, 2, 1.0f},
                          {2000, 64, 3, 0, 1.0e19f}, {5, 256, 4, 0, 1.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "p " << c.p << ", d " << c.d << ", scale " << c.scale);
        std::vector<float> points = random_vectors(c.p, c.d, 43);
        for (float& v : points) v *= c.scale;
        if (c.repeat_every > 0) {
            for (std::uint64_t j = 1; j < c.p; ++j) {
                if (j % c.repeat_every != 0) std::copy_n(points.begin() + (j - 1) * c.d, c.d, points.begin() + j * c.d);
            }
        }
        EXPECT_TRUE(same_bits(kmeans(points, c.k, 0, c.d), plain_seeds(points, c.k, c.d)));
    }
}

TEST(KmeansTest, RoundsAverageAssignedPointsAndKeepEmptyCentroids) {
    // Seeds 0 and 10; point 1 joins centroid 0.
    EXPECT_EQ(kmeans(std::vector<float>{0.0f, 1.0f, 10.0f}, 2, 1, 1), (std::vector<float>{0.5f, 10.0f}));
    // Seeds 5, 10, 5: point 5 ties between centroids 0 and 2 and goes to 0,
    // so centroid 2 gets no point and keeps its value.
    EXPECT_EQ(kmeans(std::vector<float>{5.0f, 10.0f}, 3, 3, 1), (std::vector<float>{5.0f, 10.0f, 5.0f}));
    // No point at all: zeros.
    EXPECT_EQ(kmeans(std::vector<float>{}, 3, 10, 2), std::vector<float>(6, 0.0f));
}

TEST(KmeansTest, NaNPointsNeverWinButDoNotStopTraining) {
    // Centroid 0 is the NaN point; every distance to it is NaN and leaves the
    // minima at the largest float, so the total overflows to infinity and
    // the walk stops at point 1. The NaN point is assigned to centroid 0.
    const std::vector<float> got = kmeans(std::vector<float>{kNaN, 1.0f, 2.0f}, 2, 1, 1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(std::isnan(got[0]));
    EXPECT_EQ(got[1], 1.5f);
}

TEST(PqTrainingTest, FiftyDistinctVectorsSeedFiftyCentroidsThenRepeat) {
    const std::uint64_t dims = 24;  // 8 subspaces of 3
    const std::uint64_t n = 50;
    std::vector<float> vectors = random_vectors(n, dims, 7);
    WorkerPool pool(4);
    const PqCodebook book = train_codebook(vectors, dims, Metric::L2, pool);
    ASSERT_EQ(book.num_subquantizers, 8u);
    for (std::uint64_t s = 0; s < 8; ++s) {
        SCOPED_TRACE(s);
        const auto sub = [&](std::uint64_t j) {
            return std::vector<float>(vectors.begin() + j * dims + s * 3, vectors.begin() + j * dims + s * 3 + 3);
        };
        const auto centroid = [&](std::uint64_t c) {
            return std::vector<float>(book.centroid(s, c), book.centroid(s, c) + 3);
        };
        std::set<std::vector<float>> firsts, points;
        for (std::uint64_t c = 0; c < 50; ++c) firsts.insert(centroid(c));
        for (std::uint64_t j = 0; j < n; ++j) points.insert(sub(j));
        EXPECT_EQ(firsts, points);  // the 50 points, each once
        EXPECT_EQ(centroid(0), sub(0));
        for (std::uint64_t c = 50; c < 256; ++c) ASSERT_EQ(centroid(c), sub(c % 50)) << c;
    }
}

TEST(PqTrainingTest, OnlyTheFirstTenThousandVectorsTrainButAllAreEncoded) {
    const std::uint64_t dims = 2;
    std::vector<float> all = random_vectors(25000, dims, 3);
    const std::vector<float> first(all.begin(), all.begin() + 10000 * dims);
    WorkerPool pool(8);
    const PqCodebook book = train_codebook(all, dims, Metric::L2, pool);
    EXPECT_TRUE(same_bits(book.centroids, train_codebook(first, dims, Metric::L2, pool).centroids));
    // Changing a vector past the first 10000 changes nothing.
    all[20000 * dims] = 1e6f;
    EXPECT_TRUE(same_bits(book.centroids, train_codebook(all, dims, Metric::L2, pool).centroids));

    const PqCodes codes = pq_encode_all(book, all, pool);
    ASSERT_EQ(codes.num_vectors, 25000u);
    ASSERT_EQ(codes.num_subquantizers, 2u);
    ASSERT_EQ(codes.codes.size(), 50000u);
    for (const std::uint64_t i : {0u, 9999u, 10000u, 20000u, 24999u}) {
        const std::span<const float> v(all.data() + i * dims, dims);
        EXPECT_EQ(std::vector<std::uint8_t>(codes.row(i).begin(), codes.row(i).end()), pq_encode(book, v)) << i;
    }
}

TEST(PqTrainingTest, SameResultWithAnyPoolSize) {
    const std::uint64_t dims = 40;  // 8 subspaces of 5
    const std::vector<float> vectors = random_vectors(800, dims, 11);
    WorkerPool one(1), eight(8);
    const PqCodebook a = train_codebook(vectors, dims, Metric::Dot, one);
    const PqCodebook b = train_codebook(vectors, dims, Metric::Dot, eight);
    EXPECT_TRUE(same_bits(a.centroids, b.centroids));
    EXPECT_TRUE(a.inner_product);
    EXPECT_EQ(pq_encode_all(a, vectors, one).codes, pq_encode_all(b, vectors, eight).codes);
    // And on every run.
    EXPECT_TRUE(same_bits(a.centroids, train_codebook(vectors, dims, Metric::Dot, eight).centroids));
}

TEST(PqEncodeTest, NearestCentroidWithTiesToTheLowerIndex) {
    // 2.0 is at distance 1 from both 1.0 (centroid 3) and 3.0 (centroid 7).
    EXPECT_EQ(pq_encode(line_codebook({{3, 1.0f}, {7, 3.0f}}), std::vector<float>{2.0f}),
              std::vector<std::uint8_t>{3});
    EXPECT_EQ(pq_encode(line_codebook({{7, 3.0f}, {200, 1.0f}}), std::vector<float>{2.0f}),
              std::vector<std::uint8_t>{7});
    // A NaN centroid never wins, even first.
    EXPECT_EQ(pq_encode(line_codebook({{0, kNaN}, {255, 2.5f}}), std::vector<float>{2.0f}),
              std::vector<std::uint8_t>{255});
}

TEST(PqEncodeTest, NaNAndInfiniteSubspacesGetCodeZero) {
    const std::uint64_t dims = 8;
    WorkerPool pool(2);
    const PqCodebook book = train_codebook(random_vectors(400, dims, 5), dims, Metric::L2, pool);
    const std::vector<float> all_nan(dims, kNaN);
    EXPECT_EQ(pq_encode(book, all_nan), std::vector<std::uint8_t>(8, 0));
    // Only subspaces 2 and 5 are unusable: distances infinite or NaN.
    std::vector<float> mixed = random_vectors(1, dims, 9);
    mixed[2] = kInf;
    mixed[5] = kNaN;
    const std::vector<std::uint8_t> codes = pq_encode(book, mixed);
    EXPECT_EQ(codes[2], 0);
    EXPECT_EQ(codes[5], 0);
    for (std::uint64_t s : {0u, 1u, 3u, 4u, 6u, 7u}) EXPECT_EQ(codes[s], plain_nearest(book, s, &mixed[s])) << s;
}

TEST(PqEncodeTest, CodesMatchThePlainScanForEveryVector) {
    const std::uint64_t dims = 64;  // 32 subspaces of 2
    WorkerPool pool(4);
    std::vector<float> vectors = random_vectors(600, dims, 21);
    const PqCodebook book = train_codebook(vectors, dims, Metric::L2, pool);
    // An all-zero vector and one made of rounded values (ties more likely).
    std::vector<float> extra(2 * dims, 0.0f);
    for (std::uint64_t t = 0; t < dims; ++t) extra[dims + t] = std::round(vectors[t]);
    vectors.insert(vectors.end(), extra.begin(), extra.end());

    const PqCodes codes = pq_encode_all(book, vectors, pool);
    for (std::uint64_t i = 0; i < codes.num_vectors; ++i) {
        for (std::uint64_t s = 0; s < 32; ++s) {
            ASSERT_EQ(codes.row(i)[s], plain_nearest(book, s, &vectors[i * dims + s * 2])) << i << " " << s;
        }
    }
}

TEST(PqEncodeTest, EveryKernelFamilyFindsThePlainScansCentroid) {
    // Centroid counts on and off the widths of the side-by-side blocks (8 and
    // 16), subspace widths 1 to 8; centroids that repeat (ties across blocks
    // and lanes), NaN or infinite components, and distances at or past the
    // largest float.
    struct Case {
        std::uint64_t k;
        std::uint64_t d;
    };
    const Case cases[] = {{1, 1},   {5, 2},   {8, 4},   {9, 3},   {15, 1},  {16, 4},  {17, 2},
                          {24, 5},  {31, 8},  {40, 3},  {255, 4}, {256, 1}, {256, 4}, {256, 6}};
    const float specials[] = {kNaN, kInf, -kInf, 3.0e38f, -3.0e38f};
    std::mt19937 rng(41);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "k " << c.k << ", d " << c.d);
        // Small integers, so that many distances tie exactly.
        std::vector<float> centroids(c.k * c.d);
        for (float& v : centroids) v = static_cast<float>(static_cast<int>(rng() % 5) - 2);
        for (std::size_t i = 3; i < centroids.size(); i += 11) centroids[i] = specials[rng() % std::size(specials)];
        std::vector<float> transposed(centroids.size());
        pq_transpose(centroids.data(), c.k, c.d, transposed.data());
        std::vector<std::vector<float>> points;
        for (int q = 0; q < 40; ++q) {
            std::vector<float> x(c.d);
            for (float& v : x) v = static_cast<float>(static_cast<int>(rng() % 7) - 3) * 0.5f;
            points.push_back(x);
        }
        points.push_back(std::vector<float>(c.d, kNaN));
        points.push_back(std::vector<float>(c.d, 2.0e19f));  // every distance overflows
        for (const std::vector<float>& x : points) {
            float best = 3.4028235e38f;
            std::uint8_t want = 0;
            for (std::uint64_t j = 0; j < c.k; ++j) {
                float sum = 0.0f;
                for (std::uint64_t t = 0; t < c.d; ++t) {
                    const float diff = x[t] - centroids[j * c.d + t];
                    sum += diff * diff;
                }
                if (sum < best) {
                    best = sum;
                    want = static_cast<std::uint8_t>(j);
                }
            }
            for (const std::uint32_t family : kernel_families()) {
                const ScopedCpuFeatures forced(family);
                ASSERT_EQ(pq_nearest_centroid(x.data(), transposed.data(), c.k, c.d), want)
                    << "features " << family << ", x[0] " << x[0];
            }
        }
    }
}

TEST(PqAdcTest, VectorMadeOfCentroidsScoresZeroUnderL2) {
    const std::uint64_t dims = 32;  // 32 subspaces of 1
    WorkerPool pool(2);
    const PqCodebook book = train_codebook(random_vectors(300, dims, 13), dims, Metric::L2, pool);
    std::vector<float> v;
    for (std::uint64_t s = 0; s < 32; ++s) {
        const float* c = book.centroid(s, (s * 37) % 256);
        v.insert(v.end(), c, c + book.subspace_dim);
    }
    const AdcTable table = build_adc_table(book, v);
    ASSERT_EQ(table.size(), 32u * 256u);
    EXPECT_EQ(adc_score(table, pq_encode(book, v)), 0.0f);
}

TEST(PqAdcTest, InnerProductTableSumsDotProductsInSubspaceOrder) {
    const std::uint64_t dims = 16;  // 16 subspaces of 1
    WorkerPool pool(2);
    const std::vector<float> vectors = random_vectors(500, dims, 17);
    const PqCodebook book = train_codebook(vectors, dims, Metric::Cosine, pool);
    ASSERT_TRUE(book.inner_product);
    const std::span<const float> query(vectors.data(), dims);
    const AdcTable table = build_adc_table(book, query);
    const PqCodes codes = pq_encode_all(book, vectors, pool);

    std::vector<std::uint32_t> nodes;
    for (std::uint32_t i = 0; i < 20; ++i) nodes.push_back(i * 7);
    std::vector<float> batch(nodes.size());
    adc_scores(table, codes, nodes, batch.data());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        float want = 0.0f;
        for (std::uint64_t s = 0; s < 16; ++s) want += query[s] * book.centroid(s, codes.row(nodes[i])[s])[0];
        EXPECT_EQ(adc_score(table, codes.row(nodes[i])), want);
        EXPECT_EQ(batch[i], want);  // the batched form gives the same bits
    }
}

TEST(PqAdcTest, TableEntriesAreThePlainSumsToTheBit) {
    // Centroid counts around the width of the side-by-side form, subspaces of
    // several widths, and components that are NaN, infinite or signed zeros.
    struct Case {
        std::uint64_t k;
        std::uint64_t d;
    };
    const Case cases[] = {{1, 1},  {3, 2},  {4, 4},  {5, 3},   {7, 8},   {9, 5},
                          {31, 2}, {33, 3}, {45, 1}, {256, 4}, {256, 16}};
    const float specials[] = {kNaN, kInf, -kInf, -0.0f, 0.0f, 3.0e38f};
    std::mt19937 rng(23);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "k " << c.k << ", d " << c.d);
        std::vector<float> centroids = random_vectors(c.k, c.d, 29 + static_cast<std::uint32_t>(c.k));
        std::vector<float> x = random_vectors(1, c.d, 31);
        for (std::size_t i = 0; i < centroids.size(); i += 7) centroids[i] = specials[rng() % std::size(specials)];
        if (c.d > 2) x[1] = -0.0f;
        std::vector<float> want_l2(c.k), want_dot(c.k), got_l2(c.k), got_dot(c.k);
        for (std::uint64_t j = 0; j < c.k; ++j) {
            float l2 = 0.0f;
            float dot = 0.0f;
            for (std::uint64_t t = 0; t < c.d; ++t) {
                const float diff = x[t] - centroids[j * c.d + t];
                l2 += diff * diff;
                dot += x[t] * centroids[j * c.d + t];
            }
            want_l2[j] = l2;
            want_dot[j] = dot;
        }
        std::vector<float> transposed(centroids.size());
        pq_transpose(centroids.data(), c.k, c.d, transposed.data());
        for (const std::uint32_t family : kernel_families()) {
            SCOPED_TRACE(::testing::Message() << "features " << family);
            const ScopedCpuFeatures forced(family);
            pq_squared_distances_transposed(x.data(), transposed.data(), c.k, c.d, got_l2.data());
            pq_dot_products_transposed(x.data(), transposed.data(), c.k, c.d, got_dot.data());
            EXPECT_TRUE(same_bits(got_l2, want_l2));
            EXPECT_TRUE(same_bits(got_dot, want_dot));
        }
    }

    // The whole table, for both kinds of codebook.
    for (const Metric metric : {Metric::L2, Metric::Dot}) {
        SCOPED_TRACE(static_cast<int>(metric));
        const std::uint64_t dims = 24;  // 8 subspaces of 3
        WorkerPool pool(2);
        const std::vector<float> vectors = random_vectors(400, dims, 37);
        const PqCodebook book = train_codebook(vectors, dims, metric, pool);
        const std::span<const float> query(vectors.data() + dims, dims);
        std::vector<float> want;
        for (std::uint64_t s = 0; s < book.num_subquantizers; ++s) {
            for (std::uint64_t j = 0; j < book.num_centroids; ++j) {
                const float* sub = query.data() + s * book.subspace_dim;
                float sum = 0.0f;
                for (std::uint64_t t = 0; t < book.subspace_dim; ++t) {
                    const float cj = book.centroid(s, j)[t];
                    sum += book.inner_product ? sub[t] * cj : (sub[t] - cj) * (sub[t] - cj);
                }
                want.push_back(sum);
            }
        }
        for (const std::uint32_t family : kernel_families()) {
            const ScopedCpuFeatures forced(family);
            EXPECT_TRUE(same_bits(build_adc_table(book, query), want)) << "features " << family;
        }
    }
}

}  // namespace
}  // namespace tessello
