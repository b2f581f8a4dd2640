#include "storage/record.h"

#include <cstring>

#include "base/utf8.h"

namespace tessello {

Record RecordView::to_record() const {
    return Record{std::string(id), slot, std::string(metadata), created_at, expires_at, state};
}

std::size_t encoded_record_len(const Record& r) {
    return 37 + r.id.size() + r.metadata.size() + (r.expires_at ? 8 : 0);
}

std::vector<std::uint8_t> encode_record(const Record& r) {
    std::vector<std::uint8_t> out;
    encode_record_into(r, out);
    return out;
}

namespace {

template <class R>
void encode_into(const R& r, std::vector<std::uint8_t>& out) {
    out.clear();
    out.reserve(37 + r.id.size() + r.metadata.size() + (r.expires_at ? 8 : 0));
    ByteWriter w(out);
    w.str(r.id);
    w.u64(r.slot);
    w.str(r.metadata);
    w.u64(r.created_at);
    w.tag(r.expires_at.has_value());
    if (r.expires_at) w.u64(*r.expires_at);
    w.u32(static_cast<std::uint32_t>(r.state));
}

}  // namespace

void encode_record_into(const Record& r, std::vector<std::uint8_t>& out) { encode_into(r, out); }
void encode_record_into(const RecordView& r, std::vector<std::uint8_t>& out) { encode_into(r, out); }

namespace {

// The decoder of every search's walk: plain bounds-checked reads, no error
// values. It accepts exactly what the checked decoder below accepts, which
// runs only to tell what is wrong with a value this one refused.
bool decode_fast(Bytes b, RecordView& r) {
    std::size_t at = 0;
    auto u64 = [&](std::uint64_t& v) {
        if (b.size() - at < 8) return false;
        std::memcpy(&v, b.data() + at, 8);
        at += 8;
        return true;
    };
    auto str = [&](std::string_view& s) {
        std::uint64_t len;
        if (!u64(len) || len > b.size() - at) return false;
        s = std::string_view(reinterpret_cast<const char*>(b.data() + at), len);
        at += len;
        return !utf8_error(s).has_value();
    };
    std::uint64_t expires = 0;
    if (!str(r.id) || !u64(r.slot) || !str(r.metadata) || !u64(r.created_at) || at >= b.size()) return false;
    const std::uint8_t tag = b[at++];
    if (tag > 1) return false;
    if (tag == 1) {
        if (!u64(expires)) return false;
        r.expires_at = expires;
    } else {
        r.expires_at.reset();
    }
    std::uint32_t state;
    if (b.size() - at < 4) return false;
    std::memcpy(&state, b.data() + at, 4);
    if (state > 2) return false;
    r.state = static_cast<RecordState>(state);
    return true;
}

}  // namespace

Result<RecordView> decode_record_view(Bytes bytes) {
    if (RecordView fast; decode_fast(bytes, fast)) return fast;
    ByteReader in(bytes);
    RecordView r;
    auto id = in.str();
    if (!id) return fail(id.error());
    r.id = *id;
    auto slot = in.u64();
    if (!slot) return fail(slot.error());
    r.slot = *slot;
    auto metadata = in.str();
    if (!metadata) return fail(metadata.error());
    r.metadata = *metadata;
    auto created = in.u64();
    if (!created) return fail(created.error());
    r.created_at = *created;
    auto has_expiry = in.tag();
    if (!has_expiry) return fail(has_expiry.error());
    if (*has_expiry) {
        auto expires = in.u64();
        if (!expires) return fail(expires.error());
        r.expires_at = *expires;
    }
    auto state = in.variant(3);
    if (!state) return fail(state.error());
    r.state = static_cast<RecordState>(*state);
    return r;
}

Result<Record> decode_record(Bytes bytes) {
    auto view = decode_record_view(bytes);
    if (!view) return fail(view.error());
    return view->to_record();
}

}  // namespace tessello
