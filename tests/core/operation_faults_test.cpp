// Every operation under every I/O failure it can meet: each fsync, msync,
// space reservation, write, rename and commit that a flush, add, batch add,
// delete, upsert, compaction, sync, export, import, creation and drop makes
// fails in turn. Each time the call reports the injected error as its own,
// and once every handle is released and the database opened again, nothing
// acknowledged before the call is lost and every collection is consistent
// (the checks of the crash test).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <functional>

#include "base/clock.h"
#include "collection/batch_add.h"
#include "collection/compaction.h"
#include "collection/insert.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "consistency_check.h"
#include "database/database.h"
#include "export/export.h"
#include "export/import.h"
#include "fault_sweep.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "storage/registry.h"

#ifdef TESSELLO_FAULT_INJECTION
namespace tessello {
namespace {

using testing::check_collection;
using testing::count_fault_passes;
using testing::ExpectedRecords;
using testing::FailingPass;
using testing::FaultPassCount;
using testing::injected_message;
using testing::Outcome;
using testing::RecordValue;
using testing::TempDir;

constexpr std::uint64_t kDims = 4;

RecordValue value_of(int n) {
    return {{float(n), float(n) * 0.5f, float(-n), 1.0f}, "{\"n\":" + std::to_string(n) + "}"};
}

// The error a failing pass gives: the I/O error of the call, or the store's
// refused commit.
std::string expected_message(FaultPoint point) {
    if (point == FaultPoint::Commit)
        return StoreError::text(StoreError::Transaction, "I/O error: injected commit failure").message();
    return injected_message(point);
}

// One database, what its collections must hold, and the handles the call uses.
struct World {
    explicit World(std::filesystem::path d) : dir(std::move(d)) {}
    std::filesystem::path dir;
    std::unique_ptr<Database> db;
    CollectionHandle core;  // the collection the call works on
    std::map<std::string, ExpectedRecords> expected;
    // Collections that may or may not exist after the call; when present they
    // are checked against `expected` (or found empty when not listed there).
    std::set<std::string> may_exist;

