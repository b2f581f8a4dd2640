#include "search/distance.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "base/cpu_features.h"
#include "search/distance_kernels.h"

// The reference loops below must keep every product separately rounded, like
// the kernels they check.
#include "search/no_fp_contract.h"

namespace tessello {
namespace {

using Span = std::span<const float>;

// The metric by its stored index, values beyond the three included: every
// one of those scores as L2 and is copied unchanged by normalize.
float distance(int code, Span a, Span b) { return tessello::distance(static_cast<Metric>(code), a, b); }
std::vector<float> normalize(int code, Span v) { return tessello::normalize(static_cast<Metric>(code), v); }

// ---- Reference orders, written out plainly ---------------------------------

float ref_dot_4lane(Span a, Span b) {
    const std::size_t n = a.size(), c = n / 4;
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t j = 0; j < c; ++j)
        for (std::size_t l = 0; l < 4; ++l) s[l] = s[l] + a[4 * j + l] * b[4 * j + l];
    float h = (s[0] + s[2]) + (s[1] + s[3]);
    for (std::size_t i = 4 * c; i < n; ++i) h = h + a[i] * b[i];
    return h;
}

float ref_l2_4lane(Span a, Span b) {
    const std::size_t n = a.size(), c = n / 4;
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t j = 0; j < c; ++j) {
        for (std::size_t l = 0; l < 4; ++l) {
            const float d = a[4 * j + l] - b[4 * j + l];
            s[l] = s[l] + d * d;
        }
    }
    float h = (s[0] + s[2]) + (s[1] + s[3]);
    for (std::size_t i = 4 * c; i < n; ++i) {
        const float d = a[i] - b[i];
        h = h + d * d;
    }
    return h;
}

float ref_norm_scalar(Span v) {
    float s = 0.0f;
    for (float x : v) s = s + x * x;
    return std::sqrt(s);
}

float reduce8(const float (&t)[8]) {
    float u[4];
    for (int l = 0; l < 4; ++l) u[l] = t[l] + t[l + 4];
    return (u[0] + u[2]) + (u[1] + u[3]);
}

float ref_dot_wide(Span a, Span b) {
    const std::size_t n = a.size(), c = n / 8;
    float t[8] = {};
    for (std::size_t j = 0; j < c; ++j)
        for (std::size_t l = 0; l < 8; ++l) t[l] = std::fma(a[8 * j + l], b[8 * j + l], t[l]);
    float h = reduce8(t);
    for (std::size_t i = 8 * c; i < n; ++i) h = h + a[i] * b[i];
    return h;
}

float ref_l2_wide(Span a, Span b) {
    const std::size_t n = a.size(), c = n / 8;
    float t[8] = {};
    for (std::size_t j = 0; j < c; ++j) {
        for (std::size_t l = 0; l < 8; ++l) {
            const float d = a[8 * j + l] - b[8 * j + l];
            t[l] = std::fma(d, d, t[l]);
        }
    }
    float h = reduce8(t);
    for (std::size_t i = 8 * c; i < n; ++i) {
        const float d = a[i] - b[i];
        h = h + d * d;
    }
    return h;
}

float ref_norm_wide(Span v) {
    const std::size_t n = v.size(), c = n / 8;
    float t[8] = {};
    for (std::size_t j = 0; j < c; ++j)
        for (std::size_t l = 0; l < 8; ++l) t[l] = std::fma(v[8 * j + l], v[8 * j + l], t[l]);
    float h = reduce8(t);
    for (std::size_t i = 8 * c; i < n; ++i) h = h + v[i] * v[i];
    return std::sqrt(h);
}

// A plain running sum: a kernel that lost its lane structure would match this.
float naive_dot(Span a, Span b) {
    float h = 0.0f;
    for (std::size_t i = 0; i < a.size(); ++i) h = h + a[i] * b[i];
    return h;
}

// ---- Helpers ----------------------------------------------------------------

