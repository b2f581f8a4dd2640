#include "storage/kv_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/fault_injection.h"
#include "temp_dir.h"

namespace tessello {
namespace {

using testing::TempDir;

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string text(Bytes b) { return {b.begin(), b.end()}; }

class KvStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<KvStore> open(std::size_t map_size = KvStore::kDefaultMapSize) {
        auto store = KvStore::open(dir / "meta.redb", {"t", "u"}, map_size);
        EXPECT_TRUE(store.has_value()) << (store ? "" : store.error().message());
        return store ? std::move(*store) : nullptr;
    }
    static void put(KvStore& s, std::string_view table, std::string_view key, std::string_view value) {
        auto st = write_transaction(s, [&](WriteTxn& w) { return w.put(table, key, bytes(value)); });
        ASSERT_TRUE(st) << st.error().message();
    }
    static std::optional<std::string> get(KvStore& s, std::string_view table, std::string_view key) {
        auto r = begin_read_txn(s);
        EXPECT_TRUE(r);
        auto v = r->get(table, key);
        EXPECT_TRUE(v);
        if (!v || !*v) return std::nullopt;
        return text(**v);
    }
    TempDir dir;
};

TEST_F(KvStoreTest, SecondHandleOnSameFileIsRefusedAndFirstStaysUsable) {
    auto first = open();
    put(*first, "t", "k", "v");
    auto second = KvStore::open(dir / "meta.redb", {"t"});
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message(), "Database error: Database already open. Cannot acquire lock.");
    EXPECT_EQ(get(*first, "t", "k"), "v");
    first.reset();
    auto again = open();
    EXPECT_EQ(get(*again, "t", "k"), "v");
}

TEST_F(KvStoreTest, AnotherProcessCannotOpenALockedFile) {
    auto first = open();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto second = KvStore::open(dir / "meta.redb", {"t"});
        const bool refused =
            !second && second.error().message() == "Database error: Database already open. Cannot acquire lock.";
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(KvStoreTest, UncommittedWriteLeavesNothing) {
    auto s = open();
    {
        auto w = begin_write_txn(*s);
        ASSERT_TRUE(w->put("t", "k", bytes("v")));
    }
    EXPECT_EQ(get(*s, "t", "k"), std::nullopt);
    // The table the dropped transaction created is not there either.
    put(*s, "u", "x", "y");
    EXPECT_EQ(get(*s, "t", "k"), std::nullopt);
}

TEST_F(KvStoreTest, MissingTableReadsAsEmpty) {
    auto s = open();
    auto r = begin_read_txn(*s);
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r->get("t", "k"));
    EXPECT_FALSE(*r->get("never-declared", "k"));
    auto c = r->scan("t");
    ASSERT_TRUE(c);
    EXPECT_FALSE(*c->next());
}

TEST_F(KvStoreTest, ReaderOlderThanTheTableDoesNotSeeIt) {
    auto s = open();
    auto before = begin_read_txn(*s);
    put(*s, "t", "k", "v");
    EXPECT_FALSE(*before->get("t", "k"));
    auto after = begin_read_txn(*s);
    ASSERT_TRUE(*after->get("t", "k"));
}

TEST_F(KvStoreTest, TablesOnDiskAreSeenAfterReopen) {
    {
        auto s = open();
        put(*s, "u", "k", "v");
    }
    auto s = open();
    EXPECT_EQ(get(*s, "u", "k"), "v");
}

TEST_F(KvStoreTest, IterationFollowsKeyBytes) {
    auto s = open();
    for (std::string_view k : {"b", "\xc3\xa9", "B", "a", "ab", "A"}) put(*s, "t", k, "x");
    auto r = begin_read_txn(*s);
    auto c = r->scan("t");
    std::vector<std::string> keys;
    while (auto e = *c->next()) keys.emplace_back(e->key);
    EXPECT_EQ(keys, (std::vector<std::string>{"A", "B", "a", "ab", "b", "\xc3\xa9"}));
}

