#include "search/hnsw/persist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string_view>

#include "base/buffered_file.h"
#include "base/unique_fd.h"
#include "storage/hnsw_config.h"

namespace tessello {

namespace {

// magic, version, config, node_count, max_level, entry-point tag, then the
// six u64 counts (slots, ids, levels, num_layers, offsets, neighbours).
constexpr std::size_t kFixedBodyBytes = 4 + 2 + kHnswConfigSize + 4 + 1 + 1 + 6 * 8;

std::uint32_t body_crc(Bytes body) { return static_cast<std::uint32_t>(crc32_z(0L, body.data(), body.size())); }

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", v);
    return buf;
}

std::unexpected<StoreError> corrupt(const std::string& what) {
    return fail(StoreError::Corruption, "Inconsistent HNSW index: " + what);
}

// ---- decoding ----------------------------------------------------------------

template <class T>
Status read_into(Result<T> value, T& out) {
    if (!value) return fail(value.error());
    out = std::move(*value);
    return {};
}

Result<std::uint16_t> read_u16(ByteReader& in) {
    auto lo = in.u8();
    if (!lo) return fail(lo.error());
    auto hi = in.u8();
    if (!hi) return fail(hi.error());
    return static_cast<std::uint16_t>(*lo | (*hi << 8));
}

// A u64 count, then the items. The count is untrusted: the reservation is
// bounded by what the remaining bytes can hold (every item takes at least
// min_item_bytes), and each item read consumes input, so a huge count in a
// short body ends at the end of the input instead of allocating.
template <class T, class ReadOne>
Status read_sequence(ByteReader& in, std::size_t min_item_bytes, std::vector<T>& out, ReadOne read_one) {
    auto count = in.u64();
    if (!count) return fail(count.error());
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(*count, in.remaining() / min_item_bytes)));
    for (std::uint64_t i = 0; i < *count; ++i) {
        auto item = read_one(in);
        if (!item) return fail(item.error());
        out.push_back(std::move(*item));
    }
    return {};
}

Result<std::vector<std::uint32_t>> read_u32_array(ByteReader& in) {
    std::vector<std::uint32_t> values;
    if (auto st = read_sequence(in, 4, values, [](ByteReader& r) { return r.u32(); }); !st) return fail(st.error());
    return values;
}

Result<std::string> read_string(ByteReader& in) {
    auto s = in.str();
    if (!s) return fail(s.error());
    return std::string(*s);
}

// ---- consistency ---------------------------------------------------------------

// Refuses an image that decodes but is not a graph every operation can walk
// without leaving its arrays.
Status check_consistent(const HnswPersist& p) {
    const std::uint64_t n = p.node_count;
    auto count_of = [&](const char* what, std::size_t got) -> Status {
        if (got == n) return {};
        return corrupt(std::to_string(got) + " " + what + " for " + std::to_string(n) + " nodes");
    };
    if (auto st = count_of("node slots", p.node_slots.size()); !st) return st;
    if (auto st = count_of("node ids", p.node_ids.size()); !st) return st;
    if (auto st = count_of("node levels", p.node_levels.size()); !st) return st;
    for (std::uint64_t i = 0; i < n; ++i)
        if (p.node_levels[i] > kMaxHnswLevel)
            return corrupt("node " + std::to_string(i) + " has level " + std::to_string(p.node_levels[i]));
    if (p.layer_offsets.size() != p.num_layers || p.layer_neighbors.size() != p.num_layers)
        return corrupt(std::to_string(p.layer_offsets.size()) + " offset arrays and " +
                       std::to_string(p.layer_neighbors.size()) + " neighbour arrays for " +
                       std::to_string(p.num_layers) + " layers");
    for (std::uint64_t l = 0; l < p.num_layers; ++l) {
        const auto& offsets = p.layer_offsets[l];
        const auto& neighbours = p.layer_neighbors[l];
        const std::string layer = "layer " + std::to_string(l);
        if (offsets.size() != n + 1)
            return corrupt(layer + " has " + std::to_string(offsets.size()) + " offsets for " + std::to_string(n) +
                           " nodes");
        if (offsets[0] != 0) return corrupt(layer + " offsets start at " + std::to_string(offsets[0]));
        for (std::uint64_t i = 0; i < n; ++i)
            if (offsets[i + 1] < offsets[i])
                return corrupt(layer + " offsets decrease after node " + std::to_string(i));
        if (offsets[n] != neighbours.size())
            return corrupt(layer + " offsets end at " + std::to_string(offsets[n]) + " but it holds " +
                           std::to_string(neighbours.size()) + " neighbours");
        for (const std::uint32_t v : neighbours)
            if (v >= n) return corrupt(layer + " links to node " + std::to_string(v) + " of " + std::to_string(n));
    }
    if (p.entry_point.has_value() != (n > 0))
        return corrupt(p.entry_point ? "an entry point without nodes" : "no entry point for " + std::to_string(n) +
                                                                            " nodes");
    if (p.entry_point && *p.entry_point >= n)
        return corrupt("entry point " + std::to_string(*p.entry_point) + " of " + std::to_string(n) + " nodes");
    if (p.max_level > kMaxHnswLevel || (p.num_layers > 0 && p.max_level >= p.num_layers))
        return corrupt("max level " + std::to_string(p.max_level) + " with " + std::to_string(p.num_layers) +
                       " layers");
    return {};
}

