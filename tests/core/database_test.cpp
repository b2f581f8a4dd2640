#include "database/database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <set>
#include <thread>

#include "base/clock.h"
#include "base/fault_injection.h"
#include "collection/sync.h"
#include "collection_fixture.h"
#include "storage/kv_store.h"
#include "storage/registry.h"

namespace tessello {
namespace {

namespace fs = std::filesystem;
using testing::CollectionFixture;
using testing::TempDir;

constexpr const char* kLocked = "Database error: Database already open. Cannot acquire lock.";

class DatabaseTest : public CollectionFixture {
protected:
    fs::path db_path() const { return dir / "db"; }
    fs::path collections_dir() const { return db_path() / "collections"; }

    std::unique_ptr<Database> open_db() {
        auto db = Database::open(db_path().string());
        EXPECT_TRUE(db) << (db ? "" : db.error().message());
        return db ? std::move(*db) : nullptr;
    }

    static CollectionHandle get(Database& db, const std::string& name, std::uint64_t dim, Metric metric) {
        auto core = db.collection(name, dim, metric);
        EXPECT_TRUE(core) << name << ": " << (core ? "" : core.error().message());
        return core ? *core : nullptr;
    }

    static std::vector<std::string> names(Database& db) {
        auto listed = db.collections();
        EXPECT_TRUE(listed) << (listed ? "" : listed.error().message());
        return listed ? *listed : std::vector<std::string>{};
    }

    static std::vector<std::string> listing(const fs::path& path) {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(path)) out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    // Every path under root, relative to it.
    static std::set<std::string> tree(const fs::path& root) {
        std::set<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            out.insert(fs::relative(entry.path(), root).string());
        return out;
    }

    static std::uint64_t len(Collection& core) {
        auto n = collection_len(core);
        EXPECT_TRUE(n) << (n ? "" : n.error().message());
        return n ? *n : 0;
    }
};

TEST_F(DatabaseTest, OpenCreatesTheDirectoryWithItsParentsAndTheRegistry) {
    const fs::path path = dir / "a" / "b" / "db";
    auto db = Database::open(path.string());
    ASSERT_TRUE(db) << db.error().message();
    EXPECT_TRUE(fs::is_directory(path / "collections"));
    EXPECT_TRUE(fs::is_regular_file(path / "meta.redb"));
    EXPECT_EQ(names(**db), std::vector<std::string>{});
}

TEST_F(DatabaseTest, SecondOpenOfTheDirectoryIsRefusedWhileTheFirstLives) {
    auto first = open_db();
    auto core = get(*first, "c", 2, Metric::L2);
    // Other spellings of the same directory reach the same locked file.
    for (const std::string& path : {db_path().string(), db_path().string() + "/", (dir / "." / "db").string()}) {
        auto second = Database::open(path);
        ASSERT_FALSE(second) << path;
        EXPECT_EQ(second.error().kind(), StoreError::Database);
        EXPECT_EQ(second.error().message(), kLocked);
    }
    // The first object is not disturbed by the refusals.
    add(*core, {1, 2}, "a");
    EXPECT_EQ(names(*first), std::vector<std::string>{"c"});

    core.reset();
    first.reset();
    auto again = open_db();
    ASSERT_TRUE(again);
    EXPECT_EQ(names(*again), std::vector<std::string>{"c"});
    auto reopened = again->get_collection("c");
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ(len(**reopened), 1u);
}

TEST_F(DatabaseTest, OpenRefusesAPathItCannotUse) {
    std::ofstream(dir / "file") << "not a directory";
    auto on_file = Database::open((dir / "file").string());
    ASSERT_FALSE(on_file);
    EXPECT_EQ(on_file.error().kind(), StoreError::Io);
    EXPECT_EQ(on_file.error().message(), "I/O error: " + os_error_description(EEXIST) + " (os error 17)");

    // The file system would see only "x": nothing may be made there.
    auto with_nul = Database::open((dir / "x").string() + std::string("\0y", 2));
    ASSERT_FALSE(with_nul);
    EXPECT_EQ(with_nul.error().kind(), StoreError::Io);
    EXPECT_EQ(with_nul.error().message(), "I/O error: file name contained an unexpected NUL byte");
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"file"});
}

