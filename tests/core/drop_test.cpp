// Dropping a collection: wherever the process dies during the drop, the name
// either still holds the whole collection or, created again, starts empty.
#include "database/collection_drop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/fault_injection.h"
#include "collection/batch_add.h"
#include "collection/collection.h"
#include "collection/fetch_record.h"
#include "collection/sync.h"
#include "database/database.h"
#include "json/json_reader.h"
#include "storage/registry.h"
#include "fault_sweep.h"
#include "temp_dir.h"

namespace tessello {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr std::uint64_t kRecords = 150;
constexpr std::uint64_t kDims = 4;

std::unique_ptr<Database> open_db(const fs::path& path) {
    auto db = Database::open(path.string());
    EXPECT_TRUE(db) << (db ? "" : db.error().message());
    return db ? std::move(*db) : nullptr;
}

// A database at path with collection "c" of kRecords durable records and a
// neighbour "keep" of one.
void make_database(const fs::path& path) {
    auto db = open_db(path);
    ASSERT_TRUE(db);
    for (const auto& [name, count] : {std::pair{std::string("c"), kRecords}, std::pair{std::string("keep"), 1ul}}) {
        auto core = db->collection(name, kDims, Metric::Dot);
        ASSERT_TRUE(core);
        BatchInput batch;
        batch.ids.emplace();
        for (std::uint64_t i = 0; i < count; ++i) {
            batch.ids->push_back(std::to_string(i));
            batch.rows.push_back({1.0f, float(i), 0.0f, 0.0f});
            batch.metadata.push_back(*parse_json("{}"));
        }
        ASSERT_TRUE(add_batch_records(**core, std::move(batch)));
    }
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// What a reopened database shows of "c" after an interrupted drop.
void expect_whole_or_empty(const fs::path& path, const std::string& when) {
    SCOPED_TRACE(when);
    auto db = open_db(path);
    ASSERT_TRUE(db);
    // Opening cleared whatever the drop had moved aside.
    EXPECT_FALSE(fs::exists(path / kDroppedFolder));
    EXPECT_EQ(entries(path), (std::vector<std::string>{"collections", "meta.redb", "meta.redb-lock"}));
    auto names = db->collections();
    ASSERT_TRUE(names);
    const bool listed = std::find(names->begin(), names->end(), "c") != names->end();
    auto core = db->collection("c", kDims, Metric::Dot);
    ASSERT_TRUE(core) << core.error().message();
    auto count = collection_len(**core);
    ASSERT_TRUE(count);
    if (listed && *count == kRecords) {
        for (std::uint64_t i : {0ul, kRecords - 1}) EXPECT_TRUE(fetch_record(**core, std::to_string(i)).value());
    } else {
        // Gone from the registry, or left registered without its directory:
        // either way nothing of the old data shows.
        EXPECT_EQ(*count, 0u) << (listed ? "registered" : "created again");
        EXPECT_FALSE(fs::exists(path / "collections" / "c" / "meta.redb") && *count != 0);
    }
    auto keep = db->get_collection("keep");
    ASSERT_TRUE(keep);
    EXPECT_EQ(collection_len(**keep).value(), 1u);
}

// Runs the drop of "c" in a child process that ends itself, without any
// cleanup, right after step `stop` (the child of the last step finishes).
void drop_in_child_stopping_after(const fs::path& path, DropStep stop) {
    static DropStep stop_at;
    stop_at = stop;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        set_drop_step_hook([](DropStep step) {
            if (step == stop_at) ::_exit(0);
        });
        auto db = Database::open(path.string());
        if (!db) ::_exit(2);
        auto st = (*db)->drop_collection("c");
        ::_exit(st ? 3 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child did not reach the step";
}

TEST(DropCollectionTest, ProcessEndingAfterEachStepNeverBringsTheDataBack) {
    for (DropStep stop : {DropStep::MovedAside, DropStep::Unregistered, DropStep::Erased}) {
        TempDir tmp;
        const fs::path path = tmp / "db";
        make_database(path);
        drop_in_child_stopping_after(path, stop);
        expect_whole_or_empty(path, "stopped after step " + std::to_string(int(stop)));
        // A second drop of whatever is left finishes the job.
        auto db = open_db(path);
        ASSERT_TRUE(db);
        ASSERT_TRUE(db->drop_collection("c"));
        EXPECT_EQ(db->collections().value(), std::vector<std::string>{"keep"});
        EXPECT_EQ(entries(path / "collections"), std::vector<std::string>{"keep"});
    }
}

TEST(DropCollectionTest, StepsOfADropComeInTheirOrder) {
    TempDir tmp;
    const fs::path path = tmp / "db";
    make_database(path);
    static std::vector<DropStep> seen;
    seen.clear();
    set_drop_step_hook([](DropStep step) { seen.push_back(step); });
    auto db = open_db(path);
    ASSERT_TRUE(db->drop_collection("c"));
    set_drop_step_hook(nullptr);
    EXPECT_EQ(seen, (std::vector<DropStep>{DropStep::MovedAside, DropStep::Unregistered, DropStep::Erased}));
    EXPECT_FALSE(fs::exists(path / kDroppedFolder));
    EXPECT_EQ(entries(path / "collections"), std::vector<std::string>{"keep"});
}

#ifdef TESSELLO_FAULT_INJECTION
// A failed step returns at once, leaving what a process that died there
// leaves; each I/O pass of the drop fails in turn.
TEST(DropCollectionTest, FailureAtEachPassLeavesTheWholeCollectionOrNothing) {
    std::uint64_t passes = 0;
    {
        TempDir tmp;
        make_database(tmp / "db");
        auto db = open_db(tmp / "db");
        passes = testing::count_fault_passes([&] { ASSERT_TRUE(db->drop_collection("c")); }).total;
    }
    ASSERT_GE(passes, 4u);  // the dropped folder, its parent, the rename, both parents, the commit
    for (std::uint64_t n = 0; n < passes; ++n) {
        TempDir tmp;
        const fs::path path = tmp / "db";
        make_database(path);
        bool still_registered = false;
        std::string point;
        {
            auto db = open_db(path);
            testing::FailingPass fault(n);
            auto st = db->drop_collection("c");
            ASSERT_TRUE(fault.fired());
            point = fault.name();
            ASSERT_FALSE(st) << "pass " << n;
            if (fault.point() == FaultPoint::Commit)
                EXPECT_EQ(st.error().kind(), StoreError::Transaction) << st.error().message();
            else
                EXPECT_EQ(st.error().message(), testing::injected_message(fault.point()));
            auto names = db->collections();
            ASSERT_TRUE(names);
            still_registered = std::find(names->begin(), names->end(), "c") != names->end();
        }
        // The registry lets go of the name only after the move is durable:
        // every pass before the commit keeps it.
        EXPECT_TRUE(still_registered) << "pass " << n << " (" << point << ")";
        expect_whole_or_empty(path, "pass " + std::to_string(n) + " failing (" + point + ")");
    }
}
#endif

TEST(DropCollectionTest, OpeningClearsWhatAnInterruptedDropLeft) {
    TempDir tmp;
    const fs::path path = tmp / "db";
    make_database(path);
    // As a drop leaves it after the registry let go of the name: the data in
    // the dropped folder (a symbolic link among it), nothing registered.
    fs::create_directories(path / kDroppedFolder);
    fs::rename(path / "collections" / "c", path / kDroppedFolder / "x");
    fs::create_directory(tmp / "elsewhere");
    fs::create_directory_symlink(tmp / "elsewhere", path / kDroppedFolder / "link");
    {
        auto registry = KvStore::open(path / "meta.redb", {kCollectionsTable});
        ASSERT_TRUE(registry);
        ASSERT_TRUE(write_transaction(**registry, [](WriteTxn& txn) -> Status {
            auto removed = delete_collection_config(txn, "c");
            if (!removed) return fail(removed.error());
            return {};
        }));
    }
    expect_whole_or_empty(path, "left unregistered in the dropped folder");
    EXPECT_TRUE(fs::is_directory(tmp / "elsewhere"));
}

TEST(DropCollectionTest, HeldCoreKeepsWorkingAndTheNameStartsEmpty) {
    TempDir tmp;
    const fs::path path = tmp / "db";
    make_database(path);
    auto db = open_db(path);
    auto held = db->collection("c", kDims, Metric::Dot);
    ASSERT_TRUE(held);
    ASSERT_TRUE(db->drop_collection("c"));
    EXPECT_FALSE(fs::exists(path / kDroppedFolder));
    EXPECT_EQ(collection_len(**held).value(), kRecords);
    ASSERT_TRUE(fetch_record(**held, "7").value());
    ASSERT_TRUE(sync_collection(**held));
    auto fresh = db->collection("c", 2, Metric::L2);
    ASSERT_TRUE(fresh) << fresh.error().message();
    EXPECT_EQ(collection_len(**fresh).value(), 0u);
    EXPECT_EQ(collection_len(**held).value(), kRecords);
}

}  // namespace
}  // namespace tessello
