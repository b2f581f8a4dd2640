#include "storage/kv_store.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/fault_injection.h"
#include "storage/lmdb_errors.h"
#include "storage/lmdb_file_check.h"

namespace tessello {

namespace {

constexpr unsigned kMaxTables = 8;
// Searches walk a table with one read transaction per pool thread, and many
// searches may run at once.
constexpr unsigned kMaxReaders = 4096;

// Transactions each thread holds, per store: a thread that already holds one
// may open more while the map waits to grow (it could not finish otherwise),
// and a thread that holds one cannot grow the map itself. A store leaves the
// list when the thread's last transaction of it ends, so the list stays as
// short as what the thread holds now.
using HeldEntry = std::pair<const KvStore*, std::size_t>;
thread_local std::vector<HeldEntry> held_by_thread;

// The thread's entry for the store, or none.
HeldEntry* held_entry(const KvStore* store) {
    for (HeldEntry& e : held_by_thread)
        if (e.first == store) return &e;
    return nullptr;
}

// The thread's count for the store, made 0 when it has none yet.
std::size_t& held(const KvStore* store) {
    if (HeldEntry* e = held_entry(store)) return e->second;
    return held_by_thread.emplace_back(store, 0).second;
}

std::size_t held_count(const KvStore* store) {
    const HeldEntry* e = held_entry(store);
    return e ? e->second : 0;
}

// Ends one of the thread's transactions of the store.
void release_held(const KvStore* store) {
    HeldEntry* e = held_entry(store);
    if (e == nullptr || --e->second != 0) return;
    *e = held_by_thread.back();
    held_by_thread.pop_back();
}

MDB_val as_val(std::string_view s) {
    return MDB_val{s.size(), const_cast<char*>(s.data())};
}

// LMDB cannot hold an empty key or one longer than its key limit; no such key
// can be present, so lookups and removals of one simply find nothing.
bool storable_key(MDB_env* env, std::string_view key) {
    return !key.empty() && key.size() <= static_cast<std::size_t>(mdb_env_get_maxkeysize(env));
}

// The value under key in the table dbi (nothing: a table the transaction
// does not have), as a view into the transaction's pages.
Result<std::optional<Bytes>> lookup(MDB_env* env, MDB_txn* txn, std::optional<unsigned> dbi, std::string_view key) {
    if (!dbi || !storable_key(env, key)) return std::optional<Bytes>{};
    MDB_val k = as_val(key), v;
    const int rc = mdb_get(txn, *dbi, &k, &v);
    if (rc == MDB_NOTFOUND) return std::optional<Bytes>{};
    if (rc != 0) return fail(from_storage_error(rc));
    return std::optional<Bytes>(Bytes(static_cast<const std::uint8_t*>(v.mv_data), v.mv_size));
}

StoreError database_text(std::string text) {
    return StoreError::text(StoreError::Database, std::move(text));
}

}  // namespace

// ---- KvStore ---------------------------------------------------------------

Result<std::unique_ptr<KvStore>> KvStore::open(const std::filesystem::path& path,
                                               std::initializer_list<std::string_view> tables,
                                               std::size_t initial_map_size) {
    std::unique_ptr<KvStore> store(new KvStore());
    store->lock_fd_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!store->lock_fd_.valid()) return fail(from_database_error(errno));
    if (::flock(store->lock_fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return fail(database_text("Database already open. Cannot acquire lock."));
        return fail(from_database_error(errno));
    }
    // LMDB trusts its file: a page past the end or a bad offset in it would
    // end the process. Under the lock, nothing changes the file until LMDB has it.
    if (auto checked = check_lmdb_file(store->lock_fd_.get(), tables); !checked) return fail(checked.error());

    // Reserve a large map; a process with less address space to give takes
    // a smaller one, which grows when it fills.
    std::size_t map_size = initial_map_size;
    int rc = store->open_env(path, map_size);
    while (rc == ENOMEM && map_size / 2 >= kMinMapSize) {
        map_size /= 2;
        rc = store->open_env(path, map_size);
    }
    if (rc != 0) return fail(from_database_error(rc));

    MDB_envinfo info;
    mdb_env_info(store->env_, &info);
    store->map_size_ = info.me_mapsize;

    // Learn the tables already on disk before any transaction of the caller
    // begins: a transaction only sees handles opened before it started.
    MDB_txn* txn = nullptr;
    if ((rc = mdb_txn_begin(store->env_, nullptr, MDB_RDONLY, &txn)) != 0)
        return fail(from_transaction_error(rc));
    for (std::string_view name : tables) {
        MDB_dbi dbi;
        const std::string owned(name);
        rc = mdb_dbi_open(txn, owned.c_str(), 0, &dbi);
        if (rc == MDB_NOTFOUND) continue;
        if (rc != 0) {
            mdb_txn_abort(txn);
            return fail(from_table_error(rc));
        }
        store->tables_.emplace(owned, dbi);
    }
    // Committing a read transaction keeps the handles it opened.
    if ((rc = mdb_txn_commit(txn)) != 0) return fail(from_table_error(rc));
    return store;
}

KvStore::KvStore() : spare_readers_(kMaxReaders / 2) {}

int KvStore::open_env(const std::filesystem::path& path, std::size_t map_size) {
    if (env_) mdb_env_close(env_);
    env_ = nullptr;
    int rc = mdb_env_create(&env_);
    if (rc != 0) {
        env_ = nullptr;
        return rc;
    }
    if ((rc = mdb_env_set_maxdbs(env_, kMaxTables)) != 0 || (rc = mdb_env_set_maxreaders(env_, kMaxReaders)) != 0 ||
        (rc = mdb_env_set_mapsize(env_, map_size)) != 0 ||
        (rc = mdb_env_open(env_, path.c_str(), MDB_NOSUBDIR | MDB_NOTLS, 0666)) != 0) {
        // A failed open leaves the environment fit only for closing.
        mdb_env_close(env_);
        env_ = nullptr;
    }
    return rc;
}

bool KvStore::reserve_extra_readers(std::size_t n) {
    std::size_t spare = spare_readers_.load();
    while (spare >= n)
        if (spare_readers_.compare_exchange_weak(spare, spare - n)) return true;
    return false;
}

void KvStore::release_extra_readers(std::size_t n) { spare_readers_.fetch_add(n); }

KvStore::~KvStore() {
    if (env_) mdb_env_close(env_);
    // lock_fd_ closes after the environment, releasing the file lock last.
}

std::size_t KvStore::map_size() const {
    std::lock_guard lock(gate_mu_);
    return map_size_;
}

void KvStore::enter() {
    std::unique_lock lock(gate_mu_);
    std::size_t& mine = held(this);
    if (mine == 0) gate_cv_.wait(lock, [&] { return growers_waiting_ == 0; });
    ++active_;
    ++mine;
}

void KvStore::leave() {
    std::lock_guard lock(gate_mu_);
    --active_;
    release_held(this);
    if (active_ == 0) gate_cv_.notify_all();
}

Status KvStore::grow(std::size_t seen_size, int full_rc) {
    std::unique_lock lock(gate_mu_);
    if (held_count(this) != 0) return fail(from_storage_error(full_rc));
    ++growers_waiting_;
    gate_cv_.wait(lock, [&] { return active_ == 0; });
    Status status;
    if (map_size_ <= seen_size) {
        const std::size_t next = map_size_ * 2;
        const int rc = mdb_env_set_mapsize(env_, next);
        if (rc == 0)
            map_size_ = next;
        else
            status = fail(from_storage_error(rc));
    }
    --growers_waiting_;
    gate_cv_.notify_all();
    return status;
}

std::optional<unsigned> KvStore::known_table(std::string_view name) {
    std::lock_guard lock(table_mu_);
    auto it = tables_.find(name);
    if (it == tables_.end()) return std::nullopt;
    return it->second;
}

// ---- reading ---------------------------------------------------------------

Result<ReadTxn> begin_read_txn(KvStore& store) {
    store.enter();
    MDB_txn* txn = nullptr;
    const int rc = mdb_txn_begin(store.env_, nullptr, MDB_RDONLY, &txn);
    if (rc != 0) {
        store.leave();
        return fail(from_transaction_error(rc));
    }
    return ReadTxn(&store, txn);
}

ReadTxn::ReadTxn(ReadTxn&& other) noexcept
    : store_(other.store_), txn_(std::exchange(other.txn_, nullptr)) {}

ReadTxn::~ReadTxn() {
    if (!txn_) return;
    mdb_txn_abort(txn_);
    store_->leave();
}

std::optional<unsigned> ReadTxn::table(std::string_view name) const {
    auto dbi = store_->known_table(name);
    if (!dbi) return std::nullopt;
    // A table created after this transaction began is not in its snapshot.
    unsigned flags;
    if (mdb_dbi_flags(txn_, *dbi, &flags) != 0) return std::nullopt;
    return dbi;
}

Result<std::optional<Bytes>> ReadTxn::get(std::string_view table_name, std::string_view key) const {
    return lookup(store_->env_, txn_, table(table_name), key);
}

Result<TableCursor> ReadTxn::scan(std::string_view table_name) const { return scan_from(table_name, {}); }

Result<TableCursor> ReadTxn::scan_from(std::string_view table_name, std::string_view from) const {
    auto dbi = table(table_name);
    if (!dbi) return TableCursor(nullptr, {});
    MDB_cursor* cursor = nullptr;
    const int rc = mdb_cursor_open(txn_, *dbi, &cursor);
    if (rc != 0) return fail(from_storage_error(rc));
    return TableCursor(cursor, std::string(from));
}

std::uint64_t ReadTxn::snapshot_id() const { return mdb_txn_id(txn_); }

std::uint64_t WriteTxn::snapshot_id() const { return mdb_txn_id(txn_); }

TableCursor::TableCursor(TableCursor&& other) noexcept
    : cursor_(std::exchange(other.cursor_, nullptr)), from_(std::move(other.from_)), started_(other.started_) {}

TableCursor::~TableCursor() {
    if (cursor_) mdb_cursor_close(cursor_);
}

Result<std::optional<KvEntry>> TableCursor::next() {
    if (!cursor_) return std::optional<KvEntry>{};
    MDB_val k = as_val(from_), v;
    MDB_cursor_op op = MDB_NEXT;
    if (!started_) op = from_.empty() ? MDB_FIRST : MDB_SET_RANGE;
    const int rc = mdb_cursor_get(cursor_, &k, &v, op);
    started_ = true;
    if (rc == MDB_NOTFOUND) return std::optional<KvEntry>{};
    if (rc != 0) return fail(from_storage_error(rc));
    return std::optional<KvEntry>(KvEntry{
        std::string_view(static_cast<const char*>(k.mv_data), k.mv_size),
        Bytes(static_cast<const std::uint8_t*>(v.mv_data), v.mv_size)});
}

// ---- writing ---------------------------------------------------------------

Result<WriteTxn> KvStore::begin_write_locked() {
    enter();
    MDB_txn* txn = nullptr;
    const int rc = mdb_txn_begin(env_, nullptr, 0, &txn);
    if (rc != 0) {
        leave();
        return fail(from_transaction_error(rc));
    }
    return WriteTxn(this, txn, std::unique_lock<std::mutex>());
}

Result<WriteTxn> begin_write_txn(KvStore& store) {
    // One writer at a time in this process, for the whole life of the
    // transaction. A waiting writer is not counted at the gate, so a growth
    // of the map does not wait for it.
    std::unique_lock writer(store.writer_mu_);
    auto txn = store.begin_write_locked();
    if (!txn) return fail(txn.error());
    txn->writer_ = std::move(writer);
    return txn;
}

Status write_transaction(KvStore& store, const std::function<Status(WriteTxn&)>& body) {
    // The writer lock spans every run, so no other writer commits between a
    // run that found the map full and the next.
    std::unique_lock writer(store.writer_mu_);
    for (;;) {
        auto txn = store.begin_write_locked();
        if (!txn) return fail(txn.error());
        Status status = body(*txn);
        if (!txn->map_full_) {
            if (!status) return status;
            status = txn->commit();
            if (!txn->map_full_) return status;
        }
        const std::size_t seen = store.map_size();
        txn->end();
        if (auto grown = store.grow(seen, MDB_MAP_FULL); !grown) return grown;
    }
}

WriteTxn::WriteTxn(WriteTxn&& other) noexcept
    : store_(other.store_),
      txn_(std::exchange(other.txn_, nullptr)),
      entered_(std::exchange(other.entered_, false)),
      map_full_(other.map_full_),
      writer_(std::move(other.writer_)),
      created_(std::move(other.created_)),
      on_commit_(std::move(other.on_commit_)) {}

WriteTxn::~WriteTxn() { end(); }

void WriteTxn::end() {
    if (txn_) mdb_txn_abort(txn_);
    txn_ = nullptr;
    created_.clear();
    if (entered_) store_->leave();
    entered_ = false;
}

int WriteTxn::table_for_write(std::string_view name, unsigned* dbi_out) {
    if (auto dbi = table_for_read(name)) {
        *dbi_out = *dbi;
        return 0;
    }
    MDB_dbi dbi;
    const std::string owned(name);
    const int rc = mdb_dbi_open(txn_, owned.c_str(), MDB_CREATE, &dbi);
    if (rc != 0) return rc;
    // The handle becomes visible to other transactions only once this one commits.
    created_.emplace_back(owned, dbi);
    *dbi_out = dbi;
    return 0;
}

std::optional<unsigned> WriteTxn::table_for_read(std::string_view name) const {
    if (auto dbi = store_->known_table(name)) return dbi;
    for (const auto& [n, dbi] : created_)
        if (n == name) return dbi;
    return std::nullopt;
}

Status WriteTxn::check(int rc) {
    if (rc == 0) return {};
    if (rc == MDB_MAP_FULL) map_full_ = true;
    return fail(from_storage_error(rc));
}

Result<std::optional<Bytes>> WriteTxn::get(std::string_view table_name, std::string_view key) const {
    if (!txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    return lookup(store_->env_, txn_, table_for_read(table_name), key);
}

Status WriteTxn::put(std::string_view table, std::string_view key, Bytes value) {
    if (!txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    unsigned dbi;
    if (auto st = check(table_for_write(table, &dbi)); !st) return st;
    MDB_val k = as_val(key);
    MDB_val v{value.size(), const_cast<std::uint8_t*>(value.data())};
    return check(mdb_put(txn_, dbi, &k, &v, 0));
}

Result<bool> WriteTxn::remove(std::string_view table, std::string_view key) {
    if (!txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    unsigned dbi;
    if (auto st = check(table_for_write(table, &dbi)); !st) return fail(st.error());
    if (!storable_key(store_->env_, key)) return false;
    MDB_val k = as_val(key);
    const int rc = mdb_del(txn_, dbi, &k, nullptr);
    if (rc == MDB_NOTFOUND) return false;
    if (auto st = check(rc); !st) return fail(st.error());
    return true;
}

Result<WriteCursor> WriteTxn::cursor(std::string_view table) {
    if (!txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    unsigned dbi;
    if (auto st = check(table_for_write(table, &dbi)); !st) return fail(st.error());
    MDB_cursor* cursor = nullptr;
    if (auto st = check(mdb_cursor_open(txn_, dbi, &cursor)); !st) return fail(st.error());
    return WriteCursor(this, cursor);
}

WriteCursor::WriteCursor(WriteCursor&& other) noexcept
    : txn_(other.txn_),
      cursor_(std::exchange(other.cursor_, nullptr)),
      last_known_(other.last_known_),
      has_last_(other.has_last_),
      last_(std::move(other.last_)) {}

WriteCursor::~WriteCursor() {
    // A write transaction's cursors must go before it ends; this one ends first.
    if (cursor_) mdb_cursor_close(cursor_);
}

Result<std::optional<Bytes>> WriteCursor::get(std::string_view key) {
    if (!txn_->txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    if (!storable_key(txn_->store_->env_, key)) return std::optional<Bytes>{};
    MDB_val k = as_val(key), v;
    const int rc = mdb_cursor_get(cursor_, &k, &v, MDB_SET_KEY);
    if (rc == MDB_NOTFOUND) return std::optional<Bytes>{};
    if (rc != 0) return fail(from_storage_error(rc));
    return std::optional<Bytes>(Bytes(static_cast<const std::uint8_t*>(v.mv_data), v.mv_size));
}

Status WriteCursor::put(std::string_view key, Bytes value) {
    if (!txn_->txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    MDB_val k = as_val(key);
    MDB_val v{value.size(), const_cast<std::uint8_t*>(value.data())};
    return txn_->check(mdb_cursor_put(cursor_, &k, &v, 0));
}

bool WriteCursor::past_last(std::string_view key) {
    if (!last_known_) {
        MDB_val k, v;
        const int rc = mdb_cursor_get(cursor_, &k, &v, MDB_LAST);
        if (rc != 0 && rc != MDB_NOTFOUND) return false;
        has_last_ = rc == 0;
        if (has_last_) last_.assign(static_cast<const char*>(k.mv_data), k.mv_size);
        last_known_ = true;
    }
    return !has_last_ || key > std::string_view(last_);
}

Result<std::optional<Bytes>> WriteCursor::put_if_absent(std::string_view key, Bytes value) {
    if (!txn_->txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    MDB_val k = as_val(key);
    MDB_val v{value.size(), const_cast<std::uint8_t*>(value.data())};
    if (past_last(key)) {
        // LMDB compares the key with the table's true last key and refuses
        // one that is not past it (another path may have put a larger one):
        // that key takes the ordinary put below.
        const int rc = mdb_cursor_put(cursor_, &k, &v, MDB_APPEND);
        if (rc == 0) {
            has_last_ = true;
            last_.assign(key);
            return std::optional<Bytes>{};
        }
        if (rc != MDB_KEYEXIST) {
            if (auto st = txn_->check(rc); !st) return fail(st.error());
        }
        last_known_ = false;
        k = as_val(key);
        v = MDB_val{value.size(), const_cast<std::uint8_t*>(value.data())};
    }
    const int rc = mdb_cursor_put(cursor_, &k, &v, MDB_NOOVERWRITE);
    // On a key that is there, LMDB points v at the stored value and writes nothing.
    if (rc == MDB_KEYEXIST)
        return std::optional<Bytes>(Bytes(static_cast<const std::uint8_t*>(v.mv_data), v.mv_size));
    if (auto st = txn_->check(rc); !st) return fail(st.error());
    return std::optional<Bytes>{};
}

Status WriteCursor::put_current(std::string_view key, Bytes value) {
    if (!txn_->txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
    MDB_val k = as_val(key);
    MDB_val v{value.size(), const_cast<std::uint8_t*>(value.data())};
    return txn_->check(mdb_cursor_put(cursor_, &k, &v, MDB_CURRENT));
}

Status WriteTxn::commit() {
    Status status = [&]() -> Status {
        if (!txn_) return fail(StoreError::Transaction, "Transaction is no longer usable");
        if (take_fault(FaultPoint::Commit)) return fail(StoreError::Transaction, "I/O error: injected commit failure");
        // A table this transaction creates must be known to readers as soon
        // as it is committed: lookups of unknown tables wait for the publish.
        std::unique_lock tables(store_->table_mu_, std::defer_lock);
        if (!created_.empty()) tables.lock();
        const int rc = mdb_txn_commit(txn_);
        txn_ = nullptr;  // LMDB frees the transaction whether or not it committed
        if (rc == 0) {
            for (const auto& [name, dbi] : created_) store_->tables_.emplace(name, dbi);
            created_.clear();
            return {};
        }
        if (rc == MDB_MAP_FULL) {
            map_full_ = true;
            return fail(from_storage_error(rc));
        }
        return fail(from_commit_error(rc));
    }();
    // Committed or failed, the transaction is over. What must change with the
    // commit changes before the next writer is let in.
    end();
    std::vector<std::function<void()>> after = std::move(on_commit_);
    on_commit_.clear();
    if (status)
        for (auto& fn : after) fn();
    if (writer_.owns_lock()) writer_.unlock();
    return status;
}

}  // namespace tessello
