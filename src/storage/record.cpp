#include "storage/record.h"

#include <ctime>

namespace tessello {

Record RecordView::to_record() const {
    return Record{std::string(id), slot, std::string(metadata), created_at, expires_at, state};
}

std::size_t encoded_record_len(const Record& r) {
    return 37 + r.id.size() + r.metadata.size() + (r.expires_at ? 8 : 0);
}

std::vector<std::uint8_t> encode_record(const Record& r) {
    std::vector<std::uint8_t> out;
    out.reserve(encoded_record_len(r));
    ByteWriter w(out);
    w.str(r.id);
    w.u64(r.slot);
    w.str(r.metadata);
    w.u64(r.created_at);
    w.tag(r.expires_at.has_value());
    if (r.expires_at) w.u64(*r.expires_at);
    w.u32(static_cast<std::uint32_t>(r.state));
    return out;
}

Result<RecordView> decode_record_view(Bytes bytes) {
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

std::uint64_t now_unix_secs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(ts.tv_sec);
}

namespace {
template <class R>
bool live(const R& r) {
    if (r.state != RecordState::Active) return false;
    return !r.expires_at || now_unix_secs() < *r.expires_at;
}
}  // namespace

bool is_record_live(const Record& record) { return live(record); }
bool is_record_live(const RecordView& record) { return live(record); }

}  // namespace tessello
