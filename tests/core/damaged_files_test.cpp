// Damaged "hnsw.index" and export files: cut at many lengths and with bytes
// flipped, each opened (or imported) and used in a process of its own. A
// damaged file gives a clean error or a correct result, never a signal:
// - an index that is refused is rebuilt from the records, and then every
//   search returns what a fresh build returns; an index that is taken (its
//   checksum made to match the damage) returns only live records, each with
//   its true score, best first, none twice;
// - each line of a damaged export file is imported as it now reads, or
//   counted as failed, or ends the import with the error naming that line;
//   no record is imported that no line says.
//
// Each test runs in a process started for it (one that has not started the
// worker pool, so that it can fork), which forks once per damaged file.
#include <gtest/gtest.h>

#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <zlib.h>

#include "base/binary_codec.h"
#include "base/utf8.h"
#include "child_process.h"
#include "collection/insert.h"
#include "collection/search_collection.h"
#include "collection/sync.h"
#include "collection_fixture.h"
#include "export/export.h"
#include "export/import.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "search/distance.h"
#include "storage/records_table.h"

namespace tessello {
namespace {

using testing::ChildEnd;
using testing::in_forked_child;
using testing::TempDir;
using Access = CollectionTestAccess;
using ByteString = std::string;

ByteString read_bytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_bytes(const std::filesystem::path& p, const ByteString& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs the calling test in a process of its own (keeping one thread until it
// forks) and reports whether this process is that one.
bool in_own_process(const char* role) {
    if (testing::test_role() == role) return true;
    const pid_t pid = testing::spawn_self(role, {{"RAYON_NUM_THREADS", "1"}}, -1, true);
    EXPECT_GT(pid, 0);
    if (pid > 0) {
        const ChildEnd end = testing::wait_child(pid);
        EXPECT_TRUE(end.exited && end.code == 0) << "the test's own process ended with " << end.describe();
    }
    return false;
}

// The exit statuses of a case's child.
enum CaseEnd : int { Refused = 0, Taken = 1, CleanError = 2, Wrong = 3, TakenMislabelled = 4 };

struct Tally {
    // What the case ends Refused, Taken, CleanError (and TakenMislabelled)
    // mean for the file.
    std::array<const char*, 5> names;
    std::map<std::string, int> counts = {};
    int cases = 0;
    void add(const std::string& kind, const std::string& what, const ChildEnd& end) {
        ++cases;
        if (!end.exited) {
            ADD_FAILURE() << what << ": ended by " << end.describe();
            ++counts["signal"];
            return;
        }
        switch (end.code) {
            case Refused:
            case Taken:
            case CleanError:
            case TakenMislabelled: ++counts[kind + " " + names[end.code]]; break;
            default:
                ADD_FAILURE() << what << ": wrong result (see above), " << end.describe();
                ++counts["wrong"];
        }
    }
    std::string describe() const {
        std::string s = std::to_string(cases) + " cases:";
        for (const auto& [k, n] : counts) s += " " + k + " " + std::to_string(n) + ",";
        return s;
    }
};

// ---- hnsw.index ------------------------------------------------------------

constexpr std::uint64_t kGraphDims = 8;
constexpr int kGraphRecords = 100;
constexpr std::uint64_t kK = 10;

std::vector<float> graph_vector(int i) {
    std::mt19937 rng(static_cast<unsigned>(i) * 7919u + 1);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(kGraphDims);
    for (auto& x : v) x = d(rng);
    return v;
}

std::string graph_id(int i) { return "p" + std::to_string(i); }

CollectionConfig graph_config() { return {"h", kGraphDims, Metric::L2, 0, HnswConfig{6, 12, 6, 40, 30, 0.5, 0}}; }

std::vector<std::vector<float>> graph_queries() {
    std::vector<std::vector<float>> q;
    for (int i = 0; i < 8; ++i) q.push_back(graph_vector(10'000 + i));
    return q;
}

using Results = std::vector<std::vector<std::pair<std::string, float>>>;

std::optional<Results> search_all(Collection& c) {
    Results out;
    for (const auto& q : graph_queries()) {
        auto hits = search_collection(c, q, kK, nullptr);
        if (!hits) {
            std::fprintf(stderr, "search: %s\n", hits.error().message().c_str());
            return std::nullopt;
        }
        auto& r = out.emplace_back();
        for (const auto& h : *hits) r.emplace_back(h.id, h.score);
    }
    return out;
}

std::string results_text(const Results& r) {
    std::string s;
    for (const auto& q : r) {
        for (const auto& [id, score] : q) {
            std::uint32_t bits;
            std::memcpy(&bits, &score, 4);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s:%08" PRIx32 " ", id.c_str(), bits);
            s += buf;
        }
        s += "\n";
    }
    return s;
}

// An index taken as it is may be a different graph from the saved one, so
// its hits need not be a fresh build's; they must still be records, best
// first, none twice. The loader trusts a body whose checksum matches: when
// the damage moved a node onto another record's slot, that node's hit
// carries the other record's score (TakenMislabelled), which only a file
// altered on purpose, checksum and all, can bring about.
enum class Soundness { Sound, Mislabelled, Broken };

Soundness hits_soundness(const Results& r) {
    const auto queries = graph_queries();
    Soundness verdict = Soundness::Sound;
    for (std::size_t qi = 0; qi < r.size(); ++qi) {
        std::set<std::string> seen;
        float previous = -INFINITY;
        if (r[qi].size() > kK) return Soundness::Broken;
        for (const auto& [id, score] : r[qi]) {
            if (!seen.insert(id).second) {
                std::fprintf(stderr, "'%s' returned twice\n", id.c_str());
                return Soundness::Broken;
            }
            const int n = id.size() >= 2 && id[0] == 'p' ? std::atoi(id.c_str() + 1) : -1;
            if (n < 0 || n >= kGraphRecords || graph_id(n) != id) {
                std::fprintf(stderr, "'%s' is no record\n", id.c_str());
                return Soundness::Broken;
            }
            if (!(score >= previous)) {
                std::fprintf(stderr, "'%s' scored %g after %g\n", id.c_str(), score, previous);
                return Soundness::Broken;
            }
            previous = score;
            const float truth = distance(Metric::L2, queries[qi], graph_vector(n));
            if (std::memcmp(&truth, &score, 4) != 0) verdict = Soundness::Mislabelled;
        }
    }
    return verdict;
}

class DamagedFilesTest : public ::testing::Test {};

TEST_F(DamagedFilesTest, DamagedGraphIndexIsRefusedAndRebuiltOrServesTrueHits) {
    if (!in_own_process("damaged-index")) return;
    TempDir dir;
    const auto base = dir / "h";
    const auto index_file = base / "hnsw.index";

    // The collection, its graph saved by a sync.
    ChildEnd built = in_forked_child([&] {
        auto core = open_collection(base, graph_config());
        if (!core) return 4;
        for (int i = 0; i < kGraphRecords; ++i)
            if (!insert_record(**core, graph_vector(i), *parse_json("{}"), graph_id(i), std::nullopt)) return 5;
        return sync_collection(**core) ? 0 : 6;
    });
    ASSERT_TRUE(built.exited && built.code == 0) << built.describe();
    const ByteString saved = read_bytes(index_file);
    ASSERT_GT(saved.size(), 200u);

    // What a fresh build answers: no index file, so opening builds none and
    // the first search builds it from the records.
    std::filesystem::remove(index_file);
    ChildEnd fresh = in_forked_child([&] {
        auto core = open_collection(base, graph_config());
        if (!core) return 4;
        auto r = search_all(**core);
        if (!r) return 5;
        write_bytes(dir / "fresh.txt", results_text(*r));
        return 0;
    });
    ASSERT_TRUE(fresh.exited && fresh.code == 0) << fresh.describe();
    const std::string expected = read_bytes(dir / "fresh.txt");

    // Opens the collection over the given index file and searches.
    auto run_case = [&](const ByteString& file) {
        write_bytes(index_file, file);
        return in_forked_child([&] {
            auto core = open_collection(base, graph_config());
            if (!core) {
                std::fprintf(stderr, "open: %s\n", core.error().message().c_str());
                return int(CleanError);
            }
            const bool taken = Access::index(**core) != nullptr;
            auto r = search_all(**core);
            if (!r) return int(CleanError);
            if (!taken) {
                if (results_text(*r) == expected) return int(Refused);
                std::fprintf(stderr, "rebuilt index answers\n%sfresh build answers\n%s", results_text(*r).c_str(),
                             expected.c_str());
                return int(Wrong);
            }
            switch (hits_soundness(*r)) {
                case Soundness::Sound: return int(Taken);
                case Soundness::Mislabelled: return int(TakenMislabelled);
                default: return int(Wrong);
            }
        });
    };
    // The body with its checksum made to match, so the decoder sees it.
    auto with_crc = [](ByteString body) {
        const auto crc = static_cast<std::uint32_t>(
            crc32_z(0L, reinterpret_cast<const Bytef*>(body.data()), body.size()));
        for (int i = 0; i < 4; ++i) body.push_back(static_cast<char>((crc >> (8 * i)) & 0xff));
        return body;
    };

    // The undamaged file is taken, and answers as the fresh build does.
    {
        const ChildEnd end = run_case(saved);
        ASSERT_TRUE(end.exited && end.code == Taken) << end.describe();
    }

    std::mt19937_64 rng(std::random_device{}());
    const std::size_t body_len = saved.size() - 4;
    Tally tally{{"refused and rebuilt", "taken", "clean error", "", "taken with a node on another record's slot"}};
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < 72; n += 2) lengths.push_back(n);
    for (int i = 0; i < 34; ++i) lengths.push_back(std::uniform_int_distribution<std::size_t>(72, saved.size() - 1)(rng));
    for (std::size_t len : lengths) {
        tally.add("cut", "cut to " + std::to_string(len), run_case(saved.substr(0, len)));
        if (len <= body_len)
            tally.add("cut+crc", "body cut to " + std::to_string(len) + " with its checksum",
                      run_case(with_crc(saved.substr(0, len))));
    }
    // Every byte of the fixed header fields, then bytes anywhere.
    std::vector<std::size_t> positions;
    for (std::size_t p = 0; p < 80; ++p) positions.push_back(p);
    for (int i = 0; i < 80; ++i) positions.push_back(std::uniform_int_distribution<std::size_t>(0, body_len - 1)(rng));
    for (std::size_t p : positions) {
        const auto mask = static_cast<char>(1 << std::uniform_int_distribution<int>(0, 7)(rng));
        ByteString body = saved.substr(0, body_len);
        body[p] ^= mask;
        const std::string what = "byte " + std::to_string(p) + " ^ " + std::to_string(std::uint8_t(mask));
        tally.add("flip+crc", what + " with its checksum", run_case(with_crc(body)));
        if (p % 4 == 0) {
            ByteString raw = saved;
            raw[p] ^= mask;
            tally.add("flip", what, run_case(raw));
        }
    }
    std::printf("damaged hnsw.index: %s\n", tally.describe().c_str());
    EXPECT_EQ(tally.counts["signal"], 0);
    // A node moved onto another record's slot is found out at open.
    for (const char* kind : {"cut+crc", "flip+crc"})
        EXPECT_EQ(tally.counts[std::string(kind) + " taken with a node on another record's slot"], 0) << kind;
    // Damage the checksum does not cover is always refused.
    for (const char* kind : {"cut", "flip"})
        for (const char* taken : {" taken", " taken with a node on another record's slot"})
            EXPECT_EQ(tally.counts[std::string(kind) + taken], 0) << kind << taken;
}

// ---- export files ------------------------------------------------------------

constexpr std::uint64_t kExportDims = 3;

CollectionConfig export_config(const std::string& name) { return {name, kExportDims, Metric::L2, 0, std::nullopt}; }

const char* const kMetadata[] = {
    R"({"a":1,"b":[true,false,null],"c":{"d":"e\n\"q\"","f":-2.5}})",
    R"({"name":"caf\u00e9 \u263a","n":18446744073709551615})",
    R"({"empty":{},"list":[],"x":1e-7})",
    R"({"tag":"t","v":-9223372036854775808})",
    R"({})",
};

// What one record line of an export file says, read as import reads it.
struct LineMeaning {
    enum Kind { Blank, Stops, WrongLength, Record } kind = Blank;
    std::string id;
    std::vector<float> vector;
    std::string metadata;
    std::optional<std::uint64_t> ttl;
};

bool optional_u64(const JsonObject& o, std::string_view key, std::optional<std::uint64_t>* out = nullptr) {
    const JsonValue* v = o.find(key);
    if (!v || v->is_null()) return true;
    if (v->kind() != JsonValue::Kind::Unsigned) return false;
    if (out) *out = v->as_unsigned();
    return true;
}

LineMeaning meaning_of(std::string_view line) {
    auto stops = [] {
        LineMeaning s;
        s.kind = LineMeaning::Stops;
        return s;
    };
    LineMeaning m;
    if (utf8_error(line)) return stops();
    const std::string_view t = trim_unicode_space(line);
    if (t.empty()) return m;
    auto value = parse_json(t);
    if (!value || !value->is_object()) return stops();
    const JsonObject& o = value->as_object();
    const JsonValue* id = o.find("id");
    const JsonValue* vector = o.find("vector");
    const JsonValue* metadata = o.find("metadata");
    if (!id || !id->is_string() || !vector || !vector->is_array() || !metadata) return stops();
    if (!optional_u64(o, "created_at") || !optional_u64(o, "ttl", &m.ttl)) return stops();
    for (const auto& x : vector->as_array()) {
        if (!x.is_number()) return stops();
        m.vector.push_back(static_cast<float>(x.number_as_f64()));
    }
    m.id = id->as_string();
    m.metadata = to_json_text(*metadata);
    m.kind = m.vector.size() == kExportDims ? LineMeaning::Record : LineMeaning::WrongLength;
    return m;
}

// Whether the header line, read as import reads it, is accepted.
bool header_accepted(std::string_view line) {
    if (utf8_error(line)) return false;
    auto value = parse_json(line);
    if (!value || !value->is_object()) return false;
    const JsonObject& o = value->as_object();
    auto u64 = [&](const char* key) {
        const JsonValue* v = o.find(key);
        return v && v->kind() == JsonValue::Kind::Unsigned ? std::optional(v->as_unsigned()) : std::nullopt;
    };
    auto str = [&](const char* key) { return o.find(key) && o.find(key)->is_string(); };
    const auto version = u64("version");
    return version && *version <= 1 && str("collection") && u64("dimensions") == kExportDims && str("metric") &&
           u64("record_count") && u64("exported_at");
}

// Imports `file` into a new collection at dir and compares what is stored
// with what the file's lines say. The exit status of the case's child.
int import_and_compare(const std::filesystem::path& dir, const std::filesystem::path& file) {
    auto core = open_collection(dir, export_config("x"));
    if (!core) {
        std::fprintf(stderr, "open: %s\n", core.error().message().c_str());
        return Wrong;
    }
    auto stats = import_collection(**core, file.string());
    if (auto st = sync_collection(**core); !st) {
        std::fprintf(stderr, "sync: %s\n", st.error().message().c_str());
        return Wrong;
    }

    const ByteString text = read_bytes(file);
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t nl = text.find('\n', at);
        const std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.emplace_back(text.data() + at, end - at);
        at = end;
    }
    const bool header_ok = !lines.empty() && header_accepted(lines[0]);
    std::map<std::string, LineMeaning> expected;  // the last record line of each identifier
    std::uint64_t records = 0, wrong_length = 0;
    std::optional<std::uint64_t> stop_line;
    if (header_ok) {
        for (std::size_t i = 1; i < lines.size() && !stop_line; ++i) {
            LineMeaning m = meaning_of(lines[i]);
            if (m.kind == LineMeaning::Stops) stop_line = i + 1;
            if (m.kind == LineMeaning::WrongLength) ++wrong_length;
            if (m.kind == LineMeaning::Record) {
                ++records;
                expected[m.id] = std::move(m);
            }
        }
    }

