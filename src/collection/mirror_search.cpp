#include "collection/mirror_search.h"

#include "base/clock.h"
#include "collection/mirror_scan.h"
#include "collection/record_mirror.h"

namespace tessello {

struct Collection::MirrorPassSteps {
    // One pass for the searches of batch, each of its own read transaction:
    // the mirror serves those whose state it reflects (with the parsed forms
    // when they filter); the others are left without an outcome.
    static void run(Collection& core, std::span<MirrorQuery* const> batch) {
        auto mirror = core.mirror_.shared();
        std::vector<MirrorQuery*> served;
        for (MirrorQuery* q : batch) {
            if (!mirror->serves(q->snapshot) || (q->filter && !mirror->has_forms() && !mirror->error())) {
                q->mirror_ahead = mirror->ahead_of(q->snapshot);
                continue;
            }
            if (mirror->error())
                q->outcome = Result<std::vector<SearchHit>>(fail(*mirror->error()));
            else
                served.push_back(q);
        }
        if (served.empty()) return;
        auto vectors = core.vector_store_.shared();
        scan_mirror(*mirror, core.config.metric, *vectors, now_unix_secs(), served, &core.mirror_passes_);
    }
};

std::optional<Result<std::vector<SearchHit>>> mirrored_search(Collection& core, const ReadTxn& txn,
                                                              std::span<const float> query, std::uint64_t k,
                                                              const std::vector<FilterCondition>* filter) {
    // An empty filter lets every record pass: its metadata need not be read.
    const std::vector<FilterCondition>* conditions = filter && !filter->empty() ? filter : nullptr;
    const std::uint64_t snapshot = txn.snapshot_id();
    // The second round finds what the first one made, unless a commit came
    // in between and the mirror now reflects it.
    for (int round = 0; round < 2; ++round) {
        MirrorQuery mine{snapshot, query, k, conditions, std::nullopt, false};
        core.mirror_passes_.serve(mine, [&core](std::span<MirrorQuery* const> batch) { Collection::MirrorPassSteps::run(core, batch); });
        if (mine.outcome) return std::move(*mine.outcome);
        if (mine.mirror_ahead) return std::nullopt;
        auto mirror = core.mirror_.exclusive();
        if (!mirror->serves(snapshot)) {
            if (mirror->ahead_of(snapshot)) return std::nullopt;
            const std::uint64_t slots = core.vector_store_.shared()->slot_count();
            if (!mirror->rebuild(txn, slots)) return std::nullopt;
        }
        if (conditions && !mirror->has_forms() && !mirror->error()) mirror->make_forms();
    }
    return std::nullopt;
}

std::optional<Result<std::uint64_t>> mirrored_live_count(Collection& core, const ReadTxn& txn) {
    auto mirror = core.mirror_.shared();
    if (!mirror->serves(txn.snapshot_id())) return std::nullopt;
    if (mirror->error()) return Result<std::uint64_t>(fail(*mirror->error()));
    return Result<std::uint64_t>(mirror->live_count(now_unix_secs()));
}

MirrorFootprint mirror_footprint(Collection& core) { return core.mirror_.shared()->footprint(); }

}  // namespace tessello
