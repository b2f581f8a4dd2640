#include "base/binary_codec.h"

#include <bit>
#include <cstring>

#include "base/utf8.h"

namespace tessello {

namespace {

template <class T>
void put_le(std::vector<std::uint8_t>& out, T v) {
    static_assert(std::endian::native == std::endian::little);
    const auto at = out.size();
    out.resize(at + sizeof v);
    std::memcpy(out.data() + at, &v, sizeof v);
}

template <class T>
T get_le(Bytes b) {
    T v;
    std::memcpy(&v, b.data(), sizeof v);
    return v;
}

}  // namespace

StoreError unexpected_eof() {
    return StoreError::text(StoreError::Serialization, "io error: unexpected end of file");
}

void ByteWriter::u32(std::uint32_t v) { put_le(out_, v); }
void ByteWriter::u64(std::uint64_t v) { put_le(out_, v); }
void ByteWriter::f64(double v) { put_le(out_, std::bit_cast<std::uint64_t>(v)); }

void ByteWriter::str(std::string_view s) {
    u64(s.size());
    out_.insert(out_.end(), s.begin(), s.end());
}

Result<Bytes> ByteReader::take(std::size_t n) {
    if (remaining() < n) return fail(unexpected_eof());
    Bytes b = in_.subspan(pos_, n);
    pos_ += n;
    return b;
}

Result<std::uint8_t> ByteReader::u8() {
    auto b = take(1);
    if (!b) return fail(b.error());
    return (*b)[0];
}

Result<std::uint32_t> ByteReader::u32() {
    auto b = take(4);
    if (!b) return fail(b.error());
    return get_le<std::uint32_t>(*b);
}

Result<std::uint64_t> ByteReader::u64() {
    auto b = take(8);
    if (!b) return fail(b.error());
    return get_le<std::uint64_t>(*b);
}

Result<double> ByteReader::f64() {
    auto v = u64();
    if (!v) return fail(v.error());
    return std::bit_cast<double>(*v);
}

Result<std::string_view> ByteReader::str() {
    auto len = u64();
    if (!len) return fail(len.error());
    // A length beyond the input is reported with an empty I/O message, unlike
    // a fixed-width field that runs out.
    if (*len > remaining()) return fail(StoreError::Serialization, "io error: ");
    std::string_view s(reinterpret_cast<const char*>(in_.data() + pos_), *len);
    pos_ += *len;
    if (auto bad = utf8_error(s)) return fail(StoreError::Serialization, "string is not valid utf8: " + *bad);
    return s;
}

Result<bool> ByteReader::tag() {
    auto t = u8();
    if (!t) return fail(t.error());
    if (*t > 1)
        return fail(StoreError::Serialization, "tag for enum is not valid, found " + std::to_string(*t));
    return *t == 1;
}

Result<std::uint32_t> ByteReader::variant(std::uint32_t count) {
    auto v = u32();
    if (!v) return fail(v.error());
    if (*v >= count)
        return fail(StoreError::Serialization, "invalid value: integer `" + std::to_string(*v) +
                                                   "`, expected variant index 0 <= i < " +
                                                   std::to_string(count));
    return *v;
}

}  // namespace tessello
