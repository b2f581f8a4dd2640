#include "collection/core_lock.h"

#include <cstdio>
#include <cstdlib>

namespace tessello {

namespace {

// The core locks the calling thread holds, one bit per CoreLock, and the
// transactions of meta_db it has open.
thread_local std::uint8_t held = 0;
thread_local unsigned reads_open = 0;
thread_local unsigned writes_open = 0;

constexpr std::uint8_t bit(CoreLock lock) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(lock)); }

const char* name(CoreLock lock) {
    switch (lock) {
        case CoreLock::Flush: return "flush_lock";
        case CoreLock::Index: return "index_lock";
        case CoreLock::Visibility: return "visibility_lock";
        case CoreLock::VectorStore: return "vector_store_lock";
        case CoreLock::FreeList: return "free_list_lock";
        case CoreLock::Pending: return "pending_lock";
        case CoreLock::Mirror: return "mirror_lock";
    }
    return "?";
}

[[noreturn]] void broken(const std::source_location& where, const char* taking, const char* rule) {
    std::fprintf(stderr, "tessello: collection lock order broken at %s:%u (%s): %s %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name(), taking, rule);
    std::fflush(stderr);
    std::abort();
}

// The first of `locks` that the thread holds, if any.
const char* first_held(std::initializer_list<CoreLock> locks) {
    for (CoreLock l : locks)
        if (held & bit(l)) return name(l);
    return nullptr;
}

void refuse_if_held(const std::source_location& where, CoreLock taking, std::initializer_list<CoreLock> locks,
                    const char* why) {
    if (const char* other = first_held(locks)) {
        char rule[160];
        std::snprintf(rule, sizeof rule, "taken while %s is held (%s)", other, why);
        broken(where, name(taking), rule);
    }
}

}  // namespace

void note_lock_taken(CoreLock lock, std::source_location where, LockMode mode) {
    const std::uint8_t b = bit(lock);
    if (held & b) broken(where, name(lock), "taken again by the thread that holds it");
    switch (lock) {
        case CoreLock::Flush:
            refuse_if_held(where, lock,
                           {CoreLock::Index, CoreLock::Visibility, CoreLock::VectorStore, CoreLock::FreeList,
                            CoreLock::Pending, CoreLock::Mirror},
                           "flush_lock comes first");
            if (reads_open + writes_open)
                broken(where, "flush_lock", "taken while a meta_db transaction is open (flush_lock comes first)");
            break;
        case CoreLock::Index:
            refuse_if_held(where, lock, {CoreLock::Visibility, CoreLock::VectorStore, CoreLock::Mirror},
                           "index_lock comes first");
            // Its holders begin transactions, which wait for a growth of the
            // map, which waits for every open transaction to end.
            if (reads_open + writes_open)
                broken(where, "index_lock", "taken while a meta_db transaction is open (index_lock comes first)");
            break;
        case CoreLock::Visibility:
            refuse_if_held(where, lock, {CoreLock::VectorStore, CoreLock::FreeList, CoreLock::Pending, CoreLock::Mirror},
                           "visibility_lock comes first");
            if (mode == LockMode::Shared && reads_open + writes_open)
                broken(where, "visibility_lock",
                       "taken shared while a meta_db transaction is open (begin the transaction under it)");
            if (mode == LockMode::Exclusive && (writes_open == 0 || reads_open != 0))
                broken(where, "visibility_lock", "taken exclusively outside a write transaction of its own");
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
        case CoreLock::Mirror:
            refuse_if_held(where, lock, {CoreLock::VectorStore, CoreLock::FreeList, CoreLock::Pending},
                           "mirror_lock comes first");
            break;
    }
    held |= b;
}

void note_lock_released(CoreLock lock) { held &= static_cast<std::uint8_t>(~bit(lock)); }

void check_transaction_begin(std::source_location where, TxnKind kind) {
    // Growing the store's map waits for every open transaction: a thread that
    // waits to begin one must not hold what the holders of those wait for.
    if (held & bit(CoreLock::VectorStore))
        broken(where, "a meta_db transaction", "begun while vector_store_lock is held");
    if (held & bit(CoreLock::FreeList))
        broken(where, "a meta_db transaction", "begun while free_list_lock is held");
    if (held & bit(CoreLock::Pending))
        broken(where, "a meta_db transaction", "begun while pending_lock is held");
    // The mirror's holders wait on searches that hold transactions open.
    if (held & bit(CoreLock::Mirror))
        broken(where, "a meta_db transaction", "begun while mirror_lock is held");
    // The flush takes visibility_lock inside its write transaction: a writer
    // waiting for the store's writer lock under it would wait for itself.
    if (kind == TxnKind::Write && (held & bit(CoreLock::Visibility)))
        broken(where, "a meta_db write transaction", "begun while visibility_lock is held");
}

void note_transaction_begun(TxnKind kind) { ++(kind == TxnKind::Read ? reads_open : writes_open); }

void note_transaction_ended(TxnKind kind) { --(kind == TxnKind::Read ? reads_open : writes_open); }

}  // namespace tessello
