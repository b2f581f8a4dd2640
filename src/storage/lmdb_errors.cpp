#include "storage/lmdb_errors.h"

#include <lmdb.h>

namespace tessello {

std::string lmdb_text(int rc) { return std::string(mdb_strerror(rc)); }

StoreError from_database_error(int rc) { return StoreError::text(StoreError::Database, lmdb_text(rc)); }
StoreError from_transaction_error(int rc) { return StoreError::text(StoreError::Transaction, lmdb_text(rc)); }
StoreError from_commit_error(int rc) { return StoreError::text(StoreError::Transaction, lmdb_text(rc)); }
StoreError from_storage_error(int rc) { return StoreError::text(StoreError::Database, lmdb_text(rc)); }
StoreError from_table_error(int rc) { return StoreError::text(StoreError::Database, lmdb_text(rc)); }

}  // namespace tessello