// Signs and magnitudes spread over many binades, so that any other summation
// order or a fused step almost surely changes the last bits.
std::vector<float> random_vector(std::size_t n, std::mt19937& rng) {
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-12, 12);
    std::vector<float> v(n);
    for (float& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
    return v;
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Forces the kept feature word for one scope.
class ScopedCpuFeatures {
public:
    explicit ScopedCpuFeatures(std::uint32_t features)
        : saved_(exchange_cpu_features_for_testing(features)) {}
    ~ScopedCpuFeatures() { exchange_cpu_features_for_testing(saved_); }
    ScopedCpuFeatures(const ScopedCpuFeatures&) = delete;
    ScopedCpuFeatures& operator=(const ScopedCpuFeatures&) = delete;

private:
    std::uint32_t saved_;
};

std::vector<std::size_t> test_lengths() {
    std::vector<std::size_t> lengths = {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33};
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::size_t> any(34, 2000);
    for (int i = 0; i < 12; ++i) lengths.push_back(any(rng));
    for (std::size_t n : {63, 64, 65, 127, 128, 129, 768, 1536}) lengths.push_back(n);
    return lengths;
}

bool wide_available() { return (detect_cpu_features() & (kCpuAvx2 | kCpuFma)) == (kCpuAvx2 | kCpuFma); }
bool wider_available() {
    constexpr std::uint32_t wider = kCpuAvx2 | kCpuFma | kCpuAvx512f;
    return (detect_cpu_features() & wider) == wider;
}

// ---- Kernels against the reference orders -----------------------------------

struct PairKernelCase {
    const char* name;
    float (*kernel)(Span, Span);
    float (*reference)(Span, Span);
};

struct NormKernelCase {
    const char* name;
    float (*kernel)(Span);
    float (*reference)(Span);
};

void check_pair_kernels(std::span<const PairKernelCase> cases, unsigned seed) {
    std::mt19937 rng(seed);
    for (const PairKernelCase& c : cases) {
        for (std::size_t n : test_lengths()) {
            for (int rep = 0; rep < 3; ++rep) {
                // Exact-length heap buffers: the sanitizer build sees any read past the end.
                const std::vector<float> a = random_vector(n, rng);
                const std::vector<float> b = random_vector(n, rng);
                EXPECT_EQ(bits(c.kernel(a, b)), bits(c.reference(a, b)))
                    << c.name << " n=" << n << " rep=" << rep;
            }
        }
    }
}

void check_norm_kernel(const NormKernelCase& c, unsigned seed) {
    std::mt19937 rng(seed);
    for (std::size_t n : test_lengths()) {
        for (int rep = 0; rep < 3; ++rep) {
            const std::vector<float> v = random_vector(n, rng);
            EXPECT_EQ(bits(c.kernel(v)), bits(c.reference(v))) << c.name << " n=" << n;
        }
    }
}

TEST(DistanceKernelTest, PortableKernelsFollowTheirOrderBitForBit) {
    const PairKernelCase cases[] = {
        {"dot_product_4lane", dot_product_4lane, ref_dot_4lane},
        {"l2_squared_4lane", l2_squared_4lane, ref_l2_4lane},
    };
    check_pair_kernels(cases, 42);
    check_norm_kernel({"l2_norm_scalar", l2_norm_scalar, ref_norm_scalar}, 43);
}

TEST(DistanceKernelTest, WideKernelsFollowTheirOrderBitForBit) {
    if (!wide_available()) GTEST_SKIP() << "no AVX2+FMA on this processor";
    const PairKernelCase cases[] = {
        {"dot_product_avx2", dot_product_avx2, ref_dot_wide},
        {"l2_squared_avx2", l2_squared_avx2, ref_l2_wide},
    };
    check_pair_kernels(cases, 52);
    check_norm_kernel({"l2_norm_avx2", l2_norm_avx2, ref_norm_wide}, 53);
}

// Guards the test itself: if the data could not tell summation orders apart,
// the bit-for-bit checks above would prove little.
TEST(DistanceKernelTest, TestDataDistinguishesSummationOrders) {
    std::mt19937 rng(44);
    int lane_vs_naive = 0;
    int wide_vs_lane = 0;
    for (int rep = 0; rep < 20; ++rep) {
        const std::vector<float> a = random_vector(768, rng);
        const std::vector<float> b = random_vector(768, rng);
        lane_vs_naive += bits(ref_dot_4lane(a, b)) != bits(naive_dot(a, b));
        wide_vs_lane += bits(ref_dot_wide(a, b)) != bits(ref_dot_4lane(a, b));
    }
    EXPECT_GT(lane_vs_naive, 10);
    EXPECT_GT(wide_vs_lane, 10);
}

TEST(DistanceKernelTest, ShortSecondVectorIsNeverReadPastItsEnd) {
    std::mt19937 rng(45);
    const std::vector<float> a = random_vector(37, rng);
    const std::vector<float> b = random_vector(5, rng);  // exact-size heap block
    const Span a5(a.data(), 5);
    EXPECT_EQ(bits(dot_product_4lane(a, b)), bits(ref_dot_4lane(a5, b)));
    EXPECT_EQ(bits(l2_squared_4lane(a, b)), bits(ref_l2_4lane(a5, b)));
    if (wide_available()) {
        const std::vector<float> b9 = random_vector(9, rng);
        const Span a9(a.data(), 9);
        EXPECT_EQ(bits(dot_product_avx2(a, b9)), bits(ref_dot_wide(a9, b9)));
        EXPECT_EQ(bits(l2_squared_avx2(a, b9)), bits(ref_l2_wide(a9, b9)));
    }
    EXPECT_EQ(bits(distance(0, a, b)), bits(distance(0, a5, b)));
}

// ---- Dispatch ----------------------------------------------------------------

TEST(DistanceTest, DetectionIsKeptAndMatchesTheProcessor) {
    EXPECT_NE(cpu_features() & kCpuFeaturesKnown, 0u);
    EXPECT_EQ(cpu_features(), detect_cpu_features());
    EXPECT_EQ(cpu_has_avx2_fma(), wide_available());
}

TEST(DistanceTest, EachFamilyUsesItsKernelsForEveryMetricCode) {
    std::mt19937 rng(46);
    const std::vector<float> a = random_vector(771, rng);
    const std::vector<float> b = random_vector(771, rng);
    struct Family {
        const char* name;
        std::uint32_t features;
        float (*dot)(Span, Span);
        float (*l2)(Span, Span);
        float (*norm)(Span);
    };
    std::vector<Family> families = {
        {"portable", 0, dot_product_4lane, l2_squared_4lane, l2_norm_scalar}};
    if (wide_available())
        families.push_back({"wide", kCpuAvx2 | kCpuFma, dot_product_avx2, l2_squared_avx2, l2_norm_avx2});
    // Either feature alone is not enough for the wide family.
    families.push_back({"fma only", kCpuFma, dot_product_4lane, l2_squared_4lane, l2_norm_scalar});
    families.push_back({"avx2 only", kCpuAvx2, dot_product_4lane, l2_squared_4lane, l2_norm_scalar});
    for (const Family& f : families) {
        ScopedCpuFeatures forced(f.features);
        for (std::uint8_t code : {0, 1}) EXPECT_EQ(bits(distance(code, a, b)), bits(f.dot(a, b))) << f.name;
        for (std::uint8_t code : {2, 3, 7, 255})
            EXPECT_EQ(bits(distance(code, a, b)), bits(f.l2(a, b))) << f.name << " code " << int(code);
        const float inv = 1.0f / f.norm(a);
        const std::vector<float> unit = normalize(0, a);
        ASSERT_EQ(unit.size(), a.size());
        for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits(unit[i]), bits(a[i] * inv)) << f.name << " i=" << i;
    }
}