TEST_F(DatabaseTest, CollectionRegistersOnceAndTheCacheHandsOutOneCore) {
    auto db = open_db();
    const std::uint64_t before = now_unix_secs();
    auto first = get(*db, "c", 3, Metric::Dot);
    const std::uint64_t after = now_unix_secs();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->config.name, "c");
    EXPECT_EQ(first->config.dimensions, 3u);
    EXPECT_EQ(first->config.metric, Metric::Dot);
    EXPECT_GE(first->config.created_at, before);
    EXPECT_LE(first->config.created_at, after);
    EXPECT_FALSE(first->config.hnsw);
    EXPECT_EQ(first->dir, collections_dir() / "c");
    EXPECT_TRUE(fs::is_regular_file(collections_dir() / "c" / "vectors.bin"));

    EXPECT_EQ(get(*db, "c", 3, Metric::Dot), first);
    {
        auto got = db->get_collection("c");
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, first);
    }
    EXPECT_EQ(names(*db), std::vector<std::string>{"c"});

    // A new object finds the entry in the registry, as it was written.
    const auto created_at = first->config.created_at;
    first.reset();
    db.reset();
    db = open_db();
    auto reopened = db->get_collection("c");
    ASSERT_TRUE(reopened) << reopened.error().message();
    EXPECT_EQ((*reopened)->config.dimensions, 3u);
    EXPECT_EQ((*reopened)->config.metric, Metric::Dot);
    EXPECT_EQ((*reopened)->config.created_at, created_at);
    EXPECT_EQ(get(*db, "c", 3, Metric::Dot), *reopened);
}

TEST_F(DatabaseTest, MismatchesAreCheckedAgainstTheCachedCoreAndTheRegisteredEntry) {
    struct Case {
        std::uint64_t dim;
        Metric metric;
        StoreError::Kind kind;
        const char* message;
    } cases[] = {
        {64, Metric::Cosine, StoreError::DimensionMismatch, "Dimension mismatch: expected 128, got 64"},
        // The dimension is compared first.
        {64, Metric::Dot, StoreError::DimensionMismatch, "Dimension mismatch: expected 128, got 64"},
        {128, Metric::Dot, StoreError::CollectionExists,
         "Collection already exists: Collection 'docs' exists with metric Cosine, not Dot"},
        {128, Metric::L2, StoreError::CollectionExists,
         "Collection already exists: Collection 'docs' exists with metric Cosine, not L2"},
    };
    for (bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "from the registry" : "from the cache");
        TempDir fresh;
        auto db = Database::open(fresh.path().string());
        ASSERT_TRUE(db);
        auto core = get(**db, "docs", 128, Metric::Cosine);
        if (reopen) {
            core.reset();
            db->reset();
            db = Database::open(fresh.path().string());
            ASSERT_TRUE(db);
        }
        for (const auto& c : cases) {
            auto refused = (*db)->collection("docs", c.dim, c.metric);
            ASSERT_FALSE(refused) << c.message;
            EXPECT_EQ(refused.error().kind(), c.kind);
            EXPECT_EQ(refused.error().message(), c.message);
        }
        // No refusal opened, replaced or registered anything.
        auto matching = get(**db, "docs", 128, Metric::Cosine);
        if (!reopen) {
            EXPECT_EQ(matching, core);
        }
        EXPECT_EQ(names(**db), std::vector<std::string>{"docs"});
    }
}

TEST_F(DatabaseTest, GetCollectionOfAnUnknownNameIsCollectionNotFound) {
    auto db = open_db();
    get(*db, "docs", 2, Metric::L2);
    for (const std::string name : {"x", "Docs", "docs "}) {
        auto missing = db->get_collection(name);
        ASSERT_FALSE(missing) << name;
        EXPECT_EQ(missing.error().kind(), StoreError::CollectionNotFound);
        EXPECT_EQ(missing.error().payload(), name);
        EXPECT_EQ(missing.error().message(), "Collection not found: " + name);
    }
    EXPECT_EQ(names(*db), std::vector<std::string>{"docs"});
    EXPECT_EQ(listing(collections_dir()), std::vector<std::string>{"docs"});
}

TEST_F(DatabaseTest, CollectionsListsTheRegistryInByteOrderNotTheCache) {
    const std::vector<std::string> expected = {"B", "a", "a0", "ab", "b", "\xc3\xa9"};
    {
        auto db = open_db();
        for (const std::string name : {"b", "a", "B", "\xc3\xa9", "ab", "a0"}) get(*db, name, 2, Metric::Cosine);
        EXPECT_EQ(names(*db), expected);
    }
    auto db = open_db();  // nothing is cached yet
    EXPECT_EQ(names(*db), expected);
}

