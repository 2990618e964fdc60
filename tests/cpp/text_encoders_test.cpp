#include "scan/text_encoders.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>

namespace tarnwick {
namespace {

Bytes bytes_of(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

// A record of the given kind; a table key gets an 8-byte trailer appended.
struct Sample {
    std::string key;
    std::string value;
    FileKind kind = FileKind::Table;
    SharedPath path{std::string("/db/000005.ldb")};
    KeyState state = KeyState::Live;
    std::uint64_t seq = 7;
    std::uint64_t offset = 42;
    bool compressed = false;

    std::string stored_key() const {
        return kind == FileKind::Table ? key + std::string("\x01\x07\0\0\0\0\0\0", 8) : key;
    }
};

std::string line_of(TextFormat format, const Sample& s) {
    const std::string key = s.stored_key();
    const RecordView view{bytes_of(key), bytes_of(s.value), s.seq,    s.state,
                          s.kind,        s.path,            s.offset, s.compressed};
    ByteBuffer out;
    append_text_record(format, view, 5, out);
    return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

std::string header_of(TextFormat format) {
    ByteBuffer out;
    append_text_header(format, out);
    return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

std::string hex_of(std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

constexpr std::string_view kTrailerHex = "0107000000000000";

TEST(TextEncoders, Headers) {
    EXPECT_EQ(header_of(TextFormat::Jsonl), "");
    EXPECT_EQ(header_of(TextFormat::Text), "");
    EXPECT_EQ(header_of(TextFormat::Csv),
              "key_hex,key_text,user_key_hex,user_key_text,value_hex,value_text,seq,state,file_type,origin_file,"
              "offset,was_compressed\r\n");
}

TEST(TextEncoders, WholeLinesOfATableRecord) {
    Sample s{.key = "ab", .value = "v1", .compressed = true};
    EXPECT_EQ(line_of(TextFormat::Jsonl, s),
              "{\"key_hex\":\"6162" + std::string(kTrailerHex) +
                  "\",\"key_text\":\"ab\\\\x01\\\\x07\\\\x00\\\\x00\\\\x00\\\\x00\\\\x00\\\\x00\","
                  "\"user_key_hex\":\"6162\",\"user_key_text\":\"ab\",\"value_hex\":\"7631\",\"value_text\":\"v1\","
                  "\"seq\":7,\"state\":\"Live\",\"file_type\":\"Ldb\",\"origin_file\":\"/db/000005.ldb\","
                  "\"offset\":42,\"was_compressed\":true}\n");
    EXPECT_EQ(line_of(TextFormat::Csv, s),
              "\\x6162" + std::string(kTrailerHex) +
                  ",ab\\x01\\x07\\x00\\x00\\x00\\x00\\x00\\x00,\\x6162,ab,\\x7631,v1,7,Live,Ldb,/db/000005.ldb,42,"
                  "true\r\n");
    EXPECT_EQ(line_of(TextFormat::Text, s),
              "000005.ldb offset=42 seq=7 Live Ldb compressed key=\"ab\" value=\"v1\"\n");
}

TEST(TextEncoders, WholeLinesOfALogRecord) {
    Sample s{.key = "", .value = "", .kind = FileKind::Log, .path = SharedPath(std::string("000006.log")),
             .state = KeyState::Deleted, .seq = 18446744073709551615ull, .offset = 0};
    EXPECT_EQ(line_of(TextFormat::Jsonl, s),
              "{\"key_hex\":\"\",\"key_text\":\"\",\"user_key_hex\":\"\",\"user_key_text\":\"\",\"value_hex\":\"\","
              "\"value_text\":\"\",\"seq\":18446744073709551615,\"state\":\"Deleted\",\"file_type\":\"Log\","
              "\"origin_file\":\"000006.log\",\"offset\":0,\"was_compressed\":false}\n");
    // Empty hex cells keep their mark: a reader sees text, not a missing value.
    EXPECT_EQ(line_of(TextFormat::Csv, s), "\\x,,\\x,,\\x,,18446744073709551615,Deleted,Log,000006.log,0,false\r\n");
    EXPECT_EQ(line_of(TextFormat::Text, s), "000006.log offset=0 seq=18446744073709551615 Deleted Log key=\"\" value=\"\"\n");
    s.state = KeyState::Unknown;
    EXPECT_NE(line_of(TextFormat::Text, s).find(" Unknown Log "), std::string::npos);
}

// How one value is written in each form: the JSON string body, the CSV cell,
// and the text view's quoted form.
struct EscapeCase {
    std::string_view value;
    std::string_view json;
    std::string_view csv;
    std::string_view text;
};

class ValueForms : public testing::TestWithParam<EscapeCase> {};

std::string between(const std::string& line, std::string_view before, std::string_view after) {
    const std::size_t start = line.find(before) + before.size();
    return line.substr(start, line.find(after, start) - start);
}

TEST_P(ValueForms, InEveryFormat) {
    const EscapeCase& c = GetParam();
    const Sample s{.key = "k", .value = std::string(c.value), .kind = FileKind::Log};
    EXPECT_EQ(between(line_of(TextFormat::Jsonl, s), "\"value_text\":\"", "\",\"seq\""), c.json);
    EXPECT_EQ(between(line_of(TextFormat::Csv, s), ",\\x6b,k,", ",7,Live"), "\\x" + hex_of(c.value) + "," + std::string(c.csv));
    EXPECT_EQ(between(line_of(TextFormat::Text, s), " value=", "\n"), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, ValueForms,
    testing::Values(
        EscapeCase{"plain text", "plain text", "plain text", "\"plain text\""},
        EscapeCase{"a\\b", "a\\\\\\\\b", "a\\\\b", "\"a\\\\b\""},
        EscapeCase{"t\tn\nr\r", "t\\\\tn\\\\nr\\\\r", "t\\tn\\nr\\r", "\"t\\tn\\nr\\r\""},
        EscapeCase{std::string_view("\0\x1f\x7f\x80\xff", 5), "\\\\x00\\\\x1f\\\\x7f\\\\x80\\\\xff",
                   "\\x00\\x1f\\x7f\\x80\\xff", "\"\\x00\\x1f\\x7f\\x80\\xff\""},
        EscapeCase{"say \"hi\"", "say \\\"hi\\\"", "\"say \"\"hi\"\"\"", "\"say \\\"hi\\\"\""},
        EscapeCase{"a,b", "a,b", "\"a,b\"", "\"a,b\""},
        // Spreadsheet formulas, and a leading quote, get a leading quote in CSV only.
        EscapeCase{"=SUM(1+1)", "=SUM(1+1)", "'=SUM(1+1)", "\"=SUM(1+1)\""},
        EscapeCase{"+3", "+3", "'+3", "\"+3\""},
        EscapeCase{"-2", "-2", "'-2", "\"-2\""},
        EscapeCase{"@cmd", "@cmd", "'@cmd", "\"@cmd\""},
        EscapeCase{"'quoted", "'quoted", "''quoted", "\"'quoted\""},
        EscapeCase{"=a,\"b\"", "=a,\\\"b\\\"", "\"'=a,\"\"b\"\"\"", "\"=a,\\\"b\\\"\""},
        // A tab or carriage return is escaped, so the cell no longer starts with it.
        EscapeCase{"\tx", "\\\\tx", "\\tx", "\"\\tx\""},
        EscapeCase{"x=1", "x=1", "x=1", "\"x=1\""},
        // Text a type-guessing reader would take for something else gets the
        // quote too: numbers, dates and times, booleans, missing values.
        EscapeCase{"123", "123", "'123", "\"123\""},
        EscapeCase{"  .5 ", "  .5 ", "'  .5 ", "\"  .5 \""},
        EscapeCase{"2024-01-31", "2024-01-31", "'2024-01-31", "\"2024-01-31\""},
        EscapeCase{"TRUE", "TRUE", "'TRUE", "\"TRUE\""},
        EscapeCase{"Null", "Null", "'Null", "\"Null\""},
        EscapeCase{"inf ", "inf ", "'inf ", "\"inf \""},
        EscapeCase{"#N/A", "#N/A", "'#N/A", "\"#N/A\""},
        EscapeCase{"information", "information", "information", "\"information\""},
        EscapeCase{"x123", "x123", "x123", "\"x123\""},
        EscapeCase{"   ", "   ", "   ", "\"   \""}));

TEST(TextEncoders, TextViewShortensAfter64Bytes) {
    const std::string exact(64, 'a');
    const std::string longer = std::string(64, 'a') + "\\";
    EXPECT_EQ(line_of(TextFormat::Text, {.key = "k", .value = exact}), "000005.ldb offset=42 seq=7 Live Ldb key=\"k\" value=\"" + exact + "\"\n");
    EXPECT_EQ(line_of(TextFormat::Text, {.key = "k", .value = longer}),
              "000005.ldb offset=42 seq=7 Live Ldb key=\"k\" value=\"" + exact + "\"... (65 bytes)\n");
    // Other forms carry everything.
    EXPECT_NE(line_of(TextFormat::Jsonl, {.key = "k", .value = longer}).find(exact + "\\\\\\\\\""), std::string::npos);
}

// How one path is written: the JSON literal (as Python's json.dumps writes
// it), the CSV cell, and the name in the text view.
struct PathCase {
    std::string_view path;
    std::string_view json;
    std::string_view csv;
    std::string_view name;
};

class PathForms : public testing::TestWithParam<PathCase> {};

TEST_P(PathForms, InEveryFormat) {
    const PathCase& c = GetParam();
    const Sample s{.key = "k", .value = "v", .kind = FileKind::Log, .path = SharedPath(std::string(c.path))};
    EXPECT_EQ(between(line_of(TextFormat::Jsonl, s), "\"origin_file\":", ",\"offset\""), c.json);
    EXPECT_EQ(between(line_of(TextFormat::Csv, s), ",Live,Log,", ",42,false"), c.csv);
    EXPECT_EQ(between(line_of(TextFormat::Text, s), "", " offset="), c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathForms,
    testing::Values(
        PathCase{"/d/000001.log", "\"/d/000001.log\"", "/d/000001.log", "000001.log"},
        PathCase{"/dé/000001.log", "\"/d\\u00e9/000001.log\"", "/dé/000001.log", "000001.log"},
        PathCase{"/a \"b\",c/000001.log", "\"/a \\\"b\\\",c/000001.log\"", "\"/a \"\"b\"\",c/000001.log\"",
                 "000001.log"},
        PathCase{"/a\\b\nc\td\x7f/1.log", "\"/a\\\\b\\nc\\td\\u007f/1.log\"", "\"/a\\b\nc\td\x7f/1.log\"", "1.log"},
        PathCase{"/\x01\b\f/1.log", "\"/\\u0001\\b\\f/1.log\"", "/\x01\b\f/1.log", "1.log"},
        // Beyond the basic plane: a surrogate pair in JSON.
        PathCase{"/\xf0\x9f\x98\x80/1.log", "\"/\\ud83d\\ude00/1.log\"", "/\xf0\x9f\x98\x80/1.log", "1.log"},
        // Bytes outside valid UTF-8 (a stray continuation byte, a truncated
        // sequence, an encoded surrogate, an overlong form) each as their own
        // surrogate, as Python's surrogateescape decodes them.
        PathCase{"/x\xff\x80/\xe2\x82.log", "\"/x\\udcff\\udc80/\\udce2\\udc82.log\"",
                 "/x\\udcff\\udc80/\\udce2\\udc82.log", "\\udce2\\udc82.log"},
        PathCase{"/\xed\xa0\x80\xc0\xaf/1.log", "\"/\\udced\\udca0\\udc80\\udcc0\\udcaf/1.log\"",
                 "/\\udced\\udca0\\udc80\\udcc0\\udcaf/1.log", "1.log"},
        // Spreadsheet safety applies to the path cell too.
        PathCase{"-d/1.log", "\"-d/1.log\"", "'-d/1.log", "1.log"},
        PathCase{"\td/1.log", "\"\\td/1.log\"", "'\td/1.log", "1.log"},
        PathCase{"=d,x/1.log", "\"=d,x/1.log\"", "\"'=d,x/1.log\"", "1.log"}));

TEST(TextEncoders, PathChangesBetweenRecordsAreSeen) {
    // The renderings of the last path are reused; a new path (even of the
    // same length, at a reused address) must never be shown as the old one.
    for (int i = 0; i < 3; ++i) {
        for (const char* name : {"/d/000001.log", "/d/000002.log"}) {
            const Sample s{.key = "k", .value = "v", .path = SharedPath(std::string(name))};
            EXPECT_EQ(between(line_of(TextFormat::Csv, s), ",Live,Ldb,", ",42,"), name);
        }
    }
}

TEST(TextEncoders, AppendsToWhatTheBufferHolds) {
    const Sample s{.key = "k", .value = std::string(100000, '\xff')};  // far beyond any scratch space so far
    const std::string key = s.stored_key();
    const RecordView view{bytes_of(key), bytes_of(s.value), s.seq, s.state, s.kind, s.path, s.offset, s.compressed};
    ByteBuffer out;
    append_text_header(TextFormat::Csv, out);
    append_text_record(TextFormat::Csv, view, 5, out);
    append_text_record(TextFormat::Jsonl, view, 5, out);
    const std::string all(reinterpret_cast<const char*>(out.data()), out.size());
    EXPECT_EQ(all.find(header_of(TextFormat::Csv)), 0u);
    EXPECT_EQ(all.size(), header_of(TextFormat::Csv).size() + line_of(TextFormat::Csv, s).size() +
                              line_of(TextFormat::Jsonl, s).size());
    EXPECT_EQ(all.back(), '\n');
}

TEST(TextEncoders, ThreadsEncodeIndependently) {
    // Each worker thread keeps its own scratch space and path renderings.
    std::string lines[2];
    std::thread workers[2];
    for (int t = 0; t < 2; ++t) {
        workers[t] = std::thread([t, &lines] {
            for (int i = 0; i < 2000; ++i) {
                const Sample s{.key = "k", .value = std::string(i % 300, 'v'),
                               .path = SharedPath("/d/00000" + std::to_string(t) + ".ldb")};
                lines[t] = line_of(TextFormat::Text, s);
                if (lines[t].rfind("00000" + std::to_string(t) + ".ldb ", 0) != 0) return;
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(lines[0].rfind("000000.ldb ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("000001.ldb ", 0), 0u);
}

}  // namespace
}  // namespace tarnwick
