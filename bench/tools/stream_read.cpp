// stream_read FILE OFFSET BYTES THREADS REPEATS
//
// The floor of an exact search: how long one pass over a collection's vectors
// takes when nothing is done with them but reading. The file is mapped
// read-only and populated; each pass splits [OFFSET, OFFSET + BYTES) into
// THREADS contiguous pieces, one per thread, and each thread adds its floats
// into eight AVX2 lanes (plain loads, four accumulators, so the loop is bound
// by memory, not by the additions). Threads are started once and woken for
// every pass, as a worker pool is. After three passes of warm-up it prints
// one JSON object with the pass times in milliseconds (p25, p50, p75).
#include <fcntl.h>
#include <immintrin.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

__attribute__((target("avx2"))) float sum_avx2(const float* p, std::size_t n) {
    __m256 a = _mm256_setzero_ps(), b = _mm256_setzero_ps(), c = _mm256_setzero_ps(), d = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = _mm256_add_ps(a, _mm256_loadu_ps(p + i));
        b = _mm256_add_ps(b, _mm256_loadu_ps(p + i + 8));
        c = _mm256_add_ps(c, _mm256_loadu_ps(p + i + 16));
        d = _mm256_add_ps(d, _mm256_loadu_ps(p + i + 24));
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, _mm256_add_ps(_mm256_add_ps(a, b), _mm256_add_ps(c, d)));
    float s = 0.0f;
    for (float x : lanes) s += x;
    for (; i < n; ++i) s += p[i];
    return s;
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const double pos = q * static_cast<double>(v.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(pos);
    const std::size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: stream_read FILE OFFSET BYTES THREADS REPEATS\n");
        return 2;
    }
    const std::size_t offset = std::strtoull(argv[2], nullptr, 10);
    const std::size_t bytes = std::strtoull(argv[3], nullptr, 10);
    const unsigned threads = std::max(1u, static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
    const unsigned repeats = std::max(1u, static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)));

    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < offset + bytes) {
        std::fprintf(stderr, "stream_read: cannot read %zu bytes at %zu of %s\n", bytes, offset, argv[1]);
        return 1;
    }
    void* map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) {
        std::perror("stream_read: mmap");
        return 1;
    }
    const float* floats = reinterpret_cast<const float*>(static_cast<const char*>(map) + offset);
    const std::size_t count = bytes / sizeof(float);

    // Two barrier phases a pass: the start, then the end of every piece.
    std::barrier sync(static_cast<std::ptrdiff_t>(threads) + 1);
    bool stop = false;
    std::vector<float> sinks(threads * 16, 0.0f);
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            const std::size_t begin = count * t / threads, end = count * (t + 1) / threads;
            for (;;) {
                sync.arrive_and_wait();
                if (stop) return;
                sinks[t * 16] += sum_avx2(floats + begin, end - begin);
                sync.arrive_and_wait();
            }
        });
    }
    std::vector<double> ms;
    for (unsigned r = 0; r < repeats + 3; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        const auto t1 = std::chrono::steady_clock::now();
        if (r >= 3) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    stop = true;
    sync.arrive_and_wait();
    for (auto& t : pool) t.join();
    float total = 0.0f;
    for (float s : sinks) total += s;
    std::printf("{\"threads\": %u, \"bytes\": %zu, \"p25_ms\": %.6f, \"p50_ms\": %.6f, \"p75_ms\": %.6f, \"sum\": %g}\n",
                threads, bytes, quantile(ms, 0.25), quantile(ms, 0.5), quantile(ms, 0.75), static_cast<double>(total));
    ::munmap(map, static_cast<std::size_t>(st.st_size));
    ::close(fd);
    return 0;
}
