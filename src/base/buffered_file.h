#pragma once
// BufferedFile: a file written through an 8192-byte buffer, and one read a
// line at a time through a buffer of the same size. Both are opened
// close-on-exec; a path holding a NUL byte is refused as the file system
// would only see a part of it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/store_error.h"
#include "base/unique_fd.h"

namespace tessello {

inline constexpr std::size_t kFileBufferSize = 8192;

class BufferedWriter {
public:
    // Creates or truncates the file (mode 0666 before the umask).
    static Result<BufferedWriter> create(std::string_view path);
    Status write(std::string_view bytes);
    // Writes out what is buffered.
    Status flush();

private:
    explicit BufferedWriter(UniqueFd fd) : fd_(std::move(fd)) {}
    Status write_all(std::string_view bytes);
    UniqueFd fd_;
    std::string buffer_;
};

class LineReader {
public:
    static Result<LineReader> open(std::string_view path);
    // The next line with its line feed (the last one may have none), or
    // nothing at the end of the file. A line that is not UTF-8 is an error.
    Result<std::optional<std::string>> next_line();

private:
    explicit LineReader(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
    std::string buffer_;
    std::size_t start_ = 0;
    bool eof_ = false;
};

}  // namespace tessello
