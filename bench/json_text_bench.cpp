// The JSON text writer of the Chromium decoders, alone and inside whole
// decodes, over the values of the real-browser fixture profile
// (tests/cpp/data/chromium_values.tsv) repeated. Each line of that file is
// `kind <TAB> value bytes as hex <TAB> expected JSON text`.
//
// Writer inputs: the expected texts, which hold ASCII, quotes, backslashes
// and non-ASCII, as UTF-8, as Latin-1 bytes (the same bytes read one per
// character) and as UTF-16LE and UTF-16BE. Prints one JSON object with the best
// time over REPS repetitions, in ns per input byte, of each writer and of the
// whole decodes.
//
//   json_text_bench REPS [COPIES]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "chromium_decode/dom_storage.hpp"
#include "chromium_decode/idb_key.hpp"
#include "chromium_decode/idb_value.hpp"
#include "chromium_decode/json_text.hpp"
#include "chromium_decode/v8_value.hpp"
#include "timing.hpp"

using namespace tarnwick;
using namespace tarnwick::chromium;

namespace {

using ByteString = std::vector<std::uint8_t>;

struct Row {
    std::string kind;
    ByteString data;
    ByteString text;
};

std::vector<Row> read_rows(const char* path) {
    std::ifstream in(path);
    std::vector<Row> rows;
    std::string line;
    while (std::getline(in, line)) {
        const auto tab1 = line.find('\t');
        const auto tab2 = line.find('\t', tab1 + 1);
        Row row{line.substr(0, tab1), {}, {}};
        for (std::size_t i = tab1 + 1; i + 1 < tab2; i += 2) {
            row.data.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
        }
        row.text.assign(line.begin() + static_cast<std::ptrdiff_t>(tab2 + 1), line.end());
        rows.push_back(std::move(row));
    }
    return rows;
}

// Well-formed UTF-8 as UTF-16 code unit bytes.
ByteString utf16_of(const ByteString& utf8, bool big_endian) {
    ByteString out;
    auto unit = [&](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(big_endian ? u >> 8 : u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(big_endian ? u & 0xFF : u >> 8));
    };
    for (std::size_t i = 0; i < utf8.size();) {
        const std::uint32_t b0 = utf8[i];
        const std::size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
        std::uint32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

std::size_t decode(const Row& row) {
    const Bytes data(row.data);
    if (row.kind == "idb_key") return decode_whole_idb_key(data).value_or("").size();
    if (row.kind == "idb_value") {
        const auto v = decode_idb_value(data);
        return v ? idb_value_json(*v).size() : 0;
    }
    if (row.kind == "local_storage") return decode_local_storage_string(data).value_or("").size();
    if (row.kind == "session_storage_key") return decode_session_storage_key(data).value_or("").size();
    if (row.kind == "session_storage_value") return decode_session_storage_value(data).value_or("").size();
    const auto v = decode_v8_value(data);
    return v ? v->json.size() : 0;
}

// The best time over `reps` runs of `run`, in ns per byte of `bytes`.
template <class Run>
double best_ns_per_byte(int reps, std::size_t bytes, std::size_t& check, Run run) {
    double best = 1e30;
    for (int rep = 0; rep < reps; ++rep) {
        const auto start = bench::Clock::now();
        check += run();
        best = std::min(best, bench::seconds_since(start));
    }
    return best * 1e9 / static_cast<double>(bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: json_text_bench REPS [COPIES]\n");
        return 2;
    }
    const int reps = std::atoi(argv[1]);
    const int copies = argc > 2 ? std::atoi(argv[2]) : 200;
    std::vector<Row> rows;
    for (const auto& row : read_rows(TARNWICK_CHROMIUM_VALUES)) {
        for (int c = 0; c < copies; ++c) rows.push_back(row);
    }
    std::vector<ByteString> le, be;
    std::size_t text_bytes = 0, utf16_bytes = 0, value_bytes = 0;
    for (const auto& row : rows) {
        le.push_back(utf16_of(row.text, false));
        be.push_back(utf16_of(row.text, true));
        text_bytes += row.text.size();
        utf16_bytes += le.back().size();
        value_bytes += row.data.size();
    }
    std::size_t check = 0;
    std::string out;
    auto each = [&](auto write) {
        return [&, write] {
            out.clear();
            for (std::size_t i = 0; i < rows.size(); ++i) write(i);
            return out.size();
        };
    };
    const double utf8 = best_ns_per_byte(reps, text_bytes, check, each([&](std::size_t i) {
        if (!append_json_utf8(out, rows[i].text)) std::abort();
    }));
    const double latin1 = best_ns_per_byte(reps, text_bytes, check,
                                           each([&](std::size_t i) { append_json_latin1(out, rows[i].text); }));
    const double utf16le = best_ns_per_byte(reps, utf16_bytes, check,
                                            each([&](std::size_t i) { append_json_utf16(out, le[i], false); }));
    const double utf16be = best_ns_per_byte(reps, utf16_bytes, check,
                                            each([&](std::size_t i) { append_json_utf16(out, be[i], true); }));
    const double decodes = best_ns_per_byte(reps, value_bytes, check, [&] {
        std::size_t n = 0;
        for (const auto& row : rows) n += decode(row);
        return n;
    });
    std::printf(
        "{\"program\": \"json_text_bench\", \"values\": %zu, \"text_bytes\": %zu, \"value_bytes\": %zu, "
        "\"ns_per_byte\": {\"utf8\": %.3f, \"latin1\": %.3f, \"utf16le\": %.3f, \"utf16be\": %.3f, "
        "\"whole_decode\": %.3f}, \"check\": %zu}\n",
        rows.size(), text_bytes, value_bytes, utf8, latin1, utf16le, utf16be, decodes, check);
}