TEST_F(DatabaseTest, DropRemovesTheCacheEntryTheRegistryEntryAndTheDirectory) {
    auto db = open_db();
    auto held = get(*db, "c", 2, Metric::Dot);
    add(*held, {1, 0}, "a");
    ASSERT_TRUE(sync_collection(*held));
    get(*db, "other", 2, Metric::Dot);

    ASSERT_TRUE(db->drop_collection("c"));
    EXPECT_EQ(names(*db), std::vector<std::string>{"other"});
    EXPECT_FALSE(fs::exists(collections_dir() / "c"));
    EXPECT_TRUE(fs::is_directory(collections_dir() / "other"));
    auto gone = db->get_collection("c");
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().kind(), StoreError::CollectionNotFound);

    // The held core keeps working on its open files; the name starts afresh,
    // with a core of its own.
    add(*held, {0, 1}, "b");
    EXPECT_EQ(len(*held), 2u);
    auto fresh = get(*db, "c", 3, Metric::L2);
    ASSERT_TRUE(fresh);
    EXPECT_NE(fresh, held);
    EXPECT_EQ(len(*fresh), 0u);
    EXPECT_EQ(names(*db), (std::vector<std::string>{"c", "other"}));
}

TEST_F(DatabaseTest, DroppingAnUnregisteredNameTouchesNothing) {
    auto db = open_db();
    get(*db, "keep", 2, Metric::Cosine);
    // A directory under "collections" that the registry does not name stays.
    fs::create_directories(collections_dir() / "stray" / "inner");
    const auto before = tree(db_path());
    for (const std::string name : {"nothing", "Keep", "stray"}) EXPECT_TRUE(db->drop_collection(name)) << name;
    EXPECT_EQ(tree(db_path()), before);
    EXPECT_EQ(names(*db), std::vector<std::string>{"keep"});
}

// Names that are not a single directory name can only be in a registry
// written by other means; dropping one removes its entry and no file.
TEST_F(DatabaseTest, DroppingARegisteredNameThatLeadsElsewhereRemovesNothing) {
    for (const std::string& name :
         {std::string("."), std::string(".."), std::string("../../victim"), std::string("keep/.."),
          std::string("keep/sub"), (dir / "victim").string(), std::string("keep\0x", 6)}) {
        SCOPED_TRACE(name);
        fs::remove_all(db_path());
        fs::remove_all(dir / "victim");
        fs::create_directories(collections_dir() / "keep" / "sub");
        fs::create_directories(dir / "victim");
        std::ofstream(dir / "victim" / "file") << "precious";
        {
            auto registry = KvStore::open(db_path() / "meta.redb", {kCollectionsTable});
            ASSERT_TRUE(registry) << registry.error().message();
            ASSERT_TRUE(write_transaction(**registry, [&](WriteTxn& txn) -> Status {
                for (const auto& n : {name, std::string("keep")})
                    if (auto st = save_collection_config(txn, CollectionConfig{n, 2, Metric::L2, 0, std::nullopt});
                        !st)
                        return st;
                return {};
            }));
        }
        auto db = open_db();
        ASSERT_TRUE(db);
        const auto before = tree(dir.path());
        EXPECT_TRUE(db->drop_collection(name));
        EXPECT_EQ(tree(dir.path()), before);
        EXPECT_EQ(names(*db), std::vector<std::string>{"keep"});
    }
}

TEST_F(DatabaseTest, NamesThatAreNotOneDirectoryNameAreRefusedBeforeAnythingIsRegistered) {
    struct Case {
        std::string name;
        std::string message;
    } cases[] = {
        {"", "Invalid input: Collection name must not be empty"},
        {".", "Invalid input: Collection name '.' is not allowed"},
        {"..", "Invalid input: Collection name '..' is not allowed"},
        {"a/b", "Invalid input: Collection name must not contain '/'"},
        {"/abs", "Invalid input: Collection name must not contain '/'"},
        {"../escape", "Invalid input: Collection name must not contain '/'"},
        {"x/", "Invalid input: Collection name must not contain '/'"},
        {std::string("a\0b", 3), "Invalid input: Collection name must not contain NUL"},
        {std::string(256, 'x'), "Invalid input: Collection name is 256 bytes long; at most 255 bytes are allowed"},
        // Bytes are counted, not characters: 128 two-byte characters.
        {[] {
             std::string s;
             for (int i = 0; i < 128; ++i) s += "\xc3\xa9";
             return s;
         }(),
         "Invalid input: Collection name is 256 bytes long; at most 255 bytes are allowed"},
    };
    auto db = open_db();
    get(*db, "keep", 2, Metric::Cosine);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto st = validate_collection_name(c.name);
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().kind(), StoreError::InvalidInput);
        EXPECT_EQ(st.error().message(), c.message);
        for (auto result : {db->collection(c.name, 2, Metric::L2), db->get_collection(c.name)}) {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().message(), c.message);
        }
    }
    EXPECT_EQ(names(*db), std::vector<std::string>{"keep"});
    EXPECT_EQ(listing(collections_dir()), std::vector<std::string>{"keep"});
    EXPECT_EQ(listing(db_path()), (std::vector<std::string>{"collections", "meta.redb", "meta.redb-lock"}));
}

