// Killed at any moment, a process loses only what it had not yet made
// durable. A child process runs the real operations on a database (adds with
// syncs, batch adds, upserts, deletes, compactions, exports, imports,
// creating and dropping collections) and tells this process, over a pipe,
// each call it begins and each that returned; it is killed with SIGKILL at a
// random moment. Then the database is opened afresh and every collection is
// compared with what the acknowledged calls leave: a call that returned is
// durable (a plain add once a later sync, export or import returned), the
// call cut short by the kill may or may not have happened, nothing else.
//
// The run is bounded in time (TESSELLO_CRASH_SECONDS, 35 by default). The
// seed of each round is printed with any violation, together with the calls
// of that round; TESSELLO_CRASH_SEED fixes the first one.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "child_process.h"
#include "collection/batch_add.h"
#include "collection/compaction.h"
#include "collection/insert.h"
#include "collection/sync.h"
#include "collection/upsert_delete.h"
#include "consistency_check.h"
#include "database/database.h"
#include "export/export.h"
#include "export/import.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "storage/vectors.h"

namespace tessello {
namespace {

using testing::check_collection;
using testing::ExpectedRecords;
using testing::Outcome;
using testing::RecordValue;
using testing::TempDir;

constexpr std::uint64_t kDims = 4;
const char* const kNames[] = {"a", "b", "t"};  // "t" comes and goes

// ---- the messages between the writer and this process -------------------
//
// One line per message, each written whole with one write(2) of less than
// PIPE_BUF bytes, so a kill never leaves half a line:
//   "R"                      ready
//   "B <call...>"            about to call
//   "A"                      the call returned success
//   "E <message>"            the call returned an error
// A call: "add|upsert C ID V M", "delete C ID", "batch|import C N (ID V M)*",
// "sync C", "syncall", "export C", "compact C", "create C", "drop C", where a
// vector V is its components' bit patterns in hex joined by ',' and M is the
// stored metadata text (compact, no spaces).

std::string encode_vector(const std::vector<float>& v) {
    std::string s;
    for (float x : v) {
        std::uint32_t bits;
        std::memcpy(&bits, &x, 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%s%08" PRIx32, s.empty() ? "" : ",", bits);
        s += buf;
    }
    return s;
}

std::vector<float> decode_vector(const std::string& s) {
    std::vector<float> v;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, ',')) {
        const auto bits = static_cast<std::uint32_t>(std::stoul(part, nullptr, 16));
        float x;
        std::memcpy(&x, &bits, 4);
        v.push_back(x);
    }
    return v;
}

struct Entry {
    std::string id;
    RecordValue value;
};

struct Call {
    std::string verb;
    std::string collection;
    std::vector<Entry> entries;  // add, upsert, batch, import: the records; delete: the id alone
};

std::string encode_call(const Call& c) {
    std::string s = c.verb;
    if (!c.collection.empty()) s += " " + c.collection;
    if (c.verb == "batch" || c.verb == "import") s += " " + std::to_string(c.entries.size());
    for (const auto& e : c.entries) {
        s += " " + e.id;
        if (c.verb != "delete") s += " " + encode_vector(e.value.vector) + " " + e.value.metadata;
    }
    return s;
}

Call decode_call(const std::string& line) {
    std::stringstream in(line);
    Call c;
    in >> c.verb;
    if (c.verb == "syncall") return c;
    in >> c.collection;
    std::size_t n = 0;
    if (c.verb == "add" || c.verb == "upsert" || c.verb == "delete") n = 1;
    if (c.verb == "batch" || c.verb == "import") in >> n;
    for (std::size_t i = 0; i < n; ++i) {
        Entry e;
        in >> e.id;
        if (c.verb != "delete") {
            std::string v;
            in >> v >> e.value.metadata;
            e.value.vector = decode_vector(v);
        }
        c.entries.push_back(std::move(e));
    }
    return c;
}

// ---- the writer ----------------------------------------------------------

class Writer {
public:
    Writer(std::string dir, std::uint64_t seed, int fd) : dir_(std::move(dir)), rng_(seed), fd_(fd) {}