TEST_F(KvStoreTest, RemoveReportsWhetherAValueWasThere) {
    auto s = open();
    put(*s, "t", "k", "v");
    auto w = begin_write_txn(*s);
    EXPECT_TRUE(*w->remove("t", "k"));
    EXPECT_FALSE(*w->remove("t", "k"));
    EXPECT_FALSE(*w->remove("t", ""));
    EXPECT_FALSE(*w->remove("t", std::string(600, 'x')));
    ASSERT_TRUE(w->commit());
    EXPECT_EQ(get(*s, "t", "k"), std::nullopt);
    EXPECT_EQ(get(*s, "t", ""), std::nullopt);
}

TEST_F(KvStoreTest, UnstorableKeyIsADatabaseError) {
    auto s = open();
    auto w = begin_write_txn(*s);
    auto st = w->put("t", std::string(600, 'x'), bytes("v"));
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind(), StoreError::Database);
}

TEST_F(KvStoreTest, MapGrowsWhenFull) {
    constexpr std::size_t kInitial = 256 * 1024;
    const std::string value(1000, 'v');
    {
        auto s = open(kInitial);
        // One transaction much larger than the map, then many small ones.
        int runs = 0;
        auto st = write_transaction(*s, [&](WriteTxn& w) -> Status {
            ++runs;
            for (int i = 0; i < 2000; ++i)
                if (auto put = w.put("t", "big" + std::to_string(i), bytes(value)); !put) return put;
            return {};
        });
        ASSERT_TRUE(st) << st.error().message();
        EXPECT_GT(runs, 1);
        for (int i = 0; i < 2000; ++i) put(*s, "u", "small" + std::to_string(i), value);
        EXPECT_GT(s->map_size(), 4 * 1024 * 1024u);
    }
    auto s = open(kInitial);
    auto r = begin_read_txn(*s);
    for (int i = 0; i < 2000; i += 97) {
        EXPECT_EQ(text(**r->get("t", "big" + std::to_string(i))), value);
        EXPECT_EQ(text(**r->get("u", "small" + std::to_string(i))), value);
    }
}

TEST_F(KvStoreTest, GrowthWaitsForReadersOfOtherThreads) {
    auto s = open(256 * 1024);
    put(*s, "t", "seed", "x");
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                auto r = begin_read_txn(*s);
                ASSERT_TRUE(r);
                auto v = r->get("t", "seed");
                ASSERT_TRUE(v && *v);
                ASSERT_EQ(text(**v), "x");
                ++reads;
            }
        });
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&, t] {
            const std::string value(2000, 'w');
            for (int i = 0; i < 300; ++i) put(*s, "u", std::to_string(t) + "-" + std::to_string(i), value);
        });
    for (auto& w : writers) w.join();
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_GT(reads.load(), 0);
    auto r = begin_read_txn(*s);
    EXPECT_TRUE(*r->get("u", "1-299"));
}

