#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace tessello::fuzz {

namespace {

struct ScratchDir {
    std::filesystem::path path;
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tessello-fuzz-XXXXXX").string();
        fuzz_check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

const std::filesystem::path& scratch_dir() {
    static const ScratchDir dir;
    return dir.path;
}

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    // A new file in place of the old one, not the old one truncated: ext4
    // writes a truncated and rewritten file back to the disk when it is
    // closed, which would make every run wait for the disk.
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    fuzz_check(fd >= 0, "open the scratch file");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        fuzz_check(n > 0, "write the scratch file");
        done += static_cast<std::size_t>(n);
    }
    fuzz_check(::close(fd) == 0, "close the scratch file");
}

bool same_json(const JsonValue& a, const JsonValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case JsonValue::Kind::Null: return true;
        case JsonValue::Kind::Bool: return a.as_bool() == b.as_bool();
        case JsonValue::Kind::Unsigned: return a.as_unsigned() == b.as_unsigned();
        case JsonValue::Kind::Signed: return a.as_signed() == b.as_signed();
        case JsonValue::Kind::Float:
            return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
        case JsonValue::Kind::String: return a.as_string() == b.as_string();
        case JsonValue::Kind::Array: {
            const auto& x = a.as_array();
            const auto& y = b.as_array();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!same_json(x[i], y[i])) return false;
            return true;
        }
        case JsonValue::Kind::Object: {
            const auto& x = a.as_object();
            const auto& y = b.as_object();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !same_json(i->second, j->second)) return false;
            return true;
        }
    }
    return false;
}

}  // namespace tessello::fuzz
