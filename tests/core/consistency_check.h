#pragma once
// What a collection must look like after a crash or a failed call, and the
// check that compares an opened collection with it.
//
// ExpectedRecords holds, for every identifier a test wrote, the outcomes a
// reader may find: a value (vector and stored metadata text) or absence.
// An acknowledged write narrows the outcomes to its own; a call that was cut
// short (killed, or failed) adds its outcomes to what was allowed before.
// Identifiers the model does not name must be absent.
//
// check_collection looks at a core that nothing else uses: every live record
// has an allowed value, every identifier that must be present is, no record
// is seen twice, len() counts the live records, no slot is named by two
// records or both named and free, and the free list lists no slot twice or
// beyond the vector file. It returns the violations as text (empty: sound)
// and what it found, so a caller can take the found state as the new
// starting point.
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/fetch_record.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection_fixture.h"
#include "storage/records_table.h"

namespace tessello::testing {

struct RecordValue {
    std::vector<float> vector;
    std::string metadata;  // the stored compact text

    // Bit for bit: a NaN component is the same value only as the same bits.
    bool operator==(const RecordValue& o) const {
        return metadata == o.metadata && vector.size() == o.vector.size() &&
               (vector.empty() || std::memcmp(vector.data(), o.vector.data(), vector.size() * sizeof(float)) == 0);
    }
};

// nullopt: no live record under the identifier.
using Outcome = std::optional<RecordValue>;

inline std::string describe(const Outcome& o) {
    if (!o) return "absent";
    std::string s = "[";
    for (std::size_t i = 0; i < o->vector.size(); ++i) s += (i ? "," : "") + std::to_string(o->vector[i]);
    return s + "] " + o->metadata;
}

class ExpectedRecords {
public:
    // An acknowledged write: only this outcome from now on.
    void settle(const std::string& id, Outcome o) { ids_[id] = {std::move(o)}; }
    // A write that may or may not have happened: this outcome as well.
    void allow(const std::string& id, Outcome o) {
        auto& set = allowed_of(id);
        if (std::find(set.begin(), set.end(), o) == set.end()) set.push_back(std::move(o));
    }
    void clear() { ids_.clear(); }
    bool allows(const std::string& id, const Outcome& o) const {
        auto it = ids_.find(id);
        if (it == ids_.end()) return !o;
        return std::find(it->second.begin(), it->second.end(), o) != it->second.end();
    }
    bool may_be_absent(const std::string& id) const { return allows(id, std::nullopt); }
    const std::map<std::string, std::vector<Outcome>>& ids() const { return ids_; }
    std::string describe_allowed(const std::string& id) const {
        auto it = ids_.find(id);
        if (it == ids_.end()) return "absent";
        std::string s;
        for (const auto& o : it->second) s += (s.empty() ? "" : " | ") + describe(o);
        return s;
    }

private:
    std::vector<Outcome>& allowed_of(const std::string& id) {
        auto [it, made] = ids_.try_emplace(id);
        if (made) it->second.push_back(std::nullopt);  // never written: absent
        return it->second;
    }
    std::map<std::string, std::vector<Outcome>> ids_;
};

struct CheckReport {
    std::vector<std::string> violations;
    std::map<std::string, RecordValue> found;  // the live records
    std::uint64_t records_checked = 0;
};

// The checks above, on a core with an empty buffer that no other thread uses.
inline CheckReport check_collection(Collection& core, const ExpectedRecords& expected) {
    using Access = CollectionTestAccess;
    CheckReport report;
    auto violation = [&](std::string text) { report.violations.push_back(core.config.name + ": " + std::move(text)); };

    const std::uint64_t slot_count = Access::slot_count(core);
    std::map<std::uint64_t, std::string> named;  // slot -> the record naming it
    {
        auto txn = Access::read_txn(core);
        if (!txn) {
            violation("read transaction: " + txn.error().message());
            return report;
        }
        const std::uint64_t now = now_unix_secs();
        auto walked = for_each_record(*txn, [&](const RecordView& r) -> Status {
            // A tombstone gave its slot back when it became one: another
            // record may hold that slot by now.
            if (r.state != RecordState::Tombstone) {
                auto [it, fresh] = named.try_emplace(r.slot, std::string(r.id));
                if (!fresh)
                    violation("slot " + std::to_string(r.slot) + " named by '" + it->second + "' and '" +
                              std::string(r.id) + "'");
            }
            if (r.state == RecordState::Active) {
                auto stored = r.to_record();
                Outcome o;
                if (r.slot >= slot_count) {
                    violation("record '" + stored.id + "' names slot " + std::to_string(r.slot) +
                              " beyond the vector file (" + std::to_string(slot_count) + " slots)");
                    return {};
                }
                auto v = Access::read_slot(core, r.slot);
                if (!v) {
                    violation("record '" + stored.id + "': " + v.error().message());
                    return {};
                }
                o = RecordValue{*v, stored.metadata};
                if (is_record_live(r, now)) report.found[stored.id] = *o;
            }
            return {};
        });
        if (!walked) violation("walk of the records: " + walked.error().message());
    }

    for (const auto& [id, value] : report.found) {
        ++report.records_checked;
        if (!expected.allows(id, value))
            violation("record '" + id + "' is " + describe(value) + ", allowed: " + expected.describe_allowed(id));
        auto hit = fetch_record(core, id);
        if (!hit || !*hit)
            violation("get('" + id + "') does not find a live record" + (hit ? "" : ": " + hit.error().message()));
    }
    for (const auto& [id, outcomes] : expected.ids())
        if (!expected.may_be_absent(id) && !report.found.contains(id))
            violation("acknowledged record '" + id + "' is missing, allowed: " + expected.describe_allowed(id));

    auto len = collection_len(core);
    if (!len)
        violation("len(): " + len.error().message());
    else if (*len != report.found.size())
        violation("len() is " + std::to_string(*len) + " with " + std::to_string(report.found.size()) +
                  " live records");

    if (!report.found.empty()) {
        const auto& any = report.found.begin()->second.vector;
        auto hits = search_collection(core, any, report.found.size() + 10, nullptr);
        if (!hits) {
            violation("search: " + hits.error().message());
        } else {
            std::multiset<std::string> seen;
            for (const auto& h : *hits) seen.insert(h.id);
            for (const auto& id : seen)
                if (seen.count(id) > 1) violation("search returns '" + id + "' twice");
            for (const auto& [id, v] : report.found)
                if (!seen.contains(id)) violation("search over every record misses '" + id + "'");
            for (const auto& id : seen)
                if (!report.found.contains(id)) violation("search returns '" + id + "', which is not live");
        }
    }

    const auto free_slots = Access::free_slots(core);
    std::set<std::uint64_t> listed;
    for (std::uint64_t s : free_slots) {
        if (!listed.insert(s).second) violation("slot " + std::to_string(s) + " listed free twice");
        if (s >= slot_count)
            violation("free slot " + std::to_string(s) + " beyond the vector file (" + std::to_string(slot_count) +
                      " slots)");
        if (auto it = named.find(s); it != named.end())
            violation("slot " + std::to_string(s) + " is free and named by '" + it->second + "'");
    }
    return report;
}

}  // namespace tessello::testing
