// The IndexedDB store interpreter over real stores written by headless
// Chromium, and over small logs made here for what Chromium's own stores in
// the fixtures do not show (several versions of a record with different
// blobs, a deleted database, links and FIFOs among the blob files).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "byte_builder.hpp"
#include "chromium_store/blob_files.hpp"
#include "chromium_store/external_objects.hpp"
#include "chromium_store/origin_identifier.hpp"
#include "chromium_store/store_interpreter.hpp"
#include "store/db.hpp"

namespace tarnwick::chromium {
namespace {

using test::BatchEntry;
using test::TempDir;

const std::string fixtures = TARNWICK_FIXTURES "/chromium";

struct StoreRow {
    DecodedRow row;
    std::uint64_t seq = 0;
    KeyState state = KeyState::Live;
};

// Both passes over a store, in the readers' order, as the scanner runs them;
// `dropped` leaves a record out, as compaction might have.
std::vector<StoreRow> decode_store(const std::string& dir, const std::string& blob_folder,
                                   std::optional<std::string> folder_origin = std::nullopt,
                                   std::function<bool(const Record&)> dropped = {}) {
    const auto db = Db::open(dir);
    EXPECT_TRUE(db.has_value());
    if (!db) return {};
    auto records = db->records(false);
    if (dropped) std::erase_if(records, dropped);
    auto interpreter = make_indexeddb_interpreter({StoreKind::IndexedDb, std::move(folder_origin), blob_folder});
    for (const Record& r : records) interpreter->learn(r.view());
    interpreter->learned();
    std::vector<StoreRow> rows;
    for (const Record& r : records) {
        StoreRow out;
        interpreter->decode(r.view(), out.row);
        out.seq = r.seq();
        out.state = r.state();
        rows.push_back(std::move(out));
    }
    return rows;
}

std::string or_none(const std::optional<std::string>& text) { return text ? *text : "<none>"; }

// The newest row of a record type and key.
const StoreRow* find_row(const std::vector<StoreRow>& rows, std::string_view type, std::string_view key_json,
                         std::optional<std::uint64_t> seq = std::nullopt) {
    const StoreRow* found = nullptr;
    for (const auto& r : rows) {
        if (r.row.record_type != type || r.row.key_json != key_json) continue;
        if (seq && r.seq != *seq) continue;
        if (found == nullptr || r.seq > found->seq) found = &r;
    }
    return found;
}

// ---------------------------------------------------------------------------
// The profile written by headless Chromium: rows as the Python decoder gives
// them for the same records.

struct FixtureRow {
    std::string_view name;
    std::string_view record_type;
    std::string_view key_json;
    std::string_view value_json;  // "<none>": no value
    std::string_view database;
    std::string_view object_store;
    std::string_view details;  // "<none>": no details
};

void PrintTo(const FixtureRow& c, std::ostream* os) { *os << c.name; }

class LegacyProfileRows : public ::testing::TestWithParam<FixtureRow> {
   protected:
    static void SetUpTestSuite() {
        const std::string base = fixtures + "/profile/IndexedDB/http_127.0.0.1_60503.indexeddb";
        blob_folder_ = base + ".blob";
        rows_ = decode_store(base + ".leveldb", blob_folder_, "http://127.0.0.1:60503");
    }
    static std::vector<StoreRow> rows_;
    static std::string blob_folder_;
};
std::vector<StoreRow> LegacyProfileRows::rows_;
std::string LegacyProfileRows::blob_folder_;

TEST_P(LegacyProfileRows, AsThePythonDecoderGivesThem) {
    const auto& c = GetParam();
    const StoreRow* r = find_row(rows_, c.record_type, c.key_json);
    ASSERT_NE(r, nullptr);
    auto in_folder = [](std::string_view text) {
        std::string out(text);
        for (auto at = out.find("\"$/"); at != std::string::npos; at = out.find("\"$/", at + 1)) {
            out.replace(at + 1, 1, blob_folder_);
        }
        return out;
    };
    if (c.value_json != "*") {
        EXPECT_EQ(or_none(r->row.value_json), in_folder(c.value_json));
    }
    EXPECT_EQ(or_none(r->row.database), c.database);
    EXPECT_EQ(or_none(r->row.object_store), c.object_store);
    EXPECT_EQ(or_none(r->row.details.object()), in_folder(c.details));
    EXPECT_EQ(or_none(r->row.error), "<none>");
    EXPECT_EQ(or_none(r->row.origin), "http://127.0.0.1:60503");
}

// Rows of the newest record of each (record type, key), as the Python
// decoder gives them; the native rows add which external-object list a
// version took (external_objects_seq). "$" stands for the store's blob folder.
INSTANTIATE_TEST_SUITE_P(
    Fixture, LegacyProfileRows,
    ::testing::Values(
        FixtureRow{"schema_version", "schema_version", R"("schema_version")", "5", "<none>", "<none>", "<none>"},
        FixtureRow{"data_version", "data_version", R"("data_version")", R"({"v8":16,"blink":21})", "<none>", "<none>",
                   "<none>"},
        FixtureRow{"database_name", "database_name", R"({"origin_identifier":"http_127.0.0.1_60503@1","name":"fixture"})",
                   R"({"database_id":1})", "fixture", "<none>", "<none>"},
        FixtureRow{"blob", "data", R"("v:blob")",
                   R"({"$blob":{"blob_number":3,"type":"text/plain","size":17,"index":0,"file":"$/1/00/3","hex":"626c6f6220636f6e74656e747320e29c93"}})",
                   "fixture", "kv",
                   R"({"database_id":1,"object_store_id":1,"record_version":60,"stored_as":"plain","blink":21,"v8":16,"external_objects_seq":865})"},
        FixtureRow{"file", "data", R"("v:file")",
                   R"({"$file":{"blob_number":4,"type":"text/plain","size":9,"name":"notes.txt","last_modified":"2023-05-06T00:00:00.000Z","index":0,"file":"$/1/00/4","hex":"66696c6520626f6479"}})",
                   "fixture", "kv",
                   R"({"database_id":1,"object_store_id":1,"record_version":61,"stored_as":"plain","blink":21,"v8":16,"external_objects_seq":888})"},
        FixtureRow{"overwritten", "data", R"("to_overwrite")", R"({"version":2})", "fixture", "kv",
                   R"({"database_id":1,"object_store_id":1,"record_version":64,"stored_as":"plain","blink":21,"v8":16})"},
        FixtureRow{"value_in_blob_file", "data", R"("v:large_binary")", "*", "fixture", "kv",
                   R"({"database_id":1,"object_store_id":1,"record_version":59,"blob_file":"$/1/00/2","stored_as":"blob_file","blink":21,"v8":16,"external_objects_seq":842})"},
        FixtureRow{"snappy", "data", R"("v:large_text")", "*", "fixture", "kv",
                   R"({"database_id":1,"object_store_id":1,"record_version":58,"stored_as":"snappy","blink":21,"v8":16})"},
        FixtureRow{"array_key", "data", R"([1,"a",[2,{"$date":"1970-01-01T00:00:00.000Z"}]])", R"("array key value")",
                   "fixture", "kv",
                   R"({"database_id":1,"object_store_id":1,"record_version":7,"stored_as":"plain","blink":21,"v8":16})"},
        FixtureRow{"external_objects", "external_objects", R"("v:file")",
                   R"([{"kind":"file","blob_number":4,"type":"text/plain","size":9,"name":"notes.txt","last_modified":"2023-05-06T00:00:00.000Z"}])",
                   "fixture", "kv", R"({"database_id":1,"object_store_id":1})"},
        FixtureRow{"exists", "exists", R"("to_overwrite")", R"({"record_version":64})", "fixture", "kv",
                   R"({"database_id":1,"object_store_id":1})"},
        FixtureRow{"key_path", "object_store_metadata", R"("key_path")", R"(["last","first"])", "fixture", "compound",
                   R"({"database_id":1,"object_store_id":3})"},
        FixtureRow{"index_metadata", "index_metadata", R"("multi_entry")", "false", "fixture", "compound",
                   R"({"database_id":1,"object_store_id":3,"index_id":31})"},
        FixtureRow{"object_store_name", "object_store_name", R"("kv")", R"({"object_store_id":1})", "fixture", "<none>",
                   R"({"database_id":1})"},
        FixtureRow{"index_stale", "index", R"("Ada")", R"({"record_version":2,"primary_key":1})", "fixture", "people",
                   R"({"database_id":1,"object_store_id":2,"index_id":31,"sequence":0,"stale":true})"},
        FixtureRow{"index_current", "index", R"("Ada L.")", R"({"record_version":5,"primary_key":1})", "fixture",
                   "people", R"({"database_id":1,"object_store_id":2,"index_id":31,"sequence":0,"stale":false})"},
        FixtureRow{"index_compound", "index", R"({"$date":"1815-12-10T00:00:00.000Z"})",
                   R"({"record_version":2,"primary_key":["Lovelace","Ada"]})", "fixture", "compound",
                   R"({"database_id":1,"object_store_id":3,"index_id":31,"sequence":0,"stale":false})"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(IdbProfile, EveryRecordDecodes) {
    for (const char* store : {"/profile/IndexedDB/http_127.0.0.1_60503.indexeddb",
                              "/profile/WebStorage/1/IndexedDB/indexeddb"}) {
        const std::string base = fixtures + store;
        const auto rows = decode_store(base + ".leveldb", base + ".blob");
        ASSERT_FALSE(rows.empty()) << store;
        for (const auto& r : rows) {
            EXPECT_EQ(or_none(r.row.error), "<none>") << store << " seq " << r.seq;
            EXPECT_NE(r.row.record_type, "unknown") << store << " seq " << r.seq;
            if (r.row.record_type == "data") {
                EXPECT_TRUE(r.row.database && r.row.object_store) << store << " seq " << r.seq;
            }
        }
    }
}

// What describe() tells of a record without decoding its value is what
// decode() says of it: the driver's filters decide on it.
TEST(IdbProfile, DescribeTellsWhatDecodeTells) {
    for (const char* store : {"/profile/IndexedDB/http_127.0.0.1_60503.indexeddb",
                              "/profile/WebStorage/1/IndexedDB/indexeddb", "/hostile/profile/IndexedDB/http_127.0.0.1_40619.indexeddb"}) {
        const std::string base = fixtures + store;
        const auto db = Db::open(base + ".leveldb");
        ASSERT_TRUE(db.has_value()) << store;
        const auto records = db->records(false);
        auto interpreter = make_indexeddb_interpreter({StoreKind::IndexedDb, std::nullopt, base + ".blob"});
        for (const Record& r : records) interpreter->learn(r.view());
        interpreter->learned();
        for (const Record& r : records) {
            DecodedRow decoded;
            DecodedRow described;
            interpreter->decode(r.view(), decoded);
            ASSERT_TRUE(interpreter->describe(r.view(), described));
            EXPECT_EQ(described.record_type, decoded.record_type) << store << " seq " << r.seq();
            EXPECT_EQ(described.origin, decoded.origin) << store << " seq " << r.seq();
            EXPECT_EQ(described.key_json, decoded.key_json) << store << " seq " << r.seq();
        }
    }
}

// A store written by headless Chromium (scripts/make_idb_versions_fixture.py):
// record "k" put with three Blobs in turn, then a string; database "gone"
// created and deleted. Chromium has since removed the older blob files, but
// each version's list still names its own.
const std::string versions_store = fixtures + "/idb_versions/http_127.0.0.1_35951.indexeddb";

struct VersionCase {
    std::uint64_t seq;
    std::string_view record_type;
    std::string_view blob;  // the members of the Blob the value holds, or the whole value
    std::string_view list_seq;
};
void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.record_type << " " << c.seq; }

class IdbChromiumVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(IdbChromiumVersions, EachVersionWithItsOwnBlob) {
    const auto& c = GetParam();
    const auto rows = decode_store(versions_store + ".leveldb", versions_store + ".blob");
    const StoreRow* r = nullptr;
    for (const auto& row : rows) {
        if (row.seq == c.seq && row.row.record_type == c.record_type) r = &row;
    }
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(or_none(r->row.error), "<none>");
    EXPECT_NE(or_none(r->row.value_json).find(c.blob), std::string::npos) << *r->row.value_json;
    const std::string details = or_none(r->row.details.object());
    if (c.list_seq.empty()) {
        EXPECT_EQ(details.find("external_objects_seq"), std::string::npos) << details;
    } else {
        EXPECT_NE(details.find(R"("external_objects_seq":)" + std::string(c.list_seq) + "}"), std::string::npos)
            << details;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixture, IdbChromiumVersions,
    ::testing::Values(VersionCase{47, "data", R"({"$blob":{"blob_number":2,"type":"text/plain","size":10,)", "53"},
                      VersionCase{70, "data", R"({"$blob":{"blob_number":3,"type":"text/plain","size":12,)", "77"},
                      VersionCase{97, "data",
                                  R"({"$blob":{"blob_number":4,"type":"application/octet-stream","size":5,)", "104"},
                      VersionCase{122, "data", R"("no blob now")", ""},
                      VersionCase{149, "data", R"("hex":"6f74686572207265636f7264")", "155"},
                      // The undo task of the last put restores the version before it, Blob 4.
                      VersionCase{125, "scopes_log",
                                  R"("previous_value":{"$blob":{"blob_number":4,"type":"application/octet-stream")",
                                  ""}));

// Database "gone": its name record's put at 170 and its deletion at 223; the
// deletions of its metadata follow in the scope's cleanup (230 on). Without
// the put, as after a compaction, only the deletion marker names it.
TEST(IdbChromiumVersions, DeletedDatabaseNamedFromItsDeletedNameRecord) {
    for (const bool put_dropped : {false, true}) {
        auto name_put = [&](const Record& r) { return put_dropped && r.seq() == 170; };
        const auto rows = decode_store(versions_store + ".leveldb", versions_store + ".blob",
                                       "http://127.0.0.1:35951", name_put);
        int rows_of_gone = 0;
        for (const auto& r : rows) {
            if (r.row.details.empty() || r.row.details.object()->find(R"("database_id":2)") == std::string::npos) {
                continue;
            }
            ++rows_of_gone;
            EXPECT_EQ(or_none(r.row.database), "gone") << r.seq;
            const bool inferred = r.row.details.object()->find(R"("database_name_inferred":true)") != std::string::npos;
            EXPECT_EQ(inferred, put_dropped) << r.seq;
        }
        EXPECT_GT(rows_of_gone, 20);
    }
}

// ---------------------------------------------------------------------------
// Stores made here: keys and values as Chromium writes them, in logs.

std::string utf16be(std::string_view ascii) {
    std::string out;
    for (const char c : ascii) {
        out += '\0';
        out += c;
    }
    return out;
}
std::string counted(std::string_view ascii) { return std::string(1, static_cast<char>(ascii.size())) + utf16be(ascii); }
// Ids below 256: the width byte says one byte each.
std::string prefix(std::uint8_t db, std::uint8_t store, std::uint8_t index) {
    return std::string{'\0', static_cast<char>(db), static_cast<char>(store), static_cast<char>(index)};
}
std::string string_key(std::string_view ascii) { return "\x01" + counted(ascii); }
std::string byte(std::uint8_t b) { return std::string(1, static_cast<char>(b)); }

// Blink 17, V8 15: a string, or a Blob at index 0 of the record's list.
const std::string v8_header = "\xFF\x11\xFF\x0F";
std::string string_value(std::uint8_t version, std::string_view text) {
    return byte(version) + v8_header + "\"" + byte(static_cast<std::uint8_t>(text.size())) + std::string(text);
}
std::string blob_value(std::uint8_t version) { return byte(version) + v8_header + "\\i" + byte(0); }
// A list of one Blob (schema version 4 and later).
std::string blob_list(std::uint8_t blob_number, std::uint8_t size) {
    return byte(0) + byte(blob_number) + counted("text/plain") + byte(size);
}

BatchEntry put(std::string key, std::string value) { return {1, std::move(key), std::move(value)}; }
BatchEntry del(std::string key) { return {0, std::move(key), ""}; }

// The metadata of database 1 ("db" of http://example.com) with object store 1 ("kv").
std::vector<BatchEntry> database_one() {
    return {put(prefix(0, 0, 0) + byte(0), byte(5)),
            put(prefix(0, 0, 0) + byte(201) + counted("http_example.com_0@1") + counted("db"), byte(1)),
            put(prefix(1, 0, 0) + byte(1), utf16be("db")),
            put(prefix(1, 0, 0) + byte(50) + byte(1) + byte(0), utf16be("kv"))};
}

class MadeStore {
   public:
    explicit MadeStore(const std::vector<std::vector<BatchEntry>>& batches) {
        std::vector<test::ByteVec> payloads;
        std::uint64_t seq = 1;
        for (const auto& batch : batches) {
            payloads.push_back(test::write_batch(seq, batch));
            seq += batch.size();
        }
        std::filesystem::create_directory(dir_.path("store"));
        dir_.write("store/000003.log", test::log_of_full_records(payloads));
    }
    void blob_file(std::uint8_t number, std::string_view contents) const {
        std::filesystem::create_directories(dir_.path("blob/1/00"));
        dir_.write("blob/1/00/" + std::to_string(number), contents);
    }
    [[nodiscard]] std::vector<StoreRow> rows() const { return decode_store(dir_.path("store"), dir_.path("blob")); }
    [[nodiscard]] const TempDir& dir() const { return dir_; }

   private:
    TempDir dir_;
};

// Each version of a record with its own Blob: the list written with a
// version is its own, never the list of the version before or after.
TEST(IdbExternalObjects, EachVersionKeepsItsOwnList) {
    const std::string data = prefix(1, 1, 1) + string_key("k");
    const std::string exists = prefix(1, 1, 2) + string_key("k");
    const std::string list = prefix(1, 1, 3) + string_key("k");
    MadeStore store({database_one(),
                     {put(data, blob_value(1)), put(exists, byte(1)), put(list, blob_list(1, 3))},   // seq 5
                     {put(data, blob_value(2)), put(exists, byte(2)), put(list, blob_list(2, 3))},   // seq 8
                     {put(data, string_value(3, "plain")), put(exists, byte(3)), del(list)},         // seq 11
                     {put(data, blob_value(4)), put(exists, byte(4))}});                             // seq 14: list lost
    store.blob_file(1, "one");
    store.blob_file(2, "two");
    const auto rows = store.rows();
    const std::string key = R"("k")";
    const std::string blob_path = store.dir().path("blob/1/00/");
    struct Expected {
        std::uint64_t seq;
        std::string value;
        std::string details;
    };
    for (const auto& e : std::vector<Expected>{
             {5, R"({"$blob":{"blob_number":1,"type":"text/plain","size":3,"index":0,"file":")" + blob_path + R"(1","hex":"6f6e65"}})",
              R"({"database_id":1,"object_store_id":1,"record_version":1,"stored_as":"plain","blink":17,"v8":15,"external_objects_seq":7})"},
             {8, R"({"$blob":{"blob_number":2,"type":"text/plain","size":3,"index":0,"file":")" + blob_path + R"(2","hex":"74776f"}})",
              R"({"database_id":1,"object_store_id":1,"record_version":2,"stored_as":"plain","blink":17,"v8":15,"external_objects_seq":10})"},
             {11, R"("plain")", R"({"database_id":1,"object_store_id":1,"record_version":3,"stored_as":"plain","blink":17,"v8":15})"},
             {14, R"({"$blob":{"index":0,"missing":true,"reason":"not listed"}})",
              R"({"database_id":1,"object_store_id":1,"record_version":4,"stored_as":"plain","blink":17,"v8":15})"}}) {
        const StoreRow* r = find_row(rows, "data", key, e.seq);
        ASSERT_NE(r, nullptr) << e.seq;
        EXPECT_EQ(or_none(r->row.value_json), e.value) << e.seq;
        EXPECT_EQ(or_none(r->row.details.object()), e.details) << e.seq;
        EXPECT_EQ(or_none(r->row.database), "db");
        EXPECT_EQ(or_none(r->row.origin), "http://example.com");
    }
}

// A deleted database keeps its name in the key of its deleted name record,
// deleted in the same batch as the database's metadata. Once compaction has
// dropped the put of the name record, only that pairing names the database.
struct DeletedDatabaseCase {
    std::string_view name;
    bool name_put_kept;           // the name record's put is still in the files
    bool name_deleted;            // its deletion marker is
    bool second_deletion_nearby;  // another database deleted in the same stretch: ambiguous
    std::string_view expected_database;
    bool inferred;
    bool second_name_deleted = false;  // another name deleted in the same stretch: ambiguous
};
void PrintTo(const DeletedDatabaseCase& c, std::ostream* os) { *os << c.name; }

class IdbDeletedDatabase : public ::testing::TestWithParam<DeletedDatabaseCase> {};

TEST_P(IdbDeletedDatabase, NameInferredOnlyWhenUnambiguous) {
    const auto& c = GetParam();
    const std::string name_key = prefix(0, 0, 0) + byte(201) + counted("http_example.com_0@1") + counted("db");
    const std::string data = prefix(1, 1, 1) + string_key("k");
    std::vector<BatchEntry> created = database_one();
    if (!c.name_put_kept) std::erase_if(created, [&](const BatchEntry& e) { return e.key == name_key; });
    std::vector<BatchEntry> deletion;
    if (c.name_deleted) deletion.push_back(del(name_key));
    if (c.second_name_deleted) {
        deletion.push_back(del(prefix(0, 0, 0) + byte(201) + counted("http_example.com_0@1") + counted("db2")));
    }
    deletion.push_back(del(prefix(1, 0, 0) + byte(1)));
    deletion.push_back(del(prefix(1, 0, 0) + byte(50) + byte(1) + byte(0)));
    deletion.push_back(del(data));
    std::vector<std::vector<BatchEntry>> batches{created, {put(data, string_value(1, "v"))}};
    if (c.second_deletion_nearby) {
        batches.push_back({put(prefix(2, 0, 0) + byte(1), utf16be("other"))});
        deletion.push_back(del(prefix(2, 0, 0) + byte(1)));
    }
    batches.push_back(deletion);
    MadeStore store(batches);
    int data_rows = 0;
    for (const auto& r : store.rows()) {
        if (r.row.record_type != "data") continue;
        ++data_rows;
        EXPECT_EQ(or_none(r.row.database), c.expected_database) << r.seq;
        const bool inferred = r.row.details.object()->find(R"("database_name_inferred":true)") != std::string::npos;
        EXPECT_EQ(inferred, c.inferred) << r.seq;
        if (c.inferred) {
            EXPECT_EQ(or_none(r.row.origin), "http://example.com");
        }
    }
    EXPECT_EQ(data_rows, 2);  // the record and its deletion
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdbDeletedDatabase,
    ::testing::Values(DeletedDatabaseCase{"paired", false, true, false, "db", true},
                      DeletedDatabaseCase{"name_still_known", true, true, false, "db", false},
                      DeletedDatabaseCase{"ambiguous", false, true, true, "<none>", false},
                      DeletedDatabaseCase{"no_deleted_name", false, false, false, "<none>", false},
                      DeletedDatabaseCase{"two_deleted_names", false, true, false, "<none>", false, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// One record on its own: what each kind of key says, and the errors of keys
// no store should hold.
struct RecordCase {
    std::string_view name;
    std::string key;
    std::string value;
    bool deleted;
    std::string_view record_type;
    std::string_view key_json;
    std::string_view value_json;
    std::string_view error;
    int schema_version = -1;  // the store's, when it has one
};
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class IdbRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(IdbRecord, Decodes) {
    const auto& c = GetParam();
    std::vector<std::vector<BatchEntry>> batches;
    if (c.schema_version >= 0) {
        batches.push_back({put(prefix(0, 0, 0) + byte(0), byte(static_cast<std::uint8_t>(c.schema_version)))});
    }
    batches.push_back({c.deleted ? del(c.key) : put(c.key, c.value)});
    MadeStore store(batches);
    const auto rows = store.rows();
    ASSERT_EQ(rows.size(), batches.size());
    const DecodedRow& r = rows.back().row;
    EXPECT_EQ(r.record_type, c.record_type);
    EXPECT_EQ(or_none(r.key_json), c.key_json);
    EXPECT_EQ(or_none(r.value_json), c.value_json);
    EXPECT_EQ(or_none(r.error), c.error);
}

const std::string global = prefix(0, 0, 0);
// A scopes undo task: field 1 (put) holding key (field 1) and value (field 2).
std::string undo_put(const std::string& key, const std::string& value) {
    const std::string body = "\x0A" + byte(static_cast<std::uint8_t>(key.size())) + key + "\x12" +
                             byte(static_cast<std::uint8_t>(value.size())) + value;
    return "\x0A" + byte(static_cast<std::uint8_t>(body.size())) + body;
}
const std::string undo_key = global + byte(50) + byte(2) + byte(1) + byte(0) + std::string(7, '\0') + byte(9);

INSTANTIATE_TEST_SUITE_P(
    Cases, IdbRecord,
    ::testing::Values(
        RecordCase{"schema_version", global + byte(0), byte(5), false, "schema_version", R"("schema_version")", "5",
                   "<none>"},
        RecordCase{"data_version", global + byte(2), std::string("\x14\0\0\0\x0F\0\0\0", 8), false, "data_version",
                   R"("data_version")", R"({"v8":15,"blink":20})", "<none>"},
        RecordCase{"earliest_sweep", global + byte(5), byte(0), false,
                   "earliest_sweep", R"("earliest_sweep")", R"("1601-01-01T00:00:00.000Z")", "<none>"},
        RecordCase{"journal", global + byte(4), "\x01\x05\x01\x06", false, "active_blob_journal",
                   R"("active_blob_journal")",
                   R"([{"database_id":1,"blob_number":5},{"database_id":1,"blob_number":6}])", "<none>"},
        RecordCase{"deleted_database_name", global + byte(201) + counted("https_a.example_0@1") + counted("n"), "",
                   true, "database_name", R"({"origin_identifier":"https_a.example_0@1","name":"n"})", "<none>",
                   "<none>"},
        RecordCase{"unknown_global", global + byte(99), "x", false, "unknown", "<none>", "<none>",
                   "unknown global metadata type 99"},
        RecordCase{"reserved_index", prefix(1, 1, 5) + string_key("k"), "x", false, "unknown", "<none>", "<none>",
                   "index id 5 is reserved"},
        RecordCase{"odd_utf16_name", prefix(1, 0, 0) + byte(1), "abc", false, "database_name_field",
                   R"("database_name_field")", "<none>", "UTF-16 text of odd length 3"},
        RecordCase{"key_path_array", prefix(1, 0, 0) + byte(50) + byte(1) + byte(1),
                   std::string("\0\0\x02\x02", 4) + counted("a") + counted("b"), false, "object_store_metadata",
                   R"("key_path")", R"(["a","b"])", "<none>"},
        RecordCase{"external_objects_v4", prefix(1, 1, 3) + string_key("k"), blob_list(7, 3), false,
                   "external_objects", R"("k")", R"([{"kind":"blob","blob_number":7,"type":"text/plain","size":3}])",
                   "<none>"},
        RecordCase{"external_objects_unknown_kind", prefix(1, 1, 3) + string_key("k"), "\x09", false,
                   "external_objects", R"("k")", "<none>", "unknown external object type 9"},
        RecordCase{"external_objects_v3", prefix(1, 1, 3) + string_key("k"),
                   byte(0) + byte(5) + counted("text/plain") + byte(3) + byte(1) + byte(6) + counted("text/plain") +
                       counted("a.txt"),
                   false, "external_objects", R"("k")",
                   R"([{"kind":"blob","blob_number":5,"type":"text/plain","size":3},{"kind":"file","blob_number":6,"type":"text/plain","name":"a.txt"}])",
                   "<none>", 3},
        RecordCase{"snappy_claiming_too_much", prefix(1, 1, 1) + string_key("k"),
                   byte(1) + "\xFF\x11\x02" + "\x80\x80\x80\x80\x80\x20", false, "data", R"("k")", "<none>",
                   "compressed value claims 1099511627776 bytes, over the 67108864-byte cap"},
        RecordCase{"data_damaged_key_kept_value", prefix(1, 1, 1) + "\x09", string_value(1, "v"), false, "data",
                   "<none>", R"("v")", "key: unknown IDB key type 0x09"},
        RecordCase{"undo_put_restores_a_value", undo_key,
                   undo_put(prefix(1, 1, 1) + string_key("k"), string_value(2, "old")), false, "scopes_log",
                   R"({"scopes":"undo","scope":1,"sequence":9})",
                   R"({"undo":"put","key":"000101010101006b","record":{"record_type":"data","database":null,"object_store":null,"key":"k"},"previous_value":"old"})",
                   "<none>"},
        RecordCase{"undo_of_undo_not_followed", undo_key, undo_put(undo_key, undo_put("a", "b")), false, "scopes_log",
                   R"({"scopes":"undo","scope":1,"sequence":9})",
                   R"({"undo":"put","key":"00000000320201000000000000000009","record":{"record_type":"scopes_log","database":null,"object_store":null,"key":{"scopes":"undo","scope":1,"sequence":9}},"previous_value":{"undo":"put","key":"61"}})",
                   "<none>"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// ---------------------------------------------------------------------------
// Blob files: read as evidence, never through a link, never blocking.

struct BlobFileCase {
    std::string_view name;
    void (*make)(const TempDir& dir);
    BlobStatus status;
    std::string_view describe;  // "$" stands for the temporary folder
};
void PrintTo(const BlobFileCase& c, std::ostream* os) { *os << c.name; }

class IdbBlobFile : public ::testing::TestWithParam<BlobFileCase> {};

TEST_P(IdbBlobFile, ReportsWhatItFinds) {
    const auto& c = GetParam();
    TempDir dir;
    std::filesystem::create_directories(dir.path("blob/1/00"));
    dir.write("outside", "secret");
    c.make(dir);
    const BlobFile found = read_blob_file(dir.path("blob"), 1, 2, 8);
    EXPECT_EQ(found.path, dir.path("blob/1/00/2"));
    EXPECT_EQ(found.status, c.status);
    std::string expected(c.describe);
    if (const auto at = expected.find('$'); at != std::string::npos) expected.replace(at, 1, dir.path());
    EXPECT_EQ(found.describe(), expected);
    EXPECT_EQ(std::string(found.data.begin(), found.data.end()), c.status == BlobStatus::Read ? "contents" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdbBlobFile,
    ::testing::Values(
        BlobFileCase{"regular", [](const TempDir& d) { d.write("blob/1/00/2", "contents"); }, BlobStatus::Read, "read"},
        BlobFileCase{"missing", [](const TempDir&) {}, BlobStatus::Missing, "missing"},
        BlobFileCase{"oversize", [](const TempDir& d) { d.write("blob/1/00/2", "123456789"); }, BlobStatus::Oversize,
                     "9 bytes, over the 8-byte cap, not read"},
        BlobFileCase{"link",
                     [](const TempDir& d) { ASSERT_EQ(::symlink("../../../outside", d.path("blob/1/00/2").c_str()), 0); },
                     BlobStatus::Link, "a symbolic link to '../../../outside', not followed"},
        BlobFileCase{"fifo", [](const TempDir& d) { ASSERT_EQ(::mkfifo(d.path("blob/1/00/2").c_str(), 0600), 0); },
                     BlobStatus::NotRegular, "a FIFO, not read"},
        BlobFileCase{"directory", [](const TempDir& d) { std::filesystem::create_directory(d.path("blob/1/00/2")); },
                     BlobStatus::NotRegular, "a directory, not read"},
        BlobFileCase{"folder_link",
                     [](const TempDir& d) {
                         std::filesystem::remove_all(d.path("blob/1"));
                         std::filesystem::create_directories(d.path("elsewhere/00"));
                         d.write("elsewhere/00/2", "contents");
                         ASSERT_EQ(::symlink("../elsewhere", d.path("blob/1").c_str()), 0);
                     },
                     BlobStatus::Link, "a symbolic link to '../elsewhere (the folder $/blob/1)', not followed"},
        BlobFileCase{"folder_is_a_file",
                     [](const TempDir& d) {
                         std::filesystem::remove_all(d.path("blob/1/00"));
                         d.write("blob/1/00", "not a folder");
                     },
                     BlobStatus::NotRegular, "not a regular file where the folder $/blob/1/00 should be, not read"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A Blob whose file is a link: the value still decodes, the row names the file.
TEST(IdbBlobFile, UnreadFileListedWithTheRecord) {
    const std::string data = prefix(1, 1, 1) + string_key("k");
    MadeStore store({database_one(), {put(data, blob_value(1)), put(prefix(1, 1, 3) + string_key("k"), blob_list(1, 3))}});
    std::filesystem::create_directories(store.dir().path("blob/1/00"));
    ASSERT_EQ(::symlink("/etc/passwd", store.dir().path("blob/1/00/1").c_str()), 0);
    const auto rows = store.rows();  // find_row points into it
    const StoreRow* r = find_row(rows, "data", R"("k")");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(or_none(r->row.error), "<none>");
    const std::string details = *r->row.details.object();
    EXPECT_NE(details.find(R"("unread_files":[{"file":")" + store.dir().path("blob/1/00/1") +
                           R"(","reason":"a symbolic link to '/etc/passwd', not followed"}])"),
              std::string::npos)
        << details;
    EXPECT_EQ(r->row.value_json->find("root:"), std::string::npos);
}

// ---------------------------------------------------------------------------
// The hostile store: bombs, deep keys, forged names. No crash, every record a
// row, the bombs errors of their own.

TEST(IdbHostile, EveryRecordItsOwnRow) {
    const std::string base = fixtures + "/hostile/profile/IndexedDB/http_127.0.0.1_40619.indexeddb";
    const auto rows = decode_store(base + ".leveldb", base + ".blob");
    ASSERT_FALSE(rows.empty());
    std::map<std::string, int> names;
    for (const auto& r : rows) {
        if (r.row.record_type == "data" && r.row.database) ++names[*r.row.database];
    }
    // Forged and lone-surrogate names come through whole (WTF-8 keeps a lone surrogate).
    EXPECT_TRUE(names.contains("x\nindexeddb      https://bank.example / accounts / kv [data] \"balance\" = "
                               "\"1,000,000 USD\"  (current, seq 5)\n"));
    EXPECT_TRUE(names.contains("lone\xED\xA0\x80"));
    EXPECT_TRUE(names.contains("lone\xED\xAF\xBF"));
    const StoreRow* references = find_row(rows, "data", R"("bomb:references")");
    ASSERT_NE(references, nullptr);
    EXPECT_NE(or_none(references->row.error).find("over budget"), std::string::npos);
    for (const char* canary : {R"("canary:before")", R"("canary:after")"}) {
        const StoreRow* r = find_row(rows, "data", canary);
        ASSERT_NE(r, nullptr) << canary;
        EXPECT_EQ(or_none(r->row.error), "<none>");
    }
}

struct OriginCase {
    std::string_view identifier;
    std::string_view origin;
};
class IdbOriginIdentifier : public ::testing::TestWithParam<OriginCase> {};

TEST_P(IdbOriginIdentifier, NamesTheOrigin) {
    EXPECT_EQ(origin_from_identifier(GetParam().identifier).value_or("<none>"), GetParam().origin);
}

INSTANTIATE_TEST_SUITE_P(Cases, IdbOriginIdentifier,
                         ::testing::Values(OriginCase{"https_example.com_0@1", "https://example.com"},
                                           OriginCase{"http_localhost_8080", "http://localhost:8080"},
                                           OriginCase{"http_[__1]_80", "http://[::1]:80"},
                                           OriginCase{"file__0", "file://"}, OriginCase{"chrome_x_y", "<none>"},
                                           OriginCase{"nounderscore", "<none>"}, OriginCase{"http__0", "<none>"}));

}  // namespace
}  // namespace tarnwick::chromium
