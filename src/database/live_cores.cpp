#include "database/live_cores.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "collection/insert.h"

namespace tessello {

namespace {

struct LiveCores {
    std::mutex lock;
    std::vector<std::weak_ptr<Collection>> cores;
};

// Never destroyed: an exit hook, or a thread still running while the
// process's static objects are destroyed, may still reach it.
LiveCores& live() {
    static LiveCores* list = new LiveCores();
    return *list;
}

}  // namespace

void track_live_core(const CollectionHandle& core) {
    LiveCores& l = live();
    std::lock_guard guard(l.lock);
    std::erase_if(l.cores, [](const std::weak_ptr<Collection>& c) { return c.expired(); });
    l.cores.push_back(core);
}

void flush_live_cores() noexcept {
    try {
        std::vector<CollectionHandle> alive;
        {
            LiveCores& l = live();
            std::lock_guard guard(l.lock);
            for (const auto& c : l.cores)
                if (auto core = c.lock()) alive.push_back(std::move(core));
        }
        for (const auto& core : alive) {
            try {
                (void)flush_pending(*core);
            } catch (...) {
                // Best effort, like the flush of a released core.
            }
        }
    } catch (...) {
        // Not even the list could be copied: nothing more can be done.
    }
}

}  // namespace tessello
