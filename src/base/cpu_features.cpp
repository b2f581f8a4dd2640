#include "base/cpu_features.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tessello {
namespace {

// Zero until the first detection; afterwards always carries kCpuFeaturesKnown.
std::atomic<std::uint32_t> g_features{0};

#if defined(__x86_64__) || defined(__i386__)
// XCR0 through XGETBV; only valid once cpuid reported OSXSAVE.
std::uint64_t read_xcr0() {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
#endif

}  // namespace

std::uint32_t detect_cpu_features() {
    std::uint32_t features = kCpuFeaturesKnown;
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
    const bool fma = (ecx & bit_FMA) != 0;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    const bool avx = (ecx & bit_AVX) != 0;
    // Without OS support for the YMM state, 256-bit instructions fault or
    // lose register contents on context switches: both families need it.
    // XCR0 bit 1 = SSE state, bit 2 = AVX (upper YMM) state.
    if (!osxsave || !avx || (read_xcr0() & 0x6) != 0x6) return features;
    if (fma) features |= kCpuFma;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return features;
    if ((ebx & bit_AVX2) != 0) features |= kCpuAvx2;
    // ZMM state as well: XCR0 bits 5-7 (opmask, upper ZMM0-15, ZMM16-31).
    if ((ebx & bit_AVX512F) != 0 && (read_xcr0() & 0xe0) == 0xe0) features |= kCpuAvx512f;
#endif
    return features;
}

std::uint32_t cpu_features() {
    std::uint32_t features = g_features.load(std::memory_order_relaxed);
    if (features != 0) return features;
    features = detect_cpu_features();
    g_features.store(features, std::memory_order_relaxed);
    return features;
}

std::uint32_t exchange_cpu_features_for_testing(std::uint32_t features) {
    cpu_features();  // make sure a later first call does not overwrite the override
    return g_features.exchange(features | kCpuFeaturesKnown, std::memory_order_relaxed);
}

}  // namespace tessello