    int run() {
        auto db = Database::open(dir_);
        if (!db) return fail_with("open: " + db.error().message());
        db_ = std::move(*db);
        auto names = db_->collections();
        if (!names) return fail_with("collections: " + names.error().message());
        for (const auto& n : *names) exists_.insert(n);
        send("R");
        // Bounded in case this process outlives its parent.
        const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < stop) {
            const Call call = next_call();
            send("B " + encode_call(call));
            const Status st = perform(call);
            send(st ? std::string("A") : "E " + st.error().message());
            if (!st) return 1;
        }
        return 0;
    }

private:
    int fail_with(const std::string& why) {
        send("E " + why);
        return 1;
    }
    void send(const std::string& line) {
        const std::string out = line + "\n";
        if (::write(fd_, out.data(), out.size()) != static_cast<ssize_t>(out.size())) ::_exit(3);
    }
    std::uint64_t pick(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }

    RecordValue fresh_value() {
        std::uniform_real_distribution<float> component(-100.0f, 100.0f);
        RecordValue v;
        for (std::uint64_t i = 0; i < kDims; ++i) v.vector.push_back(component(rng_));
        v.metadata = "{\"n\":" + std::to_string(++written_) + ",\"s\":\"v" + std::to_string(pick(1000)) + "\"}";
        return v;
    }
    std::string some_id() { return "r" + std::to_string(pick(40)); }
    // An identifier without an entry in the write-behind buffer, as far as
    // this process can tell (an earlier automatic flush may have stored it).
    std::optional<std::string> unbuffered_id(const std::string& c, const std::set<std::string>& taken = {}) {
        for (int tries = 0; tries < 20; ++tries) {
            auto id = some_id();
            if (!buffered_[c].contains(id) && !taken.contains(id)) return id;
        }
        return std::nullopt;
    }

    Call next_call() {
        for (const char* n : {"a", "b"})
            if (!exists_.contains(n)) return {"create", n, {}};
        if (pick(25) == 0) return {exists_.contains("t") ? "drop" : "create", "t", {}};
        std::vector<std::string> open(exists_.begin(), exists_.end());
        const std::string c = open[pick(open.size())];
        const std::uint64_t r = pick(100);
        if (r < 35) {
            if (auto id = unbuffered_id(c)) return {"add", c, {{*id, fresh_value()}}};
            return {"sync", c, {}};
        }
        if (r < 47) return {"upsert", c, {{some_id(), fresh_value()}}};
        if (r < 59) {
            if (auto id = unbuffered_id(c)) return {"delete", c, {{*id, {}}}};
            return {"sync", c, {}};
        }
        if (r < 67) {
            Call call{"batch", c, {}};
            std::set<std::string> taken;
            const std::uint64_t n = 1 + pick(20);
            for (std::uint64_t i = 0; i < n; ++i)
                if (auto id = unbuffered_id(c, taken)) {
                    taken.insert(*id);
                    call.entries.push_back({*id, fresh_value()});
                }
            if (call.entries.empty()) return {"sync", c, {}};
            return call;
        }
        if (r < 72) {
            Call call{"import", c, {}};
            std::set<std::string> taken;
            const std::uint64_t n = 1 + pick(10);
            for (std::uint64_t i = 0; i < n; ++i) {
                auto id = some_id();
                if (taken.insert(id).second) call.entries.push_back({id, fresh_value()});
            }
            return call;
        }
        if (r < 84) return {"sync", c, {}};
        if (r < 87) return {"syncall", "", {}};
        if (r < 92) return {"export", c, {}};
        return {"compact", c, {}};
    }