// ---- Values ------------------------------------------------------------------

class BothFamilies : public ::testing::TestWithParam<std::uint32_t> {
protected:
    void SetUp() override {
        if (GetParam() != 0 && !wide_available()) GTEST_SKIP() << "no AVX2+FMA here";
        if ((GetParam() & kCpuAvx512f) && !wider_available()) GTEST_SKIP() << "no AVX-512 here";
        forced_.emplace(GetParam());
    }
    void TearDown() override { forced_.reset(); }

private:
    std::optional<ScopedCpuFeatures> forced_;
};

TEST_P(BothFamilies, DistanceValues) {
    const std::vector<float> empty;
    for (std::uint8_t code : {0, 1, 2, 3}) EXPECT_EQ(bits(distance(code, empty, empty)), bits(0.0f));

    const std::vector<float> origin = {0.0f, 0.0f};
    const std::vector<float> p = {3.0f, 4.0f};
    EXPECT_EQ(distance(2, origin, p), 25.0f);
    EXPECT_EQ(distance(9, origin, p), 25.0f);
    EXPECT_EQ(distance(0, p, p), 25.0f);

    std::mt19937 rng(47);
    const std::vector<float> v = random_vector(45, rng);
    EXPECT_EQ(bits(distance(2, v, v)), bits(0.0f));
    std::vector<float> with_nan = v;
    with_nan[40] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(distance(0, with_nan, v)));
    EXPECT_TRUE(std::isnan(distance(2, v, with_nan)));
}

