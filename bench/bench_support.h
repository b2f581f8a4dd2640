#pragma once
// Small pieces the benchmark programs share: a scratch directory under /tmp
// that is removed with its owner, fast random unit vectors, the process's page
// fault count, and a way to stop
// a benchmark program at once when its setup fails (a benchmark over a
// half-built data set would report meaningless figures).
#include <sys/resource.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "base/store_error.h"

namespace tessello::bench {

// A fresh directory /tmp/tessello-bench-XXXXXX, removed with everything in it
// when the owner goes.
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/tessello-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

[[noreturn]] inline void die(const char* what, const StoreError& error) {
    std::fprintf(stderr, "benchmark setup failed: %s: %s\n", what, error.message().c_str());
    std::abort();
}

template <class T>
T value_or_die(Result<T> result, const char* what) {
    if (!result) die(what, result.error());
    return std::move(*result);
}

inline void ok_or_die(const Status& status, const char* what) {
    if (!status) die(what, status.error());
}

// Minor page faults of the whole process so far. Memory the process has not
// touched yet (or has given back) is costly to fault in on a virtual machine,
// so the faults per iteration show an operation that allocates afresh.
inline long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// splitmix64: plenty for test data, and far quicker than the standard engines
// when hundreds of millions of components are drawn.
class FastRandom {
public:
    explicit FastRandom(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [-1, 1).
    float unit_interval() {
        return static_cast<float>(static_cast<double>(next() >> 11) * 0x1.0p-52 - 1.0);
    }

private:
    std::uint64_t state_;
};

// Fills out with a random vector of Euclidean length 1.
inline void random_unit_vector(FastRandom& rng, std::span<float> out) {
    double norm = 0.0;
    for (float& x : out) {
        x = rng.unit_interval();
        norm += static_cast<double>(x) * x;
    }
    const float inv = static_cast<float>(1.0 / std::sqrt(norm));
    for (float& x : out) x *= inv;
}

inline std::vector<float> random_unit_vector(std::size_t d, std::uint64_t seed) {
    FastRandom rng(seed);
    std::vector<float> v(d);
    random_unit_vector(rng, v);
    return v;
}

}  // namespace tessello::bench
