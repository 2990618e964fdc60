// LevelDB's own table reader, through its public API, over every table file
// of a directory: each file opened with leveldb::Table::Open and every entry
// visited with the table's iterator, touching key and value. Checksums are
// not verified and no block cache is used, as in our reader. This is the floor
// the reader is compared against: the engine's decoding of the same tables,
// without building anything. Log files are not read (LevelDB has no public
// API for them).
//
//   leveldb_table_scan DIR REPS
//
// Prints the timings and totals as one JSON object.
#include <leveldb/env.h>
#include <leveldb/iterator.h>
#include <leveldb/options.h>
#include <leveldb/table.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "timing.hpp"

namespace {

using bench::Clock;
using bench::Rep;
using bench::seconds_since;

bool is_table_name(const std::string& name) {
    auto ends_with = [&](const char* suffix) {
        const std::string s(suffix);
        return name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
    };
    return ends_with(".ldb") || ends_with(".sst");
}

struct OpenTable {
    std::unique_ptr<leveldb::RandomAccessFile> file;
    std::unique_ptr<leveldb::Table> table;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR REPS\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int reps = std::atoi(argv[2]);
    if (reps < 1) {
        std::fprintf(stderr, "bad arguments\n");
        return 2;
    }

    leveldb::Env* env = leveldb::Env::Default();
    leveldb::Options options;  // no block cache, no filter policy, no paranoid checks
    leveldb::ReadOptions read_options;
    read_options.verify_checksums = false;
    read_options.fill_cache = false;

    std::vector<Rep> times;
    std::uint64_t entries = 0, key_bytes = 0, value_bytes = 0, check = 0, files = 0;
    for (int rep = 0; rep < reps; ++rep) {
        Rep t;
        auto start = Clock::now();
        std::vector<std::string> names;
        if (auto s = env->GetChildren(dir, &names); !s.ok()) {
            std::fprintf(stderr, "%s\n", s.ToString().c_str());
            return 1;
        }
        std::sort(names.begin(), names.end());
        std::vector<OpenTable> tables;
        for (const std::string& name : names) {
            if (!is_table_name(name)) continue;
            const std::string path = dir + "/" + name;
            std::uint64_t size = 0;
            leveldb::RandomAccessFile* file = nullptr;
            if (!env->GetFileSize(path, &size).ok() || !env->NewRandomAccessFile(path, &file).ok()) {
                std::fprintf(stderr, "cannot open %s\n", path.c_str());
                return 1;
            }
            OpenTable open;
            open.file.reset(file);
            leveldb::Table* table = nullptr;
            if (auto s = leveldb::Table::Open(options, file, size, &table); !s.ok()) {
                std::fprintf(stderr, "%s: %s\n", path.c_str(), s.ToString().c_str());
                return 1;
            }
            open.table.reset(table);
            tables.push_back(std::move(open));
        }
        t.open = seconds_since(start);

        start = Clock::now();
        std::uint64_t n = 0, k = 0, v = 0, c = 0;
        for (const OpenTable& open : tables) {
            std::unique_ptr<leveldb::Iterator> it(open.table->NewIterator(read_options));
            for (it->SeekToFirst(); it->Valid(); it->Next()) {
                const leveldb::Slice key = it->key();
                const leveldb::Slice value = it->value();
                ++n;
                k += key.size();
                v += value.size();
                if (!value.empty()) c += static_cast<unsigned char>(value[0]);
                if (!key.empty()) c += static_cast<unsigned char>(key[key.size() - 1]);
            }
            if (!it->status().ok()) {
                std::fprintf(stderr, "%s\n", it->status().ToString().c_str());
                return 1;
            }
        }
        t.scan = seconds_since(start);

        start = Clock::now();
        files = tables.size();
        tables.clear();  // each table before its file: the table does not own it
        t.free = seconds_since(start);
        times.push_back(t);
        entries = n;
        key_bytes = k;
        value_bytes = v;
        check = c;
    }

    const long maxrss = bench::print_reps("leveldb_table_scan", "", times);
    std::printf(
        ", \"records\": %llu, \"files\": %llu, \"key_bytes\": %llu, \"value_bytes\": %llu, \"check\": %llu, "
        "\"maxrss_kib\": %ld}\n",
        static_cast<unsigned long long>(entries), static_cast<unsigned long long>(files),
        static_cast<unsigned long long>(key_bytes), static_cast<unsigned long long>(value_bytes),
        static_cast<unsigned long long>(check), maxrss);
    return 0;
}