    Status write_import_file(const Call& call, const std::string& path) {
        std::string text = "{\"version\":1,\"collection\":\"" + call.collection + "\",\"dimensions\":" +
                           std::to_string(kDims) + ",\"metric\":\"L2\",\"record_count\":" +
                           std::to_string(call.entries.size()) + ",\"exported_at\":0}\n";
        for (const auto& e : call.entries) {
            text += "{\"id\":\"" + e.id + "\",\"vector\":[";
            for (std::size_t i = 0; i < e.value.vector.size(); ++i) {
                if (i) text += ",";
                write_json_f32(e.value.vector[i], text);
            }
            text += "],\"metadata\":" + e.value.metadata + "}\n";
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) return fail(StoreError::io_message("could not write " + path));
        return {};
    }

    Status perform(const Call& call) {
        const std::string& c = call.collection;
        if (call.verb == "create") {
            auto core = db_->collection(c, kDims, Metric::L2);
            if (!core) return fail(core.error());
            exists_.insert(c);
            return {};
        }
        if (call.verb == "drop") {
            auto st = db_->drop_collection(c);
            exists_.erase(c);
            buffered_.erase(c);
            return st;
        }
        if (call.verb == "syncall") {
            auto st = db_->sync();
            if (st) buffered_.clear();
            return st;
        }
        auto handle = db_->collection(c, kDims, Metric::L2);
        if (!handle) return fail(handle.error());
        Collection& core = **handle;
        if (call.verb == "add") {
            const auto& e = call.entries[0];
            auto id = insert_record(core, e.value.vector, *parse_json(e.value.metadata), e.id, std::nullopt);
            if (!id) return fail(id.error());
            buffered_[c].insert(e.id);
            return {};
        }
        if (call.verb == "upsert") {
            const auto& e = call.entries[0];
            buffered_[c].insert(e.id);
            return upsert_record(core, e.id, e.value.vector, *parse_json(e.value.metadata), std::nullopt);
        }
        if (call.verb == "delete") {
            auto removed = delete_record(core, call.entries[0].id);
            if (!removed) return fail(removed.error());
            return {};
        }
        if (call.verb == "batch") {
            BatchInput in;
            in.ids.emplace();
            for (const auto& e : call.entries) {
                in.rows.push_back(e.value.vector);
                in.metadata.push_back(*parse_json(e.value.metadata));
                in.ids->push_back(e.id);
            }
            auto ids = add_batch_records(core, std::move(in));
            if (!ids) return fail(ids.error());
            return {};
        }
        if (call.verb == "import") {
            const std::string path = dir_ + "/import.ndjson";
            if (auto st = write_import_file(call, path); !st) return st;
            auto stats = import_collection(core, path);
            if (!stats) return fail(stats.error());
            if (stats->imported != call.entries.size() || stats->failed != 0)
                return fail(StoreError::io_message("import counted " + std::to_string(stats->imported) +
                                                   " imported, " + std::to_string(stats->failed) + " failed"));
            buffered_[c].clear();
            return {};
        }
        if (call.verb == "sync") {
            auto st = sync_collection(core);
            if (st) buffered_[c].clear();
            return st;
        }
        if (call.verb == "export") {
            auto n = export_collection(core, dir_ + "/export.ndjson");
            if (!n) return fail(n.error());
            buffered_[c].clear();
            return {};
        }
        if (call.verb == "compact") {
            auto stats = compact_collection(core);
            if (!stats) return fail(stats.error());
            return {};
        }
        return fail(StoreError::io_message("unknown call " + call.verb));
    }

    std::string dir_;
    std::mt19937_64 rng_;
    int fd_;
    std::unique_ptr<Database> db_;
    std::set<std::string> exists_;
    std::map<std::string, std::set<std::string>> buffered_;
    std::uint64_t written_ = 0;
};

// ---- what the acknowledged calls leave -----------------------------------