HnswGraph graph_from_persist(HnswPersist p) {
    HnswGraph g = empty_graph(p.config);
    const std::size_t n = p.node_count;
    g.nodes.reserve(n);
    g.node_slots.assign(p.node_slots.begin(), p.node_slots.begin() + static_cast<std::ptrdiff_t>(n));
    g.slot_to_node.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        g.nodes.push_back(HnswNode{std::move(p.node_ids[i]), p.node_slots[i], p.node_levels[i]});
        g.slot_to_node[p.node_slots[i]] = static_cast<std::uint32_t>(i);  // a repeated slot: the later node
    }
    g.layers.resize(static_cast<std::size_t>(p.num_layers));
    for (std::size_t l = 0; l < g.layers.size(); ++l) {
        const auto& offsets = p.layer_offsets[l];
        const auto& neighbours = p.layer_neighbors[l];
        auto& lists = g.layers[l];
        lists.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            lists[i].assign(neighbours.begin() + offsets[i], neighbours.begin() + offsets[i + 1]);
    }
    g.entry_point = p.entry_point;
    g.max_level = p.max_level;
    return g;
}

// ---- files -------------------------------------------------------------------

Result<std::vector<std::uint8_t>> read_whole_file(const std::filesystem::path& path) {
    if (path.native().find('\0') != std::string::npos)
        return fail(StoreError::io_message("file name contained an unexpected NUL byte"));
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return fail_errno(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail_errno(errno);
    std::vector<std::uint8_t> data;
    try {
        data.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        return fail(StoreError::io_message("memory allocation failed"));
    }
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            // The file may have grown since it was measured: probe for more
            // before growing the buffer.
            std::uint8_t chunk[8192];
            const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail_errno(errno);
            }
            if (n == 0) return data;
            data.insert(data.end(), chunk, chunk + n);
            used = data.size();
            continue;
        }
        const ssize_t n = ::read(fd.get(), data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        if (n == 0) {  // shorter than measured
            data.resize(used);
            return data;
        }
        used += static_cast<std::size_t>(n);
    }
}

}  // namespace

HnswPersist flatten_graph(const HnswGraph& graph) {
    HnswPersist p;
    p.config = graph.config;
    p.node_count = static_cast<std::uint32_t>(graph.nodes.size());
    p.max_level = graph.max_level;
    p.entry_point = graph.entry_point;
    p.node_slots.reserve(graph.nodes.size());
    p.node_ids.reserve(graph.nodes.size());
    p.node_levels.reserve(graph.nodes.size());
    for (const HnswNode& node : graph.nodes) {
        p.node_slots.push_back(node.slot);
        p.node_ids.push_back(node.id);
        p.node_levels.push_back(node.level);
    }
    p.num_layers = graph.layers.size();
    for (const auto& lists : graph.layers) {
        std::vector<std::uint32_t> offsets{0};
        std::vector<std::uint32_t> neighbours;
        offsets.reserve(graph.nodes.size() + 1);
        // One entry per node, whatever the layer holds, so the image always
        // has the shape the loader demands.
        for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
            if (i < lists.size()) neighbours.insert(neighbours.end(), lists[i].begin(), lists[i].end());
            offsets.push_back(static_cast<std::uint32_t>(neighbours.size()));
        }
        p.layer_offsets.push_back(std::move(offsets));
        p.layer_neighbors.push_back(std::move(neighbours));
    }
    return p;
}

std::size_t hnsw_body_size(const HnswPersist& p) {
    std::size_t size = kFixedBodyBytes + (p.entry_point ? 4 : 0);
    size += 8 * p.node_slots.size() + p.node_levels.size();
    for (const auto& id : p.node_ids) size += 8 + id.size();
    for (const auto& o : p.layer_offsets) size += 8 + 4 * o.size();
    for (const auto& v : p.layer_neighbors) size += 8 + 4 * v.size();
    return size;
}

