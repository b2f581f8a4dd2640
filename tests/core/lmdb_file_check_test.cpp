// The check of a key-value file at open: every file LMDB writes passes, and
// each kind of damage it looks for is refused with its own text.
#include "storage/lmdb_file_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/kv_store.h"
#include "storage/lmdb_format.h"
#include "file_bytes.h"
#include "temp_dir.h"

namespace tessello {
namespace {

namespace f = lmdb_format;
using testing::TempDir;

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

using Tables = std::map<std::string, std::map<std::string, std::string>>;

// Everything the store holds in the given tables, read back through LMDB.
Tables contents(KvStore& store, const std::vector<std::string>& names) {
    Tables out;
    auto txn = begin_read_txn(store);
    EXPECT_TRUE(txn) << txn.error().message();
    if (!txn) return out;
    for (const auto& name : names) {
        auto cursor = txn->scan(name);
        EXPECT_TRUE(cursor);
        if (!cursor) continue;
        for (;;) {
            auto entry = cursor->next();
            EXPECT_TRUE(entry) << entry.error().message();
            if (!entry || !*entry) break;
            out[name][std::string((*entry)->key)] = std::string((*entry)->value.begin(), (*entry)->value.end());
        }
    }
    for (auto it = out.begin(); it != out.end();) it = it->second.empty() ? out.erase(it) : std::next(it);
    return out;
}

// Random histories of puts, overwrites, removes and bulk removals, with the
// map growing from its smallest size and the store reopened (and so checked)
// between rounds: the check never refuses what LMDB wrote.
TEST(LmdbFileCheckTest, AcceptsEveryFileLmdbWrites) {
    const std::vector<std::string> names = {"records", "freelist", "t"};
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        auto pick = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
        TempDir dir;
        const auto path = dir / "meta.redb";
        Tables model;
        {
            auto fresh = KvStore::open(path, {"records", "freelist", "t"}, KvStore::kMinMapSize);
            ASSERT_TRUE(fresh) << fresh.error().message();
        }
        for (int round = 0; round < 30; ++round) {
            auto store = KvStore::open(path, {"records", "freelist", "t"}, KvStore::kMinMapSize);
            ASSERT_TRUE(store) << "round " << round << ": " << store.error().message();
            ASSERT_EQ(contents(**store, names), model) << "round " << round;
            const int commits = 1 + static_cast<int>(pick(4));
            for (int c = 0; c < commits; ++c) {
                // Operations are drawn before the transaction: a run that
                // grows the map starts the body again.
                struct Op {
                    std::string table, key, value;
                    bool remove;
                };
                std::vector<Op> ops;
                Tables after = model;
                const bool sweep = pick(10) == 0;
                const std::size_t n = sweep ? 0 : 1 + pick(120);
                for (const auto& [table, entries] : model)
                    if (sweep)
                        for (const auto& [key, value] : entries)
                            if (pick(10) != 0) ops.push_back({table, key, "", true});
                for (std::size_t i = 0; i < n; ++i) {
                    const std::string& table = names[pick(names.size())];
                    auto& entries = after[table];
                    if (!entries.empty() && pick(3) == 0) {
                        auto it = std::next(entries.begin(), static_cast<long>(pick(entries.size())));
                        if (pick(2) == 0) {
                            ops.push_back({table, it->first, "", true});
                            continue;
                        }
                        ops.push_back({table, it->first, "", false});  // an overwrite, sized below
                    } else {
                        const std::size_t len = pick(8) == 0 ? 1 + pick(511) : 1 + pick(24);
                        std::string key(len, '\0');
                        for (auto& ch : key) ch = static_cast<char>(pick(4) == 0 ? pick(256) : 'a' + pick(6));
                        ops.push_back({table, key, "", false});
                    }
                    const std::uint64_t kind = pick(20);
                    const std::size_t size = kind == 0 ? 2000 + pick(30000) : kind < 3 ? 900 + pick(1500) : pick(120);
                    ops.back().value.assign(size, static_cast<char>('A' + pick(26)));
                }
                for (const auto& op : ops) {
                    if (op.remove)
                        after[op.table].erase(op.key);
                    else
                        after[op.table][op.key] = op.value;
                }
                auto st = write_transaction(**store, [&](WriteTxn& w) -> Status {
                    for (const auto& op : ops) {
                        if (op.remove) {
                            auto removed = w.remove(op.table, op.key);
                            if (!removed) return fail(removed.error());
                        } else if (auto put = w.put(op.table, op.key, bytes(op.value)); !put) {
                            return put;
                        }
                    }
                    return {};
                });
                ASSERT_TRUE(st) << st.error().message();
                for (auto it = after.begin(); it != after.end();) it = it->second.empty() ? after.erase(it) : std::next(it);
                model = std::move(after);
            }
        }
    }
}

TEST(LmdbFileCheckTest, AcceptsAnEmptyAndANeverWrittenFile) {
    TempDir dir;
    const auto path = dir / "meta.redb";
    std::ofstream(path).close();
    for (int i = 0; i < 2; ++i) {
        auto store = KvStore::open(path, {"t"});
        ASSERT_TRUE(store) << store.error().message();
    }
}

// A file laid out by LMDB, read into memory to be damaged in place. It knows
// just enough of the layout to find the structures each case damages.
class Image {
public:
    explicit Image(const std::filesystem::path& path) {
        bytes = testing::read_file(path);
        page_size = f::load<std::uint32_t>(Bytes(bytes), f::kMetaOffset + 24);
        current = f::meta_txnid(page(0)) < f::meta_txnid(page(1)) ? 1 : 0;
    }
    void write(const std::filesystem::path& path) const { testing::write_file(path, bytes); }

