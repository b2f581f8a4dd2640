#include "export/import.h"

#include "base/buffered_file.h"
#include "base/clock.h"
#include "collection/insert.h"
#include "collection/upsert_delete.h"
#include "export/export_lines.h"

namespace tessello {

namespace {

bool is_unicode_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

// The code point starting at s[i] of valid UTF-8, and its length.
std::uint32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        len = 1;
        return b;
    }
    len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    std::uint32_t cp = b & (0xFF >> (len + 1));
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return cp;
}

}  // namespace

std::string_view trim_unicode_space(std::string_view s) {
    std::size_t len = 0;
    while (!s.empty() && is_unicode_space(decode_at(s, 0, len))) s.remove_prefix(len);
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        if (!is_unicode_space(decode_at(s, start, len))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

Result<ImportStats> import_collection(Collection& core, std::string_view path) {
    const std::uint64_t start = monotonic_ms();
    auto reader = LineReader::open(path);
    if (!reader) return fail(reader.error());
    auto first = reader->next_line();
    if (!first) return fail(first.error());
    auto header = parse_export_header(first->value_or(""));
    if (!header) return fail(StoreError::Deserialization, "Invalid export header: " + header.error().message());
    if (header->version > 1)
        return fail(StoreError::InvalidFormat, "Export version " + std::to_string(header->version) +
                                                   " is newer than supported version 1");
    if (header->dimensions != core.config.dimensions)
        return fail(StoreError::invalid_dimensions(core.config.dimensions, header->dimensions));

    ImportStats stats;
    std::uint64_t line_number = 1;
    for (;;) {
        auto line = reader->next_line();
        if (!line) return fail(line.error());
        if (!*line) break;
        ++line_number;
        const std::string_view text = trim_unicode_space(**line);
        if (text.empty()) continue;
        auto record = parse_export_record(text);
        if (!record)
            return fail(StoreError::Deserialization, "Invalid record at line " + std::to_string(line_number) + ": " +
                                                         record.error().message());
        if (record->vector.size() != core.config.dimensions) {
            ++stats.failed;
            continue;
        }
        // The upserted record takes the time of its upsert as its creation time.
        if (upsert_record(core, record->id, record->vector, std::move(record->metadata), record->ttl))
            ++stats.imported;
        else
            ++stats.failed;
    }
    if (auto st = flush_pending(core); !st) return fail(st.error());
    stats.duration_ms = elapsed_ms(start);
    return stats;
}

}  // namespace tessello
