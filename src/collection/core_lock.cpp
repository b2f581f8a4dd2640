#include "collection/core_lock.h"

#include <cstdio>
#include <cstdlib>

namespace tessello {

namespace {

// The core locks the calling thread holds, one bit per CoreLock.
thread_local std::uint8_t held = 0;

constexpr std::uint8_t bit(CoreLock lock) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(lock)); }

const char* name(CoreLock lock) {
    switch (lock) {
        case CoreLock::Index: return "index_lock";
        case CoreLock::VectorStore: return "vector_store_lock";
        case CoreLock::FreeList: return "free_list_lock";
        case CoreLock::Pending: return "pending_lock";
    }
    return "?";
}

[[noreturn]] void broken(const std::source_location& where, const char* taking, const char* rule) {
    std::fprintf(stderr, "tessello: collection lock order broken at %s:%u (%s): %s %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name(), taking, rule);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void note_lock_taken(CoreLock lock, std::source_location where) {
    const std::uint8_t b = bit(lock);
    if (held & b) broken(where, name(lock), "taken again by the thread that holds it");
    switch (lock) {
        case CoreLock::Index:
            if (held & bit(CoreLock::VectorStore))
                broken(where, "index_lock", "taken while vector_store_lock is held (index_lock comes first)");
            break;
        case CoreLock::VectorStore:
            if (held & bit(CoreLock::FreeList))
                broken(where, "vector_store_lock", "taken while free_list_lock is held (never both)");
            break;
        case CoreLock::FreeList:
            if (held & bit(CoreLock::VectorStore))
                broken(where, "free_list_lock", "taken while vector_store_lock is held (never both)");
            break;
        case CoreLock::Pending:
            if (held & bit(CoreLock::FreeList))
                broken(where, "pending_lock", "taken while free_list_lock is held (pending_lock comes first)");
            break;
    }
    held |= b;
}

void note_lock_released(CoreLock lock) { held &= static_cast<std::uint8_t>(~bit(lock)); }

void check_transaction_begin(std::source_location where) {
    // Growing the store's map waits for every open transaction: a thread that
    // waits to begin one must not hold what the holders of those wait for.
    if (held & bit(CoreLock::VectorStore))
        broken(where, "a meta_db transaction", "begun while vector_store_lock is held");
    if (held & bit(CoreLock::FreeList))
        broken(where, "a meta_db transaction", "begun while free_list_lock is held");
}

}  // namespace tessello
