#include "search/hnsw/visited_marks.h"

#include <algorithm>

namespace tessello {

void VisitedMarks::start(std::size_t nodes) {
    // New marks are 0, which no epoch of a started walk equals.
    if (marks_.size() < nodes) marks_.resize(nodes, 0);
    if (++epoch_ == 0) {
        std::fill(marks_.begin(), marks_.end(), 0);
        epoch_ = 1;
    }
}

}  // namespace tessello
