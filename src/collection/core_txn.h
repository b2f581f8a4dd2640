#pragma once
// CoreReadTxn: a read transaction of a core's meta_db, begun through the core
// (Collection::read_txn), which the lock-order checks of collection/core_lock.h
// know to be open on the calling thread for its whole life. Used as the
// ReadTxn it is; moved, it hands the note on. One thread only.
#include <utility>

#include "collection/core_lock.h"
#include "storage/kv_store.h"

namespace tessello {

class CoreReadTxn : public ReadTxn {
public:
    explicit CoreReadTxn(ReadTxn txn) : ReadTxn(std::move(txn)) { note_transaction_begun(TxnKind::Read); }
    CoreReadTxn(CoreReadTxn&& other) noexcept : ReadTxn(std::move(other)), noted_(std::exchange(other.noted_, false)) {}
    CoreReadTxn& operator=(CoreReadTxn&&) = delete;
    ~CoreReadTxn() {
        if (noted_) note_transaction_ended(TxnKind::Read);
    }

private:
    bool noted_ = true;
};

}  // namespace tessello