struct CollectionModel {
    bool may_exist = false;
    bool may_be_absent = true;
    bool drop_in_flight = false;
    ExpectedRecords records;
    // What every identifier holds once everything that returned is flushed.
    std::map<std::string, Outcome> target;

    void settle_all() {
        for (const auto& [id, o] : target) records.settle(id, o);
    }
};

class Model {
public:
    CollectionModel& of(const std::string& name) { return collections_[name]; }

    // A call begins: what it does may be found from now on.
    void begin(const Call& call) {
        if (call.verb == "syncall") return;
        auto& m = of(call.collection);
        if (call.verb == "create") {
            m.may_exist = true;
        } else if (call.verb == "drop") {
            m.may_be_absent = true;
            m.drop_in_flight = true;
        } else if (call.verb == "add") {
            const auto& e = call.entries[0];
            m.records.allow(e.id, e.value);
            m.target[e.id] = e.value;
        } else if (call.verb == "delete") {
            m.records.allow(call.entries[0].id, std::nullopt);
            m.target[call.entries[0].id] = std::nullopt;
        } else if (call.verb == "upsert" || call.verb == "batch" || call.verb == "import") {
            // A record a batch stored as Pending is not live yet; an upsert
            // may have removed the old record without queuing the new one.
            for (const auto& e : call.entries) {
                m.records.allow(e.id, std::nullopt);
                m.records.allow(e.id, e.value);
                m.target[e.id] = e.value;
            }
        }
    }

    // The call returned: what it made durable is the only outcome now.
    void acknowledge(const Call& call) {
        if (call.verb == "syncall") {
            for (auto& [name, m] : collections_) m.settle_all();
            return;
        }
        auto& m = of(call.collection);
        if (call.verb == "create") {
            m.may_be_absent = false;
        } else if (call.verb == "drop") {
            m = CollectionModel{};
        } else if (call.verb == "delete") {
            m.records.settle(call.entries[0].id, std::nullopt);
        } else if (call.verb == "upsert") {
            // The old record is gone for good; the new one waits in the buffer.
            const auto& e = call.entries[0];
            m.records.settle(e.id, std::nullopt);
            m.records.allow(e.id, e.value);
        } else if (call.verb == "batch") {
            for (const auto& e : call.entries) m.records.settle(e.id, e.value);
        } else if (call.verb == "import" || call.verb == "sync" || call.verb == "export") {
            m.settle_all();
        }
    }

    std::map<std::string, CollectionModel> collections_;
};

struct Totals {
    std::uint64_t kills = 0;
    std::uint64_t rounds = 0;
    std::uint64_t calls_acknowledged = 0;
    std::uint64_t records_checked = 0;
    std::uint64_t violations = 0;
};

// Reads whatever the writer has sent so far (without waiting past `until`).
void read_messages(int fd, std::string& buffer, std::chrono::steady_clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, std::max<long>(0, left.count()));
        if (ready <= 0) return;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

class CrashTest : public ::testing::Test {};

