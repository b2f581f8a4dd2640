#include "storage/metric.h"

namespace tessello {

std::string_view metric_python_name(Metric metric) {
    switch (metric) {
        case Metric::Cosine: return "cosine";
        case Metric::Dot: return "dot";
        case Metric::L2: return "l2";
    }
    return "l2";
}

std::string_view metric_variant_name(Metric metric) {
    switch (metric) {
        case Metric::Cosine: return "Cosine";
        case Metric::Dot: return "Dot";
        case Metric::L2: return "L2";
    }
    return "L2";
}

void fmt_metric(Metric metric, std::string& sink) { sink += metric_variant_name(metric); }

std::optional<Metric> parse_metric(std::string_view lowered) {
    if (lowered == "cosine") return Metric::Cosine;
    if (lowered == "dot") return Metric::Dot;
    if (lowered == "l2" || lowered == "euclidean") return Metric::L2;
    return std::nullopt;
}

std::optional<Metric> metric_from_index(std::uint32_t index) {
    if (index > 2) return std::nullopt;
    return static_cast<Metric>(index);
}

}  // namespace tessello
