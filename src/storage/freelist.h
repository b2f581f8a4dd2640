#pragma once
// FreeList: slot numbers freed for reuse, taken last in, first out. Stored in
// a collection's key-value file under table "freelist", key "slots", as a u64
// count followed by the entries in list order (the next one taken is last).
//
// A slot is listed at most once: push_if_absent and hold are the only ways
// one goes back, and their membership test is a hash lookup. A stored list
// that names a slot more than once (another writer of the file may push
// without a test) keeps only its last copy when loaded, the one that would
// be taken first: handed out twice, one slot would hold the vectors of two
// records, and the first record's would be overwritten.
//
// A slot can be listed but held: stored as free by a commit, not yet handed
// out (its owner still has to mark it deleted). Every list a transaction
// stores includes the held slots, so one writer's commit never drops the slot
// another writer listed; take_last passes them over until release().
//
// The collection core keeps the list inside its reader-writer lock; the list's
// own mutex is held only for the few steps of a take, push or read, and never
// while the key-value store is called.
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "storage/kv_store.h"

namespace tessello {

inline constexpr std::string_view kFreelistTable = "freelist";
inline constexpr std::string_view kFreelistKey = "slots";

class FreeList {
public:
    FreeList() = default;
    // The slots in list order, each repeat dropped but its last copy.
    explicit FreeList(std::vector<std::uint64_t> slots);
    // Only for a list nobody else uses yet (a freshly loaded one).
    FreeList(FreeList&& other) noexcept
        : slots_(std::move(other.slots_)), listed_(std::move(other.listed_)) {}

    // Removes and returns the most recently pushed slot that is not held.
    std::optional<std::uint64_t> take_last();
    // Appends slot (the next one taken) unless it is listed already; whether
    // it was appended.
    bool push_if_absent(std::uint64_t slot);
    // Appends slot as held unless it is listed already; whether it was.
    bool hold(std::uint64_t slot);
    // A held slot may be taken from here on; a slot not listed is appended.
    // Whether it became one that can be taken.
    bool release(std::uint64_t slot);
    bool contains(std::uint64_t slot) const;
    // Every listed slot, held ones included, in list order.
    std::vector<std::uint64_t> entries() const;
    std::size_t size() const;

private:
    struct Listing {
        bool held = false;
    };
    friend Status persist_freelist(const FreeList&, WriteTxn&, std::span<const std::uint64_t>,
                                   std::vector<std::uint64_t>*);
    mutable std::mutex mu_;
    std::vector<std::uint64_t> slots_;
    std::unordered_map<std::uint64_t, Listing> listed_;
};

// A missing table, a missing key or an empty value give an empty list; bytes
// after the last entry are ignored; a value cut short is StoreError::Serialization.
Result<FreeList> load_freelist(const ReadTxn& txn);
// The one writer of the stored list: the whole list (held slots included)
// under "slots" in the caller's transaction, followed by each slot of `also`
// in order that is neither listed nor given before it (the list as
// push_if_absent of each would leave it; the list itself is not changed, so a
// transaction that fails leaves nothing to undo). Those slots of `also` go to
// `appended` when given.
Status persist_freelist(const FreeList& list, WriteTxn& txn, std::span<const std::uint64_t> also = {},
                        std::vector<std::uint64_t>* appended = nullptr);

// The stored form, exposed for the decoder tests.
std::vector<std::uint8_t> encode_freelist(const std::vector<std::uint64_t>& slots);
Result<std::vector<std::uint64_t>> decode_freelist(Bytes bytes);

}  // namespace tessello
