#include "base/buffered_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/sys_io.h"
#include "base/utf8.h"

namespace tessello {

namespace {

Status check_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return fail(StoreError::io_message("file name contained an unexpected NUL byte"));
    return {};
}

}  // namespace

Result<BufferedWriter> BufferedWriter::create(std::string_view path) {
    if (auto st = check_path(path); !st) return fail(st.error());
    UniqueFd fd(::open(std::string(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) return fail_errno(errno);
    BufferedWriter w(std::move(fd));
    w.buffer_.reserve(kFileBufferSize);
    return w;
}

Status BufferedWriter::write_all(std::string_view bytes) { return sys_write_all(fd_.get(), bytes); }

Status BufferedWriter::write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > kFileBufferSize) {
        if (auto st = flush(); !st) return st;
        if (bytes.size() >= kFileBufferSize) return write_all(bytes);
    }
    buffer_.append(bytes);
    return {};
}

Status BufferedWriter::flush() {
    const std::string pending = std::move(buffer_);
    buffer_.clear();
    return write_all(pending);
}

Result<LineReader> LineReader::open(std::string_view path) {
    if (auto st = check_path(path); !st) return fail(st.error());
    UniqueFd fd(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return fail_errno(errno);
    return LineReader(std::move(fd));
}

Result<std::optional<std::string>> LineReader::next_line() {
    for (;;) {
        const auto feed = buffer_.find('\n', start_);
        if (feed != std::string::npos || (eof_ && start_ < buffer_.size())) {
            const std::size_t end = feed == std::string::npos ? buffer_.size() : feed + 1;
            std::string line = buffer_.substr(start_, end - start_);
            start_ = end;
            if (utf8_error(line)) return fail(StoreError::io_message("stream did not contain valid UTF-8"));
            return std::optional<std::string>(std::move(line));
        }
        if (eof_) return std::optional<std::string>{};
        buffer_.erase(0, start_);
        start_ = 0;
        char chunk[kFileBufferSize];
        const ssize_t n = ::read(fd_.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        if (n == 0)
            eof_ = true;
        else
            buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

}  // namespace tessello
