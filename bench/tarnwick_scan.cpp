// The readers alone, without Python: opens a database directory with
// Db::open and takes all its records, several times, and prints the timings
// and totals as one JSON object.
//
//   tarnwick_scan DIR REPS [records|sink]
//
// records  Db::records(false): every record copied into one vector of owned
//          records (the vector is freed after the clock stops; that time is
//          reported apart).
// sink     Db::read_records(false, ...) with a callback that only adds up the
//          sizes of the records it is shown: what decoding costs when nothing
//          is kept.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "store/db.hpp"
#include "timing.hpp"

namespace {

using bench::Clock;
using bench::Rep;
using bench::seconds_since;

struct Totals {
    std::uint64_t records = 0;
    std::uint64_t table_records = 0;
    std::uint64_t log_records = 0;
    std::uint64_t key_bytes = 0;
    std::uint64_t value_bytes = 0;
    std::uint64_t check = 0;  // keeps the compiler from dropping the reads

    void add(const tarnwick::Record& record) { add(record.view()); }
    void add(const tarnwick::RecordView& record) {
        ++records;
        if (record.file_type == tarnwick::FileKind::Table) {
            ++table_records;
        } else {
            ++log_records;
        }
        key_bytes += record.key.size();
        value_bytes += record.value.size();
        if (!record.value.empty()) check += record.value[0];
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR REPS [records|sink]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int reps = std::atoi(argv[2]);
    const std::string_view mode = argc > 3 ? argv[3] : "records";
    if (reps < 1 || (mode != "records" && mode != "sink")) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }

    std::vector<Rep> times;
    Totals totals;
    for (int rep = 0; rep < reps; ++rep) {
        Rep t;
        Totals these;
        auto start = Clock::now();
        auto db = tarnwick::Db::open(dir);
        if (!db) {
            std::fprintf(stderr, "%s\n", db.error().message().c_str());
            return 1;
        }
        t.open = seconds_since(start);
        if (mode == "records") {
            start = Clock::now();
            std::vector<tarnwick::Record> records = db->records(false);
            t.scan = seconds_since(start);
            for (const auto& record : records) these.add(record);
            start = Clock::now();
            std::vector<tarnwick::Record>().swap(records);
            t.free = seconds_since(start);
        } else {
            start = Clock::now();
            db->read_records(false, [&](const tarnwick::RecordView& record) { these.add(record); });
            t.scan = seconds_since(start);
        }
        times.push_back(t);
        totals = these;
    }

    const std::string mode_field = ", \"mode\": \"" + std::string(mode) + "\"";
    const long maxrss = bench::print_reps("tarnwick_scan", mode_field.c_str(), times);
    std::printf(
        ", \"records\": %llu, \"table_records\": %llu, \"log_records\": %llu, \"key_bytes\": %llu, "
        "\"value_bytes\": %llu, \"check\": %llu, \"maxrss_kib\": %ld}\n",
        static_cast<unsigned long long>(totals.records), static_cast<unsigned long long>(totals.table_records),
        static_cast<unsigned long long>(totals.log_records), static_cast<unsigned long long>(totals.key_bytes),
        static_cast<unsigned long long>(totals.value_bytes), static_cast<unsigned long long>(totals.check),
        maxrss);
    return 0;
}
