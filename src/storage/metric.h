#pragma once
// Metric: a collection's distance metric. In memory one byte holding its index;
// stored as a u32 index. The Python name faces callers; the variant name
// appears only in the message that refuses a metric differing from the
// registered one.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessello {

enum class Metric : std::uint8_t { Cosine = 0, Dot = 1, L2 = 2 };

// True for Cosine and Dot (larger score is better), false for L2 (and for
// any value beyond the three, which scores as L2).
constexpr bool higher_is_better(Metric metric) { return metric == Metric::Cosine || metric == Metric::Dot; }

// "cosine", "dot", "l2".
std::string_view metric_python_name(Metric metric);
// "Cosine", "Dot", "L2".
std::string_view metric_variant_name(Metric metric);
// Appends the variant name to sink.
void fmt_metric(Metric metric, std::string& sink);
// The metric named "cosine", "dot", "l2" or "euclidean"; the caller has
// already lowered the letters.
std::optional<Metric> parse_metric(std::string_view lowered);
// The metric of a stored variant index, or nothing when it is 3 or more.
std::optional<Metric> metric_from_index(std::uint32_t index);

}  // namespace tessello
