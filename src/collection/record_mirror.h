#pragma once
// RecordMirror: a collection core's in-memory copy of table "records", so that
// an exact search scores the stored vectors without decoding every record.
//
// It reflects one committed state of the table, named by its snapshot id (the
// id a read transaction of that state reports), and is trusted only for a
// transaction of that id. It is built by one walk of a read transaction; each
// commit this process makes to the table hands it what the commit wrote
// (note), tagged with the commit's id, and a commit it cannot follow (a gap in
// the ids, an identifier it does not hold where the writer says it was) leaves
// it untrusted until the next walk. A search that finds it stale or untrusted
// walks again, so a commit that is never reported costs speed, never a wrong
// result. A walk that meets a value that does not decode keeps that error,
// and every search it serves fails with it until a later walk no longer
// meets it.
//
// Records are kept by slot: position s of the slot array holds the record
// whose vector is slot s, so a scan in slot order streams the vector file. A
// record whose slot is taken already (or lies far beyond the file) is kept in
// a short list beside it. Per record the fixed part is 24 bytes (32 in that
// list): where its identifier and metadata text lie in one arena of texts,
// their lengths, its expiry and its state. The metadata's parsed form
// (forms) is made once, when a filtered search first asks for it, and kept up
// to date from then on.
//
// Not thread-safe on its own: the core keeps it under mirror_lock (see the
// lock order in collection/collection.h); searches read it shared, writers
// and walks change it exclusively.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/store_error.h"
#include "json/json_value.h"
#include "storage/kv_store.h"
#include "storage/record.h"

namespace tessello {

class Collection;

// One record as a commit left it: `before` is the slot of the record stored
// under `id` before the commit (none when there was none), `after` the record
// stored now (null when it was removed).
struct MirrorChange {
    std::string_view id;
    std::optional<std::uint64_t> before;
    const Record* after = nullptr;
};

// What the mirror of a core holds, for the benchmark's account of memory.
struct MirrorFootprint {
    std::uint64_t records, slots, fixed_bytes, text_bytes, form_bytes;
};
MirrorFootprint mirror_footprint(Collection& core);

class RecordMirror {
public:
    struct Entry {
        std::uint64_t text = 0;  // arena offset of the identifier, the metadata right behind it
        std::uint64_t expires_at = 0;
        std::uint32_t meta_len = 0;
        std::uint16_t id_len = 0;  // keys of the table are at most 511 bytes
        RecordState state = RecordState::Active;
        std::uint8_t flags = 0;  // kHeld | kExpires

        static constexpr std::uint8_t kHeld = 1;
        static constexpr std::uint8_t kExpires = 2;
        bool held() const { return flags & kHeld; }
        std::optional<std::uint64_t> expiry() const {
            return flags & kExpires ? std::optional<std::uint64_t>(expires_at) : std::nullopt;
        }
        // Held, and live as is_record_live decides it, at the Unix second now.
        bool live_at(std::uint64_t now) const {
            return held() && state == RecordState::Active && !is_expired_at(expiry(), now);
        }
    };
    struct Extra {
        std::uint64_t slot;
        Entry entry;
    };

    // Whether it reflects the state that transactions of `snapshot` see.
    bool serves(std::uint64_t snapshot) const { return trusted_ && snapshot_ == snapshot; }
    // Whether it reflects a state committed after that of `snapshot`.
    bool ahead_of(std::uint64_t snapshot) const { return trusted_ && snapshot_ > snapshot; }
    bool has_forms() const { return forms_on_; }
    const std::optional<StoreError>& error() const { return error_; }

    // Replaces the content by one walk of the table as txn sees it.
    // slot_hint: the vector file's slot count, the slot array's first size.
    // A storage error of the walk leaves the mirror untrusted and is returned.
    Status rebuild(const ReadTxn& txn, std::uint64_t slot_hint);
    // Parses every held record's metadata once; kept up to date from then on.
    void make_forms();
    // What the commit of id `commit` wrote to the table. A commit the mirror
    // already reflects changes nothing; one that does not follow its state
    // directly, or that it cannot apply, leaves it untrusted.
    void note(std::uint64_t commit, std::span<const MirrorChange> changes);
    void distrust() { trusted_ = false; }

    // Read access for the scan.
    const std::vector<Entry>& slots() const { return slots_; }
    const std::vector<Extra>& extras() const { return extras_; }
    // The parsed metadata of position i of the slot array, or of extra i.
    const JsonValue& slot_form(std::size_t i) const { return forms_[i]; }
    const JsonValue& extra_form(std::size_t i) const { return extra_forms_[i]; }
    std::string_view id_of(const Entry& e) const { return {arena_.data() + e.text, e.id_len}; }
    std::string_view metadata_of(const Entry& e) const { return {arena_.data() + e.text + e.id_len, e.meta_len}; }

    // The Active records unexpired at `now`, as count_live_records counts them.
    std::uint64_t live_count(std::uint64_t now) const;

    MirrorFootprint footprint() const;

private:
    void clear();
    // Adds a record; false when it cannot be held (a text too long).
    bool add(std::uint64_t slot, std::string_view id, std::string_view metadata,
             std::optional<std::uint64_t> expires_at, RecordState state);
    // Drops the record of `id` kept at `slot`; false when it holds none.
    bool drop(std::uint64_t slot, std::string_view id);
    // Writes the arena again without the texts of dropped records.
    void pack_arena();

    bool trusted_ = false;
    std::uint64_t snapshot_ = 0;
    std::optional<StoreError> error_;
    std::vector<Entry> slots_;
    std::vector<Extra> extras_;
    std::string arena_;
    std::uint64_t dead_text_ = 0;  // arena bytes of dropped records
    std::uint64_t records_ = 0;
    bool forms_on_ = false;
    std::vector<JsonValue> forms_;        // by slot, while forms_on_
    std::vector<JsonValue> extra_forms_;  // beside extras_, while forms_on_
};

}  // namespace tessello
