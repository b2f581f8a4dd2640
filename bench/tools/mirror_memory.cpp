// mirror_memory DB_DIR COLLECTION
//
// What the exact search's in-memory copy of a collection's records costs.
// Opens the collection through the core, then runs one exact search (k = 10,
// unfiltered), which is what builds that copy, and prints one JSON object:
//   records          the collection's length
//   rss_anon_growth  growth of the process's anonymous resident memory
//                    (RssAnon, so not the vector file's mapped pages) over
//                    that first search, after giving freed heap back
//   mirror           the core's own account of the copy, or null when this
//                    build of the core has none
// Run it while no process has the database open.
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "collection/search_collection.h"
#include "collection/sync.h"
#include "database/database.h"

// The core reports the copy's footprint where it keeps one; before that, the
// resident-memory growth is the only figure.
#if __has_include("collection/record_mirror.h")
#define TESSELLO_HAS_MIRROR_FOOTPRINT 1
#include "collection/record_mirror.h"
#endif

namespace {

long long rss_anon_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0) return std::stoll(line.substr(8)) * 1024;
    }
    return -1;
}

int report(const char* what, const tessello::StoreError& error) {
    std::fprintf(stderr, "mirror_memory: %s: %s\n", what, error.message().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessello;
    if (argc != 3) {
        std::fprintf(stderr, "usage: mirror_memory DB_DIR COLLECTION\n");
        return 2;
    }
    auto db = Database::open(argv[1]);
    if (!db) return report("opening the database", db.error());
    auto core = (*db)->get_collection(argv[2]);
    if (!core) return report("opening the collection", core.error());
    auto length = collection_len(**core);
    if (!length) return report("counting records", length.error());

    std::vector<float> query((*core)->config.dimensions, 0.0f);
    query[0] = 1.0f;
    malloc_trim(0);
    const long long before = rss_anon_bytes();
    auto hits = search_collection(**core, query, 10, nullptr);
    if (!hits) return report("searching", hits.error());
    malloc_trim(0);
    const long long after = rss_anon_bytes();

    std::printf("{\"records\": %llu, \"rss_anon_growth\": %lld, \"mirror\": ",
                static_cast<unsigned long long>(*length), after - before);
#ifdef TESSELLO_HAS_MIRROR_FOOTPRINT
    const MirrorFootprint f = mirror_footprint(**core);
    std::printf("{\"records\": %llu, \"slots\": %llu, \"fixed_bytes\": %llu, \"text_bytes\": %llu, "
                "\"form_bytes\": %llu}}\n",
                static_cast<unsigned long long>(f.records), static_cast<unsigned long long>(f.slots),
                static_cast<unsigned long long>(f.fixed_bytes), static_cast<unsigned long long>(f.text_bytes),
                static_cast<unsigned long long>(f.form_bytes));
#else
    std::printf("null}\n");
#endif
    return 0;
}