    Collection& c() { return *core; }
    // Written and acknowledged before the call.
    void acked_add(const std::string& coll, const std::string& id, const RecordValue& v) {
        auto handle = db->collection(coll, kDims, Metric::L2);
        ASSERT_TRUE(handle);
        ASSERT_TRUE(insert_record(**handle, v.vector, *parse_json(v.metadata), id, std::nullopt));
        expected[coll].settle(id, v);
    }
    void sync(const std::string& coll) {
        auto handle = db->collection(coll, kDims, Metric::L2);
        ASSERT_TRUE(handle);
        ASSERT_TRUE(sync_collection(**handle));
    }
    // Buffered, or otherwise written by the call itself: either outcome.
    void unacked_add(const std::string& id, const RecordValue& v) {
        ASSERT_TRUE(insert_record(c(), v.vector, *parse_json(v.metadata), id, std::nullopt));
        expected["c"].allow(id, v);
    }
};

struct OperationCase {
    const char* name;
    // Builds what the call starts from (nothing failing yet).
    std::function<void(World&)> setup;
    // The call. Its outcomes are added to w.expected by setup.
    std::function<Status(World&)> call;
    // Whether a success of the call is allowed although a pass failed (an
    // import counts a failed upsert and goes on).
    std::function<bool(World&, const Status&)> tolerated_success = nullptr;
};

void base_records(World& w) {
    w.db = std::move(*Database::open(w.dir.string()));
    for (int i = 0; i < 10; ++i) w.acked_add("c", "r" + std::to_string(i), value_of(i));
    w.sync("c");
    w.core = *w.db->collection("c", kDims, Metric::L2);
}

// A collection "g" with graph parameters, which a database only opens (it
// creates none): its configuration is written into the registry first.
void graph_collection(World& w) {
    {
        auto registry = KvStore::open(w.dir / "meta.redb", {kCollectionsTable});
        ASSERT_TRUE(registry) << registry.error().message();
        const CollectionConfig config{"g", kDims, Metric::L2, 0, HnswConfig{8, 16, 8, 50, 20, 0.5, 0}};
        ASSERT_TRUE(write_transaction(**registry, [&](WriteTxn& txn) { return save_collection_config(txn, config); }));
    }
    w.db = std::move(*Database::open(w.dir.string()));
    auto core = w.db->get_collection("g");
    ASSERT_TRUE(core) << core.error().message();
    w.core = *core;
    for (int i = 0; i < 30; ++i) {
        const auto v = value_of(i);
        ASSERT_TRUE(insert_record(w.c(), v.vector, *parse_json(v.metadata), "g" + std::to_string(i), std::nullopt));
        w.expected["g"].settle("g" + std::to_string(i), v);
    }
    ASSERT_TRUE(sync_collection(w.c()));  // builds the graph and saves it
    for (int i = 30; i < 35; ++i) {
        const auto v = value_of(i);
        ASSERT_TRUE(insert_record(w.c(), v.vector, *parse_json(v.metadata), "g" + std::to_string(i), std::nullopt));
        w.expected["g"].allow("g" + std::to_string(i), v);
    }
}

std::vector<OperationCase> operation_cases() {
    std::vector<OperationCase> cases;
    cases.push_back({"flush",
                     [](World& w) {
                         base_records(w);
                         for (int i = 0; i < 5; ++i) w.unacked_add("b" + std::to_string(i), value_of(100 + i));
                     },
                     [](World& w) { return flush_pending(w.c()); }});
    cases.push_back({"add that fills the buffer",
                     [](World& w) {
                         base_records(w);
                         for (int i = 0; i < 99; ++i) w.unacked_add("b" + std::to_string(i), value_of(100 + i));
                         w.expected["c"].allow("last", value_of(999));
                     },
                     [](World& w) -> Status {
                         const auto v = value_of(999);
                         auto id = insert_record(w.c(), v.vector, *parse_json(v.metadata), "last", std::nullopt);
                         if (!id) return fail(id.error());
                         return {};
                     }});
    cases.push_back({"batch add",
                     [](World& w) {
                         base_records(w);
                         // A failed batch replaces nothing: r1 keeps its record.
                         for (const char* id : {"n0", "n1", "n2", "r1"}) {
                             if (id[0] == 'n') w.expected["c"].allow(id, std::nullopt);
                             w.expected["c"].allow(id, value_of(200 + id[1]));
                         }
                     },
                     [](World& w) -> Status {
                         BatchInput in;
                         in.ids.emplace();
                         for (const char* id : {"n0", "n1", "n2", "r1"}) {
                             const auto v = value_of(200 + id[1]);
                             in.rows.push_back(v.vector);
                             in.metadata.push_back(*parse_json(v.metadata));
                             in.ids->push_back(id);
                         }
                         auto ids = add_batch_records(w.c(), std::move(in));
                         if (!ids) return fail(ids.error());
                         return {};
                     }});
    // More rows than a new vector file holds: the batch grows the file.
    cases.push_back({"batch add that grows the vector file",
                     [](World& w) {
                         base_records(w);
                         for (int i = 0; i < 4200; ++i) {
                             w.expected["c"].allow("g" + std::to_string(i), std::nullopt);
                             w.expected["c"].allow("g" + std::to_string(i), value_of(1000 + i));
                         }
                     },
                     [](World& w) -> Status {
                         BatchInput in;
                         in.ids.emplace();
                         for (int i = 0; i < 4200; ++i) {
                             const auto v = value_of(1000 + i);
                             in.rows.push_back(v.vector);
                             in.metadata.push_back(*parse_json(v.metadata));
                             in.ids->push_back("g" + std::to_string(i));
                         }
                         auto ids = add_batch_records(w.c(), std::move(in));
                         if (!ids) return fail(ids.error());
                         return {};
                     }});
    cases.push_back({"delete",
                     [](World& w) {
                         base_records(w);
                         w.expected["c"].allow("r3", std::nullopt);
                     },
                     [](World& w) -> Status {
                         auto removed = delete_record(w.c(), "r3");
                         if (!removed) return fail(removed.error());
                         return {};
                     }});
    cases.push_back({"upsert",
                     [](World& w) {
                         base_records(w);
                         w.expected["c"].allow("r4", std::nullopt);
                         w.expected["c"].allow("r4", value_of(44));
                     },
                     [](World& w) {
                         const auto v = value_of(44);
                         return upsert_record(w.c(), "r4", v.vector, *parse_json(v.metadata), std::nullopt);
                     }});
    cases.push_back({"compaction",
                     [](World& w) {
                         base_records(w);
                         // Expired from the moment they are written: never live.
                         for (int i = 0; i < 3; ++i) {
                             const auto v = value_of(300 + i);
                             ASSERT_TRUE(insert_record(w.c(), v.vector, *parse_json(v.metadata),
                                                       "e" + std::to_string(i), 0));
                         }
                         w.sync("c");
                     },
                     [](World& w) -> Status {
                         auto stats = compact_collection(w.c());
                         if (!stats) return fail(stats.error());
                         return {};
                     }});
    cases.push_back({"sync",
                     [](World& w) {
                         base_records(w);
                         for (int i = 0; i < 5; ++i) w.unacked_add("b" + std::to_string(i), value_of(100 + i));
                     },
                     [](World& w) { return sync_collection(w.c()); }});
    cases.push_back({"sync of a collection with a graph", graph_collection,
                     [](World& w) { return sync_collection(w.c()); }});
    cases.push_back({"export",
                     [](World& w) {
                         base_records(w);
                         for (int i = 0; i < 3; ++i) w.unacked_add("b" + std::to_string(i), value_of(100 + i));
                     },
                     [](World& w) -> Status {
                         auto n = export_collection(w.c(), (w.dir / "out.ndjson").string());
                         if (!n) return fail(n.error());
                         return {};
                     }});
    cases.push_back({"import",
                     [](World& w) {
                         base_records(w);
                         std::string text = "{\"version\":1,\"collection\":\"x\",\"dimensions\":4,\"metric\":\"L2\","
                                            "\"record_count\":4,\"exported_at\":0}\n";
                         for (const char* id : {"i0", "i1", "i2", "r2"}) {
                             const auto v = value_of(400 + id[1]);
                             text += "{\"id\":\"" + std::string(id) + "\",\"vector\":[";
                             for (std::size_t k = 0; k < v.vector.size(); ++k) {
                                 if (k) text += ",";
                                 write_json_f32(v.vector[k], text);
                             }
                             text += "],\"metadata\":" + v.metadata + "}\n";
                             w.expected["c"].allow(id, std::nullopt);
                             w.expected["c"].allow(id, v);
                         }
                         std::ofstream(w.dir / "in.ndjson") << text;
                     },
                     [](World& w) -> Status {
                         auto stats = import_collection(w.c(), (w.dir / "in.ndjson").string());
                         if (!stats) return fail(stats.error());
                         if (stats->failed > 0)
                             return fail(StoreError::io_message(std::to_string(stats->failed) + " failed"));
                         return {};
                     },
                     [](World&, const Status& st) {
                         // A failed upsert is counted, and the import goes on.
                         return !st && st.error().message().ends_with(" failed");
                     }});
    cases.push_back({"create",
                     [](World& w) {
                         base_records(w);
                         w.may_exist.insert("new");
                     },
                     [](World& w) -> Status {
                         auto core = w.db->collection("new", kDims, Metric::L2);
                         if (!core) return fail(core.error());
                         return {};
                     }});
    cases.push_back({"drop",
                     [](World& w) {
                         base_records(w);
                         for (int i = 0; i < 4; ++i) w.acked_add("d", "d" + std::to_string(i), value_of(500 + i));
                         w.sync("d");
                         w.may_exist.insert("d");
                     },
                     [](World& w) { return w.db->drop_collection("d"); }});
    return cases;
}

// Releases every handle, opens the database again and checks every
// collection; the violations as text.
std::vector<std::string> reopen_and_check(World& w) {
    std::vector<std::string> violations;
    w.core.reset();
    w.db.reset();
    auto db = Database::open(w.dir.string());
    if (!db) return {"the database does not open: " + db.error().message()};
    auto names = (*db)->collections();
    if (!names) return {"collections(): " + names.error().message()};
    const std::set<std::string> registered(names->begin(), names->end());
    for (const auto& [name, expected] : w.expected)
        if (!registered.contains(name) && !w.may_exist.contains(name))
            violations.push_back("collection '" + name + "' is gone");
    for (const auto& name : registered) {
        if (!w.expected.contains(name) && !w.may_exist.contains(name))
            violations.push_back("collection '" + name + "' was never created");
        auto core = (*db)->get_collection(name);
        if (!core) {
            violations.push_back("collection '" + name + "' does not open: " + core.error().message());
            continue;
        }
        auto report = check_collection(**core, w.expected[name]);
        for (auto& v : report.violations) violations.push_back(std::move(v));
    }
    // Whatever a failed drop or creation left, the name can be created again.
    for (const auto& name : w.may_exist) {
        if (registered.contains(name)) continue;
        auto core = (*db)->collection(name, kDims, Metric::L2);
        if (!core) {
            violations.push_back("collection '" + name + "' cannot be created again: " + core.error().message());
            continue;
        }
        auto report = check_collection(**core, ExpectedRecords{});
        for (auto& v : report.violations) violations.push_back("created again: " + v);
    }
    return violations;
}

class OperationFaultsTest : public ::testing::Test {
protected:
    void TearDown() override { disarm_faults(); }
    // Keeps the age rule of the buffer from flushing on its own: the passes
    // of a call depend only on what it is given.
    ManualClock clock;
    ScopedClock installed{clock};
};

TEST_F(OperationFaultsTest, EveryFailingPassIsReportedAndLosesNothingAcknowledged) {
    std::string summary;
    for (const auto& op : operation_cases()) {
        SCOPED_TRACE(op.name);
        FaultPassCount passes;
        {
            TempDir dir;
            World w{dir.path()};
            op.setup(w);
            ASSERT_FALSE(::testing::Test::HasFatalFailure());
            passes = count_fault_passes([&] {
                auto st = op.call(w);
                ASSERT_TRUE(st) << st.error().message();
            });
            ASSERT_GT(passes.total, 0u);
            auto clean = reopen_and_check(w);
            EXPECT_TRUE(clean.empty()) << "after the clean run: " << clean.front();
        }
        std::uint64_t reported = 0, tolerated = 0;
        for (std::uint64_t n = 0; n < passes.total; ++n) {
            TempDir dir;
            World w{dir.path()};
            op.setup(w);
            ASSERT_FALSE(::testing::Test::HasFatalFailure());
            std::string point;
            {
                FailingPass fault(n);
                const Status st = op.call(w);
                ASSERT_TRUE(fault.fired()) << "pass " << n << " of " << passes.describe();
                point = fault.name() + " (pass " + std::to_string(n) + ")";
                if (st) {
                    ADD_FAILURE() << point << ": the call succeeded";
                } else if (op.tolerated_success && op.tolerated_success(w, st)) {
                    ++tolerated;
                } else {
                    EXPECT_EQ(st.error().message(), expected_message(fault.point())) << point;
                    ++reported;
                }
            }
            for (const auto& v : reopen_and_check(w)) ADD_FAILURE() << point << ": " << v;
        }
        summary += std::string("\n  ") + op.name + ": " + std::to_string(passes.total) + " fault points (" +
                   passes.describe() + ")";
        if (tolerated) summary += ", " + std::to_string(tolerated) + " counted as failed records";
    }
    std::printf("fault points tried per operation:%s\n", summary.c_str());
}

}  // namespace
}  // namespace tessello
#endif