TEST_F(CrashTest, KilledAtRandomMomentsKeepsEveryAcknowledgedWrite) {
    if (auto role = testing::test_role()) {
        Writer writer(testing::env_or("TESSELLO_CRASH_DIR"), std::stoull(testing::env_or("TESSELLO_CRASH_ROUND_SEED")),
                      3);
        ::_exit(writer.run());
    }

    const double seconds = std::stod(testing::env_or("TESSELLO_CRASH_SECONDS", "35"));
    const std::uint64_t first_seed = testing::env_or("TESSELLO_CRASH_SEED").empty()
                                         ? std::random_device{}()
                                         : std::stoull(testing::env_or("TESSELLO_CRASH_SEED"));
    std::printf("crash test: first seed %" PRIu64 ", %.0f s\n", first_seed, seconds);
    std::mt19937_64 timing(first_seed ^ 0x9e3779b97f4a7c15ull);

    TempDir dir;
    const std::string db_dir = (dir / "db").string();
    Model model;
    Totals totals;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);

    while (std::chrono::steady_clock::now() < deadline && totals.rounds < 2000) {
        const std::uint64_t seed = first_seed + totals.rounds;
        ++totals.rounds;
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        const pid_t pid = testing::spawn_self("crash-writer", {{"TESSELLO_CRASH_DIR", db_dir},
                                                                {"TESSELLO_CRASH_ROUND_SEED", std::to_string(seed)}},
                                              fds[1]);
        ::close(fds[1]);
        ASSERT_GT(pid, 0);

        // Wait for the writer to be ready, then let it run for a random time.
        std::string messages;
        const auto start = std::chrono::steady_clock::now();
        while (messages.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < start + std::chrono::seconds(30))
            read_messages(fds[0], messages, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        const auto run_for = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 30000)(timing));
        read_messages(fds[0], messages, std::chrono::steady_clock::now() + run_for);
        ::kill(pid, SIGKILL);
        const testing::ChildEnd end = testing::wait_child(pid);
        read_messages(fds[0], messages, std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
        ::close(fds[0]);
        if (!end.exited && end.signal == SIGKILL) ++totals.kills;

        // Replay the messages into the model.
        std::vector<std::string> round_violations;
        std::stringstream lines(messages);
        std::string line;
        std::optional<Call> in_flight;
        bool ready = false;
        while (std::getline(lines, line)) {
            if (line == "R") {
                ready = true;
            } else if (line.starts_with("B ")) {
                in_flight = decode_call(line.substr(2));
                model.begin(*in_flight);
            } else if (line == "A" && in_flight) {
                model.acknowledge(*in_flight);
                ++totals.calls_acknowledged;
                in_flight.reset();
            } else if (line.starts_with("E ")) {
                round_violations.push_back("a call returned an error: " + line.substr(2));
                in_flight.reset();
            }
        }
        if (!ready && round_violations.empty()) round_violations.push_back("the writer never became ready");
        if (end.exited && end.code != 0 && round_violations.empty())
            round_violations.push_back("the writer ended with " + end.describe());
        if (!end.exited && end.signal != SIGKILL)
            round_violations.push_back("the writer ended with " + end.describe());

        // A fresh opening of the database, compared with the model; what it
        // finds is the starting point of the next round.
        {
            auto db = Database::open(db_dir);
            if (!db) {
                round_violations.push_back("the database does not open: " + db.error().message());
            } else {
                auto names = (*db)->collections();
                std::set<std::string> registered;
                if (!names)
                    round_violations.push_back("collections(): " + names.error().message());
                else
                    registered.insert(names->begin(), names->end());
                for (const char* name : kNames) {
                    auto& m = model.of(name);
                    if (registered.contains(name)) {
                        if (!m.may_exist) round_violations.push_back(std::string("'") + name + "' exists, never created");
                        auto core = (*db)->get_collection(name);
                        if (!core) {
                            round_violations.push_back(std::string("'") + name +
                                                       "' does not open: " + core.error().message());
                            continue;
                        }
                        auto report = check_collection(**core, m.records);
                        // A drop killed after it moved the directory aside but
                        // before the registry forgot the name leaves the name
                        // listed and empty: the old records never come back.
                        if (!report.violations.empty() && m.drop_in_flight) {
                            auto empty = check_collection(**core, ExpectedRecords{});
                            if (empty.violations.empty()) report = std::move(empty);
                        }
                        totals.records_checked += report.records_checked;
                        for (auto& v : report.violations) round_violations.push_back(std::move(v));
                        m = CollectionModel{};
                        m.may_exist = true;
                        m.may_be_absent = false;
                        for (const auto& [id, value] : report.found) {
                            m.records.settle(id, value);
                            m.target[id] = value;
                        }
                    } else {
                        if (!m.may_be_absent) round_violations.push_back(std::string("created '") + name + "' is gone");
                        const bool was_dropping = m.drop_in_flight;
                        m = CollectionModel{};
                        if (!was_dropping) continue;
                        // A drop that had begun: the name, created again, starts empty.
                        auto core = (*db)->collection(name, kDims, Metric::L2);
                        if (!core) {
                            round_violations.push_back(std::string("'") + name + "' cannot be created again: " +
                                                       core.error().message());
                            continue;
                        }
                        auto report = check_collection(**core, ExpectedRecords{});
                        totals.records_checked += report.records_checked;
                        core->reset();
                        for (auto& v : report.violations)
                            round_violations.push_back(std::string("'") + name + "' created again after an interrupted drop: " +
                                                       std::move(v));
                        if (auto st = (*db)->drop_collection(name); !st)
                            round_violations.push_back(std::string("dropping '") + name +
                                                       "' again: " + st.error().message());
                    }
                }
            }
        }

        if (!round_violations.empty()) {
            totals.violations += round_violations.size();
            std::string text = "round seed " + std::to_string(seed) + ", writer " + end.describe() + "\n";
            for (const auto& v : round_violations) text += "  violated: " + v + "\n";
            text += "  calls of the round:\n";
            std::stringstream replay(messages);
            while (std::getline(replay, line)) text += "    " + line.substr(0, 200) + "\n";
            ADD_FAILURE() << text;
            if (totals.violations > 20) break;
        }
    }

    std::printf("crash test: %" PRIu64 " rounds, %" PRIu64 " kills, %" PRIu64 " calls acknowledged, %" PRIu64
                " records checked, %" PRIu64 " violations\n",
                totals.rounds, totals.kills, totals.calls_acknowledged, totals.records_checked, totals.violations);
    EXPECT_GT(totals.kills, 0u);
}

