// Damaged copies of both kinds of "meta.redb" (a registry, a collection's
// file), made through the system's own code paths: cut at every page boundary
// and inside pages, and hit by hundreds of random byte and bit flips. Each
// copy is opened in a child process that reads, decodes and writes
// everything; the child must end normally, and report either a clean error or
// what the file held.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/clock.h"
#include "collection/collection.h"
#include "collection/insert.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "json/json_reader.h"
#include "storage/freelist.h"
#include "storage/kv_store.h"
#include "storage/lmdb_format.h"
#include "storage/record.h"
#include "storage/records_table.h"
#include "storage/registry.h"
#include "file_bytes.h"
#include "temp_dir.h"

namespace tessello {
namespace {

namespace f = lmdb_format;
using testing::FileBytes;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

using Tables = std::map<std::string, std::vector<std::pair<std::string, std::string>>>;

// One kind of "meta.redb": its tables and the decoder of each table's values.
struct StoreKind {
    std::string name;
    std::vector<std::string> tables;
    FileBytes file;
};

Status decode_value(std::string_view table, Bytes value) {
    if (table == kCollectionsTable) {
        auto c = decode_collection_config(value);
        if (!c) return fail(c.error());
    } else if (table == kRecordsTable) {
        auto r = decode_record(value);
        if (!r) return fail(r.error());
    } else if (table == kFreelistTable) {
        auto l = decode_freelist(value);
        if (!l) return fail(l.error());
    }
    return {};
}

// Everything in the store, read twice (a walk and a lookup of each key) and
// through the readers of the system; the first error stops it.
Result<Tables> read_everything(KvStore& store, const StoreKind& kind) {
    Tables out;
    auto txn = begin_read_txn(store);
    if (!txn) return fail(txn.error());
    for (const auto& table : kind.tables) {
        auto cursor = txn->scan(table);
        if (!cursor) return fail(cursor.error());
        for (;;) {
            auto entry = cursor->next();
            if (!entry) return fail(entry.error());
            if (!*entry) break;
            const std::string key((*entry)->key);
            const std::string value((*entry)->value.begin(), (*entry)->value.end());
            auto again = txn->get(table, key);
            if (!again) return fail(again.error());
            if (!*again || std::string((*again)->begin(), (*again)->end()) != value)
                return fail(StoreError::Corruption, "lookup disagrees with the walk at " + key);
            if (auto st = decode_value(table, (*entry)->value); !st) return fail(st.error());
            out[table].emplace_back(key, value);
        }
    }
    if (kind.name == "registry") {
        auto names = list_collection_names(store);
        if (!names) return fail(names.error());
        for (const auto& name : *names) {
            auto config = load_collection_config(*txn, name);
            if (!config) return fail(config.error());
        }
    } else {
        auto live = count_live_records(*txn);
        if (!live) return fail(live.error());
        auto list = load_freelist(*txn);
        if (!list) return fail(list.error());
    }
    return out;
}

// What a damaged file may read as without any error: the last commit or,
// when a meta page's id was hit so that LMDB falls back to it, the one before
// (LMDB keeps it whole for that). Damage inside stored bytes that keeps the
// keys in order cannot be told from data (no checksums): it changes only
// the entries whose bytes it hit.
struct Expected {
    Tables last, previous;
};

std::size_t differing_entries(const Tables& got, const Tables& want) {
    if (got.size() != want.size()) return SIZE_MAX;
    std::size_t n = 0;
    for (auto g = got.begin(), w = want.begin(); g != got.end(); ++g, ++w) {
        if (g->first != w->first || g->second.size() != w->second.size()) return SIZE_MAX;
        for (std::size_t i = 0; i < g->second.size(); ++i) n += g->second[i] != w->second[i];
    }
    return n;
}

std::string kind_name(StoreError::Kind kind) {
    switch (kind) {
        case StoreError::Database: return "Database";
        case StoreError::Serialization: return "Serialization";
        case StoreError::Transaction: return "Transaction";
        case StoreError::Corruption: return "Corruption";
        default: return "kind " + std::to_string(kind);
    }
}

std::string report_error(const char* outcome, const StoreError& e) {
    return std::string(outcome) + " " + kind_name(e.kind()) + ": " + e.message();
}

// The child's whole run; its one-line report goes to fd. Outcomes:
// "refused"/"error" (a clean StoreError, at open or later), "last",
// "previous", "entries" (damage inside stored bytes), "emptied" (a file cut
// to nothing, which LMDB starts afresh), or "bad: ..." for anything wrong.
std::string child_run(const std::filesystem::path& path, const StoreKind& kind, const Expected& expected,
                      std::size_t damaged_bytes) {
    std::vector<std::string_view> names(kind.tables.begin(), kind.tables.end());
    auto open = [&] {
        return names.size() == 1 ? KvStore::open(path, {names[0]}, KvStore::kMinMapSize)
                                 : KvStore::open(path, {names[0], names[1]}, KvStore::kMinMapSize);
    };
    auto store = open();
    if (!store) return report_error("refused", store.error());
    auto before = read_everything(**store, kind);
    if (!before) return report_error("error", before.error());

    // A write on top of what was read: one put, one remove, committed.
    const std::string& table = kind.tables[0];
    // Only tables with entries are in what was read.
    std::optional<std::string> removed;
    const std::string removed_table = before->empty() ? table : before->begin()->first;
    if (!before->empty()) removed = before->begin()->second.front().first;
    auto st = write_transaction(**store, [&](WriteTxn& w) -> Status {
        if (auto put = w.put(table, "zz-added", Bytes(reinterpret_cast<const std::uint8_t*>("v"), 1)); !put) return put;
        if (removed) {
            auto gone = w.remove(removed_table, *removed);
            if (!gone) return fail(gone.error());
        }
        return {};
    });
    if (!st) return report_error("error", st.error());
    store->reset();

    // What LMDB wrote on top of an accepted file is accepted again and holds
    // what was read, with the write.
    auto reopened = open();
    if (!reopened) return "bad: LMDB's own write is refused: " + reopened.error().message();
    Tables want = *before;
    if (removed) {
        auto& entries = want[removed_table];
        entries.erase(entries.begin());
        if (entries.empty()) want.erase(removed_table);
    }
    want[table].emplace_back("zz-added", "v");
    Tables after;
    {
        auto txn = begin_read_txn(**reopened);
        if (!txn) return "bad: " + txn.error().message();
        for (const auto& t : kind.tables) {
            auto cursor = txn->scan(t);
            if (!cursor) return "bad: " + cursor.error().message();
            while (true) {
                auto entry = cursor->next();
                if (!entry) return "bad: " + entry.error().message();
                if (!*entry) break;
                after[t].emplace_back(std::string((*entry)->key),
                                      std::string((*entry)->value.begin(), (*entry)->value.end()));
            }
        }
    }
    // A damaged key may sort the added one elsewhere; compare as sets.
    for (auto* t : {&after, &want})
        for (auto& [name, entries] : *t) std::sort(entries.begin(), entries.end());
    if (after != want) return "bad: the write did not read back";

    if (*before == expected.last) return "last";
    if (*before == expected.previous) return "previous";
    if (before->empty()) return "emptied";
    const std::size_t n = std::min(differing_entries(*before, expected.last), differing_entries(*before, expected.previous));
    if (n <= damaged_bytes) return "entries";
    return "bad: data differs in " + (n == SIZE_MAX ? std::string("its shape") : std::to_string(n) + " entries");
}

// The outcome for the summary: refusals by their text, errors by their kind.
std::string category(const std::string& report) {
    const std::string database = "refused Database: Database error: ";
    if (report.rfind(database, 0) == 0) {
        const std::string text = report.substr(database.size());
        if (text.rfind("file is truncated", 0) == 0) return "refused as truncated";
        if (text.rfind("file is corrupted", 0) == 0) return "refused as corrupted";
        return "refused by LMDB (" + text.substr(0, text.find(':')) + ")";
    }
    if (report.rfind("error ", 0) == 0) return "error (" + report.substr(6, report.find(':') - 6) + ")";
    if (report.rfind("signal ", 0) == 0) return report;
    return report.substr(0, report.find(' '));
}

// Runs one damaged copy in a child; the child's report, or what ended it.
std::string run_case(const std::filesystem::path& dir, const StoreKind& kind, const Expected& expected,
                     const FileBytes& damaged, std::size_t damaged_bytes) {
    const auto path = dir / "meta.redb";
    std::filesystem::remove(dir / "meta.redb-lock");
    write_file(path, damaged);
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "bad: no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipe_fds[0]);
        ::alarm(30);  // a hang is a failure too, and the run stays bounded
        const std::string report = child_run(path, kind, expected, damaged_bytes);
        const ssize_t written = ::write(pipe_fds[1], report.data(), report.size());
        ::_exit(written == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    ::close(pipe_fds[1]);
    std::string report;
    char buf[512];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "bad: exit " + std::to_string(WEXITSTATUS(status));
    return report;
}

FileBytes registry_file(const TempDir& dir) {
    const auto path = dir / "registry" / "meta.redb";
    std::filesystem::create_directories(path.parent_path());
    {
        auto registry = KvStore::open(path, {kCollectionsTable});
        EXPECT_TRUE(registry);
        for (int i = 0; i < 8; ++i) {
            CollectionConfig config{"collection-" + std::to_string(i), 3 + static_cast<std::uint64_t>(i),
                                    static_cast<Metric>(i % 3), 1700000000u + static_cast<std::uint64_t>(i),
                                    std::nullopt};
            if (i == 5) config.hnsw = HnswConfig{16, 32, 16, 200, 50, 0.36, 7};
            auto st = write_transaction(**registry, [&](WriteTxn& w) { return save_collection_config(w, config); });
            EXPECT_TRUE(st);
        }
        auto st = write_transaction(**registry, [&](WriteTxn& w) -> Status {
            auto gone = delete_collection_config(w, "collection-2");
            if (!gone) return fail(gone.error());
            return {};
        });
        EXPECT_TRUE(st);
    }
    return read_file(path);
}

// A few hundred records, some with metadata long enough for overflow pages,
// some deleted so that table "freelist" holds slots, over several commits.
FileBytes collection_file(const TempDir& dir) {
    const auto cdir = dir / "collection";
    {
        auto core = open_collection(cdir, CollectionConfig{"c", 4, Metric::L2, 0, std::nullopt});
        EXPECT_TRUE(core) << core.error().message();
        if (!core) return {};
        // Only the syncs below write, however slowly the adds run: time stands still.
        ManualClock clock;
        ScopedClock still(clock);
        for (int i = 0; i < 320; ++i) {
            const std::string meta = "{\"n\":" + std::to_string(i) + ",\"s\":\"" +
                                     std::string(i % 40 == 0 ? 3000 : i % 7, 'x') + "\"}";
            char id[16];
            std::snprintf(id, sizeof id, "rec-%04d", i);
            const std::vector<float> v = {float(i), 1, 2, 3};
            auto added = insert_record(**core, v, *parse_json(meta), std::string(id), std::nullopt);
            EXPECT_TRUE(added);
            if (i % 100 == 99) {
                EXPECT_TRUE(sync_collection(**core));
            }
        }
        EXPECT_TRUE(sync_collection(**core));
        for (int i = 0; i < 320; i += 9) {
            char id[16];
            std::snprintf(id, sizeof id, "rec-%04d", i);
            EXPECT_TRUE(delete_record(**core, id));
        }
        EXPECT_TRUE(sync_collection(**core));
    }
    return read_file(cdir / "meta.redb");
}

// The file with its newer meta page set back behind the older one: what LMDB
// reads when it falls back to the commit before.
FileBytes previous_commit(FileBytes file) {
    const std::size_t psize = f::load<std::uint32_t>(Bytes(file), f::kMetaOffset + 24);
    const std::size_t id0 = f::kMetaOffset + 128, id1 = psize + id0;
    const auto t0 = f::load<std::uint64_t>(Bytes(file), id0), t1 = f::load<std::uint64_t>(Bytes(file), id1);
    const std::uint64_t older = std::min(t0, t1);
    if (older == 0) return file;
    const std::uint64_t back = older - 1;
    std::memcpy(file.data() + (t0 > t1 ? id0 : id1), &back, sizeof back);
    return file;
}

Tables contents_of(const std::filesystem::path& dir, const StoreKind& kind, const FileBytes& file) {
    write_file(dir / "meta.redb", file);
    std::vector<std::string_view> names(kind.tables.begin(), kind.tables.end());
    auto store = names.size() == 1 ? KvStore::open(dir / "meta.redb", {names[0]})
                                   : KvStore::open(dir / "meta.redb", {names[0], names[1]});
    EXPECT_TRUE(store) << store.error().message();
    if (!store) return {};
    auto all = read_everything(**store, kind);
    EXPECT_TRUE(all) << all.error().message();
    return all ? *all : Tables{};
}

// One damage, kept as what it changes (the copies are made one at a time).
struct Damage {
    std::string what;
    std::size_t cut = SIZE_MAX;                               // the size to cut the file to
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // or the bytes to set

    FileBytes apply(const FileBytes& file) const {
        if (cut != SIZE_MAX) return FileBytes(file.begin(), file.begin() + static_cast<long>(cut));
        FileBytes damaged = file;
        for (const auto& [at, value] : bytes) damaged[at] = value;
        return damaged;
    }
};

std::vector<Damage> damages(const FileBytes& file, std::uint64_t seed) {
    std::vector<Damage> out;
    const std::size_t psize = f::load<std::uint32_t>(Bytes(file), f::kMetaOffset + 24);
    const std::size_t pages = file.size() / psize;
    std::mt19937_64 rng(seed);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    auto cut = [&](std::size_t size) { out.push_back({"cut to " + std::to_string(size), size, {}}); };
    for (std::size_t p = 0; p < pages; ++p) cut(p * psize);
    for (std::size_t size : {std::size_t{1}, std::size_t{100}, f::kMetaEnd - 1, psize + 40, psize + f::kMetaEnd})
        cut(size);
    for (int i = 0; i < 12; ++i) cut(pick(file.size()));
    for (int i = 0; i < 320; ++i) {
        // A quarter in the meta pages' fields, a quarter in page headers and
        // node tables, the rest anywhere.
        const std::size_t where = i % 4 == 0 ? pick(2) * psize + pick(f::kMetaEnd)
                                  : i % 4 == 1 ? pick(pages) * psize + pick(64)
                                               : pick(file.size());
        Damage d;
        switch (pick(3)) {
            case 0:
                d.bytes.emplace_back(where, static_cast<std::uint8_t>(file[where] ^ (1u << pick(8))));
                d.what = "bit flip at " + std::to_string(where);
                break;
            case 1:
                d.bytes.emplace_back(where, static_cast<std::uint8_t>(pick(256)));
                d.what = "byte set at " + std::to_string(where);
                break;
            default: {
                const std::size_t n = std::min<std::size_t>(2 + pick(15), file.size() - where);
                for (std::size_t k = 0; k < n; ++k) d.bytes.emplace_back(where + k, static_cast<std::uint8_t>(pick(256)));
                d.what = std::to_string(n) + " bytes set at " + std::to_string(where);
            }
        }
        bool changes = false;
        for (const auto& [at, value] : d.bytes) changes |= file[at] != value;
        if (changes) out.push_back(std::move(d));
    }
    return out;
}

TEST(DamagedStoreTest, NoCutOrFlipOfEitherFileEndsTheProcess) {
    TempDir dir;
    const StoreKind kinds[] = {
        {"registry", {std::string(kCollectionsTable)}, registry_file(dir)},
        {"collection", {std::string(kRecordsTable), std::string(kFreelistTable)}, collection_file(dir)},
    };
    std::uint64_t seed = 7;
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        ASSERT_GT(kind.file.size(), 4u * 4096);
        const auto work = dir / ("work-" + kind.name);
        std::filesystem::create_directories(work);
        const Expected expected{contents_of(work, kind, kind.file), contents_of(work, kind, previous_commit(kind.file))};
        ASSERT_FALSE(expected.last.empty());
        EXPECT_EQ(run_case(work, kind, expected, kind.file, 0), "last");

        std::map<std::string, int> outcomes;
        int failures = 0;
        const auto cases = damages(kind.file, seed++);
        for (const auto& damage : cases) {
            const FileBytes damaged = damage.apply(kind.file);
            const std::string report = run_case(work, kind, expected, damaged, damage.bytes.size());
            const std::string outcome = report.substr(0, report.find(' '));
            ++outcomes[category(report)];
            const bool fine = outcome == "refused" || outcome == "error" || outcome == "last" ||
                              outcome == "previous" || outcome == "entries" ||
                              (outcome == "emptied" && damaged.empty());
            if (!fine && ++failures <= 10) ADD_FAILURE() << kind.name << ", " << damage.what << ": " << report;
        }
        std::string summary = kind.name + ": " + std::to_string(cases.size()) + " damaged copies:";
        for (const auto& [outcome, n] : outcomes) summary += " " + outcome + " " + std::to_string(n) + ";";
        std::cout << summary << "\n";
        EXPECT_EQ(failures, 0) << summary;
    }
}

}  // namespace
}  // namespace tessello