TEST_F(KvStoreTest, NoWriterCommitsBetweenTheRunsOfATransactionThatGrowsTheMap) {
    auto s = open(256 * 1024);
    std::atomic<bool> second_committed{false};
    std::atomic<bool> first_began{false};
    std::thread second;
    auto st = write_transaction(*s, [&](WriteTxn& first) -> Status {
        if (auto put = first.put("t", "slots", bytes("first")); !put) return put;
        if (!first_began.exchange(true)) {
            second = std::thread([&] {
                put(*s, "t", "slots", "second");  // waits for every run of `first` to end
                second_committed = true;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // Far more than the map holds: `first` aborts, grows and runs again.
        if (auto put = first.put("u", "big", std::vector<std::uint8_t>(600 * 1024, 'x')); !put) return put;
        EXPECT_FALSE(second_committed.load());
        return {};
    });
    ASSERT_TRUE(st) << st.error().message();
    second.join();
    EXPECT_EQ(get(*s, "t", "slots"), "second");
    EXPECT_EQ(get(*s, "u", "big")->size(), 600u * 1024);
}

TEST_F(KvStoreTest, AWriteTransactionReadsItsOwnWrites) {
    auto s = open();
    put(*s, "t", "old", "committed");
    auto st = write_transaction(*s, [&](WriteTxn& w) -> Status {
        EXPECT_EQ(text(**w.get("t", "old")), "committed");
        EXPECT_FALSE(*w.get("u", "new"));  // a table not created yet reads as empty
        if (auto put = w.put("u", "new", bytes("mine")); !put) return put;
        EXPECT_EQ(text(**w.get("u", "new")), "mine");
        if (auto gone = w.remove("t", "old"); !gone) return fail(gone.error());
        EXPECT_FALSE(*w.get("t", "old"));
        EXPECT_FALSE(*w.get("t", ""));
        return {};
    });
    ASSERT_TRUE(st);
    EXPECT_EQ(get(*s, "u", "new"), "mine");
    EXPECT_EQ(get(*s, "t", "old"), std::nullopt);
}

// A cursor's gets and puts give what the transaction's own give, for keys in
// any order, and a body that fills the map through a cursor runs again on a
// grown map.
TEST_F(KvStoreTest, ACursorReadsAndWritesAsTheTransactionDoes) {
    auto s = open(256 * 1024);
    put(*s, "t", "m", "committed");
    const std::string value(1000, 'v');
    int runs = 0;
    auto st = write_transaction(*s, [&](WriteTxn& w) -> Status {
        ++runs;
        auto c = w.cursor("u");  // a table that does not exist yet
        if (!c) return fail(c.error());
        EXPECT_FALSE(*c->get("x"));
        EXPECT_FALSE(*c->get(""));
        EXPECT_FALSE(*c->get(std::string(600, 'x')));
        EXPECT_EQ(c->put(std::string(600, 'x'), bytes("v")).error().kind(), StoreError::Database);
        for (const char* key : {"k", "b", "z", "b", "a"})
            if (auto p = c->put(key, bytes(key + std::string("!"))); !p) return p;
        EXPECT_EQ(text(**c->get("b")), "b!");
        EXPECT_EQ(text(**w.get("u", "z")), "z!");  // the transaction sees the cursor's puts
        auto t = w.cursor("t");
        if (!t) return fail(t.error());
        EXPECT_EQ(text(**t->get("m")), "committed");
        if (auto p = w.put("t", "n", bytes("direct")); !p) return p;
        EXPECT_EQ(text(**t->get("n")), "direct");  // and the cursor the transaction's
        for (int i = 0; i < 2000; ++i)
            if (auto p = t->put("big" + std::to_string(i), bytes(value)); !p) return p;
        return {};
    });
    ASSERT_TRUE(st) << st.error().message();
    EXPECT_GT(runs, 1);
    for (const char* key : {"a", "b", "k", "z"}) EXPECT_EQ(get(*s, "u", key), key + std::string("!"));
    EXPECT_EQ(get(*s, "t", "big1999"), value);
    EXPECT_EQ(get(*s, "t", "n"), "direct");
}

// put_if_absent stores a new key and hands back the stored value of a key
// that is there, whether the key lies past the table's last one (appended),
// equals it, lies behind it, or lies behind a larger key that another path
// put meanwhile; a map filled by appends grows and the body runs again.
TEST_F(KvStoreTest, PutIfAbsentAppendsPastTheEndAndFindsWhatIsThere) {
    auto s = open(256 * 1024);
    put(*s, "t", "m", "committed");
    const std::string value(1000, 'v');
    int runs = 0;
    auto st = write_transaction(*s, [&](WriteTxn& w) -> Status {
        ++runs;
        auto c = w.cursor("t");
        if (!c) return fail(c.error());
        struct Step {
            const char* key;
            std::optional<std::string> stored;  // what put_if_absent hands back
        };
        const Step steps[] = {{"n", std::nullopt}, {"o", std::nullopt}, {"o", "o"},          {"m", "committed"},
                              {"a", std::nullopt}, {"p", std::nullopt}, {"zz", std::nullopt}};
        for (const Step& step : steps) {
            if (std::string_view(step.key) == "p")
                if (auto p = w.put("t", "q", bytes("direct")); !p) return p;  // past the cursor's last key
            auto got = c->put_if_absent(step.key, bytes(step.key));
            if (!got) return fail(got.error());
            EXPECT_EQ(*got ? std::optional(text(**got)) : std::nullopt, step.stored) << step.key;
        }
        EXPECT_EQ(text(**c->put_if_absent("q", bytes("again"))), "direct");
        for (int i = 0; i < 2000; ++i)
            if (auto p = c->put_if_absent("zz" + std::to_string(100000 + i), bytes(value)); !p) return fail(p.error());
        return {};
    });
    ASSERT_TRUE(st) << st.error().message();
    EXPECT_GT(runs, 1);
    for (const char* key : {"a", "n", "o", "p", "zz"}) EXPECT_EQ(get(*s, "t", key), key);
    EXPECT_EQ(get(*s, "t", "m"), "committed");
    EXPECT_EQ(get(*s, "t", "q"), "direct");
    EXPECT_EQ(get(*s, "t", "zz101999"), value);
}

// What a transaction asks to run at its commit runs once, after it, for the
// run that commits; a run made again on a grown map, a failing body and a
// one-shot transaction that is never committed run nothing.
TEST_F(KvStoreTest, WhatRunsAtCommitRunsOnceAndOnlyForACommit) {
    auto s = open(256 * 1024);
    int runs = 0, ran = 0;
    auto st = write_transaction(*s, [&](WriteTxn& w) -> Status {
        ++runs;
        w.on_commit([&] {
            ++ran;
            EXPECT_EQ(get(*s, "u", "big")->size(), 600u * 1024);  // the commit is visible
        });
        return w.put("u", "big", std::vector<std::uint8_t>(600 * 1024, 'x'));
    });
    ASSERT_TRUE(st) << st.error().message();
    EXPECT_GT(runs, 1);
    EXPECT_EQ(ran, 1);

    ran = 0;
    EXPECT_FALSE(write_transaction(*s, [&](WriteTxn& w) -> Status {
        w.on_commit([&] { ++ran; });
        return fail(StoreError::InvalidInput, "refused");
    }));
    {
        auto w = begin_write_txn(*s);
        w->on_commit([&] { ++ran; });
    }
    EXPECT_EQ(ran, 0);
}

TEST_F(KvStoreTest, AFailingBodyStoresNothing) {
    auto s = open();
    auto st = write_transaction(*s, [&](WriteTxn& w) -> Status {
        if (auto put = w.put("t", "k", bytes("v")); !put) return put;
        return fail(StoreError::InvalidInput, "refused");
    });
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message(), "Invalid input: refused");
    EXPECT_EQ(get(*s, "t", "k"), std::nullopt);
}

TEST_F(KvStoreTest, TheMapIsReservedLargeAndAOneShotTransactionFailsWhenItFills) {
    EXPECT_GE(open()->map_size(), std::size_t{1} << 30);
    auto s = std::move(*KvStore::open(dir / "small.redb", {"t", "u"}, 256 * 1024));
    auto w = begin_write_txn(*s);
    ASSERT_TRUE(w->put("t", "small", bytes("x")));
    auto big = w->put("u", "big", std::vector<std::uint8_t>(600 * 1024, 'x'));
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error().kind(), StoreError::Database);
    EXPECT_FALSE(w->commit());
    EXPECT_EQ(get(*s, "t", "small"), std::nullopt);
}

#ifdef TESSELLO_FAULT_INJECTION
TEST_F(KvStoreTest, FailedCommitIsATransactionErrorAndStoresNothing) {
    auto s = open();
    auto w = begin_write_txn(*s);
    ASSERT_TRUE(w->put("t", "k", bytes("v")));
    bool ran = false;
    w->on_commit([&] { ran = true; });
    arm_fault(FaultPoint::Commit);
    auto st = w->commit();
    ASSERT_FALSE(st);
    EXPECT_FALSE(ran);
    EXPECT_EQ(st.error().kind(), StoreError::Transaction);
    EXPECT_EQ(get(*s, "t", "k"), std::nullopt);
    put(*s, "t", "k", "v2");
    EXPECT_EQ(get(*s, "t", "k"), "v2");
}
#endif

}  // namespace
}  // namespace tessello

namespace tessello {
namespace {

TEST_F(KvStoreTest, ExtraReadersComeFromABudgetOfHalfTheSlots) {
    auto s = open();
    EXPECT_TRUE(s->reserve_extra_readers(2000));
    EXPECT_FALSE(s->reserve_extra_readers(100));
    EXPECT_TRUE(s->reserve_extra_readers(48));
    s->release_extra_readers(2048);
    EXPECT_TRUE(s->reserve_extra_readers(2048));
}

}  // namespace
}  // namespace tessello
