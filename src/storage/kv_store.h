#pragma once
// KvStore: one key-value file ("meta.redb") on an LMDB environment.
//
// - Opening takes an exclusive, non-blocking flock on the file first; a second
//   handle on the same file, in this process or another, fails with
//   "Database already open. Cannot acquire lock." and the first stays usable.
// - Tables are LMDB named databases with UTF-8 keys and byte values, iterated
//   in key (byte) order. Readers see a missing table as empty; writers create it.
// - Read and write transactions are RAII values. A write transaction released
//   without commit aborts and leaves nothing behind.
// - The map is reserved large when the file opens (address space, not disk:
//   LMDB's file grows only with its data), so it rarely fills. It is never a
//   fixed cap: write_transaction grows a full map and runs its body again.
// - A write transaction reads what it has written (WriteTxn::get), so no
//   operation needs a read transaction inside a write transaction.
//
// Rule for callers: never begin a write transaction while the same thread holds
// a read transaction on the same store; growing the map waits for every
// transaction of the process to end.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/binary_codec.h"
#include "base/store_error.h"
#include "base/unique_fd.h"

struct MDB_env;
struct MDB_txn;
struct MDB_cursor;

namespace tessello {

class ReadTxn;
class WriteTxn;
class WriteCursor;

class KvStore {
public:
    // The address space reserved for a store's map. When the process cannot
    // reserve that much, opening halves it until it can (down to kMinMapSize).
    static constexpr std::size_t kDefaultMapSize = std::size_t{16} << 30;
    static constexpr std::size_t kMinMapSize = std::size_t{1} << 20;

    // Opens or creates the file at path. tables names every table the store
    // may hold, so that the ones already on disk are known before the first
    // transaction begins.
    static Result<std::unique_ptr<KvStore>> open(const std::filesystem::path& path,
                                                 std::initializer_list<std::string_view> tables,
                                                 std::size_t initial_map_size = kDefaultMapSize);
    ~KvStore();
    KvStore(const KvStore&) = delete;
    KvStore& operator=(const KvStore&) = delete;

    std::size_t map_size() const;

    // Read transactions a caller may open on top of its own to share work
    // (one per worker of a parallel walk), from a budget of half the store's
    // reader slots, so such walks never crowd out other readers.
    bool reserve_extra_readers(std::size_t n);
    void release_extra_readers(std::size_t n);

private:
    friend class ReadTxn;
    friend class WriteTxn;
    friend class TableCursor;
    friend class WriteCursor;
    friend Result<ReadTxn> begin_read_txn(KvStore& store);
    friend Result<WriteTxn> begin_write_txn(KvStore& store);
    friend Status write_transaction(KvStore& store, const std::function<Status(WriteTxn&)>& body);

    KvStore();
    // Creates and opens the LMDB environment with the given map size.
    int open_env(const std::filesystem::path& path, std::size_t map_size);
    // Begins a write transaction for a caller that holds writer_mu_.
    Result<WriteTxn> begin_write_locked();

    // Transactions pass through a gate so the map can be grown while none is open.
    void enter();
    void leave();
    // Grows the map past seen_size unless another writer already did. Fails
    // when the calling thread still holds a transaction of its own.
    Status grow(std::size_t seen_size, int full_rc);

    // The handle of a committed table, or nothing when it does not exist yet.
    std::optional<unsigned> known_table(std::string_view name);

    UniqueFd lock_fd_;
    MDB_env* env_ = nullptr;
    std::size_t map_size_ = 0;

    std::mutex table_mu_;
    std::map<std::string, unsigned, std::less<>> tables_;

    std::mutex writer_mu_;
    std::atomic<std::size_t> spare_readers_;

    mutable std::mutex gate_mu_;
    std::condition_variable gate_cv_;
    std::size_t active_ = 0;
    std::size_t growers_waiting_ = 0;
};

struct KvEntry {
    std::string_view key;
    Bytes value;
};

// Walks one table in key order. Views stay valid while the transaction lives.
class TableCursor {
public:
    TableCursor(TableCursor&& other) noexcept;
    TableCursor& operator=(TableCursor&&) = delete;
    ~TableCursor();
    // The next entry, nothing at the end.
    Result<std::optional<KvEntry>> next();

private:
    friend class ReadTxn;
    TableCursor(MDB_cursor* cursor, std::string from) : cursor_(cursor), from_(std::move(from)) {}
    MDB_cursor* cursor_ = nullptr;  // null: a missing table, yields nothing
    std::string from_;              // the first entry is the first key >= from_
    bool started_ = false;
};

class ReadTxn {
public:
    ReadTxn(ReadTxn&& other) noexcept;
    ReadTxn& operator=(ReadTxn&&) = delete;
    ~ReadTxn();

    // The value under key (a view valid while the transaction lives), or
    // nothing when the table or the key is missing.
    Result<std::optional<Bytes>> get(std::string_view table, std::string_view key) const;
    Result<TableCursor> scan(std::string_view table) const;
    // The walk from the first key not below `from`.
    Result<TableCursor> scan_from(std::string_view table, std::string_view from) const;
    // Transactions with equal ids see the same committed state.
    std::uint64_t snapshot_id() const;

private:
    friend Result<ReadTxn> begin_read_txn(KvStore& store);
    ReadTxn(KvStore* store, MDB_txn* txn) : store_(store), txn_(txn) {}
    // The table's handle as this transaction sees it: nothing when the table
    // did not exist in its snapshot.
    std::optional<unsigned> table(std::string_view name) const;

