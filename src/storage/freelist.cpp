#include "storage/freelist.h"

#include <algorithm>
#include <unordered_set>

namespace tessello {

FreeList::FreeList(std::vector<std::uint64_t> slots) {
    listed_.reserve(slots.size());
    slots_.reserve(slots.size());
    // From the end, where taking begins: the first copy met is the one kept.
    for (std::size_t i = slots.size(); i-- > 0;)
        if (listed_.try_emplace(slots[i]).second) slots_.push_back(slots[i]);
    std::reverse(slots_.begin(), slots_.end());
}

std::optional<std::uint64_t> FreeList::take_last() {
    std::lock_guard lock(mu_);
    // Held slots are few and only for the moment between a commit and their
    // release, so the walk past them is short.
    for (std::size_t i = slots_.size(); i-- > 0;) {
        const std::uint64_t slot = slots_[i];
        auto it = listed_.find(slot);
        if (it->second.held) continue;
        slots_.erase(slots_.begin() + std::ptrdiff_t(i));
        listed_.erase(it);
        return slot;
    }
    return std::nullopt;
}

bool FreeList::push_if_absent(std::uint64_t slot) {
    std::lock_guard lock(mu_);
    if (!listed_.try_emplace(slot, Listing{false}).second) return false;
    slots_.push_back(slot);
    return true;
}

bool FreeList::hold(std::uint64_t slot) {
    std::lock_guard lock(mu_);
    if (!listed_.try_emplace(slot, Listing{true}).second) return false;
    slots_.push_back(slot);
    return true;
}

bool FreeList::release(std::uint64_t slot) {
    std::lock_guard lock(mu_);
    auto [it, fresh] = listed_.try_emplace(slot, Listing{false});
    if (fresh) {
        slots_.push_back(slot);
        return true;
    }
    if (!it->second.held) return false;
    it->second.held = false;
    return true;
}

bool FreeList::contains(std::uint64_t slot) const {
    std::lock_guard lock(mu_);
    return listed_.contains(slot);
}

std::vector<std::uint64_t> FreeList::entries() const {
    std::lock_guard lock(mu_);
    return slots_;
}

std::size_t FreeList::size() const {
    std::lock_guard lock(mu_);
    return slots_.size();
}

std::vector<std::uint8_t> encode_freelist(const std::vector<std::uint64_t>& slots) {
    std::vector<std::uint8_t> out;
    out.reserve(8 + 8 * slots.size());
    ByteWriter w(out);
    w.u64(slots.size());
    for (std::uint64_t s : slots) w.u64(s);
    return out;
}

Result<std::vector<std::uint64_t>> decode_freelist(Bytes bytes) {
    if (bytes.empty()) return std::vector<std::uint64_t>{};
    ByteReader in(bytes);
    auto count = in.u64();
    if (!count) return fail(count.error());
    std::vector<std::uint64_t> slots;
    // The count is untrusted: reserve no more than the bytes could hold.
    slots.reserve(std::min<std::uint64_t>(*count, in.remaining() / 8));
    for (std::uint64_t i = 0; i < *count; ++i) {
        auto s = in.u64();
        if (!s) return fail(s.error());
        slots.push_back(*s);
    }
    return slots;
}

Result<FreeList> load_freelist(const ReadTxn& txn) {
    auto value = txn.get(kFreelistTable, kFreelistKey);
    if (!value) return fail(value.error());
    if (!*value) return FreeList();
    auto slots = decode_freelist(**value);
    if (!slots) return fail(slots.error());
    return FreeList(std::move(*slots));
}

Status persist_freelist(const FreeList& list, WriteTxn& txn, std::span<const std::uint64_t> also,
                        std::vector<std::uint64_t>* appended) {
    std::vector<std::uint64_t> slots;
    {
        std::lock_guard lock(list.mu_);
        slots = list.slots_;
        std::unordered_set<std::uint64_t> given;
        for (std::uint64_t slot : also)
            if (!list.listed_.contains(slot) && given.insert(slot).second) {
                slots.push_back(slot);
                if (appended) appended->push_back(slot);
            }
    }
    return txn.put(kFreelistTable, kFreelistKey, encode_freelist(slots));
}

}  // namespace tessello
