// The vector file and the directories under every I/O failure the fault
// points can inject: each step of creating, growing and syncing fails in
// turn, and every time the call reports the error, the store stays usable and
// what is on disk opens.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "base/dirs.h"
#include "collection/collection.h"
#include "collection/insert.h"
#include "collection/sync.h"
#include "fault_sweep.h"
#include "storage/vectors.h"
#include "file_bytes.h"
#include "temp_dir.h"

#ifdef TESSELLO_FAULT_INJECTION
namespace tessello {
namespace {

using testing::count_fault_passes;
using testing::FailingPass;
using testing::injected_message;
using testing::read_file;
using testing::TempDir;

// The names in dir, sorted.
std::vector<std::string> entries_of(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<float> slot_values(const VectorStore& s, std::uint64_t slot) {
    auto view = s.read_slot(slot);
    EXPECT_TRUE(view) << view.error().message();
    return view ? std::vector<float>(view->begin(), view->end()) : std::vector<float>{};
}

class FaultSeamTest : public ::testing::Test {
protected:
    void TearDown() override { disarm_faults(); }
};

TEST_F(FaultSeamTest, PassesAreCountedAndTheArmedOneFiresOnce) {
    reset_fault_passes();
    EXPECT_FALSE(take_fault(FaultPoint::Write));
    EXPECT_FALSE(take_fault(FaultPoint::Fsync));
    EXPECT_EQ(fault_passes(FaultPoint::Write), 1u);
    EXPECT_EQ(fault_passes(FaultPoint::Fsync), 1u);
    EXPECT_EQ(fault_passes_total(), 2u);
    EXPECT_FALSE(fired_fault());

    // The third pass through any point, whichever it is.
    arm_any_fault(2);
    EXPECT_FALSE(take_fault(FaultPoint::Msync));
    EXPECT_FALSE(take_fault(FaultPoint::Fsync));
    EXPECT_TRUE(take_fault(FaultPoint::Rename));
    EXPECT_EQ(fired_fault(), FaultPoint::Rename);
    EXPECT_FALSE(take_fault(FaultPoint::Rename));  // used up

    // The second pass through one point; other points do not count for it.
    arm_fault(FaultPoint::Reserve, 1);
    EXPECT_FALSE(take_fault(FaultPoint::Reserve));
    EXPECT_FALSE(take_fault(FaultPoint::Write));
    EXPECT_TRUE(take_fault(FaultPoint::Reserve));
    EXPECT_EQ(fired_fault(), FaultPoint::Reserve);
    EXPECT_EQ(fault_passes_total(), 9u);

    disarm_faults();
    EXPECT_FALSE(fired_fault());
    reset_fault_passes();
    EXPECT_EQ(fault_passes_total(), 0u);
}

TEST_F(FaultSeamTest, InjectedErrorsAreTheOnesARealFailureGives) {
    EXPECT_EQ(injected_message(FaultPoint::Reserve), "I/O error: No space left on device (os error 28)");
    EXPECT_EQ(injected_message(FaultPoint::Write), "I/O error: No space left on device (os error 28)");
    EXPECT_EQ(injected_message(FaultPoint::Mkdir), "I/O error: No space left on device (os error 28)");
    for (FaultPoint p : {FaultPoint::Fsync, FaultPoint::FsyncDir, FaultPoint::Msync, FaultPoint::Rename})
        EXPECT_EQ(injected_message(p), "I/O error: Input/output error (os error 5)") << fault_point_name(p);
}

class VectorFileFaultTest : public FaultSeamTest {
protected:
    std::filesystem::path file() const { return dir / "vectors.bin"; }
    TempDir dir;
};

TEST_F(VectorFileFaultTest, CreationFailingAtEveryStepLeavesTheOldStateOrTheWholeFile) {
    const auto passes = count_fault_passes([&] { ASSERT_TRUE(create_vector_store(file(), 4)); });
    EXPECT_EQ(passes.total, 5u) << passes.describe();
    for (FaultPoint p : {FaultPoint::Write, FaultPoint::Reserve, FaultPoint::Fsync, FaultPoint::Rename,
                         FaultPoint::FsyncDir})
        EXPECT_EQ(passes.of(p), 1u) << fault_point_name(p) << ": " << passes.describe();

    // Over no file, and over an unfinished one that the creation replaces.
    const std::vector<std::uint8_t> old_bytes(40, 0);
    for (const bool old_file : {false, true}) {
        for (std::uint64_t n = 0; n < passes.total; ++n) {
            std::filesystem::remove(file());
            if (old_file) std::ofstream(file(), std::ios::binary).write(reinterpret_cast<const char*>(old_bytes.data()), 40);
            std::string point;
            {
                FailingPass fault(n);
                auto s = create_vector_store(file(), 4);
                ASSERT_TRUE(fault.fired()) << n;
                point = fault.name();
                ASSERT_FALSE(s) << point;
                EXPECT_EQ(s.error().message(), injected_message(fault.point())) << point;
            }
            SCOPED_TRACE(point + (old_file ? " over an old file" : ""));
            // No temporary file is left behind.
            EXPECT_EQ(entries_of(dir.path()), old_file || point == "FsyncDir" ? std::vector<std::string>{"vectors.bin"}
                                                                              : std::vector<std::string>{});
            if (point == "FsyncDir") {
                // Renamed into place before the directory sync failed: whole.
                auto reopened = open_vector_store(file(), 4);
                ASSERT_TRUE(reopened) << reopened.error().message();
                EXPECT_EQ(reopened->slot_count(), 0u);
                EXPECT_EQ(reopened->vectors_size_bytes(), 64u + 4096u * 4);
            } else if (old_file) {
                EXPECT_EQ(read_file(file()), old_bytes);
            }
            // The next creation succeeds.
            auto again = create_vector_store(file(), 4);
            ASSERT_TRUE(again) << again.error().message();
            ASSERT_EQ(*again->append_slot(), 0u);
        }
    }
}

TEST_F(VectorFileFaultTest, GrowthFailingAtEveryStepLeavesTheStoreAsItWas) {
    const float v[4] = {1, 2, 3, 4};
    auto make_full_store = [&] {
        std::filesystem::remove(file());
        auto s = create_vector_store(file(), 4);
        EXPECT_TRUE(s);
        for (int i = 0; i < 1024; ++i) EXPECT_TRUE(s->append_slot());
        EXPECT_TRUE(s->write_slot(1023, v));
        return std::move(*s);
    };
    std::optional<VectorStore> probe(make_full_store());
    const auto passes = count_fault_passes([&] { ASSERT_EQ(*probe->append_slot(), 1024u); });
    EXPECT_EQ(passes.total, 2u) << passes.describe();
    EXPECT_EQ(passes.of(FaultPoint::Msync), 1u);
    EXPECT_EQ(passes.of(FaultPoint::Reserve), 1u);
    probe.reset();

    for (std::uint64_t n = 0; n < passes.total; ++n) {
        VectorStore s = make_full_store();
        {
            FailingPass fault(n);
            auto slot = s.append_slot();
            ASSERT_TRUE(fault.fired());
            SCOPED_TRACE(fault.name());
            ASSERT_FALSE(slot);
            EXPECT_EQ(slot.error().message(), injected_message(fault.point()));
        }
        EXPECT_EQ(s.slot_count(), 1024u);
        EXPECT_EQ(s.vectors_size_bytes(), 16448u);
        EXPECT_EQ(slot_values(s, 1023), std::vector<float>(v, v + 4));
        // Still usable: the next growth goes to the length the rule gives.
        ASSERT_EQ(*s.append_slot(), 1024u);
        EXPECT_EQ(s.vectors_size_bytes(), 24672u);
        EXPECT_EQ(std::filesystem::file_size(file()), 24672u);
        ASSERT_TRUE(s.write_slot(1024, v));
        ASSERT_TRUE(s.sync_vectors());
        auto reopened = open_vector_store(file(), 4);
        ASSERT_TRUE(reopened) << reopened.error().message();
        EXPECT_EQ(reopened->slot_count(), 1025u);
        EXPECT_EQ(slot_values(*reopened, 1024), std::vector<float>(v, v + 4));
    }
}

TEST_F(VectorFileFaultTest, SyncFailingAtEveryStepKeepsTheStoreUsable) {
    auto s = create_vector_store(file(), 2);
    ASSERT_TRUE(s);
    ASSERT_EQ(*s->append_slot(), 0u);
    const float first[2] = {1, 2};
    ASSERT_TRUE(s->write_slot(0, first));
    const auto passes = count_fault_passes([&] { ASSERT_TRUE(s->sync_vectors()); });
    EXPECT_EQ(passes.total, 1u) << passes.describe();
    EXPECT_EQ(passes.of(FaultPoint::Fsync), 1u);

    for (std::uint64_t n = 0; n < passes.total; ++n) {
        const float later[2] = {float(n + 10), 5};
        ASSERT_TRUE(s->write_slot(0, later));
        {
            FailingPass fault(n);
            auto st = s->sync_vectors();
            ASSERT_TRUE(fault.fired());
            SCOPED_TRACE(fault.name());
            ASSERT_FALSE(st);
            EXPECT_EQ(st.error().message(), injected_message(fault.point()));
        }
        ASSERT_TRUE(s->sync_vectors());
        auto reopened = open_vector_store(file(), 2);
        ASSERT_TRUE(reopened) << reopened.error().message();
        EXPECT_EQ(slot_values(*reopened, 0), std::vector<float>(later, later + 2));
    }
}

TEST_F(VectorFileFaultTest, DirectoriesFailingAtEveryStepReportItAndCanBeMadeLater) {
    const std::string path = (dir / "a" / "b" / "c").string();
    const auto passes = count_fault_passes([&] { ASSERT_TRUE(create_dir_all(path)); });
    // Three directories, each made and its parent synced; the two deeper
    // ones are tried once before their parents exist.
    EXPECT_EQ(passes.of(FaultPoint::Mkdir), 5u) << passes.describe();
    EXPECT_EQ(passes.of(FaultPoint::FsyncDir), 3u) << passes.describe();
    EXPECT_EQ(passes.total, 8u);

    for (std::uint64_t n = 0; n < passes.total; ++n) {
        std::filesystem::remove_all(dir / "a");
        {
            FailingPass fault(n);
            auto st = create_dir_all(path);
            ASSERT_TRUE(fault.fired());
            SCOPED_TRACE(fault.name() + " at pass " + std::to_string(n));
            ASSERT_FALSE(st);
            EXPECT_EQ(st.error().message(), injected_message(fault.point()));
        }
        ASSERT_TRUE(create_dir_all(path));
        EXPECT_TRUE(std::filesystem::is_directory(path));
    }
}

// An opening of a new collection that fails at any step never makes the
// name unusable: the next opening creates or finds a whole vector file.
TEST_F(VectorFileFaultTest, OpeningANewCollectionFailingAtEveryStepLeavesItOpenable) {
    const CollectionConfig config{"c", 2, Metric::L2, 0, std::nullopt};
    const auto passes = count_fault_passes([&] { ASSERT_TRUE(open_collection(dir / "probe" / "c", config)); });
    EXPECT_GE(passes.of(FaultPoint::Mkdir), 2u) << passes.describe();
    EXPECT_EQ(passes.of(FaultPoint::Rename), 1u) << passes.describe();

    for (std::uint64_t n = 0; n < passes.total; ++n) {
        const auto where = dir / ("try" + std::to_string(n)) / "c";
        {
            FailingPass fault(n);
            auto core = open_collection(where, config);
            ASSERT_TRUE(fault.fired());
            ASSERT_FALSE(core) << fault.name();
        }
        auto core = open_collection(where, config);
        ASSERT_TRUE(core) << core.error().message();
        auto id = insert_record(**core, std::vector<float>{1, 2}, JsonValue::object({}), "r", std::nullopt);
        ASSERT_TRUE(id) << id.error().message();
        ASSERT_TRUE(sync_collection(**core));
        EXPECT_EQ(*collection_len(**core), 1u);
        for (const auto& name : entries_of(where)) EXPECT_FALSE(name.ends_with(".tmp")) << name;
    }
}

}  // namespace
}  // namespace tessello
#endif
