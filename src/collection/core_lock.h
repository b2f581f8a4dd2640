#pragma once
// The locks of a collection core and the order they are taken in, checked on
// every thread as it runs.
//
// Each lock owns the state it guards (Guarded): the state is reached only
// through a guard that holds the lock, and every guard, like every
// transaction of meta_db, passes the checks below before it waits. The rules
// (the order written at the top of collection/collection.h):
// - flush_lock is taken while the thread holds no other core lock and no
//   transaction;
// - a transaction of meta_db is begun only while neither vector_store_lock,
//   free_list_lock nor pending_lock is held, and a write transaction not
//   while visibility_lock is held (the exact walk's extra read transactions,
//   begun past these checks, are the exception collection/collection.h
//   explains);
// - index_lock is taken while the thread holds no transaction and neither
//   vector_store_lock nor visibility_lock;
// - visibility_lock is taken while neither vector_store_lock, free_list_lock
//   nor pending_lock is held; shared only while the thread holds no
//   transaction (its readers begin theirs under it), exclusively only inside
//   a write transaction (the flush, around its commit);
// - free_list_lock and vector_store_lock are never held together;
// - pending_lock is never taken while free_list_lock is held;
// - mirror_lock is taken while neither vector_store_lock, free_list_lock nor
//   pending_lock is held, and flush_lock, index_lock, visibility_lock and
//   every transaction are taken or begun before it, never while it is held;
// - no core lock is taken twice by one thread (none is recursive).
// A thread that breaks one has found a fault of the code, not of its input:
// the check writes what was taken where to stderr and aborts.
//
// What a thread holds is a bitmask of its own (thread_local), one bit per
// kind of lock, and a count of the transactions it has open, so a check is a
// few instructions. It does not tell the cores apart: no operation holds a
// lock of one core while it takes one of another.
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <source_location>

namespace tessello {

enum class CoreLock : std::uint8_t { Flush, Index, Visibility, VectorStore, FreeList, Pending, Mirror };
enum class LockMode : std::uint8_t { Shared, Exclusive };
enum class TxnKind : std::uint8_t { Read, Write };

// Checks that the calling thread may take `lock` now and notes that it holds it.
void note_lock_taken(CoreLock lock, std::source_location where, LockMode mode = LockMode::Exclusive);
void note_lock_released(CoreLock lock);
// Checks that the calling thread may begin a transaction of meta_db now.
void check_transaction_begin(std::source_location where, TxnKind kind = TxnKind::Read);
// The transaction the thread began is open / has ended.
void note_transaction_begun(TxnKind kind);
void note_transaction_ended(TxnKind kind);

// A value reached only under its lock. shared() (for a reader-writer lock)
// lends it read-only, exclusive() read-write; each guard holds the lock for
// its own life and is neither copied nor moved.
template <class T, class Mutex, CoreLock Id>
class Guarded {
public:
    template <class... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    class Shared {
    public:
        Shared(const Guarded& g, std::source_location where) : value_(&g.value_), mutex_(&g.mutex_) {
            note_lock_taken(Id, where, LockMode::Shared);
            mutex_->lock_shared();
        }
        ~Shared() {
            mutex_->unlock_shared();
            note_lock_released(Id);
        }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;
        const T& operator*() const { return *value_; }
        const T* operator->() const { return value_; }

    private:
        const T* value_;
        Mutex* mutex_;
    };

    class Exclusive {
    public:
        Exclusive(Guarded& g, std::source_location where) : value_(&g.value_), mutex_(&g.mutex_) {
            note_lock_taken(Id, where);
            mutex_->lock();
        }
        ~Exclusive() {
            mutex_->unlock();
            note_lock_released(Id);
        }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;
        T& operator*() const { return *value_; }
        T* operator->() const { return value_; }

    private:
        T* value_;
        Mutex* mutex_;
    };

    Shared shared(std::source_location where = std::source_location::current()) const { return Shared(*this, where); }
    Exclusive exclusive(std::source_location where = std::source_location::current()) {
        return Exclusive(*this, where);
    }

private:
    mutable Mutex mutex_;
    T value_;
};

}  // namespace tessello
