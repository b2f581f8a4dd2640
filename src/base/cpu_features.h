#pragma once
// The processor features that pick the distance kernels. The set is detected
// once per process (cpuid, with the operating system's support for the 256-bit
// and 512-bit register state read through XGETBV) and kept for the life of the process;
// every later call only loads the kept word.
#include <cstdint>

namespace tessello {

// Bits of the kept feature word.
inline constexpr std::uint32_t kCpuFeaturesKnown = 1u << 0;  // detection has run
inline constexpr std::uint32_t kCpuAvx2 = 1u << 1;           // AVX2 usable (OS keeps YMM state)
inline constexpr std::uint32_t kCpuFma = 1u << 2;            // FMA usable (OS keeps YMM state)
inline constexpr std::uint32_t kCpuAvx512f = 1u << 3;        // AVX-512 F usable (OS keeps ZMM state)

// The kept feature word, detecting it on the first call. Safe to call from any
// thread; concurrent first calls detect and store the same value.
std::uint32_t cpu_features();

// True when the wide (AVX2 + FMA) kernels may run.
inline bool cpu_has_avx2_fma() {
    constexpr std::uint32_t wide = kCpuAvx2 | kCpuFma;
    return (cpu_features() & wide) == wide;
}

// True when the 512-bit grid kernels may run beside the wide ones.
inline bool cpu_has_avx512f() {
    constexpr std::uint32_t wider = kCpuAvx2 | kCpuFma | kCpuAvx512f;
    return (cpu_features() & wider) == wider;
}

// What the processor and the operating system offer, detected afresh. The kept
// word is unaffected.
std::uint32_t detect_cpu_features();

// Tests and benchmarks only: replaces the kept word (kCpuFeaturesKnown is added)
// and returns the previous one, so both kernel families can be exercised on one
// machine. Never called by the library itself.
std::uint32_t exchange_cpu_features_for_testing(std::uint32_t features);

}  // namespace tessello