    int verdict = CleanError;
    if (!header_ok || stop_line) {
        if (stats) {
            std::fprintf(stderr, "import accepted a file whose %s\n",
                         header_ok ? ("line " + std::to_string(*stop_line) + " does not read").c_str()
                                   : "header does not read");
            return Wrong;
        }
        const std::string msg = stats.error().message();
        const bool names_line =
            header_ok ? msg.find("Invalid record at line " + std::to_string(*stop_line) + ":") != std::string::npos ||
                            msg.find("stream did not contain valid UTF-8") != std::string::npos
                      : true;
        if (!names_line) {
            std::fprintf(stderr, "expected the error of line %" PRIu64 ", got: %s\n", *stop_line, msg.c_str());
            return Wrong;
        }
    } else {
        if (!stats) {
            std::fprintf(stderr, "import of a readable file failed: %s\n", stats.error().message().c_str());
            return Wrong;
        }
        if (stats->imported != records || stats->failed != wrong_length) {
            std::fprintf(stderr, "imported %" PRIu64 " failed %" PRIu64 ", the lines say %" PRIu64 " and %" PRIu64 "\n",
                         stats->imported, stats->failed, records, wrong_length);
            return Wrong;
        }
        verdict = Refused;  // "read as it says"
    }
    if (!header_ok) expected.clear();

