#pragma once
// UuidBatch: the generated identifiers of one batch, each a random version-4
// UUID exactly as new_uuid_v4 makes it, with the random bytes drawn from the
// operating system for many identifiers at a time instead of one call per
// identifier. Used on the calling thread only.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/store_error.h"

namespace tessello {

class UuidBatch {
public:
    // For a batch that will ask for `total` identifiers at most.
    explicit UuidBatch(std::size_t total) : left_(total) {}

    // The next identifier. A failure of the random source is returned where
    // a single new_uuid_v4 would have returned it.
    Result<std::string> next();

private:
    std::size_t left_;
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// 36 lowercase hexadecimal characters in groups 8-4-4-4-12 of the 16 bytes,
// with the version (4) and variant bits set.
std::string format_uuid_v4(const std::uint8_t* bytes16);
// Fills the buffer from the operating system's random source.
Status fill_random(std::uint8_t* out, std::size_t size);

}  // namespace tessello
