#include "collection/uuid_batch.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>

namespace tessello {

namespace {

// Identifiers a draw serves: few enough that the bytes stay small.
constexpr std::size_t kIdsPerDraw = 4096;

}  // namespace

Status fill_random(std::uint8_t* out, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(out + got, size - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        got += static_cast<std::size_t>(n);
    }
    return {};
}

std::string format_uuid_v4(const std::uint8_t* bytes16) {
    std::uint8_t b[16];
    std::copy(bytes16, bytes16 + 16, b);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHex[b[i] >> 4]);
        out.push_back(kHex[b[i] & 0x0F]);
    }
    return out;
}

Result<std::string> UuidBatch::next() {
    if (at_ == bytes_.size()) {
        const std::size_t ids = std::max<std::size_t>(1, std::min(left_, kIdsPerDraw));
        bytes_.resize(ids * 16);
        at_ = 0;
        if (auto st = fill_random(bytes_.data(), bytes_.size()); !st) {
            bytes_.clear();
            return fail(st.error());
        }
    }
    std::string id = format_uuid_v4(bytes_.data() + at_);
    at_ += 16;
    if (left_ > 0) --left_;
    return id;
}

}  // namespace tessello