TEST_F(DatabaseTest, NamesOfOneDirectoryNameAreAccepted) {
    std::string longest_utf8;
    for (int i = 0; i < 127; ++i) longest_utf8 += "\xc3\xa9";
    longest_utf8 += "a";
    auto db = open_db();
    for (const std::string& name : {std::string(255, 'x'), longest_utf8, std::string("..."), std::string(".hidden"),
                                    std::string("a b"), std::string("a\\b")}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(validate_collection_name(name));
        auto core = get(*db, name, 2, Metric::L2);
        ASSERT_TRUE(core);
        EXPECT_EQ(core->dir, collections_dir() / name);
        EXPECT_TRUE(fs::is_directory(collections_dir() / name));
        core.reset();
        ASSERT_TRUE(db->drop_collection(name));
        EXPECT_FALSE(fs::exists(collections_dir() / name));
    }
    EXPECT_EQ(names(*db), std::vector<std::string>{});
}

TEST_F(DatabaseTest, SyncWritesEveryCachedCollectionAndNoDroppedOne) {
    auto db = open_db();
    EXPECT_TRUE(db->sync());
    auto a = get(*db, "a", 2, Metric::Dot);
    auto b = get(*db, "b", 2, Metric::Dot);
    auto dropped = get(*db, "dropped", 2, Metric::Dot);
    for (auto* core : {a.get(), b.get(), dropped.get()}) {
        hold_buffer(*core);
        for (int i = 0; i < 3; ++i) add(*core, {1, float(i)}, "r" + std::to_string(i));
    }
    ASSERT_TRUE(db->drop_collection("dropped"));

    ASSERT_TRUE(db->sync());
    for (auto* core : {a.get(), b.get()}) {
        EXPECT_EQ(buffered(*core), 0u) << core->config.name;
        EXPECT_EQ(stored_count(*core), 3u) << core->config.name;
    }
    EXPECT_EQ(buffered(*dropped), 3u);
    EXPECT_EQ(stored_count(*dropped), 0u);
}

#ifdef TESSELLO_FAULT_INJECTION
TEST_F(DatabaseTest, SyncStopsAtTheFirstFailure) {
    auto db = open_db();
    auto a = get(*db, "a", 2, Metric::Dot);
    auto b = get(*db, "b", 2, Metric::Dot);
    for (auto* core : {a.get(), b.get()}) {
        hold_buffer(*core);
        for (int i = 0; i < 3; ++i) add(*core, {1, float(i)}, "r" + std::to_string(i));
    }
    arm_fault(FaultPoint::Fsync);
    auto failed = db->sync();
    disarm_faults();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), "I/O error: " + os_error_description(EIO) + " (os error 5)");
    // The failing flush kept its records; the other collection was not reached.
    EXPECT_EQ(buffered(*a) + buffered(*b), 6u);
    EXPECT_EQ(stored_count(*a) + stored_count(*b), 0u);

    ASSERT_TRUE(db->sync());
    EXPECT_EQ(stored_count(*a), 3u);
    EXPECT_EQ(stored_count(*b), 3u);
}
#endif

// Collection objects add on their own threads while the database syncs and
// lists; the threads also create and look up their collections meanwhile.
TEST_F(DatabaseTest, SyncAndListWhileOtherThreadsCreateAndAdd) {
    constexpr int kThreads = 4;
    constexpr int kRecords = 150;
    auto db = open_db();
    std::atomic<int> running{kThreads};
    std::vector<CollectionHandle> cores(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string name = "t" + std::to_string(t);
            auto core = db->collection(name, 2, Metric::L2);
            if (core) {
                cores[t] = *core;
                for (int i = 0; i < kRecords; ++i) {
                    (void)insert_record(**core, std::vector<float>{float(t), float(i)}, json("{}"),
                                        "r" + std::to_string(i), std::nullopt);
                    if (i == kRecords / 2) {
                        auto again = db->get_collection(name);
                        if (!again || *again != *core) cores[t] = nullptr;
                    }
                }
            }
            running.fetch_sub(1);
        });
    }
    // Bounded by the threads' finite work.
    while (running.load() > 0) {
        EXPECT_TRUE(db->sync());
        auto listed = db->collections();
        EXPECT_TRUE(listed);
        if (listed) {
            EXPECT_LE(listed->size(), std::size_t{kThreads});
        }
    }
    for (auto& thread : threads) thread.join();

    ASSERT_TRUE(db->sync());
    EXPECT_EQ(names(*db), (std::vector<std::string>{"t0", "t1", "t2", "t3"}));
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_TRUE(cores[t]) << t;
        EXPECT_EQ(buffered(*cores[t]), 0u);
        EXPECT_EQ(stored_count(*cores[t]), std::size_t{kRecords});
    }
}

}  // namespace
}  // namespace tessello