TEST_P(BothFamilies, FourOrEightAtOnceScoreAsOneAtATime) {
    // Exact-length heap buffers, a NaN or an infinity in some of them, and
    // the vectors distinct so that a lane fed the wrong vector shows.
    std::mt19937 rng(48);
    for (std::size_t n : test_lengths()) {
        const std::vector<float> a = random_vector(n, rng);
        std::vector<std::vector<float>> b;
        for (int j = 0; j < 8; ++j) b.push_back(random_vector(n, rng));
        if (n > 2) {
            b[1][n / 2] = std::numeric_limits<float>::quiet_NaN();
            b[3][n - 1] = std::numeric_limits<float>::infinity();
            b[6][0] = -std::numeric_limits<float>::infinity();
        }
        const float* rows[8];
        for (int j = 0; j < 8; ++j) rows[j] = b[j].data();
        for (std::uint8_t code : {0, 1, 2, 3, 9}) {
            float out[4];
            distance4(static_cast<Metric>(code), a, rows, out);
            // The kernels chosen once for a scan give the same bits.
            const DistanceKernels chosen = distance_kernels(static_cast<Metric>(code));
            float four[4], eight[8];
            chosen.four(a, rows, four);
            chosen.eight(a, rows, eight);
            for (int j = 0; j < 8; ++j) {
                SCOPED_TRACE("n=" + std::to_string(n) + " code " + std::to_string(code) + " j=" + std::to_string(j));
                const std::uint32_t one = bits(distance(code, a, b[j]));
                if (j < 4) {
                    EXPECT_EQ(bits(out[j]), one);
                    EXPECT_EQ(bits(four[j]), one);
                }
                EXPECT_EQ(bits(eight[j]), one);
                EXPECT_EQ(bits(chosen.one(a, b[j])), one);
            }
        }
    }
}

