// Carving against a normal read of the same intact tables: each table read
// through its index (LdbFile::open + read_records), then read again as if its
// footer were lost (LdbFile::open_unindexed + salvage_records, which carves
// every block by its checksum), the two in alternation. Prints one JSON object
// with the best total time of each over REPS repetitions, the records each
// gave, and the ratio.
//
// The times are given twice: as wall-clock time, and as the CPU time of the
// measuring thread, which a machine busy with other work disturbs far less
// (the ratio of the two CPU times is "cpu_ratio"). Beside them, the carving
// pass alone (carve_blocks over the mapped bytes, every block accepted
// without decoding it) by each way of running the CRC this build and
// processor have, so that what the CRC costs can be told from the decoding,
// with how many stretches it searched and the bytes it walked searching (0
// for tables whose blocks all chain, but for what follows the last one).
//
//   salvage_scan REPS TABLE_FILE...
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/mapped_file.hpp"
#include "ldb_file/block_carver.hpp"
#include "ldb_file/ldb_file.hpp"
#include "timing.hpp"
#include "util/crc32c.hpp"

namespace {

struct Count {
    std::uint64_t records = 0;
    std::uint64_t check = 0;
    void operator()(const tarnwick::RecordView& record) {
        ++records;
        check += record.key.size() + record.value.size();
    }
};

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall-clock and CPU time of one stretch of work, added up over the tables.
struct Timer {
    double wall = 0, cpu = 0;
    template <class F>
    void time(F&& work) {
        const auto start = bench::Clock::now();
        const double cpu_start = thread_cpu_seconds();
        work();
        cpu += thread_cpu_seconds() - cpu_start;
        wall += bench::seconds_since(start);
    }
};

struct Best {
    double wall = 1e30, cpu = 1e30;
    void keep(const Timer& t) {
        wall = std::min(wall, t.wall);
        cpu = std::min(cpu, t.cpu);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: salvage_scan REPS TABLE_FILE...\n");
        return 2;
    }
    const int reps = std::atoi(argv[1]);
    const std::vector<std::string> paths(argv + 2, argv + argc);

    std::vector<tarnwick::crc32c::Method> methods{tarnwick::crc32c::Method::Software};
    if (tarnwick::crc32c::method() == tarnwick::crc32c::Method::Hardware) {
        methods.push_back(tarnwick::crc32c::Method::Hardware);
    }
    std::vector<tarnwick::MappedFile> mapped;
    std::uint64_t total_bytes = 0;
    for (const std::string& path : paths) {
        auto file = tarnwick::MappedFile::open(path);
        if (!file || !file->map()) {
            std::fprintf(stderr, "%s: cannot map\n", path.c_str());
            return 1;
        }
        total_bytes += file->length();
        mapped.push_back(std::move(*file));
    }

    Best read, carve;
    std::vector<Best> pass(methods.size());
    std::vector<std::uint64_t> pass_blocks(methods.size());
    tarnwick::CarveCost pass_cost;
    Count read_count, carve_count;
    for (int rep = 0; rep < reps; ++rep) {
        Count reads, carves;
        Timer read_time, carve_time;
        for (const std::string& path : paths) {
            bool opened = true;
            read_time.time([&] {
                auto table = tarnwick::LdbFile::open(path);
                if (!table) {
                    std::fprintf(stderr, "%s\n", table.error().message().c_str());
                    opened = false;
                    return;
                }
                table->read_records(reads);
            });
            carve_time.time([&] {
                auto unindexed = tarnwick::LdbFile::open_unindexed(path);
                if (!unindexed) {
                    opened = false;
                    return;
                }
                unindexed->salvage_records(carves);
            });
            if (!opened) return 1;
        }
        read.keep(read_time);
        carve.keep(carve_time);
        read_count = reads;
        carve_count = carves;
        for (std::size_t m = 0; m < methods.size(); ++m) {
            Timer pass_time;
            std::uint64_t blocks = 0;
            tarnwick::CarveCost cost;
            for (const tarnwick::MappedFile& file : mapped) {
                tarnwick::CarveCost one;
                pass_time.time([&] {
                    tarnwick::carve_blocks(
                        file.view(),
                        [&](const tarnwick::CarvedBlock&) {
                            ++blocks;
                            return true;
                        },
                        methods[m], &one);
                });
                cost.searches += one.searches;
                cost.searched_bytes += one.searched_bytes;
            }
            pass_cost = cost;
            pass[m].keep(pass_time);
            pass_blocks[m] = blocks;
        }
    }
    std::printf(
        "{\"read_seconds\": %.6f, \"carve_seconds\": %.6f, \"ratio\": %.3f, \"read_cpu_seconds\": %.6f, "
        "\"carve_cpu_seconds\": %.6f, \"cpu_ratio\": %.3f, \"read_records\": %llu, \"carve_records\": %llu, "
        "\"same_bytes\": %s, \"table_bytes\": %llu, \"crc_method\": \"%s\", \"pass\": {",
        read.wall, carve.wall, carve.wall / read.wall, read.cpu, carve.cpu, carve.cpu / read.cpu,
        static_cast<unsigned long long>(read_count.records), static_cast<unsigned long long>(carve_count.records),
        read_count.check == carve_count.check ? "true" : "false", static_cast<unsigned long long>(total_bytes),
        tarnwick::crc32c::method() == tarnwick::crc32c::Method::Hardware ? "hardware" : "software");
    for (std::size_t m = 0; m < methods.size(); ++m) {
        std::printf("%s\"%s\": {\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"blocks\": %llu}", m ? ", " : "",
                    methods[m] == tarnwick::crc32c::Method::Hardware ? "hardware" : "software", pass[m].wall,
                    pass[m].cpu, static_cast<unsigned long long>(pass_blocks[m]));
    }
    std::printf("}, \"searches\": %llu, \"searched_bytes\": %llu}\n",
                static_cast<unsigned long long>(pass_cost.searches),
                static_cast<unsigned long long>(pass_cost.searched_bytes));
    bool agree = read_count.records == carve_count.records;
    for (std::uint64_t blocks : pass_blocks) agree = agree && blocks == pass_blocks.front();
    return agree ? 0 : 1;
}
