#pragma once
// WriteBehind: a collection's write-behind buffer, in queue order.
//
// Its oldest entries may be in flight: taken by the flush in progress, which
// is writing them to the records table. They stay in the buffer, readable
// like the others, until that flush's commit has made them visible in the
// table (then they leave it) or its failure has put them back in the queue.
// So a record whose add returned is always in the buffer or in the table,
// and a reader that copies the buffer and begins its read transaction as one
// step (under the core's visibility lock) finds it in exactly one of them.
//
// Guarded by the core's pending lock; the entries in flight are shared,
// unchanged, with the flush that writes them.
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "collection/pending_write.h"

namespace tessello {

struct WriteBehind {
    // The entries of the flush in progress, oldest first; null when none is.
    std::shared_ptr<const std::vector<PendingWrite>> writing;
    // The entries no flush has taken yet, queued behind those.
    std::vector<PendingWrite> queued;

    std::size_t size() const { return (writing ? writing->size() : 0) + queued.size(); }

    // Whether an entry of id is being written.
    bool in_flight(std::string_view id) const {
        if (writing)
            for (const PendingWrite& w : *writing)
                if (w.record.id == id) return true;
        return false;
    }

    // Calls visit(const PendingWrite&) for every entry in queue order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        if (writing)
            for (const PendingWrite& w : *writing) visit(w);
        for (const PendingWrite& w : queued) visit(w);
    }
};

}  // namespace tessello