TEST_P(BothFamilies, GridScoresEveryQueryAsOneAtATime) {
    // Query counts that take every tile height (eight, four, two, one) and
    // vector counts that end in whole tiles, a pair or a lone vector; out
    // rows wider than the vectors, whose spare cells must stay untouched.
    std::mt19937 rng(49);
    const std::vector<std::size_t> lengths = {0, 1, 7, 8, 9, 16, 17, 33, 128, 131, 768};
    for (std::size_t n : lengths) {
        std::vector<std::vector<float>> a, b;
        for (int j = 0; j < 19; ++j) a.push_back(random_vector(n, rng));
        for (int i = 0; i < 13; ++i) b.push_back(random_vector(n, rng));
        if (n > 2) {
            a[5][n / 2] = std::numeric_limits<float>::quiet_NaN();
            b[2][n - 1] = std::numeric_limits<float>::infinity();
            b[9][0] = std::numeric_limits<float>::quiet_NaN();
        }
        std::vector<const float*> queries, rows;
        for (const auto& q : a) queries.push_back(q.data());
        for (const auto& v : b) rows.push_back(v.data());
        for (std::uint8_t code : {0, 2}) {
            const DistanceKernels chosen = distance_kernels(static_cast<Metric>(code));
            for (std::size_t qn : {1, 2, 3, 4, 7, 8, 13, 19})
                for (std::size_t count : {0, 1, 2, 3, 5, 8, 9, 13}) {
                    constexpr std::size_t kStride = 16;
                    std::vector<float> out(qn * kStride, -7.0f);
                    chosen.grid(queries.data(), qn, n, rows.data(), count, out.data(), kStride);
                    for (std::size_t j = 0; j < qn; ++j)
                        for (std::size_t i = 0; i < kStride; ++i) {
                            SCOPED_TRACE("n=" + std::to_string(n) + " code " + std::to_string(code) + " queries " +
                                         std::to_string(qn) + " count " + std::to_string(count) + " j=" +
                                         std::to_string(j) + " i=" + std::to_string(i));
                            const float want = i < count ? distance(code, a[j], b[i]) : -7.0f;
                            ASSERT_EQ(bits(out[j * kStride + i]), bits(want));
                        }
                }
        }
    }
}

TEST_P(BothFamilies, NormalizeCosine) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(normalize(0, std::vector<float>{}).empty());
    EXPECT_EQ(normalize(0, std::vector<float>(19, 0.0f)), std::vector<float>(19, 0.0f));
    EXPECT_EQ(normalize(0, std::vector<float>{1e-8f}), std::vector<float>{0.0f});
    // Exactly 2^-23 is not below the threshold.
    EXPECT_EQ(normalize(0, std::vector<float>{0x1p-23f}), std::vector<float>{1.0f});
    const float inv5 = 1.0f / 5.0f;
    EXPECT_EQ(normalize(0, std::vector<float>{3.0f, 4.0f}), (std::vector<float>{3.0f * inv5, 4.0f * inv5}));

    // A NaN anywhere makes the norm NaN, which is not "below epsilon".
    for (float x : normalize(0, std::vector<float>{1.0f, nan, 2.0f})) EXPECT_TRUE(std::isnan(x));
    // An infinite norm: finite components become zeros, the infinity NaN (inf * 0).
    const std::vector<float> big = normalize(0, std::vector<float>{1.0f, inf, -2.0f});
    EXPECT_EQ(bits(big[0]), bits(0.0f));
    EXPECT_TRUE(std::isnan(big[1]));
    EXPECT_EQ(bits(big[2]), bits(-0.0f));
    // Squares that overflow to an infinite norm although every component is finite.
    const std::vector<float> huge = normalize(0, std::vector<float>(9, 1e30f));
    for (float x : huge) EXPECT_EQ(bits(x), bits(0.0f));
}

TEST_P(BothFamilies, NormalizeOtherMetricsCopiesExactly) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> v = {nan, -0.0f, 0.0f, 3.5f, -std::numeric_limits<float>::infinity(), 1e-30f};
    for (std::uint8_t code : {1, 2, 3, 200}) {
        const std::vector<float> out = normalize(code, v);
        ASSERT_EQ(out.size(), v.size());
        EXPECT_EQ(std::memcmp(out.data(), v.data(), v.size() * sizeof(float)), 0) << int(code);
        EXPECT_TRUE(normalize(code, std::vector<float>{}).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Families, BothFamilies,
                         ::testing::Values(0u, kCpuAvx2 | kCpuFma, kCpuAvx2 | kCpuFma | kCpuAvx512f),
                         [](const auto& info) {
                             return info.param == 0 ? "Portable" : info.param & kCpuAvx512f ? "Wider" : "Wide";
                         });

TEST(DistanceTest, HigherIsBetter) {
    EXPECT_TRUE(higher_is_better(Metric::Cosine));
    EXPECT_TRUE(higher_is_better(Metric::Dot));
    EXPECT_FALSE(higher_is_better(Metric::L2));
}

}  // namespace
}  // namespace tessello