// Growing the vector file rewrites the slot count and the header checksum in
// the mapping; a kill between the two must not leave a header that refuses
// to open. The child does nothing but append slots, so most kills land there.
TEST_F(CrashTest, VectorFileKilledWhileGrowingOpens) {
    if (auto role = testing::test_role()) {
        auto store = open_vector_store(testing::env_or("TESSELLO_CRASH_DIR") + "/vectors.bin", 4);
        if (!store) ::_exit(2);
        if (::write(3, "R\n", 2) != 2) ::_exit(3);
        while (store->slot_count() < 4'000'000)
            if (!store->append_slot()) ::_exit(4);
        ::_exit(0);
    }
    TempDir dir;
    const auto file = dir / "vectors.bin";
    std::mt19937_64 timing(std::random_device{}());
    int kills = 0, refused = 0;
    std::string first_refusal;
    for (int round = 0; round < 60; ++round) {
        std::filesystem::remove(file);
        ASSERT_TRUE(create_vector_store(file, 4));
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        const pid_t pid = testing::spawn_self("vector-grower", {{"TESSELLO_CRASH_DIR", dir.path().string()}}, fds[1]);
        ::close(fds[1]);
        ASSERT_GT(pid, 0);
        std::string messages;
        char c = 0;
        while (messages.size() < 2 && ::read(fds[0], &c, 1) == 1) messages += c;
        ::usleep(std::uniform_int_distribution<int>(0, 3000)(timing));
        ::kill(pid, SIGKILL);
        const auto end = testing::wait_child(pid);
        ::close(fds[0]);
        ASSERT_EQ(messages, "R\n") << end.describe();
        if (!end.exited && end.signal == SIGKILL) ++kills;
        auto reopened = open_vector_store(file, 4);
        if (!reopened) {
            if (refused++ == 0) first_refusal = reopened.error().message();
            continue;
        }
        EXPECT_GE(std::filesystem::file_size(file), 64 + reopened->slot_count() * 16);
    }
    std::printf("vector file growth: %d kills, %d refused to open\n", kills, refused);
    EXPECT_EQ(refused, 0) << "first: " << first_refusal;
}

}  // namespace
}  // namespace tessello