    // Stored and live: exactly the records the lines say (a ttl of 0 has
    // expired at once).
    for (auto it = expected.begin(); it != expected.end();)
        it = it->second.ttl == 0 ? expected.erase(it) : std::next(it);
    std::map<std::string, std::pair<std::vector<float>, std::string>> stored;
    {
        auto txn = Access::read_txn(**core);
        const std::uint64_t now = now_unix_secs();
        auto walked = for_each_record(*txn, [&](const RecordView& r) -> Status {
            if (!is_record_live(r, now)) return {};
            auto v = Access::read_slot(**core, r.slot);
            if (!v) return fail(v.error());
            stored[std::string(r.id)] = {*v, std::string(r.metadata)};
            return {};
        });
        if (!walked) {
            std::fprintf(stderr, "walk: %s\n", walked.error().message().c_str());
            return Wrong;
        }
    }
    for (const auto& [id, m] : expected) {
        auto it = stored.find(id);
        if (it == stored.end()) {
            std::fprintf(stderr, "'%s' is missing\n", id.c_str());
            return Wrong;
        }
        const bool same_vector = it->second.first.size() == m.vector.size() &&
                                 std::memcmp(it->second.first.data(), m.vector.data(), m.vector.size() * 4) == 0;
        if (!same_vector || it->second.second != m.metadata) {
            std::fprintf(stderr, "'%s' stored as %s, the line says %s\n", id.c_str(), it->second.second.c_str(),
                         m.metadata.c_str());
            return Wrong;
        }
    }
    for (const auto& [id, v] : stored)
        if (!expected.contains(id)) {
            std::fprintf(stderr, "'%s' stored, but no line says it\n", id.c_str());
            return Wrong;
        }
    return verdict;
}

TEST_F(DamagedFilesTest, DamagedExportFileImportsWhatEachLineSays) {
    if (!in_own_process("damaged-export")) return;
    TempDir dir;
    const auto exported = dir / "export.ndjson";
    ChildEnd made = in_forked_child([&] {
        auto core = open_collection(dir / "source", export_config("source"));
        if (!core) return 4;
        for (int i = 0; i < 25; ++i) {
            const std::vector<float> v{float(i) * 0.37f, -float(i) / 3.0f, i % 5 == 0 ? 1e30f : float(i)};
            const std::optional<std::uint64_t> ttl = i % 6 == 0 ? std::optional<std::uint64_t>(86400 * (i + 1))
                                                                : std::nullopt;
            if (!insert_record(**core, v, *parse_json(kMetadata[i % 5]), "rec-" + std::to_string(i), ttl)) return 5;
        }
        return export_collection(**core, exported.string()) ? 0 : 6;
    });
    ASSERT_TRUE(made.exited && made.code == 0) << made.describe();
    const ByteString clean = read_bytes(exported);
    ASSERT_GT(clean.size(), 500u);

    const auto damaged = dir / "damaged.ndjson";
    auto run_case = [&](const ByteString& file) {
        write_bytes(damaged, file);
        std::filesystem::remove_all(dir / "target");
        return in_forked_child([&] { return import_and_compare(dir / "target", damaged); });
    };
    // The undamaged file imports whole.
    {
        const ChildEnd end = run_case(clean);
        ASSERT_TRUE(end.exited && end.code == Refused) << end.describe();
    }

    std::mt19937_64 rng(std::random_device{}());
    Tally tally{{"imported as it reads", "", "ended at the damaged line", "", ""}};
    // Cuts anywhere (inside the header, inside a number or a string, right
    // after a line feed) and flipped bits anywhere.
    for (int i = 0; i < 120; ++i) {
        const std::size_t len = i < 20 ? std::size_t(i) * 7
                                       : std::uniform_int_distribution<std::size_t>(0, clean.size() - 1)(rng);
        tally.add("cut", "cut to " + std::to_string(len), run_case(clean.substr(0, len)));
    }
    for (int i = 0; i < 200; ++i) {
        ByteString file = clean;
        const std::size_t p = std::uniform_int_distribution<std::size_t>(0, clean.size() - 1)(rng);
        const int bit = std::uniform_int_distribution<int>(0, 7)(rng);
        file[p] ^= static_cast<char>(1 << bit);
        tally.add("flip", "byte " + std::to_string(p) + " bit " + std::to_string(bit), run_case(file));
    }
    std::printf("damaged export file: %s\n", tally.describe().c_str());
    EXPECT_EQ(tally.counts["signal"], 0);
}

}  // namespace
}  // namespace tessello
