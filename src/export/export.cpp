#include "export/export.h"

#include "base/buffered_file.h"
#include "collection/insert.h"
#include "collection/sync.h"
#include "json/json_writer.h"
#include "search/search_hit.h"
#include "storage/records_table.h"

namespace tessello {

namespace {

void key(std::string& line, const char* name) {
    if (line.size() > 1) line += ',';
    write_json_string(name, line);
    line += ':';
}

std::string header_line(const Collection& core, std::uint64_t record_count) {
    std::string line = "{";
    key(line, "version");
    write_json_u64(1, line);
    key(line, "collection");
    write_json_string(core.config.name, line);
    key(line, "dimensions");
    write_json_u64(core.config.dimensions, line);
    key(line, "metric");
    write_json_string(metric_python_name(core.config.metric), line);
    key(line, "record_count");
    write_json_u64(record_count, line);
    key(line, "exported_at");
    write_json_u64(now_unix_secs(), line);
    line += "}\n";
    return line;
}

void record_line(const RecordView& r, std::span<const float> vector, std::string& line) {
    line.assign("{");
    key(line, "id");
    write_json_string(r.id, line);
    key(line, "vector");
    line += '[';
    for (std::size_t i = 0; i < vector.size(); ++i) {
        if (i > 0) line += ',';
        write_json_f32(vector[i], line);
    }
    line += ']';
    key(line, "metadata");
    write_json(metadata_value(r.metadata), line);
    key(line, "created_at");
    write_json_u64(r.created_at, line);
    if (r.expires_at) {
        const std::uint64_t now = now_unix_secs();
        key(line, "ttl");
        write_json_u64(*r.expires_at > now ? *r.expires_at - now : 0, line);
    }
    line += "}\n";
}

Result<std::uint64_t> write_records(Collection& core, BufferedWriter& out) {
    std::uint64_t count = 0;
    std::string line;
    line.reserve(128);
    auto st = core.read_stored([&](const ReadTxn& txn, const VectorStore& vectors) -> Status {
        return for_each_record(txn, [&](const RecordView& record) -> Status {
            if (!is_record_live(record, now_unix_secs())) return {};
            auto vector = vectors.read_slot(record.slot);
            if (!vector) return fail(vector.error());
            record_line(record, *vector, line);
            if (auto written = out.write(line); !written) return written;
            ++count;
            return {};
        });
    });
    if (!st) return fail(st.error());
    return count;
}

}  // namespace

Result<std::uint64_t> export_collection(Collection& core, std::string_view path) {
    if (auto st = flush_pending(core); !st) return fail(st.error());
    auto record_count = collection_len(core);
    if (!record_count) return fail(record_count.error());
    auto out = BufferedWriter::create(path);
    if (!out) return fail(out.error());
    auto count = [&]() -> Result<std::uint64_t> {
        if (auto st = out->write(header_line(core, *record_count)); !st) return fail(st.error());
        return write_records(core, *out);
    }();
    // What was written before a failure still reaches the file.
    auto flushed = out->flush();
    if (!count) return count;
    if (!flushed) return fail(flushed.error());
    return count;
}

}  // namespace tessello
