#pragma once
// FreeList: slot numbers freed for reuse, taken last in, first out. Stored in
// a collection's key-value file under table "freelist", key "slots", as a u64
// count followed by the entries in list order (the next one taken is last).
//
// The collection core keeps the list inside its reader-writer lock; the list's
// own mutex is held only for the few steps of a take, push or read, and never
// while the key-value store is called.
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "storage/kv_store.h"

namespace tessello {

inline constexpr std::string_view kFreelistTable = "freelist";
inline constexpr std::string_view kFreelistKey = "slots";

class FreeList {
public:
    FreeList() = default;
    explicit FreeList(std::vector<std::uint64_t> slots) : slots_(std::move(slots)) {}
    // Only for a list nobody else uses yet (a freshly loaded one).
    FreeList(FreeList&& other) noexcept : slots_(std::move(other.slots_)) {}

    // Removes and returns the most recently pushed slot.
    std::optional<std::uint64_t> take_last();
    void push(std::uint64_t slot);
    bool contains(std::uint64_t slot) const;
    std::vector<std::uint64_t> entries() const;
    std::size_t size() const;

private:
    mutable std::mutex mu_;
    std::vector<std::uint64_t> slots_;
};

// A missing table, a missing key or an empty value give an empty list; bytes
// after the last entry are ignored; a value cut short is StoreError::Serialization.
Result<FreeList> load_freelist(const ReadTxn& txn);
// Writes the whole list under "slots" in the caller's transaction.
Status persist_freelist(const FreeList& list, WriteTxn& txn);
void freelist_push(FreeList& list, std::uint64_t slot);

// The stored form, exposed for the decoder tests.
std::vector<std::uint8_t> encode_freelist(const std::vector<std::uint64_t>& slots);
Result<std::vector<std::uint64_t>> decode_freelist(Bytes bytes);

}  // namespace tessello
