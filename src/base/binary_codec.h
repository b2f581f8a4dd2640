#pragma once
// The binary encoding of every stored value: little-endian fixed-width
// integers, a u64 length before each string and sequence, a one-byte tag (0
// absent, 1 present) before an optional value, a u32 index for an enumeration
// variant, fields in declaration order, no padding.
//
// ByteWriter appends to a buffer. ByteReader reads from a byte view and never
// past it; every failure is a StoreError::Serialization with the decoder's
// message ("io error: unexpected end of file", "string is not valid utf8: ...",
// "tag for enum is not valid, found {}", "invalid value: integer `{}`,
// expected variant index 0 <= i < {}").
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/store_error.h"

namespace tessello {

using Bytes = std::span<const std::uint8_t>;

class ByteWriter {
public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    void u8(std::uint8_t v) { out_.push_back(v); }
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    void f64(double v);
    void str(std::string_view s);
    void tag(bool present) { out_.push_back(present ? 1 : 0); }

private:
    std::vector<std::uint8_t>& out_;
};

class ByteReader {
public:
    explicit ByteReader(Bytes input) : in_(input) {}

    Result<std::uint8_t> u8();
    Result<std::uint32_t> u32();
    Result<std::uint64_t> u64();
    Result<double> f64();
    // A length-prefixed UTF-8 string, viewed in place.
    Result<std::string_view> str();
    // An option tag: true when a value follows.
    Result<bool> tag();
    // A u32 enumeration index below count.
    Result<std::uint32_t> variant(std::uint32_t count);

    std::size_t remaining() const { return in_.size() - pos_; }

private:
    Result<Bytes> take(std::size_t n);

    Bytes in_;
    std::size_t pos_ = 0;
};

// The error of a value cut short inside a fixed-width field.
StoreError unexpected_eof();

}  // namespace tessello