    KvStore* store_;
    MDB_txn* txn_;
};

class WriteTxn {
public:
    WriteTxn(WriteTxn&& other) noexcept;
    WriteTxn& operator=(WriteTxn&&) = delete;
    ~WriteTxn();

    // The value under key as this transaction sees it, its own writes
    // included; nothing when the table or the key is missing. The view is
    // valid until the transaction's next put or remove, or its end.
    Result<std::optional<Bytes>> get(std::string_view table, std::string_view key) const;
    Status put(std::string_view table, std::string_view key, Bytes value);
    // Whether a value was there.
    Result<bool> remove(std::string_view table, std::string_view key);
    // A cursor for many gets and puts on one table (creating it when missing).
    Result<WriteCursor> cursor(std::string_view table);
    Status commit();
    // The id that read transactions report once this one has committed,
    // provided it wrote something (a transaction that changed nothing leaves
    // the committed state, and its id, as they were).
    std::uint64_t snapshot_id() const;
    // Runs fn once this transaction has committed, before the store's writer
    // lock is let go: for state kept beside the store that must change with
    // the commit as the next writer sees it. A transaction that does not
    // commit (or a run of write_transaction that is made again) drops it. fn
    // must not begin a transaction.
    void on_commit(std::function<void()> fn) { on_commit_.push_back(std::move(fn)); }

private:
    friend Result<WriteTxn> begin_write_txn(KvStore& store);
    friend class KvStore;
    friend class WriteCursor;
    friend Status write_transaction(KvStore& store, const std::function<Status(WriteTxn&)>& body);

    WriteTxn(KvStore* store, MDB_txn* txn, std::unique_lock<std::mutex> writer)
        : store_(store), txn_(txn), entered_(true), writer_(std::move(writer)) {}
    // Opens (creating when missing) a table; returns LMDB's code.
    int table_for_write(std::string_view name, unsigned* dbi);
    // The table's handle, for a table that exists in this transaction.
    std::optional<unsigned> table_for_read(std::string_view name) const;
    // LMDB's code turned into the result of one operation; notes a full map.
    Status check(int rc);
    // Aborts what is open and leaves the store's gate.
    void end();

    KvStore* store_;
    MDB_txn* txn_;
    bool entered_;
    bool map_full_ = false;                // an operation or the commit found the map full
    std::unique_lock<std::mutex> writer_;  // the store's writer lock, when this transaction took it
    std::vector<std::pair<std::string, unsigned>> created_;
    std::vector<std::function<void()>> on_commit_;
};

// Gets and puts on one table of a write transaction, as WriteTxn::get and
// WriteTxn::put do them, with the same results. Keys given in ascending order
// find their place from where the last one left the cursor, instead of
// descending from the root each time, so sorted keys cost less; a new key past
// the table's last one is appended at its end, filling pages instead of
// splitting them in half. A view that
// get returns is valid until the next put through any path, or the end of the
// transaction. The cursor must end before its transaction commits or ends.
class WriteCursor {
public:
    WriteCursor(WriteCursor&& other) noexcept;
    WriteCursor& operator=(WriteCursor&&) = delete;
    ~WriteCursor();

    Result<std::optional<Bytes>> get(std::string_view key);
    Status put(std::string_view key, Bytes value);
    // put for a key that is not there yet. When it is, nothing is written:
    // the stored value is returned, as get would return it, and the cursor
    // stays on it for put_current.
    Result<std::optional<Bytes>> put_if_absent(std::string_view key, Bytes value);
    // put of the key the cursor is on (found by the last get or
    // put_if_absent), without looking it up again: the same result as put.
    Status put_current(std::string_view key, Bytes value);

private:
    friend class WriteTxn;
    WriteCursor(WriteTxn* txn, MDB_cursor* cursor) : txn_(txn), cursor_(cursor) {}
    // Whether key lies past the last key the table held when last looked at
    // (or put through this cursor since). A hint: the append checks it.
    bool past_last(std::string_view key);

    WriteTxn* txn_;
    MDB_cursor* cursor_;
    bool last_known_ = false;
    bool has_last_ = false;
    std::string last_;
};

Result<ReadTxn> begin_read_txn(KvStore& store);
// One write transaction, committed by the caller. It fails (and leaves
// nothing) when the map fills up; operations of the system use
// write_transaction, which grows the map instead.
Result<WriteTxn> begin_write_txn(KvStore& store);

// Runs body in a write transaction and commits it when the body succeeds; a
// failing body aborts it and its error is returned. When the map fills up,
// in the body or at the commit, the transaction is aborted, the map grown and
// the body run again from the start. So a body sets its outputs afresh on
// every run and reads what it needs inside the transaction; it changes
// nothing outside it. No other write transaction of the store begins until
// the last run has ended.
Status write_transaction(KvStore& store, const std::function<Status(WriteTxn&)>& body);

}  // namespace tessello
