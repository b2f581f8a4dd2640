#include "base/pool_size.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace tessello {
namespace {

std::string_view trim(std::string_view text) {
    constexpr std::string_view space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// A whole text of decimal digits (no sign, no spaces) that fits in 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::size_t> positive_count(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    const auto value = parse_unsigned(*text);
    if (!value || *value == 0) return std::nullopt;
    return static_cast<std::size_t>(std::min<std::uint64_t>(*value, kMaxPoolThreads));
}

// ceil(quota / period) whole CPUs, at least 1; nothing for "no limit" or text
// that does not parse.
std::optional<std::size_t> quota_cpus(std::string_view quota_text, std::string_view period_text) {
    const auto quota = parse_unsigned(quota_text);
    const auto period = parse_unsigned(period_text);
    if (!quota || !period || *quota == 0 || *period == 0) return std::nullopt;
    const std::uint64_t cpus = *quota / *period + (*quota % *period != 0 ? 1 : 0);
    return static_cast<std::size_t>(std::max<std::uint64_t>(cpus, 1));
}

std::optional<std::size_t> cgroup_limit(const PoolSizeInputs& in) {
    if (in.cgroup_cpu_max) {
        // "max 100000" means unlimited; then the v1 files are not consulted.
        const std::string_view text = trim(*in.cgroup_cpu_max);
        const std::size_t gap = text.find(' ');
        if (gap == std::string_view::npos) return std::nullopt;
        return quota_cpus(text.substr(0, gap), trim(text.substr(gap + 1)));
    }
    if (in.cgroup_v1_quota && in.cgroup_v1_period) {
        // A quota of -1 fails to parse as unsigned: no limit.
        return quota_cpus(trim(*in.cgroup_v1_quota), trim(*in.cgroup_v1_period));
    }
    return std::nullopt;
}

std::optional<std::string> read_small_file(const char* path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) return std::nullopt;
    return text;
}

std::optional<std::string_view> view(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

std::optional<std::string_view> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

// CPUs in this process's affinity mask, growing the mask for machines with
// more CPUs than the default set holds.
std::size_t affinity_cpu_count() {
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int rc = sched_getaffinity(0, bytes, set);
        const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
        if (errno != EINVAL) break;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

}  // namespace

std::size_t pool_size_for(const PoolSizeInputs& inputs) {
    if (const auto n = positive_count(inputs.rayon_num_threads)) return *n;
    if (const auto n = positive_count(inputs.rayon_rs_num_cpus)) return *n;
    std::size_t cpus = std::max<std::size_t>(inputs.affinity_cpus, 1);
    if (const auto limit = cgroup_limit(inputs)) cpus = std::min(cpus, *limit);
    return cpus;
}

std::size_t process_pool_size() {
    const std::optional<std::string> cpu_max = read_small_file("/sys/fs/cgroup/cpu.max");
    std::optional<std::string> v1_quota;
    std::optional<std::string> v1_period;
    if (!cpu_max) {
        v1_quota = read_small_file("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
        v1_period = read_small_file("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    }
    PoolSizeInputs inputs;
    inputs.rayon_num_threads = env("RAYON_NUM_THREADS");
    inputs.rayon_rs_num_cpus = env("RAYON_RS_NUM_CPUS");
    inputs.affinity_cpus = affinity_cpu_count();
    inputs.cgroup_cpu_max = view(cpu_max);
    inputs.cgroup_v1_quota = view(v1_quota);
    inputs.cgroup_v1_period = view(v1_period);
    return pool_size_for(inputs);
}

}  // namespace tessello
