// Carving against a normal read of the same intact tables: each table read
// through its index (LdbFile::open + read_records), then read again as if its
// footer were lost (LdbFile::open_unindexed + salvage_records, which carves
// every block by its checksum), the two in alternation. Prints one JSON object
// with the best total time of each over REPS repetitions, the records each
// gave, and the ratio.
//
//   salvage_scan REPS TABLE_FILE...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ldb_file/ldb_file.hpp"
#include "timing.hpp"

namespace {

struct Count {
    std::uint64_t records = 0;
    std::uint64_t check = 0;
    void operator()(const tarnwick::RecordView& record) {
        ++records;
        check += record.key.size() + record.value.size();
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: salvage_scan REPS TABLE_FILE...\n");
        return 2;
    }
    const int reps = std::atoi(argv[1]);
    double best_read = 1e30, best_carve = 1e30;
    Count read_count, carve_count;
    for (int rep = 0; rep < reps; ++rep) {
        Count reads, carves;
        double read_seconds = 0, carve_seconds = 0;
        for (int i = 2; i < argc; ++i) {
            const std::string path = argv[i];
            auto start = bench::Clock::now();
            auto table = tarnwick::LdbFile::open(path);
            if (!table) {
                std::fprintf(stderr, "%s\n", table.error().message().c_str());
                return 1;
            }
            table->read_records(reads);
            read_seconds += bench::seconds_since(start);
            start = bench::Clock::now();
            auto unindexed = tarnwick::LdbFile::open_unindexed(path);
            if (!unindexed) return 1;
            unindexed->salvage_records(carves);
            carve_seconds += bench::seconds_since(start);
        }
        best_read = std::min(best_read, read_seconds);
        best_carve = std::min(best_carve, carve_seconds);
        read_count = reads;
        carve_count = carves;
    }
    std::printf(
        "{\"read_seconds\": %.6f, \"carve_seconds\": %.6f, \"ratio\": %.3f, \"read_records\": %llu, "
        "\"carve_records\": %llu, \"same_bytes\": %s}\n",
        best_read, best_carve, best_carve / best_read, static_cast<unsigned long long>(read_count.records),
        static_cast<unsigned long long>(carve_count.records),
        read_count.check == carve_count.check ? "true" : "false");
    return read_count.records == carve_count.records ? 0 : 1;
}
