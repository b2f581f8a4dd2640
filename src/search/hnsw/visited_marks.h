#pragma once
// VisitedMarks: the visited set of a layer walk, emptied in O(1) and reused
// from walk to walk by one thread (a build worker, a searching thread).
//
// A node is in the set when its mark equals the current epoch. Marks are 16
// bits to keep the array small in cache; it is wiped once every 65535 walks.
// start() grows the marks to the graph's node count, so one set serves a
// graph that gains nodes between walks, or several graphs one after another.
// Not thread-safe: each thread keeps its own.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessello {

class VisitedMarks {
public:
    VisitedMarks() = default;
    explicit VisitedMarks(std::size_t nodes) : marks_(nodes, 0) {}

    // Empties the set for a walk over node indices below `nodes`.
    void start(std::size_t nodes);

    // Adds the node (below the count given to start); false when it was
    // already in the set.
    bool insert(std::uint32_t node) {
        if (marks_[node] == epoch_) return false;
        marks_[node] = epoch_;
        return true;
    }

private:
    std::vector<std::uint16_t> marks_;
    std::uint16_t epoch_ = 0;
};

}  // namespace tessello
