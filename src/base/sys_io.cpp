#include "base/sys_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <vector>

#include "base/fault_injection.h"
#include "base/unique_fd.h"

namespace tessello {

namespace {

std::unexpected<StoreError> injected(FaultPoint point) { return fail_errno(fault_errno(point)); }

bool fits_off_t(std::uint64_t v) { return v <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()); }

}  // namespace

Status sys_fsync(int fd) {
    if (take_fault(FaultPoint::Fsync)) return injected(FaultPoint::Fsync);
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return fail_errno(errno);
    }
    return {};
}

Status sys_fsync_dir(const std::string& dir) {
    if (take_fault(FaultPoint::FsyncDir)) return injected(FaultPoint::FsyncDir);
    UniqueFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return fail_errno(errno);
    while (::fsync(fd.get()) != 0) {
        if (errno == EINTR) continue;
        if (errno == EINVAL) return {};
        return fail_errno(errno);
    }
    return {};
}

Status sys_msync(void* addr, std::size_t length) {
    if (take_fault(FaultPoint::Msync)) return injected(FaultPoint::Msync);
    if (::msync(addr, length, MS_SYNC) != 0) return fail_errno(errno);
    return {};
}

Status sys_reserve(int fd, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return {};
    if (!fits_off_t(offset) || !fits_off_t(length) || !fits_off_t(offset + length)) return fail_errno(EFBIG);
    if (take_fault(FaultPoint::Reserve)) return injected(FaultPoint::Reserve);
    for (;;) {
        // posix_fallocate reports its error as its result, not in errno.
        const int err = ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(length));
        if (err == 0) return {};
        if (err != EINTR) return fail_errno(err);
    }
}

Status sys_write_all(int fd, std::string_view bytes) {
    if (bytes.empty()) return {};
    if (take_fault(FaultPoint::Write)) return injected(FaultPoint::Write);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        if (n == 0) return fail_errno(EIO);  // no progress: asking again would spin
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

Status sys_pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    if (size == 0) return {};
    if (!fits_off_t(offset) || !fits_off_t(offset + size)) return fail_errno(EFBIG);
    if (take_fault(FaultPoint::Write)) return injected(FaultPoint::Write);
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        if (n == 0) return fail_errno(EIO);  // no progress: asking again would spin
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return {};
}

Status sys_pwritev_all(int fd, std::span<const iovec> buffers, std::uint64_t offset) {
    std::size_t size = 0;
    for (const iovec& b : buffers) size += b.iov_len;
    if (size == 0) return {};
    if (!fits_off_t(offset) || !fits_off_t(offset + size)) return fail_errno(EFBIG);
    if (take_fault(FaultPoint::Write)) return injected(FaultPoint::Write);
    // The kernel takes at most IOV_MAX buffers a call and may write less than
    // asked: go on from where each call stopped.
    std::vector<iovec> rest(buffers.begin(), buffers.end());
    std::size_t first = 0;
    while (first < rest.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(rest.size() - first, IOV_MAX));
        const ssize_t n = ::pwritev(fd, rest.data() + first, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        if (n == 0) return fail_errno(EIO);  // no progress: asking again would spin
        offset += static_cast<std::uint64_t>(n);
        auto left = static_cast<std::size_t>(n);
        while (first < rest.size() && left >= rest[first].iov_len) left -= rest[first++].iov_len;
        if (left > 0) {
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
            rest[first].iov_len -= left;
        }
    }
    return {};
}

Status sys_rename(const std::string& from, const std::string& to) {
    if (take_fault(FaultPoint::Rename)) return injected(FaultPoint::Rename);
    if (std::rename(from.c_str(), to.c_str()) != 0) return fail_errno(errno);
    return {};
}

int sys_mkdir(const std::string& path, mode_t mode) {
    if (take_fault(FaultPoint::Mkdir)) return fault_errno(FaultPoint::Mkdir);
    return ::mkdir(path.c_str(), mode) == 0 ? 0 : errno;
}

}  // namespace tessello