    Bytes page(std::uint64_t p) const { return Bytes(bytes).subspan(p * page_size, page_size); }
    std::size_t at(std::uint64_t p) const { return p * page_size; }
    template <class T>
    void put(std::size_t offset, T value) {
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    }
    template <class T>
    T get(std::size_t offset) const {
        return f::load<T>(Bytes(bytes), offset);
    }

    std::size_t meta() const { return at(current) + f::kMetaOffset; }
    std::uint64_t last_page() const { return f::meta_last_page(page(current)); }
    std::size_t count(std::uint64_t p) const { return (f::page_lower(page(p)) - f::kPageHeader) / 2; }
    std::size_t node(std::uint64_t p, std::size_t i) const { return at(p) + f::node_offset(page(p), i); }
    std::uint64_t child(std::uint64_t p, std::size_t i) const { return f::node_child(page(p), f::node_offset(page(p), i)); }

    // Where the descriptor of a named table lies (the table tree is one leaf here).
    std::size_t descriptor(std::string_view name) const {
        const std::uint64_t root = f::meta_main_tree(page(current)).root;
        for (std::size_t i = 0; i < count(root); ++i) {
            const std::size_t n = node(root, i);
            const std::string_view key(reinterpret_cast<const char*>(bytes.data()) + n + f::kNodeHeader,
                                       get<std::uint16_t>(n + 6));
            if (key == name) return n + f::kNodeHeader + key.size();
        }
        ADD_FAILURE() << "no table " << name;
        return 0;
    }
    std::uint64_t root(std::string_view name) const { return get<std::uint64_t>(descriptor(name) + 40); }
    // The first leaf node of table t with its data on overflow pages.
    std::size_t big_node(std::string_view name) const {
        const std::uint64_t r = root(name);
        for (std::size_t c = 0; c < count(r); ++c)
            for (std::size_t i = 0; i < count(child(r, c)); ++i)
                if (get<std::uint16_t>(node(child(r, c), i) + 4) == f::kBigData) return node(child(r, c), i);
        ADD_FAILURE() << "no overflow value";
        return 0;
    }
    std::uint64_t overflow_page(std::string_view name) const {
        const std::size_t n = big_node(name);
        return get<std::uint64_t>(n + f::kNodeHeader + get<std::uint16_t>(n + 6));
    }
    // The last free-page list of the free-page tree (one leaf here).
    std::size_t last_free_list() const {
        const std::uint64_t r = f::meta_free_tree(page(current)).root;
        return node(r, count(r) - 1);
    }

    std::vector<std::uint8_t> bytes;
    std::uint32_t page_size;
    int current;
};

struct DamageCase {
    const char* name;
    std::function<void(Image&)> damage;
    const char* message;  // a part of the error's message
};

class LmdbDamageTest : public ::testing::TestWithParam<DamageCase> {
protected:
    // Table t: a branch over leaves, one value on overflow pages; several
    // commits leave free-page lists behind.
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        auto store = KvStore::open(*dir_ / "meta.redb", {"t", "u"});
        ASSERT_TRUE(store);
        for (int round = 0; round < 4; ++round) {
            auto st = write_transaction(**store, [&](WriteTxn& w) -> Status {
                for (int i = round; i < 600; i += 4) {
                    char key[16];
                    std::snprintf(key, sizeof key, "key%05d", i);
                    if (auto put = w.put("t", key, bytes(std::string(40, 'v'))); !put) return put;
                }
                if (auto put = w.put("u", "one", bytes("1")); !put) return put;
                return w.put("t", "key00007", bytes(std::string(10000, 'b')));
            });
            ASSERT_TRUE(st) << st.error().message();
        }
    }
    static void TearDownTestSuite() { delete dir_; }

