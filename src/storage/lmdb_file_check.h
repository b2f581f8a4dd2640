#pragma once
// check_lmdb_file: reads a key-value file ("meta.redb") with pread before LMDB
// maps it, and refuses one that LMDB would read past its end, walk through bad
// offsets, abort on, or damage further by reusing a page that is still in use.
// LMDB trusts every byte of its file; this is the one place that does not.
//
// - An empty file passes: LMDB initialises it.
// - A file whose pages lie past its end fails with StoreError::Database
//   "file is truncated: {size} bytes, its pages need {bytes}". Pages past the
//   end that the snapshot lists as free are no loss (LMDB does not always
//   write a page that was freed in the transaction that took it), so a file
//   cut inside those alone passes.
// - A file that is no LMDB file, or of another format version, fails with
//   LMDB's own text for that; any other damage to the meta pages or to a page
//   of the current snapshot fails with "file is corrupted: {what}"; so does a
//   table whose name is not among `tables` (the names the file's owner
//   writes), since a damaged name would make its table read as empty.
// - What cannot be told from a file that LMDB wrote is not refused: bytes
//   inside keys that keep their order, inside values, in counters LMDB only
//   reports, in free pages or in the snapshot before the current one.
//
// Reads each page of the current snapshot once (overflow pages only by their
// header, except those of the free-page lists): time and memory linear in
// the file's size. Pure function of the file's bytes; the caller holds the
// file's lock so that nothing writes it meanwhile.
#include <initializer_list>
#include <string_view>

#include "base/store_error.h"

namespace tessello {

Status check_lmdb_file(int fd, std::initializer_list<std::string_view> tables);

}  // namespace tessello
