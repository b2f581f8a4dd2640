#pragma once
// How many threads the process-wide worker pool gets: RAYON_NUM_THREADS when
// it is a positive integer, else RAYON_RS_NUM_CPUS when it is one, else the
// CPUs this process may run on (its affinity mask) further limited by the
// cgroup CPU quota, rounded up to whole CPUs. Always at least 1; an explicit
// count above kMaxPoolThreads is clamped to it.
#include <cstddef>
#include <optional>
#include <string_view>

namespace tessello {

inline constexpr std::size_t kMaxPoolThreads = 4096;

// Everything the decision depends on, as read from the environment and the
// system (absent: the variable is unset or the file could not be read).
struct PoolSizeInputs {
    std::optional<std::string_view> rayon_num_threads;
    std::optional<std::string_view> rayon_rs_num_cpus;
    std::size_t affinity_cpus = 1;                   // CPUs in the affinity mask
    std::optional<std::string_view> cgroup_cpu_max;  // cgroup v2 "cpu.max": "quota period" or "max period"
    std::optional<std::string_view> cgroup_v1_quota;   // "cpu.cfs_quota_us", -1 for none
    std::optional<std::string_view> cgroup_v1_period;  // "cpu.cfs_period_us"
};

// The pool size for the given inputs; pure.
std::size_t pool_size_for(const PoolSizeInputs& inputs);

// The pool size for this process, reading the environment, the affinity mask
// and the cgroup files now.
std::size_t process_pool_size();

}  // namespace tessello