    static TempDir* dir_;
};
TempDir* LmdbDamageTest::dir_ = nullptr;

TEST_P(LmdbDamageTest, IsRefusedWithItsText) {
    Image image(*dir_ / "meta.redb");
    ASSERT_EQ(f::meta_main_tree(image.page(image.current)).depth, 1);
    ASSERT_EQ(f::tree_at(Bytes(image.bytes), image.descriptor("t")).depth, 2);
    TempDir scratch;
    const auto path = scratch / "meta.redb";
    image.write(path);
    {
        // The undamaged copy opens.
        auto store = KvStore::open(path, {"t", "u"});
        ASSERT_TRUE(store) << store.error().message();
    }
    Image damaged(path);
    GetParam().damage(damaged);
    damaged.write(path);
    auto store = KvStore::open(path, {"t", "u"});
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().kind(), StoreError::Database);
    EXPECT_NE(store.error().message().find(GetParam().message), std::string::npos) << store.error().message();
}

const DamageCase kDamageCases[] = {
    {"CutToThreePages", [](Image& i) { i.bytes.resize(3 * i.page_size); }, "file is truncated: 12288 bytes"},
    {"CutInsideTheHeader", [](Image& i) { i.bytes.resize(100); }, "file is truncated: 100 bytes"},
    {"CutInsideTheSecondMeta", [](Image& i) { i.bytes.resize(i.page_size + 40); }, "file is truncated"},
    {"CutBeforeAPageOfTable",
     [](Image& i) { i.bytes.resize(i.at(i.child(i.root("t"), 1))); },
     "file is truncated"},
    {"BadMagic", [](Image& i) { i.put<std::uint32_t>(f::kMetaOffset, 0xDEADBEEF); }, "MDB_INVALID"},
    {"NoMetaFlag", [](Image& i) { i.put<std::uint16_t>(i.at(1) + 10, f::kLeaf); }, "MDB_INVALID"},
    {"OtherVersion", [](Image& i) { i.put<std::uint32_t>(f::kMetaOffset + 4, 2); }, "MDB_VERSION_MISMATCH"},
    {"MetaPageNumber", [](Image& i) { i.put<std::uint64_t>(i.at(1), 7); }, "meta page 1 has a damaged page header"},
    {"PageSize", [](Image& i) { i.put<std::uint32_t>(i.meta() + 24, 3000); }, "gives a page size of 3000"},
    {"PageSizesDiffer",
     [](Image& i) { i.put<std::uint32_t>(i.at(1) + f::kMetaOffset + 24, 8192); },
     "the meta pages give page sizes 4096 and 8192"},
    {"TransactionIdsApart",
     [](Image& i) { i.put<std::uint64_t>(i.meta() + 128, i.get<std::uint64_t>(i.meta() + 128) + 2); },
     "are not those of two consecutive commits"},
    {"TransactionIdOfTheOtherParity",
     [](Image& i) {
         // LMDB would pick this meta, then run its transactions on the other.
         i.put<std::uint64_t>(i.meta() + 128, i.get<std::uint64_t>(i.meta() + 128) + 1);
     },
     "are not those of two consecutive commits"},
    {"LastPageBelowTheTree", [](Image& i) { i.put<std::uint64_t>(i.meta() + 120, 3); }, "outside the"},
    {"LastPageFarPastTheEnd",
     [](Image& i) { i.put<std::uint64_t>(i.meta() + 120, std::uint64_t{1} << 40); },
     "file is truncated"},
    {"FreeTreeFlags", [](Image& i) { i.put<std::uint16_t>(i.meta() + 28, f::kIntegerKey | 0x04); }, "the free-page tree has flags"},
    {"TableTreeFlags", [](Image& i) { i.put<std::uint16_t>(i.meta() + 76, 0x04); }, "the table tree has flags 4"},
    {"UnknownTable",
     [](Image& i) { i.bytes[i.descriptor("u") - 1] = 'v'; },  // still in order after "t"
     "it holds a table \"v\" that this file never has"},
    {"TableFlags", [](Image& i) { i.put<std::uint16_t>(i.descriptor("t") + 4, 0x04); }, "table \"t\" has flags 4"},
    {"TableDepth",
     [](Image& i) { i.put<std::uint16_t>(i.descriptor("t") + 6, 3); },
     "where a branch page belongs (depth 2 of 3)"},
    {"TableDepthZero", [](Image& i) { i.put<std::uint16_t>(i.descriptor("t") + 6, 0); }, "claims depth 0"},
    {"TableRootIsAMetaPage", [](Image& i) { i.put<std::uint64_t>(i.descriptor("t") + 40, 1); }, "outside the pages"},
    {"PageNumber",
     [](Image& i) { i.put<std::uint64_t>(i.at(i.root("t")), i.root("t") + 1); },
     "holds page"},
    {"PageFlags",
     [](Image& i) { i.put<std::uint16_t>(i.at(i.child(i.root("t"), 0)) + 10, f::kBranch); },
     "has page flags 1 where a leaf page belongs"},
    {"ChildPastTheSnapshot",
     [](Image& i) {
         const std::size_t n = i.node(i.root("t"), 1);
         i.put<std::uint16_t>(n, static_cast<std::uint16_t>(i.last_page() + 5));
         i.put<std::uint16_t>(n + 2, 0);
     },
     "lies outside the pages of the snapshot"},
    {"ChildTwice",
     [](Image& i) {
         const std::size_t from = i.node(i.root("t"), 0), to = i.node(i.root("t"), 1);
         i.put<std::uint32_t>(to, i.get<std::uint32_t>(from));
     },
     "is in use twice"},
    {"NodeOffsetPastThePage",
     [](Image& i) { i.put<std::uint16_t>(i.at(i.child(i.root("t"), 0)) + f::kPageHeader, i.page_size - 2); },
     "node 0 lies outside the page"},
    {"NodeOffsetOdd",
     [](Image& i) {
         const std::size_t ptr = i.at(i.child(i.root("t"), 0)) + f::kPageHeader;
         i.put<std::uint16_t>(ptr, i.get<std::uint16_t>(ptr) + 1);
     },
     "node 0 lies outside the page"},
    {"NodeOffsetIntoTheGap",
     [](Image& i) {
         const std::size_t leaf = i.at(i.child(i.root("t"), 0));
         i.put<std::uint16_t>(leaf + f::kPageHeader, i.get<std::uint16_t>(leaf + 14) - 2);
     },
     "lies outside the page"},
    {"LowerAboveUpper",
     [](Image& i) {
         const std::size_t leaf = i.at(i.child(i.root("t"), 0));
         i.put<std::uint16_t>(leaf + 12, i.get<std::uint16_t>(leaf + 14) + 2);
     },
     "has free-space bounds"},
    {"UpperPastThePage",
     [](Image& i) { i.put<std::uint16_t>(i.at(i.child(i.root("t"), 0)) + 14, i.page_size + 2); },
     "has free-space bounds"},
    {"BranchWithOneChild",
     [](Image& i) { i.put<std::uint16_t>(i.at(i.root("t")) + 12, f::kPageHeader + 2); },
     "holds 1 nodes"},
    {"KeyTooLong",
     [](Image& i) { i.put<std::uint16_t>(i.node(i.child(i.root("t"), 0), 0) + 6, 0xFFFF); },
     "node 0 has a key of 65535 bytes"},
    {"NodePastThePageEnd",
     [](Image& i) {
         // The node highest in the page grows past its end.
         const std::uint64_t leaf = i.child(i.root("t"), 0);
         std::size_t top = 0;
         for (std::size_t k = 0; k < i.count(leaf); ++k) top = std::max(top, i.node(leaf, k));
         i.put<std::uint16_t>(top + 6, i.get<std::uint16_t>(top + 6) + 100);
     },
     "runs past the end of the page"},
    {"KeySizeOverlapsTheNextNode",
     [](Image& i) {
         // The node lowest in the page grows into the one above it.
         const std::uint64_t leaf = i.child(i.root("t"), 0);
         const std::size_t n = i.at(leaf) + f::page_upper(i.page(leaf));
         i.put<std::uint16_t>(n + 6, i.get<std::uint16_t>(n + 6) + 2);
     },
     "overlap or leave gaps"},
    {"DataTooLargeForThePage",
     [](Image& i) { i.put<std::uint16_t>(i.node(i.child(i.root("t"), 0), 0), 3000); },
     "bytes of data inside the page"},
    {"NodeFlags",
     [](Image& i) { i.put<std::uint16_t>(i.node(i.child(i.root("t"), 0), 0) + 4, f::kDupData); },
     "has node flags 4"},
    {"KeysSwapped",
     [](Image& i) {
         const std::size_t ptrs = i.at(i.child(i.root("t"), 0)) + f::kPageHeader;
         const auto a = i.get<std::uint16_t>(ptrs), b = i.get<std::uint16_t>(ptrs + 2);
         i.put(ptrs, b);
         i.put(ptrs + 2, a);
     },
     "holds its keys out of order"},
    {"KeyBelowItsParentsRange",
     [](Image& i) {
         const std::size_t n = i.node(i.child(i.root("t"), 1), 0);
         i.bytes[n + f::kNodeHeader] = 'a';  // "key..." becomes "aey...", below the separator
     },
     "holds its keys out of order (node 0)"},
    {"EmptyKey",
     [](Image& i) {
         // The key's bytes become data: the node keeps its size.
         const std::size_t n = i.node(i.child(i.root("t"), 0), 0);
         i.put<std::uint16_t>(n, i.get<std::uint16_t>(n) + i.get<std::uint16_t>(n + 6));
         i.put<std::uint16_t>(n + 6, 0);
     },
     "holds a key of 0 bytes"},
    {"OverflowHeader", [](Image& i) { i.put<std::uint16_t>(i.at(i.overflow_page("t")) + 10, f::kLeaf); }, "is not an overflow page"},
    {"OverflowTooShort",
     [](Image& i) { i.put<std::uint32_t>(i.at(i.overflow_page("t")) + 12, 1); },
     "has 1 pages for 10000 bytes"},
    {"OverflowPastTheSnapshot",
     [](Image& i) { i.put<std::uint32_t>(i.at(i.overflow_page("t")) + 12, 1u << 30); },
     "outside the pages of the snapshot"},
    {"OverflowPageNumberPastTheSnapshot",
     [](Image& i) {
         const std::size_t n = i.big_node("t");
         i.put<std::uint64_t>(n + f::kNodeHeader + i.get<std::uint16_t>(n + 6), i.last_page() + 1);
     },
     "outside the pages of the snapshot"},
    {"TableDescriptorSize",
     [](Image& i) {
         // 49 bytes instead of 48: the node still fills its place.
         i.put<std::uint16_t>(i.descriptor("u") - f::kNodeHeader - 1, 49);
     },
     "holds a table descriptor of 49 bytes"},
    {"FreeListNewerThanTheSnapshot",
     [](Image& i) {
         const std::size_t n = i.last_free_list();
         i.put<std::uint64_t>(n + f::kNodeHeader, i.get<std::uint64_t>(i.meta() + 128) + 5);
     },
     "is newer than the snapshot"},
    {"FreeListLength",
     [](Image& i) {
         const std::size_t n = i.last_free_list();
         i.put<std::uint64_t>(n + f::kNodeHeader + 8, 100000);
     },
     "claims 100000 pages"},
    {"FreeListPagePastTheSnapshot",
     [](Image& i) {
         const std::size_t n = i.last_free_list();
         i.put<std::uint64_t>(n + f::kNodeHeader + 16, i.last_page() + 1);
     },
     "out of order or outside the snapshot"},
    {"FreeListOutOfOrder",
     [](Image& i) {
         const std::size_t list = i.last_free_list() + f::kNodeHeader + 8;
         ASSERT_GE(i.get<std::uint64_t>(list), 2u);
         const auto a = i.get<std::uint64_t>(list + 8), b = i.get<std::uint64_t>(list + 16);
         i.put(list + 8, b);
         i.put(list + 16, a);
     },
     "out of order or outside the snapshot"},
    {"FreeListHoldsALivePage",
     [](Image& i) {
         const std::size_t list = i.last_free_list() + f::kNodeHeader + 8;
         ASSERT_GE(i.get<std::uint64_t>(list), 1u);
         i.put<std::uint64_t>(list, 1);
         i.put<std::uint64_t>(list + 8, i.root("t"));
     },
     "is in use twice"},
};

INSTANTIATE_TEST_SUITE_P(Cases, LmdbDamageTest, ::testing::ValuesIn(kDamageCases),
                         [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tessello
