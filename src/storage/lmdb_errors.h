#pragma once
// Conversions of key-value store (LMDB) failures into StoreError. Each takes
// LMDB's return code and carries LMDB's own text (mdb_strerror); the name
// says where the failure was met, which decides the kind.
#include "base/store_error.h"

namespace tessello {

std::string lmdb_text(int rc);

// Opening or creating a store file.
StoreError from_database_error(int rc);
// Beginning a read or write transaction.
StoreError from_transaction_error(int rc);
// Committing a write transaction.
StoreError from_commit_error(int rc);
// Reading, inserting, removing, iterating entries.
StoreError from_storage_error(int rc);
// Opening a table.
StoreError from_table_error(int rc);

}  // namespace tessello
