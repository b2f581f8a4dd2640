#include "collection/uuid_batch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "collection/insert.h"

namespace tessello {
namespace {

// Version-4 form: 36 lowercase hex characters in groups 8-4-4-4-12, the
// version nibble 4 and the variant bits 10.
void expect_uuid_v4(const std::string& id) {
    ASSERT_EQ(id.size(), 36u) << id;
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(id[i], '-') << id;
        } else {
            EXPECT_TRUE((id[i] >= '0' && id[i] <= '9') || (id[i] >= 'a' && id[i] <= 'f')) << id;
        }
    }
    EXPECT_EQ(id[14], '4') << id;
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
}

TEST(UuidBatchTest, FormatsTheBytesAndSetsVersionAndVariant) {
    const std::uint8_t all_ones[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                       0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(format_uuid_v4(all_ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    const std::uint8_t counting[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    EXPECT_EQ(format_uuid_v4(counting), "00010203-0405-4607-8809-0a0b0c0d0e0f");
    expect_uuid_v4(*new_uuid_v4());
}

// Across several draws from the random source (and past the count the batch
// announced) every identifier is a distinct version-4 UUID.
TEST(UuidBatchTest, EveryIdentifierOfABatchIsADistinctUuid) {
    for (std::size_t total : {std::size_t{0}, std::size_t{1}, std::size_t{10000}}) {
        SCOPED_TRACE(total);
        UuidBatch ids(total);
        std::set<std::string> seen;
        for (std::size_t i = 0; i < total + 3; ++i) {
            auto id = ids.next();
            ASSERT_TRUE(id) << id.error().message();
            expect_uuid_v4(*id);
            EXPECT_TRUE(seen.insert(*id).second) << *id;
        }
    }
}

}  // namespace
}  // namespace tessello
