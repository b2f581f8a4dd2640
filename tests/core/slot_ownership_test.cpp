// Operations that free a stored record's slot racing each other on one
// identifier: whatever order they take, no slot may end up held by two
// records, or held by one and listed free, and the record that stays keeps
// the vector it was written with.
#include <gtest/gtest.h>

#include <barrier>
#include <functional>
#include <map>
#include <thread>

#include "collection/compaction.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "collection_fixture.h"

namespace tessello {
namespace {

using testing::CollectionFixture;

class SlotOwnershipTest : public CollectionFixture {
protected:
    using Op = std::function<void(Collection&, const std::string&)>;

    // Each round stores `id`, runs both operations at once, then adds one
    // more record (which takes the most recently freed slot) and checks.
    void race(bool expired, const Op& first, const Op& second) {
        auto core = open();
        for (int round = 0; round < 100; ++round) {
            const std::string id = "id" + std::to_string(round);
            add(*core, {1, 1}, id, "{}", expired ? std::optional<std::uint64_t>(0) : std::nullopt);
            ASSERT_TRUE(sync_collection(*core));
            hold_buffer(*core);
            std::barrier start(2);
            std::thread a([&] {
                start.arrive_and_wait();
                first(*core, id);
            });
            std::thread b([&] {
                start.arrive_and_wait();
                std::this_thread::sleep_for(std::chrono::microseconds(round % 40 * 25));
                second(*core, id);
            });
            a.join();
            b.join();
            add(*core, {9, 9}, "next" + std::to_string(round));
            ASSERT_TRUE(sync_collection(*core));
            check(*core);
        }
    }

    static void check(Collection& core) {
        std::map<std::uint64_t, std::string> owner;
        auto txn = begin_read_txn(Access::meta_db(core));
        const auto free = Access::free_slots(core);
        ASSERT_TRUE(for_each_record(*txn, [&](const RecordView& r) -> Status {
            if (!is_record_live(r, now_unix_secs())) return {};
            EXPECT_TRUE(owner.emplace(r.slot, std::string(r.id)).second)
                << "slot " << r.slot << " held by " << owner[r.slot] << " and " << r.id;
            EXPECT_EQ(std::find(free.begin(), free.end(), r.slot), free.end()) << r.id << " holds a free slot";
            const float first = (*Access::read_slot(core, r.slot))[0];
            EXPECT_EQ(first, r.id.starts_with("next") ? 9.0f : 4.0f) << r.id;
            return {};
        }));
    }

    static void upsert(Collection& c, const std::string& id) {
        (void)upsert_record(c, id, std::vector<float>{4, 4}, json("{}"), std::nullopt);
    }
};

TEST_F(SlotOwnershipTest, DeleteRacingUpsert) {
    race(false, [](Collection& c, const std::string& id) { (void)delete_record(c, id); }, upsert);
}

TEST_F(SlotOwnershipTest, TwoUpsertsOfOneIdentifier) { race(false, upsert, upsert); }

TEST_F(SlotOwnershipTest, CompactionRacingUpsertOfAnExpiredRecord) {
    race(true, [](Collection& c, const std::string&) { (void)compact_collection(c); }, upsert);
}

}  // namespace
}  // namespace tessello
