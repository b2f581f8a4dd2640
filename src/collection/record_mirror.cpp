#include "collection/record_mirror.h"

#include <algorithm>
#include <limits>

#include "search/search_hit.h"
#include "storage/records_table.h"

namespace tessello {

static_assert(sizeof(RecordMirror::Entry) <= 24, "the fixed part of a mirrored record stays small");

namespace {

// A slot this far beyond the slot array goes to the list of extras rather
// than growing the array for one record (a damaged table may name any slot).
constexpr std::uint64_t kSlotGrowthLimit = std::uint64_t{1} << 20;
// Dropped texts are packed away once they outweigh the live ones by this much.
constexpr std::uint64_t kPackMinDeadBytes = std::uint64_t{1} << 20;

// Heap bytes a parsed value holds beyond its own size (an estimate: vectors
// and strings by their capacity).
std::uint64_t heap_bytes(const JsonValue& v) {
    switch (v.kind()) {
        case JsonValue::Kind::String: return v.as_string().capacity() > 15 ? v.as_string().capacity() : 0;
        case JsonValue::Kind::Array: {
            std::uint64_t n = v.as_array().capacity() * sizeof(JsonValue);
            for (const JsonValue& item : v.as_array()) n += heap_bytes(item);
            return n;
        }
        case JsonValue::Kind::Object: {
            std::uint64_t n = v.as_object().size() * sizeof(JsonObject::Member);
            for (const auto& [key, item] : v.as_object())
                n += (key.capacity() > 15 ? key.capacity() : 0) + heap_bytes(item);
            return n;
        }
        default: return 0;
    }
}

}  // namespace

void RecordMirror::clear() {
    trusted_ = false;
    error_.reset();
    slots_.clear();
    extras_.clear();
    arena_.clear();
    dead_text_ = 0;
    records_ = 0;
    forms_.clear();
    extra_forms_.clear();
}

Status RecordMirror::rebuild(const ReadTxn& txn, std::uint64_t slot_hint) {
    const bool forms = forms_on_;
    clear();
    forms_on_ = false;
    slots_.resize(slot_hint);
    auto cursor = txn.scan(kRecordsTable);
    if (!cursor) return fail(cursor.error());
    for (;;) {
        auto entry = cursor->next();
        if (!entry) {
            clear();
            return fail(entry.error());
        }
        if (!*entry) break;
        auto r = decode_record_view((*entry)->value);
        if (!r) {
            // Every exact search fails with this until the value is gone;
            // the rest of the table is of no use meanwhile.
            clear();
            error_ = std::move(r.error());
            break;
        }
        if (!add(r->slot, r->id, r->metadata, r->expires_at, r->state)) {
            clear();
            return fail(StoreError::InvalidInput, "record too large to mirror");
        }
    }
    snapshot_ = txn.snapshot_id();
    trusted_ = true;
    if (forms) make_forms();
    return {};
}

void RecordMirror::make_forms() {
    forms_on_ = true;
    forms_.assign(slots_.size(), JsonValue());
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (slots_[i].held()) forms_[i] = metadata_value(metadata_of(slots_[i]));
    extra_forms_.clear();
    for (const Extra& x : extras_) extra_forms_.push_back(metadata_value(metadata_of(x.entry)));
}

bool RecordMirror::add(std::uint64_t slot, std::string_view id, std::string_view metadata,
                       std::optional<std::uint64_t> expires_at, RecordState state) {
    if (id.size() > std::numeric_limits<std::uint16_t>::max() ||
        metadata.size() > std::numeric_limits<std::uint32_t>::max())
        return false;
    Entry e;
    e.text = arena_.size();
    e.id_len = static_cast<std::uint16_t>(id.size());
    e.meta_len = static_cast<std::uint32_t>(metadata.size());
    e.state = state;
    e.flags = Entry::kHeld;
    if (expires_at) {
        e.flags |= Entry::kExpires;
        e.expires_at = *expires_at;
    }
    arena_.append(id);
    arena_.append(metadata);
    ++records_;
    if (slot >= slots_.size() && slot - slots_.size() < kSlotGrowthLimit) {
        slots_.resize(std::max<std::uint64_t>(slot + 1, slots_.size() + slots_.size() / 2));
        if (forms_on_) forms_.resize(slots_.size());
    }
    if (slot < slots_.size() && !slots_[slot].held()) {
        slots_[slot] = e;
        if (forms_on_) forms_[slot] = metadata_value(metadata);
    } else {
        extras_.push_back(Extra{slot, e});
        if (forms_on_) extra_forms_.push_back(metadata_value(metadata));
    }
    return true;
}

bool RecordMirror::drop(std::uint64_t slot, std::string_view id) {
    if (slot < slots_.size() && slots_[slot].held() && id_of(slots_[slot]) == id) {
        dead_text_ += slots_[slot].id_len + slots_[slot].meta_len;
        slots_[slot] = Entry{};
        if (forms_on_) forms_[slot] = JsonValue();
        --records_;
        return true;
    }
    for (std::size_t i = 0; i < extras_.size(); ++i) {
        if (extras_[i].slot != slot || id_of(extras_[i].entry) != id) continue;
        dead_text_ += extras_[i].entry.id_len + extras_[i].entry.meta_len;
        extras_.erase(extras_.begin() + static_cast<std::ptrdiff_t>(i));
        if (forms_on_) extra_forms_.erase(extra_forms_.begin() + static_cast<std::ptrdiff_t>(i));
        --records_;
        return true;
    }
    return false;
}

void RecordMirror::note(std::uint64_t commit, std::span<const MirrorChange> changes) {
    if (!trusted_ || commit <= snapshot_) return;
    // A record that does not decode stays in the table until a walk no
    // longer meets it; whether this commit removed it only a walk can tell.
    if (commit != snapshot_ + 1 || error_) {
        trusted_ = false;
        return;
    }
    for (const MirrorChange& c : changes) {
        if (c.before && !drop(*c.before, c.id)) {
            trusted_ = false;
            return;
        }
        if (c.after && !add(c.after->slot, c.after->id, c.after->metadata, c.after->expires_at, c.after->state)) {
            trusted_ = false;
            return;
        }
    }
    snapshot_ = commit;
    if (dead_text_ > kPackMinDeadBytes && dead_text_ > arena_.size() - dead_text_) pack_arena();
}

void RecordMirror::pack_arena() {
    std::string packed;
    packed.reserve(arena_.size() - dead_text_);
    auto move_text = [&](Entry& e) {
        const std::uint64_t at = packed.size();
        packed.append(arena_, e.text, std::uint64_t{e.id_len} + e.meta_len);
        e.text = at;
    };
    for (Entry& e : slots_)
        if (e.held()) move_text(e);
    for (Extra& x : extras_) move_text(x.entry);
    arena_ = std::move(packed);
    dead_text_ = 0;
}

std::uint64_t RecordMirror::live_count(std::uint64_t now) const {
    std::uint64_t n = 0;
    for (const Entry& e : slots_) n += e.live_at(now);
    for (const Extra& x : extras_) n += x.entry.live_at(now);
    return n;
}

MirrorFootprint RecordMirror::footprint() const {
    MirrorFootprint f{};
    f.records = records_;
    f.slots = slots_.size();
    f.fixed_bytes = slots_.capacity() * sizeof(Entry) + extras_.capacity() * sizeof(Extra);
    f.text_bytes = arena_.capacity();
    if (forms_on_) {
        f.form_bytes = (forms_.capacity() + extra_forms_.capacity()) * sizeof(JsonValue);
        for (const JsonValue& v : forms_) f.form_bytes += heap_bytes(v);
        for (const JsonValue& v : extra_forms_) f.form_bytes += heap_bytes(v);
    }
    return f;
}

}  // namespace tessello