std::vector<std::uint8_t> encode_hnsw_body(const HnswPersist& p) {
    std::vector<std::uint8_t> out;
    out.reserve(hnsw_body_size(p));
    ByteWriter w(out);
    w.u32(p.magic);
    w.u8(static_cast<std::uint8_t>(p.version));
    w.u8(static_cast<std::uint8_t>(p.version >> 8));
    write_hnsw_config(p.config, w);
    w.u32(p.node_count);
    w.u8(p.max_level);
    w.tag(p.entry_point.has_value());
    if (p.entry_point) w.u32(*p.entry_point);
    w.u64(p.node_slots.size());
    for (const auto s : p.node_slots) w.u64(s);
    w.u64(p.node_ids.size());
    for (const auto& id : p.node_ids) w.str(id);
    w.u64(p.node_levels.size());
    for (const auto level : p.node_levels) w.u8(level);
    w.u64(p.num_layers);
    for (const auto* arrays : {&p.layer_offsets, &p.layer_neighbors}) {
        w.u64(arrays->size());
        for (const auto& values : *arrays) {
            w.u64(values.size());
            for (const auto v : values) w.u32(v);
        }
    }
    return out;
}

Result<HnswPersist> decode_hnsw_body(Bytes bytes) {
    ByteReader in(bytes);
    HnswPersist p;
    if (auto st = read_into(in.u32(), p.magic); !st) return fail(st.error());
    if (auto st = read_into(read_u16(in), p.version); !st) return fail(st.error());
    if (auto st = read_into(decode_hnsw_config(in), p.config); !st) return fail(st.error());
    if (auto st = read_into(in.u32(), p.node_count); !st) return fail(st.error());
    if (auto st = read_into(in.u8(), p.max_level); !st) return fail(st.error());
    auto has_entry = in.tag();
    if (!has_entry) return fail(has_entry.error());
    if (*has_entry) {
        auto entry = in.u32();
        if (!entry) return fail(entry.error());
        p.entry_point = *entry;
    }
    if (auto st = read_sequence(in, 8, p.node_slots, [](ByteReader& r) { return r.u64(); }); !st)
        return fail(st.error());
    if (auto st = read_sequence(in, 8, p.node_ids, read_string); !st) return fail(st.error());
    if (auto st = read_sequence(in, 1, p.node_levels, [](ByteReader& r) { return r.u8(); }); !st)
        return fail(st.error());
    if (auto st = read_into(in.u64(), p.num_layers); !st) return fail(st.error());
    if (auto st = read_sequence(in, 8, p.layer_offsets, read_u32_array); !st) return fail(st.error());
    if (auto st = read_sequence(in, 8, p.layer_neighbors, read_u32_array); !st) return fail(st.error());
    return p;
}

Status save_index(const HnswGraph& graph, const std::filesystem::path& path) {
    const std::vector<std::uint8_t> body = encode_hnsw_body(flatten_graph(graph));
    const std::uint32_t crc = body_crc(body);
    const char trailer[4] = {static_cast<char>(crc), static_cast<char>(crc >> 8), static_cast<char>(crc >> 16),
                             static_cast<char>(crc >> 24)};
    auto out = BufferedWriter::create(path.native());
    if (!out) return fail(out.error());
    if (auto st = out->write({reinterpret_cast<const char*>(body.data()), body.size()}); !st) return st;
    if (auto st = out->write({trailer, sizeof trailer}); !st) return st;
    return out->flush();
}

Result<std::unique_ptr<HnswIndex>> load_hnsw_index(const std::filesystem::path& path, Metric metric) {
    auto file = read_whole_file(path);
    if (!file) return fail(file.error());
    const std::vector<std::uint8_t>& data = *file;
    if (data.size() < 4) return fail(StoreError::Corruption, "HNSW index file too small");
    const Bytes body(data.data(), data.size() - 4);
    const std::uint32_t stored = static_cast<std::uint32_t>(data[body.size()]) |
                                 static_cast<std::uint32_t>(data[body.size() + 1]) << 8 |
                                 static_cast<std::uint32_t>(data[body.size() + 2]) << 16 |
                                 static_cast<std::uint32_t>(data[body.size() + 3]) << 24;
    const std::uint32_t computed = body_crc(body);
    if (stored != computed)
        return fail(StoreError::Corruption,
                    "HNSW index checksum mismatch: expected " + hex8(stored) + ", got " + hex8(computed));
    auto persist = decode_hnsw_body(body);
    if (!persist) return fail(persist.error());
    if (persist->magic != kHnswMagic)
        return fail(StoreError::Corruption, "Invalid HNSW magic number: " + hex8(persist->magic));
    if (persist->version != kHnswVersion)
        return fail(StoreError::Corruption, "Unsupported HNSW version: " + std::to_string(persist->version) +
                                                " (expected " + std::to_string(kHnswVersion) + ")");
    if (auto st = check_consistent(*persist); !st) return fail(st.error());
    return std::make_unique<HnswIndex>(graph_from_persist(std::move(*persist)), metric);
}

}  // namespace tessello
