#pragma once
// The file-system calls whose failure comes from outside the program (a full
// disk, a failing device), each passing through its fault point first, so
// that tests can make it fail as the system would (base/fault_injection.h).
// Calls are retried when interrupted; a failure is StoreError::Io with the
// operating system's error. None of them takes a lock or keeps state.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/store_error.h"

namespace tessello {

// fsync of an open file (point Fsync).
Status sys_fsync(int fd);
// fsync of a directory, so that entries made or renamed in it survive a
// crash (point FsyncDir). "" is the current directory. A file system that
// cannot sync directories (EINVAL) is taken as having nothing to sync.
Status sys_fsync_dir(const std::string& dir);
// Synchronous flush of the mapped pages [addr, addr + length) (point Msync).
Status sys_msync(void* addr, std::size_t length);
// Gives the file's bytes [offset, offset + length) their blocks, extending the
// file when it is shorter, so that later stores into a mapping of them cannot
// fault for want of space (point Reserve). A full disk is ENOSPC here.
Status sys_reserve(int fd, std::uint64_t offset, std::uint64_t length);
// Writes all the bytes at the file's position / at offset (point Write, one
// pass per call that has bytes to write).
Status sys_write_all(int fd, std::string_view bytes);
Status sys_pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset);
// The buffers one after another from offset, as one pwrite of their
// concatenation would write them (point Write, once per call with bytes).
Status sys_pwritev_all(int fd, std::span<const iovec> buffers, std::uint64_t offset);
// rename(2): replaces `to` atomically (point Rename).
Status sys_rename(const std::string& from, const std::string& to);
// mkdir(2) (point Mkdir). 0, or the error number, for callers that tell an
// existing directory (EEXIST) or a missing parent (ENOENT) apart.
int sys_mkdir(const std::string& path, mode_t mode);

}  // namespace tessello
