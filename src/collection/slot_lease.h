#pragma once
// SlotLease: the slots one operation took (allocate_slot: the last freed
// first, else a new one appended) for records it has not stored yet. When the
// lease ends, every slot it still holds goes back to the free list, in the
// order taken; release() hands them to the records that now name them (a
// stored or buffered record), after which nothing goes back.
//
// Which failures give a slot back is stated where the lease is released: a
// slot named by a stored record stays with it even when a later step fails,
// and a slot the vector store refuses as not allocated is nobody's and never
// goes back. Used on the calling thread only; holds no lock between calls.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "collection/collection.h"

namespace tessello {

class SlotLease {
public:
    explicit SlotLease(Collection& core) : core_(core) {}
    ~SlotLease();
    SlotLease(const SlotLease&) = delete;
    SlotLease& operator=(const SlotLease&) = delete;

    // Room for n slots, taken or not.
    void reserve(std::size_t n) { slots_.reserve(n); }
    // One more slot for the lease.
    Result<std::uint64_t> take();
    // The slots belong to records from here on; none goes back.
    void release() { slots_.clear(); }

private:
    Collection& core_;
    std::vector<std::uint64_t> slots_;
};

}  // namespace tessello
